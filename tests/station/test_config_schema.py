"""The configuration's one schema: the file's checks, the defaults, settings built in code and the documentation's
reference block all come from the same declarations, and a new table is a few declared lines."""

from __future__ import annotations

import copy
import dataclasses
import re
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import pytest

from tarvelpump.station.settings import schema
from tarvelpump.station.settings.config import (ConfigError, LinkConfig, PollConfig, PumpConfig, StationConfig, StoreConfig,
                                       parse_config)
from tarvelpump.station.records.model import RadioMode
from tarvelpump.station.watch.poller import PollSettings
from tarvelpump.station.settings.schema import (REQUIRED, Choice, FilePath, Flag, Integer, Number, Section, Text, Texts, TextTable,
                                       entries, setting, table)

CONFIGURATION = Path(__file__).resolve().parents[2] / "docs" / "station" / "configuration.md"
MINIMAL: dict[str, Any] = {"link": [{"name": "radio-a", "port": "/dev/ttyUSB9"}],
                           "pump": [{"label": "bed 1", "link": "radio-a", "addr": 1}]}


def refused(make: Any, *args: Any, **kwargs: Any) -> str:
    with pytest.raises(ConfigError) as bad:
        make(*args, **kwargs)
    return str(bad.value)


def test_one_schema_gives_the_checks_the_defaults_and_the_readme(tmp_path: Path) -> None:
    # The poller's settings are the configuration's [poll], checked by the same rules however they are made.
    assert PollSettings is PollConfig
    assert refused(PollConfig, gap=-1) == "poll.gap: must be a number 0..60, got -1"
    assert refused(PollSettings, status_within=0) == \
        "poll.status_within: must be a number over 0 and at most 86400, got 0"
    assert refused(PollConfig, offline_after=True) == "poll.offline_after: must be an integer 1..1000, got true"
    assert refused(LinkConfig, "radio-a", "/dev/ttyUSB0", timeout=1e308) == \
        "link.timeout: must be a number over 0 and at most 60, got 1e+308"
    assert refused(LinkConfig, "radio-a", "/dev/ttyUSB0", mode="point") == \
        'link.mode: must be one of transparent, fixed, master-slave, got "point"'
    assert refused(PumpConfig, "bed 1", "radio-a", addr=70_000) == "pump.addr: must be an integer 0..65535, got 70000"
    assert refused(StoreConfig, synchronous="off") == 'store.synchronous: must be "normal" or "full", got "off"'
    assert refused(StationConfig, http="localhost").startswith("station.http: must be HOST:PORT")
    made = PollConfig(gap=0, status_within=2)
    assert made.gap == 0.0 and isinstance(made.gap, float) and isinstance(made.status_within, float)
    slave = LinkConfig("radio-a", "/dev/ttyUSB0", mode="master-slave")  # type: ignore[arg-type]
    assert slave.mode is RadioMode.MASTER_SLAVE
    assert StoreConfig(path="w.sqlite").path == Path("w.sqlite")  # type: ignore[arg-type]

    # Whatever a file leaves out is the declared default, in every table.
    config = parse_config(MINIMAL, base=tmp_path)
    assert config.poll == PollConfig() and config.store == StoreConfig(path=tmp_path / "station.sqlite")
    assert config.links[0] == LinkConfig("radio-a", "/dev/ttyUSB9") and config.pumps[0] == PumpConfig("bed 1",
                                                                                                      "radio-a", 1)
    assert (config.name, config.http, config.mqtt) == ("", None, None)
    sections: dict[str, tuple[type, Any]] = {"store": (StoreConfig, config.store), "poll": (PollConfig, config.poll),
                                             "link[0]": (LinkConfig, config.links[0]),
                                             "pump[0]": (PumpConfig, config.pumps[0])}
    for where, (section, instance) in sections.items():
        # The unknown-key check lists exactly the declared keys.
        data = copy.deepcopy(MINIMAL)
        name, _, index = where.partition("[")
        target = data[name][0] if index else data.setdefault(name, {})
        target["colour"] = "red"
        known = ", ".join(sorted(f.name for f in dataclasses.fields(section)))
        assert refused(parse_config, data) == f"{where}.colour: unknown key (known here: {known})"
        for f in dataclasses.fields(section):
            if f.default is not dataclasses.MISSING and f.name not in ("path", "addr"):
                assert getattr(instance, f.name) == f.default, (section, f.name)

    # A number far beyond any float is refused naming the key, not a traceback.
    for key in ("gap", "status_within"):
        message = refused(parse_config, {**MINIMAL, "poll": {key: 10 ** 400}})
        assert message.startswith(f"poll.{key}: must be a number") and "an integer of 1329 bits" in message
    assert "an integer of 1329 bits" in refused(parse_config, {**MINIMAL, "store": {"retention_days": -10 ** 400}})

    # fresh: a bound per value the schedule knows, in seconds, checked as any number.
    assert parse_config({**MINIMAL, "poll": {"fresh": {"door": 20}}}).poll.fresh == {"door": 20.0}
    assert PollConfig(fresh={"remaining_s": 30}).fresh == {"remaining_s": 30.0}
    assert refused(parse_config, {**MINIMAL, "poll": {"fresh": {"doors": 20}}}) == \
        "poll.fresh.doors: unknown name (known here: running, door, remaining_s, rate_unit)"
    assert refused(PollConfig, fresh={"door": 0}) == "poll.fresh.door: must be a number over 0 and at most 86400, got 0"
    assert refused(parse_config, {**MINIMAL, "poll": {"fresh": 20}}) == "poll.fresh: must be a table of numbers, got 20"

    # status_every: still read (so existing files keep working), bounded, and said to be superseded.
    assert parse_config({**MINIMAL, "poll": {"status_every": 5}}).poll.status_every == 5
    reference = schema.reference(StationConfig)
    assert re.search(r"^# status_every = 1 +# superseded by status_within", reference, re.M), reference

    # The documented block is the schema's, word for word: defaults, bounds and help.
    text = CONFIGURATION.read_text()
    block = text.split("```toml\n", 1)[1].split("```", 1)[0]
    assert block == reference
    for line in ("gap = 0.1", 'synchronous = "normal"', 'mode = "fixed"', "baud = 9600", 'path = "station.sqlite"',
                 "retention_days = 90.0", "# 50..4000000", "# guard = 0.5"):
        assert line in reference, line
    # ... and the reference is a configuration the station takes, once its examples are in.
    import tomllib
    parsed = tomllib.loads(reference)
    assert parse_config(parsed).poll == PollConfig()


