"""A pump on a link: every command of the pump, with typed answers.

``Pump`` turns each driver record into an ``Answer``: the decoded value
(an enum, a ``timedelta``, the set of alarms...), the raw ``DeviceReturn``,
when it was asked and how long the link took. Starting and stopping the
infusion need ``confirm=True``: a monitor must never do that by accident.
"""

from __future__ import annotations

import dataclasses
import enum
import logging
from collections.abc import Callable, Sequence
from datetime import datetime, timedelta
from typing import Any, Generic, TypeVar

from ... import comm
from ..._protocol import RunningState
from .link import Exchange, Link
from ..records.model import pump_id
from ..records.order import alarm_place

__all__ = [
    "Alarms",
    "Answer",
    "Door",
    "Pump",
    "RateUnit",
    "Running",
    "alarm_rank",
    "decode_alarms",
]

log = logging.getLogger(__name__)

T = TypeVar("T")

Cmd = comm.Command
Code = comm.DeviceReturnCode


# The running state is declared once, beside the frames the virtual pumps answer with.
Running = RunningState


class Door(enum.IntEnum):
    CLOSED = 0
    OPEN = 1

    @property
    def text(self) -> str | None:
        return _text(comm.PumpDoorStatus, self.value)


class RateUnit(enum.IntEnum):
    ML_PER_HOUR = 0
    DROPS_PER_MINUTE = 1

    @property
    def text(self) -> str | None:
        return _text(comm.RateUnit, self.value)


def _text(table: Any, code: int) -> str | None:
    entry = table.get_option_by_code(code)
    return None if entry is None else entry.text


def alarm_rank(bit: comm.Option) -> tuple[float, int]:
    """Sort key of an alarm bit, most urgent first: the place ``order`` gives
    its ``AlarmOrder`` rank (the unlisted ones after every listed one), then
    the higher bit first."""
    return (alarm_place(comm.AlarmOrder.get(bit, -1)), -int(bit))


@dataclasses.dataclass(frozen=True)
class Alarms:
    """An alarm word decoded: the named bits that are set, most urgent first."""

    word: int
    bits: tuple[comm.Option, ...]

    @property
    def names(self) -> list[str]:
        return [b.name for b in self.bits]

    @property
    def top(self) -> comm.Option | None:
        return self.bits[0] if self.bits else None

    @property
    def top_rank(self) -> int | None:
        """``AlarmOrder`` of the top alarm (-1: unranked); None without alarms."""
        top = self.top
        return None if top is None else comm.AlarmOrder.get(top, -1)

    def __contains__(self, name: object) -> bool:
        return any(b.name == name for b in self.bits)


def decode_alarms(word: int) -> Alarms:
    bits = [b for b in comm.KeltPumpAlarmBits if word & int(b)]
    return Alarms(word, tuple(sorted(bits, key=alarm_rank)))


@dataclasses.dataclass(frozen=True)
class Answer(Generic[T]):
    """What one command got from one pump."""

    pump: str  #: label
    command: comm.Option
    value: T | None  #: decoded value; None unless the exchange succeeded
    data: tuple[int, ...] | None  #: the reply's user data, as received
    ret: comm.DeviceReturn  #: the driver's record, untouched
    time: datetime  #: when the request went out
    link_time_s: float  #: time on the line, guard included

    @property
    def code(self) -> int:
        return int(self.ret.code)

    @property
    def code_name(self) -> str:
        return str(self.ret.code.name)

    @property
    def ok(self) -> bool:
        return self.code == Code.SUCCESS


def _running(data: tuple[int, ...]) -> Running:
    return Running(data[0])


def _door(data: tuple[int, ...]) -> Door:
    return Door(data[0])


def _remaining(data: tuple[int, ...]) -> timedelta:
    return timedelta(hours=data[0], minutes=data[1])


def _rate_unit(data: tuple[int, ...]) -> RateUnit:
    return RateUnit(data[0])


def _alarms(data: tuple[int, ...]) -> Alarms:
    return decode_alarms(data[0] << 8 | data[1])  # big-endian word, two spare bytes after it


def _big_endian(data: tuple[int, ...]) -> int:
    return int.from_bytes(bytes(data), "big")


def _first(data: tuple[int, ...]) -> int:
    return data[0]


def _same(data: tuple[int, ...]) -> tuple[int, ...]:
    return data


def _nothing(data: tuple[int, ...]) -> None:
    return None


