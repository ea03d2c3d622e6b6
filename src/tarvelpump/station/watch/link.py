"""The serial line of the station: one port, one exchange at a time.

A ``Link`` is a handle on a port with its line settings and radio mode. The
port itself (its open ``serial.Serial``, its lock, what was last sent on it)
belongs to the process and is shared by every ``Link`` on that port, so no
two requests ever overlap on a line, whoever sends them.

Three rules keep a reply from being credited to the wrong pump:

* before every request, whatever is waiting on the line is discarded: it
  came before the request, so it cannot be its reply;
* after an exchange that got nothing or a malformed reply, the line is left
  quiet for ``guard`` seconds (from the end of that exchange) and what
  arrived meanwhile is discarded, so a late reply lands and is thrown away;
* two consecutive exchanges on a port never send the same command to
  different pumps: a reply that comes one exchange late then fails the
  driver's application-header test. The poller orders its exchanges so
  (see ``poller``); for other callers the link puts a different query to
  the new pump in between.

Frames are built and checked by the driver, never here.
"""

from __future__ import annotations

import contextlib
import dataclasses
import logging
import os
import termios
import threading
import time
from collections.abc import Iterable, Sequence
from datetime import datetime
from typing import Any, SupportsIndex

import serial

from ... import _ports, comm
from ..records.model import RadioMode, now

__all__ = ["Exchange", "Link", "LinkClosedError", "PortBusyError", "port_holder"]

log = logging.getLogger(__name__)

Prefix = tuple[int, ...]
READ_SIZE_MAX = 128  # the driver's own ceiling for one read
Code = comm.DeviceReturnCode
#: Queries put between two sends of one command to different pumps: short
#: replies, no effect on the pump.
FILLERS = (comm.Command.GET_RATE_UNIT, comm.Command.GET_PUMPDOOR_STATUS)


class LinkClosedError(RuntimeError):
    """The link was closed; it makes no more exchanges."""


class PortBusyError(serial.SerialException):
    """The port is held by another program (or another station in this process)."""

    def __init__(self, port: str, holder: str | None, link: str | None = None) -> None:
        who = f" (link {link!r})" if link else ""
        super().__init__(f"port {port}{who} is held by {holder or 'another program'}")
        self.port = port
        self.holder = holder


def _named(pid: int) -> str:
    command = _ports.command_of(pid)
    return f"pid {pid} ({command})" if command else f"pid {pid}"


def port_holder(port: str, locked: bool = True) -> str | None:
    """Who holds ``port``, as "pid 1234 (command)", where the system lets us know.

    ``locked``: the holder took a lock on the device (``/proc/locks`` names
    the process that took it); otherwise (the device is in exclusive mode)
    another process that has it open.
    """
    pid = _ports.holder_pid(port, locked)
    return None if pid is None else _named(pid)


@dataclasses.dataclass(frozen=True)
class Exchange:
    """One driver call on a line, with when it ran and what it cost."""

    command: comm.Option
    prefix: Prefix
    ret: comm.DeviceReturn
    time: datetime  #: when the request went out
    seconds: float  #: link time: request written to reading done
    waited: float  #: guard time spent before the request

    @property
    def code(self) -> int:
        return int(self.ret.code)

    @property
    def ok(self) -> bool:
        return self.code == comm.DeviceReturnCode.SUCCESS


@dataclasses.dataclass(frozen=True)
class _Last:
    prefix: Prefix
    command: int
    end: float  #: time.monotonic() when the exchange ended
    clean: bool  #: it got a good reply


class _Line:
    """One serial port as the whole process sees it."""

    def __init__(self, key: str) -> None:
        self.key = key
        self.lock = threading.Lock()  # held for a whole exchange, guard included
        self.users = 0
        self.port: Any = None  # the open serial.Serial, or None
        self.last: _Last | None = None
        self.up = True
        self.error = ""
        self.retired = False  # let go by its last link: never opened again
        self.owner: Link | None = None  # the link that claimed the port for a station

    def open(self, name: str, baud: int, timeout: float) -> Any:
        port = self.port
        if port is None:
            # Exclusive: locked against other programs that ask (another
            # station among them), and refused by the system to those that
            # do not, so two never talk on one line (see tarvelpump._ports).
            try:
                port = _ports.open_exclusive(name, baud, timeout)
            except _ports.PortHeldError as exc:
                raise PortBusyError(name, None if exc.pid is None else _named(exc.pid)) from exc
            self.port = port
            log.debug("opened %s", name)
        else:
            # Links sharing a port may differ in time-out; settings follow the caller.
            if port.baudrate != baud:
                port.baudrate = baud
            if port.timeout != timeout:
                port.timeout = timeout
        return port

    def drop(self) -> None:
        port, self.port = self.port, None
        if port is not None:
            try:
                _ports.let_go(port)
            except (OSError, termios.error, serial.SerialException):
                log.debug("closing %s failed; the port is gone anyway", self.key, exc_info=True)


