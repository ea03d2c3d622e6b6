"""The station's configuration: one TOML file, checked whole before anything opens.

Every mistake is reported with the key it is under (``pump[2].addr``,
counted from 0 as in the file) and what is wrong with it; unknown keys are
refused rather than ignored, since a misspelt threshold silently left at its
default is worse than a station that will not start.
"""

from __future__ import annotations

import dataclasses
import math
import os
import tomllib
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from .broker_url import parse_url
from .model import RadioMode, pump_id

__all__ = ["ConfigError", "Hl7Config", "LinkConfig", "PollConfig", "PumpConfig", "StationConfig", "StoreConfig",
           "load_config", "parse_config", "parse_mllp_url"]


class ConfigError(ValueError):
    """A bad configuration: ``key`` names where, ``message`` says what is wrong."""

    def __init__(self, key: str, message: str) -> None:
        super().__init__(f"{key}: {message}")
        self.key = key
        self.message = message


@dataclasses.dataclass(frozen=True)
class StoreConfig:
    path: Path = Path("station.sqlite")
    retention_days: float | None = 90.0  #: readings and events older than this go
    max_readings: int | None = None
    max_events: int | None = None
    synchronous: str = "normal"  #: "full": also survive a power cut, an fsync per round


@dataclasses.dataclass(frozen=True)
class PollConfig:
    gap: float = 0.1  #: seconds between two exchanges on a link
    status_every: int = 1  #: rounds between full status reads
    offline_after: int = 3  #: silent rounds before a pump counts as offline
    retry_ceiling: float = 30.0  #: an offline pump is retried at least this often (s)
    near_end_s: int = 600  #: remaining time under this raises near_end


@dataclasses.dataclass(frozen=True)
class LinkConfig:
    name: str
    port: str
    baud: int = 9600
    timeout: float = 1.0
    mode: RadioMode = RadioMode.FIXED
    guard: float | None = None  #: None: the link's default


@dataclasses.dataclass(frozen=True)
class PumpConfig:
    label: str
    link: str
    addr: int = 0
    channel: int = 0

    @property
    def id(self) -> str:
        return pump_id(self.label)


@dataclasses.dataclass(frozen=True)
class Hl7Config:
    url: str  #: mllp://HOST:PORT of the hospital's integration engine
    application: str = "TARVELPUMP"  #: MSH-3, sending application
    facility: str = ""  #: MSH-4, sending facility; empty: the station's name
    report_every: float = 60.0  #: seconds between two PCD-01 of an answering pump, at most


@dataclasses.dataclass(frozen=True)
class StationConfig:
    name: str = ""
    store: StoreConfig = StoreConfig()
    poll: PollConfig = PollConfig()
    links: tuple[LinkConfig, ...] = ()
    pumps: tuple[PumpConfig, ...] = ()
    http: str | None = None  #: HOST:PORT to serve the page on
    mqtt: str | None = None  #: broker URL to publish to
    hl7: Hl7Config | None = None  #: HL7 (IHE PCD) to an integration engine


def load_config(path: str | os.PathLike[str]) -> StationConfig:
    """Read and check a configuration file; a relative store path is taken from the file's folder."""
    p = Path(path)
    try:
        with p.open("rb") as f:
            data = tomllib.load(f)
    except OSError as exc:
        raise ConfigError(str(p), f"cannot read the file ({exc.strerror or exc})") from None
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(str(p), f"not valid TOML ({exc})") from None
    except UnicodeDecodeError as exc:  # tomllib reads the bytes as UTF-8 before parsing
        raise ConfigError(str(p), f"not UTF-8 text (byte {exc.start}: {exc.reason})") from None
    return parse_config(data, base=p.parent)


