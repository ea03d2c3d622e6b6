"""What the poller keeps of one pump between passes, and how one unit's
answers change it: its view, counters, presence and what is due next."""

from __future__ import annotations

import dataclasses
import logging
from datetime import datetime
from typing import Any

from ... import comm
from ..records import events
from ..records.model import OFFLINE, ONLINE, UNHEARD, Event, PumpView, Reading
from .projection import alarms_of, copy_view, project, reading
from .pump import Alarms, Answer, Pump, decode_alarms
from .schedule import StatusClock

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

    def record(self, answer: Answer[Any]) -> None:
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
    is marked as found after a gap.
    """

    def __init__(self, pump: Pump, view: PumpView, status_within: float,
                 restored: PumpView | None = None) -> None:
        self.pump = pump
        self.clock = StatusClock(status_within)
        self.silent_passes = 0
        self.probing = False  #: offline for want of answers: only asked with back-off
        self.retry_at = 0.0  #: monotonic time of the next try while probing
        self.backoff = 0.0
        self.gap_from: str | None = None  #: presence committed before a restart, until heard
        if restored is not None:
            keep = {f.name: getattr(restored, f.name) for f in dataclasses.fields(PumpView)
                    if f.name not in ("id", "label", "link", "addr", "channel", "station")}
            view = dataclasses.replace(view, **keep)
            self.gap_from = view.presence
            view.presence, view.offline_reason = UNHEARD, None
        self.view = view
        self.alarms: Alarms = decode_alarms(view.alarm_word or 0)

    def due(self, at: float) -> bool:
        return not self.probing or at >= self.retry_at

    def take(self, unit: Unit, at: float, *, offline_after: int, retry_base: float, retry_ceiling: float,
             near_end_s: int) -> tuple[Reading, list[Event]]:
        """Apply one pass's answers (``at``: monotonic end of the unit); the
        reading to store and the events it raised."""
        before = copy_view(self.view)
        view = project(self.view, unit.reads, unit.time)
        for answer in unit.reads.values():
            self.clock.answered(answer.command, unit.pass_start)
        self._count(view, unit)
        if unit.last_ok is not None:
            view.last_seen = unit.last_ok
            if self.probing:
                log.info("%s: back online", self.pump.label)
            self.silent_passes, self.probing, self.backoff = 0, False, 0.0
            view.presence, view.offline_reason = ONLINE, None
        else:
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
                view.presence, view.offline_reason = OFFLINE, "no answer"
        gap = self._across_gap(before, view)
        new_alarms = alarms_of(unit.reads)
        pair = None if new_alarms is None else (self.alarms, new_alarms)
        found = events.pump_events(before, view, time=unit.time, near_end_s=near_end_s, alarms=pair,
                                   after_gap=gap)
        if new_alarms is not None:
            self.alarms = new_alarms
        self.view = view
        return reading(self.pump.label, self.pump.link.name, unit.time, unit.reads, unit.codes,
                       unit.link_time), found

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
        gap = self._across_gap(before, self.view)
        return events.pump_events(before, self.view, time=at, near_end_s=near_end_s, after_gap=gap)

    def _across_gap(self, before: PumpView, after: PumpView) -> bool:
        """Until the pump's presence is known again after a restart, its
        changes are judged against what was committed before."""
        if self.gap_from is None:
            return False
        before.presence = self.gap_from
        if after.presence != UNHEARD:
            self.gap_from = None
        return True
