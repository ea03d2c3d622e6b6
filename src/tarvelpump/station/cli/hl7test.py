"""``tarvelpump station hl7-test``: one PCD-01 to the configured HL7 receiver,
marked as a test (MSH-11 "T"), and the acknowledgement it got, for wiring an
engine before the ward relies on it. Exit 0 when the engine accepted it (AA
or CA), 1 when it refused it or could not be reached."""

from __future__ import annotations

import argparse
import socket

from ..records.model import PumpView, pump_id
from ..settings.config import ConfigError, StationConfig, load_config, parse_mllp_url

__all__ = ["add_parser"]

START, END = b"\x0b", b"\x1c\x0d"  # MLLP's frame


def add_parser(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = sub.add_parser("hl7-test", help="send one test PCD-01 to the HL7 receiver and show its acknowledgement")
    p.add_argument("--config", required=True, help="the station's TOML file")
    p.add_argument("--hl7", metavar="URL", help="another receiver than the configuration's, mllp://HOST:PORT")
    p.add_argument("--pump", metavar="LABEL", help="the pump the message is about (default: the first)")
    p.add_argument("--timeout", type=float, default=10.0, metavar="S", help="seconds to wait for the ACK (10)")
    p.set_defaults(run=run)


def _pump(config: StationConfig, label: str | None) -> PumpView:
    pumps = [p for p in config.pumps if label is None or p.label == label]
    if not pumps:
        raise ConfigError("--pump", f"no pump labelled {label!r} in the configuration")
    p = pumps[0]
    return PumpView(id=pump_id(p.label), label=p.label, link=p.link, addr=p.addr, channel=p.channel,
                    station=config.name)


def _exchange(host: str, port: int, message: bytes, timeout: float) -> str:
    with socket.create_connection((host, port), timeout=timeout) as sock:
        sock.sendall(START + message + END)
        got = b""
        while END not in got:
            chunk = sock.recv(65536)
            if not chunk:
                raise ConnectionError("the receiver closed the connection without an acknowledgement")
            got += chunk
    return got.split(END, 1)[0].lstrip(START).decode("utf-8", errors="replace")


def run(args: argparse.Namespace) -> int:
    from ..outputs.hl7 import Composer
    from ..outputs.hl7_fields import places
    from ..outputs.mllp import parse_ack

    config = load_config(args.config)
    url = args.hl7 or config.hl7.url
    if not url:
        raise ConfigError("hl7.url", "no HL7 receiver: set it in the configuration, or give --hl7 mllp://HOST:PORT")
    try:
        host, port = parse_mllp_url(url)
    except ValueError as exc:
        raise ConfigError("--hl7", str(exc)) from None
    places(config)
    message = Composer.of(config).test_message(_pump(config, args.pump))
    print(f"sending a test PCD-01 (MSH-10 {message.control_id}) about {message.pump!r} to {url}", flush=True)
    try:
        ack = _exchange(host, port, message.text.encode(), args.timeout)
    except (OSError, ConnectionError) as exc:
        print(f"no acknowledgement: {exc}")
        return 1
    print(ack.replace("\r", "\n").rstrip())
    code, control, error = parse_ack(ack)
    verdict = "accepted" if code in ("AA", "CA") else "refused"
    print(f"{code}: {verdict}" + (f" ({error})" if error else "") +
          ("" if control == message.control_id else f"; MSA-2 {control!r} is not the message's control id"))
    return 0 if code in ("AA", "CA") and control == message.control_id else 1
