"""Shared fixtures of the station tests: virtual wards, links on them, and
pumps that each carry a state no other pump has, so a value credited to the
wrong pump shows."""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from tarvelpump.station.hub import Hub
from tarvelpump.station.link import Link
from tarvelpump.station.model import RadioMode, RoundResult
from tarvelpump.virtualward import PumpState, VirtualWard, WardPump


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


@pytest.fixture
def make_ward() -> Iterator[Callable[..., VirtualWard]]:
    """Start virtual wards (VirtualWard's arguments); all are stopped afterwards."""
    wards: list[VirtualWard] = []

    def start(*args: Any, **kwargs: Any) -> VirtualWard:
        ward = VirtualWard(*args, **kwargs).start()
        wards.append(ward)
        return ward

    yield start
    for ward in wards:
        ward.stop()


@pytest.fixture
def make_link() -> Iterator[Callable[..., Link]]:
    """Links (Link's arguments; name defaults per call); all closed afterwards."""
    links: list[Link] = []

    def make(port: str, name: str | None = None, **kwargs: Any) -> Link:
        kwargs.setdefault("timeout", 0.15)
        link = Link(name or f"link-{len(links)}", port, **kwargs)
        links.append(link)
        return link

    yield make
    for link in links:
        link.close()


@pytest.fixture
def signed_ward(make_ward: Callable[..., VirtualWard]) -> Callable[..., tuple[VirtualWard, list[WardPump]]]:
    """A fixed-point ward of ``n`` pumps with signature states; the first at address 0, channel 0."""

    def build(n: int, **kwargs: Any) -> tuple[VirtualWard, list[WardPump]]:
        ward = make_ward(RadioMode.FIXED, **kwargs)
        pumps = [ward.add(i * 7, i % 3, signature(i), label=f"bed {i}") for i in range(n)]
        return ward, pumps

    return build


@pytest.fixture
def hub() -> Hub:
    return Hub()
