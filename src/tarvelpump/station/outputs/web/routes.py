"""The page's routes: GET (HEAD) only, each reading what it needs from ``request.app.state``.

``app.state`` holds the ``hub`` (the views), the ``store`` (events, or
None), the ``feed`` (the streams and the views' JSON), the ``metrics``, what
is ``shown`` and the ``title``.
"""

from __future__ import annotations

import asyncio
import contextlib
import html
import logging
from collections.abc import AsyncIterator, Sequence
from datetime import datetime
from pathlib import Path
from typing import Any, Protocol, runtime_checkable

import msgspec
from sse_starlette.sse import EventSourceResponse
from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import HTMLResponse, JSONResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from ...watch import presence
from ...hub import Hub
from ..metrics import CONTENT_TYPE, StationMetrics
from ...records.model import Event, PumpView, Reading, now, pump_id
from ...records.since import SINCE_HELP, parse_since
from .feed import Feed, Scope
from .guard import streaming
from .words import Shown, encoded, language, reading_json, view_json

__all__ = ["EventSource", "create_app", "parse_since"]

log = logging.getLogger(__name__)

STATIC = Path(__file__).parent / "static"
DEFAULT_LIMIT = 50
MAX_LIMIT = 1000
_PAGE_HEADERS = {
    "Cache-Control": "no-cache",
    # Everything the page needs comes from this server.
    "Content-Security-Policy": "default-src 'self'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
}


class EventSource(Protocol):
    """What the API needs of the store."""

    def events(
        self, pump: str | None = None, since: datetime | None = None, limit: int | None = None
    ) -> list[Event]: ...


@runtime_checkable
class ReadingSource(Protocol):
    """What a pump's history needs of the store (a view over several gateways has none)."""

    def readings(
        self, pump: str | None = None, since: datetime | None = None, limit: int | None = None
    ) -> list[Reading]: ...


def _state(request: Request) -> Any:
    return request.app.state


def _scope(request: Request) -> Scope:
    """``?ward=`` (a view over several gateways) and ``?alarmed=1``."""
    q = request.query_params
    ward = q.get("ward") or None
    alarmed = q.get("alarmed", "").lower() in ("1", "true", "yes")
    return Scope(ward if _state(request).shown.wards else None, alarmed)


def _find(request: Request, pump: str) -> PumpView:
    hub: Hub = _state(request).hub
    for view in hub.views():
        if view.id == pump:
            return view
    raise HTTPException(404, f"no pump with id {pump!r}")


async def index(request: Request) -> Response:
    state = _state(request)
    lang = language(request.query_params.get("lang"), request.headers.get("accept-language"))
    page = state.page.replace("{{lang}}", lang)
    return HTMLResponse(page, headers=_PAGE_HEADERS)


async def pumps(request: Request) -> Response:
    """The pumps of the scope in the page's order; per-ward counts in a view of several gateways."""
    state = _state(request)
    feed: Feed = state.feed
    shown: Shown = state.shown
    scope = _scope(request)
    alive = feed.alive()
    at = datetime.fromisoformat(alive["time"])
    every = state.hub.views()
    feed.forget({v.id for v in every})
    views = feed.ordered(v for v in every if v in scope)
    head: dict[str, Any] = {
        "title": state.title,
        **alive,
        "near_end_s": shown.near_end_s,
        "wards": shown.wards,
        # of the ward asked for, else of every pump (the alarmed ones are a part of them)
        "counts": presence.counts(views if scope.ward is not None else every, at, shown.stale_floor_s),
    }
    if shown.wards:
        head["ward_counts"] = feed.ward_counts(every, at)
    # Each view's JSON is made once and kept: ten thousand pumps are answered in a few tens of ms.
    head["pumps"] = [feed.encoded(v, at) for v in views]
    return Response(msgspec.json.encode(head), media_type="application/json")


async def pump(request: Request) -> Response:
    state = _state(request)
    return JSONResponse(view_json(_find(request, request.path_params["pump_id"]), state.shown))


async def pump_page(request: Request) -> Response:
    """One pump's page (its tile links here): behind the same log-in as the rest."""
    state = _state(request)
    _find(request, request.path_params["pump_id"])
    lang = language(request.query_params.get("lang"), request.headers.get("accept-language"))
    return HTMLResponse(state.pump_page.replace("{{lang}}", lang), headers=_PAGE_HEADERS)


def _window(q: Any) -> tuple[datetime | None, int]:
    """``since`` and ``limit`` of a query, or 400."""
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
    return since, limit


