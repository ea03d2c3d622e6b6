"""One lock per port in the process: a station link and a plain driver object on the same line."""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from tarvelpump import comm
from tarvelpump.station.watch.link import Link
from tarvelpump.station.watch.pump import Pump
from tarvelpump.virtualward import PumpState, VirtualWard


def test_a_plain_kelt_waits_while_a_link_is_mid_exchange(
    make_ward: Callable[..., VirtualWard], make_link: Callable[..., Link], tmp_path: Path
) -> None:
    ward = make_ward("fixed", link_path=str(tmp_path / "radio"))
    ward.add(1, 1, PumpState(alarm=0x0200), label="bed 1")
    link = make_link(ward.port, guard=0.0)  # a symlink: the line's own key is the resolved path
    assert os.path.realpath(ward.port) != ward.port
    order: list[str] = []
    inside = threading.Event()
    exchange = link._kelt._Kelt__sr  # type: ignore[attr-defined]

    def slow(data: Any, recv_len: int = 32) -> list[int]:
        inside.set()
        time.sleep(0.3)  # the link is mid-exchange
        reply: list[int] = exchange(data, recv_len)
        order.append("link")
        return reply

    link._kelt._Kelt__sr = slow  # type: ignore[attr-defined]
    polled: list[Any] = []
    poller = threading.Thread(target=lambda: polled.append(Pump(link, 1, 1, "bed 1").alarms()))
    poller.start()
    try:
        assert inside.wait(10)
        for name in (ward.port, os.path.realpath(ward.port)):  # either name of the port
            inside.clear()
            comm.Kelt(name, timeout=0.15).get_pump_alarm(addr=1, channel=1)
            order.append(name)
            if name == ward.port:  # the link again, then the other name
                poller.join(10)
                poller = threading.Thread(target=lambda: polled.append(Pump(link, 1, 1, "bed 1").alarms()))
                poller.start()
                assert inside.wait(10)
    finally:
        poller.join(10)
    assert order == ["link", ward.port, "link", os.path.realpath(ward.port)]
    assert [p.code for p in polled] == [comm.DeviceReturnCode.SUCCESS] * 2
