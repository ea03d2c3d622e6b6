"""Prometheus metrics of a station, in a registry of its own.

Per pump values are read from the hub's views at scrape time, so a pump
that is gone from the view is gone from the metrics too and nothing has to
be kept in step. A view over a broker adds its bounds and what it refused,
forgot or dropped (``tarvelpump_view_*``). Per link figures (round durations, exchange counts) are
accumulated from the rounds as they are published.
"""

from __future__ import annotations

import logging
from collections.abc import Iterable

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.exposition import CONTENT_TYPE_LATEST, generate_latest
from prometheus_client.registry import Collector

from ..watch import presence
from ..hub import Hub
from ..records.model import OFFLINE, ONLINE, UNHEARD, EventKind, PumpView, RoundResult, now

__all__ = ["CONTENT_TYPE", "StationMetrics"]

log = logging.getLogger(__name__)

CONTENT_TYPE = CONTENT_TYPE_LATEST

_PUMP_LABELS = ["pump", "label", "link", "station"]
# Rounds range from a fraction of a second (a few pumps on a fast line)
# to a minute (sixty pumps behind a slow radio, some of them silent).
_ROUND_BUCKETS = (0.05, 0.1, 0.25, 0.5, 1.0, 2.0, 5.0, 10.0, 30.0, 60.0)
_PRESENCES = (ONLINE, presence.STALE, OFFLINE, UNHEARD)


class _PumpCollector(Collector):
    def __init__(self, hub: Hub, stale_floor_s: float) -> None:
        self._hub = hub
        self._floor = stale_floor_s

    def collect(self) -> Iterable[Metric]:
        up = GaugeMetricFamily(
            "tarvelpump_pump_up",
            "1 while the pump answers and its news is current; 0 offline, not yet heard or stale",
            labels=_PUMP_LABELS,
        )
        shown = GaugeMetricFamily(
            "tarvelpump_pump_presence",
            "1 for the pump's presence (online, stale, offline, unheard), 0 for the others",
            labels=[*_PUMP_LABELS, "presence"],
        )
        alarm = GaugeMetricFamily(
            "tarvelpump_pump_alarm_active",
            "1 while the pump's last known alarm word has any alarm (offline pumps keep theirs)",
            labels=_PUMP_LABELS,
        )
        rank = GaugeMetricFamily(
            "tarvelpump_pump_alarm_rank",
            "AlarmOrder position of the most urgent active alarm (lower is more urgent)",
            labels=_PUMP_LABELS,
        )
        remaining = GaugeMetricFamily(
            "tarvelpump_pump_remaining_seconds",
            "Infusion time left, as last read",
            labels=_PUMP_LABELS,
        )
        seen = GaugeMetricFamily(
            "tarvelpump_pump_last_seen_timestamp_seconds",
            "When the pump last answered (Unix time)",
            labels=_PUMP_LABELS,
        )
        answered = CounterMetricFamily(
            "tarvelpump_pump_answered", "Exchanges the pump answered well", labels=_PUMP_LABELS
        )
        silent = CounterMetricFamily(
            "tarvelpump_pump_silent",
            "Exchanges that got no answer (NO_DATA_RETURN)",
            labels=_PUMP_LABELS,
        )
        malformed = CounterMetricFamily(
            "tarvelpump_pump_malformed",
            "Exchanges whose reply was rejected, by result code",
            labels=[*_PUMP_LABELS, "code"],
        )
        at = now()
        for view in sorted(self._hub.views(), key=lambda v: v.id):
            try:
                figures = _figures(view)
            except (OverflowError, TypeError, ValueError):
                # checked where views come in; should one still hold what no float can, the rest are scraped
                log.warning("metrics: pump %r has figures no float holds; left out of this scrape", view.id)
                continue
            labels = [view.id, view.label, view.link, view.station]
            now_shown = presence.shown_presence(view, at, self._floor)
            up.add_metric(labels, 1.0 if now_shown == ONLINE else 0.0)
            for p in _PRESENCES:
                shown.add_metric([*labels, p], 1.0 if now_shown == p else 0.0)
            alarm.add_metric(labels, 1.0 if view.alarmed else 0.0)
            top_rank, left, answers, silences, rejected = figures
            if top_rank is not None:
                rank.add_metric(labels, top_rank)
            if left is not None:
                remaining.add_metric(labels, left)
            if view.last_seen is not None:
                seen.add_metric(labels, view.last_seen.timestamp())
            answered.add_metric(labels, answers)
            silent.add_metric(labels, silences)
            for code, count in rejected:
                malformed.add_metric([*labels, code], count)
        return [up, shown, alarm, rank, remaining, seen, answered, silent, malformed]


