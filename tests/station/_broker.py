"""A real Mosquitto broker for the tests: foreground, own config, a free loopback port."""

from __future__ import annotations

import getpass
import os
import signal
import shutil
import socket
import subprocess
import time
from pathlib import Path

MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class Broker:
    """``stop()`` and ``start()`` again keep the port, so clients reconnect to the same place."""

    def __init__(self, folder: Path, *, persistence: bool = False,
                 users: dict[str, str] | None = None, tls: bool = False) -> None:
        self.folder = folder
        self.port = free_port()
        self.log = folder / "mosquitto.log"
        # run as ourselves: as root, mosquitto would drop to a user that cannot read our folder
        lines = [f"listener {self.port} 127.0.0.1", f"user {getpass.getuser()}",
                 "log_dest stderr", "log_type all"]
        if persistence:
            lines += ["persistence true", f"persistence_location {folder}/"]
        if tls:  # a second listener with a self-signed certificate for 127.0.0.1
            self.tls_port = free_port()
            self.ca = folder / "cert.pem"
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                            "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                            "-keyout", str(folder / "key.pem"), "-out", str(self.ca)],
                           check=True, capture_output=True)
            lines += [f"listener {self.tls_port} 127.0.0.1", f"certfile {self.ca}",
                      f"keyfile {folder / 'key.pem'}"]
        if users:
            pwfile = folder / "passwd"
            pwfile.touch()
            for user, password in users.items():
                subprocess.run(["mosquitto_passwd", "-b", str(pwfile), user, password],
                               check=True, capture_output=True)
            lines += ["allow_anonymous false", f"password_file {pwfile}"]
        else:
            lines.append("allow_anonymous true")
        self.config = folder / "mosquitto.conf"
        self.config.write_text("\n".join(lines) + "\n")
        self.proc: subprocess.Popen[bytes] | None = None

    def start(self) -> Broker:
        with open(self.log, "ab") as out:
            self.proc = subprocess.Popen([MOSQUITTO, "-c", str(self.config)], stdout=out,
                                         stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 5.0
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return self
            except OSError:
                if self.proc.poll() is not None:
                    break
                time.sleep(0.05)
        raise RuntimeError(f"mosquitto did not start: {self.log.read_text()[-2000:]}")

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()  # SIGTERM: a persistent broker saves its sessions
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, 9)
                self.proc.wait()
        self.proc = None

    def pause(self, on: bool) -> None:
        """Freeze the broker (SIGSTOP): connections stay up, nothing is answered."""
        assert self.proc is not None
        os.kill(self.proc.pid, signal.SIGSTOP if on else signal.SIGCONT)

    def url(self, path: str, user: str = "") -> str:
        return f"mqtt://{user}{'@' if user else ''}127.0.0.1:{self.port}/{path}"
