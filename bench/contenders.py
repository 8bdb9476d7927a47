"""The contenders: this package, the protocol floor, and the libraries a user
would pick instead, each doing every job through its own API.

A contender offers the jobs it can do as methods (exists, is_dir, read,
write, upload, glob, delete, mtime; put_tree, get_tree, put_update,
get_update, put_big, get_big, plan_local, plan_remote); a scenario names
the job it times. A contender without the method sits that scenario out.
Before each job, `forget()` clears the contender's caches, so every answer
asks the server.

lftp and rclone are programs: each job is one run of the command, timed
whole (its start, login and exit included), its CPU time taken from the
child's resource usage (the runner adds RUSAGE_CHILDREN to its own).
"""

import fnmatch
import ftplib
import os
import posixpath
import select
import shutil
import subprocess
import tempfile
import warnings

from bench import floor

TIMEOUT = 60
# How long fsspec's FTP waits in the jobs that it may never end (see Fsspec.fallible).
FALLIBLE_WAIT = 5
MiB = 2**20


def port_ftp(port):
    """ftplib.FTP connecting to `port`: its constructor takes no port, the class attribute is the default."""
    return type("PortFTP", (ftplib.FTP,), {"port": port})


class Corvane:
    """FTPPath, through the path class `corvane.ftp.connect` makes for the proxy's address and port."""

    name = "corvane"

    def __init__(self, server):
        from corvane.ftp import connect

        self.path = connect(server.proxy.host, server.proxy.port, user=server.user, password=server.password,
                            timeout=TIMEOUT)

    def forget(self):
        pass  # FTPPath keeps no answers

    def close(self):
        from corvane.base import Local

        key = self.path("/")._key_on_thread()
        client = Local.getattr(key)
        if client is not None:
            client.close()
            Local.delattr(key)

    def exists(self, path):
        return self.path(path).exists

    def is_dir(self, path):
        return self.path(path).is_dir()

    def read(self, path):
        return self.path(path).read()

    def write(self, path, data):
        self.path(path).write(data)

    def upload(self, local, path):
        self.path(path).upload(local)

    put_tree = upload

    def glob(self, path, pattern):
        return list(self.path(path).glob(pattern))

    def delete(self, path):
        self.path(path).delete()

    def mtime(self, path):
        return self.path(path).mtime


class Engine:
    """corvane.ftp.transfer, on the same path class as corvane. Each call logs its
    sessions in (within the measured time) and closes them."""

    name = "engine"
    jobs = 8

    def __init__(self, server):
        from corvane.ftp import connect

        self.path = connect(server.proxy.host, server.proxy.port, user=server.user, password=server.password,
                            timeout=TIMEOUT)

    def forget(self):
        pass

    def close(self):
        pass

    def put_tree(self, local, path):
        from corvane.ftp.transfer import put

        return put(local, self.path(path), jobs=self.jobs)

    def get_tree(self, path, local):
        from corvane.ftp.transfer import get

        return get(self.path(path), local, jobs=self.jobs)

    def put_update(self, local, path):
        from corvane.ftp.transfer import put

        return put(local, self.path(path), jobs=self.jobs, update=True)

    def get_update(self, path, local):
        from corvane.ftp.transfer import get

        return get(self.path(path), local, jobs=self.jobs, update=True)

    put_big, get_big = put_tree, get_tree  # one file: one session, whatever `jobs` says

    def get_segments(self, path, local, segments):
        from corvane.ftp.transfer import get

        return get(self.path(path), local, jobs=1, segments=segments)  # a session per segment, no more

    def plan_local(self, top):
        from corvane.ftp import _plan

        return len(_plan.walk_local(top).files)

    def plan_remote(self, path):
        # What get() does before its first transfer: the listings, over `jobs` sessions.
        from corvane.ftp.transfer import _Run

        run = _Run(self.path(path), self.jobs, None, None)
        try:
            return len(run._remote_tree(path, missing_ok=False).files)
        finally:
            run._close()


