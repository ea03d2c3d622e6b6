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
import time
from datetime import datetime, timedelta, timezone

import msgspec
import pytest

from tarvelpump.station.outputs.mqtt import EventRows
from tarvelpump.station.records.model import EventKind, Reading, RoundResult, decode_event, encode_event
from tarvelpump.station.records.store import SCHEMA_VERSION, Store, StoreError

from _core import event as made_event

T0 = datetime(2026, 12, 7, 9, 0, tzinfo=timezone.utc)


def make_round(link: str, n: int, pumps: int = 3, t0: datetime = T0) -> RoundResult:
    t = t0 + timedelta(seconds=n)
    readings = tuple(
        Reading(pump=f"{link} bed {i}", link=link, time=t, running=2, door=(i + n) % 2, remaining_s=n,
                rate_unit=None if n % 2 else 1, alarm_word=None if i == 0 else 0x0100 + n,
                codes={"GET_PUMP_ALARM": 0, "GET_PUMP_STATUS": 1}, link_time_s=0.02)
        for i in range(pumps))
    events = (made_event("alarm_raised", f"{link} bed 1", link, t, alarm="ALARM_OCCLUSION", word=n),
              made_event("link_up", None, link, t))
    return RoundResult(link=link, started=t, duration_s=0.5, exchanges=pumps * 5, readings=readings,
                       events=events, views=())


def test_rounds_from_threads_outbox_and_readers(tmp_path):
    store = Store(tmp_path / "s.sqlite")
    store.outbox.register(EventRows("ward 3"))
    assert store.schema_version == SCHEMA_VERSION
    delivered: list[bytes] = []
    done = threading.Event()

    def drain() -> None:  # what the MQTT thread does: peek, deliver, confirm, in order
        while not done.is_set() or store.outbox.peek("mqtt", 1):
            rows = store.outbox.peek("mqtt", 50)
            delivered.extend(row.body for row in rows)
            assert store.outbox.confirm("mqtt", [row.seq for row in rows]) == len(rows)

    def poll(link: str) -> None:
        for n in range(60):
            store.commit([make_round(link, n)])
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
    assert len(events) == 4 * 60 * 2 and [e.time for e in events] == sorted(e.time for e in events)
    committed = [i for (i,) in store._db.execute("SELECT id FROM events ORDER BY seq")]
    # each once, in commit order, as the bytes made when it was committed
    assert [json.loads(body)["id"] for body in delivered] == committed
    last = next(e for e in events if e.id == committed[-1])
    assert delivered[-1] == encode_event(msgspec.structs.replace(last, station="ward 3"))
    assert store.counts() == {"rounds": 240, "readings": 720, "events": 480, "outbox": 0}

    got = store.readings(pump="radio-b bed 2", since=T0 + timedelta(seconds=57))
    assert got == [make_round("radio-b", n).readings[2] for n in (57, 58, 59)]
    raised = store.events(pump="radio-c bed 1", limit=2)
    assert [(e.alarm, e.word) for e in raised] == [("ALARM_OCCLUSION", 58), ("ALARM_OCCLUSION", 59)]
    want = make_round("radio-c", 59).events[0]
    assert (raised[1].kind, raised[1].pump, raised[1].link, raised[1].time) == (want.kind, want.pump, want.link, want.time)
    assert raised[1].time.utcoffset() == timedelta(0)
    assert all(e.pump is None and e.kind is EventKind.LINK_UP for e in store.events(pump=None)[1::2])
    store.close()
    store.close()
    with pytest.raises(StoreError):
        store.commit([make_round("x", 0)])
    with pytest.raises(StoreError):
        store.events()
    # Closed cleanly: the WAL is folded back, one file remains usable.
    assert not os.path.exists(tmp_path / "s.sqlite-wal") or os.path.getsize(tmp_path / "s.sqlite-wal") == 0
    with Store(tmp_path / "s.sqlite") as again:
        assert len(again.readings()) == 720
        again.commit([make_round("radio-a", 99)])
        assert again.counts()["outbox"] == 0  # no output: events are stored but not queued


