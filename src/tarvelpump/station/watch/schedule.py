"""Which exchanges a pass makes, and in what order: pure, so every rule here
can be checked on plain data.

A *pass* asks every due pump for its alarm word, each followed at once by
at least one other read of the same pump (the *unit* of that pump in that
pass). The other read is the running state, except in the passes the
slower-changing values (door, remaining time, rate unit) need, one at a time,
to come again within ``status_within``; any read that would otherwise pass
that time by the next pass is added, so every pump gets a whole status
within it however long the passes are. An alarm is therefore seen within
one pass of the moment it is set.

The ordering rule of the line,

    two consecutive exchanges on a link never send the same command to
    different pumps,

holds for any pattern of silent or skipped pumps (``PassPlan``): a unit
holds at least two distinct commands, its exchanges run back to back (the
same pump), and when a unit starts it is rotated so that its first command
differs from the last one sent on the line. So a reply that arrives one
exchange late fails the driver's application header test instead of being
credited to the next pump.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator, Sequence

from ... import comm

__all__ = ["ALARM", "SLOW_READS", "STATUS_READS", "PassPlan", "StatusClock", "rotate"]

Cmd = comm.Command
Prefix = tuple[int, ...]
Key = tuple[Prefix, int]  #: (pump prefix, command code) of one exchange

ALARM = Cmd.GET_PUMP_ALARM
#: Read in turn between the running states.
SLOW_READS: tuple[comm.Option, ...] = (Cmd.GET_PUMPDOOR_STATUS, Cmd.GET_REMAIN_TIME, Cmd.GET_RATE_UNIT)
#: A pump's whole status besides its alarm word.
STATUS_READS: tuple[comm.Option, ...] = (Cmd.GET_PUMP_STATUS, *SLOW_READS)


class StatusClock:
    """When each of one pump's status reads last got a good answer, and so
    what its next unit asks besides the alarm word."""

    def __init__(self, within: float) -> None:
        if not within > 0:
            raise ValueError(f"status_within must be positive, not {within!r}")
        self.within = within
        self._good: dict[int, float] = {}  # command code -> monotonic time of its last good answer

    def unit(self, at: float, pass_s: float) -> tuple[comm.Option, ...]:
        """The commands of the pump's unit in a pass starting at ``at`` (monotonic),
        passes taking about ``pass_s``: the alarm word first.

        Times are the starts of passes, so a pump's place in its pass cancels
        out; a quarter of a pass is kept in hand for passes that run long.
        """
        def last(command: comm.Option) -> float:
            return self._good.get(int(command), -math.inf)

        latest = self.within - 0.25 * pass_s  # a read must come again within this
        # What cannot wait for the next pass, all of it (a first sight: everything).
        must = [c for c in STATUS_READS if at + pass_s - last(c) > latest]
        if must:
            return (ALARM, *must)
        # Otherwise one read: the running state, unless the slower values, one
        # a pass from the next on, most urgent first, would not all come in time.
        waiting = sorted(SLOW_READS, key=last)
        for k, command in enumerate(waiting):
            if last(command) + latest < at + (k + 1) * pass_s:
                return (ALARM, waiting[0])
        return (ALARM, Cmd.GET_PUMP_STATUS)

    def answered(self, command: comm.Option, at: float) -> None:
        """``command`` got a good answer in the pass that started at ``at``."""
        self._good[int(command)] = at

    def age(self, command: comm.Option, at: float) -> float:
        """Seconds since ``command`` last got a good answer (inf: never)."""
        return at - self._good.get(int(command), -math.inf)


def rotate(unit: Sequence[comm.Option], pump: Prefix, last: Key | None) -> list[comm.Option]:
    """``unit`` rotated so its first exchange may follow ``last`` on the line."""
    if last is None or last[0] == pump:
        return list(unit)
    for i, command in enumerate(unit):
        if int(command) != last[1]:
            return list(unit[i:]) + list(unit[:i])
    raise ValueError("a unit needs two distinct commands")


class PassPlan:
    """The exchanges of one pass, in order, as (prefix, command) pairs.

    ``units``: (pump prefix, commands) per pump. ``last`` gives the last
    exchange made on the line (asked at each unit's start, so exchanges by
    anyone else in between count). ``skip(prefix)`` drops the rest of a
    pump's unit.
    """

    def __init__(self, units: Sequence[tuple[Prefix, Sequence[comm.Option]]],
                 last: Callable[[], Key | None]) -> None:
        for _, unit in units:
            if len({int(c) for c in unit}) < 2:
                raise ValueError("a unit needs two distinct commands")
        self._units = units
        self._last = last
        self._skipped: set[Prefix] = set()

    def skip(self, pump: Prefix) -> None:
        self._skipped.add(pump)

    def __iter__(self) -> Iterator[tuple[Prefix, comm.Option]]:
        for pump, unit in self._units:
            if pump in self._skipped:
                continue
            for command in rotate(unit, pump, self._last()):
                if pump in self._skipped:
                    break
                yield pump, command
