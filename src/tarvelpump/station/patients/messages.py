"""ADT and IHE PCIM (DEV-52) messages as the station takes them, and the acknowledgements it answers.

``read(text)`` gives an ``Adt`` or an ``Association``, or raises ``Unusable``
saying what is wrong (and whether the answer is ``AE`` or ``AR``), with the
field it is about for the ``ERR`` segment. python-hl7 splits the message;
every value is unescaped here and kept as plain text, component by component,
so it can be written again, escaped, in the station's own messages.

What is kept of a patient is what PCD-01 and PCD-04 carry: PID-3 (each
identifier's number, check digit and scheme, assigning authority and type),
PID-5 (the first name, seven components) and, from ADT, PV1-19 (the visit
number). A value the station could not send in strict v2.6 (an IS component
over 20 characters, a text over 199) refuses the message rather than being
cut: a shortened identifier could name another patient.
"""

from __future__ import annotations

import dataclasses
import re
import uuid
from collections.abc import Iterator, Sequence
from datetime import datetime, timedelta, timezone
from typing import Any

import hl7

from ..outputs.hl7_fields import CODE_MAX, TEXT_MAX, escape

__all__ = ["ADT_EVENTS", "ASSOCIATED", "DISASSOCIATED", "Adt", "Association", "Header", "Patient", "Unusable",
           "Value", "ack", "loose_header", "parse_dtm", "read"]

#: The codes of a PCIM association report (coding system MDC), from the PCIM supplement.
OBS_ASSOCIATION = "69136"  #: OBR-4 MDC_OBS_ASSOCIATION_PATIENT_DEVICE
ATTR_EVT_COND = "68487"  #: OBX-3 MDC_ATTR_EVT_COND
ASSOCIATED = "198332"  #: OBX-5 MDC_EVT_ASSOCIATION_PATIENT_DEVICE
DISASSOCIATED = "198334"  #: OBX-5 MDC_EVT_DISASSOCIATION_PATIENT_DEVICE
#: OBX-11: R asserted, not validated; F validated; C corrected; W wrong; D deleted (withdrawn by CP-DEV-018)
STATUSES = ("R", "F", "C", "W", "D")
#: The ADT events acted on; any other ADT event is taken (AA) and changes nothing.
ADT_EVENTS = ("A01", "A02", "A03", "A04", "A08", "A11", "A12", "A13", "A17")
#: Events that need PV1-3 to mean anything.
_NEED_LOCATION = ("A01", "A02", "A04", "A17")
UNSUPPORTED = "200"  #: ERR-3 (HL7 table 0357): the message type or event is not supported
LOCAL = "99TVP"

#: A field repetition as plain text: its components, each its subcomponents.
Value = tuple[tuple[str, ...], ...]

_DTM = re.compile(r"(\d{4})(\d{2})?(\d{2})?(\d{2})?(\d{2})?(\d{2})?(?:\.(\d{1,4}))?([+-]\d{4})?")


class Unusable(Exception):
    """A message the station cannot use: ``ack`` is AE (its content) or AR
    (not a message of a kind taken here); ``where`` the field (``PID^1^3``)."""

    def __init__(self, ack: str, text: str, where: str = "", code: str = "") -> None:
        super().__init__(text)
        self.ack = ack
        self.text = text
        self.where = where
        self.code = code


@dataclasses.dataclass(frozen=True)
class Header:
    """What the acknowledgement needs of the message, and who sent it."""

    control_id: str  #: MSH-10
    trigger: str  #: MSH-9.2
    version: str  #: MSH-12
    sender: str  #: MSH-3 and MSH-4 as text, "ADT1/HOSP"
    to: tuple[str, str] = ("", "")  #: MSH-5 and MSH-6 as received (ER7), the ACK's own MSH-3 and MSH-4
    back: tuple[str, str] = ("", "")  #: MSH-3 and MSH-4 as received (ER7), the ACK's MSH-5 and MSH-6
    sent: datetime | None = None  #: MSH-7


