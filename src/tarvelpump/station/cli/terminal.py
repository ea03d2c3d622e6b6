"""What the station shows on a terminal: the table redrawn in place, one
line per event, stored readings as lines. Every text from a pump, a
configuration or a publisher passes through ``printable`` first."""

from __future__ import annotations

import io
import json
import os
import queue
import re
import time
import unicodedata
from datetime import datetime
from typing import Any, TextIO

from ... import comm
from ..hub import Hub
from ..records.model import (
    OFFLINE,
    ONLINE,
    UNHEARD,
    Event,
    PumpView,
    Reading,
    RoundResult,
)
from ..records.order import ordered
from ..watch import presence

__all__ = ["Display", "event_line", "history_line", "printable", "table_lines", "terminal_size"]

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


def event_line(e: Event, wards: bool = False) -> str:
    """One event as a plain line of text; in a view over several gateways
    (``wards``) it names its ward before the pump ("ward 3 · bed 1"). Control
    characters in any of it are written out, never sent to the terminal."""
    who = e.pump if e.pump is not None else f"[{e.link}]"
    if wards and e.station:
        who = f"{e.station} · {who}"
    return printable(f"{e.time.astimezone().isoformat(timespec='seconds')}  {who:<12} {e.kind:<14} "
                     f"{_details(e.details)}".rstrip())


def remaining_text(seconds: int | None) -> str:
    """Time left with its units ("1h30m", "45m"): "1:30" could be read as minutes."""
    if seconds is None:
        return "-"
    hours, minutes = seconds // 3600, seconds // 60 % 60
    return f"{hours}h{minutes:02d}m" if hours else f"{minutes}m"


_STATE = {presence.STALE: "STALE", OFFLINE: "OFFLINE", UNHEARD: "NOT HEARD"}
#: the columns of the values read in turn, by field, in the order their ages are said
_AGED = {"door": "door", "remaining_s": "left", "running": "state", "rate_unit": "unit"}


def _reason(text: str) -> str:
    """An offline reason as a row says it: "radio down: <the port's whole error>"
    keeps its head and the error's last part, which names what is missing."""
    head, sep, rest = text.partition(": ")
    if not sep or len(text) <= 40:
        return text
    return f"{head}: …{rest.rsplit(': ', 1)[-1][-16:]}"


def _pump_cells(v: PumpView, shown: str, at: datetime, wards: bool,
                near_end_s: int | None = None) -> dict[str, str]:
    state = (v.running_name or "-") if shown == ONLINE else _STATE[shown]
    door = "-" if v.door is None else ("OPEN" if v.door else "closed")
    alarm = v.top_alarm or ("ALARM" if v.alarmed else "")
    if len(v.alarms) > 1:
        alarm += f" +{len(v.alarms) - 1}"
    if alarm and shown != ONLINE:
        alarm = f"last: {alarm}"  # not known to be over, nor to be still on
    notes = []
    if shown == OFFLINE:
        notes.append(_reason(v.offline_reason or "not answering"))
    elif shown == presence.STALE and v.last_seen is not None:
        notes.append(f"no news for {(at - v.last_seen).total_seconds():.0f} s")
    old = presence.aged(v, at)  # values read longer ago than the pass say so
    ago = {name: f"{seconds:.0f}s ago" for name, seconds in old.items()}
    if shown == ONLINE:  # what is not current is in the row's state and seen, never a band of its own
        if presence.door_open(v):
            notes.append(f"DOOR OPEN {ago.pop('door')}" if "door" in ago else "DOOR OPEN")
        if near_end_s is not None and presence.near_end(v, near_end_s):
            notes.append(f"NEAR END {ago.pop('remaining_s')}" if "remaining_s" in ago else "NEAR END")
    notes += [f"{_AGED[name]} {ago[name]}" for name in _AGED if name in ago]
    cells = {"ward": v.station if wards else "", "pump": v.label, "link": v.link, "state": state, "door": door, "left": remaining_text(v.remaining_s),
             "unit": v.rate_unit_text or "-", "alarm": alarm, "seen": _clock(v.last_seen), "note": "; ".join(notes)}
    return {k: printable(x) for k, x in cells.items()}


#: the table's columns: (name, least width, widest it grows to, right-aligned)
_COLUMNS = (("pump", 12, 64, False), ("link", 4, 16, False), ("state", 9, 9, False), ("door", 6, 6, False),
            ("left", 6, 6, True), ("unit", 4, 8, False), ("alarm", 5, 30, False), ("seen", 8, 8, False))
#: on a narrow terminal: first the name and the alarm give up some room, then these
#: columns go, in this order, then the name and the alarm shrink further
_NARROW = (("pump", 24), ("alarm", 18), ("unit", 0), ("link", 0), ("pump", 16), ("alarm", 14), ("seen", 0),
           ("door", 0), ("pump", 10))


#: room kept for a note on a narrow terminal (an offline reason, DOOR OPEN, NEAR END)
_NOTE_ROOM = 28