def parse_config(data: Mapping[str, Any], base: Path | None = None) -> StationConfig:
    """Check an already-parsed configuration (the same rules as ``load_config``)."""
    _known(data, "", {"station", "store", "poll", "link", "pump", "hl7"})
    station = _table(data, "station")
    _known(station, "station", {"name", "http", "mqtt"})
    store = _table(data, "store")
    _known(store, "store", {"path", "retention_days", "max_readings", "max_events", "synchronous"})
    poll = _table(data, "poll")
    _known(poll, "poll", {f.name for f in dataclasses.fields(PollConfig)})

    path = Path(_text(store, "store.path", "path", "station.sqlite"))
    if base is not None and not path.is_absolute():
        path = base / path
    synchronous = _text(store, "store.synchronous", "synchronous", "normal")
    if synchronous not in ("normal", "full"):
        raise ConfigError("store.synchronous", f'must be "normal" or "full", got {_show(synchronous)}')
    store_config = StoreConfig(
        path=path,
        retention_days=_number(store, "store.retention_days", "retention_days", 90.0, allow_none=True),
        max_readings=_integer(store, "store.max_readings", "max_readings", None, 1, None),
        max_events=_integer(store, "store.max_events", "max_events", None, 1, None),
        synchronous=synchronous,
    )
    poll_config = PollConfig(
        gap=_number(poll, "poll.gap", "gap", 0.1, minimum=0.0) or 0.0,
        status_every=_integer(poll, "poll.status_every", "status_every", 1, 1, None) or 1,
        offline_after=_integer(poll, "poll.offline_after", "offline_after", 3, 1, None) or 3,
        retry_ceiling=_number(poll, "poll.retry_ceiling", "retry_ceiling", 30.0) or 30.0,
        near_end_s=_integer(poll, "poll.near_end_s", "near_end_s", 600, 0, None) or 0,
    )

    links: list[LinkConfig] = []
    for i, item in enumerate(_array(data, "link")):
        key = f"link[{i}]"
        _known(item, key, {"name", "port", "baud", "timeout", "mode", "guard"})
        name = _text(item, f"{key}.name", "name", None)
        if any(link.name == name for link in links):
            raise ConfigError(f"{key}.name", f"{_show(name)} is already the name of another link")
        mode_text = _text(item, f"{key}.mode", "mode", "fixed")
        try:
            mode = RadioMode(mode_text)
        except ValueError:
            raise ConfigError(f"{key}.mode", "must be one of transparent, fixed, master-slave, "
                                             f"got {_show(mode_text)}") from None
        links.append(LinkConfig(
            name=name,
            port=_text(item, f"{key}.port", "port", None),
            baud=_integer(item, f"{key}.baud", "baud", 9600, 1, None) or 9600,
            timeout=_number(item, f"{key}.timeout", "timeout", 1.0) or 1.0,
            mode=mode,
            guard=_number(item, f"{key}.guard", "guard", None, minimum=0.0, allow_none=True),
        ))
    if not links:
        raise ConfigError("link", "at least one [[link]] is needed")

    pumps: list[PumpConfig] = []
    for i, item in enumerate(_array(data, "pump")):
        key = f"pump[{i}]"
        _known(item, key, {"label", "link", "addr", "channel"})
        label = _text(item, f"{key}.label", "label", None)
        for other in pumps:
            if other.label == label:
                raise ConfigError(f"{key}.label", f"{_show(label)} is already the label of another pump")
            if other.id == pump_id(label):
                raise ConfigError(f"{key}.label", f"{_show(label)} has the same id ({other.id}) as "
                                                  f"{_show(other.label)}: labels must differ in more than case "
                                                  "and punctuation")
        link = _text(item, f"{key}.link", "link", None)
        if not any(li.name == link for li in links):
            raise ConfigError(f"{key}.link", f"no [[link]] is named {_show(link)} "
                                             f"(links: {', '.join(li.name for li in links)})")
        pump = PumpConfig(
            label=label,
            link=link,
            # Address 0 is a real address: only a transparent link may leave it out.
            addr=_integer(item, f"{key}.addr", "addr", 0, 0, 0xFFFF,
                          required=next(li for li in links if li.name == link).mode is not RadioMode.TRANSPARENT) or 0,
            channel=_integer(item, f"{key}.channel", "channel", 0, 0, 0xFF) or 0,
        )
        for other in pumps:
            if (other.link, other.addr, other.channel) == (pump.link, pump.addr, pump.channel):
                raise ConfigError(f"{key}.addr", f"{_show(other.label)} already has address {pump.addr}, "
                                                 f"channel {pump.channel} on {_show(link)}")
        pumps.append(pump)
    if not pumps:
        raise ConfigError("pump", "at least one [[pump]] is needed")

    http = station.get("http")
    if http is not None:
        http = _text(station, "station.http", "http", None)
        try:
            parse_hostport(http)
        except ValueError as exc:
            raise ConfigError("station.http", str(exc)) from None
    mqtt = station.get("mqtt")
    if mqtt is not None:
        mqtt = _text(station, "station.mqtt", "mqtt", None)
        try:
            parse_url(mqtt, ward=True)  # its messages never show the password
        except ValueError as e:
            raise ConfigError("station.mqtt", str(e)) from None
    hl7 = None
    if "hl7" in data:
        table = _table(data, "hl7")
        _known(table, "hl7", {f.name for f in dataclasses.fields(Hl7Config)})
        url = _text(table, "hl7.url", "url", None)
        try:
            parse_mllp_url(url)
        except ValueError as e:
            raise ConfigError("hl7.url", str(e)) from None
        hl7 = Hl7Config(
            url=url,
            application=_text(table, "hl7.application", "application", "TARVELPUMP"),
            facility=_text(table, "hl7.facility", "facility", ""),
            report_every=_number(table, "hl7.report_every", "report_every", 60.0) or 60.0,
        )
    return StationConfig(
        name=_text(station, "station.name", "name", ""),
        store=store_config,
        poll=poll_config,
        links=tuple(links),
        pumps=tuple(pumps),
        http=http,
        mqtt=mqtt,
        hl7=hl7,
    )


