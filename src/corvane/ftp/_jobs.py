"""One file's transfer, as a picklable job that any executor may run.

A job takes a session from its process's pool, moves the file and gives the
session back. A fault costs the session: the next try, after a pause, runs
on a fresh one, as `retry` does for FTPPath's operations. Per file only the
data connection, the transfer command and its final reply cross the wire
(plus RNFR/RNTO, sent together, for an atomic upload).

An atomic upload goes to a temporary name beside its target and is renamed
over it only once complete, so that the server's old copy survives a failed
or stopped upload; a server that will not rename over an existing name loses
the old copy only after the new one is whole.
"""

import contextlib
import ftplib
import os
import random
import ssl
import stat
import time
from dataclasses import dataclass, field

from corvane.base import BasePath
from corvane.ftp import _checksums, _datapath, _exchange, _inside, _resume, _segments, _times
from corvane.ftp._plan import special_file_error
from corvane.ftp.limits import ListingTooLong
from corvane.ftp._data import DataConnection
from corvane.ftp._sessions import SessionsRefused, pool_for, server_of

# Runs stopped in this process (Ctrl-C): their transfers end at the next check.
stopped_runs = set()

# run id -> (pid, sink(job, bytes moved so far)) for runs that show progress; a job hands its
# partial counts to the sink only in the process that registered it, where the run is.
partial_sinks = {}

BLOCK = 1 << 20  # for TLS data connections, which move their bytes in Python


class FileTransferError(Exception):
    """A file that could not be copied; `local` and `remote` name both ends."""

    def __init__(self, message, local, remote):
        super().__init__(message, local, remote)
        self.local = local
        self.remote = remote

    def __str__(self):
        return self.args[0]


@dataclass(frozen=True)
class FileJob:
    direction: str  # "put" or "get"
    local: str
    remote: BasePath
    mtime: float | None  # the remote file's, given to the local copy after a download (MDTM's where None)
    atomic: bool
    run: str  # the run's id, for stopping it
    tries: int
    delay: float
    # A download's: the size the server announced (None: unknown, not checked), and, for a
    # file of a tree, the local top and the "/"-separated path below it that `local` joins.
    size: int | None = None
    top: str | None = None
    rel: str = ""
    deadline: float | None = None  # time.time() by which the whole run must end, in any process
    follow: bool = False  # the local path is a link to a file, read as that file
    checksum: bool = False  # compare the server's hash of its copy with the local file's, where it offers one
    stop_file: str | None = None  # appears when the run stops, for workers in other processes
    resume: bool = False  # continue what an earlier run left (see _resume), and leave what this one moved
    segments: int = 1  # a download's ranges fetched at once, each on a session of its own (see _segments)

    def expired(self):
        return self.deadline is not None and time.time() >= self.deadline

    def halted(self):
        """Whether the run stopped, or ran out of time: no try may start, and a transfer ends."""
        return (self.run in stopped_runs or self.expired()
                or (self.stop_file is not None and os.path.exists(self.stop_file)))

    def __call__(self):
        return run_job(self)


@dataclass
class Outcome:
    job: FileJob
    moved: int = 0
    retries: int = 0
    sessions: set = field(default_factory=set)
    error: Exception | None = None
    refused: bool = False  # this process could get no session: the job never ran
    unhashed: str | None = None  # with checksum: why no hash was compared


class WrongSize(Exception):
    """A download that is not the size the server announced."""


class Truncated(WrongSize, EOFError):
    """Fewer bytes than announced: the connection ended early, and another try may do better."""


class Overlong(WrongSize):
    """More bytes than announced: reading stopped there, and no retry will make them fewer."""


def retryable(exc):
    if isinstance(exc, ListingTooLong):
        return False  # the same listing is as long on the next try
    if isinstance(exc, (ftplib.error_temp, ftplib.error_reply, ftplib.error_proto, EOFError)):
        return True
    # Socket errors and timeouts carry no file name; the local file system's errors do, and
    # a missing path or a stopped run is no fault that another try could mend.
    return (isinstance(exc, OSError) and exc.filename is None
            and not isinstance(exc, (FileNotFoundError, InterruptedError)))


