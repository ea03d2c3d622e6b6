"""The store: rounds from many threads, reads while writing, retention, schema, SIGKILL."""

from __future__ import annotations

import dataclasses
import json
import os
import signal
import sqlite3
import subprocess
import sys
import threading
from datetime import datetime, timedelta, timezone

import pytest

from tarvelpump.station.records.model import Event, EventKind, Reading, RoundResult
from tarvelpump.station.records.store import SCHEMA_VERSION, Store, StoreError

T0 = datetime(2026, 12, 7, 9, 0, tzinfo=timezone.utc)


def make_round(link: str, n: int, pumps: int = 3, t0: datetime = T0) -> RoundResult:
    t = t0 + timedelta(seconds=n)
    readings = tuple(
        Reading(pump=f"{link} bed {i}", link=link, time=t, running=2, door=i % 2, remaining_s=n,
                rate_unit=None if n % 2 else 1, alarm_word=None if i == 0 else 0x0100 + n,
                codes={"GET_PUMP_ALARM": 0, "GET_PUMP_STATUS": 1}, link_time_s=0.02)
        for i in range(pumps))
    events = (Event(EventKind.ALARM_RAISED, f"{link} bed 1", link, t, {"alarm": "ALARM_OCCLUSION", "n": n}),
              Event(EventKind.LINK_UP, None, link, t))
    return RoundResult(link=link, started=t, duration_s=0.5, exchanges=pumps * 5, readings=readings,
                       events=events, views=())


def test_rounds_from_threads_outbox_and_readers(tmp_path):
    store = Store(tmp_path / "s.sqlite", outbox=True)
    assert store.schema_version == SCHEMA_VERSION
    delivered: list[str] = []
    done = threading.Event()

    def drain() -> None:  # what the MQTT thread does: peek, deliver, ack, in order
        while not done.is_set() or store.outbox_peek(1):
            for seq, event in store.outbox_peek(50):
                delivered.append(event.id)
                store.outbox_ack(seq)

    def poll(link: str) -> None:
        for n in range(60):
            store.on_round(make_round(link, n))
            store.readings(pump=f"{link} bed 1", limit=2)  # reads in between don't block writes

    drainer = threading.Thread(target=drain)
    drainer.start()
    pollers = [threading.Thread(target=poll, args=(f"radio-{c}",)) for c in "abcd"]
    for th in pollers:
        th.start()
    for th in pollers:
        th.join()
    done.set()
    drainer.join()

    events = store.events()
    assert len(events) == 4 * 60 * 2
    assert delivered == [e.id for e in events]  # each once, in commit order
    assert store.counts() == {"rounds": 240, "readings": 720, "events": 480, "outbox": 0}

    got = store.readings(pump="radio-b bed 2", since=T0 + timedelta(seconds=57))
    assert got == [make_round("radio-b", n).readings[2] for n in (57, 58, 59)]
    raised = store.events(pump="radio-c bed 1", limit=2)
    assert [e.details for e in raised] == [{"alarm": "ALARM_OCCLUSION", "n": 58}, {"alarm": "ALARM_OCCLUSION", "n": 59}]
    want = make_round("radio-c", 59).events[0]
    assert (raised[1].kind, raised[1].pump, raised[1].link, raised[1].time) == (want.kind, want.pump, want.link, want.time)
    assert raised[1].time.utcoffset() == timedelta(0)
    assert all(e.pump is None and e.kind is EventKind.LINK_UP for e in store.events(pump=None)[1::2])
    store.close()
    store.close()
    with pytest.raises(StoreError):
        store.on_round(make_round("x", 0))
    with pytest.raises(StoreError):
        store.events()
    # Closed cleanly: the WAL is folded back, one file remains usable.
    assert not os.path.exists(tmp_path / "s.sqlite-wal") or os.path.getsize(tmp_path / "s.sqlite-wal") == 0
    with Store(tmp_path / "s.sqlite") as again:
        assert len(again.readings()) == 720
        again.on_round(make_round("radio-a", 99))
        assert again.counts()["outbox"] == 0  # outbox off: events are stored but not queued


