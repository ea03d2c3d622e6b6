"""A store that cannot be written: nothing shown before it is committed, nothing committed lost,
a bounded wait, and a station that refuses or stops loudly rather than going on quietly."""

from __future__ import annotations

import json
import logging
import os
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest

from tarvelpump.station.hub import Hub
from tarvelpump.station.records.model import ONLINE, PumpView, Reading, RoundResult
from tarvelpump.station.records.store import Store

from _core import event

T0 = datetime(2026, 12, 7, 9, 0, tzinfo=timezone.utc)


def a_round(n: int, link: str = "radio-a") -> RoundResult:
    t = T0 + timedelta(seconds=n)
    beds = [f"bed {i}" for i in range(3)]
    return RoundResult(
        link=link, started=t, duration_s=0.4, exchanges=15,
        readings=tuple(Reading(pump=b, link=link, time=t, running=2, alarm_word=n) for b in beds),
        events=(event("state_changed", beds[n % 3], link, t, **{"from": "STOP", "to": "RUN", "to_code": n}),),
        views=tuple(PumpView(id=b.replace(" ", "-"), label=b, link=link, addr=i, channel=1, presence=ONLINE,
                             answered=n, last_seen=t) for i, b in enumerate(beds)))


def test_only_committed_rounds_reach_the_outputs_and_a_full_store_loses_none(tmp_path, caplog):
    from tarvelpump.station.outputs.mqtt import EventRows, MqttPublisher

    caplog.set_level(logging.DEBUG, logger="tarvelpump")
    store = Store(tmp_path / "s.sqlite")
    store.outbox.register(EventRows("ward"))
    hub = Hub()
    hub.commit_through(store.commit, name=store.path, max_pending=40, retry_every=0.05)
    assert hub.health()["store"]["up"] is True
    heard: list[RoundResult] = []
    uncommitted: list[str] = []

    def output(result: RoundResult) -> None:  # the page, metrics, --json: what do they get, and when?
        stored = {e.id for e in store.events()}
        uncommitted.extend(e.id for e in result.events if e.id not in stored)
        heard.append(result)

    def broken(result: RoundResult) -> None:
        raise RuntimeError("an output that fails")

    hub.add(broken)  # a failing output is logged; the others still hear the round
    hub.add(output)
    publisher = MqttPublisher("mqtt://127.0.0.1:9/site/ward", store.outbox, station="ward")  # never started
    hub.add(publisher.on_round)
    sent: list[RoundResult] = []

    def publish(n: int) -> None:
        sent.append(a_round(n))
        hub.publish(sent[-1])

    for n in range(5):
        publish(n)
    assert len(heard) == 5 and hub.health()["store"]["up"] is True

    db = store._db  # the writer's connection: the file may grow no further
    db.execute(f"PRAGMA max_page_count = {db.execute('PRAGMA page_count').fetchone()[0]}")
    caplog.clear()
    n = 5
    while hub.health()["store"]["up"] and n < 400:
        publish(n)
        n += 1
    at = len(heard)
    assert at < n, "the store never filled up"
    for _ in range(6):
        publish(n)
        n += 1
    assert len(heard) == at  # nobody heard of a round that is not committed
    health = hub.health()["store"]
    assert health["up"] is False and health["error"] == "database or disk is full"
    assert health["pending"] == n - at and datetime.fromisoformat(health["since"]).tzinfo is not None
    assert {v.label: v.answered for v in hub.views()} == {f"bed {i}": at - 1 for i in range(3)}
    assert {v.answered for v in publisher._views.values()} == {at - 1}  # MQTT states: committed ones only
    assert len(store.events()) == at

    db.execute("PRAGMA max_page_count = 1000000")  # room again: no new round needed to go on
    deadline = time.monotonic() + 5
    while not (hub.health()["store"]["up"] and len(heard) == len(sent)) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert hub.health()["store"] == {**hub.health()["store"], "up": True, "pending": 0}
    assert [r.events[0].id for r in heard] == [r.events[0].id for r in sent]  # every round, in order
    assert [e.id for e in store.events()] == [r.events[0].id for r in sent]
    assert [row.key for row in store.outbox.peek("mqtt", 1000)] == [r.events[0].id for r in sent]
    assert store.counts()["rounds"] == len(sent) and uncommitted == []
    assert {v.answered for v in hub.views()} == {n - 1}

    messages = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
    down = [m for m in messages if "not writable" in m]
    assert len(down) == 1 and str(store.path) in down[0] and "database or disk is full" in down[0]
    assert len([m for m in messages if "writable again" in m]) == 1
    assert not any("rollback" in m for m in messages)
    assert not any(r.exc_info for r in caplog.records if "store" in r.getMessage())
    assert sum("output failed" in m for m in messages) == len(sent) - 5  # the broken one, each round since

    # Past the bound: the hub gives up loudly, names the store and the cause.
    db.execute(f"PRAGMA max_page_count = {db.execute('PRAGMA page_count').fetchone()[0]}")
    while not hub.failed.is_set() and n < 1000:
        publish(n)
        n += 1
    assert hub.failed.is_set()
    assert str(store.path) in hub.failure and "database or disk is full" in hub.failure
    assert "\n" not in hub.failure
    assert len(store.events()) == len(heard) and uncommitted == []
    assert hub.close() > 0  # still not committed at the end: said so
    store.close()