def _figures(view: PumpView) -> tuple[float | None, float | None, float, float, list[tuple[str, float]]]:
    """A pump's numbers as floats, all or none (a float of 10**400 raises)."""
    return (None if view.top_alarm_rank is None else float(view.top_alarm_rank),
            None if view.remaining_s is None else float(view.remaining_s),
            float(view.answered), float(view.silent),
            [(str(code), float(count)) for code, count in sorted(view.malformed.items())])


class _StoreCollector(Collector):
    """The store's health as the hub carries it; nothing where there is no store."""

    def __init__(self, hub: Hub) -> None:
        self._hub = hub

    def collect(self) -> Iterable[Metric]:
        store = self._hub.health().get("store")
        if store is None:
            return []
        up = GaugeMetricFamily("tarvelpump_store_up", "1 while the store takes writes; 0 while rounds wait")
        up.add_metric([], 1.0 if store.get("up") else 0.0)
        pending = GaugeMetricFamily("tarvelpump_store_pending_rounds",
                                    "Rounds kept in memory until the store takes writes again")
        pending.add_metric([], float(store.get("pending") or 0))
        return [up, pending]


class _ViewCollector(Collector):
    """A view over a broker: pumps per ward against its bounds, what was refused,
    forgotten or dropped (``MqttSource`` reports them in the hub's health)."""

    def __init__(self, hub: Hub) -> None:
        self._hub = hub

    def collect(self) -> Iterable[Metric]:
        view = self._hub.health().get("view")
        if not view:
            return []
        pumps = GaugeMetricFamily("tarvelpump_view_pumps", "Pumps the view shows, by ward", labels=["ward"])
        for ward, n in sorted(view.get("pumps", {}).items()):
            pumps.add_metric([ward], float(n))
        most = GaugeMetricFamily("tarvelpump_view_pumps_max",
                                 "Pumps a view shows at most, over the site and from one ward", labels=["scope"])
        most.add_metric(["site"], float(view.get("max_pumps", 0)))
        most.add_metric(["ward"], float(view.get("max_pumps_per_ward", 0)))
        refused = CounterMetricFamily(
            "tarvelpump_view_pumps_refused",
            "States of pumps new to the view turned away: their ward, or the site, was full",
            labels=["ward", "reason"])
        for row in view.get("refused", []):
            refused.add_metric([row["ward"], row["reason"]], float(row["count"]))
        forgotten = CounterMetricFamily("tarvelpump_view_pumps_forgotten",
                                        "Pumps that left the view, not heard for its forget_after")
        forgotten.add_metric([], float(view.get("forgotten", 0)))
        dropped = CounterMetricFamily("tarvelpump_view_messages_dropped", "Malformed messages the view dropped")
        dropped.add_metric([], float(view.get("dropped", 0)))
        unknown = CounterMetricFamily(
            "tarvelpump_view_unknown_events",
            "Events shown without all of their meaning: a kind, or fields, the view does not know (a newer gateway)",
            labels=["kind"])
        for row in view.get("unknown_events", []):
            unknown.add_metric([row["kind"]], float(row["count"]))
        return [pumps, most, refused, forgotten, dropped, unknown]


class _OutboxCollector(Collector):
    """Each output that delivers through the outbox: what waits, for how long, what its receiver refused."""

    def __init__(self, hub: Hub) -> None:
        self._hub = hub

    def collect(self) -> Iterable[Metric]:
        said = {name: out for name, out in self._hub.health().get("outputs", {}).items() if out.get("outbox")}
        if not said:
            return []
        rows = GaugeMetricFamily("tarvelpump_outbox_rows", "Rows waiting in the outbox for the output's receiver",
                                 labels=["output"])
        oldest = GaugeMetricFamily("tarvelpump_outbox_oldest_age_seconds",
                                   "How long the oldest row waiting has waited (0 when none waits)", labels=["output"])
        aside = GaugeMetricFamily("tarvelpump_outbox_set_aside_rows",
                                  "Rows the receiver refused for good, kept aside until retention prunes them",
                                  labels=["output"])
        bound = GaugeMetricFamily("tarvelpump_outbox_bound_rows",
                                  "Rows waiting past which periodic reports replace their unsent older ones",
                                  labels=["output"])
        over = GaugeMetricFamily("tarvelpump_outbox_over_bound",
                                 "1 while more rows wait than the bound (every event is still kept)", labels=["output"])
        superseded = CounterMetricFamily("tarvelpump_outbox_superseded",
                                         "Periodic reports replaced by the pump's newer one past the bound",
                                         labels=["output"])
        connected = GaugeMetricFamily("tarvelpump_output_connected", "1 while the output reaches its receiver",
                                      labels=["output"])
        refusing = GaugeMetricFamily(
            "tarvelpump_output_refusing", "1 while the receiver's last answers refused (AR or AE), none accepted since",
            labels=["output"])
        for name, out in sorted(said.items()):
            box = out["outbox"]
            rows.add_metric([name], float(box.get("rows", 0)))
            oldest.add_metric([name], float(box.get("oldest_age_s") or 0.0))
            aside.add_metric([name], float(box.get("set_aside", 0)))
            bound.add_metric([name], float(box.get("bound", 0)))
            over.add_metric([name], 1.0 if box.get("over_bound") else 0.0)
            superseded.add_metric([name], float(box.get("superseded", 0)))
            connected.add_metric([name], 1.0 if out.get("connected") else 0.0)
            refusing.add_metric([name], 1.0 if out.get("refusing_since") else 0.0)
        return [rows, oldest, aside, bound, over, superseded, connected, refusing]


