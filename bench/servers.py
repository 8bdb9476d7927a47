"""The benchmark's own servers, each on a loopback address and port of its
own (the end-to-end tests use port 21 of addresses up to 127.0.0.34), with a link proxy in
front of it on the next address.

Every contender reaches the server through the proxy, also on plain
loopback, where the proxy forwards at once: that is where commands and data
connections are counted, for every server alike. On loopback its own
forwarding cost is in every figure; the self-check prints it.
"""

import ctypes
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

from bench.proxy import Proxy, free_port

HERE = os.path.dirname(os.path.abspath(__file__))
PASSWORD = "Pw-bench-1"
VSFTPD = "/usr/sbin/vsftpd"
VSFTPD_USER = "ftp"  # the system user of anonymous sessions


@dataclass
class Server:
    name: str
    host: str
    port: int
    root: str  # the local directory served as "/"
    user: str
    password: str
    process: subprocess.Popen
    owner: tuple = None  # (uid, gid) that files made on disk for the server must have
    proxy: Proxy = None
    workdir: str = ""

    def own(self, path):
        """Gives a file or tree made on disk to the server's login, as the server would have made it."""
        if self.owner is None:
            return
        for top, dirs, files in os.walk(path):
            if top != self.root:  # vsftpd refuses anonymous sessions a root they may write to
                os.chown(top, *self.owner)
            for name in files:
                os.chown(os.path.join(top, name), *self.owner)

    def stop(self):
        if self.proxy:
            self.proxy.stop()
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait(10)
        shutil.rmtree(self.workdir, ignore_errors=True)


def wait_greeting(name, host, port, process, log_path, seconds=15.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            break
        try:
            with socket.create_connection((host, port), timeout=1) as s:
                if s.makefile("rb").readline(200).startswith(b"220"):
                    return
        except OSError:
            time.sleep(0.05)
    with open(log_path, errors="replace") as log:
        output = log.read()[-2000:]
    raise RuntimeError(f"{name} on {host}:{port} did not start; its output:\n{output}")


def die_with_parent():
    """For a benchmark killed outright, which stops nothing: the kernel sends the server SIGTERM."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def launch(name, host, port, argv, workdir):
    log_path = os.path.join(workdir, "server.log")
    with open(log_path, "wb") as log:
        # Its own process group, so that stop() reaches per-session children too.
        process = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, cwd=workdir,
                                   start_new_session=True, preexec_fn=die_with_parent)
    wait_greeting(name, host, port, process, log_path)
    return process


def start_pyftpdlib(host, proxy_host, passive, base):
    workdir = tempfile.mkdtemp(prefix="corvane-bench-pyftpdlib-", dir=base)
    root = os.path.join(workdir, "root")
    os.mkdir(root)
    port = free_port(host, passive)
    process = launch("pyftpdlib", host, port, [
        sys.executable, os.path.join(HERE, "ftpd.py"), host, str(port), root, "bench", PASSWORD,
        str(passive[0]), str(passive[-1]), proxy_host], workdir)
    return Server("pyftpdlib", host, port, root, "bench", PASSWORD, process, workdir=workdir)


def vsftpd_missing():
    """Why vsftpd cannot run here, or None."""
    if not os.access(VSFTPD, os.X_OK):
        return f"{VSFTPD} is not installed"
    if os.geteuid() != 0:
        return "vsftpd needs root"
    try:
        pwd.getpwnam(VSFTPD_USER)
    except KeyError:
        return f"no system user {VSFTPD_USER!r}, which Debian's vsftpd package makes"
    return None


def start_vsftpd(host, proxy_host, passive, base):
    """Anonymous sessions with every write right, as the system user `ftp`: a
    local login would need a home directory of its own, and the test suite's
    logins point theirs at its own runs."""
    workdir = tempfile.mkdtemp(prefix="corvane-bench-vsftpd-", dir=base)
    os.chmod(workdir, 0o755)
    root = os.path.join(workdir, "root")
    os.mkdir(root)  # root's: the benchmark's directories below it are the session's
    entry = pwd.getpwnam(VSFTPD_USER)
    os.mkdir(os.path.join(workdir, "empty"))  # secure_chroot_dir: empty, not writable
    port = free_port(host, passive)
    config = os.path.join(workdir, "vsftpd.conf")
    settings = dict(
        listen="YES", listen_ipv6="NO", listen_address=host, listen_port=port, background="NO",
        local_enable="NO", anonymous_enable="YES", no_anon_password="YES", ftp_username=VSFTPD_USER,
        anon_root=root, write_enable="YES", anon_upload_enable="YES", anon_mkdir_write_enable="YES",
        anon_other_write_enable="YES", anon_umask="022", allow_writeable_chroot="YES", force_dot_files="YES",
        pasv_enable="YES", pasv_address=proxy_host, pasv_min_port=passive[0], pasv_max_port=passive[-1],
        max_per_ip=0, max_clients=0, seccomp_sandbox="NO", secure_chroot_dir=os.path.join(workdir, "empty"))
    with open(config, "w") as f:
        f.writelines(f"{key}={value}\n" for key, value in settings.items())
    os.chmod(config, 0o600)  # vsftpd refuses a config file others may write
    old = os.umask(0o022)
    try:
        process = launch("vsftpd", host, port, [VSFTPD, config], workdir)
    finally:
        os.umask(old)
    return Server("vsftpd", host, port, root, "anonymous", "bench@", process,
                  owner=(entry.pw_uid, entry.pw_gid), workdir=workdir)


# name -> (starter, server address, passive ports). The proxy takes the next address.
SERVERS = {
    "pyftpdlib": (start_pyftpdlib, "127.0.0.41", range(46000, 46200)),
    "vsftpd": (start_vsftpd, "127.0.0.43", range(47000, 47200)),
}


def start(name, rtt_ms, base=None, handshake=True, rate_mibps=None):
    starter, host, passive = SERVERS[name]
    proxy_host = host[:host.rindex(".") + 1] + str(int(host.rsplit(".", 1)[1]) + 1)
    server = starter(host, proxy_host, passive, base)
    try:
        server.proxy = Proxy(proxy_host, free_port(proxy_host, passive), host, server.port, passive, rtt_ms,
                             handshake, rate_mibps)
    except BaseException:
        server.stop()
        raise
    return server
