"""Salted password hashes for the page's HTTP basic authentication.

A hash is one line a configuration can hold (``[http] users = { nurse =
"scrypt$..." }``), made by ``tarvelpump station passwd``: scrypt with its
cost, a random salt and the derived key, so the file never holds a password
and a stolen file costs an attacker scrypt's work per guess. Standard
library only: the configuration check needs no web server to read one.
"""

from __future__ import annotations

import base64
import hashlib
import hmac
import os

__all__ = ["check", "hash_password", "is_hash"]

SCHEME = "scrypt"
#: scrypt's cost: about 16 MiB and some 50 ms a try on a ward workstation
N, R, P = 2 ** 14, 8, 1
_MAXMEM = 64 * 1024 * 1024
_KEY_BYTES = 32


def _b64(raw: bytes) -> str:
    return base64.b64encode(raw).decode("ascii")


def hash_password(password: str, *, salt: bytes | None = None) -> str:
    """``scrypt$16384$8$1$<salt>$<key>`` (salt and key in base64)."""
    salt = os.urandom(16) if salt is None else salt
    key = hashlib.scrypt(password.encode("utf-8"), salt=salt, n=N, r=R, p=P, maxmem=_MAXMEM, dklen=_KEY_BYTES)
    return f"{SCHEME}${N}${R}${P}${_b64(salt)}${_b64(key)}"


def _parse(text: str) -> tuple[int, int, int, bytes, bytes]:
    parts = text.split("$")
    if len(parts) != 6 or parts[0] != SCHEME:
        raise ValueError(f'not a password hash made by "tarvelpump station passwd" ({SCHEME}$N$r$p$salt$key)')
    try:
        n, r, p = (int(x) for x in parts[1:4])
        salt, key = base64.b64decode(parts[4], validate=True), base64.b64decode(parts[5], validate=True)
    except ValueError:
        raise ValueError("a password hash with a malformed cost, salt or key") from None
    # A cost outside these bounds would take too long or too much memory at each log-in.
    if not (2 <= n <= 2 ** 20 and n & (n - 1) == 0 and 1 <= r <= 32 and 1 <= p <= 16
            and 128 * r * n * p <= _MAXMEM and len(salt) >= 8 and len(key) >= 16):
        raise ValueError("a password hash with a cost, salt or key out of bounds")
    return n, r, p, salt, key


def is_hash(text: str) -> str | None:
    """Why ``text`` is not a usable hash, or None."""
    try:
        _parse(text)
    except ValueError as exc:
        return str(exc)
    return None


def check(password: str, hashed: str) -> bool:
    """Whether ``password`` is the one ``hashed`` was made from (in constant time)."""
    try:
        n, r, p, salt, key = _parse(hashed)
    except ValueError:
        return False
    got = hashlib.scrypt(password.encode("utf-8"), salt=salt, n=n, r=r, p=p, maxmem=_MAXMEM, dklen=len(key))
    return hmac.compare_digest(got, key)
