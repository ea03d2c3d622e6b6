"""A newcomer's first hour: the example configuration, checked, served by a
virtual ward changed from a shell, and watched by a station."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from importlib import metadata
from pathlib import Path

from tarvelpump import __version__, comm

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "ward.toml"


def run(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "tarvelpump", *args], capture_output=True, text=True,
                          cwd=cwd, timeout=60)


def test_example_configuration_virtual_ward_and_station(tmp_path: Path) -> None:
    assert __version__ == metadata.version("tarvelpump")
    assert run("--version").stdout.strip() == f"tarvelpump {__version__}"

    folder = tmp_path / "ward"
    folder.mkdir()
    config = folder / "ward.toml"
    config.write_text(EXAMPLE.read_text().replace('http = "127.0.0.1:8750"\n', ""))
    # Paths are taken from the configuration's folder, wherever the command runs.
    checked = run("station", "check", "--config", str(config), "--json", cwd=tmp_path)
    assert checked.returncode == 0, checked.stderr
    resolved = json.loads(checked.stdout)
    assert resolved["store"] == str(folder / "ward3.sqlite")
    assert [(x["name"], x["port"], x["device"], len(x["pumps"])) for x in resolved["links"]] == [
        ("radio-a", str(folder / "radio-a.tty"), None, 3), ("radio-b", str(folder / "radio-b.tty"), None, 3)]
    assert "nothing was opened" in run("station", "check", "--config", str(config)).stdout
    assert not (folder / "ward3.sqlite").exists()

    ward = subprocess.Popen([sys.executable, "-m", "tarvelpump.virtualward", "--config", str(config)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            cwd=tmp_path)
    try:
        assert ward.stdout is not None and ward.stdin is not None
        served = [ward.stdout.readline() for _ in range(2)]
        assert [line.split(":")[0] for line in served] == ["radio-a", "radio-b"]
        assert all(line.rstrip().endswith("(3 pumps)") for line in served)

        def say(line: str) -> str:
            ward.stdin.write(line + "\n")
            ward.stdin.flush()
            return ward.stdout.readline().rstrip("\n")

        kelt = comm.Kelt(str(folder / "radio-a.tty"), timeout=0.5)
        assert kelt.get_pump_alarm(addr=803, channel=23).value == [0, 0, 0, 0]
        said = say('set "bed 3" alarm=occlusion door=open running=pause')
        assert said.startswith("ok: 'bed 3': running=pause door=open") and "alarm=occlusion" in said
        assert kelt.get_pump_alarm(addr=803, channel=23).value == [1, 0, 0, 0]
        assert say('set "bed 3" alarm=occlusion door=ajar').startswith("error: door must be one of")
        assert say('set "bed 9" door=open') == "error: no pump labelled 'bed 9'"
        assert say("dance").startswith("error: cannot read 'dance'")
        assert "door=open" in say('show "bed 3"')  # the refused line changed nothing

        # The station of the same file finds the ward where the file says it is.
        station = run("station", "run", "--config", str(config), "--json", "--seconds", "4", cwd=tmp_path)
        assert station.returncode == 0, station.stderr
        events = [json.loads(line) for line in station.stdout.splitlines()]
        bed3 = {(e["kind"], e.get("alarm")) for e in events if e["pump"] == "bed 3"}
        assert {("alarm_raised", "ALARM_OCCLUSION"), ("door_opened", None)} <= bed3
        assert not any(e["kind"] == "offline" for e in events)
        # Restarted, it continues: what stood before stands, nothing is raised again; a change
        # made while it was stopped is found, and said to be.
        assert say('set bed 3 running=run').startswith("ok:")
        again = run("station", "run", "--config", str(config), "--json", "--seconds", "4", cwd=tmp_path)
        assert again.returncode == 0, again.stderr
        later = [json.loads(line) for line in again.stdout.splitlines()]
        assert [(e["kind"], e["pump"], e.get("after_gap")) for e in later] == [("state_changed", "bed 3", True)]

        assert say("unplug radio-b") == "ok: radio-b unplugged" and not (folder / "radio-b.tty").exists()
    finally:
        ward.send_signal(signal.SIGTERM)
        ward.communicate(timeout=10)
    assert ward.returncode == 0
    assert not os.path.lexists(folder / "radio-a.tty")  # the links go with the ward


def test_pumps_of_a_missing_radio_are_never_shown_online(tmp_path: Path) -> None:
    import time
    import urllib.request

    from tarvelpump.station.app import Station
    from tarvelpump.station.settings.config import parse_config

    config = parse_config({
        "station": {"name": "ward 9"}, "store": {"path": "ward9.sqlite"}, "poll": {"gap": 0.05},
        "link": [{"name": "radio-a", "port": "ttyUSB9"}],
        "pump": [{"label": f"bed {i}", "link": "radio-a", "addr": i, "channel": 1} for i in range(1, 4)],
    }, base=tmp_path)

    def get(station: Station, path: str) -> str:
        with urllib.request.urlopen(station.http_url.rstrip("/") + path, timeout=10) as reply:
            return reply.read().decode()

    def up(metrics: str) -> list[str]:
        return [line.rsplit(" ", 1)[1] for line in metrics.splitlines() if line.startswith("tarvelpump_pump_up{")]

    with Station(config, http="127.0.0.1:0") as station:
        # Listed from the start, as not yet heard; then offline, saying why; never online.
        seen = []
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            pumps = json.loads(get(station, "/api/pumps"))["pumps"]
            seen.append({(p["presence"], p["online"]) for p in pumps})
            assert len(pumps) == 3 and up(get(station, "/metrics")) == ["0.0"] * 3
            if all(p["presence"] == "offline" for p in pumps):
                break
            time.sleep(0.05)
        assert all(p["offline_reason"].startswith("radio down: ") for p in pumps)
        assert not any(online for s in seen for _, online in s)
        assert "tarvelpump_link_up{link=\"radio-a\"} 0.0" in get(station, "/metrics")
