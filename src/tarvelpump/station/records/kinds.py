"""Every event kind, declared once: its name, its fields, their types and bounds.

Each kind is one msgspec ``Struct`` tagged by its ``kind``. The same
declaration writes an event as JSON (``model.encode_event``: the store's
outbox and MQTT), reads it back and checks it in one call (the store, and a
view over a broker), and the README's list of kinds is made from it
(``python -m tarvelpump.station.records.kinds``). Adding a kind is a name in
``EventKind`` and a class here; the outputs that must say something about it
(the page's words, the HL7 composer's choice) are caught by a test that
asks each of them about every kind.
"""

from __future__ import annotations

import enum
import uuid
from datetime import datetime
from typing import Annotated, Any

import msgspec
from msgspec import Meta

__all__ = [
    "COMMON_FIELDS",
    "INT_MAX",
    "KINDS",
    "AlarmCleared",
    "AlarmRaised",
    "DoorClosed",
    "DoorOpened",
    "Event",
    "EventKind",
    "Hl7Rejected",
    "LinkDown",
    "LinkEvent",
    "LinkUp",
    "NearEnd",
    "Offline",
    "Online",
    "PatientBound",
    "PatientUnbound",
    "PollerFailed",
    "PollerRecovered",
    "PumpEvent",
    "StateChanged",
    "UnknownEvent",
    "WrongPatient",
    "reference",
]

#: the largest whole number an event may carry: one every reader (a page's
#: JavaScript, a float in /metrics) still holds exactly
INT_MAX = 2 ** 53 - 1


class EventKind(enum.StrEnum):
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


def _new_id() -> str:
    return uuid.uuid4().hex


class Event(msgspec.Struct, frozen=True, kw_only=True, omit_defaults=True, forbid_unknown_fields=True,
            tag_field="kind"):
    """What every event carries. A field left at its default is not written."""

    id: Annotated[str, Meta(description="unique across stations and restarts: deduplicate by it")] = \
        msgspec.field(default_factory=_new_id)
    time: Annotated[datetime, Meta(tz=True, description="when it happened (ISO 8601 with its offset)")]
    pump: Annotated[str | None, Meta(description="the pump's label; null for a link's or the station's own")]
    link: Annotated[str, Meta(description="the link (radio) it concerns")]
    station: Annotated[str, Meta(description="the gateway's name (over MQTT)")] = ""
    pump_id: Annotated[str | None, Meta(description="set by a view over several gateways: the pump's id there "
                                                    "(`ward.pump-id`)")] = None

    @property
    def kind(self) -> str:
        """Its kind's name: an ``EventKind`` for every declared kind."""
        return _KIND_OF[type(self)]

    @property
    def details(self) -> dict[str, Any]:
        """Its own fields (beside the ones every event has) in their JSON form: for lines of text."""
        return {k: v for k, v in msgspec.to_builtins(self).items() if k not in COMMON_FIELDS}

    def to_json(self) -> dict[str, Any]:
        """The event as JSON objects and values: the form MQTT and the API carry."""
        out: dict[str, Any] = msgspec.to_builtins(self)
        return out


class PumpEvent(Event, frozen=True, kw_only=True):
    pump: Annotated[str, Meta(description="the pump's label")]
    after_gap: Annotated[bool, Meta(description="true when it changed while the station was stopped (found on "
                                                "the first reading after a restart)")] = False


class LinkEvent(Event, frozen=True, kw_only=True):
    pump: Annotated[None, Meta(description="null")]


_Int = Annotated[int, Meta(ge=-INT_MAX, le=INT_MAX)]
_Count = Annotated[int, Meta(ge=0, le=INT_MAX)]


class _Alarm(PumpEvent, frozen=True, kw_only=True):
    alarm: Annotated[str, Meta(description='the alarm\'s name ("ALARM_OCCLUSION")')]
    text: Annotated[str | None, Meta(description="the pump's own words for it")]
    rank: Annotated[_Int, Meta(description="its AlarmOrder position, lower is more urgent (-1: unranked)")]
    word: Annotated[_Int | None, Meta(description="the whole alarm word as read")]


class AlarmRaised(_Alarm, frozen=True, kw_only=True, tag="alarm_raised"):
    """An alarm of the pump came on (one event per alarm, most urgent first)."""


class AlarmCleared(_Alarm, frozen=True, kw_only=True, tag="alarm_cleared"):
    """An alarm of the pump is over."""


