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
import io
import json
import logging
import os
import queue
import re
import signal
import sqlite3
import sys
import textwrap
import threading
import time
import unicodedata
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from datetime import datetime
from pathlib import Path
from types import FrameType
from typing import Any, TextIO

from .. import comm
from . import presence, since
from .broker_url import (
    VIEW_FORGET_AFTER_S,
    VIEW_MAX_PUMPS,
    VIEW_MAX_PUMPS_PER_WARD,
    VIEW_OFFLINE_AFTER_S,
    parse_url,
)
from .config import ConfigError, StationConfig, load_config, parse_hostport, parse_mllp_url
from .hub import Hub
from .model import OFFLINE, ONLINE, UNHEARD, Event, PumpView, Reading, RoundResult
from .order import ordered
from .store import Store, StoreError

__all__ = ["event_line", "history_line", "main", "parse_since", "printable", "table_lines"]

log = logging.getLogger(__name__)

EXAMPLES = textwrap.dedent("""\
    examples:
      tarvelpump station demo                       twelve virtual pumps, a page to watch them
      tarvelpump station check --config ward.toml   what the configuration resolves to; opens nothing
      tarvelpump station run --config ward.toml     watch the pumps; a live table on a terminal
      tarvelpump station run --config ward.toml --json --http 127.0.0.1:8750 --mqtt mqtt://broker/site/ward
      tarvelpump station run --config ward.toml --hl7 mllp://engine.hospital:2575   PCD-01/PCD-04 to the hospital
      tarvelpump station events --config ward.toml --pump "bed 12" --since 1h --json
      tarvelpump station history --config ward.toml --since 2026-12-07T08:00 --json
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


def _count(text: str) -> int:
    """A number of rows: 1 up to what SQLite counts."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= 2 ** 63 - 1:
        raise argparse.ArgumentTypeError(f"must be a whole number from 1 to {2 ** 63 - 1}, not {text[:40]!r}")
    return value


# -- output ------------------------------------------------------------------

def _clock(t: datetime | None) -> str:
    return "-" if t is None else t.astimezone().strftime("%H:%M:%S")


# What a terminal would obey rather than show: C0 and C1 controls (escape
# sequences, a bell, a carriage return or a newline that forges a line), the
# line separators and the bidirectional overrides that reorder what follows.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escaped(c: str) -> str:
    code = ord(c)
    return _NAMED.get(c) or (f"\\x{code:02x}" if code <= 0xFF else f"\\u{code:04x}")


def printable(text: object) -> str:
    """Text from a pump, a configuration or a publisher as a terminal may
    receive it: every control character written out ("\\x1b", "\\n")."""
    return _CONTROL.sub(lambda m: _escaped(m.group()), str(text))


def _cells(text: str) -> int:
    """Terminal columns the text takes: wide (CJK) characters two, combining marks none."""
    n = 0
    for c in text:
        if unicodedata.combining(c):
            continue
        n += 2 if unicodedata.east_asian_width(c) in "WF" else 1
    return n


def _cut(text: str, width: int) -> str:
    """At most ``width`` columns; a shortened text ends in "…"."""
    if width <= 0:
        return ""
    if _cells(text) <= width:
        return text
    out, used = [], 0
    for c in text:
        w = 0 if unicodedata.combining(c) else (2 if unicodedata.east_asian_width(c) in "WF" else 1)
        if used + w > width - 1:
            break
        out.append(c)
        used += w
    return "".join(out) + "…"


def _pad(text: str, width: int, right: bool = False) -> str:
    text = _cut(text, width)
    fill = " " * (width - _cells(text))
    return fill + text if right else text + fill


def _details(details: dict[str, object]) -> str:
    return " ".join(f"{k}={v}" for k, v in details.items())


#: details a line shows in its own way (the ward before the pump) or not at all
_NOT_DETAILS = ("station", "pump_id")


def event_line(e: Event) -> str:
    """One event as a plain line of text; an event from a view over several
    gateways names its ward before the pump ("ward 3 · bed 1"). Control
    characters in any of it are written out, never sent to the terminal."""
    who = e.pump if e.pump is not None else f"[{e.link}]"
    station = e.details.get("station")
    if isinstance(station, str) and station:
        who = f"{station} · {who}"
    details = {k: v for k, v in e.details.items() if k not in _NOT_DETAILS}
    return printable(f"{e.time.astimezone().isoformat(timespec='seconds')}  {who:<12} {e.kind.value:<14} "
                     f"{_details(details)}".rstrip())


def _remaining(seconds: int | None) -> str:
    if seconds is None:
        return "-"
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}"