def parse_hostport(text: str) -> tuple[str, int]:
    """"127.0.0.1:8750" -> ("127.0.0.1", 8750); "[::1]:80" for IPv6; port 0 picks a free one."""
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise ValueError(f'must be HOST:PORT, e.g. "127.0.0.1:8750", got {_show(text)}')
    return host.strip("[]"), int(port)


def parse_mllp_url(text: str) -> tuple[str, int]:
    """"mllp://host:port" -> (host, port); "mllp://[::1]:2575" for IPv6."""
    scheme, sep, rest = text.partition("://")
    if scheme.lower() != "mllp" or not sep:
        raise ValueError(f'must be mllp://HOST:PORT, e.g. "mllp://127.0.0.1:2575", got {_show(text)}')
    host, port = parse_hostport(rest.rstrip("/"))
    if not port:
        raise ValueError(f"an MLLP receiver needs a port other than 0, got {_show(text)}")
    return host, port


# -- checks ------------------------------------------------------------------

def _show(value: object) -> str:
    if isinstance(value, str):
        return '"' + value.replace('"', '\\"') + '"'
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, dict):
        return "a table"
    if isinstance(value, list):
        return "an array"
    return str(value)


def _known(table: Mapping[str, Any], where: str, names: set[str]) -> None:
    for name in table:
        if name not in names:
            key = f"{where}.{name}" if where else name
            raise ConfigError(key, f"unknown key (known here: {', '.join(sorted(names))})")


def _table(data: Mapping[str, Any], name: str) -> Mapping[str, Any]:
    value = data.get(name, {})
    if not isinstance(value, dict):
        raise ConfigError(name, f"must be a table ([{name}]), got {_show(value)}")
    return value


def _array(data: Mapping[str, Any], name: str) -> list[Mapping[str, Any]]:
    value = data.get(name, [])
    if not isinstance(value, list) or not all(isinstance(v, dict) for v in value):
        raise ConfigError(name, f"must be an array of tables ([[{name}]]), got {_show(value)}")
    return value


def _text(table: Mapping[str, Any], key: str, name: str, default: str | None) -> str:
    if name not in table:
        if default is None:
            raise ConfigError(key, "is required")
        return default
    value = table[name]
    if not isinstance(value, str) or not value.strip():
        raise ConfigError(key, f"must be a non-empty string, got {_show(value)}")
    return value


def _integer(table: Mapping[str, Any], key: str, name: str, default: int | None,
             low: int, high: int | None, *, required: bool = False) -> int | None:
    if name not in table:
        if required:
            raise ConfigError(key, "is required")
        return default
    value = table[name]
    if isinstance(value, bool) or not isinstance(value, int) or value < low or (high is not None and value > high):
        span = f"{low}..{high}" if high is not None else f"{low} or more"
        raise ConfigError(key, f"must be an integer {span}, got {_show(value)}")
    return value


def _number(table: Mapping[str, Any], key: str, name: str, default: float | None, *,
            minimum: float | None = None, allow_none: bool = False) -> float | None:
    if name not in table:
        return default
    value = table[name]
    if allow_none and value == "none":
        return None
    ok = isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
    if minimum is not None:
        ok = ok and value >= minimum
        what = f"a number {minimum:g} or more"
    else:
        ok = ok and value > 0
        what = "a positive number"
    if not ok:
        if allow_none:
            what += ' (or "none")'
        raise ConfigError(key, f"must be {what}, got {_show(value)}")
    return float(value)
