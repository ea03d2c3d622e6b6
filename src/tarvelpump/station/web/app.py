"""The nurse-station page, its JSON API and /metrics, served by uvicorn.

Read-only by construction: every route is GET (HEAD) only, and nothing here
holds a link or a pump, only the hub's views and the store. Rounds arrive on
the pollers' threads; the feed turns them into JSON there and hands them to
the server's event loop, which fans them out to the open event streams.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import html
import json
import logging
import socket
import threading
from collections import deque
from collections.abc import AsyncIterator, Sequence
from datetime import datetime
from pathlib import Path
from typing import Any, Protocol

import uvicorn
from sse_starlette.sse import EventSourceResponse
from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from ... import comm
from .. import presence
from ..hub import Hub
from ..metrics import CONTENT_TYPE, StationMetrics
from ..model import Event, EventKind, PumpView, RoundResult, now, pump_id
from ..order import ordered, page_key
from ..since import SINCE_HELP, parse_since

__all__ = ["HttpServer", "Shown", "create_app", "page_order", "parse_since", "serve"]

log = logging.getLogger(__name__)

STATIC = Path(__file__).parent / "static"
RECENT_EVENTS = 500  #: events kept in memory when there is no store
DEFAULT_LIMIT = 50
MAX_LIMIT = 1000
#: messages waiting for one slow page before its stream is dropped (it reconnects)
STREAM_BACKLOG = 256
#: seconds between two ``alive`` messages on an event stream: a quiet station
#: still says it is there (and how its store is), so a page can tell it from a gone one
ALIVE_S = 3.0
#: remaining time under which a tile is marked near its end, unless the station says otherwise
NEAR_END_S = 600

# Acronyms in the alarm and state names, kept upper-case in the English words.
_ACRONYMS = {"KVO", "WDT", "AC", "DC"}
_STATE_WORDS = {
    "OFF": "Off",
    "STOP": "Stopped",
    "RUN": "Running",
    "PAUSE": "Paused",
    "BOLUS": "Bolus",
    "PURGING": "Purging",
    "KVO": "KVO",
}
_UNIT_WORDS = {"ML": "ml", "DROP": "drops"}
_DOOR_WORDS = {"OPEN": "open", "CLOSE": "closed"}

#: the page's sort key (kept under its old name)
page_order = page_key


class EventSource(Protocol):
    """What the API needs of the store."""

    def events(
        self, pump: str | None = None, since: datetime | None = None, limit: int | None = None
    ) -> list[Event]: ...


def words(name: object) -> str | None:
    """English words for a table entry name: "ALARM_AIR_IN_LINE" -> "Air in line"."""
    if not isinstance(name, str) or not name:
        return None
    if name in _STATE_WORDS:
        return _STATE_WORDS[name]
    parts = name.removeprefix("ALARM_").split("_")
    out = [p if p in _ACRONYMS else p.lower() for p in parts if p]
    if not out:
        return None
    first = out[0]
    out[0] = first if first in _ACRONYMS else first.capitalize()
    return " ".join(out)


def _entry_name(table: Any, code: int | None) -> str | None:
    if code is None:
        return None
    entry = table.get_option_by_code(code)
    return None if entry is None else str(entry.name)


@dataclasses.dataclass(frozen=True)
class Shown:
    """What the page needs beside the views: the station's near-end threshold,
    the least wait before a view is stale, and whether tiles name their ward."""

    near_end_s: int = NEAR_END_S
    stale_floor_s: float = presence.STALE_FLOOR_S
    wards: bool = False


def view_json(view: PumpView, shown: Shown = Shown(), at: datetime | None = None) -> dict[str, Any]:
    """A view as the API serves it: the view itself, its names in English, and
    what the tile marks: ``stale`` (now; the page keeps it up to date from
    ``stale_after_s``), ``door_open`` (without the pump's alarm) and ``near_end``."""
    d = view.to_json()
    unit = _entry_name(comm.RateUnit, view.rate_unit)
    door = _entry_name(comm.PumpDoorStatus, view.door)
    d["running_words"] = words(view.running_name)
    d["top_alarm_words"] = words(view.top_alarm)
    d["alarm_words"] = [words(a) for a in view.alarms]
    d["rate_unit_words"] = _UNIT_WORDS.get(unit or "", words(unit))
    d["door_words"] = _DOOR_WORDS.get(door or "", words(door))
    d["stale_after_s"] = presence.stale_after(view, shown.stale_floor_s)
    d["stale"] = presence.shown_presence(view, at, shown.stale_floor_s) == presence.STALE
    d["door_open"] = presence.door_open(view)
    d["near_end"] = presence.near_end(view, shown.near_end_s)
    return d


def event_json(event: Event) -> dict[str, Any]:
    """An event as the API serves it, with a line in words for the page."""
    d = event.to_json()
    kind = event.kind.value.replace("_", " ").capitalize()
    d["kind_words"] = kind
    details = event.details
    said: str | None = None
    alarm = details.get("alarm")
    if isinstance(alarm, str):
        d["alarm_words"] = words(alarm)
        said = " · ".join(str(x) for x in (d["alarm_words"], details.get("text")) if x)
    elif event.kind is EventKind.STATE_CHANGED:
        said = f"{words(details.get('from')) or '?'} → {words(details.get('to')) or '?'}"
    elif event.kind is EventKind.NEAR_END and isinstance(details.get("remaining_s"), int):
        said = f"{details['remaining_s'] // 60} min left"
    elif event.kind is EventKind.LINK_UP and isinstance(details.get("down_s"), (int, float)):
        said = f"after {details['down_s']:.0f} s"
    elif event.kind is EventKind.LINK_DOWN and details.get("error"):
        said = str(details["error"])
    d["words"] = f"{kind}: {said}" if said else kind
    return d


class _Subscriber:
    """One open event stream; touched only on the server's event loop."""

    def __init__(self) -> None:
        self.items: deque[tuple[str, str]] = deque()
        self.wake = asyncio.Event()
        self.closed = False


class _Feed:
    """Hub listener: recent events in memory and fan-out to event streams.

    Besides each round's views and events, a stream carries ``order`` (the
    ids of every pump in the page's order, after each round: the page keeps
    it rather than sorting by a rule of its own) and ``alive`` every
    ``alive_s`` (the server's time, its store's health, and after how long
    a silent stream means the station is gone).
    """

    def __init__(self, hub: Hub, shown: Shown = Shown(), alive_s: float = ALIVE_S) -> None:
        self._hub = hub
        self._shown = shown
        self._alive_s = alive_s
        self._lock = threading.Lock()
        self._recent: deque[Event] = deque(maxlen=RECENT_EVENTS)
        self._loop: asyncio.AbstractEventLoop | None = None
        self._subs: set[_Subscriber] = set()

    def attach(self, loop: asyncio.AbstractEventLoop | None) -> None:
        with self._lock:
            self._loop = loop

    def recent(self) -> list[Event]:
        with self._lock:
            return list(self._recent)

    def on_round(self, result: RoundResult) -> None:
        # On a poller thread: encode here, never block, and let the loop deliver.
        messages: list[tuple[str, str]] = []
        if result.views:
            at = now()
            messages.append(("pumps", json.dumps([view_json(v, self._shown, at) for v in result.views])))
        if result.events:
            messages.append(("events", json.dumps(_encoded(result.events))))
        with self._lock:
            self._recent.extend(result.events)
            loop = self._loop
        if loop is None or not messages:
            return
        with contextlib.suppress(RuntimeError):  # the loop is closing
            loop.call_soon_threadsafe(self._deliver, messages)

    def _deliver(self, messages: list[tuple[str, str]]) -> None:
        if any(kind == "pumps" for kind, _ in messages):
            # Taken here, on the loop, from the hub as it is now: never older than the views sent.
            messages = [*messages, ("order", json.dumps([v.id for v in ordered(self._hub.views())]))]
        for sub in list(self._subs):
            if len(sub.items) + len(messages) > STREAM_BACKLOG:
                log.warning("a page fell behind the station; its stream is restarted")
                sub.closed = True
            else:
                sub.items.extend(messages)
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

    async def stream(self) -> AsyncIterator[dict[str, Any]]:
        sub = _Subscriber()
        self._subs.add(sub)
        loop = asyncio.get_running_loop()
        try:
            yield {"event": "hello", "data": "{}", "retry": 1000}
            due = loop.time()
            while True:
                if loop.time() >= due:
                    yield {"event": "alive", "data": json.dumps(self.alive())}
                    due = loop.time() + self._alive_s
                with contextlib.suppress(asyncio.TimeoutError):
                    await asyncio.wait_for(sub.wake.wait(), max(0.0, due - loop.time()))
                sub.wake.clear()
                while sub.items:
                    kind, data = sub.items.popleft()
                    yield {"event": kind, "data": data}
                if sub.closed:
                    return
        finally:
            self._subs.discard(sub)


def _encoded(events: Sequence[Event]) -> list[dict[str, Any]]:
    # One event that cannot be put into words must not take the others with it.
    out = []
    for e in events:
        try:
            out.append(event_json(e))
        except Exception:
            log.exception("an event of %s could not be shown; the others are", e.link)
    return out


def _error(status: int, message: str) -> JSONResponse:
    return JSONResponse({"error": message, "status": status}, status_code=status)


def create_app(
    hub: Hub,
    store: EventSource | None = None,
    *,
    title: str = "",
    feed: _Feed | None = None,
    metrics: StationMetrics | None = None,
    shown: Shown = Shown(),
) -> Starlette:
    """The ASGI app. ``serve`` adds the feed and the metrics to the hub; an
    embedder who calls this directly adds ``feed.on_round`` and
    ``metrics.on_round`` itself."""
    feed = feed or _Feed(hub, shown)
    metrics = metrics or StationMetrics(hub, stale_floor_s=shown.stale_floor_s)
    page = (STATIC / "index.html").read_text(encoding="utf-8")
    page = page.replace("{{title}}", html.escape(title or "Infusion pumps"))

    def find(pump_id: str) -> PumpView:
        for view in hub.views():
            if view.id == pump_id:
                return view
        raise HTTPException(404, f"no pump with id {pump_id!r}")

    async def index(request: Request) -> Response:
        return HTMLResponse(
            page,
            headers={
                "Cache-Control": "no-cache",
                # Everything the page needs comes from this server.
                "Content-Security-Policy": "default-src 'self'; frame-ancestors 'none'",
                "X-Content-Type-Options": "nosniff",
            },
        )

    async def pumps(request: Request) -> Response:
        views = ordered(hub.views())
        alive = feed.alive()
        at = datetime.fromisoformat(alive["time"])
        return JSONResponse({
            "title": title,
            **alive,
            "near_end_s": shown.near_end_s,
            "wards": shown.wards,
            "counts": presence.counts(views, at, shown.stale_floor_s),
            "pumps": [view_json(v, shown, at) for v in views],
        })

    async def pump(request: Request) -> Response:
        return JSONResponse(view_json(find(request.path_params["pump_id"]), shown))

    async def events(request: Request) -> Response:
        q = request.query_params
        since: datetime | None = None
        if "since" in q:
            try:
                since = parse_since(q["since"])
            except ValueError:
                raise HTTPException(400, f"since={q['since']!r}: since takes {SINCE_HELP}") from None
        try:
            limit = int(q.get("limit", DEFAULT_LIMIT))
        except ValueError:
            raise HTTPException(400, f"limit={q['limit']!r} is not a whole number") from None
        if not 1 <= limit <= MAX_LIMIT:
            raise HTTPException(400, f"limit must be between 1 and {MAX_LIMIT}")
        one = find(q["pump"]) if "pump" in q else None
        found = await run_in_threadpool(_events, feed, store, one, since, limit)
        return JSONResponse({"events": _encoded(found)})

    async def stream(request: Request) -> Response:
        return EventSourceResponse(feed.stream(), ping=15, headers={"Cache-Control": "no-cache"})

    async def scrape(request: Request) -> Response:
        body = await run_in_threadpool(metrics.render)
        return Response(body, media_type=CONTENT_TYPE)

    async def http_error(request: Request, exc: Exception) -> Response:
        assert isinstance(exc, HTTPException)
        return _error(exc.status_code, exc.detail)

    async def server_error(request: Request, exc: Exception) -> Response:
        log.exception("the page's server failed on %s", request.url.path)
        return _error(500, "internal error")

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        feed.attach(asyncio.get_running_loop())
        try:
            yield
        finally:
            feed.attach(None)

    routes = [
        Route("/", index, methods=["GET"]),
        Route("/api/pumps", pumps, methods=["GET"]),
        Route("/api/pumps/{pump_id}", pump, methods=["GET"]),
        Route("/api/events", events, methods=["GET"]),
        Route("/events", stream, methods=["GET"]),
        Route("/metrics", scrape, methods=["GET"]),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
    ]
    app = Starlette(
        routes=routes,
        exception_handlers={HTTPException: http_error, Exception: server_error},
        lifespan=lifespan,
    )
    app.state.feed = feed
    app.state.metrics = metrics
    return app


def _event_pump(event: Event) -> str | None:
    """The id of the pump an event is about. A view over several gateways
    names it (``ward.pump-id``): labels repeat from one gateway to another."""
    named = event.details.get("pump_id")
    if isinstance(named, str):
        return named
    return None if event.pump is None else pump_id(event.pump)


def _events(
    feed: _Feed, store: EventSource | None, pump: PumpView | None, since: datetime | None, limit: int
) -> list[Event]:
    """Newest first, at most ``limit``."""
    if store is not None:
        # One station's store: its labels are unique.
        found = store.events(pump=None if pump is None else pump.label, since=since, limit=limit)
    else:
        found = [
            e
            for e in feed.recent()
            if (pump is None or _event_pump(e) == pump.id) and (since is None or e.time >= since)
        ]
    found.reverse()  # commit order -> newest first, kept among equal times
    found.sort(key=lambda e: e.time, reverse=True)
    return found[:limit]


@dataclasses.dataclass
class HttpServer:
    """A running page server; ``stop()`` ends its streams, its thread and its socket."""

    url: str
    _server: uvicorn.Server
    _thread: threading.Thread
    _sock: socket.socket
    _hub: Hub
    _listeners: Sequence[Any]
    _feed: _Feed

    @property
    def port(self) -> int:
        return int(self._sock.getsockname()[1])

    def stop(self, timeout: float = 5.0) -> None:
        for listener in self._listeners:
            with contextlib.suppress(ValueError):
                self._hub.remove(listener)
        loop = self._feed._loop
        if loop is not None:
            # Open streams end first, or the server would wait on them.
            with contextlib.suppress(RuntimeError):
                loop.call_soon_threadsafe(self._feed.close_all)
        self._server.should_exit = True
        self._thread.join(timeout)
        if self._thread.is_alive():
            self._server.force_exit = True
            self._thread.join(timeout)
        self._sock.close()

    def __enter__(self) -> HttpServer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


def _bind(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.create_server((host, port), family=family)
    sock.set_inheritable(True)
    return sock


def serve(
    hub: Hub,
    store: EventSource | None,
    host: str = "127.0.0.1",
    port: int = 8750,
    *,
    title: str = "",
    near_end_s: int = NEAR_END_S,
    stale_floor_s: float = presence.STALE_FLOOR_S,
    wards: bool = False,
    alive_s: float = ALIVE_S,
) -> HttpServer:
    """Serve the page, the API and /metrics from a thread of their own.

    Binds loopback unless another host is given; port 0 picks a free one
    (see ``url``). Raises OSError at once when the address cannot be bound.
    ``near_end_s``: the station's threshold (its ``poll.near_end_s``);
    ``wards``: the pumps come from several gateways, so tiles name theirs.
    """
    shown = Shown(near_end_s, stale_floor_s, wards)
    feed = _Feed(hub, shown, alive_s)
    metrics = StationMetrics(hub, stale_floor_s=stale_floor_s)
    app = create_app(hub, store, title=title, feed=feed, metrics=metrics, shown=shown)
    sock = _bind(host, port)
    config = uvicorn.Config(
        app,
        log_config=None,  # the station's logging stays as the station set it
        access_log=False,
        lifespan="on",
        timeout_graceful_shutdown=2,
    )
    server = uvicorn.Server(config)
    bound = sock.getsockname()[1]
    where = f"[{host}]" if ":" in host else host
    thread = threading.Thread(
        target=server.run, kwargs={"sockets": [sock]}, name=f"station-http-{bound}", daemon=True
    )
    hub.add(metrics.on_round)
    hub.add(feed.on_round)
    listeners = [metrics.on_round, feed.on_round]
    http = HttpServer(f"http://{where}:{bound}/", server, thread, sock, hub, listeners, feed)
    thread.start()
    while not server.started:
        if not thread.is_alive():
            http.stop()
            raise RuntimeError(f"the page's server did not start on {host}:{bound}")
        thread.join(0.01)
    log.info("station page at %s", http.url)
    return http
