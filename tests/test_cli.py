"""The `tarvelpump` command: ports, queries against a virtual pump, the
simulation, the demo, and how it answers a user's mistakes (exit status 2 for
bad usage, 1 for a failed query, never a traceback)."""

import json
import logging
import os
import random
import shutil
import subprocess
import sys
import time
import types

import pytest
import serial.tools.list_ports

from tarvelpump import cli, comm
from tarvelpump.virtualpump import PumpState

STATE = PumpState(running=4, door=1, remain_hours=3, remain_minutes=7, rate_unit=1,
                  alarm=0x8102, kvo_rate=300)

STATUS_LINES = [
    "GET_PUMP_STATUS      SUCCESS              value=[4]              丸剂量(快推量)",
    "GET_PUMPDOOR_STATUS  SUCCESS              value=[1]              开启",
    "GET_REMAIN_TIME      SUCCESS              value=[3, 7]           3小时7分",
    "GET_RATE_UNIT        SUCCESS              value=[1]              滴",
    "GET_PUMP_ALARM       SUCCESS              value=[129, 2, 0, 0]   1000000100000010",
]

# random.seed(3), then the draws of one simulated status set.
SEED_3 = [
    {"command": "GET_PUMP_STATUS", "code": "SUCCESS", "code_value": 0, "value": [1], "message": "停止"},
    {"command": "GET_PUMPDOOR_STATUS", "code": "SUCCESS", "code_value": 0, "value": [1], "message": "开启"},
    {"command": "GET_REMAIN_TIME", "code": "SUCCESS", "code_value": 0, "value": [3, 3],
     "message": "3小时3分"},
    {"command": "GET_RATE_UNIT", "code": "SUCCESS", "code_value": 0, "value": [1], "message": "滴"},
    {"command": "GET_PUMP_ALARM", "code": "NO_DATA_RETURN", "code_value": 1, "value": [0, 0, 0, 0],
     "message": "No data returns."},
]


@pytest.fixture(autouse=True)
def no_pause(monkeypatch):
    monkeypatch.setattr(time, "sleep", lambda seconds: None)


@pytest.fixture
def pump(make_pump):
    return make_pump(STATE, addr=801, channel=23)


def run(capsys, *argv):
    """cli.main in-process: (exit status, stdout, stderr)."""
    try:
        status = cli.main(list(argv))
    except SystemExit as exc:  # argparse on bad usage and --help
        status = exc.code
    out, err = capsys.readouterr()
    assert "Traceback" not in out + err
    return status, out, err


def link(pump, *more):
    return ["--port", pump.port, "--addr", "801", "--channel", "0x17", "--timeout", "0.5", *more]


# --- ports -----------------------------------------------------------------


def test_ports_lists_device_and_description(monkeypatch, capsys):
    ports = [types.SimpleNamespace(device="/dev/ttyUSB0", description="CP2102 USB to UART"),
             types.SimpleNamespace(device="/dev/ttyS0", description="n/a")]
    monkeypatch.setattr(comm, "list_ports", lambda: ports)
    assert run(capsys, "ports") == (0, "/dev/ttyUSB0             CP2102 USB to UART\n"
                                       "/dev/ttyS0               n/a\n", "")
    status, out, err = run(capsys, "ports", "--json")
    assert (status, err) == (0, "")
    assert json.loads(out) == [{"device": "/dev/ttyUSB0", "description": "CP2102 USB to UART"},
                               {"device": "/dev/ttyS0", "description": "n/a"}]


def test_ports_go_through_pyserial(monkeypatch, capsys):
    port = types.SimpleNamespace(device="COM7", description="USB-SERIAL CH340 (COM7)")
    monkeypatch.setattr(serial.tools.list_ports, "comports", lambda: iter([port]))
    assert run(capsys, "ports") == (0, "COM7                     USB-SERIAL CH340 (COM7)\n", "")
    monkeypatch.setattr(serial.tools.list_ports, "comports", lambda: iter([]))
    assert run(capsys, "ports") == (0, "", "no serial ports found\n")
    assert run(capsys, "ports", "--json") == (0, "[]\n", "")


