"""Scenarios against the virtual ward. In each, every pump carries a state of
its own, and every value the station reads is checked against the state of
the pump it was credited to: no record may ever name the wrong pump."""

from __future__ import annotations

import os
import random
import threading
import time

from _core import Collector, RecordingLink, fields_of, misattributed, violations

from tarvelpump import comm
from tarvelpump.station.model import EventKind, RadioMode
from tarvelpump.station.poller import PollSettings, Poller
from tarvelpump.station.pump import Pump

Code = comm.DeviceReturnCode
TIMEOUT = 0.15


def poll(ward, hub, *, link_kwargs=None, **settings):
    link = RecordingLink("radio", ward.port, timeout=TIMEOUT, mode=RadioMode.FIXED, **(link_kwargs or {}))
    pumps = [Pump(link, p.addr, p.channel, p.label) for p in ward.pumps]
    collector = Collector()
    hub.add(collector)
    settings.setdefault("gap", 0.0)
    return link, Poller(link, pumps, PollSettings(**settings), hub), collector


def answer_matches(answer, state):
    """Does a successful Answer carry this state's value?"""
    want = fields_of(state)
    command = answer.command
    if command == comm.Command.GET_PUMP_ALARM:
        return answer.value.word == want["alarm_word"]
    if command == comm.Command.GET_REMAIN_TIME:
        return answer.value.total_seconds() == want["remaining_s"]
    if command == comm.Command.GET_TOTAL_VALUE:
        return answer.value == int.from_bytes(state.total_value, "big")
    name = {comm.Command.GET_PUMP_STATUS: "running", comm.Command.GET_PUMPDOOR_STATUS: "door",
            comm.Command.GET_RATE_UNIT: "rate_unit"}[command]
    return answer.data == (want[name],)


def test_eight_threads_and_a_poller_share_one_link(signed_ward, hub):
    ward, vps = signed_ward(24, baud=19200, hop_delay=0.002)
    vps[3].fault, vps[3].late_delay = "late", 1.2 * TIMEOUT
    vps[7].fault, vps[7].repeat_delay = "twice", 0.002  # the repeat lands within the next exchange
    vps[11].fault = "chunked"
    link, poller, collector = poll(ward, hub, link_kwargs={"guard": 0.25}, gap=0.01)
    pumps = poller.pumps
    wrong, counts = [], {"ok": 0, "failed": 0}
    lock = threading.Lock()
    queries = ["alarms", "running", "door", "remaining", "rate_unit", "total_volume"]

    def worker(seed):
        rng = random.Random(seed)
        for _ in range(40):
            pump = rng.choice(pumps)
            answer = getattr(pump, rng.choice(queries))()
            with lock:
                if not answer.ok:
                    counts["failed"] += 1
                elif answer_matches(answer, ward.pump(pump.label).state):
                    counts["ok"] += 1
                else:
                    wrong.append((pump.label, answer.command.name, answer.data))

    try:
        poller.start()
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert collector.wait(lambda rounds: len(rounds) >= 2)
    finally:
        poller.stop()
        link.close()
    assert wrong == []
    assert misattributed(ward, collector.readings()) == []
    assert counts["ok"] > 200  # the line carried most of the 320 queries despite the faulty pumps
    late = [r for r in collector.readings() if r.pump == "bed 3"]
    assert late and all(r.alarm_word is None and r.running is None for r in late)


def test_reply_late_by_a_fifth_of_the_timeout_is_never_credited(signed_ward, hub):
    ward, vps = signed_ward(6)
    vps[2].fault, vps[2].late_delay = "late", 1.2 * TIMEOUT
    # With the link's guard (default: half the time-out) the late reply is thrown away.
    link, poller, collector = poll(ward, hub, offline_after=100)
    try:
        for _ in range(3):
            poller.run_round()
    finally:
        link.close()
    assert violations(link.sent) == [] and link.fillers == 0
    assert misattributed(ward, collector.readings()) == []
    assert all(r.alarm_word is None and r.running is None for r in collector.readings() if r.pump == "bed 2")

    # No guard, and the next pump silent too, so the late reply lands in the next
    # exchange: the order of exchanges alone keeps it from passing for that pump's.
    vps[3].present = False
    link, poller, collector = poll(ward, hub, link_kwargs={"guard": 0.0}, offline_after=100)
    try:
        for _ in range(3):
            poller.run_round()
    finally:
        link.close()
    assert violations(link.sent) == [] and link.fillers == 0
    assert misattributed(ward, collector.readings()) == []
    views = {v.label: v for v in poller.views()}
    assert views["bed 2"].answered == 0 and views["bed 2"].silent == 3
    assert views["bed 3"].answered == 0 and sum(views["bed 3"].malformed.values()) >= 3  # landed, refused


