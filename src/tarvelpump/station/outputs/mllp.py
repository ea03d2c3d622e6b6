"""Delivery of the HL7 outbox to the hospital's integration engine over MLLP.

The store queues each message in the transaction of the round it comes from
(``hl7.Composer``); ``Hl7Publisher`` sends the outbox oldest first, one
message at a time, and waits for its acknowledgement before the next:

- ``AA`` (or ``CA``): accepted; the row leaves the outbox.
- ``AR`` (or ``CR``): refused for now; the same message is sent again later
  (``retry_after``, doubling up to a minute), and nothing overtakes it.
- ``AE`` (or ``CE``): the receiver cannot take this message; it is set aside
  with the receiver's error (an ``hl7_rejected`` event, one error in the log,
  ``counts()["rejected"]``) and the next one goes.

A lost connection, an acknowledgement that does not come within
``ack_timeout`` or one for another message closes the connection; it is
opened again with back-off (up to ``reconnect_max`` seconds) and the oldest
row not accepted is sent again. Delivery is therefore in order and at least
once: a message in flight when the connection went may arrive twice, with
the same MSH-10, by which receivers deduplicate.
"""

from __future__ import annotations

import asyncio
import logging
import threading
from typing import Protocol

import hl7.mllp

from ..settings.config import parse_mllp_url
from ..records.model import Event, RoundResult
from ..records.store import Hl7Row

__all__ = ["Hl7Publisher"]

log = logging.getLogger(__name__)

ACCEPTED = ("AA", "CA")
REFUSED = ("AR", "CR")  # try again later
FAILED = ("AE", "CE")  # this message will not do


class Hl7Outbox(Protocol):
    """What the publisher needs of the store."""

    def hl7_peek(self, limit: int = 1) -> list[Hl7Row]: ...

    def hl7_ack(self, seq: int) -> None: ...

    def hl7_set_aside(self, seq: int, error: str, ack: str = "AE") -> Event | None: ...


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
    """A Hub listener that delivers the store's HL7 outbox to ``url`` (mllp://HOST:PORT).

    ``counts()`` gives what it did so far (for the metrics): ``sent``
    (messages written, repeats included), ``acked``, ``retried`` (``AR``
    answers), ``rejected`` (``AE`` answers, set aside) and ``reconnects``.
    """

    def __init__(self, url: str, store: Hl7Outbox, *, ack_timeout: float = 30.0, connect_timeout: float = 10.0,
                 retry_after: float = 5.0, reconnect_max: float = 30.0) -> None:
        self.url = url
        self.host, self.port = parse_mllp_url(url)
        self._store = store
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
            rows = self._store.hl7_peek(1)
            if not rows:
                try:
                    await asyncio.wait_for(self._kick.wait(), 1.0)
                except asyncio.TimeoutError:
                    pass
                continue
            row = rows[0]
            writer.writeblock(row.text.encode("utf-8"))
            await writer.drain()
            self._count("sent")
            block = await asyncio.wait_for(reader.readblock(), self._ack_timeout)
            code, control, error = parse_ack(block.decode("utf-8", "replace"))
            # one message at a time: an acknowledgement that names none is this one's
            if control and control != row.control_id:
                raise _Protocol(f"an acknowledgement of {control!r} came for {row.control_id!r}")
            if code in ACCEPTED:
                self._store.hl7_ack(row.seq)
                self._count("acked")
                refusals = 0
            elif code in FAILED:
                self._store.hl7_set_aside(row.seq, error or "(no error text)", code)
                self._count("rejected")
                refusals = 0
                log.error("HL7: %s refused the %s of %s (MSH-10 %s) with %s: %s; kept aside, not sent again",
                          self.url, row.kind, row.pump or row.link, row.control_id, code, error or "no text")
            elif code in REFUSED:
                self._count("retried")
                wait = min(60.0, self._retry_after * 2 ** min(refusals, 6))
                if not refusals:
                    log.warning("HL7: %s answered %s to the %s of %s (%s); sending it again in %.1f s",
                                self.url, code, row.kind, row.pump or row.link, error or "no text", wait)
                refusals += 1
                await asyncio.sleep(wait)
            else:
                raise _Protocol(f"unknown acknowledgement code {code!r}")