# --- queries against a virtual pump ------------------------------------------


def test_status_text(pump, capsys):
    status, out, err = run(capsys, "status", *link(pump))
    assert (status, err) == (0, "")
    assert out.splitlines() == STATUS_LINES
    assert pump.requests[0] == bytes.fromhex("03211755AA0506014B00A9")


def test_status_json(pump, capsys):
    status, out, err = run(capsys, "status", *link(pump, "--json"))
    assert (status, err) == (0, "")
    assert json.loads(out) == [
        {"command": "GET_PUMP_STATUS", "code": "SUCCESS", "code_value": 0, "value": [4],
         "message": "丸剂量(快推量)"},
        {"command": "GET_PUMPDOOR_STATUS", "code": "SUCCESS", "code_value": 0, "value": [1],
         "message": "开启"},
        {"command": "GET_REMAIN_TIME", "code": "SUCCESS", "code_value": 0, "value": [3, 7],
         "message": "3小时7分"},
        {"command": "GET_RATE_UNIT", "code": "SUCCESS", "code_value": 0, "value": [1], "message": "滴"},
        {"command": "GET_PUMP_ALARM", "code": "SUCCESS", "code_value": 0, "value": [129, 2, 0, 0],
         "message": "1000000100000010"},
    ]


def test_single_queries(pump, capsys):
    assert run(capsys, "alarm", *link(pump)) == (0, STATUS_LINES[4] + "\n", "")
    assert run(capsys, "pump-status", *link(pump)) == (
        0, "GET_PUMP_STATUS      SUCCESS              value=4                丸剂量(快推量)\n", "")
    assert run(capsys, "kvo-rate", *link(pump, "--data", "0x01")) == (
        0, "GET_KVO_RATE         SUCCESS              value=[0, 0, 1, 44]    [0, 0, 1, 44]\n", "")
    assert pump.requests[-1] == bytes.fromhex("03211755AA050601500101A2")


def test_master_slave_address_in_hex(make_pump, capsys):
    pump = make_pump(STATE, addr=0x0321)
    status, out, err = run(capsys, "pump-status", "--port", pump.port, "--addr", "0x0321")
    assert (status, err) == (0, "")
    assert out.split()[:3] == ["GET_PUMP_STATUS", "SUCCESS", "value=4"]
    assert pump.requests == [bytes.fromhex("032155AA0506014B00A9")]


def test_verbose_shows_the_exchange_on_stderr(pump, capsys):
    status, out, err = run(capsys, "pump-status", *link(pump, "--verbose"))
    assert (status, out) == (0, "GET_PUMP_STATUS      SUCCESS              value=4                "
                                "丸剂量(快推量)\n")
    # The pump's own thread logs too, in its own time; the driver's lines are in order.
    assert [line for line in err.splitlines() if line.startswith("DEBUG:tarvelpump.comm:")] == [
        "DEBUG:tarvelpump.comm:11 bytes sent. 0x3 0x21 0x17 0x55 0xaa 0x5 0x6 0x1 0x4b 0x0 0xa9",
        "DEBUG:tarvelpump.comm:9 bytes received. 0x55 0xaa 0x5 0x6 0x0 0x4b 0x1 0x4 0xa5",
        "DEBUG:tarvelpump.comm:Finished. Total 9 bytes received.",
    ]
    # The debug log is the command's own: nothing stays configured afterwards.
    package = logging.getLogger("tarvelpump")
    assert package.handlers == [] and package.level == logging.NOTSET
    status, out, err = run(capsys, "pump-status", *link(pump))
    assert (status, err) == (0, "")


def test_silent_pump_fails_with_a_hint(make_pump, capsys):
    pump = make_pump(STATE, fault="silence")
    status, out, err = run(capsys, "pump-status", "--port", pump.port, "--timeout", "0.2")
    assert status == 1
    assert out == "GET_PUMP_STATUS      NO_DATA_RETURN       value=None             No data returns.\n"
    assert err.startswith("tarvelpump: 1 of 1 queries failed; no pump answered:")
    assert "--timeout" in err


