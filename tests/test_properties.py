"""Property tests of the command transaction through the module: random and
mutated replies, random user data, addresses and channels, fed through the
scripted port of fake_serial.

Invariants, checked against a reference written here in plain Python:
- nothing but the documented exceptions ever leaves the transaction;
- SUCCESS only for a well-formed frame of the command: 8 + N bytes, frame
  header 55 AA 05 06 00, the command's application header, right check
  data. The last byte received is always taken as the check data, so a
  longer reply passes only when its first 7 + N bytes and its last byte
  make such a frame;
- every other reply gets the result code of the first test it fails, in
  the order: nothing received, too short, check data, header, application
  header; with the message that failure gives;
- every request written is the radio prefix followed by a well-formed
  frame, read in pieces of 8 + N bytes, and the port is closed after;
- a request that cannot be built is refused before the port is touched,
  with the error of the first step of its assembly that fails.
"""

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import tarvelpump.comm as comm
from fake_serial import install

C = comm.Command
RC = comm.DeviceReturnCode
COMMANDS = list(C)
SEND_LEN = {int(c): comm.CommandSendAppHeader[c][1] for c in C}
RECV_LEN = {int(c): comm.CommandRecvAppHeader[c][1] for c in C}
REQUEST_HEADER = [0x55, 0xAA, 0x05, 0x06, 0x01]
REPLY_HEADER = [0x55, 0xAA, 0x05, 0x06, 0x00]

PROPERTY = settings(max_examples=250, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])

byte = st.integers(0, 255)


# --- the reference -----------------------------------------------------------


def check_byte(covered):
    return 0xFF - sum(covered) % 256


def frame(header, command, data):
    body = [*header, int(command), len(data), *data]
    return body + [check_byte(body)]


def expected_outcome(reply, command):
    """(code, message) of the first test that `reply` fails, or SUCCESS."""
    n = len(reply)
    if n == 0:
        return RC.NO_DATA_RETURN, "No data returns."
    if n <= 7 or n < 8 + reply[6]:
        return RC.INVALID_DATA_LENGTH, "Data length must greater/equals than 7"
    due = check_byte(reply[:min(n - 2, 6 + reply[6]) + 1])
    if reply[-1] != due:
        return (RC.INVALID_CHECK_DATA,
                f"Received check data ({reply[-1]:x}) is not correct. should be {due:x}")
    if reply[:5] != REPLY_HEADER:
        return (RC.INVALID_HEADER_DATA,
                "Received header data (" + " ".join(map(hex, reply[:5]))
                + ") invalid, should be 0x55 0xaa 0x5 0x6 0x0")
    app = [int(command), RECV_LEN[int(command)]]
    if reply[5:7] != app:
        return (RC.INVALID_APP_DATA,
                "Received application data (" + " ".join(map(hex, reply[5:7]))
                + ") invalid, should be " + " ".join(map(hex, app)))
    return RC.SUCCESS, None


def holds_good_frame(reply, command):
    """The first 7 + N bytes of `reply` followed by its last byte form a
    well-formed reply frame of `command`. For a reply of 8 + N bytes that is
    the whole reply; bytes after the user data other than the last one are
    not part of the frame (the last byte received is always its check data)."""
    n_data = RECV_LEN[int(command)]
    if len(reply) < 8 + n_data:
        return False
    head = reply[:7 + n_data] + reply[-1:]
    return (head[:5] == REPLY_HEADER and head[5:7] == [int(command), n_data]
            and head[-1] == check_byte(head[:-1]))


def refusal(command, sent, to_addr, to_channel):
    """How the transaction refuses a request before touching the port, in the
    order of its assembly; None when it is sent."""
    n = SEND_LEN[int(command)]
    if len(sent) != n:
        return RC.INVALID_USER_DATA_LENGTH
    # The check data sums the header and the user data, and writes the
    # folded sum as four unsigned bytes.
    if not all(isinstance(b, int) for b in sent):
        return TypeError
    folded = (sum(REQUEST_HEADER) + int(command) + n + sum(sent)) ^ 0xFFFF
    if not 0 <= folded < 1 << 32:
        return OverflowError
    # The address: two bytes of an int, or the elements of a list.
    prefix = []
    if to_addr:
        if isinstance(to_addr, int):
            if not 0 <= to_addr <= 0xFFFF:
                return OverflowError
            prefix = [to_addr >> 8, to_addr & 0xFF]
        elif isinstance(to_addr, list):
            prefix = list(to_addr)
        else:
            return TypeError
    if to_channel:
        prefix.append(to_channel)
    # bytes() over the whole request, prefix first.
    for b in prefix + list(sent):
        if not isinstance(b, int):
            return TypeError
        if not 0 <= b <= 255:
            return ValueError
    return None


