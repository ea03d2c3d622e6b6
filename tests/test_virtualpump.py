"""The virtual pump, exercised through pyserial on its pty as a host would."""

import os
import select
import signal
import subprocess
import sys
import threading
import time

import pytest
import serial
from hypothesis import given, settings, strategies as st

import tarvelpump
from tarvelpump._protocol import DATA_LENGTHS, PC2PUMP, address_prefix, build_frame, check_data
from tarvelpump.virtualpump import Fault, PumpState, RequestParser, VirtualPump, main, parse_faults

H = bytes.fromhex
STATUS_REQ = H("55 AA 05 06 01 4B 00 A9")
STATUS_RUN = H("55 AA 05 06 00 4B 01 02 A7")


def exchange(port, request, want, timeout=0.3, pieces=()):
    """One host exchange: open, write (optionally in pieces), read like the driver, close."""
    with serial.Serial(port, timeout=timeout) as line:
        for piece in pieces:
            line.write(piece)
            time.sleep(0.03)
        line.write(request)
        received = b""
        while len(received) < want and (chunk := line.read(want)):
            received += chunk
        return received


# -- frames and state, without a line ----------------------------------------

def test_frame_helpers_match_known_vectors():
    assert check_data(H("55 AA 05 06 01 4B 00")) == 0xA9
    assert check_data(STATUS_RUN[:-1]) == 0xA7 and check_data(STATUS_RUN) == 0xA7  # reads 7 + N bytes only
    assert build_frame(PC2PUMP, 0x50, b"\x01") == H("55 AA 05 06 01 50 01 01 A2")
    assert address_prefix(0x0102, 0x17) == H("01 02 17") and address_prefix(5) == H("00 05")
    assert address_prefix(0, 0) == b"" and address_prefix([1, 2]) == H("01 02")


def test_state_validation_and_faults():
    assert PumpState(kvo_rate=0x0A0B).kvo_rate == H("00 00 0A 0B")
    for bad in ({"running": 256}, {"alarm": 0x10000}, {"total_value": b"\x01"}, {"door": -1}):
        with pytest.raises(ValueError):
            PumpState(**bad)
    assert parse_faults("chunked+trailing_byte") == {Fault.CHUNKED, Fault.TRAILING_BYTE}
    with pytest.raises(ValueError, match="unknown fault"):
        parse_faults("loud")


REQUESTS = st.sampled_from(sorted(DATA_LENGTHS)).flatmap(lambda c: st.binary(
    min_size=DATA_LENGTHS[c][0], max_size=DATA_LENGTHS[c][0]).map(lambda d: build_frame(PC2PUMP, c, d)))
GARBAGE = st.binary(max_size=12).map(lambda b: b.replace(b"\x55", b""))  # no header can start in it


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(GARBAGE, st.binary(min_size=3, max_size=3), REQUESTS), max_size=6),
       st.lists(st.integers(1, 40), max_size=8))
def test_parser_finds_every_request_however_split(items, cuts):
    stream = b"".join(g + p + f for g, p, f in items)
    parser, found, pos = RequestParser(prefix_len=3), [], 0
    for cut in cuts + [len(stream)]:
        found += parser.feed(stream[pos:pos + cut])
        pos += cut
    assert found + parser.expire() == [(p, f) for _, p, f in items]


def test_parser_gives_up_on_incomplete_frame_after_pause():
    parser = RequestParser()
    assert parser.feed(H("55 AA 05 06 01 99 FF") + STATUS_REQ) == []  # waits for 263 bytes
    assert parser.expire() == [(b"", STATUS_REQ)] and not parser.pending


# -- commands over the pty ------------------------------------------------------

STATE = PumpState(running=3, door=1, remain_hours=2, remain_minutes=45, rate_unit=1, alarm=0x0140,
                  kvo_rate=0x0A0B, infusion_parameter=bytes(range(1, 16)), total_value=0x1234, bubble=1)
REPLIES = [
    ("55 AA 05 06 01 49 00 AB", "55 AA 05 06 00 49 0F 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 25"),
    ("55 AA 05 06 01 4B 00 A9", "55 AA 05 06 00 4B 01 03 A6"),
    ("55 AA 05 06 01 4C 00 A8", "55 AA 05 06 00 4C 04 00 00 12 34 5F"),
    ("55 AA 05 06 01 50 01 05 9E", "55 AA 05 06 00 50 04 00 00 0A 0B 8C"),
    ("55 AA 05 06 01 57 00 9D", "55 AA 05 06 00 57 04 01 40 00 00 59"),
    ("55 AA 05 06 01 77 00 7D", "55 AA 05 06 00 77 01 01 7C"),
    ("55 AA 05 06 01 78 00 7C", "55 AA 05 06 00 78 01 01 7B"),
    ("55 AA 05 06 01 A3 00 51", "55 AA 05 06 00 A3 02 02 2D 21"),
    ("55 AA 05 06 01 A8 00 4C", "55 AA 05 06 00 A8 01 01 4B"),
]


