"""The patients' tables in the station's store (declared with its others, in ``records.tables``).

- ``patient_claims``: every claim a pump was shown with (a PCIM association,
  its location's occupant by ADT): the patient as received, the source,
  OBX-11 or the ADT event, validated or not, its start and end as asserted
  (PRT-11/PRT-12, EVN), when the station took it and let it go, who asserted
  it, the message that began and the one that ended it, and whether it was
  reported wrong. Never pruned: it answers "which patient did pump X serve at
  14:02".
- ``patient_named``: when each claim was the one named in the pump's messages.
- ``patient_sent``: which messages (MSH-10) named which claim, for as long as
  the store keeps readings: what a wrong association lists.
- ``patient_state``: the rules' whole state, so a restart goes on from it.

Writes take the store's writer inside a transaction that is already open
(``Store.transaction`` for a message, the round's own for ``patient_sent``).
Messages still waiting to be sent are rewritten through the store's outbox.
"""

from __future__ import annotations

import json
import sqlite3
from collections.abc import Sequence
from datetime import datetime
from typing import TYPE_CHECKING, Any

from .messages import Patient
from .rules import Assoc, Claim, Occupant, State

if TYPE_CHECKING:
    from ..records.outbox import Outbox, OutboxRow

__all__ = ["claims_at", "close_all", "close_claim", "close_named", "load_state", "open_claim", "open_named",
           "prune_sent", "record_sent", "save_state", "sent_under", "withhold"]

_STATE = "rules"


# -- the rules' state ------------------------------------------------------------

def _t(t: datetime) -> str:
    return t.isoformat()


def save_state(db: sqlite3.Connection, state: State) -> None:
    body = {
        "beds": {bed: {"patient": o.patient.to_json(), "since": _t(o.since), "event": o.event, "message": o.message,
                       "sender": o.sender} for bed, o in state.beds.items()},
        "last_bed": [[p.to_json(), bed] for p, bed in state.last_bed],
        "associations": {label: {"id": a.id, "patient": a.patient.to_json(), "status": a.status,
                                 "start": _t(a.start), "asserted_by": a.asserted_by, "message": a.message,
                                 "location": a.location} for label, a in state.associations.items()},
        "refused": {label: [p.to_json() for p in ps] for label, ps in state.refused.items()},
        "wrong": state.wrong,
        "seen": state.seen,
        "open": {label: {src: list(v) for src, v in d.items()} for label, d in state.open.items()},
        "named": state.named,
    }
    db.execute("INSERT INTO patient_state (name, body) VALUES (?, ?) ON CONFLICT (name) DO UPDATE"
               " SET body = excluded.body", (_STATE, json.dumps(body, ensure_ascii=False)))


def load_state(db: sqlite3.Connection) -> State:
    row = db.execute("SELECT body FROM patient_state WHERE name = ?", (_STATE,)).fetchone()
    if row is None:
        return State()
    d = json.loads(row[0])
    p = Patient.from_json
    return State(
        beds={bed: Occupant(p(o["patient"]), datetime.fromisoformat(o["since"]), o["event"], o["message"],
                            o["sender"]) for bed, o in d["beds"].items()},
        last_bed=[(p(x), str(bed)) for x, bed in d["last_bed"]],
        associations={label: Assoc(a["id"], p(a["patient"]), a["status"], datetime.fromisoformat(a["start"]),
                                   a["asserted_by"], a["message"], a["location"])
                      for label, a in d["associations"].items()},
        refused={label: [p(x) for x in ps] for label, ps in d["refused"].items()},
        wrong=d["wrong"], seen=list(d["seen"]),
        open={label: {src: (str(v[0]), int(v[1])) for src, v in sources.items()}
              for label, sources in d["open"].items()},
        named={label: int(v) for label, v in d["named"].items()},
    )


# -- claims and when they were named ----------------------------------------------

def open_claim(db: sqlite3.Connection, label: str, claim: Claim, received: datetime) -> int:
    cur = db.execute(
        "INSERT INTO patient_claims (pump, patient, source, status, validated, association, location, start,"
        " start_t, received_t, asserted_by, message, wrong) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,0)",
        (label, json.dumps(claim.patient.to_json(), ensure_ascii=False), claim.source, claim.status,
         int(claim.validated), claim.association, claim.location, _t(claim.start), claim.start.timestamp(),
         received.timestamp(), claim.asserted_by, claim.message))
    return int(cur.lastrowid or 0)


def close_claim(db: sqlite3.Connection, claim: int, at: datetime, ended_by: str, *, end: datetime | None = None,
                wrong: bool = False) -> None:
    """The claim is over: ``end`` as asserted (else ``at``, when the station let it go)."""
    end = end or at
    db.execute("UPDATE patient_claims SET end = ?, end_t = ?, ended_t = ?, ended_by = ?, wrong = max(wrong, ?)"
               " WHERE id = ? AND ended_t IS NULL", (_t(end), end.timestamp(), at.timestamp(), ended_by,
                                                      int(wrong), claim))


