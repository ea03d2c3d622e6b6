"""A virtual Kelt syringe pump that answers on a pseudo-terminal (POSIX).

The pump owns the master side of a pty and serves requests on a background
thread; hosts open the slave side (``pump.port``) like any serial port::

    with VirtualPump(PumpState(running=RunningState.PAUSE), addr=801, channel=23) as pump:
        serial.Serial(pump.port, timeout=0.5)   # or hand pump.port to the driver

Radio modes follow the prefix the host writes ahead of each request:
neither ``addr`` nor ``channel`` is transparent (no prefix), ``addr`` and
``channel`` is fixed point (two address bytes, big-endian, then the channel),
``addr`` alone is master/slave (two address bytes), ``channel`` alone expects
the channel byte. As on the host side, 0 counts as absent. A request whose
prefix differs is for another pump and gets no answer.

Faults (``Fault`` members or their string values, alone or combined) make
the pump misbehave on purpose: see ``Fault``.

``PtyServer`` is the serving machinery (the pty, one thread, replies due
later) that ``VirtualPump`` and ``tarvelpump.virtualward`` share.

Also a command: ``python -m tarvelpump.virtualpump --help``.
"""

from __future__ import annotations

import argparse
import collections
import dataclasses
import enum
import errno
import functools
import heapq
import itertools
import logging
import os
import select
import signal
import sys
import threading
import time
import tty
from collections.abc import Callable, Iterable
from typing import Any, Protocol

from ._protocol import (
    DATA_LENGTHS,
    FRAME_OVERHEAD,
    HEADER_LEN,
    PC2PUMP,
    PUMP2PC,
    REQUEST_HEADER,
    Command,
    RunningState,
    address_prefix,
    build_frame,
    check_data,
)

__all__ = ["Fault", "PtyServer", "PumpState", "RequestParser", "RunningState", "VirtualPump", "main", "parse_faults"]

log = logging.getLogger(__name__)


class Fault(str, enum.Enum):
    """Ways to spoil a reply. A pump may carry several at once.

    A faulty pump still carries out the command (SET_START_CONTROL starts it
    even when the reply is lost); only what goes back on the line changes.
    """

    SILENCE = "silence"  #: no reply at all
    BAD_CHECK = "bad_check"  #: check byte off by one
    BAD_HEADER = "bad_header"  #: direction byte 01 instead of 00, check byte recomputed
    #: length byte wrong (0, or 1 for a reply without user data), check byte
    #: consistent with the wrong length, so only the application header is off
    BAD_APP_HEADER = "bad_app_header"
    TRUNCATED = "truncated"  #: only the first 5 bytes are sent
    CHUNKED = "chunked"  #: sent in 2-3 parts, ``chunk_delay`` apart
    TRAILING_BYTE = "trailing_byte"  #: one stray byte (never equal to the last one) follows
    ECHO = "echo"  #: the request frame (without radio prefix) comes back instead
    LATE = "late"  #: the reply leaves ``late_delay`` seconds late
    TWICE = "twice"  #: the reply is sent a second time, ``repeat_delay`` seconds after the first

    def __str__(self) -> str:
        return self.value


TRUNCATED_LEN = 5
REQUEST_LOG_SIZE = 10_000


def parse_faults(value: object) -> frozenset[Fault]:
    """None, a Fault, a name ("chunked", "chunked,trailing_byte") or an iterable of those."""
    if value is None:
        return frozenset()
    items: list[object]
    if isinstance(value, str):
        items = [part.strip() for part in value.replace("+", ",").split(",") if part.strip()]
    elif isinstance(value, Iterable):
        items = list(value)
    else:
        raise TypeError(f"fault must be None, a Fault, a string or an iterable, not {value!r}")
    faults: set[Fault] = set()
    for item in items:
        try:
            faults.add(Fault(item))
        except ValueError:
            names = ", ".join(f.value for f in Fault)
            raise ValueError(f"unknown fault {item!r} (known: {names})") from None
    return frozenset(faults)


