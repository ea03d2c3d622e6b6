"""One declaration of every event kind: each kind the station makes reaches every output that must carry
it (the store, MQTT byte for byte, a view over the broker, HL7 where the composer sends it), a kind a
view does not know is shown and counted, and every output has something to say about every kind."""

from __future__ import annotations

import json
import re
import threading
import time
import urllib.request
from collections.abc import Callable
from pathlib import Path
from typing import Any

import paho.mqtt.client as mqtt
import pytest
from paho.mqtt.enums import CallbackAPIVersion

from tarvelpump.station.app import Station
from tarvelpump.station.cli.terminal import event_line
from tarvelpump.station.hospital.view import View
from tarvelpump.station.outputs.hl7 import SENDS, Composer
from tarvelpump.station.outputs.web.words import event_json
from tarvelpump.station.records import kinds
from tarvelpump.station.records.kinds import KINDS, EventKind, UnknownEvent
from tarvelpump.station.records.model import Event, PumpView, RoundResult, decode_event, encode_event, now, pump_id
from tarvelpump.station.settings.config import (Hl7Config, LinkConfig, PatientsConfig, PollConfig, PumpConfig,
                                                StationConfig, StoreConfig)
from tarvelpump.virtualward import VirtualWard

from _broker import MOSQUITTO, Broker
from _core import event
from _mllp import Receiver
from test_patients import pcim, send

KINDS_PAGE = Path(__file__).resolve().parents[2] / "docs" / "station" / "index.md"
OCCLUSION, AIR = 0x0100, 0x0200
_CJK = re.compile(r"[\u4e00-\u9fff]")


def wait_for(check: Callable[[], object], timeout: float = 20.0) -> None:
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, "timed out waiting"
        time.sleep(0.05)


def get(url: str) -> Any:
    with urllib.request.urlopen(url, timeout=5) as r:
        body = r.read()
        return json.loads(body) if r.headers["Content-Type"].startswith("application/json") else body.decode()


def test_every_output_says_something_of_every_kind() -> None:
    """A kind added to the declaration fails here until the page's words and the HL7 composer's
    choice name it; MQTT and a view take it back as it was made."""
    assert set(KINDS) == set(EventKind) == set(SENDS)
    composer = Composer(station="ward 3")
    for name in KINDS:
        made = event(name, station="ward 3")
        assert decode_event(encode_event(made)) == (made, "")
        said = event_json(made)
        assert said["kind"] == name and _CJK.search(said["words_zh"]), said  # the kind has its own words
        line = event_line(made, wards=True)
        assert "ward 3 · " in line and name in line and all(str(v) in line for v in made.details.values())
        view = PumpView("bed-1", "bed 1", "radio", 801, 0, presence="online", last_seen=now(), running=2)
        sent = composer.compose(RoundResult("radio", now(), 0.0, 0, (), (made,), (view,)))
        assert ("PCD-04" in [m.kind for m in sent]) == (SENDS[name] == "PCD-04"), name
    # the documented list of kinds is the declaration's, word for word
    text = KINDS_PAGE.read_text(encoding="utf-8")
    block = text.split("<!-- event kinds: python -m tarvelpump.station.records.kinds -->\n", 1)[1]
    assert block.split("<!-- end of event kinds -->", 1)[0] == kinds.reference()


