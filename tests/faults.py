"""The fault server of the fault-injection tests: starting it and arming its faults.

scripts/faulty_ftpd.py describes the faults. The server listens on port 21 of
CORVANE_FAULT_HOST (default 127.0.0.8), an address of its own, so that it
never meets the other test servers.
"""

import json
import os
import subprocess
import sys
from dataclasses import dataclass

from servers import USER_PASSWORD, RunningServer, clean_env, wait_listening

# Long enough for any loopback exchange, short enough that a stall costs little.
TIMEOUT = 2


@dataclass
class FaultServer(RunningServer):
    fault_dir: str = ""
    mark: int = 0  # events.log lines before the last arm() or disarm()

    def config_text(self):
        return (f"[ftp]\nhost = {self.host}\nuser = {self.user}\n"
                f"passwd = {self.password}\ntimeout = {TIMEOUT}\n")

    @property
    def _faults(self):
        return os.path.join(self.fault_dir, "faults.json")

    @property
    def _log(self):
        return os.path.join(self.fault_dir, "events.log")

    def arm(self, command, kind, times=1, **details):
        """From now on `command` meets the fault `kind` `times` times."""
        self._write([dict(command=command, kind=kind, times=times, **details)])
        self.mark = len(self._read_log())

    def disarm(self):
        self._write([])
        self.mark = len(self._read_log())

    def events(self):
        """The lines logged since the last arm() or disarm()."""
        return self._read_log()[self.mark:]

    def logins(self):
        return self.events().count("login")

    def commands(self):
        return [e.split(" ", 1)[1] for e in self.events() if e.startswith("command ")]

    def fired(self):
        return [e for e in self.events() if e.startswith("fault ")]

    def _write(self, faults):
        temporary = self._faults + ".test"
        with open(temporary, "w", encoding="utf-8") as f:
            json.dump(faults, f)
        os.replace(temporary, self._faults)

    def _read_log(self):
        try:
            with open(self._log, encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []


def start(workdir):
    host = os.environ.get("CORVANE_FAULT_HOST", "127.0.0.8")
    root = os.path.join(workdir, "root")
    fault_dir = os.path.join(workdir, "faults")
    os.makedirs(root)
    os.makedirs(fault_dir)
    log = open(os.path.join(workdir, "server.log"), "wb")
    process = subprocess.Popen(
        [sys.executable, os.path.join(os.path.dirname(__file__), "..", "scripts", "faulty_ftpd.py"),
         host, root, "ftpfault", USER_PASSWORD, fault_dir],
        stdout=log, stderr=subprocess.STDOUT, env=clean_env())
    server = FaultServer("faults", host, root, "ftpfault", process=process, fault_dir=fault_dir)
    try:
        wait_listening(host, process)
    except Exception:
        server.stop()
        raise
    server.disarm()
    return server
