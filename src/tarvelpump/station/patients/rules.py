"""The rules by which a pump is given a patient, all of them here.

Two feeds say who a pump serves (see ``messages``):

- **IHE PCIM** association reports name the patient a device is connected
  to. A validated association (OBX-11 ``F`` or ``C``) binds the pump whose
  ``device_id`` PRT-10 names until a disassociation, a ``W`` (wrong) or a
  newer association of that device. One not validated (``R``) is kept and
  shown; it is named in messages only with ``use_unvalidated``.
- **ADT** says who lies in which bed. With ``by_location``, a pump takes the
  patient of its ``location``: from an admit or register (A01, A04) into the
  bed, until a transfer out (A02: PV1-3 the new bed, PV1-6 the old), a
  discharge (A03), a cancelled admit (A11) or another patient put in the
  bed; a cancelled transfer (A12) or discharge (A13) puts them back (PV1-3,
  else the bed the station last knew them in); A17 swaps two patients'
  beds; A08 updates who they are (identifiers, name, visit) and moves
  no one. A patient lies in one bed: placed in one, they leave any other.
  Where ADT contradicts what the station knows of a bed (a transfer out of,
  or a discharge from, a bed it has someone else in) the bed is emptied:
  unknown, not a guess.

Which one is named (``named``): a PCIM association that may be named (the
validated, or any with ``use_unvalidated``) wins over the location; the
location's patient is named unless a ``W`` said this pump was wrongly
associated with that very patient (until someone else is put in that bed).
A ``W`` stops naming its patient at once. With neither, no patient is named:
unknown stays unknown.

A location is matched on its first three components (point of care, room,
bed); a device on PRT-10's id (and its namespace, universal id and type
where the pump's ``device_id`` gives them).

Everything here is plain data and pure functions over a ``State``; what is
kept and said of it is ``bindings``'.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from datetime import datetime
from typing import Any

from .messages import Adt, Association, Patient, Value

__all__ = ["Assoc", "Claim", "Occupant", "Place", "State", "apply_adt", "apply_association", "bed_key", "claims",
           "named", "place_of"]

#: beds remembered per patient for A12/A13 without PV1-3, and repeats recognised
_REMEMBERED = 500


def bed_key(location: Sequence[str]) -> str:
    """A location as matched: point of care^room^bed."""
    return "^".join(list(location[:3]) + [""] * (3 - len(location[:3])))


@dataclasses.dataclass(frozen=True)
class Place:
    """A pump as the rules see it."""

    label: str
    link: str
    id: str  #: the pump's id (URLs)
    bed: str  #: ``bed_key`` of its location, "" without one
    names: tuple[tuple[str, ...], ...]  #: the device ids (EI components) association reports may name it by


def place_of(places: Sequence[Place], devices: Sequence[Value]) -> list[Place]:
    """The pumps PRT-10 names (any of its repetitions)."""
    found = []
    for place in places:
        for name in place.names:
            if any(_same_device(name, ei) for ei in devices):
                found.append(place)
                break
    return found


def _same_device(name: tuple[str, ...], ei: Value) -> bool:
    got = [comp[0] if comp else "" for comp in ei[:4]]
    got += [""] * (4 - len(got))
    return name[0] == got[0] and all(not want or want == got[i] for i, want in enumerate(name[1:4], start=1))


@dataclasses.dataclass(frozen=True)
class Occupant:
    """Someone in a bed, as ADT said."""

    patient: Patient
    since: datetime  #: when they came (EVN-6, else EVN-2, else MSH-7, else when received)
    event: str  #: the event that put them there
    message: str  #: its MSH-10
    sender: str


@dataclasses.dataclass(frozen=True)
class Assoc:
    """A pump's current PCIM association."""

    id: str  #: the association's id (the original OBR-3)
    patient: Patient
    status: str  #: R, F or C
    start: datetime  #: PRT-11 of the device, else when received
    asserted_by: str
    message: str
    location: str  #: PV1-3 of the report

    @property
    def validated(self) -> bool:
        return self.status in ("F", "C")


@dataclasses.dataclass(frozen=True)
class Claim:
    """What a pump is said to serve, by one source: what is shown, and may be named."""

    source: str  #: "pcim" or "adt"
    patient: Patient
    status: str  #: OBX-11, or the ADT event
    validated: bool
    association: str | None
    location: str | None
    start: datetime
    asserted_by: str
    message: str

    def key(self) -> str:
        """What makes two claims one: a change of any of it ends one and begins another."""
        return repr((self.source, self.association, self.location, self.patient.to_json(),
                     self.status if self.source == "pcim" else "", self.validated))


@dataclasses.dataclass
class State:
    """Everything the rules know; kept whole in the store after every message."""

    beds: dict[str, Occupant] = dataclasses.field(default_factory=dict)  #: bed key -> occupant (the pumps' beds)
    last_bed: list[tuple[Patient, str]] = dataclasses.field(default_factory=list)  #: where each last lay, newest last
    associations: dict[str, Assoc] = dataclasses.field(default_factory=dict)  #: pump label -> association
    refused: dict[str, list[Patient]] = dataclasses.field(default_factory=dict)  #: pump label -> reported wrong
    wrong: dict[str, dict[str, Any]] = dataclasses.field(default_factory=dict)  #: pump label -> last wrong report
    seen: list[str] = dataclasses.field(default_factory=list)  #: "sender|MSH-10" of recent messages
    #: pump label -> source -> (claim key, claim id): the claims open in the store
    open: dict[str, dict[str, tuple[str, int]]] = dataclasses.field(default_factory=dict)
    named: dict[str, int] = dataclasses.field(default_factory=dict)  #: pump label -> the claim named

    def last_of(self, patient: Patient) -> str | None:
        return next((bed for p, bed in reversed(self.last_bed) if p.same(patient)), None)