class StateChanged(PumpEvent, frozen=True, kw_only=True, tag="state_changed"):
    """The pump's running state changed."""

    from_: Annotated[str | None, Meta(description='the state before ("RUN")')] = msgspec.field(name="from")
    to: Annotated[str | None, Meta(description='the state now ("STOP")')]
    from_code: Annotated[_Int, Meta(description="the code before")]
    to_code: Annotated[_Int, Meta(description="the code now")]
    text: Annotated[str | None, Meta(description="the pump's own words for the state now")]


class _Door(PumpEvent, frozen=True, kw_only=True):
    door: Annotated[_Int, Meta(description="the door's code as read")]


class DoorOpened(_Door, frozen=True, kw_only=True, tag="door_opened"):
    """The pump's door was opened."""


class DoorClosed(_Door, frozen=True, kw_only=True, tag="door_closed"):
    """The pump's door was closed."""


class Offline(PumpEvent, frozen=True, kw_only=True, tag="offline"):
    """The pump is no longer heard, or its link went down."""

    last_seen: Annotated[Annotated[datetime, Meta(tz=True)] | None, Meta(description="when it last answered")]
    silent: Annotated[_Count, Meta(description="exchanges it left unanswered so far")]
    reason: Annotated[str | None, Meta(description='why: "no answer", "radio down: ..."')]


class Online(PumpEvent, frozen=True, kw_only=True, tag="online"):
    """An offline pump answers again."""


class NearEnd(PumpEvent, frozen=True, kw_only=True, tag="near_end"):
    """The infusion's time left fell under the station's threshold."""

    remaining_s: Annotated[_Count, Meta(description="seconds left")]
    threshold_s: Annotated[_Count, Meta(description="the threshold (`[poll] near_end_s`)")]


class LinkDown(LinkEvent, frozen=True, kw_only=True, tag="link_down"):
    """The link's port failed (a radio unplugged): its pumps go offline."""

    error: Annotated[str, Meta(description="what the port said")]


class LinkUp(LinkEvent, frozen=True, kw_only=True, tag="link_up"):
    """The link carries exchanges again."""

    down_s: Annotated[Annotated[float, Meta(ge=-INT_MAX, le=INT_MAX)] | None,
                      Meta(description="how long it was down, in seconds")]


class PollerFailed(LinkEvent, frozen=True, kw_only=True, tag="poller_failed"):
    """The link's passes fail through a fault of the station itself (said once; the log has the traceback and
    `tarvelpump_link_polling` is 0 until they work again)."""

    error: Annotated[str, Meta(description="the fault")]


class PollerRecovered(LinkEvent, frozen=True, kw_only=True, tag="poller_recovered"):
    """The link's passes work again."""

    failures: Annotated[_Count, Meta(description="passes that failed")]


class Hl7Rejected(Event, frozen=True, kw_only=True, tag="hl7_rejected"):
    """The HL7 receiver answered a message with an error: it is set aside, never sent again."""

    message: Annotated[str, Meta(description='"PCD-01" or "PCD-04"')]
    control_id: Annotated[str, Meta(description="the message's MSH-10")]
    ack: Annotated[str, Meta(description='the acknowledgement code ("AE")')]
    error: Annotated[str, Meta(description="the receiver's error text")]


# The patients' events (``patients.bindings.patient_event``) name no one: a claim's number leads to the
# patient (``station patients``), for those who may see it.
_Claim = Annotated[_Count, Meta(description="the claim's number in the store (`station patients` shows it)")]
_Cause = Annotated[str, Meta(description="MSH-10 of the ADT or PCIM message that caused it (empty: the "
                                         "station's configuration changed)")]
_Source = Annotated[str, Meta(description='"pcim" (an association of its device) or "adt" (its location\'s '
                                          'occupant)')]


class PatientBound(PumpEvent, frozen=True, kw_only=True, tag="patient_bound"):
    """The pump was given a patient: a PCIM association of its device, or its location's occupant by ADT."""

    claim: _Claim
    source: _Source
    status: Annotated[str, Meta(description='OBX-11 of the association ("F", "R", "C"), or the ADT event ("A01")')]
    validated: Annotated[bool, Meta(description="confirmed at the point of care (PCIM F or C)")]
    named: Annotated[bool, Meta(description="its messages name this patient from now on")]
    association: Annotated[str | None, Meta(description="the association's id (OBR-3), for PCIM")]
    location: Annotated[str | None, Meta(description="the bed (PV1-3), for ADT")]
    message: _Cause


class PatientUnbound(PumpEvent, frozen=True, kw_only=True, tag="patient_unbound"):
    """The pump no longer serves the patient of a claim (disassociated, transferred, discharged, ...)."""

    claim: _Claim
    source: _Source
    reason: Annotated[str, Meta(description='why ("transferred (A02)", "disassociated")')]
    message: _Cause


