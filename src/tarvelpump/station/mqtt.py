"""MQTT out of the station, and back into a view that watches several gateways.

``MqttPublisher`` sends each pump's state (retained) and every event (QoS 1)
taken from the store's outbox, so no event is lost across a broker outage or
a station restart. ``MqttSource`` subscribes to a site (or a ward) and feeds
a local ``Hub``, so the same page can show several gateways.

Topics, under ``tarvelpump/<site>/<ward>/``::

    status                    "online" / "offline" (retained; last will: offline)
    <pump-id>/state           PumpView JSON with "station" (retained, QoS 0)
    <pump-id>/event           Event JSON with "station" (QoS 1, not retained)
    link/<link-id>/event      events of a link (link_down / link_up)
"""

from __future__ import annotations

import collections
import dataclasses
import json
import logging
import math
import sqlite3
import threading
import time
import types
import typing
from collections.abc import Callable, Iterable
from datetime import datetime
from typing import TYPE_CHECKING, Any, Protocol

import paho.mqtt.client as mqtt
from paho.mqtt.enums import CallbackAPIVersion
from paho.mqtt.reasoncodes import ReasonCode

from .broker_url import ROOT, BrokerUrl, parse_url
from .hub import Hub
from .model import OFFLINE, PRESENCES, Event, EventKind, PumpView, RoundResult, now, pump_id
from .store import StoreError

if TYPE_CHECKING:
    from paho.mqtt.client import ConnectFlags, DisconnectFlags, MQTTMessage
    from paho.mqtt.properties import Properties

__all__ = ["BrokerUrl", "MqttPublisher", "MqttSource", "parse_url"]

log = logging.getLogger(__name__)

#: view fields that change every round; a state is republished for them only now and then
_VOLATILE = ("last_seen", "answered", "silent", "malformed")


class Outbox(Protocol):
    """What the publisher needs of the store (``Store(path, outbox=True)``)."""

    def outbox_peek(self, limit: int = 100) -> list[tuple[int, Event]]: ...

    def outbox_ack(self, seq: int) -> None: ...


class _Outage:
    """Notes a failing connection once per outage, not on each of paho's silent retries."""

    def __init__(self, broker: BrokerUrl, who: str) -> None:
        self.broker, self.who, self.noted = broker, who, False

    def failed(self, client: mqtt.Client, userdata: Any, why: object = "unreachable") -> None:
        if not self.noted:
            self.noted = True
            log.warning("%s: cannot connect to %s (%s); will keep trying", self.who, self.broker, why)

    def ok(self) -> None:
        self.noted = False


def _let_go(client: mqtt.Client) -> None:
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


def _client(broker: BrokerUrl, name: str, outage: _Outage, *, clean: bool = True,
            client_id: str = "", reconnect_max: int = 10) -> mqtt.Client:
    client = mqtt.Client(CallbackAPIVersion.VERSION2, client_id=client_id,
                         clean_session=clean)
    # paho's own messages (packet flags, never the password) only at debug level:
    # it reports a normal stop during a retry as an error
    paho_log = logging.getLogger(f"{__name__}.{name}")
    client.on_log = lambda client, userdata, level, text: paho_log.debug("%s", text)
    if broker.username is not None:
        client.username_pw_set(broker.username, broker.password)
    if broker.tls:
        client.tls_set(ca_certs=broker.ca_file)
    client.reconnect_delay_set(1, reconnect_max)
    client.on_connect_fail = outage.failed
    return client


def _failed(reason: ReasonCode | int) -> bool:
    return reason.is_failure if isinstance(reason, ReasonCode) else reason != 0


