"""The live page in a real headless Chromium, fed by a station on a virtual ward."""

from __future__ import annotations

import os
import time
from collections.abc import Iterator
from datetime import datetime, timedelta
from pathlib import Path
from typing import Any

import pytest

from _browser import chromium, missing, tiles
from tarvelpump.station.hub import Hub
from tarvelpump.station.records.model import OFFLINE, ONLINE, PumpView, RoundResult, now
from tarvelpump.station.outputs.web import serve

from _views import alarm, every_presence, view

OCCLUSION = 0x100  # AlarmOrder 0: the most urgent
NEARLY_COMPLETE = 0x08  # AlarmOrder 3


@pytest.fixture
def browser(tmp_path: Path) -> Iterator[Any]:
    why = missing()
    if why:
        pytest.skip(why)
    driver = chromium(tmp_path)
    try:
        yield driver
    finally:
        driver.quit()


def wait(driver: Any, until: Any, timeout: float, what: str) -> list[list[str]]:
    deadline = time.monotonic() + timeout
    while True:
        shown = tiles(driver)
        if until(shown):
            return shown
        if time.monotonic() > deadline:
            pytest.fail(f"not within {timeout} s: {what}; the page shows {[t[3] for t in shown[:3]]}")
        time.sleep(0.05)


def test_alarm_moves_to_the_top_within_two_seconds(browser: Any, tmp_path: Path) -> None:
    from tarvelpump.station.settings.config import PollConfig
    from tarvelpump.station.cli.demo import Demo

    # Views reach the hub once per round, so an alarm shows after one to two
    # rounds: a fast line keeps those well inside the page's 2 s (at 9600
    # baud a round of six pumps alone takes about 1.3 s; see bench/page_latency.py).
    poll = PollConfig(gap=0.01, near_end_s=300)
    with Demo(moving=False, seed=3, baud=115200, poll=poll, name="Ward 3 东") as demo:
        assert demo.http_url
        browser.get(demo.http_url)
        shown = wait(browser, lambda s: len(s) == 12 and all("running" in t[2] for t in s), 15, "twelve calm tiles")
        assert [t[1] for t in shown] == [f"bed {n}" for n in range(1, 13)]  # by label, 2 before 10
        assert "Running" in shown[0][3] and "运行" not in shown[0][3] and "Ward 3 东" in browser.title

        # A lesser alarm first, then a more urgent one on a pump of the other radio.
        demo.pump("bed 4").update(alarm=NEARLY_COMPLETE)
        shown = wait(browser, lambda s: s[0][1] == "bed 4" and "Infusion nearly complete" in s[0][3],
                     2.0, "bed 4 on top with its alarm")
        started = time.monotonic()
        demo.pump("bed 10").update(alarm=OCCLUSION)
        shown = wait(browser, lambda s: s[0][1] == "bed 10" and s[1][1] == "bed 4", 2.0,
                     "the occlusion above the nearly-complete alarm")
        assert time.monotonic() - started < 2.0
        top = shown[0]
        assert "alarmed" in top[2] and "ALARM: Occlusion" in top[3]  # colour and words, in one language
        assert all("alarmed" not in t[2] for t in shown[2:])
        events = browser.find_element("id", "events").text
        assert "bed 10 — Alarm raised: Occlusion" in events and "管路堵塞" not in events and "bed 4 — Alarm raised" in events
        assert "2 in alarm" in browser.find_element("id", "summary").text
        browser.save_screenshot(str(tmp_path / "station-page.png"))
        assert (tmp_path / "station-page.png").stat().st_size > 10_000

        # Cleared: back among the calm pumps, in label order.
        demo.pump("bed 10").update(alarm=0)
        wait(browser, lambda s: s[0][1] == "bed 4" and [t[1] for t in s[8:11]] == ["bed 9", "bed 10", "bed 11"],
             2.0, "bed 10 back in its place")


def _round(views: list[PumpView]) -> RoundResult:
    return RoundResult(link="radio-a", started=now(), duration_s=0.1, exchanges=len(views), readings=(),
                       events=(), views=tuple(views))