_STATE = {presence.STALE: "STALE", OFFLINE: "OFFLINE", UNHEARD: "NOT HEARD"}


def _pump_cells(v: PumpView, shown: str, at: datetime, wards: bool) -> dict[str, str]:
    state = (v.running_name or "-") if shown == ONLINE else _STATE[shown]
    door = "-" if v.door is None else ("OPEN" if v.door else "closed")
    alarm = v.top_alarm or ("ALARM" if v.alarmed else "")
    if len(v.alarms) > 1:
        alarm += f" +{len(v.alarms) - 1}"
    if alarm and shown != ONLINE:
        alarm = f"last: {alarm}"  # not known to be over, nor to be still on
    notes = []
    if shown == OFFLINE:
        notes.append(v.offline_reason or "not answering")
    elif shown == presence.STALE and v.last_seen is not None:
        notes.append(f"no news for {(at - v.last_seen).total_seconds():.0f} s")
    if presence.door_open(v):
        notes.append("DOOR OPEN")
    cells = {"ward": v.station if wards else "", "pump": v.label, "link": v.link, "state": state, "door": door, "left": _remaining(v.remaining_s),
             "unit": v.rate_unit_text or "-", "alarm": alarm, "seen": _clock(v.last_seen), "note": "; ".join(notes)}
    return {k: printable(x) for k, x in cells.items()}


#: the table's columns: (name, least width, widest it grows to, right-aligned)
_COLUMNS = (("pump", 12, 64, False), ("link", 4, 16, False), ("state", 9, 9, False), ("door", 6, 6, False),
            ("left", 6, 6, True), ("unit", 4, 8, False), ("alarm", 5, 30, False), ("seen", 8, 8, False))
#: on a narrow terminal: first the name and the alarm give up some room, then these
#: columns go, in this order, then the name and the alarm shrink further
_NARROW = (("pump", 24), ("alarm", 18), ("unit", 0), ("link", 0), ("pump", 16), ("alarm", 14), ("seen", 0),
           ("door", 0), ("pump", 10))


def _layout(rows: list[dict[str, str]], width: int | None, wards: bool) -> dict[str, int]:
    """Each column's width: as wide as its longest cell (within bounds), and on
    a terminal of ``width`` columns narrowed until the note has room to start."""
    widths: dict[str, int] = {}
    for name, least, most, _ in _COLUMNS:
        longest = max((_cells(_name(r) if name == "pump" else r[name]) for r in rows), default=0)
        least = 22 if wards and name == "pump" else least
        widths[name] = min(max(least, longest, len(name)), max(most, least))
    if width is None:
        return widths

    def needed() -> int:
        return sum(widths.values()) + len(widths) + 2  # a space between columns, two before the note, a start

    for name, room in _NARROW:
        if needed() <= width:
            break
        if room == 0:
            widths.pop(name, None)
        elif name in widths:
            widths[name] = min(widths[name], room)
    return widths


