"""What each output (MQTT, HL7, the next one) has still to deliver: one table for all of them.

An output registers with the store (``store.outbox.register``) and is then
asked for its rows of every round the store commits (``Output.rows_for``):
they are written in the round's own transaction, so only what is committed is
ever sent, and all of it is. The body of a row is the bytes the output sends,
made once, as the round is committed. Each output reads its own rows oldest
first (``peek``), removes them once its receiver confirmed them
(``confirm``), and sets aside those its receiver refused for good
(``set_aside``): kept with the refusal and no longer sent, until the store's
retention prunes them.

An output whose receiver is away for days keeps every row but one kind:
past ``bound`` rows waiting, a row with a ``supersede`` key (a periodic
report, due only because time passed) replaces the unsent older rows of its
output with the same key. ``status`` says when an output is past its bound
and how many rows were replaced that way; nothing else is ever dropped.
"""

from __future__ import annotations

import dataclasses
import logging
import sqlite3
import threading
import time
from collections import Counter
from collections.abc import Callable, Iterable, Sequence
from contextlib import AbstractContextManager
from datetime import datetime, timezone
from typing import Any, Protocol

from .model import RoundResult

__all__ = ["COLUMNS", "FROM_VERSION_3", "INDEXES", "Outbox", "OutboxRow", "OutboxStatus", "Outgoing", "Output"]

log = logging.getLogger(__name__)

#: The outbox table, as the store declares its tables (see ``store.TABLES``).
COLUMNS = (
    # AUTOINCREMENT: a number is never used twice, so an output's rows keep the order they were committed in
    "seq INTEGER PRIMARY KEY AUTOINCREMENT",
    "output TEXT NOT NULL",  # whose row: "mqtt", "hl7", ...
    "t REAL NOT NULL",  # when it was committed
    "kind TEXT NOT NULL",  # what it is, in its output's words: an event's kind, "PCD-01"
    "key TEXT NOT NULL",  # what its receiver knows it by: an event's id, an MSH-10
    "pump TEXT",
    "link TEXT NOT NULL",
    "supersede TEXT",  # past the bound, a newer row of its output with the same key replaces it
    "body BLOB NOT NULL",  # the bytes sent
    "aside REAL",  # when its receiver refused it for good; NULL while it waits
    "error TEXT",  # that refusal, in the receiver's words
)
INDEXES = (
    "CREATE INDEX IF NOT EXISTS outbox_waiting ON outbox (output, aside, seq)",
    "CREATE INDEX IF NOT EXISTS outbox_supersede ON outbox (output, supersede) WHERE supersede IS NOT NULL",
)
# Version 3 kept an outbox of MQTT events, one of HL7 messages and the HL7 messages set aside.
_OLD_OUTBOXES = (
    "ALTER TABLE outbox RENAME TO outbox_3",
    """CREATE TABLE IF NOT EXISTS hl7_outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL, pump TEXT,
        link TEXT NOT NULL, control_id TEXT NOT NULL, body TEXT NOT NULL)""",
    """CREATE TABLE IF NOT EXISTS hl7_set_aside (seq INTEGER PRIMARY KEY, kind TEXT NOT NULL, pump TEXT,
        link TEXT NOT NULL, control_id TEXT NOT NULL, body TEXT NOT NULL, t REAL NOT NULL, error TEXT NOT NULL)""",
)
_INTO_ONE = (  # each output's rows in their own order; an MQTT row's time is its event's
    """INSERT INTO outbox (output, t, kind, key, pump, link, body)
        SELECT 'mqtt', (coalesce(julianday(json_extract(body, '$.time')), julianday('now')) - 2440587.5) * 86400.0,
               coalesce(json_extract(body, '$.kind'), ''), event, json_extract(body, '$.pump'),
               coalesce(json_extract(body, '$.link'), ''), CAST(body AS BLOB)
        FROM outbox_3 ORDER BY seq""",
    """INSERT INTO outbox (output, t, kind, key, pump, link, body, aside, error)
        SELECT 'hl7', coalesce(t, (julianday('now') - 2440587.5) * 86400.0), kind, control_id, pump, link,
               CAST(body AS BLOB), t, error FROM (
            SELECT seq, kind, pump, link, control_id, body, t, error FROM hl7_set_aside
            UNION ALL SELECT seq, kind, pump, link, control_id, body, NULL, NULL FROM hl7_outbox)
        ORDER BY seq""",
    "DROP TABLE outbox_3",
    "DROP TABLE hl7_outbox",
    "DROP TABLE hl7_set_aside",
)
#: What brings a version 3 file's outboxes into this table: (before, after) it is made.
FROM_VERSION_3 = (_OLD_OUTBOXES, _INTO_ONE)
_FIELDS = "seq, output, t, kind, key, pump, link, supersede, body, aside, error"

#: Rows an output keeps waiting before its periodic reports replace each other, by default.
BOUND = 10_000
_CHUNK = 500  # rows confirmed by one statement