class Floor:
    """The same command sequences as FTPPath, from bare ftplib (bench/floor.py)."""

    name = "floor"

    def __init__(self, server):
        self.ftp = port_ftp(server.proxy.port)(server.proxy.host, server.user, server.password, timeout=TIMEOUT)

    def forget(self):
        pass

    def close(self):
        self.ftp.close()

    def exists(self, path):
        return floor.exists(self.ftp, path)

    def is_dir(self, path):
        return floor.is_dir(self.ftp, path)

    def read(self, path):
        return floor.read(self.ftp, path)

    def write(self, path, data):
        floor.write(self.ftp, path, data)

    def upload(self, local, path):
        floor.upload(self.ftp, local, path)

    def glob(self, path, pattern):
        return floor.glob(self.ftp, path, pattern)

    def delete(self, path):
        floor.delete(self.ftp, path)

    def mtime(self, path):
        return floor.mtime(self.ftp, path)

    # The big file: bare ftplib with 1 MiB blocks, between the socket and a file.
    def put_big(self, local, path):
        with open(local, "rb") as f:
            self.ftp.storbinary(f"STOR {path}", f, blocksize=MiB)

    def get_big(self, path, local):
        with open(local, "wb") as f:
            self.ftp.retrbinary(f"RETR {path}", f.write, blocksize=MiB)


class FileSystemJobs:
    """The jobs that fsspec's FTP and cftp do through the same fsspec calls on `self.fs`, as a user
    of either writes them."""

    def forget(self):
        self.fs.invalidate_cache()

    def put_tree(self, local, path):
        self.fs.put(local, path, recursive=True)

    def get_tree(self, path, local):
        self.fs.get(path, local, recursive=True)

    def plan_remote(self, path):
        return len(self.fs.find(path))

    def find(self, path):
        return self.fs.find(path)

    def random_reads(self, path, spans):
        return [self.fs.cat_file(path, start, start + length) for start, length in spans]

    def stream_big(self, path):
        """Bytes read from an open file, MiB by MiB, none of them kept."""
        total = 0
        with self.fs.open(path, "rb", block_size=8 * MiB) as f:
            while chunk := f.read(MiB):
                total += len(chunk)
        return total


class Fsspec(FileSystemJobs):
    """fsspec's FTPFileSystem; a fresh instance, its listings cache emptied before each job."""

    name = "fsspec"

    def __init__(self, server):
        from fsspec.implementations.ftp import FTPFileSystem

        self.fs = FTPFileSystem(server.proxy.host, port=server.proxy.port, username=server.user,
                                password=server.password, timeout=TIMEOUT, skip_instance_cache=True)

    def close(self):
        self.fs.ftp.close()

    # Its reads of part of a file (ranged, or one ended by its read-ahead past the last block) end
    # in a TimeoutError where its early abort leaves the control connection waiting for a reply
    # that does not come: behind a round trip at once, on loopback now and then. Where one does,
    # it sits the scenario out, and the tables say so.
    fallible = ("random_reads", "stream_big")

    def random_reads(self, path, spans):
        return self._afresh_after_failure(super().random_reads, path, spans)

    def stream_big(self, path):
        return self._afresh_after_failure(super().stream_big, path)

    def _afresh_after_failure(self, job, *args):
        # The reply it waits for never comes: a few seconds tell that as well as a minute, and a
        # whole quick run of the benchmark then stays within its few minutes.
        ftp = self.fs.ftp
        ftp.timeout = FALLIBLE_WAIT
        ftp.sock.settimeout(FALLIBLE_WAIT)
        try:
            return job(*args)
        except Exception:
            ftp.close()
            self.fs._connect()  # out of step: a fresh session for the scenarios that follow
            raise
        finally:
            self.fs.ftp.timeout = TIMEOUT
            if self.fs.ftp.sock is not None:
                self.fs.ftp.sock.settimeout(TIMEOUT)

    def exists(self, path):
        return self.fs.exists(path)

    def is_dir(self, path):
        return self.fs.isdir(path)

    def read(self, path):
        return self.fs.cat_file(path)

    def write(self, path, data):
        self.fs.pipe_file(path, data)

    upload = FileSystemJobs.put_tree

    def glob(self, path, pattern):
        return self.fs.glob(posixpath.join(path, pattern))

    def delete(self, path):
        self.fs.rm(path, recursive=True)

    def mtime(self, path):
        # What FTPFileSystem offers: the "modify" text as the listing gave it
        # (an MLSD fact, or LIST's "Dec 09 01:17" where MLSD is missing).
        return self.fs.info(path)["modify"]


