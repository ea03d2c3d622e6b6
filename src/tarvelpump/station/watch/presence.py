"""Whether what is shown of a pump is known to be current, for every output alike.

A view's ``presence`` says what its station knows (online, offline, not yet
heard). On top of that an online view goes *stale* when its ``last_seen``
is older than about three rounds of its link: the news has stopped coming
although nobody said the pump went away. Only an online view that is not
stale may be shown as fine. The page, /metrics, the API and the terminal
all count with these functions, so they agree.

The values read in turn (the running state, door, time left, rate unit) can
be older than the pass even while the pump answers: each one read longer ago
than the pass (``aged``) has its age said beside it.
"""

from __future__ import annotations

from collections.abc import Iterable
from datetime import datetime
from typing import Any

from ..records.model import OFFLINE, ONLINE, UNHEARD, PumpView, now

__all__ = [
    "AGED_PASSES",
    "GONE_FLOOR_S",
    "STALE",
    "STALE_FLOOR_S",
    "aged",
    "aged_after",
    "counts",
    "door_open",
    "gone_after",
    "near_end",
    "shown_presence",
    "stale_after",
    "summary",
]

STALE = "stale"
#: rounds of a link without news before its pumps are stale, and the least wait
STALE_ROUNDS = 3
STALE_FLOOR_S = 10.0
#: rounds without a word from the station before a page says it is gone, and the least wait
GONE_ROUNDS = 2
GONE_FLOOR_S = 10.0
#: the views over MQTT: a gateway republishes an unchanged state only every 15 s
VIEW_STALE_FLOOR_S = 45.0
#: a value read longer ago than this many of its link's passes has its age said
#: (a quarter of a pass in hand: a value read every pass never shows one)
AGED_PASSES = 1.25


def aged_after(view: PumpView) -> float | None:
    """Seconds after its read at which a value of ``view`` is older than the pass
    (None: no pass known yet)."""
    return AGED_PASSES * view.round_s if view.round_s else None


def aged(view: PumpView, at: datetime | None = None) -> dict[str, float]:
    """The values shown that were read longer ago than the pass: field name -> seconds since."""
    after = aged_after(view)
    if after is None:
        return {}
    at = at or now()
    out = {}
    for name, read in view.read_at.items():
        age = (at - read).total_seconds()
        if age > after and getattr(view, name, None) is not None:
            out[name] = age
    return out


def stale_after(view: PumpView, floor: float = STALE_FLOOR_S) -> float:
    """Seconds after ``last_seen`` at which an online view is stale."""
    return max(STALE_ROUNDS * (view.round_s or 0.0), floor)


def shown_presence(view: PumpView, at: datetime | None = None, floor: float = STALE_FLOOR_S) -> str:
    """``online``, ``stale``, ``offline`` or ``unheard``: what may be shown of the pump now."""
    if view.presence == ONLINE and view.last_seen is not None:
        if ((at or now()) - view.last_seen).total_seconds() > stale_after(view, floor):
            return STALE
    return view.presence if view.presence in (ONLINE, OFFLINE, UNHEARD) else UNHEARD


def counts(views: Iterable[PumpView], at: datetime | None = None, floor: float = STALE_FLOOR_S) -> dict[str, int]:
    """How many pumps, alarmed, and in each shown presence (these four add up to all)."""
    at = at or now()
    out = {"pumps": 0, "alarmed": 0, ONLINE: 0, STALE: 0, OFFLINE: 0, UNHEARD: 0}
    for view in views:
        out["pumps"] += 1
        out["alarmed"] += view.alarmed
        out[shown_presence(view, at, floor)] += 1
    return out


def summary(c: dict[str, int]) -> str:
    """The header line of the page and of the terminal: "12 pumps · 1 in alarm · 2 offline"."""
    parts = [f"{c['pumps']} pumps", f"{c['alarmed']} in alarm", f"{c[OFFLINE]} offline"]
    if c[UNHEARD]:
        parts.append(f"{c[UNHEARD]} not yet heard")
    if c[STALE]:
        parts.append(f"{c[STALE]} stale")
    return " · ".join(parts)


def gone_after(views: Iterable[PumpView]) -> float:
    """Seconds of silence on a page's event stream after which its station counts as gone."""
    longest = max((v.round_s for v in views if v.round_s), default=0.0)
    return max(GONE_ROUNDS * longest, GONE_FLOOR_S)


def door_open(view: PumpView) -> bool:
    """The door is open and the pump's own alarm does not say so."""
    return view.door == 1 and "ALARM_DOOR_OPEN" not in view.alarms


def near_end(view: PumpView, near_end_s: int) -> bool:
    return view.remaining_s is not None and view.remaining_s < near_end_s


def health_line(health: dict[str, Any]) -> str | None:
    """What a page or terminal says of a store that does not take writes, else None."""
    store = health.get("store")
    if not store or store.get("up", True):
        return None
    since = store.get("since")
    when = datetime.fromisoformat(since).astimezone().strftime("%H:%M:%S") if since else "?"
    line = f"store not writable since {when}: history and MQTT paused"
    return f"{line} ({store['error']})" if store.get("error") else line