def close_all(db: sqlite3.Connection, at: datetime, ended_by: str) -> None:
    """Every claim and span still open is over (the state that held them is lost)."""
    db.execute("UPDATE patient_claims SET end = ?, end_t = ?, ended_t = ?, ended_by = ? WHERE ended_t IS NULL",
               (_t(at), at.timestamp(), at.timestamp(), ended_by))
    db.execute("UPDATE patient_named SET until_t = ? WHERE until_t IS NULL", (at.timestamp(),))


def mark_wrong(db: sqlite3.Connection, association: str) -> None:
    db.execute("UPDATE patient_claims SET wrong = 1 WHERE association = ?", (association,))


def open_named(db: sqlite3.Connection, claim: int, label: str, at: datetime) -> None:
    db.execute("INSERT INTO patient_named (claim, pump, since_t) VALUES (?,?,?)", (claim, label, at.timestamp()))


def close_named(db: sqlite3.Connection, label: str, at: datetime) -> None:
    db.execute("UPDATE patient_named SET until_t = ? WHERE pump = ? AND until_t IS NULL", (at.timestamp(), label))


# -- the messages that named a patient ----------------------------------------------

def record_sent(db: sqlite3.Connection, rows: Sequence[tuple[int, str, str, float]]) -> None:
    """(claim, MSH-10, PCD-01 or PCD-04, when) of messages queued in this round."""
    db.executemany("INSERT INTO patient_sent (claim, control_id, kind, t) VALUES (?,?,?,?)", rows)


def prune_sent(db: sqlite3.Connection, before: float, batch: int = 20_000) -> int:
    return db.execute("DELETE FROM patient_sent WHERE rowid IN (SELECT rowid FROM patient_sent WHERE t < ? LIMIT ?)",
                      (before, batch)).rowcount


def sent_under(db: sqlite3.Connection, label: str, patient: Patient, since: float) -> list[str]:
    """MSH-10 of every message of the pump that named ``patient`` since ``since``, oldest first."""
    ids = [cid for cid, body in db.execute(
        "SELECT id, patient FROM patient_claims WHERE pump = ? AND (ended_t IS NULL OR ended_t >= ?)", (label, since))
        if Patient.from_json(json.loads(body)).same(patient)]
    if not ids:
        return []
    marks = ",".join("?" * len(ids))
    rows = db.execute(f"SELECT control_id FROM patient_sent WHERE claim IN ({marks}) AND t >= ? ORDER BY rowid",
                      (*ids, since)).fetchall()
    return [r[0] for r in rows]


def withhold(db: sqlite3.Connection, outbox: Outbox, label: str, control_ids: Sequence[str]) -> list[str]:
    """The pump's messages among ``control_ids`` still waiting in the outbox are
    rewritten to name no patient, their MSH-10 kept (a message in flight may
    still go as it was); those MSH-10 are returned, oldest first."""
    from ..outputs.hl7 import Composer, without_patient

    wrong = set(control_ids)

    def change(row: OutboxRow) -> bytes | None:
        return without_patient(row.body.decode("utf-8")).encode("utf-8") if row.key in wrong else None

    return [row.key for row in outbox.rewrite(db, Composer.name, change, pump=label)]


# -- reading back (the command line) --------------------------------------------------

def claims_at(db: sqlite3.Connection, label: str | None, at: datetime | None) -> list[dict[str, Any]]:
    """Claims of a pump (every pump: None) covering ``at`` as asserted (all of them: None),
    oldest first, each with ``named`` (its spans) and ``messages`` (how many named it)."""
    where: list[str] = []
    args: list[Any] = []
    if label is not None:
        where.append("pump = ?")
        args.append(label)
    if at is not None:
        where.append("start_t <= ? AND (end_t IS NULL OR end_t > ?)")
        args += [at.timestamp(), at.timestamp()]
    sql = ("SELECT id, pump, patient, source, status, validated, association, location, start, end, received_t,"
           " ended_t, asserted_by, message, ended_by, wrong FROM patient_claims")
    if where:
        sql += " WHERE " + " AND ".join(where)
    out = []
    for r in db.execute(sql + " ORDER BY start_t, id", args).fetchall():
        named = [(s, u) for s, u in db.execute(
            "SELECT since_t, until_t FROM patient_named WHERE claim = ? ORDER BY since_t", (r[0],))]
        sent = db.execute("SELECT count(*) FROM patient_sent WHERE claim = ?", (r[0],)).fetchone()[0]
        out.append({"claim": r[0], "pump": r[1], "patient": json.loads(r[2]), "source": r[3], "status": r[4],
                    "validated": bool(r[5]), "association": r[6], "location": r[7], "start": r[8], "end": r[9],
                    "received_t": r[10], "ended_t": r[11], "asserted_by": r[12], "message": r[13],
                    "ended_by": r[14], "wrong": bool(r[15]), "named": named, "messages": int(sent)})
    return out
