"""Patients from ADT and IHE PCIM over MLLP, against a virtual ward: every PCD message names exactly the patient due.

python-hl7's MLLP client plays the hospital's ADT feed and association
manager; its server (``_mllp.Receiver``) plays the engine the station's
PCD-01 and PCD-04 go to.
"""

from __future__ import annotations

import asyncio
import base64
import contextlib
import io
import json
import time
import urllib.request
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

import hl7
import hl7.mllp
import pytest
from _browser import chromium, missing, tiles
from _mllp import Receiver
from test_hl7 import Msg, strict, wait_for

from tarvelpump.station.app import Station
from tarvelpump.station.cli import main
from tarvelpump.station.patients.listener import Listener
from tarvelpump.station.records.kinds import WrongPatient
from tarvelpump.station.records.model import EventKind
from tarvelpump.station.settings import passwords
from tarvelpump.station.settings.config import ConfigError, parse_config
from tarvelpump.virtualpump import PumpState
from tarvelpump.virtualward import VirtualWard

NOBODY = "unknown"
PATIENTS = {  # MRN -> (PID-5, PV1-19)
    "1001": ("Doe^Jane^Q", "V-1001"), "1002": ("Roe^Rick", "V-1002"), "1003": ("Poe^Ann", "V-1003"),
    "1004": ("Spaniel^C^R", ""), "1005": ("Lee^Wu", ""),
}
BEDS = {"bed 1": "ICU^301^1", "bed 2": "ICU^302^1"}  # bed 3 has no location
N = iter(range(1, 10_000))


def send(port: int, text: str) -> hl7.Message:
    """One message through python-hl7's MLLP client; its acknowledgement."""
    async def go() -> hl7.Message:
        reader, writer = await hl7.mllp.open_hl7_connection("127.0.0.1", port, encoding="utf-8")
        try:
            writer.writemessage(hl7.parse(text))
            await writer.drain()
            return await asyncio.wait_for(reader.readmessage(), 10)
        finally:
            writer.close()
    return asyncio.run(go())


def msh(kind: str) -> str:
    return f"MSH|^~\\&|HIS|HOSP|TVP|ICU|{datetime.now().strftime('%Y%m%d%H%M%S')}||{kind}|c{next(N)}|P|2.6"


def pid(mrn: str) -> str:
    return f"PID|||{mrn}^^^HOSP^MR||{PATIENTS[mrn][0]}"


def adt(event: str, mrn: str, bed: str = "", prior: str = "") -> str:
    structure = {"A04": "A01", "A08": "A01", "A13": "A01", "A11": "A09"}.get(event, event)
    pv1 = f"PV1||I|{bed}|||{prior}" + "|" * 13 + PATIENTS[mrn][1]
    return "\r".join((msh(f"ADT^{event}^ADT_{structure}"), f"EVN||{datetime.now():%Y%m%d%H%M%S}", pid(mrn), pv1))


def pcim(device: str, mrn: str, status: str, obr3: str, *, associated: bool = True, original: str = "") -> str:
    code = "198332^MDC_EVT_ASSOCIATION_PATIENT_DEVICE^MDC" if associated else \
        "198334^MDC_EVT_DISASSOCIATION_PATIENT_DEVICE^MDC"
    chained = f"^{original}&&132233FFFE445566&EUI-64" if original else ""
    at = datetime.now(timezone.utc).strftime("%Y%m%d%H%M%S+0000")
    end = at if not associated else ""
    return "\r".join((
        msh("ORU^R01^ORU_R01") + "|||AL|AL||||IHE_DEV_052^IHE PCD^1.3.6.1.4.1.19376.1.6.1.52.1^ISO",
        pid(mrn), "PV1||E|ICU^302^1",
        f"OBR|||{obr3}^^132233FFFE445566^EUI-64|69136^MDC_OBS_ASSOCIATION_PATIENT_DEVICE^MDC|||{at}" + "|" * 22
        + chained,
        f"OBX|1|CWE|68487^MDC_ATTR_EVT_COND^MDC|0.0.0.0|{code}||||||{status}",
        f"PRT|1|UC||EQUIP^EQUIP^HL70912|||||ICU^302^1|{device}^^231A8456B1CB2366^EUI-64|{at}|{end}",
        f"PRT|2|UC||AUT^AUT^HL70912|58793^Diesel^N||||ICU^302^1||{at}"))


