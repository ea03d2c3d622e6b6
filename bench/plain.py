"""What a user would write in plain Python for the calls that bench/run.py
times side by side with tarvelpump.comm: an option table with `codes` and
`get_option_by_code`, a pump class with `__init__`, `get_value_str`, the
exchange over pyserial with its per-port lock, the transaction and the full
status query, and the record it returns. Written the way one writes it when
speed matters (look-up dicts and code tuples made once per table), not line
for line; the table contents are taken from the module so both sides answer
the same. Nothing here imports the module's C++ at call time.
"""

from __future__ import annotations

import gettext
import logging
import random
import threading
import time

import serial

from tarvelpump import comm as _source

_ = gettext.gettext
log = logging.getLogger("plain")

PROD_ID, PC2PUMP, PUMP2PC = 6, 1, 0


class Option(int):
    """An entry: an int code with a name and a text."""

    def __new__(cls, code, name, text=None):
        self = super().__new__(cls, code)
        self.name, self.text = name, text
        return self

    def __str__(self):
        return self.name


class OptionsMeta(type):
    """Upper-case class attributes become entries; codes and the code look-up
    are made once, when the table is declared."""

    def __new__(mcls, name, bases, ns):
        entries = []
        for key, value in list(ns.items()):
            if key.isupper() and not key.startswith("_"):
                code, text = value if isinstance(value, tuple) else (value, None)
                ns[key] = entry = Option(code, key, text)
                entries.append(entry)
        ns["codes"] = tuple(int(e) for e in entries)  # a plain class attribute
        cls = super().__new__(mcls, name, bases, ns)
        cls._options_ = tuple(entries)
        cls._ids_ = frozenset(map(id, entries))  # membership is by identity
        cls._by_code_ = {}
        for e in entries:
            cls._by_code_.setdefault(int(e), e)
        return cls

    def get_option_by_code(cls, code):
        return cls._by_code_.get(code)

    def __contains__(cls, x):
        return id(x) in cls._ids_

    def __iter__(cls):
        return iter(cls._options_)

    def __len__(cls):
        return len(cls._options_)


class Options(metaclass=OptionsMeta):
    pass


def _copy(table):
    """A plain table with the entries of one of the module's tables."""
    ns = {e.name: (int(e), e.text) if e.text is not None else int(e) for e in table}
    return OptionsMeta(table.__name__, (Options,), ns)


PumpStatus = _copy(_source.PumpStatus)
PumpDoorStatus = _copy(_source.PumpDoorStatus)
RateUnit = _copy(_source.RateUnit)
Command = _copy(_source.Command)
DeviceReturnCode = _copy(_source.DeviceReturnCode)
CommandSendAppHeader = {Command.get_option_by_code(int(c)): [int(v) for v in h]
                        for c, h in _source.CommandSendAppHeader.items()}
CommandRecvAppHeader = {Command.get_option_by_code(int(c)): [int(v) for v in h]
                        for c, h in _source.CommandRecvAppHeader.items()}

ConvertFunc = {
    Command.GET_PUMP_STATUS: lambda v: PumpStatus.get_option_by_code(v[0]).text,
    Command.GET_PUMPDOOR_STATUS: lambda v: PumpDoorStatus.get_option_by_code(v[0]).text,
    Command.GET_REMAIN_TIME: lambda v: _("%s小时%s分") % (v[0], v[1]),
    Command.GET_RATE_UNIT: lambda v: RateUnit.get_option_by_code(v[0]).text,
    Command.GET_PUMP_ALARM: lambda v: format(int.from_bytes(bytes(v[:2]), "big"), "016b"),
}


def hex_str(data):
    if isinstance(data, int):
        return hex(data)
    if isinstance(data, (bytes, list)):
        return " ".join(hex(x) for x in data)
    return str(data)


class DeviceReturn:
    def __init__(self, command, value=None, code=DeviceReturnCode.SUCCESS, message=""):
        assert isinstance(command, Option)
        assert code in DeviceReturnCode
        self.value = value
        self.code = code
        self.command = command
        self.message = message if message else code.text

    def __repr__(self):
        return ("<DeviceReturn command=" + str(self.command.name)
                + " code=" + str(self.code) + ", value=" + str(self.value)
                + ", message=" + str(self.message) + ">")

    command = None
    code = DeviceReturnCode.NOT_SET
    message = DeviceReturnCode.NOT_SET.text
    value = None


_locks = {}
_locks_guard = threading.Lock()


def _port_lock(port):
    """One re-entrant lock per port value, for the whole process."""
    with _locks_guard:
        lock = _locks.get(port)
        if lock is None:
            lock = _locks[port] = threading.RLock()
    return lock


