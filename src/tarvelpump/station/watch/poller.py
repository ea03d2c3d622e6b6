"""The poller: passes over one link, on a worker thread of its own.

Each pass asks every due pump for its alarm word and one or more other
reads (``schedule``), so an alarm is seen within one pass and every pump
still gets its whole status within ``status_within``. What a pump's alarm
word changed is handed on as soon as it is read, before the unit's other
reads; what those change, as soon as the unit is done; the pass's own result
(its readings, exchange count and duration) follows at its end.

A pump silent on its first request of a pass is skipped for the rest of it,
so a silent pump costs one time-out per pass; after ``offline_after``
passes without a good reply it is offline ("no answer") and only probed
with back-off, at least every ``retry_ceiling`` seconds. A failing port
ends the pass and puts every pump of the link offline at once ("radio
down"); the worker retries the port with back-off until it is back. A pump
is online only from a good answer on: until then it is unheard.
"""

from __future__ import annotations

import logging
import threading
import time
from collections.abc import Mapping
from datetime import datetime

from ... import comm
from ..records import events
from ..settings.config import PollConfig
from ..hub import Hub
from .link import Link, LinkClosedError
from ..records.kinds import PollerFailed, PollerRecovered
from ..records.model import Event, PumpView, Reading, RoundResult, now
from .projection import copy_view
from .pump import Answer, Pump
from .schedule import ALARM, PassPlan, Prefix
from .tracking import Track, Unit

__all__ = ["PollSettings", "Poller"]

log = logging.getLogger(__name__)

Code = comm.DeviceReturnCode

LINK_RETRY_MAX = 2.0  # seconds between attempts to reopen a vanished port, at most


#: The poller's settings are the configuration's [poll] table, bounds and all.
PollSettings = PollConfig


