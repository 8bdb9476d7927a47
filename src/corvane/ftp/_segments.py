"""A download in ranges (get --segments N, as lftp's pget -n): one file fetched over
several sessions at once, for servers that hold each connection to a rate; and the
download that continues an earlier run's part (get -c), which is one such range.

Each range is REST <begin> and RETR on a session of its own, read up to the range's
end and then cut: the data connection is closed and the transfer's one final reply
is read (226 where the server had sent everything already, 426 for the cut, Pure-FTPd's
150 line), which leaves the session in step for its next command, as measured on every
server the suite runs. The last range reads on to the end of the file, one byte past
its announced size at most, as a plain download does. Every range writes in place into
the one temporary file, through a descriptor of its own placed at the range's start:
the native data path writes at a descriptor's offset and stops at a limit, so the bytes
never pass through Python. Once every range is in, the file has its size, and it is
renamed into place as any download.

The first range runs on the job's own session; the others on sessions the pool has
free at once, never waiting for those that other jobs hold, so that a pool with fewer
to spare fetches in fewer streams. A range whose connection fails goes back to the
queue from the byte where it stopped, and a fresh session continues it, up to the
job's tries. A server that refuses REST gets one stream from the start; so does a file
too small for ranges to pay (SMALLEST each).

With resume (see _resume) a failed or stopped download keeps its temporary file up to
the first byte still missing, for a later run to continue.
"""

import collections
import contextlib
import os
import ssl
import threading
import time

from corvane.ftp import _checksums, _datapath, _jobs, _resume
from corvane.ftp._data import DataConnection

# A range costs REST, PASV and RETR, three round trips before its first byte, and often a
# login: below this it loses more time than it gains, even on a fast line.
SMALLEST = 1 << 20


class RangesFailed(Exception):
    """A range of a segmented download failed on every try: the whole file is not tried again."""


class RestRefused(Exception):
    """The server will not start a transfer at an offset."""


