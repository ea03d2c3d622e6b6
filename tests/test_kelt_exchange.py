"""Kelt against a scripted port: bytes written, reads asked, log lines,
closing, and every outcome of the transaction in its order of tests."""

import logging
import sys

import pytest
import serial

import tarvelpump.comm as comm
from fake_serial import install

C = comm.Command
RC = comm.DeviceReturnCode
H = bytes.fromhex

STATUS_REQUEST = H("55AA0506014B00A9")
STATUS_REPLY = H("55AA0506004B0102A7")


@pytest.fixture
def debug_log(caplog):
    caplog.set_level(logging.DEBUG, logger="tarvelpump.comm")
    return caplog


def lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "tarvelpump.comm"]


def test_status_exchange_end_to_end(monkeypatch, debug_log):
    port = install(monkeypatch, STATUS_REPLY)
    rc = comm.Kelt("/dev/ttyX", 19200, 0.5).get_pump_status()
    (p,) = port.instances
    assert p.kwargs == {"port": "/dev/ttyX", "baudrate": 19200, "timeout": 0.5}
    assert p.calls == [("write", STATUS_REQUEST), ("read", 9), ("close",)]
    assert (rc.command, rc.code, rc.value, rc.message) == (C.GET_PUMP_STATUS, RC.SUCCESS, 2, "运行")
    assert lines(debug_log) == [
        "8 bytes sent. 0x55 0xaa 0x5 0x6 0x1 0x4b 0x0 0xa9",
        "9 bytes received. 0x55 0xaa 0x5 0x6 0x0 0x4b 0x1 0x2 0xa7",
        "Finished. Total 9 bytes received.",
    ]


def test_closed_port_is_opened_and_chunks_are_collected(monkeypatch, debug_log):
    port = install(monkeypatch, STATUS_REPLY[:5], STATUS_REPLY[5:], starts_open=False)
    rc = comm.Kelt()._Kelt__send_and_recv(command=C.GET_PUMP_STATUS)
    (p,) = port.instances
    assert p.kwargs == {"port": "COM1", "baudrate": 9600, "timeout": 1}
    assert p.calls == [("open",), ("write", STATUS_REQUEST), ("read", 9), ("read", 9), ("close",)]
    assert rc.value == [2] and rc.message == "运行"
    assert lines(debug_log)[1:] == [
        "5 bytes received. 0x55 0xaa 0x5 0x6 0x0",
        "4 bytes received. 0x4b 0x1 0x2 0xa7",
        "Finished. Total 9 bytes received.",
    ]


def test_read_sizes_and_silence(monkeypatch, debug_log):
    port = install(monkeypatch)
    assert comm.Kelt()._Kelt__sr(b"\x01", recv_len=200) == []
    assert port.instances[0].calls == [("write", b"\x01"), ("read", 128), ("close",)]
    assert lines(debug_log) == ["1 bytes sent. 0x1", "0 bytes received. ",
                                "Finished. Total 0 bytes received."]
    debug_log.clear()
    assert comm.Kelt()._Kelt__sr(data=b"", recv_len=0) == []
    assert port.instances[1].calls == [("write", b""), ("close",)]
    assert lines(debug_log) == ["0 bytes sent. ", "Finished. Total 0 bytes received."]


def test_overlong_read_is_kept(monkeypatch):
    install(monkeypatch, b"\x01" * 5, b"\x02" * 7)
    assert comm.Kelt()._Kelt__sr(b"x", 9) == [1] * 5 + [2] * 7


def test_quiet_logger_skips_dumps(monkeypatch):
    install(monkeypatch, STATUS_REPLY)
    calls = []
    monkeypatch.setattr(comm, "hex_str", lambda d: calls.append(d) or "")
    logging.getLogger("tarvelpump.comm").setLevel(logging.INFO)
    try:
        comm.Kelt().get_pump_status()
    finally:
        logging.getLogger("tarvelpump.comm").setLevel(logging.NOTSET)
    assert calls == []


