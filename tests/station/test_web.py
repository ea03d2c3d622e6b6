"""The page's server over real HTTP: API, order, errors, event stream, metrics, stop."""

from __future__ import annotations

import http.client
import json
import socket
import sys
import threading
import urllib.error
import urllib.parse
import urllib.request
from datetime import datetime, timedelta, timezone
from typing import Any

import pytest
from prometheus_client.parser import text_string_to_metric_families

from tarvelpump.station.hub import Hub
from tarvelpump.station.records.model import OFFLINE, ONLINE, Event, EventKind, PumpView, RoundResult, now
from tarvelpump.station.records.store import Store
from tarvelpump.station.outputs.web import serve

from _core import event
from _views import every_presence

T0 = now()


@pytest.fixture(autouse=True)
def _clock(monkeypatch: pytest.MonkeyPatch) -> None:
    # Times in the rounds are relative to the start of each test, not to the import.
    monkeypatch.setattr(sys.modules[__name__], "T0", now())


def view(label: str, **kw: Any) -> PumpView:
    base: dict[str, Any] = dict(
        id=label.replace(" ", "-"), label=label, link="radio-a", addr=800 + len(label), channel=0,
        running=2, running_name="RUN", running_text="运行", remaining_s=5400, rate_unit=0,
        rate_unit_text="毫升", door=0, last_seen=T0, answered=10, presence=ONLINE, round_s=0.5,
    )
    base.update(kw)
    return PumpView(**base)


def alarm(label: str, bit: str, text: str, rank: int, age: float) -> PumpView:
    return view(label, alarms=[bit, "ALARM_LOW_BATTERY"], alarm_word=0x102, top_alarm=bit, top_alarm_text=text,
                top_alarm_rank=rank, alarm_since=T0 - timedelta(seconds=age))


def round_of(views: list[PumpView], events: list[Event] = [], duration: float = 0.4) -> RoundResult:
    return RoundResult(link="radio-a", started=T0, duration_s=duration, exchanges=3 * len(views),
                       readings=(), events=tuple(events), views=tuple(views))


def get(url: str) -> tuple[int, Any]:
    try:
        with urllib.request.urlopen(url, timeout=5) as r:
            body = r.read()
            return r.status, json.loads(body) if "json" in r.headers["Content-Type"] else body.decode()
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read())


def ev(kind: EventKind, pump: str, age: float, **details: Any) -> Event:
    return event(kind, pump, "radio-a", T0 - timedelta(seconds=age), **details)