class WrongPatient(PumpEvent, frozen=True, kw_only=True, tag="wrong_patient"):
    """An association of the pump was reported wrong (PCIM W): its patient is no longer named, at once."""

    message: Annotated[str, Meta(description="MSH-10 of the PCIM report that said so")]
    association: Annotated[str, Meta(description="the association's id (OBR-3)")]
    control_ids: Annotated[list[str], Meta(description="MSH-10 of every message composed naming that patient "
                                                       "since the association began: the engine must be told")]
    withheld: Annotated[list[str], Meta(description="those of them still waiting to be sent: they now name no "
                                                    "one")]


class UnknownEvent(Event, frozen=True, kw_only=True, tag=False):
    """An event a view over a broker does not know how to read: a kind it does not
    know (a newer gateway's), or a known kind whose fields do not fit. Kept and
    shown with its kind's name; ``fields`` are its own as they came."""

    name: str
    fields: dict[str, Any] = {}
    why: str = ""

    @property
    def kind(self) -> str:
        return self.name

    @property
    def details(self) -> dict[str, Any]:
        return dict(self.fields)

    def to_json(self) -> dict[str, Any]:
        common = {k: v for k, v in msgspec.to_builtins(self).items() if k in COMMON_FIELDS}
        return {**self.fields, **common, "kind": self.name}


def _declared(cls: type[Event]) -> list[type[Event]]:
    """The kinds: the classes below ``cls`` that no other class refines (the ones between share fields)."""
    out = []
    for sub in cls.__subclasses__():
        out += _declared(sub) if sub.__subclasses__() else [sub] if sub is not UnknownEvent else []
    return out


#: every declared kind: its name -> its class
KINDS: dict[str, type[Event]] = {str(cls.__struct_config__.tag): cls for cls in _declared(Event)}
if set(KINDS) != set(EventKind):
    raise RuntimeError(f"EventKind and the declared kinds differ: {sorted(set(KINDS) ^ set(EventKind))}")
_KIND_OF: dict[type[Event], str] = {cls: EventKind(name) for name, cls in KINDS.items()}
#: the fields every event has (the store keeps id, kind, pump, link and time in columns of their own)
COMMON_FIELDS = frozenset({"id", "time", "pump", "link", "kind", "station", "pump_id"})


# -- the README's list of kinds --------------------------------------------------------------------------------------

def _type_words(t: msgspec.inspect.Type) -> str:
    if isinstance(t, msgspec.inspect.Metadata):
        return _type_words(t.type)
    if isinstance(t, msgspec.inspect.UnionType):
        return " or ".join(_type_words(x) for x in t.types)
    if isinstance(t, msgspec.inspect.ListType):
        return f"array of {_type_words(t.item_type)}"
    return {msgspec.inspect.StrType: "text", msgspec.inspect.IntType: "integer", msgspec.inspect.FloatType: "number",
            msgspec.inspect.BoolType: "true/false", msgspec.inspect.DateTimeType: "time",
            msgspec.inspect.NoneType: "null"}[type(t)]


def _fields(cls: type[Event], skip: type[Event] | None = None) -> list[str]:
    """Each field of ``cls`` not in ``skip``: its name, type and what it says."""
    info = msgspec.inspect.type_info(cls)
    assert isinstance(info, msgspec.inspect.StructType)
    known = {f.name for f in msgspec.structs.fields(skip)} if skip is not None else set()
    out = []
    for f in info.fields:
        if f.name in known:
            continue
        about = ""
        if isinstance(f.type, msgspec.inspect.Metadata) and f.type.extra_json_schema:
            about = f.type.extra_json_schema.get("description", "")
        left_out = ", left out when not set" if f.default in (False, "", None) else ""
        out.append(f"`{f.encode_name}` ({_type_words(f.type)}{left_out}): {about}")
    return out


def reference() -> str:
    """The README's list of event kinds, made from the declarations above."""
    lines = ["Every event has " + "; ".join(_fields(Event)) + ".", "",
             "A pump's event also has " + "; ".join(_fields(PumpEvent, Event)) + ".", "",
             "| kind | what happened | its own fields |", "|---|---|---|"]
    for name, cls in KINDS.items():
        base = PumpEvent if issubclass(cls, PumpEvent) else Event
        own = [f for f in _fields(cls, base) if not f.startswith("`pump` ")]
        doc = " ".join((cls.__doc__ or "").split())
        whose = "" if base is PumpEvent else " `pump` is null." if issubclass(cls, LinkEvent) else \
            " `pump` names the pump of the message, if any."
        lines.append(f"| `{name}` | {doc}{whose} | {'; '.join(own) or '-'} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    print(reference(), end="")