# -- the command line ------------------------------------------------------------------------

CONFIG = """\
[station]
name = "ward 3"
[store]
path = "{store}"
{store_extra}
[poll]
gap = 0.0
offline_after = 3
[[link]]
name = "radio-a"
port = "{port}"
baud = 115200
timeout = 0.2
mode = "fixed"
"""


def write_config(folder: Path, ward, store: Path, store_extra: str = "") -> Path:
    text = CONFIG.format(store=store, port=ward.port, store_extra=store_extra)
    for p in ward.pumps:
        text += f'[[pump]]\nlabel = "{p.label}"\nlink = "radio-a"\naddr = {p.addr}\nchannel = {p.channel}\n'
    conf = folder / "ward.toml"
    conf.write_text(text)
    return conf


def moving_ward(n: int = 6):
    from tarvelpump.virtualward import VirtualWard

    ward = VirtualWard("fixed", moving=True, speed=300.0, seed=11)
    for i in range(n):
        ward.add(100 + i, 1, label=f"bed {i}")
    return ward  # started by `with`


class Running:
    """``station run --json`` in a child process; what it prints and logs, read as it comes."""

    def __init__(self, conf: Path, *extra: str) -> None:
        self.proc = subprocess.Popen([sys.executable, "-m", "tarvelpump", "station", "run", "--config", str(conf),
                                      "--json", *extra], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.printed: list[dict] = []  # appended on the readers' threads: list.append is atomic
        self.errors: list[tuple[float, str]] = []
        for pipe, take in ((self.proc.stdout, lambda x: self.printed.append(json.loads(x))),
                           (self.proc.stderr, lambda x: self.errors.append((time.time(), x.rstrip("\n"))))):
            threading.Thread(target=lambda pipe=pipe, take=take: [take(x) for x in pipe], daemon=True).start()

    def ids(self) -> list[str]:
        return [e["id"] for e in list(self.printed)]

    def err_line(self, text: str, timeout: float = 30.0) -> tuple[float, str]:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if found := [(t, m) for t, m in list(self.errors) if text in m]:
                return found[0]
            time.sleep(0.05)
        raise AssertionError(f"no {text!r} on stderr ({self.proc.poll()}): {self.errors[-5:]}")

    def end(self) -> int:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=20)
        time.sleep(0.3)  # the readers take the rest
        return self.proc.returncode


def stored_ids(path: Path) -> list[str]:
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return [row[0] for row in db.execute("SELECT id FROM events ORDER BY seq")]
    finally:
        db.close()


@pytest.fixture
def small_disk(tmp_path):
    """A 3 MB tmpfs (root only): a station fills it within seconds."""
    disk = tmp_path / "disk"
    disk.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", str(disk)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a small tmpfs here: {mounted.stderr.strip()}")
    yield disk
    subprocess.run(["umount", "-l", str(disk)], check=False)


