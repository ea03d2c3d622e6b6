"""What the API says of a view or an event beside its raw fields: its names in words.

English words are made from the table entry names ("ALARM_AIR_IN_LINE" ->
"Air in line"); Chinese ones are the pumps' own operator texts from the same
tables, so a page in either language says what the pump's own screen says.
The page picks one language (``?lang=``); the API carries both.
"""

from __future__ import annotations

import dataclasses
import logging
from collections.abc import Sequence
from datetime import datetime
from typing import Any

from .... import comm
from ...watch import presence
from ...records.model import Event, EventKind, PumpView

__all__ = ["LANGUAGES", "NEAR_END_S", "Shown", "encoded", "event_json", "language", "said_pairs", "view_json", "words"]

log = logging.getLogger(__name__)

#: remaining time under which a tile is marked near its end, unless the station says otherwise
NEAR_END_S = 600
LANGUAGES = ("en", "zh")

# Acronyms in the alarm and state names, kept upper-case in the English words.
_ACRONYMS = {"KVO", "WDT", "AC", "DC"}
_STATE_WORDS = {
    "OFF": "Off",
    "STOP": "Stopped",
    "RUN": "Running",
    "PAUSE": "Paused",
    "BOLUS": "Bolus",
    "PURGING": "Purging",
    "KVO": "KVO",
}
_UNIT_WORDS = {"ML": "ml", "DROP": "drops"}
_DOOR_WORDS = {"OPEN": "open", "CLOSE": "closed"}
_KIND_ZH = {
    EventKind.ALARM_RAISED: "报警",
    EventKind.ALARM_CLEARED: "报警解除",
    EventKind.STATE_CHANGED: "状态改变",
    EventKind.DOOR_OPENED: "泵门打开",
    EventKind.DOOR_CLOSED: "泵门关闭",
    EventKind.OFFLINE: "离线",
    EventKind.ONLINE: "上线",
    EventKind.NEAR_END: "即将结束",
    EventKind.LINK_DOWN: "链路中断",
    EventKind.LINK_UP: "链路恢复",
    EventKind.PATIENT_BOUND: "关联患者",
    EventKind.PATIENT_UNBOUND: "解除患者关联",
    EventKind.WRONG_PATIENT: "患者关联错误",
}


def _texts(table: Any) -> dict[str, str]:
    return {str(o.name): str(o.text) for o in table._options_}


_STATE_ZH = _texts(comm.PumpStatus)
_ALARM_ZH = _texts(comm.KeltPumpAlarmBits)
_DOOR_ZH = _texts(comm.PumpDoorStatus)


def words(name: object) -> str | None:
    """English words for a table entry name: "ALARM_AIR_IN_LINE" -> "Air in line"."""
    if not isinstance(name, str) or not name:
        return None
    if name in _STATE_WORDS:
        return _STATE_WORDS[name]
    parts = name.removeprefix("ALARM_").split("_")
    out = [p if p in _ACRONYMS else p.lower() for p in parts if p]
    if not out:
        return None
    first = out[0]
    out[0] = first if first in _ACRONYMS else first.capitalize()
    return " ".join(out)


def language(query: str | None, accept: str | None) -> str:
    """The page's language: ``?lang=`` if it names one, else the first of the
    browser's Accept-Language we speak (by its weights), else English."""
    if query in LANGUAGES:
        return query
    best, best_q = "en", -1.0
    for i, item in enumerate((accept or "").split(",")[:32]):
        tag, _, params = item.strip().partition(";")
        q = 1.0
        if params.strip().startswith("q="):
            try:
                q = float(params.strip()[2:])
            except ValueError:
                continue
        primary = tag.strip().lower().split("-")[0]
        if primary in LANGUAGES and q > best_q and q > 0:
            best, best_q = primary, q - i * 1e-6  # equal weights: the first one said
    return best


def _entry_name(table: Any, code: int | None) -> str | None:
    if code is None:
        return None
    entry = table.get_option_by_code(code)
    return None if entry is None else str(entry.name)


