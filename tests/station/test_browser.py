"""The live page in a real headless Chromium, fed by a station on a virtual ward."""

from __future__ import annotations

import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from _browser import chromium, missing, tiles
from tarvelpump.station.hub import Hub
from tarvelpump.station.model import PumpView, RoundResult, now
from tarvelpump.station.web import serve

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
    from tarvelpump.station.config import PollConfig
    from tarvelpump.station.demo import Demo

    # Views reach the hub once per round, so an alarm shows after one to two
    # rounds: a fast line keeps those well inside the page's 2 s (at 9600
    # baud a round of six pumps alone takes about 1.3 s; see bench/page_latency.py).
    poll = PollConfig(gap=0.01, near_end_s=300)
    with Demo(moving=False, seed=3, baud=115200, poll=poll, name="Ward 3 东") as demo:
        assert demo.http_url
        browser.get(demo.http_url)
        shown = wait(browser, lambda s: len(s) == 12 and all("running" in t[2] for t in s), 15, "twelve calm tiles")
        assert [t[1] for t in shown] == [f"bed {n}" for n in range(1, 13)]  # by label, 2 before 10
        assert "Running · 运行" in shown[0][3] and "Ward 3 东" in browser.title

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
        assert "alarmed" in top[2] and "ALARM: Occlusion · 管路堵塞" in top[3]  # colour and words
        assert all("alarmed" not in t[2] for t in shown[2:])
        events = browser.find_element("id", "events").text
        assert "bed 10 — Alarm raised: Occlusion · 管路堵塞" in events and "bed 4 — Alarm raised" in events
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
    hub.publish(_round([PumpView(id="bed-1", label="bed 1", link="radio-a", addr=1, channel=0, last_seen=now())]))
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
    hub.publish(_round([PumpView(id="bed-2", label="bed 2", link="radio-a", addr=2, channel=0, online=False)]))
    srv = serve(hub, None, port=port)
    try:
        shown = wait(browser, lambda s: [t[1] for t in s] == ["bed 2"], 10, "the restarted station's pump")
        assert "offline" in shown[0][2] and "OFFLINE" in shown[0][3]
        assert link.text == "Live"
        # and it is live again, not just reloaded once
        hub.publish(_round([PumpView(id="bed-2", label="bed 2", link="radio-a", addr=2, channel=0,
                                     running=2, running_name="RUN", last_seen=now())]))
        wait(browser, lambda s: "Running" in s[0][3] and "offline" not in s[0][2], 2, "bed 2 back online")
    finally:
        srv.stop()