def code_of(answer: hl7.Message) -> str:
    return str(answer.segment("MSA")(1))


class Ward:
    """The engine, the virtual ward and the station, and what each pump's messages are due to name."""

    def __init__(self, tmp: Path, **patients: Any) -> None:
        self.engine = Receiver().start()
        self.pumps = VirtualWard("fixed", speed=0.001).start()
        for n in (1, 2, 3):
            self.pumps.add(800 + n, 5, PumpState(running=2, remain_hours=2), label=f"bed {n}")
        self.data: dict[str, Any] = {
            "station": {"name": "icu"}, "store": {"path": str(tmp / "icu.sqlite")},
            "poll": {"gap": 0.0, "offline_after": 2},
            "link": [{"name": "radio", "port": self.pumps.port, "timeout": 0.2}],
            "pump": [{"label": "bed 1", "link": "radio", "addr": 801, "channel": 5, "location": BEDS["bed 1"],
                      "device_id": "PUMP-0301"},
                     {"label": "bed 2", "link": "radio", "addr": 802, "channel": 5, "location": BEDS["bed 2"],
                      "device_id": "PUMP-0302"},
                     {"label": "bed 3", "link": "radio", "addr": 803, "channel": 5}],
            "hl7": {"url": self.engine.url, "report_every": 2},
            "patients": {"listen": "127.0.0.1:0", "by_location": True, **patients},
            "http": {"users": {"nurse": passwords.hash_password("correct horse")}},
        }
        #: (sent, acknowledged, label, MRN due or NOBODY) of every change
        self.changes: list[tuple[float, float, str, str]] = []
        self.station = self.start()

    def start(self) -> Station:
        self.station = Station(parse_config(self.data), http="127.0.0.1:0", mqtt="").start()
        return self.station

    @property
    def port(self) -> int:
        assert self.station.patients_listener is not None
        return self.station.patients_listener.port

    def say(self, text: str, wait: bool = True, **due: str) -> hl7.Message:
        """Send a message that should be taken; ``due``: label (bed_1) -> the MRN now due (or NOBODY)."""
        t0 = time.time()
        answer = send(self.port, text)
        assert code_of(answer) == "AA", str(answer)
        assert str(answer.segment("MSA")(2)) == str(hl7.parse(text).segment("MSH")(10))
        t1 = time.time()
        for key, mrn in due.items():
            label = key.replace("_", " ")
            self.changes.append((t0, t1, label, mrn))
            # a PCD-01 naming the new patient comes within a round (of 3 pumps: well under a second)
            wait_for(lambda mrn=mrn, label=label: not wait or any(
                named(m) == mrn and label_of(m) == label and m.composed > t1 for m in self.messages()), timeout=5)
        return answer

    def messages(self) -> list[Msg]:
        return [Timed(t) for t in self.engine.messages()]

    def due(self, label: str, at: float) -> str | None:
        """The MRN due in a message of ``label`` composed at ``at``; None: too close to a change to say."""
        now = NOBODY
        for sent, acked, who, mrn in self.changes:
            if who != label:
                continue
            if sent <= at <= acked + 0.05:
                return None
            if acked < at:
                now = mrn
        return now

    def stop(self) -> None:
        self.station.stop()


class Timed(Msg):
    @property
    def composed(self) -> float:
        return datetime.strptime(self.get("MSH", 7), "%Y%m%d%H%M%S.%f%z").timestamp()


def named(m: Msg) -> str:
    return m.get("PID", 3).split("^")[0]


def label_of(m: Msg) -> str:
    where = m.get("PV1", 3)
    return next((label for label, bed in BEDS.items() if bed == where), where.split("^")[-1])


def api(url: str, user: str | None = None) -> dict[str, Any]:
    request = urllib.request.Request(url + "api/pumps")
    if user:
        request.add_header("Authorization", "Basic " + base64.b64encode(user.encode()).decode())
    with urllib.request.urlopen(request, timeout=10) as r:
        return dict(json.loads(r.read()))


