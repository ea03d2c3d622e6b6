"""A virtual ward for a station's own configuration, changed from a shell while it runs.

    python -m tarvelpump.virtualward --config ward.toml

serves every pump the configuration names, one virtual radio per link, on
pseudo-terminals symlinked at the configured port paths, so ``tarvelpump
station run --config ward.toml`` finds them where it looks. Lines on the
standard input change the pumps (``help`` lists them)::

    set bed 3 alarm=occlusion door=open   # quotes are optional: "bed 3" too
    set "bed 3" alarm=none running=pause remain=0:09
    set "bed 4" present=no            # it stops answering
    set "bed 4" fault=bad_check       # it answers with broken check data
    unplug radio-a / plug radio-a     # the whole radio goes and comes back
    show ["bed 3"]
"""

from __future__ import annotations

import os
import shlex
from collections.abc import Callable
from pathlib import Path
from typing import Any, TextIO

from . import comm
from ._protocol import RunningState
from .virtualward import VirtualWard, WardPump

__all__ = ["WardControl", "open_wards"]

HELP = """\
set LABEL KEY=VALUE ...   change a pump (set bed 3 alarm=occlusion; quotes are optional); KEY is one of
    alarm    alarm names joined by '+' (occlusion, door_open, low_battery, ...), a number, or none
    door     open | closed
    running  off | stop | run | pause | bolus | purging | kvo
    remain   H:MM, or minutes
    rate     ml | drops
    present  yes | no (no: the pump stops answering)
    fault    a fault name (silence, bad_check, late, twice, ...) or none
unplug LINK | plug LINK   the link's radio goes away / comes back
show [LABEL ...]          the pumps' states (show bed 3, or show "bed 3" "bed 4")
help                      this text"""

_DOORS = {"open": 1, "closed": 0, "close": 0}
_RATES = {"ml": 0, "drops": 1, "drop": 1}
_YES = {"yes": True, "true": True, "1": True, "no": False, "false": False, "0": False}


def _alarm(text: str) -> int:
    if text.lower() in ("none", "0", ""):
        return 0
    try:
        return int(text, 0) & 0xFFFF
    except ValueError:
        pass
    word = 0
    for part in text.split("+"):
        name = "ALARM_" + part.strip().upper().removeprefix("ALARM_")
        bit = getattr(comm.KeltPumpAlarmBits, name, None)
        if bit is None:
            known = ", ".join(str(b.name).removeprefix("ALARM_").lower() for b in comm.KeltPumpAlarmBits)
            raise ValueError(f"unknown alarm {part!r} (known: {known})")
        word |= int(bit)
    return word


def _running(text: str) -> int:
    try:
        return RunningState[text.upper()]
    except KeyError:
        known = ", ".join(s.name.lower() for s in RunningState)
        raise ValueError(f"unknown running state {text!r} (known: {known})") from None


