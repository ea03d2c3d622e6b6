"""Records and log lines go through the module's `DeviceReturn` and `log` as
they are bound when each is made, called as the module's Python would call
them."""

import tarvelpump.comm as comm
from fake_serial import install

C = comm.Command
H = bytes.fromhex


class Recorder:
    """A stand-in logger: every level on, each line kept with its level."""

    def __init__(self, lines, tag):
        self.lines, self.tag = lines, tag

    def isEnabledFor(self, level):
        return True

    def __getattr__(self, level):
        return lambda text: self.lines.append((self.tag, level, text))


def test_records_and_log_lines_through_the_names_bound_now(monkeypatch):
    shapes, lines = [], []
    real = comm.DeviceReturn

    def record(*args, **kwargs):
        shapes.append((len(args), list(kwargs)))
        return real(*args, **kwargs)

    monkeypatch.setattr(comm, "DeviceReturn", record)
    monkeypatch.setattr(comm, "log", Recorder(lines, "first"))

    # A good reply, read by a port that rebinds `log` on its read: the lines
    # after that go to the new logger.
    class Port(install(monkeypatch, H("55AA0506004B0102A7"))):
        def read(self, size=1):
            monkeypatch.setattr(comm, "log", Recorder(lines, "second"))
            return super().read(size)

    monkeypatch.setattr(comm.serial, "Serial", Port)
    rc = comm.Kelt("p").get_pump_status()
    assert (rc.code, rc.value, rc.message) == (comm.DeviceReturnCode.SUCCESS, 2, "运行")
    assert [(tag, level) for tag, level, _ in lines] == [
        ("first", "debug"), ("second", "debug"), ("second", "debug")]

    # Failures: a wrong check byte, then user data of the wrong length.
    install(monkeypatch, H("55AA0506004B0102A6"))
    rc = comm.Kelt("p").get_pump_status()
    assert rc.message == "Received check data (a6) is not correct. should be a7"
    rc = comm.Kelt("p").get_kvo_rate([])
    assert rc.code == comm.DeviceReturnCode.INVALID_USER_DATA_LENGTH
    # The exchange passes the command first; the simulation by keyword.
    del lines[:]
    assert len(comm.fake_get_all_status(801)) == 5
    assert shapes == [(1, ["value", "code", "message"]), (1, ["code", "message"]), (1, ["code"])] + [
        (0, ["command", "value", "code", "message"])] * 5
    assert lines[0] == ("second", "info", "Get faking status from address 801")

    # A value the converter cannot read: one error line.
    del lines[:]
    assert comm.Kelt.get_value_str(C.GET_PUMP_STATUS, [99]) == "[99]"
    assert lines == [("second", "error", "Fail to convert value [99] of command GET_PUMP_STATUS")]
