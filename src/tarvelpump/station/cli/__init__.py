"""``tarvelpump station``: run a station, read back what it stored, try it on a virtual ward.

Exit status: 0 after a clean shutdown (Ctrl-C and SIGTERM included), 1 when
something failed while running (a store that cannot be written or is held by
another station included, or rounds that could not be committed), 2 for bad
usage or a bad configuration (reported before any port is opened). What is
printed while a station runs comes from the hub, which hands on committed
rounds only.
"""

from __future__ import annotations

import argparse
import errno
import json
import logging
import os
import signal
import sqlite3
import sys
import textwrap
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from datetime import datetime
from pathlib import Path
from types import FrameType
from typing import TextIO

from ..patients import cli as patients_cli
from ..records import since
from ..records.store import Store, StoreError
from ..settings.broker_url import (
    LABEL_MAX,
    VIEW_FORGET_AFTER_S,
    VIEW_MAX_PUMPS,
    VIEW_MAX_PUMPS_PER_WARD,
    VIEW_OFFLINE_AFTER_S,
    parse_url,
)
from ..settings.config import (
    ConfigError,
    StationConfig,
    load_config,
    parse_hostport,
    parse_mllp_url,
)
from . import check, hl7test
from .terminal import (
    Display,
    event_line,
    history_line,
    printable,
    table_lines,
)

__all__ = ["event_line", "history_line", "main", "parse_since", "printable", "table_lines"]

log = logging.getLogger(__name__)

#: The top-level modules of the station extra, for the one-line hint when one is missing.
_STATION_EXTRA = frozenset({"starlette", "uvicorn", "sse_starlette", "prometheus_client", "paho", "hl7", "msgspec"})

EXAMPLES = textwrap.dedent("""\
    examples:
      tarvelpump station demo                       twelve virtual pumps, a page to watch them
      tarvelpump station check --config ward.toml   what the configuration resolves to; opens nothing
      tarvelpump station run --config ward.toml     watch the pumps; a live table on a terminal
      tarvelpump station run --config ward.toml --json --http 127.0.0.1:8750 --mqtt mqtt://broker/site/ward
      tarvelpump station run --config ward.toml --hl7 mllp://engine.hospital:2575   PCD-01/PCD-04 to the hospital
      tarvelpump station events --config ward.toml --pump "bed 12" --since 1h --json
      tarvelpump station history --config ward.toml --since 2026-12-07T08:00 --json
      tarvelpump station patients --config ward.toml --pump "bed 12" --at 14:02   who it served then
      tarvelpump station view --mqtt mqtt://broker/site   one page for every gateway of a site
      tarvelpump station passwd nurse               a password hash for [http] users (the page beyond loopback)

    exit status: 0 clean shutdown, 1 failure while running, 2 bad usage or configuration
    """)

def parse_since(text: str, now: datetime | None = None) -> datetime:
    """``--since``: read as ``since=`` is in the API (see ``station.since``)."""
    try:
        return since.parse_since(text, now)
    except since.TooFarBack as exc:  # argparse reports only ValueError and TypeError as usage errors
        raise argparse.ArgumentTypeError(str(exc)) from None
    except ValueError:
        raise argparse.ArgumentTypeError(f"--since takes {since.SINCE_HELP}, not {text!r}") from None


