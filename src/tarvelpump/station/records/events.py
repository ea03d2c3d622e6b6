"""Events: what changed between two successive views of a pump, or of a link.

Pure functions: the poller hands in the view before and after a round and
gets the events back, so every rule here can be checked on plain data. A
view keeps the last known value of a field the round did not read, so a
skipped read never looks like a change.

First sight of a pump (no reading before) raises what needs a nurse (alarms
already set, an open door, an infusion already near its end) but reports no
state change: there was no state before to change from.
"""

from __future__ import annotations

import logging
from datetime import datetime
from typing import Any

from ... import comm
from .kinds import (AlarmCleared, AlarmRaised, DoorClosed, DoorOpened, LinkDown, LinkUp, NearEnd, Offline, Online,
                    StateChanged)
from .model import OFFLINE, Event, PumpView
from ..watch.pump import Alarms

__all__ = ["alarm_details", "link_events", "pump_events"]

log = logging.getLogger(__name__)

DOOR_OPEN = 1


def alarm_details(bit: comm.Option, word: int | None) -> dict[str, Any]:
    """The fields of an alarm's event (``AlarmRaised``, ``AlarmCleared``)."""
    return {
        "alarm": str(bit.name),
        "text": bit.text,
        "rank": comm.AlarmOrder.get(bit, -1),  # AlarmOrder: lower is more urgent, -1 unranked
        "word": word,
    }


def _state_name(code: int | None) -> str | None:
    if code is None:
        return None
    entry = comm.PumpStatus.get_option_by_code(code)
    return None if entry is None else str(entry.name)


def pump_events(
    before: PumpView,
    after: PumpView,
    *,
    time: datetime,
    near_end_s: int,
    alarms: tuple[Alarms, Alarms] | None = None,
    after_gap: bool = False,
) -> list[Event]:
    """The events of one pump from its view before a unit to its view after it.

    ``alarms``: the decoded alarm words behind ``before`` and ``after`` when
    the unit read it. ``after_gap``: ``before`` is what was committed before
    the station last stopped; what changed meanwhile is marked so.
    """
    first = before.last_seen is None
    out: list[Event] = []
    # what every event of the pump says: which pump, where, when, for whom
    of: dict[str, Any] = {"pump": after.label, "link": after.link, "time": time, "station": after.station,
                          "after_gap": after_gap}

    if before.presence != OFFLINE and after.presence == OFFLINE:
        out.append(Offline(**of, last_seen=after.last_seen, silent=after.silent, reason=after.offline_reason))
    elif before.presence == OFFLINE and after.online:
        out.append(Online(**of))

    if alarms is not None and (first or alarms[0].word != alarms[1].word):
        was, now_ = alarms
        old = {int(b) for b in was.bits}
        new = {int(b) for b in now_.bits}
        for bit in now_.bits:  # most urgent first
            if int(bit) not in old:
                out.append(AlarmRaised(**of, **alarm_details(bit, now_.word)))
        for bit in was.bits:
            if int(bit) not in new:
                out.append(AlarmCleared(**of, **alarm_details(bit, now_.word)))

    if before.running is not None and after.running is not None and before.running != after.running:
        out.append(StateChanged(**of, from_=_state_name(before.running), to=_state_name(after.running),
                                from_code=before.running, to_code=after.running, text=after.running_text))

    if after.door is not None and after.door != before.door:
        if after.door == DOOR_OPEN:
            out.append(DoorOpened(**of, door=after.door))
        elif before.door is not None:
            out.append(DoorClosed(**of, door=after.door))

    remaining = after.remaining_s
    if remaining is not None and remaining < near_end_s:
        crossed = before.remaining_s is not None and before.remaining_s >= near_end_s
        # At first sight a pump at zero has finished (its own alarm says so).
        if crossed or (before.remaining_s is None and remaining > 0):
            out.append(NearEnd(**of, remaining_s=remaining, threshold_s=near_end_s))
    return out


def link_events(
    link: str,
    was_up: bool,
    is_up: bool,
    *,
    time: datetime,
    error: str = "",
    down_since: datetime | None = None,
    station: str = "",
) -> list[Event]:
    """link_down when the port failed, link_up when it carries exchanges again."""
    if was_up and not is_up:
        return [LinkDown(pump=None, link=link, time=time, station=station, error=error)]
    if not was_up and is_up:
        down_s = None if down_since is None else round((time - down_since).total_seconds(), 3)
        return [LinkUp(pump=None, link=link, time=time, station=station, down_s=down_s)]
    return []