def test_page_reconnects_after_the_station_restarts(browser: Any) -> None:
    hub = Hub()
    srv = serve(hub, None, port=0)
    port = srv.port
    hub.publish(_round([PumpView(id="bed-1", label="bed 1", link="radio-a", addr=1, channel=0, last_seen=now(),
                                 presence=ONLINE)]))
    browser.get(srv.url)
    wait(browser, lambda s: [t[1] for t in s] == ["bed 1"], 10, "the first station's pump")
    link = browser.find_element("id", "link")
    assert link.text == "Live"

    srv.stop()
    deadline = time.monotonic() + 5
    while "reconnecting" not in link.text and time.monotonic() < deadline:
        time.sleep(0.05)
    assert "reconnecting" in link.text  # said in words, not only by colour
    time.sleep(3)  # down for a while, as a station being restarted is

    # Back on the same port with another picture: the page takes it whole.
    hub = Hub()
    hub.publish(_round([PumpView(id="bed-2", label="bed 2", link="radio-a", addr=2, channel=0, presence=OFFLINE)]))
    srv = serve(hub, None, port=port)
    try:
        shown = wait(browser, lambda s: [t[1] for t in s] == ["bed 2"], 10, "the restarted station's pump")
        assert "offline" in shown[0][2] and "OFFLINE" in shown[0][3]
        assert link.text == "Live"
        # and it is live again, not just reloaded once
        hub.publish(_round([PumpView(id="bed-2", label="bed 2", link="radio-a", addr=2, channel=0,
                                     running=2, running_name="RUN", last_seen=now(), presence=ONLINE)]))
        wait(browser, lambda s: "Running" in s[0][3] and "offline" not in s[0][2], 2, "bed 2 back online")
    finally:
        srv.stop()


def shoot(driver: Any, tmp_path: Path, name: str) -> Path:
    """A screenshot in the test's folder, or in $TARVELPUMP_SCREENSHOTS to keep it."""
    folder = Path(os.environ.get("TARVELPUMP_SCREENSHOTS") or tmp_path)
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / name
    # the whole page, not only what fits the window
    height = max(900, int(driver.execute_script("return document.documentElement.scrollHeight")))
    metrics = {"width": 1600, "deviceScaleFactor": 1, "mobile": False}
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {**metrics, "height": height})
    driver.save_screenshot(str(path))
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {**metrics, "height": 900})
    assert path.stat().st_size > 10_000
    return path


def hhmm(t: datetime, seconds: bool = False) -> str:
    return t.astimezone().strftime("%H:%M:%S" if seconds else "%H:%M")


