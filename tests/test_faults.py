"""Kelt over real pyserial when the line or the port misbehaves: a port that
disappears mid-read, one that cannot be opened, one busy in another process,
a pump slower than the time-out, ten thousand failures in a row. Every
exchange gives its result record, and the process holds as many file
descriptors afterwards as before. Then threads, each with its own Kelt and
its own virtual pump, query at the same time.

A port busy in another process: the holder sets the terminal's exclusive
mode (ioctl TIOCEXCL), after which the kernel refuses every further open
with EBUSY, except to a caller with CAP_SYS_ADMIN. So when this process has
that capability (root), the query runs on a thread that has dropped it
(capabilities are per thread on Linux). pyserial's own exclusive=True is no
help here: it takes an advisory flock, which only openers that ask for one
respect, and Kelt opens without; the test shows that too.
"""

import ctypes
import errno
import os
import subprocess
import sys
import threading
import time

import pytest

import tarvelpump.comm as comm
from leakcheck import on_fresh_thread, open_fds
from tarvelpump.virtualpump import PumpState

C = comm.Command
RC = comm.DeviceReturnCode

STATE = PumpState(running=3, door=1, remain_hours=2, remain_minutes=45, rate_unit=1,
                  alarm=0x0104)
STATUS_TEXT = "暂停"


def wait(seconds):
    """A pause that does not go through time.sleep (which tests patch)."""
    threading.Event().wait(seconds)


def is_result(rc, command, code):
    return (isinstance(rc, comm.DeviceReturn) and rc.command is command and rc.code == code
            and isinstance(rc.message, str) and rc.message)


# --- a port that disappears, or that cannot be opened ----------------------------


def test_port_disappears_mid_read(make_pump):
    before = open_fds()
    pump = make_pump(STATE)
    k = comm.Kelt(pump.port, timeout=5)
    assert k.get_pump_status().code == RC.SUCCESS  # pyserial's lazy imports are done
    # The first 5 bytes of the reply come at once, the rest would follow 30 s
    # later; the pump is stopped while the exchange waits for them.
    pump.chunk_delay = 30
    pump.fault = "chunked"
    stopper = threading.Timer(0.3, pump.stop)
    stopper.start()
    rc = k.get_pump_status()
    stopper.join()
    assert is_result(rc, C.GET_PUMP_STATUS, RC.EXCEPTION) and rc.value is None
    assert "disconnected" in rc.message or "read failed" in rc.message
    # The port is gone for good now: the next exchange cannot open it.
    again = k.get_pump_alarm()
    assert is_result(again, C.GET_PUMP_ALARM, RC.EXCEPTION)
    assert "could not open port" in again.message
    assert open_fds() == before


def test_pump_disappears_during_a_full_status_query(make_pump, monkeypatch):
    monkeypatch.setattr(time, "sleep", lambda seconds: None)
    before = open_fds()
    pump = make_pump(STATE, fault="silence")
    k = comm.Kelt(pump.port, timeout=5)
    stopper = threading.Timer(0.3, pump.stop)
    stopper.start()
    records = k.get_all_status()
    stopper.join()
    assert [r.command for r in records] == [C.GET_PUMP_STATUS, C.GET_PUMPDOOR_STATUS,
                                            C.GET_REMAIN_TIME, C.GET_RATE_UNIT,
                                            C.GET_PUMP_ALARM]
    assert all(is_result(r, r.command, RC.EXCEPTION) and r.value is None for r in records)
    assert open_fds() == before


@pytest.fixture(params=["missing", "directory", "/dev/null", "regular file"])
def unopenable(request, tmp_path):
    """A path that pyserial cannot open as a serial port, and why."""
    if request.param == "missing":
        return str(tmp_path / "ttyNONE"), "could not open port"
    if request.param == "directory":
        return str(tmp_path), "could not open port"
    if request.param == "regular file":
        path = tmp_path / "not-a-tty"
        path.write_bytes(b"\x55\xaa")
        return str(path), "could not configure port"
    return os.devnull, "could not configure port"


def test_port_that_cannot_be_opened(unopenable):
    path, reason = unopenable
    k = comm.Kelt(path, timeout=0.2)
    k.get_pump_status()
    before = open_fds()
    for query, command in ((k.get_pump_status, C.GET_PUMP_STATUS),
                           (k.get_pump_alarm, C.GET_PUMP_ALARM),
                           (lambda: k.get_kvo_rate([1]), C.GET_KVO_RATE)):
        rc = query()
        assert is_result(rc, command, RC.EXCEPTION) and rc.value is None
        assert reason in rc.message.lower()
        assert path in rc.message or reason == "could not configure port"
    assert open_fds() == before


@pytest.mark.parametrize("kind", ["missing", "/dev/null"])
def test_ten_thousand_failing_exchanges_in_a_row(kind, tmp_path):
    path, reason = ((str(tmp_path / "ttyNONE"), "could not open port") if kind == "missing"
                    else (os.devnull, "could not configure port"))
    k = comm.Kelt(path, timeout=0.2)
    k.get_pump_status()
    before = open_fds()
    results = [k.get_pump_status() for _ in range(10_000)]
    assert open_fds() == before
    assert all(is_result(rc, C.GET_PUMP_STATUS, RC.EXCEPTION) and rc.value is None
               and reason in rc.message.lower() for rc in results)
    assert len({id(rc) for rc in results}) == 10_000  # a record of its own each


# --- a port busy in another process --------------------------------------------------

