"""Link, Pump, Poller and events: order of exchanges, typed answers, counters, events."""

from __future__ import annotations

import os
import random
import threading
import time
from datetime import timedelta

import pytest
from _core import Collector, RecordingLink, violations
from hypothesis import given, settings
from hypothesis import strategies as st

from tarvelpump import comm
from tarvelpump.station.hub import Hub
from tarvelpump.station.watch.link import LinkClosedError
from tarvelpump.station.records.model import EventKind as K
from tarvelpump.station.records.model import RadioMode
from tarvelpump.station.watch.poller import PollSettings, Poller
from tarvelpump.station.watch.pump import Door, Pump, RateUnit, Running
from tarvelpump.virtualward import PumpState

Cmd, Code = comm.Command, comm.DeviceReturnCode
ALARM = int(Cmd.GET_PUMP_ALARM)


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


def test_poller_passes_counters_and_events(make_ward, make_link, hub):
    ward = make_ward("master-slave")
    states = [PumpState(alarm=0x0100, remain_hours=0, remain_minutes=5), PumpState(running=1), PumpState(door=1), None]
    vps = [ward.add(a, 0, s, label=f"bed {a}") for a, s in enumerate(states)]
    vps[3].present = False
    link = make_link(ward.port, cls=RecordingLink, timeout=0.1, mode=RadioMode.MASTER_SLAVE)
    pumps = [Pump(link, a, 0, f"bed {a}") for a in range(4)]
    got, early = [], []
    hub.add(lambda r: (early if r.partial else got).append(r))
    poller = Poller(link, pumps, PollSettings(gap=0, status_within=1000, offline_after=2, retry_ceiling=0.3), hub,
                    station="ward-7")
    assert {v.presence for v in poller.views()} == {"unheard"} and not any(v.online for v in poller.views())

    def kinds():
        # A pump's news (its alarm above all) is published as soon as its unit
        # is read, ahead of the pass's own result: never twice.
        del early[:]
        whole = poller.run_round()
        assert all(e.partial and not e.readings and e.exchanges == 0 and len(e.views) == 1 for e in early)
        found = [e for r in early for e in r.events] + list(whole.events)
        assert len({e.id for e in found}) == len(found)
        return sorted((e.kind.value, e.pump) for e in found)

    # First sight: an ordinary pass, the alarm word and the running state. The alarm
    # is handed on as soon as its word is read, before the running state is asked.
    assert kinds() == [("alarm_raised", "bed 0")]
    r1 = got[0]
    assert r1.link == "radio" and r1.exchanges == 3 * 2 + 1 and r1.link_up
    assert early[0].events[0].kind is K.ALARM_RAISED and early[0].events[0].details["rank"] == 0
    assert early[0].views[0].presence == "online" and early[0].views[0].running is None
    assert link.sent[:2] == [(pumps[0].prefix, ALARM), (pumps[0].prefix, int(Cmd.GET_PUMP_STATUS))]
    by = {r.pump: r for r in r1.readings}
    assert by["bed 1"].running == 1 and by["bed 2"].door is None and by["bed 0"].remaining_s is None
    assert by["bed 3"].codes == {"GET_PUMP_ALARM": Code.NO_DATA_RETURN}
    view = {v.label: v for v in r1.views}
    assert view["bed 0"].top_alarm == "ALARM_OCCLUSION" and view["bed 0"].station == "ward-7"
    assert view["bed 1"].running_name == "STOP" and view["bed 1"].answered == 2 and view["bed 3"].silent == 1
    assert [view[f"bed {i}"].presence for i in range(4)] == ["online"] * 3 + ["unheard"]  # not heard is not fine
    assert view["bed 0"].round_s == round(r1.duration_s, 3)
    # What was not read yet is unknown, not guessed; what was, says when.
    assert view["bed 2"].door is None and view["bed 2"].remaining_s is None and set(view["bed 2"].read_at) == {"running"}
    assert r1.started < view["bed 2"].read_at["running"] <= view["bed 2"].last_seen

    # The values not read yet follow, one a pass: the open door, then the time left near its end.
    assert kinds() == [("door_opened", "bed 2"), ("offline", "bed 3")]
    offline = {v.label: v for v in got[1].views}["bed 3"]
    assert (offline.presence, offline.offline_reason) == ("offline", "no answer")
    assert kinds() == [("near_end", "bed 0")]
    assert kinds() == []  # the rate unit
    assert all(set(v.read_at) == {"running", "door", "remaining_s", "rate_unit"} for v in poller.views()[:3])

    # Then the alarm word and one other read each pass: the running state, while the
    # slower values can wait (status_within is long here).
    vps[1].update(running=2)
    vps[2].update(door=0)
    vps[0].update(alarm=0x0040)
    assert kinds() == [("alarm_cleared", "bed 0"), ("alarm_raised", "bed 0"), ("state_changed", "bed 1")]
    changed = [e.to_json() for r in early for e in r.events if e.kind is K.STATE_CHANGED][0]
    assert [changed[k] for k in ("from", "to", "kind", "pump")] == ["STOP", "RUN", "state_changed", "bed 1"]
    assert got[4].exchanges == 3 * 2 and all(r.door is None and r.running is not None for r in got[4].readings)
    vps[0].fault = "bad_check"
    vps[0].update(remain_hours=2)
    assert kinds() == []  # garbage proves nothing, and the door is not read yet
    assert {v.label: v for v in got[5].views}["bed 0"].malformed == {"INVALID_CHECK_DATA": 2}
    vps[0].fault, vps[3].present = None, True
    time.sleep(0.35)  # past the retry ceiling: the offline pump is due again
    assert kinds() == [("online", "bed 3")]
    # A shorter status_within: the slower values come in time, without a pass for them alone.
    for track in poller._tracks.values():
        track.clock.within = 0.6
    start, found = time.monotonic(), []
    while time.monotonic() - start < 0.6 * 3:
        found += kinds()
    assert found == [("door_closed", "bed 2")]
    assert {v.label: v for v in poller.views()}["bed 0"].remaining_s == 7500
    vps[0].update(remain_hours=0, remain_minutes=9)
    start, found = time.monotonic(), []
    while time.monotonic() - start < 0.6 * 3:
        found += kinds()
    assert found == [("near_end", "bed 0")]  # once
    assert violations(link.sent) == [] and link.fillers == 0
    assert {v.id for v in hub.views()} == {"bed-0", "bed-1", "bed-2", "bed-3"}
    with pytest.raises(ValueError, match="share the radio prefix"):
        Poller(link, [pumps[0], Pump(link, 0, 5, "same prefix")], PollSettings(), hub)


