"""The store's growth per pump per day, and the command line's queries on a store of many days.

    python bench/store.py --days 2 --pumps 60                  # the design point; about 4 minutes
    python bench/store.py --days 1 --pumps 12 --query-days 7   # a quick look

A ward of ``--pumps`` pumps on two radios is polled in ward time (nothing
waits) through the station's own code: ``Pump`` (each answer decoded),
``StatusClock`` (which reads each pump's unit makes), ``Track.take``
(readings, views, presence, counts, events) and ``Store.commit``, one
transaction per round as the hub commits them: a pump's news first, as its
own early round, then the pass with its readings and every view. The links
answer from simulated pumps: a pass costs ``--pass`` seconds of ward time
(60 pumps: 10.4 s at 9600 baud and 50 ms turnaround, fewer in proportion), a lost exchange its
time-out and guard. The pumps live at rates set below (``--alarm-every``
...): infusions of 1 to 8 hours with about 20 minutes between two, passing
alarms, doors opened (which pause the pump), exchanges lost, and a pump
away (switched off, carried elsewhere) now and then.

The size per pump per day is the growth of the file (its pages in use)
from the end of the first day to the end of the last, so the first rows of
every pump do not count; one day alone counts as it is.

For the queries, a store of ``--query-days`` is built from the simulated
days, repeated and shifted back by whole days with ``INSERT ... SELECT``
(oldest first, so rows are in the order a station writes them): it holds
what so many days of the same ward would hold, built in minutes instead of
hours. Each query runs in a fresh interpreter through
``tarvelpump.station.cli.main``, its output counted and thrown away: warm
(the median of five runs) and cold (the store's pages dropped from the page
cache with ``posix_fadvise`` first); with its peak RSS beside that of an
interpreter that only imported the command line. Prints one JSON line.
"""

from __future__ import annotations

import argparse
import heapq
import json
import math
import os
import random
import resource
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timezone
from pathlib import Path

from tarvelpump import comm
from tarvelpump.station.records.model import PumpView, RadioMode, Reading, RoundResult
from tarvelpump.station.records.store import Store
from tarvelpump.station.settings.config import PollConfig
from tarvelpump.station.watch.link import Exchange
from tarvelpump.station.watch.projection import copy_view
from tarvelpump.station.watch.pump import Pump
from tarvelpump.station.watch.tracking import Track, Unit

Cmd = comm.Command
Code = comm.DeviceReturnCode
DAY = 86400.0
RUN, PAUSE, KVO = 2, 3, 6
NEARLY, COMPLETE, DOOR, PASSING = 0x0008, 0x0080, 0x0040, (0x0100, 0x0200, 0x0002)


