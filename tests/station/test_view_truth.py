"""What a hospital view must say truly at its edges: a killed gateway's pumps offline at once and
for good, two wards' pumps never one, the pumps a full view turns away named, and no message
larger than it reads ever in its memory."""

from __future__ import annotations

import json
import signal
import subprocess
import sys
import urllib.parse
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from tarvelpump.station.app import Station
from tarvelpump.station.cli import main
from tarvelpump.station.hospital.view import View
from tarvelpump.station.records.model import RoundResult
from tarvelpump.station.settings.config import load_config
from tarvelpump.virtualward import VirtualWard

import _browser
from _broker import MOSQUITTO, Broker
from test_mqtt import wait_for
from test_view_edges import Publisher, api, get, pump

pytestmark = pytest.mark.skipif(not Path(MOSQUITTO).exists(), reason="mosquitto not installed")


@pytest.fixture
def broker(tmp_path: Path) -> Iterator[Broker]:
    b = Broker(tmp_path).start()
    yield b
    b.stop()


def ward_config(path: Path, port: str, labels: list[str]) -> Path:
    path.write_text(f'[station]\nname = "{path.stem}"\n[store]\npath = "{path.stem}.sqlite"\n[poll]\ngap = 0.0\n'
                    f'[[link]]\nname = "radio"\nport = "{port}"\ntimeout = 0.3\nmode = "fixed"\n'
                    + "".join(f'[[pump]]\nlabel = "{label}"\nlink = "radio"\naddr = {801 + n}\n'
                              for n, label in enumerate(labels)))
    return path


def test_a_killed_gateway_is_offline_at_once_and_wards_with_dots_stay_apart(broker: Broker,
                                                                            tmp_path: Path) -> None:
    """Ward "n.annex" with bed 1 and ward "n" with "annex.bed 1" are two pumps. The first ward's
    station is killed (SIGKILL): the broker says "offline" for it, and its pumps are offline at once,
    and stay so through every later batch until it is back and each pump is heard again."""
    annex, n = VirtualWard("fixed").start(), VirtualWard("fixed").start()
    for ward, labels in ((annex, ["bed 1", "bed 2"]), (n, ["annex.bed 1"])):
        for i, label in enumerate(labels):
            ward.add(801 + i, 0, label=label)
    killed = ward_config(tmp_path / "annex.toml", annex.port, ["bed 1", "bed 2"])
    seen: list[RoundResult] = []

    def station() -> subprocess.Popen[bytes]:
        return subprocess.Popen([sys.executable, "-m", "tarvelpump", "station", "run", "--config", str(killed),
                                 "--json", "--mqtt", broker.url("general/n.annex")],
                                stdout=subprocess.DEVNULL, stderr=(tmp_path / "annex.log").open("ab"))

    proc = station()
    publisher = Publisher(broker)
    try:
        with View(broker.url("general"), "127.0.0.1:0") as view, \
                Station(load_config(ward_config(tmp_path / "n.toml", n.port, ["annex.bed 1"])), http=None,
                        mqtt=broker.url("general/n")):
            view.hub.add(seen.append)
            assert view.url is not None
            mine, other = {"n~-annex.bed-1", "n~-annex.bed-2"}, "n.annex.bed-1"

            def shown() -> dict[str, Any]:
                return {v.id: v for v in view.hub.views()}

            def batches(k: int) -> None:
                """Ward n's pump changes ``k`` times (its alarm), each a state the view shows: ``k`` more
                batches of the view (a state that changes nothing shown comes only every 15 s)."""
                for _ in range(k):
                    word = 0 if shown()[other].alarm_word else 0x0100
                    n.pump("annex.bed 1").update(alarm=word)
                    wait_for(lambda: shown()[other].alarm_word == word, 20)

            wait_for(lambda: set(shown()) == mine | {other} and all(v.online for v in shown().values()), 30)
            assert (shown()["n~-annex.bed-1"].label, shown()[other].label) == ("bed 1", "annex.bed 1")
            for vid, label in (("n~-annex.bed-1", "bed 1"), (other, "annex.bed 1")):
                assert api(view.url, vid)[1]["label"] == label  # "~" needs no escape that could change the id
            assert api(view.url, "n.annex.bed-2")[0] == 404
            # an event of one of them is never the other's
            annex.pump("bed 1").update(alarm=0x0100)
            for vid, want in (("n~-annex.bed-1", ["alarm_raised"]), (other, [])):
                query = "api/events?pump=" + urllib.parse.quote(vid)
                wait_for(lambda: [e["kind"] for e in get(view.url + query)[1]["events"]] == want, 20)
            assert shown()["n~-annex.bed-1"].link == "n~-annex.radio" and shown()[other].alarm_word == 0

            proc.send_signal(signal.SIGKILL)
            proc.wait(timeout=10)
            wait_for(lambda: all(not shown()[vid].online and shown()[vid].offline_reason == "gateway offline"
                                 for vid in mine))
            assert shown()[other].online
            start = len(seen)
            # Several batches later (ward n's pump changing), no batch since has shown a pump of the
            # killed gateway online, nor does the page.
            batches(3)
            assert sum(other in {v.id for v in r.views} for r in seen[start:]) >= 3
            assert not [v for r in seen[start - 1:] for v in r.views if v.id in mine and v.online]
            assert {p["id"]: p["presence"] for p in get(view.url + "api/pumps")[1]["pumps"]} == {
                "n~-annex.bed-1": "offline", "n~-annex.bed-2": "offline", other: "online"}

            # its status alone back online: each pump stays offline until its own state comes
            publisher.send("tarvelpump/general/n.annex/status", "online", retain=True)
            wait_for(lambda: view.source.gateways["n.annex"] == "online")
            start = len(seen)
            batches(2)
            assert sum(other in {v.id for v in r.views} for r in seen[start:]) >= 2
            assert not any(shown()[vid].online for vid in mine)
            proc = station()  # and the gateway itself: every pump online again
            wait_for(lambda: all(shown()[vid].online for vid in mine), 30)
    finally:
        publisher.close()
        if proc.poll() is None:
            proc.kill()
        proc.wait(timeout=10)
        annex.stop()
        n.stop()


