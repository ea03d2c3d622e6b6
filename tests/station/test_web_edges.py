"""The page's server against hostile peers: foreign names, endless connections,
too many of them, slow sockets and pages that stop reading, serving beyond
loopback (log-in, TLS), password guessing and a certificate with another's key."""

from __future__ import annotations

import base64
import http.client
import json
import logging
import re
import socket
import ssl
import subprocess
import sys
import textwrap
import threading
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


def ask(port: int, path: str, host: str | None = "127.0.0.1", *, auth: str | None = None,
        tls: ssl.SSLContext | None = None, method: str = "GET", source: str = "127.0.0.1",
        ) -> tuple[int, dict[str, str], bytes]:
    """One request with exactly the Host header given (None: none at all), from ``source``."""
    if tls is None:
        conn: http.client.HTTPConnection = http.client.HTTPConnection("127.0.0.1", port, timeout=20,
                                                                      source_address=(source, 0))
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
    assert config.page.users == {"nurse": hashed} and config.page.cert == cert and config.page.header_timeout == 2
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
    srv = serve(hub, None, "0.0.0.0", 0, http=config.page)
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


def metric(port: int, name: str, label: str, **kw: Any) -> float:
    found = re.search(rf'^{name}{{[^}}]*="{label}"}} (\S+)$', ask(port, "/metrics", **kw)[2].decode(), re.MULTILINE)
    return 0.0 if found is None else float(found.group(1))


def rss_mb() -> float:
    return int(re.findall(r"VmRSS:\s+(\d+)", Path("/proc/self/status").read_text())[0]) / 1024


def test_slow_sockets_and_pages_that_stop_reading_leave_room_and_memory(caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.WARNING)
    hub, stop, flood = Hub(), threading.Event(), threading.Event()

    def rounds() -> None:  # twenty pumps changing twenty times a second: some 300 KB/s to each stream
        for tick in range(10 ** 6):
            views = tuple(PumpView(id=f"bed-{k}", label=f"bed {k}", link="radio", addr=k, channel=0, presence=ONLINE,
                                   last_seen=now(), running=2, remaining_s=9000 - tick + k) for k in range(20))
            hub.publish(RoundResult(link="radio", started=now(), duration_s=0.05, exchanges=20, readings=(),
                                    events=(), views=views))
            if stop.wait(0.05):
                return

    def slowloris() -> None:  # a hundred sockets dribbling a request head, back whenever dropped
        socks: list[socket.socket | None] = [None] * 100
        while not flood.is_set():
            for i, s in enumerate(socks):
                try:
                    if s is None:
                        s = socks[i] = socket.create_connection(("127.0.0.1", port), timeout=2)
                        s.sendall(b"GET /api/pumps HTTP/1.1\r\nHost: 127.0.0.1\r\n")
                    s.sendall(b"X")
                except OSError:
                    socks[i] = None
                    if s is not None:
                        s.close()
            flood.wait(0.3)
        for s in socks:
            if s is not None:
                s.close()

    srv = serve(hub, None, port=0, http=HttpConfig(max_connections=40, max_per_address=30, send_timeout=2.0))
    port = srv.port
    threads = [threading.Thread(target=rounds), threading.Thread(target=slowloris)]
    for t in threads:
        t.start()
    try:
        # -- real requests all get through: each takes the place of the oldest head still dribbling
        time.sleep(2.0)
        assert [ask(port, "/api/pumps")[0] for _ in range(20)] == [200] * 20
        assert metric(port, "tarvelpump_http_connections_dropped_total", "evicted") > 0
        flood.set()

        # -- ten pages that never read and one that does
        before = rss_mb()
        stalled = []
        for _ in range(10):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(("127.0.0.1", port))
            s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            stalled.append(s)
        reader = socket.create_connection(("127.0.0.1", port), timeout=10)
        reader.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        deadline = time.monotonic() + 60
        while metric(port, "tarvelpump_http_connections_dropped_total", "stalled") < 10 and time.monotonic() < deadline:
            reading = time.monotonic() + 1
            while time.monotonic() < reading:
                assert reader.recv(1 << 20), "the reading page's stream was closed"
        for s in stalled:  # what was sent is read to its end, and the end is there
            assert closed_within(s, 10.0) is not None, "a page that reads nothing keeps its stream"
            s.close()
        assert rss_mb() - before < 40
        got = b""
        while got.count(b"event: pumps") < 5:  # the page that reads still gets every change
            chunk = reader.recv(1 << 16)
            assert chunk, "the reading page's stream was closed"
            got += chunk
        reader.close()
        said = [r.getMessage() for r in caplog.records if r.name.startswith("tarvelpump")]
        behind = [m for m in said if "read nothing" in m or "fell behind" in m]
        assert 1 <= len(behind) <= 4 and len(said) <= 10, said  # once a minute per address, not once per update
    finally:
        stop.set()
        flood.set()
        for t in threads:
            t.join()
        srv.stop()


