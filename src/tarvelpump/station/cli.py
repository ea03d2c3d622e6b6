"""``tarvelpump station``: run a station, read back what it stored, try it on a virtual ward.

Exit status: 0 after a clean shutdown (Ctrl-C and SIGTERM included), 1 when
something failed while running, 2 for bad usage or a bad configuration
(reported before any port is opened).
"""

from __future__ import annotations

import argparse
import json
import logging
import queue
import re
import signal
import sys
import textwrap
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from datetime import datetime, timedelta, timezone
from pathlib import Path
from types import FrameType
from typing import TextIO

from .broker_url import parse_url
from .config import ConfigError, StationConfig, load_config, parse_hostport, parse_mllp_url
from .hub import Hub
from .model import Event, PumpView, RoundResult
from .store import Store, StoreError

__all__ = ["main", "parse_since"]

log = logging.getLogger(__name__)

EXAMPLES = textwrap.dedent("""\
    examples:
      tarvelpump station demo                       twelve virtual pumps, a page to watch them
      tarvelpump station run --config ward.toml     watch the pumps; a live table on a terminal
      tarvelpump station run --config ward.toml --json --http 127.0.0.1:8750 --mqtt mqtt://broker/site/ward
      tarvelpump station run --config ward.toml --hl7 mllp://engine.hospital:2575   PCD-01/PCD-04 to the hospital
      tarvelpump station events --config ward.toml --pump "bed 12" --since 1h --json
      tarvelpump station history --config ward.toml --since 2026-12-07T08:00 --json
      tarvelpump station view --mqtt mqtt://broker/site   one page for every gateway of a site

    exit status: 0 clean shutdown, 1 failure while running, 2 bad usage or configuration
    """)

_SPAN = re.compile(r"(\d+(?:\.\d+)?)\s*([smhdw])")
_UNIT = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 604800}


def parse_since(text: str, now: datetime | None = None) -> datetime:
    """"30m", "1h", "2d", "1h30m" (that long ago) or an ISO 8601 time (local time without an offset)."""
    spans = _SPAN.findall(text.strip().lower())
    if spans and "".join(a + b for a, b in spans) == re.sub(r"\s+", "", text.strip().lower()):
        ago = sum(float(n) * _UNIT[u] for n, u in spans)
        try:
            return (now or datetime.now(timezone.utc)) - timedelta(seconds=ago)
        except OverflowError:  # argparse reports only ValueError and TypeError as usage errors
            raise argparse.ArgumentTypeError(f"{text} reaches back too far") from None
    try:
        t = datetime.fromisoformat(text.strip())
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"--since takes a span such as 30m, 1h, 2d or an ISO time such as 2026-12-07T08:00, not {text!r}"
        ) from None
    return t if t.tzinfo is not None else t.astimezone()


def _hostport(text: str) -> str:
    try:
        parse_hostport(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def _mqtt_url(ward: bool) -> Callable[[str], str]:
    """A checker of broker URLs (``/site/ward`` to publish, ``/site[/ward]`` to view)."""

    def check(text: str) -> str:
        try:
            parse_url(text, ward=ward)  # its messages never show the password
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None
        return text

    return check


def _mllp_url(text: str) -> str:
    try:
        parse_mllp_url(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    return text


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text}")
    return value


# -- output ------------------------------------------------------------------

def _clock(t: datetime | None) -> str:
    return "-" if t is None else t.astimezone().strftime("%H:%M:%S")


def _details(details: dict[str, object]) -> str:
    return " ".join(f"{k}={v}" for k, v in details.items())


def event_line(e: Event) -> str:
    """One event as a plain line of text."""
    who = e.pump if e.pump is not None else f"[{e.link}]"
    return f"{e.time.astimezone().isoformat(timespec='seconds')}  {who:<12} {e.kind.value:<14} {_details(e.details)}".rstrip()


def _remaining(seconds: int | None) -> str:
    if seconds is None:
        return "-"
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}"


def table_lines(views: list[PumpView], events: list[Event], title: str) -> list[str]:
    """The live table: alarmed pumps first (by alarm priority), then the rest by label."""
    def order(v: PumpView) -> tuple[int, int, list[str | int]]:
        # "bed 2" before "bed 10"
        label: list[str | int] = [int(t) if t.isdigit() else t for t in re.split(r"(\d+)", v.label)]
        if not v.online:
            return (1, 0, label)
        if v.alarms:
            return (0, v.top_alarm_rank if v.top_alarm_rank is not None else 1 << 16, label)
        return (2, 0, label)

    rows = [f"{title}  {datetime.now().astimezone().strftime('%H:%M:%S')}  ({len(views)} pumps; Ctrl-C stops)", "",
            f"{'pump':<12} {'link':<10} {'state':<9} {'door':<6} {'left':>6} {'unit':<8} {'alarm':<24} seen"]
    for v in sorted(views, key=order):
        state = (v.running_name or "-") if v.online else "OFFLINE"
        door = "-" if v.door is None else ("open" if v.door else "closed")
        alarm = v.top_alarm or ""
        if len(v.alarms) > 1:
            alarm += f" +{len(v.alarms) - 1}"
        rows.append(f"{v.label:<12} {v.link:<10} {state:<9} {door:<6} {_remaining(v.remaining_s):>6} "
                    f"{(v.rate_unit_text or '-'):<8} {alarm:<24} {_clock(v.last_seen)}")
    if events:
        rows += ["", "latest events:"] + ["  " + event_line(e) for e in events]
    return rows


