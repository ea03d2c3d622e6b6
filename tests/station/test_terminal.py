"""The terminal on a small screen, and the plain history of pumps that did not answer."""

from __future__ import annotations

import unicodedata
from datetime import timedelta
from pathlib import Path

from tarvelpump.station.cli import main, table_lines
from tarvelpump.station.records.model import Reading, RoundResult, now
from tarvelpump.station.records.store import Store

from _core import event
from _views import alarm, every_presence, view


def cells(text: str) -> int:
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def test_live_table_fits_80_by_24_with_every_alarm_on_screen() -> None:
    at = now()
    views = [view(f"Intensive care east wing bed {n} (isolation)", at, station="心脏重症监护病房 东区")
             for n in range(40)]
    # alarmed pumps whose labels sort last: the page's order brings them to the top
    views += [alarm(f"zz 床 {n} 长长长长长长长长长长长长", at, "ALARM_OCCLUSION", "管路堵塞", 0, 60 + n,
                    station="心脏重症监护病房 东区") for n in range(5)]
    events = [event("door_opened", f"bed {n}", "radio-a", at, door=1, station="ward 3")
              for n in range(8)]
    rows = table_lines(views, events, "Hospital · every ward of the site", at=at, wards=True, width=80, height=24)
    assert len(rows) <= 23, len(rows)  # the cursor's line stays free: nothing scrolls
    assert max(cells(r) for r in rows) <= 80, [r for r in rows if cells(r) > 80]
    alarmed = [r for r in rows if "OCCLUSION" in r]
    assert len(alarmed) == 5 and all("…" in r for r in alarmed)  # truncated names, not wrapped rows
    shown = [r for r in rows if "心脏重" in r]
    assert any(f"{45 - len(shown)} more pumps" in r for r in rows)  # what does not fit is said, not dropped
    assert rows.index(alarmed[0]) < 6 and all("心脏重" in r and "床" in r for r in alarmed)
    assert rows[0].startswith("Hospital") and "45 pumps · 5 in alarm · 0 offline" in rows[0]

    # so many alarms that they alone fill the screen: the most urgent stay, the rest are counted
    flood = [alarm(f"bed {n}", at, "ALARM_OCCLUSION", "管路堵塞", 0, n) for n in range(60)]
    rows = table_lines(flood, events, "ward", at=at, width=80, height=24)
    assert len(rows) <= 23 and any("more pumps" in r and "in alarm" in r for r in rows)
    assert "bed 59 " in "\n".join(rows)  # the alarm that stood longest first

    # what is not current never looks current, and the reason a pump is offline outlasts its unit and link
    marks = every_presence(at)
    marks[2].offline_reason += ": [Errno 2] No such file or directory: '/dev/ttyUSB9'"
    marks[2].door = 1
    # values read longer ago than the pass say how long; one read within it says nothing
    marks[5].read_at = {"door": at - timedelta(seconds=40), "running": at - timedelta(seconds=12)}
    marks[6].read_at = {"remaining_s": at - timedelta(seconds=0.4)}
    rows = {r.split()[0] + " " + r.split()[1]: r for r in table_lines(marks, [], "ward", at=at, width=80,
                                                                        height=24, near_end_s=600)[3:]}
    assert "radio down: …" in rows["bed 3"] and "ttyUSB9'" in rows["bed 3"] and "unit" not in rows["bed 3"]
    assert "DOOR OPEN" not in rows["bed 3"] and " 1h30m" in rows["bed 2"]  # with units, never "1:30"
    assert "DOOR OPEN" in rows["bed 6"] and "NEAR END" in rows["bed 7"] and " 5m " in rows["bed 7"]
    assert "DOOR OPEN 40s ago; state 12s ago" in rows["bed 6"] and "ago" not in rows["bed 7"]

    # a wide terminal still gets every column and every pump
    wide = table_lines(views, events, "ward", at=at, wards=True, width=200, height=100)
    assert sum("Intensive care east wing bed" in r for r in wide) == 40 and all(cells(r) <= 200 for r in wide)


def test_history_says_no_answer_and_the_codes(tmp_path: Path, capsys) -> None:
    db = tmp_path / "h.sqlite"
    t = now()
    silent = Reading("bed 3", "radio-a", t, codes={"GET_PUMP_STATUS": 1, "GET_PUMP_ALARM": 1})
    half = Reading("bed 4", "radio-a", t + timedelta(seconds=1), running=2,
                   codes={"GET_PUMP_STATUS": 0, "GET_PUMP_ALARM": 3})
    good = Reading("bed 5", "radio-a", t + timedelta(seconds=2), running=2, alarm_word=0,
                   codes={"GET_PUMP_STATUS": 0, "GET_PUMP_ALARM": 0})
    with Store(db) as store:
        store.commit([RoundResult("radio-a", t, 0.5, 6, (silent, half, good), (), ())])
    assert main(["history", "--db", str(db)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 3
    assert "bed 3" in lines[0] and "no answer" in lines[0]
    assert "GET_PUMP_STATUS NO_DATA_RETURN" in lines[0] and "GET_PUMP_ALARM NO_DATA_RETURN" in lines[0]
    assert " RUN;" in lines[1] and "GET_PUMP_ALARM INVALID_CHECK_DATA" in lines[1] and "no answer" not in lines[1]
    assert "no answer" not in lines[2] and "RUN alarm none" in lines[2] and "GET_" not in lines[2]
