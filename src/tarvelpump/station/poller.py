"""The poller: rounds of exchanges over one link, on a worker thread of its own.

A round reads every pump's alarm word first, then (every ``status_every``
rounds) the rest of its status. The exchanges are ordered so that

    two consecutive exchanges on a link never send the same command to
    different pumps,

so a reply that arrives one exchange late fails the driver's application
header test (INVALID_APP_DATA) instead of being credited to the next pump.
A reply later still is met by the link's guard: after a failed exchange the
line is kept quiet and cleared before the next request (see ``link``).

How the order is built (``RoundPlan``): a round is a sequence of passes,
each a list of *units*, one per pump; a unit is the commands one pump gets
in that pass, at least two distinct ones (first pass: alarm word and running
state; status pass: door, remaining time, rate unit). A unit's exchanges run
back to back, so inside a unit consecutive exchanges go to the same pump.
When a unit starts, it is rotated so its first command differs from the
last command sent on the link; since it holds two distinct commands, such a
rotation always exists. So every pair of consecutive exchanges is either
inside a unit (same pump) or at a unit start (different command). A pump
that is skipped only ends its unit early, and the next unit is rotated
against what was actually sent last, across rounds too. Hence the rule holds
for any number of pumps and any pattern of silent or skipped pumps.

A pump silent on its first request of a round is skipped for the rest of
it; after ``offline_after`` rounds without a good reply it is offline and
only probed (one request) with back-off, at least every ``retry_ceiling``
seconds. A failing port ends the round: nothing is counted against the
pumps, and the worker retries the port with back-off until it is back.
"""

from __future__ import annotations

import dataclasses
import logging
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from datetime import datetime

from .. import comm
from . import events
from .hub import Hub
from .link import Link, LinkClosedError
from .model import OFFLINE, ONLINE, Event, PumpView, Reading, RoundResult, now
from .pump import Answer, Pump, decode_alarms

__all__ = ["FIRST_PASS", "STATUS_PASS", "PollSettings", "Poller", "RoundPlan", "rotate"]

log = logging.getLogger(__name__)

Cmd = comm.Command
Code = comm.DeviceReturnCode
Prefix = tuple[int, ...]
Key = tuple[Prefix, int]  #: (pump prefix, command code) of one exchange

#: Read every round: the alarm word, and the running state beside it (the
#: alarm reads of two pumps may not follow each other, so each pump's is
#: paired with a second command, and the running state is the one worth most).
FIRST_PASS: tuple[comm.Option, ...] = (Cmd.GET_PUMP_ALARM, Cmd.GET_PUMP_STATUS)
#: The rest of the status, every ``status_every`` rounds.
STATUS_PASS: tuple[comm.Option, ...] = (Cmd.GET_PUMPDOOR_STATUS, Cmd.GET_REMAIN_TIME, Cmd.GET_RATE_UNIT)

LINK_RETRY_MAX = 2.0  # seconds between attempts to reopen a vanished port, at most


@dataclasses.dataclass
class PollSettings:
    gap: float = 0.1  #: seconds between two exchanges on a link
    status_every: int = 1  #: rounds between full status reads; alarms every round
    offline_after: int = 3  #: silent rounds before a pump counts as offline
    retry_ceiling: float = 30.0  #: an offline pump is retried at least this often (seconds)
    near_end_s: int = 600  #: remaining time under this raises near_end

    def __post_init__(self) -> None:
        if self.gap < 0:
            raise ValueError(f"gap must not be negative, not {self.gap!r}")
        if self.status_every < 1:
            raise ValueError(f"status_every must be at least 1, not {self.status_every!r}")
        if self.offline_after < 1:
            raise ValueError(f"offline_after must be at least 1, not {self.offline_after!r}")
        if self.retry_ceiling <= 0:
            raise ValueError(f"retry_ceiling must be positive, not {self.retry_ceiling!r}")


def rotate(unit: Sequence[comm.Option], pump: Prefix, last: Key | None) -> list[comm.Option]:
    """``unit`` rotated so its first exchange may follow ``last`` on the line."""
    if last is None or last[0] == pump:
        return list(unit)
    for i, command in enumerate(unit):
        if int(command) != last[1]:
            return list(unit[i:]) + list(unit[:i])
    raise ValueError("a unit needs two distinct commands")


