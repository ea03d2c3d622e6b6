"""Hostile objects for the cases that run_hostile.py generates, and the small
harness a case runs in. A reproduction that run_hostile.py prints starts with
`from kit import *`, so every name a case uses is defined here.

Importing this module replaces `serial.Serial` with FakePort (no real device
is ever opened) and the module's `time` with one whose sleep returns at once.
"""

import itertools
import logging
import math
import sys
import types

import serial
from tarvelpump import comm
from tarvelpump.comm import Kelt
from tarvelpump.comm import Command as C

__all__ = [
    "comm", "Kelt", "C", "itertools", "math", "serial", "types",
    "attempt", "debug_on", "strict_frames", "expect_check", "use_port", "good_reply", "raising",
    "Idx", "BigIndex", "StrIndex", "RaiseIndex", "RaiseEq", "RaiseHash", "RaiseBool", "LyingBool",
    "RaiseLen", "NegLen", "RaiseStr", "Unhashable", "clearing", "growing", "shrinking", "swapping",
    "lying", "EvilSeq", "MutatingIter", "raising_property", "nul_text", "ClearingLog",
    "ClearingSleep", "mutating_hex", "FakePort",
]

# Problems that do not end the process: a SystemError seen anywhere, a frame
# written that contradicts itself. run_hostile.py reads and empties this.
FAILURES = []


class Boom(Exception):
    """What the hostile objects raise: any exception but SystemError is fine."""


def raising(*args, **kwargs):
    raise Boom("raised on purpose")


# ------------------------------------------------------------ watching


def _system_errors(exc, seen=None):
    seen = set() if seen is None else seen
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        if isinstance(exc, SystemError):
            yield exc
        for inner in getattr(exc, "exceptions", ()) or ():
            if isinstance(inner, BaseException):
                yield from _system_errors(inner, seen)
        if exc.__cause__ is not None:
            yield from _system_errors(exc.__cause__, seen)
        exc = exc.__context__


def _statement():
    """Which statement of the running case we are in, for the report."""
    frame, line = sys._getframe(1), None
    while frame is not None:
        if frame.f_code.co_filename.startswith("<case") and frame.f_code.co_name == "<module>":
            line = frame.f_lineno
        frame = frame.f_back
    return f" (statement {line})" if line else ""


def note_exception(exc, where, statement=""):
    for err in _system_errors(exc):
        FAILURES.append(f"SystemError {where}: {err}{statement}")
    # No case needs more than a few megabytes: running out of the child's
    # memory means an endless iterable was drained where Python takes a few items.
    if isinstance(exc, MemoryError):
        FAILURES.append(f"MemoryError {where}: the child's memory ran out{statement}")


class attempt:
    """`with attempt(): call()` lets an ordinary exception pass quietly and
    records a SystemError, also one chained inside another exception."""

    def __enter__(self):
        return self

    def __exit__(self, tp, exc, tb):
        if exc is None or not isinstance(exc, Exception):
            return False
        note_exception(exc, "raised", _statement())
        return True


def _unraisable(info):
    if info.exc_value is not None:
        note_exception(info.exc_value, "unraisable", _statement())


sys.unraisablehook = _unraisable


def debug_on():
    """Debug lines are only built when the module logger is enabled for them."""
    logging.getLogger("tarvelpump.comm").setLevel(logging.DEBUG)


# ------------------------------------------------------------ integers that misbehave