def enlarge(disk: Path) -> None:
    subprocess.run(["mount", "-o", "remount,size=64m", str(disk)], check=True)


def test_run_json_and_mqtt_on_a_disk_that_fills_up_then_is_enlarged(tmp_path, small_disk):
    from _broker import Broker
    from test_mqtt import Watcher

    store = small_disk / "ward.sqlite"
    broker = Broker(tmp_path).start()
    watcher = Watcher(broker, "tarvelpump/site/ward/#")
    with moving_ward() as ward:
        conf = write_config(tmp_path, ward, store)
        assert watcher.subscribed.wait(10)
        run = Running(conf, "--mqtt", broker.url("site/ward"))
        try:
            t_down, line = run.err_line("not writable")
            assert str(store) in line and "database or disk is full" in line
            time.sleep(1.5)
            assert set(run.ids()) <= set(stored_ids(store))  # nothing printed that is not stored
            before = len(run.ids())
            time.sleep(1.0)  # the ward goes on changing; none of it is printed while it cannot be stored
            assert len(run.ids()) == before
            enlarge(small_disk)
            t_up, line = run.err_line("writable again")
            time.sleep(1.5)
            assert len(run.ids()) > before
        finally:
            rc = run.end()
            watcher.close()
            broker.stop()
    errors = [m for _, m in run.errors]
    assert rc == 0, errors
    printed, stored = run.ids(), stored_ids(store)
    assert printed == stored  # every printed event stored, in the order it was printed, and vice versa
    # The broker got them in the same order; any not yet acknowledged wait in the outbox for the next start
    # (one delivered just before the stop may be in both: at least once).
    published = list(dict.fromkeys(e["id"] for e in watcher.events()))
    db = sqlite3.connect(f"file:{store}?mode=ro", uri=True)
    waiting = [row[0] for row in db.execute("SELECT key FROM outbox WHERE output = 'mqtt' ORDER BY seq")]
    db.close()
    assert published == stored[:len(published)] and set(published) | set(waiting) == set(stored)
    during = [e for e in run.printed if t_down < datetime.fromisoformat(e["time"]).timestamp() < t_up]
    assert during, "the events of the outage were kept and committed afterwards"
    assert sum("not writable" in m for m in errors) == 1 and sum("writable again" in m for m in errors) == 1
    assert not any("Traceback" in m or "rollback" in m for m in errors), errors


def test_run_stops_with_exit_1_when_the_store_stays_full(tmp_path, small_disk):
    store = small_disk / "ward.sqlite"
    with moving_ward() as ward:
        conf = write_config(tmp_path, ward, store, "max_pending = 30")
        run = Running(conf)
        try:
            run.proc.wait(timeout=60)  # stops by itself
        finally:
            rc = run.end()
    errors = [m for _, m in run.errors]
    assert rc == 1, errors
    assert str(store) in errors[-1] and "database or disk is full" in errors[-1], errors
    assert not any("Traceback" in m for m in errors), errors
    enlarge(small_disk)
    assert run.ids() and run.ids() == stored_ids(store)[:len(run.ids())]  # what was printed, in order


def as_nobody() -> None:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)


def command_as_nobody() -> list[str] | None:
    """``python -m tarvelpump`` for user nobody (this interpreter may sit where nobody may not go)."""
    import shutil
    import sysconfig

    boot = (f"import site, sys; site.addsitedir({sysconfig.get_paths()['purelib']!r}); "
            "from tarvelpump.cli import main; sys.exit(main(sys.argv[1:]))")
    for python in (sys.executable, shutil.which(f"python3.{sys.version_info.minor}"), "/usr/bin/python3"):
        if python is None:
            continue
        try:
            probe = subprocess.run([python, "-c", boot, "--help"], capture_output=True, preexec_fn=as_nobody,
                                   timeout=60)
        except OSError:
            continue
        if probe.returncode == 0:
            return [python, "-c", boot]
    return None


