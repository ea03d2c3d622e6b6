"""What the view takes from the broker: every message checked whole before
anything of it is kept, and every number and name bounded."""

from __future__ import annotations

import collections
import json
import logging
import math
import re
import types
import typing
from collections.abc import Callable, Iterable
from datetime import datetime
from typing import Any

from ..records.kinds import INT_MAX
from ..records.model import Decoded, PumpView, decode_event, pump_id
from ..settings.broker_url import (
    LABEL_MAX,
    VIEW_FORGET_AFTER_S,
    VIEW_MAX_PUMPS,
    VIEW_MAX_PUMPS_PER_WARD,
    VIEW_OFFLINE_AFTER_S,
)

log = logging.getLogger(__name__)

# The bounds' defaults live beside the broker URL, where the command line reads them without paho.
MAX_PUMPS = VIEW_MAX_PUMPS
MAX_PUMPS_PER_WARD = VIEW_MAX_PUMPS_PER_WARD
OFFLINE_AFTER_S = VIEW_OFFLINE_AFTER_S
FORGET_AFTER_S = VIEW_FORGET_AFTER_S
#: wards named in the count of refused pumps; the rest are counted together
REFUSED_WARDS = 1_000
#: kinds named in the count of events the view does not fully know; the rest are counted together
UNKNOWN_KINDS = 100


class Malformed(ValueError):
    """A message from the broker that the view does not accept."""


class UnknownEvents:
    """Events a view shows without all of their meaning: of a kind it does not
    know (a gateway newer than the view), or with fields it does not know.
    Counted by kind (``UNKNOWN_KINDS`` named, the rest together), said once per kind."""

    def __init__(self) -> None:
        self.counts: collections.Counter[str] = collections.Counter()

    def add(self, ward: str, kind: str, why: str) -> None:
        label = kind[:100]
        if label not in self.counts and len(self.counts) >= UNKNOWN_KINDS:
            label = "(other)"
        if not self.counts[label]:
            log.warning("MQTT view: an event of %r is shown without all of its meaning: %s (a gateway newer than "
                        "this view?); more of kind %r are counted, not logged", ward, why, label)
        self.counts[label] += 1


#: retained messages in one burst past which a view asks again ward by ward
#: (Mosquitto queues 1,000 for a client by default, and drops the rest)
REFILL_AFTER = 900
#: states asked for again at once, about (a few wards together)
REFILL_AT_ONCE = 500
#: the largest message a view reads: a state or an event takes a few hundred bytes
MESSAGE_MAX = 64 * 1024
#: the longest event id a view keeps (states are bounded by MESSAGE_MAX: a
#: label beyond what a configuration takes is still shown)
NAME_MAX = 1024
#: the longest ward name (a topic level) a view keeps; a station's URL takes no longer one
WARD_MAX = LABEL_MAX
#: the topic levels after the ward, as a station bounds them: a pump's id (up to
#: four bytes a character of its label) and "state", or "link/<link>/event"
LEVELS_MAX = 4 * LABEL_MAX + len("/link//event")


def _no_constant(name: str) -> float:
    raise Malformed(f"{name} is not a number JSON knows")


def _finite(text: str) -> float:
    # finite, and within INT_MAX: three rounds of 1e308 seconds would be infinite again
    value = float(text)
    if not math.isfinite(value) or abs(value) > INT_MAX:
        raise Malformed(f"{text[:20]} is out of range")
    return value


def _bounded(text: str) -> int:
    # told by its length first: int() of thousands of digits is refused (or slow)
    if len(text.lstrip("-")) > 16 or abs(value := int(text)) > INT_MAX:
        raise Malformed(f"the number {text[:20]}{'...' if len(text) > 20 else ''} is out of range")
    return value


def _size(payload: bytes) -> None:
    if len(payload) > MESSAGE_MAX:
        raise Malformed(f"{len(payload):,} bytes: no state or event of a station takes more than {MESSAGE_MAX:,}")


def event_message(payload: bytes, topic: list[str]) -> Decoded:
    """An event from the broker, read and checked by its kind's own declaration
    (``decode_event``), on the topic levels after the ward: one of a kind the
    view does not know is kept, and only what is no event at all (or one on
    another's topic) raises ``Malformed``. One of a known kind whose fields do
    not fit is an ``UnknownEvent`` too: shown, but not remembered as seen, so
    it never makes a copy that fits, with its id, a duplicate."""
    _size(payload)
    try:
        decoded = decode_event(payload)
    except ValueError as exc:  # msgspec's errors are ValueErrors too
        raise Malformed(f"not an event: {exc}") from None
    event = decoded.event
    if not 0 < len(event.id) <= NAME_MAX:
        raise Malformed("the id is empty" if not event.id else f"the id has more than {NAME_MAX} characters")
    if not 1970 <= event.time.year <= 9000:  # one any local time zone can still show
        raise Malformed(f"its time {event.time.isoformat()} is out of range")
    # <pump-id>/event carries that pump's events; link/<link-id>/event its link's
    name = event.link if event.pump is None else event.pump
    if topic[-2] not in (pump_id(name), ascii_id(name)) or topic[:-2] != ([] if event.pump is not None else ["link"]):
        raise Malformed(f"an event of {name!r} on another's topic")
    return decoded


