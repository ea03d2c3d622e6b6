"""A virtual ward: many Kelt pumps behind one virtual LoRa radio on one pty (POSIX).

The ward's radio mode decides the prefix each pump answers to, exactly as
``RadioMode.prefix`` builds it: address 0 and channel 0 are real settings
here (a host reaches them by passing the whole prefix as a byte list)::

    with VirtualWard("fixed", baud=9600, hop_delay=0.05) as ward:
        ward.add(801, 23, label="bed 12")
        ward.add(0, 0, label="bed 1")
        comm.Kelt(ward.port).get_pump_status(addr=[0, 0, 0])   # bed 1

With ``moving=True`` the pumps live on their own (remaining time counts
down, alarms come and go, doors open and close, a pump leaves and comes
back), driven by a seeded random source in ward time (``speed`` x real
time), so the same seed plays the same story. ``vanish``/``restore``
unplug and replug the radio; ``flood`` puts garbage on the line.

Also a command: ``python -m tarvelpump.virtualward --help``.
"""

from __future__ import annotations

import argparse
import collections
import dataclasses
import enum
import heapq
import logging
import os
import random
import signal
import sys
import threading
import time
from collections.abc import Callable

from ._protocol import DATA_LENGTHS, PUMP2PC, RadioMode, RunningState, build_frame
from .virtualpump import (
    REQUEST_LOG_SIZE,
    Fault,
    PtyServer,
    PumpControls,
    PumpState,
    _schedule,
    _spoil,
    serve_until_stopped,
)

__all__ = ["Fault", "Motion", "PumpState", "RadioMode", "VirtualWard", "WardPump", "main"]

log = logging.getLogger(__name__)

ALARM_LOW_BATTERY = 0x0002
ALARM_NEARLY_COMPLETE = 0x0008
ALARM_DOOR_OPEN = 0x0040
ALARM_INFUSION_COMPLETE = 0x0080
ALARM_OCCLUSION = 0x0100
ALARM_AIR_IN_LINE = 0x0200
#: Alarms that come and go by themselves while a pump moves.
PASSING_ALARMS = (ALARM_OCCLUSION, ALARM_AIR_IN_LINE, ALARM_LOW_BATTERY)
#: Remaining time (seconds) under which a running pump warns that it is nearly done.
NEARLY_COMPLETE_S = 300
#: How often the serving thread moves the ward's clock (real seconds).
TICK = 0.1


class _Move(enum.Enum):
    ALARM = "alarm"
    ALARM_CLEARED = "alarm cleared"
    DOOR_OPEN = "door open"
    DOOR_CLOSED = "door closed"
    LEAVE = "leave"
    RETURN = "return"
    REFILL = "refill"


@dataclasses.dataclass(frozen=True)
class Motion:
    """Mean ward-time seconds between the things a moving pump does."""

    alarm_every: float = 900.0
    alarm_lasts: float = 60.0
    door_every: float = 1800.0
    door_lasts: float = 30.0
    leave_every: float = 3600.0
    away_for: float = 60.0
    refill_after: float = 120.0  #: a finished infusion is replaced after about this long


class WardPump(PumpControls):
    """One pump of a ward. Its fields are guarded by the ward's lock."""

    def __init__(self, ward: VirtualWard, addr: int, channel: int, prefix: bytes, state: PumpState,
                 label: str) -> None:
        self._lock = ward._lock  # one lock for the whole ward: the serving thread takes it once per request
        self.addr, self.channel, self.label = addr, channel, label
        self.prefix = prefix
        self.late_delay = 1.0  #: seconds a late reply waits
        self.repeat_delay = 0.05  #: seconds between the two replies of a pump that answers twice
        self.chunk_delay = 0.05  #: seconds between the parts of a chunked reply
        self._state = state
        self._faults: frozenset[Fault] = frozenset()
        self._present = True
        self._answered = 0
        self._requests: collections.deque[bytes] = collections.deque(maxlen=REQUEST_LOG_SIZE)
        self._sub_minute = 60.0  # ward seconds left in the current remaining minute
        self._paused_by_door: int | None = None

    @property
    def present(self) -> bool:
        """False while the pump is out of the ward: it hears nothing and answers nothing."""
        with self._lock:
            return self._present

    @present.setter
    def present(self, value: bool) -> None:
        with self._lock:
            self._present = bool(value)

    def __repr__(self) -> str:
        return (f"<WardPump {self.label!r} prefix={self.prefix.hex() or '-'}"
                f" fault={','.join(sorted(self.fault)) or '-'} answered={self.answered}>")


