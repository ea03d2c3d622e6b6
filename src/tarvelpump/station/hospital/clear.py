"""``station view --clear-retained WARD``: what the broker retains under a ward, cleared.

Retained states outlive whoever published them: junk from a forger, or
pumps of a ward that is no more, come back to every view that subscribes,
and a full view turns real pumps away for them. An empty retained message
clears a topic; a running view forgets a pump whose state is cleared at
once, and a live gateway publishes its states again within 15 s.
"""

from __future__ import annotations

import logging
import threading
from typing import TYPE_CHECKING, Any

import paho.mqtt.client as mqtt

from ..outputs.mqtt_client import Outage, failed, let_go, make_client
from ..settings.broker_url import ROOT, parse_url

if TYPE_CHECKING:
    from paho.mqtt.client import ConnectFlags, MQTTMessage
    from paho.mqtt.properties import Properties
    from paho.mqtt.reasoncodes import ReasonCode

__all__ = ["clear_retained"]

log = logging.getLogger(__name__)

#: times a ward is asked again: a broker sends a large burst of retained messages in parts
_PASSES = 100


class _Asker:
    """Asks the broker for what it retains under a filter: subscribed at QoS 0 and
    unsubscribed at once, so every retained message has come when the
    acknowledgement of the unsubscribe does."""

    def __init__(self, client: mqtt.Client) -> None:
        self._client = client
        self._cond = threading.Condition()
        self._topics: set[str] = set()
        self._filter = ""
        self._step: tuple[str, int | None] = ("", None)  # ("subscribe"/"unsubscribe", mid)
        self.connected: str | None = None  # "" once connected, else why not
        client.on_connect = self._on_connect
        client.on_message = self._on_message
        client.on_subscribe = self._on_subscribe
        client.on_unsubscribe = self._on_unsubscribe

    def _on_connect(self, client: mqtt.Client, userdata: Any, flags: ConnectFlags, reason: ReasonCode,
                    properties: Properties | None) -> None:
        with self._cond:
            self.connected = f"refused: {reason}" if failed(reason) else ""
            self._cond.notify_all()

    def _on_message(self, client: mqtt.Client, userdata: Any, message: MQTTMessage) -> None:
        if message.retain and message.payload:
            with self._cond:
                self._topics.add(message.topic)

    def _on_subscribe(self, client: mqtt.Client, userdata: Any, mid: int, reasons: list[ReasonCode],
                      properties: Properties | None) -> None:
        with self._cond:
            if self._step == ("subscribe", mid):
                rc, umid = client.unsubscribe(self._filter)
                self._step = ("unsubscribe", umid if rc == mqtt.MQTT_ERR_SUCCESS else None)
                self._cond.notify_all()

    def _on_unsubscribe(self, client: mqtt.Client, userdata: Any, mid: int, reasons: list[ReasonCode],
                        properties: Properties | None) -> None:
        with self._cond:
            if self._step == ("unsubscribe", mid):
                self._step = ("done", mid)
                self._cond.notify_all()

    def wait_connected(self, timeout: float) -> None:
        with self._cond:
            self._cond.wait_for(lambda: self.connected is not None, timeout)
        if self.connected is None:
            raise OSError("the broker did not answer")
        if self.connected:
            raise OSError(f"the broker {self.connected}")

    def retained(self, topic_filter: str, timeout: float) -> set[str]:
        """The topics under ``topic_filter`` that hold a retained message now."""
        with self._cond:
            self._topics, self._filter = set(), topic_filter
            rc, mid = self._client.subscribe(topic_filter, qos=0)
            if rc != mqtt.MQTT_ERR_SUCCESS:
                raise OSError(f"could not subscribe to {topic_filter}: {mqtt.error_string(rc)}")
            self._step = ("subscribe", mid)
            if not self._cond.wait_for(lambda: self._step[0] == "done", timeout):
                raise OSError(f"the broker did not answer for {topic_filter} within {timeout:g} s")
            return set(self._topics)


def clear_retained(url: str, wards: list[str], *, timeout: float = 10.0) -> dict[str, int]:
    """Clear every retained message under each of ``wards`` of the URL's site
    ("+" for every ward); returns how many topics were cleared, by ward."""
    broker = parse_url(url, ward=False)
    for ward in wards:
        if not ward or "/" in ward or "#" in ward or ("+" in ward and ward != "+"):
            raise ValueError(f"--clear-retained {ward!r}: name one ward (a topic level), or + for every ward")
    client = make_client(broker, "clear", Outage(broker, "MQTT clear"))
    asker = _Asker(client)
    client.connect_async(broker.host, broker.port, keepalive=30)
    client.loop_start()
    cleared: dict[str, int] = {}
    try:
        asker.wait_connected(timeout)
        for ward in wards:
            base = f"{ROOT}/{broker.site}/{ward}/#"
            done: set[str] = set()
            for _ in range(_PASSES):  # until the broker retains nothing more there
                # (a topic cleared before and retained again is a live gateway's: left to it)
                topics = asker.retained(base, timeout) - done
                if not topics:
                    break
                sent = [client.publish(topic, b"", qos=1, retain=True) for topic in sorted(topics)]
                for info in sent:
                    info.wait_for_publish(timeout)
                    if not info.is_published():
                        raise OSError(f"the broker did not take the clearing of {base} within {timeout:g} s")
                done |= topics
                log.info("MQTT clear: cleared %d retained messages under %s", len(topics), base)
            cleared[ward] = len(done)
    finally:
        client.disconnect()
        client.loop_stop()
        let_go(client)
    return cleared
