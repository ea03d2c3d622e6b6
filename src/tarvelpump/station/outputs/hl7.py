"""HL7 v2.6 out of the station: IHE PCD-01 (device observations) and PCD-04 (alarms).

``Composer`` is the HL7 output of the store's outbox: it turns each round the
store commits into the messages it calls for, written as the output's rows
in the round's own transaction, so only committed data is ever sent.
``mllp.Hl7Publisher`` then delivers them.

What is sent, per pump (``PumpView``):

- PCD-01 ``ORU^R01^ORU_R01`` when the pump is first heard, on each change of
  its running state or presence, and at least every ``report_every`` seconds
  while it answers (a report due only because that time passed may be
  replaced by the pump's next one while the receiver is away: see
  ``records.outbox``); once when it goes offline (its values then carry OBX-11
  ``X``, never an old value as if current); after a restart, also a pump
  heard before it and silent since. A pump never heard gets nothing.
- PCD-04 ``ORU^R40^ORU_R01`` for each alarm raised (phase ``start``, state
  ``active``) and cleared (``end``, ``inactive``).

The patient is the one ``patients`` names for the pump when the message is
composed (``PatientSource``): PID-3 and PID-5 as received, PID-31 ``N`` and,
from ADT, PV1-19. With none, PID-3 is ``unknown^^^99TVP``, PID-5 name type
``U`` and PID-31 (identity unknown) ``Y``: never a guessed patient. A change
of the patient named makes a PCD-01 of the pump due in the same round. PV1-3
is the pump's ``location`` where configured, else ``<point of care>^^<bed>``,
short codes given or derived from the station's name and the pump's label
(see ``hl7_fields``, which fits every value to its v2.6 length); OBX-18 names
the pump as ``<station>/<link>/<addr>/<channel>``.

Every MDC code is in ``MDC`` below and nowhere else; anything without one is
sent as a local code (coding system ``99TVP``) with the operator's text.

Messages are written here as text, segment by segment: they are composed on
the poller's thread while the store holds its lock, where hl7apy's object
model took 40-60 ms a message (0.2 ms this way). The tests check every kind
of message with hl7apy's strict v2.6 validation instead.
"""

from __future__ import annotations

import dataclasses
import functools
import logging
import time
import uuid
from collections import defaultdict
from collections.abc import Callable, Mapping
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, Protocol

from ... import comm
from ..records.kinds import AlarmCleared, AlarmRaised, Offline, StateChanged
from ..records.model import OFFLINE, ONLINE, Event, EventKind, PumpView, RoundResult, now
from ..records.outbox import Outgoing
from .hl7_fields import CODE_MAX, TEXT_MAX, bed_code, escape, facility_code, fit, point_of_care_code

if TYPE_CHECKING:
    from ..settings.config import StationConfig

__all__ = ["ALARM_CODES", "LOCAL", "MDC", "NO_PATIENT", "SENDS", "Composer", "Hl7Message", "Named", "PatientSource",
           "escape", "priority", "without_patient"]

log = logging.getLogger(__name__)

_K = EventKind
#: What each kind of event makes the composer send: a PCD-04 of its own, a
#: change the pump's PCD-01 reports (due at once for its running state and
#: presence, with the time each value was read), or nothing (the engine hears
#: of a link through its pumps going offline; of the station's own faults, not at all). A patient bound
#: or unbound sends nothing of its own: the pump's next PCD-01 names the patient now due, and the
#: composer makes that one due as soon as the patient named changes (``Named.claim``).
SENDS: dict[str, str | None] = {
    _K.ALARM_RAISED: "PCD-04", _K.ALARM_CLEARED: "PCD-04",
    _K.STATE_CHANGED: "PCD-01", _K.OFFLINE: "PCD-01", _K.ONLINE: "PCD-01", _K.DOOR_OPENED: "PCD-01",
    _K.DOOR_CLOSED: "PCD-01", _K.NEAR_END: "PCD-01",
    _K.LINK_DOWN: None, _K.LINK_UP: None, _K.POLLER_FAILED: None, _K.POLLER_RECOVERED: None, _K.HL7_REJECTED: None,
    _K.PATIENT_BOUND: None, _K.PATIENT_UNBOUND: None, _K.WRONG_PATIENT: None,
}