@dataclasses.dataclass(frozen=True)
class Patient:
    """A patient as a message names them: identifiers, name and visit, plain text."""

    ids: tuple[Value, ...]  #: PID-3, each CX.1-CX.5
    name: Value = ()  #: PID-5, XPN.1-XPN.7
    visit: Value = ()  #: PV1-19, CX.1-CX.5

    def keys(self) -> frozenset[tuple[str, str]]:
        """(number, assigning authority) of each identifier."""
        return frozenset((cx[0][0], _authority(cx)) for cx in self.ids)

    def same(self, other: Patient) -> bool:
        """Whether two messages name one person: an identifier in common, whatever the
        type codes say; a number without its authority is taken as the same number with
        one (so a discharge or a wrong report never misses its patient for want of it)."""
        theirs = other.keys()
        return any(n == m and (a == b or not a or not b) for n, a in self.keys() for m, b in theirs)

    def er7(self) -> tuple[str, str, str]:
        """(PID-3, PID-5, PV1-19) as sent."""
        return ("~".join(_er7(cx) for cx in self.ids), _er7(self.name), _er7(self.visit))

    def words(self) -> dict[str, Any]:
        """As a person reads it: identifiers, name and visit."""
        ids = []
        for cx in self.ids:
            extra = [x for x in (_authority(cx), _part(cx, 4)) if x]
            ids.append(cx[0][0] + (f" ({', '.join(extra)})" if extra else ""))
        family, given = _part(self.name, 0), " ".join(x for x in (_part(self.name, 1), _part(self.name, 2)) if x)
        return {"ids": ids, "name": ", ".join(x for x in (family, given) if x), "visit": _part(self.visit, 0)}

    def to_json(self) -> dict[str, Any]:
        return {"ids": [list(map(list, cx)) for cx in self.ids], "name": list(map(list, self.name)),
                "visit": list(map(list, self.visit))}

    @classmethod
    def from_json(cls, d: dict[str, Any]) -> Patient:
        def value(v: Any) -> Value:
            return tuple(tuple(str(s) for s in comp) for comp in v)

        return cls(tuple(value(cx) for cx in d["ids"]), value(d.get("name", ())), value(d.get("visit", ())))


def _part(value: Value, i: int) -> str:
    return value[i][0] if i < len(value) and value[i] else ""


def _authority(cx: Value) -> str:
    hd = cx[3] if len(cx) > 3 else ()
    return next((x for x in hd[:2] if x), "")


def _er7(value: Value) -> str:
    text = "^".join("&".join(escape(s) for s in comp) for comp in value)
    return text.rstrip("^")


@dataclasses.dataclass(frozen=True)
class Adt:
    """An ADT event: who (and, for A17, both) lies where."""

    header: Header
    event: str  #: A01, A02...
    #: (patient, PV1-3, PV1-6) per PID/PV1 pair; a location is its PL components, () when empty
    moves: tuple[tuple[Patient, tuple[str, ...], tuple[str, ...]], ...]
    occurred: datetime | None  #: EVN-6, else EVN-2, else MSH-7


@dataclasses.dataclass(frozen=True)
class Association:
    """A PCIM association report (DEV-52, or DEV-51 sent straight to the station)."""

    header: Header
    association: str  #: the association's id: OBR-29.2 in an update, else OBR-3
    associated: bool  #: OBX-5: associated, else disassociated
    status: str  #: OBX-11
    patient: Patient | None  #: PID-3 (may be absent from a wrong or disassociation report)
    devices: tuple[Value, ...]  #: PRT-10 of the EQUIP participant, every repetition
    start: datetime | None  #: its PRT-11
    end: datetime | None  #: its PRT-12
    asserted_by: str  #: PRT-5 of the AUT participant (else the sender)
    location: tuple[str, ...]  #: PV1-3

    @property
    def validated(self) -> bool:
        return self.status in ("F", "C")

    @property
    def wrong(self) -> bool:
        return self.status in ("W", "D")


# -- reading ---------------------------------------------------------------------

