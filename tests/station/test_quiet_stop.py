"""A clean stop while a page's event stream is open says nothing but its own lines."""

from __future__ import annotations

import re
import signal
import socket
import subprocess
import sys
import threading
import time



def test_sigterm_with_an_open_event_stream_exits_0_and_quietly() -> None:
    proc = subprocess.Popen([sys.executable, "-m", "tarvelpump", "station", "demo", "--http", "127.0.0.1:0", "--json"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    assert proc.stderr is not None
    said: list[str] = []
    reader = threading.Thread(target=lambda: said.extend(proc.stderr or ()), daemon=True)
    reader.start()
    try:
        deadline = time.monotonic() + 30
        port = None
        while port is None:
            assert time.monotonic() < deadline and proc.poll() is None, "".join(said)
            found = re.search(r"open the page: http://127\.0\.0\.1:(\d+)/", "".join(said))
            port = found and int(found.group(1))
            time.sleep(0.05)
        # a browser's stream, kept open and read: the server has sent its first messages
        with socket.create_connection(("127.0.0.1", port), timeout=10) as stream:
            stream.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n")
            got = b""
            while b"event: alive" not in got:
                chunk = stream.recv(4096)
                assert chunk, got
                got += chunk
            assert got.startswith(b"HTTP/1.1 200")
            proc.send_signal(signal.SIGTERM)
            assert proc.wait(30) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    reader.join(5)
    err = "".join(said)
    assert "Task was destroyed" not in err and "Traceback" not in err and "Error" not in err, err
    # only the station's own lines: where things are, and nothing after the stop
    assert all(line.startswith("tarvelpump station: ") for line in err.splitlines()), err