def run_job(job):
    pool = pool_for(job.remote, job.run)
    outcome = Outcome(job)
    last = None
    stored = False  # whether some try's STOR was accepted: only then is there anything to remove
    sole = False  # the old copy is gone and the temporary name holds the only one: it must stay
    owner, sink = partial_sinks.get(job.run, (None, None))
    if owner != os.getpid():
        sink = None

    def stopped(moved):
        if sink:
            sink(job, moved)
        return job.halted()

    def reached():
        nonlocal stored
        stored = True

    def only_copy(held):
        nonlocal sole
        sole = held

    def compared(reason):
        outcome.unhashed = reason

    try:
        for attempt in range(1, job.tries + 1):
            if job.halted():
                raise InterruptedError("the transfer was stopped")
            if attempt > 1:
                outcome.retries += 1
                time.sleep(job.delay * 2 ** (attempt - 2))
            try:
                session = pool.take(fresh=attempt > 1)
            except SessionsRefused as exc:
                if attempt == 1 and pool.shared:  # another worker may hold a session: the run hands it on
                    outcome.refused = True
                    return outcome
                last = exc  # the pool waited already: another try would wait as long again
                break
            except Exception as exc:
                last = exc
                if not retryable(exc):
                    break
                continue
            outcome.sessions.add(session.id)
            try:
                if job.direction == "put":
                    outcome.moved = upload(session, job, stopped, reached, only_copy, compared)
                elif job.resume or job.segments > 1:
                    # It lends the session to its ranges, and gives it back or drops it itself.
                    owned, session = session, None
                    outcome.moved = _segments.download(pool, owned, job, stopped, outcome.sessions, compared)
                else:
                    outcome.moved = download(session, job, stopped, compared)
            except BaseException as exc:
                if session is not None:
                    pool.discard(session, exc)
                if not isinstance(exc, Exception) or isinstance(exc, InterruptedError):
                    raise
                last = exc
                if not retryable(exc):
                    break
            else:
                if session is not None:
                    pool.give_back(session)
                return outcome
    except InterruptedError:
        if stored and not sole and not job.resume:
            remove_upload(pool, job)  # a stopped upload must not be left looking complete
        raise
    removal = None
    if sole:
        removal = f"the old copy was already removed; the new one is whole at {temporary_remote(job)}"
    elif stored and job.resume:
        removal = f"what arrived is kept at {temporary_remote(job) if job.atomic else job.remote}: put -c continues it"
    elif stored:
        removal = remove_upload(pool, job)
    outcome.error = failure(job, last, removal)
    return outcome


def failure(job, exc, removal):
    where = f"{server_of(job.remote)}:{job.remote}"
    if job.direction == "put":
        text = f"could not upload {job.local!r} to {where}: {exc}"
        if removal is not None:
            text += f" ({removal})"
    else:
        text = f"could not download {where} to {job.local!r}: {exc}"
    error = FileTransferError(text, job.local, str(job.remote))
    error.__cause__ = exc
    return error


def remove_upload(pool, job):
    """Takes a failed upload's remains off the server where possible; says what happened."""
    try:
        session = pool.take(fresh=True)
    except Exception as exc:
        return f"its remains may be on the server: {exc}"
    try:
        session.client.sendcmd(f"DELE {temporary_remote(job) if job.atomic else job.remote}")
    except ftplib.error_perm:
        pool.give_back(session)
        return "nothing of it was left on the server"
    except Exception as exc:
        pool.discard(session)
        return f"its remains may be on the server: {exc}"
    pool.give_back(session)
    return "what had arrived was removed from the server"


def temporary_remote(job):
    # The same name on every try of a job, so that one DELE removes what any try left.
    if job.resume:
        return _resume.remote_partial(job)  # and on every run, so that a later one continues it
    return job.remote.parent.join(f".{job.remote.path.name}.{job.run[:8]}.part")


@contextlib.contextmanager
def open_local(job):
    """The local file of an upload, refused unless it is a regular file: (its descriptor, its stat).

    A pipe or device put where the walk saw a file must not block the open
    (O_NONBLOCK), nor be read for ever: what counts is what was opened.
    A path the walk saw as a file, not as a link to one, is not followed.
    A descriptor, not a file object: making one costs three system calls a file.
    """
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | (0 if job.follow else os.O_NOFOLLOW)
    fd = os.open(job.local, flags)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise special_file_error(job.local, st.st_mode)
        yield fd, st
    finally:
        os.close(fd)


def upload(session, job, stopped, reached, only_copy, compared):
    client = session.client
    target = temporary_remote(job) if job.atomic else job.remote
    with open_local(job) as (fd, st):
        if job.atomic:
            # The server may make the temporary file before a cut lets us read its 1xx: it is
            # ours alone, so its removal is tried whatever became of the STOR.
            reached()
        if not job.resume and not job.checksum and _exchange.can_exchange(client):
            return store_whole(session, job, fd, st, target, stopped, reached, only_copy)
        with open(fd, "rb", closefd=False) as f:
            sent = upload_python(session, job, f, st.st_size, target, stopped, reached, compared)
    if session.time_setter:
        # The time read before the bytes: a file changed meanwhile stays newer than its copy.
        _times.set_time(client, session.time_setter, target, st.st_mtime)
    if job.atomic:
        place(client, target, job.remote, only_copy)  # a rename keeps the time just set
    return sent