def _name(cells: dict[str, str], width: int | None = None) -> str:
    """The pump's label, after its ward's name in a view over several; when
    that is too long, the ward's name gives up room before the label does."""
    ward, label = cells["ward"], cells["pump"]
    if not ward:
        return label
    if width is not None and _cells(ward) + 3 + _cells(label) > width:
        ward = _cut(ward, max(min(_cells(ward), width - 3 - _cells(label)), min(_cells(ward), width // 3, 8)))
    return f"{ward} · {label}"


def _row(cells: dict[str, str], widths: dict[str, int]) -> str:
    out = [_pad(_name(cells, widths[name]) if name == "pump" else cells[name], widths[name], right)
           for name, _, _, right in _COLUMNS if name in widths]
    return (" ".join(out) + "  " + cells["note"]).rstrip()


def table_lines(views: list[PumpView], events: list[Event], title: str, *, at: datetime | None = None,
                health: dict[str, Any] | None = None, wards: bool = False,
                stale_floor_s: float = presence.STALE_FLOOR_S, width: int | None = None,
                height: int | None = None) -> list[str]:
    """The live table, in the page's order, with the page's counts; ``wards``:
    name each pump's ward (a view over several gateways).

    ``width`` and ``height``: the terminal's size. Rows are then cut to the
    width (long names end in "…", less needed columns go first) and the table
    takes at most ``height - 1`` lines, so nothing scrolls: alarmed pumps come
    first and stay, the latest events give way to them, and the pumps that do
    not fit are counted on a line of their own."""
    at = at or datetime.now().astimezone()
    counts = presence.counts(views, at, stale_floor_s)
    tail = f"  {at.astimezone().strftime('%H:%M:%S')}  ({presence.summary(counts)}; Ctrl-C stops)"
    title = printable(title)
    if width is not None and _cells(title + tail) > width:  # the counts matter more than the title
        tail = tail.replace("; Ctrl-C stops", "")
        title = _cut(title, max(8, width - _cells(tail)))
    top = [title + tail]
    store = presence.health_line(health or {})
    if store:
        top.append(printable("STORE NOT WRITABLE" + store[len("store not writable"):]))
    listed = ordered(views)
    said = ["  " + event_line(e) for e in events]
    more = ""
    if height is not None:  # only the rows that fit are drawn: a view may hold thousands
        room = height - 1 - len(top) - 2  # the blank line and the column names
        shown, kept = _fit_height(len(listed), sum(v.alarmed for v in listed), len(said), room)
        if shown < len(listed):
            more = _more(listed[shown:], at, stale_floor_s)
        listed, said = listed[:shown], said[len(said) - kept:] if kept else []
    cells = [_pump_cells(v, presence.shown_presence(v, at, stale_floor_s), at, wards) for v in listed]
    widths = _layout(cells, width, wards)
    header = {"ward": "", **{name: name for name in (*widths, "note")}}
    lines = top + ["", _row(header, widths)] + [_row(c, widths) for c in cells] + ([more] if more else [])
    if said:
        lines += ["", "latest events:"] + said
    return lines if width is None else [_cut(line, width) for line in lines]


def _fit_height(rows: int, alarmed: int, events: int, room: int) -> tuple[int, int]:
    """How many pump rows and event lines fit in ``room`` lines, alarms first;
    when not every row fits, one line is kept to count the rest."""
    def events_in(left: int) -> int:
        return max(0, min(events, left - 2))  # a blank line and "latest events:" above them

    if rows <= room:
        return rows, events_in(room - rows)
    recent = events_in(min(room, 2 + 3))
    shown = room - 1 - (recent + 2 if recent else 0)
    if shown < alarmed:  # every alarm on screen before any event
        recent, shown = 0, room - 1
    return max(0, shown), recent


def _more(rest: list[PumpView], at: datetime, floor: float) -> str:
    c = presence.counts(rest, at, floor)
    parts = [f"{c['alarmed']} in alarm"] if c["alarmed"] else []
    parts += [f"{c[p]} {p}" for p in (OFFLINE, presence.STALE) if c[p]]
    return f"… {len(rest)} more pumps" + (f" ({', '.join(parts)})" if parts else "") + "; a larger window shows them"


class Display:
    """What the command shows while a station runs, fed from the hub without blocking it.

    ``json``: one object per event; ``lines``: one line per event; ``table``:
    the table redrawn in place (a terminal), at most ``refresh`` times a second.
    """

    def __init__(self, hub: Hub, mode: str, out: TextIO, title: str = "", refresh: float = 1.0, *,
                 wards: bool = False, stale_floor_s: float = presence.STALE_FLOOR_S) -> None:
        self.hub = hub
        self.mode = mode
        self.out = out
        self.title = title
        self.refresh = refresh
        self.wards = wards
        self.stale_floor_s = stale_floor_s
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
                size = _terminal_size(self.out)
                lines = table_lines(self.hub.views(), self._recent, self.title, health=self.hub.health(),
                                    wards=self.wards, stale_floor_s=self.stale_floor_s, width=size.columns,
                                    height=size.lines)
                self.out.write("\x1b[H\x1b[J" + "\n".join(lines) + "\n")
        self.out.flush()

    def close(self) -> None:
        self.hub.remove(self.on_round)
        self.show(final=True)


def _terminal_size(out: TextIO) -> os.terminal_size:
    """The size of the terminal ``out`` writes to (80x24 when it is none)."""
    try:
        size = os.get_terminal_size(out.fileno())
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return os.terminal_size((80, 24))
    return size if size.columns > 0 and size.lines > 0 else os.terminal_size((80, 24))


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
    print(f"tarvelpump station: {text}", file=sys.stderr, flush=True)


# -- commands ----------------------------------------------------------------

def _config(args: argparse.Namespace) -> StationConfig:
    return load_config(args.config)


def _check(args: argparse.Namespace) -> int:
    """The configuration as the station will take it: paths resolved, defaults
    filled in, the password never shown. No port, store or broker is opened."""
    from .broker_url import parse_url
    from .schema import values

    config = _config(args)
    p = config.poll
    mqtt = None if config.mqtt is None else str(parse_url(config.mqtt, ward=True))
    links: list[dict[str, Any]] = []
    for lc in config.links:
        real = os.path.realpath(lc.port)
        links.append({
            "name": lc.name, "port": lc.port, "device": real if os.path.exists(real) else None,
            "baud": lc.baud, "timeout": lc.timeout, "mode": lc.mode.value,
            "guard": lc.timeout / 2 if lc.guard is None else lc.guard,
            "pumps": [{"label": pc.label, "id": pc.id, "addr": pc.addr, "channel": pc.channel}
                      for pc in config.pumps if pc.link == lc.name],
        })
    resolved = {
        "config": os.path.abspath(args.config), "name": config.name, "store": os.fspath(config.store.path),
        "retention_days": config.store.retention_days, "http": config.http, "mqtt": mqtt,
        "poll": values(p),
        "links": links,
    }
    if args.json:
        print(json.dumps(resolved, ensure_ascii=False))
        return 0
    print(f"{resolved['config']}: station {config.name!r}")
    print(f"  store  {resolved['store']}")
    print(f"  poll   gap {p.gap} s, whole status within {p.status_within:g} s, offline after "
          f"{p.offline_after} silent passes, retried at least every {p.retry_ceiling:g} s, "
          f"near end under {p.near_end_s} s")
    print(f"  page   {config.http or 'none'}; MQTT {mqtt or 'none'}")
    for link in links:
        where = link["device"] or "missing now (its pumps show offline until it is plugged in)"
        print(f"  link {link['name']!r}: {link['port']} -> {where}; {link['baud']} baud, "
              f"time-out {link['timeout']} s, {link['mode']}, guard {link['guard']:g} s, "
              f"{len(link['pumps'])} pumps")
        for pump in link["pumps"]:
            print(f"    {pump['label']!r} (id {pump['id']}): address {pump['addr']}, channel {pump['channel']}")
    print(f"ok: {len(links)} links, {len(config.pumps)} pumps; nothing was opened")
    return 0


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
        display = Display(demo.station.hub, _display_mode(args, sys.stdout), sys.stdout, "demo ward")
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
    from .config import HttpConfig, load_http
    from .view import View

    if args.offline_after > args.forget_after:
        _note(f"--offline-after ({args.offline_after:g} s) must not be longer than --forget-after "
              f"({args.forget_after:g} s)")
        return 2
    web = HttpConfig() if args.config is None else load_http(args.config)
    view = View(args.mqtt, args.http, web=web, max_pumps=args.max_pumps, max_pumps_per_ward=args.max_pumps_per_ward,
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


def _events(args: argparse.Namespace) -> int:
    path, pump = _open_store(args)
    with _reading(path) as store:  # no lock: a running station keeps writing
        for e in store.events(pump=pump, since=args.since, limit=args.limit):
            print(json.dumps(e.to_json(), ensure_ascii=False, default=str) if args.json else event_line(e))
    return 0


_CODES = {int(code): code.name for code in comm.DeviceReturnCode}
_READ = ("running", "door", "remaining_s", "rate_unit", "alarm_word")


def history_line(r: Reading) -> str:
    """One stored reading as a line: the values read, and each exchange that
    failed with its result code; a pump that answered nothing says "no answer"."""
    values = " ".join(f"{f}={getattr(r, f)}" for f in _READ if getattr(r, f) is not None)
    failed = ", ".join(f"{command} {_CODES.get(code, code)}" for command, code in r.codes.items()
                       if code != comm.DeviceReturnCode.SUCCESS)
    if not values:
        said = f"no answer ({failed})" if failed else "no answer"
    else:
        said = f"{values}; failed: {failed}" if failed else values
    return printable(f"{r.time.astimezone().isoformat(timespec='seconds')}  {r.pump:<12} {said}")


def _history(args: argparse.Namespace) -> int:
    path, pump = _open_store(args)
    with _reading(path) as store:
        for r in store.readings(pump=pump, since=args.since, limit=args.limit):
            if args.json:
                print(json.dumps(r.to_json(), ensure_ascii=False))
            else:
                print(history_line(r))
    return 0


def _passwd(args: argparse.Namespace) -> int:
    """Ask for a password twice (or read two lines when not on a terminal) and
    print the ``[http] users`` line holding its salted hash, never the password."""
    import getpass

    from . import passwords

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

    p = sub.add_parser("check", help="check a configuration and show what it resolves to; opens nothing")
    p.add_argument("--config", required=True, help="the station's TOML file")
    p.add_argument("--json", action="store_true", help="the resolved configuration as one JSON object")
    p.set_defaults(run=_check)

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
    except ConfigError as exc:
        _note(f"{exc}")
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
    except (OSError, ValueError, StoreError) as exc:
        _note(f"{exc}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
