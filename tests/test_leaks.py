"""Every public entry point of tarvelpump.comm, called in a loop, leaves no
live objects, traced memory, references or file descriptors behind.

Each test gathers the paths of one area (each function and method, each
outcome of the transaction, each query) and hands leakcheck.assert_steady a
function that runs the next path at each call, round and round. In-process
areas run 10,000 calls after the warm-up, at least 250 per path; queries
over a pseudo-terminal run every query at each of TARVELPUMP_LEAK_CALLS
calls (300 by default). leakcheck states the tolerances; with them a leak of
one object, or one reference to a shared object, per call of any single
path fails the test. Every call also checks its outcome, so a path that
stopped taking its branch would fail here rather than pass unmeasured.

The module logger is set to DEBUG with a filter that formats every record
and drops it, so the serial traffic lines are built on every exchange and
nothing accumulates in pytest's log capture.
"""

import collections
import ctypes
import inspect
import logging
import os
import signal
import subprocess
import sys
import time

import pytest
import serial
import serial.tools.list_ports

import tarvelpump.comm as comm
from fake_serial import FakePort
from leakcheck import assert_steady, env_calls, in_turn

C = comm.Command
RC = comm.DeviceReturnCode
Kelt = comm.Kelt
DeviceReturn = comm.DeviceReturn
H = bytes.fromhex

CALLS = 10_000
PER_PATH = 250
PTY_CALLS = env_calls(300)

TABLES = [comm.DeviceReturnCode, comm.PowerStatus, comm.PumpStatus, comm.PumpDoorStatus,
          comm.RateUnit, comm.KeltPumpAlarmBits, comm.Command]
# Reference counts that must come back exactly: every table entry, the
# tables, the classes and dictionaries that each transaction reads.
SHARED = [*(e for table in TABLES for e in table), *TABLES, Kelt, DeviceReturn,
          comm.CommandSendAppHeader, comm.CommandRecvAppHeader, comm.ConvertFunc,
          comm.AlarmOrder, *comm.CommandSendAppHeader.values(),
          *comm.CommandRecvAppHeader.values(), Kelt._Kelt__gsh, Kelt._Kelt__grh]

STATUS_REQUEST = H("55AA0506014B00A9")
STATUS_REPLY = H("55AA0506004B0102A7")


def frame(direction, command, data=b""):
    body = bytes([0x55, 0xAA, 0x05, 0x06, direction, command, len(data)]) + bytes(data)
    return body + bytes([0xFF - sum(body) % 256])


REPLY_DATA = {
    C.SET_START_CONTROL: b"", C.SET_STOP_CONTROL: b"", C.GET_INFUSION_PARAMETER: bytes(range(15)),
    C.GET_PUMP_STATUS: b"\x04", C.GET_TOTAL_VALUE: b"\0\0\1\2", C.GET_KVO_RATE: b"\0\0\1\x2c",
    C.GET_PUMP_ALARM: b"\x81\x02\0\0", C.GET_BUBBLE: b"\x01", C.GET_PUMPDOOR_STATUS: b"\x01",
    C.GET_REMAIN_TIME: b"\x03\x07", C.GET_RATE_UNIT: b"\x01",
}
REPLIES = {int(c): frame(0, c, d) for c, d in REPLY_DATA.items()}


