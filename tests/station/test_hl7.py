"""HL7 out of the station against a real MLLP receiver: what each message says, and that none is lost."""

from __future__ import annotations

import collections
import logging
import time
from collections.abc import Callable
from pathlib import Path

import pytest
from hl7apy.consts import VALIDATION_LEVEL
from hl7apy.parser import parse_message

from tarvelpump.station.app import Station
from tarvelpump.station.settings.config import Hl7Config, LinkConfig, PollConfig, PumpConfig, StationConfig, StoreConfig
from tarvelpump.station.outputs.hl7 import Composer
from tarvelpump.station.hub import Hub
from tarvelpump.station.watch.link import Link
from tarvelpump.station.outputs.mllp import Hl7Publisher
from tarvelpump.station.records.kinds import AlarmRaised
from tarvelpump.station.records.model import ONLINE, Event, EventKind, PumpView, RoundResult, now
from tarvelpump.station.watch.poller import Poller, PollSettings
from tarvelpump.station.watch.pump import Pump
from tarvelpump.station.records.store import Store
from tarvelpump.virtualpump import PumpState
from tarvelpump.virtualward import VirtualWard

from _mllp import Receiver

OCCLUSION, AIR, KVO_DONE = 0x0100, 0x0200, 0x0020


def wait_for(check: Callable[[], bool], timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting")
        time.sleep(0.05)


def strict(text: str) -> None:
    """hl7apy's strict v2.6 check of the whole ORU_R01 structure."""
    parse_message(text, validation_level=VALIDATION_LEVEL.STRICT, find_groups=True).validate()


def unescape(text: str) -> str:
    for code, char in (("F", "|"), ("S", "^"), ("T", "&"), ("R", "~"), ("E", "\\")):
        text = text.replace(f"\\{code}\\", char)
    return text


class Msg:
    """One received message, split by hand (fields counted as HL7 counts them)."""

    def __init__(self, text: str) -> None:
        self.text = text
        self.segs: list[list[str]] = []
        for line in text.split("\r"):
            if line:
                f = line.split("|")
                self.segs.append(["MSH", "|", *f[1:]] if f[0] == "MSH" else f)

    def seg(self, name: str) -> list[str]:
        return next(s for s in self.segs if s[0] == name)

    def get(self, name: str, n: int) -> str:
        s = self.seg(name)
        return s[n] if n < len(s) else ""

    @property
    def kind(self) -> str:
        return self.get("MSH", 9)

    @property
    def control(self) -> str:
        return self.get("MSH", 10)

    @property
    def bed(self) -> str:
        return unescape(self.get("PV1", 3).split("^")[2])

    def obx(self) -> dict[str, list[str]]:
        """OBX rows by the code of OBX-3 (padded so every field can be read)."""
        return {s[3].split("^")[0]: s + [""] * (20 - len(s)) for s in self.segs if s[0] == "OBX"}


def pcd01(msgs: list[Msg], bed: str) -> list[Msg]:
    return [m for m in msgs if m.kind == "ORU^R01^ORU_R01" and m.bed == bed]


def test_pcd01_and_pcd04_of_a_ward(tmp_path: Path) -> None:
    receiver = Receiver().start()
    ward = VirtualWard("fixed", speed=0.001).start()
    ward.add(801, 5, PumpState(running=2, remain_hours=1, remain_minutes=5), label="bed 1")
    ward.add(802, 5, PumpState(running=3, remain_hours=0, remain_minutes=42, door=1, rate_unit=1), label="bed 2")
    ward.add(803, 5, label="bed 3").present = False  # never answers: nothing may be sent for it
    ward.add(804, 5, PumpState(remain_hours=2, remain_minutes=0), label="bed 4 & 5^x")  # delimiters in a label
    config = StationConfig(
        name="内科 ward 7", store=StoreConfig(path=tmp_path / "s.sqlite"),
        poll=PollConfig(gap=0.0, offline_after=2, retry_ceiling=1.0),
        links=(LinkConfig("radio", ward.port, timeout=0.2),),
        pumps=tuple(PumpConfig(p.label, "radio", p.addr, p.channel) for p in ward.pumps),
        hl7=Hl7Config(url=receiver.url, application="TVP-GW", facility="GENERAL", report_every=30.0))
    station = Station(config, http="", mqtt="")
    msgs: Callable[[], list[Msg]] = lambda: [Msg(t) for t in receiver.messages()]
    try:
        station.start()
        # The first pass reads each pump's alarm word and running state: its first report says
        # the rest cannot be given yet (never a guess); one more follows once the whole status is read.
        def whole(m: Msg) -> bool:
            return all(m.obx()[code][11] == "R" for code in ("184508", "157916", "RATE_UNIT", "DOOR"))

        beds = ("bed 1", "bed 2", "bed 4 & 5^x")
        wait_for(lambda: all(len(pcd01(msgs(), b)) >= 2 for b in beds))
        early = pcd01(msgs(), "bed 1")[0].obx()
        assert early["184508"][11] == "R" and early["DOOR"][11] == "X" and early["DOOR"][5] == ""
        first = {b: pcd01(msgs(), b)[1] for b in beds}
        assert all(whole(m) for m in first.values())
        m = first["bed 1"]
        assert m.get("MSH", 3) == "TVP-GW" and m.get("MSH", 4) == "GENERAL" and m.get("MSH", 18) == "UNICODE UTF-8"
        assert m.get("MSH", 21) == "IHE_PCD_001^IHE PCD^1.3.6.1.4.1.19376.1.6.1.1.1^ISO"
        assert m.get("PV1", 3) == "内科 ward 7^^bed 1" and m.get("PID", 3)
        rows = m.obx()
        # containment: device, pump, delivery channel, each with no value and OBX-11 X
        for code, path in (("69985", "1.0.0.0"), ("69986", "1.1.0.0"), ("126978", "1.1.1.0")):
            assert rows[code][4] == path and rows[code][5] == "" and rows[code][11] == "X"
        assert rows["184508"][5].startswith("RUN^") and rows["184508"][11] == "R"
        assert rows["157916"][5] == "65" and rows["157916"][6] == "264352^MDC_DIM_MIN^MDC"
        assert rows["RATE_UNIT"][5].startswith("265266^MDC_DIM_MILLI_L_PER_HR^MDC")
        assert rows["DOOR"][5] == "CLOSE^关闭^99TVP"
        for row in rows.values():  # every row: its time and the pump it is about
            assert row[14][:8].isdigit() and row[18] == "内科 ward 7/radio/801/5"
        two = first["bed 2"].obx()
        assert two["157916"][5] == "42" and two["184508"][5].startswith("PAUSE^")
        assert two["RATE_UNIT"][5] == "DROP^滴^99TVP" and two["DOOR"][5] == "OPEN^开启^99TVP"
        four = first["bed 4 & 5^x"]
        assert four.get("PV1", 3) == r"内科 ward 7^^bed 4 \T\ 5\S\x" and four.obx()["157916"][5] == "120"

        # alarms: an occlusion (an MDC code), air in line (a local code); then the occlusion ends
        ward.pump("bed 2").update(alarm=OCCLUSION)
        wait_for(lambda: any(x.kind == "ORU^R40^ORU_R01" for x in msgs()))
        ward.pump("bed 1").update(alarm=AIR)
        wait_for(lambda: sum(x.kind == "ORU^R40^ORU_R01" for x in msgs()) == 2)
        ward.pump("bed 2").update(alarm=0)
        wait_for(lambda: sum(x.kind == "ORU^R40^ORU_R01" for x in msgs()) == 3)
        occl, air, end = [x for x in msgs() if x.kind == "ORU^R40^ORU_R01"]
        assert occl.get("MSH", 21).startswith("IHE_PCD_ACM_001^IHE PCD^1.3.6.1.4.1.19376.1.6.4.4.1")
        assert occl.bed == "bed 2" and occl.get("OBR", 4) == "196616^MDC_EVT_ALARM^MDC"
        a = occl.obx()
        assert a["196616"][5].startswith("196940^MDC_EVT_FLUID_LINE_OCCL^MDC") and "管路堵塞" in a["196616"][5]
        assert a["196616"][4] == "1.0.0.0.1" and all(r[11] == "F" for r in a.values())
        assert a["68481"][5] == "start" and a["68482"][5] == "active" and a["68484"][5] == "PH"
        assert a["68480"][5] == "69985^MDC_DEV_PUMP_INFUS_MDS^MDC" and a["68480"][18] == "内科 ward 7/radio/802/5"
        assert air.bed == "bed 1" and air.obx()["196616"][5] == "ALARM_AIR_IN_LINE^请排除管路气泡^99TVP"
        assert air.obx()["68484"][5] == "PL"
        e = end.obx()
        assert end.bed == "bed 2" and e["196616"][5] == a["196616"][5]
        assert e["68481"][5] == "end" and e["68482"][5] == "inactive"

        # a change of running state is reported at once, long before report_every
        before = len(pcd01(msgs(), "bed 1"))
        ward.pump("bed 1").update(running=1)
        wait_for(lambda: len(pcd01(msgs(), "bed 1")) > before, timeout=3)
        assert pcd01(msgs(), "bed 1")[-1].obx()["184508"][5].startswith("STOP^")

        # a pump that stops answering is reported offline once, with no value as if current
        reports = len(pcd01(msgs(), "bed 4 & 5^x"))
        ward.pump("bed 4 & 5^x").present = False
        wait_for(lambda: len(pcd01(msgs(), "bed 4 & 5^x")) == reports + 1)
        gone = pcd01(msgs(), "bed 4 & 5^x")[-1].obx()
        assert gone["PRESENCE"][5].startswith("offline^") and gone["PRESENCE"][11] == "F"
        for code in ("184508", "157916", "RATE_UNIT", "DOOR"):
            assert gone[code][5] == "" and gone[code][11] == "X", code
        time.sleep(2.0)
        got = msgs()
        assert len(pcd01(got, "bed 4 & 5^x")) == reports + 1
        assert not [x for x in got if "bed 3" in x.get("PV1", 3)]
        for x in got:  # every kind, the Chinese texts and the offline report included
            strict(x.text)
        assert len({x.control for x in got}) == len(got)
        assert station.hl7 is not None and station.hl7.counts()["acked"] == len(got)
        # Where it goes and how it fares, for the page and the metrics.
        said = station.hub.health()["outputs"]["hl7"]
        assert said["url"] == station.hl7.url and said["connected"] and said["waiting"] == 0
        from tarvelpump.station.outputs.metrics import StationMetrics
        registry = StationMetrics(station.hub).registry
        assert registry.get_sample_value("tarvelpump_hl7_messages_total", {"outcome": "acked"}) == len(got)
        assert registry.get_sample_value("tarvelpump_hl7_waiting") == 0.0
        for name, value in (("rows", 0.0), ("set_aside_rows", 0.0), ("over_bound", 0.0), ("bound_rows", 10_000.0)):
            assert registry.get_sample_value(f"tarvelpump_outbox_{name}", {"output": "hl7"}) == value, name
        assert registry.get_sample_value("tarvelpump_output_connected", {"output": "hl7"}) == 1.0
        assert registry.get_sample_value("tarvelpump_output_refusing", {"output": "hl7"}) == 0.0
    finally:
        station.stop()
        ward.stop()
        receiver.stop()


class Gateway:
    """A store with the HL7 outbox, its publisher, and a poller on a virtual ward."""

    def __init__(self, db: Path, url: str, ward: VirtualWard, **options: float) -> None:
        self.db, self.url, self.ward, self.options = db, url, ward, options
        self.link = Link("radio", ward.port, timeout=0.3)
        self.pumps = [Pump(self.link, p.addr, p.channel, p.label) for p in ward.pumps]
        self.alarms: list[Event] = []
        self.heard: list[Event] = []  # every event the hub handed on
        self.open()

    def waiting(self) -> int:
        return self.store.outbox.status("hl7").rows

    def open(self, initial: dict[str, PumpView] | None = None) -> None:
        self.store = Store(self.db)
        self.store.outbox.register(Composer(station="ward 9", report_every=1.0))
        self.hub = Hub()
        self.hub.commit_through(self.store.commit, name=self.store.path)
        self.hub.add(lambda r: self.alarms.extend(
            e for e in r.events if e.kind in (EventKind.ALARM_RAISED, EventKind.ALARM_CLEARED)))
        self.hub.add(lambda r: self.heard.extend(r.events))
        self.pub = Hl7Publisher(self.url, self.store.outbox, self.hub, **self.options)
        self.hub.add(self.pub.on_round)
        self.poller = Poller(self.link, self.pumps, PollSettings(gap=0.0), self.hub, station="ward 9",
                             initial=initial)
        self.pub.start()

    def alarm(self, label: str, word: int) -> None:
        self.ward.pump(label).update(alarm=word)
        self.poller.run_round()

    def close(self) -> None:
        self.pub.stop()
        self.store.close()


def check_order(got: list[Msg], alarms: list[Event]) -> int:
    """Each boot's messages first arrive in the order they were made, one boot after the other,
    each alarm event as exactly one PCD-04; the number of repeats."""
    first: dict[str, Msg] = {}
    for m in got:
        first.setdefault(m.control, m)
    boots = list(dict.fromkeys(c[:8] for c in first))
    order = [(boots.index(c[:8]), int(c[8:])) for c in first]
    assert order == sorted(order)
    events = [m.get("OBR", 3).split("^")[0] for m in first.values() if m.kind == "ORU^R40^ORU_R01"]
    assert events == [e.id for e in alarms]
    return len(got) - len(first)


def test_outage_restart_reject_and_error(tmp_path: Path, caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.INFO)
    seen: collections.Counter[str] = collections.Counter()

    def answer(text: str) -> tuple[str, str]:
        m = Msg(text)
        seen[m.control] += 1
        if "ALARM_KVO_COMPLETE" in text and "start" in text:
            return "AE", "unknown bed"  # set aside, never sent again
        if "MDC_EVT_FLUID_LINE_OCCL" in text and "start" in text and seen[m.control] <= 2:
            return "AR", "busy"  # retried later, and nothing overtakes it
        return "AA", ""

    receiver = Receiver(answer).start()
    ward = VirtualWard("fixed", speed=0.001).start()
    for n in range(3):
        ward.add(801 + n, 0, label=f"bed {n + 1}")
    gw = Gateway(tmp_path / "w.sqlite", receiver.url, ward, retry_after=0.5, reconnect_max=1.0)
    msgs: Callable[[], list[Msg]] = lambda: [Msg(t) for t in receiver.messages()]
    try:
        gw.alarm("bed 1", KVO_DONE)
        gw.alarm("bed 2", OCCLUSION)
        gw.alarm("bed 2", 0)
        wait_for(lambda: gw.waiting() == 0 and len(gw.alarms) == 3)
        got = msgs()
        acm = [m for m in got if m.kind == "ORU^R40^ORU_R01"]
        # the occlusion: refused twice, then taken; the alarm's end came only after it
        assert [("start" in m.text) for m in acm] == [True, True, True, True, False]
        assert acm[1].control == acm[2].control == acm[3].control
        assert gw.pub.counts()["rejected"] == 1 and gw.pub.counts()["retried"] == 2
        assert caplog.text.count("unknown bed") == 1
        aside = [e for e in gw.store.events() if e.kind == EventKind.HL7_REJECTED]
        assert len(aside) == 1 and aside[0].pump == "bed 1" and aside[0].details["error"] == "unknown bed"
        assert aside[0].details["control_id"] == acm[0].control

        # periodic reports keep coming for every answering pump
        for _ in range(15):
            gw.poller.run_round()
            time.sleep(0.1)
        wait_for(lambda: all(len(pcd01(msgs(), f"bed {n}")) >= 2 for n in (1, 2, 3)))

        # the receiver goes away for 10 s: everything waits, then arrives in order
        receiver.stop()
        t_end, n = time.monotonic() + 10.0, 0
        while time.monotonic() < t_end:
            n += 1
            gw.alarm(f"bed {n % 3 + 1}", 1 << (n % 4 + 1))  # a new word each time
            time.sleep(0.2)
        waiting = gw.waiting()
        assert waiting > 40
        receiver.start()
        wait_for(lambda: gw.waiting() == 0, timeout=30)
        # repeats: the two refused ones, and at most the one in flight as the receiver went
        assert check_order(msgs(), gw.alarms) <= 2 + 1

        # a station restarted with messages undelivered sends them after the restart; a pump
        # reported answering before the restart and silent since is reported offline after it
        receiver.stop()
        for n in range(6):
            gw.alarm("bed 3", 1 << (n % 2 + 2))
        kept = {v.label: v for v in gw.poller.views()}
        gw.close()
        with Store(gw.db) as stopped:
            left = stopped.outbox.peek("hl7", 100)
        assert len(left) >= 6
        receiver.start()
        ward.pump("bed 2").present = False
        gw.open(initial=kept)
        gw.alarm("bed 1", 0)
        for _ in range(3):
            gw.poller.run_round()
        wait_for(lambda: gw.waiting() == 0, timeout=20)
        got = msgs()
        assert pcd01(got, "bed 2")[-1].obx()["PRESENCE"][5] == "offline^no answer^99TVP"
        assert {x.control for x in got} >= {row.key for row in left}
        assert check_order(got, gw.alarms) <= 2 + 2
        for x in got:
            strict(x.text)

        # a receiver that refuses everything, for now (AR), then for good (AE): said, never hidden, and each
        # refusal for good is an event committed through the hub like any other
        assert gw.pub.status()["refusing_since"] is None
        receiver.answer = lambda text: ("AR", "engine paused")
        gw.alarm("bed 1", OCCLUSION)
        wait_for(lambda: gw.pub.status()["refusing_since"] is not None)
        assert gw.pub.status()["refusal"] == "AR: engine paused" and gw.waiting() >= 1
        receiver.answer = lambda text: ("AE", "no such bed")
        wait_for(lambda: gw.waiting() == 0, timeout=30)
        said = gw.pub.status()
        assert said["refusal"] == "AE: no such bed" and said["connected"] and said["rejected"] >= 2
        told = [e for e in gw.heard if e.kind is EventKind.HL7_REJECTED]
        assert [e.id for e in told] == [e.id for e in gw.store.events() if e.kind is EventKind.HL7_REJECTED]
        assert len(told) == gw.store.outbox.status("hl7").set_aside == len(gw.store.outbox.peek("hl7", aside=True))
        assert told[-1].details == {"message": "PCD-01", "control_id": told[-1].details["control_id"], "ack": "AE",
                                    "error": "no such bed"}
        receiver.answer = lambda text: ("AA", "")
        gw.alarm("bed 1", 0)
        wait_for(lambda: gw.pub.status()["refusing_since"] is None)
    finally:
        gw.close()
        gw.link.close()
        ward.stop()
        receiver.stop()


def test_demo_sends_hl7_and_the_configuration_names_its_mistakes(capsys: pytest.CaptureFixture[str]) -> None:
    from tarvelpump.station.cli import main
    from tarvelpump.station.settings.config import ConfigError, parse_config

    receiver = Receiver().start()
    try:
        assert main(["demo", "--no-http", "--json", "--seed", "3", "--seconds", "6", "--hl7", receiver.url]) == 0
        assert f"HL7 (IHE PCD-01 and PCD-04) to {receiver.url}" in capsys.readouterr().err
        got = [Msg(t) for t in receiver.messages()]
        assert {m.bed for m in got if m.kind == "ORU^R01^ORU_R01"} == {f"bed {n}" for n in range(1, 13)}
        for m in got:
            strict(m.text)
            assert m.get("PV1", 3).startswith("demo ward^^")
    finally:
        receiver.stop()

    base = {"link": [{"name": "radio", "port": "/dev/ttyUSB0"}],
            "pump": [{"label": "bed 1", "link": "radio", "addr": 1}]}
    config = parse_config({**base, "hl7": {"url": "mllp://engine:2575", "facility": "GENERAL", "report_every": 15}})
    assert config.hl7 == Hl7Config(url="mllp://engine:2575", facility="GENERAL", report_every=15.0)
    assert parse_config(base).hl7.url is None  # no HL7 unless a receiver is named
    for table, key in (({"url": "http://engine:2575"}, "hl7.url"), ({"url": "mllp://engine"}, "hl7.url"),
                       ({"url": "mllp://e:1", "report_every": 0}, "hl7.report_every"),
                       ({"url": "mllp://e:1", "sender": "x"}, "hl7.sender")):
        with pytest.raises(ConfigError) as err:
            parse_config({**base, "hl7": table})
        assert err.value.key == key
    with pytest.raises(SystemExit) as stop:
        main(["run", "--config", "ward.toml", "--hl7", "mllp://engine:0"])
    assert stop.value.code == 2 and "port other than 0" in capsys.readouterr().err


def toml_of(data: dict) -> str:
    """A configuration as TOML (strings as JSON writes them, which TOML reads)."""
    import json

    out = []
    for name, body in data.items():
        for item in body if isinstance(body, list) else [body]:
            out.append(f"[[{name}]]" if isinstance(body, list) else f"[{name}]")
            out += [f"{k} = {json.dumps(str(v)) if isinstance(v, (str, Path)) else v}" for k, v in item.items()]
    return "\n".join(out) + "\n"


def test_long_names_are_fitted_to_their_v26_fields_and_check_says_so(tmp_path: Path,
                                                                       capsys: pytest.CaptureFixture[str]) -> None:
    import json

    from tarvelpump.station.cli import main
    from tarvelpump.station.settings.config import ConfigError, parse_config

    name = "Paediatric Intensive Care Unit, Wing B-3"
    labels = [f"Intensive care cot by the east window {n:02d}" for n in (1, 2)] + ["Cot | isolation ^ east & west ~ 12"]
    assert len(name) == len(labels[0]) == 40
    receiver = Receiver().start()
    ward = VirtualWard("fixed", speed=0.001).start()
    for n, label in enumerate(labels):
        ward.add(801 + n, 5, PumpState(running=2, remain_hours=1), label=label)
    data = {"station": {"name": name}, "store": {"path": tmp_path / "s.sqlite"},
            "poll": {"gap": 0.0, "offline_after": 2},
            "link": [{"name": "radio on the long east corridor of wing B", "port": ward.port, "timeout": 0.2}],
            "pump": [{"label": p.label, "link": "radio on the long east corridor of wing B", "addr": p.addr,
                      "channel": 5} for p in ward.pumps],
            "hl7": {"url": receiver.url, "point_of_care": "PICU", "receiving_application": "EHR",
                    "receiving_facility": "GENERAL HOSP"}}
    data["pump"][2]["hl7_bed"] = "12"
    conf = tmp_path / "ward.toml"
    conf.write_text(toml_of(data))
    # What will be sent, said before anything runs.
    assert main(["check", "--config", str(conf), "--json"]) == 0
    said = json.loads(capsys.readouterr().out)["hl7"]
    beds = {labels[0]: "PICU^^ICCBT east window 01", labels[1]: "PICU^^ICCBT east window 02", labels[2]: "PICU^^12"}
    assert said == {"url": receiver.url, "msh_3": "TARVELPUMP", "msh_4": "PIC Unit, Wing B-3", "msh_5": "EHR",
                    "msh_6": "GENERAL HOSP", "pv1_3": beds}
    assert main(["check", "--config", str(conf)]) == 0
    assert f"{labels[2]!r}: 'PICU^^12'" in capsys.readouterr().out

    station = Station(parse_config(data), http="", mqtt="")
    msgs: Callable[[], list[Msg]] = lambda: [Msg(t) for t in receiver.messages()]
    try:
        station.start()
        wait_for(lambda: all(pcd01(msgs(), b.split("^")[-1]) for b in beds.values()))
        ward.pump(labels[1]).update(alarm=0x0008)  # infusion nearly complete: a long local code
        wait_for(lambda: any(m.kind == "ORU^R40^ORU_R01" for m in msgs()))
    finally:
        station.stop()
        ward.stop()
        receiver.stop()
    got = msgs()
    assert {m.get("PV1", 3) for m in got} == set(beds.values())
    for m in got:
        strict(m.text)
        assert m.get("MSH", 4) == "PIC Unit, Wing B-3"
        for row in (s for s in m.segs if s[0] == "OBX"):
            row += [""] * (19 - len(row))
            assert len(row[18]) <= 199 and row[18].endswith(("/801/5", "/802/5", "/803/5"))
            for value in (row[3], row[5] if row[2] == "CWE" else ""):
                assert len(value.split("^")[0]) <= 20, value
    alarm = next(m for m in got if m.kind == "ORU^R40^ORU_R01").obx()["196616"][5]
    assert alarm.startswith("AI_NEARLY_COMPLETE^")
    assert {(m.get("MSH", 5), m.get("MSH", 6), m.get("MSH", 11)) for m in got} == {("EHR", "GENERAL HOSP", "P")}

    # Wiring an engine: one test PCD-01 (MSH-11 "T"), its acknowledgement shown, a refusal exits 1.
    engine = Receiver().start()
    try:
        assert main(["hl7-test", "--config", str(conf), "--pump", labels[2], "--hl7", engine.url]) == 0
        sent = Msg(engine.messages()[-1])
    finally:
        engine.stop()
    assert "AA: accepted" in capsys.readouterr().out
    assert (sent.get("MSH", 5), sent.get("MSH", 11), sent.get("PV1", 3)) == ("EHR", "T", "PICU^^12")
    strict(sent.text)
    refusing = Receiver(lambda text: ("AE", "unknown facility")).start()
    try:
        assert main(["hl7-test", "--config", str(conf), "--hl7", refusing.url]) == 1
    finally:
        refusing.stop()
    assert "AE: refused (unknown facility)" in capsys.readouterr().out

    # Two pumps that would be sent as one bed: refused before anything opens, naming the second.
    data["pump"][0]["label"], data["pump"][1]["label"] = ("Surgical recovery, cot number 7 window",
                                                          "Surgical rooms, cot number 7 window")
    del data["pump"][2]["hl7_bed"]
    conf.write_text(toml_of(data))
    assert main(["check", "--config", str(conf)]) == 2
    err = capsys.readouterr().err
    assert ('pump[1].hl7_bed: "Surgical rooms, cot number 7 window" would be sent to HL7 as bed '
            '"SRC number 7 window"') in err
    with pytest.raises(ConfigError, match=r"pump\[1\].hl7_bed"):
        Station(parse_config({**data, "store": {"path": tmp_path / "other.sqlite"}}))
    assert not (tmp_path / "other.sqlite").exists()


def test_a_receiver_away_for_days_keeps_every_alarm_and_the_latest_report(tmp_path: Path) -> None:
    """Past the outbox's bound, each pump's periodic report replaces its unsent older one; first
    reports, alarms and every MQTT event are all kept, said in the status and the metrics, then sent."""
    from tarvelpump.station.outputs.metrics import StationMetrics
    from tarvelpump.station.outputs.mqtt import EventRows

    clock = [0.0]
    store = Store(tmp_path / "s.sqlite", outbox_bound=6)
    store.outbox.register(Composer(station="ward 9", report_every=60.0, clock=lambda: clock[0]))
    store.outbox.register(EventRows("ward 9"))
    hub = Hub()
    hub.commit_through(store.commit, name=store.path)
    hub.add_output("hl7", lambda: {"url": "mllp://engine:2575", "outbox": store.outbox.status("hl7").to_json()})
    beds = [PumpView(id=f"bed-{n}", label=f"bed {n}", link="radio", addr=800 + n, channel=0, presence=ONLINE,
                     running=2, running_name="RUN", last_seen=now()) for n in (1, 2, 3)]
    raised: list[Event] = []
    for n in range(30):  # a round a minute, the receiver away: each pump's periodic report falls due
        clock[0] += 61.0
        events = ()
        if n % 5 == 4:
            raised.append(AlarmRaised(pump="bed 2", link="radio", time=now(), alarm="ALARM_OCCLUSION", text="",
                                      rank=0, word=0x100))
            events = (raised[-1],)
        hub.publish(RoundResult("radio", now(), 0.5, 6, (), events, tuple(beds)))
    status = store.outbox.status("hl7")
    kinds = collections.Counter((row.kind, row.pump, row.supersede is None) for row in store.outbox.peek("hl7", 1000))
    assert kinds == {("PCD-01", f"bed {n}", True): 1 for n in (1, 2, 3)} | {("PCD-01", f"bed {n}", False): 1
                                                                             for n in (1, 2, 3)} | {
        ("PCD-04", "bed 2", True): len(raised)}
    assert status.over_bound and status.rows == 6 + len(raised) and status.superseded == 3 * 29 - 3
    assert [row.key for row in store.outbox.peek("mqtt", 1000)] == [e.id for e in raised]  # every event kept
    registry = StationMetrics(hub).registry
    assert registry.get_sample_value("tarvelpump_outbox_over_bound", {"output": "hl7"}) == 1.0
    assert registry.get_sample_value("tarvelpump_outbox_superseded_total", {"output": "hl7"}) == 84.0
    assert registry.get_sample_value("tarvelpump_outbox_rows", {"output": "mqtt"}) is None  # no publisher said so
    assert registry.get_sample_value("tarvelpump_outbox_oldest_age_seconds", {"output": "hl7"}) >= 0.0

    # the receiver is back: what was kept goes, in the order it was committed
    receiver = Receiver().start()
    publisher = Hl7Publisher(receiver.url, store.outbox, hub)
    publisher.start()
    try:
        wait_for(lambda: store.outbox.status("hl7").rows == 0)
        got = [Msg(t) for t in receiver.messages()]
        assert [m.kind for m in got[:3]] == ["ORU^R01^ORU_R01"] * 3
        assert [m.get("OBR", 3).split("^")[0] for m in got if m.kind == "ORU^R40^ORU_R01"] == [e.id for e in raised]
        assert [m.bed for m in got[-3:]] == ["bed 1", "bed 2", "bed 3"]  # each pump's latest report, last
        assert not store.outbox.status("hl7").over_bound
    finally:
        publisher.stop()
        receiver.stop()
        store.close()
