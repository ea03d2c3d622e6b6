"""Hand-made pump views of every presence, for the outputs' tests (no poller needed)."""

from __future__ import annotations

from datetime import datetime, timedelta
from typing import Any

from tarvelpump.station.records.model import OFFLINE, ONLINE, PumpView


def view(label: str, at: datetime, **kw: Any) -> PumpView:
    base: dict[str, Any] = dict(
        id=label.replace(" ", "-"), label=label, link="radio-a", addr=800 + len(label), channel=0,
        running=2, running_name="RUN", running_text="运行", remaining_s=5400, rate_unit=0,
        rate_unit_text="毫升", door=0, alarm_word=0, last_seen=at, answered=10, presence=ONLINE, round_s=0.5,
    )
    base.update(kw)
    return PumpView(**base)


def alarm(label: str, at: datetime, bit: str, text: str, rank: int, age: float, **kw: Any) -> PumpView:
    return view(label, at, alarms=[bit, "ALARM_LOW_BATTERY"], alarm_word=0x102, top_alarm=bit, top_alarm_text=text,
                top_alarm_rank=rank, alarm_since=at - timedelta(seconds=age), **kw)


def every_presence(at: datetime) -> list[PumpView]:
    """Not yet heard, online, offline (radio down), offline with its last alarm, stale, and the marks."""
    return [
        PumpView(id="bed-1", label="bed 1", link="radio-a", addr=1, channel=0),
        view("bed 2", at, round_s=1.0),
        view("bed 3", at, presence=OFFLINE, offline_reason="radio down: [Errno 2] could not open port /dev/ttyUSB9",
             last_seen=at - timedelta(seconds=120)),
        alarm("bed 4", at, "ALARM_OCCLUSION", "管路堵塞", 0, 300, presence=OFFLINE, offline_reason="no answer",
              last_seen=at - timedelta(seconds=90)),
        view("bed 5", at, round_s=2.0, last_seen=at - timedelta(seconds=60)),  # online, but no news for 30 rounds
        view("bed 6", at, door=1),  # open without the pump's own alarm bit
        view("bed 7", at, remaining_s=300),  # under the station's near_end_s
        alarm("bed 8", at, "ALARM_MOTOR_CHECK_FAULT", "系统出错", -1, 500),  # unranked: after every ranked alarm
        alarm("bed 9", at, "ALARM_OCCLUSION", "管路堵塞", 0, 10),
    ]
