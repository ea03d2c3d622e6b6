"""Who may read the page beyond loopback: HTTP basic authentication against
salted hashes, and what repeated wrong passwords earn.

Repeated wrong passwords from one address are held back (429 with
Retry-After), those for one user name slowed, and both are said in the log
once a minute per address at most and counted.
"""

from __future__ import annotations

import asyncio
import base64
import binascii
import hashlib
import logging
import math
import time
from collections.abc import Callable
from typing import Any

from starlette.concurrency import run_in_threadpool
from starlette.datastructures import Headers
from starlette.responses import PlainTextResponse
from starlette.types import ASGIApp, Receive, Scope, Send

from ...settings import passwords
from .guard import Quiet, no_count

__all__ = ["Attempts", "BasicAuth"]

log = logging.getLogger(__name__)

REALM = "tarvelpump"


class Attempts:
    """Wrong passwords by address and by user name, and what they earn.

    From one address, after ``FREE`` wrong passwords in a row, every further
    try is refused unchecked for a hold that doubles with each wrong one, up
    to ``HOLD_MAX_S``. For one user name, from wherever, after ``USER_FREE``
    a check waits first, up to ``USER_WAIT_MAX_S``: enough to slow a spread
    guessing, short enough that a guesser cannot lock the user out. A right
    password clears both; so do ``FORGET_S`` without a wrong one. Used on the
    event loop only.
    """

    FREE = 5
    HOLD_MAX_S = 300.0
    USER_FREE = 10
    USER_WAIT_MAX_S = 2.0
    FORGET_S = 900.0
    KEYS = 4096  #: addresses (and user names) remembered at most; the oldest go first

    def __init__(self) -> None:
        self._peers: dict[str, tuple[int, float, float]] = {}  # address -> (wrong, held until, last wrong)
        self._users: dict[str, tuple[int, float]] = {}  # name -> (wrong, last wrong)

    def held(self, peer: str) -> float:
        """Seconds ``peer`` is still held back (0: its password is checked)."""
        until = self._peers.get(peer, (0, 0.0, 0.0))[1]
        return max(0.0, until - time.monotonic())

    def wait(self, user: str) -> float:
        """Seconds a check for ``user`` waits first."""
        wrong, last = self._users.get(user, (0, 0.0))
        if wrong < self.USER_FREE or time.monotonic() - last > self.FORGET_S:
            return 0.0
        return min(self.USER_WAIT_MAX_S, 0.25 * 2.0 ** min(wrong - self.USER_FREE, 30))

    def wrong(self, peer: str, user: str) -> tuple[int, float]:
        """One more wrong password: how many in a row from ``peer``, and its hold."""
        at = time.monotonic()
        wrong, _, last = self._peers.pop(peer, (0, 0.0, 0.0))
        wrong = 1 if at - last > self.FORGET_S else wrong + 1
        hold = 0.0 if wrong < self.FREE else min(self.HOLD_MAX_S, 2.0 ** min(wrong - self.FREE, 30))
        _keep(self._peers, peer, (wrong, at + hold, at), self.KEYS)
        times, last = self._users.pop(user, (0, 0.0))
        _keep(self._users, user, (1 if at - last > self.FORGET_S else times + 1, at), self.KEYS)
        return wrong, hold

    def right(self, peer: str, user: str) -> None:
        self._peers.pop(peer, None)
        self._users.pop(user, None)


def _keep(table: dict[str, Any], key: str, value: Any, most: int) -> None:
    while len(table) >= most:
        table.pop(next(iter(table)))
    table[key] = value


class BasicAuth:
    """HTTP basic authentication against ``{user: scrypt hash}``.

    A good answer is remembered (by a digest of the header, never the
    password), so a page's requests cost scrypt's work once; checks run off
    the event loop, two at a time at most. Wrong passwords are held back as
    ``Attempts`` says (429 with Retry-After), logged once a minute per
    address, and told to ``count`` ("wrong": checked and wrong; "held":
    refused unchecked).
    """

    REMEMBERED = 256

    def __init__(self, app: ASGIApp, users: dict[str, str], count: Callable[[str], None] = no_count) -> None:
        self.app = app
        self.users = dict(users)
        self._good: dict[bytes, str] = {}
        self._checks = asyncio.Semaphore(2)
        self._attempts = Attempts()
        self._count = count
        self._said = Quiet(log)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        client = scope.get("client")
        peer = str(client[0]) if client else ""
        held = await self._allowed(Headers(scope=scope).get("authorization"), peer)
        if held is None:
            await self.app(scope, receive, send)
            return
        if held > 0:
            wait = math.ceil(held)
            response = PlainTextResponse(
                f"Too many wrong passwords from this address: try again in {wait} s.\n", status_code=429,
                headers={"Retry-After": str(wait), "Cache-Control": "no-store"})
        else:
            response = PlainTextResponse(
                "This page needs a user name and password.\n", status_code=401,
                headers={"WWW-Authenticate": f'Basic realm="{REALM}", charset="UTF-8"', "Cache-Control": "no-store"})
        await response(scope, receive, send)

    async def _allowed(self, header: str | None, peer: str) -> float | None:
        """None: let in; 0: ask for a log-in (401); else the seconds ``peer`` is held back (429)."""
        if not header or not header.lower().startswith("basic "):
            return 0.0
        digest = hashlib.sha256(header.encode("utf-8", "replace")).digest()
        user = self._good.get(digest)
        if user is not None:  # a right password stays right, whoever guesses from the same address
            self._attempts.right(peer, user)
            return None
        try:
            user, sep, password = base64.b64decode(header[6:].strip(), validate=True).decode("utf-8").partition(":")
        except (binascii.Error, UnicodeDecodeError):
            user, sep, password = "", "", ""
        hashed = self.users.get(user) if sep else None
        name = user if hashed is not None else ""  # every unknown name counts as one: the table stays small
        held = self._held(peer)
        if held:
            return held
        await asyncio.sleep(self._attempts.wait(name))
        async with self._checks:
            held = self._held(peer)  # asked again once its turn came: tries queued meanwhile wait it out
            if held:
                return held
            if not sep or not self.users:
                ok = False
            else:
                # An unknown name costs the same check: the answer's time does not tell which names exist.
                ok = await run_in_threadpool(passwords.check, password, hashed or next(iter(self.users.values())))
        if ok and hashed is not None:
            self._attempts.right(peer, user)
            if len(self._good) >= self.REMEMBERED:
                self._good.pop(next(iter(self._good)))
            self._good[digest] = user
            return None
        wrong, hold = self._attempts.wrong(peer, name)
        self._count("wrong")
        # A name is said only when it is a user's: a password typed into the name field stays out of the log.
        who = f"user {user!r}" if hashed is not None else "an unknown user name"
        where = peer or "?"
        if wrong == Attempts.FREE:
            self._said.warning(f"{peer} held", "%d wrong passwords in a row from %s, the last for %s: it is held "
                               "back %g s, twice as long after each further wrong one", wrong, where, who, hold)
        else:
            self._said.warning(peer, "a wrong password for %s from %s (%d in a row)%s", who, where, wrong,
                               f"; it is held back {hold:g} s" if hold else "")
        return 0.0

    def _held(self, peer: str) -> float:
        held = self._attempts.held(peer)
        if held:
            self._count("held")
        return held
