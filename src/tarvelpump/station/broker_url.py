"""Broker URLs of the station's MQTT output, parsed without the MQTT client.

The command line and the configuration check a URL with this before any
port is opened, and a station without the ``station`` extra can still say
what is wrong with one.
"""

from __future__ import annotations

import dataclasses
import urllib.parse

__all__ = ["ROOT", "BrokerUrl", "parse_url"]

ROOT = "tarvelpump"


@dataclasses.dataclass(frozen=True)
class BrokerUrl:
    """``mqtt[s]://[user[:password]@]host[:port]/site[/ward][?ca=/path/ca.pem]``."""

    host: str
    port: int
    tls: bool
    site: str
    ward: str | None
    username: str | None = None
    password: str | None = dataclasses.field(default=None, repr=False)
    ca_file: str | None = None

    def redacted(self) -> str:
        """The URL as it may be shown: never with the password."""
        user = f"{self.username}:***@" if self.password is not None else (
            f"{self.username}@" if self.username else "")
        path = f"/{self.site}" + (f"/{self.ward}" if self.ward else "")
        return f"{'mqtts' if self.tls else 'mqtt'}://{user}{self.host}:{self.port}{path}"

    def __str__(self) -> str:
        return self.redacted()

    @property
    def base(self) -> str:
        """The topic prefix of the site, or of the ward when the URL names one."""
        return "/".join(p for p in (ROOT, self.site, self.ward) if p)


def _segment(text: str, what: str, url: str) -> str:
    if not text or any(c in text for c in "+#/\0"):
        raise ValueError(f"MQTT URL {url}: {what} {text!r} is not a usable topic level")
    return text


def parse_url(url: str, *, ward: bool = True) -> BrokerUrl:
    """Parse a broker URL; ``ward=True`` requires ``/site/ward``, else ``/site[/ward]``.

    Raises ``ValueError`` with a message that never contains the password.
    """
    parts = urllib.parse.urlsplit(url)
    shown = parts._replace(netloc=parts.netloc.rpartition("@")[2]).geturl()
    if parts.scheme not in ("mqtt", "mqtts"):
        raise ValueError(f"MQTT URL {shown}: the scheme must be mqtt:// or mqtts://")
    try:
        port = parts.port
    except ValueError:
        raise ValueError(f"MQTT URL {shown}: bad port") from None
    if not parts.hostname:
        raise ValueError(f"MQTT URL {shown}: no host")
    levels = [urllib.parse.unquote(p) for p in parts.path.strip("/").split("/") if p]
    if len(levels) not in ((2,) if ward else (1, 2)):
        need = "/site/ward" if ward else "/site or /site/ward"
        raise ValueError(f"MQTT URL {shown}: the path must be {need}")
    for level in levels:
        _segment(level, "level", shown)
    query = urllib.parse.parse_qs(parts.query)
    unknown = set(query) - {"ca"}
    if unknown:
        raise ValueError(f"MQTT URL {shown}: unknown option(s) {', '.join(sorted(unknown))}")
    tls = parts.scheme == "mqtts"
    return BrokerUrl(
        host=parts.hostname,
        port=port or (8883 if tls else 1883),
        tls=tls,
        site=levels[0],
        ward=levels[1] if len(levels) > 1 else None,
        username=urllib.parse.unquote(parts.username) if parts.username is not None else None,
        password=urllib.parse.unquote(parts.password) if parts.password is not None else None,
        ca_file=query["ca"][-1] if "ca" in query else None,
    )
