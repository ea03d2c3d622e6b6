"""Kelt and the simulation used as a hostile caller would: lists that change
under the module's feet, rebound module globals, overrides, odd argument
lists and threads sharing a port. Each must end as the same program written
in Python ends: a result, or Python's own exception."""

import gc
import itertools
import logging
import os
import random
import re
import sys
import threading
import time
import types

import pytest

import tarvelpump.comm as comm
from fake_serial import install
from tarvelpump.virtualpump import PumpState

C = comm.Command
RC = comm.DeviceReturnCode
STATUS_REQUEST = bytes.fromhex("55AA0506014B00A9")
STATUS_REPLY = bytes.fromhex("55AA0506004B0102A7")


class Clearer:
    """An element whose conversion empties the list that holds it."""

    def __init__(self, lst):
        self.lst = lst

    def __index__(self):
        self.lst.clear()
        return 1


def self_clearing(*tail, last=False):
    lst = [*tail] if last else []
    lst += [Clearer(lst)] if last else [Clearer(lst), *tail]
    return lst


class Idx:
    def __index__(self):
        return 5


def with_sr(reply):
    """A Kelt whose exchange answers `reply` (a callable of the request)."""
    class Canned(comm.Kelt):
        def _Kelt__sr(self, data, recv_len=32):
            return reply(data)
    return Canned()


def no_int_add(name):
    return f"unsupported operand type(s) for +: 'int' and '{name}'"


@pytest.mark.parametrize("call, error, message", [
    (lambda: comm.Kelt()._Kelt__chkd(self_clearing(7, 0, 0, 0, 0, 0, 0, 0, 0)),
     TypeError, no_int_add("Clearer")),
    (lambda: comm.Kelt().get_kvo_rate(self_clearing()), TypeError, no_int_add("Clearer")),
    (lambda: comm.Kelt().get_kvo_rate([Idx()]), TypeError, no_int_add("Idx")),
    (lambda: with_sr(lambda d: itertools.count()).get_pump_status(), TypeError,
     "object of type 'itertools.count' has no len()"),
    (lambda: with_sr(lambda d: self_clearing(*STATUS_REPLY[:-1], last=True)).get_pump_status(), None,
     "Received check data (1) is not correct. should be a7"),
])
def test_lists_that_change_while_read(monkeypatch, call, error, message):
    port = install(monkeypatch, STATUS_REPLY)
    if error is None:
        rc = call()
        assert (rc.code, rc.message) == (RC.INVALID_CHECK_DATA, message)
    else:
        with pytest.raises(error, match=f"^{re.escape(message)}$"):
            call()
        assert port.instances == []  # refused before the port was touched


def test_address_and_headers_that_change_while_read(monkeypatch):
    port = install(monkeypatch, STATUS_REPLY)
    # bytes(to_addr + frame): the joined list is new, so clearing the
    # caller's list changes nothing that is sent.
    rc = comm.Kelt().get_pump_status(addr=self_clearing(7))
    assert rc.code == RC.SUCCESS
    assert port.instances[0].calls[0] == ("write", b"\x01\x07" + STATUS_REQUEST)

    class Headers(comm.Kelt):
        _Kelt__grh = self_clearing(0xAA, 5, 6, 0)
    rc = Headers().get_pump_status()
    assert rc.code == RC.INVALID_HEADER_DATA
    assert rc.message == "Received header data (0x55 0xaa 0x5 0x6 0x0) invalid, should be 0x1"
    Headers._Kelt__gsh = self_clearing(0xAA, 5, 6, 1)
    with pytest.raises(TypeError, match="'int' and 'Clearer'"):
        Headers().get_pump_status()


def test_rebound_hex_str_and_serial(monkeypatch, caplog):
    install(monkeypatch, bytes.fromhex("55AA0506014B0102A6"))
    monkeypatch.setattr(comm, "hex_str", lambda d: b"\xe4" + b"\0" * 15 + b"A" * 40)
    with caplog.at_level(logging.DEBUG, logger=comm.log.name):
        rc = comm.Kelt().get_pump_status()
    shown = str(b"\xe4" + b"\0" * 15 + b"A" * 40)  # formatted as str() would
    assert rc.message == f"Received header data ({shown}) invalid, should be {shown}"
    assert caplog.messages[0] == f"8 bytes sent. {shown}"

    looked_up = []

    class Lazy(comm.Kelt):
        @property
        def port(self):
            looked_up.append("port")
            return "COM1"

        @port.setter
        def port(self, value):
            pass
    monkeypatch.setattr(comm, "serial", types.SimpleNamespace())
    with pytest.raises(AttributeError, match="'Serial'"):
        Lazy()._Kelt__sr(b"x")
    assert looked_up == []  # nothing runs once serial.Serial has failed


class RaisingIter:
    def __iter__(self):
        raise TypeError("my own")


