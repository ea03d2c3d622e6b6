"""The page's server against hostile peers: foreign names, endless connections,
too many of them, and serving beyond loopback (log-in, TLS)."""

from __future__ import annotations

import base64
import http.client
import json
import socket
import ssl
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Any

import pytest

from tarvelpump.station.settings import passwords
from tarvelpump.station.cli import main
from tarvelpump.station.settings.config import ConfigError, HttpConfig, parse_config
from tarvelpump.station.hub import Hub
from tarvelpump.station.records.model import ONLINE, PumpView, RoundResult, now
from tarvelpump.station.outputs.web import serve

PATHS = ("/", "/api/pumps", "/api/pumps/bed-1", "/api/events", "/metrics", "/events")


def busy_hub() -> Hub:
    hub = Hub()
    t = now()
    views = (PumpView(id="bed-1", label="bed 1", link="radio", addr=1, channel=0, presence=ONLINE, last_seen=t,
                      running=2, running_name="RUN"),)
    hub.publish(RoundResult(link="radio", started=t, duration_s=0.2, exchanges=1, readings=(), events=(),
                            views=views))
    return hub


def ask(port: int, path: str, host: str | None, *, auth: str | None = None, tls: ssl.SSLContext | None = None,
        method: str = "GET") -> tuple[int, dict[str, str], bytes]:
    """One request with exactly the Host header given (None: none at all)."""
    if tls is None:
        conn: http.client.HTTPConnection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    else:
        conn = http.client.HTTPSConnection("127.0.0.1", port, timeout=5, context=tls)
    conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
    if host is not None:
        conn.putheader("Host", host)
    if auth is not None:
        conn.putheader("Authorization", "Basic " + base64.b64encode(auth.encode()).decode())
    conn.endheaders()
    r = conn.getresponse()
    # an event stream never ends: its first bytes say enough
    body = r.read(20) if r.headers.get("Content-Type", "").startswith("text/event-stream") else r.read()
    conn.close()
    return r.status, {k.lower(): v for k, v in r.headers.items()}, body


def closed_within(sock: socket.socket, seconds: float) -> float | None:
    """Seconds until the server closed ``sock`` (None: still open after ``seconds``)."""
    started = time.monotonic()
    sock.settimeout(0.2)
    while time.monotonic() - started < seconds:
        try:
            if sock.recv(4096) == b"":
                return time.monotonic() - started
        except TimeoutError:
            continue
        except ConnectionResetError:
            return time.monotonic() - started
    return None


def test_foreign_names_endless_and_too_many_connections() -> None:
    hub = busy_hub()
    web = HttpConfig(hosts=("ward3.example",), header_timeout=1.0, idle_timeout=1.0, max_connections=8)
    srv = serve(hub, None, port=0, http=web)
    port = srv.port
    try:
        # -- DNS rebinding: a page of evil.example resolved to 127.0.0.1 reads nothing
        for path in PATHS:
            for host in ("evil.example", f"evil.example:{port}", "127.0.0.1.evil.example", None):
                status, _, body = ask(port, path, host)
                assert 400 <= status < 500 and b"bed 1" not in body, (path, host, status)
            for host in (f"127.0.0.1:{port}", f"localhost:{port}", "localhost", f"[::1]:{port}",
                         f"ward3.example:{port}", "WARD3.example"):
                status, _, _ = ask(port, path, host)
                assert status == 200, (path, host, status)

        # -- half a request's headers, or headers one byte at a time: closed within the time-out
        half = socket.create_connection(("127.0.0.1", port))
        half.sendall(b"GET /api/pumps HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        drip = socket.create_connection(("127.0.0.1", port))
        drip.sendall(b"GET /api/pumps HTTP/1.1\r\n")
        silent = socket.create_connection(("127.0.0.1", port))  # never says anything
        started = time.monotonic()
        while time.monotonic() - started < 2.5:
            try:
                drip.sendall(b"X")
            except OSError:
                break
            time.sleep(0.1)
        for sock in (half, drip, silent):
            took = closed_within(sock, 4.0)
            assert took is not None, "a connection without a whole request is still open"
            sock.close()
        # after a response, an idle connection is closed too
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        conn.request("GET", "/api/pumps")
        assert conn.getresponse().read()
        assert closed_within(conn.sock, 4.0) is not None
        conn.close()

        # -- at most max_connections at once: the rest are closed at once, never kept
        idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(30)]
        time.sleep(0.3)
        open_now = [s for s in idle if closed_within(s, 0.3) is None]
        assert len(open_now) <= 8
        for s in idle:
            s.close()
        time.sleep(0.3)
        assert ask(port, "/api/pumps", "127.0.0.1")[0] == 200  # and the page answers again
    finally:
        srv.stop()


RESERVE_CHILD = textwrap.dedent("""
    import resource, socket, sys, time, os
    resource.setrlimit(resource.RLIMIT_NOFILE, (96, 96))
    from tarvelpump.station.settings.config import HttpConfig
    from tarvelpump.station.hub import Hub
    from tarvelpump.station.outputs.web import serve
    srv = serve(Hub(), None, port=0, http=HttpConfig(header_timeout=2.0, max_connections=10_000))
    print(srv.port, flush=True)
    sys.stdin.readline()  # the test's sockets are open now
    files = [open(os.devnull) for _ in range(16)]  # a serial port, the store: still openable
    print("opened", len(files), flush=True)
    sys.stdin.readline()
    srv.stop()
""")


