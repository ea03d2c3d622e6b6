"""The process-wide port locks: what they keep, whom they make wait, what
counts as an unhashable port, and the fork handler."""

import gc
import importlib
import os
import subprocess
import sys
import threading
import time
import tracemalloc
import weakref

import pytest
import serial

import tarvelpump
import tarvelpump.comm as comm


class Quiet:
    """A port that answers nothing; records opens and closes."""

    events = []

    def __init__(self, port=None, baudrate=None, timeout=None):
        self.port, self.is_open = port, True

    def write(self, data):
        return len(data)

    def read(self, size):
        return b""

    def close(self):
        pass


class Gate(Quiet):
    """Holds its exchange open (in write) until `leave` is set."""

    inside = leave = None

    def __init__(self, port=None, baudrate=None, timeout=None):
        super().__init__(port, baudrate, timeout)
        type(self).events.append(("open", str(port)))

    def write(self, data):
        if str(self.port).startswith("gate"):
            type(self).inside.set()
            assert type(self).leave.wait(10)
        return len(data)

    def close(self):
        type(self).events.append(("close", str(self.port)))


@pytest.fixture
def gate(monkeypatch):
    cls = type("G", (Gate,), dict(events=[], inside=threading.Event(), leave=threading.Event()))
    monkeypatch.setattr(serial, "Serial", cls)
    yield cls
    cls.leave.set()


def reimport(monkeypatch):
    """A second module object, as after `del sys.modules[...]`; undone after the test."""
    monkeypatch.setattr(tarvelpump, "comm", comm)  # the import rebinds it
    monkeypatch.setitem(sys.modules, "tarvelpump.comm", comm)
    del sys.modules["tarvelpump.comm"]
    return importlib.import_module("tarvelpump.comm")


def holding(module, port):
    """A thread in an exchange on `port` through `module`, inside its write."""
    t = threading.Thread(target=lambda: module.Kelt(port)._Kelt__sr(b"", 0))
    t.start()
    return t


