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
from ...records.kinds import (AlarmCleared, AlarmRaised, Hl7Rejected, LinkDown, LinkUp, NearEnd, Offline, PatientBound,
                              PatientUnbound, PollerFailed, PollerRecovered, StateChanged, UnknownEvent, WrongPatient)
from ...records.model import Event, EventKind, PumpView, Reading
from ...watch.pump import decode_alarms

__all__ = ["LANGUAGES", "NEAR_END_S", "Shown", "encoded", "event_json", "language", "reading_json", "said_pairs",
           "view_json", "words"]

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
_KIND_ZH: dict[str, str] = {
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
    EventKind.POLLER_FAILED: "轮询故障",
    EventKind.POLLER_RECOVERED: "轮询恢复",
    EventKind.HL7_REJECTED: "HL7 消息被拒",
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
    d["aged_after_s"] = presence.aged_after(view)  # a value read longer ago says when (read_at)
    d["stale"] = presence.shown_presence(view, at, shown.stale_floor_s) == presence.STALE
    d["door_open"] = presence.door_open(view)
    d["near_end"] = presence.near_end(view, shown.near_end_s)
    return d


def _said(e: Event) -> tuple[str | None, str | None]:
    """What the event says beside its kind, in English and in Chinese (None: its kind says it all)."""
    match e:
        case AlarmRaised() | AlarmCleared():
            return words(e.alarm), e.text or _ALARM_ZH.get(e.alarm) or words(e.alarm)
        case StateChanged():
            was, now_ = e.from_, e.to
            return (f"{words(was) or '?'} → {words(now_) or '?'}",
                    f"{_STATE_ZH.get(str(was), words(was) or '?')} → {_STATE_ZH.get(str(now_), words(now_) or '?')}")
        case NearEnd():
            return f"{e.remaining_s // 60} min left", f"剩余 {e.remaining_s // 60} 分钟"
        case LinkUp() if e.down_s is not None:
            return f"after {e.down_s:.0f} s", f"中断 {e.down_s:.0f} 秒后"
        case LinkDown() | PollerFailed() if e.error:
            return e.error, e.error
        case PollerRecovered():
            return f"after {e.failures} failed passes", f"{e.failures} 次失败后"
        case Offline() if e.reason:
            return e.reason, e.reason
        case Hl7Rejected():
            said = f"{e.message} {e.control_id}: {e.ack} {e.error}"
            return said, said
        case PatientBound():  # who it is: only on the tile, to those who may see it
            how = (f"PCIM association {e.association}" if e.source == "pcim" else f"by location {e.location}",
                   f"PCIM 关联 {e.association}" if e.source == "pcim" else f"按床位 {e.location}")
            valid = (f"validated ({e.status})", f"已验证（{e.status}）") if e.validated else \
                (f"not validated ({e.status})", f"未验证（{e.status}）")
            named = ("", "") if e.named else (", not named in HL7", "，未用于 HL7")
            return f"{how[0]}, {valid[0]}{named[0]}", f"{how[1]}，{valid[1]}{named[1]}"
        case PatientUnbound():
            return e.reason, e.reason
        case WrongPatient():
            return (f"association {e.association}: {len(e.control_ids)} messages named them, "
                    f"{len(e.withheld)} still waiting now name no one",
                    f"关联 {e.association}：已有 {len(e.control_ids)} 条消息使用该患者，"
                    f"其中等待发送的 {len(e.withheld)} 条已改为不指明患者")
        case UnknownEvent():
            return "not known to this version", "此版本不认识的事件"
    return None, None  # a door, back online, or a link up or down without more to say


def event_json(event: Event) -> dict[str, Any]:
    """An event as the API serves it, with a line in words for the page in
    English (``words``) and in Chinese (``words_zh``)."""
    d = event.to_json()
    kind = event.kind.replace("_", " ").capitalize()
    kind_zh = _KIND_ZH.get(event.kind, kind)
    d["kind_words"] = kind
    if isinstance(event, (AlarmRaised, AlarmCleared)):
        d["alarm_words"] = words(event.alarm)
    said, said_zh = _said(event)
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


_UNIT_ZH = _texts(comm.RateUnit)


def reading_json(reading: Reading) -> dict[str, Any]:
    """A stored reading as a pump's page shows it: its codes, and beside each
    its name in words and the pump's own text (None: not read that round)."""
    d = reading.to_json()
    state = _entry_name(comm.PumpStatus, reading.running)
    unit = _entry_name(comm.RateUnit, reading.rate_unit)
    door = _entry_name(comm.PumpDoorStatus, reading.door)
    alarms = [] if reading.alarm_word is None else decode_alarms(reading.alarm_word).names
    d["running_words"] = words(state)
    d["running_text"] = _STATE_ZH.get(state or "")
    d["rate_unit_words"] = _UNIT_WORDS.get(unit or "", words(unit))
    d["rate_unit_text"] = _UNIT_ZH.get(unit or "")
    d["door_words"] = _DOOR_WORDS.get(door or "", words(door))
    d["door_text"] = _DOOR_ZH.get(door or "")
    d["alarms"] = alarms
    d["alarm_words"] = [words(a) for a in alarms]
    d["alarm_texts"] = [_ALARM_ZH.get(a) for a in alarms]
    return d
