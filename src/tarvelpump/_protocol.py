"""Wire constants and frame helpers of the Kelt pump protocol, in pure Python.

A frame is ``55 AA 05 06 <direction> <command> <N> <N bytes of user data>
<check>``; direction 01 is host to pump, 00 pump to host. The check byte is
255 minus the low byte of the sum of the header bytes and the N user-data
bytes. A request sent through a LoRa radio may be preceded by the destination
address (two bytes, big-endian) and/or channel (one byte); replies never are.
"""

from __future__ import annotations

import enum
from collections.abc import Iterable

PROD_ID = 0x06
PC2PUMP = 0x01
PUMP2PC = 0x00
REQUEST_HEADER = bytes((0x55, 0xAA, 0x05, PROD_ID, PC2PUMP))
REPLY_HEADER = bytes((0x55, 0xAA, 0x05, PROD_ID, PUMP2PC))
HEADER_LEN = 5
#: Frame header, application header (command, N) and check byte.
FRAME_OVERHEAD = 8


class Command(enum.IntEnum):
    SET_START_CONTROL = 0x21
    SET_STOP_CONTROL = 0x22
    GET_INFUSION_PARAMETER = 0x49
    GET_PUMP_STATUS = 0x4B
    GET_TOTAL_VALUE = 0x4C
    GET_KVO_RATE = 0x50
    GET_PUMP_ALARM = 0x57
    GET_BUBBLE = 0x77
    GET_PUMPDOOR_STATUS = 0x78
    GET_REMAIN_TIME = 0xA3
    GET_RATE_UNIT = 0xA8


#: Command -> (user-data length of the request, of the reply).
DATA_LENGTHS = {
    Command.SET_START_CONTROL: (0, 0),
    Command.SET_STOP_CONTROL: (0, 0),
    Command.GET_INFUSION_PARAMETER: (0, 15),
    Command.GET_PUMP_STATUS: (0, 1),
    Command.GET_TOTAL_VALUE: (0, 4),
    Command.GET_KVO_RATE: (1, 4),
    Command.GET_PUMP_ALARM: (0, 4),
    Command.GET_BUBBLE: (0, 1),
    Command.GET_PUMPDOOR_STATUS: (0, 1),
    Command.GET_REMAIN_TIME: (0, 2),
    Command.GET_RATE_UNIT: (0, 1),
}


class RunningState(enum.IntEnum):
    """Byte 0 of the reply to GET_PUMP_STATUS: the pump's running state, the
    codes of ``comm.PumpStatus``. The one declaration of it: the virtual
    pumps, the virtual ward's control lines and the station use this."""

    OFF = 0
    STOP = 1
    RUN = 2
    PAUSE = 3
    BOLUS = 4
    PURGING = 5
    KVO = 6

    @property
    def text(self) -> str | None:
        """The operator text of the driver's table ("运行")."""
        from . import comm

        entry = comm.PumpStatus.get_option_by_code(self.value)
        return None if entry is None else entry.text


def check_data(data: bytes | bytearray) -> int:
    """Check byte for ``data``, a frame without its check byte.

    Covers the seven header bytes and as many user-data bytes as the length
    byte (offset 6) declares, which is what the host verifies a reply with.
    """
    if len(data) < 7:
        raise ValueError(f"a frame has at least 7 bytes before its check byte, got {len(data)}")
    covered = sum(data[:7]) + sum(data[7:7 + data[6]])
    return 0xFF - (covered & 0xFF)


def build_frame(direction: int, command: int, data: bytes = b"") -> bytes:
    """Whole frame (header, application header, user data, check byte)."""
    if len(data) > 0xFF:
        raise ValueError("at most 255 bytes of user data fit in a frame")
    body = bytes((0x55, 0xAA, 0x05, PROD_ID, direction, command, len(data))) + bytes(data)
    return body + bytes((check_data(body),))


def address_prefix(addr: int | Iterable[int] | None = None, channel: int | None = None) -> bytes:
    """Radio bytes that the host puts in front of a request.

    ``addr`` is an int (written as two bytes, big-endian) or a sequence of
    byte values written as they are; ``channel`` is one byte. Like the host,
    treat a false value (None, 0, empty) as absent: address 0 and channel 0
    never reach the wire.
    """
    prefix = b""
    if addr:
        if isinstance(addr, int):
            if not 0 <= addr <= 0xFFFF:
                raise ValueError(f"address {addr} does not fit in two bytes")
            prefix += addr.to_bytes(2, "big")
        else:
            prefix += bytes(addr)
    if channel:
        if not 0 <= channel <= 0xFF:
            raise ValueError(f"channel {channel} does not fit in one byte")
        prefix += bytes((channel,))
    return prefix


class RadioMode(str, enum.Enum):
    """How the radio in front of a link picks its destination.

    The prefix is built from the mode alone: address 0 and channel 0 are real
    settings, not "absent".
    """

    TRANSPARENT = "transparent"  #: no prefix
    FIXED = "fixed"  #: address (2 bytes, big-endian), then channel
    MASTER_SLAVE = "master-slave"  #: address only

    def prefix(self, addr: int, channel: int) -> list[int]:
        if self is RadioMode.TRANSPARENT:
            return []
        head = [addr >> 8 & 0xFF, addr & 0xFF]
        return head + [channel & 0xFF] if self is RadioMode.FIXED else head