#: ISO/IEEE 11073-10101 codes, coding system MDC: the one table of them.
MDC: dict[str, int] = {
    "MDC_DEV_PUMP_INFUS_MDS": 69985,
    "MDC_DEV_PUMP_INFUS_VMD": 69986,
    "MDC_DEV_PUMP_INFUS_CHAN_DELIVERY": 126978,
    "MDC_PUMP_STAT": 184508,
    "MDC_TIME_PD_REMAIN": 157916,
    "MDC_DIM_MIN": 264352,
    "MDC_DIM_SEC": 264320,
    "MDC_DIM_MILLI_L_PER_HR": 265266,
    "MDC_EVT_ALARM": 196616,
    "MDC_ATTR_ALERT_SOURCE": 68480,
    "MDC_ATTR_EVENT_PHASE": 68481,
    "MDC_ATTR_ALARM_STATE": 68482,
    "MDC_ATTR_ALARM_PRIORITY": 68484,
    "MDC_ATTR_ALERT_TYPE": 68485,
    "MDC_EVT_FLUID_LINE_OCCL": 196940,
    "MDC_EVT_BATT_LO": 196802,  # a single source: correct it here should another disagree
}

#: The alarm bits that have an MDC event code; every other one is a local code.
ALARM_CODES: dict[str, str] = {
    "ALARM_OCCLUSION": "MDC_EVT_FLUID_LINE_OCCL",
    "ALARM_LOW_BATTERY": "MDC_EVT_BATT_LO",
}

LOCAL = "99TVP"
NO_PATIENT = f"unknown^^^{LOCAL}"  #: PID-3: no patient is known to the station
PCD01_PROFILE = "IHE_PCD_001^IHE PCD^1.3.6.1.4.1.19376.1.6.1.1.1^ISO"
PCD04_PROFILE = "IHE_PCD_ACM_001^IHE PCD^1.3.6.1.4.1.19376.1.6.4.4.1^ISO"

#: the view fields reported as observations, each with the time it was read
FIELDS = ("running", "door", "remaining_s", "rate_unit")


@dataclasses.dataclass(frozen=True)
class Named:
    """The patient a pump's messages name, as sent (escaped ER7)."""

    claim: int  #: what names them (``patients``): a change of it makes a PCD-01 due
    pid3: str
    pid5: str
    visit: str = ""  #: PV1-19


class PatientSource(Protocol):
    """Who each pump serves (``patients.Bindings``)."""

    def patient(self, label: str) -> Named | None:
        """The patient the pump's messages name now: the binding in force when they are composed."""

    def sent(self, label: str, claim: int, control_id: str, kind: str) -> None:
        """A message naming that claim's patient was composed (kept with the round that queues it)."""


def _pid(named: Named | None) -> str:
    if named is None:  # PID-31, identity unknown: yes
        return segment("PID", {3: NO_PATIENT, 5: "^^^^^^U", 31: "Y"})
    return segment("PID", {3: named.pid3, 5: named.pid5, 31: "N"})


def without_patient(text: str) -> str:
    """A message as composed, naming no patient (a patient reported wrong
    after it was queued): its PID as for an unknown patient, no PV1-19."""
    lines = text.split("\r")
    for i, line in enumerate(lines):
        if line.startswith("PID|"):
            lines[i] = _pid(None)
        elif line.startswith("PV1|"):
            f = line.split("|")
            if len(f) > 19:
                f[19] = ""
            lines[i] = "|".join(f).rstrip("|")
    return "\r".join(lines)


def mdc(name: str, text: str = "") -> str:
    """A CWE of an MDC code; ``text`` (the operator's) as its original text."""
    return f"{MDC[name]}^{name}^MDC" + (f"^^^^^^{fit(text, TEXT_MAX)}" if text else "")


def local(code: str, text: str) -> str:
    """A CWE of a local code (a long one shortened: "ALARM_INFUSION_NEARLY_COMPLETE" is
    sent as "AI_NEARLY_COMPLETE"), with its text."""
    return f"{fit(code, CODE_MAX)}^{fit(text, TEXT_MAX)}^{LOCAL}"


