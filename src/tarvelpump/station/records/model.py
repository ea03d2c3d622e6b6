"""What flows through the station: readings, events and the live view of a pump.

Data moves one way: link -> pump -> poller -> events -> hub -> store and
outputs. Everything here is plain data with a JSON form, so the page, the
metrics and MQTT (which may run on another host) all see the same shapes.
Each event kind is declared once, in ``kinds``; ``encode_event`` and
``decode_event`` are the one way an event becomes bytes and back.
"""

from __future__ import annotations

import dataclasses
import functools
import operator
import unicodedata
from datetime import datetime, timezone
from typing import Annotated, Any, NamedTuple

import msgspec

from ..._protocol import RadioMode
from .kinds import COMMON_FIELDS, KINDS, Event, EventKind, UnknownEvent

__all__ = [
    "OFFLINE",
    "ONLINE",
    "PRESENCES",
    "UNHEARD",
    "VOLATILE",
    "Decoded",
    "EventKind",
    "RadioMode",
    "Event",
    "PumpView",
    "Reading",
    "RoundResult",
    "decode_event",
    "encode_event",
    "event_from",
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
    #: when each value read in turn ("running", "door", "remaining_s", "rate_unit") was last read
    read_at: dict[str, datetime] = dataclasses.field(default_factory=dict)
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
        d["read_at"] = {k: t.isoformat() for k, t in self.read_at.items()}
        d["online"] = self.online  # for readers that know only this flag
        d["alarmed"] = self.alarmed
        return d

    def shown(self) -> tuple[Any, ...]:
        """What of the view is news when it changes: every field but the ``VOLATILE`` ones
        (its list of alarms as a tuple: a copy, that compares whatever becomes of the view)."""
        return tuple(tuple(v) if isinstance(v := getattr(self, name), list) else v for name in _SHOWN_NAMES)

    @classmethod
    def from_json(cls, d: dict[str, Any]) -> PumpView:
        kw = {k: v for k, v in d.items() if k in _VIEW_FIELDS}
        kw["alarm_since"] = _time(d.get("alarm_since"))
        kw["last_seen"] = _time(d.get("last_seen"))
        kw["read_at"] = {k: datetime.fromisoformat(t) for k, t in (d.get("read_at") or {}).items()}
        if "presence" not in d and isinstance(d.get("online"), bool):
            # A gateway from before presence existed: "online" was all it said.
            kw["presence"] = ONLINE if d["online"] else OFFLINE
        return cls(**kw)


_VIEW_NAMES = tuple(f.name for f in dataclasses.fields(PumpView))
_VIEW_FIELDS = frozenset(_VIEW_NAMES)
#: A view's fields that change every round without anything shown changing:
#: when the pump was last heard, its counts and how long its link's pass took.
#: A state is republished for them only now and then (MQTT), a page hears of
#: them as ``seen``, and a view over a broker hands them on once a second.
#: ``read_at`` too: a value read again, unchanged, is no news (the page hears it with ``last_seen``)
VOLATILE = frozenset({"last_seen", "answered", "silent", "malformed", "round_s", "read_at"})
_SHOWN_NAMES = tuple(name for name in _VIEW_NAMES if name not in VOLATILE)


# -- events as bytes -----------------------------------------------------------------------------------------------

_ENCODER = msgspec.json.Encoder()
_KNOWN: Any = functools.reduce(operator.or_, KINDS.values())  # every declared kind, told apart by "kind"
_DECODER = msgspec.json.Decoder(_KNOWN)


def encode_event(event: Event) -> bytes:
    """The event as the outbox keeps it and MQTT publishes it: JSON, UTF-8."""
    if isinstance(event, UnknownEvent):
        return _ENCODER.encode(event.to_json())
    return _ENCODER.encode(event)


class Decoded(NamedTuple):
    event: Event
    #: what of it the reader did not know ("" when nothing): its kind, some of its fields, or their types
    unknown: str


class _Envelope(msgspec.Struct, kw_only=True):
    """What makes a message an event at all, whatever its kind."""

    id: str
    time: Annotated[datetime, msgspec.Meta(tz=True)]
    kind: str
    pump: str | None = None
    link: str
    station: str = ""


def decode_event(data: bytes | str) -> Decoded:
    """An event from its JSON, checked against its kind's declaration.

    An event of a kind not declared here (a newer station's), or whose fields
    do not fit its kind's, is still an event: it comes back as an
    ``UnknownEvent`` (a known kind with fields it does not know keeps its
    kind, without them) and ``unknown`` says what was not understood. Only
    what is no event at all raises ``ValueError``: not JSON, not an object,
    no ``id``, ``time``, ``kind`` or ``link``, or one of them of a wrong type.
    """
    try:
        return Decoded(_DECODER.decode(data), "")
    except msgspec.ValidationError:
        pass  # its fields are told one by one below
    body = msgspec.json.decode(data)
    if not isinstance(body, dict):
        raise msgspec.ValidationError(f"an event is a JSON object, not {type(body).__name__}")
    return event_from(body)


def event_from(body: dict[str, Any]) -> Decoded:
    """An event from its JSON object (as ``decode_event``)."""
    try:
        return Decoded(msgspec.convert(body, _KNOWN), "")
    except msgspec.ValidationError as exc:
        why = str(exc)
    envelope = msgspec.convert(body, _Envelope)  # raises: no event at all
    cls = KINDS.get(envelope.kind)
    if cls is None:
        why = f"its kind {envelope.kind[:80]!r} is unknown"
    else:
        fields = _FIELD_NAMES[cls]
        extra = sorted(k for k in body if k not in fields)
        if extra:
            why = f"fields {', '.join(k[:80] for k in extra[:10])} of {envelope.kind} are unknown"
            try:
                return Decoded(msgspec.convert({k: v for k, v in body.items() if k in fields}, cls), why)
            except msgspec.ValidationError as exc:
                why += f", and {exc}"
        else:
            why = f"{envelope.kind}: {why}"
    common = {name: getattr(envelope, name) for name in ("id", "time", "pump", "link", "station")}
    rest = {k: v for k, v in body.items() if k not in COMMON_FIELDS}
    return Decoded(UnknownEvent(**common, name=envelope.kind, fields=rest, why=why), why)


_FIELD_NAMES = {cls: frozenset(["kind", *(f.encode_name for f in msgspec.structs.fields(cls))])
                for cls in KINDS.values()}


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