class _Registry:
    """Every port the process has open, by resolved path.

    This is process-wide on purpose: the lock has to be shared by everything
    in the process that talks on a port, and those parts (pollers, a command
    line, a script) do not know about each other. It is the only global of the
    station besides the loggers.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._lines: dict[str, _Line] = {}

    def acquire(self, port: str) -> _Line:
        key = os.path.realpath(port)
        with self._lock:
            line = self._lines.get(key)
            if line is None:
                line = self._lines[key] = _Line(key)
            line.users += 1
            return line

    def release(self, line: _Line) -> None:
        with self._lock:
            line.users -= 1
            if line.users > 0:
                return
            # Closed before the entry goes, so a link made meanwhile never
            # opens the port beside this one; waits for an exchange in flight.
            with line.lock:
                line.retired = True
                line.drop()
            del self._lines[line.key]


_LINES = _Registry()


def _driver_hold(*names: str) -> contextlib.ExitStack:
    """The driver's own lock of a port, which every ``comm.Kelt`` exchange in the
    process takes (``_LineKelt`` replaces the exchange that would take it), under
    each name the port goes by here, always in one order."""
    with contextlib.ExitStack() as stack:
        for name in sorted(set(names)):
            stack.enter_context(comm._hold_port(name))
        return stack.pop_all()


class _LineKelt(comm.Kelt):
    """The driver, exchanging over the line's port, which stays open.

    The driver opens and closes the port for each exchange. Here the port
    stays open for the link's life: there is no open per request, and
    resetting the input queue just before each write discards anything that
    arrived since the last exchange (a late or repeated reply, noise) on any
    kind of port; a port opened afresh would depend on the operating system
    dropping what came while it was closed. The reading rule is the driver's
    own: read until the reply is complete or a read brings nothing.
    """

    def __init__(self, line: _Line, port: str, baud: int, timeout: float) -> None:
        super().__init__(port, baud, timeout)
        self._line = line

    def _Kelt__sr(self, data: bytes | Iterable[SupportsIndex], recv_len: int = 32) -> list[int]:
        request = bytes(data)
        timeout = self.timeout if self.timeout is not None else 1.0
        try:
            port = self._line.open(self.port, self.baud_rate, timeout)
            port.reset_input_buffer()
            port.write(request)
            size = min(recv_len, READ_SIZE_MAX)
            received = bytearray()
            while len(received) < recv_len:
                chunk = port.read(size)
                if not chunk:
                    break
                received += chunk
        except serial.SerialException:
            self._line.drop()
            raise
        except (OSError, termios.error) as exc:
            # A vanished device shows up as a plain OS error on some calls; the
            # driver reports only the serial library's exception as a code.
            self._line.drop()
            raise serial.SerialException(f"{self.port}: {exc}") from exc
        if log.isEnabledFor(logging.DEBUG):
            log.debug("%s: sent %s, received %s", self.port, request.hex(" "), received.hex(" ") or "nothing")
        return list(received)


class Link:
    """One serial line: port, line speed, time-out and radio mode.

    ``guard``: seconds of quiet after a failed exchange (default half the
    time-out: a reply up to 1.5 time-outs late is thrown away, not left to
    spoil the next exchange). It overlaps the poller's gap.
    """

    def __init__(
        self,
        name: str,
        port: str,
        *,
        baud: int = 9600,
        timeout: float = 1.0,
        mode: RadioMode = RadioMode.FIXED,
        guard: float | None = None,
    ) -> None:
        if timeout <= 0:
            raise ValueError(f"link {name!r}: timeout must be positive, not {timeout!r}")
        if guard is not None and guard < 0:
            raise ValueError(f"link {name!r}: guard must not be negative, not {guard!r}")
        self.name = name
        self.port = port
        self.baud = baud
        self.timeout = timeout
        self.mode = RadioMode(mode)
        self.guard = timeout / 2 if guard is None else guard
        self.fillers = 0  #: exchanges put in to keep a command from repeating to another pump
        self._line: _Line | None = _LINES.acquire(port)
        self._kelt = _LineKelt(self._line, port, baud, timeout)

    def __repr__(self) -> str:
        return f"<Link {self.name!r} {self.port} {self.mode.value} up={self.up}>"

    @property
    def up(self) -> bool:
        """False from an exchange the port failed until one it carries again."""
        line = self._line
        return line is not None and line.up

    @property
    def error(self) -> str:
        """What the port said when it last failed ("" while up)."""
        return "" if self._line is None else self._line.error

    @property
    def closed(self) -> bool:
        return self._line is None

    def claim(self) -> None:
        """Take the port for this link: opened (and locked) now, held until ``close``.

        Raises ``PortBusyError`` when another program holds the port, or
        another link in this process claimed it. A port that cannot be opened
        for another reason (a radio not plugged in yet) is left to the
        exchanges, which report it and try again.
        """
        line = self._line
        if line is None:
            raise LinkClosedError(f"link {self.name!r} is closed")
        with line.lock:
            if line.owner is not None and line.owner is not self:
                raise PortBusyError(self.port, f"link {line.owner.name!r} in this process (pid {os.getpid()})",
                                    self.name)
            try:
                line.open(self.port, self.baud, self.timeout)
            except PortBusyError as exc:
                raise PortBusyError(exc.port, exc.holder, self.name) from None
            except (OSError, termios.error, serial.SerialException) as exc:
                log.info("link %s: port %s cannot be opened yet: %s", self.name, self.port, exc)
            line.owner = self

    def last(self) -> tuple[Prefix, int] | None:
        """(prefix, command code) of the last exchange on the port, by anyone."""
        line = self._line
        last = None if line is None else line.last
        return None if last is None else (last.prefix, last.command)

    def exchange(self, command: comm.Option, prefix: Sequence[int], data: Sequence[int] = ()) -> Exchange:
        """Run one driver transaction for the pump behind ``prefix``, under the port's lock
        (the driver's: a plain ``comm.Kelt`` on the port waits for it too).

        Should the last exchange on the port have sent this same command to
        another pump, a different query goes to this pump first (its answer
        is dropped): a late reply then meets a command it cannot pass for.
        The poller's order never needs that; callers in other threads may.
        """
        line = self._line
        if line is None:
            raise LinkClosedError(f"link {self.name!r} is closed")
        key = tuple(prefix)
        with _driver_hold(line.key, self.port), line.lock:
            # Closed while this thread waited for the port: reopening it on a
            # line that left the registry would leave a port nobody closes.
            if line.retired:
                raise LinkClosedError(f"link {self.name!r} is closed")
            last = line.last
            if last is not None and last.command == int(command) and last.prefix != key:
                filler = FILLERS[0] if int(command) != int(FILLERS[0]) else FILLERS[1]
                self.fillers += 1
                self._once(line, filler, key, ())
            return self._once(line, command, key, data)

    def _once(self, line: _Line, command: comm.Option, key: Prefix, data: Sequence[int]) -> Exchange:
        waited = self._settle(line)
        started = now()
        t0 = time.monotonic()
        # The whole prefix goes as an address list: the driver leaves out a
        # zero address or channel, which are real settings here.
        addr = list(key) or None
        ret = self._kelt._Kelt__send_and_recv(command, list(data), to_addr=addr)
        t1 = time.monotonic()
        code = int(ret.code)
        if code != Code.INVALID_USER_DATA_LENGTH:  # that one never reaches the line
            line.last = _Last(key, int(command), t1, code == Code.SUCCESS)
        if code == Code.EXCEPTION:
            if line.up:
                log.warning("link %s: port %s failed: %s", self.name, self.port, ret.message)
            line.up, line.error = False, ret.message
        elif not line.up:
            log.warning("link %s: port %s is back", self.name, self.port)
            line.up, line.error = True, ""
        return Exchange(command, key, ret, started, t1 - t0, waited)

    def _settle(self, line: _Line) -> float:
        """After a failed exchange, keep the line quiet until ``guard`` has passed."""
        last = line.last
        if last is None or last.clean or self.guard <= 0:
            return 0.0
        # The reset before the write (in _LineKelt) discards what came in meanwhile.
        delay = last.end + self.guard - time.monotonic()
        if delay > 0:
            time.sleep(delay)
            return delay
        return 0.0

    def close(self) -> None:
        """Let go of the port (closed when its last link lets go). Idempotent."""
        line, self._line = self._line, None
        if line is not None:
            if line.owner is self:
                line.owner = None
            _LINES.release(line)

    def __enter__(self) -> Link:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