def received_bytes(chunks, recv_len):
    """What the exchange collects: chunks until one is empty or enough came."""
    got = []
    for chunk in chunks:
        got += chunk
        if not chunk or len(got) >= recv_len:
            break
    return got


def radio_prefix(to_addr, to_channel):
    prefix = []
    if to_addr:
        prefix += list(to_addr.to_bytes(2, "big")) if isinstance(to_addr, int) else to_addr
    if to_channel:
        prefix.append(to_channel)
    return prefix


# --- strategies ----------------------------------------------------------------


@st.composite
def replies(draw, command, request):
    """A good reply of `command`, then none or a few mutations of it; or the
    echoed request; or bytes at random. Half of the mutated replies get their
    last byte set to the right check data again, so that the later tests
    (headers) are reached too."""
    start = draw(st.sampled_from(["good", "good", "good", "echo", "random"]))
    if start == "random":
        return draw(st.lists(byte, max_size=30))
    if start == "echo":
        reply = list(request)
    else:
        reply = frame(REPLY_HEADER, command,
                      draw(st.lists(byte, min_size=RECV_LEN[int(command)],
                                    max_size=RECV_LEN[int(command)])))
    mutations = draw(st.integers(0, 3))
    for _ in range(mutations):
        kind = draw(st.sampled_from(["flip", "set", "truncate", "extend", "repeat_last",
                                     "other_command", "other_length"]))
        if kind == "other_command" and len(reply) > 5:
            reply[5] = draw(st.sampled_from([int(c) for c in C] + [0, 255]))
        elif kind == "other_length" and len(reply) > 6:
            reply[6] = draw(st.integers(0, 16))
        elif kind in ("flip", "set") and reply:
            # Mostly the headers, where a change is a different defect.
            where = draw(st.sampled_from([(0, 4), (5, 6), (0, len(reply) - 1)]))
            i = min(draw(st.integers(*where)), len(reply) - 1)
            if kind == "flip":
                reply[i] ^= 1 << draw(st.integers(0, 7))
            else:
                reply[i] = draw(byte)
        elif kind == "truncate":
            reply = reply[:draw(st.integers(0, len(reply)))]
        elif kind == "extend":
            reply += draw(st.lists(byte, min_size=1, max_size=4))
        elif kind == "repeat_last" and reply:
            reply.append(reply[-1])
    if (mutations and len(reply) >= 8 and len(reply) >= 8 + reply[6]
            and draw(st.sampled_from([True, True, False]))):
        reply[-1] = check_byte(reply[:7 + reply[6]])
    return reply


@st.composite
def chunked(draw, reply, read_size):
    """`reply` cut into reads of at most `read_size` bytes; now and then an
    empty read in between, which ends the collection early."""
    cuts = sorted(draw(st.sets(st.integers(1, max(len(reply) - 1, 1)), max_size=4)))
    pieces = [reply[a:b] for a, b in zip([0, *cuts], [*cuts, len(reply)]) if a < b]
    chunks = []
    for piece in pieces:
        chunks += [piece[i:i + read_size] for i in range(0, len(piece), read_size)]
    if chunks and draw(st.sampled_from([False] * 9 + [True])):
        chunks.insert(draw(st.sampled_from(range(len(chunks) + 1))), [])
    return chunks


addresses = st.one_of(st.none(), st.just(0), st.integers(1, 0xFFFF),
                      st.lists(byte, max_size=3))
channels = st.one_of(st.none(), st.just(0), byte)


def user_data(command):
    n = SEND_LEN[int(command)]
    return st.lists(byte, min_size=n, max_size=n)


# --- properties ----------------------------------------------------------------


def run_transaction(chunks, **kwargs):
    with pytest.MonkeyPatch.context() as mp:
        port = install(mp, *map(bytes, chunks))
        rc = comm.Kelt()._Kelt__send_and_recv(**kwargs)
    return rc, port.instances


def check_request(instances, command, data, to_addr, to_channel):
    (p,) = instances
    recv_len = 8 + RECV_LEN[int(command)]
    (write,), reads, (close,) = p.calls[:1], p.calls[1:-1], p.calls[-1:]
    assert write[0] == "write" and close == ("close",) and p.is_open is False
    assert reads and all(r == ("read", recv_len) for r in reads)
    written = list(write[1])
    prefix = radio_prefix(to_addr, to_channel)
    assert written[:len(prefix)] == prefix
    request = written[len(prefix):]
    n = SEND_LEN[int(command)]
    assert len(request) == 8 + n
    assert request[:5] == REQUEST_HEADER and request[5:7] == [int(command), n]
    assert request[7:7 + n] == list(data)
    assert request[-1] == check_byte(request[:-1])
    return request


