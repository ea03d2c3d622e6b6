"""A program whose daemon threads are inside exchanges when it ends exits
cleanly: the interpreter ends such threads while it finalizes, and none of
them may crash the process on its way out."""

import subprocess
import sys
import textwrap

import pytest

POLLING = """
import threading, time
from tarvelpump import comm
from tarvelpump.virtualpump import VirtualPump, PumpState
pump = VirtualPump(PumpState(), addr=801, channel=23).start(); pump.fault = "silence"
k = comm.Kelt(pump.port, timeout=0.02)
def poll():
    while True: k.get_pump_status(addr=801, channel=23)
for _ in range(4): threading.Thread(target=poll, daemon=True).start()
time.sleep(0.3)
"""

# Objects whose __del__ runs while the interpreter finalizes: they live in a
# module that only sys.modules refers to, and go when it is emptied, after
# the interpreter has begun to end the daemon threads.
AT_EXIT = """
import os, sys, types
def at_exit(keeper):
    holder = types.ModuleType("held_at_exit")
    holder.keeper = keeper
    sys.modules[holder.__name__] = holder
"""

# The only daemon thread waits for a port that the main thread holds until
# a finalizer lets it go.
WAITING = AT_EXIT + """
import threading, time
from tarvelpump import comm

class Release:
    def __init__(self, hold):
        self.hold, self.write = hold, os.write
    def __del__(self):
        self.hold.__exit__(None, None, None)
        self.write(1, b"released")

hold = comm._hold_port("/dev/held-at-exit")
hold.__enter__()
at_exit(Release(hold))
started = threading.Event()
def wait():
    started.set()
    comm.Kelt("/dev/held-at-exit", timeout=0.01).get_pump_status()
threading.Thread(target=wait, daemon=True).start()
started.wait()
time.sleep(0.1)
"""

# The daemon threads are inside the port's Python code (the GIL released in
# a sleep), with the exchange's frames below them, when the interpreter ends
# them; a finalizer then makes an exchange on the port they held.
IN_PYTHON = AT_EXIT + """
import threading, time, serial
from tarvelpump import comm

class Slow:
    def __init__(self, port=None, baudrate=None, timeout=None):
        self.is_open = True
    def write(self, data):
        return len(data)
    def read(self, size):
        time.sleep(0.01)
        return b""
    def close(self):
        pass
serial.Serial = Slow

class Exchange:
    def __init__(self):
        self.kelt, self.write = comm.Kelt("/dev/slow"), os.write
    def __del__(self):
        self.write(1, self.kelt.get_pump_status().code.name.encode())
at_exit(Exchange())
k = comm.Kelt("/dev/slow")
def poll():
    while True: k.get_pump_status()
for _ in range(3): threading.Thread(target=poll, daemon=True).start()
time.sleep(0.2)
"""

# Python code that gives the GIL up inside the exchange's own clean-up (the
# port's close, the port object's __del__, the __del__ of a port value made
# afresh for each exchange): the interpreter ends the daemon threads there,
# and the unwind runs through the destructors that called it.
IN_CLEANUP = """
import sys, threading, time, serial
from tarvelpump import comm
where = sys.argv[1]

class Failing:
    def __init__(self, port=None, baudrate=None, timeout=None):
        self.is_open = True
    def write(self, data):
        if where == "__del__": return len(data)
        raise OSError("the line is down")
    def read(self, size):
        return b""
    def close(self):
        if where == "close": time.sleep(.002)
    def __del__(self):
        if where == "__del__": time.sleep(.002)
serial.Serial = Failing

class Line:
    def __hash__(self): return 1
    def __eq__(self, other): return isinstance(other, Line)
    def __del__(self): time.sleep(.002)

class Kelt(comm.Kelt):
    port = property(lambda self: Line() if where == "port" else "/dev/failing", lambda self, v: None)

k = Kelt()
def poll():
    while True:
        try: k.get_pump_status()
        except OSError: pass
for _ in range(4): threading.Thread(target=poll, daemon=True).start()
time.sleep(0.2)
"""


@pytest.mark.parametrize("program, argument, output", [
    (POLLING, "", ""), (WAITING, "", "released"), (IN_PYTHON, "", "NO_DATA_RETURN"),
    (IN_CLEANUP, "close", ""), (IN_CLEANUP, "__del__", ""), (IN_CLEANUP, "port", ""),
], ids=["polling", "waiting", "in-python", "in-close", "in-port-del", "in-port-value-del"])
def test_daemon_threads_in_exchanges_do_not_crash_the_exit(program, argument, output):
    codes = []
    for _ in range(20):
        run = subprocess.run([sys.executable, "-c", textwrap.dedent(program), argument],
                             capture_output=True, text=True, timeout=60)
        codes.append(run.returncode)
        assert run.returncode == 0, (codes, run.stderr[-2000:])
        assert run.stderr == ""
        assert run.stdout == output
    assert codes == [0] * 20