def test_api_page_stream_metrics_and_stop() -> None:
    hub = Hub()
    srv = serve(hub, None, port=0, title="Ward 3 东 <b>")
    base = srv.url
    assert base.startswith("http://127.0.0.1:")
    try:
        # -- the page: title escaped, only our own files, locked to our origin
        with urllib.request.urlopen(base, timeout=5) as r:
            page = r.read().decode()
            assert "default-src 'self'" in r.headers["Content-Security-Policy"]
        assert "Ward 3 东 &lt;b&gt;" in page and "<b>" not in page
        for name in ("app.js", "style.css"):
            status, text = get(base + "static/" + name)
            assert status == 200 and "http:" not in text and "https:" not in text
        assert "https:" not in page and "http:" not in page

        # -- an event stream opened before the rounds sees them
        conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=5)
        conn.request("GET", "/events")
        stream = conn.getresponse()
        assert stream.status == 200 and stream.headers["Content-Type"].startswith("text/event-stream")
        assert stream.readline().startswith(b"event: hello")

        views = [
            view("bed 10"),
            view("bed 9", running=1, running_name="STOP", running_text="停止"),
            view("bed 2", presence=OFFLINE, offline_reason="no answer", silent=7, alarms=["ALARM_OCCLUSION"],
                 alarm_word=0x100, top_alarm="ALARM_OCCLUSION", top_alarm_rank=0),
            alarm("bed 3", "ALARM_INFUSION_NEARLY_COMPLETE", "即将输液完毕", 3, 60),
            alarm("bed 4", "ALARM_OCCLUSION", "管路堵塞", 0, 10),
            alarm("bed 5", "ALARM_OCCLUSION", "管路堵塞", 0, 100),
            alarm("bed 6", "ALARM_KEY_STUCK", "键出错", -1, 500),
        ]
        views[0].malformed = {"INVALID_CHECK_DATA": 2, "INVALID_APP_DATA": 1}
        old = [ev(EventKind.DOOR_OPENED, "bed 3", 7200),
               ev(EventKind.STATE_CHANGED, "bed 9", 1800, **{"from": "RUN", "to": "STOP"})]
        hub.publish(round_of(views, old, duration=0.3))
        fresh = [ev(EventKind.ALARM_RAISED, "bed 4", 10, alarm="ALARM_OCCLUSION", text="管路堵塞"),
                 ev(EventKind.OFFLINE, "bed 2", 5)]
        hub.publish(round_of(views, fresh, duration=1.5))

        got: dict[str, list[Any]] = {"pumps": [], "events": [], "order": [], "alive": [], "seen": []}
        while sum(map(len, got["events"])) < 4:  # rounds close together may come in one message
            line = stream.readline().decode().strip()
            if line.startswith("event: "):
                kind = line.removeprefix("event: ")
                data = stream.readline().decode().removeprefix("data: ")
                got[kind].append(json.loads(data))
        said = [e for message in got["events"] for e in message]
        assert [e["kind"] for e in said] == ["door_opened", "state_changed", "alarm_raised", "offline"]
        assert said[2]["alarm_words"] == "Occlusion"
        assert said[2]["words"] == "Alarm raised: Occlusion"
        assert said[2]["words_zh"] == "报警：管路堵塞" and said[1]["words_zh"] == "状态改变：运行 → 停止"
        # the second round's views are the first's, unchanged: they are not sent again
        assert len(got["pumps"]) == 1 and {p["label"] for p in got["pumps"][0]} == {v.label for v in views}

        # -- the pumps in the page's order
        status, body = get(base + "api/pumps")
        assert status == 200 and body["title"] == "Ward 3 东 <b>"
        order = [p["label"] for p in body["pumps"]]
        # an offline pump keeps its last alarm in the alarm group; an unranked alarm comes after the ranked
        assert order == ["bed 5", "bed 4", "bed 2", "bed 3", "bed 6", "bed 9", "bed 10"]
        status, one = get(base + "api/pumps/bed-4")
        assert status == 200 and one["alarmed"] is True
        assert (one["top_alarm_words"], one["top_alarm_text"]) == ("Occlusion", "管路堵塞")
        assert one["alarm_words"] == ["Occlusion", "Low battery"]
        assert (one["running_words"], one["rate_unit_words"], one["door_words"]) == ("Running", "ml", "closed")
        assert datetime.fromisoformat(one["alarm_since"]) == T0 - timedelta(seconds=10)
        two = get(base + "api/pumps/bed-2")[1]  # offline: its last alarm stays shown and counted
        assert (two["alarmed"], two["presence"], two["online"], two["offline_reason"]) == (True, "offline", False,
                                                                                         "no answer")

        # -- events: newest first, since as a span or a time, per pump, limited
        status, body = get(base + "api/events")
        assert [e["kind"] for e in body["events"]] == ["offline", "alarm_raised", "state_changed", "door_opened"]
        assert len(get(base + "api/events?since=1h")[1]["events"]) == 3
        assert len(get(base + "api/events?since=45s")[1]["events"]) == 2
        iso = (T0 - timedelta(minutes=40)).isoformat()  # "+00:00" sent raw arrives as " 00:00"
        assert len(get(base + "api/events?since=" + iso)[1]["events"]) == 3
        zulu = (T0 - timedelta(seconds=7)).astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")
        assert [e["kind"] for e in get(base + "api/events?since=" + zulu)[1]["events"]] == ["offline"]
        nine = get(base + "api/events?pump=bed-9")[1]["events"]
        assert [e["words"] for e in nine] == ["State changed: Running → Stopped"]
        assert [e["kind"] for e in get(base + "api/events?limit=1")[1]["events"]] == ["offline"]

        # -- bad requests: a JSON error, never a traceback
        for path, code in [("api/pumps/bed-99", 404), ("api/events?since=yesterday", 400),
                           ("api/events?since=10x", 400),
                           ("api/events?since=99999999999d", 400), ("api/events?limit=0", 400),
                           ("api/events?limit=many", 400), ("api/events?pump=bed-99", 404), ("nowhere", 404)]:
            status, body = get(base + path)
            assert status == code and body["status"] == code and "Traceback" not in body["error"], path
        # read-only: nothing but GET anywhere
        for method in ("POST", "PUT", "DELETE", "PATCH"):
            for path in ("/", "/api/pumps", "/api/pumps/bed-4", "/api/events", "/events", "/metrics"):
                c = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=5)
                c.request(method, path, body=b"{}")
                r = c.getresponse()
                assert r.status == 405 and json.loads(r.read())["error"] == "Method Not Allowed", (method, path)
                c.close()

        # -- metrics, through the client's own parser
        with urllib.request.urlopen(base + "metrics", timeout=5) as r:
            text = r.read().decode()
        samples = {
            (s.name, tuple(sorted(s.labels.items()))): s.value
            for fam in text_string_to_metric_families(text) for s in fam.samples
        }

        def pump(name: str, label: str, **extra: str) -> float:
            labels = {"pump": label.replace(" ", "-"), "label": label, "link": "radio-a", "station": "", **extra}
            return samples[(name, tuple(sorted(labels.items())))]

        assert pump("tarvelpump_pump_up", "bed 10") == 1 and pump("tarvelpump_pump_up", "bed 2") == 0
        assert pump("tarvelpump_pump_alarm_active", "bed 4") == 1
        assert pump("tarvelpump_pump_alarm_active", "bed 10") == 0
        assert pump("tarvelpump_pump_alarm_rank", "bed 3") == 3
        assert pump("tarvelpump_pump_remaining_seconds", "bed 9") == 5400
        assert pump("tarvelpump_pump_answered_total", "bed 10") == 10
        assert pump("tarvelpump_pump_silent_total", "bed 2") == 7
        assert pump("tarvelpump_pump_malformed_total", "bed 10", code="INVALID_CHECK_DATA") == 2
        assert pump("tarvelpump_pump_malformed_total", "bed 10", code="INVALID_APP_DATA") == 1
        link = (("link", "radio-a"),)
        assert samples[("tarvelpump_link_round_seconds_count", link)] == 2
        assert samples[("tarvelpump_link_round_seconds_sum", link)] == pytest.approx(1.8)
        assert samples[("tarvelpump_link_round_seconds_bucket", (("le", "0.5"), *link))] == 1
        assert samples[("tarvelpump_link_exchanges_total", link)] == 2 * 3 * len(views)
        assert samples[("tarvelpump_link_up", link)] == 1
    finally:
        srv.stop()

    # -- stop: the open stream ends, the port is released, the thread is gone
    stream.read()  # returns at the end of the stream instead of hanging
    assert stream.isclosed()
    conn.close()
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", srv.port), timeout=1).close()
    assert not [t for t in threading.enumerate() if t.name.startswith("station-http")]
    # no listener of the stopped server is left on the hub: neither its feed nor its metrics hear this round
    feed = srv._feed
    hub.publish(round_of([view("bed 1")], [ev(EventKind.ONLINE, "bed 1", 0)]))
    assert [e.kind for e in feed.recent()][-1] is EventKind.OFFLINE
    assert not [f for f in hub._listeners if type(getattr(f, "__self__", None)).__name__ in ("Feed", "StationMetrics")]