@PROPERTY
@given(st.data(), st.sampled_from(COMMANDS), addresses, channels)
def test_every_reply_gets_the_code_of_its_first_failed_test(data, command, to_addr, to_channel):
    sent = data.draw(user_data(command), label="data_send")
    request = frame(REQUEST_HEADER, command, sent)
    reply = data.draw(replies(command, request), label="reply")
    recv_len = 8 + RECV_LEN[int(command)]
    chunks = data.draw(chunked(reply, min(recv_len, 128)), label="chunks")

    rc, instances = run_transaction(chunks, command=command, data_send=sent,
                                    to_addr=to_addr, to_channel=to_channel)
    check_request(instances, command, sent, to_addr, to_channel)

    got = received_bytes(chunks, recv_len)
    code, message = expected_outcome(got, command)
    event(code.name)
    assert rc.command is command
    assert rc.code == code, (got, rc)
    if rc.code == RC.SUCCESS:
        assert holds_good_frame(got, command), got
        n = RECV_LEN[int(command)]
        assert rc.value == got[7:7 + n]
        assert rc.message == (comm.Kelt.get_value_str(command, rc.value) or "Success")
    else:
        assert rc.value is None
        assert rc.message == (message or code.text)


@PROPERTY
@given(st.data(), st.sampled_from(COMMANDS), addresses, channels)
def test_good_replies_succeed_however_they_arrive(data, command, to_addr, to_channel):
    sent = data.draw(user_data(command), label="data_send")
    value = data.draw(st.lists(byte, min_size=RECV_LEN[int(command)],
                               max_size=RECV_LEN[int(command)]), label="value")
    reply = frame(REPLY_HEADER, command, value)
    cuts = sorted(data.draw(st.sets(st.integers(1, len(reply) - 1), max_size=3), label="cuts"))
    chunks = [reply[a:b] for a, b in zip([0, *cuts], [*cuts, len(reply)])]

    rc, instances = run_transaction(chunks, command=command, data_send=sent,
                                    to_addr=to_addr, to_channel=to_channel)
    check_request(instances, command, sent, to_addr, to_channel)
    assert (rc.code, rc.value) == (RC.SUCCESS, value)
    assert len(instances[0].calls) == 2 + len(chunks)  # write, one read per part, close


odd = st.one_of(st.integers(-2000, 300), st.integers(1 << 40, 1 << 70), st.just("a"),
                st.just(1.5), st.booleans())
odd_addresses = st.one_of(addresses, st.integers(-300, 0x20000), st.lists(odd, max_size=3),
                          st.tuples(byte, byte), st.just(b"\x01\x02"), st.just(1.5))
odd_channels = st.one_of(channels, odd)


@PROPERTY
@given(st.data(), st.sampled_from(COMMANDS), odd_addresses, odd_channels)
def test_requests_are_refused_in_the_order_of_their_assembly(data, command, to_addr, to_channel):
    n = SEND_LEN[int(command)]
    sent = data.draw(st.one_of(user_data(command), st.lists(odd, min_size=n, max_size=n),
                               st.lists(odd, max_size=3)), label="data_send")
    expected = refusal(command, sent, to_addr, to_channel)
    event(getattr(expected, "__name__", str(expected)))
    reply = frame(REPLY_HEADER, command, [0] * RECV_LEN[int(command)])

    with pytest.MonkeyPatch.context() as mp:
        port = install(mp, bytes(reply))
        k = comm.Kelt()
        if isinstance(expected, type):
            with pytest.raises(expected):
                k._Kelt__send_and_recv(command, sent, to_addr, to_channel)
        else:
            rc = k._Kelt__send_and_recv(command, sent, to_addr, to_channel)
    if expected is None:
        assert rc.code == RC.SUCCESS
        check_request(port.instances, command, sent, to_addr, to_channel)
    else:
        if not isinstance(expected, type):
            assert (rc.code, rc.value, rc.message) == (expected, None, expected.text)
        assert port.instances == []


@PROPERTY
@given(st.one_of(st.integers(0, 32), st.integers(35, 72), st.integers(169, 400)),
       st.lists(byte, max_size=2))
def test_unknown_commands_raise_key_error_and_write_nothing(command, sent):
    with pytest.MonkeyPatch.context() as mp:
        port = install(mp)
        with pytest.raises(KeyError):
            comm.Kelt()._Kelt__send_and_recv(command, sent)
    assert port.instances == []
