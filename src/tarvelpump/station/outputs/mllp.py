"""Delivery of the HL7 output's rows of the outbox to the hospital's integration engine over MLLP.

The store writes each message in the transaction of the round it comes from
(``hl7.Composer`` is the output); ``Hl7Publisher`` sends them oldest first,
the bytes stored, one message at a time, and waits for its acknowledgement
before the next:

- ``AA`` (or ``CA``): accepted; the row leaves the outbox.
- ``AR`` (or ``CR``): refused for now; the same message is sent again later
  (``retry_after``, doubling up to a minute), and nothing overtakes it.
- ``AE`` (or ``CE``): the receiver cannot take this message; it is set aside
  with the receiver's error and the next one goes. An ``hl7_rejected`` event
  says so: committed through the hub like any event (so the terminal,
  ``--json``, the page and MQTT carry it), one error in the log,
  ``counts()["rejected"]``.

While the last answer was a refusal (``AR`` or ``AE``) and none accepted
since, ``status()`` says the receiver is refusing, since when and with what.

A lost connection, an acknowledgement that does not come within
``ack_timeout`` or one for another message closes the connection; it is
opened again with back-off (up to ``reconnect_max`` seconds) and the oldest
row not accepted is sent again. Delivery is therefore in order and at least
once: a message in flight when the connection went may arrive twice, with
the same MSH-10, by which receivers deduplicate.
"""

from __future__ import annotations

import asyncio
import dataclasses
import logging
import threading
from collections.abc import Iterable
from datetime import datetime
from typing import Any, Protocol

import hl7.mllp

from ..settings.config import parse_mllp_url
from ..records.kinds import Hl7Rejected
from ..records.model import RoundResult, now
from ..records.outbox import OutboxRow

__all__ = ["Hl7Publisher"]

log = logging.getLogger(__name__)

ACCEPTED = ("AA", "CA")
REFUSED = ("AR", "CR")  # try again later
FAILED = ("AE", "CE")  # this message will not do


#: the output's name in the outbox
NAME = "hl7"


class Outbox(Protocol):
    """What the publisher needs of the store's outbox (``Store.outbox``)."""

    def peek(self, output: str, limit: int = 100, *, aside: bool = False) -> list[OutboxRow]: ...

    def confirm(self, output: str, seqs: Iterable[int]) -> int: ...

    def set_aside(self, output: str, seq: int, error: str) -> OutboxRow | None: ...


class Publishes(Protocol):
    """Where the publisher's own events go: the hub, which commits them first (``Hub.publish``)."""

    def publish(self, result: RoundResult) -> None: ...


class _Protocol(Exception):
    """The receiver answered something that is not the acknowledgement awaited."""


def parse_ack(text: str) -> tuple[str, str, str]:
    """(MSA-1 code, MSA-2 control id, error text) of an acknowledgement."""
    segments = [s for s in text.replace("\n", "\r").split("\r") if s]
    if not segments or not segments[0].startswith("MSH") or len(segments[0]) < 4:
        raise _Protocol(f"not an HL7 message: {text[:60]!r}")
    sep = segments[0][3]
    fields = {s[:3]: s.split(sep) for s in segments}
    msa = fields.get("MSA")
    if msa is None or len(msa) < 3:
        raise _Protocol(f"no MSA in the acknowledgement: {text[:60]!r}")
    error = msa[3] if len(msa) > 3 else ""
    err = fields.get("ERR")
    if not error and err is not None:  # ERR-8, the user message, else whatever the segment says
        error = err[8] if len(err) > 8 and err[8] else sep.join(err[1:])
    return msa[1], msa[2], error


