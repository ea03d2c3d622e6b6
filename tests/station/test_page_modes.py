"""The page in a real headless Chromium: a log-in beyond loopback, the compact
mode at 1920x1080, one language at a time, and the hospital's page."""

from __future__ import annotations

import os
import re
import time
import urllib.parse
from collections.abc import Iterator
from datetime import timedelta
from pathlib import Path
from typing import Any

import pytest

from _browser import chromium, missing, tiles
from tarvelpump.station.settings import passwords
from tarvelpump.station.settings.config import HttpConfig
from tarvelpump.station.hub import Hub
from tarvelpump.station.records.model import OFFLINE, PumpView, RoundResult, now
from tarvelpump.station.outputs.web import serve

from _views import alarm, view


@pytest.fixture
def browser(tmp_path: Path) -> Iterator[Any]:
    why = missing()
    if why:
        pytest.skip(why)
    driver = chromium(tmp_path, 1920, 1080)
    try:
        yield driver
    finally:
        driver.quit()


def until(what: str, check: Any, timeout: float = 10.0) -> Any:
    deadline = time.monotonic() + timeout
    while True:
        got = check()
        if got:
            return got
        if time.monotonic() > deadline:
            pytest.fail(f"not within {timeout} s: {what}")
        time.sleep(0.05)


def status_of(driver: Any) -> int:
    return int(driver.execute_script("return performance.getEntriesByType('navigation')[0].responseStatus"))


def round_of(views: list[PumpView], link: str = "radio-a") -> RoundResult:
    return RoundResult(link=link, started=now(), duration_s=0.1, exchanges=len(views), readings=(), events=(),
                       views=tuple(views))


def test_beyond_loopback_the_page_asks_for_a_password_and_on_loopback_it_does_not(browser: Any) -> None:
    import base64

    hub = Hub()
    hub.publish(round_of([view("bed 1", now())]))
    web = HttpConfig(users={"nurse": passwords.hash_password("correct horse")})
    lan = serve(hub, None, "0.0.0.0", 0, http=web)
    local = serve(hub, None, port=0)
    try:
        browser.get(f"http://127.0.0.1:{lan.port}/")
        assert status_of(browser) == 401 and not tiles(browser)
        # Chromium holds the page back while it asks for the password: nothing of the ward shows
        assert "bed 1" not in browser.find_element("tag name", "html").text
        # with the nurse's log-in every request of the page (its API calls and its stream) gets through
        browser.execute_cdp_cmd("Network.enable", {})
        token = base64.b64encode(b"nurse:correct horse").decode()
        browser.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {"Authorization": "Basic " + token}})
        browser.get(f"http://127.0.0.1:{lan.port}/")
        assert status_of(browser) == 200
        until("the tile behind the log-in", lambda: [t[1] for t in tiles(browser)] == ["bed 1"])
        until("its stream live", lambda: browser.find_element("id", "link").text == "Live")
        browser.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {}})

        browser.get(local.url)  # loopback: no password asked
        assert status_of(browser) == 200
        until("the loopback page's tile", lambda: [t[1] for t in tiles(browser)] == ["bed 1"])
    finally:
        lan.stop()
        local.stop()


def sixty(at: Any) -> list[PumpView]:
    out = []
    for n in range(1, 61):
        if n in (7, 23):
            out.append(alarm(f"bed {n}", at, "ALARM_OCCLUSION", "管路堵塞", 0, 60 * n))
        elif n == 41:
            out.append(view(f"bed {n}", at, presence=OFFLINE, offline_reason="no answer"))
        elif n == 12:  # the door read well over a pass ago: the band says when
            out.append(view(f"bed {n}", at, door=1, read_at={"door": at - timedelta(seconds=40)}))
        elif n == 30:  # the time left read within the pass: no age
            out.append(view(f"bed {n}", at, remaining_s=240, read_at={"remaining_s": at}))
        else:
            out.append(view(f"bed {n}", at, running=1 if n % 5 == 0 else 2, running_name="STOP" if n % 5 == 0
                            else "RUN", running_text="停止" if n % 5 == 0 else "运行"))
    return out