def test_the_registry_keeps_no_port_alive_and_does_not_grow(monkeypatch):
    monkeypatch.setattr(serial, "Serial", Quiet)

    class Port(str):  # a port value that refers to its Kelt
        pass
    port = Port("/dev/own")
    k = comm.Kelt(port)
    port.kelt = k
    assert k.get_pump_status().code == comm.DeviceReturnCode.NO_DATA_RETURN
    gone = weakref.ref(port), weakref.ref(k)
    del port, k
    gc.collect()
    assert [r() for r in gone] == [None, None]

    def exchanges(first, count):
        for i in range(first, first + count):
            comm.Kelt(f"/dev/distinct{i}")._Kelt__sr(b"", 0)
    exchanges(0, 2000)  # warm-up: the allocator's own pools
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        exchanges(2000, 60_000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 200_000, f"{grown} bytes kept after 60,000 port values"


def test_one_lock_per_process_across_module_objects(gate, monkeypatch):
    first = comm
    second = reimport(monkeypatch)
    assert second is not first and second.Kelt is not first.Kelt
    holder = holding(first, "gate-a")
    assert gate.inside.wait(10)
    waiter = holding(second, "gate-a")
    # A port object the other module's code made: equal, not identical.
    other = holding(second, "".join(["gate", "-a"]))
    time.sleep(0.2)
    assert gate.events == [("open", "gate-a")]  # both wait for the holder
    gate.leave.set()
    for t in (holder, waiter, other):
        t.join(10)
    assert gate.events == [("open", "gate-a"), ("close", "gate-a")] * 3

    # The private hold the station uses is the same lock.
    gate.events.clear()
    gate.inside.clear()
    gate.leave.clear()
    with second._hold_port("gate-b"):
        with first._hold_port("gate-b"):  # re-entrant, across module objects
            t = holding(first, "gate-b")
            time.sleep(0.2)
            assert gate.events == []
    gate.leave.set()
    t.join(10)
    assert gate.events == [("open", "gate-b"), ("close", "gate-b")]


_SUBINTERPRETER = """
import serial, time, tarvelpump.comm as comm
class Port:
    def __init__(self, port=None, baudrate=None, timeout=None):
        self.is_open = True
    def write(self, data):
        return len(data)
    def read(self, size):
        return b""
    def close(self):
        pass
serial.Serial = Port
comm.Kelt("gate-sub")._Kelt__sr(b"", 0)
with open({path!r}, "w") as f:
    f.write(str(time.monotonic()))
"""


def legacy_interpreter():
    """(module, id) of a new subinterpreter that shares the main GIL."""
    try:
        import _interpreters  # 3.13
    except ImportError:
        pass
    else:
        return _interpreters, _interpreters.create("legacy")
    interpreters = pytest.importorskip("_xxsubinterpreters")
    try:
        return interpreters, interpreters.create(isolated=False)  # 3.12
    except TypeError:
        return interpreters, interpreters.create()  # 3.11: always shared


def test_a_subinterpreter_waits_for_a_port_the_main_one_holds(gate, tmp_path):
    interpreters, sub = legacy_interpreter()
    holder = holding(comm, "gate-sub")
    assert gate.inside.wait(10)
    left = []

    def leave():
        left.append(time.monotonic())
        gate.leave.set()
    threading.Timer(0.5, leave).start()
    try:
        failed = interpreters.run_string(sub, _SUBINTERPRETER.format(path=str(tmp_path / "waited")))
        assert failed is None
    finally:
        interpreters.destroy(sub)
    holder.join(10)
    assert float((tmp_path / "waited").read_text()) >= left[0]  # done only after the holder left


class Colliding:
    """Equal hashes; comparing two of them raises TypeError."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return 7

    def __eq__(self, other):
        if self is other:
            return True
        raise TypeError("no comparing ports")

    def __str__(self):
        return f"gate-{self.name}"


def test_an_error_of_eq_is_raised_not_taken_for_unhashable(gate):
    held = Colliding("one")
    holder = holding(comm, held)
    assert gate.inside.wait(10)
    try:
        with pytest.raises(TypeError, match="no comparing ports"):
            comm.Kelt(Colliding("two"))._Kelt__sr(b"", 0)
        assert gate.events == [("open", "gate-one")]  # the second port was never opened
        with pytest.raises(TypeError, match="no comparing ports"):
            comm._hold_port(Colliding("three")).__enter__()
        with comm._hold_port(["unhashable"]):  # only __hash__'s TypeError means that
            pass
    finally:
        gate.leave.set()
        holder.join(10)


def test_the_fork_handler_is_registered_once_per_process(monkeypatch):
    monkeypatch.setattr(serial, "Serial", Quiet)
    calls = []
    real = os.register_at_fork

    def counting(**kwargs):
        calls.append(kwargs)
        real(**kwargs)
    monkeypatch.setattr(os, "register_at_fork", counting)
    for _ in range(3):
        fresh = reimport(monkeypatch)
        fresh.Kelt("/dev/forked")._Kelt__sr(b"", 0)
    assert calls == []


def test_hold_port_behaves_as_a_reentrant_lock():
    hold = comm._hold_port("/dev/held")
    assert hold.__enter__() is hold
    got = []
    t = threading.Thread(target=lambda: got.append(comm._hold_port("/dev/held").__enter__()))
    t.start()
    t.join(0.2)
    assert t.is_alive() and got == []  # waits for this thread's hold
    with hold:  # the same object again: one more level
        pass
    hold.__exit__(None, None, None)
    t.join(10)
    assert len(got) == 1
    with pytest.raises(RuntimeError, match="un-acquired"):
        hold.__exit__(None, None, None)
    with pytest.raises(RuntimeError, match="un-acquired"):
        got[0].__exit__(None, None, None)  # held by the thread that ended
    with pytest.raises(TypeError):
        comm._hold_port()


_FORK_UNDER_A_HOLD = """
import os, threading, tarvelpump.comm as comm
h = comm._hold_port("/dev/no-such-port")
held, leave = threading.Event(), threading.Event()
def holder():
    with h:
        held.set()
        leave.wait(10)
t = threading.Thread(target=holder)
t.start()
held.wait(10)
pid = os.fork()
if pid == 0:
    seen = []
    try:
        seen.append(comm.Kelt("/dev/no-such-port").get_pump_status().code.name)
        q = comm._hold_port("q")  # a new entry: where a freed one was, if it was
        q.__enter__()
        for hold in (h, q):
            try:
                seen.append(hold.__exit__(None, None, None))
            except RuntimeError as e:
                seen.append(str(e))
        del h
        seen.append(comm.Kelt("/dev/no-such-port").get_pump_status().code.name)
        print(seen, flush=True)
    finally:
        os._exit(0)
leave.set()
t.join()
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""


def test_a_forked_child_keeps_the_entries_its_parents_holds_point_at():
    # The thread holding the port does not come along into the child, its
    # _hold_port object does: using the port in the child must not free the
    # entry under that object, whose __exit__ and dealloc still read it.
    run = subprocess.run([sys.executable, "-c", _FORK_UNDER_A_HOLD],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "['EXCEPTION', 'cannot release un-acquired lock', False, 'EXCEPTION']", "0"]


_EQ_USES_PORTS = """
import threading, tarvelpump.comm as comm
class Port:
    during_eq = None
    def __init__(self, name):
        self.name = name
    def __hash__(self):
        return 7
    def __eq__(self, other):
        if Port.during_eq:
            Port.during_eq()
        return isinstance(other, Port) and self.name == other.name
def holding(port, leave):
    held = threading.Event()
    def hold():
        with comm._hold_port(port):
            held.set()
            leave.wait(60)
    t = threading.Thread(target=hold)
    t.start()
    held.wait(10)
    return t
seen, leave = [], threading.Event()
holder = holding(Port("a"), leave)

def use_another_port():
    with comm._hold_port("/dev/elsewhere"):
        pass
Port.during_eq = use_another_port
with comm._hold_port(Port("b")):  # compared with "a", whose == takes a hold
    seen.append("b")

def hold_c_elsewhere():  # an equal port is held while == runs: its lock is the one
    Port.during_eq = None
    holding(Port("c"), leave)
Port.during_eq = hold_c_elsewhere
waiter = threading.Thread(target=lambda: seen.append(comm._hold_port(Port("c")).__enter__() and "c"))
waiter.start()
waiter.join(0.5)
seen.append(waiter.is_alive())
leave.set()
waiter.join(10)
holder.join(10)
print(seen)
"""


def test_a_lookup_whose_eq_uses_other_ports_ends():
    run = subprocess.run([sys.executable, "-c", _EQ_USES_PORTS],
                         capture_output=True, text=True, timeout=15)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "['b', True, 'c']\n"
