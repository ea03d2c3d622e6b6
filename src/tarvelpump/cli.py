"""The `tarvelpump` command: query pumps, list ports, simulate, and serve a
virtual pump, for the people who set pumps up and debug their links."""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import math
import random
import re
import sys
import textwrap
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tarvelpump.comm import DeviceReturn

EXAMPLES = textwrap.dedent("""\
    examples:
      tarvelpump demo                                   full status query against a virtual pump
      tarvelpump ports                                  serial ports of this machine
      tarvelpump status --port /dev/ttyUSB0             full status set, pump on the line
      tarvelpump status --port COM4 --addr 801 --channel 0x17 --json
                                                        through a LoRa radio in fixed-point mode
      tarvelpump alarm --port /dev/ttyUSB0 --addr 0x0321   alarm word (master/slave radio)
      tarvelpump kvo-rate --port /dev/ttyUSB0 --data 1  KVO rate
      tarvelpump simulate --seed 7                      made-up status set, no pump needed
      tarvelpump virtual-pump --addr 801 --channel 23   serve a virtual pump, print its port

    exit status: 0 success, 1 a query failed, 2 bad usage
    """)

SUCCESS = 0  # DeviceReturnCode.SUCCESS


def _number(bits: int, what: str) -> Callable[[str], int]:
    """argparse type: decimal or 0x-hexadecimal, within `bits` bits."""
    def parse(text: str) -> int:
        # int(text, 0) alone would also take 0o17, 0b1 and 1_0.
        try:
            if not re.fullmatch(r"[+-]?(0[xX][0-9a-fA-F]+|[0-9]+)", text):
                raise ValueError(text)
            value = int(text, 0)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{what} must be a number (decimal or 0x hex), not {text!r}")
        if not 0 <= value < 1 << bits:
            raise argparse.ArgumentTypeError(f"{what} {text} is out of range 0..{(1 << bits) - 1}")
        return value
    parse.__name__ = what
    return parse


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}")
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number of seconds, not {text}")
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text}")
    return value


def _baud(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"baud rate must be a whole number, not {text!r}")
    if value <= 0:
        raise argparse.ArgumentTypeError(f"baud rate must be positive: {text}")
    return value


@contextlib.contextmanager
def _debug_log(enabled: bool) -> Iterator[None]:
    """With --verbose, the package's debug log (the bytes of every exchange)
    goes to stderr in logging's default format while the command runs. The
    handler is the command's own and is removed afterwards, so this works
    whatever logging the host has configured, and main() called in-process
    leaves nothing behind."""
    if not enabled:
        yield
        return
    logger = logging.getLogger("tarvelpump")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(logging.BASIC_FORMAT))
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)


def _record_dict(rc: DeviceReturn) -> dict[str, Any]:
    value = rc.value
    if isinstance(value, (bytes, bytearray)):
        value = list(value)
    return {
        "command": rc.command.name,
        "code": rc.code.name,
        "code_value": int(rc.code),
        "value": value,
        "message": rc.message,
    }


def _print_records(records: Sequence[DeviceReturn], as_json: bool) -> int:
    if as_json:
        print(json.dumps([_record_dict(r) for r in records], ensure_ascii=False, indent=2))
    else:
        for r in records:
            print(f"{r.command.name:<20} {r.code.name:<20} value={r.value!s:<16} {r.message}")
    return 0 if all(int(r.code) == SUCCESS for r in records) else 1


def _port_hint(messages: Sequence[str]) -> str:
    if any(m.startswith("port held by") for m in messages):
        return ("another program is using it: stop it first (two programs asking pumps on one line "
                "take each other's replies)")
    if any("Permission denied" in m or "Errno 13" in m for m in messages):
        return ("you may not open it: add your user to the group that owns it, usually `dialout` "
                "(sudo usermod -aG dialout $USER, then log in again)")
    return "check the name with `tarvelpump ports` and that no other program holds it"


def _port_error(records: Sequence[DeviceReturn]) -> str | None:
    """The one message, when every query failed alike on the port itself."""
    messages = {r.message for r in records}
    if records and len(messages) == 1 and all(r.code.name == "EXCEPTION" for r in records):
        return messages.pop()
    return None


def _failure_hint(records: Sequence[DeviceReturn], port: str) -> None:
    failed = [r for r in records if int(r.code) != SUCCESS]
    if not failed:
        return
    codes = {r.code.name for r in failed}
    if "EXCEPTION" in codes:
        messages = [r.message for r in failed if r.code.name == "EXCEPTION"]
        hint = f"could not use port {port!r}: {_port_hint(messages)}"
    elif codes == {"NO_DATA_RETURN"}:
        hint = "no pump answered: check the cable or radio, the baud rate, --addr and --channel, or raise --timeout"
    else:
        hint = "the pump answered with damaged or unexpected replies: check the line and the baud rate"
    print(f"tarvelpump: {len(failed)} of {len(records)} queries failed; {hint}", file=sys.stderr)


