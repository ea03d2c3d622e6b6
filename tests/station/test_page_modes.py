"""The page in a real headless Chromium: a log-in beyond loopback, the compact
mode at 1920x1080, one language at a time, the hospital's page, what is not
current told from what is, and a pump's own page."""

from __future__ import annotations

import os
import re
import time
import urllib.error
import urllib.parse
from collections.abc import Iterator
from datetime import timedelta
from pathlib import Path
from typing import Any

import pytest

from _browser import chromium, missing, tiles
from _core import event
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
        browser.get(f"http://127.0.0.1:{lan.port}/pump/bed-1")  # a pump's own page, behind the same log-in
        until("the pump's page live", lambda: browser.find_element("id", "link").text == "Live"
              and [t[1] for t in tiles(browser)] == ["bed 1"])
        browser.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {}})
        browser.get(f"http://127.0.0.1:{lan.port}/pump/bed-1")
        assert status_of(browser) == 401 and not tiles(browser)

        browser.get(local.url)  # loopback: no password asked
        assert status_of(browser) == 200
        until("the loopback page's tile", lambda: [t[1] for t in tiles(browser)] == ["bed 1"])
    finally:
        lan.stop()
        local.stop()


def sixty(at: Any) -> list[PumpView]:
    # Passes of 30 s: nothing turns stale, nor a reading old, while a loaded machine draws the page.
    out = []
    for n in range(1, 61):
        if n in (7, 23):
            out.append(alarm(f"bed {n}", at, "ALARM_OCCLUSION", "管路堵塞", 0, 60 * n, round_s=30.0))
        elif n == 41:
            out.append(view(f"bed {n}", at, presence=OFFLINE, offline_reason="no answer", round_s=30.0))
        elif n == 12:  # the door read well over a pass ago: the band says when
            out.append(view(f"bed {n}", at, door=1, read_at={"door": at - timedelta(seconds=120)}, round_s=30.0))
        elif n == 30:  # the time left read within the pass: no age
            out.append(view(f"bed {n}", at, remaining_s=240, read_at={"remaining_s": at}, round_s=30.0))
        else:
            out.append(view(f"bed {n}", at, running=1 if n % 5 == 0 else 2, running_name="STOP" if n % 5 == 0
                            else "RUN", running_text="停止" if n % 5 == 0 else "运行", round_s=30.0))
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
                assert re.search(r"DOOR OPEN · read 2 min ago", top["bed 12"][3]) and "NEAR END" in top["bed 30"][3]
                assert "read " not in top["bed 30"][3] and "read " not in top["bed 1"][3]
                assert browser.find_element("id", "summary").text.startswith("60 pumps · 2 in alarm · 1 offline")
                assert browser.find_element("id", "lang").text == "中文"
            else:
                assert "报警：管路堵塞" in top["bed 7"][3] and "Occlusion" not in top["bed 7"][3]
                assert "运行" in top["bed 1"][3] and "Running" not in top["bed 1"][3]
                assert re.search(r"泵门打开 · 2 分钟前读取", top["bed 12"][3]) and "离线" in top["bed 41"][3]
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


#: [pump id, classes, bands, muted lines, overflows] of each tile: what is bright, what is muted, what is cut
MARKS_JS = """
return [...document.querySelectorAll('#pumps .tile')].map(t => [t.dataset.pump, t.className,
    [...t.querySelectorAll('.band')].map(b => b.textContent),
    [...t.querySelectorAll('.last-known')].map(b => b.textContent),
    [t, ...t.children].filter(c => c.scrollWidth > c.clientWidth || c.scrollHeight > c.clientHeight)
        .map(c => c.className + ' ' + c.scrollWidth + '/' + c.clientWidth + ' ' + c.scrollHeight + '/' + c.clientHeight)]);
"""
ERROR = "[Errno 2] could not open port /dev/ttyUSB9: [Errno 2] No such file or directory: '/dev/ttyUSB9'"
LONG = "Paediatric Intensive Care Unit, North Wing, Level 4 — beds 1 to 24 and the isolation rooms"