class RoundPlan:
    """The exchanges of one round, in order, as (prefix, command) pairs.

    ``passes``: for each pass, (pump prefix, commands) per pump. ``last``
    gives the last exchange made on the line (it is asked at each unit's
    start). ``skip(prefix)`` drops the rest of a pump's exchanges this round.
    """

    def __init__(
        self,
        passes: Sequence[Sequence[tuple[Prefix, Sequence[comm.Option]]]],
        last: Callable[[], Key | None],
    ) -> None:
        for units in passes:
            for _, unit in units:
                if len({int(c) for c in unit}) < 2:
                    raise ValueError("a unit needs two distinct commands")
        self._passes = passes
        self._last = last
        self._skipped: set[Prefix] = set()

    def skip(self, pump: Prefix) -> None:
        self._skipped.add(pump)

    def __iter__(self) -> Iterator[tuple[Prefix, comm.Option]]:
        for units in self._passes:
            for pump, unit in units:
                if pump in self._skipped:
                    continue
                for command in rotate(unit, pump, self._last()):
                    if pump in self._skipped:
                        break
                    yield pump, command


@dataclasses.dataclass
class _Track:
    """What the poller keeps of one pump between rounds."""

    pump: Pump
    view: PumpView
    silent_rounds: int = 0
    offline: bool = False
    retry_at: float = 0.0  #: monotonic time of the next try while offline
    backoff: float = 0.0


@dataclasses.dataclass
class _Take:
    """What one round got from one pump."""

    time: datetime
    values: dict[int, tuple[int, ...]] = dataclasses.field(default_factory=dict)
    codes: dict[str, int] = dataclasses.field(default_factory=dict)
    link_time: float = 0.0
    last_ok: datetime | None = None  #: when a good reply last came; None: none this round
    early: bool = False  #: the first pass's news has been handed on


def _snapshot(view: PumpView) -> PumpView:
    return dataclasses.replace(view, alarms=list(view.alarms), malformed=dict(view.malformed))