@dataclasses.dataclass(frozen=True)
class Shown:
    """What the page needs beside the views: the station's near-end threshold,
    the least wait before a view is stale, and whether tiles name their ward."""

    near_end_s: int = NEAR_END_S
    stale_floor_s: float = presence.STALE_FLOOR_S
    wards: bool = False


def view_json(view: PumpView, shown: Shown = Shown(), at: datetime | None = None) -> dict[str, Any]:
    """A view as the API serves it: the view itself, its names in words, and
    what the tile marks: ``stale`` (now; the page keeps it up to date from
    ``stale_after_s``), ``door_open`` (without the pump's alarm) and ``near_end``."""
    d = view.to_json()
    unit = _entry_name(comm.RateUnit, view.rate_unit)
    door = _entry_name(comm.PumpDoorStatus, view.door)
    d["running_words"] = words(view.running_name)
    d["top_alarm_words"] = words(view.top_alarm)
    d["alarm_words"] = [words(a) for a in view.alarms]
    d["alarm_texts"] = [_ALARM_ZH.get(a) for a in view.alarms]
    d["rate_unit_words"] = _UNIT_WORDS.get(unit or "", words(unit))
    d["door_words"] = _DOOR_WORDS.get(door or "", words(door))
    d["door_text"] = _DOOR_ZH.get(door or "")
    d["stale_after_s"] = presence.stale_after(view, shown.stale_floor_s)
    d["stale"] = presence.shown_presence(view, at, shown.stale_floor_s) == presence.STALE
    d["door_open"] = presence.door_open(view)
    d["near_end"] = presence.near_end(view, shown.near_end_s)
    return d


def event_json(event: Event) -> dict[str, Any]:
    """An event as the API serves it, with a line in words for the page in
    English (``words``) and in Chinese (``words_zh``)."""
    d = event.to_json()
    kind = event.kind.value.replace("_", " ").capitalize()
    kind_zh = _KIND_ZH.get(event.kind, kind)
    d["kind_words"] = kind
    details = event.details
    said: str | None = None
    said_zh: str | None = None
    alarm = details.get("alarm")
    if isinstance(alarm, str):
        d["alarm_words"] = words(alarm)
        said = d["alarm_words"]
        said_zh = str(details.get("text") or _ALARM_ZH.get(alarm) or d["alarm_words"] or "")
    elif event.kind is EventKind.STATE_CHANGED:
        was, now_ = details.get("from"), details.get("to")
        said = f"{words(was) or '?'} → {words(now_) or '?'}"
        said_zh = f"{_STATE_ZH.get(str(was), words(was) or '?')} → {_STATE_ZH.get(str(now_), words(now_) or '?')}"
    elif event.kind is EventKind.NEAR_END and isinstance(details.get("remaining_s"), int):
        said = f"{details['remaining_s'] // 60} min left"
        said_zh = f"剩余 {details['remaining_s'] // 60} 分钟"
    elif event.kind is EventKind.LINK_UP and isinstance(details.get("down_s"), (int, float)):
        said = f"after {details['down_s']:.0f} s"
        said_zh = f"中断 {details['down_s']:.0f} 秒后"
    elif event.kind is EventKind.LINK_DOWN and details.get("error"):
        said = said_zh = str(details["error"])
    d["words"] = f"{kind}: {said}" if said else kind
    d["words_zh"] = f"{kind_zh}：{said_zh}" if said_zh else kind_zh
    return d


def said_pairs(events: Sequence[Event]) -> list[tuple[Event, dict[str, Any]]]:
    """Each event with its JSON as the API serves it; one that cannot be put
    into words must not take the others with it."""
    out = []
    for e in events:
        try:
            out.append((e, event_json(e)))
        except Exception:
            log.exception("an event of %s could not be shown; the others are", e.link)
    return out


def encoded(events: Sequence[Event]) -> list[dict[str, Any]]:
    """Events as the API serves them (see ``said_pairs``)."""
    return [d for _, d in said_pairs(events)]
