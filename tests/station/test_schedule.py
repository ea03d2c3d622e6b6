"""The pass schedule: every pump's alarm word every pass, its whole status
within ``status_within`` (each value within a ward's tighter bound), a first
pass like any other, and never one command to two pumps in a row."""

from __future__ import annotations

import dataclasses
import time

import pytest
from _core import violations
from hypothesis import given, settings
from hypothesis import strategies as st

from tarvelpump import comm
from tarvelpump.station.settings.config import STATUS_VALUES
from tarvelpump.station.watch.schedule import ALARM, FIELDS, STATUS_READS, PassPlan, StatusClock

Cmd = comm.Command


def play(n, passes, *, within, exchange_s, last=None, fresh=None):
    """Run passes over ``n`` pumps as the poller does, on a simulated clock.

    ``passes``: per pass, the pumps due and the pumps silent at first (they
    answer nothing that pass). Returns the worst age of each status read of
    the pumps that always answer, seen at any exchange (a value not read yet
    counts from the start), and each pass's length.
    """
    clocks = {p: StatusClock(within, fresh, p / n) for p in range(n)}
    read_at: dict[tuple[int, int], float] = {}
    sent = [last] if last else []
    t, pass_s, lengths = 0.0, 0.0, []
    worst = dict.fromkeys(map(int, STATUS_READS), 0.0)
    answering = set(range(n)) - {p for _, silent in passes for p in silent}
    for due, silent in passes:
        start = t
        plan = PassPlan([((p,), clocks[p].unit(start, pass_s)) for p in due], lambda: sent[-1] if sent else None)
        mine: list[tuple[int, int]] = []
        for (p,), command in plan:
            t += exchange_s
            if p in silent:
                if all(q != p for q, _ in mine):
                    plan.skip((p,))
            else:
                clocks[p].answered(command, start)
                read_at[p, int(command)] = t
            mine.append((p, int(command)))
            sent.append(((p,), int(command)))
            if start > 0:  # past the first pass, nothing may be older than asked
                for c in worst:
                    worst[c] = max([worst[c]] + [t - read_at.get((q, c), 0.0) for q in answering & set(due)])
        lengths.append(t - start)
        if mine:  # the ordinary pass: two reads a pump
            pass_s = lengths[-1] * 2 * len({q for q, _ in mine}) / len(mine)
        for p in due:
            got = [c for q, c in mine if q == p]
            if p in silent:
                assert len(got) == 1  # a silent pump costs one exchange a pass
            else:
                assert got.count(int(ALARM)) == 1 and len(got) >= 2  # its alarm word, every pass
    assert violations(sent) == []
    return worst, lengths


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_schedule_properties(data):
    n = data.draw(st.integers(1, 40))
    exchange_s = data.draw(st.floats(0.05, 0.5))
    within = data.draw(st.floats(1.0, 120.0))
    passes = []
    for _ in range(data.draw(st.integers(1, 12))):
        due = data.draw(st.lists(st.sampled_from(range(n)), unique=True))
        passes.append((due, data.draw(st.sets(st.sampled_from(due))) if due else set()))
    if data.draw(st.booleans()):  # every pump due and answering every pass
        passes = [(list(range(n)), set())] * len(passes) * 3
    last = data.draw(st.sampled_from([None, ((0,), int(ALARM)), ((99,), int(Cmd.GET_RATE_UNIT))]))
    fresh = data.draw(st.dictionaries(st.sampled_from(list(FIELDS)), st.floats(0.5, 120.0)))
    worst, _ = play(n, passes, within=within, exchange_s=exchange_s, last=last, fresh=fresh)
    longest = n * (1 + len(STATUS_READS)) * exchange_s  # a pass that reads everything
    bounds = {name: min(within, fresh.get(name, within)) for name in FIELDS}
    if all(len(d) == n and not s for d, s in passes) and min(bounds.values()) >= 3 * longest:
        assert all(worst[int(FIELDS[name])] <= bound for name, bound in bounds.items())