class Idx:
    """Not an int, but has __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BigIndex:
    def __index__(self):
        return 1 << 80


class StrIndex:
    def __index__(self):
        return "5"


class RaiseIndex:
    def __index__(self):
        raise Boom("__index__")


class RaiseEq(int):
    """An int whose comparisons raise."""

    def __eq__(self, other):
        raise Boom("__eq__")

    __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __eq__
    __hash__ = int.__hash__


class RaiseHash:
    def __hash__(self):
        raise Boom("__hash__")


class Unhashable(list):
    pass


class RaiseBool:
    def __bool__(self):
        raise Boom("__bool__")


class LyingBool:
    def __bool__(self):
        return "yes"


class RaiseLen(list):
    def __len__(self):
        raise Boom("__len__")


class NegLen:
    def __len__(self):
        return -1

    def __getitem__(self, i):
        raise IndexError(i)


class RaiseStr:
    def __str__(self):
        raise Boom("__str__")

    __repr__ = __str__


def nul_text():
    """A bytes value that %U would read as a str object: garbage if it did."""
    return b"\xe4" + b"\0" * 15 + b"A" * 40


# ------------------------------------------------------------ lists that change under the caller


class _Mutator:
    """An element whose __index__ (or __eq__, __hash__) changes its list."""

    def __init__(self, lst, value, how):
        self.lst, self.value, self.how = lst, value, how

    def _act(self):
        lst = self.lst
        if self.how == "clear":
            lst.clear()
        elif self.how == "grow":  # moves the item array: stale item pointers dangle
            lst.extend([0] * 4096)
        elif self.how == "shrink":
            del lst[1:]
        elif self.how == "swap":  # frees every other element
            lst[:] = [_fresh(x) for x in range(len(lst))]

    def __index__(self):
        self._act()
        return self.value

    def __eq__(self, other):
        self._act()
        return self.value == other

    def __hash__(self):
        return hash(self.value)

    def __repr__(self):
        return f"<{self.how} {self.value}>"


def _fresh(x):
    return int(str(x + 1000)) - 1000  # a new int object, not a cached small int


def _mutating(items, how, at):
    lst = list(items) or [1]
    at = min(at, len(lst) - 1)
    value = lst[at] if isinstance(lst[at], int) else 1
    lst[at] = _Mutator(lst, value, how)
    return lst


def clearing(items, at=0):
    return _mutating(items, "clear", at)


def growing(items, at=0):
    return _mutating(items, "grow", at)


def shrinking(items, at=0):
    return _mutating(items, "shrink", at)


def swapping(items, at=0):
    return _mutating(items, "swap", at)


class lying(list):
    """A list whose len() is not its size."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


class EvilSeq:
    """A sequence by protocol that claims `length` items, hands out `real`
    of them, and clears `victim` (any list) while being iterated."""

    def __init__(self, length, real, victim=None):
        self.length, self.real, self.victim = length, list(real), victim

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        if self.victim is not None:
            self.victim.clear()
        return self.real[i]

    def __iter__(self):
        for x in self.real:
            if self.victim is not None:
                self.victim.clear()
            yield x


class MutatingIter(list):
    """A list whose iteration empties it after the first item."""

    def __iter__(self):
        items = list.__iter__(self)
        for i, x in enumerate(items):
            if i == 0:
                yield x
                self.clear()
                return


def raising_property():
    """Settable (so Kelt.__init__ works), but reading it raises."""
    return property(raising, lambda self, value: None)


# ------------------------------------------------------------ rebound module globals


class ClearingLog:
    """A logger that is always enabled and empties any list it is shown."""

    def __init__(self, enabled=True):
        self.enabled = enabled

    def isEnabledFor(self, level):
        return self.enabled

    def _log(self, *args, **kwargs):
        for a in args:
            if isinstance(a, list):
                a.clear()

    debug = info = warning = error = exception = _log


class ClearingSleep:
    """A `time` whose sleep empties the given list (a command list being sent)."""

    def __init__(self, victim):
        self.victim = victim

    def sleep(self, seconds):
        self.victim.clear()


def mutating_hex(data):
    """A hex_str that empties the list it is given, then answers oddly."""
    if isinstance(data, list):
        data.clear()
    return nul_text()


# ------------------------------------------------------------ the serial port


def _original_tables():
    def pairs(table):
        return {int(k): [int(x) for x in v] for k, v in table.items()}

    return pairs(comm.CommandSendAppHeader), pairs(comm.CommandRecvAppHeader)


SEND_HEADERS, RECV_HEADERS = _original_tables()
REQUEST_HEAD = bytes([0x55, 0xAA, 0x05, 0x06, 0x01])
VALUES = {0x4B: [2], 0x50: [0, 0, 1, 44]}


def _check(frame):
    return 255 - sum(frame) % 256


def _as_bytes(data):
    """What a port could take, bounded: no iterable is drained here."""
    if isinstance(data, (bytes, bytearray, memoryview)):
        return bytes(data)
    if isinstance(data, list) and len(data) <= 4096:
        return bytes(data)
    raise TypeError(f"fake port: cannot write {type(data).__name__}")


