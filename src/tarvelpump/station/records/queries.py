"""The store's reads of readings and events: oldest first, by time, a page at a time.

Rows come in the order of ``(t, key)``, which the time indexes hold as they
are (an index keeps its table's key after its own columns), so a query walks
only the rows it returns, however large the table: ``since`` is a range of
the ``t`` index (with a pump, of the ``(pump, t)`` one), and "the latest N"
is N steps back along the same index, then the way forward. Nothing is
sorted, and the plans do not depend on the statistics.

Each page is a statement of its own, at most ``PAGE`` rows, the next one
starting after the last row of the one before: memory stays flat in the
number of rows, and no read transaction stays open while the caller prints
(a station writing meanwhile goes on folding its WAL back). A query returns
what was stored when it was asked: rows committed while it runs are left
for the next one.
"""

from __future__ import annotations

import dataclasses
import sqlite3
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager
from datetime import datetime
from typing import Any

__all__ = ["EVENTS", "PAGE", "READINGS", "Table", "rows"]

PAGE = 500


@dataclasses.dataclass(frozen=True)
class Table:
    name: str
    key: str  #: its integer primary key: the order of rows of the same time
    columns: str  #: what a query returns of each row


READINGS = Table("readings", "id", "pump, link, time, running, door, remaining_s, rate_unit, alarm_word, codes,"
                                   " link_time_s")
EVENTS = Table("events", "seq", "id, kind, pump, link, time, details")


def rows(reading: Callable[[], AbstractContextManager[sqlite3.Connection]], table: Table, pump: str | None,
         since: datetime | None, limit: int | None) -> Iterator[sqlite3.Row]:
    """``table``'s rows, oldest first (of one pump, from ``since``; with ``limit``, the latest ones).

    ``reading`` lends a reader connection, taken again for each page."""
    where: list[str] = []
    args: list[Any] = []
    if pump is not None:
        where.append("pump = ?")
        args.append(pump)
    if since is not None:
        where.append("t >= ?")
        args.append(since.timestamp())
    key = table.key
    mark = f"(t, {key})"

    def clause(more: list[str]) -> str:
        return " WHERE " + " AND ".join(where + more) if where or more else ""

    back = f"SELECT t, {key} FROM {table.name}{clause([])} ORDER BY t DESC, {key} DESC LIMIT 1 OFFSET ?"
    with reading() as db:
        last = db.execute(back, [*args, 0]).fetchone()
        first = None if limit is None or last is None else db.execute(back, [*args, limit - 1]).fetchone()
    if last is None:
        return
    start = [] if first is None else [f"{mark} >= (?, ?)"]
    start_args: list[Any] = [] if first is None else [first[0], first[1]]
    while True:
        sql = (f"SELECT {table.columns}, t, {key} FROM {table.name}{clause([*start, f'{mark} <= (?, ?)'])}"
               f" ORDER BY t, {key} LIMIT {PAGE}")
        with reading() as db:
            page = db.execute(sql, [*args, *start_args, last[0], last[1]]).fetchall()
        yield from page
        if len(page) < PAGE:
            return
        start, start_args = [f"{mark} > (?, ?)"], [page[-1]["t"], page[-1][key]]
