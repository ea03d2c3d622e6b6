"""The store's tables, declared once: a new file is made from them, an older one brought up to them
(``upgrade``), and every file checked against them (``missing``) when it is opened. The
connections given here are the store's, which read rows by name (``sqlite3.Row``)."""

from __future__ import annotations

import sqlite3
from collections.abc import Sequence

from . import outbox

__all__ = ["INDEXES", "READ", "SCHEMA_VERSION", "TABLES", "missing", "upgrade"]

SCHEMA_VERSION = 6

#: Every table as this version writes it.
TABLES: dict[str, tuple[str, ...]] = {
    "schema_version": ("version INTEGER NOT NULL",),
    "rounds": ("id INTEGER PRIMARY KEY", "link TEXT NOT NULL", "started TEXT NOT NULL", "t REAL NOT NULL",
               "duration_s REAL NOT NULL", "exchanges INTEGER NOT NULL", "link_up INTEGER NOT NULL",
               # early news (a pump's alarm word as soon as it is read) is not a round: round statistics leave it out
               "partial INTEGER NOT NULL DEFAULT 0"),
    "readings": ("id INTEGER PRIMARY KEY", "round INTEGER NOT NULL", "pump TEXT NOT NULL", "link TEXT NOT NULL",
                 "time TEXT NOT NULL", "t REAL NOT NULL", "running INTEGER", "door INTEGER", "remaining_s INTEGER",
                 "rate_unit INTEGER", "alarm_word INTEGER", "codes TEXT NOT NULL", "link_time_s REAL NOT NULL"),
    "events": ("seq INTEGER PRIMARY KEY", "id TEXT NOT NULL UNIQUE", "round INTEGER NOT NULL", "kind TEXT NOT NULL",
               "pump TEXT", "link TEXT NOT NULL", "time TEXT NOT NULL", "t REAL NOT NULL", "details TEXT NOT NULL"),
    # each pump's last committed view, so a restart goes on from it; when it was last heard and how its
    # exchanges went so far (readings keep only changes: these say it was still asked, and answered)
    "pumps": ("label TEXT PRIMARY KEY", "link TEXT NOT NULL", "time REAL NOT NULL", "view TEXT NOT NULL",
              "last_heard REAL", "answered INTEGER NOT NULL DEFAULT 0", "silent INTEGER NOT NULL DEFAULT 0",
              "malformed INTEGER NOT NULL DEFAULT 0"),
    "outbox": outbox.COLUMNS,
    # which patient each pump serves (``patients``): every claim (a PCIM association, a bed's occupant by
    # ADT) with its history, never pruned; when each was named in messages; which messages named it (pruned
    # with the readings); the rules' state, so a restart goes on from it
    "patient_claims": ("id INTEGER PRIMARY KEY AUTOINCREMENT", "pump TEXT NOT NULL", "patient TEXT NOT NULL",
                       "source TEXT NOT NULL", "status TEXT NOT NULL", "validated INTEGER NOT NULL",
                       "association TEXT", "location TEXT", "start TEXT NOT NULL", "start_t REAL NOT NULL",
                       "end TEXT", "end_t REAL", "received_t REAL NOT NULL", "ended_t REAL",
                       "asserted_by TEXT NOT NULL", "message TEXT NOT NULL", "ended_by TEXT",
                       "wrong INTEGER NOT NULL"),
    "patient_named": ("claim INTEGER NOT NULL", "pump TEXT NOT NULL", "since_t REAL NOT NULL", "until_t REAL"),
    "patient_sent": ("claim INTEGER NOT NULL", "control_id TEXT NOT NULL", "kind TEXT NOT NULL", "t REAL NOT NULL"),
    "patient_state": ("name TEXT PRIMARY KEY", "body TEXT NOT NULL"),
}
INDEXES = (
    "CREATE INDEX IF NOT EXISTS rounds_t ON rounds (t)",
    "CREATE INDEX IF NOT EXISTS readings_pump_t ON readings (pump, t)",
    "CREATE INDEX IF NOT EXISTS readings_t ON readings (t)",
    "CREATE INDEX IF NOT EXISTS events_pump_t ON events (pump, t)",
    "CREATE INDEX IF NOT EXISTS events_t ON events (t)",
    *outbox.INDEXES,
    "CREATE INDEX IF NOT EXISTS patient_claims_pump ON patient_claims (pump, start_t)",
    "CREATE INDEX IF NOT EXISTS patient_claims_association ON patient_claims (association)",
    "CREATE INDEX IF NOT EXISTS patient_named_claim ON patient_named (claim)",
    "CREATE INDEX IF NOT EXISTS patient_sent_claim ON patient_sent (claim)",
    "CREATE INDEX IF NOT EXISTS patient_sent_t ON patient_sent (t)",
)
#: the tables the command line reads (of a file of any version)
READ = ("schema_version", "readings", "events")

# Each pump's last heard and counts, as its last view says them (version 5 added the columns).
_PUMP_COUNTS = """UPDATE pumps SET
    last_heard = (julianday(json_extract(view, '$.last_seen')) - 2440587.5) * 86400.0,
    answered = coalesce(json_extract(view, '$.answered'), 0), silent = coalesce(json_extract(view, '$.silent'), 0),
    malformed = (SELECT coalesce(sum(value), 0) FROM json_each(view, '$.malformed'))
    WHERE json_valid(view)"""  # a view that cannot be read leaves its pump at none: it starts afresh

# What else a file older than a version needs to reach it: (version, before, after). ``before`` runs
# before the tables and columns it lacks are added from TABLES, ``after`` once they are.
UPGRADES: tuple[tuple[int, tuple[str, ...], tuple[str, ...]], ...] = (
    (2, (), ("UPDATE rounds SET partial = 1 WHERE exchanges = 0",)),  # before the column, early news had no exchange
    (4, *outbox.FROM_VERSION_3),
    (5, (), (_PUMP_COUNTS,)),  # readings keep only changes from here on; those already kept stay
    (6, (), ()),  # the patients' tables, made from TABLES: no pump served anyone before
)


def _column(declaration: str) -> str:
    return declaration.split()[0]


def upgrade(db: sqlite3.Connection, version: int | None) -> None:
    """Bring a new file (``version`` None) or an older one to this version, in the transaction under way."""
    steps = [] if version is None else [step for step in UPGRADES if version < step[0]]
    for _, before, _after in steps:
        for sql in before:
            db.execute(sql)
    for table, columns in TABLES.items():
        have = {r["name"] for r in db.execute(f"PRAGMA table_info({table})")}
        if not have:
            db.execute(f"CREATE TABLE {table} ({', '.join(columns)})")
        for declaration in columns:
            if have and _column(declaration) not in have:
                db.execute(f"ALTER TABLE {table} ADD COLUMN {declaration}")
    for sql in INDEXES:
        db.execute(sql)
    for _, _before, after in steps:
        for sql in after:
            db.execute(sql)


def missing(db: sqlite3.Connection, tables: Sequence[str]) -> list[str]:
    """What of ``tables`` a file lacks, as "table x" or "x.column"."""
    out: list[str] = []
    for table in tables:
        have = {r["name"] for r in db.execute(f"PRAGMA table_info({table})")}
        if not have:
            out.append(f"table {table}")
        else:
            out += [f"{table}.{c}" for c in map(_column, TABLES[table]) if c not in have]
    return out
