"""The store: rounds from many threads, reads while writing, retention, schema, SIGKILL."""

from __future__ import annotations

import json
import os
import signal
import sqlite3
import subprocess
import sys
import threading
from datetime import datetime, timedelta, timezone

import pytest

from tarvelpump.station.model import Event, EventKind, Reading, RoundResult
from tarvelpump.station.store import SCHEMA_VERSION, Store, StoreError

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
from tarvelpump.station.store import Store
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
        assert json.dumps([e.to_json() for e in store.events(limit=1)])
