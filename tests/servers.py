"""Real FTP servers for the end-to-end tests: how to start and stop each one.

Every server listens on port 21 of its own loopback alias (ftplib.FTP takes no
port), serves its own temporary root and accepts one user login.
"""

import ctypes
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import time
from dataclasses import dataclass, field

USER_PASSWORD = "Pw-ftp-test1"  # scripts/install-ftp-servers.sh gives the Debian logins this one
UNPACKED = "/opt/corvane-ftp-servers"  # where that script unpacks proftpd and pure-ftpd
INSTALL_HINT = "run scripts/install-ftp-servers.sh as root first"


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
            self.signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.signal(signal.SIGKILL)
                self.process.wait(10)

    def signal(self, number):
        """To the whole process group when the server leads one (see launch), so that
        its per-login children go too."""
        if os.getpgid(self.process.pid) == self.process.pid:
            os.killpg(self.process.pid, number)
        else:
            self.process.send_signal(number)


def clean_env():
    """The environment for a server process: no sanitizer runtime preloaded."""
    env = dict(os.environ)
    for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"):
        env.pop(name, None)
    return env


def greeting(host):
    """The first line the server on host:21 sends, or None when nothing listens there."""
    try:
        with socket.create_connection((host, 21), timeout=1) as s:
            return s.makefile("rb").readline(200).decode(errors="replace").strip()
    except OSError:
        return None


def wait_listening(host, process, seconds=15.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"FTP server on {host} exited with {process.returncode}")
        line = greeting(host)
        if line is not None:
            if line.startswith("220"):
                return
            raise RuntimeError(f"FTP server on {host} greets with {line!r}")
        time.sleep(0.05)
    raise RuntimeError(f"FTP server on {host} did not start within {seconds} s")


def start_pyftpdlib(workdir):
    host = os.environ.get("CORVANE_PYFTPDLIB_HOST", "127.0.0.5")
    root = served_root(workdir)
    script = os.path.join(os.path.dirname(__file__), "..", "scripts", "pyftpd.py")
    return launch(RunningServer("pyftpdlib", host, root, "ftppy"), workdir,
                  [sys.executable, script, host, root, "ftppy", USER_PASSWORD])


def start_vsftpd(workdir, host="127.0.0.2", root=None, show_dots=True):
    server = debian_server("vsftpd", host, "ftpvs", workdir, root)
    os.mkdir(os.path.join(workdir, "empty"))  # vsftpd's secure_chroot_dir: empty, not writable
    dots = "force_dot_files=YES" if show_dots else ""
    return launch(server, workdir, [daemon("/usr/sbin/vsftpd"), config_file("vsftpd.conf", server, workdir, dots)])


def start_proftpd(workdir, host="127.0.0.3", root=None, show_dots=True):
    server = debian_server("proftpd", host, "ftppro", workdir, root)
    dots = 'ListOptions "-A"' if show_dots else ""  # "-A": all but . and ..
    return launch(server, workdir, [daemon(UNPACKED + "/proftpd-core/usr/sbin/proftpd"), "--nodaemon",
                                    "-c", config_file("proftpd.conf", server, workdir, dots)])


def start_pureftpd(workdir, host="127.0.0.4", root=None, show_dots=True):
    server = debian_server("pureftpd", host, "ftppure", workdir, root)
    return launch(server, workdir, [
        daemon(UNPACKED + "/pure-ftpd/usr/sbin/pure-ftpd"),
        "--bind", f"{server.host},21", "--ipv4only", "--login", "unix", "--chrooteveryone",
        "--noanonymous", "--dontresolve", "--minuid", "1", "--passiveportrange", "42000:42999",
        "--maxclientsnumber", "256", "--pidfile", os.path.join(workdir, "pure-ftpd.pid"),
        # A listing longer than 10,000 entries is cut there by default, with a 226 reply.
        "--limitrecursion", "1000000:5", *(["--displaydotfiles"] if show_dots else [])])


def served_root(workdir):
    root = os.path.join(workdir, "root")
    os.makedirs(root, exist_ok=True)
    return root


def debian_server(name, host, user, workdir, root=None):
    """A server whose sessions run as the system user `user`, made by the install script,
    serving `root` (by default a new one in `workdir`)."""
    if os.geteuid() != 0:
        raise RuntimeError(f"{name}: starting it needs root (port 21, sessions as {user})")
    # vsftpd needs the home to exist and pure-ftpd chroots to it (it has no setting for
    # that), so the login's home is a link to this run's root.
    home = os.path.join(UNPACKED, "home", user)
    try:
        entry = pwd.getpwnam(user)
    except KeyError:
        entry = None
    if entry is None or entry.pw_dir != home:
        raise RuntimeError(f"{name}: no user {user} with home {home}; {INSTALL_HINT}")
    root = root or served_root(workdir)
    os.chown(root, entry.pw_uid, entry.pw_gid)
    os.symlink(root, home + ".new")
    os.replace(home + ".new", home)
    return RunningServer(name, host, root, user, extra={"owner": (entry.pw_uid, entry.pw_gid)})


def daemon(path):
    if not os.access(path, os.X_OK):
        raise RuntimeError(f"{path} is missing; {INSTALL_HINT}")
    return path


def config_file(template, server, workdir, dots):
    with open(os.path.join(os.path.dirname(__file__), "ftpd", template)) as f:
        text = f.read().format(host=server.host, root=server.root, workdir=workdir, dots=dots)
    path = os.path.join(workdir, template)
    with open(path, "w") as f:
        f.write(text)
    return path


def launch(server, workdir, argv):
    """Starts `argv` as `server`'s listener and waits until it greets."""
    if greeting(server.host) is not None:
        raise RuntimeError(f"something already listens on {server.host}:21 (a server left from "
                           f"another run? `ss -ltnp` names it)")
    log_path = os.path.join(workdir, "server.log")
    with open(log_path, "wb") as log:
        # Its own process group, so that stop() reaches the per-login children too.
        server.process = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, cwd=workdir,
                                          env=clean_env(), start_new_session=True,
                                          preexec_fn=die_with_parent)
    try:
        wait_listening(server.host, server.process)
    except Exception as error:
        server.stop()
        with open(log_path, errors="replace") as log:
            raise RuntimeError(f"{server.name}: {error}; its output:\n{log.read()[-2000:]}") from None
    return server


def die_with_parent():
    """For a pytest killed outright, which runs no finalizer: the kernel sends the server SIGTERM."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


# The servers the end-to-end suite runs against, in the order they run.
SERVERS = {
    "pyftpdlib": start_pyftpdlib,
    "vsftpd": start_vsftpd,
    "proftpd": start_proftpd,
    "pureftpd": start_pureftpd,
}

# Second listeners of the Debian daemons on the same roots and logins, left hiding dot-files
# from LIST as they do by default (the suite's own servers list them); pyftpdlib cannot hide them.
HIDING_DOTS = {"vsftpd": "127.0.0.12", "proftpd": "127.0.0.13", "pureftpd": "127.0.0.14"}

# The one table of tests that cannot run on a server: (server, test group) -> reason.
NOT_APPLICABLE = {}


def start(name, workdir, **variant):
    # vsftpd refuses logins when its files are writable by others; a test may have cleared the umask.
    umask = os.umask(0o022)
    try:
        shutil.rmtree(workdir, ignore_errors=True)
        os.makedirs(workdir)
        return SERVERS[name](workdir, **variant)
    finally:
        os.umask(umask)
