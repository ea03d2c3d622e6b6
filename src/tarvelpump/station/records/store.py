"""Every round, kept: readings, events and the MQTT and HL7 outboxes in one SQLite file.

One writer connection behind a lock takes the rounds of every poller thread,
one transaction per round, so a round is either all there or not at all. The
file is in WAL mode with ``synchronous=NORMAL`` by default: a commit survives
the process being killed (SIGKILL included), because the WAL is written
before the commit returns and SQLite replays it on the next open; only a
power cut or kernel crash can lose the last commits. ``synchronous="full"``
adds an fsync per round for that case too.

Readers (the page, the command line, the MQTT thread) use their own
connections from a small pool, so they never wait for a round to commit.

One station writes a store at a time: the writer holds an exclusive
``flock`` on the file itself, whatever name reaches it, and on
``<store>.lock`` (which names its PID and command line) for as long as it is
open. The kernel drops them with the process, SIGKILL included, so a lock
never outlives its holder. Every write first checks that the path still
leads to that file: a store deleted or replaced under a running station
fails like a full disk (see ``hub``), and the station stops rather than
write on into a file nobody will read. ``Store(path, readonly=True)`` takes no
lock and writes nothing: the command line reads a store while a station runs.

A store that cannot be written is refused on open: not a regular file, a file
or folder the user may not write, or a file of the right version without the
tables and columns the station writes.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import logging
import os
import sqlite3
import stat
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from datetime import datetime
from pathlib import Path
from typing import Any, Protocol

from .model import Event, EventKind, PumpView, Reading, RoundResult, now
from .store_lock import StoreError, StoreLock

__all__ = ["Hl7Row", "Store", "StoreError", "SCHEMA_VERSION"]

log = logging.getLogger(__name__)

SCHEMA_VERSION = 4

# Step i takes a file from version i to i + 1. A later version appends its
# step here; files written by an older station are brought up on open.
_MIGRATIONS: tuple[tuple[str, ...], ...] = (
    (
        """CREATE TABLE rounds (
            id INTEGER PRIMARY KEY, link TEXT NOT NULL, started TEXT NOT NULL,
            t REAL NOT NULL, duration_s REAL NOT NULL, exchanges INTEGER NOT NULL,
            link_up INTEGER NOT NULL)""",
        "CREATE INDEX rounds_t ON rounds (t)",
        """CREATE TABLE readings (
            id INTEGER PRIMARY KEY, round INTEGER NOT NULL, pump TEXT NOT NULL,
            link TEXT NOT NULL, time TEXT NOT NULL, t REAL NOT NULL,
            running INTEGER, door INTEGER, remaining_s INTEGER, rate_unit INTEGER,
            alarm_word INTEGER, codes TEXT NOT NULL, link_time_s REAL NOT NULL)""",
        "CREATE INDEX readings_pump_t ON readings (pump, t)",
        "CREATE INDEX readings_t ON readings (t)",
        """CREATE TABLE events (
            seq INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE, round INTEGER NOT NULL,
            kind TEXT NOT NULL, pump TEXT, link TEXT NOT NULL, time TEXT NOT NULL,
            t REAL NOT NULL, details TEXT NOT NULL)""",
        "CREATE INDEX events_pump_t ON events (pump, t)",
        "CREATE INDEX events_t ON events (t)",
        # AUTOINCREMENT: a sequence number is never reused after an ack, so
        # the publisher's order stays the order the events were committed.
        """CREATE TABLE outbox (
            seq INTEGER PRIMARY KEY AUTOINCREMENT, event TEXT NOT NULL, body TEXT NOT NULL)""",
    ),
    (
        # Early news (a pump's alarm word as soon as it is read) is not a
        # round: marked, so round statistics can leave it out. Before this
        # column such rows were the only ones without a single exchange.
        "ALTER TABLE rounds ADD COLUMN partial INTEGER NOT NULL DEFAULT 0",
        "UPDATE rounds SET partial = 1 WHERE exchanges = 0",
        # Each pump's last committed view, so a restart goes on from it.
        """CREATE TABLE pumps (
            label TEXT PRIMARY KEY, link TEXT NOT NULL, time REAL NOT NULL, view TEXT NOT NULL)""",
    ),
    # version 2 -> 3: the HL7 outbox, and the messages its receiver answered
    # with an error (AE), kept aside with that error.
    (
        """CREATE TABLE hl7_outbox (
            seq INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL, pump TEXT, link TEXT NOT NULL,
            control_id TEXT NOT NULL, body TEXT NOT NULL)""",
        """CREATE TABLE hl7_set_aside (
            seq INTEGER PRIMARY KEY, kind TEXT NOT NULL, pump TEXT, link TEXT NOT NULL,
            control_id TEXT NOT NULL, body TEXT NOT NULL, t REAL NOT NULL, error TEXT NOT NULL)""",
    ),
)

# Which patient each pump serves (``patients``): the claims (a PCIM
# association, a location's occupant by ADT) with their history, when each
# was named in messages, which messages named it, and the rules' state.
# Its own step, to be numbered where it lands among the others.
_PATIENTS_STEP: tuple[str, ...] = (
    """CREATE TABLE patient_claims (
        id INTEGER PRIMARY KEY AUTOINCREMENT, pump TEXT NOT NULL, patient TEXT NOT NULL, source TEXT NOT NULL,
        status TEXT NOT NULL, validated INTEGER NOT NULL, association TEXT, location TEXT,
        start TEXT NOT NULL, start_t REAL NOT NULL, end TEXT, end_t REAL, received_t REAL NOT NULL,
        ended_t REAL, asserted_by TEXT NOT NULL, message TEXT NOT NULL, ended_by TEXT, wrong INTEGER NOT NULL)""",
    "CREATE INDEX patient_claims_pump ON patient_claims (pump, start_t)",
    "CREATE INDEX patient_claims_association ON patient_claims (association)",
    """CREATE TABLE patient_named (
        claim INTEGER NOT NULL, pump TEXT NOT NULL, since_t REAL NOT NULL, until_t REAL)""",
    "CREATE INDEX patient_named_claim ON patient_named (claim)",
    """CREATE TABLE patient_sent (
        claim INTEGER NOT NULL, control_id TEXT NOT NULL, kind TEXT NOT NULL, t REAL NOT NULL)""",
    "CREATE INDEX patient_sent_claim ON patient_sent (claim)",
    "CREATE INDEX patient_sent_t ON patient_sent (t)",
    "CREATE TABLE patient_state (name TEXT PRIMARY KEY, body TEXT NOT NULL)",
)
_MIGRATIONS += (_PATIENTS_STEP,)

#: Every table and column the station writes (or the command line reads).
_COLUMNS: dict[str, tuple[str, ...]] = {
    "schema_version": ("version",),
    "rounds": ("id", "link", "started", "t", "duration_s", "exchanges", "link_up", "partial"),
    "readings": ("id", "round", "pump", "link", "time", "t", "running", "door", "remaining_s", "rate_unit",
                 "alarm_word", "codes", "link_time_s"),
    "events": ("seq", "id", "round", "kind", "pump", "link", "time", "t", "details"),
    "outbox": ("seq", "event", "body"),
    "pumps": ("label", "link", "time", "view"),
    "hl7_outbox": ("seq", "kind", "pump", "link", "control_id", "body"),
    "hl7_set_aside": ("seq", "kind", "pump", "link", "control_id", "body", "t", "error"),
    "patient_claims": ("id", "pump", "patient", "source", "status", "validated", "association", "location", "start",
                       "start_t", "end", "end_t", "received_t", "ended_t", "asserted_by", "message", "ended_by",
                       "wrong"),
    "patient_named": ("claim", "pump", "since_t", "until_t"),
    "patient_sent": ("claim", "control_id", "kind", "t"),
    "patient_state": ("name", "body"),
}
_READ = ("schema_version", "readings", "events")

_PRUNE_BATCH = 20_000


@dataclasses.dataclass(frozen=True)
class Hl7Row:
    """One message of the HL7 outbox."""

    seq: int
    kind: str  #: "PCD-01" or "PCD-04"
    pump: str | None
    link: str
    control_id: str  #: its MSH-10
    text: str


class _Hl7Message(Protocol):
    @property
    def kind(self) -> str: ...
    @property
    def pump(self) -> str | None: ...
    @property
    def link(self) -> str: ...
    @property
    def control_id(self) -> str: ...
    @property
    def text(self) -> str: ...


class Hl7Composer(Protocol):
    """What the store needs to queue HL7 messages with a round (``hl7.Composer``):
    ``compose`` in the transaction, then ``commit`` or ``rollback`` as it ends."""

    def compose(self, result: RoundResult) -> Sequence[_Hl7Message]: ...

    def commit(self) -> None: ...

    def rollback(self) -> None: ...


def _rollback(db: sqlite3.Connection) -> None:
    """End a failed transaction, if SQLite has not already: the error that
    failed it is the one worth raising, never a failed rollback."""
    if db.in_transaction:
        try:
            db.execute("ROLLBACK")
        except sqlite3.Error as exc:
            log.debug("rollback failed: %s", exc)


class Store:
    """The station's SQLite store; ``commit`` is its hub's committer (``Hub.commit_through``).

    Retention (``retention_days`` for readings and events, ``max_readings``
    and ``max_events`` as row counts) is applied every ``prune_every``
    seconds from the writer, in batches, so a round never waits long for it.
    The outbox is never pruned: an event waits there until it is acked.

    ``hl7``: a composer whose messages for each round are queued in the HL7
    outbox in the round's own transaction (see ``hl7_peek``). ``patients``:
    writes, in that same transaction once they are queued, which of them
    named which patient (``patients.Bindings.write_round``).
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        *,
        outbox: bool = False,
        retention_days: float | None = None,
        max_readings: int | None = None,
        max_events: int | None = None,
        synchronous: str = "normal",
        prune_every: float = 60.0,
        readonly: bool = False,
        hl7: Hl7Composer | None = None,
        patients: Callable[[sqlite3.Connection], None] | None = None,
    ) -> None:
        if synchronous not in ("normal", "full"):
            raise ValueError(f"synchronous must be 'normal' or 'full', not {synchronous!r}")
        self.path = os.fspath(path)
        self.outbox = outbox
        self.retention_days = retention_days
        self.max_readings = max_readings
        self.max_events = max_events
        self.prune_every = prune_every
        self.readonly = readonly
        self._hl7 = hl7
        self._patients = patients
        self._synchronous = synchronous.upper()
        self._lock = threading.Lock()
        self._pool_lock = threading.Lock()
        self._pool: list[sqlite3.Connection] = []
        self._closed = False
        self._next_prune = time.monotonic() + prune_every
        self._lock_file: StoreLock | None = None
        try:
            mode = os.stat(self.path).st_mode
        except FileNotFoundError:
            if readonly:
                raise StoreError(f"{self.path}: no such store") from None
        except OSError as exc:
            raise StoreError(f"{self.path}: cannot open ({exc.strerror})") from None
        else:
            if not stat.S_ISREG(mode):
                raise StoreError(f"{self.path}: not a regular file, cannot be a station store")
        if not readonly:
            self._lock_file = StoreLock(self.path)  # before anything is read or written
        try:
            self._db = self._connect(writer=True)
        except sqlite3.Error as exc:
            self._release()
            what = "cannot open" if isinstance(exc, sqlite3.OperationalError) else "cannot be used as a station store"
            raise StoreError(f"{self.path}: {what} ({exc})") from exc
        try:
            if readonly:
                row = self._db.execute("SELECT version FROM schema_version").fetchone()
                if row is None or self._version(row[0]) != SCHEMA_VERSION:
                    # An older file is brought up by the station that next writes it.
                    log.info("store %s: schema %s, read as it is", self.path, None if row is None else row[0])
                self._check(self._db, _READ)
            else:
                self._db.execute("PRAGMA journal_mode=WAL")
                self._migrate()
                self._check(self._db, tuple(_COLUMNS))
        except sqlite3.DatabaseError as exc:
            self._db.close()
            self._release()
            if "readonly" in str(exc) or "read-only" in str(exc):
                raise StoreError(f"{self.path}: cannot be written ({exc})") from exc
            raise StoreError(f"{self.path}: cannot be used as a station store ({exc})") from exc
        except BaseException:
            self._db.close()
            self._release()
            raise

    def _release(self) -> None:
        if self._lock_file is not None:
            self._lock_file.release()
            self._lock_file = None

    def _connect(self, writer: bool = False) -> sqlite3.Connection:
        # isolation_level=None: transactions are begun and ended here, by hand,
        # one per round; check_same_thread=False: the locks below serialise use.
        if self.readonly:
            uri = Path(os.path.abspath(self.path)).as_uri() + "?mode=ro"
            db = sqlite3.connect(uri, uri=True, timeout=30.0, isolation_level=None, check_same_thread=False)
        else:
            db = sqlite3.connect(self.path, timeout=30.0, isolation_level=None, check_same_thread=False)
        self._setup(db)
        if not writer:
            db.execute("PRAGMA query_only=ON")
        return db

    def _setup(self, db: sqlite3.Connection) -> None:
        db.execute(f"PRAGMA synchronous={self._synchronous}")

    def _version(self, value: object) -> int:
        """The schema version a file says it has, if this station can read it."""
        if not isinstance(value, int) or isinstance(value, bool) or value < 0:
            raise StoreError(f"{self.path}: not a station store (schema version {value!r})")
        if value > SCHEMA_VERSION:
            raise StoreError(
                f"{self.path}: written by a newer station (schema {value}, this one knows {SCHEMA_VERSION})"
            )
        return value

    def _migrate(self) -> None:
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            db.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")
            row = db.execute("SELECT version FROM schema_version").fetchone()
            version = 0 if row is None else self._version(row[0])
            for step in _MIGRATIONS[version:]:
                for sql in step:
                    db.execute(sql)
            if row is None:
                db.execute("INSERT INTO schema_version VALUES (?)", (SCHEMA_VERSION,))
            else:
                # written even when unchanged: a store that cannot take a write fails here, at start
                db.execute("UPDATE schema_version SET version = ?", (SCHEMA_VERSION,))
                if version != SCHEMA_VERSION:
                    log.info("store %s migrated from schema %d to %d", self.path, version, SCHEMA_VERSION)
            db.execute("COMMIT")
        except BaseException:
            _rollback(db)
            raise

    def _check(self, db: sqlite3.Connection, tables: Sequence[str]) -> None:
        """Every table and column used here is there (a file of the right
        version can still have been altered by hand)."""
        missing: list[str] = []
        for table in tables:
            have = {row[1] for row in db.execute(f"PRAGMA table_info({table})")}
            if not have:
                missing.append(f"table {table}")
            else:
                missing += [f"{table}.{c}" for c in _COLUMNS[table] if c not in have]
        if missing:
            raise StoreError(f"{self.path}: not a station store as this version writes it "
                             f"(missing {', '.join(missing)})")

    @property
    def schema_version(self) -> int:
        with self._reader() as db:
            return int(db.execute("SELECT version FROM schema_version").fetchone()[0])

    # -- writing ---------------------------------------------------------

    def _writer(self) -> sqlite3.Connection:
        if self._closed:
            raise StoreError(f"{self.path}: the store is closed")
        if self.readonly:
            raise StoreError(f"{self.path}: opened for reading only")
        if self._lock_file is not None and not self._lock_file.at_path():
            # Deleted or replaced: whatever went on into the open file would be lost
            # with it. A store failure like a full disk, except that it never heals
            # by itself (unless the file is put back).
            raise StoreError(f"{self.path}: the file at this path is no longer the store the station has open "
                             "(deleted or replaced); nothing more is written to it")
        return self._db

    def on_round(self, result: RoundResult) -> None:
        """Commit one round (its readings, events, outbox rows and pump views) in one transaction."""
        self.commit((result,))

    def commit(self, results: Sequence[RoundResult]) -> None:
        """Commit rounds in order, in one transaction: all of them, or none and
        the reason raised (``sqlite3.Error``, e.g. "database or disk is full")."""
        with self._lock:
            db = self._writer()
            db.execute("BEGIN IMMEDIATE")
            try:
                for result in results:
                    self._insert(db, result)
                db.execute("COMMIT")
            except BaseException:
                _rollback(db)
                if self._hl7 is not None:
                    self._hl7.rollback()
                raise
            if self._hl7 is not None:
                self._hl7.commit()
            if time.monotonic() >= self._next_prune:
                # Committed whatever happens here: a failed pruning must not
                # pass for a failed commit (the rounds would be committed twice).
                try:
                    self._prune()
                except sqlite3.Error as exc:
                    _rollback(db)
                    log.warning("store %s: retention could not be applied (%s); will try again", self.path, exc)

    def _insert(self, db: sqlite3.Connection, result: RoundResult) -> None:
        cur = db.execute(
            "INSERT INTO rounds (link, started, t, duration_s, exchanges, link_up, partial) VALUES (?,?,?,?,?,?,?)",
            (result.link, result.started.isoformat(), result.started.timestamp(),
             result.duration_s, result.exchanges, int(result.link_up), int(result.partial)),
        )
        rid = cur.lastrowid
        db.executemany(
            "INSERT INTO readings (round, pump, link, time, t, running, door, remaining_s,"
            " rate_unit, alarm_word, codes, link_time_s) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
            [(rid, r.pump, r.link, r.time.isoformat(), r.time.timestamp(), r.running, r.door,
              r.remaining_s, r.rate_unit, r.alarm_word, json.dumps(r.codes), r.link_time_s)
             for r in result.readings],
        )
        db.executemany(
            "INSERT INTO events (id, round, kind, pump, link, time, t, details) VALUES (?,?,?,?,?,?,?,?)",
            [(e.id, rid, e.kind.value, e.pump, e.link, e.time.isoformat(), e.time.timestamp(),
              json.dumps(e.details, default=str)) for e in result.events],
        )
        if self.outbox and result.events:
            db.executemany(
                "INSERT INTO outbox (event, body) VALUES (?, ?)",
                [(e.id, json.dumps(e.to_json(), default=str)) for e in result.events],
            )
        if result.views:
            t = result.started.timestamp() + result.duration_s
            db.executemany(
                "INSERT INTO pumps (label, link, time, view) VALUES (?,?,?,?) ON CONFLICT (label) DO UPDATE"
                " SET link = excluded.link, time = excluded.time, view = excluded.view",
                [(v.label, v.link, t, json.dumps(v.to_json(), default=str)) for v in result.views],
            )
        self._queue_hl7(db, result)
        if self._patients is not None:
            self._patients(db)

    def _queue_hl7(self, db: sqlite3.Connection, result: RoundResult) -> None:
        if self._hl7 is None:
            return
        try:
            messages = self._hl7.compose(result)
        except Exception:
            # HL7 is an output: it must never cost a round its commit
            log.exception("store: no HL7 messages for a round of %s", result.link)
            return
        if messages:
            db.executemany(
                "INSERT INTO hl7_outbox (kind, pump, link, control_id, body) VALUES (?,?,?,?,?)",
                [(m.kind, m.pump, m.link, m.control_id, m.text) for m in messages],
            )

    @contextmanager
    def transaction(self, then: Callable[[], None] | None = None) -> Iterator[sqlite3.Connection]:
        """The writer in a transaction of its own, between two rounds: for a
        part that keeps its own tables (``patients``). Committed when the
        block ends, rolled back (and the error raised) when it fails;
        ``then`` runs once it is committed, before any round is."""
        with self._lock:
            db = self._writer()
            db.execute("BEGIN IMMEDIATE")
            try:
                yield db
                db.execute("COMMIT")
            except BaseException:
                _rollback(db)
                raise
            if then is not None:
                then()

    def reader(self) -> contextlib.AbstractContextManager[sqlite3.Connection]:
        """A reading connection from the pool (for a part's own tables)."""
        return self._reader()

    def prune(self) -> int:
        """Apply the retention limits now; the number of rows removed."""
        with self._lock:
            self._writer()
            return self._prune()

    def _prune(self) -> int:
        self._next_prune = time.monotonic() + self.prune_every
        db = self._db
        removed = 0
        cutoff = None if self.retention_days is None else time.time() - self.retention_days * 86400.0
        for table, key, limit in (("readings", "id", self.max_readings), ("events", "seq", self.max_events)):
            if cutoff is not None:
                removed += db.execute(
                    f"DELETE FROM {table} WHERE {key} IN (SELECT {key} FROM {table} WHERE t < ? LIMIT ?)",
                    (cutoff, _PRUNE_BATCH),
                ).rowcount
            if limit is not None:
                # Keys only grow, so "the newest `limit` rows" is a key range:
                # no count over the whole table.
                removed += db.execute(
                    f"DELETE FROM {table} WHERE {key} IN (SELECT {key} FROM {table} WHERE {key} <= "
                    f"(SELECT max({key}) FROM {table}) - ? LIMIT ?)",
                    (limit, _PRUNE_BATCH),
                ).rowcount
        # A round goes when it is older than every reading and event still kept.
        oldest = db.execute(
            "SELECT min(m) FROM (SELECT min(round) AS m FROM readings UNION ALL SELECT min(round) FROM events)"
        ).fetchone()[0]
        if oldest is not None:
            removed += db.execute(
                "DELETE FROM rounds WHERE id IN (SELECT id FROM rounds WHERE id < ? LIMIT ?)",
                (oldest, _PRUNE_BATCH),
            ).rowcount
        elif cutoff is not None:
            removed += db.execute(
                "DELETE FROM rounds WHERE id IN (SELECT id FROM rounds WHERE t < ? LIMIT ?)",
                (cutoff, _PRUNE_BATCH),
            ).rowcount
        if removed:
            log.debug("store %s: retention removed %d rows", self.path, removed)
        return removed

    def outbox_ack(self, seq: int) -> None:
        """The event at ``seq`` was delivered: drop it from the outbox."""
        with self._lock:
            self._writer().execute("DELETE FROM outbox WHERE seq = ?", (seq,))

    def hl7_ack(self, seq: int) -> None:
        """The HL7 message at ``seq`` was accepted: drop it from the outbox."""
        with self._lock:
            self._writer().execute("DELETE FROM hl7_outbox WHERE seq = ?", (seq,))

    def hl7_set_aside(self, seq: int, error: str, ack: str = "AE") -> Event | None:
        """The receiver answered the message at ``seq`` with an error: keep it
        aside with that error, and record an ``hl7_rejected`` event (shown by
        ``station events``) in the same transaction. The event, or None if the
        row was already gone."""
        with self._lock:
            db = self._writer()
            db.execute("BEGIN IMMEDIATE")
            try:
                row = db.execute("SELECT kind, pump, link, control_id FROM hl7_outbox WHERE seq = ?",
                                 (seq,)).fetchone()
                if row is None:
                    db.execute("ROLLBACK")
                    return None
                event = Event(EventKind.HL7_REJECTED, row[1], row[2], now(),
                              {"message": row[0], "control_id": row[3], "ack": ack, "error": error})
                db.execute(
                    "INSERT INTO hl7_set_aside (seq, kind, pump, link, control_id, body, t, error)"
                    " SELECT seq, kind, pump, link, control_id, body, ?, ? FROM hl7_outbox WHERE seq = ?",
                    (event.time.timestamp(), error, seq))
                db.execute("DELETE FROM hl7_outbox WHERE seq = ?", (seq,))
                # filed under the latest round, so retention treats it like its neighbours
                db.execute(
                    "INSERT INTO events (id, round, kind, pump, link, time, t, details)"
                    " VALUES (?, coalesce((SELECT max(id) FROM rounds), 0), ?, ?, ?, ?, ?, ?)",
                    (event.id, event.kind.value, event.pump, event.link, event.time.isoformat(),
                     event.time.timestamp(), json.dumps(event.details)))
                db.execute("COMMIT")
            except BaseException:
                _rollback(db)
                raise
            return event

    # -- reading ---------------------------------------------------------

    @contextmanager
    def _reader(self) -> Iterator[sqlite3.Connection]:
        with self._pool_lock:
            if self._closed:
                raise StoreError(f"{self.path}: the store is closed")
            db = self._pool.pop() if self._pool else None
        if db is None:
            db = self._connect()
        try:
            yield db
        finally:
            with self._pool_lock:
                if self._closed:
                    db.close()
                else:
                    self._pool.append(db)

    def _select(self, sql: str, where: list[str], args: list[Any], tail: str = "") -> list[tuple[Any, ...]]:
        if where:
            sql += " WHERE " + " AND ".join(where)
        with self._reader() as db:
            return db.execute(sql + tail, args).fetchall()

    @staticmethod
    def _filters(pump: str | None, since: datetime | None) -> tuple[list[str], list[Any]]:
        where: list[str] = []
        args: list[Any] = []
        if pump is not None:
            where.append("pump = ?")
            args.append(pump)
        if since is not None:
            where.append("t >= ?")
            args.append(since.timestamp())
        return where, args

    def readings(self, pump: str | None = None, since: datetime | None = None,
                 limit: int | None = None) -> list[Reading]:
        """Stored readings, oldest first; ``pump`` is the label. With ``limit``, the latest ones."""
        where, args = self._filters(pump, since)
        tail = " ORDER BY id"
        if limit is not None:
            tail = " ORDER BY id DESC LIMIT ?"
            args.append(limit)
        rows = self._select(
            "SELECT pump, link, time, running, door, remaining_s, rate_unit, alarm_word, codes, link_time_s"
            " FROM readings", where, args, tail)
        if limit is not None:
            rows.reverse()
        return [Reading(pump=r[0], link=r[1], time=datetime.fromisoformat(r[2]), running=r[3], door=r[4],
                        remaining_s=r[5], rate_unit=r[6], alarm_word=r[7], codes=json.loads(r[8]),
                        link_time_s=r[9]) for r in rows]

    def events(self, pump: str | None = None, since: datetime | None = None,
               limit: int | None = None) -> list[Event]:
        """Stored events in the order they were committed; with ``limit``, the latest ones."""
        where, args = self._filters(pump, since)
        tail = " ORDER BY seq"
        if limit is not None:
            tail = " ORDER BY seq DESC LIMIT ?"
            args.append(limit)
        rows = self._select("SELECT id, kind, pump, link, time, details FROM events", where, args, tail)
        if limit is not None:
            rows.reverse()
        return [Event(kind=EventKind(r[1]), pump=r[2], link=r[3], time=datetime.fromisoformat(r[4]),
                      details=json.loads(r[5]), id=r[0]) for r in rows]

    def outbox_peek(self, limit: int = 100) -> list[tuple[int, Event]]:
        """The oldest undelivered events, as (seq, event); safe from any thread."""
        with self._reader() as db:
            rows = db.execute("SELECT seq, body FROM outbox ORDER BY seq LIMIT ?", (limit,)).fetchall()
        return [(int(seq), Event.from_json(json.loads(body))) for seq, body in rows]

    def last_views(self) -> dict[str, PumpView]:
        """Each pump's view as last committed, by label: where a restart goes on from."""
        with self._reader() as db:
            rows = db.execute("SELECT label, view FROM pumps").fetchall()
        views: dict[str, PumpView] = {}
        for label, body in rows:
            try:
                views[label] = PumpView.from_json(json.loads(body))
            except (ValueError, TypeError, KeyError) as exc:
                log.warning("store %s: the last view of %r cannot be read (%s); it starts afresh", self.path,
                            label, exc)
        return views

    def hl7_peek(self, limit: int = 1) -> list[Hl7Row]:
        """The oldest HL7 messages not yet accepted, in order; safe from any thread."""
        with self._reader() as db:
            rows = db.execute("SELECT seq, kind, pump, link, control_id, body FROM hl7_outbox"
                              " ORDER BY seq LIMIT ?", (limit,)).fetchall()
        return [Hl7Row(*r) for r in rows]

    def hl7_pending(self) -> int:
        """How many HL7 messages wait in the outbox."""
        with self._reader() as db:
            return int(db.execute("SELECT count(*) FROM hl7_outbox").fetchone()[0])

    def counts(self) -> dict[str, int]:
        """Rows per table: rounds, readings, events, outbox."""
        with self._reader() as db:
            return {t: int(db.execute(f"SELECT count(*) FROM {t}").fetchone()[0])
                    for t in ("rounds", "readings", "events", "outbox")}

    # -- closing ---------------------------------------------------------

    def close(self) -> None:
        """Wait for a round being committed, then close every connection. Idempotent."""
        with self._lock, self._pool_lock:
            if self._closed:
                return
            self._closed = True
            idle = list(self._pool)
            self._pool.clear()
        for db in idle:
            db.close()
        # Readers still in use close themselves when handed back (see _reader).
        with self._lock:
            if not self.readonly:
                try:
                    # Fold the WAL back into the file, so a closed store is one file.
                    self._db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
                except sqlite3.Error as exc:
                    # Nothing is lost: the WAL stays beside the file and is replayed on the next open.
                    log.warning("store %s: the WAL could not be folded back on close (%s)", self.path, exc)
            self._db.close()
            self._release()

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

