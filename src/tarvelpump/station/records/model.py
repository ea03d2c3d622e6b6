"""What flows through the station: readings, events and the live view of a pump.

Data moves one way: link -> pump -> poller -> events -> hub -> store and
outputs. Everything here is plain data with a JSON form, so the page, the
metrics and MQTT (which may run on another host) all see the same shapes.
"""

from __future__ import annotations

import dataclasses
import enum
import unicodedata
import uuid
from datetime import datetime, timezone
from typing import Any

__all__ = [
    "OFFLINE",
    "ONLINE",
    "PRESENCES",
    "UNHEARD",
    "EventKind",
    "RadioMode",
    "Event",
    "PumpView",
    "Reading",
    "RoundResult",
    "id_clash",
    "now",
    "pump_id",
]


def now() -> datetime:
    """The current time, aware, in UTC: every stored or published time is aware."""
    return datetime.now(timezone.utc)


def _kept(c: str) -> bool:
    """A character an id keeps: letters, marks and digits of every script, "_", "." and "-"."""
    return c in "_.-" or unicodedata.category(c)[0] in "LMN"


def pump_id(label: str) -> str:
    """The identifier of a pump in URLs and MQTT topics ("bed 12" -> "bed-12", "床 一" -> "床-一").

    Letters of every script stay (as do "_", "." and "-"); every run of other
    characters (spaces, punctuation, controls, and MQTT's "/", "+", "#" and
    NUL) becomes one "-", and case is folded. A label is taken in its
    composed Unicode form, so two spellings of the same letters are one id.
    URLs carry an id percent-encoded, topics as UTF-8.
    """
    text = unicodedata.normalize("NFC", label).lower()
    slug = "".join(c if _kept(c) else " " for c in text).split()
    return "-".join(slug).strip("-.") or "pump"


def id_clash(label: str, other: str) -> str:
    """Why two different labels make the same id, in words."""
    a, b = (unicodedata.normalize("NFC", x) for x in (label, other))
    if a == b:
        return "they are the same letters written in two ways (composed and decomposed Unicode)"
    if a.lower() == b.lower():
        return "they differ only in upper and lower case"
    def letters(text: str) -> str:
        return "".join(c for c in text if unicodedata.category(c)[0] in "LMN")

    how = "spaces and punctuation" if letters(a) == letters(b) else "case, spaces and punctuation"
    return f"they differ only in {how} (an id keeps letters and digits, and writes every run of other " \
           "characters as one \"-\")"


#: Whether a pump is known to be there. A pump is ``online`` only from a good
#: answer on; before its first one it is ``unheard`` (a fresh start, or a
#: restart that has not reached it yet), and ``offline`` once it stopped
#: answering or its link went down. Only ``online`` may ever look fine.
UNHEARD = "unheard"
ONLINE = "online"
OFFLINE = "offline"
PRESENCES = (UNHEARD, ONLINE, OFFLINE)


class RadioMode(str, enum.Enum):
    """How the radio in front of a link picks its destination.

    The prefix is built from the mode alone: address 0 and channel 0 are real
    settings, not "absent".
    """

    TRANSPARENT = "transparent"  #: no prefix
    FIXED = "fixed"  #: address (2 bytes, big-endian), then channel
    MASTER_SLAVE = "master-slave"  #: address only

    def prefix(self, addr: int, channel: int) -> list[int]:
        if self is RadioMode.TRANSPARENT:
            return []
        head = [addr >> 8 & 0xFF, addr & 0xFF]
        return head + [channel & 0xFF] if self is RadioMode.FIXED else head


class EventKind(str, enum.Enum):
    ALARM_RAISED = "alarm_raised"
    ALARM_CLEARED = "alarm_cleared"
    STATE_CHANGED = "state_changed"
    DOOR_OPENED = "door_opened"
    DOOR_CLOSED = "door_closed"
    OFFLINE = "offline"
    ONLINE = "online"
    NEAR_END = "near_end"
    LINK_DOWN = "link_down"
    LINK_UP = "link_up"
    POLLER_FAILED = "poller_failed"  #: passes of a link keep failing (a fault of the station itself)
    POLLER_RECOVERED = "poller_recovered"
    #: the HL7 receiver answered a message with an error: it is kept aside, not sent again
    HL7_REJECTED = "hl7_rejected"
    #: a pump was given a patient (a PCIM association, or its location's by ADT); see ``patients``
    PATIENT_BOUND = "patient_bound"
    #: ... and no longer serves that patient
    PATIENT_UNBOUND = "patient_unbound"
    #: an association was reported wrong: the messages already sent naming that patient are listed
    WRONG_PATIENT = "wrong_patient"


def _iso(t: datetime | None) -> str | None:
    return None if t is None else t.isoformat()


def _time(text: str | None) -> datetime | None:
    return None if text is None else datetime.fromisoformat(text)


@dataclasses.dataclass(frozen=True)
class Reading:
    """What one round learnt of one pump. ``None``: not read (or not answered) this round."""

    pump: str  #: label
    link: str
    time: datetime
    running: int | None = None
    door: int | None = None
    remaining_s: int | None = None
    rate_unit: int | None = None
    alarm_word: int | None = None
    #: command name -> result code of each exchange this round made for the pump
    codes: dict[str, int] = dataclasses.field(default_factory=dict)
    link_time_s: float = 0.0

    def to_json(self) -> dict[str, Any]:
        d = dataclasses.asdict(self)
        d["time"] = _iso(self.time)
        return d


