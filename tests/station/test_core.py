"""Link, Pump, Poller and events: the order of exchanges, typed answers, counters, events."""

from __future__ import annotations

import dataclasses
import os
import random
import time
from datetime import timedelta

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarvelpump import comm
from tarvelpump.station import events
from tarvelpump.station.link import Link, LinkClosedError
from tarvelpump.station.model import EventKind, PumpView, RadioMode, now
from tarvelpump.station.poller import FIRST_PASS, STATUS_PASS, PollSettings, Poller, RoundPlan, rotate
from tarvelpump.station.pump import Door, Pump, RateUnit, Running, decode_alarms
from tarvelpump.virtualward import PumpState

from _core import RecordingLink, violations

Cmd = comm.Command
Code = comm.DeviceReturnCode
ALARM = int(Cmd.GET_PUMP_ALARM)
STATUS_CODES = {int(c) for c in STATUS_PASS}


def play(n, rounds, last=None):
    """Run RoundPlans as the poller does; ``rounds``: (status round?, due pumps, silent firsts)."""
    sent = []
    for status, due, silent in rounds:
        passes = [[((p,), FIRST_PASS) for p in due]]
        if status:
            passes.append([((p,), STATUS_PASS) for p in due])
        plan = RoundPlan(passes, lambda: sent[-1] if sent else last)
        firsts, this_round = set(), []
        for pump, command in plan:
            sent.append((pump, int(command)))
            this_round.append((pump[0], int(command)))
            if pump[0] not in firsts:
                firsts.add(pump[0])
                if pump[0] in silent:
                    plan.skip(pump)
        yield status, due, silent, this_round
    yield sent


def check_rounds(n, rounds, last=None):
    *played, sent = play(n, rounds, last)
    assert violations(([last] if last else []) + sent) == []
    for status, due, silent, this_round in played:
        per_pump = {p: [c for q, c in this_round if q == p] for p in due}
        for p in due:
            want = {int(c) for c in FIRST_PASS} | (STATUS_CODES if status else set())
            # A pump silent on its first request gets nothing more that round.
            assert len(per_pump[p]) == 1 if p in silent else sorted(per_pump[p]) == sorted(want)
        # Every alarm word is read before any of the rest of the status.
        kinds = [c in STATUS_CODES for _, c in this_round]
        assert kinds == sorted(kinds)
        alarms = [p for p, c in this_round if c == ALARM]
        assert sorted(alarms) == sorted(p for p in due if p not in silent or per_pump[p] == [ALARM])


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_no_command_repeats_to_another_pump_for_any_skipping(data):
    n = data.draw(st.integers(1, 60), label="pumps")
    rounds = []
    for _ in range(data.draw(st.integers(1, 4), label="rounds")):
        due = data.draw(st.lists(st.sampled_from(range(n)), unique=True, max_size=n), label="due")
        silent = data.draw(st.sets(st.sampled_from(due)) if due else st.just(set()), label="silent")
        rounds.append((data.draw(st.booleans()), due, silent))
    last = data.draw(st.sampled_from([None, ((0,), ALARM), ((99,), ALARM), ((1,), int(Cmd.GET_RATE_UNIT))]))
    check_rounds(n, rounds, last)