def test_kvo_rate_request_and_radio_prefix(monkeypatch):
    port = install(monkeypatch)
    k = comm.Kelt()
    k.get_kvo_rate([1])
    k.get_kvo_rate([1], addr=0x0102, channel=0x17)
    k.get_kvo_rate([1], 0x0102)
    k.get_kvo_rate([1], [1, 2], 0x17)
    k.get_kvo_rate([1], addr=0, channel=0)
    k.get_kvo_rate([1], addr=5)
    k.get_kvo_rate([1], channel=0x17)
    frame = H("55AA050601500101A2")
    assert [p.calls[0][1] for p in port.instances] == [
        frame, H("010217") + frame, H("0102") + frame, H("010217") + frame,
        frame, H("0005") + frame, H("17") + frame]
    assert all(p.calls[1] == ("read", 12) for p in port.instances)


GOOD = STATUS_REPLY


@pytest.mark.parametrize("chunks, code, message", [
    ([], RC.NO_DATA_RETURN, "No data returns."),
    ([H("55AA05")], RC.INVALID_DATA_LENGTH, "Data length must greater/equals than 7"),
    ([H("55AA0506004B01")], RC.INVALID_DATA_LENGTH, "Data length must greater/equals than 7"),
    ([H("55AA0506004B0502A7")], RC.INVALID_DATA_LENGTH, "Data length must greater/equals than 7"),
    ([H("55AA0506004B0102A8")], RC.INVALID_CHECK_DATA,
     "Received check data (a8) is not correct. should be a7"),
    ([H("55AA0507014B0102A6")], RC.INVALID_CHECK_DATA,
     "Received check data (a6) is not correct. should be a5"),
    ([STATUS_REQUEST], RC.INVALID_HEADER_DATA,
     "Received header data (0x55 0xaa 0x5 0x6 0x1) invalid, should be 0x55 0xaa 0x5 0x6 0x0"),
    ([H("55AA0506004B00AA")], RC.INVALID_APP_DATA,
     "Received application data (0x4b 0x0) invalid, should be 0x4b 0x1"),
    ([H("55AA0506004C0102A6")], RC.INVALID_APP_DATA,
     "Received application data (0x4c 0x1) invalid, should be 0x4b 0x1"),
    ([GOOD[:5], GOOD[5:] + b"\x00"], RC.INVALID_CHECK_DATA,
     "Received check data (0) is not correct. should be a7"),
])
def test_failed_replies(monkeypatch, chunks, code, message):
    install(monkeypatch, *chunks)
    rc = comm.Kelt()._Kelt__send_and_recv(C.GET_PUMP_STATUS)
    assert (rc.command, rc.code, rc.message, rc.value) == (C.GET_PUMP_STATUS, code, message, None)


def test_stray_byte_equal_to_check_byte_passes(monkeypatch):
    install(monkeypatch, GOOD[:5], GOOD[5:] + b"\xa7")
    rc = comm.Kelt()._Kelt__send_and_recv(C.GET_PUMP_STATUS)
    assert (rc.code, rc.value) == (RC.SUCCESS, [2])


def test_control_commands_without_user_data(monkeypatch):
    install(monkeypatch, H("55AA0506002100D4"))
    rc = comm.Kelt()._Kelt__send_and_recv(C.SET_START_CONTROL)
    assert (rc.code, rc.value, rc.message) == (RC.SUCCESS, [], "Success")


def test_wrong_user_data_length_touches_no_port(monkeypatch):
    port = install(monkeypatch)
    k = comm.Kelt()
    for rc in (k._Kelt__send_and_recv(C.GET_PUMP_STATUS, [1, 2]), k.get_kvo_rate([]),
               k.get_kvo_rate([1, 2])):
        assert (rc.code, rc.value) == (RC.INVALID_USER_DATA_LENGTH, None)
        assert rc.message == "User data length should same as 2nd byte in application header"
    assert port.instances == []


