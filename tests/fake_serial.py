"""A scripted stand-in for serial.Serial that records every call."""

import serial


class FakePort:
    """Replies come from `script`: a list of chunks handed out by read()."""

    script = []
    instances = []
    open_error = None
    write_error = None
    read_error = None
    starts_open = True

    def __init__(self, port=None, baudrate=9600, timeout=None, **kwargs):
        self.kwargs = dict(port=port, baudrate=baudrate, timeout=timeout, **kwargs)
        self.calls = []
        self.chunks = list(type(self).script)
        self.is_open = type(self).starts_open
        type(self).instances.append(self)
        if type(self).open_error is not None and self.is_open:
            raise type(self).open_error

    def open(self):
        self.calls.append(("open",))
        if type(self).open_error is not None:
            raise type(self).open_error
        self.is_open = True

    def write(self, data):
        self.calls.append(("write", bytes(data)))
        if type(self).write_error is not None:
            raise type(self).write_error
        return len(data)

    def read(self, size=1):
        self.calls.append(("read", size))
        if type(self).read_error is not None:
            raise type(self).read_error
        return self.chunks.pop(0) if self.chunks else b""

    def close(self):
        self.calls.append(("close",))
        self.is_open = False


def install(monkeypatch, *chunks, **attrs):
    """Puts a fresh FakePort subclass in place of serial.Serial."""
    fake = type("Port", (FakePort,), dict(script=list(chunks), instances=[], **attrs))
    monkeypatch.setattr(serial, "Serial", fake)
    return fake
