"""Helpers of the station tests: pumps that each carry a state no other pump
has (so a value credited to the wrong pump shows), a link that records what it
sent, and a hub listener to wait on."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any

from tarvelpump.station.link import Link
from tarvelpump.station.model import RoundResult
from tarvelpump.virtualward import PumpState, VirtualWard


def signature(i: int) -> PumpState:
    """A state that tells pump ``i`` apart: its remaining time and alarm word are its own."""
    return PumpState(
        running=i % 7,
        door=i % 2,
        remain_hours=1 + i // 60,
        remain_minutes=i % 60,
        rate_unit=i % 2,
        alarm=(i + 1) << 1,
        total_value=i,
    )


def fields_of(state: PumpState) -> dict[str, int]:
    """What a station Reading should show for a ward pump in ``state``."""
    return {
        "running": state.running,
        "door": state.door,
        "remaining_s": state.remain_hours * 3600 + state.remain_minutes * 60,
        "rate_unit": state.rate_unit,
        "alarm_word": state.alarm,
    }


def misattributed(ward: VirtualWard, readings: Any) -> list[str]:
    """Every field of every reading that does not match its own pump's state."""
    wrong = []
    for r in readings:
        expected = fields_of(ward.pump(r.pump).state)
        for name, value in expected.items():
            got = getattr(r, name)
            if got is not None and got != value:
                wrong.append(f"{r.pump}: {name}={got}, its own is {value}")
    return wrong


def violations(sequence: list[tuple[Any, int]]) -> list[Any]:
    """Consecutive exchanges sending one command to two different pumps."""
    return [(a, b) for a, b in zip(sequence, sequence[1:]) if a[1] == b[1] and a[0] != b[0]]


class RecordingLink(Link):
    """A link that keeps the (prefix, command) of every exchange it makes, in order."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.sent: list[tuple[tuple[int, ...], int]] = []
        self._sent_lock = threading.Lock()

    def exchange(self, command: Any, prefix: Any, data: Any = ()) -> Any:
        with self._sent_lock:
            self.sent.append((tuple(prefix), int(command)))
        return super().exchange(command, prefix, data)


class Collector:
    """A hub listener that keeps every round and lets a test wait for one."""

    def __init__(self) -> None:
        self.rounds: list[RoundResult] = []
        self._cond = threading.Condition()

    def __call__(self, result: RoundResult) -> None:
        with self._cond:
            self.rounds.append(result)
            self._cond.notify_all()

    def events(self) -> list[Any]:
        with self._cond:
            return [e for r in self.rounds for e in r.events]

    def readings(self) -> list[Any]:
        with self._cond:
            return [x for r in self.rounds for x in r.readings]

    def wait(self, check: Callable[[list[RoundResult]], bool], timeout: float = 10.0) -> bool:
        with self._cond:
            return self._cond.wait_for(lambda: check(self.rounds), timeout)
