"""A real MLLP receiver for the tests: python-hl7's asyncio server on a loopback port, in a thread.

``stop()`` then ``start()`` keeps the port, so a sender reconnects to the same place.
``answer`` decides the acknowledgement of each message: (code, error text).
"""

from __future__ import annotations

import asyncio
import socket
import threading
from collections.abc import Callable

import hl7
import hl7.mllp

Answer = Callable[[str], tuple[str, str]]


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class Receiver:
    def __init__(self, answer: Answer | None = None) -> None:
        self.port = free_port()
        self.answer: Answer = answer or (lambda text: ("AA", ""))
        self.got: list[str] = []  #: every message received, in arrival order, repeats included
        self.lock = threading.Lock()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._server: asyncio.base_events.Server | None = None
        self._writers: set[hl7.mllp.HL7StreamWriter] = set()

    @property
    def url(self) -> str:
        return f"mllp://127.0.0.1:{self.port}"

    def messages(self) -> list[str]:
        with self.lock:
            return list(self.got)

    async def _client(self, reader: hl7.mllp.HL7StreamReader, writer: hl7.mllp.HL7StreamWriter) -> None:
        self._writers.add(writer)
        try:
            while True:
                message = await reader.readmessage()
                text = str(message)
                code, error = self.answer(text)
                with self.lock:
                    self.got.append(text)
                ack = str(message.create_ack(ack_code=code)).rstrip("\r")
                if error:
                    ack += f"|{error}"  # MSA-3, the text of the error
                writer.writeblock(ack.encode("utf-8"))
                await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            self._writers.discard(writer)
            writer.close()

    def start(self) -> Receiver:
        ready = threading.Event()

        def run() -> None:
            loop = asyncio.new_event_loop()
            self._loop = loop
            asyncio.set_event_loop(loop)
            self._server = loop.run_until_complete(hl7.mllp.start_hl7_server(
                self._client, "127.0.0.1", self.port, encoding="utf-8", reuse_address=True))
            ready.set()
            loop.run_forever()
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.close()

        self._thread = threading.Thread(target=run, name="mllp receiver", daemon=True)
        self._thread.start()
        assert ready.wait(5), "the MLLP receiver did not start"
        return self

    def stop(self) -> None:
        """Go away: the listening socket and every connection are closed."""
        loop, thread = self._loop, self._thread
        if loop is None or thread is None:
            return

        async def close() -> None:
            assert self._server is not None
            self._server.close()
            for w in list(self._writers):
                w.close()
            await self._server.wait_closed()
            for task in asyncio.all_tasks():
                if task is not asyncio.current_task():
                    task.cancel()
            loop.stop()

        asyncio.run_coroutine_threadsafe(close(), loop)
        thread.join(5)
        self._loop = self._thread = self._server = None
