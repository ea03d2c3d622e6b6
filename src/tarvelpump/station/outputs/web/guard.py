"""What keeps the page's server standing among hostile peers.

- Names: a page of another site whose name was pointed at this machine
  (DNS rebinding) sends its own name as Host; only loopback names, the bound
  address and the names the configuration lists are answered (Starlette's
  ``TrustedHostMiddleware``), anything else gets 400.
- Time: a request's headers must be whole within ``header_timeout`` of the
  connection (or of its first byte after a previous request), within
  ``PRESSED_HEADER_S`` while over half the connections are open, and a
  connection waits ``idle_timeout`` at most between requests. A client that
  leaves a response unread for ``send_timeout`` is closed (a sleeping laptop
  with the page open); an event stream's kernel buffer is kept small so
  that this shows within seconds, not megabytes.
- Descriptors: at most ``max_connections`` connections at once, and never
  so many that the serial ports and the store could not be opened: the cap
  stays below the process's descriptor limit minus a reserve. A connection
  beyond it, or beyond ``max_per_address`` from one address, takes the place
  of the oldest one still without a request (slow headers, an idle
  keep-alive) or, when every one is busy, is closed at once: a flood of
  slow sockets cannot keep real requests out. Should accepting fail for
  want of descriptors anyway, it is logged once a minute, not once per try.
- Who: beyond loopback, HTTP basic authentication (``login``).
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import os
import resource
import socket
import time
from collections.abc import Callable, Iterable
from typing import Any, cast

import h11
from starlette.types import Scope
from uvicorn.protocols.http.h11_impl import H11Protocol

__all__ = ["Quiet", "connection_cap", "guarded_protocol", "quiet_accept_failures", "streaming",
           "trusted_hosts"]

log = logging.getLogger(__name__)

#: connections the event loop may accept in one go before any is looked at
ACCEPT_BATCH = 32
#: descriptors kept for everything else: serial ports, the store, MQTT, logs, and one accept batch
RESERVE = ACCEPT_BATCH + 48
#: the fewest connections the page is served with, whatever the limit: a page and its stream
MIN_CONNECTIONS = 4
#: seconds for a request's head while over half the connections are open (a flood of slow sockets)
PRESSED_HEADER_S = 2.0
#: seconds a client may leave the bytes of a response unread before it is closed
SEND_TIMEOUT_S = 15.0
#: bytes an event stream may keep waiting in the kernel, and again in the process, before it counts as unread
STREAM_BUFFER = 16 * 1024
STREAMING = "tarvelpump.streaming"  #: the scope extension by which a route says its response is a stream


def trusted_hosts(host: str, extra: Iterable[str] = ()) -> list[str]:
    """The names the page answers to when bound to ``host``."""
    names = {"localhost", "127.0.0.1", "[::1]"}
    names.update(_literal(h) for h in extra)
    if host in ("", "0.0.0.0", "::"):
        # Bound to every interface: this machine's own names and addresses.
        try:
            own = socket.gethostname()
            names.update({own.lower(), socket.getfqdn(own).lower()})
            names.update(_literal(a) for a in socket.gethostbyname_ex(own)[2])
        except OSError:
            pass
    else:
        names.add(_literal(host))
    return sorted(names)


def _literal(host: str) -> str:
    host = host.strip("[]").lower()
    return f"[{host}]" if ":" in host else host


def _open_descriptors() -> int:
    try:
        return len(os.listdir("/proc/self/fd"))
    except OSError:
        return 16


def connection_cap(wanted: int) -> int:
    """``wanted`` connections, or fewer: the process keeps ``RESERVE`` descriptors free."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return wanted
    room = soft - _open_descriptors() - RESERVE
    if room < wanted:
        log.warning("the page takes %d connections at most (descriptor limit %d, %d kept for the pumps "
                    "and the store)", max(room, MIN_CONNECTIONS), soft, RESERVE)
    return max(MIN_CONNECTIONS, min(wanted, room))


class Quiet:
    """Says a warning once per key (a peer's address) per ``every_s``, with
    how many were left unsaid since: a hostile peer cannot fill the log."""

    KEYS = 4096  #: keys remembered at most; the oldest go first

    def __init__(self, logger: logging.Logger, every_s: float = 60.0) -> None:
        self._log = logger
        self._every = every_s
        self._said: dict[str, tuple[float, int]] = {}  # key -> (when said, left unsaid since)

    def warning(self, key: str, message: str, *args: object) -> bool:
        at = time.monotonic()
        said = self._said.get(key)
        if said is not None and at - said[0] < self._every:
            self._said[key] = (said[0], said[1] + 1)
            return False
        self._said.pop(key, None)
        while len(self._said) >= self.KEYS:
            self._said.pop(next(iter(self._said)))
        self._said[key] = (at, 0)
        if said is not None and said[1]:
            message += " (%d more like it since it was last said)"
            args = (*args, said[1])
        self._log.warning(message, *args)
        return True


def no_count(reason: str) -> None:
    pass