class Sim:
    """One simulated pump, moved on to a time before each exchange."""

    def __init__(self, rnd: random.Random, args: argparse.Namespace, t: float) -> None:
        self.rnd, self.a = rnd, args
        self.running, self.door, self.unit, self.alarm, self.away = RUN, 0, rnd.randrange(2), 0, False
        self.remaining = rnd.uniform(3600, 8 * 3600)
        self.t = t
        self.moves: list[tuple[float, str, int]] = []
        for move, every in (("alarm", args.alarm_every), ("door", args.door_every), ("leave", args.away_every)):
            self._plan(move, every * 3600)

    def _plan(self, move: str, mean: float, detail: int = 0) -> None:
        heapq.heappush(self.moves, (self.t + self.rnd.expovariate(1 / mean), move, detail))

    def advance(self, t: float) -> None:
        while self.moves and self.moves[0][0] <= t:
            at, move, detail = heapq.heappop(self.moves)
            self._count(at)
            self._do(move, detail)
        self._count(t)

    def _count(self, t: float) -> None:
        if self.running == RUN and self.remaining > 0:
            self.remaining = max(0.0, self.remaining - (t - self.t))
            if self.remaining <= 300:
                self.alarm |= NEARLY
            if self.remaining == 0:
                self.running, self.alarm = KVO, (self.alarm & ~NEARLY) | COMPLETE
                self._plan("refill", 1200)
        self.t = t

    def _do(self, move: str, detail: int) -> None:
        a = self.a
        if move == "alarm":
            bit = self.rnd.choice(PASSING)
            self.alarm |= bit
            self._plan("alarm off", a.alarm_lasts * 60, bit)
            self._plan("alarm", a.alarm_every * 3600)
        elif move == "alarm off":
            self.alarm &= ~detail
        elif move == "door":
            self.door, self.alarm = 1, self.alarm | DOOR
            self.running = PAUSE if self.running == RUN else self.running
            self._plan("door closed", 60)
            self._plan("door", a.door_every * 3600)
        elif move == "door closed":
            self.door, self.alarm = 0, self.alarm & ~DOOR
            self.running = RUN if self.running == PAUSE else self.running
        elif move == "refill":
            self.running, self.remaining = RUN, self.rnd.uniform(3600, 8 * 3600)
            self.alarm &= ~(COMPLETE | NEARLY)
        elif move == "leave":
            self.away = True
            self._plan("back", 1200)
            self._plan("leave", a.away_every * 3600)
        elif move == "back":
            self.away = False

    def answer(self, command: comm.Option) -> list[int] | None:
        """The reply's user data, or None: no answer."""
        if self.away or self.rnd.random() < self.a.lost:
            return None
        minutes = int(self.remaining // 60)
        return {Cmd.GET_PUMP_STATUS: [self.running], Cmd.GET_PUMPDOOR_STATUS: [self.door],
                Cmd.GET_REMAIN_TIME: [minutes // 60, minutes % 60], Cmd.GET_RATE_UNIT: [self.unit],
                Cmd.GET_PUMP_ALARM: [self.alarm >> 8, self.alarm & 0xFF, 0, 0]}[command]


class SimLink:
    """A radio whose exchanges answer from simulated pumps, in ward time."""

    mode = RadioMode.FIXED

    def __init__(self, name: str, t: float, exchange_s: float, timeout: float) -> None:
        self.name, self.clock, self.exchange_s, self.timeout = name, t, exchange_s, timeout
        self.pumps: dict[tuple[int, ...], Sim] = {}

    def exchange(self, command: comm.Option, prefix: tuple[int, ...], data: object = ()) -> Exchange:
        sim = self.pumps[prefix]
        at = self.clock
        sim.advance(at)
        reply = sim.answer(command)
        ret = (comm.DeviceReturn(command, code=Code.NO_DATA_RETURN) if reply is None
               else comm.DeviceReturn(command, value=reply))
        took = self.exchange_s if reply is not None else self.timeout * 1.5  # time-out, then the guard
        self.clock += took
        return Exchange(command, prefix, ret, datetime.fromtimestamp(at, timezone.utc), took, 0.0)


class Ward:
    """One link's pumps, polled pass after pass as the poller does."""

    def __init__(self, name: str, labels: list[str], t: float, args: argparse.Namespace, rnd: random.Random):
        self.poll = PollConfig()
        self.link = SimLink(name, t, args.pass_s / (2 * len(labels)), 1.0)  # two exchanges a pump
        self.pass_s = args.pass_s
        self.tracks: list[Track] = []
        for n, label in enumerate(labels):
            pump = Pump(self.link, 100 + n, 1, label)  # type: ignore[arg-type]  # a Link in ward time
            self.link.pumps[pump.prefix] = Sim(rnd, args, t)
            self.tracks.append(Track(pump, PumpView(pump.id, label, name, pump.addr, pump.channel),
                                     self.poll.status_within))

    def one_pass(self) -> list[RoundResult]:
        """Early news, then the pass itself, as the hub would commit them."""
        st, link = self.poll, self.link
        t0 = link.clock
        started = datetime.fromtimestamp(t0, timezone.utc)
        out: list[RoundResult] = []
        readings: list[Reading] = []
        exchanges = 0
        for track in self.tracks:
            if not track.due(t0):
                continue
            unit: Unit | None = None
            for command in track.clock.unit(t0, self.pass_s):
                answer = track.pump.ask(command)
                exchanges += 1
                first = unit is None
                unit = unit or Unit(answer.time, t0)
                unit.record(answer)
                if first and (answer.code == Code.NO_DATA_RETURN or (track.probing and not answer.ok)):
                    break
            assert unit is not None
            reading, found = track.take(unit, link.clock, offline_after=st.offline_after,
                                        retry_base=max(link.timeout, st.gap), retry_ceiling=st.retry_ceiling,
                                        near_end_s=st.near_end_s)
            readings.append(reading)
            if found:
                out.append(RoundResult(link.name, started, link.clock - t0, 0, (), tuple(found),
                                       (copy_view(track.view),), partial=True))
        if not exchanges:  # every pump away: the poller sleeps until the first is due
            link.clock = min(t.retry_at for t in self.tracks)
            return out
        duration = link.clock - t0
        for track in self.tracks:
            track.view.round_s = round(duration, 3)
        out.append(RoundResult(link.name, started, duration, exchanges, tuple(readings), (),
                               tuple(copy_view(t.view) for t in self.tracks)))
        return out


def used_bytes(path: Path) -> int:
    db = sqlite3.connect(path)
    try:
        pages, free, size = (db.execute(f"PRAGMA {p}").fetchone()[0] for p in ("page_count", "freelist_count",
                                                                               "page_size"))
        return int((pages - free) * size)
    finally:
        db.close()


def by_table(path: Path) -> dict[str, int]:
    db = sqlite3.connect(path)
    try:
        return {name: int(size) for name, size in db.execute("SELECT name, sum(pgsize) FROM dbstat GROUP BY name")}
    except sqlite3.Error:  # no dbstat in this SQLite
        return {}
    finally:
        db.close()


def simulate(path: Path, args: argparse.Namespace) -> dict[str, object]:
    end = time.time()
    start = end - args.days * DAY
    rnd = random.Random(args.seed)
    links = ("radio-a", "radio-b")
    wards = [Ward(name, [f"bed {n + 1}" for n in range(args.pumps) if n % len(links) == k], start, args, rnd)
             for k, name in enumerate(links)]
    store = Store(path, prune_every=3600)
    sizes: list[int] = []
    began = time.perf_counter()
    day_end = start + DAY
    heap = [(w.link.clock, k) for k, w in enumerate(wards)]
    passes = 0
    while heap:
        t, k = heapq.heappop(heap)
        if t >= day_end:
            sizes.append(used_bytes(path))
            print(f"day {len(sizes)}: {sizes[-1] / 1e6:.2f} MB, {time.perf_counter() - began:.0f} s", file=sys.stderr)
            day_end += DAY
        if t >= end:
            continue
        for result in wards[k].one_pass():
            store.commit([result])
        passes += 1
        heapq.heappush(heap, (wards[k].link.clock, k))
    if len(sizes) < args.days:
        sizes.append(used_bytes(path))
    rows = store.counts()
    rows.pop("outbox")
    store.close()
    growth = (sizes[-1] - sizes[0]) / (len(sizes) - 1) if len(sizes) > 1 else sizes[0]
    return {"build_s": round(time.perf_counter() - began, 1), "passes": passes,
            "pass_s": round(args.days * DAY * len(links) / passes, 2),
            "rows_per_pump_day": {t: round(n / args.pumps / args.days, 1) for t, n in rows.items()},
            "mb_per_pump_day": round(growth / args.pumps / 1e6, 4),
            "bytes_by_table": by_table(path), "peak_rss_mb_build": round(rss_mb(), 1)}


def rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def repeat(sim: Path, out: Path, sim_days: int, days: int) -> None:
    """``days`` of store from ``sim_days`` simulated ones: copies shifted back by whole periods."""
    Store(out).close()
    db = sqlite3.connect(out, isolation_level=None)
    db.execute("ATTACH DATABASE ? AS sim", (str(sim),))
    top = db.execute("SELECT max(id) FROM sim.rounds").fetchone()[0] or 0
    copies = math.ceil(days / sim_days)
    iso = "strftime('%Y-%m-%dT%H:%M:%f+00:00', {} + ?, 'unixepoch')"
    for k in range(copies - 1, -1, -1):  # oldest first
        shift, base = -k * sim_days * DAY, (copies - 1 - k) * top
        db.execute("BEGIN")
        db.execute("INSERT INTO rounds SELECT id + ?, link, " + iso.format("t") + ", t + ?, duration_s, exchanges,"
                   " link_up, partial FROM sim.rounds ORDER BY id", (base, shift, shift))
        db.execute("INSERT INTO readings SELECT NULL, round + ?, pump, link, " + iso.format("t") + ", t + ?,"
                   " running, door, remaining_s, rate_unit, alarm_word, codes, link_time_s FROM sim.readings"
                   " ORDER BY id", (base, shift, shift))
        db.execute("INSERT INTO events SELECT NULL, id || ?, round + ?, kind, pump, link, " + iso.format("t")
                   + ", t + ?, details FROM sim.events ORDER BY seq", (f"-{k}", base, shift, shift))
        db.execute("COMMIT")
    db.execute("INSERT INTO pumps SELECT * FROM sim.pumps")
    db.execute("DETACH DATABASE sim")
    db.execute("ANALYZE")
    db.close()


RUNNER = r"""
import json, os, resource, sys, time
from tarvelpump.station.cli import main
store, cold, argv = sys.argv[1], sys.argv[2] == "cold", sys.argv[3:]
if cold:
    for p in (store, store + "-wal", store + "-shm"):
        if os.path.exists(p):
            fd = os.open(p, os.O_RDONLY)
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            os.close(fd)
class Count:
    lines = 0
    def write(self, text):
        self.lines += text.count("\n")
        return len(text)
    def flush(self):
        pass
out, sys.stdout = sys.stdout, Count()
t = time.perf_counter()
rc = main(argv) if argv else 0
ms = (time.perf_counter() - t) * 1000
lines, sys.stdout = sys.stdout.lines, out
print(json.dumps({"rc": rc, "ms": ms, "rows": lines, "rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""


def run_query(store: Path, cold: bool, argv: list[str]) -> dict[str, float]:
    got = subprocess.run([sys.executable, "-c", RUNNER, str(store), "cold" if cold else "warm", *argv],
                         capture_output=True, text=True, check=True, env=os.environ)
    result: dict[str, float] = json.loads(got.stdout)
    if result["rc"] != 0:
        raise SystemExit(f"{argv}: exit {result['rc']}: {got.stderr}")
    return result


def queries(store: Path, pump: str) -> dict[str, object]:
    base = run_query(store, False, [])["rss_mb"]
    out: dict[str, object] = {"rss_mb_imports_only": round(base, 1)}
    for name, argv, warm_runs in (
        ("history --since 10m", ["history", "--since", "10m"], 5),
        (f"history --pump '{pump}' --limit 100", ["history", "--pump", pump, "--limit", "100"], 5),
        ("events --since 1h", ["events", "--since", "1h"], 5),
        ("history (every row)", ["history"], 1),
        ("events (every row)", ["events"], 1),
    ):
        full = [*argv, "--db", str(store)]
        cold = run_query(store, True, full)
        warm = [run_query(store, False, full) for _ in range(warm_runs)]
        out[name] = {"rows": int(cold["rows"]), "ms_warm": round(statistics.median(w["ms"] for w in warm), 1),
                     "ms_cold": round(cold["ms"], 1), "rss_mb": round(max(w["rss_mb"] for w in [cold, *warm]), 1)}
        print(f"{name}: {out[name]}", file=sys.stderr)
    return out


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--days", type=int, default=2, help="days simulated through the station's code (default 2)")
    p.add_argument("--pumps", type=int, default=60, help="pumps, on two radios (default 60)")
    p.add_argument("--query-days", type=int, default=90, help="days in the store the queries run on (default 90)")
    p.add_argument("--pass", dest="pass_s", type=float,
                   help="seconds a pass takes (default 10.4 for 60 pumps, in proportion for others)")
    p.add_argument("--alarm-every", type=float, default=3.0, help="hours between a pump's passing alarms (mean)")
    p.add_argument("--alarm-lasts", type=float, default=3.0, help="minutes a passing alarm lasts (mean)")
    p.add_argument("--door-every", type=float, default=8.0, help="hours between door openings (mean; ~1 min each)")
    p.add_argument("--away-every", type=float, default=24.0, help="hours between a pump's absences (~20 min each)")
    p.add_argument("--lost", type=float, default=0.001, help="share of exchanges that get no answer")
    p.add_argument("--seed", type=int, default=25)
    p.add_argument("--keep", metavar="DIR", help="leave the stores in DIR")
    args = p.parse_args()
    args.pass_s = args.pass_s or 10.4 * args.pumps / 60
    if args.days < 1 or args.pumps < 2 or args.query_days < args.days:
        p.error("--days at least 1, --pumps at least 2, --query-days at least --days")
    folder = Path(args.keep or tempfile.mkdtemp(prefix="store-bench-"))
    folder.mkdir(parents=True, exist_ok=True)
    try:
        sim, big = folder / "simulated.sqlite", folder / f"{args.query_days}-days.sqlite"
        for f in (sim, big):
            f.unlink(missing_ok=True)
        figures: dict[str, object] = {"pumps": args.pumps, "links": 2, "days": args.days,
                                      "rates": {k: getattr(args, k) for k in ("alarm_every", "alarm_lasts",
                                                                              "door_every", "away_every", "lost")}}
        figures.update(simulate(sim, args))
        began = time.perf_counter()
        repeat(sim, big, args.days, args.query_days)
        figures["query_store"] = {"days": math.ceil(args.query_days / args.days) * args.days, "mb": round(big.stat().st_size / 1e6, 1),
                                  "build_s": round(time.perf_counter() - began, 1)}
        figures["queries"] = queries(big, f"bed {args.pumps // 2 + 1}")
        print(json.dumps(figures))
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