def test_compact_sixty_pumps_on_one_screen_in_either_language(browser: Any, tmp_path: Path) -> None:
    hub = Hub()
    hub.publish(round_of(sixty(now())))
    srv = serve(hub, None, port=0, title="Ward 3 东")
    folder = Path(os.environ.get("TARVELPUMP_SCREENSHOTS") or tmp_path)
    try:
        for lang in ("en", "zh"):
            browser.get(srv.url + f"?compact=1&lang={lang}")
            shown = until("sixty tiles", lambda: len(tiles(browser)) == 60 and tiles(browser))
            boxes = browser.execute_script(
                "return [...document.querySelectorAll('#pumps .tile')].map(t => t.getBoundingClientRect())"
                ".map(r => [r.left, r.top, r.right, r.bottom]);")
            # every tile whole on a 1920x1080 screen, none over another
            assert all(0 <= l and r <= 1920 and 0 <= t and b <= 1080 for l, t, r, b in boxes), max(b[3] for b in boxes)
            assert len({(round(b[0]), round(b[1])) for b in boxes}) == 60
            assert min(b[2] - b[0] for b in boxes) >= 140 and min(b[3] - b[1] for b in boxes) >= 120
            top = {t[1]: t for t in shown}
            assert [t[1] for t in shown[:3]] == ["bed 23", "bed 7", "bed 41"]
            if lang == "en":
                assert "ALARM: Occlusion" in top["bed 7"][3] and "管路堵塞" not in top["bed 7"][3]
                assert "Running" in top["bed 1"][3] and "运行" not in top["bed 1"][3]
                assert re.search(r"DOOR OPEN · read 4\d s ago", top["bed 12"][3]) and "NEAR END" in top["bed 30"][3]
                assert "read " not in top["bed 30"][3] and "read " not in top["bed 1"][3]
                assert browser.find_element("id", "summary").text.startswith("60 pumps · 2 in alarm · 1 offline")
                assert browser.find_element("id", "lang").text == "中文"
            else:
                assert "报警：管路堵塞" in top["bed 7"][3] and "Occlusion" not in top["bed 7"][3]
                assert "运行" in top["bed 1"][3] and "Running" not in top["bed 1"][3]
                assert re.search(r"泵门打开 · 4\d 秒前读取", top["bed 12"][3]) and "离线" in top["bed 41"][3]
                assert browser.find_element("id", "summary").text.startswith("60 台泵 · 2 报警 · 1 离线")
                assert browser.find_element("id", "events-title").text == "最新事件"
            shot = folder / f"compact-60-{lang}.png"
            browser.save_screenshot(str(shot))
            assert shot.stat().st_size > 20_000
        # without ?lang=, the browser's own language (Chromium here says English)
        browser.get(srv.url)
        assert browser.execute_script("return document.documentElement.lang") == "en"
        until("large tiles", lambda: len(tiles(browser)) == 60)
        assert browser.execute_script("return document.querySelector('#pumps .tile').getBoundingClientRect().height") > 150
    finally:
        srv.stop()
    print(f"screenshots in {folder}")


def test_the_hospital_page_counts_every_ward_and_filters_one(browser: Any, tmp_path: Path) -> None:
    hub = Hub()
    at = now()
    for w in range(1, 6):
        views = [view(f"bed {n}", at, station=f"ward {w}", round_s=15.0) for n in range(1, 61)]
        for v in views:
            v.id = f"w{w}.{v.id}"
        if w in (2, 4):
            views[w] = alarm(f"bed {w + 1}", at, "ALARM_OCCLUSION", "管路堵塞", 0, 100 * w, station=f"ward {w}")
            views[w].id = f"w{w}.bed-{w + 1}"
        if w == 5:
            for v in views[:3]:
                v.presence, v.offline_reason = OFFLINE, "gateway offline"
        hub.publish(round_of(views, f"w{w}"))
    srv = serve(hub, None, port=0, title="general", wards=True, alive_s=0.5)
    try:
        browser.get(srv.url + "?lang=en")
        cards = until("the wards' cards", lambda: browser.execute_script(
            "return [...document.querySelectorAll('#wards .ward-card')].map(c => [c.dataset.ward, c.innerText,"
            " c.className])"))
        assert [c[0] for c in cards] == ["ward 2", "ward 4", "ward 1", "ward 3", "ward 5"]  # alarms first
        card = {c[0]: c for c in cards}
        assert "60 pumps · 1 in alarm · 0 offline" in card["ward 2"][1] and "alarmed" in card["ward 2"][2]
        assert "60 pumps · 0 in alarm · 3 offline" in card["ward 5"][1]
        # 300 pumps: the site's page shows its alarmed pumps, the longest standing first
        shown = until("the site's alarmed pumps", lambda: len(tiles(browser)) == 2 and tiles(browser))
        assert [(t[0], t[1]) for t in shown] == [("w4.bed-5", "bed 5"), ("w2.bed-3", "bed 3")]
        assert browser.find_element("id", "summary").text.startswith("300 pumps · 2 in alarm · 3 offline")
        # an alarm raised anywhere reaches the site's page
        nine = _with_id(alarm("bed 9", now(), "ALARM_AIR_IN_LINE", "请排除管路气泡", 2, 1, station="ward 3"), "w3.bed-9")
        hub.publish(round_of([nine], "w3"))
        until("ward 3's new alarm on the site's page", lambda: [t[0] for t in tiles(browser)] == [
            "w4.bed-5", "w2.bed-3", "w3.bed-9"])
        shot = Path(os.environ.get("TARVELPUMP_SCREENSHOTS") or tmp_path) / "hospital-site.png"
        browser.save_screenshot(str(shot))

        # the ward filter: one ward's tiles, all of them, and a way back
        browser.execute_script("document.querySelector(\"#wards .ward-card[data-ward='ward 4']\").click()")
        until("ward 4's tiles", lambda: len(tiles(browser)) == 60)
        assert urllib.parse.parse_qs(urllib.parse.urlparse(browser.current_url).query)["ward"] == ["ward 4"]
        shown = tiles(browser)
        assert shown[0][1] == "bed 5" and all("ward 4" in t[3] for t in shown)
        assert browser.find_element("id", "title").text == "general · ward 4"
        assert not browser.find_element("id", "wards").is_displayed()
        assert browser.find_element("id", "site").is_displayed()
        assert browser.find_element("id", "summary").text.startswith("60 pumps · 1 in alarm · 0 offline")
    finally:
        srv.stop()


def _with_id(v: PumpView, pid: str) -> PumpView:
    v.id = pid
    return v
