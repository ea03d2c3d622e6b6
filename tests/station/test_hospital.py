"""A view over a whole hospital through the API and the event stream: per-ward
counts, the site's alarmed pumps first, one ward's pumps, and a stream that
sends what changed rather than every view of a ward on every batch."""

from __future__ import annotations

import dataclasses
import http.client
import json
import time
import urllib.parse
import urllib.request
from datetime import timedelta
from typing import Any

from tarvelpump.station.hub import Hub
from tarvelpump.station.records.model import OFFLINE, ONLINE, PumpView, RoundResult, now
from tarvelpump.station.outputs.web import serve


def pump(ward: str, n: int, **kw: Any) -> PumpView:
    base: dict[str, Any] = dict(id=f"{ward}.bed-{n}", label=f"bed {n}", link=f"{ward}.radio", addr=n, channel=0,
                                station=ward, presence=ONLINE, last_seen=now(), running=2, running_name="RUN",
                                round_s=15.0, answered=5)
    base.update(kw)
    return PumpView(**base)


def alarmed(view: PumpView, bit: str = "ALARM_OCCLUSION", rank: int = 0, age: float = 10) -> PumpView:
    return dataclasses.replace(view, alarms=[bit], alarm_word=0x100, top_alarm=bit, top_alarm_rank=rank,
                               top_alarm_text="管路堵塞", alarm_since=now() - timedelta(seconds=age))


def batch(ward: str, views: list[PumpView]) -> RoundResult:
    return RoundResult(link=ward, started=now(), duration_s=0.0, exchanges=0, readings=(), events=(),
                       views=tuple(views))


def get(url: str) -> Any:
    with urllib.request.urlopen(url, timeout=10) as r:
        return json.load(r)


class Stream:
    """An open ``/events`` stream, read message by message."""

    def __init__(self, port: int, query: str = "") -> None:
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        self.conn.request("GET", "/events" + query)
        self.r = self.conn.getresponse()

    def until(self, kind: str, seconds: float = 5.0) -> list[tuple[str, Any]]:
        """Every message up to and including the first of ``kind``."""
        got: list[tuple[str, Any]] = []
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            line = self.r.readline().decode().strip()
            if line.startswith("event: "):
                k = line.removeprefix("event: ")
                got.append((k, json.loads(self.r.readline().decode().removeprefix("data: "))))
                if k == kind:
                    return got
        raise AssertionError(f"no {kind} message within {seconds} s; got {[k for k, _ in got]}")

    def close(self) -> None:
        self.conn.close()