def _to_bytes(value: object, width: int, name: str) -> bytes:
    if isinstance(value, int):
        if not 0 <= value < 1 << (8 * width):
            raise ValueError(f"{name}={value} does not fit in {width} bytes")
        return value.to_bytes(width, "big")
    data: bytes = bytes(value)  # type: ignore[call-overload]  # bytes() says what it refuses
    if len(data) != width:
        raise ValueError(f"{name} needs {width} bytes, got {len(data)}")
    return data


def _check_byte(value: object, name: str) -> None:
    if not isinstance(value, int) or not 0 <= value <= 0xFF:
        raise ValueError(f"{name}={value!r} is not a byte value")


@dataclasses.dataclass(frozen=True)
class PumpState:
    """What the pump reports. Immutable: change it through ``VirtualPump.update``.

    Multi-byte fields take bytes or an int (stored big-endian).
    """

    running: int = RunningState.RUN  #: 0..6, OFF STOP RUN PAUSE BOLUS PURGING KVO
    door: int = 0  #: 1 open, 0 closed
    remain_hours: int = 1
    remain_minutes: int = 30
    rate_unit: int = 0  #: 0 mL/h, 1 drop/min
    alarm: int = 0  #: 16-bit alarm word, sent big-endian then two zero bytes
    kvo_rate: bytes = bytes(4)
    infusion_parameter: bytes = bytes(15)
    total_value: bytes = bytes(4)
    bubble: int = 0

    def __post_init__(self) -> None:
        # Normalise ints to bytes and refuse what cannot go in a reply, so a
        # bad value fails here and not later on the serving thread.
        for name, width in (("kvo_rate", 4), ("infusion_parameter", 15), ("total_value", 4)):
            object.__setattr__(self, name, _to_bytes(getattr(self, name), width, name))
        for name in ("running", "door", "remain_hours", "remain_minutes", "rate_unit", "bubble"):
            _check_byte(getattr(self, name), name)
        if not isinstance(self.alarm, int) or not 0 <= self.alarm <= 0xFFFF:
            raise ValueError(f"alarm={self.alarm!r} is not a 16-bit word")

    def reply_data(self, command: int) -> bytes:
        """User data of the reply to ``command``."""
        return {
            Command.SET_START_CONTROL: b"",
            Command.SET_STOP_CONTROL: b"",
            Command.GET_INFUSION_PARAMETER: self.infusion_parameter,
            Command.GET_PUMP_STATUS: bytes((self.running,)),
            Command.GET_TOTAL_VALUE: self.total_value,
            Command.GET_KVO_RATE: self.kvo_rate,
            Command.GET_PUMP_ALARM: self.alarm.to_bytes(2, "big") + b"\0\0",
            Command.GET_BUBBLE: bytes((self.bubble,)),
            Command.GET_PUMPDOOR_STATUS: bytes((self.door,)),
            Command.GET_REMAIN_TIME: bytes((self.remain_hours, self.remain_minutes)),
            Command.GET_RATE_UNIT: bytes((self.rate_unit,)),
        }[Command(command)]

    def after(self, command: int) -> PumpState:
        """The state once ``command`` has been carried out."""
        if command == Command.SET_START_CONTROL:
            return dataclasses.replace(self, running=RunningState.RUN)
        if command == Command.SET_STOP_CONTROL:
            return dataclasses.replace(self, running=RunningState.STOP)
        return self