@pytest.mark.parametrize("item, error, message", [
    (itertools.count(), ValueError, r"too many values to unpack \(expected 2\)"),
    (5, TypeError, "cannot unpack non-iterable int object"),
    (RaisingIter(), TypeError, "my own"),
    ((C.GET_PUMP_STATUS,), ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
])
def test_unpacking_takes_one_item_past_the_count(monkeypatch, item, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        comm.Kelt()._Kelt__send_commands([item])
    monkeypatch.setattr(comm, "fake_return_code_msg", lambda c, v: item)
    with pytest.raises(error, match=f"^{message}$"):
        comm.fake_get_all_status(1)


@pytest.mark.parametrize("value", [float("nan"), float("inf"), -float("inf")])
def test_non_finite_random_raises_what_int_raises(monkeypatch, value):
    monkeypatch.setattr(random, "random", lambda: value)
    with pytest.raises(Exception) as expected:
        int(value)
    with pytest.raises(type(expected.value), match=str(expected.value)):
        comm.fake_get_all_status(1)


def python_init(self, port="COM1", baud_rate=9600, timeout=1):
    pass


python_init.__qualname__ = "Kelt.__init__"


@pytest.mark.parametrize("args, kwargs", [
    (range(20), dict(x=1)), ((1, 2, 3, 4), dict(port=5)), ((1, 2, 3, 4), {}),
    ((), dict(baudrate=1)), ((1,), dict(port=2)), (range(17), {}),
])
def test_constructor_binding_reports_what_python_reports(args, kwargs):
    with pytest.raises(TypeError) as expected:
        python_init(object(), *args, **kwargs)
    with pytest.raises(TypeError) as got:
        comm.Kelt(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def python_fake(addr, /):
    pass


@pytest.mark.parametrize("kwargs", [dict(addr=1), dict(x=1), dict(addr=1, x=2)])
def test_positional_only_binding_reports_what_python_reports(kwargs):
    python_fake.__qualname__ = "fake_get_all_status"
    with pytest.raises(TypeError) as expected:
        python_fake(**kwargs)
    with pytest.raises(TypeError) as got:
        comm.fake_get_all_status(**kwargs)
    assert str(got.value) == str(expected.value)


def test_overridden_chkd_is_called(monkeypatch):
    seen = []

    class Own(comm.Kelt):
        def _Kelt__chkd(self, data):
            seen.append(list(data))
            return 0x11
    port = install(monkeypatch, STATUS_REPLY[:-1] + b"\x11")
    rc = Own().get_pump_status()
    assert (rc.code, rc.value) == (RC.SUCCESS, 2)
    assert port.instances[0].calls[0] == ("write", STATUS_REQUEST[:-1] + b"\x11")
    assert seen == [list(STATUS_REQUEST[:-1]), list(STATUS_REPLY[:-1])]

    port = install(monkeypatch, STATUS_REPLY)
    k = comm.Kelt()
    k._Kelt__chkd = lambda data: 0x22  # an instance attribute overrides too
    rc = k.get_pump_status()
    assert (rc.code, rc.message) == (
        RC.INVALID_CHECK_DATA, "Received check data (a7) is not correct. should be 22")
    assert port.instances[0].calls[0] == ("write", STATUS_REQUEST[:-1] + b"\x22")
    del k._Kelt__chkd  # the class's own again: the fast path
    assert k.get_pump_status().code == RC.SUCCESS


def test_exchanges_on_one_port_run_alone(monkeypatch):
    events = []

    class Slow:
        def __init__(self, port=None, baudrate=None, timeout=None):
            if port == "again":  # an exchange inside an exchange: re-entrant
                comm.Kelt("again-inner")._Kelt__sr(b"", 0)
            events.append(("open", port))
            self.is_open = True

        def write(self, data):
            time.sleep(0.001)  # lets the other threads run
            return len(data)

        def read(self, size):
            time.sleep(0.001)
            return STATUS_REPLY

        def close(self):
            events.append(("close", None))
    monkeypatch.setattr(comm.serial, "Serial", Slow)
    shared = comm.Kelt("/dev/shared")
    per_thread = [shared, shared, comm.Kelt("/dev/" + "shared")] * 3
    rounds = 20

    def run(k):
        for _ in range(rounds):
            assert k.get_pump_status().code == RC.SUCCESS
    threads = [threading.Thread(target=run, args=(k,)) for k in per_thread[:8]]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(events) == 2 * 8 * rounds
    assert events == [("open", "/dev/shared"), ("close", None)] * 8 * rounds

    events.clear()
    comm.Kelt("again")._Kelt__sr(b"", 0)  # does not wait for itself
    comm.Kelt(["unhashable"])._Kelt__sr(b"", 0)  # left unlocked
    assert [e[0] for e in events] == ["open", "close", "open", "close", "open", "close"]


def test_threads_sharing_one_kelt_on_a_real_port(make_pump, monkeypatch):
    monkeypatch.setattr(time, "sleep", lambda s: None)
    pump = make_pump(PumpState(running=3, door=1, remain_hours=2, remain_minutes=9,
                               rate_unit=1, alarm=0x0102, kvo_rate=300))
    k = comm.Kelt(pump.port, timeout=1)
    asks = [(k.get_pump_status, 3), (k.get_pump_alarm, [1, 2, 0, 0]),
            (lambda: k.get_kvo_rate([1]), [0, 0, 1, 44])] * 3
    wrong = []
    held = sys.getrefcount(k)

    def run(ask, value):
        for _ in range(10):
            rc = ask()
            if (rc.code, rc.value) != (RC.SUCCESS, value):
                wrong.append(rc)
    threads = [threading.Thread(target=run, args=a) for a in asks[:8]]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []
    assert pump.answered == 80
    assert sys.getrefcount(k) == held


class Seq:
    """A sequence that is neither list nor tuple: the general request path."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return list(self.items)[i] if isinstance(i, slice) else self.items[i]


def test_general_and_plain_requests_agree(monkeypatch):
    kvo = bytes.fromhex("55AA0506005004000001 2C")
    kvo += bytes([(sum(kvo) ^ 0xFFFF) & 0xFF])
    sent = []
    for data, addr, channel in [([1], 0x0102, 0x17), (Seq(1), [1, 2], True),
                                ((1,), type("L", (list,), {})([1, 2]), 0x17), ([True], False, 0)]:
        port = install(monkeypatch, kvo)
        rc = comm.Kelt().get_kvo_rate(data, addr=addr, channel=channel)
        assert (rc.code, rc.value) == (RC.SUCCESS, [0, 0, 1, 44])
        sent.append(port.instances[0].calls[0][1])
    frame = bytes.fromhex("55AA0506015001 01A2")
    assert sent == [b"\x01\x02\x17" + frame, b"\x01\x02\x01" + frame,
                    b"\x01\x02\x17" + frame, frame]


def test_check_data_of_huge_ints_sums_as_python_does():
    big = 2**63 - 1  # two of them pass the range of a C long long
    assert comm.Kelt()._Kelt__chkd([big, big, -big, 5 - big, 0, 0, 0]) == 0xFA
    with pytest.raises(OverflowError, match="int too big to convert"):
        comm.Kelt()._Kelt__chkd([big, big, 8 - big, 0, 0, 0, 0])


def test_a_forked_child_is_not_held_by_its_parents_threads(monkeypatch):
    inside, leave = threading.Event(), threading.Event()
    codes, parent = [], os.getpid()

    class Port:
        def __init__(self, port=None, baudrate=None, timeout=None):
            self.port, self.is_open = port, True
            if port == "fork-inside" and os.getpid() == parent:  # its own hold stays
                codes.append(child_runs(lambda: comm.Kelt(port)._Kelt__sr(b"", 0)))

        def write(self, data):
            if self.port == "held" and os.getpid() == parent and not leave.is_set():
                inside.set()
                leave.wait(10)
            return len(data)

        def read(self, size):
            return b""

        def close(self):
            pass

    def child_runs(exchange):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                exchange()
                code = 7
            finally:
                os._exit(code)
        for _ in range(500):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.01)
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        return "hung"
    monkeypatch.setattr(comm.serial, "Serial", Port)
    holder = threading.Thread(target=lambda: comm.Kelt("held")._Kelt__sr(b"", 0))
    holder.start()
    assert inside.wait(10)
    try:
        assert child_runs(lambda: comm.Kelt("held")._Kelt__sr(b"", 0)) == 7
    finally:
        leave.set()
        holder.join()
    comm.Kelt("fork-inside")._Kelt__sr(b"", 0)
    assert codes == [7]
    assert child_runs(lambda: comm.Kelt("held")._Kelt__sr(b"", 0)) == 7


class Shrinking(int):
    """A length byte whose `8 + byte` empties (or shortens) every list holding it."""

    def __new__(cls, value, keep=0):
        self = super().__new__(cls, value)
        self.keep = keep
        return self

    def __radd__(self, other):
        for holder in gc.get_referrers(self):
            if type(holder) is list:
                del holder[self.keep:]
        return other + int(self)


@pytest.mark.parametrize("keep", [0, 7, 8])
def test_a_reply_that_shrinks_while_judged_is_read_within_bounds(keep):
    reply = list(STATUS_REPLY)
    reply[6] = Shrinking(1, keep)
    rc = with_sr(lambda data: reply).get_pump_status()
    assert rc.code == RC.INVALID_DATA_LENGTH  # what is left is too short for its length byte


def test_get_all_status_never_shows_a_half_built_list(monkeypatch):
    seen = []

    class Commands:
        def __getattr__(self, name):
            for o in gc.get_objects(generation=0):
                if type(o) is list and len(o) == 5 and "<NULL>" in repr(o):
                    seen.append(repr(o))
            return getattr(C, name)

    class Collecting(comm.Kelt):
        def _Kelt__send_commands(self, head_data_list, addr=None, channel=None):
            return head_data_list, addr, channel
    monkeypatch.setattr(comm, "Command", Commands())
    sent, addr, channel = Collecting().get_all_status(3, channel=4)
    assert seen == []
    assert sent == [(C.GET_PUMP_STATUS, []), (C.GET_PUMPDOOR_STATUS, []), (C.GET_REMAIN_TIME, []),
                    (C.GET_RATE_UNIT, []), (C.GET_PUMP_ALARM, [])]
    assert (addr, channel) == (3, 4)
    assert len({id(data) for _, data in sent}) == 5  # each list new