def test_pump_answering_twice(signed_ward, hub):
    # At 9600 baud the repeat, 5 ms after the reply, lands in the next exchange.
    ward, vps = signed_ward(8, baud=9600)
    for vp in vps[::3]:
        vp.fault, vp.repeat_delay = "twice", 0.005
    link, poller, collector = poll(ward, hub)
    try:
        for _ in range(4):
            poller.run_round()
    finally:
        link.close()
    assert violations(link.sent) == [] and link.fillers == 0
    readings = collector.readings()
    assert misattributed(ward, readings) == []
    # The twice-answering pumps themselves are read right, some of the time at least.
    assert all(any(r.alarm_word is not None for r in readings if r.pump == vp.label) for vp in vps[::3])


def test_pump_leaves_and_comes_back(signed_ward, hub):
    ward, vps = signed_ward(5)
    link, poller, collector = poll(ward, hub, offline_after=2, retry_ceiling=1.0, gap=0.005)
    gone = vps[1]
    try:
        poller.start()
        assert collector.wait(lambda rounds: len(rounds) >= 2)
        gone.present = False
        assert collector.wait(lambda _: any(e.kind is EventKind.OFFLINE for e in collector.events()))
        prefix = tuple(gone.prefix)
        asked = sum(p == prefix for p, _ in list(link.sent))
        rounds = len(collector.rounds)
        assert collector.wait(lambda r: len(r) >= rounds + 20)
        # Offline: tried with back-off (one request a try), not every round.
        assert 1 <= sum(p == prefix for p, _ in list(link.sent)) - asked <= 10
        gone.present = True
        assert collector.wait(lambda _: any(e.kind is EventKind.ONLINE for e in collector.events()))
    finally:
        poller.stop()
        link.close()
    kinds = [(e.kind, e.pump) for e in collector.events() if e.kind in (EventKind.OFFLINE, EventKind.ONLINE)]
    assert kinds == [(EventKind.OFFLINE, "bed 1"), (EventKind.ONLINE, "bed 1")]
    assert misattributed(ward, collector.readings()) == []
    assert {v.label: v.online for v in hub.views()}["bed 1"]


def test_port_vanishes_mid_round_and_comes_back(signed_ward, hub, tmp_path):
    ward, vps = signed_ward(10, link_path=str(tmp_path / "ttyRADIO"))
    link, poller, collector = poll(ward, hub, gap=0.01, offline_after=2)
    try:
        poller.start()
        assert collector.wait(lambda rounds: len(rounds) >= 1)
        started = len(vps[-1].requests)
        time.sleep(0.05)  # into the next round
        old_pty = os.path.realpath(ward.port)
        ward.vanish()
        assert collector.wait(lambda _: any(e.kind is EventKind.LINK_DOWN for e in collector.events()))
        assert not link.up and link.error
        # The dead port was let go (before the new one may reuse its name).
        fds = [os.path.realpath(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")]
        assert old_pty not in fds
        down_rounds = len(collector.rounds)
        assert collector.wait(lambda r: len(r) >= down_rounds + 2)  # it keeps trying
        ward.restore()
        assert collector.wait(lambda _: any(e.kind is EventKind.LINK_UP for e in collector.events()))
        back = len(collector.rounds)
        assert collector.wait(lambda r: len(r) >= back + 2)
    finally:
        poller.stop()
        link.close()
    events = collector.events()
    assert [e.kind for e in events if e.pump is None] == [EventKind.LINK_DOWN, EventKind.LINK_UP]
    # The port failing is not the pumps' doing: none went offline, none counted silent for it.
    assert not any(e.kind is EventKind.OFFLINE for e in events)
    assert all(v.online for v in hub.views())
    assert not collector.rounds[down_rounds].link_up
    last = [r for r in collector.rounds if r.exchanges][-1]
    assert last.link_up and {r.pump for r in last.readings} == {vp.label for vp in vps}
    assert len(vps[-1].requests) > started
    assert misattributed(ward, collector.readings()) == []


def test_garbage_floods(signed_ward, hub):
    ward, vps = signed_ward(8, hop_delay=0.01)
    link, poller, collector = poll(ward, hub, gap=0.005, offline_after=50)
    flooding = threading.Event()

    def flood():
        rng = random.Random(4)
        while not flooding.wait(rng.uniform(0.005, 0.04)):
            ward.flood(rng.randint(1, 200))

    flooder = threading.Thread(target=flood)
    try:
        flooder.start()
        for _ in range(5):
            poller.run_round()
        flooding.set()
        flooder.join()
        clean = poller.run_round()
    finally:
        flooding.set()
        link.close()
    assert misattributed(ward, collector.readings()) == []
    assert sum(sum(v.malformed.values()) for v in clean.views) > 0  # the floods did spoil exchanges
    # Once the floods stop, every pump is read in full again.
    assert all(set(r.codes.values()) == {Code.SUCCESS} and len(r.codes) == 5 for r in clean.readings)