def dtm(t: datetime) -> str:
    t = t.astimezone(timezone.utc)
    return t.strftime("%Y%m%d%H%M%S") + f".{t.microsecond // 1000:03d}+0000"


def priority(rank: int | None) -> str:
    """An alarm's priority from its AlarmOrder position (0 most urgent): the
    occlusion high, the next three medium, the rest low. Unranked alarms
    (system faults, keys, batteries) are medium: not placed by the pump's own
    order, but not to be dropped to the bottom either."""
    if rank == 0:
        return "PH"
    if rank is not None and 1 <= rank <= 3:
        return "PM"
    if rank is not None and rank >= 4:
        return "PL"
    return "PM"


def _option(table: Any, code: int) -> tuple[str, str]:
    """(name, operator text) of a code, or the bare code for one the table lacks."""
    entry = table.get_option_by_code(code)
    return (str(code), "") if entry is None else (str(entry.name), str(entry.text))


@dataclasses.dataclass(frozen=True)
class Hl7Message:
    kind: str  #: "PCD-01" or "PCD-04"
    pump: str | None  #: label
    link: str
    control_id: str  #: MSH-10
    text: str  #: ER7, segments ended by "\r"
    #: a periodic report's: a later one of the same pump may replace it while it waits
    supersede: str | None = None


def segment(name: str, fields: dict[int, str]) -> str:
    """One segment from its fields by number (``fields[3]`` is XXX-3); empty ones may be left out."""
    out = [""] * (max(fields) + 1)
    for n, value in fields.items():
        out[n] = value
    out[0] = name
    return "|".join(out)


class _Obx:
    """The OBX rows of one order observation, numbered as added."""

    def __init__(self, lines: list[str], equipment: str) -> None:
        self.lines, self.equipment = lines, equipment
        self.n = 0

    def add(self, code: str, path: str, status: str, *, kind: str = "", value: str = "", unit: str = "",
            at: datetime | None = None) -> None:
        self.n += 1
        self.lines.append(segment("OBX", {
            1: str(self.n), 2: kind if value else "", 3: code, 4: path, 5: value, 6: unit, 11: status,
            14: "" if at is None else dtm(at), 18: self.equipment}))


