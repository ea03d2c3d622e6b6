"""Fan-out of round results from the pollers to the store and the outputs.

A station's hub commits every round before anyone hears of it: its
committer (the store, see ``commit_through``) takes the round first, and only
a committed round reaches the listeners (the page, metrics, MQTT, the
terminal) and the hub's own views, in the order the rounds were committed.

A round the store cannot take (a full disk, a file made read-only) is kept
in memory, in order, and committed with the ones after it as soon as the
store takes writes again: the outputs wait meanwhile, so nothing is shown
that could still be lost. The outage is logged once, with its cause, and
once when it ends; ``health()`` says so all along. Past ``max_pending``
rounds kept, the hub gives up: ``failed`` is set and ``failure`` says which
store and why, and the station stops (exit 1) rather than go on losing
rounds.

Listeners are called one round at a time, on the thread that published it
(a poller's, or an output's telling of its own event, e.g. ``hl7_rejected``) or, for rounds kept through an outage, on the one that finally
committed them (possibly the hub's own retry thread). A listener
must not block: outputs hand the result to their own thread or event loop. A
failing listener is logged and the others still run, so an output can never
stop the polling. A hub without a committer (a view fed from a broker) hands
each round straight on.
"""

from __future__ import annotations

import logging
import threading
import time
from collections.abc import Callable, Sequence
from datetime import datetime
from typing import Any

from .records.model import PumpView, RoundResult, now

log = logging.getLogger(__name__)

Listener = Callable[[RoundResult], None]
#: Commits rounds in order, all or none; raises why when it cannot.
Committer = Callable[[Sequence[RoundResult]], None]

#: Rounds kept in memory while the store takes no writes, by default (about
#: 30 KB each with 30 pumps on the link: some 60 MB at most).
MAX_PENDING = 2000
#: Rounds per transaction when catching up after an outage: the pollers wait
#: for the hub meanwhile, so each step stays short.
_CATCH_UP = 100


