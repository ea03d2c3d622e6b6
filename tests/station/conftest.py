"""Shared fixtures of the station tests: virtual wards and links on them."""

from __future__ import annotations

import gc
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from _core import signature

from tarvelpump.station.hub import Hub
from tarvelpump.station.watch.link import Link
from tarvelpump.virtualward import VirtualWard


@pytest.fixture(autouse=True, scope="module")
def _collect_after_module() -> Iterator[None]:
    """Free what a module's test clients left in reference cycles (paho's
    among them hold sockets), so that later tests counting this process's
    descriptors see only their own."""
    yield
    gc.collect()


@pytest.fixture
def make_ward() -> Iterator[Callable[..., VirtualWard]]:
    """Start virtual wards (VirtualWard's arguments); all are stopped afterwards."""
    wards: list[VirtualWard] = []
    yield lambda *args, **kwargs: wards.append(VirtualWard(*args, **kwargs).start()) or wards[-1]
    for ward in wards:
        ward.stop()


@pytest.fixture
def make_link() -> Iterator[Callable[..., Link]]:
    """Links (Link's arguments, time-out 0.15 s unless given); all closed afterwards."""
    links: list[Link] = []

    def make(port: str, name: str = "radio", cls: type[Link] = Link, **kwargs: Any) -> Link:
        links.append(cls(name, port, **{"timeout": 0.15, **kwargs}))
        return links[-1]

    yield make
    for link in links:
        link.close()


@pytest.fixture
def signed_ward(make_ward: Callable[..., VirtualWard]) -> Callable[..., VirtualWard]:
    """A fixed-point ward of ``n`` pumps "bed i" with signature states, the first at address 0, channel 0."""

    def build(n: int, **kwargs: Any) -> VirtualWard:
        ward = make_ward("fixed", **kwargs)
        for i in range(n):
            ward.add(i * 7, i % 3, signature(i), label=f"bed {i}")
        return ward

    return build


@pytest.fixture
def hub() -> Hub:
    return Hub()