class Composer:
    """Decides which messages a committed round calls for, and writes them:
    the HL7 output of the store's outbox (``records.outbox.Output``).

    The store asks ``rows_for`` each round inside its transaction, then
    ``settle``s as the transaction ends (``commit`` or ``rollback``): what was
    reported, and when each value was read, only moves on with what is really
    stored, and several rounds in one transaction see each other. Calls come
    one at a time (under the store's lock).
    """

    name = "hl7"

    @classmethod
    def of(cls, config: StationConfig, patients: PatientSource | None = None) -> Composer:
        """The composer a station's configuration (its [hl7] table, each pump's ``location``) asks
        for; ``patients``: who each pump serves (none: every message names no one)."""
        h = config.hl7
        return cls(station=config.name, application=h.application, facility=h.facility,
                   point_of_care=h.point_of_care, report_every=h.report_every,
                   receiving_application=h.receiving_application, receiving_facility=h.receiving_facility,
                   beds={p.label: p.hl7_bed for p in config.pumps if p.hl7_bed}, patients=patients,
                   locations={p.label: p.location for p in config.pumps if p.location})

    def __init__(self, *, station: str, application: str = "TARVELPUMP", facility: str = "",
                 point_of_care: str = "", beds: Mapping[str, str] | None = None,
                 receiving_application: str = "", receiving_facility: str = "",
                 report_every: float = 60.0, clock: Callable[[], float] = time.monotonic,
                 patients: PatientSource | None = None, locations: Mapping[str, str] | None = None) -> None:
        if not report_every > 0:
            raise ValueError(f"report_every must be positive, not {report_every!r}")
        self.station = station or "station"
        # As sent (escaped, fitted): MSH-3, MSH-4, PV1-3.1; PV1-3.3 by label (``hl7_bed``)
        self.application = fit(application, CODE_MAX)
        self.facility = facility_code(facility, self.station)
        self.point_of_care = point_of_care_code(point_of_care, self.station)
        # MSH-5 and MSH-6: empty unless the engine routes on them
        self.receiving = (fit(receiving_application, CODE_MAX), fit(receiving_facility, CODE_MAX))
        self.processing = "P"  # MSH-11: production; a test message says "T"
        self._beds = dict(beds or {})
        self._locations = dict(locations or {})  # label -> PV1-3 as configured (``location``)
        self._patients = patients
        self._named: Named | None = None  # the patient of the message being written
        self.report_every = report_every
        self._clock = clock
        # MSH-10: this run's own prefix, then a counter: unique across restarts,
        # and in the order the messages were made
        self._boot = uuid.uuid4().hex[:8]
        self._n = 0
        self._read: dict[str, dict[str, tuple[object, datetime]]] = {}  # label -> field -> (value, read at)
        self._reported: dict[str, tuple[str, int | None, float, bool]] = {}  # label -> (presence, running, when, whole)
        self._views: dict[str, PumpView] = {}
        # what the rounds of the transaction under way add, until it ends
        self._new_read: dict[str, dict[str, tuple[object, datetime]]] = defaultdict(dict)
        self._new_reported: dict[str, tuple[str, int | None, float, bool]] = {}
        self._claims: dict[str, int | None] = {}  # label -> the claim its last PCD-01 named
        self._new_claims: dict[str, int | None] = {}

    # -- deciding ------------------------------------------------------------

    def compose(self, result: RoundResult) -> list[Hl7Message]:
        """The messages ``result`` calls for; what they say counts as
        reported once ``commit()`` follows (``rollback()``: it never was)."""
        read = self._new_read
        reported = self._new_reported
        t = self._clock()

        def last(label: str, field: str) -> tuple[object, datetime] | None:
            return read[label].get(field) or self._read.get(label, {}).get(field)

        for r in result.readings:
            for field in FIELDS:
                value = getattr(r, field)
                if value is not None:
                    read[r.pump][field] = (value, r.time)
        news: dict[str, list[Event]] = defaultdict(list)
        for e in result.events:
            if SENDS[e.kind] is not None and e.pump is not None:
                news[e.pump].append(e)
                if isinstance(e, StateChanged):
                    read[e.pump]["running"] = (e.to_code, e.time)
        views = {v.label: v for v in result.views}
        self._views.update(views)

        out: list[Hl7Message] = []
        for e in result.events:  # alarms first: they are what a nurse must hear of
            if SENDS[e.kind] == "PCD-04" and isinstance(e, (AlarmRaised, AlarmCleared)):
                view = views.get(e.pump) or self._views.get(e.pump)
                if view is not None:
                    self._build(out, "PCD-04", view, functools.partial(self._pcd04, view=view, e=e))
        for label, view in views.items():
            if news[label]:
                # An early report inside a pass has no reading yet: what
                # changed since the last one was read with the event.
                for field in FIELDS:
                    value, seen = getattr(view, field), last(label, field)
                    if value is not None and seen is not None and seen[0] != value:
                        read[label][field] = (value, news[label][0].time)
            before = reported.get(label) or self._reported.get(label)
            periodic = False  # due only because report_every passed
            whole = all(getattr(view, f) is not None for f in FIELDS)
            named = self._patients.patient(label) if self._patients is not None else None
            claim = None if named is None else named.claim
            # another patient (or none): the engine re-files from a PCD-01 now, whatever else is due
            rebound = (label in self._new_claims or label in self._claims) and \
                self._new_claims.get(label, self._claims.get(label)) != claim
            if view.online:
                if result.partial:  # only a change of running state is worth an early word
                    due = before is not None and before[0] == ONLINE and before[1] != view.running
                elif before is None or before[0] != ONLINE or before[1] != view.running:
                    due = True
                else:
                    # once the whole status is known (the first pass reads only part of it), else when due
                    due = (whole and not before[3]) or t - before[2] >= self.report_every
                    periodic = due and not (whole and not before[3])
            else:
                # Offline once, for a pump reported answering (in this run, or
                # heard in an earlier one, whose last report said it answered);
                # never for a pump never heard.
                due = view.presence == OFFLINE and (before[0] == ONLINE if before is not None
                                                    else view.last_seen is not None)
            if rebound and view.last_seen is not None:  # due now, and never replaced by a later report
                due, periodic = True, False
            if due:
                times = {f: v for f in FIELDS if (v := last(label, f)) is not None}
                gone = next((e.time for e in news[label] if isinstance(e, Offline)), None)
                self._build(out, "PCD-01", view, functools.partial(self._pcd01, view=view, times=times, gone=gone),
                            supersede=f"PCD-01 {label}" if periodic else None)
                reported[label] = (view.presence, view.running, t, whole)
                self._new_claims[label] = claim
        return out

    def test_message(self, view: PumpView) -> Hl7Message:
        """A PCD-01 for ``view`` marked as a test (MSH-11 "T"), for wiring an
        engine: what a real one looks like, which the engine need not file."""
        out: list[Hl7Message] = []
        self.processing = "T"
        try:
            self._build(out, "PCD-01", view, functools.partial(self._pcd01, view=view, times={}, gone=None))
        finally:
            self.processing = "P"
        if not out:
            raise ValueError(f"cannot write a test message for {view.label!r}")
        return out[0]

    def rows_for(self, result: RoundResult) -> list[Outgoing]:
        """The outbox rows of ``result``: its messages, as the bytes sent."""
        return [Outgoing(kind=m.kind, key=m.control_id, pump=m.pump, link=m.link, body=m.text.encode("utf-8"),
                         supersede=m.supersede) for m in self.compose(result)]

    def settle(self, committed: bool) -> None:
        if committed:
            self.commit()
        else:
            self.rollback()

    def commit(self) -> None:
        """The rounds composed since the last commit or rollback are stored."""
        for label, fields in self._new_read.items():
            self._read.setdefault(label, {}).update(fields)
        self._reported.update(self._new_reported)
        self._claims.update(self._new_claims)
        self.rollback()

    def rollback(self) -> None:
        """The rounds composed since the last commit or rollback were not stored."""
        self._new_read = defaultdict(dict)
        self._new_reported = {}
        self._new_claims = {}

    # -- writing -------------------------------------------------------------

    def _build(self, out: list[Hl7Message], kind: str, view: PumpView,
               fill: Callable[[list[str], str], None], supersede: str | None = None) -> None:
        self._n += 1
        control = f"{self._boot}{self._n:012d}"
        self._named = self._patients.patient(view.label) if self._patients is not None else None
        try:
            trigger, profile = ("R01", PCD01_PROFILE) if kind == "PCD-01" else ("R40", PCD04_PROFILE)
            # MSH-1 is the field separator itself, so MSH-n is field n - 1 of the line
            lines = ["|".join(("MSH", "^~\\&", self.application, self.facility, *self.receiving,
                               dtm(now()), "", f"ORU^{trigger}^ORU_R01", control, self.processing, "2.6", "", "",
                               "AL", "NE", "", "UNICODE UTF-8", "", "", profile))]
            fill(lines, control)
            text = "\r".join(lines) + "\r"
        except Exception:
            # a message that cannot be written must not cost the round its commit
            log.exception("HL7: cannot write the %s of %s", kind, view.label)
            return
        out.append(Hl7Message(kind, view.label, view.link, control, text, supersede))
        if self._named is not None and self._patients is not None:
            self._patients.sent(view.label, self._named.claim, control, kind)

    def _patient(self, lines: list[str], view: PumpView, order: str, code: str, at: datetime) -> _Obx:
        named = self._named
        lines.append(_pid(named))  # no one: PID-5 name type unspecified, PID-31 identity unknown
        place = self._locations.get(view.label) or \
            f"{self.point_of_care}^^{bed_code(self._beds.get(view.label, ''), view.label)}"
        pv1 = {2: "I", 3: place}
        if named is not None and named.visit:
            pv1[19] = named.visit
        lines.append(segment("PV1", pv1))
        lines.append(segment("OBR", {1: "1", 3: f"{order}^{self.application}", 4: code, 7: dtm(at)}))
        # EI.1, 199 characters: room for both names up to 80 each
        return _Obx(lines, f"{fit(self.station, 80)}/{fit(view.link, 80)}/{view.addr}/{view.channel}")

    def _pcd01(self, m: list[str], control: str, *, view: PumpView, times: dict[str, tuple[object, datetime]],
               gone: datetime | None) -> None:
        at = gone if not view.online and gone is not None else (view.last_seen or now())
        rows = self._patient(m, view, control, mdc("MDC_DEV_PUMP_INFUS_MDS"), at)
        rows.add(mdc("MDC_DEV_PUMP_INFUS_MDS"), "1.0.0.0", "X", at=at)
        if view.online:
            rows.add(local("PRESENCE", "presence"), "1.0.0.1", "F", kind="CWE",
                     value=local(ONLINE, ONLINE), at=at)
        else:
            rows.add(local("PRESENCE", "presence"), "1.0.0.1", "F", kind="CWE",
                     value=local(view.presence, view.offline_reason or view.presence), at=at)
        rows.add(mdc("MDC_DEV_PUMP_INFUS_VMD"), "1.1.0.0", "X", at=at)
        rows.add(mdc("MDC_DEV_PUMP_INFUS_CHAN_DELIVERY"), "1.1.1.0", "X", at=at)

        def metric(code: str, path: str, field: str, kind: str, value: Callable[[Any], str],
                   unit: Callable[[Any], str] = lambda v: "") -> None:
            seen = times.get(field)
            current = getattr(view, field)
            if not view.online or seen is None or current is None:
                rows.add(code, path, "X")  # cannot be given now: no value, and no time
            else:
                rows.add(code, path, "R", kind=kind, value=value(current), unit=unit(current), at=seen[1])

        metric(mdc("MDC_PUMP_STAT"), "1.1.1.1", "running", "CWE",
               lambda c: local(*_option(comm.PumpStatus, c)))
        metric(mdc("MDC_TIME_PD_REMAIN"), "1.1.1.2", "remaining_s", "NM",
               lambda s: str(s // 60 if s % 60 == 0 else s),
               lambda s: mdc("MDC_DIM_MIN" if s % 60 == 0 else "MDC_DIM_SEC"))
        metric(local("RATE_UNIT", "rate unit"), "1.1.1.3", "rate_unit", "CWE", _rate_unit)
        metric(local("DOOR", "door"), "1.1.1.4", "door", "CWE", lambda c: local(*_option(comm.PumpDoorStatus, c)))

    def _pcd04(self, m: list[str], control: str, *, view: PumpView, e: AlarmRaised | AlarmCleared) -> None:
        name, text = e.alarm, e.text or ""
        code = mdc(ALARM_CODES[name], text) if name in ALARM_CODES else local(name, text or name)
        raised = isinstance(e, AlarmRaised)
        rank = e.rank
        rows = self._patient(m, view, e.id, mdc("MDC_EVT_ALARM"), e.time)
        at = e.time
        rows.add(mdc("MDC_EVT_ALARM"), "1.0.0.0.1", "F", kind="CWE", value=code, at=at)
        rows.add(mdc("MDC_ATTR_ALERT_SOURCE"), "1.0.0.0.2", "F", kind="CWE",
                 value=mdc("MDC_DEV_PUMP_INFUS_MDS"), at=at)
        rows.add(mdc("MDC_ATTR_EVENT_PHASE"), "1.0.0.0.3", "F", kind="ST", value="start" if raised else "end", at=at)
        rows.add(mdc("MDC_ATTR_ALARM_STATE"), "1.0.0.0.4", "F", kind="ST",
                 value="active" if raised else "inactive", at=at)
        rows.add(mdc("MDC_ATTR_ALARM_PRIORITY"), "1.0.0.0.5", "F", kind="ST",
                 value=priority(rank), at=at)
        rows.add(mdc("MDC_ATTR_ALERT_TYPE"), "1.0.0.0.6", "F", kind="ST", value="ST", at=at)  # technical
        rows.add(local("ALARM_ORDER", "AlarmOrder"), "1.0.0.0.7", "F", kind="NM", value=str(rank), at=at)


def _rate_unit(code: int) -> str:
    name, text = _option(comm.RateUnit, code)
    # ML is a rate in mL/h, which has an MDC unit; drops per minute has none
    return mdc("MDC_DIM_MILLI_L_PER_HR", text) if name == "ML" else local(name, text)