def test_compact_marks_the_links_error_a_long_name_and_a_pumps_own_page(browser: Any, tmp_path: Path) -> None:
    from tarvelpump.station.records.model import Reading
    from tarvelpump.station.records.store import Store

    at = now()
    old = at - timedelta(seconds=100)
    views = [view(f"bed {n}", at) for n in range(1, 25)]
    views[0] = alarm("bed 1", at, "ALARM_INFUSION_NEARLY_COMPLETE", "即将输液完毕", 3, 70, door=1, remaining_s=200)
    views[1] = alarm("bed 2", at, "ALARM_OCCLUSION", "管路堵塞", 0, 300, presence=OFFLINE, offline_reason="no answer",
                     last_seen=old)
    for i in (2, 3):  # two pumps behind one dead radio: its error said once, their tiles say its head
        views[i] = view(f"bed {i + 1}", at, link="radio-b", presence=OFFLINE, offline_reason="radio down: " + ERROR,
                        last_seen=old, door=1, remaining_s=240 if i == 2 else 5400)
    views[4] = view("bed 5", at, round_s=2.0, last_seen=at - timedelta(seconds=60), door=1)  # stale
    views[5] = view("bed 6", at, door=1, remaining_s=200)  # current: bright bands
    readings = [Reading("bed 3", "radio-b", old - timedelta(seconds=s), running=2, alarm_word=0x100 if s == 2 else 0,
                        remaining_s=300 if s == 4 else None) for s in (6, 4, 2)]
    raised = event("alarm_raised", "bed 3", "radio-b", old, alarm="ALARM_OCCLUSION")
    hub = Hub()
    with Store(tmp_path / "ward.sqlite") as store:
        hub.commit_through(store.commit, name=str(store.path))
        hub.publish(RoundResult(link="radio-b", started=at, duration_s=0.1, exchanges=3, readings=tuple(readings),
                                events=(raised,), views=tuple(views)))
        srv = serve(hub, store, port=0, title=LONG, near_end_s=300)
        shots = Path(os.environ.get("TARVELPUMP_SCREENSHOTS") or tmp_path)
        try:
            browser.get(srv.url + "?compact=1&lang=en")
            until("24 tiles", lambda: len(tiles(browser)) == 24)
            marks = {m[0]: m for m in browser.execute_script(MARKS_JS)}
            # compact: the alarmed and offline tiles say all they have, nothing cut on any tile
            assert not [m for m in marks.values() if m[4]], [m for m in marks.values() if m[4]]
            wide = browser.execute_script("return [...document.querySelectorAll('#pumps .tile')].map(t => "
                                          "[t.dataset.pump, t.getBoundingClientRect().width])")
            assert {w[0] for w in wide if w[1] > 250} == {"bed-1", "bed-2", "bed-3", "bed-4"}
            # bright bands only on a current pump; on the others what was last known, said so
            assert marks["bed-1"][2] == ["DOOR OPEN", "NEAR END · 3 min left"] and marks["bed-6"][2][0] == "DOOR OPEN"
            assert marks["bed-3"][2] == [] and marks["bed-3"][3] == ["last known: door open",
                                                                      "last known: near end · 4 min left"]
            assert marks["bed-5"][2] == [] and marks["bed-5"][3] == ["last known: door open"] and "stale" in marks["bed-5"][1]
            text = {t[0]: t[3] for t in tiles(browser)}
            assert "last known: 1 h 30 min left" in text["bed-4"] and "OFFLINE — radio down" in text["bed-4"]
            assert "1 h 30 min left" in text["bed-7"] and "last known" not in text["bed-7"]
            assert not [k for k, t in text.items() if "Errno" in t]
            links = browser.find_element("id", "links").text
            assert links == "radio-b: radio down: " + ERROR
            # a long name ends in "…": the summary and the Live pill stay on the screen
            title = browser.find_element("id", "title")
            assert title.get_attribute("title") == LONG
            assert browser.execute_script("const t = document.getElementById('title'); return t.scrollWidth > t.clientWidth")
            until("the stream live", lambda: browser.find_element("id", "link").text == "Live")
            right = browser.execute_script("return document.getElementById('link').getBoundingClientRect().right")
            assert right <= 1920
            browser.save_screenshot(str(shots / "compact-alarmed-offline.png"))

            browser.get(srv.url + "?lang=zh")
            until("large tiles", lambda: len(tiles(browser)) == 24)
            zh = {m[0]: m for m in browser.execute_script(MARKS_JS)}
            assert zh["bed-3"][3] == ["最后已知：泵门打开", "最后已知：即将结束 · 剩余 4 分钟"]
            assert "剩余 1 小时 30 分钟" in {t[0]: t[3] for t in tiles(browser)}["bed-7"]
            browser.get(srv.url + "?lang=en")
            until("large tiles", lambda: len(tiles(browser)) == 24)
            browser.save_screenshot(str(shots / "offline-marks.png"))

            # each tile leads to its pump's page: the tile, the link's whole error, the readings and events
            assert browser.execute_script(
                "return document.querySelector(\"#pumps .tile[data-pump='bed-3']\").getAttribute('href')") \
                == "/pump/bed-3?lang=en"
            browser.execute_script("document.querySelector(\"#pumps .tile[data-pump='bed-3']\").click()")
            until("the pump's page", lambda: [t[0] for t in tiles(browser)] == ["bed-3"])
            assert urllib.parse.urlparse(browser.current_url).path == "/pump/bed-3"
            rows = until("its readings", lambda: browser.execute_script(
                "return [...document.querySelectorAll('#readings tbody tr')].map(r => r.innerText)"))
            assert len(rows) == 3 and "Occlusion" in rows[0] and "5 min" in rows[1]  # newest first
            assert "offline: radio down: " + ERROR in browser.find_element("id", "detail").text
            assert "bed 3 — Alarm raised: Occlusion" in browser.find_element("id", "events").text
            assert browser.find_element("id", "title").text.startswith("bed 3 · Paediatric")
            browser.save_screenshot(str(shots / "pump-page.png"))
            # kept live: back on the air, its marks are current again and bright
            hub.publish(RoundResult(link="radio-b", started=now(), duration_s=0.1, exchanges=1, readings=(), events=(),
                                    views=(view("bed 3", now(), link="radio-b", door=1, remaining_s=240),)))
            until("bed 3 back", lambda: browser.execute_script(MARKS_JS)[0][2] == ["DOOR OPEN", "NEAR END · 4 min left"])
            assert get(srv.url + "api/pumps/bed-3/history?limit=2")["readings"][0]["alarm_words"] == ["Occlusion"]
            for path in ("pump/bed-99", "api/pumps/bed-99/history", "api/pumps/bed-3/history?limit=0"):
                with pytest.raises(urllib.error.HTTPError) as refused:
                    get(srv.url + path)
                assert refused.value.code == (400 if "limit" in path else 404)
        finally:
            srv.stop()


