"""A station on a virtual ward: twelve pumps behind two virtual radios, nothing to configure.

``tarvelpump station demo`` runs it for newcomers; tests and benchmarks use
``Demo`` in-process, so they can reach the virtual pumps while the station
watches them (raise an alarm, unplug a radio...).
"""

from __future__ import annotations

import tempfile
from pathlib import Path
from typing import TYPE_CHECKING

from ..app import Station
from ..records.model import RadioMode
from ..settings.config import (
    LinkConfig,
    PollConfig,
    PumpConfig,
    StationConfig,
    StoreConfig,
)

if TYPE_CHECKING:
    from types import TracebackType

    from tarvelpump.virtualward import VirtualWard, WardPump

__all__ = ["Demo", "DEMO_PUMPS"]

#: (link, first address, channel): radio-b's pumps start at address 0 on
#: channel 0, real settings that a truth-value test would take for "absent".
_RADIOS = (("radio-a", 801, 23), ("radio-b", 0, 0))
DEMO_PUMPS = 12


class Demo:
    """Virtual wards plus a station watching them, with its store in a temporary folder.

    ``http`` is HOST:PORT for the page (port 0: a free one) or ``None`` for
    no page; ``mqtt`` and ``hl7`` (mllp://HOST:PORT) add those outputs.
    ``pumps`` are shared out between the two radios. Ward time runs
    ``speed`` times faster than real time, so a newcomer sees alarms come
    and go within a minute.
    """

    def __init__(self, *, http: str | None = "127.0.0.1:0", mqtt: str | None = None, hl7: str | None = None,
                 pumps: int = DEMO_PUMPS,
                 moving: bool = True, speed: float = 10.0, seed: int | None = None, baud: int = 9600,
                 hop_delay: float = 0.0, poll: PollConfig | None = None, timeout: float = 0.5,
                 name: str = "demo ward", directory: str | Path | None = None) -> None:
        self._http = http
        self._mqtt = mqtt
        self._hl7 = hl7
        self._count = pumps
        self._moving = moving
        self._speed = speed
        self._seed = seed
        self._baud = baud
        self._hop_delay = hop_delay
        self._poll = poll if poll is not None else PollConfig(gap=0.05, near_end_s=300)
        self._timeout = timeout
        self._name = name
        self._directory = directory
        self._tmp: tempfile.TemporaryDirectory[str] | None = None
        self.wards: list[VirtualWard] = []
        self.station: Station | None = None
        self.config: StationConfig | None = None
        self.http_url: str | None = None

    def start(self) -> Demo:
        from tarvelpump.virtualward import VirtualWard

        try:
            if self._directory is None:
                self._tmp = tempfile.TemporaryDirectory(prefix="tarvelpump-demo-")
                folder = Path(self._tmp.name)
            else:
                folder = Path(self._directory)
            links: list[LinkConfig] = []
            pumps: list[PumpConfig] = []
            per_radio = [self._count // 2 + self._count % 2, self._count // 2]
            number = 1
            for r, ((link, first, channel), count) in enumerate(zip(_RADIOS, per_radio)):
                seed = None if self._seed is None else self._seed + r
                # The station opens a symlink, as it would a udev name: the
                # radio can then be unplugged and plugged back (vanish/restore).
                ward = VirtualWard(RadioMode.FIXED, baud=self._baud, hop_delay=self._hop_delay,
                                   link_path=str(folder / link), moving=self._moving, speed=self._speed,
                                   seed=seed)
                self.wards.append(ward)
                for i in range(count):
                    label = f"bed {number}"
                    ward.add(first + i, channel, label=label)
                    pumps.append(PumpConfig(label=label, link=link, addr=first + i, channel=channel))
                    number += 1
                ward.start()
                links.append(LinkConfig(name=link, port=ward.port, baud=self._baud, timeout=self._timeout,
                                        mode=RadioMode.FIXED))
            self.config = StationConfig(name=self._name, store=StoreConfig(path=folder / "demo.sqlite"),
                                        poll=self._poll, links=tuple(links), pumps=tuple(pumps))
            self.station = Station(self.config, http=self._http or "", mqtt=self._mqtt or "",
                                   hl7=self._hl7 or "").start()
            self.http_url = self.station.http_url
        except BaseException:
            self.stop()
            raise
        return self

    def pump(self, label: str) -> WardPump:
        """The virtual pump behind a label ("bed 3")."""
        for ward in self.wards:
            for p in ward.pumps:
                if p.label == label:
                    return p
        raise KeyError(label)

    def ward(self, link: str) -> VirtualWard:
        """The virtual radio behind a link ("radio-a")."""
        return self.wards[[name for name, _, _ in _RADIOS].index(link)]

    @property
    def store_path(self) -> Path | None:
        return None if self.config is None else self.config.store.path

    def stop(self) -> None:
        if self.station is not None:
            self.station.stop()
        for ward in self.wards:
            ward.stop()
        if self._tmp is not None:
            self._tmp.cleanup()
            self._tmp = None

    def __enter__(self) -> Demo:
        return self.start()

    def __exit__(self, tp: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.stop()

