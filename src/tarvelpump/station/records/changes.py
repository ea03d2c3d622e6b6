"""Which readings the store keeps: every change, not every repetition.

A pump is read every pass (some ten seconds), and nearly every reading only
repeats the last. A reading gets a row when it shows something the last row
of its pump did not:

- a value that changed: running state, door, rate unit, alarm word (a value
  the pass did not read is not a change);
- remaining time that departs from the countdown the last row implies by
  more than a minute, the pump's own resolution: an infusion counting down
  as it should adds nothing, a pause, a new syringe or a new rate does (a
  remaining time that stands still, as on a stopped pump, is no change
  either);
- exchanges that failed otherwise than before: a pump that stops answering
  gets a row, and so does its coming back;
- an hour since its last row, whatever it shows; and its first reading after
  the store was opened.

So between two rows of a pump, it showed what the first says (remaining time
counting down or standing still). Each row keeps its own reading as read: its
time is when the pump was asked, and what the pass did not read stays empty.
When each pump was last heard and how its exchanges went are kept in the
``pumps`` table, one row per pump, updated every round.
"""

from __future__ import annotations

import dataclasses

from ... import comm
from .model import Reading

__all__ = ["COUNTDOWN_SLACK_S", "HOURLY_S", "Changes"]

#: A pump gets a row at least this often (seconds) while it is polled.
HOURLY_S = 3600.0
#: How far remaining time may stray from the countdown before it is a change (seconds).
COUNTDOWN_SLACK_S = 60

_SUCCESS = int(comm.DeviceReturnCode.SUCCESS)
_VALUES = ("running", "door", "rate_unit", "alarm_word")


@dataclasses.dataclass(frozen=True)
class _Kept:
    """What a pump's rows say so far: the last value of each field, carried forward."""

    t: float  #: when its last row was read
    values: tuple[int | None, ...]  #: _VALUES, in order
    remaining: tuple[int, float] | None  #: remaining time and when it was read, as last kept
    failed: frozenset[int]  #: result codes of the failed exchanges of its last row


def _failed(r: Reading) -> frozenset[int]:
    return frozenset(code for code in r.codes.values() if code != _SUCCESS)


class Changes:
    """The store's rule of which readings get a row; used by its writer only.

    What a transaction would keep counts only once it committed
    (``settle``): a round rolled back is judged again when it comes back.
    """

    def __init__(self, every_s: float = HOURLY_S) -> None:
        self.every_s = every_s
        self._kept: dict[str, _Kept] = {}
        self._pending: dict[str, _Kept] = {}  # in the transaction under way

    def keep(self, r: Reading) -> bool:
        """Whether ``r`` is worth a row; if so, it is what its pump's rows say from now on."""
        last = self._pending.get(r.pump) or self._kept.get(r.pump)
        t = r.time.timestamp()
        failed = _failed(r)
        values = tuple(getattr(r, name) for name in _VALUES)
        if last is not None and not self._changed(last, r, t, failed, values):
            return False
        carried = values if last is None else tuple(
            old if new is None else new for new, old in zip(values, last.values))
        remaining = (r.remaining_s, t) if r.remaining_s is not None else None if last is None else last.remaining
        self._pending[r.pump] = _Kept(t, carried, remaining, failed)
        return True

    def _changed(self, last: _Kept, r: Reading, t: float, failed: frozenset[int],
                 values: tuple[int | None, ...]) -> bool:
        if t - last.t >= self.every_s or failed != last.failed:
            return True
        if any(new is not None and new != old for new, old in zip(values, last.values)):
            return True
        if r.remaining_s is None:
            return False
        if last.remaining is None:
            return True
        was, at = last.remaining
        counted = max(0.0, was - (t - at))
        return r.remaining_s != was and abs(r.remaining_s - counted) > COUNTDOWN_SLACK_S

    def settle(self, committed: bool) -> None:
        """The store's transaction ended: what it kept stands, or never was."""
        if committed:
            self._kept.update(self._pending)
        self._pending.clear()
