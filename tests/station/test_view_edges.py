"""What a publisher on the site's topics, or a pump's label, must never do to a view: break its
order, its metrics or its terminal; flood it with pumps; keep a gone pump on show for ever."""

from __future__ import annotations

import contextlib
import dataclasses
import http.client
import io
import json
import re
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import paho.mqtt.client as mqtt
import pytest
from paho.mqtt.enums import CallbackAPIVersion
from prometheus_client.parser import text_string_to_metric_families

from tarvelpump.station.app import Station
from tarvelpump.station.cli import Display, event_line, main, table_lines
from tarvelpump.station.settings.config import ConfigError, load_config
from tarvelpump.station.records.model import PumpView, now, pump_id
from tarvelpump.station.records.order import natural, ordered
from tarvelpump.station.hospital.view import View
from tarvelpump.virtualward import VirtualWard

from _broker import MOSQUITTO, Broker
from _core import event
from test_mqtt import wait_for

pytestmark = pytest.mark.skipif(not Path(MOSQUITTO).exists(), reason="mosquitto not installed")

#: what a terminal must never receive from a publisher: it clears, retitles, moves or forges lines
_RAW = re.compile(r"[\x00-\x1f\x7f-\x9f\u2028\u2029]")


@pytest.fixture
def broker(tmp_path: Path) -> Iterator[Broker]:
    b = Broker(tmp_path).start()
    yield b
    b.stop()


def get(url: str) -> tuple[int, Any]:
    try:
        with urllib.request.urlopen(url, timeout=10) as r:
            body = r.read()
            return r.status, json.loads(body) if "json" in r.headers["Content-Type"] else body.decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def api(base: str, vid: str) -> tuple[int, Any]:
    return get(f"{base}api/pumps/{urllib.parse.quote(vid, safe='')}")


class Publisher:
    """A bare client on the broker: whoever may publish on the site's topics."""

    def __init__(self, broker: Broker) -> None:
        self.client = mqtt.Client(CallbackAPIVersion.VERSION2)
        self.client.connect("127.0.0.1", broker.port)
        self.client.loop_start()

    def state(self, ward: str, view: PumpView, *, retain: bool = True, **raw: Any) -> None:
        body = json.dumps(dict(view.to_json(), **raw))
        self.send(f"tarvelpump/general/{ward}/{view.id}/state", body, retain=retain)

    def send(self, topic: str, body: str, *, retain: bool = False) -> None:
        self.client.publish(topic, body, qos=1, retain=retain).wait_for_publish(5)

    def close(self) -> None:
        self.client.disconnect()
        self.client.loop_stop()


def pump(label: str, **kw: Any) -> PumpView:
    return PumpView(**{"id": pump_id(label), "label": label, "link": "radio", "addr": 801, "channel": 0,
                       "presence": "online", "last_seen": now(), **kw})


def test_labels_of_every_script_from_configuration_to_page_broker_and_view(broker: Broker, tmp_path: Path) -> None:
    """A station whose pumps are labelled in Chinese and with digits int() cannot read serves them
    all, publishes each on its own topic, and a view over the broker shows them as the station does."""
    labels = ["²", "床 ①", "床一", "床二", "3床", "3号床", "bed 2", "bed 10", "Bett Nr. ٣"]
    ids = [pump_id(label) for label in labels]
    assert len(set(ids)) == len(labels), ids
    assert "床一" in ids and "3号床" in ids  # the letters themselves, not a placeholder
    assert all(not any(c in i for c in "/+#\0 ") for i in ids)
    ward = VirtualWard("fixed").start()
    try:
        for n, label in enumerate(labels):
            ward.add(801 + n, 0, label=label)
        config = tmp_path / "ward.toml"
        config.write_text(f'[station]\nname = "病房 3"\n[store]\npath = "s.sqlite"\n[poll]\ngap = 0.0\n'
                          f'[[link]]\nname = "radio"\nport = "{ward.port}"\ntimeout = 0.3\nmode = "fixed"\n'
                          + "".join(f'[[pump]]\nlabel = "{label}"\nlink = "radio"\naddr = {801 + n}\n'
                                    for n, label in enumerate(labels)))
        with View(broker.url("general"), "127.0.0.1:0") as view, \
                Station(load_config(config), http="127.0.0.1:0", mqtt=broker.url("general/病房-3")) as station:
            assert station.http_url is not None and view.url is not None
            wanted = {f"病房-3.{i}" for i in ids}
            wait_for(lambda: {v.id for v in view.hub.views()} == wanted and
                     all(v.online for v in view.hub.views()), 20)
            ward.pump("床一").update(alarm=0x0100)
            wait_for(lambda: ordered(station.hub.views())[0].label == "床一")
            status, page = get(station.http_url + "api/pumps")
            assert status == 200
            assert [p["label"] for p in page["pumps"]][:1] == ["床一"]  # the alarmed one first
            assert {p["id"]: p["label"] for p in page["pumps"]} == dict(zip(ids, labels))
            for pid, label in zip(ids, labels):
                status, one = api(station.http_url, pid)
                assert status == 200 and one["label"] == label, pid
            # the broker carries each pump under its own id, and the view names them by ward
            wait_for(lambda: ordered(view.hub.views())[0].label == "床一")
            status, seen = get(view.url + "api/pumps")
            assert status == 200 and seen["pumps"][0]["label"] == "床一"
            # bed 2 before bed 10, whatever the other labels hold
            order = [p["label"] for p in seen["pumps"]]
            assert order.index("bed 2") < order.index("bed 10")
            for vid in wanted:
                assert api(view.url, vid)[0] == 200, vid
            wait_for(lambda: get(view.url + "api/events?pump=" + urllib.parse.quote("病房-3.床一"))[1]["events"])
            status, events = get(view.url + "api/events?pump=" + urllib.parse.quote("病房-3.床一"))
            assert status == 200 and [e["kind"] for e in events["events"]] == ["alarm_raised"]
            assert get(view.url + "metrics")[0] == 200 and get(station.http_url + "metrics")[0] == 200
    finally:
        ward.stop()