def steady(paths, watch=()):
    """10,000 calls, or more when the paths are many."""
    step = in_turn(*paths)
    calls = max(CALLS, PER_PATH * step.paths)
    assert_steady(step, calls, warmup=max(calls // 5, 20 * step.paths), watch=[*watch, *SHARED])


def drop_formatted(record):
    """Builds the message of every record of the module, then drops it:
    a logger filter, so no handler (pytest's capture included) keeps it."""
    record.getMessage()
    return False


@pytest.fixture(autouse=True)
def debug_log_dropped():
    logger = logging.getLogger("tarvelpump.comm")
    level = logger.level
    logger.addFilter(drop_formatted)
    logger.setLevel(logging.DEBUG)
    yield
    logger.removeFilter(drop_formatted)
    logger.setLevel(level)


@pytest.fixture(autouse=True)
def no_pause(monkeypatch):
    monkeypatch.setattr(time, "sleep", lambda seconds: None)


@pytest.fixture
def ports(monkeypatch):
    """Makes fake port classes; paths set serial.Serial, restored afterwards."""
    monkeypatch.setattr(serial, "Serial", serial.Serial)

    def make(*chunks, base=FakePort, **attrs):
        # Only the latest instance is kept, so the record of calls cannot grow.
        return type("Port", (base,), dict(script=list(chunks),
                                          instances=collections.deque(maxlen=1), **attrs))

    return make


def raises(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc.__name__}")


class PortGone(serial.SerialException):
    """Raised as a class, so each failure is a fresh exception."""

    def __init__(self, *args):
        super().__init__(*(args or ("could not open port COM1",)))


class Quiet(serial.SerialException):
    pass


class DriverBug(RuntimeError):
    pass


class AnsweringPort(FakePort):
    """Answers each request with the good reply of its command."""

    def write(self, data):
        n = super().write(data)
        start = bytes(data).find(H("55AA050601"))
        command = data[start + 5] if start >= 0 else None
        self.chunks = [REPLIES[command]] if command in REPLIES else []
        return n


# --- the check itself ---------------------------------------------------------


def test_the_check_catches_leaks():
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    shared = object()
    opened = []
    try:
        with pytest.raises(AssertionError, match="objects|bytes|references|blocks"):
            assert_steady(lambda: incref(float("1.5")), 300, warmup=10,
                          name="deliberate leak of an object per call")
        with pytest.raises(AssertionError, match="references|reference counts"):
            assert_steady(lambda: incref(shared), 300, warmup=10, watch=[shared],
                          name="deliberate leak of a reference per call")
        with pytest.raises(AssertionError, match="descriptors"):
            assert_steady(lambda: opened.append(os.open(os.devnull, os.O_RDONLY)), 40, warmup=2,
                          name="deliberate leak of a descriptor per call")
    finally:
        for fd in opened:
            os.close(fd)


# --- free functions, tables, records ---------------------------------------


def test_hex_str():
    hex_str = comm.hex_str
    entry_list = [C.GET_PUMP_STATUS, 1]

    def ints():
        assert hex_str(255) == "0xff" and hex_str(-1) == "-0x1" and hex_str(True) == "0x1"

    def sequences():
        assert hex_str(H("55AA050601")) == "0x55 0xaa 0x5 0x6 0x1"
        assert hex_str(entry_list) == "0x4b 0x1"
        assert hex_str(b"") == "" and hex_str([]) == ""

    def others():
        assert hex_str(bytearray(b"\x01")) == "bytearray(b'\\x01')"
        assert hex_str((1, 2)) == "(1, 2)" and hex_str("55") == "55" and hex_str(None) == "None"

    def errors():
        raises(TypeError, hex_str, [1, "a"])
        raises(TypeError, hex_str)

    steady([ints, sequences, others, errors], watch=[entry_list])


def test_list_ports(monkeypatch):
    class Info:
        pass

    monkeypatch.setattr(serial.tools.list_ports, "comports", lambda: iter([Info(), Info()]))
    listing = serial.tools.list_ports.comports

    def failing():
        raise OSError("no sysfs")

    def listed():
        serial.tools.list_ports.comports = listing
        assert len(comm.list_ports()) == 2

    def failed():
        serial.tools.list_ports.comports = failing
        raises(OSError, comm.list_ports)

    steady([listed, failed, lambda: raises(TypeError, comm.list_ports, 1)])


def test_list_ports_of_this_machine():
    expected = len(comm.list_ports())

    def listed():
        assert len(comm.list_ports()) == expected

    assert_steady(listed, PTY_CALLS)


def test_tables():
    send, recv = comm.CommandSendAppHeader, comm.CommandRecvAppHeader
    paths = []
    for table in TABLES:
        for entry in table:
            def read(table=table, name=entry.name, code=int(entry)):
                e = getattr(table, name)
                assert e in table and e.name == name and str(e) == name
                e.text, repr(e), hash(e)
                assert hex(e) == hex(code) and e == code and code == e and e + 0 == code
                assert table.get_option_by_code(code) is e
                assert table.get_option_by_code(5000) is None
                assert 5000 not in table and "x" not in table
                assert len(table) == len(table.codes) == len(list(table))
            paths.append(read)
    for c in C:
        def headers(c=c):
            assert send[c][0] is c and recv[c][0] is c
            comm.ConvertFunc.get(c)
            assert bytes([c]) == bytes([int(c)])
        paths.append(headers)
    for alarm in comm.KeltPumpAlarmBits:
        paths.append(lambda alarm=alarm: comm.AlarmOrder[alarm])
    paths.append(lambda: raises(KeyError, send.__getitem__, 999))
    paths.append(lambda: raises(AttributeError, getattr,
                                comm.PumpStatus.get_option_by_code(9), "text"))
    steady(paths)


def test_records():
    value = [1, 2]
    cmd, code = C.GET_PUMP_STATUS, RC.INVALID_CHECK_DATA

    def defaults():
        r = DeviceReturn(cmd)
        assert (r.value, r.code, r.message) == (None, RC.SUCCESS, "Success")

    def positional_and_display():
        r = DeviceReturn(cmd, value, code, "m")
        assert repr(r) == str(r) == ("<DeviceReturn command=GET_PUMP_STATUS "
                                     "code=INVALID_CHECK_DATA, value=[1, 2], message=m>")

    def keywords_and_a_cycle():
        r = DeviceReturn(command=cmd, value=value, code=code, message=None)
        assert r.message == "Check data is not correct"
        r.value = [r]
        repr(r)

    steady([defaults, positional_and_display, keywords_and_a_cycle,
            lambda: raises(AssertionError, DeviceReturn, 75),
            lambda: raises(AssertionError, DeviceReturn, cmd, code=75),
            lambda: raises(TypeError, DeviceReturn, cmd, colour=1),
            lambda: raises(TypeError, DeviceReturn, cmd, mesage=1),  # a hint on 3.13
            lambda: raises(TypeError, DeviceReturn),
            lambda: inspect.signature(DeviceReturn),
            lambda: raises(AttributeError, repr, DeviceReturn.__new__(DeviceReturn))],
           watch=[value])


def test_kelt_construction_and_check_data():
    request = list(STATUS_REQUEST[:-1])
    reply = list(STATUS_REPLY)
    with_entry = [0x55, 0xAA, 5, 6, 1, C.GET_PUMP_STATUS, 0]
    chkd = Kelt()._Kelt__chkd

    def defaults():
        k = Kelt()
        assert (k.port, k.baud_rate, k.timeout) == ("COM1", 9600, 1)

    def given():
        assert Kelt("/dev/ttyX", 19200, 0.5).timeout == 0.5
        assert Kelt(port="p", baud_rate=1, timeout=None).port == "p"

    def check_data():
        assert chkd(request) == 0xA9 and chkd(STATUS_REQUEST[:-1]) == 0xA9
        assert chkd(reply) == 0xA7 and chkd(with_entry) == 0xA9
        assert chkd([]) == 0xFF and chkd(request + [9] * 30) == 0xA9

    steady([defaults, given, check_data,
            lambda: raises(TypeError, Kelt, 1, 2, 3, 4),
            lambda: raises(TypeError, Kelt, colour=1),
            lambda: raises(TypeError, Kelt, baudrate=1),  # a hint on 3.13
            lambda: raises(TypeError, Kelt, **{"\udc80": 1}),  # no UTF-8: no hint
            lambda: inspect.signature(Kelt),
            lambda: raises(AttributeError, getattr, Kelt(), "__signature__"),
            lambda: raises(OverflowError, Kelt().get_pump_status, addr=2**70),
            lambda: raises(TypeError, chkd, [1, "a"]),
            lambda: raises(OverflowError, chkd, [-1000]),
            lambda: raises(TypeError, chkd),
            lambda: raises(TypeError, chkd, None)],
           watch=[chkd, request, reply, with_entry])


def test_get_value_str():
    g = Kelt.get_value_str
    convert = comm.ConvertFunc
    k = Kelt()
    expect = [
        (C.GET_PUMP_STATUS, [2], "运行"), (C.GET_PUMP_STATUS, (6,), "保持静脉通畅"),
        (C.GET_PUMPDOOR_STATUS, [1], "开启"), (C.GET_RATE_UNIT, [1], "滴"),
        (C.GET_REMAIN_TIME, [1, 5], "1小时5分"), (C.GET_PUMP_ALARM, [0x80, 2, 9, 9], "1000000000000010"),
        (C.GET_KVO_RATE, [0, 0, 1, 44], "[0, 0, 1, 44]"),
        (C.GET_PUMP_STATUS, [2, 0], None), (C.GET_PUMP_STATUS, [], None),
        (C.GET_PUMP_STATUS, b"\x02", None), (C.SET_START_CONTROL, [], None),
        # Conversion failures: logged, then the value's text.
        (C.GET_RATE_UNIT, [2], "[2]"), (C.GET_PUMP_STATUS, [7], "[7]"),
        (C.GET_PUMP_ALARM, [256, 0, 0, 0], "[256, 0, 0, 0]"),
    ]
    paths = [lambda c=c, v=v, text=text: g(c, v) == text or pytest.fail(f"{c} {v}")
             for c, v, text in expect]
    paths += [
        lambda: k.get_value_str(command=C.GET_RATE_UNIT, value=[0]) == "毫升" or pytest.fail(),
        lambda: raises(AssertionError, g, 75, [2]),
        lambda: raises(TypeError, g, C.GET_PUMP_STATUS),
        lambda: raises(IndexError, convert[C.GET_REMAIN_TIME], [1]),
        lambda: convert[C.GET_PUMP_ALARM]([1]) == "0000000000000001" or pytest.fail(),
    ]
    steady(paths, watch=[k])


def test_simulation():
    def full_set():
        records = comm.fake_get_all_status(801)
        assert [r.command for r in records] == [C.GET_PUMP_STATUS, C.GET_PUMPDOOR_STATUS,
                                                C.GET_REMAIN_TIME, C.GET_RATE_UNIT,
                                                C.GET_PUMP_ALARM]

    def code_and_message():
        code, message = comm.fake_return_code_msg(C.GET_REMAIN_TIME, [2, 30])
        assert message == ("2小时30分" if code == RC.SUCCESS else "No data returns.")
        comm.fake_return_code_msg(cmd=C.GET_PUMP_ALARM, val=[1, 0, 0, 0])

    steady([full_set, lambda: comm.fake_get_all_status(None), code_and_message,
            lambda: comm.fake_random_options_code(comm.PumpDoorStatus) in (0, 1) or pytest.fail(),
            lambda: raises(TypeError, comm.fake_get_all_status, (1, 2)),
            lambda: raises(TypeError, comm.fake_get_all_status)])


# --- the transaction over a scripted port -----------------------------------


def test_transaction_outcomes(ports):
    k = Kelt()
    sr = k._Kelt__send_and_recv
    data, addr = [1], [1, 2]
    good, silent = ports(STATUS_REPLY), ports()
    status = dict(command=C.GET_PUMP_STATUS)
    outcomes = [
        (good, status, RC.SUCCESS),
        (ports(STATUS_REPLY[:5], STATUS_REPLY[5:], starts_open=False),
         dict(status, to_addr=0x0102, to_channel=0x17), RC.SUCCESS),
        (ports(REPLIES[C.GET_KVO_RATE]), dict(command=C.GET_KVO_RATE, data_send=data,
                                              to_addr=addr), RC.SUCCESS),
        (silent, status, RC.NO_DATA_RETURN),
        (ports(H("55AA05")), status, RC.INVALID_DATA_LENGTH),
        (ports(H("55AA0506004B01")), status, RC.INVALID_DATA_LENGTH),
        (ports(H("55AA0506004B0502A7")), status, RC.INVALID_DATA_LENGTH),
        (ports(H("55AA0506004B0102A8")), status, RC.INVALID_CHECK_DATA),
        (ports(STATUS_REPLY + b"\0"), status, RC.INVALID_CHECK_DATA),
        (ports(STATUS_REQUEST), status, RC.INVALID_HEADER_DATA),
        (ports(H("55AA0506004B00AA")), status, RC.INVALID_APP_DATA),
        (ports(open_error=PortGone), status, RC.EXCEPTION),
        (ports(open_error=PortGone, starts_open=False), status, RC.EXCEPTION),
        (ports(write_error=PortGone), status, RC.EXCEPTION),
        (ports(read_error=PortGone), status, RC.EXCEPTION),
        (ports(read_error=Quiet), status, RC.EXCEPTION),
        (ports(read_error=DriverBug), status, DriverBug),
        (ports(write_error=OSError), status, OSError),
        (silent, dict(status, data_send=data), RC.INVALID_USER_DATA_LENGTH),
        (silent, dict(command=C.GET_KVO_RATE, data_send=[]), RC.INVALID_USER_DATA_LENGTH),
        (silent, dict(command=999), KeyError),
        (silent, dict(command=comm.PumpStatus.RUN), KeyError),
        (silent, dict(status, to_addr=0x10000), OverflowError),
        (silent, dict(status, to_addr=-1), OverflowError),
        (silent, dict(command=C.GET_KVO_RATE, data_send=[256]), ValueError),
        (silent, dict(status, to_channel=256), ValueError),
        (silent, dict(status, to_addr=[1, 300]), ValueError),
        (silent, dict(command=C.GET_KVO_RATE, data_send=["a"]), TypeError),
        (silent, dict(status, to_addr=(1, 2)), TypeError),
        (silent, dict(status, to_channel="a"), TypeError),
        (silent, dict(status, data_send=None), TypeError),
    ]
    for c in C:  # a good reply to every command: every converter, and none
        outcomes.append((ports(REPLIES[c]),
                         dict(command=c, data_send=[5] * (c == C.GET_KVO_RATE)), RC.SUCCESS))

    def outcome(port, kwargs, expected):
        serial.Serial = port
        if isinstance(expected, type):
            raises(expected, sr, **kwargs)
        else:
            rc = sr(**kwargs)
            assert rc.code == expected and rc.command == kwargs["command"], (kwargs, rc)

    def positional():
        serial.Serial = good
        assert sr(C.GET_PUMP_STATUS, [], None, None).value == [2]

    def raw_exchange():
        serial.Serial = good
        assert k._Kelt__sr(STATUS_REQUEST, 9) == list(STATUS_REPLY)
        assert k._Kelt__sr(data=b"", recv_len=0) == []

    paths = [lambda o=o: outcome(*o) for o in outcomes]
    paths += [positional, raw_exchange, lambda: raises(TypeError, sr),
              lambda: raises(TypeError, k._Kelt__sr)]
    steady(paths, watch=[k, data, addr])


class Clearer:
    """Empties the list that holds it when converted."""

    def __init__(self, lst):
        self.lst = lst

    def __index__(self):
        self.lst.clear()
        return 1


class OwnCheck(Kelt):
    def _Kelt__chkd(self, data):
        return 0xA9 if len(data) == 7 else 0xA7


def test_hostile_paths(ports):
    """Lists changed while read, overrides, odd replies, unpacking, the port
    lock, rebound globals: each path's failure as well as its success."""
    good = ports(STATUS_REPLY)
    serial.Serial = good
    k, own = Kelt(), OwnCheck()
    def odd_reply(self, data, recv_len=32):
        reply = list(STATUS_REPLY[:-1])
        reply.append(Clearer(reply))
        return reply
    odd = type("Odd", (Kelt,), dict(_Kelt__sr=odd_reply))()
    unhashable = Kelt([1])

    def cleared(*tail):
        lst = []
        lst += [Clearer(lst), *tail]
        return lst

    def sequences():
        raises(TypeError, k._Kelt__chkd, cleared(7, 0, 0, 0, 0, 0, 0, 0, 0))
        raises(TypeError, k.get_kvo_rate, cleared())
        assert k.get_pump_status(addr=cleared(7)).code == RC.SUCCESS
        assert odd.get_pump_status().code == RC.INVALID_CHECK_DATA

    def overrides():
        assert own.get_pump_status().value == 2
        assert unhashable.get_pump_status().code == RC.SUCCESS

    def unpacking():
        raises(ValueError, k._Kelt__send_commands, [[C.GET_PUMP_STATUS, [], 3]])
        raises(TypeError, k._Kelt__send_commands, [5])
        raises(TypeError, Kelt, *range(20), x=1)

    def hex_as_bytes():
        hex_str = comm.hex_str
        comm.hex_str = lambda d: b"\xe4"
        try:
            assert "b'\\xe4'" in k._Kelt__send_and_recv(C.GET_PUMP_ALARM).message
        finally:
            comm.hex_str = hex_str

    class Collides:  # equal hashes; == raises
        def __hash__(self):
            return 11

        def __eq__(self, other):
            raise TypeError("no comparing")
    held_port, other_port, distinct = Collides(), Collides(), iter(range(10**9))
    holder = comm._hold_port(held_port)

    def port_locks():
        with holder:  # while it is held, another port of its hash is compared with it
            raises(TypeError, comm._hold_port(other_port).__enter__)
            with comm._hold_port(held_port):
                pass
        with comm._hold_port(f"/dev/leak{next(distinct)}"), comm._hold_port([1]):
            pass
        raises(RuntimeError, holder.__exit__, None, None, None)

    steady([sequences, overrides, unpacking, hex_as_bytes, port_locks],
           watch=[k, own, odd, unhashable, held_port, other_port, holder])


def test_queries_over_a_scripted_port(ports):
    k = Kelt()
    kvo = [1]
    answering = ports(base=AnsweringPort)
    gone = ports(open_error=PortGone)

    def answered(query, *args, **kwargs):
        def path():
            serial.Serial = answering
            return query(*args, **kwargs)
        return path

    def status():
        rc = answered(k.get_pump_status)()
        assert (rc.code, rc.value) == (RC.SUCCESS, 4)

    def full_status():
        records = answered(k.get_all_status, 801, channel=23)()
        assert [r.code for r in records] == [RC.SUCCESS] * 5

    def failed():
        serial.Serial = gone
        assert k.get_pump_status().code == RC.EXCEPTION
        assert [r.code for r in k.get_all_status()] == [RC.EXCEPTION] * 5

    steady([
        status, full_status, failed,
        lambda: answered(k.get_pump_status, 801, 23)().value == 4 or pytest.fail(),
        lambda: answered(k.get_pump_alarm, addr=[3, 33])().message == "1000000100000010"
        or pytest.fail(),
        lambda: answered(k.get_kvo_rate, kvo)().value == [0, 0, 1, 44] or pytest.fail(),
        lambda: answered(k.get_kvo_rate, [])().code == RC.INVALID_USER_DATA_LENGTH
        or pytest.fail(),
        lambda: k._Kelt__send_commands([]) == [] or pytest.fail(),
        lambda: len(answered(k._Kelt__send_commands, iter([(C.GET_RATE_UNIT, [])]))()) == 1
        or pytest.fail(),
        lambda: raises(ValueError, k._Kelt__send_commands, [(C.GET_RATE_UNIT,)]),
        lambda: raises(TypeError, k._Kelt__send_commands, [5]),
        lambda: raises(KeyError, answered(k._Kelt__send_commands,
                                          [(C.GET_PUMP_STATUS, []), (999, [])])),
        lambda: raises(TypeError, k.get_kvo_rate),
        lambda: raises(TypeError, k.get_pump_status, 1, 2, 3),
    ], watch=[k, kvo])


# --- queries through pyserial: a missing port, a virtual pump ---------------


def test_queries_against_a_missing_port(tmp_path):
    k = Kelt(str(tmp_path / "ttyNONE"), timeout=0.2)

    def status():
        rc = k.get_pump_status(801, 23)
        assert rc.code == RC.EXCEPTION and "could not open port" in rc.message

    steady([status,
            lambda: k.get_pump_alarm().code == RC.EXCEPTION or pytest.fail(),
            lambda: k.get_kvo_rate([1]).code == RC.EXCEPTION or pytest.fail(),
            lambda: [r.code for r in k.get_all_status()] == [RC.EXCEPTION] * 5
            or pytest.fail()],
           watch=[k])


@pytest.fixture(scope="module")
def pump_processes():
    """Two virtual pumps in child processes, so that their own bookkeeping
    stays out of this process's figures: one transparent, one fixed point."""
    state = ["--state", "running=4", "--state", "door=1", "--state", "remain_hours=3",
             "--state", "remain_minutes=7", "--state", "rate_unit=1", "--state", "alarm=0x8102",
             "--state", "kvo_rate=300"]
    procs = []
    try:
        for extra in ([], ["--addr", "801", "--channel", "23"]):
            p = subprocess.Popen([sys.executable, "-m", "tarvelpump.virtualpump", *state, *extra],
                                 stdout=subprocess.PIPE, text=True)
            procs.append(p)
        yield [p.stdout.readline().strip() for p in procs]
    finally:
        for p in procs:
            p.send_signal(signal.SIGTERM)
            p.wait(10)
            p.stdout.close()


def test_queries_against_a_virtual_pump(pump_processes):
    transparent, fixed = (Kelt(port, timeout=1) for port in pump_processes)
    kvo = [1]
    expected = [[4], [1], [3, 7], [1], [0x81, 0x02, 0, 0]]

    def queries():
        rc = transparent.get_pump_status()
        assert (rc.code, rc.value, rc.message) == (RC.SUCCESS, 4, "丸剂量(快推量)")
        assert transparent.get_pump_alarm().message == "1000000100000010"
        assert transparent.get_kvo_rate(kvo).value == [0, 0, 1, 44]
        assert [r.value for r in fixed.get_all_status(801, 23)] == expected
        assert fixed.get_pump_status(addr=801, channel=23).value == 4

    assert_steady(queries, PTY_CALLS, warmup=20, watch=[transparent, fixed, kvo, *SHARED])
    assert all(os.path.exists(port) for port in pump_processes)
