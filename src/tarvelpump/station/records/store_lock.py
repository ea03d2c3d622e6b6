"""One station writes a store at a time, and only while the file is still there.

The writer holds an exclusive ``flock`` on the store file itself: the lock
belongs to the file, not to a name of it, so a station that reaches the same
file by a symbolic link, a hard link or another spelling of the path is
refused. (SQLite's own locks are POSIX locks, which a ``flock`` leaves alone.)
It also holds the old lock, on ``<store>.lock`` beside the path, whose text
names its PID and command line for people looking. The kernel drops both
with the process, SIGKILL included.

The descriptor kept for the lock also tells whether the path still leads to
the file the station writes (``at_path``): a store deleted or replaced under
a running station must not take rounds that nobody will ever read.
"""

from __future__ import annotations

import fcntl
import os
import sys
import threading

from ... import _ports

__all__ = ["StoreError", "StoreLock"]


class StoreError(Exception):
    """The file cannot be used: not a station store, written by a newer version,
    not writable, or held by another station."""


def _command_line() -> str:
    try:
        with open("/proc/self/cmdline", "rb") as f:
            return " ".join(a.decode(errors="replace") for a in f.read().split(b"\0") if a)
    except OSError:
        return " ".join([sys.executable, *sys.argv])


#: (device, inode) of every store this process writes. Checked before a
#: descriptor is opened: closing one would drop the POSIX locks SQLite holds
#: on the same file in this process.
_HELD: set[tuple[int, int]] = set()
_HELD_LOCK = threading.Lock()


def _identity(st: os.stat_result) -> tuple[int, int]:
    return st.st_dev, st.st_ino


class StoreLock:
    """An exclusive flock on the store file and on ``<store>.lock``, which names its holder."""

    def __init__(self, store: str) -> None:
        self.store = store
        self.path = store + ".lock"
        self._fd = self._lock_fd = -1
        try:
            known = _identity(os.stat(store))
        except OSError:
            known = None  # a new store: nobody in this process has it
        with _HELD_LOCK:
            if known in _HELD:
                raise StoreError(f"{store}: in use by another station (PID {os.getpid()}: {_command_line()})")
            try:
                self._fd = os.open(store, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
            except OSError as exc:
                raise StoreError(f"{store}: cannot be written ({exc.strerror})") from None
            self.identity = _identity(os.fstat(self._fd))
            try:
                fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                pid = _ports.holder_pid(store)
                os.close(self._fd)
                self._fd = -1
                who = f" (PID {pid}: {_ports.command_of(pid)})" if pid is not None else ""
                raise StoreError(f"{store}: in use by another station{who}") from None
            _HELD.add(self.identity)
        try:
            self._name_lock()
        except BaseException:
            self.release()
            raise

    def _name_lock(self) -> None:
        try:
            self._lock_fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        except OSError as exc:
            raise StoreError(f"{self.store}: cannot be written ({self.path}: {exc.strerror})") from None
        try:
            fcntl.flock(self._lock_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            try:
                holder = os.pread(self._lock_fd, 4096, 0).decode(errors="replace").strip()
            except OSError:
                holder = ""
            pid, _, command = holder.partition(" ")
            who = f" (PID {pid}: {command})" if pid.isdigit() else ""
            raise StoreError(f"{self.store}: in use by another station{who}") from None
        os.ftruncate(self._lock_fd, 0)
        os.pwrite(self._lock_fd, f"{os.getpid()} {_command_line()}\n".encode(), 0)

    def at_path(self) -> bool:
        """Whether the store's path still leads to the file this lock holds
        (not deleted, renamed away or replaced by another file)."""
        if self._fd < 0:
            return False
        try:
            return _identity(os.stat(self.store)) == self.identity
        except OSError:
            return False

    def release(self) -> None:
        if self._lock_fd >= 0:
            try:
                os.ftruncate(self._lock_fd, 0)
            except OSError:
                pass
            os.close(self._lock_fd)
            self._lock_fd = -1
        if self._fd >= 0:
            os.close(self._fd)  # the flock goes with the last descriptor
            self._fd = -1
            with _HELD_LOCK:
                _HELD.discard(self.identity)
