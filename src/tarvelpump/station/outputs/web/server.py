"""The page's server: uvicorn on a socket of its own, in a thread of its own.

Binds loopback unless told otherwise; beyond loopback only with users who
log in (or a stated ``allow_anonymous``), over TLS when given a certificate.
See ``guard`` for what keeps it standing among hostile peers.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import functools
import logging
import socket
import threading
from collections.abc import Sequence
from typing import Any

import uvicorn
from starlette.middleware import Middleware
from starlette.middleware.trustedhost import TrustedHostMiddleware

from ...watch import presence
from ...settings.config import HttpConfig, check_exposure
from ...hub import Hub
from ..metrics import StationMetrics
from .feed import ALIVE_S, Feed
from .guard import ACCEPT_BATCH, BasicAuth, connection_cap, guarded_protocol, quiet_accept_failures, trusted_hosts
from .routes import EventSource, create_app
from .words import NEAR_END_S, Shown

__all__ = ["HttpServer", "serve"]

log = logging.getLogger(__name__)

#: the largest request head taken (h11's own default, said here)
MAX_HEAD_BYTES = 16 * 1024


@dataclasses.dataclass
class HttpServer:
    """A running page server; ``stop()`` ends its streams, its thread and its socket."""

    url: str
    _server: uvicorn.Server
    _thread: threading.Thread
    _sock: socket.socket
    _hub: Hub
    _listeners: Sequence[Any]
    _feed: Feed

    @property
    def port(self) -> int:
        return int(self._sock.getsockname()[1])

    @property
    def feed(self) -> Feed:
        """What the open pages hear (``feed.on_round``), for news that is not a round."""
        return self._feed

    def stop(self, timeout: float = 5.0) -> None:
        for listener in self._listeners:
            with contextlib.suppress(ValueError):
                self._hub.remove(listener)
        loop = self._feed.loop
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
    sock = socket.create_server((host, port), family=family, backlog=ACCEPT_BATCH)
    sock.set_inheritable(True)
    return sock


def _run(server: uvicorn.Server, sock: socket.socket, handshake_s: float | None) -> None:
    loop = asyncio.new_event_loop()
    loop.set_exception_handler(quiet_accept_failures())
    if handshake_s is not None:
        # A TLS peer that never finishes its handshake is dropped like one that never finishes its headers.
        loop.create_server = functools.partial(loop.create_server,  # type: ignore[method-assign]
                                               ssl_handshake_timeout=handshake_s)
    try:
        loop.run_until_complete(server.serve(sockets=[sock]))
    finally:
        loop.close()


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
    http: HttpConfig = HttpConfig(),
) -> HttpServer:
    """Serve the page, the API and /metrics from a thread of their own.

    Binds loopback unless another host is given; port 0 picks a free one
    (see ``url``). Raises OSError at once when the address cannot be bound,
    and ValueError for a host beyond loopback without ``http.users`` or
    ``http.allow_anonymous``. ``near_end_s``: the station's threshold (its
    ``poll.near_end_s``); ``wards``: the pumps come from several gateways, so
    tiles name theirs and the page can show one ward or the whole site;
    ``http``: the names, log-in, TLS and limits (``[http]``).
    """
    check_exposure(host, http)
    shown = Shown(near_end_s, stale_floor_s, wards)
    feed = Feed(hub, shown, alive_s)
    metrics = StationMetrics(hub, stale_floor_s=stale_floor_s)
    middleware = [Middleware(TrustedHostMiddleware, allowed_hosts=trusted_hosts(host, http.hosts),
                             www_redirect=False)]
    if http.users:
        middleware.append(Middleware(BasicAuth, users=dict(http.users)))
    app = create_app(hub, store, title=title, feed=feed, metrics=metrics, shown=shown, middleware=middleware)
    cap = connection_cap(http.max_connections)
    sock = _bind(host, port)
    config = uvicorn.Config(
        app,
        http=guarded_protocol(http.header_timeout, cap),
        log_config=None,  # the station's logging stays as the station set it
        access_log=False,
        lifespan="on",
        timeout_graceful_shutdown=2,
        timeout_keep_alive=http.idle_timeout,  # type: ignore[arg-type]  # a float works: it goes to call_later
        limit_concurrency=cap + 1,  # the connection itself counts
        backlog=ACCEPT_BATCH,
        h11_max_incomplete_event_size=MAX_HEAD_BYTES,
        ssl_certfile=None if http.cert is None else str(http.cert),
        ssl_keyfile=None if http.key is None else str(http.key),
        server_header=False,
    )
    server = uvicorn.Server(config)
    bound = sock.getsockname()[1]
    where = f"[{host}]" if ":" in host else host
    thread = threading.Thread(target=_run, args=(server, sock, http.header_timeout if http.tls else None), name=f"station-http-{bound}", daemon=True)
    hub.add(metrics.on_round)
    hub.add(feed.on_round)
    listeners = [metrics.on_round, feed.on_round]
    scheme = "https" if http.tls else "http"
    srv = HttpServer(f"{scheme}://{where}:{bound}/", server, thread, sock, hub, listeners, feed)
    thread.start()
    while not server.started:
        if not thread.is_alive():
            srv.stop()
            raise RuntimeError(f"the page's server did not start on {host}:{bound}")
        thread.join(0.01)
    log.info("station page at %s", srv.url)
    return srv
