# Types of the extension module tarvelpump.comm. After the imports, the names
# follow the order in which the module's start-up binds them.

import logging as logging
import random as random
import sys
import time as time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, ClassVar, Protocol, Self, SupportsIndex, final, type_check_only

import serial as serial
from serial.tools.list_ports_common import ListPortInfo
from typing_extensions import disjoint_base

# ---------------------------------------------------------------- tables
#
# A table that has entries cannot be extended, hence @final on every one.

class _OptionsMeta(type):
    """The metaclass of option tables (type(Options); not a module name)."""

    def __new__(
        mcls, name: str, bases: tuple[type, ...], ns: dict[str, Any], /, **kwds: Any
    ) -> _OptionsMeta: ...
    def __bool__(cls) -> bool: ...
    def __contains__(cls, item: object, /) -> bool: ...
    def __iter__(cls) -> Iterator[Option]: ...
    def __len__(cls) -> int: ...
    def get_option_by_code(cls, code: int, /) -> Option | None: ...
    # `codes` is read-only and follows `_options_`.
    def __setattr__(cls, name: str, value: Any, /) -> None: ...
    def __delattr__(cls, name: str, /) -> None: ...

class Options(metaclass=_OptionsMeta):
    """Base of an option table: each upper-case class attribute, declared as
    a code or a (code, text) pair, becomes an Option entry."""

    # The codes of the entries as plain ints, in declaration order.
    codes: ClassVar[tuple[int, ...]]

# Whether a class's own instance layout keeps it from being mixed with other
# bases (PEP 800) changed in 3.12, as for classes written in Python: an int
# subclass's instance dict is then kept by the interpreter, not in a slot of
# the class; a record's own dict and weak-reference slots now count as layout.
if sys.version_info >= (3, 12):
    class Option(int):
        """An entry of an option table: an int code with a name and a text."""

        name: str
        text: str | None
        def __new__(cls, code: int, name: str, text: str | None = None) -> Self: ...

else:
    @disjoint_base
    class Option(int):
        """An entry of an option table: an int code with a name and a text."""

        name: str
        text: str | None
        def __new__(cls, code: int, name: str, text: str | None = None) -> Self: ...

def _(message: str) -> str: ...

log: logging.Logger

PROD_ID: int
PC2PUMP: int
PUMP2PC: int

@final
class DeviceReturnCode(Options):
    EXCEPTION: ClassVar[Option]
    NOT_SET: ClassVar[Option]
    SUCCESS: ClassVar[Option]
    NO_DATA_RETURN: ClassVar[Option]
    INVALID_DATA_LENGTH: ClassVar[Option]
    INVALID_CHECK_DATA: ClassVar[Option]
    INVALID_HEADER_DATA: ClassVar[Option]
    INVALID_APP_DATA: ClassVar[Option]
    INVALID_USER_DATA_LENGTH: ClassVar[Option]

if sys.version_info >= (3, 12):
    @disjoint_base
    class DeviceReturn:
        """The result of one exchange."""

        command: Option
        value: Any
        code: Option
        message: str
        def __init__(
            self,
            command: Option,
            value: Any = None,
            code: Option = ...,
            message: str = "",
        ) -> None: ...

else:
    class DeviceReturn:
        """The result of one exchange."""

        command: Option
        value: Any
        code: Option
        message: str
        def __init__(
            self,
            command: Option,
            value: Any = None,
            code: Option = ...,
            message: str = "",
        ) -> None: ...

@final
class PowerStatus(Options):
    AC: ClassVar[Option]
    BATTERY: ClassVar[Option]
    DC: ClassVar[Option]
    EXTERNAL: ClassVar[Option]

@final
class PumpStatus(Options):
    OFF: ClassVar[Option]
    STOP: ClassVar[Option]
    RUN: ClassVar[Option]
    PAUSE: ClassVar[Option]
    BOLUS: ClassVar[Option]
    PURGING: ClassVar[Option]
    KVO: ClassVar[Option]

@final
class PumpDoorStatus(Options):
    OPEN: ClassVar[Option]
    CLOSE: ClassVar[Option]

@final
class RateUnit(Options):
    ML: ClassVar[Option]
    DROP: ClassVar[Option]