@pytest.mark.parametrize("kwargs, error", [
    (dict(command=C.GET_KVO_RATE, data_send=[256]), ValueError),
    (dict(command=C.GET_KVO_RATE, data_send=["a"]), TypeError),
    (dict(command=C.GET_PUMP_STATUS, to_addr=0x10000), OverflowError),
    (dict(command=C.GET_PUMP_STATUS, to_addr=-1), OverflowError),
    (dict(command=C.GET_PUMP_STATUS, to_addr=[1, 300]), ValueError),
    (dict(command=C.GET_PUMP_STATUS, to_addr=(1, 2)), TypeError),
    (dict(command=C.GET_PUMP_STATUS, to_addr=b"\x01"), TypeError),
    (dict(command=C.GET_PUMP_STATUS, to_channel=256), ValueError),
    (dict(command=C.GET_PUMP_STATUS, to_channel="a"), TypeError),
    (dict(command=C.GET_PUMP_STATUS, data_send=None), TypeError),
    (dict(command=999), KeyError),
    (dict(command=comm.PumpStatus.RUN), KeyError),
])
def test_bad_requests_raise_before_the_port(monkeypatch, kwargs, error):
    port = install(monkeypatch)
    with pytest.raises(error):
        comm.Kelt()._Kelt__send_and_recv(**kwargs)
    assert port.instances == []


class Unplugged(serial.SerialException):
    pass


@pytest.mark.parametrize("attrs", [
    dict(open_error=serial.SerialException("could not open port COM1")),
    dict(open_error=Unplugged("could not open port COM1"), starts_open=False),
    dict(write_error=serial.SerialException("could not open port COM1")),
    dict(read_error=Unplugged("could not open port COM1")),
])
def test_serial_failures_become_exception_records(monkeypatch, attrs):
    port = install(monkeypatch, **attrs)
    rc = comm.Kelt().get_pump_status()
    assert (rc.code, rc.message, rc.value) == (RC.EXCEPTION, "could not open port COM1", None)
    for p in port.instances:  # every port that got opened was closed again
        assert p.is_open is False or p.calls == []


def test_empty_serial_error_text_and_other_errors(monkeypatch):
    install(monkeypatch, read_error=serial.SerialException())
    assert comm.Kelt().get_pump_status().message == "Exeception occured"
    port = install(monkeypatch, read_error=RuntimeError("driver bug"))
    with pytest.raises(RuntimeError, match="driver bug"):
        comm.Kelt().get_pump_status()
    assert port.instances[0].calls[-1] == ("close",)


def test_failed_exchange_logs_nothing_after_the_failure(monkeypatch, debug_log):
    port = install(monkeypatch, write_error=OSError("gone"))
    with pytest.raises(OSError):
        comm.Kelt()._Kelt__sr(b"\x01", 9)
    assert lines(debug_log) == []
    assert port.instances[0].calls == [("write", b"\x01"), ("close",)]


def test_chkd():
    chkd = comm.Kelt()._Kelt__chkd
    assert chkd(list(H("55AA0506014B00"))) == 0xA9
    assert chkd(H("55AA050601500101")) == 0xA2
    assert chkd(list(H("55AA0506004B0102A7"))) == 0xA7
    assert chkd(list(H("55AA0506004B00")) + [9, 9]) == chkd(list(H("55AA0506004B00")))
    assert chkd([0xFF]) == 0x00 and chkd([0]) == 0xFF and chkd([]) == 0xFF
    assert chkd(list(H("55AA0506004B05"))) == chkd(list(H("55AA0506004B05")) + [])
    assert chkd([0x55, 0xAA, 5, 6, 1, C.GET_PUMP_STATUS, 0]) == 0xA9
    assert type(chkd([1])) is int
    with pytest.raises(TypeError):
        chkd([1, "a"])
    with pytest.raises(OverflowError):
        chkd([-1000])


