"""From the hub's rounds to the page: what changed, to each open event stream.

Rounds arrive on the pollers' (or the broker view's) threads. The feed only
notes there which pumps changed and hands the rest to the server's event
loop, which takes what gathered since its last turn at once: under a
hospital's load (hundreds of messages a second) the streams get one message
per kind and turn instead of one per round, and only what changed.

A stream has a *scope*: every pump (a ward's own station), one ward of a view
over several gateways (``?ward=``), or the alarmed pumps of the whole site
(``?alarmed=1``, the hospital's page). Besides the ``pumps`` that changed in
its scope, a stream gets ``seen`` (pumps whose only news is that they still
answer: their ``last_seen``), ``gone`` (pumps a view forgot), ``order`` (the
ids of its scope in the page's order, when that changed), ``events``, ``wards`` (per-ward counts, when they
changed, for a view over several gateways) and ``alive`` every ``alive_s``.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import json
import logging
import threading
from collections import deque
from collections.abc import AsyncIterator, Iterable
from datetime import datetime
from typing import Any

import msgspec

from ...watch import presence
from ...hub import Hub
from ...records.model import Event, PumpView, RoundResult, now
from ...records.order import page_key
from .guard import Quiet
from .words import Shown, said_pairs, view_json

__all__ = ["ALIVE_S", "Feed", "Scope"]

log = logging.getLogger(__name__)

RECENT_EVENTS = 500  #: events kept in memory when there is no store
#: messages, and bytes of them, waiting for one slow page before its stream is closed (it reconnects)
STREAM_BACKLOG = 256
STREAM_BACKLOG_BYTES = 512 * 1024
#: seconds between two ``alive`` messages on an event stream: a quiet station
#: still says it is there (and how its store is), so a page can tell it from a gone one
ALIVE_S = 3.0
#: the least time between two turns of the streams: rounds in between are taken together
TURN_S = 0.1
#: the least time between two counts of every ward (a pass over every pump of the site)
WARDS_S = 1.0

_encode = msgspec.json.Encoder().encode


def _shown(view: PumpView) -> tuple[Any, ...]:
    """What a page must be sent again for: all but the VOLATILE fields (those are
    news that the pump is there: ``seen``), and when its news goes stale."""
    return view.shown(), presence.stale_after(view)


@dataclasses.dataclass(frozen=True)
class Scope:
    """Which pumps a page shows: one ward's, the alarmed ones, or all."""

    ward: str | None = None
    alarmed: bool = False

    def __contains__(self, view: PumpView) -> bool:
        if self.ward is not None and view.station != self.ward:
            return False
        return not self.alarmed or view.alarmed


class _Subscriber:
    """One open event stream; touched only on the server's event loop."""

    def __init__(self, scope: Scope, who: str = "") -> None:
        self.scope = scope
        self.who = who
        self.items: deque[tuple[str, str]] = deque()
        self.size = 0  # characters in items
        self.since = 0.0  # when the oldest of items came
        self.wake = asyncio.Event()
        self.closed = False
        self.order: list[str] | None = None
        self.wards: str | None = None