def test_presence_radio_down_and_restart(make_ward, make_link, hub, tmp_path):
    collector = Collector()
    hub.add(collector)
    settings = PollSettings(gap=0, status_within=1000)
    # A radio that is not there: its pumps are offline at once, saying why.
    missing = make_link(str(tmp_path / "ttyUSB9"), name="gone")
    poller = Poller(missing, [Pump(missing, 1, 1, "bed 1"), Pump(missing, 2, 1, "bed 2")], settings, hub)
    result = poller.run_round()
    assert not result.link_up and [e.kind for e in result.events] == [K.LINK_DOWN, K.OFFLINE, K.OFFLINE]
    assert all(v.presence == "offline" and v.offline_reason.startswith("radio down: ") for v in result.views)
    assert poller.run_round().events == ()  # still down: nothing new

    ward = make_ward("fixed", link_path=str(tmp_path / "radio"))
    ward.add(1, 1, PumpState(alarm=0x0100, running=2), label="bed 1")
    ward.add(2, 1, PumpState(running=2), label="bed 2")
    link = make_link(ward.link_path)
    pumps = [Pump(link, 1, 1, "bed 1"), Pump(link, 2, 1, "bed 2")]
    poller = Poller(link, pumps, settings, hub)
    poller.run_round()
    ward.vanish()  # unplugged: offline within one pass, the last alarm kept and counted
    down = poller.run_round()
    assert [e.kind for e in down.events] == [K.LINK_DOWN, K.OFFLINE, K.OFFLINE]
    bed1 = {v.label: v for v in down.views}["bed 1"]
    assert bed1.presence == "offline" and bed1.alarmed and bed1.top_alarm == "ALARM_OCCLUSION"
    ward.restore()
    heard = len(collector.events())
    for _ in range(3):
        poller.run_round()
    up = [(e.kind, e.pump) for e in collector.events()[heard:] if e.kind in (K.LINK_UP, K.ONLINE)]
    # the link is back first, then each of its pumps, as it happened
    assert up == [(K.LINK_UP, None), (K.ONLINE, "bed 1"), (K.ONLINE, "bed 2")], up
    assert all(v.online for v in poller.views())

    # A restart starts from what was committed: unheard until answered, the
    # standing alarm raises nothing new, what changed meanwhile is marked.
    committed = {v.label: v for v in poller.views()}
    ward.pump("bed 2").update(running=3)
    before = len(collector.events())
    again = Poller(link, pumps, settings, hub, initial=committed)
    shown = {v.label: v for v in again.views()}
    assert shown["bed 1"].presence == "unheard" and shown["bed 1"].alarmed and not shown["bed 1"].online
    assert shown["bed 1"].read_at == committed["bed 1"].read_at and "running" in shown["bed 1"].read_at  # ages go on
    committed["bed 1"].read_at = {}  # kept by a station that did not say when: as old as status_within allows
    older = {v.label: v for v in Poller(link, pumps, settings, Hub(), initial=committed).views()}["bed 1"]
    assert older.read_at["running"] == committed["bed 1"].last_seen - timedelta(seconds=1000)
    again.run_round()
    new = collector.events()[before:]
    assert [(e.kind, e.pump, e.details.get("after_gap")) for e in new] == [(K.STATE_CHANGED, "bed 2", True)]
    assert all(v.online for v in again.views())


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


