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
import stat
import tomllib
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from .broker_url import LABEL_MAX, parse_url
from .model import RadioMode, id_clash, pump_id

__all__ = ["ConfigError", "LinkConfig", "PollConfig", "PumpConfig", "StationConfig", "StoreConfig",
           "load_config", "parse_config"]


class ConfigError(ValueError):
    """A bad configuration: ``key`` names where, ``message`` says what is wrong."""

    def __init__(self, key: str, message: str) -> None:
        super().__init__(f"{key}: {message}")
        self.key = key
        self.message = message


#: A configuration file larger than this is not one (a mistyped path, a device).
CONFIG_SIZE_MAX = 4 * 1024 * 1024
#: The largest row count SQLite holds: a count beyond it would turn retention off.
ROWS_MAX = 2 ** 63 - 1
BAUD_MIN, BAUD_MAX = 50, 4_000_000
DAY = 86_400.0


@dataclasses.dataclass(frozen=True)
class StoreConfig:
    path: Path = Path("station.sqlite")
    retention_days: float | None = 90.0  #: readings and events older than this go
    max_readings: int | None = None
    max_events: int | None = None
    synchronous: str = "normal"  #: "full": also survive a power cut, an fsync per round
    max_pending: int = 2000  #: rounds kept in memory while the store takes no writes; then exit 1


@dataclasses.dataclass(frozen=True)
class PollConfig:
    gap: float = 0.1  #: seconds between two exchanges on a link
    status_every: int = 1  #: rounds between full status reads
    status_within: float = 60.0  #: every pump gets a full status at least this often (s)
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
class StationConfig:
    name: str = ""
    store: StoreConfig = StoreConfig()
    poll: PollConfig = PollConfig()
    links: tuple[LinkConfig, ...] = ()
    pumps: tuple[PumpConfig, ...] = ()
    http: str | None = None  #: HOST:PORT to serve the page on
    mqtt: str | None = None  #: broker URL to publish to


def load_config(path: str | os.PathLike[str]) -> StationConfig:
    """Read and check a configuration file; a relative store path is taken from the file's folder.

    Only a regular file of at most ``CONFIG_SIZE_MAX`` bytes is read: a
    device, a pipe or a runaway file is refused before a byte of it is.
    """
    p = Path(path)
    try:
        st = os.stat(p)
        if not stat.S_ISREG(st.st_mode):
            raise ConfigError(str(p), f"not a regular file ({_kind(st.st_mode)})")
        # O_NONBLOCK: should the path have become a pipe meanwhile, opening it does not wait for a writer.
        fd = os.open(p, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        with os.fdopen(fd, "rb") as f:
            st = os.fstat(f.fileno())
            if not stat.S_ISREG(st.st_mode):
                raise ConfigError(str(p), f"not a regular file ({_kind(st.st_mode)})")
            raw = f.read(CONFIG_SIZE_MAX + 1)
    except OSError as exc:
        raise ConfigError(str(p), f"cannot read the file ({exc.strerror or exc})") from None
    if len(raw) > CONFIG_SIZE_MAX:
        raise ConfigError(str(p), f"larger than {CONFIG_SIZE_MAX // (1024 * 1024)} MiB: not a station configuration")
    try:
        data = tomllib.loads(raw.decode("utf-8"))
    except UnicodeDecodeError as exc:
        raise ConfigError(str(p), f"not UTF-8 text (byte {exc.start}: {exc.reason})") from None
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(str(p), f"not valid TOML ({exc})") from None
    return parse_config(data, base=Path(os.path.abspath(p)).parent)


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a folder"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISFIFO, "a pipe"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "not a plain file"


def device_of(port: str) -> tuple[object, ...]:
    """What a port path stands for: two paths with the same value reach the same device.

    Symlinks and ``..`` are resolved; a device node is its device number (two
    nodes of one device are one device), another existing file its inode, a
    missing path its resolved path (a radio not plugged in yet).
    """
    real = os.path.realpath(port)
    try:
        st = os.stat(real)
    except OSError:
        return ("path", real)
    if stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode):
        return ("device", stat.S_IFMT(st.st_mode), st.st_rdev)
    return ("file", st.st_dev, st.st_ino)