def test_password_guessing_is_held_back_and_a_foreign_key_refused_before_the_start(
        tmp_path: Path, caplog: pytest.LogCaptureFixture) -> None:
    # -- a certificate with another certificate's key: one line naming the key, exit 2, before anything opens
    (tmp_path / "ward").mkdir()
    (tmp_path / "other").mkdir()
    self_signed(tmp_path / "ward")
    self_signed(tmp_path / "other")
    subprocess.run(["openssl", "rsa", "-in", str(tmp_path / "ward/key.pem"), "-aes256", "-passout", "pass:x",
                    "-out", str(tmp_path / "locked.pem")], check=True, capture_output=True)
    base: dict[str, Any] = {"link": [{"name": "radio", "port": "/dev/null-radio"}],
                            "pump": [{"label": "bed 1", "link": "radio", "addr": 1}]}
    for key, why in (("other/key.pem", "[http] key and cert must belong together"), ("locked.pem", "encrypted"),
                     ("ward/cert.pem", "no PEM private key")):
        with pytest.raises(ConfigError) as err:
            parse_config({**base, "http": {"cert": "ward/cert.pem", "key": key}}, base=tmp_path)
        assert err.value.key == "http.key" and why in err.value.message, err.value
    (tmp_path / "ward.toml").write_text('[station]\nhttp = "127.0.0.1:0"\n[[link]]\nname = "radio"\n'
                                        'port = "/dev/null-radio"\n[[pump]]\nlabel = "bed 1"\nlink = "radio"\n'
                                        'addr = 1\n[http]\ncert = "ward/cert.pem"\nkey = "other/key.pem"\n')
    for command in ("check", "run"):
        done = subprocess.run([sys.executable, "-m", "tarvelpump", "station", command, "--config",
                               str(tmp_path / "ward.toml")], capture_output=True, text=True, timeout=60, check=False)
        assert done.returncode == 2 and done.stdout == "", (command, done)
        assert done.stderr.count("\n") == 1 and "http.key" in done.stderr and "[http] key" in done.stderr, done

    # -- wrong passwords from one address, then sixty more
    caplog.set_level(logging.WARNING)
    srv = serve(Hub(), None, port=0, http=HttpConfig(users={"nurse": passwords.hash_password("correct horse")}))
    answers: list[int] = []

    def guess(auth: str, source: str = "127.0.0.1") -> tuple[int, dict[str, str]]:
        status, headers, _ = ask(srv.port, "/api/pumps", auth=auth, source=source)
        answers.append(status)
        return status, headers

    try:
        assert [guess("nurse:wrong horse")[0] for _ in range(5)] == [401] * 5
        status, headers = guess("nurse:correct horse")
        assert status == 429 and headers["retry-after"] == "1"  # held back: not even the right one is checked
        time.sleep(1.2)
        assert guess("nurse:wrong horse")[0] == 401
        assert guess("nurse:wrong horse")[1]["retry-after"] == "2"  # twice as long after each wrong one
        sixty = [guess(f"nurse:guess {i}")[0] for i in range(60)]
        assert sixty.count(429) >= 55 and set(sixty) <= {401, 429}, sixty
        assert [guess(f"nurse:guess {i}", "127.0.0.3")[0] for i in range(6)] == [401] * 5 + [429]
        # the nurse elsewhere is slowed a little (her name had ten wrong passwords), never locked out
        assert guess("nurse:correct horse", "127.0.0.2")[0] == 200
        # a page logged in on the guessed-from address keeps working, and clears its count
        assert guess("nurse:correct horse")[0] == 200 and guess("nurse:wrong horse")[0] == 401
        auth = {"auth": "nurse:correct horse", "source": "127.0.0.2"}
        assert metric(srv.port, "tarvelpump_http_auth_failures_total", "wrong", **auth) == answers.count(401)
        assert metric(srv.port, "tarvelpump_http_auth_failures_total", "held", **auth) == answers.count(429)
    finally:
        srv.stop()
    said = [r.getMessage() for r in caplog.records if r.name.startswith("tarvelpump")]
    # said once a minute per address and kind at most (the first wrong one, the hold), never the password
    assert 3 <= len(said) <= 5 and any("127.0.0.1" in m and "held back" in m for m in said), said
    assert any("127.0.0.3" in m for m in said) and not any("horse" in m or "guess" in m for m in said), said