class Kelt:
    __gsh = [0x55, 0xAA, 0x05, PROD_ID, PC2PUMP]
    __grh = [0x55, 0xAA, 0x05, PROD_ID, PUMP2PC]

    def __init__(self, port="COM1", baud_rate=9600, timeout=1):
        self.port = port
        self.baud_rate = baud_rate
        self.timeout = timeout

    def __sr(self, data, recv_len=32):
        size = 128 if recv_len > 128 else recv_len
        with _port_lock(self.port):
            port = serial.Serial(port=self.port, baudrate=self.baud_rate, timeout=self.timeout)
            if not port.is_open:
                port.open()
            sent = port.write(data)
            debug = log.isEnabledFor(logging.DEBUG)
            if debug:
                log.debug(str(sent) + " bytes sent. " + hex_str(data))
            received, total = b"", 0
            while total < recv_len:
                chunk = port.read(size)
                if debug:
                    log.debug(str(len(chunk)) + " bytes received. " + hex_str(chunk))
                received += chunk
                total += len(chunk)
                if not chunk or total >= recv_len:
                    break
            if debug:
                log.debug("Finished. Total %d bytes received." % total)
            port.close()
        return list(received)

    def __chkd(self, data):
        return (sum(data[:7 + data[6]]) ^ 0xFFFF).to_bytes(4, "big")[-1]

    @staticmethod
    def get_value_str(command, value):
        # the same steps as the module's: the command check, the length
        # rule, the converter with its logged fallback
        assert command in Command
        length = CommandRecvAppHeader[command][1]
        if not isinstance(value, (list, tuple)) or not value or len(value) != length:
            return None
        convert = ConvertFunc.get(command)
        if convert:
            try:
                return convert(value)
            except Exception:
                log.error("Fail to convert value " + str(value) + " of command " + command.name)
                return str(value)
        return str(value)

    def __send_and_recv(self, command, data_send=[], to_addr=None, to_channel=None):
        send_header = CommandSendAppHeader[command]
        recv_header = CommandRecvAppHeader[command]
        if send_header[1] != len(data_send):
            return DeviceReturn(command, code=DeviceReturnCode.INVALID_USER_DATA_LENGTH)
        body = self.__gsh + send_header[:2] + list(data_send)
        body.append(self.__chkd(body))
        prefix = b""
        if to_addr:
            prefix = to_addr.to_bytes(2, "big") if isinstance(to_addr, int) else bytes(to_addr)
        if to_channel:
            prefix += bytes([to_channel])
        reply = self.__sr(prefix + bytes(body), recv_len=8 + recv_header[1])
        if not reply:
            return DeviceReturn(command, code=DeviceReturnCode.NO_DATA_RETURN)
        if len(reply) <= 7 or len(reply) < 8 + reply[6]:
            return DeviceReturn(command, code=DeviceReturnCode.INVALID_DATA_LENGTH)
        expected = self.__chkd(reply[:-1])
        if reply[-1] != expected:
            return DeviceReturn(command, code=DeviceReturnCode.INVALID_CHECK_DATA,
                                message=f"Received check data ({reply[-1]:x}) is not "
                                        f"correct. should be {expected:x}")
        if reply[:5] != self.__grh:
            return DeviceReturn(command, code=DeviceReturnCode.INVALID_HEADER_DATA)
        if reply[5:7] != recv_header:
            return DeviceReturn(command, code=DeviceReturnCode.INVALID_APP_DATA)
        value = reply[7:7 + reply[6]]
        return DeviceReturn(command, value=value, code=DeviceReturnCode.SUCCESS,
                            message=self.get_value_str(command, value))

    def get_pump_status(self, addr=None, channel=None):
        return self.__send_and_recv(command=Command.GET_PUMP_STATUS, to_addr=addr,
                                    to_channel=channel)

    def __send_commands(self, head_data_list, addr=None, channel=None):
        results = []
        for command, data in head_data_list:
            results.append(self.__send_and_recv(command=command, data_send=data,
                                                to_addr=addr, to_channel=channel))
            time.sleep(0.1)
        return results

    def get_all_status(self, addr=None, channel=None):
        return self.__send_commands([(Command.GET_PUMP_STATUS, []),
                                     (Command.GET_PUMPDOOR_STATUS, []),
                                     (Command.GET_REMAIN_TIME, []),
                                     (Command.GET_RATE_UNIT, []),
                                     (Command.GET_PUMP_ALARM, [])], addr=addr, channel=channel)


def fake_return_code_msg(cmd, val):
    if round(random.random() * 100, 2) > 90:
        return DeviceReturnCode.NO_DATA_RETURN, DeviceReturnCode.NO_DATA_RETURN.text
    return DeviceReturnCode.SUCCESS, Kelt.get_value_str(cmd, val)
