"""Real FTP servers for the end-to-end tests: how to start and stop each one.

Every server listens on port 21 of its own loopback alias (ftplib.FTP takes no
port), serves its own temporary root and accepts one user login.
"""

import os
import shutil
import socket
import subprocess
import sys
import time
from dataclasses import dataclass, field

USER_PASSWORD = "Pw-ftp-test1"


@dataclass
class RunningServer:
    name: str
    host: str
    root: str  # the local directory the server serves as "/"
    user: str
    password: str = USER_PASSWORD
    process: subprocess.Popen = None
    extra: dict = field(default_factory=dict)

    def config_text(self):
        return (f"[ftp]\nhost = {self.host}\nuser = {self.user}\n"
                f"passwd = {self.password}\ntimeout = 20\n")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)


def clean_env():
    """The environment for a server process: no sanitizer runtime preloaded."""
    env = dict(os.environ)
    for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"):
        env.pop(name, None)
    return env


def wait_listening(host, process, seconds=15.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"FTP server on {host} exited with {process.returncode}")
        try:
            with socket.create_connection((host, 21), timeout=1) as s:
                if s.recv(3) == b"220":
                    return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"FTP server on {host} did not start within {seconds} s")


def start_pyftpdlib(workdir):
    host = os.environ.get("CORVANE_PYFTPDLIB_HOST", "127.0.0.5")
    root = os.path.join(workdir, "root")
    os.makedirs(root, exist_ok=True)
    log = open(os.path.join(workdir, "server.log"), "wb")
    process = subprocess.Popen(
        [sys.executable, os.path.join(os.path.dirname(__file__), "..", "scripts", "pyftpd.py"),
         host, root, "ftppy", USER_PASSWORD],
        stdout=log, stderr=subprocess.STDOUT, env=clean_env())
    server = RunningServer("pyftpdlib", host, root, "ftppy", process=process)
    try:
        wait_listening(host, process)
    except Exception:
        server.stop()
        raise
    return server


# The servers the end-to-end suite runs against, in the order they run.
SERVERS = {
    "pyftpdlib": start_pyftpdlib,
}

# The one table of tests that cannot run on a server: (server, test group) -> reason.
NOT_APPLICABLE = {}


def start(name, workdir):
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    return SERVERS[name](workdir)