class Hub:
    def __init__(self) -> None:
        self._lock = threading.Lock()  # listeners, views, health
        # One round at a time from its commit to its last listener, so every
        # output hears the rounds in the order they were committed.
        self._order = threading.Lock()
        self._listeners: list[Listener] = []
        self._views: dict[str, PumpView] = {}
        self._store: dict[str, Any] | None = None  # None: no store behind this hub
        self._outputs: dict[str, Callable[[], dict[str, Any]]] = {}
        self._other: dict[str, dict[str, Any]] = {}  # see set_health
        self._commit: Committer | None = None
        self._name = ""
        self._max_pending = MAX_PENDING
        self._retry_every = 1.0
        self._pending: list[RoundResult] = []
        self._down_since: datetime | None = None
        self._down_t = 0.0
        self._error = ""
        self._next_try = 0.0
        self._closed = False
        self._retrier: threading.Thread | None = None
        self._stop_retrying = threading.Event()
        #: Set when rounds were (or are about to be) lost: the station must stop.
        self.failed = threading.Event()
        #: What ``failed`` is about, in one line naming the store and the cause.
        self.failure: str | None = None

    def add(self, listener: Listener) -> Callable[[], None]:
        """Hand every committed round to ``listener`` from now on; the function
        returned takes it off again (once; later calls do nothing)."""
        with self._lock:
            self._listeners.append(listener)

        def remove() -> None:
            with self._lock:
                if listener in self._listeners:
                    self._listeners.remove(listener)

        return remove

    def commit_through(self, commit: Committer, *, name: str, max_pending: int = MAX_PENDING,
                       retry_every: float = 1.0) -> None:
        """Commit every round through ``commit`` before handing it on.

        ``name`` (the store's file) is what the log and ``failure`` call the
        store; ``max_pending``: rounds kept in memory while it takes no
        writes before the hub gives up; ``retry_every``: seconds between two
        attempts meanwhile (with or without new rounds).
        """
        if max_pending < 1:
            raise ValueError(f"max_pending must be at least 1, not {max_pending!r}")
        with self._order:
            self._commit = commit
            self._name = name
            self._max_pending = max_pending
            self._retry_every = retry_every
        self.set_store(True, since=now())

    def publish(self, result: RoundResult) -> None:
        """Commit the round (with any kept before it), then hand on what was committed."""
        with self._order:
            if self.failed.is_set():
                return  # the station is stopping; what is kept is already more than may be
            self._pending.append(result)
            self._deliver(self._flush())

    def close(self) -> int:
        """Stop retrying and try once more to commit what is kept (the outputs
        still hear of it); the number of rounds that remain uncommitted. Those
        are lost: ``failed`` is set and ``failure`` says so."""
        self._stop_retrying.set()
        with self._order:
            self._closed = True
            if self._pending and self._commit is not None:
                self._next_try = 0.0
                self._deliver(self._flush())
            left = len(self._pending)
            if left and self.failure is None:
                self._fail(f"{left} rounds could not be committed before the station stopped")
            retrier = self._retrier
        if retrier is not None and retrier is not threading.current_thread():
            retrier.join(5.0)
        return left

    # -- committing, under self._order ----------------------------------------------

    def _flush(self) -> list[RoundResult]:
        """Commit what is kept, oldest first; the rounds now committed."""
        if self._commit is None:
            straight, self._pending = self._pending, []
            return straight
        if not self._pending or (self._down_since is not None and time.monotonic() < self._next_try):
            self._check_bound()
            return []
        done: list[RoundResult] = []
        while self._pending:
            # One transaction in the common case; in steps when catching up.
            batch = self._pending[:_CATCH_UP]
            try:
                self._commit(batch)
            except Exception as exc:
                self._went_down(exc)
                break
            del self._pending[:len(batch)]
            done += batch
        if not self._pending and self._down_since is not None:
            self._came_back(len(done))
        return done

    def _went_down(self, exc: Exception) -> None:
        self._error = str(exc) or type(exc).__name__
        self._next_try = time.monotonic() + self._retry_every
        if self._down_since is None:
            self._down_since, self._down_t = now(), time.monotonic()
            log.error("store %s not writable since %s: %s; rounds are kept in memory (up to %d) and committed "
                      "when it takes writes again; the page, history and MQTT wait meanwhile", self._name,
                      self._down_since.astimezone().isoformat(timespec="seconds"), self._error,
                      self._max_pending)
            self._start_retrier()
        else:
            log.debug("store %s still not writable: %s", self._name, self._error)
        self.set_store(False, since=self._down_since, error=self._error, pending=len(self._pending))
        self._check_bound()

    def _came_back(self, committed: int) -> None:
        log.warning("store %s writable again after %.0f s: %d rounds kept meanwhile are committed", self._name,
                    time.monotonic() - self._down_t, committed)
        self._down_since = None
        self._error = ""
        self.set_store(True, since=now())

    def _check_bound(self) -> None:
        if self._down_since is None:
            return
        self.set_store(False, since=self._down_since, error=self._error, pending=len(self._pending))
        if len(self._pending) > self._max_pending and not self.failed.is_set():
            self._fail(f"more than {self._max_pending} rounds could not be committed")

    def _fail(self, what: str) -> None:
        cause = f" ({self._error})" if self._error else ""
        self.failure = f"store {self._name}: {what}{cause}; stopping"
        self.failed.set()

    def _start_retrier(self) -> None:
        """Go on trying while no round comes to do it (every pump quiet, say)."""
        if self._retrier is None and not self._closed:
            self._retrier = threading.Thread(target=self._retry, name="store retry", daemon=True)
            self._retrier.start()

    def _retry(self) -> None:
        while not self._stop_retrying.wait(self._retry_every):
            with self._order:
                if self._closed or self.failed.is_set():
                    break
                self._deliver(self._flush())
                if self._down_since is None:
                    self._retrier = None
                    return
        with self._order:
            self._retrier = None

    def _deliver(self, results: list[RoundResult]) -> None:
        for result in results:
            with self._lock:
                for view in result.views:
                    self._views[view.id] = view
                for gone in result.gone:
                    self._views.pop(gone, None)
                listeners = list(self._listeners)
            for listener in listeners:
                try:
                    listener(result)
                except Exception:
                    log.exception("a station output failed on a round of %s", result.link)

    # -- what the outputs read ------------------------------------------------------

    def views(self) -> list[PumpView]:
        """The latest committed view of every pump heard of so far."""
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

    def add_output(self, name: str, status: Callable[[], dict[str, Any]]) -> None:
        """An output that says how it fares (where it sends, what waits, what
        was refused): ``status`` is asked, cheaply, whenever ``health`` is."""
        with self._lock:
            self._outputs[name] = status

    def set_health(self, what: str, figures: dict[str, Any]) -> None:
        """Record figures of another part than the store (a view's source: its
        bounds and what it refused), shown in ``health()`` under ``what``."""
        with self._lock:
            self._other[what] = figures

    def health(self) -> dict[str, Any]:
        """What the outputs need to say beside the views: ``store`` is None
        where nothing is stored (a view fed from a broker); ``outputs`` what
        each output that reports its status says."""
        with self._lock:
            store = None if self._store is None else dict(self._store)
            outputs = list(self._outputs.items())
            other = dict(self._other)
        said: dict[str, Any] = {}
        for name, status in outputs:
            try:
                said[name] = status()
            except Exception:  # a failing output must not hide the others, nor the store
                log.exception("the status of output %s failed", name)
        return {**other, "store": store, "outputs": said}
