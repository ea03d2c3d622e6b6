"""What keeps the page's server standing among hostile peers.

- Names: a page of another site whose name was pointed at this machine
  (DNS rebinding) sends its own name as Host; only loopback names, the bound
  address and the names the configuration lists are answered (Starlette's
  ``TrustedHostMiddleware``), anything else gets 400.
- Time: a request's headers must be whole within ``header_timeout`` of the
  connection (or of its first byte after a previous request), and a
  connection waits ``idle_timeout`` at most between requests.
- Descriptors: at most ``max_connections`` connections at once, and never
  so many that the serial ports and the store could not be opened: the cap
  stays below the process's descriptor limit minus a reserve. A connection
  beyond it is closed at once. Should accepting fail for want of descriptors
  anyway, it is logged once a minute, not once per try.
- Who: beyond loopback, HTTP basic authentication against salted hashes.
"""

from __future__ import annotations

import asyncio
import base64
import binascii
import hashlib
import logging
import os
import resource
import socket
import time
from collections.abc import Iterable
from typing import Any

import h11
from starlette.concurrency import run_in_threadpool
from starlette.datastructures import Headers
from starlette.responses import PlainTextResponse
from starlette.types import ASGIApp, Receive, Scope, Send
from uvicorn.protocols.http.h11_impl import H11Protocol

from ...settings import passwords

__all__ = ["BasicAuth", "connection_cap", "guarded_protocol", "quiet_accept_failures", "trusted_hosts"]

log = logging.getLogger(__name__)

#: connections the event loop may accept in one go before any is looked at
ACCEPT_BATCH = 32
#: descriptors kept for everything else: serial ports, the store, MQTT, logs, and one accept batch
RESERVE = ACCEPT_BATCH + 48
#: the fewest connections the page is served with, whatever the limit: a page and its stream
MIN_CONNECTIONS = 4
REALM = "tarvelpump"


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


def guarded_protocol(header_timeout: float, cap: int) -> type[H11Protocol]:
    """uvicorn's HTTP/1.1 protocol with a deadline on request headers and a cap on connections."""

    class Guarded(H11Protocol):
        _header_timer: asyncio.TimerHandle | None = None

        def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
            super().connection_made(transport)
            if len(self.connections) > cap:
                transport.abort()  # its descriptor is free again at once
                return
            self._await_headers()

        def data_received(self, data: bytes) -> None:
            super().data_received(data)
            if self.conn.their_state is h11.IDLE and not self.transport.is_closing():
                self._await_headers()  # bytes of a request, not yet its whole head
            else:
                self._headers_came()

        def connection_lost(self, exc: Exception | None) -> None:
            self._headers_came()
            super().connection_lost(exc)

        def _await_headers(self) -> None:
            # From the first byte: a peer that dribbles its headers does not push the deadline back.
            if self._header_timer is None:
                self._header_timer = self.loop.call_later(header_timeout, self._too_slow)

        def _headers_came(self) -> None:
            if self._header_timer is not None:
                self._header_timer.cancel()
                self._header_timer = None

        def _too_slow(self) -> None:
            self._header_timer = None
            if self.conn.their_state is h11.IDLE and not self.transport.is_closing():
                self.transport.close()

    return Guarded


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


class BasicAuth:
    """HTTP basic authentication against ``{user: scrypt hash}``.

    A good answer is remembered (by a digest of the header, never the
    password), so a page's requests cost scrypt's work once; checks run off
    the event loop, two at a time at most.
    """

    REMEMBERED = 256

    def __init__(self, app: ASGIApp, users: dict[str, str]) -> None:
        self.app = app
        self.users = dict(users)
        self._good: dict[bytes, str] = {}
        self._checks = asyncio.Semaphore(2)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http" and not await self._allowed(Headers(scope=scope).get("authorization")):
            response = PlainTextResponse(
                "This page needs a user name and password.\n", status_code=401,
                headers={"WWW-Authenticate": f'Basic realm="{REALM}", charset="UTF-8"', "Cache-Control": "no-store"})
            await response(scope, receive, send)
            return
        await self.app(scope, receive, send)

    async def _allowed(self, header: str | None) -> bool:
        if not header or not header.lower().startswith("basic "):
            return False
        digest = hashlib.sha256(header.encode("utf-8", "replace")).digest()
        if digest in self._good:
            return True
        try:
            user, sep, password = base64.b64decode(header[6:].strip(), validate=True).decode("utf-8").partition(":")
        except (binascii.Error, UnicodeDecodeError):
            return False
        if not sep or not self.users:
            return False
        hashed = self.users.get(user)
        # An unknown name costs the same check: the answer's time does not tell which names exist.
        async with self._checks:
            ok = await run_in_threadpool(passwords.check, password, hashed or next(iter(self.users.values())))
        ok = ok and hashed is not None
        if ok:
            if len(self._good) >= self.REMEMBERED:
                self._good.pop(next(iter(self._good)))
            self._good[digest] = user
        return ok