def test_every_query_gets_its_literal_reply(make_pump):
    pump = make_pump(STATE)
    for request, reply in REPLIES:
        assert exchange(pump.port, H(request), len(H(reply))) == H(reply)
    assert pump.answered == len(REPLIES) and pump.requests == [H(r) for r, _ in REPLIES]


def test_start_and_stop_control(make_pump):
    pump = make_pump(PumpState(running=0))
    assert exchange(pump.port, H("55 AA 05 06 01 22 00 D2"), 8) == H("55 AA 05 06 00 22 00 D3")
    assert exchange(pump.port, STATUS_REQ, 9) == H("55 AA 05 06 00 4B 01 01 A8")
    assert exchange(pump.port, H("55 AA 05 06 01 21 00 D3"), 8) == H("55 AA 05 06 00 21 00 D4")
    assert exchange(pump.port, STATUS_REQ, 9) == STATUS_RUN and pump.state.running == 2
    pump.update(running=1)
    pump.fault = Fault.BAD_APP_HEADER  # length byte 01 on a reply without user data; still obeyed
    assert exchange(pump.port, H("55 AA 05 06 01 21 00 D3"), 8) == H("55 AA 05 06 00 21 01 D3")
    assert pump.state.running == 2


@pytest.mark.parametrize("kwargs, answered, ignored", [
    ({"addr": 0x0102, "channel": 0x17}, "01 02 17", ["01 02 18", "01 03 17", "", "02 17"]),
    ({"addr": 801}, "03 21", ["03 22", "", "21"]),
    ({}, "", []),
    ({}, "01 02 17", []),  # transparent radio: prefix bytes are just line noise
])
def test_addressing(make_pump, kwargs, answered, ignored):
    pump = make_pump(**kwargs)
    for prefix in ignored:
        assert exchange(pump.port, H(prefix) + STATUS_REQ, 9) == b"", prefix
    assert exchange(pump.port, H(answered) + STATUS_REQ, 9) == STATUS_RUN
    assert pump.answered == 1 and len(pump.requests) == len(ignored) + 1


@pytest.mark.parametrize("request_bytes", [
    "55 AA 05 06 01 4B 00 AA",  # bad check byte
    "55 AA 05 06 01 99 00 5B",  # unknown command
    "55 AA 05 06 00 4B 00 AA",  # direction of a reply
    "55 AA 05 06 01 4B 01 01 A7",  # known command, wrong length
])
def test_malformed_requests_get_no_answer_and_do_not_wedge_the_pump(make_pump, request_bytes):
    pump = make_pump()
    assert exchange(pump.port, H(request_bytes), 9) == b""
    assert exchange(pump.port, STATUS_REQ, 9) == STATUS_RUN


def test_raw_client_that_sets_nothing_and_never_reads(make_pump):
    pump = make_pump(PumpState(remain_hours=2, remain_minutes=13))  # 0D must not turn into 0A
    fd = os.open(pump.port, os.O_RDWR | os.O_NOCTTY)
    try:
        os.write(fd, H("55 AA 05 06 01 A3 00 51"))
        assert select.select([fd], [], [], 1)[0] and os.read(fd, 64) == H("55 AA 05 06 00 A3 02 02 0D 41")
        for _ in range(100):
            os.write(fd, STATUS_REQ * 200)  # 180 kB of replies that nobody reads must not block the pump
    finally:
        os.close(fd)
    deadline = time.monotonic() + 10
    while pump.answered < 20001 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert pump.answered == 20001 and len(pump.requests) == 10_000
    assert exchange(pump.port, H("55 AA 05 06 01 A3 00 51"), 10) == H("55 AA 05 06 00 A3 02 02 0D 41")


def test_requests_split_across_writes_and_garbage(make_pump):
    pump = make_pump(addr=0x0102, channel=0x17)
    assert exchange(pump.port, STATUS_REQ[3:], 9, pieces=[H("00 FF 01"), H("02"), H("17 55 AA 05")]) == STATUS_RUN
    # A request cut short and abandoned is dropped after the pause; the next one is answered.
    assert exchange(pump.port, H("01 02 17 55 AA 05 06"), 9) == b""
    assert exchange(pump.port, H("01 02 17") + STATUS_REQ, 9) == STATUS_RUN