@dataclasses.dataclass(frozen=True)
class Event:
    """A change derived from successive readings, or a link going down or up.

    ``id`` is unique across stations and restarts: receivers deduplicate by it.
    ``pump`` is ``None`` for link events.
    """

    kind: EventKind
    pump: str | None
    link: str
    time: datetime
    details: dict[str, Any] = dataclasses.field(default_factory=dict)
    id: str = dataclasses.field(default_factory=lambda: uuid.uuid4().hex)

    def to_json(self) -> dict[str, Any]:
        return {
            "id": self.id,
            "time": _iso(self.time),
            "pump": self.pump,
            "link": self.link,
            "kind": self.kind.value,
            **self.details,
        }

    @classmethod
    def from_json(cls, d: dict[str, Any]) -> Event:
        fixed = {"id", "time", "pump", "link", "kind"}
        return cls(
            kind=EventKind(d["kind"]),
            pump=d.get("pump"),
            link=d.get("link", ""),
            time=_time(d["time"]) or now(),
            details={k: v for k, v in d.items() if k not in fixed},
            id=d["id"],
        )


@dataclasses.dataclass
class PumpView:
    """The latest known state of one pump, as the page, metrics and MQTT show it."""

    id: str
    label: str
    link: str
    addr: int
    channel: int
    station: str = ""  #: the gateway that watches the pump (for views over several)
    presence: str = UNHEARD  #: UNHEARD, ONLINE or OFFLINE; see ``online``
    offline_reason: str | None = None  #: why it is offline, e.g. "radio down: ..." or "no answer"
    round_s: float | None = None  #: how long its link's last pass took: ``last_seen`` is stale past a few
    running: int | None = None
    running_name: str | None = None  #: PumpStatus entry name, e.g. "RUN"
    running_text: str | None = None  #: its operator text
    door: int | None = None
    remaining_s: int | None = None
    rate_unit: int | None = None
    rate_unit_text: str | None = None
    alarm_word: int | None = None
    alarms: list[str] = dataclasses.field(default_factory=list)  #: KeltPumpAlarmBits names
    top_alarm: str | None = None  #: highest-priority active alarm by AlarmOrder
    top_alarm_text: str | None = None  #: its operator text
    top_alarm_rank: int | None = None  #: its AlarmOrder value (lower is more urgent)
    alarm_since: datetime | None = None  #: when the current top alarm was raised
    last_seen: datetime | None = None
    answered: int = 0
    silent: int = 0
    malformed: dict[str, int] = dataclasses.field(default_factory=dict)  #: result-code name -> count

    @property
    def online(self) -> bool:
        """Answering now: the only presence that may be shown as fine."""
        return self.presence == ONLINE

    @property
    def alarmed(self) -> bool:
        """An alarm was last read; it stays so while the pump is offline or
        unheard (its last alarm is not known to be over)."""
        return bool(self.alarms or self.alarm_word)

    def to_json(self) -> dict[str, Any]:
        # Field by field rather than dataclasses.asdict, whose deep copies made
        # most of the cost of a view over thousands of pumps: the only
        # containers are a list of names and a dict of counts, copied here.
        d = {name: getattr(self, name) for name in _VIEW_NAMES}
        d["alarms"] = list(self.alarms)
        d["malformed"] = dict(self.malformed)
        d["alarm_since"] = _iso(self.alarm_since)
        d["last_seen"] = _iso(self.last_seen)
        d["online"] = self.online  # for readers that know only this flag
        d["alarmed"] = self.alarmed
        return d

    @classmethod
    def from_json(cls, d: dict[str, Any]) -> PumpView:
        kw = {k: v for k, v in d.items() if k in _VIEW_FIELDS}
        kw["alarm_since"] = _time(d.get("alarm_since"))
        kw["last_seen"] = _time(d.get("last_seen"))
        if "presence" not in d and isinstance(d.get("online"), bool):
            # A gateway from before presence existed: "online" was all it said.
            kw["presence"] = ONLINE if d["online"] else OFFLINE
        return cls(**kw)


_VIEW_NAMES = tuple(f.name for f in dataclasses.fields(PumpView))
_VIEW_FIELDS = frozenset(_VIEW_NAMES)


@dataclasses.dataclass(frozen=True)
class RoundResult:
    """One round of one link, handed to every consumer after the poller made it."""

    link: str
    started: datetime
    duration_s: float
    exchanges: int
    readings: tuple[Reading, ...]
    events: tuple[Event, ...]
    views: tuple[PumpView, ...]  #: every pump of the link after the round
    link_up: bool = True
    #: Early news inside a round: the events a pump's alarm word and running
    #: state gave as soon as they were read, so an alarm does not wait for the
    #: rest of the round. The round's own (whole) result follows.
    partial: bool = False
    #: ids of pumps that are no longer shown (a view forgets a pump it stopped hearing of)
    gone: tuple[str, ...] = ()
