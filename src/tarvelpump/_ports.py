"""A serial port held by one program at a time.

A reply carries no address: whoever reads the line takes the next reply for
the answer to its own request. Two programs asking pumps on one port each
take some of the other's answers, so a reading of one pump is filed under
another. A program that holds a port here keeps the others off it twice:

* pyserial's lock (``exclusive=True``, a ``flock`` on the device) refuses
  every program that asks for it too: this package's command line, a second
  station, other careful programs;
* the terminal's exclusive mode (``TIOCEXCL``) makes the kernel refuse any
  later open of the device, lock or no lock, to a process without
  ``CAP_SYS_ADMIN``. Root has that capability and is refused only by the lock.

The mode stays on the device while anyone has it open, so it is taken off
again before the port is closed.
"""

from __future__ import annotations

import errno
import fcntl
import logging
import os
import termios
from collections.abc import Iterable
from typing import Any, Self, SupportsIndex

import serial

from . import comm

__all__ = ["BUSY", "HeldKelt", "PortHeldError", "command_of", "holder_pid", "let_go", "open_exclusive"]

log = logging.getLogger(__name__)

#: What opening a port says when another program holds it: its lock (flock),
#: or the device's exclusive mode (TIOCEXCL).
BUSY = frozenset({errno.EAGAIN, errno.EWOULDBLOCK, errno.EBUSY})
READ_SIZE_MAX = 128  # the driver's own ceiling for one read


class PortHeldError(serial.SerialException):
    """Another program holds the port; ``pid`` when the system lets us know which."""

    def __init__(self, port: str, pid: int | None) -> None:
        if pid is None:
            text = "port held by another program"
        else:
            command = command_of(pid)
            text = f"port held by PID {pid}" + (f" ({command})" if command else "")
        super().__init__(text)
        self.port = port
        self.pid = pid


def command_of(pid: int) -> str:
    """A process's command line on one line, shortened ("" if it cannot be read)."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            words = f.read(4096).split(b"\0")
    except OSError:
        return ""
    text = " ".join(w.decode("utf-8", "replace") for w in words if w)
    text = " ".join(text.split())  # one line, whatever a -c script holds
    return text if len(text) <= 60 else text[:57] + "..."


def holder_pid(path: str, locked: bool = True) -> int | None:
    """The PID of the process holding ``path``, where the system lets us know.

    ``locked``: the holder took a lock on the file (``/proc/locks`` names the
    process that took it); otherwise (a device in exclusive mode) also any
    other process that has it open.
    """
    try:
        st = os.stat(path)
    except OSError:
        return None
    inode = f"{os.major(st.st_dev):02x}:{os.minor(st.st_dev):02x}:{st.st_ino}"
    try:
        with open("/proc/locks", encoding="ascii", errors="replace") as f:
            for line in f:
                fields = line.split()
                # "1: FLOCK  ADVISORY  WRITE 1234 00:18:3 0 EOF" ("->" marks a waiter)
                if len(fields) >= 6 and fields[1] == "FLOCK" and fields[5] == inode and fields[4].isdigit():
                    # pid 0: a process outside this one's view (another container)
                    return int(fields[4]) or None
    except OSError:
        pass
    return None if locked else _opener(os.path.realpath(path))


def _opener(real: str) -> int | None:
    """Another process with ``real`` open, found among every process's descriptors."""
    try:
        pids = [int(d) for d in os.listdir("/proc") if d.isdigit() and int(d) != os.getpid()]
    except OSError:
        return None
    for pid in pids:
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == real:
                    return pid
            except OSError:
                continue
    return None


def open_exclusive(port: str, baudrate: int = 9600, timeout: float | None = 1.0) -> Any:
    """``serial.Serial`` opened with its lock and the device in exclusive mode.

    Raises ``PortHeldError`` when another program holds it, and whatever
    else pyserial raises for a port that cannot be opened.
    """
    try:
        ser = serial.Serial(port=port, baudrate=baudrate, timeout=timeout, exclusive=True)
    except serial.SerialException as exc:
        code = getattr(exc, "errno", None)
        if code in BUSY:
            raise PortHeldError(port, holder_pid(port, locked=code != errno.EBUSY)) from exc
        raise
    _exclusive_mode(ser, True)
    return ser


def let_go(ser: Any) -> None:
    """Take the device out of exclusive mode, then close it."""
    try:
        _exclusive_mode(ser, False)
    finally:
        ser.close()


def _exclusive_mode(ser: Any, on: bool) -> None:
    fd = getattr(ser, "fd", None)
    request = getattr(termios, "TIOCEXCL" if on else "TIOCNXCL", None)
    if not isinstance(fd, int) or request is None:
        return  # not a terminal of this system (another kind of port): the lock alone
    try:
        fcntl.ioctl(fd, request)
    except OSError as exc:
        # ENOTTY: not a terminal; a vanished device fails its next exchange anyway
        log.debug("exclusive mode %s on %s: %s", "on" if on else "off", getattr(ser, "port", fd), exc)


class HeldKelt(comm.Kelt):
    """The driver, exchanging over a port it holds from its first exchange to
    ``close``, exclusively, rather than opening it for each one.

    Its exchange is the driver's own (the same reading rule and log lines);
    anything left on the line since the last one is discarded before each
    request. A port that cannot be opened, or that another program holds,
    fails each exchange as the driver reports it: result code EXCEPTION with
    the reason, "port held by PID n" for a held one.
    """

    def __init__(self, port: str = "COM1", baud_rate: int = 9600, timeout: float | None = 1) -> None:
        super().__init__(port, baud_rate, timeout)
        self._held: Any = None

    def _Kelt__sr(self, data: bytes | Iterable[SupportsIndex], recv_len: int = 32) -> list[int]:
        request = bytes(data)
        try:
            if self._held is None:
                self._held = open_exclusive(self.port, self.baud_rate, self.timeout)
            port = self._held
            port.reset_input_buffer()
            sent = port.write(request)
            comm.log.debug("%d bytes sent. %s", sent, comm.hex_str(request))
            size = min(recv_len, READ_SIZE_MAX)
            received = bytearray()
            while len(received) < recv_len:
                chunk = port.read(size)
                comm.log.debug("%d bytes received. %s", len(chunk), comm.hex_str(chunk))
                received += chunk
                if not chunk:
                    break
        except serial.SerialException:
            self.close()
            raise
        except (OSError, termios.error) as exc:
            # a vanished device shows as a plain OS error on some calls; the
            # driver reports only the serial library's exception as a code
            self.close()
            raise serial.SerialException(f"{self.port}: {exc}") from exc
        comm.log.debug("Finished. Total %d bytes received.", len(received))
        return list(received)

    def close(self) -> None:
        """Let the port go (idempotent); the next exchange takes it again."""
        held, self._held = self._held, None
        if held is not None:
            try:
                let_go(held)
            except (OSError, termios.error, serial.SerialException) as exc:
                log.debug("closing %s: %s", self.port, exc)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