class MqttPublisher:
    """A Hub listener that publishes one gateway to the broker.

    Events are never taken from the round itself: the store has already put
    them in its outbox, in the round's transaction, and a drain thread sends
    the outbox in order and acknowledges a row only once the broker has
    acknowledged the message (PUBACK). At most ``window`` events are in
    flight. paho keeps unacknowledged QoS 1 messages across a reconnect and
    sends them again itself, so after an outage the drain simply goes on; after
    a restart it starts again from the oldest unacknowledged row. Delivery is
    therefore in order and at least once; receivers deduplicate by event id.
    """

    def __init__(self, url: str, store: Outbox, *, station: str = "", window: int = 32,
                 state_refresh: float = 15.0, reconnect_max: int = 10,
                 resend_after: float = 60.0) -> None:
        self.broker = parse_url(url, ward=True)
        assert self.broker.ward is not None
        self.station = station or self.broker.ward
        self._store = store
        self._window = max(1, window)
        self._refresh = state_refresh
        self._resend_after = resend_after
        self._base = self.broker.base
        self.status_topic = f"{self._base}/status"
        self._outage = _Outage(self.broker, "MQTT")
        self._client = _client(self.broker, "publisher", self._outage, reconnect_max=reconnect_max)
        self._client.max_inflight_messages_set(self._window)
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
        self._mids: dict[int, int] = {}  # mid -> outbox seq
        self._sent: collections.deque[int] = collections.deque()  # seqs in flight, in order
        self._done: set[int] = set()
        self._last_sent = 0
        self._progress = time.monotonic()  # last ack, connection, or send into an empty window
        self._stalls = 0
        self._published: dict[str, tuple[str, float]] = {}  # pump id -> (state key, monotonic)
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
        self._client.connect_async(self.broker.host, self.broker.port, keepalive=30)
        self._client.loop_start()
        self._thread = threading.Thread(target=self._drain, name="mqtt-outbox", daemon=True)
        self._thread.start()

    def stop(self, timeout: float = 2.0) -> None:
        """Stop sending; wait up to ``timeout`` for events in flight, mark the gateway offline."""
        if self._thread is None:
            return
        deadline = time.monotonic() + timeout
        with self._cond:
            self._stopping = True
            self._cond.notify()
        self._thread.join()
        self._thread = None
        while self._sent and self.connected and time.monotonic() < deadline:
            time.sleep(0.02)
            try:
                self._ack()
            except (sqlite3.Error, StoreError) as exc:
                # sent again after a restart, from the outbox: at least once, as ever
                log.warning("MQTT: %d delivered events stay in the outbox (%s)", len(self._sent), exc)
                break
        if self.connected:
            info = self._client.publish(self.status_topic, "offline", qos=1, retain=True)
            try:
                info.wait_for_publish(max(0.1, deadline - time.monotonic()))
            except (RuntimeError, ValueError):
                pass
            self._client.disconnect()
        self._client.loop_stop()
        _let_go(self._client)
        log.info("MQTT: stopped (%d events sent, %d acknowledged)", self.events_sent,
                 self.events_acked)

    @property
    def connected(self) -> bool:
        with self._cond:
            return self._connected

    # -- paho's thread ------------------------------------------------------------

    def _on_connect(self, client: mqtt.Client, userdata: Any, flags: ConnectFlags,
                    reason: ReasonCode, properties: Properties | None) -> None:
        if _failed(reason):
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
                    self._progress = time.monotonic()
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
        for mid in acked:
            seq = self._mids.pop(mid, None)
            if seq is not None:  # else a state or status message
                self._done.add(seq)
        # rows leave the outbox oldest first, so a restart never skips a gap;
        # a row the store cannot delete yet (a full disk) stays first in line
        while self._sent and self._sent[0] in self._done:
            seq = self._sent[0]
            self._store.outbox_ack(seq)
            self._sent.popleft()
            self._done.discard(seq)
            self.events_acked += 1
            self._progress = time.monotonic()
            self._stalls = 0

    def _check_stalled(self) -> None:
        # A safety net, not the normal path: should an acknowledgement never
        # come while connected, send again from the oldest row not acknowledged.
        # Each further stall waits twice as long, so a hung broker is not flooded.
        wait = self._resend_after * 2 ** min(self._stalls, 6)
        if self._sent and time.monotonic() - self._progress > wait:
            log.warning("MQTT: %d events unacknowledged for %.0f s; sending again from the oldest",
                        len(self._sent), wait)
            self._stalls += 1
            self._mids.clear()
            self._sent.clear()
            self._done.clear()
            self._last_sent = 0
            self._progress = time.monotonic()

    def _send_events(self) -> None:
        room = self._window - len(self._sent)
        # refill by half windows: each peek reads the rows in flight again
        if room < max(1, self._window // 2):
            return
        rows = self._store.outbox_peek(len(self._sent) + room)
        for seq, event in rows:
            if seq <= self._last_sent:
                continue
            body = dict(event.to_json(), station=self.station)
            info = self._client.publish(self._event_topic(event), json.dumps(body), qos=1)
            if info.rc not in (mqtt.MQTT_ERR_SUCCESS, mqtt.MQTT_ERR_NO_CONN):
                # not taken by paho at all: leave it for the next pass
                log.warning("MQTT: event not queued (%s); will retry", mqtt.error_string(info.rc))
                return
            # NO_CONN: paho keeps it and sends it on reconnect, like one in flight
            if not self._sent:
                self._progress = time.monotonic()
            self._mids[info.mid] = seq
            self._sent.append(seq)
            self._last_sent = seq
            self.events_sent += 1

    def _event_topic(self, event: Event) -> str:
        if event.pump is None:
            return f"{self._base}/link/{pump_id(event.link)}/event"
        return f"{self._base}/{pump_id(event.pump)}/event"

    def _publish_states(self, everything: bool) -> None:
        with self._cond:
            ids = set(self._views) if everything else set(self._dirty)
            self._dirty.clear()
            views = [self._views[i] for i in ids]
        t = time.monotonic()
        for view in views:
            body = view.to_json()
            body["station"] = view.station or self.station
            key = json.dumps({k: v for k, v in body.items() if k not in _VOLATILE},
                             sort_keys=True)
            last = self._published.get(view.id)
            if not everything and last and last[0] == key and t - last[1] < self._refresh:
                continue
            # QoS 0: a newer state always follows, and an old one must never be replayed
            info = self._client.publish(f"{self._base}/{view.id}/state", json.dumps(body),
                                        qos=0, retain=True)
            if info.rc == mqtt.MQTT_ERR_SUCCESS:
                self._published[view.id] = (key, t)
            else:
                with self._cond:
                    self._dirty.add(view.id)


class Malformed(ValueError):
    """A message from the broker that the view does not accept."""


def _no_constant(name: str) -> float:
    raise Malformed(f"{name} is not a number JSON knows")


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise Malformed(f"{text} is out of range")
    return value


def _object(payload: bytes) -> dict[str, Any]:
    body = json.loads(payload, parse_constant=_no_constant, parse_float=_finite)
    if not isinstance(body, dict):
        raise Malformed(f"a JSON object was expected, not {type(body).__name__}")
    return body


_Check = Callable[[object], bool]


def _aware_time(value: object) -> bool:
    """An ISO 8601 time with its offset: one without could not be ordered among the others."""
    if not isinstance(value, str):
        return False
    try:
        return datetime.fromisoformat(value).tzinfo is not None
    except ValueError:
        return False


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


#: every field of a state, as PumpView declares it (plus the flag of older gateways)
_STATE = _checkers({**typing.get_type_hints(PumpView), "online": bool})
_STATE_REQUIRED = ("id", "label", "link", "addr", "channel")
#: the fixed part of an event, and what any event may carry
_EVENT = _checkers({"id": str, "time": datetime, "pump": str | None, "link": str, "kind": str,
                    "station": str, "after_gap": bool})
_ALARM = _checkers({"alarm": str, "text": str | None, "rank": int, "word": int | None})
#: each kind's details as the station makes them; a field not listed is carried as it is
_DETAILS: dict[EventKind, tuple[dict[str, _Check], tuple[str, ...]]] = {
    EventKind.ALARM_RAISED: (_ALARM, ("alarm",)),
    EventKind.ALARM_CLEARED: (_ALARM, ("alarm",)),
    EventKind.STATE_CHANGED: (_checkers({"from": str | None, "to": str | None, "from_code": int | None,
                                         "to_code": int | None, "text": str | None}), ()),
    EventKind.DOOR_OPENED: (_checkers({"door": int | None}), ()),
    EventKind.DOOR_CLOSED: (_checkers({"door": int | None}), ()),
    EventKind.OFFLINE: (_checkers({"last_seen": datetime | None, "silent": int, "reason": str | None}), ()),
    EventKind.ONLINE: ({}, ()),
    EventKind.NEAR_END: (_checkers({"remaining_s": int, "threshold_s": int}), ("remaining_s",)),
    EventKind.LINK_DOWN: (_checkers({"error": str}), ()),
    EventKind.LINK_UP: (_checkers({"down_s": float | None}), ()),
}
_KINDS = {k.value: k for k in EventKind}


def _check(body: dict[str, Any], checks: dict[str, _Check], required: Iterable[str]) -> None:
    for name in required:
        if name not in body:
            raise Malformed(f"{name} is missing")
    for name, check in checks.items():
        if name in body and not check(body[name]):
            raise Malformed(f"{name} has the wrong type")


class _Drops:
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


class MqttSource:
    """Feeds a ``Hub`` from the broker: pumps of every gateway of a site (or of one ward).

    A pump is known in the view as ``<ward>.<pump-id>`` (and its link as
    ``<ward>.<link>``), so equal names on two gateways never collide. Messages
    are handed to the hub in batches, one ``RoundResult`` per ward per batch.
    When a gateway goes offline its pumps are shown offline until it
    publishes again.

    Anyone who may publish on the site's topics reaches this view, so every
    message is checked whole before it is taken: each field of a state or an
    event against its type, times with their offsets, numbers JSON knows, and
    the topic against the pump the message names. A bad message is dropped
    alone (``dropped`` counts them; warnings are rate-limited) and the rest
    of its batch is shown. Events are deduplicated by id, and only accepted
    ones are remembered: a bad message never makes a good one with its id a
    duplicate.
    """

    def __init__(self, url: str, hub: Hub, *, client_id: str | None = None,
                 batch: float = 0.1, remember: int = 100_000) -> None:
        self.broker = parse_url(url, ward=False)
        self._hub = hub
        self._batch = batch
        self._remember = remember
        self.topic = f"{self.broker.base}/#"
        # a named client keeps its session (and its missed events) across reconnects
        self._outage = _Outage(self.broker, "MQTT view")
        self._client = _client(self.broker, "source", self._outage, clean=client_id is None,
                               client_id=client_id or "")
        self._client.on_connect = self._on_connect
        self._client.on_disconnect = self._on_disconnect
        self._client.on_message = self._on_message
        self._cond = threading.Condition()
        self._inbox: list[tuple[str, bytes]] = []
        self._stopping = False
        self._thread: threading.Thread | None = None
        self._seen: collections.OrderedDict[str, None] = collections.OrderedDict()
        self._views: dict[str, PumpView] = {}
        self.gateways: dict[str, str] = {}  #: ward -> "online" / "offline"
        self.duplicates = 0  #: events dropped as already seen
        self._drops = _Drops()

    @property
    def dropped(self) -> int:
        """Malformed messages dropped so far."""
        return self._drops.total

    def start(self) -> None:
        if self._thread is not None:
            return
        log.info("MQTT view: subscribing to %s on %s", self.topic, self.broker)
        self._thread = threading.Thread(target=self._dispatch, name="mqtt-view", daemon=True)
        self._thread.start()
        self._client.connect_async(self.broker.host, self.broker.port, keepalive=30)
        self._client.loop_start()

    def stop(self) -> None:
        if self._thread is None:
            return
        with self._cond:
            self._stopping = True
            self._cond.notify()
        if self._client.is_connected():
            self._client.disconnect()
        self._client.loop_stop()
        self._thread.join()
        self._thread = None
        _let_go(self._client)

    def _on_connect(self, client: mqtt.Client, userdata: Any, flags: ConnectFlags,
                    reason: ReasonCode, properties: Properties | None) -> None:
        if _failed(reason):
            self._outage.failed(client, userdata, f"refused: {reason}")
            return
        log.info("MQTT view: connected to %s", self.broker)
        self._outage.ok()
        client.subscribe(self.topic, qos=1)

    def _on_disconnect(self, client: mqtt.Client, userdata: Any, flags: DisconnectFlags,
                       reason: ReasonCode, properties: Properties | None) -> None:
        if not self._stopping:
            log.warning("MQTT view: lost %s (%s)", self.broker, reason)

    def _on_message(self, client: mqtt.Client, userdata: Any, message: MQTTMessage) -> None:
        with self._cond:
            self._inbox.append((message.topic, bytes(message.payload)))
            self._cond.notify()

    def _dispatch(self) -> None:
        while True:
            with self._cond:
                while not self._inbox and not self._stopping:
                    self._cond.wait()
                if self._stopping:
                    return
            time.sleep(self._batch)  # let a burst (retained states on subscribe) gather
            with self._cond:
                batch, self._inbox = self._inbox, []
            try:
                for result in self._results(batch):
                    self._hub.publish(result)
            except Exception:
                log.exception("MQTT view: a batch could not be shown")
            self._drops.flush()

    def _results(self, batch: Iterable[tuple[str, bytes]]) -> list[RoundResult]:
        per_ward: dict[str, tuple[dict[str, PumpView], list[Event]]] = {}
        for topic, payload in batch:
            levels = topic.split("/")
            if len(levels) < 4 or levels[0] != ROOT or levels[1] != self.broker.site:
                continue
            ward, rest = levels[2], levels[3:]
            views, events = per_ward.setdefault(ward, ({}, []))
            try:
                if rest == ["status"]:
                    self._on_status(ward, payload.decode(), views)
                elif len(rest) == 2 and rest[1] == "state" and payload:
                    view = self._view(ward, rest[0], _object(payload))
                    views[view.id] = self._views[view.id] = view
                elif rest[-1] == "event" and len(rest) in (2, 3):
                    event = self._event(ward, rest, _object(payload))
                    if event is not None:
                        events.append(event)
            except Exception as exc:  # whatever is wrong with one message stays with it
                self._drops.drop(topic, exc)
        t = now()
        return [RoundResult(link=ward, started=t, duration_s=0.0, exchanges=0, readings=(),
                            events=tuple(events), views=tuple(views.values()))
                for ward, (views, events) in per_ward.items() if views or events]

    def _view(self, ward: str, topic_id: str, body: dict[str, Any]) -> PumpView:
        # A field of the wrong type would otherwise fail later, in the page's
        # order, a scrape or the words of a tile.
        _check(body, _STATE, _STATE_REQUIRED)
        if body["id"] != topic_id:
            raise Malformed(f"the state of {body['id']!r} on the topic of {topic_id!r}")
        if "presence" in body and body["presence"] not in PRESENCES:
            raise Malformed(f"presence {body['presence']!r} is none of {', '.join(PRESENCES)}")
        view = PumpView.from_json(body)
        view.id = f"{ward}.{view.id}"
        view.link = f"{ward}.{view.link}"
        view.station = view.station or ward
        if self.gateways.get(ward) == "offline":
            view.presence, view.offline_reason = OFFLINE, "gateway offline"
        return view

    def _event(self, ward: str, topic: list[str], body: dict[str, Any]) -> Event | None:
        _check(body, _EVENT, ("id", "time", "kind", "link"))
        kind = _KINDS.get(body["kind"])
        if kind is None:
            raise Malformed(f"no event is of kind {body['kind']!r}")
        if not body["id"]:
            raise Malformed("the id is empty")
        _check(body, *_DETAILS[kind])
        pump = body.get("pump")
        # <pump-id>/event carries that pump's events; link/<link-id>/event its link's
        named = ["link", pump_id(body["link"]), "event"] if pump is None else [pump_id(pump), "event"]
        if topic != named:
            raise Malformed(f"an event of {pump or body['link']!r} on another's topic")
        body = {k: v for k, v in body.items() if k != "pump_id"}  # the view names pumps itself
        event = Event.from_json(body)
        if event.id in self._seen:
            self.duplicates += 1
            return None
        self._seen[event.id] = None
        while len(self._seen) > self._remember:
            self._seen.popitem(last=False)
        details = dict(event.details, station=event.details.get("station") or ward)
        if event.pump is not None:
            details["pump_id"] = f"{ward}.{pump_id(event.pump)}"
        return dataclasses.replace(event, link=f"{ward}.{event.link}", details=details)

    def _on_status(self, ward: str, status: str, views: dict[str, PumpView]) -> None:
        if status not in ("online", "offline"):
            raise Malformed(f"a status is online or offline, not {status[:40]!r}")
        self.gateways[ward] = status
        log.info("MQTT view: gateway %s is %s", ward, status)
        if status == "offline":
            # Its pumps may be fine, but nothing says so any more: offline, alarms kept.
            prefix = f"{ward}."
            for vid, view in self._views.items():
                if vid.startswith(prefix) and view.offline_reason != "gateway offline":
                    views[vid] = self._views[vid] = dataclasses.replace(
                        view, presence=OFFLINE, offline_reason="gateway offline")
