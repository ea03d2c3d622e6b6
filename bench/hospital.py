#!/usr/bin/env python3
"""A whole hospital into one view: synthetic gateways on a real Mosquitto, one `station view`.

    python bench/hospital.py                       # 100 gateways x 100 pumps, a state every 15 s each
    python bench/hospital.py --gateways 20 --pumps 100 --alarms 20

Starts Mosquitto on a free loopback port, then a few publisher processes,
each playing many gateways by the documented topic scheme
(``tarvelpump/<site>/<ward>/status``, ``.../<pump-id>/state`` retained, as
``MqttPublisher`` sends them: every pump republished every ``--every``
seconds, spread evenly). Once every state has been published once (the
broker holds them all, as in a hospital whose gateways run all along), it
starts ``tarvelpump station view`` as its own process and measures:

- pumps shown: seconds from the view's start until ``/api/pumps`` lists
  every pump (polled every 0.5 s);
- view CPU: the view's user + system time over ``--steady`` seconds of the
  steady load, as a share of one core: without any page open, then with
  one page's event stream open (read as fast as it comes);
- alarm to API: an alarm state published for one pump, then
  ``/api/pumps/{id}`` polled every 10 ms until it says alarmed; the time
  between, for ``--alarms`` pumps (median, p95, max);
- ``/api/pumps``: the time of a whole answer (median of 5, at steady load);
- the intake alone: ``MqttSource`` into a ``Hub`` in a process of its own,
  without the page's server, CPU over ``--steady`` seconds: the view's
  figure minus this one is what the page's feed costs.

The figures are printed with the pump count, gateways and message rate
beside each; bench/README.md keeps those of this machine.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request
from datetime import datetime, timezone
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "station"))

from _broker import Broker  # noqa: E402

import paho.mqtt.client as mqtt  # noqa: E402
from paho.mqtt.enums import CallbackAPIVersion  # noqa: E402

from tarvelpump.station.records.model import PumpView, pump_id  # noqa: E402

SITE = "hospital"
TICK = 0.1  # a publisher sends its share of states in steps this far apart


def ward_name(g: int) -> str:
    return f"ward-{g:03d}"


def label(g: int, n: int) -> str:
    # half the wards label their beds in Chinese: UTF-8 topics and ids, as in real use
    return f"床 {n + 1}" if g % 2 else f"bed {n + 1}"


def state(g: int, n: int, *, alarm: bool = False, answered: int = 0) -> dict:
    at = datetime.now(timezone.utc)
    view = PumpView(pump_id(label(g, n)), label(g, n), "radio-a", 801 + n, n % 4, station=f"Ward {g}",
                    presence="online", round_s=6.0, running=2, running_name="RUN", running_text="运行",
                    door=0, remaining_s=3600 + n, rate_unit=0, rate_unit_text="毫升", alarm_word=0,
                    last_seen=at, answered=answered, silent=1)
    if alarm:
        view.alarm_word, view.alarms = 0x100, ["ALARM_OCCLUSION"]
        view.top_alarm, view.top_alarm_text, view.top_alarm_rank, view.alarm_since = (
            "ALARM_OCCLUSION", "管路堵塞", 0, at)
    return dict(view.to_json(), station=f"Ward {g}")


def topic(g: int, n: int) -> str:
    return f"tarvelpump/{SITE}/{ward_name(g)}/{pump_id(label(g, n))}/state"


def publisher(port: int, gateways: list[int], pumps: int, every: float, stop: multiprocessing.synchronize.Event,
              cycled: multiprocessing.synchronize.Event) -> None:
    """Plays ``gateways``: their status, then each pump's state every ``every`` seconds."""
    client = mqtt.Client(CallbackAPIVersion.VERSION2)
    client.max_queued_messages_set(0)
    client.connect("127.0.0.1", port, keepalive=30)
    client.loop_start()
    for g in gateways:
        client.publish(f"tarvelpump/{SITE}/{ward_name(g)}/status", "online", qos=1, retain=True)
    all_pumps = [(g, n) for g in gateways for n in range(pumps)]
    per_tick = len(all_pumps) * TICK / every
    sent = 0.0
    i = 0
    start = time.monotonic()
    answered = 0
    while not stop.is_set():
        sent += per_tick
        while sent >= 1:
            g, n = all_pumps[i % len(all_pumps)]
            client.publish(topic(g, n), json.dumps(state(g, n, answered=answered)), qos=0, retain=True)
            i += 1
            sent -= 1
            if i == len(all_pumps):
                cycled.set()
            if i % len(all_pumps) == 0:
                answered += 5
        start += TICK
        time.sleep(max(0.0, start - time.monotonic()))
    client.disconnect()
    client.loop_stop()