def page_banner(url: str, tmp: Path) -> str | None:
    """The page's banner of refused pumps as Chromium shows it (None where no browser runs)."""
    if _browser.missing() is not None:
        return None
    driver = _browser.chromium(tmp)
    try:
        driver.get(url)
        wait_for(lambda: driver.execute_script("return !document.getElementById('refused').hidden"))
        return str(driver.find_element("id", "refused").text)
    finally:
        driver.quit()


def test_a_full_view_names_whom_it_refuses_and_reads_nothing_over_its_bounds(
        broker: Broker, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    """Retained junk fills a view (3 pumps): the real pumps it turns away are counted and their
    gateway named in the API, the metrics and on the page; `--clear-retained` clears the junk, and
    the view makes room at once. A message larger than the view reads never reaches it (the broker
    drops it, as the view's MQTT 5 CONNECT asks), nor is a long ward name kept."""
    publisher = Publisher(broker)
    for i in range(5):
        publisher.state("junk", pump(f"fake {i}"))
    real = [pump("bed 1"), pump("bed 2")]

    def gateway() -> None:  # the real gateway publishes its pumps again, as every 15 s
        for view in real:
            publisher.state("ward-r", view)

    try:
        with View(broker.url("general"), "127.0.0.1:0", max_pumps=3, max_pumps_per_ward=3) as view:
            assert view.url is not None

            def said() -> dict[str, Any]:
                return dict(get(view.url + "api/pumps")[1]["health"]["view"])

            wait_for(lambda: len(view.hub.views()) == 3 and said()["refused_pumps"] == 2)
            gateway()
            wait_for(lambda: said()["refused_pumps"] == 4)
            health = said()
            assert sorted((w["ward"], w["pumps"]) for w in health["refused_wards"]) == [("junk", 2), ("ward-r", 2)]
            assert health["refused_wards_total"] == 2 and not health["refused_pumps_more"]
            assert 'tarvelpump_view_pumps_refused_total{reason="site",ward="ward-r"} 2.0' in get(view.url + "metrics")[1]
            banner = page_banner(view.url, tmp_path)
            assert banner is None or ("4 pumps NOT SHOWN" in banner and "ward-r (2)" in banner
                                      and "--clear-retained" in banner), banner

            # the junk cleared on the broker: the view forgets it at once, and the real pumps come in
            assert main(["view", "--mqtt", broker.url("general"), "--clear-retained", "junk"]) == 0
            assert capsys.readouterr().out.splitlines() == ["junk: 5 retained messages cleared"]

            def admitted() -> bool:
                gateway()
                return {v.label for v in view.hub.views()} == {"bed 1", "bed 2"}

            wait_for(admitted)
            wait_for(lambda: said()["refused_pumps"] == 0 and said()["refused_wards"] == [])
            with pytest.raises(SystemExit) as usage:
                main(["view", "--mqtt", broker.url("general"), "--clear-retained", "a/b"])
            assert usage.value.code == 2

            # a message over the view's bound: the broker never sends it; had it come, it would be counted
            dropped = view.source.dropped
            publisher.send("tarvelpump/general/ward-r/bed-3/state", "x" * (view.source.packet_max + 1))
            publisher.send("tarvelpump/general/ward-r/status", "online")  # sent after it: the view has it
            wait_for(lambda: view.source.gateways.get("ward-r") == "online")
            assert view.source.dropped == dropped
            # ward names longer than a station's: refused on arrival, none kept anywhere
            for i in range(300):
                publisher.client.publish(f"tarvelpump/general/{i:03d}{'w' * 20_000}/status", "offline", qos=1)
            publisher.send("tarvelpump/general/ward-s/status", "offline")
            wait_for(lambda: "ward-s" in view.source.gateways)
            assert view.source.dropped == dropped + 300
            assert set(view.source.gateways) == {"ward-r", "ward-s"}
            assert view.source._wards == {"junk", "ward-r", "ward-s"}  # named by the messages it took, only
    finally:
        publisher.close()

    # a view started anew gets no junk back from the broker
    with View(broker.url("general"), "127.0.0.1:0", max_pumps=3, max_pumps_per_ward=3) as view:
        wait_for(lambda: {v.label for v in view.hub.views()} == {"bed 1", "bed 2"})
