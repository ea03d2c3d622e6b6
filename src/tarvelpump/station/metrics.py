"""Prometheus metrics of a station, in a registry of its own.

Per pump values are read from the hub's views at scrape time, so a pump
that is gone from the view is gone from the metrics too and nothing has to
be kept in step. Per link figures (round durations, exchange counts) are
accumulated from the rounds as they are published.
"""

from __future__ import annotations

import logging
from collections.abc import Iterable

from prometheus_client import CollectorRegistry, Counter, Gauge, Histogram
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.exposition import CONTENT_TYPE_LATEST, generate_latest
from prometheus_client.registry import Collector

from .hub import Hub
from .model import RoundResult

__all__ = ["CONTENT_TYPE", "StationMetrics"]

log = logging.getLogger(__name__)

CONTENT_TYPE = CONTENT_TYPE_LATEST

_PUMP_LABELS = ["pump", "label", "link", "station"]
# Rounds range from a fraction of a second (a few pumps on a fast line)
# to a minute (sixty pumps behind a slow radio, some of them silent).
_ROUND_BUCKETS = (0.05, 0.1, 0.25, 0.5, 1.0, 2.0, 5.0, 10.0, 30.0, 60.0)


class _PumpCollector(Collector):
    def __init__(self, hub: Hub) -> None:
        self._hub = hub

    def collect(self) -> Iterable[Metric]:
        up = GaugeMetricFamily(
            "tarvelpump_pump_up", "1 if the pump answers, 0 if it is offline", labels=_PUMP_LABELS
        )
        alarm = GaugeMetricFamily(
            "tarvelpump_pump_alarm_active", "1 while the pump reports any alarm", labels=_PUMP_LABELS
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
        for view in sorted(self._hub.views(), key=lambda v: v.id):
            labels = [view.id, view.label, view.link, view.station]
            up.add_metric(labels, 1.0 if view.online else 0.0)
            alarm.add_metric(labels, 1.0 if view.alarms or view.alarm_word else 0.0)
            if view.top_alarm_rank is not None:
                rank.add_metric(labels, float(view.top_alarm_rank))
            if view.remaining_s is not None:
                remaining.add_metric(labels, float(view.remaining_s))
            if view.last_seen is not None:
                seen.add_metric(labels, view.last_seen.timestamp())
            answered.add_metric(labels, float(view.answered))
            silent.add_metric(labels, float(view.silent))
            for code, count in sorted(view.malformed.items()):
                malformed.add_metric([*labels, code], float(count))
        return [up, alarm, rank, remaining, seen, answered, silent, malformed]


class StationMetrics:
    """The metrics of one station; ``on_round`` is its hub listener."""

    def __init__(self, hub: Hub) -> None:
        self.registry = CollectorRegistry(auto_describe=True)
        self.registry.register(_PumpCollector(hub))
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

    def on_round(self, result: RoundResult) -> None:
        if not result.partial:  # early news inside a round is not a round
            self._round_seconds.labels(result.link).observe(result.duration_s)
        self._exchanges.labels(result.link).inc(result.exchanges)
        self._link_up.labels(result.link).set(1.0 if result.link_up else 0.0)

    def render(self) -> bytes:
        """The text exposition format, as a scrape gets it."""
        return generate_latest(self.registry)
