"""One owner per port: the station holds its ports exclusively and refuses one held by another program."""

from __future__ import annotations

import fcntl
import os
import sqlite3
import struct
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import pytest

from tarvelpump.station.app import Station
from tarvelpump.station.settings.config import ConfigError, parse_config
from tarvelpump.station.watch.link import port_holder

#: Opens a port as a careful program would (with the lock), says whether it got it, then waits for its stdin.
GRAB = ("import serial, sys\n"
        "try:\n"
        "    port = serial.Serial(sys.argv[1], exclusive=True)\n"
        "except serial.SerialException as exc:\n"
        "    print('busy', exc, flush=True); sys.exit(3)\n"
        "print('held', flush=True)\n"
        "sys.stdin.read()\n")


def grab(port: str) -> subprocess.Popen[str]:
    return subprocess.Popen([sys.executable, "-c", GRAB, port], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)


def ward_config(port: str, store: Path, *more_links: dict[str, str]) -> dict:
    return {"station": {"name": "ward 3"}, "store": {"path": str(store)}, "poll": {"gap": 0.02},
            "link": [{"name": "radio-a", "port": port, "timeout": 0.2}, *more_links],
            "pump": [{"label": "bed 1", "link": "radio-a", "addr": 1, "channel": 1}]
            + [{"label": f"bed {i + 2}", "link": li["name"], "addr": 1, "channel": 1}
               for i, li in enumerate(more_links)]}


def toml(config: dict) -> str:
    lines = [f'[station]\nname = "{config["station"]["name"]}"',
             f'[store]\npath = "{config["store"]["path"]}"', "[poll]\ngap = 0.02"]
    lines += [f'[[link]]\nname = "{li["name"]}"\nport = "{li["port"]}"\ntimeout = 0.2' for li in config["link"]]
    lines += [f'[[pump]]\nlabel = "{p["label"]}"\nlink = "{p["link"]}"\naddr = {p["addr"]}\nchannel = {p["channel"]}'
              for p in config["pump"]]
    return "\n".join(lines) + "\n"


def readings(store: Path) -> int:
    if not store.exists():
        return 0
    conn = sqlite3.connect(store)
    try:
        return conn.execute("SELECT count(*) FROM readings").fetchone()[0]
    except sqlite3.OperationalError:
        return 0
    finally:
        conn.close()


def test_a_port_has_one_owner(make_ward, tmp_path):
    ward = make_ward("fixed", link_path=str(tmp_path / "radio"))
    bed = ward.add(1, 1, label="bed 1")
    first = Station(parse_config(ward_config(ward.port, tmp_path / "first.sqlite"))).start()
    try:
        # Another program asking for the port while the station runs does not get it.
        other = grab(ward.port)
        out, _ = other.communicate(timeout=20)
        assert other.returncode == 3 and out.startswith("busy"), out

        # A second station (another process, its own store) stops at start, in one line naming the port
        # and who holds it, and stores nothing.
        conf = tmp_path / "second.toml"
        conf.write_text(toml(ward_config(ward.port, tmp_path / "second.sqlite")))
        got = subprocess.run([sys.executable, "-m", "tarvelpump", "station", "run", "--config", str(conf),
                              "--seconds", "4", "--json"], capture_output=True, text=True, timeout=60)
        assert got.returncode == 1, got.stderr
        assert got.stdout == "" and got.stderr.count("\n") == 1 and "Traceback" not in got.stderr
        assert ward.port in got.stderr and f"pid {os.getpid()}" in got.stderr, got.stderr
        assert readings(tmp_path / "second.sqlite") == 0

        # A second station in this same process is refused as well, by the same name, and its
        # failed start leaves the first one's port working.
        second = Station(parse_config(ward_config(os.path.realpath(ward.port), tmp_path / "third.sqlite")))
        with pytest.raises(OSError, match="held by") as busy:
            second.start()
        assert os.path.realpath(ward.port) in str(busy.value)
        assert f"link 'radio-a' in this process (pid {os.getpid()})" in str(busy.value)
        second.stop()
        answered = bed.answered
        deadline = time.monotonic() + 10
        while bed.answered <= answered + 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert bed.answered > answered + 2  # the first station still polls
    finally:
        first.stop()
    assert readings(tmp_path / "first.sqlite") > 0

    # Once the station let go, the port is anyone's again.
    other = grab(ward.port)
    assert other.stdout is not None and other.stdout.readline().strip() == "held"
    try:
        # ... and now the station is the one refused, naming the other program's pid.
        with pytest.raises(OSError, match=f"pid {other.pid}") as busy:
            Station(parse_config(ward_config(ward.port, tmp_path / "fourth.sqlite"))).start()
        assert ward.port in str(busy.value)
        # A device in exclusive mode names no lock holder: then whoever has it open is named.
        assert port_holder(ward.port, locked=False) == port_holder(ward.port) == busy.value.holder
    finally:
        other.communicate(input="", timeout=20)

    # A radio that is not plugged in yet is no reason to refuse the start: it may come later.
    missing = str(tmp_path / "ttyUSB9")
    with Station(parse_config(ward_config(missing, tmp_path / "fifth.sqlite"))) as station:
        link = station.links["radio-a"]
        deadline = time.monotonic() + 10
        while link.up and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not link.up and missing in link.error  # polled, and said to be down


