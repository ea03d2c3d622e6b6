"""The demonstration that ends start-up when tarvelpump.comm runs as the main
program (`python -m tarvelpump.comm`), and its absence on an ordinary import."""

import datetime
import importlib.util
import logging
import os
import re
import subprocess
import sys
import time

import pytest

from fake_serial import install
from tarvelpump import comm
from tarvelpump.virtualpump import PumpState

DEMO_NAMES = ["datetime", "t1", "g", "rcs", "s"]
COMMANDS = ["GET_PUMP_STATUS", "GET_PUMPDOOR_STATUS", "GET_REMAIN_TIME", "GET_RATE_UNIT",
            "GET_PUMP_ALARM"]
# str() of a datetime: the microseconds are left out only when they are 0.
START_TIME = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d{6})?")
# The five requests for address 801 (03 21) in master/slave mode, no channel.
REQUESTS = [bytes.fromhex(h) for h in ("032155AA0506014B00A9", "032155AA05060178007C",
                                       "032155AA050601A30051", "032155AA050601A8004C",
                                       "032155AA05060157009D")]


def run_launcher(cwd):
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    return subprocess.run([sys.executable, "-m", "tarvelpump.comm"], cwd=cwd, env=env,
                          capture_output=True, text=True, encoding="utf-8", timeout=60)


def check_start_time(line):
    assert START_TIME.fullmatch(line), line
    datetime.datetime.fromisoformat(line)  # a real date and time


def test_launcher_without_com4_prints_time_and_five_failures(tmp_path):
    result = run_launcher(tmp_path)  # no file COM4 here
    assert result.returncode == 0, result.stderr
    first, *records = result.stdout.splitlines()
    check_start_time(first)
    assert len(records) == 5
    for line, name in zip(records, COMMANDS):
        assert line.startswith(f"<DeviceReturn command={name} code=EXCEPTION, value=None, message="), line
        assert "COM4" in line and line.endswith(">")
    # The port never opened, so the exchange wrote no log line.
    assert result.stderr == ""


def test_launcher_talks_to_a_pump_on_com4(tmp_path, make_pump):
    pump = make_pump(PumpState(running=3, door=1, remain_hours=2, remain_minutes=5, rate_unit=1,
                               alarm=0x0240), addr=801)
    (tmp_path / "COM4").symlink_to(pump.port)
    result = run_launcher(tmp_path)
    assert result.returncode == 0, result.stderr
    first, *records = result.stdout.splitlines()
    check_start_time(first)
    assert records == [
        "<DeviceReturn command=GET_PUMP_STATUS code=SUCCESS, value=[3], message=暂停>",
        "<DeviceReturn command=GET_PUMPDOOR_STATUS code=SUCCESS, value=[1], message=开启>",
        "<DeviceReturn command=GET_REMAIN_TIME code=SUCCESS, value=[2, 5], message=2小时5分>",
        "<DeviceReturn command=GET_RATE_UNIT code=SUCCESS, value=[1], message=滴>",
        "<DeviceReturn command=GET_PUMP_ALARM code=SUCCESS, value=[2, 64, 0, 0], "
        "message=0000001001000000>",
    ]
    assert pump.requests == REQUESTS
    # basicConfig's default format, the logger named after the main module.
    log = result.stderr.splitlines()
    assert all(line.startswith("DEBUG:__main__:") for line in log), log
    assert [line for line in log if "sent" in line] == [
        "DEBUG:__main__:10 bytes sent. " + " ".join(hex(b) for b in request) for request in REQUESTS]
    assert [line for line in log if "Finished" in line] == [
        f"DEBUG:__main__:Finished. Total {n} bytes received." for n in (9, 9, 10, 9, 12)]


def test_ordinary_import_runs_nothing(tmp_path):
    code = ("import tarvelpump.comm as m, sys; "
            "sys.stderr.write(repr([n for n in ('datetime', 't1', 'g', 'rcs', 's') if hasattr(m, n)]))")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "[]")
    for name in DEMO_NAMES:
        assert not hasattr(comm, name)
    assert comm.log.name == "tarvelpump.comm"


@pytest.fixture
def root_logging():
    """The demonstration configures logging for the process; put it back."""
    root = logging.getLogger()
    handlers, level = root.handlers[:], root.level
    yield root
    for handler in root.handlers[:]:
        if handler not in handlers:
            root.removeHandler(handler)
    root.setLevel(level)


def test_second_instance_named_main_runs_the_demonstration(monkeypatch, capsys, caplog, root_logging):
    port = install(monkeypatch)  # every read brings nothing
    monkeypatch.setattr(time, "sleep", lambda seconds: None)
    caplog.set_level(logging.DEBUG, logger="__main__")
    spec = importlib.util.find_spec("tarvelpump.comm")
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    before = datetime.datetime.now()
    spec.loader.exec_module(module)
    after = datetime.datetime.now()

    names = list(vars(module))
    assert names[-5:] == DEMO_NAMES
    assert names.index("fake_get_all_status") == len(names) - 6
    assert module.datetime is datetime
    assert type(module.t1) is datetime.datetime and before <= module.t1 <= after
    assert type(module.g) is module.Kelt and module.g.port == "COM4"
    assert vars(module.g) == {"port": "COM4", "baud_rate": 9600, "timeout": 1}
    assert type(module.rcs) is list and len(module.rcs) == 5
    assert module.s is module.rcs[-1]
    assert [(r.command.name, r.code.name, r.value) for r in module.rcs] == [
        (name, "NO_DATA_RETURN", None) for name in COMMANDS]
    assert module.log.name == "__main__"

    assert [p.kwargs for p in port.instances] == [{"port": "COM4", "baudrate": 9600, "timeout": 1}] * 5
    assert [p.calls[0] for p in port.instances] == [("write", request) for request in REQUESTS]

    out = capsys.readouterr().out.splitlines()
    assert out[0] == str(module.t1)
    assert out[1:] == [f"<DeviceReturn command={name} code=NO_DATA_RETURN, value=None, "
                       "message=No data returns.>" for name in COMMANDS]
    sent = [r.getMessage() for r in caplog.records if r.name == "__main__" and "sent" in r.getMessage()]
    assert sent == ["10 bytes sent. " + " ".join(hex(b) for b in request) for request in REQUESTS]

    # The instance that the import system holds is untouched.
    assert sys.modules["tarvelpump.comm"] is comm
    for name in DEMO_NAMES:
        assert not hasattr(comm, name)
