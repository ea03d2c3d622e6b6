"""What the station's MQTT publisher and the view's source share: the paho client, set up alike."""

from __future__ import annotations

import logging
from typing import Any

import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion
from paho.mqtt.reasoncodes import ReasonCode

from ..settings.broker_url import BrokerUrl

__all__ = ["Outage", "failed", "let_go", "make_client"]

log = logging.getLogger("tarvelpump.station.outputs.mqtt")


class Outage:
    """Notes a failing connection once per outage, not on each of paho's silent retries."""

    def __init__(self, broker: BrokerUrl, who: str) -> None:
        self.broker, self.who, self.noted = broker, who, False

    def failed(self, client: mqtt.Client, userdata: Any, why: object = "unreachable") -> None:
        if not self.noted:
            self.noted = True
            log.warning("%s: cannot connect to %s (%s); will keep trying", self.who, self.broker, why)

    def ok(self) -> None:
        self.noted = False


def let_go(client: mqtt.Client) -> None:
    """Release what a stopped client still holds.

    paho closes its network socket and wake-up socket pair only when the
    client is freed, and the client sits in reference cycles (our bound
    callbacks among them) that wait for a garbage collection: a station that
    stops its outputs would keep those descriptors open until then. The
    callbacks go, and the sockets are closed now; ``loop_start`` makes a new
    pair should the client be started again.
    """
    client.on_connect = None
    client.on_disconnect = None
    client.on_publish = None
    client.on_message = None
    client.on_connect_fail = None
    reset = getattr(client, "_reset_sockets", None)  # paho has no public close
    if callable(reset):
        reset()


def make_client(broker: BrokerUrl, name: str, outage: Outage, *, clean: bool = True,
                client_id: str = "", reconnect_max: int = 10, v5: bool = False) -> mqtt.Client:
    """``v5``: MQTT 5, whose session is chosen on connect (``clean_start``) rather than by ``clean``."""
    if v5:
        client = mqtt.Client(CallbackAPIVersion.VERSION2, client_id=client_id, protocol=mqtt.MQTTv5)
    else:
        client = mqtt.Client(CallbackAPIVersion.VERSION2, client_id=client_id, clean_session=clean)
    # paho's own messages (packet flags, never the password) only at debug level:
    # it reports a normal stop during a retry as an error
    paho_log = logging.getLogger(f"tarvelpump.station.outputs.mqtt.{name}")
    client.on_log = lambda client, userdata, level, text: paho_log.debug("%s", text)
    if broker.username is not None:
        client.username_pw_set(broker.username, broker.password)
    if broker.tls:
        client.tls_set(ca_certs=broker.ca_file)
    client.reconnect_delay_set(1, reconnect_max)
    client.on_connect_fail = outage.failed
    return client


def failed(reason: ReasonCode | int) -> bool:
    return reason.is_failure if isinstance(reason, ReasonCode) else reason != 0