class _Message:
    """A parsed message's segments and plain values."""

    def __init__(self, text: str) -> None:
        text = text.replace("\r\n", "\r").replace("\n", "\r").strip("\r\x00 ")
        if not text.startswith("MSH") or len(text) < 8:
            raise Unusable("AR", "not an HL7 message (no MSH segment first)", "MSH^1")
        self.field_sep = text[3]
        self.enc = text[4:8]
        if len(set(self.field_sep + self.enc)) != 5 or any(c.isalnum() for c in self.field_sep + self.enc):
            raise Unusable("AR", "MSH-1 and MSH-2 do not give five distinct delimiters", "MSH^1^2")
        try:
            self.msg = hl7.parse(text)
        except Exception as exc:  # python-hl7 raises what it meets
            raise Unusable("AR", f"cannot be read as HL7 ({exc})") from None
        self.segments: list[tuple[str, Any]] = [(str(seg[0]), seg) for seg in self.msg]

    def all(self, name: str) -> Iterator[Any]:
        return (seg for n, seg in self.segments if n == name)

    def first(self, name: str) -> Any:
        return next(self.all(name), None)

    def raw(self, seg: Any, n: int) -> str:
        """Field n (MSH counted as HL7 counts it) as received, ER7."""
        if seg is None:
            return ""
        try:
            return str(seg(n))
        except (IndexError, KeyError):
            return ""

    def values(self, seg: Any, n: int) -> list[Value]:
        """Field n's repetitions, unescaped, components and subcomponents split."""
        raw = self.raw(seg, n)
        if not raw:
            return []
        rep, comp, esc, sub = self.enc[1], self.enc[0], self.enc[2], self.enc[3]
        out = []
        for r in _split(raw, rep, esc):
            out.append(tuple(tuple(self._text(s) for s in _split(c, sub, esc)) for c in _split(r, comp, esc)))
        return out

    def value(self, seg: Any, n: int) -> Value:
        found = self.values(seg, n)
        return found[0] if found else ()

    def text(self, seg: Any, n: int, component: int = 1) -> str:
        v = self.value(seg, n)
        return v[component - 1][0] if len(v) >= component else ""

    def _text(self, s: str) -> str:
        return str(self.msg.unescape(s)) if self.enc[2] in s else s


def _split(text: str, sep: str, esc: str) -> list[str]:
    """``text`` split at ``sep`` (escape sequences never hold a delimiter, so a plain split is exact)."""
    return text.split(sep)


def parse_dtm(text: str, where: str = "") -> datetime | None:
    """An HL7 DTM ("20160726120000", "20160726120000.5+0100"); without an offset, the station's local time."""
    if not text:
        return None
    m = _DTM.fullmatch(text.strip())
    if m is None:
        raise Unusable("AE", f"{where or 'a time'} is not an HL7 time: {text[:40]!r}", where)
    y, mo, d, h, mi, s, frac, off = m.groups()
    try:
        t = datetime(int(y), int(mo or 1), int(d or 1), int(h or 0), int(mi or 0), int(s or 0),
                     int((frac or "0").ljust(6, "0")[:6]))
    except ValueError:
        raise Unusable("AE", f"{where or 'a time'} is not a date: {text[:40]!r}", where) from None
    if off is None:
        return t.astimezone()
    sign = 1 if off[0] == "+" else -1
    return t.replace(tzinfo=timezone(sign * timedelta(hours=int(off[1:3]), minutes=int(off[3:5]))))


def _checked(value: Value, seg: str, field: int, limits: dict[int, int], keep: int) -> Value:
    """The first ``keep`` components, each within what v2.6 allows (``limits``:
    component -> IS length; the rest, and every subcomponent after the first, are texts)."""
    value = value[:keep]
    for i, comp in enumerate(value):
        for j, sub in enumerate(comp):
            limit = limits.get(i + 1, TEXT_MAX) if j == 0 else TEXT_MAX
            if len(sub) > limit:
                raise Unusable("AE", f"{seg}-{field}.{i + 1} is longer than HL7 v2.6 allows ({len(sub)} characters, "
                                     f"at most {limit}): it would be cut, and could then name another patient",
                               f"{seg}^1^{field}^1^{i + 1}", "TOO_LONG")
    return value


# CX.4 (assigning authority) and XPN.6 (degree) are IS: 20 characters.
_CX = {4: CODE_MAX}
_XPN = {6: CODE_MAX}


def _patient(m: _Message, pid: Any, pv1: Any, *, required: bool, seq: int = 1) -> Patient | None:
    ids = []
    for cx in m.values(pid, 3):
        if cx and cx[0] and cx[0][0].strip():
            ids.append(_checked(cx, "PID", 3, _CX, 5))
    if not ids:
        if required:
            raise Unusable("AE", "PID-3 (the patient's identifiers) is required", f"PID^{seq}^3", "REQUIRED")
        return None
    name = _checked(m.value(pid, 5), "PID", 5, _XPN, 7)
    visit = _checked(m.value(pv1, 19), "PV1", 19, _CX, 5) if pv1 is not None else ()
    return Patient(tuple(ids), name, visit if visit and visit[0] and visit[0][0] else ())