def test_descriptors_are_kept_in_reserve_and_accept_failures_are_quiet(tmp_path: Path) -> None:
    child = subprocess.Popen([sys.executable, "-c", RESERVE_CHILD], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout is not None and child.stdin is not None
        port = int(child.stdout.readline())
        socks = []
        for _ in range(150):  # more than the child's descriptors
            s = socket.socket()
            s.settimeout(2)
            try:
                s.connect(("127.0.0.1", port))
            except OSError:
                s.close()
                continue
            socks.append(s)
        time.sleep(1.0)
        child.stdin.write("\n")
        child.stdin.flush()
        assert child.stdout.readline().split() == ["opened", "16"]
        for s in socks:
            s.close()
        time.sleep(2.5)  # the time-out closes what was left; the page answers again
        assert ask(port, "/api/pumps", "127.0.0.1")[0] == 200
        child.stdin.write("\n")
        child.stdin.flush()
        _, err = child.communicate(timeout=15)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err[-2000:]
    assert err.count("Traceback") == 0 and len(err.splitlines()) < 10, err[-2000:]


def self_signed(folder: Path) -> tuple[Path, Path]:
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out",
                    str(cert), "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                   check=True, capture_output=True)
    return cert, key


def test_beyond_loopback_needs_a_log_in_or_a_stated_choice_and_tls_works(tmp_path: Path, capsys: Any,
                                                                        monkeypatch: pytest.MonkeyPatch) -> None:
    hub = busy_hub()
    # -- the hash comes from the command; the configuration takes it
    monkeypatch.setattr(sys, "stdin", __import__("io").StringIO("correct horse\ncorrect horse\n"))
    assert main(["passwd", "nurse"]) == 0
    line = capsys.readouterr().out.strip().splitlines()[-1]
    assert line.startswith('nurse = "scrypt$') and "correct horse" not in line
    hashed = line.split('"')[1]
    assert passwords.check("correct horse", hashed) and not passwords.check("wrong horse", hashed)
    assert hashed != passwords.hash_password("correct horse")  # salted

    # -- nobody serves beyond loopback by accident: the configuration says so, naming the key
    base: dict[str, Any] = {"link": [{"name": "radio", "port": "/dev/null-radio"}],
                            "pump": [{"label": "bed 1", "link": "radio", "addr": 1}]}
    with pytest.raises(ConfigError) as err:
        parse_config({**base, "station": {"http": "0.0.0.0:8750"}})
    assert err.value.key == "station.http" and "allow_anonymous" in err.value.message
    with pytest.raises(ConfigError) as err:
        parse_config({**base, "http": {"users": {"nurse": "secret"}}})
    assert err.value.key == "http.users.nurse"
    with pytest.raises(ConfigError) as err:
        parse_config({**base, "http": {"cert": str(tmp_path / "none.pem")}})
    assert err.value.key == "http.cert"
    cert, key = self_signed(tmp_path)
    config = parse_config({**base, "station": {"http": "0.0.0.0:0", "http_hosts": ["ward3.example"]},
                           "http": {"users": {"nurse": hashed}, "cert": "cert.pem", "key": "key.pem",
                                    "header_timeout": 2}}, base=tmp_path)
    assert config.web.users == {"nurse": hashed} and config.web.cert == cert and config.web.header_timeout == 2
    with pytest.raises(ValueError, match="allow_anonymous"):
        serve(hub, None, "0.0.0.0", 0)
    # the hospital's view too: refused before it connects, unless its --config gives a log-in
    assert main(["view", "--mqtt", "mqtt://127.0.0.1:9/site", "--http", "0.0.0.0:0", "--seconds", "0.1"]) == 2
    assert "allow_anonymous" in capsys.readouterr().err
    (tmp_path / "view.toml").write_text('[station]\nhttp_hosts = ["desk.example"]\n[http]\nallow_anonymous = true\n')
    from tarvelpump.station.settings.config import load_http
    assert load_http(tmp_path / "view.toml") == HttpConfig(hosts=("desk.example",), allow_anonymous=True)

    # -- basic authentication (and TLS) on every path; still read-only
    tls = ssl.create_default_context(cafile=str(cert))
    srv = serve(hub, None, "0.0.0.0", 0, http=config.web)
    try:
        assert srv.url.startswith("https://")
        for path in PATHS:
            status, headers, body = ask(srv.port, path, "localhost", tls=tls)
            assert status == 401 and headers["www-authenticate"].startswith("Basic ") and b"bed 1" not in body
            assert ask(srv.port, path, "localhost", auth="nurse:wrong horse", tls=tls)[0] == 401
            assert ask(srv.port, path, "localhost", auth="doctor:correct horse", tls=tls)[0] == 401
            assert ask(srv.port, path, "localhost", auth="nurse:correct horse", tls=tls)[0] == 200, path
            assert ask(srv.port, path, "ward3.example", auth="nurse:correct horse", tls=tls)[0] == 200, path
            assert ask(srv.port, path, "evil.example", auth="nurse:correct horse", tls=tls)[0] == 400, path
            assert ask(srv.port, path, "localhost", auth="nurse:correct horse", tls=tls, method="POST")[0] == 405
        status, _, body = ask(srv.port, "/api/pumps", "localhost", auth="nurse:correct horse", tls=tls)
        assert json.loads(body)["pumps"][0]["label"] == "bed 1"
        with pytest.raises((ssl.SSLError, http.client.HTTPException, ConnectionError)):
            ask(srv.port, "/api/pumps", "localhost")  # plain HTTP on the TLS port gets nothing
    finally:
        srv.stop()

    # -- anonymous beyond loopback, when stated
    srv = serve(hub, None, "0.0.0.0", 0, http=HttpConfig(allow_anonymous=True))
    try:
        assert srv.url.startswith("http://")
        assert ask(srv.port, "/api/pumps", f"127.0.0.1:{srv.port}")[0] == 200
    finally:
        srv.stop()