def test_missing_port_fails_with_a_hint(tmp_path, capsys):
    missing = str(tmp_path / "ttyNOPE")
    # Five queries that fail alike on the port: the error is said once.
    status, out, err = run(capsys, "status", "--port", missing)
    assert (status, out) == (1, "")
    first, second = err.splitlines()
    assert first.startswith("tarvelpump: [Errno 2] could not open port") and missing in first
    assert second == (f"tarvelpump: 5 of 5 queries failed; could not use port {missing!r}: check the name "
                      "with `tarvelpump ports` and that no other program holds it")
    status, out, err = run(capsys, "alarm", "--port", missing, "--json")
    assert status == 1 and json.loads(out)[0]["code"] == "EXCEPTION" and "tarvelpump ports" in err


def test_port_without_permission_hints_at_the_group(monkeypatch, capsys):
    denied = "[Errno 13] could not open port /dev/ttyUSB0: [Errno 13] Permission denied: '/dev/ttyUSB0'"

    def refuse(*args, **kwargs):
        raise serial.SerialException(denied)

    monkeypatch.setattr(serial, "Serial", refuse)
    for command in ("status", "pump-status"):
        status, out, err = run(capsys, command, "--port", "/dev/ttyUSB0")
        assert (status, out) == (1, "")
        assert err.count(denied) == 1 and "dialout" in err and "no other program" not in err
    status, out, err = run(capsys, "status", "--port", "/dev/ttyUSB0", "--json")
    assert [r["message"] for r in json.loads(out)] == [denied] * 5
    assert len(err.splitlines()) == 1 and "dialout" in err and denied not in err


# --- bad usage -----------------------------------------------------------------


@pytest.mark.parametrize("argv, message", [
    (["status", "--port", "X", "--addr", "70000"], "address 70000 is out of range 0..65535"),
    (["status", "--port", "X", "--addr", "-1"], "address -1 is out of range 0..65535"),
    (["alarm", "--port", "X", "--channel", "256"], "channel 256 is out of range 0..255"),
    (["pump-status", "--port", "X", "--channel", "0x100"], "channel 0x100 is out of range 0..255"),
    (["status", "--port", "X", "--addr", "x"], "address must be a number (decimal or 0x hex), not 'x'"),
    (["kvo-rate", "--port", "X", "--data", "256"], "data byte 256 is out of range 0..255"),
    (["kvo-rate", "--port", "X"], "the following arguments are required: --data"),
    (["status"], "the following arguments are required: --port"),
    (["status", "--port", "X", "--baud", "-5"], "baud rate must be positive: -5"),
    (["status", "--port", "X", "--baud", "fast"], "baud rate must be a whole number, not 'fast'"),
    (["status", "--port", "X", "--timeout", "0"], "must be positive: 0"),
    (["status", "--port", "X", "--timeout", "-0.5"], "must be positive: -0.5"),
    (["status", "--port", "X", "--timeout", "inf"], "must be a finite number of seconds, not inf"),
    (["alarm", "--port", "X", "--timeout", "nan"], "must be a finite number of seconds, not nan"),
    (["status", "--port", "X", "--addr", "0o17"], "address must be a number (decimal or 0x hex), not '0o17'"),
    (["status", "--port", "X", "--channel", "0b1"], "channel must be a number (decimal or 0x hex), not '0b1'"),
    (["kvo-rate", "--port", "X", "--data", "1_0"], "data byte must be a number (decimal or 0x hex), not '1_0'"),
    (["simulate", "--seed", "x"], "invalid int value: 'x'"),
    (["simulate", "--addr", "0x10000"], "address 0x10000 is out of range 0..65535"),
    ([], "the following arguments are required: COMMAND"),
    (["bogus"], "invalid choice: 'bogus'"),
])
def test_bad_usage_exits_2_before_any_port(monkeypatch, capsys, argv, message):
    def no_port(*args, **kwargs):
        raise AssertionError("a port was opened")

    monkeypatch.setattr(serial, "Serial", no_port)
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, "")
    assert err.startswith("usage: tarvelpump")
    assert message in err.splitlines()[-1]


