"""Link, Pump, Poller and events: order of exchanges, typed answers, counters, events."""

from __future__ import annotations

import os
import random
import time
from datetime import timedelta

import pytest
from _core import RecordingLink, violations
from hypothesis import given, settings
from hypothesis import strategies as st

from tarvelpump import comm
from tarvelpump.station.link import LinkClosedError
from tarvelpump.station.model import EventKind as K
from tarvelpump.station.model import RadioMode
from tarvelpump.station.poller import FIRST_PASS, STATUS_PASS, PollSettings, Poller, RoundPlan
from tarvelpump.station.pump import Door, Pump, RateUnit, Running
from tarvelpump.virtualward import PumpState

Cmd, Code = comm.Command, comm.DeviceReturnCode
ALARM, STATUS = int(Cmd.GET_PUMP_ALARM), {int(c) for c in STATUS_PASS}


def check_rounds(rounds, last=None):
    """Play RoundPlans as the poller does: (status round?, due pumps, pumps silent at first)."""
    sent = [last] if last else []
    for status, due, silent in rounds:
        plan = RoundPlan([[((p,), FIRST_PASS) for p in due]] + ([[((p,), STATUS_PASS) for p in due]] if status else []),
                         lambda: sent[-1] if sent else None)
        mine = []
        for (p,), command in plan:
            if p in silent and all(q != p for q, _ in mine):
                plan.skip((p,))
            mine.append((p, int(command)))
            sent.append(((p,), int(command)))
        for p in due:  # a pump silent at first gets nothing more; the others everything
            want = {int(c) for c in FIRST_PASS} | (STATUS if status else set())
            got = sorted(c for q, c in mine if q == p)
            assert len(got) == 1 if p in silent else got == sorted(want)
        assert [c in STATUS for _, c in mine] == sorted(c in STATUS for _, c in mine)  # alarm pass first
    assert violations(sent) == []


@settings(max_examples=200, deadline=None)
@given(st.data())
def test_no_command_repeats_to_another_pump_for_any_skipping(data):
    n = data.draw(st.integers(1, 60))
    rounds = []
    for _ in range(data.draw(st.integers(1, 3))):
        due = data.draw(st.lists(st.sampled_from(range(n)), unique=True))
        rounds.append((data.draw(st.booleans()), due, data.draw(st.sets(st.sampled_from(due))) if due else set()))
    check_rounds(rounds, data.draw(st.sampled_from([None, ((0,), ALARM), ((99,), int(Cmd.GET_RATE_UNIT))])))