@final
class KeltPumpAlarmBits(Options):
    ALARM_CRYSTAL_CHECK: ClassVar[Option]
    ALARM_WDT_RESET_POWER_LOST: ClassVar[Option]
    ALARM_MOTOR_CHECK_FAULT: ClassVar[Option]
    ALARM_KEY_STUCK: ClassVar[Option]
    ALARM_DEPLETED_BATTERY: ClassVar[Option]
    ALARM_MOTOR_RATE_FAULT: ClassVar[Option]
    ALARM_AIR_IN_LINE: ClassVar[Option]
    ALARM_OCCLUSION: ClassVar[Option]
    ALARM_INFUSION_COMPLETE: ClassVar[Option]
    ALARM_DOOR_OPEN: ClassVar[Option]
    ALARM_KVO_COMPLETE: ClassVar[Option]
    ALARM_PURGE_KEY_STUCK: ClassVar[Option]
    ALARM_INFUSION_NEARLY_COMPLETE: ClassVar[Option]
    ALARM_PUMP_STOPPED_REMINDER: ClassVar[Option]
    ALARM_LOW_BATTERY: ClassVar[Option]

# Position of each alarm in the pump's own alarm list; -1 where it has none.
AlarmOrder: dict[Option, int]

@final
class Command(Options):
    SET_START_CONTROL: ClassVar[Option]
    SET_STOP_CONTROL: ClassVar[Option]
    GET_INFUSION_PARAMETER: ClassVar[Option]
    GET_PUMP_STATUS: ClassVar[Option]
    GET_TOTAL_VALUE: ClassVar[Option]
    GET_KVO_RATE: ClassVar[Option]
    GET_PUMP_ALARM: ClassVar[Option]
    GET_BUBBLE: ClassVar[Option]
    GET_PUMPDOOR_STATUS: ClassVar[Option]
    GET_REMAIN_TIME: ClassVar[Option]
    GET_RATE_UNIT: ClassVar[Option]

# [command, user-data length] of a request and of its reply, per command.
CommandSendAppHeader: dict[Option, list[int]]
CommandRecvAppHeader: dict[Option, list[int]]

# Reply value -> operator text, per command.
ConvertFunc: dict[Option, Callable[[Sequence[int]], str]]

# ---------------------------------------------------------------- functions

def hex_str(data: object) -> str: ...
def list_ports() -> list[ListPortInfo]: ...

# ---------------------------------------------------------------- the device

class Kelt:
    """A pump reached through a serial port, directly or through a LoRa radio.
    A radio address is an int (two bytes, big-endian) or a list of byte values."""

    _Kelt__gsh: ClassVar[list[int]]
    _Kelt__grh: ClassVar[list[int]]
    port: str
    baud_rate: int
    timeout: float | None
    def __init__(self, port: str = "COM1", baud_rate: int = 9600, timeout: float | None = 1) -> None: ...
    def _Kelt__sr(self, data: bytes | Iterable[SupportsIndex], recv_len: int = 32) -> list[int]: ...
    def _Kelt__chkd(self, data: Sequence[int]) -> int: ...
    def _Kelt__send_and_recv(
        self,
        command: Option,
        data_send: Sequence[int] = [],
        to_addr: int | list[int] | None = None,
        to_channel: int | None = None,
    ) -> DeviceReturn: ...
    def get_pump_status(self, addr: int | list[int] | None = None, channel: int | None = None) -> DeviceReturn: ...
    def get_pump_alarm(self, addr: int | list[int] | None = None, channel: int | None = None) -> DeviceReturn: ...
    def get_kvo_rate(
        self, data: Sequence[int], addr: int | list[int] | None = None, channel: int | None = None
    ) -> DeviceReturn: ...
    def _Kelt__send_commands(
        self,
        head_data_list: Iterable[tuple[Option, Sequence[int]]],
        addr: int | list[int] | None = None,
        channel: int | None = None,
    ) -> list[DeviceReturn]: ...
    def get_all_status(
        self, addr: int | list[int] | None = None, channel: int | None = None
    ) -> list[DeviceReturn]: ...
    @staticmethod
    def get_value_str(command: Option, value: Sequence[int]) -> str | None: ...

@final
class _hold_port:
    """Private, for the station's own serial lines: holds the process-wide,
    re-entrant lock that every exchange on ``port`` takes, for a ``with``
    block (waiting with the GIL released)."""

    def __new__(cls, port: object) -> Self: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *exc: object) -> bool: ...

# ---------------------------------------------------------------- simulation

@type_check_only
class _HasCodes(Protocol):
    @property
    def codes(self) -> Sequence[int]: ...

def fake_random_options_code(options: _HasCodes) -> int: ...
def fake_return_code_msg(cmd: Option, val: list[int]) -> tuple[Option, str | None]: ...
def fake_get_all_status(addr: object, /) -> list[DeviceReturn]: ...
