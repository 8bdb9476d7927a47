"""Resume (get -c, put -c): what an earlier run moved of a file is kept, and a later
run continues it instead of starting over.

The part already moved waits under a temporary name that a later run can find
again: the target's name and a digest of the source (the server and remote
path of a download, the local file of an upload). A later run for the same
source and target meets the same name; two runs that write different sources
to one target never share a temporary file. A download's part is also locked
while a run writes it, so that a second run fetching the same file into the
same place at the same time takes a temporary file of its own.

A part is continued only where it can be the start of the source: it must be
shorter than the source, and a download's part no older than the remote file
where the listing dates it (one changed on the server since is fetched anew).
Where the server hashes a range (ProFTPD's mod_digest: XSHA256 and its kin take
`path start end`), the part's digest must also be that of the source's first
bytes; a part that differs is replaced by a fresh copy.

Two runs that continue one upload from the same local file at the same time
would both write the same part: nothing on an FTP server can lock it.
"""

import contextlib
import fcntl
import ftplib
import hashlib
import os
import secrets
import stat

from corvane.ftp import _checksums
from corvane.ftp._plan import size_of
from corvane.ftp._sessions import server_of


def partial_name(name, source):
    """The temporary name beside `name` for a transfer of `source`, the same on every run."""
    return f".{name}.{hashlib.sha256(source.encode('utf-8', 'surrogateescape')).hexdigest()[:12]}.part"


def remote_partial(job):
    """An upload's temporary name for resume, named for its local source."""
    return job.remote.parent.join(partial_name(job.remote.path.name, os.path.realpath(job.local)))


class LocalPartial:
    """A download's temporary file in the directory `folder_fd`, open for writing as `fd`.

    Without resume it is a new file of a random name, as a plain download's; with
    resume, the one named for the source, taken as it is, unless another run holds it.
    """

    def __init__(self, folder_fd, name, job):
        self.folder_fd = folder_fd
        self.resumed = False
        if job.resume:
            self.name = partial_name(name, f"{server_of(job.remote)}:{job.remote}")
            # O_NONBLOCK: a pipe someone left under that name must not block the open.
            fd = os.open(self.name, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK, 0o666,
                         dir_fd=folder_fd)
            try:
                if not stat.S_ISREG(os.fstat(fd).st_mode):
                    raise IsADirectoryError(f"{self.name!r} beside {name!r} is no regular file: remove it, "
                                            f"or download without resume")
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                os.set_blocking(fd, True)
                self.fd, self.resumed = fd, True
                return
            except BlockingIOError:
                os.close(fd)  # another run is writing it: this one fetches the file whole, apart
            except BaseException:
                os.close(fd)
                raise
        self.name = f".{name}.{secrets.token_hex(4)}.part"
        self.fd = os.open(self.name, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666,
                          dir_fd=folder_fd)

    def kept(self, job):
        """How many bytes of an earlier run's part to continue from: 0 where there is none, or
        where it cannot be the start of the remote file. Any other part is emptied."""
        st = os.fstat(self.fd)
        have = st.st_size if self.resumed else 0
        if job.size is None or have >= job.size or (job.mtime is not None and st.st_mtime < job.mtime):
            have = 0
        if have != st.st_size:
            os.ftruncate(self.fd, have)
        return have

    def keep(self, length):
        """A failed or stopped download: its first `length` bytes stay for a later run, where
        resume is on; otherwise nothing is left."""
        if self.resumed and length:
            os.ftruncate(self.fd, length)
        else:
            self.remove()

    def remove(self):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.name, dir_fd=self.folder_fd)

    def close(self):
        os.close(self.fd)  # and with it the lock


def upload_ways(client, target, size, fd):
    """The ways to try, in order, to store the local file of `size` bytes, open as `fd`, at
    `target`: [(offset, command)]. Where `target` holds fewer bytes than that (an earlier run's
    part) and, where the server can tell, the same as the file's first ones, REST+STOR from its
    end, then APPE, then a fresh STOR; otherwise a fresh STOR only."""
    have = size_of(reply_to(client, f"SIZE {target}"))
    if not have or have >= size or _checksums.prefix_agrees(
            client, str(target), have, _checksums.prefix_digest(fd, have)) is False:
        return [(0, "STOR")]
    rest = reply_to(client, f"REST {have}")
    return ([(have, "STOR")] if rest[:3] == "350" else []) + [(have, "APPE"), (0, "STOR")]


def reply_to(client, command):
    """The reply to `command`, a refusal included; a temporary failure raises, to be tried again."""
    client.putcmd(command)
    reply = client.getmultiline()
    if reply[:1] == "4":
        raise ftplib.error_temp(reply)
    return reply
