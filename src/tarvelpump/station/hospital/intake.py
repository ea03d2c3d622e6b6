"""A view's first look at each message, on paho's thread: its sizes, before
anything of it is kept; and how the messages it drops are said."""

from __future__ import annotations

import logging
import time

from .messages import MESSAGE_MAX, WARD_MAX, Malformed

__all__ = ["Drops", "arrival"]

log = logging.getLogger("tarvelpump.station.hospital.mqtt_source")


def arrival(topic: str, payload: bytes | bytearray, topic_max: int) -> bytes | Malformed:
    """A copy of ``payload``, or why the message is refused unread: larger than
    any a station sends (should the broker not have dropped it), a ward name
    or a topic longer than a station's can be."""
    levels = topic.split("/", 3)
    ward = levels[2] if len(levels) > 2 else ""
    if len(payload) > MESSAGE_MAX:
        return Malformed(f"{len(payload):,} bytes: no state or event of a station takes more than {MESSAGE_MAX:,}")
    if len(ward) > WARD_MAX:
        return Malformed(f"a ward name of {len(ward):,} characters (at most {WARD_MAX})")
    if len(topic) > topic_max:
        return Malformed(f"a topic of {len(topic):,} characters (at most {topic_max:,})")
    return bytes(payload)


class Drops:
    """Malformed messages: the first one of a while is logged with its reason,
    the rest only counted and summed up once that while is over."""

    def __init__(self, quiet: float = 60.0) -> None:
        self.total = 0
        self._quiet = quiet
        self._until = 0.0
        self._held = 0
        self._last = ""

    def drop(self, topic: str, why: object) -> None:
        self.total += 1
        self._last = f"{topic}: {why}"
        if time.monotonic() < self._until:
            self._held += 1
            return
        self.flush()
        log.warning("MQTT view: dropped a malformed message on %s: %s (the rest of its batch is shown; "
                    "more within %.0f s are counted, not logged)", topic, why, self._quiet)
        self._until = time.monotonic() + self._quiet

    def flush(self) -> None:
        if self._held and time.monotonic() >= self._until:
            log.warning("MQTT view: dropped %d more malformed messages (the last on %s)", self._held, self._last)
            self._held = 0
