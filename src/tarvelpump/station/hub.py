"""Fan-out of round results from the pollers to the store and the outputs.

Listeners are called on the poller's thread, in the order they were added
(the store first, so an event is committed before anyone else hears of it).
A listener must not block: outputs hand the result to their own thread or
event loop. A failing listener is logged and the others still run, so an
output can never stop the polling.
"""

from __future__ import annotations

import logging
import threading
from collections.abc import Callable
from datetime import datetime
from typing import Any

from .model import PumpView, RoundResult

log = logging.getLogger(__name__)

Listener = Callable[[RoundResult], None]


class Hub:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._listeners: list[Listener] = []
        self._views: dict[str, PumpView] = {}
        self._store: dict[str, Any] | None = None  # None: no store behind this hub

    def add(self, listener: Listener) -> None:
        with self._lock:
            self._listeners.append(listener)

    def remove(self, listener: Listener) -> None:
        with self._lock:
            self._listeners.remove(listener)

    def publish(self, result: RoundResult) -> None:
        with self._lock:
            for view in result.views:
                self._views[view.id] = view
            listeners = list(self._listeners)
        for listener in listeners:
            try:
                listener(result)
            except Exception:
                log.exception("a station output failed on a round of %s", result.link)

    def views(self) -> list[PumpView]:
        """The latest view of every pump heard of so far."""
        with self._lock:
            return list(self._views.values())

    def set_store(self, up: bool, *, since: datetime | None = None, error: str = "", pending: int = 0) -> None:
        """Record whether the store takes writes (``since``: when that began)."""
        with self._lock:
            self._store = {
                "up": up,
                "since": None if since is None else since.isoformat(),
                "error": error,
                "pending": pending,  # rounds kept in memory, waiting to be committed
            }

    def health(self) -> dict[str, Any]:
        """What the outputs need to say beside the views: ``store`` is None
        where nothing is stored (a view fed from a broker)."""
        with self._lock:
            return {"store": None if self._store is None else dict(self._store)}