# -- a table added the way a new feature adds one ---------------------------------------------------------------

def _mllp(url: str) -> None:
    if not url.startswith("mllp://"):
        raise ValueError(f'must be an mllp:// URL, got "{url}"')


@dataclasses.dataclass(frozen=True)
class Hl7Config(Section, table="hl7"):
    url: str | None = setting(None, Text(check=_mllp), "where reports go", example="mllp://his:2575")
    sending_facility: str = setting("WARD", Text(limit=20), "MSH-4")
    report_every: float = setting(60.0, Number(1, 3600), "seconds between reports")


@dataclasses.dataclass(frozen=True)
class HttpConfig(Section, table="http"):
    users: Mapping[str, str] = setting({}, TextTable(), "name = hash", example={"nurse": "scrypt$..."})
    allow_anonymous: bool = setting(False, Flag(), "serve beyond loopback without a password")
    cert: str | None = setting(None, FilePath(str), "TLS certificate", example="cert.pem")
    key: str | None = setting(None, FilePath(str), "its private key", example="key.pem")
    level: str = setting("read", Choice("read", "write"), "what a user may do")

    def __post_init__(self) -> None:
        super().__post_init__()
        if (self.cert is None) != (self.key is None):
            raise ConfigError(f"{self.toml_name}.key", "cert and key go together")


@dataclasses.dataclass(frozen=True)
class BedRange(Section, table="beds"):
    first: int = setting(REQUIRED, Integer(1, 99), "first bed", example=1)
    last: int = setting(REQUIRED, Integer(1, 99), "last bed", example=12)

    def __post_init__(self) -> None:
        super().__post_init__()
        if self.last < self.first:
            raise ConfigError(f"{self.toml_name}.last", f"must not be under first ({self.first})")