def test_events_come_from_the_store(tmp_path: Any) -> None:
    hub = Hub()
    with Store(tmp_path / "ward.sqlite") as store:
        hub.commit_through(store.commit, name=store.path)
        raised = [ev(EventKind.ALARM_RAISED, "bed 1", 300 - i, alarm="ALARM_DOOR_OPEN") for i in range(60)]
        hub.publish(round_of([view("bed 1")], raised))
        srv = serve(hub, store, port=0)  # started after the events: only the store knows them
        try:
            status, body = get(srv.url + "api/events")
            assert status == 200 and [e["id"] for e in body["events"]] == [e.id for e in reversed(raised)][:50]
            assert body["events"][0]["alarm_words"] == "Door open"
            since = urllib.parse.quote((T0 - timedelta(seconds=245)).isoformat())
            assert len(get(f"{srv.url}api/events?since={since}&limit=1000")[1]["events"]) == 5
        finally:
            srv.stop()
    with pytest.raises(OSError):  # a taken port fails at once, in the caller
        with socket.create_server(("127.0.0.1", 0)) as taken:
            serve(hub, None, port=taken.getsockname()[1])


def scrape(url: str) -> dict[tuple[str, tuple[tuple[str, str], ...]], float]:
    with urllib.request.urlopen(url + "metrics", timeout=5) as r:
        text = r.read().decode()
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for fam in text_string_to_metric_families(text) for s in fam.samples}


def per_pump(samples: dict[Any, float], name: str, **match: str) -> dict[str, float]:
    """label -> value of one per-pump metric (with ``match`` among its labels)."""
    out = {}
    for (n, labels), value in samples.items():
        d = dict(labels)
        if n == name and all(d.get(k) == v for k, v in match.items()):
            out[d["label"]] = value
    return out