@pytest.mark.parametrize("n", [1, 2, 10, 30, 60])
def test_whole_status_within_the_time_asked_and_running_most_often(n):
    # 30 pumps at about 0.17 s an exchange: a pass of about 10 s, status within 60 s.
    every = [(list(range(n)), set())] * 40
    worst, lengths = play(n, every, within=60.0, exchange_s=0.17)
    ordinary = n * 2 * 0.17
    if n < 60:  # every pass an ordinary one, and each value within 60 s
        assert max(worst.values()) <= 60.0 and max(lengths) == pytest.approx(min(lengths)) == ordinary
    else:
        # 60 pumps a radio (20 s passes) cannot have each value every 2 passes
        # within 60 s: the passes grow by half at most (the alarms come first),
        # the values come up to a pass late (and say so).
        assert max(lengths[3:]) == pytest.approx(1.5 * ordinary) and max(worst.values()) <= 60.0 + 1.5 * ordinary
    clock, units = StatusClock(60.0), []
    for k in range(13):
        units.append(clock.unit(10.0 * k, 10.0))
        for command in units[-1]:
            clock.answered(command, 10.0 * k)
    # The first pass is an ordinary one: the running state; then each value not
    # read yet, one a pass, before any other; every unit two reads.
    assert units[:5] == [(ALARM, c) for c in (*STATUS_READS, Cmd.GET_PUMP_STATUS)]
    later = [u[1:] for u in units[4:]]
    counts = [sum(c in s for s in later) for c in STATUS_READS]  # the running state first
    assert counts[0] > max(counts[1:]) >= 1 and max(map(len, units)) == 2
    with pytest.raises(ValueError, match="two distinct"):
        PassPlan([((1,), (ALARM, ALARM))], lambda: None)
    with pytest.raises(ValueError, match="status_within"):
        StatusClock(0.0)
    with pytest.raises(ValueError, match="known: running, door, remaining_s, rate_unit"):
        StatusClock(60.0, {"doors": 20})
    assert tuple(FIELDS) == STATUS_VALUES  # the configuration's names are the schedule's


def test_a_pump_first_heard_late_and_fresher_values():
    # A pump silent for the first passes starts as any other once it answers:
    # no catch-up of its whole status in one unit.
    clock = StatusClock(60.0)
    assert [clock.unit(10.0 * k, 10.0) for k in range(3)] == [(ALARM, Cmd.GET_PUMP_STATUS)] * 3
    clock.answered(ALARM, 30.0)
    clock.answered(Cmd.GET_PUMP_STATUS, 30.0)
    assert clock.unit(40.0, 10.0) == (ALARM, Cmd.GET_PUMPDOOR_STATUS)

    # The design point: 30 pumps a radio, about 0.17 s an exchange. A bound the
    # free read covers costs nothing; the door every 20 s costs reads, spread
    # evenly over the passes and the pumps (never a pass where all catch up),
    # and each value still comes within its bound.
    every = [(list(range(30)), set())] * 60
    for fresh, exchanges in (({"door": 45.0}, 2.0), ({"door": 30.0}, 2.45), ({"door": 20.0}, 3.0)):
        worst, lengths = play(30, every, within=60.0, exchange_s=0.17, fresh=fresh)
        steady = lengths[10:]
        assert max(steady) / min(steady) < 1.1, (fresh, steady)
        assert sum(steady) / len(steady) == pytest.approx(30 * exchanges * 0.17, rel=0.02), fresh
        for name, command in FIELDS.items():
            assert worst[int(command)] <= fresh.get(name, 60.0), (fresh, name)
    # Bounds a pass half as long again cannot keep: the alarms still come
    # within that pass, and the values come late (their age is said).
    worst, lengths = play(30, every, within=60.0, exchange_s=0.17, fresh={"door": 10.0, "remaining_s": 10.0})
    assert max(lengths[10:]) == pytest.approx(30 * 3 * 0.17) and worst[int(Cmd.GET_PUMPDOOR_STATUS)] > 10.0