def test_offline_alarm_stale_marks_and_the_page_of_a_gone_station(browser: Any, tmp_path: Path) -> None:
    from tarvelpump.station.cli import table_lines

    at = now()
    hub = Hub()
    down = at - timedelta(seconds=30)
    hub.set_store(False, since=down, error="database or disk is full", pending=4)
    hub.publish(_round(every_presence(at)))
    # an HL7 receiver that refuses everything, and a broker away long enough for its outbox to pass its bound
    box = {"rows": 4, "set_aside": 0, "superseded": 0, "bound": 10_000, "over_bound": False}
    hub.add_output("hl7", lambda: {"url": "mllp://engine:2575", "connected": True, "acked": 120, "waiting": 4,
                                   "refusing_since": down.isoformat(), "refusal": "AR: engine paused",
                                   "outbox": {**box, "set_aside": 7}})
    hub.add_output("mqtt", lambda: {"url": "mqtt://broker:1883/site/ward", "connected": False, "acked": 9,
                                    "waiting": 10_012, "outbox": {**box, "rows": 10_012, "over_bound": True}})
    srv = serve(hub, None, port=0, title="Ward 3 东", near_end_s=600, alive_s=0.5)
    try:
        browser.get(srv.url)
        shown = wait(browser, lambda s: len(s) == 9, 10, "nine tiles")
        tile = {t[1]: t for t in shown}
        # the page's order and counts are the terminal's
        rows = table_lines(hub.views(), [], "Ward 3 东", health=hub.health())
        assert [t[1] for t in shown] == [" ".join(r.split()[:2]) for r in rows if r.startswith("bed ")]
        summary = browser.find_element("id", "summary").text
        assert summary == "9 pumps · 3 in alarm · 2 offline · 1 not yet heard · 1 stale" and summary in rows[0]
        assert browser.title.startswith("(3 ALARM) Ward 3 东")

        # an offline pump keeps its last alarm, said in words, counted, and told apart from a live one
        four = tile["bed 4"]
        assert "alarmed" in four[2] and "offline" in four[2]
        since = hhmm(at - timedelta(seconds=300))
        assert f"OFFLINE — last alarm: Occlusion, since {since}" in four[3] and "no answer" in four[3]
        assert "ALARM: Occlusion" in tile["bed 9"][3] and "OFFLINE" not in tile["bed 9"][3]
        assert "unheard" in tile["bed 1"][2] and "NOT YET HEARD" in tile["bed 1"][3]
        assert "OFFLINE — radio down" in tile["bed 3"][3] and "running" not in tile["bed 3"][2]
        assert "stale" in tile["bed 5"][2] and "STALE" in tile["bed 5"][3] and "running" not in tile["bed 5"][2]
        assert "running" in tile["bed 2"][2] and "STALE" not in tile["bed 2"][3]
        bands = dict(browser.execute_script(
            "return [...document.querySelectorAll('#pumps .tile')].map(t => [t.querySelector('.label').textContent,"
            " [...t.querySelectorAll('.band')].map(b => b.className + ':' + b.textContent).join('|')]);"))
        assert bands["bed 6"].startswith("band door:DOOR OPEN") and bands["bed 7"].startswith("band near-end:NEAR END")
        assert {k for k, v in bands.items() if v} == {"bed 6", "bed 7"}
        banner = browser.find_element("id", "store").text
        assert banner.startswith(f"store not writable since {hhmm(down, True)}: history and MQTT paused")
        assert "database or disk is full" in banner
        outputs = browser.find_element("id", "outputs")
        assert outputs.text.splitlines() == [
            (f"HL7 to mllp://engine:2575 (connected) · receiver refusing since {hhmm(down, True)} (AR: engine paused)"
             " · 120 delivered · 4 waiting · 7 set aside (refused by the receiver)"),
            ("MQTT to mqtt://broker:1883/site/ward (not connected) · 9 delivered · 10012 waiting · 0 set aside"
             " (refused by the receiver) · more than 10000 waiting: periodic reports replaced by newer ones,"
             " every event kept")]
        assert "trouble" in outputs.get_attribute("class")
        from tarvelpump.station.outputs.metrics import StationMetrics
        registry = StationMetrics(hub).registry
        assert registry.get_sample_value("tarvelpump_output_refusing", {"output": "hl7"}) == 1.0
        assert registry.get_sample_value("tarvelpump_outbox_set_aside_rows", {"output": "hl7"}) == 7.0
        assert registry.get_sample_value("tarvelpump_outbox_over_bound", {"output": "mqtt"}) == 1.0
        shot = shoot(browser, tmp_path, "offline-alarm-and-marks.png")

        # a quiet station still says it is there: no banner, but tiles whose news is old say so on their own
        time.sleep(11)
        assert not browser.execute_script("return document.body.classList.contains('gone')")
        shown = tiles(browser)
        assert {t[1] for t in shown if "stale" in t[2]} == {"bed 2", "bed 5", "bed 6", "bed 7", "bed 8", "bed 9"}
        assert "1 stale" not in browser.find_element("id", "summary").text
    finally:
        srv.stop()
    stopped = time.monotonic()

    # the station is gone: within about two rounds (10 s at least) everything is greyed under a banner
    deadline = stopped + 15
    while not browser.execute_script("return document.body.classList.contains('gone')"):
        assert time.monotonic() < deadline, "the page never said its station is gone"
        time.sleep(0.1)
    assert time.monotonic() - stopped > 8  # not at the first hiccup either
    gone = browser.find_element("id", "gone")
    assert gone.is_displayed() and gone.text.startswith("NOTHING KNOWN SINCE ")
    assert browser.execute_script("return document.getElementById('gone').getBoundingClientRect().width") >= 1500
    filters = browser.execute_script(
        "return [...document.querySelectorAll('#pumps .tile')].map(t => getComputedStyle(t).filter)")
    assert len(filters) == 9 and all("grayscale(1)" in f for f in filters), filters
    assert "OFFLINE — last alarm: Occlusion" in browser.find_element("id", "pumps").text  # still readable
    # what a dead station last said of its connections is not shown as if it still held
    said = browser.find_element("id", "outputs").text
    assert "connected)" not in said and said.count("(not known: the station is not reachable)") == 2
    shot2 = shoot(browser, tmp_path, "station-gone.png")
    print(f"screenshots: {shot} {shot2}")