def parse_config(data: Mapping[str, Any], base: Path | None = None) -> StationConfig:
    """Check an already-parsed configuration (the same rules as ``load_config``).

    Every check is a look-up in a table of what came before, so the check
    takes time in proportion to the number of pumps, not its square.
    """
    _known(data, "", {"station", "store", "poll", "link", "pump"})
    station = _table(data, "station")
    _known(station, "station", {"name", "http", "mqtt"})
    store = _table(data, "store")
    _known(store, "store", {"path", "retention_days", "max_readings", "max_events", "synchronous",
                   "max_pending"})
    poll = _table(data, "poll")
    _known(poll, "poll", {f.name for f in dataclasses.fields(PollConfig)})

    path = Path(_text(store, "store.path", "path", "station.sqlite"))
    if base is not None and not path.is_absolute():
        path = base / path
    # Whether the file can be a store (a folder, a device, read-only, ...) is said
    # when the store opens, with exit status 1 and the file named.
    synchronous = _text(store, "store.synchronous", "synchronous", "normal")
    if synchronous not in ("normal", "full"):
        raise ConfigError("store.synchronous", f'must be "normal" or "full", got {_show(synchronous)}')
    store_config = StoreConfig(
        path=path,
        retention_days=_number(store, "store.retention_days", "retention_days", 90.0, 0.0, 36_500.0,
                               above=True, allow_none=True),
        max_readings=_integer(store, "store.max_readings", "max_readings", None, 1, ROWS_MAX),
        max_events=_integer(store, "store.max_events", "max_events", None, 1, ROWS_MAX),
        synchronous=synchronous,
        max_pending=_integer(store, "store.max_pending", "max_pending", 2000, 1, 1_000_000) or 2000,
    )
    poll_config = PollConfig(
        gap=_number(poll, "poll.gap", "gap", 0.1, 0.0, 60.0) or 0.0,
        status_every=_integer(poll, "poll.status_every", "status_every", 1, 1, 1000) or 1,
        status_within=_number(poll, "poll.status_within", "status_within", 60.0, 0.0, DAY, above=True) or 60.0,
        offline_after=_integer(poll, "poll.offline_after", "offline_after", 3, 1, 1000) or 3,
        retry_ceiling=_number(poll, "poll.retry_ceiling", "retry_ceiling", 30.0, 0.0, DAY, above=True) or 30.0,
        near_end_s=_integer(poll, "poll.near_end_s", "near_end_s", 600, 0, 7 * 86_400) or 0,
    )

    links: dict[str, LinkConfig] = {}
    devices: dict[str, tuple[object, ...]] = {}  # link name -> its device
    by_device: dict[tuple[object, ...], str] = {}  # device -> the first link on it
    for i, item in enumerate(_array(data, "link")):
        key = f"link[{i}]"
        _known(item, key, {"name", "port", "baud", "timeout", "mode", "guard"})
        name = _name(item, f"{key}.name", "name")
        if name in links:
            raise ConfigError(f"{key}.name", f"{_show(name)} is already the name of another link")
        mode_text = _text(item, f"{key}.mode", "mode", "fixed")
        try:
            mode = RadioMode(mode_text)
        except ValueError:
            raise ConfigError(f"{key}.mode", "must be one of transparent, fixed, master-slave, "
                                             f"got {_show(mode_text)}") from None
        port = _text(item, f"{key}.port", "port", None)
        if base is not None and port and not os.path.isabs(port):
            # Like the store's path: from the configuration's folder, not wherever it was started.
            port = os.fspath(base / port)
        device = device_of(port)
        if device in by_device:
            first = links[by_device[device]]
            raise ConfigError(f"{key}.port", f"{_show(port)} of link {_show(name)} is the same device as "
                                             f"{_show(first.port)} of link {_show(first.name)}: one [[link]] "
                                             "per port")
        links[name] = LinkConfig(
            name=name,
            port=port,
            baud=_integer(item, f"{key}.baud", "baud", 9600, BAUD_MIN, BAUD_MAX) or 9600,
            timeout=_number(item, f"{key}.timeout", "timeout", 1.0, 0.0, 60.0, above=True) or 1.0,
            mode=mode,
            guard=_number(item, f"{key}.guard", "guard", None, 0.0, 60.0),
        )
        devices[name] = device
        by_device[device] = name
    if not links:
        raise ConfigError("link", "at least one [[link]] is needed")

    pumps: list[PumpConfig] = []
    labels: dict[str, PumpConfig] = {}
    ids: dict[str, PumpConfig] = {}
    # A radio address is unique on its device, whatever the links are called.
    slots: dict[tuple[tuple[object, ...], int, int], PumpConfig] = {}
    for i, item in enumerate(_array(data, "pump")):
        key = f"pump[{i}]"
        _known(item, key, {"label", "link", "addr", "channel"})
        label = _name(item, f"{key}.label", "label")
        if label in labels:
            raise ConfigError(f"{key}.label", f"{_show(label)} is already the label of another pump")
        pid = pump_id(label)
        if pid in ids:
            raise ConfigError(f"{key}.label", f"{_show(label)} has the same id ({pid}) as "
                                              f"{_show(ids[pid].label)}: {id_clash(label, ids[pid].label)}")
        link = _text(item, f"{key}.link", "link", None)
        link_config = links.get(link)
        if link_config is None:
            raise ConfigError(f"{key}.link", f"no [[link]] is named {_show(link)} "
                                             f"(links: {', '.join(links)})")
        pump = PumpConfig(
            label=label,
            link=link_config.name,
            # Address 0 is a real address: only a transparent link may leave it out.
            addr=_integer(item, f"{key}.addr", "addr", 0, 0, 0xFFFF,
                          required=link_config.mode is not RadioMode.TRANSPARENT) or 0,
            channel=_integer(item, f"{key}.channel", "channel", 0, 0, 0xFF) or 0,
        )
        slot = (devices[link_config.name], pump.addr, pump.channel)
        taken = slots.get(slot)
        if taken is not None:
            raise ConfigError(f"{key}.addr", f"{_show(taken.label)} already has address {pump.addr}, "
                                             f"channel {pump.channel} on {_show(taken.link)}")
        pumps.append(pump)
        labels[label] = ids[pid] = slots[slot] = pump
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
    return StationConfig(
        name=_name(station, "station.name", "name", ""),
        store=store_config,
        poll=poll_config,
        links=tuple(links.values()),
        pumps=tuple(pumps),
        http=http,
        mqtt=mqtt,
    )