class VirtualWard(PtyServer):
    """One pty, one virtual radio, many pumps; one serving thread.

    ``mode``: the radio mode ("transparent", "fixed", "master-slave" or a
    ``RadioMode``); a transparent ward holds a single pump. ``baud`` paces
    the line (bytes x 10 / baud per write, the request's own wire time
    included before the reply), ``hop_delay`` is the radio's extra delay
    before each reply. ``link_path``: a symlink to the pty that hosts open;
    it is removed by ``vanish`` and re-pointed by ``restore``. ``moving``,
    ``speed``, ``seed`` and ``motion``: see the module doc.
    """

    def __init__(
        self,
        mode: str | RadioMode = "fixed",
        *,
        baud: int | None = None,
        hop_delay: float = 0.0,
        link_path: str | None = None,
        moving: bool = False,
        speed: float = 1.0,
        seed: int | None = None,
        motion: Motion | None = None,
        resync_timeout: float = 0.2,
    ) -> None:
        self.mode = RadioMode(mode)
        super().__init__(prefix_len=len(self.mode.prefix(0, 0)), resync_timeout=resync_timeout, baud=baud)
        if speed <= 0:
            raise ValueError(f"speed must be positive, not {speed}")
        self.hop_delay = hop_delay
        self.link_path = os.fspath(link_path) if link_path is not None else None
        self.moving = moving
        self.speed = speed
        self.motion = motion or Motion()
        self._lock = threading.RLock()
        self._pumps: dict[bytes, WardPump] = {}
        self._random = random.Random(seed)
        self._garbage = random.Random(seed)
        self._clock = 0.0  # ward seconds
        self._moves: list[tuple[float, int, WardPump, _Move, int]] = []
        self._move_order = 0
        self._last_tick: float | None = None
        self._vanished = False
        self._pty_path: str | None = None  # kept while vanished: opening it then fails, as it should

    # -- pumps -------------------------------------------------------------

    def add(self, addr: int, channel: int = 0, state: PumpState | None = None,
            label: str | None = None) -> WardPump:
        """A new pump at ``addr``/``channel``; the ward's mode decides which of the two are in its prefix."""
        if not isinstance(addr, int) or not 0 <= addr <= 0xFFFF:
            raise ValueError(f"address {addr!r} is not 0..65535")
        if not isinstance(channel, int) or not 0 <= channel <= 0xFF:
            raise ValueError(f"channel {channel!r} is not 0..255")
        if state is not None and not isinstance(state, PumpState):
            raise TypeError(f"state must be a PumpState, not {type(state).__name__}")
        prefix = bytes(self.mode.prefix(addr, channel))
        label = label if label is not None else f"pump {addr}:{channel}"
        with self._lock:
            if self.mode is RadioMode.TRANSPARENT and self._pumps:
                raise ValueError("a transparent radio reaches a single pump")
            if prefix in self._pumps:
                raise ValueError(f"{self._pumps[prefix].label!r} already answers to {prefix.hex(' ')}")
            if any(p.label == label for p in self._pumps.values()):
                raise ValueError(f"label {label!r} is taken")
            pump = WardPump(self, addr, channel, prefix, state or PumpState(), label)
            self._pumps[prefix] = pump
            for move in (_Move.ALARM, _Move.DOOR_OPEN, _Move.LEAVE):
                self._plan(pump, move)
        return pump

    @property
    def pumps(self) -> list[WardPump]:
        with self._lock:
            return list(self._pumps.values())

    def pump(self, label_or_addr: str | int) -> WardPump:
        """The pump with this label, or the one pump at this address."""
        found = [p for p in self.pumps
                 if (p.label == label_or_addr if isinstance(label_or_addr, str) else p.addr == label_or_addr)]
        if len(found) != 1:
            raise (KeyError if not found else ValueError)(
                f"{len(found) or 'no'} pumps match {label_or_addr!r}")
        return found[0]

    @property
    def port(self) -> str:
        """What a host opens: ``link_path`` if given, else the pty (which changes on ``restore``)."""
        if self.link_path is not None:
            return self.link_path
        if self._pty_path is None:
            raise RuntimeError("the ward is not serving")
        return self._pty_path

    def __repr__(self) -> str:
        return f"<VirtualWard {self.mode.value} port={self.link_path or self._pty_path!r} pumps={len(self._pumps)}>"

    # -- life cycle ----------------------------------------------------------

    def start(self) -> VirtualWard:
        self._last_tick = time.monotonic()
        self._start_serving("VirtualWard")
        self._pty_path = self._tty
        try:
            self._link()
        except BaseException:
            self._stop_serving()
            raise
        self._vanished = False
        log.debug("virtual ward on %s (%s)", self._tty, self.mode.value)
        return self

    def stop(self) -> None:
        """Stop serving, join the thread, close every descriptor, remove the link. Idempotent."""
        if self._stop_serving():
            self._unlink()
            self._pty_path = None

    def __enter__(self) -> VirtualWard:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def vanish(self) -> None:
        """The radio is unplugged: the pty closes (hosts on it get an error) and the link goes."""
        def unplug() -> None:
            if not self._vanished:
                self._vanished = True
                self._unlink()
                self._close_line()
        self._serving_call(unplug)

    def restore(self) -> None:
        """The radio is plugged back: a fresh pty, the link pointing at it."""
        def plug() -> None:
            if self._vanished:
                self._open_line()
                self._pty_path = self._tty
                self._vanished = False
                self._link()
        self._serving_call(plug)

    def flood(self, n: int) -> None:
        """Put ``n`` garbage bytes on the line now (none of them 0x55, so no frame starts in them)."""
        if n < 0:
            raise ValueError("n must not be negative")
        garbage = self._garbage.randbytes(n).replace(b"\x55", b"\x54")
        self._serving_call(lambda: self._send([(0.0, garbage)]))

    def _serving_call(self, fn: Callable[[], object]) -> None:
        if self._thread is None:
            raise RuntimeError("the ward is not serving")
        self._call(fn)

    def _link(self) -> None:
        if self.link_path is None or self._tty is None:
            return
        # Atomic re-pointing: a host never sees the link half made.
        temporary = f"{self.link_path}.{os.getpid()}.new"
        os.symlink(self._tty, temporary)
        os.replace(temporary, self.link_path)

    def _unlink(self) -> None:
        if self.link_path is not None:
            try:
                os.unlink(self.link_path)
            except FileNotFoundError:
                pass

    # -- requests (serving thread) --------------------------------------------

    def _answer(self, prefix: bytes, frame: bytes) -> None:
        command = frame[5]
        with self._lock:
            pump = self._pumps.get(prefix)
            if pump is None or not pump._present:
                log.debug("request %s: no pump here", (prefix + frame).hex(" "))
                return
            pump._requests.append(prefix + frame)
            if command not in DATA_LENGTHS:
                return
            state = pump._state = pump._state.after(command)
            faults = pump._faults
            parts = _spoil(build_frame(PUMP2PC, command, state.reply_data(command)), frame, faults)
            if parts:
                pump._answered += 1
            timed = _schedule(parts, faults, chunk_delay=pump.chunk_delay, late_delay=pump.late_delay,
                              repeat_delay=pump.repeat_delay)
        # The whole request had to cross the line before the pump could hear it.
        self._send(timed, self._wire_time(len(prefix) + len(frame)) + self.hop_delay)

    # -- moving state ----------------------------------------------------------

    def _next_tick(self) -> float | None:
        if not self.moving or self._last_tick is None:
            return None
        return self._last_tick + TICK

    def _tick(self, now: float) -> None:
        assert self._last_tick is not None
        try:
            self.advance((now - self._last_tick) * self.speed)
        finally:
            self._last_tick = now

    def advance(self, seconds: float) -> None:
        """Move the ward's clock on by ``seconds`` of ward time (the serving thread does this by
        itself when ``moving``); deterministic for a given seed and sequence of calls."""
        if seconds < 0:
            raise ValueError("the ward's clock only moves forward")
        with self._lock:
            end = self._clock + seconds
            while self._moves and self._moves[0][0] <= end:
                at, _, pump, move, detail = heapq.heappop(self._moves)
                self._count_down(at - self._clock)
                self._clock = at
                self._do(pump, move, detail)
            self._count_down(end - self._clock)
            self._clock = end

    def _plan(self, pump: WardPump, move: _Move, mean: float | None = None, detail: int = 0) -> None:
        m = self.motion
        mean = mean if mean is not None else {
            _Move.ALARM: m.alarm_every, _Move.ALARM_CLEARED: m.alarm_lasts, _Move.DOOR_OPEN: m.door_every,
            _Move.DOOR_CLOSED: m.door_lasts, _Move.LEAVE: m.leave_every, _Move.RETURN: m.away_for,
            _Move.REFILL: m.refill_after}[move]
        self._move_order += 1
        at = self._clock + self._random.expovariate(1 / mean)
        heapq.heappush(self._moves, (at, self._move_order, pump, move, detail))

    def _do(self, pump: WardPump, move: _Move, detail: int) -> None:
        s = pump._state
        if move is _Move.ALARM:
            bit = self._random.choice(PASSING_ALARMS)
            pump._state = dataclasses.replace(s, alarm=s.alarm | bit)
            self._plan(pump, _Move.ALARM_CLEARED, detail=bit)
            self._plan(pump, _Move.ALARM)
        elif move is _Move.ALARM_CLEARED:
            pump._state = dataclasses.replace(s, alarm=s.alarm & ~detail)
        elif move is _Move.DOOR_OPEN:
            if s.door:  # already open (set by hand): try later
                self._plan(pump, _Move.DOOR_OPEN)
                return
            running = RunningState.PAUSE if s.running == RunningState.RUN else s.running
            pump._paused_by_door = s.running if running != s.running else None
            pump._state = dataclasses.replace(s, door=1, alarm=s.alarm | ALARM_DOOR_OPEN, running=running)
            self._plan(pump, _Move.DOOR_CLOSED)
        elif move is _Move.DOOR_CLOSED:
            running = pump._paused_by_door if pump._paused_by_door is not None else s.running
            pump._paused_by_door = None
            pump._state = dataclasses.replace(s, door=0, alarm=s.alarm & ~ALARM_DOOR_OPEN, running=running)
            self._plan(pump, _Move.DOOR_OPEN)
        elif move is _Move.LEAVE:
            pump._present = False
            self._plan(pump, _Move.RETURN)
        elif move is _Move.RETURN:
            pump._present = True
            self._plan(pump, _Move.LEAVE)
        elif move is _Move.REFILL:
            minutes = self._random.randrange(30, 241)
            pump._sub_minute = 60.0
            pump._state = dataclasses.replace(
                s, running=RunningState.RUN, remain_hours=minutes // 60, remain_minutes=minutes % 60,
                alarm=s.alarm & ~(ALARM_INFUSION_COMPLETE | ALARM_NEARLY_COMPLETE))

    def _count_down(self, seconds: float) -> None:
        if seconds <= 0:
            return
        for pump in self._pumps.values():
            s = pump._state
            minutes = s.remain_hours * 60 + s.remain_minutes
            if s.running not in (RunningState.RUN, RunningState.BOLUS) or minutes == 0:
                continue
            pump._sub_minute -= seconds
            if pump._sub_minute > 0:
                continue  # the shown minute stays: no new state
            spent = int(-pump._sub_minute // 60) + 1
            pump._sub_minute += 60.0 * spent
            minutes = max(0, minutes - spent)
            alarm, running = s.alarm, s.running
            if minutes * 60 <= NEARLY_COMPLETE_S:
                alarm |= ALARM_NEARLY_COMPLETE
            if minutes == 0:
                # Done: keep the vein open and call for the nurse, who hangs a new syringe.
                alarm = (alarm & ~ALARM_NEARLY_COMPLETE) | ALARM_INFUSION_COMPLETE
                running = RunningState.KVO
                pump._sub_minute = 60.0
                self._plan(pump, _Move.REFILL)
            pump._state = dataclasses.replace(s, remain_hours=minutes // 60, remain_minutes=minutes % 60,
                                              alarm=alarm, running=running)


# -- command line -------------------------------------------------------------


def _pump_arg(text: str) -> tuple[int, int]:
    addr, _, channel = text.partition(":")
    try:
        values = (int(addr, 0), int(channel or "0", 0))
    except ValueError:
        raise argparse.ArgumentTypeError(f"--pump wants ADDR[:CHANNEL], not {text!r}") from None
    return values


def main(argv: list[str] | None = None, prog: str = "python -m tarvelpump.virtualward") -> int:
    """Serve a virtual ward until Ctrl-C or SIGTERM; prints the port path first."""
    parser = argparse.ArgumentParser(
        prog=prog, description="Serve many virtual Kelt pumps behind one virtual radio on a pseudo-terminal "
        "and print the port path.")
    parser.add_argument("--mode", default="fixed", choices=[m.value for m in RadioMode], help="radio mode")
    parser.add_argument("--pump", action="append", type=_pump_arg, default=[], metavar="ADDR[:CHANNEL]",
                        help="a pump (repeatable); decimal or 0x hex")
    parser.add_argument("--baud", type=int, help="pace the line at this speed")
    parser.add_argument("--hop-delay", type=float, default=0.0, help="radio delay before each reply (s)")
    parser.add_argument("--link", help="also reach the ward through this symlink")
    parser.add_argument("--moving", action="store_true", help="pumps change on their own")
    parser.add_argument("--speed", type=float, default=1.0, help="ward time per real second")
    parser.add_argument("--seed", type=int, help="seed of the moving state and garbage")
    parser.add_argument("--fault", action="append", default=[], metavar="ADDR[:CHANNEL]=FAULT",
                        help="a fault for one pump (repeatable)")
    parser.add_argument("-v", "--verbose", action="store_true", help="log every request to stderr")
    parser.add_argument("--config", metavar="FILE",
                        help="serve every pump of a station configuration, one radio per link at its port "
                             "path, and take control lines on standard input ('help' lists them)")
    args = parser.parse_args(argv)
    if args.verbose:
        logging.basicConfig(level=logging.DEBUG, format="%(asctime)s %(message)s")
    if args.config is not None:
        return _serve_config(parser, args)
    try:
        ward = VirtualWard(args.mode, baud=args.baud, hop_delay=args.hop_delay, link_path=args.link,
                           moving=args.moving, speed=args.speed, seed=args.seed)
        for addr, channel in args.pump or [(1, 1)]:
            ward.add(addr, channel)
        for item in args.fault:
            where, sep, fault = item.partition("=")
            if not sep:
                raise ValueError(f"--fault wants ADDR[:CHANNEL]=FAULT, not {item!r}")
            addr, channel = _pump_arg(where)
            matches = [p for p in ward.pumps if (p.addr, p.channel) == (addr, channel)]
            if not matches:
                raise ValueError(f"--fault names no pump: {where}")
            matches[0].fault = fault
    except (ValueError, argparse.ArgumentTypeError) as exc:
        parser.error(str(exc))

    return serve_until_stopped(ward)


def _serve_config(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    from .station.settings.config import ConfigError
    from .wardctl import WardControl, open_wards

    try:
        wards = open_wards(args.config, hop_delay=args.hop_delay)
    except (ConfigError, OSError, ValueError) as exc:
        print(f"{parser.prog}: {exc}", file=sys.stderr)
        return 2
    started: list[VirtualWard] = []
    try:
        for name, ward in wards.items():
            started.append(ward.start())
            print(f"{name}: {ward.link_path} -> {ward.port} ({len(ward.pumps)} pumps)", flush=True)
        control = WardControl(wards)
        # The control lines are read beside the serving: the ward runs on when they end.
        threading.Thread(target=control.serve, args=(sys.stdin, sys.stdout), daemon=True).start()
        done = threading.Event()
        previous = {s: signal.signal(s, lambda *_: done.set()) for s in (signal.SIGINT, signal.SIGTERM)}
        try:
            while not done.wait(0.5):
                pass
        finally:
            for signum, handler in previous.items():
                signal.signal(signum, handler)
    finally:
        for ward in started:
            ward.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