def test_schedule_for_every_ward_size():
    rng = random.Random(9)
    for n in range(1, 61):
        patterns = [set(), set(range(n)), set(range(0, n, 2)), {rng.randrange(n) for _ in range(n // 3 + 1)}]
        check_rounds([(k % 2 == 0, list(range(n)), silent) for k, silent in enumerate(patterns)])
    with pytest.raises(ValueError, match="two distinct"):
        RoundPlan([[((1,), (Cmd.GET_PUMP_ALARM, Cmd.GET_PUMP_ALARM))]], lambda: None)


def test_pump_commands_typed_at_address_zero(make_ward, make_link):
    ward = make_ward("fixed")
    word = 0x8000 | 0x0100 | 0x0040 | 0x0002  # crystal check, occlusion, door open, low battery
    vp = ward.add(0, 0, PumpState(running=3, door=1, remain_hours=2, remain_minutes=5, rate_unit=1, alarm=word,
                                  total_value=0x01020304, bubble=1, infusion_parameter=bytes(range(15)),
                                  kvo_rate=b"\0\0\1\x2c"), label="bed 0")
    other = ward.add(1, 0, label="bed 1")
    pump = Pump(make_link(ward.port), 0, 0, "bed 0")
    assert pump.prefix == (0, 0, 0) and [(r.name, int(r)) for r in Running] == [(o.name, o) for o in comm.PumpStatus]
    a = pump.running()
    assert a.ok and a.value is Running.PAUSE and a.value.text == "暂停" and a.data == (3,)
    assert a.time.tzinfo is not None and a.link_time_s > 0 and a.ret.command == Cmd.GET_PUMP_STATUS
    assert (pump.door().value, pump.remaining().value, pump.rate_unit().value) == (
        Door.OPEN, timedelta(hours=2, minutes=5), RateUnit.DROPS_PER_MINUTE)
    alarms = pump.alarms().value
    # Ranked by AlarmOrder first, the unranked after them, higher bit first.
    assert alarms.word == word and alarms.top_rank == 0 and "ALARM_DOOR_OPEN" in alarms
    assert alarms.names == ["ALARM_OCCLUSION", "ALARM_DOOR_OPEN", "ALARM_CRYSTAL_CHECK", "ALARM_LOW_BATTERY"]
    assert (pump.total_volume().value, pump.bubble().value) == (0x01020304, 1)
    assert pump.infusion_parameter().value == tuple(range(15)) and pump.kvo_rate([5]).value == (0, 0, 1, 0x2C)
    assert pump.kvo_rate([]).code == Code.INVALID_USER_DATA_LENGTH
    before = len(vp.requests)
    for action in (pump.start, pump.stop, lambda **kw: pump.start(confirm=1)):
        with pytest.raises(PermissionError):
            action()
    with pytest.raises(ValueError):
        pump.ask(Cmd.SET_STOP_CONTROL)
    assert len(vp.requests) == before and vp.state.running == 3  # nothing went out
    assert pump.start(confirm=True).ok and vp.state.running == Running.RUN
    assert pump.stop(confirm=True).ok and vp.state.running == Running.STOP
    assert all(r.startswith(b"\0\0\0") for r in vp.requests) and other.requests == []
    vp.update(running=9)
    odd = pump.running()  # a code outside the table stays data
    assert odd.ok and odd.value is None and odd.data == (9,)


def test_poller_rounds_counters_and_events(make_ward, make_link, hub):
    ward = make_ward("master-slave")
    states = [PumpState(alarm=0x0100, remain_hours=0, remain_minutes=5), PumpState(running=1), PumpState(door=1), None]
    vps = [ward.add(a, 0, s, label=f"bed {a}") for a, s in enumerate(states)]
    vps[3].present = False
    link = make_link(ward.port, cls=RecordingLink, timeout=0.1, mode=RadioMode.MASTER_SLAVE)
    pumps = [Pump(link, a, 0, f"bed {a}") for a in range(4)]
    got, early = [], []
    hub.add(lambda r: (early if r.partial else got).append(r))
    poller = Poller(link, pumps, PollSettings(gap=0, status_every=2, offline_after=2, retry_ceiling=0.3), hub,
                    station="ward-7")

    def kinds():
        # A pump's first-pass news (its alarm above all) is published as soon
        # as it is read, ahead of the round's own result: never twice.
        del early[:]
        whole = poller.run_round()
        assert all(e.partial and not e.readings and e.exchanges == 0 for e in early)
        found = [e for r in early for e in r.events] + list(whole.events)
        assert len({e.id for e in found}) == len(found)
        return sorted((e.kind.value, e.pump) for e in found)

    # First sight: what needs a nurse (alarm, open door, near the end), no state change.
    assert kinds() == [("alarm_raised", "bed 0"), ("door_opened", "bed 2"), ("near_end", "bed 0")]
    r1 = got[0]
    assert r1.link == "radio" and r1.exchanges == 3 * 5 + 1 and r1.link_up
    assert early[0].events[0].kind is K.ALARM_RAISED and early[0].events[0].details["rank"] == 0
    by = {r.pump: r for r in r1.readings}
    assert by["bed 0"].remaining_s == 300 and by["bed 1"].running == 1 and by["bed 2"].door == 1
    assert by["bed 3"].codes == {"GET_PUMP_ALARM": Code.NO_DATA_RETURN}
    view = {v.label: v for v in r1.views}
    assert view["bed 0"].top_alarm == "ALARM_OCCLUSION" and view["bed 0"].station == "ward-7"
    assert view["bed 1"].running_name == "STOP" and view["bed 1"].answered == 5 and view["bed 3"].silent == 1

    # Alarm-only round: the rest of the status is not read, so not reported as changed.
    vps[1].update(running=2)
    vps[2].update(door=0)
    vps[0].update(alarm=0x0040)
    assert kinds() == [("alarm_cleared", "bed 0"), ("alarm_raised", "bed 0"), ("offline", "bed 3"),
                       ("state_changed", "bed 1")]
    changed = [e.to_json() for r in early for e in r.events if e.kind is K.STATE_CHANGED][0]
    assert [changed[k] for k in ("from", "to", "kind", "pump")] == ["STOP", "RUN", "state_changed", "bed 1"]
    assert got[1].exchanges == 3 * 2 + 1 and all(r.door is None for r in got[1].readings)
    vps[0].fault = "bad_check"
    vps[0].update(remain_hours=2)
    assert kinds() == [("door_closed", "bed 2")]
    assert {v.label: v for v in got[2].views}["bed 0"].malformed == {"INVALID_CHECK_DATA": 5}
    vps[0].fault, vps[3].present = None, True
    time.sleep(0.35)  # past the retry ceiling: the offline pump is due again
    assert kinds() == [("online", "bed 3")]
    kinds()  # reads the 2 h left
    vps[0].update(remain_hours=0, remain_minutes=9)
    assert [k for _ in range(4) for k in kinds() if k[0] == "near_end"] == [("near_end", "bed 0")]  # once
    assert violations(link.sent) == [] and link.fillers == 0
    assert {v.id for v in hub.views()} == {"bed-0", "bed-1", "bed-2", "bed-3"}
    with pytest.raises(ValueError, match="share the radio prefix"):
        Poller(link, [pumps[0], Pump(link, 0, 5, "same prefix")], PollSettings(), hub)


def test_link_shares_one_port_and_guards_after_silence(make_ward, make_link, tmp_path):
    ward = make_ward("fixed", link_path=str(tmp_path / "radio"))
    late = ward.add(1, 1, PumpState(alarm=0x0200), label="late")
    late.fault, late.late_delay = "late", 0.18  # 1.2 time-outs
    fds = len(os.listdir("/proc/self/fd"))
    a = make_link(ward.port, guard=0.0)
    b = make_link(os.path.realpath(ward.port), guard=0.1)  # the same port by another name: the same line
    slow, absent = Pump(a, 1, 1, "late"), Pump(a, 2, 2, "absent")
    assert slow.alarms().code == Code.NO_DATA_RETURN and b.last() == ((0, 1, 1), ALARM)
    # No guard: the late reply lands in the next exchange. Asked the same command,
    # another pump would take it for its own: the link puts another query to that
    # pump first, which the late reply spoils. Another command fails the header test.
    assert absent.alarms().code == Code.NO_DATA_RETURN and a.fillers == 1
    assert slow.door().code == Code.NO_DATA_RETURN
    assert absent.running().code == Code.INVALID_APP_DATA and a.fillers == 1
    # With a guard the late reply arrives while the line is kept quiet, and is thrown away.
    assert Pump(b, 1, 1, "late").alarms().code == Code.NO_DATA_RETURN
    assert Pump(b, 2, 2, "absent").alarms().code == Code.NO_DATA_RETURN and b.fillers == 1
    a.close()
    a.close()
    assert a.closed and b.up and len(os.listdir("/proc/self/fd")) > fds  # b still holds the port
    with pytest.raises(LinkClosedError):
        slow.alarms()
    b.close()
    assert len(os.listdir("/proc/self/fd")) == fds