def _location(m: _Message, pv1: Any, n: int) -> tuple[str, ...]:
    pl = m.value(pv1, n)
    parts = tuple(comp[0] if comp else "" for comp in pl[:8])
    while parts and not parts[-1]:
        parts = parts[:-1]
    return parts


def _header(m: _Message) -> Header:
    msh = m.first("MSH")
    sender = "/".join(x for x in (m.text(msh, 3), m.text(msh, 4)) if x)
    try:
        sent = parse_dtm(m.raw(msh, 7).split(m.enc[0])[0], "MSH-7")
    except Unusable:
        sent = None
    return Header(m.raw(msh, 10), m.text(msh, 9, 2), m.raw(msh, 12) or "2.6", sender,
                  (m.raw(msh, 5), m.raw(msh, 6)), (m.raw(msh, 3), m.raw(msh, 4)), sent)


def read(text: str) -> Adt | Association:
    """What a message says, or ``Unusable``."""
    m = _Message(text)
    head = _header(m)
    msh = m.first("MSH")
    kind = m.text(msh, 9, 1)
    if not head.control_id:
        raise Unusable("AE", "MSH-10 (the message control id) is required", "MSH^1^10", "REQUIRED")
    if kind == "ADT":
        return _adt(m, head)
    if kind == "ORU":
        return _association(m, head)
    raise Unusable("AR", f"message type {kind or '(none)'} is not taken here: ADT and IHE PCIM association "
                         "reports (ORU^R01) only", "MSH^1^9", UNSUPPORTED)


def _adt(m: _Message, head: Header) -> Adt:
    event = head.trigger or m.text(m.first("EVN"), 1)
    evn = m.first("EVN")
    occurred = None
    if evn is not None:
        occurred = parse_dtm(m.text(evn, 6), "EVN-6") or parse_dtm(m.text(evn, 2), "EVN-2")
    occurred = occurred or head.sent
    if event not in ADT_EVENTS:
        if not event:
            raise Unusable("AE", "MSH-9.2 (the ADT event) is required", "MSH^1^9", "REQUIRED")
        if not re.fullmatch(r"A(0[1-9]|[1-5]\d|6[0-2])", event):  # not an ADT event of v2.6 (A01-A62)
            raise Unusable("AR", f"ADT^{event[:10]} is not an ADT event", "MSH^1^9", "UNSUPPORTED_EVENT")
        return Adt(head, event, (), occurred)  # another ADT event: taken, nothing changes
    moves: list[tuple[Patient | None, tuple[str, ...], tuple[str, ...]]] = []
    pid: Any = None
    seq = 0
    for name, seg in m.segments:
        if name == "PID":
            if pid is not None:  # a PID without its PV1
                moves.append((_patient(m, pid, None, required=True, seq=seq), (), ()))
            pid, seq = seg, seq + 1
        elif name == "PV1" and pid is not None:
            moves.append((_patient(m, pid, seg, required=True, seq=seq), _location(m, seg, 3), _location(m, seg, 6)))
            pid = None
    if pid is not None:
        moves.append((_patient(m, pid, None, required=True, seq=seq), (), ()))
    if not moves:
        raise Unusable("AE", f"ADT^{event} without a PID segment", "PID", "REQUIRED")
    if event == "A17" and len(moves) != 2:
        raise Unusable("AE", "A17 (swap) needs two PID and PV1 pairs", "PID^2", "REQUIRED")
    if event in _NEED_LOCATION:
        for i, (_, where, _) in enumerate(moves):
            if not where:
                raise Unusable("AE", f"ADT^{event} needs PV1-3 (the patient's location)", f"PV1^{i + 1}^3",
                               "REQUIRED")
    return Adt(head, event, tuple((p, loc, prior) for p, loc, prior in moves if p is not None), occurred)


def _ei(value: Sequence[Sequence[str]]) -> str:
    """An EI (entity id, namespace, universal id, type) as one key."""
    parts = [comp[0] if comp else "" for comp in value[:4]]
    return "^".join(parts).rstrip("^")