@dataclasses.dataclass(frozen=True)
class Outgoing:
    """A row an output asks to have written with a round."""

    kind: str
    key: str
    pump: str | None
    link: str
    body: bytes
    supersede: str | None = None


@dataclasses.dataclass(frozen=True)
class OutboxRow:
    """A row of the outbox as an output reads it back."""

    seq: int
    output: str
    t: float
    kind: str
    key: str
    pump: str | None
    link: str
    supersede: str | None
    body: bytes
    aside: float | None = None
    error: str | None = None


@dataclasses.dataclass(frozen=True)
class OutboxStatus:
    """How an output's rows stand: the same figures for every output."""

    rows: int  #: waiting to be delivered
    oldest: float | None  #: when the oldest of them was committed (epoch seconds)
    set_aside: int  #: refused for good, kept until retention prunes them
    superseded: int  #: periodic reports replaced by a newer one past the bound, since the store was opened
    bound: int

    @property
    def over_bound(self) -> bool:
        return self.rows > self.bound

    def to_json(self, at: float | None = None) -> dict[str, Any]:
        at = time.time() if at is None else at
        return {
            "rows": self.rows, "set_aside": self.set_aside, "superseded": self.superseded, "bound": self.bound,
            "over_bound": self.over_bound,
            "oldest": None if self.oldest is None else datetime.fromtimestamp(self.oldest, timezone.utc).isoformat(),
            "oldest_age_s": None if self.oldest is None else round(max(0.0, at - self.oldest), 3),
        }


class Output(Protocol):
    """What the store asks of an output that delivers through the outbox."""

    @property
    def name(self) -> str: ...

    def rows_for(self, result: RoundResult) -> Sequence[Outgoing]:
        """Its rows for a round being committed (called in the store's transaction, one round at a time)."""
        ...

    def settle(self, committed: bool) -> None:
        """The transaction of the rounds asked about since the last call ended: committed, or rolled back."""
        ...


def _row(r: sqlite3.Row) -> OutboxRow:
    return OutboxRow(seq=r["seq"], output=r["output"], t=r["t"], kind=r["kind"], key=r["key"], pump=r["pump"],
                     link=r["link"], supersede=r["supersede"], body=bytes(r["body"]), aside=r["aside"],
                     error=r["error"])


