"""Which exchanges a pass makes, and in what order: pure, so every rule here
can be checked on plain data.

A *pass* asks every due pump for its alarm word, each followed at once by
at least one other read of the same pump (the *unit* of that pump in that
pass). The other read is the running state, except in the passes the
slower-changing values (door, remaining time, rate unit) need, one at a time,
to come again within their bound (``status_within``, or a ward's tighter
``fresh`` bound for a value); any read that would otherwise pass its bound by
the next pass is added, up to two other reads a pump a pass (past that a value
comes late, its age said, rather than hold back every alarm). An alarm is
therefore seen within one pass of the moment it is set.

When a ward's bounds ask for more than one read a pump per pass (the door
every pass, and the rest within ``status_within``), a pump makes the reads
its bounds need at their steady rate (and a little more, so that reads due
together drift apart), the values furthest through their bounds first,
staggered over the pumps (``phase``): no pass has every pump catch up at once,
and the pass the schedule plans with is worked out from the ordinary one, so a
long pass does not make the next ones read more.

The first pass after a start (or a pump's first answer) is an ordinary one:
the alarm word and the running state (or the value with the tightest bound).
The values not read yet follow one a pass, before any other; until then they
are unknown, not guessed.

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
from collections.abc import Callable, Iterator, Mapping, Sequence

from ... import comm

__all__ = ["ALARM", "FIELDS", "SLOW_READS", "STATUS_READS", "PassPlan", "StatusClock", "rotate"]

Cmd = comm.Command
Prefix = tuple[int, ...]
Key = tuple[Prefix, int]  #: (pump prefix, command code) of one exchange

ALARM = Cmd.GET_PUMP_ALARM
#: Read in turn between the running states.
SLOW_READS: tuple[comm.Option, ...] = (Cmd.GET_PUMPDOOR_STATUS, Cmd.GET_REMAIN_TIME, Cmd.GET_RATE_UNIT)
#: A pump's whole status besides its alarm word.
STATUS_READS: tuple[comm.Option, ...] = (Cmd.GET_PUMP_STATUS, *SLOW_READS)


#: The view field each status read gives, as ``[poll] fresh`` and a view's ``read_at`` name it.
FIELDS: dict[str, comm.Option] = {"running": Cmd.GET_PUMP_STATUS, "door": Cmd.GET_PUMPDOOR_STATUS,
                                  "remaining_s": Cmd.GET_REMAIN_TIME, "rate_unit": Cmd.GET_RATE_UNIT}


#: Past this many reads a pass, a pump reads at the rate its bounds need plus
#: ``SLACK``: with only what they need, reads due together stay together.
SPREAD_FROM = 1.0
SLACK = 0.2
#: The most status reads a pump makes in a pass, its alarm word aside (a pass
#: at most half as long again as an ordinary one): past that, a value comes
#: late, its age said, rather than every alarm.
MOST_READS = 2


def _reads(need: float) -> float:
    """Status reads a pass a pump makes when its bounds need ``need``."""
    return min(need + SLACK, MOST_READS) if need > SPREAD_FROM else 1.0


class StatusClock:
    """When each of one pump's status reads last got a good answer, and so
    what its next unit asks besides the alarm word.

    ``within``: every read comes again within this many seconds; ``fresh``:
    tighter bounds for some of them, by field name (``FIELDS``); ``phase``
    (0 to 1): where the pump starts in the spreading of extra reads.
    """

    def __init__(self, within: float, fresh: Mapping[str, float] | None = None, phase: float = 0.0) -> None:
        if not within > 0:
            raise ValueError(f"status_within must be positive, not {within!r}")
        unknown = set(fresh or ()) - set(FIELDS)
        if unknown:
            raise ValueError(f"no status read gives {sorted(unknown)}; known: {', '.join(FIELDS)}")
        self.within = within
        self._fresh = {int(FIELDS[name]): float(s) for name, s in (fresh or {}).items()}
        self._good: dict[int, float] = {}  # command code -> monotonic time of its last good answer
        self._born: float | None = None  # the start of the pass of the pump's first good answer
        self._phase = phase % 1.0
        self._credit = self._phase  # reads owed beyond one a pass, when the bounds need more

    def bound(self, command: comm.Option) -> float:
        """Seconds within which ``command`` must come again."""
        return min(self.within, self._fresh.get(int(command), math.inf))

    def rate(self, pass_s: float) -> float:
        """Status reads a pass the bounds need with passes of ``pass_s``: each
        value every ``floor(bound / pass - 1/4)`` passes (at least every pass)."""
        if pass_s <= 0:
            return 1.0
        return sum(1 / max(1, math.floor(self.bound(c) / pass_s - 0.25)) for c in STATUS_READS)

    def planned(self, pass_s: float) -> tuple[float, float]:
        """The pass to plan with and the reads a pass it needs, from ``pass_s``,
        the ordinary pass (two reads a pump): the least pass ``P`` with
        ``P = pass_s * (1 + rate(P)) / 2``. Worked out, not measured: a pass
        made long by a burst must not make the next ones read more."""
        plan, rate = pass_s, _reads(self.rate(pass_s))
        for _ in range(8):  # the rate only grows with the pass, by steps: a few turns settle it
            longer = pass_s * (1 + rate) / 2
            if longer <= plan:
                break
            plan, rate = longer, _reads(self.rate(longer))
        return plan, rate

    def unit(self, at: float, pass_s: float) -> tuple[comm.Option, ...]:
        """The commands of the pump's unit in a pass starting at ``at`` (monotonic),
        an ordinary pass (two reads a pump) taking about ``pass_s``: the alarm
        word first.

        Times are the starts of passes, so a pump's place in its pass cancels
        out; a quarter of a pass is kept in hand for passes that run long.
        """
        # Values never read: those with the tightest bound first, else in the order of STATUS_READS.
        never = sorted((c for c in STATUS_READS if int(c) not in self._good), key=self.bound)
        born = self._born
        if born is None:  # never heard: an ordinary unit
            return (ALARM, never[0])
        pass_s, rate = self.planned(pass_s)

        def due(command: comm.Option) -> float:
            """The latest pass start from which ``command`` would still come in time
            (a read never made counts from the pump's first answer)."""
            return self._good.get(int(command), born) + self.bound(command) - 0.25 * pass_s

        # What cannot wait for the next pass, most urgent first (two at most);
        # then what was never read.
        late = sorted((c for c in STATUS_READS if at + pass_s > due(c)), key=due)
        must = late[:MOST_READS]
        never = [c for c in never if c not in late]
        if rate > 1:
            # More than one read a pass: as many as the rate owes (the phase staggers
            # the pumps; what cannot wait is owed later), the values furthest through
            # their bounds next.
            self._credit = min(self._credit + rate, rate + 1)
            rest = sorted((c for c in STATUS_READS if c not in late and c not in never),
                          key=lambda c: (self._good[int(c)] - at) / self.bound(c))
            slots = min(MOST_READS, max(1, len(must), math.floor(self._credit)))
            picked = (must + never + rest)[:slots]
            self._credit = max(-1.0, self._credit - len(picked))
            return (ALARM, *picked)
        if must or never:
            return (ALARM, *(must or never[:1]))
        # Else the running state, unless the slower values, one a pass from the
        # next on, most urgent first, would not all come in time.
        waiting = sorted(SLOW_READS, key=due)
        if any(due(c) < at + (k + 1) * pass_s for k, c in enumerate(waiting)):
            return (ALARM, waiting[0])
        return (ALARM, Cmd.GET_PUMP_STATUS)

    def answered(self, command: comm.Option, at: float) -> None:
        """``command`` got a good answer in the pass that started at ``at``."""
        if self._born is None:
            self._born = at
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
