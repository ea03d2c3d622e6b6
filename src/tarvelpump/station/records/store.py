"""Every round, kept: readings, events, each pump's last view and the outputs' outbox, in one SQLite file.

Readings are kept when they change (``changes``: a row when something a pump
shows changed, when it stops or starts answering, and one an hour), not at
every pass; each pump's row in ``pumps`` says when it was last heard and how
its exchanges went. Readings and events are read back oldest first, by time,
a page at a time (``queries``).

One writer connection behind a lock takes the rounds of every poller thread,
one transaction per round, so a round is either all there or not at all. The
file is in WAL mode with ``synchronous=NORMAL`` by default: a commit survives
the process being killed (SIGKILL included), because the WAL is written
before the commit returns and SQLite replays it on the next open; only a
power cut or kernel crash can lose the last commits. ``synchronous="full"``
adds an fsync per round for that case too.

Readers (the page, the command line, the outputs' threads) use their own
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

import json
import logging
import os
import sqlite3
import stat
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager
from datetime import datetime
from pathlib import Path
from typing import Protocol

from . import outbox, queries, tables
from .changes import Changes
from .model import Event, PumpView, Reading, RoundResult, event_from
from .store_lock import StoreError, StoreLock
from .tables import SCHEMA_VERSION

__all__ = ["SCHEMA_VERSION", "RoundParticipant", "Store", "StoreError"]

log = logging.getLogger(__name__)

_PRUNE_BATCH = 20_000
_EVENT_COLUMNS = frozenset(("id", "kind", "pump", "link", "time"))


def _details(event: Event) -> str:
    """An event's ``details`` column: its fields beside the ones with columns of their own."""
    return json.dumps({k: v for k, v in event.to_json().items() if k not in _EVENT_COLUMNS}, ensure_ascii=False)