def test_retention_by_age_and_count(tmp_path):
    now = datetime.now(timezone.utc)
    store = Store(tmp_path / "r.sqlite", retention_days=1.0, max_readings=10, max_events=5, prune_every=3600)
    for n in range(10):  # two days old: every row goes on the next pruning
        store.on_round(make_round("old", n, t0=now - timedelta(days=2)))
    for n in range(8):
        store.on_round(make_round("new", n, t0=now - timedelta(hours=1)))
    assert store.counts()["readings"] == 54  # not pruned until it is time
    assert store.prune() > 0
    counts = store.counts()
    assert counts["readings"] == 10 and counts["events"] == 5
    assert {r.link for r in store.readings()} == {"new"}
    kept = store.readings()
    assert kept[-1].remaining_s == 7 and kept[0].remaining_s == 4  # the newest ten: round 4 (last reading) onwards
    assert counts["rounds"] <= 5  # rounds older than every kept row go too
    store.close()


def test_foreign_and_newer_files_refused(tmp_path):
    junk = tmp_path / "junk.sqlite"
    junk.write_bytes(b"this is not a database at all" * 100)
    with pytest.raises(StoreError, match="cannot be used as a station store"):
        Store(junk)
    newer = tmp_path / "newer.sqlite"
    Store(newer).close()
    db = sqlite3.connect(newer)
    db.execute("UPDATE schema_version SET version = ?", (SCHEMA_VERSION + 1,))
    db.commit()
    db.close()
    with pytest.raises(StoreError, match="newer station"):
        Store(newer)
    with pytest.raises(ValueError):
        Store(tmp_path / "x.sqlite", synchronous="off")


WRITER = r"""
import sys
from datetime import timedelta
sys.path.insert(0, sys.argv[2])
from test_store import make_round, T0
from tarvelpump.station.records.store import Store
store = Store(sys.argv[1], outbox=True)
start = int(sys.argv[3])
for n in range(start, start + 100000):
    store.on_round(make_round("radio-a", n, pumps=20))
    print(n, flush=True)   # only after the commit returned
"""


def test_sigkill_mid_round_loses_nothing_committed(tmp_path):
    path = tmp_path / "k.sqlite"
    committed: list[int] = []
    start = 0
    for kill_after in (3, 40, 1, 150, 17, 90):
        proc = subprocess.Popen([sys.executable, "-c", WRITER, str(path), os.path.dirname(__file__), str(start)],
                                stdout=subprocess.PIPE, text=True)
        assert proc.stdout is not None
        for _ in range(kill_after):
            committed.append(int(proc.stdout.readline()))
        proc.send_signal(signal.SIGKILL)  # while it is inside a later round's transaction
        rest = proc.stdout.read()
        proc.wait()
        committed += [int(x) for x in rest.split()]
        start = committed[-1] + 1
    db = sqlite3.connect(path)
    assert db.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    db.close()
    with Store(path, outbox=True) as store:
        seconds = {int((r.time - T0).total_seconds()) for r in store.readings()}
        assert set(committed) <= seconds
        counts = store.counts()
        # whole rounds only: every round has its 20 readings and 2 events (and 2 queued for MQTT)
        assert counts["readings"] == 20 * counts["rounds"] and counts["outbox"] == 2 * counts["rounds"]
        assert counts["rounds"] - len(committed) <= 6  # at most one unreported commit per kill
        # the newest event is the last round's own, and it reads back as it was written
        (last,) = store.events(limit=1)
        assert last.kind is EventKind.LINK_UP and last.link == "radio-a"
        assert int((last.time - T0).total_seconds()) == max(seconds)
        assert Event.from_json(json.loads(json.dumps(last.to_json()))) == last


V1 = (  # a store as the first station version left it
    "CREATE TABLE schema_version (version INTEGER NOT NULL)",
    "INSERT INTO schema_version VALUES (1)",
    """CREATE TABLE rounds (id INTEGER PRIMARY KEY, link TEXT NOT NULL, started TEXT NOT NULL, t REAL NOT NULL,
        duration_s REAL NOT NULL, exchanges INTEGER NOT NULL, link_up INTEGER NOT NULL)""",
    """CREATE TABLE readings (id INTEGER PRIMARY KEY, round INTEGER NOT NULL, pump TEXT NOT NULL, link TEXT NOT NULL,
        time TEXT NOT NULL, t REAL NOT NULL, running INTEGER, door INTEGER, remaining_s INTEGER, rate_unit INTEGER,
        alarm_word INTEGER, codes TEXT NOT NULL, link_time_s REAL NOT NULL)""",
    """CREATE TABLE events (seq INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE, round INTEGER NOT NULL,
        kind TEXT NOT NULL, pump TEXT, link TEXT NOT NULL, time TEXT NOT NULL, t REAL NOT NULL, details TEXT NOT NULL)""",
    "CREATE TABLE outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT, event TEXT NOT NULL, body TEXT NOT NULL)",
    "INSERT INTO rounds VALUES (1, 'radio-a', '2026-12-07T09:00:00+00:00', 1796634000, 2.5, 10, 1)",
    "INSERT INTO rounds VALUES (2, 'radio-a', '2026-12-07T09:00:01+00:00', 1796634001, 0.1, 0, 1)",
    "INSERT INTO events VALUES (1, 'e1', 2, 'alarm_raised', 'bed 1', 'radio-a', '2026-12-07T09:00:01+00:00',"
    " 1796634001, '{}')",
)


