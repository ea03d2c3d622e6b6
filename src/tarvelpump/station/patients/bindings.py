"""Who each pump serves, live: the rules applied to every message, kept, and handed on.

``Bindings.take(text)`` reads one ADT or PCIM message, applies the rules
(``rules``) to a copy of the state, writes what changed in one transaction
(the claims opened and ended, which one each pump names from now on, the
events, the state itself) and only then makes it the state in force and
answers ``AA``: an acknowledgement always follows the commit. A message that
cannot be used is answered ``AE`` or ``AR`` and changes nothing; one that
cannot be committed (a store that takes no writes) ``AR``, to be sent again.

The events of a change (``patient_event``) follow through the hub, committed
like any other event (``hl7_rejected`` is told the same way): the page, the
terminal and MQTT hear of them. They name no one.

The composer asks ``patient(label)`` for each message (``hl7.PatientSource``)
and reports with ``sent`` the messages that named someone; the store writes
those with the round (``write_round``: the bindings are one of its round
participants), so a wrong association can list them. ``shown()`` is what the
page may show of each pump's patients.
"""

from __future__ import annotations

import copy
import hashlib
import json
import logging
import threading
import time
from collections.abc import Callable, Sequence
from datetime import datetime
from typing import TYPE_CHECKING, Any

from ..outputs.hl7 import Named
from ..records.kinds import PatientBound, PatientUnbound, WrongPatient
from ..records.model import Event, EventKind, RoundResult, now
from ..settings.config import StationConfig, parse_location
from . import device_names
from . import store as kept
from .messages import Adt, Association, Header, Patient, Unusable, ack, loose_header, read
from .rules import Claim, Place, State, Wrong, apply_adt, apply_association, bed_key, claims, named, place_of, visit_of

if TYPE_CHECKING:
    import sqlite3

    from ..records.store import Store

__all__ = ["Bindings", "patient_event"]

log = logging.getLogger(__name__)

#: "sender|MSH-10" of the messages remembered, so one sent again is not applied twice
SEEN = 500
_ADT_REASONS = {"A01": "admitted", "A02": "transferred", "A03": "discharged", "A04": "registered", "A08": "updated",
                "A11": "admission cancelled", "A12": "transfer cancelled", "A13": "discharge cancelled",
                "A17": "beds swapped"}
PRUNE_EVERY_S = 600.0


def patient_event(kind: EventKind, place: Place, at: datetime, *, message: str, station: str = "",
                  claim: Claim | None = None, claim_id: int = 0, named: bool = False, reason: str = "",
                  association: str = "", control_ids: Sequence[str] = (), withheld: Sequence[str] = ()) -> Event:
    """The events of the patients, every kind built here. None carries who the
    patient is: the claim's id leads to it (``station patients``) for those who may see it."""
    common: dict[str, Any] = {"pump": place.label, "link": place.link, "time": at, "station": station,
                              "message": message}
    if kind is EventKind.PATIENT_BOUND:
        assert claim is not None
        return PatientBound(**common, claim=claim_id, source=claim.source, status=claim.status,
                            validated=claim.validated, named=named, association=claim.association,
                            location=claim.location)
    if kind is EventKind.PATIENT_UNBOUND:
        assert claim is not None
        return PatientUnbound(**common, claim=claim_id, source=claim.source, reason=reason)
    assert kind is EventKind.WRONG_PATIENT
    return WrongPatient(**common, association=association, control_ids=list(control_ids), withheld=list(withheld))