def json_object(payload: bytes) -> dict[str, Any]:
    _size(payload)
    body = json.loads(payload, parse_constant=_no_constant, parse_float=_finite, parse_int=_bounded)
    if not isinstance(body, dict):
        raise Malformed(f"a JSON object was expected, not {type(body).__name__}")
    return body


_Check = Callable[[object], bool]


def _aware_time(value: object) -> bool:
    """An ISO 8601 time with its offset (one without could not be ordered among
    the others), in a year any local time zone can still show (not year 1 or 9999)."""
    if not isinstance(value, str):
        return False
    try:
        t = datetime.fromisoformat(value)
    except ValueError:
        return False
    return t.tzinfo is not None and 1970 <= t.year <= 9000


def _checker(hint: Any) -> _Check:
    """A test of a JSON value against an annotation (the forms the station's data
    uses; a ``datetime`` travels as ISO text with its offset). Built once per
    field, so checking a message looks nothing up."""
    origin = typing.get_origin(hint)
    if origin in (types.UnionType, typing.Union):
        options = [h for h in typing.get_args(hint) if h is not type(None)]
        nullable = len(options) < len(typing.get_args(hint))
        if len(options) == 1 and nullable:  # the common "X | None"
            inner = _checker(options[0])
            return lambda v: v is None or inner(v)
        either = [_checker(h) for h in typing.get_args(hint)]
        return lambda v: any(check(v) for check in either)
    if origin is list:
        item = _checker(typing.get_args(hint)[0])
        return lambda v: type(v) is list and all(item(x) for x in v)
    if origin is dict:
        key, item = (_checker(h) for h in typing.get_args(hint))
        return lambda v: type(v) is dict and all(key(k) and item(x) for k, x in v.items())
    if hint is Any:
        return lambda v: True
    if hint is type(None):
        return lambda v: v is None
    if hint is datetime:
        return _aware_time
    if hint is float:
        return lambda v: type(v) is float or type(v) is int
    if hint in (int, str, bool):  # JSON gives these exact types (and a bool is no number here)
        return lambda v: type(v) is hint
    return lambda v: isinstance(v, hint)


def _checkers(fields: dict[str, Any]) -> dict[str, _Check]:
    return {name: _checker(hint) for name, hint in fields.items()}


def _count(v: object) -> bool:
    return type(v) is int and v >= 0


def _counts(v: object) -> bool:
    return type(v) is dict and all(type(k) is str and _count(n) for k, n in v.items())


#: every field of a state, as PumpView declares it (plus the flag of older gateways);
#: counts and times left are never below zero
STATE_FIELDS = {**_checkers({**typing.get_type_hints(PumpView), "online": bool}),
          "answered": _count, "silent": _count, "malformed": _counts,
          "remaining_s": lambda v: v is None or _count(v)}
STATE_REQUIRED = ("id", "label", "link", "addr", "channel")
def check_fields(body: dict[str, Any], checks: dict[str, _Check], required: Iterable[str]) -> None:
    for name in required:
        if name not in body:
            raise Malformed(f"{name} is missing")
    for name, check in checks.items():
        if name in body and not check(body[name]):
            raise Malformed(f"{name} has the wrong type")


def same_view(old: PumpView | None, new: PumpView) -> bool:
    """Whether ``new`` only restates ``old``: nothing but its ``VOLATILE`` fields
    differ (see ``MqttSource._refresh``)."""
    return old is not None and old.shown() == new.shown()


def ascii_id(label: str) -> str:
    """A pump's id as gateways made it before ids kept every script (ASCII
    letters and digits only): their events are still taken."""
    return re.sub(r"[^0-9A-Za-z_.-]+", "-", label.strip()).strip("-").lower() or "pump"


def view_id(ward: str, name: str) -> str:
    """A pump's (or link's) id in a view: ``<ward>.<id>``, one to one.

    A ward may hold "." itself (``n.annex`` + ``bed-1`` against ``n`` +
    ``annex.bed-1``), so the ward's "~" is written "~~" and its "." "~-": the
    first "." is then always the separator, and no two pairs make one id.
    Wards without either (every usual name) keep their ids as they were; the
    id needs no escape in a URL that could change it ("~" is a plain URL
    character).
    """
    return f"{ward.replace('~', '~~').replace('.', '~-')}.{name}"


def packet_max(base: str) -> int:
    """The largest MQTT packet a view over ``base`` reads: a message, its topic
    (up to four bytes a character) and the packet's own headers. The view asks
    its broker not to send larger ones (MQTT 5's Maximum Packet Size)."""
    return MESSAGE_MAX + len(base.encode()) + 4 * (1 + WARD_MAX + LEVELS_MAX) + 256