def test_the_hospital_page_api_and_stream() -> None:
    hub = Hub()
    wards = {w: [pump(w, n) for n in range(1, 41)] for w in ("ward 1", "ward 2", "ward 3")}
    wards["ward 2"][4] = alarmed(wards["ward 2"][4], age=100)
    wards["ward 3"][9] = alarmed(wards["ward 3"][9], "ALARM_INFUSION_NEARLY_COMPLETE", 3, age=500)
    wards["ward 3"][0] = alarmed(wards["ward 3"][0], age=20)
    for n in (1, 2):
        wards["ward 1"][n] = dataclasses.replace(wards["ward 1"][n], presence=OFFLINE, offline_reason="no answer")
    for w, views in wards.items():
        hub.publish(batch(w, views))
    srv = serve(hub, None, port=0, wards=True, alive_s=0.3)
    try:
        # -- per-ward counts, and the site's alarmed pumps first, most urgent first
        body = get(srv.url + "api/pumps?alarmed=1")
        assert [(p["station"], p["label"]) for p in body["pumps"]] == [
            ("ward 2", "bed 5"), ("ward 3", "bed 1"), ("ward 3", "bed 10")]
        assert body["counts"]["pumps"] == 120 and body["counts"]["alarmed"] == 3
        counts = {c["ward"]: c for c in body["ward_counts"]}
        assert [c["ward"] for c in body["ward_counts"]] == ["ward 1", "ward 2", "ward 3"]
        assert (counts["ward 1"]["pumps"], counts["ward 1"]["alarmed"], counts["ward 1"]["offline"]) == (40, 0, 2)
        assert (counts["ward 3"]["alarmed"], counts["ward 3"]["offline"]) == (2, 0)
        # -- one ward's tiles, in the page's order; a ward that is not there has none
        one = get(srv.url + "api/pumps?ward=" + urllib.parse.quote("ward 3"))
        assert len(one["pumps"]) == 40 and {p["station"] for p in one["pumps"]} == {"ward 3"}
        assert [p["label"] for p in one["pumps"][:3]] == ["bed 1", "bed 10", "bed 2"]
        assert one["counts"]["pumps"] == 40 and one["counts"]["alarmed"] == 2
        assert get(srv.url + "api/pumps?ward=nowhere")["pumps"] == []
        everything = get(srv.url + "api/pumps")
        assert len(everything["pumps"]) == 120 and everything["pumps"][0]["label"] == "bed 5"
        assert everything["pumps"][0]["stale"] is False and everything["pumps"][0]["alarm_texts"] == ["管路堵塞"]

        # -- the site's stream: alarmed pumps only, what changed, per-ward counts when they change
        site = Stream(srv.port, "?alarmed=1")
        ward1 = Stream(srv.port, "?ward=" + urllib.parse.quote("ward 1"))
        site.until("alive")
        ward1.until("alive")
        # a gateway republishes its whole ward; one pump of it raised an alarm, the others only still answer
        views = [dataclasses.replace(v, last_seen=now(), answered=v.answered + 1) for v in wards["ward 1"]]
        views[7] = alarmed(views[7], age=1)
        hub.publish(batch("ward 1", views))
        got = dict(site.until("order"))
        assert [p["id"] for p in got["pumps"]] == ["ward 1.bed-8"]
        assert got["order"] == ["ward 2.bed-5", "ward 3.bed-1", "ward 1.bed-8", "ward 3.bed-10"]  # longest first
        assert "seen" not in got  # pumps not on the site's page are not its news
        got.update(site.until("wards"))
        assert got["wards"][0] == {"ward": "ward 1", "pumps": 40, "alarmed": 1, "online": 38, "stale": 0,
                                   "offline": 2, "unheard": 0}
        got = dict(ward1.until("order"))
        assert [p["id"] for p in got["pumps"]] == ["ward 1.bed-8"]
        assert len(got["seen"]) == 39 and got["order"][:3] == ["ward 1.bed-8", "ward 1.bed-2", "ward 1.bed-3"]
        assert "wards" not in got  # the counts of every ward are the site's page's
        # the same again: nothing to say but the news that they still answer
        hub.publish(batch("ward 1", views))
        again = [dataclasses.replace(v, last_seen=now()) for v in views]
        hub.publish(batch("ward 1", again))
        got2 = ward1.until("seen")
        assert [k for k, _ in got2 if k not in ("alive",)] == ["seen"] and len(got2[-1][1]) == 40
        # another ward's change does not reach a stream of ward 1; the alarm cleared leaves the site's page
        hub.publish(batch("ward 2", [dataclasses.replace(wards["ward 2"][4], alarms=[], alarm_word=0, top_alarm=None,
                                                         top_alarm_rank=None, alarm_since=None)]))
        got = dict(site.until("order"))
        assert [(p["id"], p["alarmed"]) for p in got["pumps"]] == [("ward 2.bed-5", False)]
        assert got["order"] == ["ward 3.bed-1", "ward 1.bed-8", "ward 3.bed-10"]
        assert [k for k, _ in ward1.until("alive") if k != "alive"] == []
        site.close()
        ward1.close()
    finally:
        srv.stop()


def test_ten_thousand_pumps_through_the_api() -> None:
    """The API's answer at a hospital's size is whole and in order (its time is in bench/hospital_page.py)."""
    hub = Hub()
    for w in range(100):
        views = [pump(f"ward {w}", n) for n in range(100)]
        if w % 10 == 0:
            views[w % 100] = alarmed(views[w % 100], age=w)
        hub.publish(batch(f"ward {w}", views))
    srv = serve(hub, None, port=0, wards=True)
    try:
        body = get(srv.url + "api/pumps")
        assert len(body["pumps"]) == 10_000 and len(body["ward_counts"]) == 100
        assert [p["station"] for p in body["pumps"][:10]] == [f"ward {w}" for w in range(90, -1, -10)]
        assert get(srv.url + "api/pumps?alarmed=1")["counts"]["alarmed"] == 10
        assert len(get(srv.url + "api/pumps?ward=ward%2042")["pumps"]) == 100
    finally:
        srv.stop()
