"""The operations examples against the station itself: every metric the alert
rules and the dashboard name is one a station or view exports, and the rules
pass promtool's own checks and unit tests where promtool is installed."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from tarvelpump.station.hub import Hub
from tarvelpump.station.outputs.metrics import StationMetrics
from tarvelpump.station.records.model import RoundResult, now

from _views import every_presence

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
RULES = EXAMPLES / "prometheus" / "tarvelpump-alerts.yml"
DASHBOARD = EXAMPLES / "grafana" / "tarvelpump-dashboard.json"


def exported() -> set[str]:
    """Every sample name a station with every output, and a view, exposes."""
    hub = Hub()
    at = now()
    views = every_presence(at)
    views[1].malformed = {"INVALID_CHECK_DATA": 2}  # counted per code only once a reply was refused
    hub.publish(RoundResult("radio-a", at, 0.5, 6, (), (), tuple(views)))
    hub.set_store(False, since=at, error="disk full", pending=3)
    hub.set_health("view", {"pumps": {"ward 3": 9}, "max_pumps": 30000, "max_pumps_per_ward": 1000,
                            "refused": [{"ward": "n", "reason": "ward full", "count": 2}], "forgotten": 1,
                            "dropped": 1})
    box = {"rows": 2, "set_aside": 1, "superseded": 0, "bound": 10_000, "over_bound": False, "oldest_age_s": 3.0}
    hub.add_output("hl7", lambda: {"sent": 1, "acked": 1, "retried": 0, "rejected": 1, "waiting": 2,
                                   "connected": True, "outbox": box, "refusing_since": None})
    metrics = StationMetrics(hub)
    metrics.on_round(RoundResult("radio-a", at, 0.5, 6, (), (), ()))
    text = metrics.render().decode()
    return {line.split("{")[0].split()[0] for line in text.splitlines() if line and not line.startswith("#")}


def named(text: str) -> set[str]:
    return set(re.findall(r"\btarvelpump_[a-z0-9_]+", text))


def test_rules_and_dashboard_name_only_exported_metrics() -> None:
    have = exported()
    rules = named(RULES.read_text())
    board = named(json.dumps(json.loads(DASHBOARD.read_text())))
    assert {"tarvelpump_pump_alarm_active", "tarvelpump_link_up", "tarvelpump_store_up"} <= rules
    assert len(board) >= 10
    assert not rules - have, f"rules name metrics no station exports: {sorted(rules - have)}"
    assert not board - have, f"the dashboard names metrics no station exports: {sorted(board - have)}"


@pytest.mark.skipif(shutil.which("promtool") is None, reason="promtool is not installed (apt-get install prometheus)")
def test_promtool_checks_and_unit_tests_the_rules() -> None:
    for args in (["check", "rules", RULES.name], ["test", "rules", "tarvelpump-alerts-test.yml"]):
        done = subprocess.run(["promtool", *args], cwd=RULES.parent, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stdout + done.stderr
        assert "SUCCESS" in done.stdout