def test_admit_transfer_association_wrong_restart_discharge(tmp_path: Path) -> None:
    w = Ward(tmp_path)
    try:
        wait_for(lambda: {label_of(m) for m in w.messages()} >= {"bed 1", "bed 2", "bed 3"})
        w.say(adt("A01", "1001", BEDS["bed 1"]), bed_1="1001")  # admitted into bed 1's bed
        w.say(adt("A01", "1002", BEDS["bed 2"]), bed_2="1002")
        w.say(adt("A01", "1003", "ICU^399^1"))  # another station's bed: taken, nothing changes
        w.say(pcim("PUMP-9999", "1003", "F", "77"))  # another station's device: the same
        w.say(adt("A08", "1001", BEDS["bed 1"]))  # an update moves no one (and says the same name)
        w.say(adt("A02", "1001", "ICU^399^2", BEDS["bed 1"]), bed_1=NOBODY)  # transferred out
        w.say(adt("A12", "1001", BEDS["bed 1"]), bed_1="1001")  # ... and back: the transfer cancelled
        # bed 2's pump is connected to another patient, confirmed at the bedside: PCIM wins over the bed
        w.say(pcim("PUMP-0302", "1004", "F", "15404652"), bed_2="1004")
        w.pumps.pump("bed 2").update(alarm=0x0100)  # its alarm (PCD-04) names that patient too
        wait_for(lambda: any(m.kind == "ORU^R40^ORU_R01" and named(m) == "1004" for m in w.messages()))
        # ... it was the wrong patient: no longer named at once; the bed's patient again
        w.say(pcim("PUMP-0302", "1004", "W", "15404999", original="15404652"), bed_2="1002")
        wrong = [e for e in w.station.store.events() if e.kind is EventKind.WRONG_PATIENT]
        assert len(wrong) == 1 and wrong[0].pump == "bed 2"
        under = {m.control for m in w.messages() if named(m) == "1004"}
        assert isinstance(wrong[0], WrongPatient) and len(under) >= 2 and under <= set(wrong[0].control_ids)
        # bed 3 (no location): an association not validated is shown, not named; then validated
        w.say(pcim("bed-3", "1005", "R", "500"))
        page(w, tmp_path)
        w.say(pcim("bed-3", "1005", "F", "501"), bed_3="1005")

        # shown to those who log in: the patient on the tile, "not validated" said
        said = api(str(w.station.http_url), "nurse:correct horse")["health"]["outputs"]["patients"]
        assert said["taken"] >= 10 and said["refused"] == 0
        bed2 = said["pumps"]["bed-2"]
        assert bed2["wrong"]["messages"] == len(wrong[0].control_ids)
        assert [(p["ids"], p["name"], p["named"]) for p in bed2["patients"]] == \
            [(["1002 (HOSP, MR)"], "Roe, Rick", True)]
        assert said["pumps"]["bed-3"]["patients"][0]["validated"] is True
        t_bound = time.time()
        time.sleep(1.0)  # ADT's times are whole seconds: the next change is asserted after t_bound

        # malformed: answered AE/AR with an ERR saying what is wrong, and nothing changes
        no_id = adt("A01", "1002", BEDS["bed 1"]).replace("PID|||1002^^^HOSP^MR", "PID|||")
        answer = send(w.port, no_id)
        assert code_of(answer) == "AE" and "PID-3" in str(answer.segment("ERR")) \
            and str(answer.segment("ERR")(2)) == "PID^1^3"
        assert code_of(send(w.port, msh("ORM^O01^ORM_O01") + "\rPID|||1002")) == "AR"
        bad_status = pcim("PUMP-0301", "1002", "X", "9")
        assert code_of(send(w.port, bad_status)) == "AE"

        # a restart in the middle: the bindings go on from the store (and without log-in, no patient shown)
        w.stop()
        del w.data["http"]
        w.start()
        assert "pumps" not in api(str(w.station.http_url))["health"]["outputs"]["patients"]
        wait_for(lambda: any(m.composed > time.time() - 1 and named(m) == "1005" for m in w.messages()))
        w.say(adt("A03", "1001", BEDS["bed 1"]), bed_1=NOBODY)  # discharged
        w.say(pcim("bed-3", "1005", "F", "502", associated=False, original="501"), bed_3=NOBODY)
        w.say(adt("A13", "1001", BEDS["bed 1"]), bed_1="1001")  # the discharge cancelled
        swap = adt("A17", "1001", BEDS["bed 2"], BEDS["bed 1"]) + "\r" + "\r".join(
            adt("A17", "1002", BEDS["bed 1"], BEDS["bed 2"]).split("\r")[2:])
        w.say(swap, bed_1="1002", bed_2="1001")  # two patients swap beds
        w.say(adt("A11", "1002", BEDS["bed 1"]), bed_1=NOBODY)  # an admission cancelled
        time.sleep(2.5)  # a periodic report of each pump
    finally:
        w.stop()
        w.pumps.stop()
        w.engine.stop()

    # Every PCD message names exactly the patient due, with its name and visit; PV1-3 is the pump's location.
    got = w.messages()
    assert len(got) > 25 and {label_of(m) for m in got} == {"bed 1", "bed 2", "bed 3"}
    checked = 0
    for m in got:
        strict(m.text)
        due = w.due(label_of(m), m.composed)
        if due is None:
            continue
        checked += 1
        assert named(m) == due, (label_of(m), m.text)
        pid31 = m.get("PID", 31)
        if due == NOBODY:
            assert m.get("PID", 3) == "unknown^^^99TVP" and pid31 == "Y" and m.get("PV1", 19) == ""
        else:
            assert m.get("PID", 3) == f"{due}^^^HOSP^MR" and m.get("PID", 5) == PATIENTS[due][0] and pid31 == "N"
            assert m.get("PV1", 19).split("^")[0] == PATIENTS[due][1]
    assert checked >= len(got) - 2 * len(w.changes)  # only those composed as a change was being made are left out
    assert {m.get("PV1", 3) for m in got} >= {BEDS["bed 1"], BEDS["bed 2"], "icu^^bed 3"}

    # The audit: which patient each pump served, and was named, at a time (store kept across the restart).
    out = run_cli(["patients", "--db", str(tmp_path / "icu.sqlite"), "--pump", "bed 2",
                   "--at", datetime.fromtimestamp(t_bound).isoformat(), "--json"])
    rows = [json.loads(line) for line in out]
    assert [(r["source"], r["patient"]["ids"][0][0][0], r["named_at"]) for r in rows] == [("adt", "1002", True)]
    history = [json.loads(line) for line in run_cli(["patients", "--db", str(tmp_path / "icu.sqlite"),
                                                      "--pump", "bed 2", "--json"])]
    pcim_rows = [r for r in history if r["source"] == "pcim"]
    assert len(pcim_rows) == 1 and pcim_rows[0]["wrong"] and pcim_rows[0]["asserted_by"] == "58793 Diesel N"
    assert pcim_rows[0]["messages"] >= 2 and pcim_rows[0]["ended_by"].startswith("reported wrong (W)")
    (said,) = [line for line in run_cli(["patients", "--db", str(tmp_path / "icu.sqlite"), "--pump", "bed 2"])
               if "Spaniel" in line]
    assert said.startswith("bed 2: 1004 (HOSP, MR) · Spaniel, C R — PCIM association 15404652") and \
        said.endswith("messages; REPORTED WRONG") and "validated (F)" in said and "named in messages" in said