HOLDER = r"""
import fcntl, os, sys, termios
import serial
mode, path = sys.argv[1], sys.argv[2]
if mode == "tiocexcl":
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    fcntl.ioctl(fd, termios.TIOCEXCL)
else:
    port = serial.Serial(path, exclusive=True)
print("held", flush=True)
sys.stdin.readline()
if mode == "tiocexcl":
    fcntl.ioctl(fd, termios.TIOCNXCL)
"""


class Holder:
    """Another process that holds the port until released."""

    def __init__(self, mode, path):
        self.proc = subprocess.Popen([sys.executable, "-c", HOLDER, mode, path],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "held"

    def release(self):
        self.proc.stdin.write("\n")
        self.proc.stdin.close()
        assert self.proc.wait(10) == 0
        self.proc.stdout.close()


CAP_SYS_ADMIN = 21
LINUX_CAPABILITY_VERSION_3 = 0x20080522


class CapHeader(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]


class CapData(ctypes.Structure):
    _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32),
                ("inheritable", ctypes.c_uint32)]


def drop_sys_admin():
    """Takes CAP_SYS_ADMIN out of the calling thread's effective set. False
    when that cannot be done here."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        capget, capset = libc.capget, libc.capset
    except (OSError, AttributeError):
        return False
    header, data = CapHeader(LINUX_CAPABILITY_VERSION_3, 0), (CapData * 2)()
    if capget(ctypes.byref(header), data) != 0:
        return False
    if not data[0].effective & (1 << CAP_SYS_ADMIN):
        return True
    data[0].effective &= ~(1 << CAP_SYS_ADMIN)
    return capset(ctypes.byref(header), data) == 0


def query_without_sys_admin(k):
    def run():
        if not drop_sys_admin():
            return None
        return k.get_pump_status()

    return on_fresh_thread(run)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="TIOCEXCL and capabilities")
def test_port_busy_in_another_process(make_pump):
    pump = make_pump(STATE)
    k = comm.Kelt(pump.port, timeout=1)
    assert k.get_pump_status().code == RC.SUCCESS
    before = open_fds()

    holder = Holder("tiocexcl", pump.port)
    try:
        rc = query_without_sys_admin(k)
        if rc is None:
            pytest.skip("cannot drop CAP_SYS_ADMIN on this machine")
        assert is_result(rc, C.GET_PUMP_STATUS, RC.EXCEPTION) and rc.value is None
        assert f"[Errno {errno.EBUSY}]" in rc.message and pump.port in rc.message
    finally:
        holder.release()
    rc = query_without_sys_admin(k)  # free again once the holder lets go
    assert (rc.code, rc.value) == (RC.SUCCESS, 3)

    # An advisory lock alone does not keep Kelt out.
    holder = Holder("flock", pump.port)
    try:
        rc = query_without_sys_admin(k)
        assert (rc.code, rc.value, rc.message) == (RC.SUCCESS, 3, STATUS_TEXT)
    finally:
        holder.release()
    assert open_fds() == before


# --- a pump slower than the time-out --------------------------------------------------


def test_pump_slower_than_the_timeout(make_pump):
    delay = 0.4
    pump = make_pump(STATE, chunk_delay=delay)
    k = comm.Kelt(pump.port, timeout=0.15)
    assert k.get_pump_status().code == RC.SUCCESS
    before = open_fds()
    # The frame header comes at once, the rest only after the time-out: the
    # exchange ends with the 5 bytes it has.
    pump.fault = "chunked"
    rc = k.get_pump_status()
    assert is_result(rc, C.GET_PUMP_STATUS, RC.INVALID_DATA_LENGTH) and rc.value is None
    wait(2 * delay + 0.2)  # the pump finishes the reply nobody reads any more
    pump.fault = "silence"
    rc = k.get_pump_alarm()
    assert is_result(rc, C.GET_PUMP_ALARM, RC.NO_DATA_RETURN) and rc.value is None
    # Quick again: late bytes of the earlier reply do not spoil the next one.
    pump.fault = None
    rc = k.get_pump_status()
    assert (rc.code, rc.value, rc.message) == (RC.SUCCESS, 3, STATUS_TEXT)
    assert open_fds() == before


# --- threads ------------------------------------------------------------------------------


def test_threads_with_their_own_pumps_do_not_mix_replies(make_pump, monkeypatch):
    monkeypatch.setattr(time, "sleep", lambda seconds: None)
    before = open_fds()
    modes = [dict(), dict(addr=801, channel=23), dict(addr=0x0203), dict(channel=42)]
    workers, pumps = [], []
    for i, mode in enumerate(modes):
        state = PumpState(running=i, door=i % 2, remain_hours=i, remain_minutes=10 + i,
                          rate_unit=(i + 1) % 2, alarm=0x0100 << i)
        pump = make_pump(state, **mode)
        pumps.append(pump)
        expected = [[i], [i % 2], [i, 10 + i], [(i + 1) % 2], [1 << i, 0, 0, 0]]
        workers.append((comm.Kelt(pump.port, timeout=1), mode, expected))

    rounds = 20
    start = threading.Barrier(len(workers))
    results = [[] for _ in workers]
    errors = []

    def run(n):
        k, mode, _ = workers[n]
        try:
            start.wait()
            for _ in range(rounds):
                results[n].append(k.get_all_status(mode.get("addr"), mode.get("channel")))
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(n,)) for n in range(len(workers))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for (_, _, expected), sets in zip(workers, results):
        assert len(sets) == rounds
        for records in sets:
            assert [r.code for r in records] == [RC.SUCCESS] * 5
            assert [r.value for r in records] == expected

    for pump in pumps:
        assert pump.answered == 5 * rounds
        pump.stop()
    assert open_fds() == before