def test_colliding_labels_are_refused_with_their_real_cause(tmp_path: Path) -> None:
    def refused(*labels: str) -> str:
        config = tmp_path / "c.toml"
        config.write_text('[[link]]\nname = "radio"\nport = "/dev/null"\nmode = "fixed"\n' + "".join(
            f'[[pump]]\nlabel = "{label}"\nlink = "radio"\naddr = {n}\n' for n, label in enumerate(labels)))
        with pytest.raises(ConfigError) as caught:
            load_config(config)
        return str(caught.value)

    assert "differ only in upper and lower case" in refused("床 1", "Bed 1", "bed 1")
    said = refused("bed 1", "bed-1")
    assert "differ only in spaces and punctuation" in said and "bed-1" in said and "case" not in said
    assert "written in two ways" in refused("床 e\u0301", "床 \u00e9")  # the same letters, composed or not


def test_hostile_numbers_labels_and_control_characters(broker: Broker) -> None:
    """Labels int() cannot read, numbers no float holds and terminal escapes, all from the broker:
    each state is shown or dropped alone, and the page, its metrics and the terminal stay up."""
    digits = "bed " + "9" * 5000  # more digits than int() reads
    # (its id on a short topic: a topic level longer than a station's is refused unread)
    hostile = [pump("²"), pump("床 ①"), pump("bed ³ ½"), dataclasses.replace(pump(digits), id="bed-9s"),
               pump("bed 2"), pump("bed 10"),
               # a clear-screen, a window title and a forged line, in every text a terminal shows
               pump("bed\x1b[2J\x1b[H 4", top_alarm="ALARM\x1b]0;pwned\x07", alarms=["ALARM_OCCLUSION"],
                    alarm_word=0x100, rate_unit_text="ml\r\n", running_name="RUN\x9b2J"),
               pump("bed 5", presence="offline", offline_reason="gone\n2026-12-07T10:00:00+00:00  bed 3 "
                    "alarm_cleared")]
    publisher = Publisher(broker)
    try:
        for view in hostile:
            publisher.state("ward-a", view, station="ward\x1b[31m A")
        huge = 10 ** 400
        for n, raw in enumerate([{"remaining_s": huge}, {"answered": huge}, {"silent": -huge},
                                 {"top_alarm_rank": huge, "alarms": ["ALARM_OCCLUSION"], "alarm_word": 0x100},
                                 {"malformed": {"NO_DATA_RETURN": huge}}, {"remaining_s": 2 ** 64},
                                 {"answered": -1}, {"round_s": 1e308}, {"last_seen": "0001-01-01T00:00:00+00:00"},
                                 {"alarm_since": "9999-12-31T23:59:59+00:00"},
                                 {"offline_reason": "x" * 100_000}]):
            publisher.state("ward-b", pump(f"big {n}"), **raw)
        publisher.state("ward-b", pump("big ok"), remaining_s=2 ** 40, answered=2 ** 40)
        publisher.state("w" * 2000, pump("bed 1"))  # a ward name no gateway has
        # a gateway of an older version, whose ids kept ASCII letters only: "3床" was "3"
        publisher.state("ward-c", dataclasses.replace(pump("3床"), id="3"))
        with View(broker.url("general"), "127.0.0.1:0") as view:
            assert view.url is not None
            # 11 dropped: the 100 kB state never reaches the view (its broker drops it, see test_view_memory)
            wait_for(lambda: len(view.hub.views()) == len(hostile) + 2 and view.source.dropped == 11)
            older = event("door_opened", "3床", "radio", door=1)
            publisher.send("tarvelpump/general/ward-c/3/event", json.dumps(older.to_json()))
            publisher.send("tarvelpump/general/ward-c/3床/event", json.dumps(  # a forger's, on another's topic
                event("door_opened", "bed 2", "radio", door=1).to_json()))
            wait_for(lambda: get(view.url + "api/events?pump=ward-c.3")[1]["events"])
            assert [e["id"] for e in get(view.url + "api/events")[1]["events"]] == [older.id]
            status, page = get(view.url + "api/pumps")
            assert status == 200, page
            labels = [p["label"] for p in page["pumps"]]
            assert labels[0].startswith("bed\x1b")  # shown as it is (the page writes text, not markup)
            assert labels.index("bed 2") < labels.index("bed 10") < labels.index(digits)
            for p in page["pumps"]:
                assert api(view.url, p["id"])[0] == 200, p["id"]
            status, metrics = get(view.url + "metrics")
            assert status == 200, metrics
            remaining = {s.labels["label"]: s.value for f in text_string_to_metric_families(metrics)
                         for s in f.samples if s.name == "tarvelpump_pump_remaining_seconds"}
            assert remaining["big ok"] == 2 ** 40

            # the terminal: every byte a publisher chose is shown, escaped, never obeyed
            forged = event("alarm_raised", "bed\x1b[2J 4", "radio\x07", alarm="ALARM_OCCLUSION",
                           text="堵塞\nbed 3 alarm_cleared", station="A\x1b]2;x\x07")
            line = event_line(forged, wards=True)
            assert not _RAW.search(line) and "\\x1b[2J" in line and "\\nbed 3 alarm_cleared" in line
            rows = table_lines(view.hub.views(), [forged], "general\x1b[2J", wards=True, width=200, height=100)
            assert not any(_RAW.search(r) for r in rows), [r for r in rows if _RAW.search(r)]
            shown = "\n".join(rows)
            assert "\\x1b]0;pwned\\x07" in shown and "\\x1b[2J" in shown and "ml\\r\\n" in shown
            assert "\\n2026-12-07T10:00:00+00:00  bed 3 alarm_cleared" in shown
            out = io.StringIO()
            display = Display(view.hub, "table", out, "general", wards=True)
            display.show(final=True)
            drawn = out.getvalue()
            assert drawn.startswith("\x1b[H\x1b[J") and not _RAW.search(drawn[len("\x1b[H\x1b[J"):].replace("\n", ""))
            display.close()
    finally:
        publisher.close()

    # the order alone, whatever a label holds
    assert natural("bed ²") and natural("①") and natural(digits)
    views = [pump(x) for x in ("bed 10", "bed ²", digits, "bed 9" + "0" * 4400, "bed 2", "床 ①", "9" * 1_200_000)]
    labels = [v.label for v in ordered(views)]
    assert labels[1:5] == ["bed 2", "bed 10", "bed 9" + "0" * 4400, digits] and labels[0] == "9" * 1_200_000