def test_unvalidated_named_by_setting_sent_again_and_wrong_while_the_engine_is_away(tmp_path: Path) -> None:
    w = Ward(tmp_path, use_unvalidated=True)
    try:
        wait_for(lambda: {label_of(m) for m in w.messages()} >= {"bed 1", "bed 2", "bed 3"})
        w.say(adt("A01", "1001", BEDS["bed 1"]), bed_1="1001")
        w.say(adt("A01", "1002", BEDS["bed 2"]), bed_2="1002")
        swap = adt("A17", "1001", BEDS["bed 2"], BEDS["bed 1"]) + "\r" + "\r".join(
            adt("A17", "1002", BEDS["bed 1"], BEDS["bed 2"]).split("\r")[2:])
        w.say(swap, bed_1="1002", bed_2="1001")
        back = adt("A17", "1001", BEDS["bed 1"], BEDS["bed 2"]) + "\r" + "\r".join(
            adt("A17", "1002", BEDS["bed 2"], BEDS["bed 1"]).split("\r")[2:])
        w.say(back, bed_1="1001", bed_2="1002")
        w.say(swap)  # the first swap again, as it was (its answer lost): taken, not applied twice

        # With use_unvalidated, an association not yet validated is named (over the bed's patient).
        w.engine.stop()  # ... while the engine is away: the messages wait in the outbox
        w.say(pcim("PUMP-0301", "1004", "R", "700"), wait=False, bed_1="1004")
        outbox = w.station.store.outbox
        wait_for(lambda: sum(b"|1004^^^HOSP^MR|" in r.body for r in outbox.peek("hl7", 100)) >= 2)
        w.say(pcim("PUMP-0301", "1004", "W", "701", original="700"), wait=False, bed_1="1001")
        (wrong,) = [e for e in w.station.store.events() if e.kind is EventKind.WRONG_PATIENT]
        queued = {r.key: r.body.decode() for r in outbox.peek("hl7", 1000)}
        # every message composed naming the wrong patient is listed; those not yet sent now name no one
        assert isinstance(wrong, WrongPatient) and len(wrong.control_ids) >= 2
        assert wrong.withheld == wrong.control_ids
        for cid in wrong.control_ids:
            assert "1004" not in queued[cid] and "|unknown^^^99TVP|" in queued[cid]
        w.engine.start()
        wait_for(lambda: outbox.status("hl7").rows == 0, timeout=20)
        wait_for(lambda: any(label_of(m) == "bed 1" and named(m) == "1001" for m in w.messages()))
    finally:
        w.stop()
        w.pumps.stop()
        w.engine.stop()
    got = w.messages()
    assert not [m for m in got if named(m) == "1004"]  # the wrong patient never reached the engine
    for m in got:
        strict(m.text)
        due = w.due(label_of(m), m.composed)
        # while due, the wrong patient was only ever in messages that waited, and were sent naming no one
        assert due is None or named(m) == (NOBODY if due == "1004" else due), (label_of(m), m.text)