class Outbox:
    """The outbox of one store (``Store.outbox``); safe from any thread.

    ``reading`` and ``writing`` are the store's: a reader connection, and
    its writer connection under its lock (no transaction begun).
    """

    def __init__(self, reading: Callable[[], AbstractContextManager[sqlite3.Connection]],
                 writing: Callable[[], AbstractContextManager[sqlite3.Connection]], bound: int = BOUND) -> None:
        if bound < 1:
            raise ValueError(f"the outbox bound must be at least 1, not {bound!r}")
        self.bound = bound
        self._reading, self._writing = reading, writing
        self._outputs: dict[str, Output] = {}
        self._lock = threading.Lock()  # the figures below
        self._superseded: Counter[str] = Counter()
        self._superseding: Counter[str] = Counter()  # in the transaction under way
        self._over: set[str] = set()

    def register(self, output: Output) -> None:
        """Write ``output``'s rows with every round committed from now on."""
        if output.name in self._outputs:
            raise ValueError(f"an output named {output.name!r} is already registered")
        self._outputs[output.name] = output

    @property
    def outputs(self) -> list[str]:
        return list(self._outputs)

    # -- in the store's transaction -----------------------------------------------

    def write(self, db: sqlite3.Connection, result: RoundResult) -> None:
        """Each output's rows for ``result``, in the transaction that commits it."""
        for name, output in self._outputs.items():
            try:
                rows = list(output.rows_for(result))
            except Exception:
                # an output must never cost a round its commit
                log.exception("store: no %s rows for a round of %s", name, result.link)
                continue
            t = time.time()
            for row in rows:
                if row.supersede is not None and self._past_bound(db, name):
                    self._superseding[name] += db.execute(
                        "DELETE FROM outbox WHERE output = ? AND supersede = ? AND aside IS NULL",
                        (name, row.supersede)).rowcount
                db.execute("INSERT INTO outbox (output, t, kind, key, pump, link, supersede, body)"
                           " VALUES (?,?,?,?,?,?,?,?)",
                           (name, t, row.kind, row.key, row.pump, row.link, row.supersede, row.body))

    def _past_bound(self, db: sqlite3.Connection, name: str) -> bool:
        # a bounded walk of the index, however many rows wait
        past = db.execute("SELECT 1 FROM outbox WHERE output = ? AND aside IS NULL ORDER BY seq LIMIT 1 OFFSET ?",
                          (name, self.bound)).fetchone() is not None
        with self._lock:
            if past and name not in self._over:
                self._over.add(name)
                log.warning("outbox of %s: more than %d rows wait; its periodic reports now replace their unsent "
                            "older ones (every event is kept)", name, self.bound)
        return past

    def rewrite(self, db: sqlite3.Connection, output: str, change: Callable[[OutboxRow], bytes | None], *,
                pump: str | None = None) -> list[OutboxRow]:
        """In a transaction of the store's: each row of ``output`` (of ``pump``) still waiting gets the
        body ``change`` gives it (None: left as it is), keeping its seq, key and place in the order (a
        row already on its way may still be delivered as it was). The rows changed, as they now are."""
        rows = db.execute(f"SELECT {_FIELDS} FROM outbox WHERE output = ? AND aside IS NULL"
                          + ("" if pump is None else " AND pump = ?") + " ORDER BY seq",
                          (output,) if pump is None else (output, pump)).fetchall()
        changed = []
        for row in map(_row, rows):
            body = change(row)
            if body is not None and body != row.body:
                db.execute("UPDATE outbox SET body = ? WHERE seq = ?", (body, row.seq))
                changed.append(dataclasses.replace(row, body=body))
        return changed

    def settle(self, committed: bool) -> None:
        """The store's transaction ended; tell every output."""
        with self._lock:
            if committed:
                self._superseded.update(self._superseding)
            self._superseding.clear()
        for name, output in self._outputs.items():
            try:
                output.settle(committed)
            except Exception:
                log.exception("store: output %s failed to hear of the end of a transaction", name)

    def prune(self, db: sqlite3.Connection, cutoff: float | None, batch: int) -> int:
        """Drop rows set aside before ``cutoff``, and all but the newest ``bound`` of each output."""
        removed = 0
        if cutoff is not None:
            removed += db.execute(
                "DELETE FROM outbox WHERE seq IN (SELECT seq FROM outbox WHERE aside < ? LIMIT ?)",
                (cutoff, batch)).rowcount
        for (name,) in db.execute("SELECT DISTINCT output FROM outbox WHERE aside IS NOT NULL").fetchall():
            removed += db.execute(
                "DELETE FROM outbox WHERE seq IN (SELECT seq FROM outbox WHERE output = ? AND aside IS NOT NULL"
                " ORDER BY seq DESC LIMIT ? OFFSET ?)", (name, batch, self.bound)).rowcount
        return removed

    # -- what an output does ----------------------------------------------------------

    def peek(self, output: str, limit: int = 100, *, aside: bool = False) -> list[OutboxRow]:
        """The oldest rows of ``output`` still to be delivered, in order (``aside``: those set aside instead)."""
        where = "aside IS NOT NULL" if aside else "aside IS NULL"
        with self._reading() as db:
            rows = db.execute(f"SELECT {_FIELDS} FROM outbox WHERE output = ? AND {where} ORDER BY seq LIMIT ?",
                              (output, limit)).fetchall()
        return [_row(r) for r in rows]

    def confirm(self, output: str, seqs: Iterable[int]) -> int:
        """Its receiver confirmed these rows: they leave the outbox. How many did."""
        todo = list(seqs)
        gone = 0
        with self._writing() as db:
            for i in range(0, len(todo), _CHUNK):
                chunk = todo[i:i + _CHUNK]
                gone += db.execute(f"DELETE FROM outbox WHERE output = ? AND seq IN ({','.join('?' * len(chunk))})",
                                   (output, *chunk)).rowcount
        return gone

    def set_aside(self, output: str, seq: int, error: str) -> OutboxRow | None:
        """Its receiver refused this row for good: kept aside with ``error``, never sent again.
        The row as it now is, or None if it was no longer waiting."""
        with self._writing() as db:  # the only writer: the row stays as set here
            changed = db.execute("UPDATE outbox SET aside = ?, error = ? WHERE output = ? AND seq = ?"
                                 " AND aside IS NULL", (time.time(), error, output, seq)).rowcount
            found = changed and db.execute(f"SELECT {_FIELDS} FROM outbox WHERE seq = ?", (seq,)).fetchone()
        return _row(found) if found else None

    def status(self, output: str) -> OutboxStatus:
        with self._reading() as db:
            rows = db.execute("SELECT count(*) FROM outbox WHERE output = ? AND aside IS NULL",
                              (output,)).fetchone()[0]
            first = db.execute("SELECT t FROM outbox WHERE output = ? AND aside IS NULL ORDER BY seq LIMIT 1",
                               (output,)).fetchone()
            aside = db.execute("SELECT count(*) FROM outbox WHERE output = ? AND aside IS NOT NULL",
                               (output,)).fetchone()[0]
        said = OutboxStatus(rows=int(rows), oldest=None if first is None else float(first[0]), set_aside=int(aside),
                            superseded=self._superseded[output], bound=self.bound)
        with self._lock:
            if not said.over_bound and output in self._over:
                self._over.discard(output)
                log.warning("outbox of %s: back under its bound (%d rows wait)", output, said.rows)
        return said