@pytest.mark.skipif(not Path(MOSQUITTO).exists(), reason="mosquitto not installed")
def test_every_kind_the_station_makes_reaches_every_output(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    broker = Broker(tmp_path).start()
    # the engine refuses the alarms of bed 2: they are set aside as hl7_rejected
    receiver = Receiver(lambda text: ("AE", "unknown bed") if "R40" in text and "^^bed 2" in text
                        else ("AA", "")).start()
    ward_a = VirtualWard("fixed", speed=0.001).start()
    ward_b = VirtualWard("fixed", speed=0.001, link_path=str(tmp_path / "radio-b")).start()  # one it can unplug
    for ward, addr, label in ((ward_a, 801, "bed 1"), (ward_a, 802, "bed 2"), (ward_b, 803, "bed 3")):
        ward.add(addr, 0, label=label)
    config = StationConfig(
        name="ward 3", store=StoreConfig(path=tmp_path / "w.sqlite"),
        poll=PollConfig(gap=0.0, offline_after=2, retry_ceiling=1.0, status_within=2.0),
        links=(LinkConfig("radio-a", ward_a.port, timeout=0.2), LinkConfig("radio-b", ward_b.port, timeout=0.2)),
        pumps=tuple(PumpConfig(p.label, "radio-a" if w is ward_a else "radio-b", p.addr, 0)
                    for w in (ward_a, ward_b) for p in w.pumps),
        hl7=Hl7Config(url=receiver.url, report_every=1.0), patients=PatientsConfig(listen="127.0.0.1:0"))
    heard: list[mqtt.MQTTMessage] = []  # every message on the site, as published
    watcher = mqtt.Client(CallbackAPIVersion.VERSION2)
    watcher.on_connect = lambda c, *a: c.subscribe("tarvelpump/#", qos=1)
    watcher.on_message = lambda c, u, m: heard.append(m)
    watcher.connect("127.0.0.1", broker.port)
    watcher.loop_start()
    view = View(broker.url("general"), "127.0.0.1:0").start()
    shown: list[Event] = []
    view.hub.add(lambda r: shown.extend(r.events))
    station = Station(config, http="", mqtt=broker.url("general/ward-3")).start()
    stored: Callable[[], dict[str, list[Event]]] = lambda: {  # noqa: E731
        k: [e for e in station.store.events() if e.kind == k] for k in EventKind}
    try:
        wait_for(lambda: {v.id for v in view.hub.views()} == {"ward-3.bed-1", "ward-3.bed-2", "ward-3.bed-3"})
        # -- every kind, forced through the virtual ward's own controls; the pump's next PCD-01 says each change
        reported: set[str] = set()

        def force(change: Callable[[], object], kind: str, says: str | None = None, pump: str = "bed 1") -> None:
            before, mark = len(stored()[kind]), len(receiver.messages())
            change()
            wait_for(lambda: len(stored()[kind]) > before)
            if says is not None:
                reported.add(kind)
                wait_for(lambda: any("ORU^R01" in m and f"^^{pump}\r" in m and says in m
                                     for m in receiver.messages()[mark:]))

        bed1, bed2 = ward_a.pump("bed 1"), ward_a.pump("bed 2")
        force(lambda: bed1.update(alarm=OCCLUSION), "alarm_raised")
        force(lambda: bed1.update(alarm=0), "alarm_cleared")
        force(lambda: bed1.update(running=1), "state_changed", "|STOP^")
        force(lambda: bed1.update(door=1), "door_opened", "|OPEN^")
        force(lambda: bed1.update(door=0), "door_closed", "|CLOSE^")
        force(lambda: bed1.update(remain_hours=0, remain_minutes=5), "near_end", "|5|264352^MDC_DIM_MIN")
        force(lambda: bed2.update(alarm=AIR), "hl7_rejected")  # its PCD-04, refused
        force(lambda: setattr(bed2, "present", False), "offline", "|offline^no answer", "bed 2")
        force(lambda: setattr(bed2, "present", True), "online", "|online^", "bed 2")
        assert reported == {k for k, v in SENDS.items() if v == "PCD-01"}  # and a patient's, below
        force(ward_b.vanish, "link_down")
        force(ward_b.restore, "link_up")
        poller = next(p for p in station.pollers if p.link.name == "radio-b")
        real, broken = poller._one_pass, threading.Event()

        def one_pass() -> Any:
            if broken.is_set():
                raise RuntimeError("a fault of the station's own")
            return real()

        monkeypatch.setattr(poller, "_one_pass", one_pass)
        force(broken.set, "poller_failed")
        force(broken.clear, "poller_recovered")
        assert station.patients_listener is not None
        port = station.patients_listener.port
        # an association of bed 1's device with a patient, then reported wrong: named, then no longer
        force(lambda: send(port, pcim("bed-1", "1001", "F", "40")), "patient_bound", "|1001^^^HOSP^MR|")
        force(lambda: send(port, pcim("bed-1", "1001", "W", "41", original="40")), "wrong_patient",
              "|unknown^^^99TVP|")
        assert stored()["patient_unbound"] and reported == {k for k, v in SENDS.items() if v == "PCD-01"} | {
            "patient_bound", "wrong_patient"}

        # -- the store has every kind; MQTT carries each event as encode_event made it, on its own topic
        made = {e.id: e for e in station.store.events()}
        assert all(stored().values()), [k for k, v in stored().items() if not v]
        on_mqtt: Callable[[], dict[str, tuple[str, bytes]]] = lambda: {  # noqa: E731
            json.loads(m.payload)["id"]: (m.topic, bytes(m.payload)) for m in list(heard) if m.topic.endswith("/event")}
        wait_for(lambda: on_mqtt().keys() >= made.keys())
        for e in made.values():
            topic, payload = on_mqtt()[e.id]
            assert payload == encode_event(e), e.kind
            where = f"link/{e.link}" if e.pump is None else pump_id(e.pump)
            assert topic == f"tarvelpump/general/ward-3/{where}/event" and e.station == "ward 3", (topic, e)

        # -- the view shows each of them, decoded by the same declaration, named by its ward
        wait_for(lambda: {e.id for e in shown} >= made.keys())
        for e in (x for x in shown if x.id in made):
            assert not isinstance(e, UnknownEvent) and e.kind == made[e.id].kind and e.station == "ward 3"
            assert e.pump_id == (None if e.pump is None else f"ward-3.{pump_id(e.pump)}")
        listed = {d["id"]: d for d in get(f"{view.url}api/events?limit=1000")["events"]}
        assert {listed[i]["kind"] for i in made} == set(EventKind) and view.source.dropped == 0
        assert all(_CJK.search(listed[i]["words_zh"]) for i in made)

        # -- HL7: a PCD-04 for each alarm (OBR-3 its id), the one refused set aside
        got = receiver.messages()
        (rejected,) = stored()["hl7_rejected"]
        assert isinstance(rejected, kinds.Hl7Rejected) and rejected.pump == "bed 2" and rejected.error == "unknown bed"
        assert any(f"|{rejected.control_id}|" in m for m in got if "ORU^R40" in m)
        for e in made.values():
            if SENDS[e.kind] == "PCD-04":
                assert any(f"|{e.id}^" in m for m in got if "ORU^R40" in m), e

        # -- a kind this view does not know, from a newer gateway, and a known kind with a field it does not
        newer = {"kind": "bolus_given", "id": "n1", "time": now().isoformat(), "pump": "bed 1", "link": "radio",
                 "station": "ward 9", "volume_ml": 2.5}
        extra = dict(json.loads(encode_event(event("alarm_raised", station="ward 9"))), id="n2", shift="night")
        for body in (newer, extra):
            watcher.publish("tarvelpump/general/ward-9/bed-1/event", json.dumps(body), qos=1)
        wait_for(lambda: {"n1", "n2"} <= {e.id for e in shown})
        unknown = next(e for e in shown if e.id == "n1")
        assert isinstance(unknown, UnknownEvent) and unknown.details == {"volume_ml": 2.5}
        assert event_line(unknown, wards=True).split("  ", 1)[1].startswith("ward 9 · bed 1 bolus_given")
        listed = {d["id"]: d for d in get(f"{view.url}api/events")["events"]}
        assert listed["n1"]["words"] == "Bolus given: not known to this version" and listed["n1"]["station"] == "ward 9"
        assert listed["n2"]["words"] == "Alarm raised: Occlusion"  # its own fields still said
        metrics = get(f"{view.url}metrics")
        for kind in ("bolus_given", "alarm_raised"):
            assert f'tarvelpump_view_unknown_events_total{{kind="{kind}"}} 1.0' in metrics
        assert view.source.dropped == 0
    finally:
        station.stop()
        view.stop()
        watcher.disconnect()
        watcher.loop_stop()
        receiver.stop()
        ward_a.stop()
        ward_b.stop()
        broker.stop()