class RoundParticipant(Protocol):
    """A part keeping rows with each round (``Store.add_participant``): its error fails the round."""

    def write_round(self, db: sqlite3.Connection, result: RoundResult) -> None: ...
    def settle_round(self, committed: bool) -> None: ...


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
    It also prunes the outbox's rows set aside; a row waiting for its
    receiver is never pruned.

    ``outbox`` is the outputs' outbox (``records.outbox``): each output
    registered there has its rows of a round written in the round's own
    transaction; ``outbox_bound`` is the rows an output keeps waiting before
    its periodic reports replace each other. A part with tables of its own writes them with
    each round (``add_participant``) or between rounds (``transaction``).
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        *,
        retention_days: float | None = None,
        max_readings: int | None = None,
        max_events: int | None = None,
        synchronous: str = "normal",
        prune_every: float = 60.0,
        readonly: bool = False,
        outbox_bound: int = outbox.BOUND,
    ) -> None:
        if synchronous not in ("normal", "full"):
            raise ValueError(f"synchronous must be 'normal' or 'full', not {synchronous!r}")
        self.path = os.fspath(path)
        self.retention_days = retention_days
        self.max_readings = max_readings
        self.max_events = max_events
        self.prune_every = prune_every
        self.readonly = readonly
        self.outbox = outbox.Outbox(self._reader, self._writing, outbox_bound)
        self._changes = Changes()
        self._participants: list[RoundParticipant] = []
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
                self._check(self._db, tables.READ)
            else:
                self._db.execute("PRAGMA journal_mode=WAL")
                self._migrate()
                self._check(self._db, tuple(tables.TABLES))
                self._analyze(first=True)
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
        db.row_factory = sqlite3.Row  # rows are read by name
        db.execute(f"PRAGMA synchronous={self._synchronous}")

    def _version(self, value: object) -> int:
        """The schema version a file says it has, if this station can read it."""
        if not isinstance(value, int) or isinstance(value, bool) or value < 0:
            raise StoreError(f"{self.path}: not a station store (schema version {value!r})")
        if value > SCHEMA_VERSION:
            raise StoreError(f"{self.path}: written by a newer station (schema {value}, this one knows "
                             f"{SCHEMA_VERSION})")
        return value

    def _migrate(self) -> None:
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            db.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")
            row = db.execute("SELECT version FROM schema_version").fetchone()
            version = None if row is None else self._version(row[0])
            if version is None or version < SCHEMA_VERSION:
                # A file of this version is only checked: one altered by hand is refused, not repaired.
                tables.upgrade(db, version)
            if row is None:
                db.execute("INSERT INTO schema_version VALUES (?)", (SCHEMA_VERSION,))
            else:
                # written even when unchanged: a store that cannot take a write fails here, at start
                db.execute("UPDATE schema_version SET version = ?", (SCHEMA_VERSION,))
                if version != SCHEMA_VERSION:
                    log.info("store %s migrated from schema %s to %d", self.path, version, SCHEMA_VERSION)
            db.execute("COMMIT")
        except BaseException:
            _rollback(db)
            raise

    def _check(self, db: sqlite3.Connection, names: Sequence[str]) -> None:
        """Every table and column used here is there (a file of the right
        version can still have been altered by hand)."""
        missing = tables.missing(db, names)
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

    @contextmanager
    def _writing(self) -> Iterator[sqlite3.Connection]:
        """The writer connection, under the lock (for the outbox)."""
        with self._lock:
            yield self._writer()

    def commit(self, results: Sequence[RoundResult]) -> None:
        """Commit rounds in order, in one transaction (their readings, events,
        pump views and outbox rows): all of them, or none and the reason
        raised (``sqlite3.Error``, e.g. "database or disk is full")."""
        with self._lock:
            db = self._writer()
            db.execute("BEGIN IMMEDIATE")
            try:
                for result in results:
                    self._insert(db, result)
                db.execute("COMMIT")
            except BaseException:
                _rollback(db)
                self._settle(False)
                raise
            self._settle(True)
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
             for r in result.readings if self._changes.keep(r)],
        )
        db.executemany(
            "INSERT INTO events (id, round, kind, pump, link, time, t, details) VALUES (?,?,?,?,?,?,?,?)",
            [(e.id, rid, e.kind, e.pump, e.link, e.time.isoformat(), e.time.timestamp(),
              _details(e)) for e in result.events],
        )
        if result.views:
            t = result.started.timestamp() + result.duration_s
            db.executemany(
                "INSERT INTO pumps (label, link, time, view, last_heard, answered, silent, malformed)"
                " VALUES (?,?,?,?,?,?,?,?) ON CONFLICT (label) DO UPDATE SET link = excluded.link,"
                " time = excluded.time, view = excluded.view, last_heard = excluded.last_heard,"
                " answered = excluded.answered, silent = excluded.silent, malformed = excluded.malformed",
                [(v.label, v.link, t, json.dumps(v.to_json(), default=str),
                  None if v.last_seen is None else v.last_seen.timestamp(), v.answered, v.silent,
                  sum(v.malformed.values())) for v in result.views],
            )
        self.outbox.write(db, result)
        for part in self._participants:
            part.write_round(db, result)

    def _settle(self, committed: bool) -> None:
        self._changes.settle(committed)
        self.outbox.settle(committed)
        for part in self._participants:
            part.settle_round(committed)

    def add_participant(self, part: RoundParticipant) -> None:
        """``part.write_round`` in each round's transaction from now on, after the outputs' rows."""
        self._participants.append(part)

    @contextmanager
    def transaction(self, then: Callable[[], None] | None = None) -> Iterator[sqlite3.Connection]:
        """The writer in a transaction between two rounds (a part's own tables); ``then`` once committed."""
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
        removed += self.outbox.prune(db, cutoff, _PRUNE_BATCH)
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
            self._analyze()
        return removed

    def _analyze(self, first: bool = False) -> None:
        """Keep the planner's statistics current, at a bounded cost however large the file
        (``analysis_limit``). A file never analysed is, once, at open."""
        db = self._db
        try:
            db.execute("PRAGMA analysis_limit = 1000")
            never = first and db.execute("SELECT 1 FROM sqlite_master WHERE name = 'sqlite_stat1'").fetchone() is None
            db.execute("ANALYZE" if never else "PRAGMA optimize = 0x10002")
        except sqlite3.Error as exc:  # statistics help queries; writing rounds never waits on them
            _rollback(db)
            log.warning("store %s: statistics not brought up to date (%s)", self.path, exc)

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

    def reader(self) -> AbstractContextManager[sqlite3.Connection]:
        """A reading connection of the pool (for a part's own tables)."""
        return self._reader()

    def iter_readings(self, pump: str | None = None, since: datetime | None = None,
                      limit: int | None = None) -> Iterator[Reading]:
        """Stored readings, oldest first, as they are read (a page at a time); ``pump`` is the
        label. With ``limit``, the latest ones."""
        for r in queries.rows(self._reader, queries.READINGS, pump, since, limit):
            yield Reading(pump=r["pump"], link=r["link"], time=datetime.fromisoformat(r["time"]),
                          running=r["running"], door=r["door"], remaining_s=r["remaining_s"],
                          rate_unit=r["rate_unit"], alarm_word=r["alarm_word"], codes=json.loads(r["codes"]),
                          link_time_s=r["link_time_s"])

    def readings(self, pump: str | None = None, since: datetime | None = None,
                 limit: int | None = None) -> list[Reading]:
        """``iter_readings``, all at once."""
        return list(self.iter_readings(pump, since, limit))

    def iter_events(self, pump: str | None = None, since: datetime | None = None,
                    limit: int | None = None) -> Iterator[Event]:
        """Stored events, oldest first (those of the same time as committed), as they are read;
        with ``limit``, the latest ones."""
        for r in queries.rows(self._reader, queries.EVENTS, pump, since, limit):
            # the columns with the rest of its fields (older rows of a kind not declared any more: UnknownEvent)
            yield event_from({**json.loads(r["details"]), "id": r["id"], "kind": r["kind"], "pump": r["pump"],
                              "link": r["link"], "time": r["time"]}).event

    def events(self, pump: str | None = None, since: datetime | None = None,
               limit: int | None = None) -> list[Event]:
        """``iter_events``, all at once."""
        return list(self.iter_events(pump, since, limit))

    def last_views(self) -> dict[str, PumpView]:
        """Each pump's view as last committed, by label: where a restart goes on from."""
        with self._reader() as db:
            rows = db.execute("SELECT label, view FROM pumps").fetchall()
        views: dict[str, PumpView] = {}
        for row in rows:
            label = row["label"]
            try:
                views[label] = PumpView.from_json(json.loads(row["view"]))
            except (ValueError, TypeError, KeyError) as exc:
                log.warning("store %s: the last view of %r cannot be read (%s); it starts afresh", self.path,
                            label, exc)
        return views

    def counts(self) -> dict[str, int]:
        """Rows per table: rounds, readings, events; outbox: rows waiting, of every output."""
        with self._reader() as db:
            counts = {t: int(db.execute(f"SELECT count(*) FROM {t}").fetchone()[0])
                      for t in ("rounds", "readings", "events")}
            counts["outbox"] = int(db.execute("SELECT count(*) FROM outbox WHERE aside IS NULL").fetchone()[0])
        return counts

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
                self._analyze()
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