def test_caps_per_ward_and_site_then_offline_then_forgotten(broker: Broker) -> None:
    """A flood of pumps fills a ward's share and the site's, and no more; one that stops being heard
    is shown offline, then forgotten, and its place is free again. The metrics count all of it."""
    publisher = Publisher(broker)
    try:
        with View(broker.url("general"), "127.0.0.1:0", max_pumps=7, max_pumps_per_ward=4, offline_after=1.5,
                  forget_after=3.5) as view:
            assert view.url is not None

            def keep(wards: dict[str, range]) -> None:
                for ward, beds in wards.items():
                    for n in beds:
                        publisher.state(ward, pump(f"bed {n}"), retain=False)

            time.sleep(0.5)  # subscribed
            keep({"ward-a": range(6)})
            wait_for(lambda: len(view.hub.views()) == 4)
            time.sleep(0.3)
            assert {v.id for v in view.hub.views()} == {f"ward-a.bed-{n}" for n in range(4)}  # first come
            keep({"ward-b": range(5)})
            wait_for(lambda: len(view.hub.views()) == 7)
            time.sleep(0.3)
            assert sum(v.id.startswith("ward-b.") for v in view.hub.views()) == 3  # the site is full

            def metric(name: str) -> dict[tuple[str, ...], float]:
                text = get(view.url + "metrics")[1]
                return {tuple(sorted(s.labels.items())): s.value for f in text_string_to_metric_families(text)
                        for s in f.samples if s.name == name}

            refused = metric("tarvelpump_view_pumps_refused_total")
            assert refused[(("reason", "ward"), ("ward", "ward-a"))] == 2
            assert refused[(("reason", "site"), ("ward", "ward-b"))] == 2
            assert metric("tarvelpump_view_pumps")[(("ward", "ward-a"),)] == 4
            assert metric("tarvelpump_view_pumps_max")[(("scope", "site"),)] == 7
            # the bounds are the view's options on the command line too, checked before anything opens
            assert main(["view", "--mqtt", broker.url("general"), "--offline-after", "10",
                         "--forget-after", "5"]) == 2

            # An open page's stream: a forgotten pump's tile must go from it too.
            conn = http.client.HTTPConnection("127.0.0.1", urllib.parse.urlsplit(view.url).port, timeout=10)
            conn.request("GET", "/events")
            stream = conn.getresponse()
            said: list[bytes] = []
            def read() -> None:
                with contextlib.suppress(Exception):  # the connection is closed under it at the end
                    for line in stream:
                        said.append(line)

            threading.Thread(target=read, daemon=True).start()

            # ward-a's bed 0 falls silent; the others keep publishing
            t0 = time.monotonic()
            beds = {v.id: v for v in view.hub.views()}
            while time.monotonic() - t0 < 2.2:
                keep({"ward-a": range(1, 4), "ward-b": range(3)})
                time.sleep(0.3)
            bed0 = {v.id: v for v in view.hub.views()}["ward-a.bed-0"]
            assert bed0.presence == "offline" and "not heard" in (bed0.offline_reason or "")
            assert all(v.online for v in view.hub.views() if v.id != "ward-a.bed-0"), beds
            assert [p["presence"] for p in get(view.url + "api/pumps")[1]["pumps"]
                    if p["id"] == "ward-a.bed-0"] == ["offline"]
            while "ward-a.bed-0" in {v.id for v in view.hub.views()}:
                assert time.monotonic() - t0 < 8, "never forgotten"
                keep({"ward-a": range(1, 4), "ward-b": range(3)})
                time.sleep(0.3)
            assert api(view.url, "ward-a.bed-0")[0] == 404
            wait_for(lambda: b'data: ["ward-a.bed-0"]\r\n' in said)
            assert said[said.index(b'data: ["ward-a.bed-0"]\r\n') - 1] == b"event: gone\r\n"
            conn.close()
            assert metric("tarvelpump_view_pumps_forgotten_total")[()] == 1
            # its place is free: the next newcomer of ward-a gets it
            keep({"ward-a": range(1, 6)})
            wait_for(lambda: "ward-a.bed-4" in {v.id for v in view.hub.views()})
            assert len(view.hub.views()) == 7
    finally:
        publisher.close()


def test_a_site_larger_than_the_brokers_queue_is_shown_whole(broker: Broker) -> None:
    """Mosquitto queues 1,000 messages for a client by default and drops the rest of the retained
    states a view gets when it subscribes: the view asks again, ward by ward, for what it missed."""
    publisher = Publisher(broker)
    try:
        wards = [f"ward-{w:02d}" for w in range(30)]
        for w, ward in enumerate(wards):
            if w:  # the first ward never says it is online: its states alone make it known
                publisher.client.publish(f"tarvelpump/general/{ward}/status", "online", qos=1, retain=True)
            for n in range(50):
                view = pump(f"bed {n}")
                last = publisher.client.publish(f"tarvelpump/general/{ward}/{view.id}/state",
                                                json.dumps(view.to_json()), qos=1, retain=True)
        last.wait_for_publish(10)
        with View(broker.url("general"), "127.0.0.1:0") as view:
            wait_for(lambda: len(view.hub.views()) == 1500, 15)
            assert len(view.source.gateways) == 29 and get(view.url + "api/pumps")[1]["counts"]["pumps"] == 1500
    finally:
        publisher.close()
