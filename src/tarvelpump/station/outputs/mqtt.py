"""MQTT out of the station, and back into a view that watches several gateways.

``EventRows`` is the MQTT output of the store's outbox: every event of a
committed round, encoded once, as it will be sent. ``MqttPublisher`` sends
those rows (QoS 1), so no event is lost across a broker outage or a station
restart, and each pump's state (retained); ``AckWindow`` keeps its events in
flight. ``MqttSource`` (in ``mqtt_source``) subscribes to a site (or a ward)
and feeds a local ``Hub``, so the same page can show several gateways.

Topics, under ``tarvelpump/<site>/<ward>/``::

    status                    "online" / "offline" (retained; last will: offline)
    <pump-id>/state           PumpView JSON with "station" (retained, QoS 0)
                              (a pump id keeps the letters of every script, as UTF-8)
    <pump-id>/event           the event as ``encode_event`` writes it, with "station" (QoS 1, not retained)
    link/<link-id>/event      events of a link and of its poller

The publisher speaks MQTT 5, so that a retained state cannot outlive what it
claims: while the station runs, each state expires ``state_expiry`` seconds
after it was published (it is published again well before); on a clean stop
each pump's state is published once more, without expiry, with presence
"offline" and reason "station stopped".
"""

from __future__ import annotations

import collections
import dataclasses
import json
import logging
import sqlite3
import threading
import time
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, Protocol

import msgspec
import paho.mqtt.client as mqtt
from paho.mqtt.enums import MQTTProtocolVersion
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties
from paho.mqtt.reasoncodes import ReasonCode

from ..settings.broker_url import BrokerUrl, parse_url
from ..records.model import OFFLINE, PumpView, RoundResult, encode_event, pump_id
from ..records.outbox import OutboxRow, Outgoing
from .mqtt_client import Outage, failed, let_go, make_client
from ..hospital.mqtt_source import Malformed, MqttSource
from ..records.store import StoreError

if TYPE_CHECKING:
    from paho.mqtt.client import ConnectFlags, DisconnectFlags

__all__ = ["STOPPED", "AckWindow", "BrokerUrl", "EventRows", "Malformed", "MqttPublisher", "MqttSource", "parse_url"]

log = logging.getLogger(__name__)

#: the output's name in the outbox
NAME = "mqtt"
#: the offline reason of the states a station leaves when it stops cleanly
STOPPED = "station stopped"


class Outbox(Protocol):
    """What the publisher needs of the store's outbox (``Store.outbox``)."""

    def peek(self, output: str, limit: int = 100, *, aside: bool = False) -> list[OutboxRow]: ...

    def confirm(self, output: str, seqs: Iterable[int]) -> int: ...


class EventRows:
    """The MQTT output of the store's outbox: each event of a round, as published (``encode_event``,
    with the gateway's ``station`` name)."""

    name = NAME

    def __init__(self, station: str) -> None:
        self.station = station

    def rows_for(self, result: RoundResult) -> list[Outgoing]:
        return [Outgoing(kind=e.kind, key=e.id, pump=e.pump, link=e.link,
                         body=encode_event(msgspec.structs.replace(e, station=self.station)))
                for e in result.events]

    def settle(self, committed: bool) -> None:
        pass


