"""Events per second through a real Mosquitto, and the outbox drain rate after an outage.

    python bench/mqtt_outbox.py [--events 5000] [--window 32]

Live: rounds of 10 events go through the store (outbox in the round's
transaction) to the publisher; the rate is events over the time from the
first round until a subscriber has them all and the outbox is empty.
Outage: the same number of events wait in the outbox while no broker runs;
the drain rate is events over the time from the publisher's reconnection
until the subscriber has them all and the outbox is empty. Events are confirmed (deleted from the outbox) on
their PUBACKs, one transaction for those that came together.
"""

from __future__ import annotations

import argparse
import getpass
import json
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion

from tarvelpump.station.records.kinds import AlarmRaised
from tarvelpump.station.records.model import PumpView, RoundResult, now
from tarvelpump.station.outputs.mqtt import EventRows, MqttPublisher
from tarvelpump.station.records.store import Store

PUMPS = 12
PER_ROUND = 10


class Broker:
    def __init__(self, folder: Path) -> None:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = int(s.getsockname()[1])
        self.config = folder / "mosquitto.conf"
        self.config.write_text(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                               f"user {getpass.getuser()}\n")
        self.proc: subprocess.Popen[bytes] | None = None

    def start(self) -> None:
        exe = shutil.which("mosquitto") or "/usr/sbin/mosquitto"
        self.proc = subprocess.Popen([exe, "-c", str(self.config)], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("mosquitto did not start")

    def stop(self) -> None:
        if self.proc is not None:
            self.proc.terminate()
            self.proc.wait(5)
            self.proc = None


class Counter:
    def __init__(self, port: int) -> None:
        self.ids: set[str] = set()
        self.received = 0
        self.done = threading.Event()
        self.want = 0
        self.client = mqtt.Client(CallbackAPIVersion.VERSION2)
        self.client.on_connect = lambda c, *a: c.subscribe("tarvelpump/bench/+/+/event", qos=1)
        self.client.on_message = self._on_message
        self.subscribed = threading.Event()
        self.client.on_subscribe = lambda *a: self.subscribed.set()
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        self.subscribed.wait(5)

    def _on_message(self, client: mqtt.Client, userdata: object, msg: mqtt.MQTTMessage) -> None:
        self.received += 1
        self.ids.add(json.loads(msg.payload)["id"])
        if len(self.ids) >= self.want:
            self.done.set()

    def close(self) -> None:
        self.client.disconnect()
        self.client.loop_stop()


def rounds(store: Store, publisher: MqttPublisher, n: int) -> None:
    views = tuple(PumpView(f"bed-{i}", f"bed {i}", "radio", 801 + i, 0) for i in range(PUMPS))
    for start in range(0, n, PER_ROUND):
        t = now()
        events = tuple(AlarmRaised(pump=f"bed {(start + k) % PUMPS}", link="radio", time=t, alarm="ALARM_OCCLUSION",
                                   text=None, rank=0, word=2)
                       for k in range(min(PER_ROUND, n - start)))
        result = RoundResult("radio", t, 0.0, 0, (), events, views)
        store.commit([result])
        publisher.on_round(result)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--events", type=int, default=5000)
    ap.add_argument("--window", type=int, default=32)
    args = ap.parse_args()
    n = args.events
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        broker = Broker(folder)
        broker.start()
        url = f"mqtt://127.0.0.1:{broker.port}/bench/ward"

        store = Store(folder / "live.sqlite")
        store.outbox.register(EventRows("ward"))
        pub = MqttPublisher(url, store.outbox, window=args.window)
        pub.start()
        while not pub.connected:
            time.sleep(0.01)
        counter = Counter(broker.port)
        counter.want = n
        t0 = time.perf_counter()
        rounds(store, pub, n)
        t_in = time.perf_counter() - t0
        counter.done.wait(120)
        while store.counts()["outbox"]:
            time.sleep(0.005)
        live = time.perf_counter() - t0
        print(f"live:   {n} events in {live:.2f} s = {n / live:,.0f} events/s through the broker "
              f"(rounds committed in {t_in:.2f} s; {counter.received} received, "
              f"{counter.received - len(counter.ids)} duplicates; window {args.window})")
        pub.stop()
        counter.close()
        store.close()

        broker.stop()
        store = Store(folder / "outage.sqlite")
        store.outbox.register(EventRows("ward"))
        pub = MqttPublisher(url, store.outbox, window=args.window)
        pub.start()
        rounds(store, pub, n)
        waiting = store.counts()["outbox"]
        broker.start()
        counter = Counter(broker.port)
        counter.want = n
        while not pub.connected:  # paho's reconnect back-off is not what is measured
            time.sleep(0.001)
        t0 = time.perf_counter()
        counter.done.wait(120)
        while store.counts()["outbox"]:
            time.sleep(0.005)
        drain = time.perf_counter() - t0
        print(f"outage: {waiting} events waited in the outbox; drained in {drain:.2f} s after the "
              f"publisher reconnected = {n / drain:,.0f} events/s "
              f"({counter.received} received, {counter.received - len(counter.ids)} duplicates)")
        pub.stop()
        counter.close()
        store.close()
        broker.stop()


if __name__ == "__main__":
    main()