def _association(m: _Message, head: Header) -> Association:
    obr = next((s for s in m.all("OBR") if m.text(s, 4) == OBS_ASSOCIATION), None)
    if obr is None:
        raise Unusable("AR", "an ORU^R01 taken here is a PCIM association report: OBR-4 "
                             f"{OBS_ASSOCIATION}^MDC_OBS_ASSOCIATION_PATIENT_DEVICE^MDC", "OBR^1^4", UNSUPPORTED)
    own = _ei(m.value(obr, 3))
    if not own:
        raise Unusable("AE", "OBR-3 (the association's id) is required", "OBR^1^3", "REQUIRED")
    chained = m.value(obr, 29)
    # OBR-29.2: the original association's OBR-3, its components written as subcomponents
    original = _ei([(s,) for s in chained[1]]) if len(chained) > 1 and chained[1] and chained[1][0] else ""
    obx = next((s for s in m.all("OBX") if m.text(s, 3) == ATTR_EVT_COND), None)
    if obx is None:
        raise Unusable("AE", f"no OBX with OBX-3 {ATTR_EVT_COND}^MDC_ATTR_EVT_COND^MDC", "OBX^1^3", "REQUIRED")
    code = m.text(obx, 5)
    if code not in (ASSOCIATED, DISASSOCIATED):
        raise Unusable("AE", f"OBX-5 is neither {ASSOCIATED} (associated) nor {DISASSOCIATED} (disassociated): "
                             f"{code[:40]!r}", "OBX^1^5", "INVALID")
    status = m.raw(obx, 11)
    if status not in STATUSES:
        raise Unusable("AE", f"OBX-11 must be R, F, C or W, got {status[:10]!r}", "OBX^1^11", "INVALID")
    equip = aut = None
    for prt in m.all("PRT"):
        role = m.text(prt, 4)
        if role == "EQUIP" and equip is None:
            equip = prt
        elif role == "AUT" and aut is None:
            aut = prt
    if equip is None:
        raise Unusable("AE", "no PRT with PRT-4 EQUIP (the device)", "PRT^1^4", "REQUIRED")
    devices = tuple(v for v in m.values(equip, 10) if v and v[0] and v[0][0])
    if not devices:
        raise Unusable("AE", "PRT-10 of the EQUIP participant (the device's id) is required", "PRT^1^10",
                       "REQUIRED")
    associated = code == ASSOCIATED
    pid = m.first("PID")
    patient = _patient(m, pid, m.first("PV1"), required=associated and status not in ("W", "D"))
    person = " ".join(x for x in (comp[0] if comp else "" for comp in m.value(aut, 5)[:3]) if x)
    return Association(
        head, original or own, associated, status, patient, devices,
        parse_dtm(m.text(equip, 11), "PRT-11"), parse_dtm(m.text(equip, 12), "PRT-12"),
        person or head.sender, _location(m, m.first("PV1"), 3))


# -- answering -------------------------------------------------------------------

def ack(text: str, head: Header | None, code: str, error: Unusable | None = None, *,
        application: str = "TARVELPUMP") -> str:
    """The acknowledgement of a message (``head``: what was read of it; None
    when not even its MSH could be), original mode: MSA-1 ``code``, MSA-2 its
    control id; for AE and AR an ERR saying what is wrong."""
    if head is None:
        head = loose_header(text)
    stamp = datetime.now(timezone.utc).strftime("%Y%m%d%H%M%S") + "+0000"
    msh = "|".join(("MSH", "^~\\&", head.to[0] or application, head.to[1], head.back[0], head.back[1], stamp, "",
                    f"ACK^{head.trigger}^ACK" if head.trigger else "ACK", uuid.uuid4().hex[:20], "P",
                    head.version or "2.6"))
    lines = [msh, f"MSA|{code}|{head.control_id}"]
    if error is not None:
        if error.code == UNSUPPORTED:
            kind = f"{UNSUPPORTED}^^HL70357"
        else:
            kind = f"{escape(error.code or 'INVALID')}^{escape(error.text[:TEXT_MAX])}^{LOCAL}"
        lines.append("|".join(("ERR", "", error.where, kind, "E", "", "", "", escape(error.text))))
    return "\r".join(lines) + "\r"


def loose_header(text: str) -> Header:
    """What can be said of a message that could not be read: its control id, if any."""
    first = text.replace("\n", "\r").split("\r", 1)[0]
    if first.startswith("MSH") and len(first) > 4:
        f = first.split(first[3])
        field = ["MSH", first[3], *f[1:]]

        def get(n: int) -> str:
            return field[n] if n < len(field) and len(field[n]) <= 199 and "\x00" not in field[n] else ""

        trigger = get(9).split("^")[1] if "^" in get(9) else ""
        return Header(get(10), trigger if trigger.isalnum() else "", get(12) if get(12)[:1] == "2" else "2.6",
                      "", (get(5), get(6)), (get(3), get(4)))
    return Header("", "", "2.6", "")