def get(url: str) -> Any:
    import json
    import urllib.request

    with urllib.request.urlopen(url, timeout=5) as r:
        return json.load(r)


def test_the_site_groups_its_tiles_by_ward_with_the_alarmed_first(browser: Any) -> None:

    at = now()
    hub = Hub()
    for ward in ("ward c", "ward a", "ward b"):
        views = [_with_id(view(f"bed {n}", at, station=ward), f"{ward[-1]}.bed-{n}") for n in range(1, 5)]
        if ward != "ward b":
            views[2] = _with_id(alarm("bed 3", at, "ALARM_OCCLUSION", "管路堵塞", 0, 500 if ward == "ward c" else 50,
                                      station=ward), f"{ward[-1]}.bed-3")
        hub.publish(round_of(views, ward))
    raised = event("alarm_raised", "bed 3", "w", at, alarm="ALARM_OCCLUSION", station="ward c", pump_id="c.bed-3")
    srv = serve(hub, None, port=0, title="general", wards=True)
    hub.publish(RoundResult(link="ward c", started=at, duration_s=0.1, exchanges=1, readings=(), events=(raised,),
                            views=()))  # the view holds the events it heard
    try:
        browser.get(srv.url + "?lang=en")
        until("twelve tiles", lambda: len(tiles(browser)) == 12)
        laid = browser.execute_script("return [...document.querySelectorAll('#pumps > *')].map("
                                      "e => e.classList.contains('tile') ? e.dataset.pump : '# ' + e.textContent)")
        # the site's alarms first, the longest standing on top, then each ward by name with its other pumps
        assert laid == ["# alarmed pumps of the whole site", "c.bed-3", "a.bed-3",
                        "# ward a — 4 pumps · 1 in alarm (above)", "a.bed-1", "a.bed-2", "a.bed-4",
                        "# ward b — 4 pumps", "b.bed-1", "b.bed-2", "b.bed-3", "b.bed-4",
                        "# ward c — 4 pumps · 1 in alarm (above)", "c.bed-1", "c.bed-2", "c.bed-4"]
        # a view keeps no readings: its pump's page says so, with the state and the events it holds
        browser.get(srv.url + "pump/c.bed-3?lang=en")
        until("the view's pump", lambda: [t[0] for t in tiles(browser)] == ["c.bed-3"])
        note = until("the note on readings", lambda: browser.find_element("id", "readings-note").text)
        assert note.startswith("Readings are kept by each ward's station")
        assert "ward c · bed 3 — Alarm raised: Occlusion" in browser.find_element("id", "events").text
        assert browser.find_element("id", "back").get_attribute("href").endswith("/?lang=en&ward=ward+c")
    finally:
        srv.stop()