def upload_python(session, job, f, size, target, stopped, reached, compared):
    """STOR (or a resumed upload's command) through DataConnection, then the checksum's
    comparison where asked: bytes sent."""
    client = session.client
    ways = _resume.upload_ways(client, target, size, f.fileno()) if job.resume else [(0, "STOR")]
    for offset, command in ways:
        try:
            # A command that continues a file may be refused, and ProFTPD closes the passive port
            # as it refuses: its connection is made first, in ftplib's order, not with the command.
            data = DataConnection(client, f"{command} {target}", holder=session, ordered=offset > 0)
            break
        except (ftplib.error_perm, ftplib.error_temp):
            if (offset, command) == ways[-1]:
                raise  # a fresh STOR refused: the refusal is the upload's
    with data:
        reached()
        f.seek(offset)
        conn = data.sock
        try:
            if isinstance(conn, ssl.SSLSocket):
                sent = send_python(conn, f, stopped)
            else:
                sent = _datapath.send_file(conn, f, conn.gettimeout(), stopped, size - offset)
        except (BrokenPipeError, ConnectionResetError) as exc:
            data.cut()  # the server's reason, where it gives one, tells more than the broken pipe
            if data.answer is None:
                raise
            raise data.answer from exc
        data.finish()
    if job.checksum:
        f.seek(0)
        _checksums.confirm(client, target, _checksums.file_digest(lambda: contextlib.nullcontext(f)), compared)
    return sent


def store_whole(session, job, fd, st, target, stopped, reached, only_copy):
    """An upload in one native exchange: STOR, then the time and the rename (for an atomic one)
    sent together once the server has the whole file."""
    # The time read before the bytes: a file changed meanwhile stays newer than its copy.
    setting = [_times.time_command(session.time_setter, target, st.st_mtime)] if session.time_setter else []
    if not job.atomic:  # nothing waits for the time's reply: it is read with the next one
        return _exchange.store(session, target, fd, stopped, st.st_size, setting, 0, reached)[0]
    sent, replies = _exchange.store(session, target, fd, stopped, st.st_size,
                                    setting + [f"RNFR {target}", f"RNTO {job.remote}"], len(setting) + 2, reached)
    # A refused time changes nothing but the next update's comparison, which then asks again.
    place(session.client, target, job.remote, only_copy, replies[len(setting):])
    return sent


class SoleCopyLeft(Exception):
    """The old copy is removed and the new one could not be renamed into place."""


class RenameRefused(ftplib.error_perm):
    """RNTO refused with 5xx after RNFR was accepted."""


def place(client, temporary, target, only_copy, replies=None):
    """Renames the complete upload `temporary` over `target`; `replies`: those of RNFR and RNTO
    where they were sent already."""
    try:
        rename(client, temporary, target, replies)
    except RenameRefused as refused:
        # Some servers refuse to rename over an existing name. The new copy is whole by now,
        # so the old one may go; where DELE is refused there was none, and the refusal stands.
        try:
            client.voidcmd(f"DELE {target}")
        except ftplib.error_perm:
            raise refused from None
        only_copy(True)
        try:
            rename(client, temporary, target)
        except Exception as exc:
            # No further try: its STOR would overwrite the one whole copy there is.
            raise SoleCopyLeft(f"the old copy made room, then the rename failed: {exc}") from exc
        only_copy(False)


def rename(client, source, target, replies=None):
    """RNFR and RNTO in one write, both replies read: one round trip, not two.
    A refused RNFR makes the server refuse the RNTO too, which keeps the replies in step."""
    if replies is None:
        client.putcmd(f"RNFR {source}")
        client.putcmd(f"RNTO {target}")
        replies = [client.getmultiline(), client.getmultiline()]
    first, second = replies
    if first[:1] != "3":
        raise_reply(first)
    if second[:1] != "2":
        if second[:1] == "5":
            raise RenameRefused(second)
        raise_reply(second)


def raise_reply(reply):
    if reply[:1] == "4":
        raise ftplib.error_temp(reply)
    if reply[:1] == "5":
        raise ftplib.error_perm(reply)
    raise ftplib.error_reply(reply)


