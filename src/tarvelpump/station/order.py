"""The one order pumps are shown in: the page, the JSON API, the terminal and ``station view``.

Alarmed pumps first (offline ones too: their last alarm is not known to be
over), the most urgent alarm first by ``AlarmOrder`` and alarms without a
place in it after every ranked one, then the alarm that has stood longest;
then offline pumps, pumps not yet heard from, and the rest, each by label
("bed 2" before "bed 10"). The page keeps the order the server sends it, so
this is the only place the rule is written.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable
from typing import Any

from .model import OFFLINE, UNHEARD, PumpView

__all__ = ["alarm_place", "natural", "ordered", "page_key"]

_GROUP = {OFFLINE: 1, UNHEARD: 2}  # after the alarmed (0); online and anything else: 3


def alarm_place(rank: int | None) -> float:
    """Where an ``AlarmOrder`` rank sorts: its own value, or after every ranked
    alarm when it has none (-1 or unknown)."""
    return rank if rank is not None and rank >= 0 else math.inf


def natural(label: str) -> tuple[tuple[int, int | str], ...]:
    """Sort key of a label with its numbers read as numbers."""
    return tuple((0, int(part)) if part.isdigit() else (1, part.lower())
                 for part in re.split(r"(\d+)", label) if part)


def page_key(view: PumpView) -> tuple[Any, ...]:
    """Sort key of a pump wherever pumps are listed."""
    if view.alarmed:
        since = view.alarm_since.timestamp() if view.alarm_since is not None else math.inf
        return (0, alarm_place(view.top_alarm_rank), since, natural(view.label), view.id)
    return (_GROUP.get(view.presence, 3), 0.0, 0.0, natural(view.label), view.id)


def ordered(views: Iterable[PumpView]) -> list[PumpView]:
    return sorted(views, key=page_key)
