"""``MqttSource``: the pumps of every gateway of a site (or of one ward), from the broker into a ``Hub``.

Anyone who may publish on the site's topics reaches the view, so every
message is checked whole before it is taken, and what a publisher can make
the view hold is bounded: pumps per ward and per site, how long a pump that
is no longer heard stays (offline first, then gone), and every number.
"""

from __future__ import annotations

import collections
import dataclasses
import logging
import threading
import time
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import msgspec
import paho.mqtt.client as mqtt
from paho.mqtt.reasoncodes import ReasonCode

from ..hub import Hub
from ..outputs.mqtt_client import Outage, connect_properties, failed, let_go, make_client
from ..records.kinds import KINDS, UnknownEvent
from ..records.model import (
    OFFLINE,
    PRESENCES,
    Event,
    PumpView,
    RoundResult,
    now,
)
from ..settings.broker_url import (
    ROOT,
    parse_url,
)

if TYPE_CHECKING:
    from paho.mqtt.client import ConnectFlags, DisconnectFlags, MQTTMessage
    from paho.mqtt.properties import Properties

__all__ = ["FORGET_AFTER_S", "MAX_PUMPS", "MAX_PUMPS_PER_WARD", "OFFLINE_AFTER_S", "Malformed", "MqttSource"]

log = logging.getLogger(__name__)

from .intake import Drops, arrival
from .messages import (
    FORGET_AFTER_S,
    LEVELS_MAX,
    MAX_PUMPS,
    MAX_PUMPS_PER_WARD,
    OFFLINE_AFTER_S,
    REFILL_AFTER,
    REFILL_AT_ONCE,
    STATE_FIELDS,
    STATE_REQUIRED,
    WARD_MAX,
    Malformed,
    UnknownEvents,
    check_fields,
    event_message,
    json_object,
    packet_max,
    same_view,
    view_id,
)
from .places import Places