def test_schema_2_keeps_each_pumps_last_view_and_marks_early_news(tmp_path):
    from tarvelpump.station.records.model import ONLINE, PumpView

    path = tmp_path / "v1.sqlite"
    db = sqlite3.connect(path)
    for sql in V1:
        db.execute(sql)
    db.commit()
    db.close()
    with Store(path, outbox=True) as store:  # brought up in place, its rows kept
        # through version 2, then the HL7 outbox, then the patients' tables
        assert store.schema_version == SCHEMA_VERSION == 4
        assert [e.id for e in store.events()] == ["e1"]
        assert store.last_views() == {}
        bed = PumpView(id="bed-1", label="bed 1", link="radio-a", addr=7, channel=1, presence=ONLINE,
                       alarm_word=0x0100, alarms=["ALARM_OCCLUSION"], top_alarm="ALARM_OCCLUSION",
                       alarm_since=T0, last_seen=T0, answered=4, malformed={"INVALID_APP_DATA": 1})
        full = make_round("radio-a", 5)
        store.commit([dataclasses.replace(full, views=(bed,)),
                      dataclasses.replace(full, exchanges=0, readings=(), partial=True,
                                          events=make_round("radio-a", 5).events[:1],
                                          views=(dataclasses.replace(bed, answered=5, alarms=[]),))])
        store.on_round(dataclasses.replace(make_round("radio-b", 6), views=(
            dataclasses.replace(bed, id="bed-2", label="bed 2", link="radio-b"),)))
        views = store.last_views()
        assert set(views) == {"bed 1", "bed 2"}
        assert views["bed 1"].to_json() == dataclasses.replace(bed, answered=5, alarms=[]).to_json()
        assert views["bed 2"].link == "radio-b" and views["bed 2"].alarm_since == T0
    with Store(path) as store:
        assert store.last_views()["bed 1"].answered == 5  # kept across a restart
    db = sqlite3.connect(path)
    rows = db.execute("SELECT id, exchanges, partial FROM rounds ORDER BY id").fetchall()
    # the old file's early-news row (no exchange) is marked too
    assert rows == [(1, 10, 0), (2, 0, 1), (3, 15, 0), (4, 0, 1), (5, 15, 0)]
    assert db.execute("SELECT avg(duration_s) FROM rounds WHERE NOT partial").fetchone()[0] == pytest.approx(
        (2.5 + 0.5 + 0.5) / 3)
    db.close()


def test_one_writer_per_store_readers_alongside_and_the_real_cause_of_a_failed_commit(tmp_path):
    path = tmp_path / "w.sqlite"
    store = Store(path, outbox=True)
    store.on_round(make_round("radio-a", 0))
    with pytest.raises(StoreError) as second:
        Store(path)
    assert str(path) in str(second.value) and f"PID {os.getpid()}" in str(second.value)
    with Store(path, readonly=True) as reader:  # what `station events` opens
        assert len(reader.events()) == 2
        with pytest.raises(StoreError):
            reader.on_round(make_round("radio-a", 1))
    # A commit that cannot be made raises why, and leaves no part of the round behind.
    store._db.execute(f"PRAGMA max_page_count = {store._db.execute('PRAGMA page_count').fetchone()[0]}")
    with pytest.raises(sqlite3.Error, match="database or disk is full"):
        for n in range(1, 500):
            store.on_round(make_round("radio-a", n, pumps=20))
    counts = store.counts()
    assert counts["readings"] == 3 + 20 * (counts["rounds"] - 1) and counts["events"] == 2 * counts["rounds"]
    store._db.execute("PRAGMA max_page_count = 1000000")
    store.on_round(make_round("radio-a", 999))
    store.close()
    with Store(path) as again:  # released on close
        assert again.counts()["rounds"] == counts["rounds"] + 1