def test_links_on_one_device_are_a_configuration_mistake(make_ward, tmp_path):
    ward = make_ward("fixed", link_path=str(tmp_path / "radio"))
    os.symlink(ward.port, tmp_path / "radio-again")
    real = os.path.realpath(ward.port)
    base = ward_config(ward.port, tmp_path / "s.sqlite")
    for other in (real, str(tmp_path / "radio-again"), f"{tmp_path}/./radio"):
        config = ward_config(ward.port, tmp_path / "s.sqlite", {"name": "radio-b", "port": other})
        with pytest.raises(ConfigError) as bad:
            parse_config(config)
        assert bad.value.key == "link[1].port"
        assert bad.value.message == (f'"{other}" of link "radio-b" is the same device as "{ward.port}" of link '
                                     '"radio-a": one [[link]] per port')
    # Two missing ports by different names are different devices; one missing port named twice is not.
    parse_config(ward_config(str(tmp_path / "a"), tmp_path / "s.sqlite", {"name": "radio-b", "port": str(tmp_path / "b")}))
    with pytest.raises(ConfigError, match="same device"):
        parse_config(ward_config(str(tmp_path / "a"), tmp_path / "s.sqlite",
                                 {"name": "radio-b", "port": str(tmp_path / "x" / ".." / "a")}))
    assert parse_config(base).links[0].port == ward.port
    assert not Path(tmp_path / "s.sqlite").exists()


TIOCGEXCL = 0x80045440  # Linux: _IOR('T', 0x40, int), whether a terminal is in exclusive mode


def exclusive_mode(port: str) -> bool:
    fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)  # root opens it all the same
    try:
        return struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, bytes(4)))[0] == 1
    except OSError as exc:
        pytest.skip(f"no TIOCGEXCL here: {exc}")
    finally:
        os.close(fd)


def test_the_package_command_line_is_refused_on_a_polled_port(make_ward, tmp_path, capsys):
    from _core import misattributed, signature
    from test_store_down import as_nobody, command_as_nobody

    from tarvelpump import cli
    from tarvelpump.station.records.store import Store

    ward = make_ward("fixed")
    for i in range(3):
        ward.add(801 + i, 23, signature(i), label=f"bed {i + 1}")
    ward.pump("bed 1").update(alarm=0x0100)  # an occlusion
    config = ward_config(ward.port, tmp_path / "s.sqlite")
    config["pump"] = [{"label": p.label, "link": "radio-a", "addr": p.addr, "channel": 23} for p in ward.pumps]
    device = os.path.realpath(ward.port)
    station = Station(parse_config(config)).start()
    try:
        assert exclusive_mode(device)  # the terminal's own exclusive mode, beside the lock
        asked = ["alarm", "--port", ward.port, "--addr", "801", "--channel", "23", "--timeout", "0.2"]
        for _ in range(3):  # the command as people run it
            got = subprocess.run([sys.executable, "-m", "tarvelpump", *asked], capture_output=True, text=True,
                                 timeout=60)
            assert got.returncode == 1 and got.stdout == "", got.stderr
            assert f"port held by PID {os.getpid()} (" in got.stderr and "Traceback" not in got.stderr
        for _ in range(150):
            assert cli.main(asked) == 1
        err = capsys.readouterr().err
        assert err.count(f"tarvelpump: port held by PID {os.getpid()}") == 150
        assert "another program is using it" in err

        python = command_as_nobody() if os.geteuid() == 0 else None
        if python is not None:  # root passes exclusive mode; another user, not asking for the lock, does not
            os.chmod(device, 0o666)
            plain = (f"import site; site.addsitedir({sysconfig.get_paths()['purelib']!r})\nimport serial\n"
                     f"try:\n    serial.Serial({device!r})\nexcept serial.SerialException as exc:\n    print(exc)\n")
            got = subprocess.run([python[0], "-c", plain], capture_output=True, text=True, preexec_fn=as_nobody,
                                 timeout=60)
            assert "Device or resource busy" in got.stdout, (got.stdout, got.stderr)
        answered = ward.pump("bed 2").answered
        deadline = time.monotonic() + 10
        while ward.pump("bed 2").answered < answered + 3 and time.monotonic() < deadline:
            time.sleep(0.05)
    finally:
        station.stop()
    assert not exclusive_mode(device)  # let go: the virtual radio's own descriptor keeps no mode behind

    with Store(tmp_path / "s.sqlite", readonly=True) as store:
        readings, events = store.readings(), store.events()
    assert {r.pump for r in readings} == {"bed 1", "bed 2", "bed 3"}
    assert misattributed(ward, readings) == []
    raised = [e for e in events if e.kind.value == "alarm_raised"]
    assert [e.pump for e in raised if e.details["alarm"] == "ALARM_OCCLUSION"] == ["bed 1"]
    assert all(e.details["word"] == ward.pump(e.pump).state.alarm for e in raised)
