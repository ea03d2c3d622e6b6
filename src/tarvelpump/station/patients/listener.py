"""The MLLP listener: ADT and PCIM association reports in, one acknowledgement per message.

python-hl7's asyncio MLLP server (the framing the HL7 sender uses), in a
thread of its own. MLLP has no log-in: a connection from an address
``allow_from`` does not name is closed before anything it sent is read
(when ``allow_from`` is empty the listener is on loopback, see
``PatientsConfig``). Each message is handed to ``take`` (``Bindings.take``)
off the event loop, and its answer written back once it returns, that is
once what it changed is committed. Messages on one connection are taken in
order; connections at most ``max_connections``.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import ipaddress
import logging
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

import hl7.mllp

from .messages import Unusable, ack

__all__ = ["Listener"]

log = logging.getLogger(__name__)

#: the largest message taken (an ADT with its optional segments is a few kilobytes)
MAX_MESSAGE = 1024 * 1024
#: seconds between two log lines about refused addresses
SAID_EVERY_S = 60.0

Network = ipaddress.IPv4Network | ipaddress.IPv6Network


class Listener:
    """Listens on ``host``:``port`` (0: a free one, see ``port``) until ``stop()``."""

    def __init__(self, host: str, port: int, take: Callable[[str], str], *, allow_from: Sequence[str] = (),
                 max_connections: int = 16, application: str = "TARVELPUMP") -> None:
        self.host, self.port = host, port
        self._take = take
        self._allowed: list[Network] = [ipaddress.ip_network(a.strip("[]"), strict=False) for a in allow_from]
        self._max = max_connections
        self._application = application
        self._lock = threading.Lock()
        self._counts = {"connections": 0, "refused_addresses": 0}
        self._said = -SAID_EVERY_S
        self._writers: set[Any] = set()
        self._thread: threading.Thread | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._server: asyncio.base_events.Server | None = None
        self._stopped: asyncio.Event | None = None
        self._pool = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="patients-intake")

    @property
    def address(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"{host}:{self.port}"

    def counts(self) -> dict[str, int]:
        with self._lock:
            return {**self._counts, "open": len(self._writers)}

    def start(self) -> Listener:
        """Listen; ``OSError`` (the port taken, say) is raised here."""
        ready = threading.Event()
        failed: list[BaseException] = []

        def run() -> None:
            asyncio.run(self._main(ready, failed))

        self._thread = threading.Thread(target=run, name="patients-mllp", daemon=True)
        self._thread.start()
        ready.wait(10.0)
        if failed:
            self._thread.join(5.0)
            self._thread = None
            raise failed[0]
        log.info("patients: ADT and PCIM association reports taken on %s", self.address)
        return self

    def stop(self, timeout: float = 5.0) -> None:
        loop, stopped, thread = self._loop, self._stopped, self._thread
        if loop is not None and stopped is not None:
            try:
                loop.call_soon_threadsafe(stopped.set)
            except RuntimeError:
                pass
        if thread is not None:
            thread.join(timeout)
        self._thread = None
        self._pool.shutdown(wait=True)

    async def _main(self, ready: threading.Event, failed: list[BaseException]) -> None:
        self._loop = asyncio.get_running_loop()
        self._stopped = asyncio.Event()
        try:
            self._server = await hl7.mllp.start_hl7_server(self._client, self.host, self.port, encoding="utf-8",
                                                           limit=MAX_MESSAGE)
        except OSError as exc:  # said as the station's own failure, naming the setting (exit 1)
            failed.append(OSError(f"[patients] listen = {self.address}: cannot listen there ({exc.strerror or exc})"))
            ready.set()
            return
        except BaseException as exc:
            failed.append(exc)
            ready.set()
            return
        self.port = int(self._server.sockets[0].getsockname()[1])
        ready.set()
        await self._stopped.wait()
        self._server.close()
        for writer in list(self._writers):
            writer.close()
        await self._server.wait_closed()

    def _allowed_peer(self, peer: Any) -> bool:
        if not self._allowed:
            return True
        try:
            ip = ipaddress.ip_address(str(peer[0]).split("%")[0])
        except (ValueError, TypeError, IndexError):
            return False
        if isinstance(ip, ipaddress.IPv6Address) and ip.ipv4_mapped is not None:
            ip = ip.ipv4_mapped
        return any(ip in net for net in self._allowed)

    async def _client(self, reader: hl7.mllp.HL7StreamReader, writer: hl7.mllp.HL7StreamWriter) -> None:
        peer = writer.get_extra_info("peername")
        if not self._allowed_peer(peer):
            writer.transport.abort()  # refused before a byte of it is read
            with self._lock:
                self._counts["refused_addresses"] += 1
                say = time.monotonic() - self._said >= SAID_EVERY_S
                if say:
                    self._said = time.monotonic()
            if say:
                log.warning("patients: a connection from %s was refused: not in [patients] allow_from", peer)
            return
        with self._lock:
            full = len(self._writers) >= self._max
            if not full:
                self._writers.add(writer)
                self._counts["connections"] += 1
        if full:
            log.warning("patients: a connection from %s was closed: %d are open already", peer, self._max)
            writer.transport.abort()
            return
        loop = asyncio.get_running_loop()
        try:
            while True:
                try:
                    block = await reader.readblock()
                except ValueError:  # larger than MAX_MESSAGE: what follows cannot be framed any more
                    await self._answer(writer, ack("", None, "AR", Unusable(
                        "AR", f"a message larger than {MAX_MESSAGE} bytes is not taken", "MSH^1"),
                        application=self._application))
                    break
                try:
                    text = block.decode("utf-8")
                except UnicodeDecodeError as exc:
                    text = block.decode("latin-1")
                    await self._answer(writer, ack(text, None, "AR", Unusable(
                        "AR", f"not UTF-8 text (byte {exc.start}); MSH-18 UNICODE UTF-8 is taken", "MSH^1^18"),
                        application=self._application))
                    continue
                await self._answer(writer, await loop.run_in_executor(self._pool, self._take, text))
        except (asyncio.IncompleteReadError, hl7.mllp.InvalidBlockError, ConnectionError):
            pass  # the peer went, or sent what is not MLLP: the connection ends
        finally:
            with self._lock:
                self._writers.discard(writer)
            writer.close()

    @staticmethod
    async def _answer(writer: hl7.mllp.HL7StreamWriter, text: str) -> None:
        writer.writeblock(text.encode("utf-8"))
        await writer.drain()
