"""Real FTP servers for the end-to-end tests: how to start and stop each one.

Every server listens on port 21 of its own loopback alias (ftplib.FTP takes no
port), serves its own temporary root and accepts one user login. The FTPS servers
(TLS_SERVERS) refuse plain sessions; they present a certificate made for the run
(tests/certs.py) and are reached through corvane.ftp.connect.
"""

import ctypes
import os
import pwd
import shutil
import signal
import socket
import subprocess
import ssl
import sys
import time
from dataclasses import dataclass, field

import certs

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
    port: int = 21
    tls_ports: dict = field(default_factory=dict)  # TLS mode -> port, for the FTPS servers
    helpers: list = field(default_factory=list)  # further listeners, stopped with this one

    def config_text(self):
        return (f"[ftp]\nhost = {self.host}\nuser = {self.user}\n"
                f"passwd = {self.password}\ntimeout = 20\n")

    def stop(self):
        for helper in self.helpers:
            helper.stop()
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


def greeting(host, port=21, implicit_tls=False):
    """The first line the server on host:port sends, or None when nothing listens there."""
    try:
        with socket.create_connection((host, port), timeout=1) as plain:
            # Unverified: this only waits for the greeting; the tests check the certificate.
            with ssl._create_unverified_context().wrap_socket(plain) if implicit_tls else plain as s:
                return s.makefile("rb").readline(200).decode(errors="replace").strip()
    except OSError:
        return None


def wait_listening(host, process, seconds=15.0, port=21, implicit_tls=False):
    where = f"{host}:{port}"
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"FTP server on {where} exited with {process.returncode}")
        line = greeting(host, port, implicit_tls)
        if line is not None:
            if line.startswith("220"):
                return
            raise RuntimeError(f"FTP server on {where} greets with {line!r}")
        time.sleep(0.05)
    raise RuntimeError(f"FTP server on {where} did not start within {seconds} s")


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
    return launch(server, workdir, [daemon("/usr/sbin/vsftpd"), config_file("vsftpd.conf", server, workdir, dots=dots)])


def start_proftpd(workdir, host="127.0.0.3", root=None, show_dots=True):
    server = debian_server("proftpd", host, "ftppro", workdir, root)
    dots = 'ListOptions "-A"' if show_dots else ""  # "-A": all but . and ..
    return launch(server, workdir, [daemon(UNPACKED + "/proftpd-core/usr/sbin/proftpd"), "--nodaemon",
                                    "-c", config_file("proftpd.conf", server, workdir, dots=dots)])


def start_pureftpd(workdir, host="127.0.0.4", root=None, show_dots=True):
    server = debian_server("pureftpd", host, "ftppure", workdir, root)
    return launch(server, workdir, pureftpd_argv(server, workdir, show_dots))


def pureftpd_argv(server, workdir, show_dots=True):
    return [
        daemon(UNPACKED + "/pure-ftpd/usr/sbin/pure-ftpd"),
        "--bind", f"{server.host},{server.port}", "--ipv4only", "--login", "unix", "--chrooteveryone",
        "--noanonymous", "--dontresolve", "--minuid", "1", "--passiveportrange", "42000:42999",
        "--maxclientsnumber", "256", "--pidfile", os.path.join(workdir, "pure-ftpd.pid"),
        # A listing longer than 10,000 entries is cut there by default, with a 226 reply.
        "--limitrecursion", "1000000:5", *(["--displaydotfiles"] if show_dots else [])]


def start_pyftpdlib_any_port(workdir):
    """pyftpdlib on a free port of 127.0.0.1, which needs no root; its port is in `port`."""
    os.makedirs(workdir)
    root = served_root(workdir)
    script = os.path.join(os.path.dirname(__file__), "..", "scripts", "pyftpd.py")
    server = RunningServer("pyftpdlib", "127.0.0.1", root, "ftppy", port=0)
    with open(os.path.join(workdir, "server.log"), "wb") as log:
        server.process = subprocess.Popen(
            [sys.executable, script, server.host, root, server.user, server.password, "256", "0"],
            stdout=subprocess.PIPE, stderr=log, env=clean_env(), start_new_session=True, preexec_fn=die_with_parent)
    line = server.process.stdout.readline().decode()  # "listening on HOST:PORT", or nothing if it failed
    server.process.stdout.close()  # it prints nothing more
    if not line.startswith("listening on "):
        server.stop()
        raise RuntimeError(f"pyftpdlib did not start: {line!r}; its log is in {workdir}")
    server.port = int(line.rsplit(":", 1)[1])
    return server