class RequestParser:
    """Cuts a byte stream into request frames, each with the bytes before it.

    ``feed`` returns ``(prefix, frame)`` pairs for every complete request
    with a correct check byte; ``prefix`` holds up to ``prefix_len`` bytes
    that came just before the frame header (fewer when there were not that
    many). Anything else is skipped byte by byte until the next header.
    An incomplete frame is kept until more bytes arrive; ``expire`` (called
    after a pause on the line) gives up on it and rescans what followed.
    """

    def __init__(self, prefix_len: int = 0) -> None:
        self.prefix_len = prefix_len
        self._buf = bytearray()

    @property
    def pending(self) -> bool:
        return bool(self._buf)

    def feed(self, data: bytes) -> list[tuple[bytes, bytes]]:
        self._buf += data
        return self._scan(final=False)

    def expire(self) -> list[tuple[bytes, bytes]]:
        frames = self._scan(final=True)
        self._buf.clear()
        return frames

    def _scan(self, final: bool) -> list[tuple[bytes, bytes]]:
        buf, k = self._buf, self.prefix_len
        frames: list[tuple[bytes, bytes]] = []
        while True:
            start = buf.find(REQUEST_HEADER)
            if start < 0:
                # Keep what may still become a header and the prefix before it.
                del buf[: max(0, len(buf) - (HEADER_LEN - 1 + k))]
                return frames
            end = None
            if len(buf) >= start + 7:
                lengths = DATA_LENGTHS.get(buf[start + 5])  # type: ignore[call-overload]  # IntEnum keys
                if lengths is not None and buf[start + 6] != lengths[0]:
                    del buf[: start + 1]  # known command, impossible length: not a frame
                    continue
                end = start + FRAME_OVERHEAD + buf[start + 6]
            if end is None or len(buf) < end:
                if final:
                    del buf[: start + 1]
                    continue
                del buf[: max(0, start - k)]
                return frames
            frame = bytes(buf[start:end])
            if frame[-1] != check_data(frame[:-1]):
                del buf[: start + 1]
                continue
            frames.append((bytes(buf[max(0, start - k) : start]), frame))
            del buf[:end]


