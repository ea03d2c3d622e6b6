"""What the store keeps of readings (every change, not every repetition), a version 4 file brought up
in place, and the command line's queries walking the time indexes, a page at a time."""

from __future__ import annotations

import dataclasses
import json
import sqlite3
from datetime import datetime, timedelta, timezone

import pytest

from _core import event

from tarvelpump.station.cli import main
from tarvelpump.station.records.model import ONLINE, PumpView, Reading, RoundResult
from tarvelpump.station.records.store import SCHEMA_VERSION, Store

OK = {"GET_PUMP_ALARM": 0, "GET_PUMP_STATUS": 0}


def one_pass(t: datetime, *, pump: str = "bed 1", codes: dict[str, int] = OK, events: tuple[Event, ...] = (),
             views: tuple[PumpView, ...] = (), **read: int) -> RoundResult:
    r = Reading(pump=pump, link="radio-a", time=t, codes=dict(codes), link_time_s=0.05, **read)
    return RoundResult(link="radio-a", started=t, duration_s=10.4, exchanges=len(codes), readings=(r,),
                       events=events, views=views)


def printed(capsys: pytest.CaptureFixture[str], *argv: str) -> list[dict]:
    assert main(list(argv)) == 0
    return [json.loads(line) for line in capsys.readouterr().out.splitlines()]


def test_a_row_for_every_change_none_for_a_repetition(tmp_path, capsys):
    t0 = datetime.now(timezone.utc).replace(microsecond=0) - timedelta(hours=2)
    at = {s: t0 + timedelta(seconds=s) for s in (0, 10, 20, 30, 300, 310, 320, 330, 340, 350, 420, 430, 440, 4000,
                                                 4045)}
    bed = PumpView(id="bed-1", label="bed 1", link="radio-a", addr=1, channel=0, presence=ONLINE)
    path = tmp_path / "s.sqlite"
    store = Store(path)
    store.commit([one_pass(at[0], running=2, door=0, remaining_s=3600, rate_unit=1, alarm_word=0)])  # first: kept
    for s, read in ((10, {"running": 2}), (20, {"door": 0}),
                    (30, {"remaining_s": 3540}), (300, {"remaining_s": 3300})):  # counting down as it should
        store.commit([one_pass(at[s], alarm_word=0, **read)])
    store.commit([one_pass(at[310], alarm_word=0x0100)])  # occlusion
    store.commit([one_pass(at[320], alarm_word=0x0100, rate_unit=1)])
    store.commit([one_pass(at[330], codes={"GET_PUMP_ALARM": 1})])  # stops answering
    store.commit([one_pass(at[340], codes={"GET_PUMP_ALARM": 1})])
    store.commit([one_pass(at[350], alarm_word=0x0100, running=3, remaining_s=3250)])  # back, paused
    store.commit([one_pass(at[420], alarm_word=0x0100, remaining_s=3250)])  # paused: standing still
    opened = event("door_opened", "bed 1", "radio-a", at[430], door=1)
    store.commit([one_pass(at[430], alarm_word=0x0100, remaining_s=7200, events=(opened,))])  # a new syringe
    # a round that cannot be committed keeps nothing: its change is judged again when it comes back
    with pytest.raises(sqlite3.IntegrityError):
        store.commit([one_pass(at[440], alarm_word=0x0100, door=1, events=(opened,))])
    store.commit([one_pass(at[440], alarm_word=0x0100, door=1)])
    heard = at[4000] - timedelta(seconds=2)
    counted = dataclasses.replace(bed, last_seen=heard, answered=700, silent=3,
                                  malformed={"INVALID_APP_DATA": 1, "CHECKSUM_ERROR": 2})
    store.commit([one_pass(at[4000], alarm_word=0x0100, views=(bed,))])
    store.commit([one_pass(at[4045], alarm_word=0x0100, views=(counted,))])  # an hour since the last row
    store.close()

    rows = printed(capsys, "history", "--db", str(path), "--pump", "bed 1", "--json")
    assert [r["time"] for r in rows] == [at[s].isoformat() for s in (0, 310, 330, 350, 430, 440, 4045)]
    assert rows[0] == {"pump": "bed 1", "link": "radio-a", "time": at[0].isoformat(), "running": 2, "door": 0,
                       "remaining_s": 3600, "rate_unit": 1, "alarm_word": 0, "codes": OK, "link_time_s": 0.05}
    silent = rows[2]
    assert silent["codes"] == {"GET_PUMP_ALARM": 1} and silent["alarm_word"] is None and silent["running"] is None
    assert (rows[3]["running"], rows[4]["remaining_s"], rows[5]["door"]) == (3, 7200, 1)
    assert [e["kind"] for e in printed(capsys, "events", "--db", str(path), "--json")] == ["door_opened"]
    # each pump's last heard and answer counts: one row, rewritten every round
    db = sqlite3.connect(path)
    assert db.execute("SELECT label, last_heard, answered, silent, malformed FROM pumps").fetchall() == [
        ("bed 1", heard.timestamp(), 700, 3, 3)]
    db.close()