class MqttSource:
    """Feeds a ``Hub`` from the broker: pumps of every gateway of a site (or of one ward).

    A pump is known in the view as ``<ward>.<pump-id>`` (and its link as
    ``<ward>.<link>``; see ``view_id`` for a ward holding "."), so equal
    names on two gateways never collide. Each batch of messages (``batch``
    seconds of them) reaches the hub as one ``RoundResult`` with every view
    and event it changed. A gateway's "offline" (its last will) wins over
    anything heard before it: its pumps are shown offline at once, and each
    stays so until the gateway is online again and that pump's own state
    comes.

    Every message is checked whole before it is taken: each field of a state
    or an event against its type (an event by its kind's own declaration),
    times with their offsets, numbers JSON knows and no larger than
    ``INT_MAX`` (counts never negative), and the topic against the pump the
    message names. An event of a kind, or with fields, the view does not
    know is kept and shown (``unknown``); only what is no event at all is
    malformed. A bad message is dropped alone
    (``dropped`` counts them; warnings are rate-limited) and the rest of its
    batch is shown. Events are deduplicated by id, and only accepted ones are
    remembered: a bad message never makes a good one with its id a duplicate.

    A state that changes nothing shown (only when the pump was last heard,
    and its counts) is handed on within a second rather than in its batch, so
    the thousands of unchanged states of a hospital do not each make the
    page sort and send its pumps again.

    A broker that could not queue every retained state when the view
    subscribed (Mosquitto's ``max_queued_messages``) is asked again, a few
    wards at a time, once that burst is over (see ``_begin_refill``).

    Bounds: the broker is asked (MQTT 5's Maximum Packet Size) not to send
    a message larger than the view reads, and a topic or ward name too long
    is refused on arrival, before anything of it is kept. A new pump is
    refused once its ward shows ``max_pumps_per_ward`` or the site
    ``max_pumps`` (``refused`` counts the states turned away, by ward and
    reason; ``places`` keeps the pumps turned away, for the page to say); a
    pump without a state for ``offline_after`` seconds is shown offline ("not
    heard for ..."), and after ``forget_after`` it leaves the view
    (``RoundResult.gone``) and its place is free; so does one whose retained
    state was cleared (an empty message). The hub's health carries these
    figures as ``view``, for the metrics and the page.
    """

    def __init__(self, url: str, hub: Hub, *, client_id: str | None = None, batch: float = 0.1,
                 remember: int = 100_000, max_pumps: int = MAX_PUMPS,
                 max_pumps_per_ward: int = MAX_PUMPS_PER_WARD, offline_after: float = OFFLINE_AFTER_S,
                 forget_after: float = FORGET_AFTER_S) -> None:
        if not 1 <= max_pumps_per_ward or not 1 <= max_pumps:
            raise ValueError("a view takes at least one pump per ward and per site")
        if not 0 < offline_after <= forget_after:
            raise ValueError(f"offline_after ({offline_after}) must be positive and at most forget_after "
                             f"({forget_after})")
        self.broker = parse_url(url, ward=False)
        self._hub = hub
        self._batch = batch
        self._remember = remember
        self.max_pumps = max_pumps
        self.max_pumps_per_ward = max_pumps_per_ward
        self.offline_after = offline_after
        self.forget_after = forget_after
        self._tick = max(0.05, min(1.0, offline_after / 4))
        self.topic = f"{self.broker.base}/#"
        # a named client keeps its session (and its missed events) across reconnects
        self._outage = Outage(self.broker, "MQTT view")
        self._client = make_client(self.broker, "source", self._outage, client_id=client_id or "",
                                   protocol=mqtt.MQTTv5)
        self._named = client_id is not None
        self.packet_max = packet_max(self.broker.base)
        self._topic_max = len(f"{ROOT}/{self.broker.site}//") + WARD_MAX + LEVELS_MAX
        self._client.on_connect = self._on_connect
        self._client.on_disconnect = self._on_disconnect
        self._client.on_message = self._on_message
        self._client.on_subscribe = self._on_subscribe
        self._client.on_unsubscribe = self._on_unsubscribe
        self._cond = threading.Condition()
        # a message refused on arrival carries why instead of its bytes
        self._inbox: list[tuple[str, bytes | Malformed]] = []
        self._stopping = False
        self._thread: threading.Thread | None = None
        self._seen: collections.OrderedDict[str, None] = collections.OrderedDict()
        # asking again for retained states the broker dropped (see _refill_next), under _cond
        self._retained = 0  # retained messages since the last connection
        self._last_retained = 0.0
        self._wards: set[str] = set()  # every ward a message came from
        self._refill: list[list[str]] | None = None  # topic filters still to ask for, a few at a time
        self._asking: tuple[int, list[str], bool] | None = None  # (mid, filters, subscribed) now
        self._refill_t = 0.0
        # the dispatch thread's own
        self._views: dict[str, PumpView] = {}
        self.places = Places(max_pumps, max_pumps_per_ward)  #: which pumps are shown, and which turned away
        self._quiet: set[str] = set()  # shown offline for not being heard
        # ids whose states changed nothing shown: their view (as it is then) goes at the next tick
        self._refreshed: set[str] = set()
        self._digests: dict[str, int] = {}  # view id -> hash of the state message last taken
        self.gateways: dict[str, str] = {}  #: ward -> "online" / "offline"
        self.duplicates = 0  #: events dropped as already seen
        self.unknown = UnknownEvents()  #: events shown without all of their meaning, by kind
        self.forgotten = 0  #: pumps that left the view, not heard for ``forget_after`` (or cleared)
        self._drops = Drops()

    @property
    def dropped(self) -> int:
        """Malformed messages dropped so far."""
        return self._drops.total

    @property
    def refused(self) -> collections.Counter[tuple[str, str]]:
        """States of pumps new to the view turned away, by (ward, "ward" or "site")."""
        return self.places.refused

    def start(self) -> None:
        if self._thread is not None:
            return
        log.info("MQTT view: subscribing to %s on %s", self.topic, self.broker)
        self._report()
        self._thread = threading.Thread(target=self._dispatch, name="mqtt-view", daemon=True)
        self._thread.start()
        # the broker drops larger messages for the view, unsent; a named client keeps its session
        props = connect_properties(max_packet=self.packet_max, keep_session=self._named)
        self._client.connect_async(self.broker.host, self.broker.port, keepalive=30, clean_start=not self._named,
                                   properties=props)
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
        let_go(self._client)

    def _on_connect(self, client: mqtt.Client, userdata: Any, flags: ConnectFlags,
                    reason: ReasonCode, properties: Properties | None) -> None:
        if failed(reason):
            self._outage.failed(client, userdata, f"refused: {reason}")
            return
        log.info("MQTT view: connected to %s", self.broker)
        self._outage.ok()
        with self._cond:
            self._retained, self._refill, self._asking = 0, None, None
        client.subscribe(self.topic, qos=1)

    def _on_disconnect(self, client: mqtt.Client, userdata: Any, flags: DisconnectFlags,
                       reason: ReasonCode, properties: Properties | None) -> None:
        if not self._stopping:
            log.warning("MQTT view: lost %s (%s)", self.broker, reason)

    def _on_message(self, client: mqtt.Client, userdata: Any, message: MQTTMessage) -> None:
        topic = message.topic  # paho decodes it on each read
        # sizes first: nothing of a message too large or of a topic too long is kept, its ward neither
        taken = arrival(topic, message.payload, self._topic_max)
        if isinstance(taken, Malformed):
            topic = f"{topic[:60]}..." if len(topic) > 80 else topic
        levels = topic.split("/", 3)
        with self._cond:
            self._inbox.append((topic, taken))
            if message.retain:
                self._retained += 1
                self._last_retained = time.monotonic()
            if len(levels) == 4 and not isinstance(taken, Malformed) and len(self._wards) < self.max_pumps:
                self._wards.add(levels[2])
            self._cond.notify()

    # -- asking again for what the broker could not queue ---------------------------
    #
    # A broker sends every retained state of the site at once when the view
    # subscribes, and Mosquitto queues at most max_queued_messages (1,000 by
    # default) for a client: the rest are dropped, and those pumps would show
    # only with their next state. After a large burst the view therefore asks
    # again, one filter at a time: the gateways' statuses (which name every
    # ward), then each ward's states. Each filter is subscribed at QoS 0 and,
    # once the broker acknowledged it (its retained messages are on their way
    # by then), unsubscribed, so only the retained states come twice, never
    # the live ones; the next is asked for once the acknowledgement of the
    # unsubscribe came, after those messages.

    def _begin_refill(self) -> None:
        """From the dispatch thread: begin once a large burst of retained messages is over."""
        with self._cond:
            if (self._refill is not None or self._retained < REFILL_AFTER
                    or time.monotonic() - self._last_retained < 0.3 or not self._client.is_connected()):
                return
            self._refill = [["+/status"]] if self.broker.ward is None else [["+/state"]]
            self._refill_t = time.monotonic()
            log.info("MQTT view: %d retained messages at once; asking the broker again, ward by ward, for any "
                     "it could not queue (see max_queued_messages)", self._retained)
            self._refill_next()

    def _refill_next(self) -> None:
        """Ask for the next filter (called holding _cond)."""
        if not self._refill:
            if self._asking is not None:
                log.info("MQTT view: asked again for %d wards in %.1f s", len(self._wards),
                         time.monotonic() - self._refill_t)
            self._asking = None
            return
        step = self._refill.pop(0)
        # QoS 0: the retained states come at once, ahead of the acknowledgement of the
        # unsubscribe (at QoS 1 they would wait for a window the acknowledgement does not)
        rc, mid = self._client.subscribe([(f"{self.broker.base}/{f}", 0) for f in step])
        self._asking = (mid, step, False) if rc == mqtt.MQTT_ERR_SUCCESS and mid is not None else None

    def _on_subscribe(self, client: mqtt.Client, userdata: Any, mid: int, reasons: list[ReasonCode],
                      properties: Properties | None) -> None:
        with self._cond:
            if self._asking is None or self._asking[0] != mid or self._asking[2]:
                return
            step = self._asking[1]
            rc, umid = client.unsubscribe([f"{self.broker.base}/{f}" for f in step])
            self._asking = (umid, step, True) if rc == mqtt.MQTT_ERR_SUCCESS and umid is not None else None

    def _on_unsubscribe(self, client: mqtt.Client, userdata: Any, mid: int, reasons: list[ReasonCode],
                        properties: Properties | None) -> None:
        with self._cond:
            if self._asking is None or self._asking[0] != mid or not self._asking[2]:
                return
            if self._asking[1] == ["+/status"] and self._refill is not None:
                # Every ward is known now, those whose status was dropped too. As many
                # wards at a time as make some REFILL_AT_ONCE states, by their average.
                wards = sorted(w for w in self._wards if "+" not in w and "#" not in w)
                at_once = max(1, REFILL_AT_ONCE * len(wards) // max(1, self._retained))
                self._refill += [[f"{w}/+/state" for w in wards[i:i + at_once]]
                                 for i in range(0, len(wards), at_once)]
            self._refill_next()

    def _dispatch(self) -> None:
        due = time.monotonic() + self._tick
        while True:
            with self._cond:
                while not self._inbox and not self._stopping and time.monotonic() < due:
                    self._cond.wait(max(0.0, due - time.monotonic()))
                if self._stopping:
                    return
                waiting = bool(self._inbox)
            if waiting:
                time.sleep(self._batch)  # let a burst (retained states on subscribe) gather
            with self._cond:
                batch, self._inbox = self._inbox, []
            try:
                result = self._result(batch)
                if time.monotonic() >= due:
                    result = self._expire(self._refresh(result))
                    due = time.monotonic() + self._tick
                if result.views or result.events or result.gone:
                    self._hub.publish(result)
                self._report()
            except Exception:
                log.exception("MQTT view: a batch could not be shown")
            self._drops.flush()
            self._begin_refill()

    def _result(self, batch: Iterable[tuple[str, bytes | Malformed]]) -> RoundResult:
        views: dict[str, PumpView] = {}
        events: list[Event] = []
        gone: dict[str, None] = {}  # in order, without repeats
        for topic, payload in batch:
            if isinstance(payload, Malformed):  # refused on arrival
                self._drops.drop(topic, payload)
                continue
            levels = topic.split("/")
            if len(levels) < 4 or levels[0] != ROOT or levels[1] != self.broker.site:
                continue
            ward, rest = levels[2], levels[3:]
            try:
                if not payload and rest[-1] != "state":
                    continue  # a retained status or event cleared: no news (a gateway offline stays so)
                if rest == ["status"]:
                    self._on_status(ward, payload.decode(), views)
                elif len(rest) == 2 and rest[1] == "state" and not payload:
                    # its retained state cleared on the broker: the pump is gone, its place free
                    vid = view_id(ward, rest[0])
                    if self._forget(vid):
                        views.pop(vid, None)
                        gone[vid] = None
                        self.forgotten += 1
                elif len(rest) == 2 and rest[1] == "state":
                    # the very message taken last (a retained state asked for again): no news
                    digest = hash(payload)
                    if self._digests.get(view_id(ward, rest[0])) == digest:
                        continue
                    view = self._view(ward, rest[0], json_object(payload))
                    if self.places.admit(ward, view.id, time.monotonic()):
                        gone.pop(view.id, None)
                        self._quiet.discard(view.id)
                        self._digests[view.id] = digest
                        if same_view(self._views.get(view.id), view):
                            self._refreshed.add(view.id)  # news of a pump as it was: see _refresh
                        else:
                            views[view.id] = view
                            self._refreshed.discard(view.id)
                        self._views[view.id] = view
                elif rest[-1] == "event" and len(rest) in (2, 3):
                    event = self._event(ward, rest, payload)
                    if event is not None:
                        events.append(event)
            except Exception as exc:  # whatever is wrong with one message stays with it
                self._drops.drop(topic, exc)
        return RoundResult(link=self.broker.base, started=now(), duration_s=0.0, exchanges=0, readings=(),
                           events=tuple(events), views=tuple(views.values()), gone=tuple(gone))

    def _refresh(self, result: RoundResult) -> RoundResult:
        """``result`` with the states that only said a pump is still as it was.

        A gateway republishes every state at least each 15 s, so most of what
        a view over a hospital takes in changes nothing but when the pump was
        last heard. Those are handed on together once per tick (at most a
        second late: far inside the time a pump's news goes stale) instead of
        in each batch, so the page re-sorts and re-sends its pumps for what
        changed, and not a dozen times a second for what did not. A change
        (an alarm, a state, a door) goes in the next batch, as ever.
        """
        # The views as they are now, not as those states made them: a gateway
        # gone offline since then (its last will) must not be undone by them.
        views = {vid: self._views[vid] for vid in self._refreshed}
        views.update((v.id, v) for v in result.views)
        self._refreshed = set()
        return dataclasses.replace(result, views=tuple(views.values()))

    def _forget(self, vid: str) -> bool:
        """``vid`` leaves the view (or the pumps turned away); whether it was shown."""
        self._digests.pop(vid, None)
        if not self.places.forget(vid):
            return False
        del self._views[vid]
        self._quiet.discard(vid)
        self._refreshed.discard(vid)
        return True

    def _expire(self, result: RoundResult) -> RoundResult:
        """Pumps not heard for ``offline_after`` shown offline; for ``forget_after``, gone."""
        t = time.monotonic()
        views = {v.id: v for v in result.views}
        gone: list[str] = []
        for vid, quiet in self.places.unheard(t, self.offline_after):
            if quiet >= self.forget_after:
                gone.append(vid)
            elif vid not in self._quiet:
                self._quiet.add(vid)
                view = self._views[vid]
                if view.presence != OFFLINE:  # an offline pump keeps its own reason
                    views[vid] = self._views[vid] = dataclasses.replace(
                        view, presence=OFFLINE, offline_reason=f"not heard for {quiet:.0f} s")
        for vid in gone:
            self._forget(vid)
            views.pop(vid, None)
        self.places.expire(t, self.forget_after)
        if gone:
            self.forgotten += len(gone)
            log.info("MQTT view: %d pumps not heard for %.0f s are no longer shown", len(gone), self.forget_after)
        return dataclasses.replace(result, views=tuple(views.values()), gone=result.gone + tuple(gone))

    def _report(self) -> None:
        self._hub.set_health("view", {
            **self.places.figures(), "offline_after_s": self.offline_after, "forget_after_s": self.forget_after,
            "forgotten": self.forgotten, "dropped": self.dropped,
            "unknown_events": [{"kind": kind, "count": n} for kind, n in self.unknown.counts.items()],
        })

    def _view(self, ward: str, topic_id: str, body: dict[str, Any]) -> PumpView:
        # A field of the wrong type would otherwise fail later, in the page's
        # order, a scrape or the words of a tile.
        check_fields(body, STATE_FIELDS, STATE_REQUIRED)
        if body["id"] != topic_id:
            raise Malformed(f"the state of {body['id']!r} on the topic of {topic_id!r}")
        if "presence" in body and body["presence"] not in PRESENCES:
            raise Malformed(f"presence {body['presence']!r} is none of {', '.join(PRESENCES)}")
        view = PumpView.from_json(body)
        view.id = view_id(ward, view.id)
        view.link = view_id(ward, view.link)
        view.station = view.station or ward
        if self.gateways.get(ward) == "offline":
            view.presence, view.offline_reason = OFFLINE, "gateway offline"
        return view

    def _event(self, ward: str, topic: list[str], payload: bytes) -> Event | None:
        event, unknown = event_message(payload, topic)
        if event.id in self._seen:
            self.duplicates += 1
            return None
        if not (isinstance(event, UnknownEvent) and event.kind in KINDS):  # see event_message
            self._seen[event.id] = None
            while len(self._seen) > self._remember:
                self._seen.popitem(last=False)
        if unknown:
            self.unknown.add(ward, event.kind, unknown)
        # the view names pumps itself (see view_id): the id its gateway names the pump by, as in its states
        return msgspec.structs.replace(event, link=view_id(ward, event.link), station=event.station or ward,
                                       pump_id=None if event.pump is None else view_id(ward, topic[0]))

    def _on_status(self, ward: str, status: str, views: dict[str, PumpView]) -> None:
        if status not in ("online", "offline"):
            raise Malformed(f"a status is online or offline, not {status[:40]!r}")
        if ward not in self.gateways and len(self.gateways) >= self.max_pumps:
            raise Malformed(f"more gateways than the view shows pumps ({self.max_pumps})")
        if self.gateways.get(ward) != status:
            log.info("MQTT view: gateway %s is %s", ward, status)
        self.gateways[ward] = status
        if status == "offline":
            # Its pumps may be fine, but nothing says so any more: offline, alarms kept,
            # whatever was heard of them before (see _refresh). Each is online again
            # only with a state of its own once the gateway is back (see _view).
            for vid in self.places.wards.get(ward, ()):
                view = self._views[vid]
                if view.offline_reason != "gateway offline" or view.presence != OFFLINE:
                    views[vid] = self._views[vid] = dataclasses.replace(
                        view, presence=OFFLINE, offline_reason="gateway offline")
