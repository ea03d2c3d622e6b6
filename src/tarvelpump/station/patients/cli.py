"""``tarvelpump station patients``: which patient a pump served, and was named in its messages, at a time.

Reads the store (a running station may go on writing it): every claim of a
pump (a PCIM association of its device, its bed's occupant by ADT), with
its source, whether it was validated, its start and end as asserted, who
asserted it, why it ended, when the station named it in messages and in how
many, and whether it was reported wrong. ``--at`` keeps the claims that
cover that time and says which one was named then.
"""

from __future__ import annotations

import argparse
import json
import re
import sqlite3
from datetime import datetime
from typing import Any

from ..records.since import SINCE_HELP, parse_since

__all__ = ["add_parser", "claim_line", "parse_at"]

AT_HELP = "14:02 (today, local time), " + SINCE_HELP.replace("%", "%%")


def parse_at(text: str, today: datetime | None = None) -> datetime:
    """``--at``: a time of day today ("14:02", "14:02:30", local), else as ``--since`` reads it."""
    m = re.fullmatch(r"(\d{1,2}):(\d{2})(?::(\d{2}))?", text.strip())
    if m:
        base = (today or datetime.now()).astimezone()
        try:
            return base.replace(hour=int(m[1]), minute=int(m[2]), second=int(m[3] or 0), microsecond=0)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a time of day") from None
    try:
        return parse_since(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not {AT_HELP.replace('%%', '%')}") from None


def add_parser(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    text = "which patient each pump served, and was named in its messages (a time with --at)"
    p = sub.add_parser("patients", help=text, description=text)
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--config", help="the station's TOML file (for its store path)")
    where.add_argument("--db", help="the store file itself")
    p.add_argument("--pump", metavar="LABEL", help='one pump, by label ("bed 12")')
    p.add_argument("--at", type=parse_at, metavar="TIME", help=f"only what covers that time: {AT_HELP}")
    p.add_argument("--json", action="store_true", help="one JSON object per claim")
    p.set_defaults(run=_run)


def _run(args: argparse.Namespace) -> int:
    from ..cli import UnknownPump, _open_store, _reading, printable
    from .store import claims_at

    path, pump = _open_store(args)
    with _reading(path) as store, store.reader() as db:
        try:
            rows = claims_at(db, pump, args.at)
            known = {r[0] for r in db.execute("SELECT DISTINCT pump FROM patient_claims")}
        except sqlite3.OperationalError:  # a store from before patients were kept
            rows, known = [], set()
        if pump is not None and pump not in known and pump not in store.last_views():
            raise UnknownPump(f"no pump {printable(pump)!r} in this store")
    at = args.at
    for row in rows:
        if at is not None:
            t = at.timestamp()
            row["named_at"] = any(s <= t and (u is None or t < u) for s, u in row["named"])
        if args.json:
            print(json.dumps(row, ensure_ascii=False))
        else:
            print(printable(claim_line(row)))
    if not rows and not args.json:
        print("no patient was known" + (" then" if at is not None else "") + " for "
              + (repr(pump) if pump is not None else "any pump"))
    return 0


def _clock(t: float | None) -> str:
    return "now" if t is None else datetime.fromtimestamp(t).astimezone().isoformat(timespec="seconds")


def claim_line(row: dict[str, Any]) -> str:
    """A claim in one line, as ``station patients`` prints it."""
    from .messages import Patient  # python-hl7: only when there is a claim to say

    who = Patient.from_json(row["patient"]).words()
    source = (f"PCIM association {row['association']}" if row["source"] == "pcim"
              else f"by location {row['location']} (ADT {row['status']})")
    valid = f"validated ({row['status']})" if row["validated"] else (
        f"not validated ({row['status']})" if row["source"] == "pcim" else "not validated")
    end = row["end"] or "now"
    said = [f"{row['pump']}: {', '.join(who['ids'])}", who["name"] or "(no name)"]
    if who["visit"]:
        said.append(f"visit {who['visit']}")
    text = " · ".join(said) + f" — {source}, {valid}; {row['start']} → {end}"
    if row["ended_by"]:
        text += f" ({row['ended_by']})"
    text += f"; asserted by {row['asserted_by'] or '?'}"
    spans = ", ".join(f"{_clock(s)} → {_clock(u)}" for s, u in row["named"])
    text += f"; named in messages {spans}, {row['messages']} messages" if spans else "; never named in messages"
    if "named_at" in row:
        text += "; NAMED then" if row["named_at"] else "; not named then"
    if row["wrong"]:
        text += "; REPORTED WRONG"
    return text