class Hl7Publisher:
    """A Hub listener that delivers the HL7 rows of ``outbox`` to ``url``
    (mllp://HOST:PORT); its ``hl7_rejected`` events go to ``hub``, named
    for the gateway ``station``.

    ``counts()`` gives what it did so far (for the metrics): ``sent``
    (messages written, repeats included), ``acked``, ``retried`` (``AR``
    answers), ``rejected`` (``AE`` answers, set aside) and ``reconnects``;
    ``status()`` those, where it sends, whether it is connected and whether
    the receiver is refusing.
    """

    def __init__(self, url: str, outbox: Outbox, hub: Publishes, *, station: str = "", ack_timeout: float = 30.0,
                 connect_timeout: float = 10.0, retry_after: float = 5.0, reconnect_max: float = 30.0) -> None:
        self.url = url
        self.station = station
        self.host, self.port = parse_mllp_url(url)
        self._outbox = outbox
        self._hub = hub
        self._owed: OutboxRow | None = None  # refused for good, told, not yet set aside (a store that took no write)
        self._refusing: tuple[datetime, str] | None = None  # since when, and the last refusal
        self._ack_timeout = ack_timeout
        self._connect_timeout = connect_timeout
        self._retry_after = retry_after
        self._reconnect_max = reconnect_max
        self._lock = threading.Lock()
        self._counts = {"sent": 0, "acked": 0, "retried": 0, "rejected": 0, "reconnects": 0}
        self._connected = False
        self._thread: threading.Thread | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._task: asyncio.Task[None] | None = None
        self._kick: asyncio.Event | None = None
        self._stopping = False  # besides the cancel, which asyncio.wait_for may swallow

    # -- any thread --------------------------------------------------------------

    def on_round(self, result: RoundResult) -> None:
        """The store has committed a round (it is the hub's first listener): look at the outbox now."""
        loop, kick = self._loop, self._kick
        if loop is not None and kick is not None:
            try:
                loop.call_soon_threadsafe(kick.set)
            except RuntimeError:  # the loop has just ended
                pass

    def counts(self) -> dict[str, int]:
        with self._lock:
            return dict(self._counts)

    @property
    def connected(self) -> bool:
        with self._lock:
            return self._connected

    def status(self) -> dict[str, Any]:
        """Where it sends and how it fares: ``refusing_since`` and ``refusal``
        while the receiver's last answers refused (None once one is accepted)."""
        with self._lock:
            refusing = self._refusing
            said: dict[str, Any] = {"url": self.url, "connected": self._connected, **self._counts}
        said["refusing_since"] = None if refusing is None else refusing[0].isoformat()
        said["refusal"] = None if refusing is None else refusing[1]
        return said

    def start(self) -> None:
        if self._thread is not None:
            return
        ready = threading.Event()
        self._stopping = False
        log.info("HL7: sending to %s", self.url)
        self._thread = threading.Thread(target=asyncio.run, args=(self._main(ready),), name="hl7-outbox",
                                        daemon=True)
        self._thread.start()
        ready.wait(5.0)

    def stop(self, timeout: float = 5.0) -> None:
        """Stop sending: a message in flight stays in the outbox, for the next start."""
        thread, loop, task = self._thread, self._loop, self._task
        if thread is None:
            return
        self._stopping = True
        if loop is not None and task is not None:
            try:
                loop.call_soon_threadsafe(task.cancel)
            except RuntimeError:
                pass
        thread.join(timeout)
        self._thread = None
        c = self.counts()
        log.info("HL7: stopped (%d sent, %d accepted, %d set aside)", c["sent"], c["acked"], c["rejected"])

    def _count(self, what: str) -> None:
        with self._lock:
            self._counts[what] += 1

    def _set_connected(self, up: bool) -> None:
        with self._lock:
            self._connected = up

    def _answered_with(self, refusal: str | None) -> None:
        with self._lock:
            if refusal is None:
                self._refusing = None
            else:
                self._refusing = (self._refusing[0] if self._refusing else now(), refusal)

    # -- the sender's own thread and loop -----------------------------------------

    async def _main(self, ready: threading.Event) -> None:
        self._loop = asyncio.get_running_loop()
        self._task = asyncio.current_task()
        self._kick = asyncio.Event()
        ready.set()
        backoff = 0.5
        noted = False
        try:
            while not self._stopping:
                try:
                    reader, writer = await asyncio.wait_for(
                        hl7.mllp.open_hl7_connection(self.host, self.port, encoding="utf-8"),
                        self._connect_timeout)
                except (OSError, asyncio.TimeoutError) as exc:
                    if not noted:  # once per outage, not on every retry
                        noted = True
                        log.warning("HL7: cannot connect to %s (%s); messages wait in the store, will keep trying",
                                    self.url, exc or type(exc).__name__)
                    await asyncio.sleep(backoff)
                    backoff = min(self._reconnect_max, backoff * 2)
                    continue
                log.info("HL7: connected to %s", self.url)
                noted = False
                self._set_connected(True)
                before = self._answered()
                try:
                    await self._deliver(reader, writer)
                except asyncio.IncompleteReadError:
                    log.warning("HL7: %s closed the connection; sending again from the oldest message not "
                                "accepted", self.url)
                    self._count("reconnects")
                except (OSError, EOFError, asyncio.TimeoutError, _Protocol,
                        hl7.mllp.InvalidBlockError, ValueError) as exc:
                    log.warning("HL7: connection to %s lost (%s); sending again from the oldest message not "
                                "accepted", self.url, exc or type(exc).__name__)
                    self._count("reconnects")
                except Exception:
                    # a store error must not end delivery: start again shortly
                    log.exception("HL7: delivery to %s failed; trying again", self.url)
                finally:
                    self._set_connected(False)
                    writer.close()
                if self._answered() > before:
                    backoff = 0.5
                else:  # a receiver that takes the connection but no message is not hammered
                    await asyncio.sleep(backoff)
                    backoff = min(self._reconnect_max, backoff * 2)
        except asyncio.CancelledError:
            pass

    def _answered(self) -> int:
        with self._lock:
            return self._counts["acked"] + self._counts["rejected"]

    async def _deliver(self, reader: hl7.mllp.HL7StreamReader, writer: hl7.mllp.HL7StreamWriter) -> None:
        assert self._kick is not None
        refusals = 0
        while not self._stopping:
            self._kick.clear()
            if self._owed is not None:
                self._outbox.set_aside(NAME, self._owed.seq, self._owed.error or "")
                self._owed = None
            rows = self._outbox.peek(NAME, 1)
            if not rows:
                try:
                    await asyncio.wait_for(self._kick.wait(), 1.0)
                except asyncio.TimeoutError:
                    pass
                continue
            row = rows[0]
            writer.writeblock(row.body)
            await writer.drain()
            self._count("sent")
            block = await asyncio.wait_for(reader.readblock(), self._ack_timeout)
            code, control, error = parse_ack(block.decode("utf-8", "replace"))
            # one message at a time: an acknowledgement that names none is this one's
            if control and control != row.key:
                raise _Protocol(f"an acknowledgement of {control!r} came for {row.key!r}")
            if code in ACCEPTED:
                self._outbox.confirm(NAME, (row.seq,))
                self._count("acked")
                self._answered_with(None)
                refusals = 0
            elif code in FAILED:
                self._reject(row, code, error or "(no error text)")
                refusals = 0
            elif code in REFUSED:
                self._count("retried")
                self._answered_with(f"{code}: {error or 'no text'}")
                wait = min(60.0, self._retry_after * 2 ** min(refusals, 6))
                if not refusals:
                    log.warning("HL7: %s answered %s to the %s of %s (%s); sending it again in %.1f s",
                                self.url, code, row.kind, row.pump or row.link, error or "no text", wait)
                refusals += 1
                await asyncio.sleep(wait)
            else:
                raise _Protocol(f"unknown acknowledgement code {code!r}")

    def _reject(self, row: OutboxRow, code: str, error: str) -> None:
        """The receiver will not take ``row``: said (an event committed like any
        other), then set aside. Told first: should the station stop in
        between, the message is sent again and refused again, never untold."""
        self._count("rejected")
        self._answered_with(f"{code}: {error}")
        log.error("HL7: %s refused the %s of %s (MSH-10 %s) with %s: %s; kept aside, not sent again",
                  self.url, row.kind, row.pump or row.link, row.key, code, error)
        event = Hl7Rejected(pump=row.pump, link=row.link, time=now(), station=self.station, message=row.kind,
                            control_id=row.key, ack=code, error=error)
        self._hub.publish(RoundResult(link=row.link, started=event.time, duration_s=0.0, exchanges=0, readings=(),
                                      events=(event,), views=(), partial=True))
        self._owed = dataclasses.replace(row, error=error)
        self._outbox.set_aside(NAME, row.seq, error)
        self._owed = None