def test_retention_by_age_and_count(tmp_path):
    now = datetime.now(timezone.utc)
    store = Store(tmp_path / "r.sqlite", retention_days=1.0, max_readings=10, max_events=5, prune_every=3600,
                  outbox_bound=2)
    store.outbox.register(EventRows("ward"))
    for n in range(10):  # two days old: every row goes on the next pruning
        store.commit([make_round("old", n, t0=now - timedelta(days=2))])
    for n in range(8):
        store.commit([make_round("new", n, t0=now - timedelta(hours=1))])
    assert store.counts()["readings"] == 54  # not pruned until it is time
    # rows an output's receiver refused: two of them set aside days ago, three now
    rows = store.outbox.peek("mqtt", 5)
    for row in rows:
        assert store.outbox.set_aside("mqtt", row.seq, "refused") == dataclasses.replace(
            row, aside=pytest.approx(time.time(), abs=60), error="refused")
    assert store.outbox.set_aside("mqtt", rows[0].seq, "again") is None  # set aside once
    store._db.execute("UPDATE outbox SET aside = aside - 2 * 86400 WHERE seq <= ?", (rows[1].seq,))
    assert store.prune() > 0
    # past retention, and beyond the newest outbox_bound of them, set-aside rows go; waiting rows never do
    assert [r.seq for r in store.outbox.peek("mqtt", 10, aside=True)] == [r.seq for r in rows[3:]]
    assert store.outbox.status("mqtt").rows == 36 - 5 and store.outbox.peek("mqtt", 1)[0].seq == rows[4].seq + 1
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
from tarvelpump.station.outputs.mqtt import EventRows
from tarvelpump.station.records.store import Store
store = Store(sys.argv[1])
store.outbox.register(EventRows("ward"))
start = int(sys.argv[3])
for n in range(start, start + 100000):
    store.commit([make_round("radio-a", n, pumps=20)])
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
    with Store(path) as store:
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
        assert decode_event(encode_event(last)) == (last, "")


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
    with Store(path) as store:  # brought up in place, its rows kept
        # through version 2, the HL7 outbox, one outbox, pump counts, the patients' tables
        assert store.schema_version == SCHEMA_VERSION == 6
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
        store.commit([dataclasses.replace(make_round("radio-b", 6), views=(
            dataclasses.replace(bed, id="bed-2", label="bed 2", link="radio-b"),))])
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
    store = Store(path)
    store.commit([make_round("radio-a", 0)])
    with pytest.raises(StoreError) as second:
        Store(path)
    assert str(path) in str(second.value) and f"PID {os.getpid()}" in str(second.value)
    with Store(path, readonly=True) as reader:  # what `station events` opens
        assert len(reader.events()) == 2
        with pytest.raises(StoreError):
            reader.commit([make_round("radio-a", 1)])
    # A commit that cannot be made raises why, and leaves no part of the round behind.
    store._db.execute(f"PRAGMA max_page_count = {store._db.execute('PRAGMA page_count').fetchone()[0]}")
    with pytest.raises(sqlite3.Error, match="database or disk is full"):
        for n in range(1, 500):
            store.commit([make_round("radio-a", n, pumps=20)])
    counts = store.counts()
    assert counts["readings"] == 3 + 20 * (counts["rounds"] - 1) and counts["events"] == 2 * counts["rounds"]
    store._db.execute("PRAGMA max_page_count = 1000000")
    store.commit([make_round("radio-a", 999)])
    store.close()
    with Store(path) as again:  # released on close
        assert again.counts()["rounds"] == counts["rounds"] + 1