def test_schedule_for_every_ward_size():
    rng = random.Random(9)
    for n in range(1, 61):
        patterns = [set(), set(range(n)), set(range(0, n, 2)), {rng.randrange(n) for _ in range(n // 3 + 1)}]
        rounds = [(k % 2 == 0, list(range(n)), silent) for k, silent in enumerate(patterns)]
        check_rounds(n, rounds)
    with pytest.raises(ValueError, match="two distinct"):
        RoundPlan([[((1,), (Cmd.GET_PUMP_ALARM, Cmd.GET_PUMP_ALARM))]], lambda: None)
    assert rotate(FIRST_PASS, (2,), ((1,), ALARM)) == [Cmd.GET_PUMP_STATUS, Cmd.GET_PUMP_ALARM]
    assert rotate(FIRST_PASS, (1,), ((1,), ALARM)) == list(FIRST_PASS)


def test_pump_commands_typed_at_address_zero(make_ward, make_link):
    ward = make_ward("fixed")
    word = 0x8000 | 0x0100 | 0x0040 | 0x0002  # crystal check, occlusion, door open, low battery
    vp = ward.add(0, 0, PumpState(running=3, door=1, remain_hours=2, remain_minutes=5, rate_unit=1, alarm=word,
                                  total_value=0x01020304, bubble=1, infusion_parameter=bytes(range(15)),
                                  kvo_rate=b"\0\0\1\x2c"), label="bed 0")
    other = ward.add(1, 0, PumpState(running=2, alarm=0), label="bed 1")
    link = make_link(ward.port)
    pump = Pump(link, 0, 0, "bed 0")
    assert pump.prefix == (0, 0, 0) and pump.id == "bed-0"

    assert [(r.name, int(r)) for r in Running] == [(o.name, int(o)) for o in comm.PumpStatus]
    a = pump.running()
    assert a.ok and a.value is Running.PAUSE and a.value.text == "暂停" and a.data == (3,)
    assert a.time.tzinfo is not None and a.link_time_s > 0 and a.ret.command == Cmd.GET_PUMP_STATUS
    assert pump.door().value is Door.OPEN
    assert pump.remaining().value == timedelta(hours=2, minutes=5)
    assert pump.rate_unit().value is RateUnit.DROPS_PER_MINUTE
    alarms = pump.alarms().value
    assert alarms is not None and alarms.word == word
    # Ranked alarms by AlarmOrder first, the unranked after them, higher bit first.
    assert alarms.names == ["ALARM_OCCLUSION", "ALARM_DOOR_OPEN", "ALARM_CRYSTAL_CHECK", "ALARM_LOW_BATTERY"]
    assert alarms.top == comm.KeltPumpAlarmBits.ALARM_OCCLUSION and alarms.top_rank == 0
    assert "ALARM_DOOR_OPEN" in alarms and decode_alarms(0).top is None
    assert pump.total_volume().value == 0x01020304
    assert pump.bubble().value == 1
    assert pump.infusion_parameter().value == tuple(range(15))
    assert pump.kvo_rate([5]).value == (0, 0, 1, 0x2C)
    assert pump.kvo_rate([]).code == Code.INVALID_USER_DATA_LENGTH

    # Starting and stopping need an explicit yes; nothing goes out without it.
    before = len(vp.requests)
    for action in (pump.start, pump.stop):
        with pytest.raises(PermissionError):
            action()
        with pytest.raises(PermissionError):
            action(confirm=1)  # type: ignore[arg-type]
    with pytest.raises(ValueError):
        pump.ask(Cmd.SET_START_CONTROL)
    assert len(vp.requests) == before and vp.state.running == 3
    assert pump.start(confirm=True).ok and vp.state.running == Running.RUN
    assert pump.stop(confirm=True).ok and vp.state.running == Running.STOP
    assert all(r.startswith(b"\0\0\0") for r in vp.requests) and other.requests == []

    # A pump nobody answers for, and a code outside the tables, stay data.
    absent = Pump(link, 2, 0, "bed 2").running()
    assert absent.code == Code.NO_DATA_RETURN and absent.value is None and absent.data is None
    vp.update(running=9)
    odd = pump.running()
    assert odd.ok and odd.value is None and odd.data == (9,)
    with pytest.raises(ValueError):
        Pump(link, 70000, 0, "x")


def test_poller_rounds_counters_and_events(make_ward, hub):
    ward = make_ward("master-slave")
    states = {0: PumpState(alarm=0x0100, remain_hours=0, remain_minutes=5), 1: PumpState(running=1),
              2: PumpState(running=2), 3: PumpState()}
    vps = {a: ward.add(a, 0, s, label=f"bed {a}") for a, s in states.items()}
    vps[3].present = False
    link = RecordingLink("radio", ward.port, timeout=0.1, mode=RadioMode.MASTER_SLAVE)
    try:
        pumps = [Pump(link, a, 0, f"bed {a}") for a in states]
        got = []
        hub.add(got.append)
        poller = Poller(link, pumps, PollSettings(gap=0.0, status_every=2, offline_after=2, retry_ceiling=0.3,
                                                  near_end_s=600), hub, station="ward-7")

        def kinds(result):
            return sorted((e.kind.value, e.pump) for e in result.events)

        r1 = poller.run_round()
        assert got == [r1] and r1.link == "radio" and r1.link_up and r1.exchanges == 3 * 5 + 1
        assert kinds(r1) == [("alarm_raised", "bed 0"), ("near_end", "bed 0")]
        raised = next(e for e in r1.events if e.kind is EventKind.ALARM_RAISED)
        assert raised.details == {"alarm": "ALARM_OCCLUSION", "text": "管路堵塞", "rank": 0, "word": 0x0100}
        assert raised.to_json()["kind"] == "alarm_raised" and raised.to_json()["pump"] == "bed 0"
        by = {r.pump: r for r in r1.readings}
        assert by["bed 0"].remaining_s == 300 and by["bed 1"].running == 1 and by["bed 2"].door == 0
        assert by["bed 3"].codes == {"GET_PUMP_ALARM": Code.NO_DATA_RETURN}
        view = {v.label: v for v in r1.views}
        assert view["bed 0"].top_alarm == "ALARM_OCCLUSION" and view["bed 0"].station == "ward-7"
        assert view["bed 1"].running_name == "STOP" and view["bed 1"].answered == 5
        assert view["bed 3"].silent == 1 and view["bed 3"].online and view["bed 3"].last_seen is None

        # Alarm-only round: the rest of the status is not read, nor reported as changed.
        vps[1].update(running=2)
        vps[2].update(door=1)
        vps[0].update(alarm=0x0040)
        r2 = poller.run_round()
        assert r2.exchanges == 3 * 2 + 1
        assert {r.pump: r.door for r in r2.readings} == {"bed 0": None, "bed 1": None, "bed 2": None, "bed 3": None}
        assert kinds(r2) == [("alarm_cleared", "bed 0"), ("alarm_raised", "bed 0"), ("offline", "bed 3"),
                             ("state_changed", "bed 1")]
        changed = next(e for e in r2.events if e.kind is EventKind.STATE_CHANGED)
        assert changed.details["from"] == "STOP" and changed.details["to"] == "RUN"

        # Offline pumps wait their back-off; a malformed reply is counted by its code.
        vps[0].fault = "bad_check"
        vps[0].update(remain_hours=2)
        r3 = poller.run_round()
        assert kinds(r3) == [("door_opened", "bed 2")]
        assert {v.label: v for v in r3.views}["bed 0"].malformed == {"INVALID_CHECK_DATA": 5}
        vps[0].fault = None
        vps[3].present = True
        time.sleep(0.35)  # past the retry ceiling: the offline pump is due again
        r4 = poller.run_round()
        assert kinds(r4) == [("online", "bed 3")]
        poller.run_round()  # reads the 2 h left
        vps[0].update(remain_hours=0, remain_minutes=9)
        poller.run_round()
        assert ("near_end", "bed 0") in kinds(poller.run_round())
        poller.run_round()
        assert not any(e.kind is EventKind.NEAR_END for e in poller.run_round().events)  # once per crossing
        assert violations(link.sent) == [] and link.fillers == 0
        assert {v.id for v in hub.views()} == {"bed-0", "bed-1", "bed-2", "bed-3"}

        with pytest.raises(ValueError, match="share the radio prefix"):
            Poller(link, [pumps[0], Pump(link, 0, 5, "same prefix")], PollSettings(), hub)
        with pytest.raises(ValueError):
            PollSettings(status_every=0)
    finally:
        link.close()


def test_link_shares_one_port_and_guards_after_silence(make_ward, make_link, tmp_path):
    ward = make_ward("fixed", link_path=str(tmp_path / "radio"))
    late = ward.add(1, 1, PumpState(alarm=0x0200), label="late")
    late.fault = "late"
    late.late_delay = 0.18  # 1.2 time-outs
    fds = len(os.listdir("/proc/self/fd"))
    a = make_link(ward.port, "a", guard=0.0)
    b = make_link(os.path.realpath(ward.port), "b", guard=0.1)  # the same port by another name: the same line
    slow, absent = Pump(a, 1, 1, "late"), Pump(a, 2, 2, "absent")
    assert slow.alarms().code == Code.NO_DATA_RETURN
    assert b.last() == ((0, 1, 1), ALARM)

    # Without a guard, the late reply lands in the next exchange. Were that the
    # same command to another pump, it would pass for that pump's reply: the
    # link puts another query to that pump first, and the late reply spoils
    # that one instead.
    taken = absent.alarms()
    assert taken.code == Code.NO_DATA_RETURN and a.fillers == 1
    assert slow.door().code == Code.NO_DATA_RETURN
    other = absent.running()  # another command goes straight out: the header test refuses the late reply
    assert other.code == Code.INVALID_APP_DATA and a.fillers == 1

    # With the guard, the line stays quiet long enough and the late reply is thrown away.
    guarded_slow, guarded_absent = Pump(b, 1, 1, "late"), Pump(b, 2, 2, "absent")
    assert guarded_slow.alarms().code == Code.NO_DATA_RETURN
    assert guarded_absent.alarms().code == Code.NO_DATA_RETURN

    open_fds = len(os.listdir("/proc/self/fd"))
    a.close()
    a.close()
    assert a.closed and b.up and len(os.listdir("/proc/self/fd")) == open_fds  # b still holds the port
    with pytest.raises(LinkClosedError):
        slow.alarms()
    b.close()
    assert len(os.listdir("/proc/self/fd")) == fds
    with pytest.raises(ValueError):
        Link("x", ward.port, timeout=0)


def view(**kw):
    base = dict(id="p", label="p", link="l", addr=1, channel=1)
    return PumpView(**{**base, **kw})


def test_events_from_successive_views():
    t = now()
    seen = dict(last_seen=t)
    first = events.pump_events(view(), view(alarm_word=0x48, alarms=["ALARM_INFUSION_NEARLY_COMPLETE",
                                                                     "ALARM_DOOR_OPEN"],
                                            running=2, door=1, remaining_s=120, **seen), time=t, near_end_s=600)
    assert [(e.kind, e.details.get("alarm")) for e in first] == [
        (EventKind.ALARM_RAISED, "ALARM_INFUSION_NEARLY_COMPLETE"), (EventKind.ALARM_RAISED, "ALARM_DOOR_OPEN"),
        (EventKind.DOOR_OPENED, None), (EventKind.NEAR_END, None)]
    assert first[0].details["rank"] == 3 and first[-1].details == {"remaining_s": 120, "threshold_s": 600}
    # At first sight a finished pump does not warn, and a closed door is no news.
    assert events.pump_events(view(), view(remaining_s=0, door=0, **seen), time=t, near_end_s=600) == []

    before = view(running=2, door=1, remaining_s=700, alarm_word=0x100, alarms=["ALARM_OCCLUSION"], **seen)
    after = dataclasses.replace(before, running=3, door=0, remaining_s=500, alarm_word=0, alarms=[], online=False)
    got = events.pump_events(before, after, time=t, near_end_s=600)
    assert [e.kind for e in got] == [EventKind.OFFLINE, EventKind.ALARM_CLEARED, EventKind.STATE_CHANGED,
                                     EventKind.DOOR_CLOSED, EventKind.NEAR_END]
    assert got[2].to_json()["from"] == "RUN" and got[2].to_json()["to"] == "PAUSE"
    assert [e.kind for e in events.pump_events(after, dataclasses.replace(after, online=True), time=t,
                                                near_end_s=600)] == [EventKind.ONLINE]
    # Nothing read is nothing changed.
    assert events.pump_events(before, dataclasses.replace(before, alarm_word=None), time=t, near_end_s=600) == []

    down = events.link_events("radio", True, False, time=t, error="gone")
    assert [(e.kind, e.pump, e.details) for e in down] == [(EventKind.LINK_DOWN, None, {"error": "gone"})]
    up = events.link_events("radio", False, True, time=t + timedelta(seconds=3), down_since=t)
    assert up[0].kind is EventKind.LINK_UP and up[0].details == {"down_s": 3.0}
    assert events.link_events("radio", True, True, time=t) == []