def plan(start, size, count):
    """The ranges [begin, end) that fetch bytes `start` to `size` in at most `count` streams, none
    shorter than SMALLEST unless it is the only one; end None: to the end of a file of unknown size."""
    if size is None or size - start < 2 * SMALLEST or count < 2:
        return [(start, size)]
    count = min(count, (size - start) // SMALLEST)
    step = -(-(size - start) // count)
    return [(begin, min(begin + step, size)) for begin in range(start, size, step)]


def download(pool, session, job, stopped, sessions, compared):
    """The download of `job` in ranges, continuing an earlier run's part where it may; the bytes
    moved. `session`, the job's own, is this function's: it gives it back or drops it."""
    place, name = _jobs.local_place(job)
    with contextlib.ExitStack() as stack:
        try:
            folder_fd, _ = stack.enter_context(place)
            partial = _resume.LocalPartial(folder_fd, name, job)
        except BaseException:
            pool.give_back(session)  # nothing was sent on it
            raise
        stack.callback(partial.close)
        fetch = _Fetch(pool, job, partial, stopped, sessions)
        try:
            moved = fetch.run(session)
            if job.checksum:
                confirm(pool, job, partial, compared)
            if job.mtime is not None:
                os.utime(partial.fd, (job.mtime, job.mtime))
            os.replace(partial.name, name, src_dir_fd=folder_fd, dst_dir_fd=folder_fd)
        except BaseException as exc:
            partial.keep(0 if isinstance(exc, (_jobs.Overlong, _checksums.DigestMismatch)) else fetch.prefix())
            raise
    return moved


def confirm(pool, job, partial, compared):
    """With checksum, once every range is in: the server's hash of the file against the part's,
    read through a descriptor of its own (the ranges' offsets are theirs)."""
    session = pool.take()
    try:
        _checksums.confirm(session.client, job.remote, _checksums.file_digest(
            lambda: open(f"/proc/self/fd/{partial.fd}", "rb")), compared)
    except BaseException as exc:
        pool.discard(session, exc)
        raise
    pool.give_back(session)


class _Fetch:
    """The ranges of one download, and the workers that fetch them."""

    def __init__(self, pool, job, partial, stopped, sessions):
        self.pool, self.job, self.partial, self.stopped, self.sessions = pool, job, partial, stopped, sessions
        self.todo = collections.deque()  # (begin, end, faults so far) not yet fetched
        self.cond = threading.Condition()
        self.helpers = 0  # workers besides the job's own that are still at work
        self.finished = 0  # bytes written by ranges, or the parts of ranges, that have ended
        self.current = {}  # worker -> bytes its running range has written
        self.halt = None  # what ends the fetch: the first error no retry mends
        self.planned = False
        self.rest_works = False

    def run(self, session):
        job = self.job
        try:
            start = self.partial.kept(job)
            if start and _checksums.prefix_agrees(session.client, str(job.remote), start,
                                                  _checksums.prefix_digest(self.partial.fd, start)) is False:
                os.ftruncate(self.partial.fd, 0)  # not the start of this file: it comes anew
                start = 0
            ranges = plan(start, job.size, job.segments)
            self.todo.extend((begin, end, 0) for begin, end in ranges)
            self.planned = True
            if start or len(ranges) > 1:
                rest(session.client, start)
                self.rest_works = True
        except RestRefused:
            os.ftruncate(self.partial.fd, 0)  # no offset: the file comes whole, in one stream
            self.todo = collections.deque([(0, job.size, 0)])
            ranges = ranges[:1]
        except BaseException as exc:
            self.pool.discard(session, exc)
            raise
        first = self.todo.popleft()  # the job's own, whose REST is sent: taken before any helper starts
        helpers = [threading.Thread(target=self._work, args=(None,), name="corvane-ftp range") for _ in ranges[1:]]
        self.helpers = len(helpers)
        for thread in helpers:
            thread.start()
        try:
            self._work(session, first)
        finally:
            for thread in helpers:
                thread.join()
        if self.halt is not None:
            raise self.halt
        return self.finished

    def prefix(self):
        """The bytes of the temporary file that are in, from its start up to the first one missing."""
        if self.job.size is None or not self.planned:
            return 0  # a part of a file of unknown size is never continued
        return min((begin for begin, _, _ in self.todo), default=self.job.size)

    def _next(self, own):
        """The next range for a worker, or None when it is to stop. The job's own worker waits for
        ranges the helpers may yet give back; a helper stops when the queue is empty."""
        with self.cond:
            while not self.todo and own and self.helpers and self.halt is None:
                self.cond.wait()
            return self.todo.popleft() if self.todo and self.halt is None else None

    def _work(self, session, item=None):
        """Fetches ranges, `item` first (the job's own, its REST sent), until none is left or the
        fetch halts. `session` None: a helper, which takes a session the pool has free, or stops."""
        own = session is not None
        rested = item is not None
        try:
            while item is not None or (item := self._next(own)) is not None:
                if session is None:
                    session = self.pool.take(fresh=True) if own else self.pool.take_free()
                    if session is None:
                        self._give_back(item)
                        return
                    self.sessions.add(session.id)
                begin, end, faults = item
                reach = [begin]
                try:
                    self._range(session, begin, end, rested, reach)
                except BaseException as exc:
                    self.pool.discard(session, exc)
                    session = None
                    self._fault(exc, (reach[0], end, faults + 1))
                finally:
                    with self.cond:
                        self.finished += reach[0] - begin
                        self.current.pop(threading.get_ident(), None)
                item, rested = None, False
        except BaseException as exc:
            if item is not None:
                self._give_back(item)  # taken, never begun
            self._stop(exc)
        finally:
            if session is not None:
                self.pool.give_back(session)
            if not own:
                with self.cond:
                    self.helpers -= 1
                    self.cond.notify_all()

    def _fault(self, exc, rest_of_range):
        """A range broke at `rest_of_range`'s begin: back to the queue, to be tried again after a
        pause, or the end of the fetch."""
        self._give_back(rest_of_range)
        job = self.job
        if isinstance(exc, InterruptedError) or self.stopped(self._moved()):
            return self._stop(exc if isinstance(exc, InterruptedError) else InterruptedError("the transfer was stopped"))
        if not isinstance(exc, Exception) or not _jobs.retryable(exc):
            return self._stop(exc)
        begin, end, faults = rest_of_range
        if begin and not self.rest_works:
            return self._stop(exc)  # no offset to continue from: the job tries the whole file again
        if faults >= job.tries:
            failed = RangesFailed(f"bytes {begin} to {'the end' if end is None else end} failed "
                                  f"{faults} time{'s' * (faults != 1)}, the last: {exc}")
            failed.__cause__ = exc
            return self._stop(failed)
        time.sleep(job.delay * 2 ** (faults - 1))

    def _give_back(self, item):
        begin, end, _ = item
        if end is None or begin < end:
            with self.cond:
                self.todo.append(item)
                self.cond.notify_all()

    def _stop(self, exc):
        with self.cond:
            # Our own halt stops the other workers with InterruptedError: the first cause stands.
            if self.halt is None:
                self.halt = exc
            self.cond.notify_all()

    def _moved(self):
        with self.cond:
            return self.finished + sum(self.current.values())

    def _range(self, session, begin, end, rested, reach):
        """Bytes `begin` to `end` of the file into the temporary one; reach[0] tells how far they got."""
        client, job = session.client, self.job
        if not rested and (begin or self.rest_works):
            rest(client, begin)
        last = end == job.size
        length = None if end is None else end - begin
        worker = threading.get_ident()

        def stopped(moved):
            self.current[worker] = moved
            return self.halt is not None or self.stopped(self._moved())

        # A descriptor of its own, so that its offset is this range's alone.
        fd = os.open(f"/proc/self/fd/{self.partial.fd}", os.O_WRONLY | os.O_CLOEXEC)
        try:
            os.lseek(fd, begin, os.SEEK_SET)
            with DataConnection(client, f"RETR {job.remote}", download=True, holder=session) as data:
                conn = data.sock
                try:
                    # The last range reads one byte past the size, which tells a longer file.
                    limit = -1 if length is None else length + (1 if last else 0)
                    if isinstance(conn, ssl.SSLSocket):
                        with open(fd, "wb", buffering=0, closefd=False) as f:
                            received = _jobs.recv_python(conn, f, stopped, limit)
                    else:
                        received = _datapath.recv_file(conn, fd, conn.gettimeout(), stopped, limit)
                finally:
                    reach[0] = os.lseek(fd, 0, os.SEEK_CUR)
                if length is not None and received > length:
                    reach[0] = begin  # nothing of it counts
                    raise _jobs.Overlong(f"the server sent more than the {job.size} bytes it announced; "
                                         f"nothing was kept")
                if last or received < length:  # (length is None only for the last)
                    data.finish()
                    if length is not None and received < length:
                        raise _jobs.Truncated(f"the server announced {job.size} bytes and ended bytes {begin} "
                                              f"to {end} after {received}")
                else:
                    # Cut at the range's end: the rest of the file is other ranges' to read, not drained here.
                    data.cut(drain=False)
        finally:
            os.close(fd)


def rest(client, offset):
    reply = _resume.reply_to(client, f"REST {offset}")
    if reply[:3] != "350":
        raise RestRefused(reply)