def page(w: Ward, tmp: Path) -> None:
    """The tiles, for a nurse who logged in: each pump's patient, "not validated" and a wrong association said."""
    if missing():
        return
    driver = chromium(tmp)
    try:
        driver.execute_cdp_cmd("Network.enable", {})
        token = base64.b64encode(b"nurse:correct horse").decode()
        driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {"Authorization": "Basic " + token}})

        def shown_at(path: str, pump: str, text: str) -> dict[str, str]:
            driver.get(str(w.station.http_url) + path)
            deadline = time.monotonic() + 15
            while True:
                shown = {t[1]: t[3] for t in tiles(driver)}
                if text in shown.get(pump, "") or time.monotonic() > deadline:
                    return shown
                time.sleep(0.1)

        shown = shown_at("", "bed 3", "Patient 1005")
        assert "Patient 1001 (HOSP, MR) · Doe, Jane Q" in shown["bed 1"], shown
        assert "Patient 1005 (HOSP, MR) · Lee, Wu (not validated, not named in HL7)" in shown["bed 3"]
        assert "WRONG PATIENT reported" in shown["bed 2"] and "Roe, Rick" in shown["bed 2"]
        assert "Spaniel" not in shown["bed 2"]
        # the pump's own page: its tile says the same
        assert "Patient 1005 (HOSP, MR) · Lee, Wu" in shown_at("pump/bed-3", "bed 3", "Patient 1005")["bed 3"]
    finally:
        driver.quit()


def run_cli(argv: list[str]) -> list[str]:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert main(argv) == 0
    return out.getvalue().splitlines()