class Poller:
    """Polls the pumps of one link in rounds and publishes each to the hub."""

    def __init__(
        self,
        link: Link,
        pumps: list[Pump],
        settings: PollSettings,
        hub: Hub,
        *,
        station: str = "",
        initial: dict[str, PumpView] | None = None,
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
        self._tracks = {
            p.prefix: _Track(
                p, PumpView(p.id, p.label, link.name, p.addr, p.channel, station=station)
            )
            for p in pumps
        }
        self._round = 0
        self._round_lock = threading.Lock()
        self._stopping = threading.Event()
        self._thread: threading.Thread | None = None
        self._last_end = 0.0  # monotonic end of our last exchange, for the gap
        self._link_up = True
        self._down_since: datetime | None = None
        self._link_backoff = 0.0

    @property
    def pumps(self) -> list[Pump]:
        return [t.pump for t in self._tracks.values()]

    def views(self) -> list[PumpView]:
        """Copies of the pumps' views: consumers on other threads keep them as they were."""
        return [_snapshot(t.view) for t in self._tracks.values()]

    # -- one round ---------------------------------------------------------

    def run_round(self) -> RoundResult:
        """One round, on the caller's thread; the result goes to the hub, then back."""
        with self._round_lock:
            result = self._one_round()
        if result.exchanges or result.events:  # nothing due (or stopped before it began): no news
            self.hub.publish(result)
        return result

    def _one_round(self) -> RoundResult:
        st = self.settings
        started, t0 = now(), time.monotonic()
        status_round = self._round % st.status_every == 0
        self._round += 1
        due = [t for t in self._tracks.values() if not t.offline or t0 >= t.retry_at]
        passes = [[(t.pump.prefix, FIRST_PASS) for t in due]]
        if status_round:
            passes.append([(t.pump.prefix, STATUS_PASS) for t in due])
        plan = RoundPlan(passes, self.link.last)
        takes: dict[Prefix, _Take] = {}
        produced: list[Event] = []
        exchanges = 0
        link_failed = False
        for prefix, command in plan:
            if not self._pause():
                break
            answer: Answer[object] = self._tracks[prefix].pump.ask(command)
            self._last_end = time.monotonic()
            exchanges += 1
            # The link may come back and fail again within one round: each change is an event.
            produced += self._link_changed(answer.code != Code.EXCEPTION)
            if answer.code == Code.EXCEPTION:
                # The port failed, not the pump: nothing is counted against it.
                link_failed = True
                break
            first = prefix not in takes
            take = takes.setdefault(prefix, _Take(answer.time))
            self._record(take, answer)
            # Silent at first: skipped for the round. An offline pump is only
            # probed: without a good reply it is not back (garbage proves nothing).
            if first and (answer.code == Code.NO_DATA_RETURN or (self._tracks[prefix].offline and not answer.ok)):
                plan.skip(prefix)
            elif not take.early and all(c.name in take.codes for c in FIRST_PASS):
                self._publish_early(self._tracks[prefix], take, started, t0)

        end = now()
        is_up = self._link_up
        if link_failed:
            self._link_backoff = min(LINK_RETRY_MAX, max(self._link_backoff * 2, st.gap, 0.05))
        else:
            self._link_backoff = 0.0

        readings: list[Reading] = []
        for prefix, take in takes.items():
            track = self._tracks[prefix]
            before = _snapshot(track.view)
            self._update(track, take)
            readings.append(self._reading(track, take))
            produced += events.pump_events(before, track.view, time=end, near_end_s=st.near_end_s)
        return RoundResult(
            link=self.link.name,
            started=started,
            duration_s=time.monotonic() - t0,
            exchanges=exchanges,
            readings=tuple(readings),
            events=tuple(produced),
            views=tuple(self.views()),
            link_up=is_up,
        )

    def _publish_early(self, track: _Track, take: _Take, started: datetime, t0: float) -> None:
        """Hand on at once what the pump's first pass changed (an alarm above all).

        Only values are applied here; counters and online state wait for the
        round's end, which then finds these changes already made and does not
        report them twice. An offline pump's news waits for the round too, so
        that it comes back online before its alarms are reported.
        """
        take.early = True
        if track.offline:
            return
        before = _snapshot(track.view)
        self._apply_values(track.view, take)
        found = events.pump_events(before, track.view, time=now(), near_end_s=self.settings.near_end_s)
        if found:
            self.hub.publish(RoundResult(
                link=self.link.name,
                started=started,
                duration_s=time.monotonic() - t0,
                exchanges=0,
                readings=(),
                events=tuple(found),
                views=(_snapshot(track.view),),
                partial=True,
            ))

    def _link_changed(self, up: bool) -> list[Event]:
        t = now()
        out = events.link_events(
            self.link.name, self._link_up, up, time=t, error=self.link.error, down_since=self._down_since
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

    @staticmethod
    def _record(take: _Take, answer: Answer[object]) -> None:
        take.codes[answer.command.name] = answer.code
        take.link_time += answer.link_time_s
        if answer.ok and answer.data is not None:
            take.values[int(answer.command)] = answer.data
            take.last_ok = answer.time

    def _update(self, track: _Track, take: _Take) -> None:
        st, view = self.settings, track.view
        for code_name, code in take.codes.items():
            if code == Code.SUCCESS:
                view.answered += 1
            elif code == Code.NO_DATA_RETURN:
                view.silent += 1
            else:
                entry = Code.get_option_by_code(code)
                name = str(code) if entry is None else str(entry.name)
                view.malformed[name] = view.malformed.get(name, 0) + 1
        if take.last_ok is not None:
            view.last_seen = take.last_ok
        # Only a good reply proves the pump is there: garbage on the line or
        # another pump's late reply must not keep a vanished pump online.
        if take.last_ok is None:
            track.silent_rounds += 1
            if track.silent_rounds >= st.offline_after:
                if not track.offline:
                    log.info("%s: offline after %d silent rounds", track.pump.label, track.silent_rounds)
                    track.offline = True
                    track.backoff = 0.0
                # Back off from one time-out's worth, doubling, capped by the ceiling.
                base = max(self.link.timeout, st.gap)
                track.backoff = min(st.retry_ceiling, track.backoff * 2 if track.backoff else base)
                track.retry_at = time.monotonic() + track.backoff
                view.presence, view.offline_reason = OFFLINE, "no answer"
        else:
            if track.offline:
                log.info("%s: back online", track.pump.label)
            track.silent_rounds = 0
            track.offline = False
            track.backoff = 0.0
            view.presence, view.offline_reason = ONLINE, None
        self._apply_values(view, take)

    @staticmethod
    def _apply_values(view: PumpView, take: _Take) -> None:
        v = take.values
        if (data := v.get(int(Cmd.GET_PUMP_STATUS))) is not None:
            view.running = data[0]
            entry = comm.PumpStatus.get_option_by_code(data[0])
            view.running_name = None if entry is None else str(entry.name)
            view.running_text = None if entry is None else entry.text
        if (data := v.get(int(Cmd.GET_PUMPDOOR_STATUS))) is not None:
            view.door = data[0]
        if (data := v.get(int(Cmd.GET_REMAIN_TIME))) is not None:
            view.remaining_s = data[0] * 3600 + data[1] * 60
        if (data := v.get(int(Cmd.GET_RATE_UNIT))) is not None:
            view.rate_unit = data[0]
            entry = comm.RateUnit.get_option_by_code(data[0])
            view.rate_unit_text = None if entry is None else entry.text
        if (data := v.get(int(Cmd.GET_PUMP_ALARM))) is not None:
            alarms = decode_alarms(data[0] << 8 | data[1])
            top = alarms.top
            if top is None:
                view.alarm_since = None
            elif top.name != view.top_alarm:
                view.alarm_since = take.time
            view.alarm_word = alarms.word
            view.alarms = alarms.names
            view.top_alarm = None if top is None else str(top.name)
            view.top_alarm_text = None if top is None else top.text
            view.top_alarm_rank = alarms.top_rank

    def _reading(self, track: _Track, take: _Take) -> Reading:
        v = take.values

        def first(command: comm.Option) -> int | None:
            data = v.get(int(command))
            return None if data is None else data[0]

        remain = v.get(int(Cmd.GET_REMAIN_TIME))
        alarm = v.get(int(Cmd.GET_PUMP_ALARM))
        return Reading(
            pump=track.pump.label,
            link=self.link.name,
            time=take.time,
            running=first(Cmd.GET_PUMP_STATUS),
            door=first(Cmd.GET_PUMPDOOR_STATUS),
            remaining_s=None if remain is None else remain[0] * 3600 + remain[1] * 60,
            rate_unit=first(Cmd.GET_RATE_UNIT),
            alarm_word=None if alarm is None else alarm[0] << 8 | alarm[1],
            codes=dict(take.codes),
            link_time_s=round(take.link_time, 6),
        )

    # -- the worker ----------------------------------------------------------

    def start(self) -> None:
        if self._thread is not None:
            raise RuntimeError(f"the poller of {self.link.name!r} is already running")
        self._stopping.clear()
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
        while not self._stopping.is_set():
            try:
                result = self.run_round()
            except LinkClosedError:
                log.warning("link %s was closed under its poller; the poller stops", self.link.name)
                return
            except Exception:
                # A bug in one round must not end the watch; the next may fare better.
                log.exception("round on %s failed", self.link.name)
                self._stopping.wait(max(self.settings.gap, 1.0))
                continue
            self._stopping.wait(self._idle(result))

    def _idle(self, result: RoundResult) -> float:
        if not result.link_up:
            return self._link_backoff
        if result.exchanges:
            return 0.0  # the gap before the next exchange paces the rounds
        # Nothing was due: sleep until the first offline pump is (no pumps: the ceiling).
        waits = [t.retry_at - time.monotonic() for t in self._tracks.values() if t.offline]
        return max(self.settings.gap, min(waits, default=self.settings.retry_ceiling))
