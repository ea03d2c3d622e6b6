"""Helpers of the station tests: pump states no other pump shares (so a value
credited to the wrong pump shows), a link that records what it sent, and a
hub listener to wait on."""

from __future__ import annotations

import threading
from typing import Any

from tarvelpump.station.watch.link import Link
from tarvelpump.virtualward import PumpState


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
            return [e for r in self.rounds for e in r.events if kind is None or e.kind is kind]

    def readings(self) -> list[Any]:
        with self._cond:
            return [x for r in self.rounds for x in r.readings]

    def wait(self, check: Any, timeout: float = 10.0) -> bool:
        with self._cond:
            return self._cond.wait_for(lambda: check(self), timeout)