def parse_hostport(text: str) -> tuple[str, int]:
    """"127.0.0.1:8750" -> ("127.0.0.1", 8750); "[::1]:80" for IPv6; port 0 picks a free one."""
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise ValueError(f'must be HOST:PORT, e.g. "127.0.0.1:8750", got {_show(text)}')
    return host.strip("[]"), int(port)


# -- checks ------------------------------------------------------------------

def _show(value: object) -> str:
    if isinstance(value, str):
        if len(value) > 80:  # the key is named; a runaway value is not repeated whole
            value = value[:60] + f"... ({len(value)} characters)"
        return '"' + value.replace('"', '\\"') + '"'
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int) and value.bit_length() > 64:
        return f"an integer of {value.bit_length()} bits"
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
    if "\0" in value:  # no path, label or URL holds one; the system would refuse it later, less clearly
        raise ConfigError(key, "must not hold a NUL character")
    return value


def _name(table: Mapping[str, Any], key: str, name: str, default: str | None = None) -> str:
    """A name people read and topics carry: a label, a link's name, the station's."""
    if default == "" and name not in table:
        return ""
    value = _text(table, key, name, default)
    if len(value) > LABEL_MAX:
        raise ConfigError(key, f"must be at most {LABEL_MAX} characters, got {len(value)}")
    return value


def _integer(table: Mapping[str, Any], key: str, name: str, default: int | None,
             low: int, high: int, *, required: bool = False) -> int | None:
    if name not in table:
        if required:
            raise ConfigError(key, "is required")
        return default
    value = table[name]
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ConfigError(key, f"must be an integer {low}..{high}, got {_show(value)}")
    return value


def _number(table: Mapping[str, Any], key: str, name: str, default: float | None, low: float, high: float, *,
            above: bool = False, allow_none: bool = False) -> float | None:
    """A number from ``low`` (or just above it, ``above``) to ``high``."""
    if name not in table:
        return default
    value = table[name]
    if allow_none and value == "none":
        return None
    ok = (isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
          and (value > low if above else value >= low) and value <= high)
    if not ok:
        what = (f"a number over {low:g} and at most {high:g}" if above else f"a number {low:g}..{high:g}")
        if allow_none:
            what += ' (or "none")'
        raise ConfigError(key, f"must be {what}, got {_show(value)}")
    return float(value)
