"""The virtual ward, driven through the real driver over pyserial as a station would."""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest
import serial

import tarvelpump
import tarvelpump.comm as comm
from tarvelpump.virtualpump import PumpState, VirtualPump
from tarvelpump.virtualward import Motion, VirtualWard, main

RC = comm.DeviceReturnCode
H = bytes.fromhex
STATUS_REQ = H("55 AA 05 06 01 4B 00 A9")
ALARM_REQ = H("55 AA 05 06 01 57 00 9D")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def ward():
    wards = []

    def start(*args, **kwargs):
        wards.append(VirtualWard(*args, **kwargs))
        return wards[-1]
    yield start
    for w in wards:
        w.stop()


def read_until(line, size, seconds=5.0):
    """What arrives on ``line`` until ``size`` bytes have (or ``seconds`` pass),
    each piece with the time it was seen: never before it was sent."""
    got, end = [], time.monotonic() + seconds
    line.timeout = 0.01
    while sum(len(c) for _, c in got) < size and time.monotonic() < end:
        chunk = line.read(line.in_waiting or 1)
        if chunk:
            got.append((time.monotonic(), chunk))
    return got


@pytest.mark.parametrize("mode, zero, other", [
    ("fixed", [0, 0, 0], dict(addr=801, channel=23)),
    ("master-slave", [0, 0], dict(addr=801)),
])
def test_pumps_answer_only_their_own_prefix(ward, mode, zero, other):
    w = ward(mode)
    a = w.add(0, 0, PumpState(running=3, alarm=0x0100), label="bed 1")
    b = w.add(801, 23 if mode == "fixed" else 0, PumpState(running=4, alarm=0x8002), label="bed 2")
    w.start()
    k = comm.Kelt(w.port, timeout=0.2)
    for _ in range(2):
        assert k.get_pump_status(addr=zero).value == 3 and k.get_pump_status(**other).value == 4
        assert k.get_pump_alarm(addr=zero).value == [1, 0, 0, 0]
        assert k.get_pump_alarm(**other).value == [0x80, 2, 0, 0]
    assert k.get_pump_status(addr=802, channel=23).code == RC.NO_DATA_RETURN
    assert k.get_pump_status().code == RC.NO_DATA_RETURN  # nobody is reached without a prefix
    assert (a.answered, b.answered) == (4, 4)
    assert a.requests[0] == bytes(zero) + STATUS_REQ and all(r.startswith(bytes(zero)) for r in a.requests)
    b.present = False  # out of the ward: hears nothing
    assert k.get_pump_status(**other).code == RC.NO_DATA_RETURN and len(b.requests) == 4
    b.present = True
    b.update(running=1)
    assert k.get_pump_status(**other).value == 1 and b.answered == 5
    assert w.pump("bed 2") is b and w.pump(0) is a and w.pumps == [a, b]
    with pytest.raises(ValueError, match="already answers"):
        w.add(801, b.channel)
    with pytest.raises(ValueError, match="taken"):
        w.add(5, label="bed 1")
    with pytest.raises(ValueError):
        w.add(0x10000)
    with pytest.raises(KeyError):
        w.pump("bed 9")


def test_transparent_ward_holds_one_pump(ward):
    w = ward("transparent").start()
    w.add(801, 23, PumpState(running=6))
    with pytest.raises(ValueError, match="single pump"):
        w.add(802)
    assert comm.Kelt(w.port, timeout=0.2).get_pump_status().value == 6


def test_late_and_twice_replies_arrive_on_the_line_when_due(ward):
    w = ward("fixed").start()
    late, twice, plain = w.add(1, 1), w.add(2, 1), w.add(3, 1)
    late.fault, late.late_delay = "late", 0.5
    twice.fault, twice.repeat_delay = "twice", 0.25
    reply = H("55 AA 05 06 00 4B 01 02 A7")
    # Times are taken before each write: a reply is never seen sooner than
    # its delay after that, however the threads are scheduled; what must come
    # sooner is checked by the order of arrival, not by a clock.
    with serial.Serial(w.port, timeout=0) as line:
        started = time.monotonic()
        line.write(H("00 01 01") + STATUS_REQ + H("00 03 01") + ALARM_REQ)
        alarm = H("55 AA 05 06 00 57 04 00 00 00 00 9A")
        got = read_until(line, len(alarm + reply))
        # The late reply does not hold up the next pump: its answer comes first.
        assert b"".join(c for _, c in got) == alarm + reply
        assert got[-1][0] - started >= 0.5
        # A twice-sent reply: the first copy at once, before the next pump's
        # answer; the second one its delay later, after it.
        started = time.monotonic()
        line.write(H("00 02 01") + STATUS_REQ + H("00 03 01") + ALARM_REQ)
        got = read_until(line, 2 * len(reply) + len(alarm))
        assert b"".join(c for _, c in got) == reply + alarm + reply
        assert got[-1][0] - started >= 0.25
    assert (late.answered, twice.answered, plain.answered) == (1, 1, 2)
    # The lone virtual pump shares the machinery, so both faults at once work there too.
    with VirtualPump(fault="late,twice", late_delay=0.3, repeat_delay=0.2) as pump, \
            serial.Serial(pump.port, timeout=0) as line:
        started = time.monotonic()
        line.write(STATUS_REQ)
        got = read_until(line, 2 * len(reply))
        assert b"".join(c for _, c in got) == reply * 2 and pump.answered == 1
        assert got[0][0] - started >= 0.3 and got[-1][0] - started >= 0.5
    # Through the driver, a late reply is missed, not credited to this exchange.
    assert comm.Kelt(w.port, timeout=0.2).get_pump_status(1, 1).code == RC.NO_DATA_RETURN