def guarded_protocol(header_timeout: float, cap: int, *, per_address: int | None = None,
                     send_timeout: float = SEND_TIMEOUT_S,
                     count: Callable[[str], None] = no_count) -> type[H11Protocol]:
    """uvicorn's HTTP/1.1 protocol with deadlines on request headers and on unread
    responses, and caps on connections (all, and per address). ``count`` is told
    why each connection it closes was closed."""
    most = cap if per_address is None else max(1, min(per_address, cap))
    # Connections without a request in hand (headers to come, or idle between requests), oldest first.
    waiting: dict[Guarded, None] = {}
    per_peer: dict[str, int] = {}
    said = Quiet(log)

    class Guarded(H11Protocol):
        _header_timer: asyncio.TimerHandle | None = None
        _stall_timer: asyncio.TimerHandle | None = None
        _unread = 0  # bytes waiting for the client when it was last seen reading
        _peer = ""
        _counted = False

        def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
            super().connection_made(transport)
            self._peer = self.client[0] if self.client else ""
            self._counted = True
            per_peer[self._peer] = per_peer.get(self._peer, 0) + 1
            # A newcomer takes the place of the oldest connection that has no request in hand.
            if per_peer[self._peer] > most:
                if not self._evict(self._peer):
                    self._drop("address")
                    return
            elif len(self.connections) > cap and not self._evict(None):
                self._drop("full")
                return
            waiting[self] = None
            self._await_headers()

        def _evict(self, peer: str | None) -> bool:
            for other in waiting:
                if peer is None or other._peer == peer:
                    other._drop("evicted")
                    return True
            return False

        def _drop(self, reason: str) -> None:
            self._forget()
            self.transport.abort()  # its descriptor is free again at once
            count(reason)

        def _forget(self) -> None:
            waiting.pop(self, None)
            self.connections.discard(self)
            if self._counted:
                self._counted = False
                left = per_peer.get(self._peer, 1) - 1
                if left > 0:
                    per_peer[self._peer] = left
                else:
                    per_peer.pop(self._peer, None)

        def handle_events(self) -> None:
            cycle = self.cycle
            super().handle_events()
            if self.cycle is not cycle:  # a request came: its app may ask for a stream's buffers
                scope = cast(dict[str, Any], self.cycle.scope)
                scope.setdefault("extensions", {})[STREAMING] = self._streaming

        def data_received(self, data: bytes) -> None:
            super().data_received(data)
            if self.conn.their_state is h11.IDLE and not self.transport.is_closing():
                self._await_headers()  # bytes of a request, not yet its whole head
            else:
                self._headers_came()

        def on_response_complete(self) -> None:
            super().on_response_complete()
            if self.conn.their_state is h11.IDLE and not self.transport.is_closing() and self._counted:
                waiting[self] = None  # idle between requests: first to go should room be needed

        def connection_lost(self, exc: Exception | None) -> None:
            self._headers_came()
            self._written()
            self._forget()
            super().connection_lost(exc)

        def _await_headers(self) -> None:
            # From the first byte: a peer that dribbles its headers does not push the deadline back.
            if self._header_timer is None:
                waiting.setdefault(self, None)
                pressed = len(self.connections) > cap // 2
                wait = min(header_timeout, PRESSED_HEADER_S) if pressed else header_timeout
                self._header_timer = self.loop.call_later(wait, self._too_slow)

        def _headers_came(self) -> None:
            waiting.pop(self, None)
            if self._header_timer is not None:
                self._header_timer.cancel()
                self._header_timer = None

        def _too_slow(self) -> None:
            self._header_timer = None
            if self.conn.their_state is h11.IDLE and not self.transport.is_closing():
                self._forget()
                self.transport.close()
                count("headers")

        # -- a client that reads nothing of what it asked for --------------------------

        def pause_writing(self) -> None:
            super().pause_writing()
            if self._stall_timer is None:
                self._unread = self.transport.get_write_buffer_size()
                self._stall_timer = self.loop.call_later(send_timeout, self._stalled)

        def resume_writing(self) -> None:
            super().resume_writing()
            self._written()

        def _written(self) -> None:
            if self._stall_timer is not None:
                self._stall_timer.cancel()
                self._stall_timer = None

        def _stalled(self) -> None:
            self._stall_timer = None
            unread = self.transport.get_write_buffer_size()
            if unread < self._unread:  # slow, but it reads: a large answer over a poor link
                self._unread = unread
                self._stall_timer = self.loop.call_later(send_timeout, self._stalled)
            elif not self.transport.is_closing():
                said.warning(self._peer, "the page's client at %s read nothing for %g s; its connection is "
                             "closed", self._peer, send_timeout)
                self._drop("stalled")

        def _streaming(self) -> None:
            """A long response of small pieces: little kept for it in the kernel and here."""
            sock = self.transport.get_extra_info("socket")
            if sock is not None:
                with contextlib.suppress(OSError):
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, STREAM_BUFFER)
            self.transport.set_write_buffer_limits(high=STREAM_BUFFER)

    return Guarded


def streaming(scope: Scope) -> None:
    """Tell the connection of ``scope`` that its response is an event stream
    (served by ``guarded_protocol``; elsewhere nothing happens)."""
    hook = scope.get("extensions", {}).get(STREAMING)
    if callable(hook):
        hook()


class quiet_accept_failures:
    """An event loop exception handler: running out of descriptors while
    accepting is said once a minute, without a traceback; anything else as usual."""

    EVERY_S = 60.0

    def __init__(self) -> None:
        self._said = -self.EVERY_S
        self._missed = 0

    def __call__(self, loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        if str(context.get("message", "")).startswith("socket.accept() out of system resource"):
            self._missed += 1
            if time.monotonic() - self._said >= self.EVERY_S:
                self._said = time.monotonic()
                log.warning("the page's server is out of descriptors: connections wait (%d times since last "
                            "said: %s)", self._missed, context.get("exception"))
                self._missed = 0
            return
        loop.default_exception_handler(context)