def test_get_value_str():
    g = comm.Kelt.get_value_str
    assert g(C.GET_PUMP_STATUS, [2]) == "运行" == g(C.GET_PUMP_STATUS, (2,))
    assert g(C.GET_PUMP_STATUS, [2, 0]) is None
    assert g(C.GET_PUMP_STATUS, []) is None and g(C.GET_PUMP_STATUS, b"\x02") is None
    assert g(C.GET_REMAIN_TIME, [1, 5]) == "1小时5分"
    assert g(command=C.GET_REMAIN_TIME, value=[0, 0]) == "0小时0分"
    assert g(C.GET_PUMP_ALARM, [1, 0, 0, 0]) == "0000000100000000"
    assert g(C.GET_PUMP_ALARM, [0x80, 0x02, 9, 9]) == "1000000000000010"
    assert g(C.GET_PUMPDOOR_STATUS, [1]) == "开启" and g(C.GET_PUMPDOOR_STATUS, [0]) == "关闭"
    assert g(C.GET_RATE_UNIT, [1]) == "滴"
    assert g(C.GET_KVO_RATE, [0, 0, 1, 44]) == "[0, 0, 1, 44]"
    assert g(C.GET_INFUSION_PARAMETER, list(range(15))) == str(list(range(15)))
    assert g(C.SET_START_CONTROL, []) is None and g(C.SET_STOP_CONTROL, [1]) is None
    assert comm.Kelt().get_value_str(C.GET_RATE_UNIT, [0]) == "毫升"
    with pytest.raises(AssertionError):
        g(75, [2])
    with pytest.raises(TypeError):
        g(C.GET_PUMP_STATUS)


def test_get_value_str_conversion_failures(caplog):
    g = comm.Kelt.get_value_str
    with caplog.at_level(logging.ERROR, logger="tarvelpump.comm"):
        assert g(C.GET_RATE_UNIT, [2]) == "[2]"
        assert g(C.GET_PUMP_STATUS, [7]) == "[7]"
        assert g(C.GET_PUMP_ALARM, [256, 0, 0, 0]) == "[256, 0, 0, 0]"
    assert lines(caplog) == [
        "Fail to convert value [2] of command GET_RATE_UNIT",
        "Fail to convert value [7] of command GET_PUMP_STATUS",
        "Fail to convert value [256, 0, 0, 0] of command GET_PUMP_ALARM"]


def test_convert_func_table():
    f = comm.ConvertFunc
    assert [k.name for k in f] == ["GET_PUMP_STATUS", "GET_PUMPDOOR_STATUS", "GET_REMAIN_TIME",
                                   "GET_RATE_UNIT", "GET_PUMP_ALARM"]
    assert all(fn.__name__ == "<lambda>" for fn in f.values())
    assert f[C.GET_PUMP_ALARM]([1]) == "0000000000000001"
    assert f[C.GET_PUMP_ALARM]([]) == "0" * 16
    with pytest.raises(IndexError):
        f[C.GET_REMAIN_TIME]([1])


def test_remain_time_format_translated_at_each_use(monkeypatch):
    monkeypatch.setattr(comm, "_", lambda s: "%s h %s min")
    assert comm.Kelt.get_value_str(C.GET_REMAIN_TIME, [2, 30]) == "2 h 30 min"


def test_an_address_out_of_range_fails_as_to_bytes_does(monkeypatch):
    port = install(monkeypatch, STATUS_REPLY)
    for addr in (-1, 70000, -2**63, 2**63, 2**64, 2**70, -2**70):
        with pytest.raises(OverflowError) as expected:
            addr.to_bytes(2, "big")
        with pytest.raises(OverflowError) as got:
            comm.Kelt().get_pump_status(addr=addr)
        assert str(got.value) == str(expected.value), addr
    assert port.instances == []  # refused before the port is opened
