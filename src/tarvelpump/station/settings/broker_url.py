"""Broker URLs of the station's MQTT output, parsed without the MQTT client.

The command line and the configuration check a URL with this before any
port is opened, and a station without the ``station`` extra can still say
what is wrong with one.
"""

from __future__ import annotations

import dataclasses
import os
import stat
import urllib.parse

__all__ = ["LABEL_MAX", "ROOT", "TOPIC_MAX", "BrokerUrl", "parse_url"]

ROOT = "tarvelpump"
#: MQTT's limit on a topic, in bytes of UTF-8.
TOPIC_MAX = 65_535
#: The longest label or link name the configuration takes; a pump's topic
#: levels (its id, up to four bytes a character, and "state" or "event")
#: must fit beside the URL's own levels.
LABEL_MAX = 256
_OWN_LEVELS = 4 * LABEL_MAX + len("/link//event")

# What a view over a broker holds at most (``station view`` options; see ``MqttSource``):
#: pumps over the whole site, and from one ward (gateway)
VIEW_MAX_PUMPS = 20_000
VIEW_MAX_PUMPS_PER_WARD = 1_000
#: a pump not heard for this long is shown offline, and after this long it is gone
#: (a gateway republishes each state at least every 15 s while it runs)
VIEW_OFFLINE_AFTER_S = 120.0
VIEW_FORGET_AFTER_S = 3600.0


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
        raise ValueError(f"MQTT URL {url}: {what} {_short(text)!r} is not a usable topic level")
    return text


def _short(text: str) -> str:
    return text if len(text) <= 80 else f"{text[:60]}... ({len(text)} characters)"


def parse_url(url: str, *, ward: bool = True) -> BrokerUrl:
    """Parse a broker URL; ``ward=True`` requires ``/site/ward``, else ``/site[/ward]``.

    The user information ends at the URL's last "@", so a password may hold
    "#", "?" or "/" as typed (a topic level writes "@" as %40). A CA file
    named by ``?ca=`` must be there. Raises ``ValueError`` with a message that
    never contains the user information.
    """
    scheme, sep, rest = url.partition("://")
    userinfo, at, rest = rest.rpartition("@")
    shown = _short(f"{scheme}{sep}{rest}" if sep else rest)
    if not sep or scheme not in ("mqtt", "mqtts"):
        raise ValueError(f"MQTT URL {shown}: the scheme must be mqtt:// or mqtts://")
    if "#" in rest:
        raise ValueError(f"MQTT URL {shown}: \"#\" is a topic wildcard, not part of a broker URL")
    parts = urllib.parse.urlsplit(f"{scheme}://{rest}")
    try:
        port = parts.port
    except ValueError:
        raise ValueError(f"MQTT URL {shown}: bad port") from None
    if port == 0:
        raise ValueError(f"MQTT URL {shown}: bad port (0; a broker listens on 1..65535)")
    if not parts.hostname:
        raise ValueError(f"MQTT URL {shown}: no host")
    levels = [urllib.parse.unquote(p) for p in parts.path.strip("/").split("/") if p]
    if len(levels) not in ((2,) if ward else (1, 2)):
        need = "/site/ward" if ward else "/site or /site/ward"
        raise ValueError(f"MQTT URL {shown}: the path must be {need}")
    for level in levels:
        _segment(level, "level", shown)
    if len(levels) == 2 and len(levels[1]) > LABEL_MAX:  # a view refuses a longer ward name unread
        raise ValueError(f"MQTT URL {shown}: the ward takes at most {LABEL_MAX} characters, not {len(levels[1]):,}")
    size = len("/".join((ROOT, *levels)).encode("utf-8", "surrogatepass"))
    if size + _OWN_LEVELS > TOPIC_MAX:
        raise ValueError(f"MQTT URL {shown}: the topic levels take {size:,} bytes; with a pump's own levels "
                         f"they would pass MQTT's {TOPIC_MAX:,}-byte limit on a topic")
    query = urllib.parse.parse_qs(parts.query, keep_blank_values=True)
    unknown = set(query) - {"ca"}
    if unknown:
        raise ValueError(f"MQTT URL {shown}: unknown option(s) {_short(', '.join(sorted(unknown)))}")
    ca_file = query["ca"][-1] if "ca" in query else None
    if ca_file is not None:
        _check_ca(ca_file, shown)
    username = password = None
    if at:
        user, colon, secret = userinfo.partition(":")
        username = urllib.parse.unquote(user)
        password = urllib.parse.unquote(secret) if colon else None
    tls = parts.scheme == "mqtts"
    return BrokerUrl(
        host=parts.hostname,
        port=port if port is not None else (8883 if tls else 1883),
        tls=tls,
        site=levels[0],
        ward=levels[1] if len(levels) > 1 else None,
        username=username,
        password=password,
        ca_file=ca_file,
    )


def _check_ca(path: str, shown: str) -> None:
    if not path:
        raise ValueError(f"MQTT URL {shown}: ?ca= names no file")
    try:
        st = os.stat(path)
    except OSError as exc:
        raise ValueError(f"MQTT URL {shown}: the CA file {path} cannot be read ({exc.strerror or exc})") from None
    if not stat.S_ISREG(st.st_mode) or not os.access(path, os.R_OK):
        raise ValueError(f"MQTT URL {shown}: the CA file {path} is not a readable file")
