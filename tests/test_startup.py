"""Importing tarvelpump.comm: the namespace it builds, in order, and the
guarded serial import with its installation fallback."""

import builtins
import gettext
import importlib.util
import inspect
import logging
import subprocess
import sys

import pytest
import serial as pyserial

import tarvelpump.comm as comm

PUBLIC_ORDER = [
    "serial", "Options", "Option", "_", "random", "time", "logging", "log",
    "PROD_ID", "PC2PUMP", "PUMP2PC", "DeviceReturnCode", "DeviceReturn",
    "PowerStatus", "PumpStatus", "PumpDoorStatus", "RateUnit",
    "KeltPumpAlarmBits", "AlarmOrder", "Command", "CommandSendAppHeader",
    "CommandRecvAppHeader", "ConvertFunc", "hex_str", "list_ports", "Kelt",
    "_hold_port",
    "fake_random_options_code", "fake_return_code_msg", "fake_get_all_status",
]


def fresh_instance(name="tarvelpump.comm"):
    """A second, independent instance of the module, executed under `name`."""
    spec = importlib.util.find_spec("tarvelpump.comm")
    module = importlib.util.module_from_spec(spec)
    module.__name__ = name
    spec.loader.exec_module(module)
    return module


def test_namespace_order_after_dunders():
    inspect.signature(comm.DeviceReturn)  # 3.13's evaluates its default in our namespace
    names = list(vars(comm))
    dunders = [n for n in names if n.startswith("__") and n.endswith("__")]
    assert names[: len(dunders)] == dunders
    public = names[len(dunders):]
    # Names of later stages take their places as they arrive; those present
    # are exactly in the fixed order, with nothing foreign between them.
    assert public == [n for n in PUBLIC_ORDER if n in public]
    assert public[:11] == PUBLIC_ORDER[:11]
    assert "__all__" not in names
    assert comm.__doc__ is None


def test_imports_bound_as_python_would():
    import random
    import time

    import serial

    assert comm.serial is serial
    assert comm._ is gettext.gettext
    assert comm.random is random and comm.time is time
    assert comm.logging is logging
    assert (comm.PROD_ID, comm.PC2PUMP, comm.PUMP2PC) == (6, 1, 0)
    assert not hasattr(comm, "subprocess")


def test_logger_is_left_to_the_host():
    assert comm.log is logging.getLogger("tarvelpump.comm")
    assert comm.log.name == "tarvelpump.comm"
    assert comm.log.handlers == []
    assert comm.log.level == logging.NOTSET


def test_instances_are_independent():
    other = fresh_instance("tarvelpump_other_instance")
    assert other is not comm
    assert other.log.name == "tarvelpump_other_instance"
    assert other.PumpStatus is not comm.PumpStatus
    other.PROD_ID = 99
    assert comm.PROD_ID == 6
    assert other.hex_str(255) == "0xff"


@pytest.fixture
def serial_import_fails(monkeypatch):
    """`import serial` fails (the dotted import of its port listing works)."""
    real_import = builtins.__import__

    def fake_import(name, globals=None, locals=None, fromlist=(), level=0):
        if name == "serial" and not fromlist:
            raise ImportError("no serial here")
        return real_import(name, globals, locals, fromlist, level)

    monkeypatch.setattr(builtins, "__import__", fake_import)


def test_fallback_runs_installer_then_logs_failure(serial_import_fails,
                                                    monkeypatch, caplog):
    calls = []

    def fake_run(*args, **kwargs):
        calls.append((args, kwargs))

    monkeypatch.setattr(subprocess, "run", fake_run)
    with caplog.at_level(logging.ERROR, logger="fallback_probe"):
        module = fresh_instance("fallback_probe")
    assert calls == [(("pip install pyserial",),
                      {"stdout": subprocess.PIPE, "stderr": subprocess.STDOUT})]
    assert [r.getMessage() for r in caplog.records] == [
        "ERROR: Fail to initialize COM interface."]
    assert module.subprocess is subprocess
    # The first import bound the package; the failed ones left it alone.
    assert module.serial is pyserial
    assert list(vars(module)).index("subprocess") == list(vars(module)).index("log") + 1


def test_fallback_installer_failure_is_swallowed(serial_import_fails,
                                                 monkeypatch, caplog):
    def broken_run(*args, **kwargs):
        raise OSError("no pip")

    monkeypatch.setattr(subprocess, "run", broken_run)
    with caplog.at_level(logging.ERROR, logger="fallback_probe2"):
        module = fresh_instance("fallback_probe2")
    assert "ERROR: Fail to initialize COM interface." in caplog.text
    assert module.PROD_ID == 6  # start-up carried on


def test_import_without_pyserial_fails_before_anything_else():
    code = ("import sys, subprocess\n"
            "sys.modules['serial'] = None\n"
            "calls = []\n"
            "subprocess.run = lambda *a, **k: calls.append(a)\n"
            "try:\n"
            "    import tarvelpump.comm\n"
            "except ImportError as e:\n"
            "    print('ImportError', calls)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                         text=True, check=True)
    assert out.stdout.strip() == "ImportError []"


def test_import_from_any_directory(tmp_path):
    out = subprocess.run(
        [sys.executable, "-c", "import tarvelpump.comm as c; print(c.log.name)"],
        cwd=tmp_path, capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "tarvelpump.comm"
    assert out.stderr == ""


def test_only_pyinit_is_exported():
    path = comm.__file__
    if not path.endswith(".so"):
        pytest.skip("ELF check only")
    nm = subprocess.run(["nm", "-D", "--defined-only", path],
                        capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm not available")
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_comm"]