class _Hl7Collector(Collector):
    """HL7 to the hospital's integration engine: what went, what waits, what the receiver refused."""

    def __init__(self, hub: Hub) -> None:
        self._hub = hub

    def collect(self) -> Iterable[Metric]:
        hl7 = self._hub.health().get("outputs", {}).get("hl7")
        if not hl7:
            return []
        messages = CounterMetricFamily(
            "tarvelpump_hl7_messages",
            "HL7 messages by outcome: sent (repeats included), acked (AA/CA), retried (AR), rejected (AE, set aside)",
            labels=["outcome"])
        for outcome in ("sent", "acked", "retried", "rejected"):
            messages.add_metric([outcome], float(hl7.get(outcome, 0)))
        waiting = GaugeMetricFamily("tarvelpump_hl7_waiting", "HL7 messages in the outbox, not yet acknowledged")
        waiting.add_metric([], float(hl7.get("waiting", 0)))
        connected = GaugeMetricFamily("tarvelpump_hl7_connected", "1 while connected to the MLLP receiver")
        connected.add_metric([], 1.0 if hl7.get("connected") else 0.0)
        return [messages, waiting, connected]


class StationMetrics:
    """The metrics of one station; ``on_round`` is its hub listener.

    ``stale_floor_s``: the least time without news before an online pump
    counts as stale (see ``presence``)."""

    def __init__(self, hub: Hub, *, stale_floor_s: float = presence.STALE_FLOOR_S) -> None:
        self.registry = CollectorRegistry(auto_describe=True)
        self.registry.register(_PumpCollector(hub, stale_floor_s))
        self.registry.register(_StoreCollector(hub))
        self.registry.register(_ViewCollector(hub))
        self.registry.register(_Hl7Collector(hub))
        self.registry.register(_OutboxCollector(hub))
        self._round_seconds = Histogram(
            "tarvelpump_link_round_seconds",
            "Time one polling round of a link took",
            ["link"],
            buckets=_ROUND_BUCKETS,
            registry=self.registry,
        )
        self._exchanges = Counter(
            "tarvelpump_link_exchanges",
            "Exchanges made on a link",
            ["link"],
            registry=self.registry,
        )
        self._link_up = Gauge(
            "tarvelpump_link_up",
            "1 while the link's port is open, 0 while it is gone",
            ["link"],
            registry=self.registry,
        )

        self._polling = Gauge(
            "tarvelpump_link_polling",
            "1 while the link's passes run, 0 while they keep failing (a fault of the station)",
            ["link"],
            registry=self.registry,
        )

    def on_round(self, result: RoundResult) -> None:
        if not result.partial:  # early news inside a round, or an output's event, is not a round
            self._round_seconds.labels(result.link).observe(result.duration_s)
            self._polling.labels(result.link).set(1.0)
            self._link_up.labels(result.link).set(1.0 if result.link_up else 0.0)
        self._exchanges.labels(result.link).inc(result.exchanges)
        for event in result.events:
            if event.kind is EventKind.POLLER_FAILED:
                self._polling.labels(result.link).set(0.0)
            elif event.kind is EventKind.POLLER_RECOVERED:
                self._polling.labels(result.link).set(1.0)

    def render(self) -> bytes:
        """The text exposition format, as a scrape gets it."""
        return generate_latest(self.registry)