def test_pacing_takes_at_least_the_wire_time(ward):
    w = ward("fixed", baud=1200, hop_delay=0.1).start()
    w.add(801, 23)
    k = comm.Kelt(w.port, baud_rate=1200, timeout=1)
    started = time.monotonic()
    assert k.get_pump_status(801, 23).code == RC.SUCCESS
    # 11 request bytes with the prefix, 9 reply bytes, ten bits each.
    assert time.monotonic() - started >= (11 + 9) * 10 / 1200 + 0.1
    started = time.monotonic()
    w.flood(120)  # garbage holds the line too
    with serial.Serial(w.port, timeout=2) as line:
        garbage = line.read(120)
    assert len(garbage) == 120 and 0x55 not in garbage and time.monotonic() - started >= 1.0


def test_vanish_and_restore_like_an_unplugged_radio(ward, tmp_path):
    link = str(tmp_path / "ttyRADIO")
    w = ward("fixed", link_path=link).start()
    w.add(801, 23, PumpState(running=3))
    k = comm.Kelt(w.port, timeout=0.3)
    assert w.port == link and k.get_pump_status(801, 23).value == 3
    with serial.Serial(link, timeout=1) as line:
        w.vanish()
        with pytest.raises(serial.SerialException):
            line.read(1)
    assert not os.path.lexists(link)
    rc = k.get_pump_status(801, 23)
    assert rc.code == RC.EXCEPTION and "could not open port" in rc.message
    w.vanish()  # already gone
    w.restore()
    assert os.path.exists(os.readlink(link))  # a live pty again
    assert k.get_pump_status(801, 23).value == 3
    w.flood(40)  # flushed when the driver opens the port
    assert k.get_pump_status(801, 23).value == 3
    w.stop()
    assert not os.path.lexists(link)


def story(seed, steps=240):
    w = VirtualWard("fixed", seed=seed, motion=Motion(alarm_every=600, door_every=900, leave_every=1200))
    pumps = [w.add(i, 1, PumpState(remain_hours=0, remain_minutes=20 + i)) for i in range(4)]
    seen = []
    for _ in range(steps):
        w.advance(60)
        seen.append([(p.state, p.present) for p in pumps])
    return seen


def test_moving_state_is_seeded_and_changes_over_time(ward):
    one, again, other = story(7), story(7), story(8)
    assert one == again and one != other
    states = [s for step in one for s, _ in step]
    assert {s.running for s in states} >= {2, 3, 6}  # running, paused by an open door, keeping the vein open
    assert {s.door for s in states} == {0, 1} and any(not present for step in one for _, present in step)
    for bit in (0x0008, 0x0040, 0x0080, 0x0302):  # nearly complete, door open, complete, passing ones
        assert any(s.alarm & bit for s in states) and any(not s.alarm & bit for s in states)
    assert any(s.remain_hours * 60 + s.remain_minutes > 25 for s in states)  # a new syringe was hung
    # In real time: 600 ward seconds a second, counted down while serving.
    w = ward("fixed", moving=True, speed=600, seed=1, motion=Motion(door_every=1e9, leave_every=1e9)).start()
    w.add(801, 23, PumpState(remain_hours=2, remain_minutes=0))
    k = comm.Kelt(w.port, timeout=0.3)
    time.sleep(0.6)
    hours, minutes = k._Kelt__send_and_recv(comm.Command.GET_REMAIN_TIME, to_addr=801, to_channel=23).value
    assert 100 <= hours * 60 + minutes <= 115


def test_clean_stop_leaves_no_descriptor_or_thread(tmp_path):
    fds, threads = open_fds(), threading.active_count()
    for _ in range(3):
        with VirtualWard("master-slave", link_path=str(tmp_path / "link"), moving=True, speed=100, seed=3,
                         motion=Motion(leave_every=1e9)) as w:
            w.add(1).fault, w.add(2).fault = "late", "chunked"
            w.pump(1).late_delay = 30
            w.pump(2).chunk_delay = 30
            k = comm.Kelt(w.port, timeout=0.1)
            assert k.get_pump_status(addr=1).code == RC.NO_DATA_RETURN
            w.vanish()
            w.restore()
            assert k.get_pump_status(addr=2).code == RC.INVALID_DATA_LENGTH  # first part only
        started = time.monotonic()
        w.stop()  # idempotent, and nothing left waiting for the 30 s replies
        assert time.monotonic() - started < 0.5
        with pytest.raises(RuntimeError):
            w.vanish()
    assert open_fds() == fds and threading.active_count() == threads


def test_command_line():
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tarvelpump.__file__)))
    argv = "--mode fixed --pump 801:23 --pump 802:23 --moving --fault 802:23=bad_check".split()
    with subprocess.Popen([sys.executable, "-m", "tarvelpump.virtualward", *argv],
                          stdout=subprocess.PIPE, env=env, text=True) as proc:
        try:
            k = comm.Kelt(proc.stdout.readline().strip(), timeout=0.3)
            assert k.get_pump_status(801, 23).code == RC.SUCCESS
            assert k.get_pump_status(802, 23).code == RC.INVALID_CHECK_DATA
        finally:
            proc.send_signal(signal.SIGTERM)
            assert proc.wait(5) == 0
    for argv in (["--mode", "mesh"], ["--pump", "1:x"], ["--pump", "1", "--pump", "1"], ["--fault", "9=late"]):
        with pytest.raises(SystemExit) as exc:
            main(argv)
        assert exc.value.code == 2