def _checked(parse: Callable[[str], object]) -> Callable[[str], str]:
    """An argparse type: the text as given, once ``parse`` took it (its
    ValueError is the usage error; its messages never show a password)."""

    def check(text: str) -> str:
        try:
            parse(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
        return text

    return check


_hostport = _checked(parse_hostport)
_mllp_url = _checked(parse_mllp_url)


def _mqtt_url(ward: bool) -> Callable[[str], str]:
    """A checker of broker URLs (``/site/ward`` to publish, ``/site[/ward]`` to view)."""
    return _checked(lambda text: parse_url(text, ward=ward))


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value <= 10 ** 9:  # some thirty years: no timer takes more
        raise argparse.ArgumentTypeError(f"must be positive: {text}")
    return value


def _whole(text: str) -> int:
    """A number of pumps: 1 to a million."""
    try:
        value = int(text) if len(text) < 10 else 0
    except ValueError:
        value = 0
    if not 1 <= value <= 1_000_000:
        raise argparse.ArgumentTypeError(f"must be a whole number from 1 to 1000000, not {text[:40]!r}")
    return value


def _ward_level(text: str) -> str:
    """A ward whose retained messages to clear: one topic level, or + for every ward."""
    if not 0 < len(text) <= LABEL_MAX or any(c in text for c in "/#\0") or ("+" in text and text != "+"):
        raise argparse.ArgumentTypeError(f"name one ward (a topic level), or + for every ward, not {text[:40]!r}")
    return text


def _count(text: str) -> int:
    """A number of rows: 1 up to what SQLite counts."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= 2 ** 63 - 1:
        raise argparse.ArgumentTypeError(f"must be a whole number from 1 to {2 ** 63 - 1}, not {text[:40]!r}")
    return value


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


def _watch(display: Display, seconds: float | None, stop: threading.Event,
           failed: threading.Event | None = None) -> None:
    deadline = None if seconds is None else time.monotonic() + seconds
    while not stop.is_set() and not (failed is not None and failed.is_set()):
        display.show()
        wait = 0.2 if deadline is None else min(0.2, deadline - time.monotonic())
        if wait <= 0:
            break
        stop.wait(wait)


def _note(text: str) -> None:
    # What a configuration or a peer said is shown, never obeyed: control characters written out.
    print(f"tarvelpump station: {printable(text)}", file=sys.stderr, flush=True)


# -- commands ----------------------------------------------------------------

def _config(args: argparse.Namespace) -> StationConfig:
    return load_config(args.config)


def _run(args: argparse.Namespace) -> int:
    from ..app import Station

    config = _config(args)  # a ConfigError ends here, before any port is opened
    station = Station(config, http=args.http, mqtt=args.mqtt, hl7=args.hl7)
    # Listening before the first round: no event goes unprinted.
    display = Display(station.hub, _display_mode(args, sys.stdout), sys.stdout, config.name or "station",
                      near_end_s=config.poll.near_end_s)
    with _stop_on_signals() as stop:
        try:
            station.start()
            if station.http_url:
                _note(f"page at {station.http_url}")
            _watch(display, args.seconds, stop, station.failed)
        finally:
            station.stop()
            display.close()
    if station.failure is not None:  # rounds were lost: never a clean exit
        _note(station.failure)
        return 1
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
        display = Display(demo.station.hub, _display_mode(args, sys.stdout), sys.stdout, "demo ward",
                          near_end_s=demo.station.config.poll.near_end_s)
        try:
            _watch(display, args.seconds, stop, demo.station.failed)
        finally:
            demo.station.stop()  # commits what is kept before the last lines are shown
            display.close()
        failure = demo.station.failure
    if failure is not None:
        _note(failure)
        return 1
    return 0


def _view(args: argparse.Namespace) -> int:
    from ..hospital.view import View
    from ..settings.config import HttpConfig, load_http

    if args.offline_after > args.forget_after:
        _note(f"--offline-after ({args.offline_after:g} s) must not be longer than --forget-after "
              f"({args.forget_after:g} s)")
        return 2
    if args.clear_retained:
        from ..hospital.clear import clear_retained

        for ward, n in clear_retained(args.mqtt, args.clear_retained).items():
            print(f"{ward}: {n} retained messages cleared", flush=True)
        return 0
    web = HttpConfig() if args.config is None else load_http(args.config)
    view = View(args.mqtt, args.http, page=web, max_pumps=args.max_pumps, max_pumps_per_ward=args.max_pumps_per_ward,
                offline_after=args.offline_after, forget_after=args.forget_after)
    with _stop_on_signals() as stop, view:
        _note(f"page at {view.url}")
        display = Display(view.hub, _display_mode(args, sys.stdout), sys.stdout, view.title, wards=True,
                          stale_floor_s=view.stale_floor_s)
        try:
            _watch(display, args.seconds, stop)
        finally:
            display.close()
    return 0


def _open_store(args: argparse.Namespace) -> tuple[Path, str | None]:
    path = Path(args.db) if args.db else _config(args).store.path
    if not path.exists():
        raise FileNotFoundError(f"no store at {path}: has the station run yet?")
    if not path.is_file():
        raise StoreError(f"{path}: not a station store (not a regular file)")
    return path, args.pump


@contextmanager
def _reading(path: Path) -> Iterator[Store]:
    """The store, opened to read; whatever is wrong with the file is said with its name."""
    try:
        store = Store(path, readonly=True)
    except (ValueError, TypeError, sqlite3.Error) as exc:
        raise StoreError(f"{path}: cannot be used as a station store ({exc})") from None
    with store:
        yield store


class UnknownPump(Exception):
    """A pump asked for by label that neither the store nor the configuration knows."""


def _known_pump(store: Store, pump: str | None) -> None:
    if pump is None:
        return
    labels = set(store.last_views())
    if pump not in labels:
        raise UnknownPump(f"no pump {printable(pump)!r} in this store ({len(labels)} labels known; "
                          "`tarvelpump station check` lists the configured ones)")


def _events(args: argparse.Namespace) -> int:
    path, pump = _open_store(args)
    with _reading(path) as store:  # no lock: a running station keeps writing
        _known_pump(store, pump)
        for e in store.iter_events(pump=pump, since=args.since, limit=args.limit):  # printed as they are read
            print(json.dumps(e.to_json(), ensure_ascii=False, default=str) if args.json else event_line(e))
    return 0


def _history(args: argparse.Namespace) -> int:
    path, pump = _open_store(args)
    with _reading(path) as store:
        _known_pump(store, pump)
        for r in store.iter_readings(pump=pump, since=args.since, limit=args.limit):  # printed as they are read
            if args.json:
                print(json.dumps(r.to_json(), ensure_ascii=False))
            else:
                print(history_line(r))
    return 0


def _passwd(args: argparse.Namespace) -> int:
    """Ask for a password twice (or read two lines when not on a terminal) and
    print the ``[http] users`` line holding its salted hash, never the password."""
    import getpass

    from ..settings import passwords

    def ask(prompt: str) -> str:
        if sys.stdin.isatty():
            return getpass.getpass(prompt)
        return sys.stdin.readline().rstrip("\r\n")

    if not args.user or ":" in args.user or not args.user.isprintable():
        raise ConfigError("user", "a user name is printable, not empty and without a colon")
    password = ask(f"password for {args.user}: ")
    if len(password) < 8:
        raise ConfigError("password", "at least 8 characters")
    if ask("again: ") != password:
        raise ConfigError("password", "the two passwords differ")
    name = args.user if args.user.replace("-", "").replace("_", "").isalnum() else json.dumps(args.user)
    print("# under [http] users = { ... } of the station's configuration:")
    print(f'{name} = "{passwords.hash_password(password)}"')
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
        p.add_argument("--since", type=parse_since, help=since.SINCE_HELP.replace("%", "%%"))
        p.add_argument("--limit", type=_count, metavar="N", help="only the latest N")
        p.add_argument("--json", action="store_true", help="one JSON object per line")
        p.set_defaults(run=run)

    hl7test.add_parser(sub)
    patients_cli.add_parser(sub)

    p = sub.add_parser("check", help="check a configuration and show what it resolves to; opens nothing")
    p.add_argument("--config", required=True, help="the station's TOML file")
    p.add_argument("--json", action="store_true", help="the resolved configuration as one JSON object")
    p.set_defaults(run=check.run)

    p = sub.add_parser("demo", help="a station on twelve virtual pumps behind two virtual radios")
    outputs(p, "127.0.0.1:8750")
    p.add_argument("--no-http", action="store_true", help="no page")
    p.add_argument("--mqtt", type=_mqtt_url(ward=True), metavar="URL", help="publish to a broker as well")
    p.add_argument("--hl7", type=_mllp_url, metavar="URL", help="send HL7 to mllp://HOST:PORT as well")
    p.add_argument("--seed", type=int, help="repeat the virtual ward's moves")
    p.set_defaults(run=_demo)

    p = sub.add_parser("view", help="the live page fed from a broker: several gateways on one screen")
    p.add_argument("--mqtt", type=_mqtt_url(ward=False), required=True, metavar="URL", help="mqtt://host/site[/ward]")
    p.add_argument("--config", help="a TOML file whose [http] table (and [station] http_hosts) serve the page")
    outputs(p, "127.0.0.1:8750")
    p.add_argument("--max-pumps", type=_whole, default=VIEW_MAX_PUMPS, metavar="N",
                   help=f"pumps shown at most over the site; newer ones are refused and counted (default {VIEW_MAX_PUMPS})")
    p.add_argument("--max-pumps-per-ward", type=_whole, default=VIEW_MAX_PUMPS_PER_WARD, metavar="N",
                   help=f"pumps shown at most from one ward (default {VIEW_MAX_PUMPS_PER_WARD})")
    p.add_argument("--offline-after", type=_seconds, default=VIEW_OFFLINE_AFTER_S, metavar="SECONDS",
                   help=f"a pump not heard for this long is shown offline (default {VIEW_OFFLINE_AFTER_S:g})")
    p.add_argument("--forget-after", type=_seconds, default=VIEW_FORGET_AFTER_S, metavar="SECONDS",
                   help=f"... and for this long, no longer shown (default {VIEW_FORGET_AFTER_S:g})")
    p.add_argument("--clear-retained", type=_ward_level, action="append", metavar="WARD",
                   help="clear every message the broker retains under WARD (+: every ward), then exit; "
                        "a live gateway publishes its states again within 15 s")
    p.set_defaults(run=_view)

    p = sub.add_parser("passwd", help="a password hash for the page's [http] users (asked twice, never shown)")
    p.add_argument("user", help="the user name the page will ask for")
    p.set_defaults(run=_passwd)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(sys.argv[1:] if argv is None else argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except (ConfigError, UnknownPump) as exc:
        _note(f"{exc}")
        return 2
    except ModuleNotFoundError as exc:
        if (exc.name or "").partition(".")[0] not in _STATION_EXTRA:
            raise
        # The driver installs without the station's libraries: say what to add.
        _note(f"this command needs the station extra ({exc.name} is missing): "
              "pip install 'tarvelpump[station]'")
        return 2
    except KeyboardInterrupt:
        return 0
    except BrokenPipeError:
        # The reader went away (| head): stop quietly, as other tools do, and
        # keep the interpreter's last flush of stdout from failing again.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 0
    except OSError as exc:
        if exc.errno == errno.EADDRINUSE:
            _note(f"{exc.strerror}: another program serves that port; choose another with "
                  "--http HOST:PORT (port 0 picks a free one)")
        else:
            _note(f"{exc}")
        return 1
    except (ValueError, StoreError) as exc:
        _note(f"{exc}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
