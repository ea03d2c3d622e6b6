"""Scenarios against the virtual ward. Every pump carries a state of its own,
and every value read is checked against the pump it was credited to: no
record may ever name the wrong pump."""

from __future__ import annotations

import os
import random
import threading

from _core import Collector, RecordingLink, misattributed, violations

from tarvelpump import comm
from tarvelpump.station.records.model import EventKind as K
from tarvelpump.station.watch.poller import PollSettings, Poller
from tarvelpump.station.watch.pump import Pump

Code = comm.DeviceReturnCode
TIMEOUT = 0.15


def poller_on(ward, make_link, hub, link_kwargs=(), **settings):
    link = make_link(ward.port, cls=RecordingLink, **dict(link_kwargs))
    collector = Collector()
    hub.add(collector)
    pumps = [Pump(link, p.addr, p.channel, p.label) for p in ward.pumps]
    return link, Poller(link, pumps, PollSettings(**{"gap": 0.0, **settings}), hub), collector


def test_eight_threads_and_a_poller_share_one_link(signed_ward, make_link, hub):
    ward = signed_ward(12, baud=19200, hop_delay=0.002)
    late, twice = ward.pump("bed 3"), ward.pump("bed 7")
    late.fault, late.late_delay = "late", 1.2 * TIMEOUT
    twice.fault, twice.repeat_delay = "twice", 0.002  # the repeat lands within the next exchange
    ward.pump("bed 10").fault = "chunked"
    link, poller, collector = poller_on(ward, make_link, hub, {"guard": 0.12}, gap=0.01)
    wrong, ok = [], []
    queries = ["alarms", "running", "door", "remaining", "rate_unit", "total_volume", "bubble", "infusion_parameter"]

    def worker(seed):
        rng = random.Random(seed)
        for _ in range(20):
            pump = rng.choice(poller.pumps)
            answer = getattr(pump, rng.choice(queries))()
            if answer.ok:  # the user data must be what this pump's state replies
                own = tuple(ward.pump(pump.label).state.reply_data(int(answer.command)))
                (ok if answer.data == own else wrong).append((pump.label, answer.command.name, answer.data))

    poller.start()
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert collector.wait(lambda c: len(c.rounds) >= 2)
    finally:
        poller.stop()
    assert wrong == [] and len(ok) > 100  # most of the 160 queries got through the faulty pumps
    assert misattributed(ward, collector.readings()) == []
    assert all(r.alarm_word is None for r in collector.readings() if r.pump == "bed 3")


def test_reply_late_by_a_fifth_of_the_timeout(signed_ward, make_link, hub):
    ward = signed_ward(6)
    ward.pump("bed 2").fault, ward.pump("bed 2").late_delay = "late", 1.2 * TIMEOUT
    # With the link's guard (half the time-out) the late reply is thrown away.
    link, poller, collector = poller_on(ward, make_link, hub, offline_after=100)
    for _ in range(3):
        poller.run_round()
    assert misattributed(ward, collector.readings()) == [] and violations(link.sent) == []
    assert all(r.alarm_word is r.running is None for r in collector.readings() if r.pump == "bed 2")
    # No guard, and the next pump silent too, so the late reply lands in the next
    # exchange: the order of exchanges alone keeps it from passing for that pump's.
    ward.pump("bed 3").present = False
    link, poller, collector = poller_on(ward, make_link, hub, {"guard": 0.0}, offline_after=100)
    for _ in range(3):
        poller.run_round()
    assert misattributed(ward, collector.readings()) == [] and violations(link.sent) == [] and link.fillers == 0
    views = {v.label: v for v in poller.views()}
    assert views["bed 2"].answered == 0 and views["bed 2"].silent == 3
    assert views["bed 3"].answered == 0 and sum(views["bed 3"].malformed.values()) >= 3  # landed, refused


def test_ward_in_trouble(signed_ward, make_link, hub, tmp_path):
    """Pumps answering twice, one leaving and coming back, garbage floods, the radio unplugged."""
    ward = signed_ward(5, baud=9600, link_path=str(tmp_path / "ttyRADIO"))
    for vp in ward.pumps[::3]:
        vp.fault, vp.repeat_delay = "twice", 0.005  # at 9600 baud the repeat lands in the next exchange
    link, poller, collector = poller_on(ward, make_link, hub, offline_after=2, retry_ceiling=2.0, gap=0.005)
    flooding = threading.Event()

    def flood():
        rng = random.Random(4)
        while not flooding.wait(rng.uniform(0.02, 0.08)):
            ward.flood(rng.randint(1, 30))

    flooder = threading.Thread(target=flood)
    poller.start()
    try:
        gone = ward.pump("bed 1")
        gone.present = False
        assert collector.wait(lambda c: c.events(K.OFFLINE))
        prefix = tuple(gone.prefix)
        asked, rounds = sum(p == prefix for p, _ in list(link.sent)), len(collector.rounds)
        flooder.start()
        assert collector.wait(lambda c: len(c.rounds) >= rounds + 5, timeout=30)
        flooding.set()
        flooder.join()
        tries = sum(p == prefix for p, _ in list(link.sent)) - asked
        assert 1 <= tries <= len(collector.rounds) - rounds  # offline: probed with one request at most a round
        gone.present = True
        assert collector.wait(lambda c: c.events(K.ONLINE))

        old_pty = os.path.realpath(ward.port)
        ward.vanish()
        assert collector.wait(lambda c: c.events(K.LINK_DOWN)) and not link.up and link.error
        assert old_pty not in [os.path.realpath(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")]
        down = len(collector.rounds)
        assert collector.wait(lambda c: len(c.rounds) >= down + 2)  # it keeps trying
        ward.restore()
        assert collector.wait(lambda c: c.events(K.LINK_UP)) and collector.events(K.LINK_UP)[0].details["down_s"] > 0
        back = len(collector.rounds)  # link_up comes as early news: two whole passes after it
        assert collector.wait(lambda c: sum(1 for r in c.rounds[back:] if r.exchanges) >= 2)
    finally:
        flooding.set()
        poller.stop()
    assert misattributed(ward, collector.readings()) == [] and violations(link.sent) == []
    assert sum(sum(v.malformed.values()) for v in poller.views()) > 0  # the floods and repeats did spoil some
    beds = [f"bed {i}" for i in range(5)]
    presence = [(e.kind, e.pump, e.details.get("reason")) for e in collector.events() if e.kind in (K.OFFLINE, K.ONLINE)]
    assert presence[0] == (K.OFFLINE, "bed 1", "no answer")
    # The radio unplugged: every pump still online then goes offline at once, saying why. (A
    # pump whose replies the floods spoiled for whole passes went offline too: not known to be fine.)
    radio_down = [p for k, p, why in presence if k is K.OFFLINE and (why or "").startswith("radio down: ")]
    assert radio_down and len(radio_down) == len(set(radio_down))
    for bed in beds:  # offline and back by turns, and back in the end
        kinds = [k for k, p, _ in presence if p == bed]
        assert kinds == [K.OFFLINE, K.ONLINE] * (len(kinds) // 2), (bed, kinds)
    assert [e.kind for e in collector.events() if e.pump is None] == [K.LINK_DOWN, K.LINK_UP]
    assert not collector.rounds[down].link_up
    last = [r for r in collector.rounds if r.exchanges][-1]
    assert last.link_up and all(v.online for v in last.views) and len(last.readings) == 5