#: the intake alone, without the page's server: MqttSource into a Hub
SOURCE_ONLY = """
import sys, time
from tarvelpump.station.hub import Hub
try:
    from tarvelpump.station.hospital.mqtt_source import MqttSource
except ImportError:  # a checkout from before it had a module of its own, to compare
    from tarvelpump.station.outputs.mqtt import MqttSource
hub = Hub()
source = MqttSource(sys.argv[1], hub)
source.start()
while len(hub.views()) < int(sys.argv[2]):
    time.sleep(0.1)
print("all", flush=True)
sys.stdin.read()
source.stop()
"""


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_share(pid: int, seconds: float) -> float:
    c0, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - c0) / (time.monotonic() - t0)


def get(url: str, timeout: float = 30.0) -> dict:
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return json.load(r)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class Stream(threading.Thread):
    """One page's event stream, read as fast as the view sends it."""

    def __init__(self, url: str) -> None:
        super().__init__(daemon=True)
        self.url, self.bytes = url, 0
        self.done = threading.Event()

    def run(self) -> None:
        with urllib.request.urlopen(self.url + "events", timeout=60) as r:
            while not self.done.is_set():
                chunk = r.read1(65536)
                if not chunk:
                    break
                self.bytes += len(chunk)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--gateways", type=int, default=100)
    ap.add_argument("--pumps", type=int, default=100, help="pumps per gateway")
    ap.add_argument("--every", type=float, default=15.0, help="seconds between two states of a pump")
    ap.add_argument("--publishers", type=int, default=4, help="publisher processes")
    ap.add_argument("--steady", type=float, default=30.0, help="seconds of each CPU measurement")
    ap.add_argument("--alarms", type=int, default=40)
    ap.add_argument("--default-queue", action="store_true",
                    help="keep Mosquitto's default max_queued_messages (1000) instead of no limit")
    args = ap.parse_args()
    total = args.gateways * args.pumps
    rate = total / args.every
    scale = f"{total:,} pumps, {args.gateways} gateways, {rate:,.0f} msg/s"

    folder = Path(tempfile.mkdtemp(prefix="hospital-"))
    # Mosquitto queues at most 1000 messages for a client by default and drops
    # the rest of the retained burst a view gets on subscribing: see the README
    broker = Broker(folder, options=() if args.default_queue else ("max_queued_messages 0",)).start()
    stop = multiprocessing.Event()
    cycled = [multiprocessing.Event() for _ in range(args.publishers)]
    share = [list(range(args.gateways))[k::args.publishers] for k in range(args.publishers)]
    procs = [multiprocessing.Process(target=publisher, args=(broker.port, share[k], args.pumps, args.every, stop,
                                                             cycled[k]), daemon=True)
             for k in range(args.publishers)]
    for p in procs:
        p.start()
    http = free_port()
    view: subprocess.Popen[bytes] | None = None
    figures: list[tuple[str, str]] = []
    try:
        print(f"publishing {scale} to 127.0.0.1:{broker.port}; waiting for one whole cycle...", flush=True)
        for c in cycled:
            c.wait(args.every * 3)
        time.sleep(1.0)
        t0 = time.monotonic()
        view = subprocess.Popen([sys.executable, "-m", "tarvelpump", "station", "view", "--mqtt",
                                 f"mqtt://127.0.0.1:{broker.port}/{SITE}", "--http", f"127.0.0.1:{http}"],
                                stdout=subprocess.DEVNULL, stderr=open(folder / "view.log", "wb"))
        base = f"http://127.0.0.1:{http}/"
        shown = 0
        while True:
            if view.poll() is not None:
                raise RuntimeError(f"the view ended: {(folder / 'view.log').read_text()[-2000:]}")
            try:
                shown = len(get(base + "api/pumps")["pumps"])
            except OSError:
                pass
            if shown >= total:
                break
            if time.monotonic() - t0 > 120:
                raise RuntimeError(f"only {shown} of {total} pumps shown after 120 s")
            time.sleep(0.5)
        shown_s = time.monotonic() - t0
        figures.append(("every pump shown after the view started", f"{shown_s:.1f} s"))
        print(f"{figures[-1][0]}: {figures[-1][1]} ({scale})", flush=True)

        time.sleep(3.0)
        idle = cpu_share(view.pid, args.steady)
        figures.append(("view CPU (the whole `station view` process), no page open", f"{idle:.0%} of a core"))
        print(f"{figures[-1][0]}: {figures[-1][1]} ({scale})", flush=True)

        control = mqtt.Client(CallbackAPIVersion.VERSION2)
        control.connect("127.0.0.1", broker.port)
        control.loop_start()
        lat = []
        for k in range(args.alarms):
            g, n = (k * 37) % args.gateways, (k * 53) % args.pumps
            vid = urllib.parse.quote(f"{ward_name(g)}.{pump_id(label(g, n))}", safe="")
            t = time.monotonic()
            control.publish(topic(g, n), json.dumps(state(g, n, alarm=True)), qos=0, retain=True)
            while not get(base + f"api/pumps/{vid}")["alarmed"]:
                if time.monotonic() - t > 10:
                    raise RuntimeError(f"the alarm of {vid} not shown within 10 s")
                time.sleep(0.01)
            lat.append(time.monotonic() - t)
            control.publish(topic(g, n), json.dumps(state(g, n)), qos=0, retain=True)
            time.sleep(0.2)
        control.disconnect()
        control.loop_stop()
        lat.sort()
        p95 = lat[min(len(lat) - 1, int(round(0.95 * len(lat))) - 1)]
        figures.append(("alarm state to /api/pumps/{id}",
                        f"median {statistics.median(lat):.3f} s, p95 {p95:.3f} s, max {lat[-1]:.3f} s "
                        f"({len(lat)} alarms)"))
        print(f"{figures[-1][0]}: {figures[-1][1]} ({scale})", flush=True)

        whole = []
        for _ in range(5):
            t = time.monotonic()
            get(base + "api/pumps")
            whole.append(time.monotonic() - t)
            time.sleep(0.5)
        figures.append(("/api/pumps, the whole answer", f"median {statistics.median(whole):.2f} s, "
                                                          f"max {max(whole):.2f} s"))
        print(f"{figures[-1][0]}: {figures[-1][1]} ({scale})", flush=True)

        stream = Stream(base)
        stream.start()
        time.sleep(2.0)
        b0 = stream.bytes
        with_page = cpu_share(view.pid, args.steady)
        sent = (stream.bytes - b0) / args.steady
        stream.done.set()
        figures.append(("view CPU with one page's event stream open",
                        f"{with_page:.0%} of a core; the stream carried {sent / 1e6:.2f} MB/s"))
        print(f"{figures[-1][0]}: {figures[-1][1]} ({scale})", flush=True)
        view.terminate()
        view.wait(10)
        alone = subprocess.Popen([sys.executable, "-c", SOURCE_ONLY, f"mqtt://127.0.0.1:{broker.port}/{SITE}",
                                  str(total)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert alone.stdout is not None
        alone.stdout.readline()
        time.sleep(3.0)
        intake = cpu_share(alone.pid, args.steady)
        alone.communicate(b"", timeout=10)
        figures.append(("the intake alone (MqttSource into a Hub, no page server)", f"{intake:.0%} of a core"))
        print(f"{figures[-1][0]}: {figures[-1][1]} ({scale})", flush=True)
        mosq = cpu_share(broker.proc.pid, 5.0) if broker.proc else 0.0
        figures.append(("Mosquitto CPU meanwhile", f"{mosq:.0%} of a core"))
        print(f"{figures[-1][0]}: {figures[-1][1]} ({scale})", flush=True)
    finally:
        stop.set()
        try:
            if view is not None and view.poll() is None:
                view.terminate()
                try:
                    view.wait(10)
                except subprocess.TimeoutExpired:
                    view.kill()
                    view.wait(10)
            for p in procs:
                p.join(5)
        finally:
            broker.stop()
            shutil.rmtree(folder, ignore_errors=True)
    print()
    print(f"| figure ({scale}) | value |")
    print("| --- | --- |")
    for name, value in figures:
        print(f"| {name} | {value} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