# -- faults -------------------------------------------------------------------------

@pytest.mark.parametrize("fault, reply", [
    ("silence", ""),
    ("bad_check", "55 AA 05 06 00 4B 01 02 A8"),
    ("bad_header", "55 AA 05 06 01 4B 01 02 A6"),
    ("bad_app_header", "55 AA 05 06 00 4B 00 02 AA"),
    ("truncated", "55 AA 05 06 00"),
    ("trailing_byte", "55 AA 05 06 00 4B 01 02 A7 A8"),
    ("echo", "55 AA 05 06 01 4B 00 A9"),
    ("chunked", "55 AA 05 06 00 4B 01 02 A7"),
])
def test_fault_replies(make_pump, fault, reply):
    pump = make_pump(fault=fault)
    assert exchange(pump.port, STATUS_REQ, max(len(H(reply)), 9)) == H(reply)
    assert pump.answered == (fault != "silence")
    pump.fault = None
    assert exchange(pump.port, STATUS_REQ, 9) == STATUS_RUN


def test_chunked_reply_arrives_in_parts(make_pump):
    pump = make_pump(fault="chunked,trailing_byte", chunk_delay=0.15)
    with serial.Serial(pump.port, timeout=1) as line:
        line.write(STATUS_REQ)
        started = time.monotonic()
        parts = [line.read(5)]
        time.sleep(0.05)
        assert line.in_waiting == 0
        parts += [line.read(2), line.read(3)]
    assert parts == [H("55 AA 05 06 00"), H("4B 01"), H("02 A7 A8")]
    assert time.monotonic() - started >= 0.28


# -- life cycle -------------------------------------------------------------------------

def test_atomic_updates_while_serving(make_pump):
    pump, done = make_pump(), threading.Event()

    def churn(i=0):
        while not done.is_set():
            i = (i + 1) % 256
            pump.update(remain_hours=i, remain_minutes=i)
    writer = threading.Thread(target=churn)
    writer.start()
    try:
        for _ in range(20):
            reply = exchange(pump.port, H("55 AA 05 06 01 A3 00 51"), 10)
            assert reply[7] == reply[8] and reply[-1] == check_data(reply[:-1])
    finally:
        done.set()
        writer.join()


def test_many_opens_no_leaks_and_prompt_stop():
    fds, threads = len(os.listdir("/proc/self/fd")), threading.active_count()
    for _ in range(3):
        with VirtualPump() as pump:
            for _ in range(15):
                assert exchange(pump.port, STATUS_REQ, 9, timeout=0.2) == STATUS_RUN
            assert os.path.exists(pump.port) and pump.running
        assert pump.port is None and not pump.running
        pump.stop()  # idempotent
    pump = VirtualPump(fault="chunked", chunk_delay=30).start()
    with pytest.raises(RuntimeError):
        pump.start()
    with serial.Serial(pump.port, timeout=1) as line:
        line.write(STATUS_REQ)
        assert line.read(5) == H("55 AA 05 06 00")
        started = time.monotonic()
        pump.stop()  # in the middle of a 30 s pause between chunks
    assert time.monotonic() - started < 1
    assert len(os.listdir("/proc/self/fd")) == fds and threading.active_count() == threads


def test_command_line():
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tarvelpump.__file__)))
    argv = "--addr 0x0321 --channel 23 --state running=pause --state alarm=0x8000".split()
    with subprocess.Popen([sys.executable, "-m", "tarvelpump.virtualpump", *argv],
                          stdout=subprocess.PIPE, env=env, text=True) as proc:
        try:
            port = proc.stdout.readline().strip()
            assert exchange(port, H("03 21 17") + STATUS_REQ, 9) == H("55 AA 05 06 00 4B 01 03 A6")
            alarm = exchange(port, H("03 21 17 55 AA 05 06 01 57 00 9D"), 12)
            assert alarm == H("55 AA 05 06 00 57 04 80 00 00 00 1A")
        finally:
            proc.send_signal(signal.SIGTERM)
            assert proc.wait(5) == 0
    for argv in (["--fault", "loud"], ["--state", "colour=1"], ["--channel", "256"]):
        with pytest.raises(SystemExit) as exc:
            main(argv)
        assert exc.value.code == 2