class Bindings:
    """The patients of a station's pumps (``[patients]``, each pump's ``location`` and ``device_id``)."""

    def __init__(self, config: StationConfig, *, station: str = "") -> None:
        p = config.patients
        self.station = station  #: the name the events carry (MQTT's ward where the configuration has none)
        self.by_location = p.by_location
        self.use_unvalidated = p.use_unvalidated
        self.application = config.hl7.application
        self.places = [
            Place(pc.label, pc.link, pc.id, bed_key(parse_location(pc.location)) if pc.location else "",
                  (tuple(pc.device_id.split("^")),) if pc.device_id else tuple((n,) for n in device_names(config, pc)))
            for pc in config.pumps]
        self._retention = config.store.retention_days
        self._store: Store | None = None
        self._publish: Callable[[RoundResult], None] | None = None
        self._state = State()
        self._lock = threading.Lock()  # the state in force, what it names, the messages reported sent
        self._intake = threading.Lock()  # one message at a time, from its reading to its answer
        self._named: dict[str, Named] = {}
        self._pending: list[tuple[int, str, str, float]] = []
        self._next_prune = 0.0
        self._counts = {"received": 0, "taken": 0, "refused": 0}

    # -- starting --------------------------------------------------------------------

    def open(self, store: Store, publish: Callable[[RoundResult], None]) -> None:
        """Go on from what the store kept, brought in line with this configuration
        (a pump gone, or moved to another bed, lets its claims go). ``publish``
        (the hub's) commits the events and hands them on; the store must have the
        bindings among its round participants (``Store.add_participant``)."""
        self._store, self._publish = store, publish
        at = now()
        lost = False
        with store.reader() as db:
            try:
                state = kept.load_state(db)
            except (ValueError, KeyError, TypeError, IndexError, AttributeError) as exc:
                # Unknown is safe, a guess is not: every pump starts without a patient.
                log.error("patients: the kept state of %s cannot be read (%s); every pump starts without a "
                          "patient until ADT or PCIM says otherwise", store.path, exc)
                state, lost = State(), True
        events: list[Event] = []

        def write(db: sqlite3.Connection) -> None:
            if lost:
                kept.close_all(db, at, "the patients' kept state could not be read")
            events.extend(self._reconcile(db, state, at, "the station's configuration changed", ""))
            kept.save_state(db, state)

        self._commit(write, state)
        self._tell(events)
        if events:
            log.info("patients: %d claims changed with the configuration", len(events))

    # -- the composer and the store --------------------------------------------------

    def patient(self, label: str) -> Named | None:
        with self._lock:
            return self._named.get(label)

    def sent(self, label: str, claim: int, control_id: str, kind: str) -> None:
        with self._lock:
            self._pending.append((claim, control_id, kind, time.time()))

    def write_round(self, db: sqlite3.Connection, result: RoundResult) -> None:
        """In the round's transaction, once its messages are queued: which of them named which claim."""
        with self._lock:
            rows, self._pending = self._pending, []
        if rows:
            kept.record_sent(db, rows)
        if self._retention is not None and time.monotonic() >= self._next_prune:
            self._next_prune = time.monotonic() + PRUNE_EVERY_S
            kept.prune_sent(db, time.time() - self._retention * 86400.0)

    def settle_round(self, committed: bool) -> None:
        if not committed:  # messages composed but never queued named no one
            with self._lock:
                self._pending = []

    # -- messages in -----------------------------------------------------------------

    def take(self, text: str) -> str:
        """Apply one message and commit it; its acknowledgement."""
        try:
            return self._take(text)
        except Exception as exc:  # a fault of the station itself: said, and the sender asked to try again
            log.exception("patients: a message could not be taken")
            return self._refuse(text, None, Unusable("AR", f"the station failed on it ({type(exc).__name__}); "
                                                           "send it again later", "", "NOT_KEPT"))

    def _take(self, text: str) -> str:
        received = now()
        with self._intake:
            self._count("received")
            try:
                msg = read(text)
            except Unusable as exc:
                return self._refuse(text, None, exc)
            head = msg.header
            # the same message sent again (its answer was lost), not another one reusing its MSH-10
            seen = f"{head.sender}|{head.control_id}|{hashlib.sha256(text.encode()).hexdigest()[:16]}"
            with self._lock:
                state = copy.deepcopy(self._state)
            if seen in state.seen:  # sent again (our answer was lost): taken already
                self._count("taken")
                return ack(text, head, "AA", application=self.application)
            try:
                wrong, place, reason, end = self._apply(state, msg, received)
            except Unusable as exc:
                return self._refuse(text, head, exc)
            state.seen = (state.seen + [seen])[-SEEN:]
            events: list[Event] = []

            def write(db: sqlite3.Connection) -> None:
                if wrong is not None and place is not None:
                    events.append(self._wrong(db, state, place, wrong, received, head))
                events.extend(self._reconcile(db, state, received, reason, head.control_id, end=end,
                                              wrong=wrong))
                kept.save_state(db, state)

            try:
                self._commit(write, state)
            except Exception as exc:
                log.error("patients: the %s message %s could not be kept (%s); answered AR", head.trigger or "?",
                          head.control_id, exc)
                return self._refuse(text, head, Unusable("AR", f"the station cannot keep it now ({exc}); send it "
                                                               "again later", "", "NOT_KEPT"))
            self._tell(events)
        self._count("taken")
        return ack(text, head, "AA", application=self.application)

    def _tell(self, events: list[Event]) -> None:
        """The events of a committed change, committed and handed on through the hub (a round of
        their own per link). A station stopped in between keeps the change without them."""
        assert self._publish is not None, "Bindings.open(store, publish) first"
        for link in dict.fromkeys(e.link for e in events):
            mine = tuple(e for e in events if e.link == link)
            self._publish(RoundResult(link=link, started=mine[0].time, duration_s=0.0, exchanges=0, readings=(),
                                      events=mine, views=(), partial=True))

    def _refuse(self, text: str, head: Header | None, exc: Unusable) -> str:
        self._count("refused")
        log.warning("patients: message %s answered %s: %s", (head or loose_header(text)).control_id or "(no MSH-10)",
                    exc.ack, exc.text)
        return ack(text, head, exc.ack, exc, application=self.application)

    def _apply(self, state: State, msg: Adt | Association,
               received: datetime) -> tuple[Wrong | None, Place | None, str, datetime | None]:
        """(a wrong association, its pump, why claims end, when as asserted) of applying ``msg`` to ``state``."""
        if isinstance(msg, Adt):
            apply_adt(state, msg, self.places, received)
            return None, None, f"{_ADT_REASONS.get(msg.event, 'ADT')} ({msg.event})", msg.occurred
        found = place_of(self.places, msg.devices)
        if len(found) > 1:
            raise Unusable("AE", "PRT-10 names more than one pump of this station: "
                                 + ", ".join(p.label for p in found), "PRT^1^10", "INVALID")
        if not found:
            return None, None, "", None  # another station's device: taken, nothing changes
        wrong = apply_association(state, msg, found[0], received)
        if msg.wrong:
            reason = f"reported wrong ({msg.status})"
        elif not msg.associated:
            reason = "disassociated"
        else:
            reason = "corrected (C)" if msg.status == "C" else "a newer association"
        end = msg.end or (msg.start if msg.associated and not msg.wrong else None)
        return wrong, found[0], reason, end

    def _commit(self, write: Callable[[sqlite3.Connection], None], state: State) -> None:
        """Write, commit, and make ``state`` the one in force before any round is composed."""
        assert self._store is not None, "Bindings.open(store) first"
        with self._store.transaction(then=lambda: self._enforce(state)) as db:
            write(db)

    def _enforce(self, state: State) -> None:
        names: dict[str, Named] = {}
        for place in self.places:
            cid = state.named.get(place.label)
            if cid is None:
                continue
            pick = named(state, place, claims(state, place, self.by_location), self.use_unvalidated)
            if pick is None:  # cannot be: ``named`` holds what ``_reconcile`` picked
                continue
            pid3, pid5, _ = pick.patient.er7()
            visit = Patient((), (), visit_of(state, pick.patient)).er7()[2]
            names[place.label] = Named(cid, pid3, pid5, visit)
        with self._lock:
            self._state = state
            self._named = names

    # -- what changes ------------------------------------------------------------------

    def _reconcile(self, db: sqlite3.Connection, state: State, at: datetime, reason: str, message: str, *,
                   end: datetime | None = None, wrong: Wrong | None = None) -> list[Event]:
        """Claims ended and begun, and who each pump names, from ``state``; their events."""
        events: list[Event] = []
        labels = {p.label for p in self.places}
        for label in [x for x in state.open if x not in labels]:  # a pump no longer configured
            for _, cid in state.open.pop(label).values():
                kept.close_claim(db, cid, at, reason)
            kept.close_named(db, label, at)
            state.named.pop(label, None)
        for place in self.places:
            shown = claims(state, place, self.by_location)
            opened = state.open.setdefault(place.label, {})
            begun: list[tuple[Claim, int]] = []
            for source in ("pcim", "adt"):
                want, have = shown.get(source), opened.get(source)
                if have is not None and (want is None or want.key() != have[0]):
                    is_wrong = wrong is not None and source == "pcim" and want is None
                    kept.close_claim(db, have[1], at, f"{reason} ({message})" if message else reason,
                                     end=end if message else None, wrong=is_wrong)
                    del opened[source]
                    ended = _claim_of(db, have[1])
                    if ended is not None:
                        events.append(patient_event(EventKind.PATIENT_UNBOUND, place, at, message=message,
                                                    station=self.station, claim=ended, claim_id=have[1],
                                                    reason=reason))
                if want is not None and source not in opened:
                    cid = kept.open_claim(db, place.label, want, at)
                    opened[source] = (want.key(), cid)
                    begun.append((want, cid))
            pick = named(state, place, shown, self.use_unvalidated)
            cid_named = opened[pick.source][1] if pick is not None else None
            if state.named.get(place.label) != cid_named:
                kept.close_named(db, place.label, at)
                if cid_named is None:
                    state.named.pop(place.label, None)
                else:
                    kept.open_named(db, cid_named, place.label, at)
                    state.named[place.label] = cid_named
            for claim, cid in begun:
                events.append(patient_event(EventKind.PATIENT_BOUND, place, at, message=message,
                                            station=self.station, claim=claim, claim_id=cid, named=cid == cid_named))
            if wrong is None and any(c.source == "pcim" or place.label not in state.refused for c, _ in begun):
                state.wrong.pop(place.label, None)  # a new association, or someone new in the bed: dealt with
            if not opened:
                del state.open[place.label]
        return events

    def _wrong(self, db: sqlite3.Connection, state: State, place: Place, wrong: Wrong, at: datetime,
               head: Header) -> Event:
        """A wrong association: every message of the pump already composed naming
        that patient since it began (those still queued now name no one)."""
        kept.mark_wrong(db, wrong.association)
        since = 0.0 if wrong.since is None else min(wrong.since, at).timestamp()
        ids = [] if wrong.patient is None else kept.sent_under(db, place.label, wrong.patient, since)
        assert self._store is not None
        withheld = kept.withhold(db, self._store.outbox, place.label, ids)
        state.wrong[place.label] = {"time": at.isoformat(), "association": wrong.association,
                                    "messages": len(ids), "withheld": len(withheld), "report": head.control_id}
        log.error("patients: association %s of %s reported wrong: %d messages named that patient (%d still "
                  "queued, sent now without a patient); the event wrong_patient lists them", wrong.association,
                  place.label, len(ids), len(withheld))
        return patient_event(EventKind.WRONG_PATIENT, place, at, message=head.control_id, station=self.station,
                             association=wrong.association, control_ids=ids, withheld=withheld)

    def _count(self, what: str) -> None:
        with self._lock:
            self._counts[what] += 1

    # -- what is shown -------------------------------------------------------------------

    def counts(self) -> dict[str, int]:
        """Messages received, taken (AA) and refused (AE, AR)."""
        with self._lock:
            return dict(self._counts)

    def shown(self) -> dict[str, dict[str, Any]]:
        """Per pump id, what the page shows: its claims (patient, source, validated,
        named or not and why) and the last wrong report. Patient data: only for
        those who may see it."""
        with self._lock:
            state = self._state
        out: dict[str, dict[str, Any]] = {}
        for place in self.places:
            shown = claims(state, place, self.by_location)
            if not shown and place.label not in state.wrong:
                continue
            pick = named(state, place, shown, self.use_unvalidated)
            items = []
            for claim in shown.values():
                refused = any(claim.patient.same(p) for p in state.refused.get(place.label, []))
                items.append({**claim.patient.words(), "source": claim.source, "status": claim.status,
                              "validated": claim.validated, "named": claim is pick,
                              "refused": refused, "since": claim.start.isoformat()})
            out[place.id] = {"patients": items, "wrong": state.wrong.get(place.label)}
        return out


def _claim_of(db: sqlite3.Connection, cid: int) -> Claim | None:
    """A claim as kept (for the event of its end)."""
    row = db.execute("SELECT source, patient, status, validated, association, location, start, asserted_by,"
                     " message FROM patient_claims WHERE id = ?", (cid,)).fetchone()
    if row is None:
        return None
    return Claim(row[0], Patient.from_json(json.loads(row[1])), row[2], bool(row[3]), row[4], row[5],
                 datetime.fromisoformat(row[6]), row[7], row[8])