def start_vsftpd_tls(workdir):
    """Explicit TLS on port 21 and, from a second listener on the same root, implicit TLS on 990."""
    server = debian_server("vsftpd-tls", "127.0.0.12", "ftpvstls", workdir)
    server.tls_ports = {"explicit": 21, "implicit": 990}
    os.mkdir(os.path.join(workdir, "empty"))
    certificate = make_certificates(server, workdir)
    for mode, port in server.tls_ports.items():
        listener = server if mode == "explicit" else RunningServer(server.name, server.host, server.root,
                                                                   server.user, port=port,
                                                                   tls_ports=server.tls_ports)
        conf = config_file("vsftpd.conf", listener, workdir, f"vsftpd-{mode}.conf")
        with open(conf, "a") as f:
            f.write(fill("vsftpd-tls.conf", certificate=certificate, implicit="YES" if mode == "implicit" else "NO"))
        launch(listener, workdir, [daemon("/usr/sbin/vsftpd"), conf], log=f"server-{mode}.log")
        if listener is not server:
            server.helpers.append(listener)
    return server


def start_pureftpd_tls(workdir):
    server = debian_server("pureftpd-tls", "127.0.0.14", "ftppuretls", workdir)
    server.tls_ports = {"explicit": 21}  # Debian's build has no implicit TLS
    certificate = make_certificates(server, workdir)
    # --tls 3: no plain session, and no plain data connection either.
    return launch(server, workdir, pureftpd_argv(server, workdir, show_dots=False) + ["--tls", "3", "--certfile", certificate])


def make_certificates(server, workdir):
    """The CA file the tests trust (server.extra["ca_file"]); returns the server's key and certificate file."""
    server.extra["ca_file"], certificate = certs.make(workdir, [server.host])
    return certificate


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


def fill(template, **fields):
    with open(os.path.join(os.path.dirname(__file__), "ftpd", template)) as f:
        return f.read().format(**fields)


def config_file(template, server, workdir, name=None, dots=""):
    path = os.path.join(workdir, name or template)
    with open(path, "w") as f:
        f.write(fill(template, host=server.host, root=server.root, workdir=workdir, port=server.port, dots=dots,
                     modules=UNPACKED + "/proftpd-core/usr/lib/proftpd"))
    return path


def launch(server, workdir, argv, log="server.log"):
    """Starts `argv` as `server`'s listener and waits until it greets."""
    if greeting(server.host, server.port) is not None:
        raise RuntimeError(f"something already listens on {server.host}:{server.port} (a server left from "
                           f"another run? `ss -ltnp` names it)")
    log_path = os.path.join(workdir, log)
    with open(log_path, "wb") as log:
        # Its own process group, so that stop() reaches the per-login children too.
        server.process = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, cwd=workdir,
                                          env=clean_env(), start_new_session=True,
                                          preexec_fn=die_with_parent)
    try:
        wait_listening(server.host, server.process, port=server.port,
                       implicit_tls=server.tls_ports.get("implicit") == server.port)
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
HIDING_DOTS = {"vsftpd": "127.0.0.32", "proftpd": "127.0.0.33", "pureftpd": "127.0.0.34"}

# The FTPS servers, which the FTPS tests run against.
TLS_SERVERS = {
    "vsftpd-tls": start_vsftpd_tls,
    "pureftpd-tls": start_pureftpd_tls,
}

# The one table of tests that cannot run on a server: (server, test group) -> reason.
NOT_APPLICABLE = {
    ("pureftpd-tls", "implicit TLS"): "Debian's Pure-FTPd is built without implicit TLS",
    **{(name, "range hashes"): f"{name} hashes no range of a file (only ProFTPD's mod_digest does)"
       for name in ("pyftpdlib", "vsftpd", "pureftpd")},
}


def start(name, workdir, **variant):
    # vsftpd refuses logins when its files are writable by others; a test may have cleared the umask.
    umask = os.umask(0o022)
    try:
        shutil.rmtree(workdir, ignore_errors=True)
        os.makedirs(workdir)
        return {**SERVERS, **TLS_SERVERS}[name](workdir, **variant)
    finally:
        os.umask(umask)