V4 = (  # a store as version 4 left it
    "CREATE TABLE schema_version (version INTEGER NOT NULL)",
    "INSERT INTO schema_version VALUES (4)",
    """CREATE TABLE rounds (id INTEGER PRIMARY KEY, link TEXT NOT NULL, started TEXT NOT NULL, t REAL NOT NULL,
        duration_s REAL NOT NULL, exchanges INTEGER NOT NULL, link_up INTEGER NOT NULL,
        partial INTEGER NOT NULL DEFAULT 0)""",
    """CREATE TABLE readings (id INTEGER PRIMARY KEY, round INTEGER NOT NULL, pump TEXT NOT NULL, link TEXT NOT NULL,
        time TEXT NOT NULL, t REAL NOT NULL, running INTEGER, door INTEGER, remaining_s INTEGER, rate_unit INTEGER,
        alarm_word INTEGER, codes TEXT NOT NULL, link_time_s REAL NOT NULL)""",
    """CREATE TABLE events (seq INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE, round INTEGER NOT NULL,
        kind TEXT NOT NULL, pump TEXT, link TEXT NOT NULL, time TEXT NOT NULL, t REAL NOT NULL, details TEXT NOT NULL)""",
    "CREATE TABLE pumps (label TEXT PRIMARY KEY, link TEXT NOT NULL, time REAL NOT NULL, view TEXT NOT NULL)",
    """CREATE TABLE outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT, output TEXT NOT NULL, t REAL NOT NULL,
        kind TEXT NOT NULL, key TEXT NOT NULL, pump TEXT, link TEXT NOT NULL, supersede TEXT, body BLOB NOT NULL,
        aside REAL, error TEXT)""",
    "CREATE INDEX rounds_t ON rounds (t)",
    "CREATE INDEX readings_pump_t ON readings (pump, t)",
    "CREATE INDEX readings_t ON readings (t)",
    "CREATE INDEX events_pump_t ON events (pump, t)",
    "CREATE INDEX events_t ON events (t)",
    "CREATE INDEX outbox_waiting ON outbox (output, aside, seq)",
    "CREATE INDEX outbox_supersede ON outbox (output, supersede) WHERE supersede IS NOT NULL",
)


