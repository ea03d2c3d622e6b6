"""Shared fixtures of the station tests: virtual wards, links on them, and
wards whose pumps each carry a state of their own (see ``_core``)."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import pytest
from _core import signature

from tarvelpump.station.hub import Hub
from tarvelpump.station.link import Link
from tarvelpump.station.model import RadioMode
from tarvelpump.virtualward import VirtualWard, WardPump


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