def test_help_has_examples_and_exit_statuses(capsys):
    status, out, err = run(capsys, "--help")
    assert (status, err) == (0, "")
    assert "examples:" in out
    for example in ("tarvelpump demo", "tarvelpump ports", "tarvelpump status --port",
                    "tarvelpump simulate --seed", "tarvelpump virtual-pump"):
        assert example in out
    assert "exit status: 0 success, 1 a query failed, 2 bad usage" in out


def test_virtual_pump_help(capsys):
    status, out, err = run(capsys, "virtual-pump", "--help")
    assert (status, err) == (0, "")
    assert "--addr" in out and "--channel" in out and "--fault" in out


# --- simulation and demo ----------------------------------------------------------


def test_simulate_seeded_is_reproducible(capsys):
    status, out, err = run(capsys, "simulate", "--seed", "3")
    assert (status, err) == (0, "")
    assert out.splitlines() == [
        "GET_PUMP_STATUS      SUCCESS              value=[1]              停止",
        "GET_PUMPDOOR_STATUS  SUCCESS              value=[1]              开启",
        "GET_REMAIN_TIME      SUCCESS              value=[3, 3]           3小时3分",
        "GET_RATE_UNIT        SUCCESS              value=[1]              滴",
        "GET_PUMP_ALARM       NO_DATA_RETURN       value=[0, 0, 0, 0]     No data returns.",
    ]
    random.random()  # the generator moves on; the seed brings the same set back
    assert run(capsys, "simulate", "--seed", "3") == (0, out, "")
    status, out, err = run(capsys, "simulate", "--seed", "3", "--json")
    assert (status, err, json.loads(out)) == (0, "", SEED_3)


def test_simulate_without_seed_gives_five_records(capsys):
    status, out, err = run(capsys, "simulate", "--json")
    records = json.loads(out)
    assert (status, err) == (0, "")
    assert [r["command"] for r in records] == [r["command"] for r in SEED_3]
    assert [len(r["value"]) for r in records] == [1, 1, 2, 1, 4]


def test_demo_prints_five_successes(capsys):
    status, out, err = run(capsys, "demo")
    assert status == 0
    assert out.splitlines() == [
        "GET_PUMP_STATUS      SUCCESS              value=[2]              运行",
        "GET_PUMPDOOR_STATUS  SUCCESS              value=[0]              关闭",
        "GET_REMAIN_TIME      SUCCESS              value=[1, 25]          1小时25分",
        "GET_RATE_UNIT        SUCCESS              value=[0]              毫升",
        "GET_PUMP_ALARM       SUCCESS              value=[1, 8, 0, 0]     0000000100001000",
    ]
    assert "radio address 801, channel 23" in err


# --- as a program ----------------------------------------------------------------


def program_env():
    return dict(os.environ, PYTHONIOENCODING="utf-8")


def test_python_m_tarvelpump(tmp_path):
    result = subprocess.run([sys.executable, "-m", "tarvelpump", "simulate", "--seed", "3", "--json"],
                            cwd=tmp_path, env=program_env(), capture_output=True, text=True,
                            encoding="utf-8", timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert json.loads(result.stdout) == SEED_3


def test_console_script_reports_a_missing_port(tmp_path):
    script = shutil.which("tarvelpump", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the console script is not installed next to this interpreter")
    result = subprocess.run([script, "pump-status", "--port", str(tmp_path / "nope"), "--channel", "999"],
                            cwd=tmp_path, env=program_env(), capture_output=True, text=True,
                            encoding="utf-8", timeout=60)
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1] == ("tarvelpump pump-status: error: argument --channel: "
                                              "channel 999 is out of range 0..255")
    result = subprocess.run([script, "pump-status", "--port", str(tmp_path / "nope")],
                            cwd=tmp_path, env=program_env(), capture_output=True, text=True,
                            encoding="utf-8", timeout=60)
    assert result.returncode == 1
    assert "Traceback" not in result.stderr
    assert "check the name with `tarvelpump ports`" in result.stderr