def test_passes_on_a_ward_with_a_turnaround(signed_ward, make_link, hub):
    from _core import Collector, RecordingLink, misattributed

    from tarvelpump.station.records.model import EventKind as K
    from tarvelpump.station.watch.poller import PollSettings, Poller
    from tarvelpump.station.watch.pump import Pump

    ward = signed_ward(6, baud=9600, hop_delay=0.03)
    link = make_link(ward.port, cls=RecordingLink, timeout=0.3)
    pumps = [Pump(link, vp.addr, vp.channel, vp.label) for vp in ward.pumps]
    collector = Collector()
    hub.add(collector)
    poller = Poller(link, pumps, PollSettings(gap=0.02, status_within=2.5), hub)
    passes = lambda c: [r for r in c.rounds if not r.partial]  # noqa: E731
    poller.start()
    try:
        assert collector.wait(lambda c: len(passes(c)) >= 3)
        pass_s = max(r.duration_s for r in passes(collector)[1:])
        for label in ("bed 1", "bed 4"):  # each alarm stands two passes: it is seen, then seen cleared
            own = ward.pump(label).state.alarm
            ward.pump(label).update(alarm=own | 0x0100)
            time.sleep(2 * pass_s)
            ward.pump(label).update(alarm=own)
            assert collector.wait(lambda c, label=label: any(
                e.pump == label for e in c.events(K.ALARM_CLEARED)))
        assert collector.wait(lambda c: len(passes(c)) >= 10, timeout=60)
    finally:
        poller.stop()
    occlusions = [(e.kind, e.pump) for e in collector.events() if e.details.get("alarm") == "ALARM_OCCLUSION"]
    assert occlusions == [(K.ALARM_RAISED, "bed 1"), (K.ALARM_CLEARED, "bed 1"),
                          (K.ALARM_RAISED, "bed 4"), (K.ALARM_CLEARED, "bed 4")]
    done = passes(collector)
    longest = max(r.duration_s for r in done)
    assert all(sorted(r.pump for r in p.readings if "GET_PUMP_ALARM" in r.codes) == sorted(x.label for x in pumps)
               for p in done)  # every pump's alarm word, every pass
    readings = collector.readings()
    steady = [dataclasses.replace(r, alarm_word=None) if (r.alarm_word or 0) & 0x0100 else r for r in readings]
    assert misattributed(ward, steady) == [] and violations(link.sent) == []
    for pump in pumps:  # its whole status within status_within
        for field in ("running", "door", "remaining_s", "rate_unit"):
            times = [r.time for r in readings if r.pump == pump.label and getattr(r, field) is not None]
            gaps = [(b - a).total_seconds() for a, b in zip(times, times[1:])]
            assert times and max(gaps) <= 2.5 + 2 * longest, (pump.label, field, gaps)


def test_alarms_standing_at_start_are_committed_in_the_first_pass(signed_ward, make_link, hub, tmp_path):
    from _core import RecordingLink, misattributed

    from tarvelpump.station.records.model import EventKind as K
    from tarvelpump.station.records.store import Store
    from tarvelpump.station.watch.poller import Poller, PollSettings
    from tarvelpump.station.watch.pump import Pump

    ward = signed_ward(8, baud=19200)  # every pump with an alarm of its own, standing at start
    link = make_link(ward.port, cls=RecordingLink)
    store = Store(tmp_path / "ward.sqlite")
    hub.commit_through(store.commit, name="ward.sqlite")
    committed: dict[str, int] = {}  # pump -> exchanges sent when its alarms were committed
    hub.add(lambda r: committed.update({e.pump: committed.get(e.pump, len(link.sent)) for e in r.events
                                        if e.kind is K.ALARM_RAISED}))
    pumps = [Pump(link, vp.addr, vp.channel, vp.label) for vp in ward.pumps]
    poller = Poller(link, pumps, PollSettings(gap=0.0), hub)
    try:
        first = poller.run_round()
        # Each alarm committed right after its own alarm word, before that pump's
        # running state was asked; the first pass an ordinary one.
        assert sorted(committed) == sorted(p.label for p in pumps)
        for label, sent in committed.items():
            prefix = next(p.prefix for p in pumps if p.label == label)
            assert link.sent[sent - 1] == (prefix, int(ALARM)) and link.sent[sent][0] == prefix
        assert first.exchanges == 2 * len(pumps) and {c for _, c in link.sent} == {int(ALARM), int(Cmd.GET_PUMP_STATUS)}
        assert all(r.door is r.remaining_s is r.rate_unit is None and r.running is not None for r in first.readings)
        shown = {v.label: v for v in store.last_views().values()}
        assert all(v.online and v.alarmed and v.door is None and set(v.read_at) == {"running"} for v in shown.values())
        for _ in range(3):  # then the slower values, one a pass
            poller.run_round()
    finally:
        store.close()
    assert misattributed(ward, store_readings(tmp_path)) == [] and violations(link.sent) == []
    assert all(set(v.read_at) == set(FIELDS) for v in poller.views())


def store_readings(tmp_path):
    from tarvelpump.station.records.store import Store

    with Store(tmp_path / "ward.sqlite") as store:
        return list(store.readings())
