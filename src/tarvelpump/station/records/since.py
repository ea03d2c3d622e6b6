"""What ``--since`` (the command line) and ``since=`` (the JSON API) mean.

A span back from now — ``45s``, ``10m`` (or ``10min``), ``2h``, ``1d``,
``1w``, combined as ``1h30m`` or ``1h 30m``, decimals allowed (``1.5h``) —
or an ISO 8601 time. An ISO time without an offset is the station host's
local time, as a clock on the ward wall shows it; ``Z`` or ``+01:00`` say
otherwise.
"""

from __future__ import annotations

import re
from datetime import datetime, timedelta, timezone

__all__ = ["SINCE_HELP", "TooFarBack", "parse_since"]

SINCE_HELP = ("a span back from now (30m, 2h, 1d, 1h30m) or an ISO time "
              "(2026-12-07T08:00 is local time; add Z or +01:00 for another zone)")

_PART = re.compile(r"(\d+(?:\.\d+)?)\s*(min|[smhdw])")
_SECONDS = {"s": 1, "m": 60, "min": 60, "h": 3600, "d": 86400, "w": 604800}


class TooFarBack(ValueError):
    """A span that reaches back before the calendar starts."""


def parse_since(text: str, at: datetime | None = None) -> datetime:
    """The aware time ``text`` means (``at``: now). Raises ValueError saying what is accepted."""
    body = text.strip().lower()
    parts = _PART.findall(body)
    if parts and "".join(n + u for n, u in parts) == re.sub(r"\s+", "", body):
        seconds = sum(float(n) * _SECONDS[u] for n, u in parts)
        try:
            return (at or datetime.now(timezone.utc)) - timedelta(seconds=seconds)
        except OverflowError:
            raise TooFarBack(f"{text} reaches back too far") from None
    stripped = text.strip()
    try:
        t = datetime.fromisoformat(stripped)
    except ValueError:
        try:
            # A "+" sent raw in a query string arrives as a space: "...T10:00:00 01:00".
            t = datetime.fromisoformat(stripped[:10] + stripped[10:].replace(" ", "+"))
        except ValueError:
            raise ValueError(f"{text!r} is not {SINCE_HELP}") from None
    return t if t.tzinfo is not None else t.astimezone()