V3 = (*V1,  # then what versions 2 and 3 added
      "UPDATE schema_version SET version = 3",
      "ALTER TABLE rounds ADD COLUMN partial INTEGER NOT NULL DEFAULT 0",
      "CREATE TABLE pumps (label TEXT PRIMARY KEY, link TEXT NOT NULL, time REAL NOT NULL, view TEXT NOT NULL)",
      """CREATE TABLE hl7_outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL, pump TEXT,
          link TEXT NOT NULL, control_id TEXT NOT NULL, body TEXT NOT NULL)""",
      """CREATE TABLE hl7_set_aside (seq INTEGER PRIMARY KEY, kind TEXT NOT NULL, pump TEXT, link TEXT NOT NULL,
          control_id TEXT NOT NULL, body TEXT NOT NULL, t REAL NOT NULL, error TEXT NOT NULL)""")


def test_a_version_3_file_keeps_both_outboxes_whole_and_in_order(tmp_path):
    path = tmp_path / "v3.sqlite"
    db = sqlite3.connect(path)
    for sql in V3:
        db.execute(sql)
    made = [made_event("alarm_raised", f"bed {n}", "radio-a", T0 + timedelta(seconds=n), word=n)
            for n in (3, 1, 2)] + [made_event("link_down", None, "radio-a", T0, error="gone")]
    for n, e in zip((7, 8, 12, 15), made):  # sequence numbers with gaps, as acks leave them
        db.execute("INSERT INTO outbox VALUES (?, ?, ?)", (n, e.id, json.dumps(e.to_json())))
    messages = {seq: (f"MSH|^~\\&|TVP|床 {seq}\r", f"c{seq}") for seq in range(1, 7)}
    for seq, (text, control) in messages.items():
        if seq in (2, 5):  # answered AE before the upgrade
            db.execute("INSERT INTO hl7_set_aside VALUES (?, 'PCD-04', 'bed 1', 'radio-a', ?, ?, 1796634000, 'no')",
                       (seq, control, text))
        else:
            db.execute("INSERT INTO hl7_outbox VALUES (?, 'PCD-01', NULL, 'radio-a', ?, ?)", (seq, control, text))
    db.commit()
    db.close()

    with Store(path) as store:
        store.outbox.register(EventRows("ward 3"))
        mqtt = store.outbox.peek("mqtt")
        assert [row.key for row in mqtt] == [e.id for e in made]  # none lost, none reordered
        assert [json.loads(row.body) for row in mqtt] == [e.to_json() for e in made]  # the bytes kept
        assert (mqtt[0].pump, mqtt[0].link, mqtt[0].kind, mqtt[0].t) == ("bed 3", "radio-a", "alarm_raised",
                                                                         pytest.approx(made[0].time.timestamp()))
        assert mqtt[3].pump is None and mqtt[3].kind == "link_down"
        hl7 = store.outbox.peek("hl7")
        assert [(r.key, r.body) for r in hl7] == [(messages[s][1], messages[s][0].encode()) for s in (1, 3, 4, 6)]
        aside = store.outbox.peek("hl7", aside=True)
        assert [(r.key, r.error, r.aside) for r in aside] == [("c2", "no", 1796634000.0), ("c5", "no", 1796634000.0)]
        status = store.outbox.status("hl7")
        assert (status.rows, status.set_aside, status.over_bound) == (4, 2, False)
        # what comes after the upgrade comes after what waited before it
        store.commit([make_round("radio-a", 9)])
        assert [row.key for row in store.outbox.peek("mqtt")][:4] == [e.id for e in made]
        assert store.outbox.confirm("mqtt", [r.seq for r in mqtt]) == 4 and len(store.outbox.peek("mqtt")) == 2
        assert store.outbox.confirm("hl7", [r.seq for r in mqtt]) == 0  # another output's rows are not its own

    # the upgraded file is the one a new station makes, table by table and index by index
    Store(tmp_path / "new.sqlite").close()

    def shape(p):
        db = sqlite3.connect(p)
        try:
            tables = {n: db.execute(f"PRAGMA table_info({n})").fetchall()
                      for (n,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            return tables, sorted(db.execute("SELECT name, sql FROM sqlite_master WHERE type = 'index'"))
        finally:
            db.close()

    upgraded, fresh = shape(path), shape(tmp_path / "new.sqlite")
    assert upgraded == fresh and "hl7_outbox" not in upgraded[0]
