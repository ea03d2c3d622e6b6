"""The one order pumps are shown in: the page, the JSON API, the terminal and ``station view``.

Alarmed pumps first (offline ones too: their last alarm is not known to be
over), the most urgent alarm first by ``AlarmOrder`` and alarms without a
place in it after every ranked one, then the alarm that has stood longest;
then offline pumps, pumps not yet heard from, and the rest, each by label
("bed 2" before "bed 10"). The page keeps the order the server sends it, so
this is the only place the rule is written.
"""

from __future__ import annotations

import functools
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


_NUMBERS = re.compile(r"([0-9]+)")


def natural(label: str) -> str:
    """Sort key of a label with its numbers read as numbers ("bed 2" before "bed 10").

    Only the digits 0-9 make a number, and a number is compared by its length
    without leading zeros, then digit by digit: never converted, so no label
    can fail the sort ("²", "①" or a run of 5,000 digits are merely text or
    long). The key is one string (a number is "\\0", its length as one
    character, its digits; text is "\\1" and the text in lower case), so
    comparing two keys is one comparison of strings: every pump is sorted
    on every change of a view over thousands. Keys of labels of a usual
    length are kept.
    """
    return _kept_key(label) if len(label) <= _KEPT_LABEL else _key(label)


_KEPT_LABEL = 256  # the longest label a station's configuration takes


@functools.lru_cache(maxsize=65536)
def _kept_key(label: str) -> str:
    return _key(label)


def _key(label: str) -> str:
    key: list[str] = []
    for n, part in enumerate(_NUMBERS.split(label)):
        if n % 2:
            digits = part.lstrip("0") or "0"
            key.append(f"\0{chr(min(len(digits), 0x10FFFF))}{digits}")
        elif part:
            key.append(f"\1{part.lower()}")
    return "".join(key)


def page_key(view: PumpView) -> tuple[Any, ...]:
    """Sort key of a pump wherever pumps are listed."""
    if view.alarms or view.alarm_word:  # ``alarmed``, without the property's call: thousands per sort
        since = view.alarm_since.timestamp() if view.alarm_since is not None else math.inf
        return (0, alarm_place(view.top_alarm_rank), since, natural(view.label), view.id)
    return (_GROUP.get(view.presence, 3), natural(view.label), view.id)


def ordered(views: Iterable[PumpView]) -> list[PumpView]:
    return sorted(views, key=page_key)