class Ftputil:
    """ftputil's FTPHost; its stat cache emptied before each job. It has no tree
    upload and no glob: a user writes them with makedirs/upload and listdir."""

    name = "ftputil"

    def __init__(self, server):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # the coming change of path encoding
            import ftputil
        factory = ftputil.session.session_factory(port=server.proxy.port, encoding="utf-8")
        self.host = ftputil.FTPHost(server.proxy.host, server.user, server.password, session_factory=factory)
        # Its stat cache holds 5,000 entries by default: `walk` of a directory of
        # 10,000 would list it again for every name it misses (minutes for the
        # planned tree). A user with such directories resizes it so.
        self.host.stat_cache.resize(200_000)

    def forget(self):
        self.host.stat_cache.clear()

    def close(self):
        self.host.close()

    def exists(self, path):
        return self.host.path.exists(path)

    def is_dir(self, path):
        return self.host.path.isdir(path)

    def read(self, path):
        with self.host.open(path, "rb") as f:
            return f.read()

    def write(self, path, data):
        with self.host.open(path, "wb") as f:
            f.write(data)

    def upload(self, local, path):
        for top, dirs, files in os.walk(local):
            remote = posixpath.join(path, os.path.relpath(top, local)) if top != local else path
            self.host.makedirs(remote, exist_ok=True)
            for name in files:
                self.host.upload(os.path.join(top, name), posixpath.join(remote, name))

    put_tree = upload

    def get_tree(self, path, local):
        for top, dirs, files in self.host.walk(path):
            here = os.path.join(local, posixpath.relpath(top, path))
            os.makedirs(here, exist_ok=True)
            for name in files:
                self.host.download(posixpath.join(top, name), os.path.join(here, name))

    def plan_remote(self, path):
        return sum(len(files) for _, _, files in self.host.walk(path))

    def glob(self, path, pattern):
        return [posixpath.join(path, name) for name in self.host.listdir(path) if fnmatch.fnmatchcase(name, pattern)]

    def delete(self, path):
        self.host.rmtree(path)

    def mtime(self, path):
        return self.host.path.getmtime(path)


class CommandFailed(RuntimeError):
    pass


def run_child(argv, env, timeout):
    """Runs argv to its end (its resource usage, os.wait4's), or raises CommandFailed with its output."""
    with tempfile.TemporaryFile() as output:
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                   env=env)
        # A pidfd waits with a timeout and no polling: the end of the command is seen at once.
        pidfd = os.pidfd_open(process.pid)
        status = None
        try:
            ended = select.select([pidfd], [], [], timeout)[0]
            if not ended:
                process.kill()
            _, status, usage = os.wait4(process.pid, 0)
        except BaseException:  # Ctrl-C or SIGTERM: the program must not outlive the benchmark
            if status is None:
                process.kill()
                process.wait()
            raise
        finally:
            os.close(pidfd)
        process.returncode = os.waitstatus_to_exitcode(status)
        if ended and process.returncode == 0:
            return usage
        output.seek(0)
        said = output.read()[-1500:].decode("utf-8", "replace").strip()
        why = f"did not end within {timeout} s" if not ended else f"exited with {process.returncode}"
        raise CommandFailed(f"{argv[0]} {why}: {said}")