# -- ADT -------------------------------------------------------------------------

def apply_adt(state: State, adt: Adt, places: Sequence[Place], received: datetime) -> None:
    """Bed occupancy after an ADT event (only the pumps' beds are kept)."""
    ours = {p.bed for p in places if p.bed}
    since = adt.occurred or received

    def remove(patient: Patient, keep: str = "") -> None:
        for bed, occ in list(state.beds.items()):
            if bed != keep and occ.patient.same(patient):
                del state.beds[bed]
                _remember(state, patient, bed)

    def vacate(location: Sequence[str], patient: Patient) -> None:
        # ADT says the patient left this bed: whoever else the station had there is not known to be there
        bed = bed_key(location) if location else ""
        occ = state.beds.get(bed)
        if occ is not None and not occ.patient.same(patient):
            del state.beds[bed]
            _remember(state, occ.patient, bed)

    def place(patient: Patient, bed: str | None) -> None:
        if not bed or bed not in ours:
            return
        old = state.beds.get(bed)
        if old is not None and old.patient.same(patient):
            state.beds[bed] = dataclasses.replace(old, patient=patient)  # said again: they lie there since before
            return
        if old is not None:
            _remember(state, old.patient, bed)
        state.beds[bed] = Occupant(patient, since, adt.event, adt.header.control_id, adt.header.sender)
        for p in places:  # someone new in the bed: what a W refused there is over
            if p.bed == bed:
                state.refused.pop(p.label, None)

    event = adt.event
    if event == "A17":
        for patient, _, _ in adt.moves:
            remove(patient)
        for patient, location, _ in adt.moves:
            place(patient, bed_key(location))
        return
    for patient, location, prior in adt.moves:
        if event in ("A01", "A04", "A02"):
            remove(patient, keep=bed_key(location))
            if event == "A02":
                vacate(prior, patient)
            place(patient, bed_key(location))
        elif event in ("A03", "A11"):
            remove(patient)
            vacate(location, patient)
        elif event in ("A12", "A13"):
            back = bed_key(location) if location else state.last_of(patient)
            remove(patient)
            place(patient, back)
        elif event == "A08":
            for bed, occ in list(state.beds.items()):
                if occ.patient.same(patient):
                    state.beds[bed] = dataclasses.replace(occ, patient=patient)


def _remember(state: State, patient: Patient, bed: str) -> None:
    state.last_bed = [(p, b) for p, b in state.last_bed if not p.same(patient)][-_REMEMBERED + 1:]
    state.last_bed.append((patient, bed))


# -- PCIM ------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Wrong:
    """A ``W`` for a pump: the association and patient it declares wrong."""

    association: str
    patient: Patient | None
    since: datetime | None  #: the association's start, as far as known


def apply_association(state: State, report: Association, place: Place, received: datetime) -> Wrong | None:
    """A pump's association after a report about its device; a ``Wrong`` when it was declared wrong."""
    label = place.label
    current = state.associations.get(label)
    this = current is not None and current.id == report.association
    if report.wrong:
        # the association it names, or (should it name none this station knows) its patient's with this device
        this = this or (current is not None and report.patient is not None and current.patient.same(report.patient))
        patient = current.patient if this and current is not None else report.patient
        if this:
            del state.associations[label]
        if patient is not None:
            refused = [p for p in state.refused.get(label, []) if not p.same(patient)]
            state.refused[label] = refused + [patient]
        if this and current is not None:
            return Wrong(current.id, patient, current.start)
        return Wrong(report.association, patient, report.start)
    if not report.associated:
        if current is not None and (this or (report.patient is not None and current.patient.same(report.patient))):
            del state.associations[label]
        return None
    if report.end is not None and report.end <= received:
        if this:  # a completed association (or its correction): over
            del state.associations[label]
        return None
    if current is not None and not this and report.status == "C":
        return None  # a correction of an association that is no longer this device's current one
    assert report.patient is not None  # an association report without PID-3 was refused in ``messages``
    state.associations[label] = Assoc(report.association, report.patient, report.status,
                                      report.start or received, report.asserted_by, report.header.control_id,
                                      "^".join(report.location))
    if report.validated:  # confirmed at the bedside: no longer refused here
        state.refused[label] = [p for p in state.refused.get(label, []) if not p.same(report.patient)]
    return None


# -- what a pump is said to serve, and who is named --------------------------------

def claims(state: State, place: Place, by_location: bool) -> dict[str, Claim]:
    """The claims shown for a pump, by source ("pcim", "adt")."""
    out: dict[str, Claim] = {}
    a = state.associations.get(place.label)
    if a is not None:
        out["pcim"] = Claim("pcim", a.patient, a.status, a.validated, a.id, a.location or None, a.start,
                            a.asserted_by, a.message)
    occ = state.beds.get(place.bed) if by_location and place.bed else None
    if occ is not None:
        out["adt"] = Claim("adt", occ.patient, occ.event, False, None, place.bed, occ.since, occ.sender,
                           occ.message)
    return out


def named(state: State, place: Place, shown: dict[str, Claim], use_unvalidated: bool) -> Claim | None:
    """The claim whose patient the pump's messages name, if any."""
    pcim = shown.get("pcim")
    if pcim is not None and (pcim.validated or use_unvalidated):
        return pcim
    adt = shown.get("adt")
    if adt is not None and not any(adt.patient.same(p) for p in state.refused.get(place.label, [])):
        return adt
    return None


def visit_of(state: State, patient: Patient) -> Value:
    """The patient's visit number: their own, else ADT's for them."""
    if patient.visit:
        return patient.visit
    return next((occ.patient.visit for occ in state.beds.values() if occ.patient.same(patient)), ())
