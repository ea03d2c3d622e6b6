"""``tarvelpump station view``: the live page fed from a broker instead of serial links.

One screen for several gateways: every station of a site publishes to the
broker (``--mqtt`` on ``station run``), and a view subscribes to the site
(``mqtt://host/site``) or to one ward (``mqtt://host/site/ward``). No port is
opened and nothing is stored; the page shows what the broker has retained
and what arrives.
"""

from __future__ import annotations

import logging
from typing import TYPE_CHECKING

from ..hub import Hub
from ..settings.config import HttpConfig, check_exposure, parse_hostport
from ..watch.presence import VIEW_STALE_FLOOR_S
from .mqtt_source import (
    FORGET_AFTER_S,
    MAX_PUMPS,
    MAX_PUMPS_PER_WARD,
    OFFLINE_AFTER_S,
    MqttSource,
)

if TYPE_CHECKING:
    from ..outputs.web import HttpServer

__all__ = ["View"]

log = logging.getLogger(__name__)


class View:
    """A hub fed by ``MqttSource`` and the page served over it (port 0: a free one).

    The page's title is the site (and the ward, for a view of one); tiles and
    event lines name the ward of each pump. ``near_end_s`` marks tiles near
    their end (the gateways' own thresholds are not published). A pump's
    news counts as stale only after ``VIEW_STALE_FLOOR_S`` at least: a
    gateway republishes an unchanged state every 15 s. ``max_pumps``,
    ``max_pumps_per_ward``, ``offline_after`` and ``forget_after`` bound what
    publishers can make it hold (see ``MqttSource``).
    """

    def __init__(self, url: str, http: str = "127.0.0.1:8750", *, title: str = "",
                 near_end_s: int = 600, page: HttpConfig = HttpConfig(), max_pumps: int = MAX_PUMPS,
                 max_pumps_per_ward: int = MAX_PUMPS_PER_WARD, offline_after: float = OFFLINE_AFTER_S,
                 forget_after: float = FORGET_AFTER_S) -> None:
        self.host, self.port = parse_hostport(http)  # a bad address fails before any connection
        check_exposure(self.host, page, key="--http")  # and so does one beyond loopback without a log-in
        self.page = page
        self.hub = Hub()
        self.source = MqttSource(url, self.hub, max_pumps=max_pumps, max_pumps_per_ward=max_pumps_per_ward,
                                 offline_after=offline_after, forget_after=forget_after)
        broker = self.source.broker
        self.title = title or (f"{broker.site} · {broker.ward}" if broker.ward else broker.site)
        self.near_end_s = near_end_s
        self.stale_floor_s = VIEW_STALE_FLOOR_S
        self.url: str | None = None
        self._server: HttpServer | None = None

    def start(self) -> View:
        from ..outputs.web import (
            serve,  # the page's dependencies load only when a page is wanted
        )

        self.source.start()
        try:
            server = serve(self.hub, None, self.host, self.port, title=self.title, near_end_s=self.near_end_s,
                           stale_floor_s=self.stale_floor_s, wards=True, http=self.page)
        except BaseException:
            self.source.stop()
            raise
        self._server, self.url = server, server.url
        log.info("view of %s at %s", self.source.broker, self.url)
        return self

    def stop(self) -> None:
        server, self._server = self._server, None
        if server is not None:
            server.stop()
        self.source.stop()

    def __enter__(self) -> View:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