def shape(path) -> tuple[dict, list]:
    db = sqlite3.connect(path)
    try:
        tables = {n: db.execute(f"PRAGMA table_info({n})").fetchall()
                  for (n,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        return tables, sorted(db.execute("SELECT name, sql FROM sqlite_master WHERE type = 'index'"))
    finally:
        db.close()


def test_a_version_4_file_keeps_every_reading_and_gains_each_pumps_counts(tmp_path, capsys):
    t0 = datetime.now(timezone.utc).replace(microsecond=0) - timedelta(days=1)
    path = tmp_path / "v4.sqlite"
    db = sqlite3.connect(path)
    for sql in V4:
        db.execute(sql)
    db.execute("INSERT INTO rounds VALUES (1, 'radio-a', ?, ?, 10.4, 2, 1, 0)", (t0.isoformat(), t0.timestamp()))
    for n in range(40):  # a reading every pass, most repeating the last: all of them are history
        t = t0 + timedelta(seconds=10 * n)
        db.execute("INSERT INTO readings VALUES (NULL, 1, 'bed 1', 'radio-a', ?, ?, 2, NULL, NULL, NULL, 0, ?, 0.05)",
                   (t.isoformat(), t.timestamp(), json.dumps(OK)))
    bed = PumpView(id="bed-1", label="bed 1", link="radio-a", addr=1, channel=0, presence=ONLINE, last_seen=t,
                   answered=80, silent=4, malformed={"INVALID_APP_DATA": 2, "CHECKSUM_ERROR": 1})
    db.execute("INSERT INTO pumps VALUES ('bed 1', 'radio-a', ?, ?)", (t.timestamp(), json.dumps(bed.to_json())))
    db.execute("INSERT INTO pumps VALUES ('bed 2', 'radio-a', ?, 'not a view')", (t.timestamp(),))
    db.commit()
    db.close()

    # read as it is while no station has written it yet
    latest = printed(capsys, "history", "--db", str(path), "--pump", "bed 1", "--limit", "3", "--json")
    assert [r["time"] for r in latest] == [(t0 + timedelta(seconds=10 * n)).isoformat() for n in (37, 38, 39)]
    with Store(path) as store:
        assert store.schema_version == SCHEMA_VERSION
        assert len(store.readings()) == 40  # nothing thinned
        store.commit([one_pass(t + timedelta(seconds=10 * n), running=2, alarm_word=0) for n in (1, 2)])
        assert len(store.readings()) == 41  # from now on, changes only (and the first after opening)
    db = sqlite3.connect(path)
    assert db.execute("SELECT label, last_heard, answered, silent, malformed FROM pumps ORDER BY label").fetchall() \
        == [("bed 1", pytest.approx(t.timestamp(), abs=1e-3), 80, 4, 3), ("bed 2", None, 0, 0, 0)]
    db.close()
    Store(tmp_path / "new.sqlite").close()
    assert shape(path) == shape(tmp_path / "new.sqlite")  # as a new station makes it, statistics included


def test_the_command_lines_queries_walk_the_time_indexes_a_page_at_a_time(tmp_path, capsys, monkeypatch):
    now = datetime.now(timezone.utc)
    path = tmp_path / "q.sqlite"
    with Store(path) as store:
        for n in range(50):  # thirty pumps read at the same time: ties across the pages
            t = now - timedelta(minutes=50 - n, seconds=-30)
            readings = tuple(Reading(pump=f"bed {i}", link="radio-a", time=t, alarm_word=n, codes=OK)
                             for i in range(30))
            events = tuple(event("alarm_raised", f"bed {i}", "radio-a", t, word=n) for i in (n % 30, 7))
            views = tuple(PumpView(id=f"bed-{i}", label=f"bed {i}", link="radio-a", addr=i, channel=0)
                          for i in range(30))
            store.commit([RoundResult("radio-a", t, 10.4, 60, readings, events, views)])
    statements: list[str] = []
    connect = sqlite3.connect

    def traced(*args, **kwargs):
        db = connect(*args, **kwargs)
        db.set_trace_callback(statements.append)
        return db

    monkeypatch.setattr(sqlite3, "connect", traced)

    def run(*argv: str) -> tuple[list[dict], list[str]]:
        statements.clear()
        rows = printed(capsys, *argv, "--db", str(path), "--json")
        return rows, [s for s in statements if " FROM readings" in s or " FROM events" in s]

    every, _ = run("history")
    assert len(every) == 1500 and [r["alarm_word"] for r in every] == [n for n in range(50) for _ in range(30)]
    assert [r["pump"] for r in every[:31]] == [f"bed {i}" for i in range(30)] + ["bed 0"]
    latest, _ = run("history", "--limit", "700")  # the boundary inside a group of equal times
    assert latest == every[-700:]
    recent, since = run("history", "--since", "10m")
    assert recent == every[-300:]
    one, pump_limit = run("history", "--pump", "bed 7", "--limit", "20")
    assert one == [r for r in every if r["pump"] == "bed 7"][-20:]
    alarms, events_since = run("events", "--since", "1h")
    assert len(alarms) == 100 and [e["word"] for e in alarms] == sorted(e["word"] for e in alarms)
    last, events_limit = run("events", "--pump", "bed 7", "--limit", "5")
    assert [(e["pump"], e["word"]) for e in last] == [("bed 7", n) for n in range(45, 50)]

    monkeypatch.setattr(sqlite3, "connect", connect)
    db = connect(path)
    for sql in since + pump_limit + events_since + events_limit:
        plan = [row[3] for row in db.execute("EXPLAIN QUERY PLAN " + sql)]
        assert all(step.startswith("SEARCH") and "INDEX" in step for step in plan), (sql, plan)
        assert not any("TEMP B-TREE" in step for step in plan), (sql, plan)
    db.close()
