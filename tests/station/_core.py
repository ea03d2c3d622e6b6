"""Helpers of the station tests: pump states no other pump shares (so a value
credited to the wrong pump shows), a link that records what it sent, and a
hub listener to wait on."""

from __future__ import annotations

import threading
from datetime import datetime
from typing import Any

import msgspec

from tarvelpump.station.records.kinds import KINDS, Event, LinkEvent
from tarvelpump.station.records.model import now
from tarvelpump.station.watch.link import Link
from tarvelpump.virtualward import PumpState


def _plain(t: Any) -> Any:
    """A plain value of a declared field's type (not null where it may be)."""
    if isinstance(t, msgspec.inspect.Metadata):
        return _plain(t.type)
    if isinstance(t, msgspec.inspect.UnionType):
        return _plain(next(x for x in t.types if not isinstance(x, msgspec.inspect.NoneType)))
    if isinstance(t, msgspec.inspect.ListType):
        return [_plain(t.item_type)]
    return {msgspec.inspect.StrType: "ALARM_OCCLUSION", msgspec.inspect.IntType: 1, msgspec.inspect.FloatType: 2.5,
            msgspec.inspect.BoolType: True, msgspec.inspect.DateTimeType: now()}[type(t)]


def event(kind: str, pump: str | None = "bed 1", link: str = "radio", time: datetime | None = None,
          **fields: Any) -> Event:
    """An event of ``kind`` as the station declares it (fields by their JSON names, as "from");
    each one not given takes a plain value of its type."""
    cls = KINDS[kind]
    info = msgspec.inspect.type_info(cls)
    assert isinstance(info, msgspec.inspect.StructType)
    named = {f.encode_name: f.name for f in info.fields}
    given = {named[k]: v for k, v in fields.items()}
    for f in info.fields:
        if f.required and f.name not in given and f.name not in ("time", "pump", "link"):
            given[f.name] = _plain(f.type)
    return cls(pump=None if issubclass(cls, LinkEvent) else pump, link=link, time=time or now(), **given)


def signature(i: int) -> PumpState:
    """Pump ``i``'s own state: its remaining time and alarm word are unique."""
    return PumpState(running=i % 7, door=i % 2, remain_hours=1 + i // 60, remain_minutes=i % 60,
                     rate_unit=i % 2, alarm=(i + 1) << 1, total_value=i)


def fields_of(state: PumpState) -> dict[str, int]:
    return {"running": state.running, "door": state.door, "rate_unit": state.rate_unit, "alarm_word": state.alarm,
            "remaining_s": state.remain_hours * 3600 + state.remain_minutes * 60}


def misattributed(ward: Any, readings: Any) -> list[str]:
    """Every field of every reading that differs from its own pump's state."""
    return [f"{r.pump}: {k}={getattr(r, k)}, its own is {v}" for r in readings
            for k, v in fields_of(ward.pump(r.pump).state).items() if getattr(r, k) not in (None, v)]


def violations(sent: list[tuple[Any, int]]) -> list[Any]:
    """Consecutive exchanges that send one command to two different pumps."""
    return [(a, b) for a, b in zip(sent, sent[1:]) if a[1] == b[1] and a[0] != b[0]]


class RecordingLink(Link):
    """A link that keeps the (prefix, command) of every exchange asked of it."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.sent: list[tuple[tuple[int, ...], int]] = []

    def exchange(self, command: Any, prefix: Any, data: Any = ()) -> Any:
        self.sent.append((tuple(prefix), int(command)))  # list.append is atomic
        return super().exchange(command, prefix, data)


class Collector:
    """A hub listener keeping every round; ``wait`` blocks until a condition holds."""

    def __init__(self) -> None:
        self.rounds: list[Any] = []
        self._cond = threading.Condition()

    def __call__(self, result: Any) -> None:
        with self._cond:
            self.rounds.append(result)
            self._cond.notify_all()

    def events(self, kind: Any = None) -> list[Any]:
        with self._cond:
            return [e for r in self.rounds for e in r.events if kind is None or e.kind == kind]

    def readings(self) -> list[Any]:
        with self._cond:
            return [x for r in self.rounds for x in r.readings]

    def wait(self, check: Any, timeout: float = 10.0) -> bool:
        with self._cond:
            return self._cond.wait_for(lambda: check(self), timeout)
