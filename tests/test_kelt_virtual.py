"""Kelt over real pyserial against the virtual pump on a pseudo-terminal:
every query, every radio mode, every injected fault, and ports that fail."""

import os
import threading
import time

import pytest

import tarvelpump.comm as comm
from tarvelpump.virtualpump import PumpState

C = comm.Command
RC = comm.DeviceReturnCode

STATE = PumpState(running=4, door=1, remain_hours=3, remain_minutes=7, rate_unit=1,
                  alarm=0x8102, kvo_rate=300)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture(autouse=True)
def no_pause(monkeypatch):
    monkeypatch.setattr(time, "sleep", lambda s: None)


def test_full_status_in_fixed_point_mode(make_pump):
    pump = make_pump(STATE, addr=801, channel=23)
    records = comm.Kelt(pump.port, timeout=0.5).get_all_status(addr=801, channel=23)
    assert [(r.command, r.code, r.value, r.message) for r in records] == [
        (C.GET_PUMP_STATUS, RC.SUCCESS, [4], "丸剂量(快推量)"),
        (C.GET_PUMPDOOR_STATUS, RC.SUCCESS, [1], "开启"),
        (C.GET_REMAIN_TIME, RC.SUCCESS, [3, 7], "3小时7分"),
        (C.GET_RATE_UNIT, RC.SUCCESS, [1], "滴"),
        (C.GET_PUMP_ALARM, RC.SUCCESS, [0x81, 0x02, 0, 0], "1000000100000010"),
    ]
    assert pump.requests[0] == bytes.fromhex("03211755AA0506014B00A9")


def test_single_queries_transparent(make_pump):
    pump = make_pump(STATE)
    k = comm.Kelt(pump.port, timeout=0.5)
    rc = k.get_pump_status()
    assert (rc.code, rc.value, rc.message) == (RC.SUCCESS, 4, "丸剂量(快推量)")
    assert k.get_pump_alarm().value == [0x81, 0x02, 0, 0]
    kvo = k.get_kvo_rate([1])
    assert (kvo.code, kvo.value, kvo.message) == (RC.SUCCESS, [0, 0, 1, 44], "[0, 0, 1, 44]")
    assert pump.requests[-1] == bytes.fromhex("55AA050601500101A2")


def test_control_commands_change_the_pump(make_pump):
    pump = make_pump(STATE)
    k = comm.Kelt(pump.port, timeout=0.5)
    stop = k._Kelt__send_and_recv(command=C.SET_STOP_CONTROL)
    assert (stop.code, stop.value, stop.message) == (RC.SUCCESS, [], "Success")
    assert k.get_pump_status().value == 1
    k._Kelt__send_and_recv(C.SET_START_CONTROL)
    assert k.get_pump_status().value == 2


def test_master_slave_and_wrong_destinations(make_pump):
    pump = make_pump(STATE, addr=0x0102)
    k = comm.Kelt(pump.port, timeout=0.2)
    assert k.get_pump_status(addr=[1, 2]).code == RC.SUCCESS
    assert k.get_pump_status(addr=0x0102).code == RC.SUCCESS
    assert k.get_pump_status(addr=0x0103).code == RC.NO_DATA_RETURN
    assert k.get_pump_status().code == RC.NO_DATA_RETURN
    fixed = make_pump(STATE, addr=801, channel=23)
    k = comm.Kelt(fixed.port, timeout=0.2)
    assert k.get_pump_status(801, 24).code == RC.NO_DATA_RETURN
    assert k.get_pump_status(801, 23).code == RC.SUCCESS


@pytest.mark.parametrize("fault, code, message", [
    ("silence", RC.NO_DATA_RETURN, "No data returns."),
    ("bad_check", RC.INVALID_CHECK_DATA, "Received check data (a8) is not correct. should be a7"),
    ("bad_header", RC.INVALID_HEADER_DATA,
     "Received header data (0x55 0xaa 0x5 0x6 0x1) invalid, should be 0x55 0xaa 0x5 0x6 0x0"),
    ("bad_app_header", RC.INVALID_APP_DATA,
     "Received application data (0x4b 0x0) invalid, should be 0x4b 0x1"),
    ("truncated", RC.INVALID_DATA_LENGTH, "Data length must greater/equals than 7"),
    ("echo", RC.INVALID_HEADER_DATA,
     "Received header data (0x55 0xaa 0x5 0x6 0x1) invalid, should be 0x55 0xaa 0x5 0x6 0x0"),
    ("chunked", RC.SUCCESS, "运行"),
    ("trailing_byte", RC.SUCCESS, "运行"),
])
def test_injected_faults(make_pump, fault, code, message):
    pump = make_pump(PumpState(running=2), fault=fault, chunk_delay=0.02)
    rc = comm.Kelt(pump.port, timeout=0.3)._Kelt__send_and_recv(C.GET_PUMP_STATUS)
    assert (rc.code, rc.message) == (code, message)
    assert rc.value == ([2] if code == RC.SUCCESS else None)


def test_missing_and_busy_ports(tmp_path):
    before = open_fds()
    rc = comm.Kelt(str(tmp_path / "ttyNONE")).get_pump_status()
    assert rc.code == RC.EXCEPTION and "could not open port" in rc.message
    assert rc.value is None
    assert open_fds() == before


def test_port_vanishing_mid_exchange_leaves_no_descriptor(make_pump):
    pump = make_pump(STATE, fault="silence")
    k = comm.Kelt(pump.port, timeout=2)
    k.get_pump_status()  # warm up pyserial's lazy imports
    before = open_fds()
    threading.Timer(0.2, pump.stop).start()
    started = time.monotonic()
    rc = k.get_pump_status()
    assert time.monotonic() - started < 1.5
    assert rc.code == RC.EXCEPTION and "disconnected" in rc.message
    assert open_fds() <= before


def test_many_exchanges_keep_descriptors(make_pump):
    pump = make_pump(STATE)
    k = comm.Kelt(pump.port, timeout=0.5)
    k.get_pump_status()
    before = open_fds()
    for _ in range(30):
        assert k.get_pump_status().code == RC.SUCCESS
    assert open_fds() == before