def test_stores_that_cannot_be_written_are_refused_at_start(tmp_path, capsys):
    from tarvelpump.station.cli import main

    with moving_ward(2) as ward:
        def run(store: Path | str) -> str:
            conf = write_config(tmp_path, ward, Path(store))
            assert main(["run", "--config", str(conf), "--json", "--seconds", "5"]) == 1
            err = capsys.readouterr().err
            assert err.count("\n") == 1 and str(store) in err, err
            return err

        folder = tmp_path / "folder.sqlite"
        folder.mkdir()
        run(folder)
        run("/dev/null")
        wrong = tmp_path / "wrong.sqlite"  # the right version, the wrong tables
        Store(wrong).close()
        db = sqlite3.connect(wrong)
        db.execute("DROP TABLE outbox")
        db.execute("ALTER TABLE events RENAME COLUMN details TO detail")
        db.commit()
        db.close()
        err = run(wrong)
        assert "outbox" in err and "details" in err
        assert ward.pumps[0].answered == 0  # refused before a port was opened

        python = command_as_nobody() if os.geteuid() == 0 else None
        if python is None:
            pytest.skip("the read-only case needs root to become another user, and a Python that user may run")
        # A read-only store file, opened by a user who may not write it (root would bypass the mode).
        home = Path(os.path.realpath("/tmp")) / f"ro-store-{os.getpid()}"
        home.mkdir(mode=0o755)
        try:
            store = home / "ward.sqlite"
            Store(store).close()
            conf = write_config(home, ward, store)
            os.chown(home, 65534, 65534)
            os.chown(store, 65534, 65534)
            store.chmod(0o444)
            conf.chmod(0o644)
            got = subprocess.run([*python, "station", "run", "--config", str(conf), "--json", "--seconds", "3"],
                                 capture_output=True, text=True, preexec_fn=as_nobody, timeout=60)
            assert got.returncode == 1, got.stderr
            assert got.stderr.count("\n") == 1 and str(store) in got.stderr and "Traceback" not in got.stderr
            assert got.stdout == ""
        finally:
            subprocess.run(["rm", "-rf", str(home)], check=False)


def test_one_station_per_store_while_readers_read(tmp_path):
    with moving_ward(3) as ward:
        store = tmp_path / "ward.sqlite"
        conf = write_config(tmp_path, ward, store)
        first = Running(conf)
        try:
            deadline = time.monotonic() + 20
            while not first.ids():  # running, and something stored for the readers
                assert time.monotonic() < deadline and first.proc.poll() is None, first.errors
                time.sleep(0.05)
            holder = Path(f"{store}.lock").read_text()
            assert holder.startswith(f"{first.proc.pid} ") and "station run" in holder
            # The same file by its own path, a symbolic link and a hard link: one station at a time.
            os.symlink(store, tmp_path / "linked.sqlite")
            os.link(store, tmp_path / "hard.sqlite")
            for name in ("", "linked.sqlite", "hard.sqlite"):
                other = tmp_path / name if name else store
                folder = tmp_path / f"second-{name}"
                folder.mkdir()
                second = subprocess.run([sys.executable, "-m", "tarvelpump", "station", "run", "--config",
                                         str(write_config(folder, ward, other)), "--json", "--seconds", "5"],
                                        capture_output=True, text=True, timeout=60)
                assert second.returncode == 1 and second.stdout == ""
                assert second.stderr.count("\n") == 1, second.stderr
                assert f"{other}: in use by another station (PID {first.proc.pid}: " in second.stderr, second.stderr
            for command in ("events", "history"):  # readers are welcome while it runs
                got = subprocess.run([sys.executable, "-m", "tarvelpump", "station", command, "--config", str(conf),
                                      "--json"], capture_output=True, text=True, timeout=60)
                assert got.returncode == 0 and got.stdout.strip(), got.stderr
            first.proc.send_signal(signal.SIGKILL)  # the lock goes with the process
            first.proc.wait(timeout=10)
        finally:
            first.end()
        again = subprocess.run([sys.executable, "-m", "tarvelpump", "station", "run", "--config", str(conf),
                                "--json", "--seconds", "1.5"], capture_output=True, text=True, timeout=60)
        assert again.returncode == 0, again.stderr
    assert set(first.ids()) <= set(stored_ids(store))