class Poller:
    """Polls the pumps of one link in passes and publishes each to the hub.

    ``initial``: the pumps' views as last committed (by label), so that a
    restart continues where the station stopped.
    """

    def __init__(
        self,
        link: Link,
        pumps: list[Pump],
        settings: PollSettings,
        hub: Hub,
        *,
        station: str = "",
        initial: Mapping[str, PumpView] | None = None,
    ) -> None:
        seen: dict[Prefix, str] = {}
        for pump in pumps:
            if pump.link is not link:
                raise ValueError(f"pump {pump.label!r} is on link {pump.link.name!r}, not {link.name!r}")
            if pump.prefix in seen:
                raise ValueError(
                    f"pumps {seen[pump.prefix]!r} and {pump.label!r} share the radio prefix {list(pump.prefix)}"
                )
            seen[pump.prefix] = pump.label
        self.link = link
        self.settings = settings
        self.hub = hub
        self.station = station
        initial = initial or {}
        self._tracks = {
            p.prefix: Track(p, PumpView(p.id, p.label, link.name, p.addr, p.channel, station=station),
                            settings.status_within, initial.get(p.label), settings.fresh, i / len(pumps))
            for i, p in enumerate(pumps)
        }
        self._round_lock = threading.Lock()
        self._stopping = threading.Event()
        self._thread: threading.Thread | None = None
        self._last_end = 0.0  # monotonic end of our last exchange, for the gap
        self._pass_s = 0.0  # how long the last whole pass took
        self._link_up = True
        self._down_since: datetime | None = None
        self._link_backoff = 0.0

    @property
    def pumps(self) -> list[Pump]:
        return [t.pump for t in self._tracks.values()]

    def views(self) -> list[PumpView]:
        """Copies of the pumps' views: consumers on other threads keep them as they were."""
        return [copy_view(t.view) for t in self._tracks.values()]

    # -- one pass ----------------------------------------------------------

    def run_round(self) -> RoundResult:
        """One pass, on the caller's thread; its result goes to the hub, then back."""
        with self._round_lock:
            result = self._one_pass()
        if result.exchanges or result.events:  # nothing due (or stopped before it began): no news
            self.hub.publish(result)
        return result

    def _one_pass(self) -> RoundResult:
        st = self.settings
        started, t0 = now(), time.monotonic()
        due = {t.pump.prefix: t.clock.unit(t0, self._pass_s) for t in self._tracks.values() if t.due(t0)}
        plan = PassPlan(list(due.items()), self.link.last)
        units: dict[Prefix, Unit] = {}
        readings: list[Reading] = []
        produced: list[Event] = []
        exchanges = 0
        link_failed = False
        current: Prefix | None = None  # the pump whose unit is under way
        for prefix, command in plan:
            if not self._pause():
                break
            track = self._tracks[prefix]
            answer: Answer[object] = track.pump.ask(command)
            self._last_end = time.monotonic()
            exchanges += 1
            # The link may come back and fail again within one pass: each change is an event.
            changed = self._link_changed(answer.code != Code.EXCEPTION)
            if changed and self._link_up:
                # Back: said at once, as it happened, before its pumps are said to be back.
                self._publish(changed)
            else:
                produced += changed
            if answer.code == Code.EXCEPTION:
                # The port failed, not the pump: nothing is counted against it
                # (what it said before the failure still counts).
                link_failed = True
                break
            first = prefix not in units
            unit = units.setdefault(prefix, Unit(answer.time, t0))
            unit.record(answer)
            current = prefix
            # Silent at first: skipped for the pass. An offline pump is only
            # probed: without a good reply it is not back (garbage proves nothing).
            skipped = first and (answer.code == Code.NO_DATA_RETURN or (track.probing and not answer.ok))
            if skipped:
                plan.skip(prefix)
            if skipped or unit.asked == len(due[prefix]):
                readings.append(self._finish(prefix, unit, started, t0))
                current = None
            elif int(command) == int(ALARM) and answer.ok:
                self._early(prefix, unit, started, t0)
        if current is not None:
            readings.append(self._finish(current, units[current], started, t0))

        end = now()
        duration = time.monotonic() - t0
        if link_failed:
            self._link_backoff = min(LINK_RETRY_MAX, max(self._link_backoff * 2, st.gap, 0.05))
            for track in self._tracks.values():
                produced += track.radio_down(self.link.error, end, st.near_end_s)
        else:
            self._link_backoff = 0.0
            if exchanges and len(units) == len(due):
                # The pace the schedule plans from: a pass of two reads a pump, whatever
                # this one read (the schedule works out what its bounds add).
                self._pass_s = duration * 2 * len(units) / exchanges
                for track in self._tracks.values():
                    track.view.round_s = round(duration, 3)
        return RoundResult(
            link=self.link.name,
            started=started,
            duration_s=duration,
            exchanges=exchanges,
            readings=tuple(readings),
            events=tuple(produced),
            views=tuple(self.views()),
            link_up=self._link_up,
        )

    def _early(self, prefix: Prefix, unit: Unit, started: datetime, t0: float) -> None:
        """A pump's alarm word is read, its other reads not yet: hand on at once what it changed."""
        track = self._tracks[prefix]
        self._news(track, track.early(unit, near_end_s=self.settings.near_end_s), started, t0)

    def _finish(self, prefix: Prefix, unit: Unit, started: datetime, t0: float) -> Reading:
        """A pump's unit is done: apply it, and hand on at once what it changed.

        The pass's own result then carries the reading, not these events
        again; early news is never a round of its own."""
        track = self._tracks[prefix]
        st = self.settings
        reading, found = track.take(unit, time.monotonic(), offline_after=st.offline_after,
                                    retry_base=max(self.link.timeout, st.gap),
                                    retry_ceiling=st.retry_ceiling, near_end_s=st.near_end_s)
        self._news(track, found, started, t0)
        return reading

    def _news(self, track: Track, found: list[Event], started: datetime, t0: float) -> None:
        if found:
            self.hub.publish(RoundResult(
                link=self.link.name,
                started=started,
                duration_s=time.monotonic() - t0,
                exchanges=0,
                readings=(),
                events=tuple(found),
                views=(copy_view(track.view),),
                partial=True,
            ))

    def _link_changed(self, up: bool) -> list[Event]:
        t = now()
        out = events.link_events(
            self.link.name, self._link_up, up, time=t, error=self.link.error, down_since=self._down_since,
            station=self.station,
        )
        if self._link_up and not up:
            self._down_since = t
        self._link_up = up
        return out

    def _pause(self) -> bool:
        """Wait out the gap since our last exchange; False when stopping."""
        delay = self._last_end + self.settings.gap - time.monotonic()
        if delay > 0:
            return not self._stopping.wait(delay)
        return not self._stopping.is_set()

    # -- the worker ----------------------------------------------------------

    def start(self) -> None:
        if self._thread is not None:
            raise RuntimeError(f"the poller of {self.link.name!r} is already running")
        self._stopping.clear()
        # Every pump is listed from the start, as not yet heard, not only once its turn has come.
        t = now()
        self.hub.publish(RoundResult(link=self.link.name, started=t, duration_s=0.0, exchanges=0, readings=(),
                                     events=(), views=tuple(self.views()), link_up=self._link_up, partial=True))
        self._thread = threading.Thread(target=self._work, name=f"poller {self.link.name}", daemon=True)
        self._thread.start()

    def stop(self, timeout: float = 5.0) -> None:
        """Stop after the exchange in progress; wait up to ``timeout`` s. Idempotent."""
        thread = self._thread
        self._stopping.set()
        if thread is None:
            return
        thread.join(timeout)
        if thread.is_alive():
            log.warning("the poller of %s did not stop within %.1f s", self.link.name, timeout)
            return
        self._thread = None

    def _work(self) -> None:
        failures = 0
        while not self._stopping.is_set():
            try:
                result = self.run_round()
            except LinkClosedError:
                log.warning("link %s was closed under its poller; the poller stops", self.link.name)
                return
            except Exception as exc:
                # A fault in one pass must not end the watch, and must not go on
                # quietly either: said once, with its traceback, then counted.
                failures += 1
                if failures == 1:
                    log.exception("passes on %s fail; the poller keeps trying", self.link.name)
                    self._publish([PollerFailed(pump=None, link=self.link.name, time=now(), station=self.station,
                                                error=f"{type(exc).__name__}: {exc}")])
                self._stopping.wait(max(self.settings.gap, 1.0))
                continue
            if failures:
                log.warning("passes on %s work again after %d failed", self.link.name, failures)
                self._publish([PollerRecovered(pump=None, link=self.link.name, time=now(), station=self.station,
                                               failures=failures)])
                failures = 0
            self._stopping.wait(self._idle(result))

    def _publish(self, found: list[Event]) -> None:
        """Early news of the link itself: no round of its own."""
        self.hub.publish(RoundResult(link=self.link.name, started=found[0].time, duration_s=0.0, exchanges=0,
                                     readings=(), events=tuple(found), views=(), link_up=self._link_up,
                                     partial=True))

    def _idle(self, result: RoundResult) -> float:
        if not result.link_up:
            return self._link_backoff
        if result.exchanges:
            return 0.0  # the gap before the next exchange paces the rounds
        # Nothing was due: sleep until the first offline pump is (no pumps: the ceiling).
        waits = [t.retry_at - time.monotonic() for t in self._tracks.values() if t.probing]
        return max(self.settings.gap, min(waits, default=self.settings.retry_ceiling))