class AckWindow:
    """The events in flight between the outbox and the broker, in order.

    ``sent(mid, seq)`` records each publish; ``acked(mids)`` takes the
    broker's acknowledgements in whatever order they come; ``ready()`` gives
    the rows that may now leave the outbox (acknowledged, and every older one
    too, so a restart never skips a gap), each confirmed with ``confirm`` once
    the store let it go. ``stalled()`` is the safety net: when nothing moved
    for ``resend_after`` seconds while events are out, it forgets them so they
    are sent again from the oldest, and waits twice as long before the next
    time (up to 64 times). It needs no broker and no store.
    """

    def __init__(self, size: int, resend_after: float = 60.0,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.size = max(1, size)
        self.resend_after = resend_after
        self._clock = clock
        self._mids: dict[int, int] = {}  # mid -> outbox seq
        self._sent: collections.deque[int] = collections.deque()  # seqs in flight, in order
        self._done: set[int] = set()
        self._last_sent = 0
        self._progress = clock()  # last ack, connection, or send into an empty window
        self.stalls = 0


    @property
    def in_flight(self) -> int:
        return len(self._sent)

    @property
    def room(self) -> int:
        return self.size - len(self._sent)

    def wants_more(self) -> bool:
        """Refilled by half windows: each refill reads the rows in flight again."""
        return self.room >= max(1, self.size // 2)

    def is_new(self, seq: int) -> bool:
        """Not sent yet (or given up on by ``stalled``)."""
        return seq > self._last_sent

    def sent(self, mid: int, seq: int) -> None:
        if not self._sent:
            self._progress = self._clock()
        self._mids[mid] = seq
        self._sent.append(seq)
        self._last_sent = seq

    def acked(self, mids: set[int]) -> None:
        for mid in mids:
            seq = self._mids.pop(mid, None)
            if seq is not None:  # else a state or status message, or a copy given up on
                self._done.add(seq)

    def ready(self) -> list[int]:
        """The acknowledged rows at the head of the window, oldest first."""
        out = []
        for seq in self._sent:
            if seq not in self._done:
                break
            out.append(seq)
        return out

    def confirm(self, seq: int) -> None:
        """The oldest row left the outbox."""
        assert self._sent and self._sent[0] == seq, "rows leave the outbox oldest first"
        self._sent.popleft()
        self._done.discard(seq)
        self._progress = self._clock()
        self.stalls = 0

    def restart(self) -> None:
        """A new connection: paho sends again what it holds; the wait starts over."""
        self._progress = self._clock()

    def stalled(self) -> bool:
        """True (and the window emptied, to send again from the oldest row)
        when no acknowledgement came for too long while events were out."""
        wait = self.resend_after * 2 ** min(self.stalls, 6)
        if not self._sent or self._clock() - self._progress <= wait:
            return False
        self.stalls += 1
        self._mids.clear()
        self._sent.clear()
        self._done.clear()
        self._last_sent = 0
        self._progress = self._clock()
        return True


def _published(info: mqtt.MQTTMessageInfo, deadline: float) -> bool:
    """Whether the broker acknowledged a message, waiting until ``deadline`` at most."""
    try:
        info.wait_for_publish(max(0.1, deadline - time.monotonic()))
        return info.is_published()
    except (RuntimeError, ValueError):  # never queued, or the connection went
        return False


class MqttPublisher:
    """A Hub listener that publishes one gateway to the broker.

    Events are never taken from the round itself: the store has already
    written them to the outbox (``EventRows``), in the round's transaction,
    and a drain thread sends those rows in order and confirms a row only once
    the broker has acknowledged the message (PUBACK). At most ``window``
    events are in flight. paho keeps unacknowledged QoS 1 messages across a
    reconnect and sends them again itself, so after an outage the drain simply
    goes on; after a restart it starts again from the oldest unconfirmed row.
    Delivery is therefore in order and at least once; receivers deduplicate
    by event id.

    States are republished every ``state_refresh`` seconds and expire on the
    broker ``state_expiry`` seconds after each publish.
    """

    def __init__(self, url: str, outbox: Outbox, *, station: str = "", window: int = 32,
                 state_refresh: float = 15.0, state_expiry: float = 60.0, reconnect_max: int = 10,
                 resend_after: float = 60.0) -> None:
        if not state_expiry > state_refresh:
            raise ValueError(f"state_expiry ({state_expiry}) must be longer than state_refresh ({state_refresh})")
        self.broker = parse_url(url, ward=True)
        assert self.broker.ward is not None
        self.station = station or self.broker.ward
        self._outbox = outbox
        self._refresh = state_refresh
        self._expiry = Properties(PacketTypes.PUBLISH)  # type: ignore[no-untyped-call]  # paho leaves it untyped
        self._expiry.MessageExpiryInterval = max(1, round(state_expiry))
        self._base = self.broker.base
        self.status_topic = f"{self._base}/status"
        self._outage = Outage(self.broker, "MQTT")
        self._client = make_client(self.broker, "publisher", self._outage, reconnect_max=reconnect_max,
                                   protocol=MQTTProtocolVersion.MQTTv5)
        self._client.max_inflight_messages_set(max(1, window))
        self._client.will_set(self.status_topic, "offline", qos=1, retain=True)
        self._client.on_connect = self._on_connect
        self._client.on_disconnect = self._on_disconnect
        self._client.on_publish = self._on_publish
        # shared with paho's thread: never held while calling into paho, whose
        # on_publish runs under its own message lock
        self._cond = threading.Condition()
        self._connected = False
        self._reconnected = False
        self._stopping = False
        self._wake = True
        self._puback: set[int] = set()
        self._views: dict[str, PumpView] = {}
        self._dirty: set[str] = set()
        # the drain thread's own
        self._window = AckWindow(window, resend_after)
        self._published: dict[str, tuple[tuple[Any, ...], float]] = {}  # pump id -> (what it showed, monotonic)
        self._swept = time.monotonic()  # when every state was last looked at for its refresh
        self._thread: threading.Thread | None = None
        #: counters, for the bench and the logs
        self.events_sent = 0
        self.events_acked = 0

    # -- the Hub side (poller thread: never blocks) --------------------------------

    def on_round(self, result: RoundResult) -> None:
        with self._cond:
            for view in result.views:
                self._views[view.id] = view
                self._dirty.add(view.id)
            self._wake = True
            self._cond.notify()

    def start(self) -> None:
        if self._thread is not None:
            return
        log.info("MQTT: publishing to %s", self.broker)
        self._client.connect_async(self.broker.host, self.broker.port, keepalive=30, clean_start=True)
        self._client.loop_start()
        self._thread = threading.Thread(target=self._drain, name="mqtt-outbox", daemon=True)
        self._thread.start()

    def stop(self, timeout: float = 2.0) -> None:
        """Stop sending; wait up to ``timeout`` for events in flight, leave every
        pump's retained state saying it is no longer watched, mark the gateway offline."""
        if self._thread is None:
            return
        deadline = time.monotonic() + timeout
        with self._cond:
            self._stopping = True
            self._cond.notify()
        self._thread.join()
        self._thread = None
        while self._window.in_flight and self.connected and time.monotonic() < deadline:
            time.sleep(0.02)
            try:
                self._ack()
            except (sqlite3.Error, StoreError) as exc:
                # sent again after a restart, from the outbox: at least once, as ever
                log.warning("MQTT: %d delivered events stay in the outbox (%s)", self._window.in_flight, exc)
                break
        if self.connected:
            with self._cond:
                views = list(self._views.values())
            # QoS 1 and no expiry: true until the station publishes again
            sent = [self._client.publish(f"{self._base}/{view.id}/state", self._state(
                dataclasses.replace(view, presence=OFFLINE, offline_reason=STOPPED)), qos=1, retain=True)
                for view in views]
            sent.append(self._client.publish(self.status_topic, "offline", qos=1, retain=True))
            deadline = time.monotonic() + timeout  # as long again for these as for the events
            if not all(_published(info, deadline) for info in sent):
                log.warning("MQTT: not every pump's state could be marked \"%s\" in time; the others expire "
                            "on the broker", STOPPED)
            self._client.disconnect()
        self._client.loop_stop()
        let_go(self._client)
        log.info("MQTT: stopped (%d events sent, %d acknowledged)", self.events_sent,
                 self.events_acked)

    @property
    def connected(self) -> bool:
        with self._cond:
            return self._connected

    def status(self) -> dict[str, Any]:
        """Where it publishes and how it fares, for the page and the metrics."""
        return {"url": str(self.broker), "connected": self.connected, "sent": self.events_sent,
                "acked": self.events_acked}

    # -- paho's thread ------------------------------------------------------------

    def _on_connect(self, client: mqtt.Client, userdata: Any, flags: ConnectFlags,
                    reason: ReasonCode, properties: Properties | None) -> None:
        if failed(reason):
            self._outage.failed(client, userdata, f"refused: {reason}")
            return
        log.info("MQTT: connected to %s", self.broker)
        self._outage.ok()
        client.publish(self.status_topic, "online", qos=1, retain=True)
        with self._cond:
            self._connected = True
            self._reconnected = True
            self._wake = True
            self._cond.notify()

    def _on_disconnect(self, client: mqtt.Client, userdata: Any, flags: DisconnectFlags,
                       reason: ReasonCode, properties: Properties | None) -> None:
        with self._cond:
            was, self._connected = self._connected, False
            stopping = self._stopping
        if was and not stopping:
            log.warning("MQTT: lost %s (%s); events wait in the outbox", self.broker, reason)

    def _on_publish(self, client: mqtt.Client, userdata: Any, mid: int, reason: ReasonCode,
                    properties: Properties | None) -> None:
        with self._cond:
            self._puback.add(mid)
            self._wake = True
            self._cond.notify()

    # -- the drain thread -----------------------------------------------------------

    def _drain(self) -> None:
        store_down = False
        while True:
            with self._cond:
                if not self._wake and not self._stopping:
                    self._cond.wait(timeout=1.0)
                self._wake = False
                if self._stopping:
                    return
                connected = self._connected
                everything = self._reconnected
                self._reconnected = False
            try:
                if everything:
                    self._window.restart()
                self._ack()
                if connected:
                    self._check_stalled()
                    self._publish_states(everything)
                    self._send_events()
                if store_down:
                    log.warning("MQTT: the store takes writes again; delivery goes on")
                    store_down = False
            except (sqlite3.Error, StoreError) as exc:
                # The store takes no writes (the hub says so too): said once, tried again each second.
                if not store_down:
                    log.warning("MQTT: delivered events cannot be marked in the store (%s); "
                                "they stay in the outbox until it takes writes again", exc)
                    store_down = True
                time.sleep(1.0)
                with self._cond:
                    self._wake = True
            except Exception:
                # a store or client error must not end delivery: try again shortly
                log.exception("MQTT: outbox delivery failed; retrying")
                time.sleep(1.0)
                with self._cond:
                    self._wake = True

    def _ack(self) -> None:
        with self._cond:
            acked, self._puback = self._puback, set()
        self._window.acked(acked)
        # a row the store cannot delete yet (a full disk) stays first in line
        ready = self._window.ready()
        if ready:
            self._outbox.confirm(NAME, ready)
            for seq in ready:
                self._window.confirm(seq)
            self.events_acked += len(ready)

    def _check_stalled(self) -> None:
        # A safety net, not the normal path: should an acknowledgement never
        # come while connected, send again from the oldest row not acknowledged.
        in_flight = self._window.in_flight
        if self._window.stalled():
            log.warning("MQTT: %d events unacknowledged for %.0f s; sending again from the oldest",
                        in_flight, self._window.resend_after * 2 ** min(self._window.stalls - 1, 6))

    def _send_events(self) -> None:
        if not self._window.wants_more():
            return
        rows = self._outbox.peek(NAME, self._window.in_flight + self._window.room)
        for row in rows:
            seq = row.seq
            if not self._window.is_new(seq):
                continue
            info = self._client.publish(self._event_topic(row), row.body, qos=1)
            if info.rc not in (mqtt.MQTT_ERR_SUCCESS, mqtt.MQTT_ERR_NO_CONN):
                # not taken by paho at all: leave it for the next pass
                log.warning("MQTT: event not queued (%s); will retry", mqtt.error_string(info.rc))
                return
            # NO_CONN: paho keeps it and sends it on reconnect, like one in flight
            self._window.sent(info.mid, seq)
            self.events_sent += 1

    def _event_topic(self, row: OutboxRow) -> str:
        if row.pump is None:
            return f"{self._base}/link/{pump_id(row.link)}/event"
        return f"{self._base}/{pump_id(row.pump)}/event"

    def _state(self, view: PumpView) -> str:
        body = view.to_json()
        body["station"] = view.station or self.station
        return json.dumps(body)

    def _publish_states(self, everything: bool) -> None:
        t = time.monotonic()
        with self._cond:
            # now and then every state, so each is published again before it expires
            sweep = everything or t - self._swept >= self._refresh / 3
            ids = set(self._views) if sweep else set(self._dirty)
            self._swept = t if sweep else self._swept
            self._dirty.clear()
            views = [self._views[i] for i in ids]
        for view in views:
            key = view.shown()  # republished for the VOLATILE fields only now and then
            last = self._published.get(view.id)
            if not everything and last and last[0] == key and t - last[1] < self._refresh:
                continue
            # QoS 0: a newer state always follows, and an old one must never be replayed
            info = self._client.publish(f"{self._base}/{view.id}/state", self._state(view),
                                        qos=0, retain=True, properties=self._expiry)
            if info.rc == mqtt.MQTT_ERR_SUCCESS:
                self._published[view.id] = (key, t)
            else:
                with self._cond:
                    self._dirty.add(view.id)
