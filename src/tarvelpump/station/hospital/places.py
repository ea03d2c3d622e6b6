"""The places of a view: which pumps it shows, within its bounds per ward and
over the site, when each was last heard, and which it turned away.

A full view must not hide what it refuses: every pump turned away is kept in
mind (at most ``REFUSED_KEPT`` of them, each until it has not been turned
away again for ``forget_after``), so the page can say how many pumps, of
which gateways, it does not show.
"""

from __future__ import annotations

import collections
import logging
from typing import Any

from .messages import REFUSED_WARDS

__all__ = ["REFUSED_KEPT", "REFUSED_SHOWN", "Places"]

log = logging.getLogger("tarvelpump.station.hospital.mqtt_source")

#: pumps turned away that a view keeps in mind (the newest ones); past this it says "more"
REFUSED_KEPT = 10_000
#: gateways named with their refused pumps in the view's health (the most refused first)
REFUSED_SHOWN = 20


class Places:
    """Who holds a place in a view (the dispatch thread's own; no lock)."""

    def __init__(self, max_pumps: int, max_pumps_per_ward: int) -> None:
        self.max_pumps = max_pumps
        self.max_pumps_per_ward = max_pumps_per_ward
        self.wards: dict[str, set[str]] = {}  #: ward -> ids of its pumps shown
        self.ward_of: dict[str, str] = {}  #: id -> ward, of every pump shown
        self.heard: dict[str, float] = {}  #: id -> when its last state came; oldest first
        #: states turned away, by (ward, "ward" or "site"), for the metrics
        self.refused: collections.Counter[tuple[str, str]] = collections.Counter()
        self._turned: collections.OrderedDict[str, tuple[str, float]] = collections.OrderedDict()
        self._turned_wards: collections.Counter[str] = collections.Counter()
        self._more = False  # more pumps were turned away than are kept in mind
        self._figures: dict[str, Any] | None = None

    def __len__(self) -> int:
        return len(self.ward_of)

    def admit(self, ward: str, vid: str, t: float) -> bool:
        """Whether a state of ``vid`` may be shown; a pump new to the view takes a place."""
        if vid not in self.ward_of:
            ids = self.wards.get(ward, ())
            why = "ward" if len(ids) >= self.max_pumps_per_ward else "site" if len(self) >= self.max_pumps else ""
            if why:
                self._turn_away(ward, vid, why, t)
                return False
            self.wards.setdefault(ward, set()).add(vid)
            self.ward_of[vid] = ward
            self._no_longer_turned(vid)
            self._figures = None
        self.heard.pop(vid, None)
        self.heard[vid] = t
        return True

    def _turn_away(self, ward: str, vid: str, why: str, t: float) -> None:
        named = ward if ward in self.wards or len(self.refused) < REFUSED_WARDS else ""
        if not self.refused[(named, why)]:
            log.warning("MQTT view: a new pump of %r is refused: the %s holds %d pumps already "
                        "(more are counted, not logged)", ward, why,
                        self.max_pumps_per_ward if why == "ward" else self.max_pumps)
        self.refused[(named, why)] += 1
        if vid not in self._turned:
            if len(self._turned) >= REFUSED_KEPT:
                self._no_longer_turned(next(iter(self._turned)))
                self._more = True
            self._turned_wards[ward] += 1
        self._turned[vid] = (ward, t)
        self._turned.move_to_end(vid)
        self._figures = None

    def _no_longer_turned(self, vid: str) -> None:
        turned = self._turned.pop(vid, None)
        if turned is not None:
            ward = turned[0]
            self._turned_wards[ward] -= 1
            if not self._turned_wards[ward]:
                del self._turned_wards[ward]
            self._figures = None

    def forget(self, vid: str) -> bool:
        """``vid`` leaves the view (or the pumps turned away); whether it was shown."""
        self._no_longer_turned(vid)
        ward = self.ward_of.pop(vid, None)
        if ward is None:
            return False
        del self.heard[vid]
        ids = self.wards[ward]
        ids.discard(vid)
        if not ids:
            del self.wards[ward]
        self._figures = None
        return True

    def unheard(self, t: float, after: float) -> list[tuple[str, float]]:
        """The pumps shown but not heard for ``after`` seconds, oldest first, with how long."""
        quiet = []
        for vid, heard in self.heard.items():  # oldest first: stop at the first recent one
            if t - heard < after:
                break
            quiet.append((vid, t - heard))
        return quiet

    def expire(self, t: float, after: float) -> None:
        """Forget the pumps turned away that were not turned away again for ``after``."""
        while self._turned:
            vid, (_, when) = next(iter(self._turned.items()))
            if t - when < after:
                break
            self._no_longer_turned(vid)
        if not self._turned:
            self._more = False

    def figures(self) -> dict[str, Any]:
        """What the view's health says of its places (made again only after a change)."""
        if self._figures is None:
            self._figures = {
                "max_pumps": self.max_pumps, "max_pumps_per_ward": self.max_pumps_per_ward,
                "pumps": {ward: len(ids) for ward, ids in self.wards.items()},
                "refused": [{"ward": ward, "reason": why, "count": n} for (ward, why), n in self.refused.items()],
                # the pumps not shown because the view was full, and their gateways (the most first)
                "refused_pumps": len(self._turned), "refused_pumps_more": self._more,
                "refused_wards": [{"ward": ward, "pumps": n}
                                  for ward, n in self._turned_wards.most_common(REFUSED_SHOWN)],
                "refused_wards_total": len(self._turned_wards),
            }
        return self._figures