def test_who_may_send_and_the_configuration(tmp_path: Path) -> None:
    base: dict[str, Any] = {"link": [{"name": "radio", "port": "/dev/ttyUSB0"}],
                            "pump": [{"label": "bed 1", "link": "radio", "addr": 1, "location": "ICU^301^1"}]}
    with pytest.raises(ConfigError, match=r"patients.allow_from: listen on 0.0.0.0:2575 is reachable"):
        parse_config({**base, "patients": {"listen": "0.0.0.0:2575"}})
    assert parse_config({**base, "patients": {"listen": "0.0.0.0:2575", "allow_from": ["10.1.2.0/24"]}})
    for pump, key in (({"location": "ICU|301"}, "pump[0].location"), ({"location": "A" * 21}, "pump[0].location"),
                      ({"device_id": "a&b"}, "pump[0].device_id")):
        with pytest.raises(ConfigError) as err:
            parse_config({**base, "pump": [{**base["pump"][0], **pump}]})
        assert err.value.key == key
    two = [base["pump"][0], {"label": "bed 2", "link": "radio", "addr": 2, "device_id": "bed-1"}]
    with pytest.raises(ConfigError, match=r"pump\[1\].device_id: .* one device_id per pump"):
        parse_config({**base, "pump": two})
    # station check says the settings, and how each pump is named (its location, PRT-10)
    conf = tmp_path / "ward.toml"
    conf.write_text('[station]\nname = "icu"\n[[link]]\nname = "radio"\nport = "/dev/ttyUSB0"\n[[pump]]\n'
                    'label = "bed 1"\nlink = "radio"\naddr = 1\nlocation = "ICU^301^1"\n[[pump]]\nlabel = "bed 2"\n'
                    'link = "radio"\naddr = 2\ndevice_id = "PUMP-2"\n[patients]\nlisten = "0.0.0.0:2575"\n'
                    'allow_from = ["10.1.2.0/24"]\nby_location = true\n')
    (said,) = [json.loads(line) for line in run_cli(["check", "--config", str(conf), "--json"])]
    assert said["patients"] == {
        "listen": "0.0.0.0:2575", "allow_from": ["10.1.2.0/24"], "by_location": True, "use_unvalidated": False,
        "show_without_login": False, "pumps": {"bed 1": {"location": "ICU^301^1",
                                                         "device_ids": ["bed 1", "bed-1", "icu/radio/1/0"]},
                                               "bed 2": {"location": None, "device_ids": ["PUMP-2"]}}}
    text = run_cli(["check", "--config", str(conf)])
    assert "  patients ADT and PCIM in on 0.0.0.0:2575 from 10.1.2.0/24; by location yes; not validated named in " \
        "HL7 no; shown without a log-in no" in text and "    'bed 2': location (none: no patient by location); " \
        "PRT-10 'PUMP-2'" in text

    # An address not allowed is closed before anything it sent is read.
    taken: list[str] = []
    listener = Listener("127.0.0.1", 0, lambda text: taken.append(text) or "", allow_from=["10.9.9.9"]).start()
    try:
        with pytest.raises((asyncio.IncompleteReadError, ConnectionError)):
            send(listener.port, adt("A01", "1001", "ICU^301^1"))
        assert taken == [] and listener.counts()["refused_addresses"] == 1
    finally:
        listener.stop()
    # What is not UTF-8 is refused (AR) without being taken; the connection goes on.
    listener = Listener("127.0.0.1", 0, lambda text: taken.append(text) or "MSH|^~\\&|\rMSA|AA|x\r",
                        allow_from=["127.0.0.0/8"]).start()
    try:
        async def latin1_then_utf8() -> list[bytes]:
            reader, writer = await hl7.mllp.open_hl7_connection("127.0.0.1", listener.port)
            writer.writeblock(adt("A01", "1001", "ICU^301^1").replace("Doe", "D\xf6e").encode("latin-1"))
            writer.writeblock(adt("A01", "1001", "ICU^301^1").encode())
            answers = [await reader.readblock(), await reader.readblock()]
            writer.close()
            return answers
        refused, taken_ok = asyncio.run(latin1_then_utf8())
        assert b"MSA|AR|c" in refused and b"ERR||MSH^1^18|" in refused and b"MSA|AA|x" in taken_ok
        assert len(taken) == 1 and "Doe" in taken[0]
    finally:
        listener.stop()

    # A kept state that cannot be read: every pump starts without a patient, what was open is closed.
    from tarvelpump.station.patients.bindings import Bindings
    from tarvelpump.station.records.store import Store

    config = parse_config({**base, "store": {"path": str(tmp_path / "s.sqlite")},
                           "patients": {"listen": "127.0.0.1:0", "by_location": True}})
    with Store(config.store.path) as store:
        first = Bindings(config)
        first.open(store, lambda r: store.commit([r]))
        assert "AA" in first.take(adt("A01", "1001", "ICU^301^1")) and first.patient("bed 1") is not None
        with store.transaction() as db:
            db.execute("UPDATE patient_state SET body = '{\"beds\": 1}'")
        again = Bindings(config)
        again.open(store, lambda r: store.commit([r]))
        assert again.patient("bed 1") is None and again.shown() == {}
        with store.reader() as db:
            assert db.execute("SELECT count(*) FROM patient_claims WHERE ended_t IS NULL").fetchone()[0] == 0


