"""From typed answers to the view of a pump, and to the reading that is stored.

Pure functions: the answers of one unit go in, a new view (or reading) comes
out, and nothing is decoded twice: the poller hands on what ``Pump`` already
decoded. A field the unit did not read keeps its last known value, so a
skipped read never looks like a change, and the time it was read
(``read_at``), so its age can be said.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping
from datetime import datetime
from typing import Any

from ... import comm
from ..records.model import PumpView, Reading
from .pump import Alarms, Answer

__all__ = ["copy_view", "project", "reading"]

Cmd = comm.Command
Reads = Mapping[int, Answer[Any]]  #: command code -> its good answer in this unit


def copy_view(view: PumpView) -> PumpView:
    """A copy that shares no list or dict with ``view``: consumers on other
    threads keep it as it was."""
    return dataclasses.replace(view, alarms=list(view.alarms), malformed=dict(view.malformed),
                               read_at=dict(view.read_at))


def _code(answer: Answer[Any] | None) -> int | None:
    """The code a one-byte answer carries, decoded or not (a code outside the
    tables stays a number, without a name)."""
    if answer is None or answer.data is None:
        return None
    return int(answer.value) if isinstance(answer.value, int) else answer.data[0]


def _remaining_s(answer: Answer[Any] | None) -> int | None:
    if answer is None or answer.value is None:
        return None
    return int(answer.value.total_seconds())


def alarms_of(reads: Reads) -> Alarms | None:
    answer = reads.get(int(Cmd.GET_PUMP_ALARM))
    return None if answer is None else answer.value


def project(view: PumpView, reads: Reads, at: datetime) -> PumpView:
    """``view`` with the values of ``reads`` (read at ``at``) applied."""
    out = copy_view(view)
    if (a := reads.get(int(Cmd.GET_PUMP_STATUS))) is not None:
        out.running = _code(a)
        out.running_name = None if a.value is None else a.value.name
        out.running_text = None if a.value is None else a.value.text
        out.read_at["running"] = a.time
    if (a := reads.get(int(Cmd.GET_PUMPDOOR_STATUS))) is not None:
        out.door = _code(a)
        out.read_at["door"] = a.time
    if (a := reads.get(int(Cmd.GET_REMAIN_TIME))) is not None and a.value is not None:
        out.remaining_s = _remaining_s(a)
        out.read_at["remaining_s"] = a.time
    if (a := reads.get(int(Cmd.GET_RATE_UNIT))) is not None:
        out.rate_unit = _code(a)
        out.rate_unit_text = None if a.value is None else a.value.text
        out.read_at["rate_unit"] = a.time
    alarms = alarms_of(reads)
    if alarms is not None:
        top = alarms.top
        if top is None:
            out.alarm_since = None
        elif top.name != view.top_alarm:
            out.alarm_since = at
        out.alarm_word = alarms.word
        out.alarms = alarms.names
        out.top_alarm = None if top is None else str(top.name)
        out.top_alarm_text = None if top is None else top.text
        out.top_alarm_rank = alarms.top_rank
    return out


def reading(label: str, link: str, at: datetime, reads: Reads, codes: Mapping[str, int],
            link_time_s: float) -> Reading:
    """What one unit learnt of one pump, as stored."""
    alarms = alarms_of(reads)
    return Reading(
        pump=label,
        link=link,
        time=at,
        running=_code(reads.get(int(Cmd.GET_PUMP_STATUS))),
        door=_code(reads.get(int(Cmd.GET_PUMPDOOR_STATUS))),
        remaining_s=_remaining_s(reads.get(int(Cmd.GET_REMAIN_TIME))),
        rate_unit=_code(reads.get(int(Cmd.GET_RATE_UNIT))),
        alarm_word=None if alarms is None else alarms.word,
        codes=dict(codes),
        link_time_s=round(link_time_s, 6),
    )