def _layout(rows: list[dict[str, str]], width: int | None, wards: bool) -> dict[str, int]:
    """Each column's width: as wide as its longest cell (within bounds), and on
    a terminal of ``width`` columns narrowed until the notes have room: a
    pump's offline reason or DOOR OPEN goes last, after the unit, link and seen."""
    widths: dict[str, int] = {}
    for name, least, most, _ in _COLUMNS:
        longest = max((_cells(_name(r) if name == "pump" else r[name]) for r in rows), default=0)
        least = 22 if wards and name == "pump" else least
        widths[name] = min(max(least, longest, len(name)), max(most, least))
    if width is None:
        return widths

    note = min(max((_cells(r["note"]) for r in rows), default=0), _NOTE_ROOM)

    def needed() -> int:
        return sum(widths.values()) + len(widths) + 1 + max(note, 1)  # spaces between columns, two before the note

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
                height: int | None = None, near_end_s: int | None = None) -> list[str]:
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
    said = ["  " + event_line(e, wards) for e in events]
    more = ""
    if height is not None:  # only the rows that fit are drawn: a view may hold thousands
        room = height - 1 - len(top) - 2  # the blank line and the column names
        shown, kept = _fit_height(len(listed), sum(v.alarmed for v in listed), len(said), room)
        if shown < len(listed):
            more = _more(listed[shown:], at, stale_floor_s)
        listed, said = listed[:shown], said[len(said) - kept:] if kept else []
    cells = [_pump_cells(v, presence.shown_presence(v, at, stale_floor_s), at, wards, near_end_s) for v in listed]
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
                 wards: bool = False, stale_floor_s: float = presence.STALE_FLOOR_S,
                 near_end_s: int | None = None) -> None:
        self.hub = hub
        self.mode = mode
        self.out = out
        self.title = title
        self.refresh = refresh
        self.wards = wards
        self.stale_floor_s = stale_floor_s
        self.near_end_s = near_end_s
        self._queue: queue.SimpleQueue[Event] = queue.SimpleQueue()
        self._recent: list[Event] = []
        self._dirty = True
        self._drawn = 0.0
        self._remove = hub.add(self.on_round)

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
                self.out.write(event_line(e, self.wards) + "\n")
        else:
            self._recent = (self._recent + events)[-8:]
            due = time.monotonic() - self._drawn >= 1.0 / self.refresh
            if (self._dirty and due) or final:
                self._drawn = time.monotonic()
                self._dirty = False
                # Home and clear, then the table: redrawn in place, no scrolling.
                size = terminal_size(self.out)
                lines = table_lines(self.hub.views(), self._recent, self.title, health=self.hub.health(),
                                    wards=self.wards, stale_floor_s=self.stale_floor_s, width=size.columns,
                                    height=size.lines, near_end_s=self.near_end_s)
                self.out.write("\x1b[H\x1b[J" + "\n".join(lines) + "\n")
        self.out.flush()

    def close(self) -> None:
        self._remove()
        self.show(final=True)


def terminal_size(out: TextIO) -> os.terminal_size:
    """The size of the terminal ``out`` writes to (80x24 when it is none)."""
    try:
        size = os.get_terminal_size(out.fileno())
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return os.terminal_size((80, 24))
    return size if size.columns > 0 and size.lines > 0 else os.terminal_size((80, 24))


_CODES = {int(code): code.name for code in comm.DeviceReturnCode}


def _entry(table: Any, code: int) -> str:
    """A table's entry by code, as its name ("RUN"); a code the table lacks stays a number."""
    entry = table.get_option_by_code(code)
    return f"code {code}" if entry is None else str(entry.name)


def _alarm_names(word: int) -> str:
    names = [b.name for b in comm.KeltPumpAlarmBits if word & int(b)]
    return ",".join(names) if names else "none"


#: each value a reading may hold, with how a line says it
_SAID: tuple[tuple[str, Any], ...] = (
    ("running", lambda c: _entry(comm.PumpStatus, c)),
    ("door", lambda c: f"door {_entry(comm.PumpDoorStatus, c)}"),
    ("remaining_s", lambda s: f"left {remaining_text(s)}"),
    ("rate_unit", lambda c: f"unit {_entry(comm.RateUnit, c)}"),
    ("alarm_word", lambda w: f"alarm {_alarm_names(w)}"),
)


def history_line(r: Reading) -> str:
    """One stored reading as a line, in words ("RUN door CLOSE left 1h30m alarm none"),
    and each exchange that failed with its result code; a pump that answered
    nothing says "no answer". ``--json`` keeps the codes."""
    values = " ".join(say(getattr(r, f)) for f, say in _SAID if getattr(r, f) is not None)
    failed = ", ".join(f"{command} {_CODES.get(code, code)}" for command, code in r.codes.items()
                       if code != comm.DeviceReturnCode.SUCCESS)
    if not values:
        said = f"no answer ({failed})" if failed else "no answer"
    else:
        said = f"{values}; failed: {failed}" if failed else values
    return printable(f"{r.time.astimezone().isoformat(timespec='seconds')}  {r.pump:<12} {said}")