def local_place(job):
    """(the directory a download writes in, to open without following a link; the file's name there)."""
    if job.top is None:  # a single file: its directory is whatever the user named
        folder, name = os.path.split(job.local)
        return _inside.directory(folder or ".", ()), name
    *parts, name = job.rel.split("/")
    return _inside.directory(job.top, parts), name


def download(session, job, stopped, compared):
    client = session.client
    place, name = local_place(job)
    limit = -1 if job.size is None else job.size + 1  # one byte past the size tells a longer file
    with place as (folder_fd, _):
        # Beside the target, so that the rename into place never crosses file systems. O_EXCL, not
        # the name, keeps another's file from being taken for ours: a fast generator will do.
        temporary = f".{name}.{random.getrandbits(32):08x}.part"
        if not job.checksum and _exchange.can_exchange(client):
            return land(session, job, folder_fd, temporary, name, stopped)
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666,
                     dir_fd=folder_fd)
        placed = False
        try:
            try:
                received, mtime = receive(session, job, fd, stopped, limit)
            finally:
                os.close(fd)
            truncated(job, received)
            if job.checksum:
                flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC
                written = _checksums.file_digest(lambda: open(os.open(temporary, flags, dir_fd=folder_fd), "rb"))
                _checksums.confirm(client, job.remote, written, compared)
            if mtime is not None:
                os.utime(temporary, (mtime, mtime), dir_fd=folder_fd, follow_symlinks=False)
            os.replace(temporary, name, src_dir_fd=folder_fd, dst_dir_fd=folder_fd)
            placed = True
        finally:
            if not placed:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(temporary, dir_fd=folder_fd)
    return received


def land(session, job, folder_fd, temporary, name, stopped):
    """A download whose local file the native exchange makes, times and closes: here it is only
    judged, and renamed into place or removed."""
    try:
        received, landed = _exchange.fetch_into(session, job.remote, folder_fd, temporary, job.size, job.mtime,
                                                stopped)
        overlong(job, received)
        truncated(job, received)
        if not landed:  # each way to end unfinished raised above: this guards the rename below
            raise ftplib.error_reply(f"the download of {job.remote} ended unfinished")
        os.replace(temporary, name, src_dir_fd=folder_fd, dst_dir_fd=folder_fd)
    except FileExistsError:
        raise  # another's file had the temporary name: nothing was made, and it stays
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary, dir_fd=folder_fd)
        raise
    return received


def truncated(job, received):
    if job.size is not None and received < job.size:
        raise Truncated(f"the server announced {job.size} bytes and sent {received}; nothing was kept")


def receive(session, job, fd, stopped, limit):
    """RETR into the file open at `fd` (a descriptor, not a file object: making one costs three
    system calls a file): (bytes received, the time to give the local copy, or None)."""
    client = session.client
    if _exchange.can_exchange(client):
        received, time_reply = _exchange.fetch(session, job.remote, fd, stopped, limit, job.mtime is None)
        overlong(job, received)
        return received, job.mtime if job.mtime is not None else _times.mdtm_reply(time_reply)
    asked = _times.ask_time(client, job.remote) if job.mtime is None else [job.mtime]
    with DataConnection(client, f"RETR {job.remote}", download=True, holder=session) as data, \
            open(fd, "wb", closefd=False) as f:
        conn = data.sock
        if isinstance(conn, ssl.SSLSocket):
            received = recv_python(conn, f, stopped, limit)
        else:
            received = _datapath.recv_file(conn, f, conn.gettimeout(), stopped, limit)
        overlong(job, received)
        data.finish()
    return received, asked[0] if asked else None


def overlong(job, received):
    if job.size is not None and received > job.size:
        raise Overlong(f"the server sent more than the {job.size} bytes it announced; nothing was kept")


def send_python(conn, f, stopped):
    sent = 0
    while block := f.read(BLOCK):
        if stopped(sent):
            raise InterruptedError(f"transfer stopped after {sent} bytes")
        conn.sendall(block)
        sent += len(block)
    return sent


def recv_python(conn, f, stopped, limit=-1):
    """What `conn` delivers, into `f`; at most `limit` bytes where it is not negative."""
    buffer = bytearray(BLOCK)
    received = 0
    while (room := BLOCK if limit < 0 else min(BLOCK, limit - received)) and (n := conn.recv_into(buffer, room)):
        if stopped(received):
            raise InterruptedError(f"transfer stopped after {received} bytes")
        f.write(memoryview(buffer)[:n])
        received += n
    return received