@dataclasses.dataclass(frozen=True)
class ExtendedConfig(StationConfig):
    http_hosts: tuple[str, ...] = setting((), Texts(), "names the page also answers to", example=["ward3.local"])
    hl7: Hl7Config = table(Hl7Config)
    page: HttpConfig = table(HttpConfig)
    beds: tuple[BedRange, ...] = entries(BedRange)


def test_a_new_table_is_a_few_declared_lines(tmp_path: Path) -> None:
    data = {**MINIMAL, "station": {"http_hosts": ["ward3.local", "ward3"]},
            "hl7": {"url": "mllp://his:2575", "report_every": 30},
            "http": {"users": {"nurse": "scrypt$abc"}, "allow_anonymous": True, "cert": "tls/cert.pem",
                     "key": "/etc/tls/key.pem"},
            "beds": [{"first": 1, "last": 6}, {"first": 7, "last": 7}]}
    config = schema.read_file(ExtendedConfig, data, tmp_path)
    assert config.http_hosts == ("ward3.local", "ward3") and config.hl7.url == "mllp://his:2575"
    assert config.hl7.report_every == 30.0 and config.hl7.sending_facility == "WARD"
    assert dict(config.page.users) == {"nurse": "scrypt$abc"} and config.page.allow_anonymous is True
    assert config.page.cert == str(tmp_path / "tls" / "cert.pem") and config.page.level == "read"
    assert config.page.key == "/etc/tls/key.pem" and [(b.first, b.last) for b in config.beds] == [(1, 6), (7, 7)]
    assert config.links[0].name == "radio-a"  # the tables it had are read as before
    defaults = schema.read_file(ExtendedConfig, MINIMAL, tmp_path)
    assert defaults.hl7 == Hl7Config() and defaults.page == HttpConfig() and defaults.http_hosts == ()
    assert defaults.beds == ()

    def bad(**tables: Any) -> str:
        return refused(schema.read_file, ExtendedConfig, {**MINIMAL, **tables}, tmp_path)

    assert bad(hl7={"url": "http://his"}) == 'hl7.url: must be an mllp:// URL, got "http://his"'
    assert bad(hl7={"report_every": 0.5}) == "hl7.report_every: must be a number 1..3600, got 0.5"
    assert bad(hl7={"sending_facility": "x" * 21}) == "hl7.sending_facility: must be at most 20 characters, got 21"
    assert bad(hl7={"rate": 1}) == "hl7.rate: unknown key (known here: report_every, sending_facility, url)"
    assert bad(hl7=[1]) == "hl7: must be a table ([hl7]), got an array"
    assert bad(http={"allow_anonymous": "yes"}) == 'http.allow_anonymous: must be true or false, got "yes"'
    assert bad(http={"users": {"nurse": ""}}) == 'http.users.nurse: must be a non-empty string, got ""'
    assert bad(http={"users": ["nurse"]}) == "http.users: must be a table of strings, got an array"
    assert bad(http={"level": "all"}) == 'http.level: must be "read" or "write", got "all"'
    assert bad(station={"http_hosts": "ward3"}) == 'station.http_hosts: must be an array of strings, got "ward3"'
    assert bad(station={"http_hosts": ["ok", 3]}) == "station.http_hosts[1]: must be a non-empty string, got 3"
    assert bad(wards={}) == "wards: unknown key (known here: beds, hl7, http, link, patients, poll, pump, station, store)"
    assert bad(http={"cert": "c.pem"}) == "http.key: cert and key go together"
    assert bad(beds=[{"first": 1, "last": 2}, {"first": 5, "last": 4}]) == "beds[1].last: must not be under first (5)"
    assert bad(beds=[{"first": 1}]) == "beds[0].last: is required"
    assert bad(station={"hosts": []}) == \
        "station.hosts: unknown key (known here: http, http_hosts, mqtt, name)"

    reference = schema.reference(ExtendedConfig)
    assert "\n[hl7]\n# url = \"mllp://his:2575\"" in reference and "report_every = 60.0" in reference
    assert '# users = { nurse = "scrypt$..." }' in reference and "allow_anonymous = false" in reference
    assert '# http_hosts = ["ward3.local"]' in reference and "\n[[beds]]\nfirst = 1 " in reference