def test_presence_is_the_same_on_the_api_metrics_stream_and_terminal() -> None:
    from tarvelpump.station.cli import table_lines

    hub = Hub()
    hub.set_store(False, since=T0 - timedelta(seconds=30), error="database or disk is full", pending=4)
    hub.publish(round_of(every_presence(T0)))
    srv = serve(hub, None, port=0, near_end_s=600, alive_s=0.2)
    try:
        conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=5)
        conn.request("GET", "/events")
        stream = conn.getresponse()
        status, body = get(srv.url + "api/pumps")
        samples = scrape(srv.url)
        kinds: list[str] = []
        while "alive" not in kinds:  # a quiet station still says it is there, with its store's health
            line = stream.readline().decode().strip()
            if line.startswith("event: "):
                kinds.append(line.removeprefix("event: "))
                data = json.loads(stream.readline().decode().removeprefix("data: "))
        conn.close()
    finally:
        srv.stop()
    assert data["health"]["store"]["up"] is False and data["gone_after_s"] == 10
    assert datetime.fromisoformat(data["time"]).tzinfo is not None

    # -- the API: one order, each pump's presence and marks
    pumps = {p["label"]: p for p in body["pumps"]}
    order = [p["label"] for p in body["pumps"]]
    assert order == ["bed 4", "bed 9", "bed 8", "bed 3", "bed 1", "bed 2", "bed 5", "bed 6", "bed 7"]
    assert body["health"]["store"] == {"up": False, "since": (T0 - timedelta(seconds=30)).isoformat(),
                                       "error": "database or disk is full", "pending": 4}
    assert body["near_end_s"] == 600 and body["gone_after_s"] == 10
    one = pumps["bed 1"]
    assert (one["presence"], one["online"], one["alarmed"], one["stale"]) == ("unheard", False, False, False)
    four = pumps["bed 4"]
    assert (four["presence"], four["alarmed"], four["top_alarm_words"]) == ("offline", True, "Occlusion")
    assert pumps["bed 3"]["offline_reason"].startswith("radio down")
    assert pumps["bed 5"]["stale"] is True and pumps["bed 5"]["stale_after_s"] == 10  # 3 rounds of 2 s, floor 10
    assert pumps["bed 2"]["stale"] is False and pumps["bed 2"]["presence"] == "online"
    assert [p["label"] for p in body["pumps"] if p["door_open"]] == ["bed 6"]
    assert [p["label"] for p in body["pumps"] if p["near_end"]] == ["bed 7"]
    assert body["counts"] == {"pumps": 9, "alarmed": 3, "online": 5, "stale": 1, "offline": 2, "unheard": 1}

    # -- the metrics: up only while answering, presence one-hot, the last alarm still counted
    up = per_pump(samples, "tarvelpump_pump_up")
    assert {k for k, v in up.items() if v == 1} == {"bed 2", "bed 6", "bed 7", "bed 8", "bed 9"}
    assert sum(up.values()) == body["counts"]["online"] and len(up) == 9
    for presence in ("online", "stale", "offline", "unheard"):
        shown = per_pump(samples, "tarvelpump_pump_presence", presence=presence)
        assert len(shown) == 9 and sum(shown.values()) == body["counts"][presence], presence
        assert {k for k, v in shown.items() if v} == {p["label"] for p in body["pumps"]
                                                      if (p["presence"] if not p["stale"] else "stale") == presence}
    alarm_active = per_pump(samples, "tarvelpump_pump_alarm_active")
    assert {k for k, v in alarm_active.items() if v} == {p["label"] for p in body["pumps"] if p["alarmed"]}
    assert samples[("tarvelpump_store_up", ())] == 0 and samples[("tarvelpump_store_pending_rounds", ())] == 4

    # -- the terminal: the same order, the same counts, each state in words
    rows = table_lines(hub.views(), [], "ward 3", health=hub.health())
    assert "9 pumps · 3 in alarm · 2 offline · 1 not yet heard · 1 stale" in rows[0]
    assert any("STORE NOT WRITABLE since" in r and "history and MQTT paused" in r for r in rows[:3])
    table = [r for r in rows if r.startswith("bed ")]
    assert [" ".join(r.split()[:2]) for r in table] == order
    row = {" ".join(r.split()[:2]): r for r in table}
    assert "OFFLINE" in row["bed 4"] and "last: ALARM_OCCLUSION" in row["bed 4"] and "no answer" in row["bed 4"]
    assert "OFFLINE" in row["bed 3"] and "radio down" in row["bed 3"]
    assert "NOT HEARD" in row["bed 1"] and "STALE" in row["bed 5"] and "RUN" in row["bed 2"]
    assert "OFFLINE" not in row["bed 8"] and "ALARM_MOTOR_CHECK_FAULT" in row["bed 8"]
