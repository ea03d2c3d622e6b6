"""What the poller keeps of one pump between passes, and how one unit's
answers change it: its view, counters, presence and what is due next.

A unit is applied in two steps when its alarm word comes first: as soon as
that word is read (``Track.early``: the alarm's news, and the pump online on
a good answer), then whole once the unit is done (``Track.take``: the other
reads, the counters, silence). Applying a read twice changes nothing, so the
second step raises only what the first could not know."""

from __future__ import annotations

import dataclasses
import logging
from collections.abc import Mapping
from datetime import datetime, timedelta
from typing import Any

from ... import comm
from ..records import events
from ..records.model import OFFLINE, ONLINE, UNHEARD, Event, PumpView, Reading
from .projection import alarms_of, copy_view, project, reading
from .pump import Alarms, Answer, Pump, decode_alarms
from .schedule import FIELDS, StatusClock

__all__ = ["Track", "Unit"]

log = logging.getLogger(__name__)

Code = comm.DeviceReturnCode


@dataclasses.dataclass
class Unit:
    """What one pump answered in one pass."""

    time: datetime  #: when its first request went out
    pass_start: float  #: monotonic start of the pass: what the status clock counts in
    reads: dict[int, Answer[Any]] = dataclasses.field(default_factory=dict)  #: good answers by command
    codes: dict[str, int] = dataclasses.field(default_factory=dict)  #: command name -> result code
    link_time: float = 0.0
    last_ok: datetime | None = None  #: when a good reply last came; None: none this pass
    asked: int = 0  #: exchanges made

    def record(self, answer: Answer[Any]) -> None:
        self.asked += 1
        self.codes[answer.command.name] = answer.code
        self.link_time += answer.link_time_s
        if answer.ok and answer.data is not None:
            self.reads[int(answer.command)] = answer
            self.last_ok = answer.time


class Track:
    """One pump as the poller follows it.

    ``restored``: the pump's view as last committed before a restart. The
    pump is shown unheard until it answers, with what was last known of it;
    the first answer is then compared with that view, so a condition that
    stood across the restart raises nothing new, and what changed meanwhile
    is marked as found after a gap. A value the restored view holds keeps
    the time it was read, so its age is said until it is read again.
    """

    def __init__(self, pump: Pump, view: PumpView, status_within: float,
                 restored: PumpView | None = None, fresh: Mapping[str, float] | None = None,
                 phase: float = 0.0) -> None:
        self.pump = pump
        self.clock = StatusClock(status_within, fresh, phase)
        self.silent_passes = 0
        self.probing = False  #: offline for want of answers: only asked with back-off
        self.retry_at = 0.0  #: monotonic time of the next try while probing
        self.backoff = 0.0
        self.gap_from: str | None = None  #: presence committed before a restart, until heard
        if restored is not None:
            keep = {f.name: getattr(restored, f.name) for f in dataclasses.fields(PumpView)
                    if f.name not in ("id", "label", "link", "addr", "channel", "station")}
            view = dataclasses.replace(view, **keep)
            view.read_at = dict(view.read_at)
            for name in FIELDS:
                if getattr(view, name) is not None and name not in view.read_at and view.last_seen is not None:
                    # Kept by a station that did not say when: it read the whole
                    # status within status_within before it last heard the pump.
                    view.read_at[name] = view.last_seen - timedelta(seconds=status_within)
            self.gap_from = view.presence
            view.presence, view.offline_reason = UNHEARD, None
        self.view = view
        self.alarms: Alarms = decode_alarms(view.alarm_word or 0)

    def due(self, at: float) -> bool:
        return not self.probing or at >= self.retry_at

    def early(self, unit: Unit, *, near_end_s: int) -> list[Event]:
        """The unit's alarm word was read, the rest of it not yet: apply what
        was read so far; the events it raised."""
        return self._apply(unit, near_end_s, final=False)

    def take(self, unit: Unit, at: float, *, offline_after: int, retry_base: float, retry_ceiling: float,
             near_end_s: int) -> tuple[Reading, list[Event]]:
        """Apply one pass's answers (``at``: monotonic end of the unit); the
        reading to store and the events it raised (none already raised by ``early``)."""
        for answer in unit.reads.values():
            self.clock.answered(answer.command, unit.pass_start)
        found = self._apply(unit, near_end_s, final=True)
        view = self.view
        self._count(view, unit)
        if unit.last_ok is None:
            # Only a good reply proves the pump is there: garbage on the line or
            # another pump's late reply must not keep a vanished pump online.
            self.silent_passes += 1
            if self.silent_passes >= offline_after:
                if not self.probing:
                    log.info("%s: offline after %d silent passes", self.pump.label, self.silent_passes)
                    self.probing, self.backoff = True, 0.0
                # Back off from one time-out's worth, doubling, capped by the ceiling.
                self.backoff = min(retry_ceiling, self.backoff * 2 if self.backoff else retry_base)
                self.retry_at = at + self.backoff
                before = copy_view(view)
                view.presence, view.offline_reason = OFFLINE, "no answer"
                found += events.pump_events(before, view, time=unit.time, near_end_s=near_end_s,
                                            after_gap=self._across_gap(before, view, final=True))
        return reading(self.pump.label, self.pump.link.name, unit.time, unit.reads, unit.codes,
                       unit.link_time), found

    def _apply(self, unit: Unit, near_end_s: int, *, final: bool) -> list[Event]:
        before = copy_view(self.view)
        view = project(self.view, unit.reads, unit.time)
        if unit.last_ok is not None:
            view.last_seen = unit.last_ok
            if self.probing:
                log.info("%s: back online", self.pump.label)
            self.silent_passes, self.probing, self.backoff = 0, False, 0.0
            view.presence, view.offline_reason = ONLINE, None
        gap = self._across_gap(before, view, final=final and unit.last_ok is not None)
        new_alarms = alarms_of(unit.reads)
        pair = None if new_alarms is None else (self.alarms, new_alarms)
        found = events.pump_events(before, view, time=unit.time, near_end_s=near_end_s, alarms=pair,
                                   after_gap=gap)
        if new_alarms is not None:
            self.alarms = new_alarms
        self.view = view
        return found

    @staticmethod
    def _count(view: PumpView, unit: Unit) -> None:
        for code in unit.codes.values():
            if code == Code.SUCCESS:
                view.answered += 1
            elif code == Code.NO_DATA_RETURN:
                view.silent += 1
            else:
                entry = Code.get_option_by_code(code)
                name = str(code) if entry is None else str(entry.name)
                view.malformed[name] = view.malformed.get(name, 0) + 1

    def radio_down(self, error: str, at: datetime, near_end_s: int) -> list[Event]:
        """The link failed: the pump cannot be heard, whatever it last said.
        Its silence so far is forgotten: once the radio is back it is asked
        again every pass, not on a back-off."""
        before = copy_view(self.view)
        self.silent_passes, self.probing, self.backoff = 0, False, 0.0
        reason = f"radio down: {error}" if error else "radio down"
        self.view.presence, self.view.offline_reason = OFFLINE, reason
        gap = self._across_gap(before, self.view, final=True)
        return events.pump_events(before, self.view, time=at, near_end_s=near_end_s, after_gap=gap)

    def _across_gap(self, before: PumpView, after: PumpView, *, final: bool) -> bool:
        """Until the pump's presence is known again after a restart (its first
        unit done), its changes are judged against what was committed before."""
        if self.gap_from is None:
            return False
        if before.presence == UNHEARD:  # not once an early step heard it
            before.presence = self.gap_from
        if final and after.presence != UNHEARD:
            self.gap_from = None
        return True
