"""A whole station from its configuration: links, pumps, pollers, the store and the outputs.

The store is the hub's committer, so an event is committed before the page,
the metrics, MQTT or the terminal hear of it (see ``hub``); the pollers
start from each pump's last committed view. Outputs are imported only when
asked for: a station without them needs nothing beyond the standard library,
pyserial and msgspec (the events' declaration).
"""

from __future__ import annotations

import dataclasses
import logging
import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Protocol

from .settings.broker_url import parse_url
from .settings.config import StationConfig, check_exposure, parse_hostport, parse_mllp_url
from .hub import Hub
from .watch.link import Link
from .records.model import RoundResult
from .watch.poller import Poller
from .watch.pump import Pump
from .records.outbox import Output
from .records.store import Store

if TYPE_CHECKING:
    from types import TracebackType

    from .outputs.mllp import Hl7Publisher
    from .patients.bindings import Bindings
    from .patients.listener import Listener

__all__ = ["Station"]

log = logging.getLogger(__name__)


class _Output(Protocol):
    def stop(self) -> None: ...


class _Publisher(_Output, Protocol):
    def start(self) -> None: ...
    def on_round(self, result: RoundResult) -> None: ...
    def status(self) -> dict[str, Any]: ...


class Station:
    """Everything one gateway runs. Nothing is opened until ``start()``
    except the store; ``stop()`` releases it all, whatever failed on the way.

    ``http`` (HOST:PORT), ``mqtt`` (a broker URL) and ``hl7`` (mllp://HOST:PORT)
    override the configuration's own; the empty string turns one off.
    ``hl7``, once started, is the HL7 publisher (its ``counts()`` for the metrics).

    A store that cannot be written, or that another station holds, fails the
    constructor with ``StoreError`` (naming the file, and the holder's PID).
    While running, ``failed`` is set once rounds can no longer be kept for a
    store that takes no writes (or some remain uncommitted at ``stop()``):
    whoever runs the station then stops it and reports ``failure``, one line
    naming the store and the cause.
    """

    def __init__(self, config: StationConfig, *, http: str | None = None, mqtt: str | None = None,
                 hl7: str | None = None) -> None:
        self.config = config
        self.http = (config.http if http is None else http) or None
        self.mqtt = (config.mqtt if mqtt is None else mqtt) or None
        url = config.hl7.url if hl7 is None else hl7
        self.hl7_config = dataclasses.replace(config.hl7, url=url) if url else None
        if self.http is not None:
            # A bad address, or one beyond loopback without a log-in, fails here, before anything runs.
            check_exposure(parse_hostport(self.http)[0], config.page, key="--http" if http else "station.http")
        # Its events carry the name MQTT publishes them under (the ward of the broker URL when it has none):
        # the bytes kept for MQTT are the ones published.
        name = config.name
        if not name and self.mqtt is not None:
            name = parse_url(self.mqtt, ward=True).ward or ""
        self._name = name
        # Who each pump serves ([patients] listen): asked by the composer, kept in the store.
        self.patients: Bindings | None = None
        self.patients_listener: Listener | None = None
        if config.patients.listen is not None:
            from .patients.bindings import Bindings

            self.patients = Bindings(config, station=name)
        outputs: list[Output] = []  # what each writes to the outbox with every round
        if self.mqtt is not None:
            from .outputs.mqtt import EventRows

            outputs.append(EventRows(name))
        if self.hl7_config is not None and url:
            parse_mllp_url(url)
            from .outputs.hl7 import Composer
            from .outputs.hl7_fields import places

            places(config)  # two pumps sent as one bed: refused here, before the store or a port opens
            outputs.append(Composer.of(config, self.patients))
        self.hl7: Hl7Publisher | None = None
        self.hub = Hub()
        s = config.store
        # The outbox keeps what each output has to deliver across outages and restarts.
        self.store = Store(s.path, retention_days=s.retention_days, max_readings=s.max_readings,
                           max_events=s.max_events, synchronous=s.synchronous, outbox_bound=s.outbox_bound)
        for output in outputs:
            self.store.outbox.register(output)
        if self.patients is not None:  # which messages named whom, kept with the round that queues them
            self.store.add_participant(self.patients)
        self.links: dict[str, Link] = {}
        self.pumps: list[Pump] = []
        self.pollers: list[Poller] = []
        try:
            self.hub.commit_through(self.store.commit, name=self.store.path, max_pending=s.max_pending)
            if self.patients is not None:
                self.patients.open(self.store, self.hub.publish)  # goes on from what was kept, before any round
            last = self.store.last_views()
            for lc in config.links:
                link = Link(lc.name, lc.port, baud=lc.baud, timeout=lc.timeout, mode=lc.mode, guard=lc.guard)
                self.links[lc.name] = link
                pumps = [Pump(link, pc.addr, pc.channel, pc.label) for pc in config.pumps if pc.link == lc.name]
                self.pumps += pumps
                if pumps:
                    initial = {pump.label: last[pump.label] for pump in pumps if pump.label in last}
                    self.pollers.append(Poller(link, pumps, config.poll, self.hub, station=name, initial=initial))
        except BaseException:
            for link in self.links.values():
                link.close()
            self.store.close()
            raise
        self.http_url: str | None = None
        self._outputs: list[_Output] = []
        self._started = False
        self._stopped = False

    @property
    def failed(self) -> threading.Event:
        """Set when the station must stop because rounds could not be committed."""
        return self.hub.failed

    @property
    def failure(self) -> str | None:
        """Why ``failed`` is set: one line naming the store and the cause."""
        return self.hub.failure

    def start(self) -> Station:
        if self._started:
            return self
        self._started = True
        try:
            # Ports first: one held by another program stops the start before anything is published.
            for link in self.links.values():
                link.claim()
            if self.mqtt is not None:
                from .outputs.mqtt import MqttPublisher

                self._start("mqtt", MqttPublisher(self.mqtt, self.store.outbox, station=self.config.name))
            if self.hl7_config is not None:
                from .outputs.mllp import Hl7Publisher

                self.hl7 = Hl7Publisher(str(self.hl7_config.url), self.store.outbox, self.hub, station=self._name)
                self._start("hl7", self.hl7)
            if self.patients is not None:
                from .patients.listener import Listener

                p = self.config.patients
                host, port = parse_hostport(str(p.listen))
                self.patients_listener = Listener(host, port, self.patients.take, allow_from=p.allow_from,
                                                  application=self.config.hl7.application).start()
                self._outputs.append(self.patients_listener)
                self.hub.add_output("patients", self._patients_status)
            if self.http is not None:
                from .outputs.web import serve

                host, port = parse_hostport(self.http)
                server = serve(self.hub, self.store, host, port, title=self.config.name,
                               near_end_s=self.config.poll.near_end_s, http=self.config.page)
                self._outputs.append(server)
                self.http_url = server.url
            for poller in self.pollers:
                poller.start()
        except BaseException:
            self.stop()
            raise
        log.info("station %r: %d pumps on %d links", self.config.name, len(self.pumps), len(self.links))
        return self

    def _start(self, name: str, publisher: _Publisher) -> None:
        """Start the publisher of the output ``name``; the hub's health says how it fares."""
        def status() -> dict[str, Any]:
            rows = self.store.outbox.status(name)
            return {**publisher.status(), "waiting": rows.rows, "outbox": rows.to_json()}

        self.hub.add(publisher.on_round)
        self.hub.add_output(name, status)
        self._outputs.append(publisher)
        publisher.start()

    def _patients_status(self) -> dict[str, Any]:
        """The patients' listener and, where the page may show them (to users who log
        in, or with ``show_without_login``), each pump's patients by its id."""
        bindings, listener = self.patients, self.patients_listener
        if bindings is None or listener is None:
            return {}
        status: dict[str, Any] = {"listen": listener.address, **bindings.counts(), **listener.counts()}
        if self.config.page.users or self.config.patients.show_without_login:
            status["pumps"] = bindings.shown()
        return status

    def stop(self) -> None:
        """Stop polling, commit what is kept (``failure`` says if some cannot
        be), then stop the outputs, release the ports and close the store."""
        if self._stopped:
            return
        self._stopped = True
        steps: list[tuple[str, Callable[[], None]]] = [(f"poller of {p.link.name}", p.stop) for p in self.pollers]
        steps.append(("hub", self._commit_the_rest))
        steps += [(type(o).__name__, o.stop) for o in reversed(self._outputs)]
        steps += [(f"link {name}", link.close) for name, link in self.links.items()]
        steps.append(("store", self.store.close))
        for what, step in steps:
            try:
                step()
            except Exception:
                log.exception("station: stopping the %s failed", what)

    def _commit_the_rest(self) -> None:
        self.hub.close()  # what cannot be committed sets ``failure``

    def __enter__(self) -> Station:
        return self.start()

    def __exit__(self, tp: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.stop()