def test_one_order_on_the_terminal_the_api_the_page_and_the_view(browser: Any, tmp_path: Path) -> None:
    """The same pumps through a station's page and through `station view` over a real broker."""
    import json
    import urllib.request

    import paho.mqtt.client as mqtt
    from paho.mqtt.enums import CallbackAPIVersion

    from _broker import MOSQUITTO, Broker
    from tarvelpump.station.cli import table_lines
    from tarvelpump.station.hospital.view import View

    if not Path(MOSQUITTO).exists():
        pytest.skip("mosquitto not installed")
    at = now()
    views = [
        alarm("bed 1", at, "ALARM_KEY_STUCK", "键出错", -1, 500),  # unranked: after every ranked alarm
        alarm("bed 2", at, "ALARM_OCCLUSION", "管路堵塞", 0, 10),
        alarm("bed 3", at, "ALARM_INFUSION_NEARLY_COMPLETE", "即将输液完毕", 3, 900),
        alarm("bed 4", at, "ALARM_OCCLUSION", "管路堵塞", 0, 100, presence=OFFLINE, offline_reason="no answer"),
        view("bed 5", at),
        view("bed 6", at, presence=OFFLINE, offline_reason="no answer"),
        PumpView(id="bed-7", label="bed 7", link="radio-a", addr=7, channel=0),
        view("bed 10", at),
    ]
    want = ["bed 4", "bed 2", "bed 3", "bed 1", "bed 6", "bed 7", "bed 5", "bed 10"]

    def api(url: str) -> list[str]:
        with urllib.request.urlopen(url + "api/pumps", timeout=5) as r:
            return [p["label"] for p in json.load(r)["pumps"]]

    def terminal(hub: Hub) -> list[str]:
        return [r.split("· ")[-1].split("  ")[0].strip() for r in table_lines(hub.views(), [], "t", wards=True)
                if "bed " in r.split("  ")[0]]

    hub = Hub()
    hub.publish(_round(views))
    srv = serve(hub, None, port=0)
    broker = Broker(tmp_path).start()
    try:
        assert api(srv.url) == terminal(hub) == want
        browser.get(srv.url)
        wait(browser, lambda s: [t[1] for t in s] == want, 10, "the station's order")
        # a live update lands where the server puts it: an unranked alarm among the unranked, after the older
        hub.publish(_round([alarm("bed 10", now(), "ALARM_MOTOR_CHECK_FAULT", "系统出错", -1, 1)]))
        want2 = ["bed 4", "bed 2", "bed 3", "bed 1", "bed 10", "bed 6", "bed 7", "bed 5"]
        wait(browser, lambda s: [t[1] for t in s] == want2, 3, "bed 10 among the unranked alarms")
        assert api(srv.url) == terminal(hub) == want2

        # the same pumps published by a gateway, seen through `station view`
        client = mqtt.Client(CallbackAPIVersion.VERSION2)
        client.connect("127.0.0.1", broker.port)
        client.loop_start()
        for v in hub.views():
            client.publish(f"tarvelpump/general/ward-3/{v.id}/state", json.dumps(dict(v.to_json(), station="Ward 3")),
                           qos=1, retain=True).wait_for_publish(5)
        client.disconnect()
        client.loop_stop()
        with View(broker.url("general"), "127.0.0.1:0") as view_:
            deadline = time.monotonic() + 10
            while len(view_.hub.views()) < 8 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert api(view_.url) == terminal(view_.hub) == want2
            browser.get(view_.url)
            shown = wait(browser, lambda s: [t[1] for t in s] == want2, 10, "the view's order")
            assert all("Ward 3" in t[3] for t in shown)  # each tile names its ward
            assert browser.title.endswith("general")
    finally:
        srv.stop()
        broker.stop()