class Program:
    """A peer that is a program: each job one run of it, in a home of its own (no user's settings)."""

    name = ""
    program = True
    timeout = 600  # a 1,000-file put at 20 ms takes half a minute at worst

    @classmethod
    def missing(cls):
        return None if shutil.which(cls.name) else f"{cls.name} is not installed"

    def __init__(self, server):
        self.server = server
        self.home = tempfile.mkdtemp(prefix=f"{self.name}-home-", dir=server.workdir)
        self.env = {"HOME": self.home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C.UTF-8"}

    def forget(self):
        pass

    def close(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def run(self, argv):
        run_child(argv, self.env, self.timeout)


class Lftp(Program):
    """lftp's mirror with 8 parallel transfers, at its fastest: `ftp:sync-mode off` sends the
    data connection's PASV and the transfer command in one write; no TLS probe (the benchmark's
    servers have none), no SITE CHMOD after each upload (`--no-perms`), no retries, so that a
    failure shows. An update is the same mirror (its default: files whose size or time differ)."""

    name = "lftp"

    SETTINGS = [
        "set cmd:fail-exit yes", "set cmd:interactive no", "set ftp:ssl-allow no",
        "set ftp:passive-mode yes", "set ftp:sync-mode off", "set net:max-retries 1",
        "set net:persist-retries 0", "set net:timeout 60", "set net:connection-limit 0",
        "set xfer:clobber yes", "set xfer:log no",
    ]

    def mirror(self, *args):
        self.command("mirror -P 8 " + " ".join(_quote(a) for a in args))

    def command(self, line):
        s = self.server
        script = os.path.join(self.home, "job.lftp")
        with open(script, "w") as f:
            f.write("\n".join([*self.SETTINGS,
                               f"open -u {_quote(s.user + ',' + s.password)} -p {s.proxy.port} {s.proxy.host}",
                               line, "quit", ""]))
        self.run(["lftp", "--norc", "-f", script])

    def get_segments(self, path, local, segments):
        self.command(f"pget -n {segments} {_quote(path)} -o {_quote(local)}")

    def put_tree(self, local, path):
        self.mirror("-R", "--no-perms", local, path)

    def get_tree(self, path, local):
        self.mirror(path, local)

    put_update, get_update = put_tree, get_tree


def _quote(word):
    return '"' + word.replace("\\", "\\\\").replace('"', '\\"') + '"'


class Rclone(Program):
    """rclone copy through an `:ftp:` remote made on the command line, 8 transfers and 8
    checkers, unlimited FTP connections; one try of everything (--retries 1
    --low-level-retries 1), so that a failure shows rather than a quiet second pass. An update
    is the same copy (its default: files whose size or modification time differ)."""

    name = "rclone"

    def __init__(self, server):
        super().__init__(server)
        self.password = subprocess.run(["rclone", "obscure", server.password], check=True, capture_output=True,
                                       text=True, env=self.env, timeout=60).stdout.strip()

    def copy(self, source, target, *options):
        s = self.server
        self.run(["rclone", "copy", source, target, *options, "--config", os.path.join(self.home, "none.conf"), "-q",
                  "--transfers", "8", "--checkers", "8", "--ftp-concurrency", "0", "--retries", "1",
                  "--low-level-retries", "1", "--stats", "0", "--contimeout", "60s", "--timeout", "60s",
                  "--ftp-host", s.proxy.host, "--ftp-port", str(s.proxy.port), "--ftp-user", s.user,
                  "--ftp-pass", self.password])

    def put_tree(self, local, path):
        # A new target has nothing to compare with: --no-check-dest skips listing it. rclone
        # takes pyftpdlib's "501 No such directory" (RFC 3659's answer to the MLSD of a
        # missing directory) for a failure, not for a directory to make: with LIST it gets 550.
        self.copy(local, ":ftp:" + path, "--no-check-dest", "--ftp-disable-mlsd")

    def get_tree(self, path, local):
        self.copy(":ftp:" + path, local)

    def put_update(self, local, path):
        self.copy(local, ":ftp:" + path)

    get_update = get_tree


class Cftp(FileSystemJobs):
    """corvane.ftp.filesystem, the fsspec file system of this package: one instance for the
    run, as fsspec caches it; its listings cache emptied before each job."""

    name = "cftp"

    def __init__(self, server):
        from corvane.ftp.filesystem import CorvaneFTPFileSystem

        self.fs = CorvaneFTPFileSystem(server.proxy.host, port=server.proxy.port, username=server.user,
                                       password=server.password, timeout=TIMEOUT, jobs=8, skip_instance_cache=True)
        self.fs.info("/")  # logged in before the first job, as fsspec's FTP is by its constructor
        self.fs.ls("/")

    def close(self):
        self.fs.pool.close()
        self.fs.files_pool.close()


def _floor_stream_big(self, path):
    total = 0

    def count(block):
        nonlocal total
        total += len(block)
    self.ftp.retrbinary(f"RETR {path}", count, blocksize=MiB)
    return total


Floor.stream_big = _floor_stream_big

CONTENDERS = [Corvane, Engine, Floor, Fsspec, Ftputil, Lftp, Rclone, Cftp]
