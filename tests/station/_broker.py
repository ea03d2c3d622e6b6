"""A real Mosquitto for the tests: foreground, its own config file, free loopback ports."""

from __future__ import annotations

import getpass
import os
import signal
import socket
import subprocess
import time
from pathlib import Path

MOSQUITTO = "/usr/sbin/mosquitto"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class Broker:
    """``stop()`` then ``start()`` keeps the ports, so clients reconnect to the same place."""

    def __init__(self, folder: Path, *, persistence: bool = False,
                 users: dict[str, str] | None = None, tls: bool = False, acl: str | None = None,
                 options: tuple[str, ...] = ()) -> None:
        self.port, self.tls_port, self.ca = free_port(), free_port(), folder / "cert.pem"
        self.log, self.config = folder / "mosquitto.log", folder / "mosquitto.conf"
        # run as ourselves: as root, mosquitto would drop to a user that cannot read our folder
        lines = [f"listener {self.port} 127.0.0.1", f"user {getpass.getuser()}", "log_type all"]
        if persistence:
            lines += ["persistence true", f"persistence_location {folder}/"]
        if tls:  # a second listener, with a self-signed certificate for 127.0.0.1
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                            "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                            "-keyout", str(folder / "key.pem"), "-out", str(self.ca)],
                           check=True, capture_output=True)
            lines += [f"listener {self.tls_port} 127.0.0.1", f"certfile {self.ca}",
                      f"keyfile {folder / 'key.pem'}"]
        if users:
            (folder / "passwd").touch()
            for user, password in users.items():
                subprocess.run(["mosquitto_passwd", "-b", str(folder / "passwd"), user, password], check=True)
            lines += [f"password_file {folder / 'passwd'}", "allow_anonymous false"]
            if acl is not None:  # who may read and write which topics
                (folder / "acl").write_text(acl)
                lines.append(f"acl_file {folder / 'acl'}")
        else:
            lines.append("allow_anonymous true")
        lines += options  # e.g. "max_queued_messages 0"
        self.config.write_text("\n".join(lines) + "\n")
        self.proc: subprocess.Popen[bytes] | None = None

    def start(self) -> Broker:
        with open(self.log, "ab") as out:
            self.proc = subprocess.Popen([MOSQUITTO, "-c", str(self.config)], stdout=out, stderr=out)
        deadline = time.monotonic() + 5.0
        while self.proc.poll() is None and time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return self
            except OSError:
                time.sleep(0.05)
        raise RuntimeError(f"mosquitto did not start: {self.log.read_text()[-2000:]}")

    def stop(self) -> None:
        if self.proc is not None:
            self.proc.terminate()  # SIGTERM: a persistent broker saves its sessions
            self.proc.wait(timeout=5)
            self.proc = None

    def pause(self, on: bool) -> None:
        """Freeze the broker (SIGSTOP): connections stay up, nothing is answered."""
        assert self.proc is not None
        os.kill(self.proc.pid, signal.SIGSTOP if on else signal.SIGCONT)

    def url(self, path: str, user: str = "") -> str:
        return f"mqtt://{user}{'@' if user else ''}127.0.0.1:{self.port}/{path}"
