"""hex_str and list_ports."""

import pytest

import tarvelpump.comm as comm


@pytest.mark.parametrize("data, text", [
    (255, "0xff"), (0, "0x0"), (-1, "-0x1"), (True, "0x1"), (2**70, "0x400000000000000000"),
    (bytes.fromhex("55AA050601"), "0x55 0xaa 0x5 0x6 0x1"),
    (b"", ""), ([], ""), ([75, 1], "0x4b 0x1"), ([-3, 2**64], "-0x3 0x10000000000000000"),
    (bytearray(b"\x01"), "bytearray(b'\\x01')"), ((1, 2), "(1, 2)"), ("55", "55"),
    (None, "None"),
])
def test_hex_str(data, text):
    assert comm.hex_str(data) == text


def test_hex_str_entries_and_subclasses():
    cmd = comm.Command.GET_PUMP_STATUS
    assert comm.hex_str([cmd, 1]) == "0x4b 0x1"
    assert comm.hex_str(cmd) == "0x4b"

    class Reversed(list):
        def __iter__(self):
            return reversed(self[:])

    class B(bytes):
        pass

    assert comm.hex_str(Reversed([1, 2])) == "0x2 0x1"
    assert comm.hex_str(B(b"\x10\x20")) == "0x10 0x20"
    assert comm.hex_str(data=[16]) == "0x10"


def test_hex_str_bad_elements_and_calls():
    with pytest.raises(TypeError):
        comm.hex_str([1, "a"])
    with pytest.raises(TypeError):
        comm.hex_str([1.5])
    with pytest.raises(TypeError, match=r"hex_str\(\) takes 1 positional argument but 2 were given"):
        comm.hex_str(1, 2)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'data'"):
        comm.hex_str()
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        comm.hex_str(x=1)


def test_hex_str_list_mutated_by_index():
    data = []

    class Shrinks:
        def __index__(self):
            data.clear()
            return 7

    data.extend([Shrinks(), 1, 2])
    assert comm.hex_str(data) == "0x7"


def test_list_ports_uses_serial_at_call_time(monkeypatch):
    import serial.tools.list_ports as lp

    ports = ["a", "b"]
    monkeypatch.setattr(lp, "comports", lambda: iter(ports))
    result = comm.list_ports()
    assert result == ["a", "b"] and type(result) is list

    monkeypatch.setattr(lp, "comports", lambda: iter(()))
    assert comm.list_ports() == []

    def broken():
        raise OSError("sysfs gone")

    monkeypatch.setattr(lp, "comports", broken)
    with pytest.raises(OSError, match="sysfs gone"):
        comm.list_ports()


from hypothesis import given, strategies as st


@given(st.one_of(st.binary(max_size=40),
                 st.lists(st.one_of(st.integers(), st.booleans()), max_size=20)))
def test_hex_str_matches_hex_of_each_element(data):
    assert comm.hex_str(data) == " ".join(hex(x) for x in data)