def test_the_rules_message_by_message() -> None:
    """The rules on their own, each step what a pump names (and shows) after one message."""
    from tarvelpump.station.patients.messages import Adt, Unusable, read
    from tarvelpump.station.patients.rules import (Place, State, apply_adt, apply_association, claims, named,
                                                   place_of)

    PATIENTS.update({"1006": ("Moe^Sam", "V-1006"), "1007": ("Toe^Tim", "")})
    places = [Place("bed 1", "radio", "bed-1", "ICU^301^1", (("PUMP-1",),)),
              Place("bed 2", "radio", "bed-2", "ICU^302^1", (("PUMP-2", "", "231A8456B1CB2366"),))]
    state = State()

    def step(text: str, use_unvalidated: bool = False) -> dict[str, str]:
        msg = read(text)
        if isinstance(msg, Adt):
            apply_adt(state, msg, places, datetime.now(timezone.utc))
        else:
            for place in place_of(places, msg.devices):
                apply_association(state, msg, place, datetime.now(timezone.utc))
        out = {}
        for place in places:
            shown = claims(state, place, by_location=True)
            pick = named(state, place, shown, use_unvalidated)
            out[place.label] = (pick.patient.ids[0][0][0] if pick else "-") + "".join(
                f" {src}:{c.patient.ids[0][0][0]}" for src, c in sorted(shown.items()))
        return out

    b1, b2 = BEDS["bed 1"], BEDS["bed 2"]
    assert step(adt("A01", "1001", b1)) == {"bed 1": "1001 adt:1001", "bed 2": "-"}
    assert step(adt("A01", "1002", b2 + "^ICU-EAST")) == {"bed 1": "1001 adt:1001", "bed 2": "1002 adt:1002"}
    # ADT moves someone else out of bed 1: what the station had there is no longer known to be there
    assert step(adt("A02", "1003", "ICU^399^1", b1))["bed 1"] == "-"
    assert step(adt("A13", "1001", ""))["bed 1"] == "1001 adt:1001"  # back to the bed last known
    # admitted into bed 1, 1002 leaves bed 2; the transfer cancelled, back to bed 2
    assert step(adt("A01", "1002", b1)) == {"bed 1": "1002 adt:1002", "bed 2": "-"}
    assert step(adt("A12", "1002", "")) == {"bed 1": "-", "bed 2": "1002 adt:1002"}
    assert step(adt("A08", "1002", b1)) == {"bed 1": "-", "bed 2": "1002 adt:1002"}  # an update moves no one
    assert step(adt("A03", "1003", b2))["bed 2"] == "-"  # discharged from a bed the station had 1002 in
    assert step(adt("A04", "1005", b1))["bed 1"] == "1005 adt:1005"

    # PCIM: not validated is shown, not named (unless so set); validated wins over the bed
    assert step(pcim("PUMP-1", "1006", "R", "1"))["bed 1"] == "1005 adt:1005 pcim:1006"
    assert step(pcim("PUMP-1", "1006", "R", "1"), use_unvalidated=True)["bed 1"] == "1006 adt:1005 pcim:1006"
    assert step(pcim("PUMP-1", "1006", "F", "1"))["bed 1"] == "1006 adt:1005 pcim:1006"
    assert step(pcim("PUMP-1", "1007", "C", "99"))["bed 1"] == "1006 adt:1005 pcim:1006"  # not its association
    assert step(pcim("PUMP-1", "1007", "F", "2"))["bed 1"] == "1007 adt:1005 pcim:1007"  # a newer one
    # disassociated: the bed's patient again; associated with the bed's own patient, then W: no one
    assert step(pcim("PUMP-1", "1007", "F", "3", associated=False, original="2"))["bed 1"] == "1005 adt:1005"
    assert step(pcim("PUMP-1", "1005", "F", "4"))["bed 1"] == "1005 adt:1005 pcim:1005"
    assert step(pcim("PUMP-1", "1005", "W", "5"))["bed 1"] == "- adt:1005"  # its patient's, matched
    assert step(adt("A08", "1005", b1))["bed 1"] == "- adt:1005"
    assert step(adt("A01", "1006", b1))["bed 1"] == "1006 adt:1006"  # someone new in the bed
    # PRT-10 with its universal id: only the pump whose device_id gives the same one
    assert step(pcim("PUMP-2", "1007", "F", "6"))["bed 2"] == "1007 pcim:1007"
    assert not place_of(places, read(pcim("PUMP-2", "1007", "F", "6").replace("231A8456", "FFFF8456")).devices)

    # What cannot be sent as it is refuses the message, naming the field.
    with pytest.raises(Unusable) as bad:
        read(adt("A01", "1001", b1).replace("^^^HOSP^MR", "^^^" + "H" * 21 + "^MR"))
    assert (bad.value.ack, bad.value.where) == ("AE", "PID^1^3^1^4")
    with pytest.raises(Unusable) as bad:
        read(adt("A02", "1001", ""))
    assert (bad.value.ack, bad.value.where) == ("AE", "PV1^1^3")