def _remain(text: str) -> dict[str, int]:
    hours, sep, minutes = text.partition(":")
    total = int(hours) * 60 + int(minutes) if sep else int(text)
    if not 0 <= total <= 255 * 60 + 59:
        raise ValueError(f"remain {text!r} is out of range")
    return {"remain_hours": total // 60, "remain_minutes": total % 60}


def _choice(table: dict[str, Any], what: str) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        try:
            return table[text.lower()]
        except KeyError:
            raise ValueError(f"{what} must be one of {', '.join(table)}, not {text!r}") from None
    return parse


def describe(pump: WardPump) -> str:
    s = pump.state
    alarms = "+".join(str(b.name).removeprefix("ALARM_").lower() for b in comm.KeltPumpAlarmBits
                      if s.alarm & int(b)) or "none"
    running = comm.PumpStatus.get_option_by_code(s.running)
    faults = ",".join(sorted(f.value for f in pump.fault)) or "none"
    return (f"{pump.label!r}: running={'?' if running is None else str(running.name).lower()} "
            f"door={'open' if s.door else 'closed'} remain={s.remain_hours}:{s.remain_minutes:02d} "
            f"rate={'drops' if s.rate_unit else 'ml'} alarm={alarms} present={'yes' if pump.present else 'no'} "
            f"fault={faults}")


class WardControl:
    """Carries out control lines on the virtual radios of a configuration."""

    def __init__(self, wards: dict[str, VirtualWard]) -> None:
        self.wards = wards

    def pump(self, label: str) -> WardPump:
        for ward in self.wards.values():
            for p in ward.pumps:
                if p.label == label:
                    return p
        raise ValueError(f"no pump labelled {label!r}")

    def _known(self, label: str) -> bool:
        return any(p.label == label for ward in self.wards.values() for p in ward.pumps)

    def run(self, line: str) -> str:
        """One control line; the answer to print (``error: ...`` when it is refused)."""
        try:
            words = shlex.split(line, comments=True)
        except ValueError as exc:
            return f"error: {exc}"
        if not words:
            return ""
        verb, args = words[0].lower(), words[1:]
        try:
            if verb == "help":
                return HELP
            if verb == "show":
                # "show bed 3" names one pump; "show "bed 3" "bed 4"" names several
                labels = [" ".join(args)] if args and self._known(" ".join(args)) else args
                pumps = [self.pump(a) for a in labels] or [p for w in self.wards.values() for p in w.pumps]
                return "\n".join(describe(p) for p in pumps)
            if verb in ("unplug", "plug") and len(args) == 1:
                if args[0] not in self.wards:
                    raise ValueError(f"no link named {args[0]!r} (links: {', '.join(self.wards)})")
                ward = self.wards[args[0]]
                ward.vanish() if verb == "unplug" else ward.restore()
                return f"ok: {args[0]} {verb}ged"
            if verb == "set" and len(args) >= 2:
                # The label is every word before the first KEY=VALUE, so "set bed 3 door=open" needs no quotes.
                first = next((i for i, a in enumerate(args) if "=" in a), len(args))
                if first == 0 or first == len(args):
                    raise ValueError("set needs a label, then KEY=VALUE items")
                return "ok: " + describe(self._set(self.pump(" ".join(args[:first])), args[first:]))
        except (ValueError, TypeError) as exc:
            return f"error: {exc}"
        return f"error: cannot read {line.strip()!r}; 'help' lists the commands"

    @staticmethod
    def _set(pump: WardPump, items: list[str]) -> WardPump:
        changes: dict[str, int] = {}
        present: bool | None = None
        fault: str | None = None
        for item in items:
            key, sep, value = item.partition("=")
            if not sep:
                raise ValueError(f"{item!r} is not KEY=VALUE")
            key = key.lower()
            if key == "alarm":
                changes["alarm"] = _alarm(value)
            elif key == "door":
                changes["door"] = _choice(_DOORS, "door")(value)
            elif key == "running":
                changes["running"] = _running(value)
            elif key == "remain":
                changes.update(_remain(value))
            elif key == "rate":
                changes["rate_unit"] = _choice(_RATES, "rate")(value)
            elif key == "present":
                present = _choice(_YES, "present")(value)
            elif key == "fault":
                fault = "" if value.lower() == "none" else value
            else:
                raise ValueError(f"unknown key {key!r}; 'help' lists them")
        # Everything is checked before anything changes: a refused line changes nothing.
        if fault is not None:
            pump.fault = fault or None
        if changes:
            pump.update(**changes)
        if present is not None:
            pump.present = present
        return pump

    def serve(self, lines: TextIO, out: TextIO) -> None:
        """Read control lines until the input ends."""
        for line in lines:
            answer = self.run(line)
            if answer:
                print(answer, file=out, flush=True)


def open_wards(config_path: str | os.PathLike[str], *, hop_delay: float = 0.0) -> dict[str, VirtualWard]:
    """One virtual radio per link of the configuration, its pumps added,
    linked at the link's port path (not yet started)."""
    from .station.settings.config import load_config

    config = load_config(config_path)
    wards: dict[str, VirtualWard] = {}
    for link in config.links:
        path = Path(link.port)
        if path.exists() and not path.is_symlink():
            raise ValueError(f"link {link.name!r}: {link.port} exists and is not a symlink; "
                             "a virtual radio will not stand in for a real port")
        ward = VirtualWard(link.mode, baud=link.baud, hop_delay=hop_delay, link_path=str(path))
        for pump in config.pumps:
            if pump.link == link.name:
                ward.add(pump.addr, pump.channel, label=pump.label)
        wards[link.name] = ward
    return wards