def test_a_station_starts_its_pollers_from_the_last_committed_views(tmp_path, monkeypatch):
    from tarvelpump.station import app
    from tarvelpump.station.settings.config import load_config

    with moving_ward(3) as ward:
        conf = write_config(tmp_path, ward, tmp_path / "ward.sqlite")
        with app.Station(load_config(conf)) as station:
            deadline = time.monotonic() + 20
            while len({v.label for v in station.hub.views() if v.answered}) < 3 and time.monotonic() < deadline:
                time.sleep(0.05)
        committed = {v.label: v for v in station.hub.views()}
        assert len(committed) == 3

        given: list[dict] = []

        class Recording(app.Poller):
            def __init__(self, *args, initial=None, **kwargs):
                given.append(initial)
                super().__init__(*args, initial=initial, **kwargs)

        monkeypatch.setattr(app, "Poller", Recording)
        station = app.Station(load_config(conf))
        try:
            assert station.store.last_views().keys() == committed.keys()
            assert len(given) == 1
            assert {k: v.to_json() for k, v in given[0].items()} == {k: v.to_json() for k, v in committed.items()}
        finally:
            station.stop()


def test_a_store_deleted_under_a_running_station_stops_it_and_nothing_printed_is_lost(tmp_path):
    with moving_ward() as ward:
        store = tmp_path / "ward.sqlite"
        run = Running(write_config(tmp_path, ward, store, "max_pending = 30"))
        try:
            deadline = time.monotonic() + 20
            while len(run.ids()) < 5:
                assert time.monotonic() < deadline and run.proc.poll() is None, run.errors
                time.sleep(0.05)
            os.link(store, tmp_path / "kept.sqlite")  # the test's own way to read the deleted file afterwards
            store.unlink()
            run.proc.wait(timeout=60)  # stops by itself
        finally:
            rc = run.end()
    errors = [m for _, m in run.errors]
    assert rc == 1, errors
    said = [m for m in errors if "no longer the store the station has open" in m]
    assert len(said) == 2 and "not writable" in said[0] and str(store) in said[0]
    assert said[1] == errors[-1] and "more than 30 rounds could not be committed" in said[1]
    assert not any("Traceback" in m for m in errors), errors
    # What was printed is exactly what went into the file before it was deleted: nothing printed since.
    assert run.ids() == stored_ids(tmp_path / "kept.sqlite")
    assert not store.exists()


def test_a_store_put_back_takes_the_rounds_kept_meanwhile(tmp_path):
    store = Store(tmp_path / "s.sqlite")
    hub = Hub()
    hub.commit_through(store.commit, name=store.path, retry_every=0.05)
    sent = [a_round(n) for n in range(12)]
    for r in sent[:3]:
        hub.publish(r)
    os.rename(tmp_path / "s.sqlite", tmp_path / "away.sqlite")
    for r in sent[3:6]:
        hub.publish(r)
    assert hub.health()["store"]["up"] is False and "deleted or replaced" in hub.health()["store"]["error"]
    sqlite3.connect(tmp_path / "s.sqlite").close()  # another file in its place: still not the one open
    for r in sent[6:9]:
        hub.publish(r)
    assert hub.health()["store"]["pending"] == 6
    os.replace(tmp_path / "away.sqlite", tmp_path / "s.sqlite")  # put back
    for r in sent[9:]:
        hub.publish(r)
    deadline = time.monotonic() + 5
    while hub.health()["store"]["pending"] and time.monotonic() < deadline:  # the hub's next try
        time.sleep(0.02)
    assert hub.health()["store"]["up"] is True and hub.health()["store"]["pending"] == 0
    assert [e.id for e in store.events()] == [r.events[0].id for r in sent]
    hub.close()
    store.close()