def test_a_poller_whose_passes_keep_failing_says_so_once(make_ward, make_link, hub, monkeypatch, caplog):
    from tarvelpump.station.outputs.metrics import StationMetrics

    ward = make_ward("fixed")
    ward.add(1, 1, label="bed 1")
    link = make_link(ward.port)
    poller = Poller(link, [Pump(link, 1, 1, "bed 1")], PollSettings(gap=0.0), hub)
    metrics = StationMetrics(hub)
    hub.add(metrics.on_round)
    collector = Collector()
    hub.add(collector)
    real, broken = poller._one_pass, threading.Event()
    broken.set()

    def one_pass():
        if broken.is_set():
            raise RuntimeError("a fault of the station's own")
        return real()

    monkeypatch.setattr(poller, "_one_pass", one_pass)
    poller.start()
    try:
        assert collector.wait(lambda c: c.events(K.POLLER_FAILED))
        polling = lambda: metrics.registry.get_sample_value("tarvelpump_link_polling", {"link": "radio"})  # noqa: E731
        assert polling() == 0.0
        time.sleep(2.5)  # more failed passes, said no more
        broken.clear()
        assert collector.wait(lambda c: c.events(K.POLLER_RECOVERED))
        assert polling() == 1.0
    finally:
        poller.stop()
    failed = collector.events(K.POLLER_FAILED)
    assert len(failed) == 1 and failed[0].details["error"] == "RuntimeError: a fault of the station's own"
    assert collector.events(K.POLLER_RECOVERED)[0].details["failures"] >= 2
    assert [r.levelname for r in caplog.records if "passes on radio" in r.getMessage()] == ["ERROR", "WARNING"]
