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

from .model import PumpView, RoundResult

log = logging.getLogger(__name__)

Listener = Callable[[RoundResult], None]


class Hub:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._listeners: list[Listener] = []
        self._views: dict[str, PumpView] = {}

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