def _spoil(reply: bytes, request: bytes, faults: frozenset[Fault]) -> list[bytes]:
    """Apply ``faults`` to ``reply``; the parts to send (none for silence)."""
    if Fault.SILENCE in faults:
        return []
    out = bytearray(request if Fault.ECHO in faults else reply)
    if Fault.ECHO not in faults:
        if Fault.BAD_APP_HEADER in faults:
            out[6] = 0 if out[6] else 1
        if Fault.BAD_HEADER in faults:
            out[4] = PC2PUMP
        out[-1] = check_data(out[:-1])
        if Fault.BAD_CHECK in faults:
            out[-1] = (out[-1] + 1) & 0xFF
    if Fault.TRUNCATED in faults:
        del out[TRUNCATED_LEN:]
    if Fault.TRAILING_BYTE in faults:
        out.append((out[-1] + 1) & 0xFF)
    if Fault.CHUNKED not in faults:
        return [bytes(out)]
    # Cut after the frame header and after the application header.
    cuts = [c for c in (HEADER_LEN, HEADER_LEN + 2) if c < len(out)] or [len(out) // 2]
    bounds = [0, *cuts, len(out)]
    return [bytes(out[a:b]) for a, b in zip(bounds, bounds[1:]) if a < b]


def _schedule(parts: list[bytes], faults: frozenset[Fault], *, chunk_delay: float, late_delay: float,
              repeat_delay: float) -> list[tuple[float, bytes]]:
    """When each part of a spoiled reply leaves: (seconds after the one before, bytes)."""
    timed = [(chunk_delay if i else 0.0, part) for i, part in enumerate(parts)]
    if timed and Fault.TWICE in faults:
        timed += [(repeat_delay if i == 0 else gap, part) for i, (gap, part) in enumerate(timed)]
    if timed and Fault.LATE in faults:
        timed[0] = (late_delay, timed[0][1])
    return timed


class PtyServer:
    """The master side of a pty served by one thread; subclasses answer in ``_answer``.

    Every descriptor operation happens on the serving thread: bytes due later
    (chunks, late replies, a paced line) wait in a heap ordered by due time,
    and other threads hand work over with ``_call``, so a slow reply never
    holds up the requests behind it and no descriptor is closed under a
    ``select``. With ``baud`` set, each write takes its wire time
    (bytes x 10 / baud) on a line that carries one thing at a time.
    """

    def __init__(self, *, prefix_len: int, resync_timeout: float, baud: int | None = None) -> None:
        if baud is not None and baud <= 0:
            raise ValueError(f"baud must be positive, not {baud}")
        self.resync_timeout = resync_timeout
        self.baud = baud
        self._prefix_len = prefix_len
        self._thread: threading.Thread | None = None
        self._fds: dict[str, int] = {}
        self._stopping = threading.Event()
        self._losing = False
        self._tty: str | None = None
        self._timers: list[tuple[float, int, Callable[[], None]]] = []
        self._order = itertools.count()
        self._calls: collections.deque[tuple[Callable[[], Any], list[Any], threading.Event]] = collections.deque()
        self._line_free_at = 0.0
        self._parser = RequestParser(prefix_len)
        self._last_rx = 0.0

    @property
    def running(self) -> bool:
        return self._thread is not None

    # -- life cycle ------------------------------------------------------

    def _start_serving(self, name: str) -> None:
        if self._thread is not None:
            raise RuntimeError(f"the {name} is already running")
        try:
            wake_r, wake_w = os.pipe()
            self._fds.update(wake_r=wake_r, wake_w=wake_w)
            self._open_line()
        except BaseException:
            self._close_fds()
            raise
        self._stopping.clear()
        self._thread = threading.Thread(target=self._serve, name=f"{name} {self._tty}", daemon=True)
        self._thread.start()

    def _stop_serving(self) -> bool:
        """Stop the thread and close every descriptor; False if not serving."""
        thread = self._thread
        if thread is None:
            return False
        self._stopping.set()
        os.write(self._fds["wake_w"], b"\0")
        thread.join()
        self._thread = None
        self._timers.clear()
        for _, result, done in self._calls:  # nobody waits for ever on a stopped server
            result.append(RuntimeError("stopped"))
            done.set()
        self._calls.clear()
        self._close_fds()
        self._tty = None
        return True

    def _open_line(self) -> None:
        master, slave = os.openpty()
        self._fds.update(master=master, slave=slave)
        # Raw: no echo of our replies back to us, no newline translation.
        tty.setraw(slave)
        os.set_blocking(master, False)
        # We keep our slave fd open for the line's life time, so hosts that
        # open and close the port for every exchange never hang the line up.
        self._tty = os.ttyname(slave)
        self._parser = RequestParser(self._prefix_len)
        self._line_free_at = 0.0

    def _close_line(self) -> None:
        """Unplug: whatever was due on the line is lost, hosts reading it get an error."""
        for key in ("master", "slave"):
            fd = self._fds.pop(key, None)
            if fd is not None:
                os.close(fd)
        self._timers.clear()
        self._tty = None

    def _close_fds(self) -> None:
        while self._fds:
            _, fd = self._fds.popitem()
            os.close(fd)

    def _call(self, fn: Callable[[], Any]) -> Any:
        """Run ``fn`` on the serving thread (here if not serving) and return its result."""
        if self._thread is None or threading.current_thread() is self._thread:
            return fn()
        result: list[Any] = []
        done = threading.Event()
        thread = self._thread
        self._calls.append((fn, result, done))
        os.write(self._fds["wake_w"], b"\0")
        while not done.wait(0.5):
            if not thread.is_alive():
                raise RuntimeError("the serving thread has died")
        if isinstance(result[0], BaseException):
            raise result[0]
        return result[0]

    # -- timing ----------------------------------------------------------

    def _at(self, due: float, fn: Callable[[], None]) -> None:
        if due <= time.monotonic() and not (self._timers and self._timers[0][0] <= due):
            fn()
        else:
            heapq.heappush(self._timers, (due, next(self._order), fn))

    def _wire_time(self, n: int) -> float:
        return n * 10 / self.baud if self.baud else 0.0

    def _send(self, timed: list[tuple[float, bytes]], delay: float = 0.0) -> None:
        """Put parts on the line: ``delay`` from now, then each after its own gap."""
        due = time.monotonic() + delay
        for gap, part in timed:
            due += gap
            if self.baud:
                # The line carries one thing at a time; the bytes are all in at the end of their wire time.
                due = max(due, self._line_free_at) + self._wire_time(len(part))
                self._line_free_at = due
            self._at(due, functools.partial(self._write, part))

    def _next_tick(self) -> float | None:
        """Monotonic time at which ``_tick`` wants to run next (None: never)."""
        return None

    def _tick(self, now: float) -> None:
        pass

    # -- the serving thread --------------------------------------------

    def _serve(self) -> None:
        wake_r = self._fds["wake_r"]
        while not self._stopping.is_set():
            now = time.monotonic()
            try:
                while self._timers and self._timers[0][0] <= now:
                    heapq.heappop(self._timers)[2]()
                tick = self._next_tick()
                if tick is not None and tick <= now:
                    self._tick(now)
            except Exception:  # keep serving whatever one write or tick did
                log.exception("failed on a timed step")
            tick = self._next_tick()
            due = [t for t in (tick, self._timers[0][0] if self._timers else None) if t is not None]
            if self._parser.pending:
                due.append(self._last_rx + self.resync_timeout)
            timeout = max(0.0, min(due) - now) if due else None
            master = self._fds.get("master")
            readable, _, _ = select.select([wake_r] if master is None else [master, wake_r], [], [], timeout)
            if wake_r in readable:
                os.read(wake_r, 512)
                while self._calls:
                    fn, result, done = self._calls.popleft()
                    try:
                        result.append(fn())
                    except BaseException as exc:  # handed back to the caller
                        result.append(exc)
                    done.set()
                continue  # the line may have changed under us
            if master is not None and master in readable:
                try:
                    data = os.read(master, 4096)
                except BlockingIOError:
                    continue
                except OSError as exc:
                    # EIO means no slave is open; ours is, but do not spin if not.
                    if exc.errno != errno.EIO:
                        raise
                    self._stopping.wait(0.05)
                    continue
                self._last_rx = time.monotonic()
                frames = self._parser.feed(data)
            elif self._parser.pending and time.monotonic() >= self._last_rx + self.resync_timeout:
                frames = self._parser.expire()
            else:
                continue
            for prefix, frame in frames:
                if self._stopping.is_set():
                    return
                try:
                    self._answer(prefix, frame)
                except Exception:  # keep serving whatever one request did
                    log.exception("failed on request %s", (prefix + frame).hex(" "))

    def _answer(self, prefix: bytes, frame: bytes) -> None:
        raise NotImplementedError

    def _write(self, data: bytes) -> None:
        # Like a real line, the pump never waits for the host: what does not
        # fit in the host's full input queue is lost.
        master = self._fds.get("master")
        if master is None:
            return
        view = memoryview(data)
        while view:
            try:
                view = view[os.write(master, view) :]
            except BlockingIOError:
                if not self._losing:
                    log.warning("host is not reading; reply bytes are being lost")
                self._losing = True
                return
        self._losing = False


class PumpControls:
    """What tests and callers change and read on a virtual pump, under its lock.

    A host of this mixin sets ``_lock``, ``_state``, ``_faults``,
    ``_requests`` and ``_answered``; the serving thread reads them under the
    same lock.
    """

    _lock: threading.Lock | threading.RLock
    _state: PumpState
    _faults: frozenset[Fault]
    _requests: collections.deque[bytes]
    _answered: int

    @property
    def state(self) -> PumpState:
        with self._lock:
            return self._state

    @state.setter
    def state(self, value: PumpState) -> None:
        if not isinstance(value, PumpState):
            raise TypeError(f"state must be a PumpState, not {type(value).__name__}")
        with self._lock:
            self._state = value

    def update(self, **changes: Any) -> PumpState:
        """Change some state fields atomically; returns the new state."""
        with self._lock:
            self._state = dataclasses.replace(self._state, **changes)
            return self._state

    @property
    def fault(self) -> frozenset[Fault]:
        with self._lock:
            return self._faults

    @fault.setter
    def fault(self, value: object) -> None:
        faults = parse_faults(value)
        with self._lock:
            self._faults = faults

    @property
    def requests(self) -> list[bytes]:
        """Well-formed requests seen (the latest ``REQUEST_LOG_SIZE``), radio prefix included,
        answered or not."""
        with self._lock:
            return list(self._requests)

    @property
    def answered(self) -> int:
        """Requests this pump replied to (a silenced reply does not count, a late one does)."""
        with self._lock:
            return self._answered


class VirtualPump(PumpControls, PtyServer):
    """A pump on a fresh pty, served by one background thread.

    ``state``: a ``PumpState`` (default: running, door closed).
    ``addr``/``channel``: radio prefix the pump answers to (see module doc).
    ``fault``: None, a ``Fault``, a name or several (settable while serving).
    ``chunk_delay``: seconds between the parts of a chunked reply.
    ``late_delay``/``repeat_delay``: how late a late reply is, how far apart the two of a twice-sent one.
    ``resync_timeout``: a pause this long ends an incomplete request.
    """

    def __init__(
        self,
        state: PumpState | None = None,
        *,
        addr: int | Iterable[int] | None = None,
        channel: int | None = None,
        fault: object = None,
        chunk_delay: float = 0.05,
        late_delay: float = 1.0,
        repeat_delay: float = 0.05,
        resync_timeout: float = 0.2,
    ) -> None:
        self._prefix = address_prefix(addr, channel)
        super().__init__(prefix_len=len(self._prefix), resync_timeout=resync_timeout)
        self.addr, self.channel = addr, channel
        self.chunk_delay = chunk_delay
        self.late_delay = late_delay
        self.repeat_delay = repeat_delay
        self._lock = threading.Lock()
        self._state = state if state is not None else PumpState()
        if not isinstance(self._state, PumpState):
            raise TypeError(f"state must be a PumpState, not {type(state).__name__}")
        self._faults = parse_faults(fault)
        self._requests: collections.deque[bytes] = collections.deque(maxlen=REQUEST_LOG_SIZE)
        self._answered = 0
        self.port: str | None = None

    # -- what tests and callers look at ---------------------------------


    def __repr__(self) -> str:
        return (
            f"<VirtualPump port={self.port!r} prefix={self._prefix.hex() or '-'}"
            f" fault={','.join(sorted(self.fault)) or '-'} answered={self.answered}>"
        )

    # -- life cycle ------------------------------------------------------

    def start(self) -> VirtualPump:
        self._start_serving("VirtualPump")
        self.port = self._tty
        log.debug("virtual pump on %s, prefix %s", self.port, self._prefix.hex() or "none")
        return self

    def stop(self) -> None:
        """Stop serving, join the thread and close every descriptor. Idempotent."""
        if self._stop_serving():
            self.port = None

    def __enter__(self) -> VirtualPump:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # -- on the serving thread -------------------------------------------

    def _answer(self, prefix: bytes, frame: bytes) -> None:
        command = frame[5]
        with self._lock:
            self._requests.append(prefix + frame)
            if prefix != self._prefix:
                log.debug("request %s is for another pump", (prefix + frame).hex(" "))
                return
            if command not in DATA_LENGTHS:
                log.debug("unknown command %02x, no answer", command)
                return
            state = self._state = self._state.after(command)
            faults = self._faults
            parts = _spoil(build_frame(PUMP2PC, command, state.reply_data(command)), frame, faults)
            if parts:
                self._answered += 1
        if log.isEnabledFor(logging.DEBUG):
            log.debug("request %s -> %s", frame.hex(" "), " | ".join(p.hex(" ") for p in parts) or "silence")
        self._send(_schedule(parts, faults, chunk_delay=self.chunk_delay, late_delay=self.late_delay,
                             repeat_delay=self.repeat_delay))


# -- command line ----------------------------------------------------------

_STATE_NAMES = {
    "running": {s.name.lower(): s.value for s in RunningState},
    "door": {"closed": 0, "close": 0, "open": 1},
    "rate_unit": {"ml": 0, "ml/h": 0, "drop": 1, "drop/min": 1},
}


def _int(text: str, bits: int) -> int:
    value = int(text, 0)
    if not 0 <= value < 1 << bits:
        raise ValueError(f"{text} is out of range")
    return value


def _parse_state(items: list[str]) -> PumpState:
    fields = {f.name for f in dataclasses.fields(PumpState)}
    values: dict[str, Any] = {}
    for item in items:
        key, sep, text = item.partition("=")
        key = key.strip().replace("-", "_")
        if not sep or key not in fields:
            raise ValueError(f"--state wants KEY=VALUE with KEY one of {', '.join(sorted(fields))}; got {item!r}")
        named = _STATE_NAMES.get(key, {}).get(text.strip().lower())
        values[key] = named if named is not None else int(text, 0)
    return PumpState(**values)


def _address(text: str) -> int:
    try:
        return _int(text, 16)
    except ValueError:
        raise argparse.ArgumentTypeError(f"address must be 0..65535 (decimal or 0x hex), not {text!r}") from None


def _channel(text: str) -> int:
    try:
        return _int(text, 8)
    except ValueError:
        raise argparse.ArgumentTypeError(f"channel must be 0..255 (decimal or 0x hex), not {text!r}") from None


def main(argv: list[str] | None = None, prog: str = "python -m tarvelpump.virtualpump") -> int:
    """Serve a virtual pump until Ctrl-C or SIGTERM; prints the port path first."""
    fields = ", ".join(f.name for f in dataclasses.fields(PumpState))
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Serve a virtual Kelt pump on a pseudo-terminal and print its port path.",
        epilog=f"State keys: {fields}. Values are integers (decimal or 0x hex, multi-byte "
        "fields big-endian); running also takes off/stop/run/pause/bolus/purging/kvo, "
        "door open/closed, rate_unit ml/drop.",
    )
    parser.add_argument("--addr", type=_address, help="radio address (fixed point / master-slave)")
    parser.add_argument("--channel", type=_channel, help="radio channel (fixed point)")
    parser.add_argument(
        "--fault", action="append", default=[], help=f"one of {', '.join(f.value for f in Fault)}; repeatable"
    )
    parser.add_argument("--state", action="append", default=[], metavar="KEY=VALUE", help="initial state field")
    parser.add_argument("--chunk-delay", type=float, default=0.05, help="seconds between parts of a chunked reply")
    parser.add_argument("-v", "--verbose", action="store_true", help="log every request and reply to stderr")
    args = parser.parse_args(argv)
    try:
        state = _parse_state(args.state)
        faults = parse_faults(",".join(args.fault))
    except ValueError as exc:
        parser.error(str(exc))
    if args.verbose:
        logging.basicConfig(level=logging.DEBUG, format="%(asctime)s %(message)s")

    return serve_until_stopped(
        VirtualPump(state, addr=args.addr, channel=args.channel, fault=faults, chunk_delay=args.chunk_delay))


class Serving(Protocol):
    """A virtual pump or ward: started and stopped as a context manager."""

    @property
    def port(self) -> str | None: ...

    def __enter__(self) -> Any: ...

    def __exit__(self, *exc: object) -> None: ...


def serve_until_stopped(server: Serving) -> int:
    """Start ``server``, print the port to open, serve until Ctrl-C or SIGTERM; exit status 0."""
    done = threading.Event()
    previous: dict[signal.Signals, Any] = {}
    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGINT, signal.SIGTERM):
            previous[signum] = signal.signal(signum, lambda *_: done.set())
    try:
        with server:
            print(server.port, flush=True)
            while not done.wait(0.5):
                pass
    except KeyboardInterrupt:
        pass
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, signal.SIG_DFL if handler is None else handler)
    return 0


if __name__ == "__main__":
    sys.exit(main())
