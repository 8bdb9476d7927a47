"""The contenders: this package, the protocol floor, and the libraries a user
would pick instead, each doing every job through its own API.

A contender offers the jobs it can do as methods (exists, is_dir, read,
write, upload, glob, delete, mtime); a scenario names the job it times. A
contender without the method sits that scenario out. Before each job,
`forget()` clears the contender's caches, so every answer asks the server.
"""

import fnmatch
import ftplib
import os
import posixpath
import warnings

from bench import floor

TIMEOUT = 60


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

    def glob(self, path, pattern):
        return list(self.path(path).glob(pattern))

    def delete(self, path):
        self.path(path).delete()

    def mtime(self, path):
        return self.path(path).mtime


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


class Fsspec:
    """fsspec's FTPFileSystem; a fresh instance, its listings cache emptied before each job."""

    name = "fsspec"

    def __init__(self, server):
        from fsspec.implementations.ftp import FTPFileSystem

        self.fs = FTPFileSystem(server.proxy.host, port=server.proxy.port, username=server.user,
                                password=server.password, timeout=TIMEOUT, skip_instance_cache=True)

    def forget(self):
        self.fs.invalidate_cache()

    def close(self):
        self.fs.ftp.close()

    def exists(self, path):
        return self.fs.exists(path)

    def is_dir(self, path):
        return self.fs.isdir(path)

    def read(self, path):
        return self.fs.cat_file(path)

    def write(self, path, data):
        self.fs.pipe_file(path, data)

    def upload(self, local, path):
        self.fs.put(local, path, recursive=True)

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

    def glob(self, path, pattern):
        return [posixpath.join(path, name) for name in self.host.listdir(path) if fnmatch.fnmatchcase(name, pattern)]

    def delete(self, path):
        self.host.rmtree(path)

    def mtime(self, path):
        return self.host.path.getmtime(path)


CONTENDERS = [Corvane, Floor, Fsspec, Ftputil]
