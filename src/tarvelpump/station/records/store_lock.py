"""One station writes a store at a time: the writer holds an exclusive
``flock`` on ``<store>.lock``, which names its PID and command line. The
kernel drops it with the process, SIGKILL included."""

from __future__ import annotations

import fcntl
import os
import sys

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


class StoreLock:
    """An exclusive flock on ``<store>.lock``, naming its holder inside."""

    def __init__(self, store: str) -> None:
        self.path = store + ".lock"
        try:
            self._fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        except OSError as exc:
            raise StoreError(f"{store}: cannot be written ({self.path}: {exc.strerror})") from None
        try:
            fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            try:
                holder = os.pread(self._fd, 4096, 0).decode(errors="replace").strip()
            except OSError:
                holder = ""
            os.close(self._fd)
            pid, _, command = holder.partition(" ")
            who = f" (PID {pid}: {command})" if pid.isdigit() else ""
            raise StoreError(f"{store}: in use by another station{who}") from None
        os.ftruncate(self._fd, 0)
        os.pwrite(self._fd, f"{os.getpid()} {_command_line()}\n".encode(), 0)

    def release(self) -> None:
        if self._fd >= 0:
            try:
                os.ftruncate(self._fd, 0)
            except OSError:
                pass
            os.close(self._fd)  # the flock goes with the last descriptor
            self._fd = -1