class Feed:
    """Hub listener: recent events in memory, the views encoded once, and what
    changed fanned out to the event streams."""

    def __init__(self, hub: Hub, shown: Shown = Shown(), alive_s: float = ALIVE_S) -> None:
        self._hub = hub
        self.shown = shown
        self._alive_s = alive_s
        self._lock = threading.Lock()
        self._recent: deque[Event] = deque(maxlen=RECENT_EVENTS)
        self._loop: asyncio.AbstractEventLoop | None = None
        self._subs: set[_Subscriber] = set()
        self._said = Quiet(log)
        # under _lock: what came since the last turn
        # what a page already has from /api/pumps: the views the hub holds now
        self._known: dict[str, tuple[PumpView, tuple[Any, ...]]] = {v.id: (v, _shown(v)) for v in hub.views()}
        self._changed: dict[str, PumpView] = {}
        self._seen: dict[str, PumpView] = {}
        self._events: list[Event] = []
        self._gone: set[str] = set()  # pumps a view forgot: pages drop their tiles
        self._due = False
        self._last_turn = 0.0
        self._wards_at = -WARDS_S
        self._wards_due = False
        # on the loop only: each view's sort key and JSON (by ``stale``), made once per view
        self._json: dict[str, tuple[PumpView, Any, dict[bool, msgspec.Raw]]] = {}

    def attach(self, loop: asyncio.AbstractEventLoop | None) -> None:
        with self._lock:
            self._loop = loop
        if loop is not None:
            loop.call_soon(self._warm, [v.id for v in self._hub.views()])

    def _warm(self, ids: list[str], step: int = 500) -> None:
        """Make the JSON of the views there already, a few hundred per turn of
        the loop: the first ``/api/pumps`` of a hospital is answered as fast as the next."""
        views = {v.id: v for v in self._hub.views()} if ids else {}
        at = now()
        for pid in ids[:step]:
            if pid in views:
                self.encoded(views[pid], at)
        if len(ids) > step:
            asyncio.get_running_loop().call_soon(self._warm, ids[step:], step)

    @property
    def loop(self) -> asyncio.AbstractEventLoop | None:
        return self._loop

    def recent(self) -> list[Event]:
        with self._lock:
            return list(self._recent)

    # -- on the publishing thread: note, never block ------------------------------

    def on_round(self, result: RoundResult) -> None:
        with self._lock:
            self._recent.extend(result.events)
            self._events.extend(result.events)
            for pid in result.gone:
                self._known.pop(pid, None)
                self._changed.pop(pid, None)
                self._seen.pop(pid, None)
                self._gone.add(pid)
            for view in result.views:
                self._gone.discard(view.id)
                old = self._known.get(view.id)
                if old is not None and old[0] is view:
                    continue
                shown = _shown(view)
                self._known[view.id] = (view, shown)
                if view.id in self._changed or old is None or old[1] != shown:
                    self._changed[view.id] = view
                    self._seen.pop(view.id, None)
                else:
                    self._seen[view.id] = view
            loop = self._loop
            if loop is None or self._due or not (self._changed or self._seen or self._events or self._gone):
                return
            self._due = True
        with contextlib.suppress(RuntimeError):  # the loop is closing
            loop.call_soon_threadsafe(self._schedule)

    # -- on the loop ---------------------------------------------------------------

    def _schedule(self) -> None:
        loop = asyncio.get_running_loop()
        wait = self._last_turn + TURN_S - loop.time()
        if wait > 0:
            loop.call_later(wait, self._turn)
        else:
            self._turn()

    def encoded(self, view: PumpView, at: datetime) -> msgspec.Raw:
        """The view's JSON as the API serves it, made once per view (and per
        value of ``stale``, the one field that moves with the clock): answers
        of thousands of pumps take them as they are."""
        cached = self._json.get(view.id)
        if cached is None or cached[0] is not view:
            cached = self._json[view.id] = (view, page_key(view), {})
        stale = presence.shown_presence(view, at, self.shown.stale_floor_s) == presence.STALE
        made = cached[2].get(stale)
        if made is None:
            d = view_json(view, self.shown, at)
            d["stale"] = stale
            made = cached[2][stale] = msgspec.Raw(_encode(d))
        return made

    def ordered(self, views: Iterable[PumpView]) -> list[PumpView]:
        """``order.ordered`` with each view's key made once."""
        keyed = []
        for view in views:
            cached = self._json.get(view.id)
            if cached is None or cached[0] is not view:
                self.encoded(view, now())
                cached = self._json[view.id]
            keyed.append((cached[1], view))
        keyed.sort(key=lambda kv: kv[0])
        return [view for _, view in keyed]

    def forget(self, present: set[str]) -> None:
        for gone in self._json.keys() - present:
            del self._json[gone]

    def ward_counts(self, views: Iterable[PumpView], at: datetime) -> list[dict[str, Any]]:
        """Per ward: pumps, alarmed, and each shown presence; by ward name."""
        per: dict[str, list[PumpView]] = {}
        for view in views:
            per.setdefault(view.station, []).append(view)
        return [{"ward": ward, **presence.counts(vs, at, self.shown.stale_floor_s)}
                for ward, vs in sorted(per.items())]

    def _turn(self) -> None:
        loop = asyncio.get_running_loop()
        self._last_turn = loop.time()
        with self._lock:
            changed, self._changed = list(self._changed.values()), {}
            seen, self._seen = list(self._seen.values()), {}
            events, self._events = self._events, []
            gone, self._gone = self._gone, set()
            self._due = False
        for pid in gone:
            self._json.pop(pid, None)
        at = now()
        # made here, once per change, whether a page is open or not: the API's answers stay quick
        pumps = {v.id: self.encoded(v, at) for v in changed}
        if not self._subs:
            return
        said = said_pairs(events)
        views = self._hub.views() if changed else []
        orders: dict[Scope, list[str]] = {}
        for sub in list(self._subs):
            scope = sub.scope
            messages: list[tuple[str, str]] = []
            was = set(sub.order or ())
            left = sorted(gone & was)
            if left:  # forgotten by the view: no tile stays behind on an open page
                messages.append(("gone", json.dumps(left)))
                sub.order = [pid for pid in sub.order or () if pid not in gone]
            mine = [v for v in changed if v in scope or v.id in was]
            if mine:
                messages.append(("pumps", _encode([pumps[v.id] for v in mine]).decode()))
            # when each still answering pump was last heard, and when its values were read
            heard = {v.id: {"t": v.last_seen.isoformat(), "read_at": {k: t.isoformat() for k, t in v.read_at.items()}}
                     for v in seen if v.last_seen is not None and (v in scope or v.id in was)}
            if heard:
                messages.append(("seen", json.dumps(heard)))
            if mine:
                if scope not in orders:
                    orders[scope] = [v.id for v in self.ordered(v for v in views if v in scope)]
                if orders[scope] != sub.order:
                    sub.order = orders[scope]
                    messages.append(("order", json.dumps(sub.order)))
            mine_events = [d for e, d in said if scope.ward is None or e.station == scope.ward]
            if mine_events:
                messages.append(("events", json.dumps(mine_events)))
            self._send(sub, messages)
        if changed and self.shown.wards:
            self._count_wards()

    def _count_wards(self) -> None:
        """Send the counts of every ward to the site's pages, at most once per ``WARDS_S``."""
        loop = asyncio.get_running_loop()
        wait = self._wards_at + WARDS_S - loop.time()
        if wait > 0:
            if not self._wards_due:
                self._wards_due = True
                loop.call_later(wait, self._count_wards)
            return
        self._wards_due = False
        self._wards_at = loop.time()
        site = [sub for sub in self._subs if sub.scope.ward is None]
        if not site:
            return
        wards = json.dumps(self.ward_counts(self._hub.views(), now()))
        for sub in site:
            if wards != sub.wards:
                sub.wards = wards
                self._send(sub, [("wards", wards)])

    def _send(self, sub: _Subscriber, messages: list[tuple[str, str]]) -> None:
        if not messages or sub.closed:
            return
        size = sum(len(data) for _, data in messages)
        at = asyncio.get_running_loop().time()
        # What one turn brings is taken whole; a page that has not taken an earlier turn's is behind.
        behind = sub.items and at - sub.since >= TURN_S
        if behind and (len(sub.items) + len(messages) > STREAM_BACKLOG or sub.size + size > STREAM_BACKLOG_BYTES):
            self._said.warning(sub.who, "a page at %s fell behind the station (%d messages waiting); its stream is "
                               "closed", sub.who or "?", len(sub.items))
            sub.closed = True
            sub.items.clear()  # freed now, whenever its connection goes
            sub.size = 0
        else:
            if not sub.items:
                sub.since = at
            sub.items.extend(messages)
            sub.size += size
        sub.wake.set()

    def close_all(self) -> None:
        for sub in self._subs:
            sub.closed = True
            sub.wake.set()

    def alive(self) -> dict[str, Any]:
        """What ``/api/pumps`` and each ``alive`` message say of the station itself."""
        return {
            "time": now().isoformat(),
            "health": self._hub.health(),
            "gone_after_s": presence.gone_after(self._hub.views()),
        }

    async def stream(self, scope: Scope = Scope(), who: str = "") -> AsyncIterator[dict[str, Any]]:
        """The messages of one event stream; ``who``: its client's address, for the log."""
        sub = _Subscriber(scope, who)
        # What the page holds of its scope: a pump leaving it is still sent once (an alarm cleared).
        sub.order = [v.id for v in self.ordered(v for v in self._hub.views() if v in scope)]
        self._subs.add(sub)
        loop = asyncio.get_running_loop()
        try:
            yield {"event": "hello", "data": "{}", "retry": 1000}
            due = loop.time()
            while True:
                if loop.time() >= due:
                    yield {"event": "alive", "data": json.dumps(self.alive())}
                    if self.shown.wards and scope.ward is None:  # stale moves with the clock: counts are said again
                        wards = json.dumps(self.ward_counts(self._hub.views(), now()))
                        if wards != sub.wards:
                            sub.wards = wards
                            yield {"event": "wards", "data": wards}
                    due = loop.time() + self._alive_s
                with contextlib.suppress(asyncio.TimeoutError):
                    await asyncio.wait_for(sub.wake.wait(), max(0.0, due - loop.time()))
                sub.wake.clear()
                while sub.items:
                    kind, data = sub.items.popleft()
                    sub.size -= len(data)
                    yield {"event": kind, "data": data}
                if sub.closed:
                    return
        finally:
            self._subs.discard(sub)