def _add_link_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--port", required=True, help="serial port, e.g. /dev/ttyUSB0 or COM4")
    p.add_argument("--addr", type=_number(16, "address"), help="radio destination address, 0..65535")
    p.add_argument("--channel", type=_number(8, "channel"), help="radio destination channel, 0..255")
    p.add_argument("--baud", type=_baud, default=9600, help="line speed (default 9600)")
    p.add_argument("--timeout", type=_positive_float, default=1.0, help="read time-out in seconds (default 1)")
    p.add_argument("--json", action="store_true", help="print JSON for scripts")
    p.add_argument("-v", "--verbose", action="store_true", help="show the debug log of the exchange on stderr")


def _query(args: argparse.Namespace) -> int:
    from tarvelpump._ports import HeldKelt

    # Held exclusively while the command runs: a station polling the port
    # refuses us ("port held by PID n") rather than lose replies to us.
    with _debug_log(args.verbose), HeldKelt(args.port, args.baud, args.timeout) as pump:
        if args.command == "status":
            records = pump.get_all_status(addr=args.addr, channel=args.channel)
        elif args.command == "alarm":
            records = [pump.get_pump_alarm(addr=args.addr, channel=args.channel)]
        elif args.command == "pump-status":
            records = [pump.get_pump_status(addr=args.addr, channel=args.channel)]
        else:
            records = [pump.get_kvo_rate([args.data], addr=args.addr, channel=args.channel)]
    error = _port_error(records)
    if error is not None and not args.json:
        # The same failure to open the port, once for every query: say it once.
        print(f"tarvelpump: {error}", file=sys.stderr)
        _failure_hint(records, args.port)
        return 1
    status = _print_records(records, args.json)
    _failure_hint(records, args.port)
    return status


def _ports(args: argparse.Namespace) -> int:
    from tarvelpump import comm

    ports = comm.list_ports()
    if args.json:
        print(json.dumps([{"device": p.device, "description": p.description} for p in ports], indent=2))
    elif not ports:
        print("no serial ports found", file=sys.stderr)
    else:
        for p in ports:
            print(f"{p.device:<24} {p.description}")
    return 0


def _simulate(args: argparse.Namespace) -> int:
    from tarvelpump import comm

    if args.seed is not None:
        random.seed(args.seed)
    return _print_records(comm.fake_get_all_status(args.addr), args.json) and 0


def _virtual_pump(args: argparse.Namespace | None, rest: list[str]) -> int:
    from tarvelpump import virtualpump

    return virtualpump.main(rest, prog="tarvelpump virtual-pump")


def _demo(args: argparse.Namespace) -> int:
    from tarvelpump import comm
    from tarvelpump.virtualpump import PumpState, VirtualPump

    state = PumpState(running=2, door=0, remain_hours=1, remain_minutes=25, rate_unit=0, alarm=0x0108)
    with _debug_log(args.verbose), VirtualPump(state, addr=801, channel=23) as pump:
        print(f"virtual pump at {pump.port}, radio address 801, channel 23 (fixed point)", file=sys.stderr)
        records = comm.Kelt(str(pump.port), timeout=0.5).get_all_status(addr=801, channel=23)
    status = _print_records(records, args.json)
    _failure_hint(records, "virtual pump")
    return status


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarvelpump",
        description="Talk to Kelt syringe infusion pumps on a serial line or behind a LoRa radio.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    from . import __version__

    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("ports", help="list the serial ports of this machine")
    p.add_argument("--json", action="store_true", help="print JSON for scripts")
    p.set_defaults(run=_ports)

    for name, text in (("status", "full status set: running state, door, remaining time, rate unit, alarms"),
                       ("alarm", "the alarm word"), ("pump-status", "the running state"),
                       ("kvo-rate", "the KVO rate")):
        p = sub.add_parser(name, help=text, description=text)
        _add_link_options(p)
        if name == "kvo-rate":
            p.add_argument("--data", type=_number(8, "data byte"), required=True,
                           help="the one user-data byte of the request, 0..255")
        p.set_defaults(run=_query)

    p = sub.add_parser("simulate", help="a made-up status set, without a pump")
    p.add_argument("--seed", type=int, help="seed the random generator to repeat a run")
    p.add_argument("--addr", type=_number(16, "address"), help="address shown in the log")
    p.add_argument("--json", action="store_true", help="print JSON for scripts")
    p.set_defaults(run=_simulate)

    p = sub.add_parser("virtual-pump", add_help=False,
                       help="serve a virtual pump on a pseudo-terminal and print its port "
                            "(options: tarvelpump virtual-pump --help)")
    p.set_defaults(run=_virtual_pump, passthrough=True)

    p = sub.add_parser("demo", help="full status query against a virtual pump started on the spot")
    p.add_argument("--json", action="store_true", help="print JSON for scripts")
    p.add_argument("-v", "--verbose", action="store_true", help="show the debug log of the exchange")
    p.set_defaults(run=_demo)

    sub.add_parser("station", add_help=False,
                   help="watch many pumps, keep every change, serve a live page "
                        "(commands: tarvelpump station --help)")
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] == "virtual-pump":
        return _virtual_pump(None, argv[1:])
    if argv and argv[0] == "station":
        from tarvelpump.station.cli import main as station_main

        return station_main(argv[1:])
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except KeyboardInterrupt:
        return 130
    except (OSError, ValueError) as exc:
        print(f"tarvelpump: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