class Display:
    """What the command shows while a station runs, fed from the hub without blocking it.

    ``json``: one object per event; ``lines``: one line per event; ``table``:
    the table redrawn in place (a terminal), at most ``refresh`` times a second.
    """

    def __init__(self, hub: Hub, mode: str, out: TextIO, title: str = "", refresh: float = 1.0) -> None:
        self.hub = hub
        self.mode = mode
        self.out = out
        self.title = title
        self.refresh = refresh
        self._queue: queue.SimpleQueue[Event] = queue.SimpleQueue()
        self._recent: list[Event] = []
        self._dirty = True
        self._drawn = 0.0
        hub.add(self.on_round)

    def on_round(self, result: RoundResult) -> None:
        for e in result.events:
            self._queue.put(e)
        self._dirty = True

    def show(self, final: bool = False) -> None:
        events: list[Event] = []
        while True:
            try:
                events.append(self._queue.get_nowait())
            except queue.Empty:
                break
        if self.mode == "json":
            for e in events:
                self.out.write(json.dumps(e.to_json(), ensure_ascii=False, default=str) + "\n")
        elif self.mode == "lines":
            for e in events:
                self.out.write(event_line(e) + "\n")
        else:
            self._recent = (self._recent + events)[-8:]
            due = time.monotonic() - self._drawn >= 1.0 / self.refresh
            if (self._dirty and due) or final:
                self._drawn = time.monotonic()
                self._dirty = False
                # Home and clear, then the table: redrawn in place, no scrolling.
                self.out.write("\x1b[H\x1b[J" + "\n".join(table_lines(self.hub.views(), self._recent, self.title)) + "\n")
        self.out.flush()

    def close(self) -> None:
        self.hub.remove(self.on_round)
        self.show(final=True)


def _display_mode(args: argparse.Namespace, out: TextIO) -> str:
    if getattr(args, "json", False):
        return "json"
    return "table" if out.isatty() else "lines"