# How each command's user data reads; layouts the pump does not document
# (infusion parameter, KVO rate) stay as bytes.
DECODERS: dict[comm.Option, Callable[[tuple[int, ...]], Any]] = {
    Cmd.GET_PUMP_STATUS: _running,
    Cmd.GET_PUMPDOOR_STATUS: _door,
    Cmd.GET_REMAIN_TIME: _remaining,
    Cmd.GET_RATE_UNIT: _rate_unit,
    Cmd.GET_PUMP_ALARM: _alarms,
    Cmd.GET_TOTAL_VALUE: _big_endian,
    Cmd.GET_BUBBLE: _first,
    Cmd.GET_INFUSION_PARAMETER: _same,
    Cmd.GET_KVO_RATE: _same,
    Cmd.SET_START_CONTROL: _nothing,
    Cmd.SET_STOP_CONTROL: _nothing,
}


class Pump:
    """One pump behind a link, at a radio address and channel.

    Address 0 and channel 0 are real: the radio prefix comes from the link's
    mode alone.
    """

    def __init__(self, link: Link, addr: int, channel: int, label: str) -> None:
        if not 0 <= addr <= 0xFFFF:
            raise ValueError(f"pump {label!r}: address {addr} is not in 0..65535")
        if not 0 <= channel <= 0xFF:
            raise ValueError(f"pump {label!r}: channel {channel} is not in 0..255")
        self.link = link
        self.addr = addr
        self.channel = channel
        self.label = label
        self.id = pump_id(label)
        self.prefix: tuple[int, ...] = tuple(link.mode.prefix(addr, channel))

    def __repr__(self) -> str:
        return f"<Pump {self.label!r} addr={self.addr} channel={self.channel} on {self.link.name!r}>"

    def ask(self, command: comm.Option, data: Sequence[int] = ()) -> Answer[Any]:
        """Any query by its ``Command`` entry (not start or stop)."""
        if command in (Cmd.SET_START_CONTROL, Cmd.SET_STOP_CONTROL):
            raise ValueError("start and stop go through Pump.start/Pump.stop with confirm=True")
        return self._run(command, data)

    def _run(self, command: comm.Option, data: Sequence[int] = ()) -> Answer[Any]:
        ex: Exchange = self.link.exchange(command, self.prefix, data)
        raw = ex.ret.value if ex.ok else None
        user_data = tuple(int(b) for b in raw) if isinstance(raw, (list, tuple)) else None
        value: Any = None
        if user_data is not None:
            try:
                value = DECODERS[command](user_data)
            except (ValueError, IndexError):
                # A code outside the tables: kept as data, not guessed at.
                log.info("%s: %s value %s has no meaning here", self.label, command.name, list(user_data))
        return Answer(self.label, command, value, user_data, ex.ret, ex.time, ex.seconds + ex.waited)

    def running(self) -> Answer[Running]:
        return self._run(Cmd.GET_PUMP_STATUS)

    def door(self) -> Answer[Door]:
        return self._run(Cmd.GET_PUMPDOOR_STATUS)

    def remaining(self) -> Answer[timedelta]:
        return self._run(Cmd.GET_REMAIN_TIME)

    def rate_unit(self) -> Answer[RateUnit]:
        return self._run(Cmd.GET_RATE_UNIT)

    def alarms(self) -> Answer[Alarms]:
        return self._run(Cmd.GET_PUMP_ALARM)

    def bubble(self) -> Answer[int]:
        return self._run(Cmd.GET_BUBBLE)

    def total_volume(self) -> Answer[int]:
        return self._run(Cmd.GET_TOTAL_VALUE)

    def infusion_parameter(self) -> Answer[tuple[int, ...]]:
        return self._run(Cmd.GET_INFUSION_PARAMETER)

    def kvo_rate(self, data: Sequence[int]) -> Answer[tuple[int, ...]]:
        return self._run(Cmd.GET_KVO_RATE, data)

    def start(self, *, confirm: bool = False) -> Answer[None]:
        """Start the infusion. Only with ``confirm=True``."""
        if confirm is not True:
            raise PermissionError(f"starting {self.label!r} needs confirm=True")
        return self._run(Cmd.SET_START_CONTROL)

    def stop(self, *, confirm: bool = False) -> Answer[None]:
        """Stop the infusion. Only with ``confirm=True``."""
        if confirm is not True:
            raise PermissionError(f"stopping {self.label!r} needs confirm=True")
        return self._run(Cmd.SET_STOP_CONTROL)