def good_reply(request):
    """The reply a healthy pump gives to `request`, as a list of ints."""
    frame = _as_bytes(request)
    at = frame.find(REQUEST_HEAD)
    command = frame[at + 5] if at >= 0 and len(frame) > at + 5 else 0x4B
    n = RECV_HEADERS.get(command, [command, 1])[1]
    data = (VALUES.get(command, []) + [1] * n)[:n]
    reply = [0x55, 0xAA, 0x05, 0x06, 0x00, command, n, *data]
    return reply + [_check(reply)]


STRICT = [False]
EXPECTED_CHECK = [None]


def strict_frames():
    """From here on every frame written must agree with itself: a length byte
    that matches the command and the user data carried, and a right check byte.
    (Only for cases that leave headers and the check rule alone.)"""
    STRICT[0] = True


def expect_check(byte):
    """From here on every frame written must end in `byte`: the result of an
    overridden __chkd, which the transaction reaches through self."""
    EXPECTED_CHECK[0] = byte


def _audit(frame):
    at = frame.find(REQUEST_HEAD)
    if at < 0 or len(frame) < at + 7:
        FAILURES.append(f"frame written without its header: {frame.hex(' ')}{_statement()}")
        return
    body = frame[at:]
    command, n = body[5], body[6]
    expected = SEND_HEADERS.get(command)
    if expected is None or n != expected[1] or len(body) != 8 + n or body[-1] != _check(body[:-1]):
        FAILURES.append(f"malformed frame written: {frame.hex(' ')}{_statement()}")


class FakePort:
    """Stands for serial.Serial. `mode` picks the line's behaviour."""

    mode = "good"

    def __init__(self, port=None, baudrate=9600, timeout=None, **kwargs):
        self.pending = b""
        self.is_open = {"closed": False, "is-open-boom": RaiseBool()}.get(self.mode, True)
        if self.mode == "open-fails":
            raise serial.SerialException("could not open port: [Errno 2] No such file")
        if self.mode == "odd-exception":
            raise serial.SerialException(RaiseStr())

    def open(self):
        self.is_open = True

    def write(self, data):
        frame = _as_bytes(data)
        if STRICT[0]:
            _audit(frame)
        if EXPECTED_CHECK[0] is not None and frame[-1:] != bytes([EXPECTED_CHECK[0]]):
            FAILURES.append(f"override of __chkd not used: frame {frame.hex(' ')} does not end "
                            f"in {EXPECTED_CHECK[0]:02x}{_statement()}")
        mode = self.mode
        if mode == "write-fails":
            raise serial.SerialException("write failed")
        if mode == "write-boom":
            raise Boom("write")
        reply = bytes(good_reply(frame))
        self.pending = {
            "silent": b"", "short": reply[:3], "seven": reply[:7], "echo": frame,
            "stray": reply + b"\xa7\x01", "garbage": bytes(range(200, 230)),
            "bad-check": reply[:-1] + bytes([reply[-1] ^ 1]),
        }.get(mode, reply)
        return RaiseEq(len(frame)) if mode == "odd-count" else len(frame)

    def read(self, size=1):
        n = 1 if self.mode == "trickle" else max(int(size), 0)
        chunk, self.pending = self.pending[:n], self.pending[n:]
        if self.mode == "read-fails":
            raise serial.SerialException("read failed")
        odd = {"str": "U\xaa", "list": list(chunk), "none": None, "int": 5,
               "memoryview": memoryview(chunk), "bytearray": bytearray(chunk),
               "huge": b"\x55" * (1 << 20)}
        return odd.get(self.mode, chunk)

    def close(self):
        self.is_open = False
        if self.mode == "close-boom":
            raise Boom("close")


MODES = ["good", "closed", "open-fails", "odd-exception", "write-fails", "write-boom", "silent",
         "short", "seven", "echo", "stray", "garbage", "bad-check", "odd-count", "trickle", "str",
         "list", "none", "int", "memoryview", "bytearray", "huge", "read-fails", "close-boom", "is-open-boom"]


def use_port(mode):
    serial.Serial = type("Port", (FakePort,), {"mode": mode})


def install_defaults():
    """The state every case starts from."""
    STRICT[0] = False
    EXPECTED_CHECK[0] = None
    use_port("good")
    comm.time = types.SimpleNamespace(sleep=lambda seconds: None)
    logging.getLogger("tarvelpump.comm").setLevel(logging.WARNING)


logging.getLogger().addHandler(logging.NullHandler())
install_defaults()