async def history(request: Request) -> Response:
    """A pump's latest stored readings, newest first, in words. A view over
    several gateways keeps none (``"stored": false``): each ward's station does."""
    state = _state(request)
    one = _find(request, request.path_params["pump_id"])
    since, limit = _window(request.query_params)
    store = state.store
    if not isinstance(store, ReadingSource):
        return JSONResponse({"stored": False, "readings": []})
    found = await run_in_threadpool(store.readings, one.label, since, limit)
    return JSONResponse({"stored": True, "readings": [reading_json(r) for r in reversed(found)]})


async def events(request: Request) -> Response:
    state = _state(request)
    q = request.query_params
    since, limit = _window(q)
    one = _find(request, q["pump"]) if "pump" in q else None
    ward = _scope(request).ward
    found = await run_in_threadpool(_events, state.feed, state.store, one, since, limit, ward)
    return JSONResponse({"events": encoded(found)})


async def stream(request: Request) -> Response:
    feed: Feed = _state(request).feed
    streaming(request.scope)  # small buffers: a client that stops reading shows within seconds
    who = request.client.host if request.client else ""
    return EventSourceResponse(feed.stream(_scope(request), who), ping=15, headers={"Cache-Control": "no-cache"})


async def scrape(request: Request) -> Response:
    metrics: StationMetrics = _state(request).metrics
    body = await run_in_threadpool(metrics.render)
    return Response(body, media_type=CONTENT_TYPE)


def _error(status: int, message: str) -> JSONResponse:
    return JSONResponse({"error": message, "status": status}, status_code=status)


async def http_error(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    return _error(exc.status_code, exc.detail)


async def server_error(request: Request, exc: Exception) -> Response:
    log.exception("the page's server failed on %s", request.url.path)
    return _error(500, "internal error")


def _event_pump(event: Event) -> str | None:
    """The id of the pump an event is about. A view over several gateways
    names it (``ward.pump-id``): labels repeat from one gateway to another."""
    if event.pump_id is not None:
        return event.pump_id
    return None if event.pump is None else pump_id(event.pump)


def _events(feed: Feed, store: EventSource | None, pump: PumpView | None, since: datetime | None, limit: int,
            ward: str | None = None) -> list[Event]:
    """Newest first, at most ``limit``."""
    if store is not None:
        # One station's store: its labels are unique.
        found = store.events(pump=None if pump is None else pump.label, since=since, limit=limit)
    else:
        found = [
            e
            for e in feed.recent()
            if (pump is None or _event_pump(e) == pump.id) and (since is None or e.time >= since)
            and (ward is None or e.station == ward)
        ]
    found.reverse()  # commit order -> newest first, kept among equal times
    found.sort(key=lambda e: e.time, reverse=True)
    return found[:limit]


ROUTES = [
    Route("/", index, methods=["GET"]),
    Route("/api/pumps", pumps, methods=["GET"]),
    Route("/api/pumps/{pump_id}", pump, methods=["GET"]),
    Route("/api/pumps/{pump_id}/history", history, methods=["GET"]),
    Route("/pump/{pump_id}", pump_page, methods=["GET"]),
    Route("/api/events", events, methods=["GET"]),
    Route("/events", stream, methods=["GET"]),
    Route("/metrics", scrape, methods=["GET"]),
    Mount("/static", StaticFiles(directory=STATIC), name="static"),
]


def create_app(
    hub: Hub,
    store: EventSource | None = None,
    *,
    title: str = "",
    feed: Feed | None = None,
    metrics: StationMetrics | None = None,
    shown: Shown = Shown(),
    middleware: Sequence[Middleware] = (),
) -> Starlette:
    """The ASGI app. ``serve`` adds the feed and the metrics to the hub (and
    the host check, log-in and limits around it); an embedder who calls this
    directly adds ``feed.on_round`` and ``metrics.on_round`` itself."""
    feed = feed or Feed(hub, shown)
    metrics = metrics or StationMetrics(hub, stale_floor_s=shown.stale_floor_s)
    page = (STATIC / "index.html").read_text(encoding="utf-8")

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        feed.attach(asyncio.get_running_loop())
        try:
            yield
        finally:
            feed.attach(None)

    app = Starlette(
        routes=ROUTES,
        middleware=list(middleware),
        exception_handlers={HTTPException: http_error, Exception: server_error},
        lifespan=lifespan,
    )
    app.state.hub = hub
    app.state.store = store
    app.state.feed = feed
    app.state.metrics = metrics
    app.state.shown = shown
    app.state.title = title
    app.state.pump_page = ((STATIC / "pump.html").read_text(encoding="utf-8")
                           .replace("{{title}}", html.escape(title or "Infusion pumps"))
                           .replace("{{wards}}", "1" if shown.wards else "0"))
    app.state.page = (page.replace("{{title}}", html.escape(title or "Infusion pumps"))
                      .replace("{{wards}}", "1" if shown.wards else "0"))
    return app