@contextmanager
def _stop_on_signals() -> Iterator[threading.Event]:
    """An event set by Ctrl-C or SIGTERM (handlers are only installed from the main thread)."""
    stop = threading.Event()
    if threading.current_thread() is not threading.main_thread():
        yield stop
        return

    def handler(signum: int, frame: FrameType | None) -> None:
        stop.set()

    old = {s: signal.signal(s, handler) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield stop
    finally:
        for s, h in old.items():
            signal.signal(s, h)


def _watch(display: Display, seconds: float | None, stop: threading.Event) -> None:
    deadline = None if seconds is None else time.monotonic() + seconds
    while not stop.is_set():
        display.show()
        wait = 0.2 if deadline is None else min(0.2, deadline - time.monotonic())
        if wait <= 0:
            break
        stop.wait(wait)


def _note(text: str) -> None:
    print(f"tarvelpump station: {text}", file=sys.stderr, flush=True)


# -- commands ----------------------------------------------------------------

def _config(args: argparse.Namespace) -> StationConfig:
    return load_config(args.config)


def _run(args: argparse.Namespace) -> int:
    from .app import Station

    config = _config(args)  # a ConfigError ends here, before any port is opened
    station = Station(config, http=args.http, mqtt=args.mqtt, hl7=args.hl7)
    # Listening before the first round: no event goes unprinted.
    display = Display(station.hub, _display_mode(args, sys.stdout), sys.stdout, config.name or "station")
    with _stop_on_signals() as stop:
        try:
            station.start()
            if station.http_url:
                _note(f"page at {station.http_url}")
            _watch(display, args.seconds, stop)
        finally:
            station.stop()
            display.close()
    return 0


def _demo(args: argparse.Namespace) -> int:
    from .demo import Demo

    http = None if args.no_http else args.http
    with _stop_on_signals() as stop, Demo(http=http, mqtt=args.mqtt, hl7=args.hl7, seed=args.seed) as demo:
        assert demo.station is not None and demo.config is not None
        for link in demo.config.links:
            _note(f"virtual radio {link.name} at {link.port}")
        _note(f"store in {demo.store_path} (removed on exit)")
        if demo.http_url:
            _note(f"open the page: {demo.http_url}")
        if args.hl7:
            _note(f"HL7 (IHE PCD-01 and PCD-04) to {args.hl7}")
        _note("watching 12 virtual pumps; their alarms, doors and comings and goings show below (Ctrl-C stops)")
        display = Display(demo.station.hub, _display_mode(args, sys.stdout), sys.stdout, "demo ward")
        try:
            _watch(display, args.seconds, stop)
        finally:
            display.close()
    return 0


def _view(args: argparse.Namespace) -> int:
    from .mqtt import MqttSource
    from .web import serve

    hub = Hub()
    source = MqttSource(args.mqtt, hub)
    host, port = parse_hostport(args.http)
    with _stop_on_signals() as stop:
        source.start()
        try:
            server = serve(hub, None, host, port, title="view")
            try:
                _note(f"page at {server.url}")
                display = Display(hub, _display_mode(args, sys.stdout), sys.stdout, "view")
                try:
                    _watch(display, args.seconds, stop)
                finally:
                    display.close()
            finally:
                server.stop()
        finally:
            source.stop()
    return 0


def _open_store(args: argparse.Namespace) -> tuple[Path, str | None]:
    path = Path(args.db) if args.db else _config(args).store.path
    if not path.exists():
        raise FileNotFoundError(f"no store at {path}: has the station run yet?")
    return path, args.pump


def _events(args: argparse.Namespace) -> int:
    path, pump = _open_store(args)
    with Store(path) as store:
        for e in store.events(pump=pump, since=args.since, limit=args.limit):
            print(json.dumps(e.to_json(), ensure_ascii=False, default=str) if args.json else event_line(e))
    return 0


def _history(args: argparse.Namespace) -> int:
    path, pump = _open_store(args)
    with Store(path) as store:
        for r in store.readings(pump=pump, since=args.since, limit=args.limit):
            if args.json:
                print(json.dumps(r.to_json(), ensure_ascii=False))
            else:
                fields = ("running", "door", "remaining_s", "rate_unit", "alarm_word")
                values = " ".join(f"{f}={getattr(r, f)}" for f in fields if getattr(r, f) is not None)
                print(f"{r.time.astimezone().isoformat(timespec='seconds')}  {r.pump:<12} {values}".rstrip())
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarvelpump station",
        description="Watch many pumps on serial lines or behind LoRa radios; keep every change.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def outputs(p: argparse.ArgumentParser, http_default: str | None) -> None:
        p.add_argument("--seconds", type=_seconds, help="stop after this long (default: until Ctrl-C or SIGTERM)")
        p.add_argument("--json", action="store_true", help="one JSON object per event instead of the table")
        p.add_argument("--http", type=_hostport, default=http_default, metavar="HOST:PORT",
                       help="serve the live page there (port 0: any free port)")

    p = sub.add_parser("run", help="run the station of a configuration file", epilog=EXAMPLES,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--config", required=True, help="the station's TOML file")
    outputs(p, None)
    p.add_argument("--mqtt", type=_mqtt_url(ward=True), metavar="URL", help="publish to a broker: mqtt://[user:pass@]host[:port]/site/ward")
    p.add_argument("--hl7", type=_mllp_url, metavar="URL", help="send HL7 (IHE PCD-01, PCD-04) to mllp://HOST:PORT")
    p.set_defaults(run=_run)

    for name, text, run in (("events", "stored events, oldest first", _events),
                            ("history", "stored readings, oldest first", _history)):
        p = sub.add_parser(name, help=text, description=text)
        where = p.add_mutually_exclusive_group(required=True)
        where.add_argument("--config", help="the station's TOML file (for its store path)")
        where.add_argument("--db", help="the store file itself")
        p.add_argument("--pump", metavar="LABEL", help='one pump, by label ("bed 12")')
        p.add_argument("--since", type=parse_since, help="30m, 1h, 2d, or an ISO time")
        p.add_argument("--limit", type=int, help="only the latest N")
        p.add_argument("--json", action="store_true", help="one JSON object per line")
        p.set_defaults(run=run)

    p = sub.add_parser("demo", help="a station on twelve virtual pumps behind two virtual radios")
    outputs(p, "127.0.0.1:8750")
    p.add_argument("--no-http", action="store_true", help="no page")
    p.add_argument("--mqtt", type=_mqtt_url(ward=True), metavar="URL", help="publish to a broker as well")
    p.add_argument("--hl7", type=_mllp_url, metavar="URL", help="send HL7 to mllp://HOST:PORT as well")
    p.add_argument("--seed", type=int, help="repeat the virtual ward's moves")
    p.set_defaults(run=_demo)

    p = sub.add_parser("view", help="the live page fed from a broker: several gateways on one screen")
    p.add_argument("--mqtt", type=_mqtt_url(ward=False), required=True, metavar="URL", help="mqtt://host/site[/ward]")
    outputs(p, "127.0.0.1:8750")
    p.set_defaults(run=_view)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(sys.argv[1:] if argv is None else argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except ConfigError as exc:
        _note(f"{exc}")
        return 2
    except KeyboardInterrupt:
        return 0
    except (OSError, ValueError, StoreError) as exc:
        _note(f"{exc}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
