"""The transfer engine: whole trees and big files, both directions, over
several sessions at once.

    from corvane.ftp.transfer import put, get
    report = put("/home/me/photos", FTPPath("/backup/photos"), jobs=8, update=True)

`put` and `get` copy a file to a file or a tree to a tree; the source
directory's own name does not appear at the target, as with FTPPath.upload.
Sessions are made exactly as the path's class makes its thread's client, so a
subclass with another client factory works unchanged.

`executor=` takes any concurrent.futures.Executor (default: a thread pool of
`jobs` threads). The file jobs are picklable, so a process pool or Dask's
`Client.get_executor()` can run them; the local paths must then be reachable
from every worker, and each worker process keeps its own sessions, which it
closes when it exits.

`progress` is called in the calling thread as each file ends and, while jobs run
in this process (the default thread pool), up to ten times a second with the
bytes of the files in hand; when they run in other processes (a process pool,
Dask's workers) it hears of each file only as it ends.
"""

import concurrent.futures
import contextlib
import ftplib
import os
import posixpath
import signal
import threading
import time
import uuid
from collections.abc import Callable
from dataclasses import dataclass, field, replace

from corvane.base import BasePath
from corvane.ftp import _inside, _jobs, _plan, _times
from corvane.ftp._jobs import FileJob, FileTransferError
from corvane.ftp._sessions import close_pool, open_pool, server_of

__all__ = ["put", "get", "Progress", "Report", "FileTransferError"]

# A job bounced this often by processes that could get no session fails.
MAX_BOUNCES = 20


@dataclass(frozen=True)
class Progress:
    files_done: int
    files_total: int
    bytes_done: int
    bytes_total: int
    current: str  # the file just finished, or one in hand (its local path)


@dataclass
class Report:
    files_moved: int = 0
    bytes_moved: int = 0
    files_skipped: int = 0
    bytes_skipped: int = 0
    files_failed: int = 0
    dirs_made: int = 0
    sessions: int = 0
    retries: int = 0
    seconds: float = 0.0
    skipped_links: list[str] = field(default_factory=list)  # local paths (put) or remote paths (get)
    skipped_special: list[str] = field(default_factory=list)  # local pipes, devices and sockets a put left out
    failed: list[str] = field(default_factory=list)  # local paths of the files, and directories, that failed


def put(local: str | os.PathLike, remote: BasePath, *, jobs: int = 4, update: bool = False, atomic: bool = True,
        progress: Callable[[Progress], None] | None = None,
        executor: concurrent.futures.Executor | None = None, deadline: float | None = None) -> Report:
    """Copy the local file or tree `local` to the remote path `remote`.

    update: skip files whose remote copy has the same size and is no older; a
    time that the listing gives only to the minute or the day is asked of the
    server (MDTM) where it cannot tell.
    atomic: store each file under a temporary name and rename it into place, so
    that a failed or stopped upload leaves the old copy; False writes over it
    directly, one round trip less per file, and a failure then loses it.
    deadline: seconds for the whole run; when they pass every transfer stops and
    TimeoutError is raised, with the report as its `.report`.
    """
    return _Run(remote, jobs, progress, executor, deadline).put(os.fspath(local), update, atomic)


def get(remote: BasePath, local: str | os.PathLike, *, jobs: int = 4, update: bool = False,
        progress: Callable[[Progress], None] | None = None,
        executor: concurrent.futures.Executor | None = None, deadline: float | None = None) -> Report:
    """Copy the remote file or tree `remote` to the local path `local`.

    update: skip files whose local copy has the same size and the same
    modification time (MLSD's, or MDTM's where the listing gives only the minute
    or the day and cannot tell). Each copy gets the remote file's time.
    deadline: as for put.
    """
    return _Run(remote, jobs, progress, executor, deadline).get(os.fspath(local), update)


class _Expired(Exception):
    """The run's deadline passed; _guarded turns it into the caller's TimeoutError."""


@contextlib.contextmanager
def _interrupts_held():
    """Holds Ctrl-C back while jobs are handed to an executor, then raises it.

    A KeyboardInterrupt inside ThreadPoolExecutor.submit can strike while a
    pool thread is being started, and leave a thread that nothing ends, so
    that the interpreter never exits. Handing over takes a moment only.
    """
    if threading.current_thread() is not threading.main_thread() or signal.getsignal(signal.SIGINT) is None:
        yield  # signal handlers belong to the main thread; None: one set outside Python, left alone
        return
    caught = []
    previous = signal.signal(signal.SIGINT, lambda *_: caught.append(True))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if caught:
            signal.raise_signal(signal.SIGINT)


def _local_path(top, rel):
    return os.path.join(top, *rel.split("/")) if rel else top


def _make_dir(client, path):
    """MKD; False where the directory is there already. A refusal for any other reason (a
    parent missing, no permission) raises MKD's own answer.

    CWD asks whether it is there; it goes with MKD, so that both cost one round trip. The
    session's directory then moves, which no command of the engine depends on (its paths
    are absolute)."""
    client.putcmd(f"MKD {path}")
    client.putcmd(f"CWD {path}")
    made, there = client.getmultiline(), client.getmultiline()
    for reply in (made, there):
        if reply[:1] == "4":
            raise ftplib.error_temp(reply)
    if made[:1] == "2":
        return True
    if there[:1] == "2":
        return False
    raise ftplib.error_perm(made) if made[:1] == "5" else ftplib.error_reply(made)


def _home(client):
    """The session's directory, from PWD: an absolute path, or the server is not believed."""
    reply = client.sendcmd("PWD")
    home = ftplib.parse257(reply)
    if not home.startswith("/") or not _UNSENDABLE.isdisjoint(home):
        raise ftplib.error_proto(f"the answer to PWD names no absolute directory: {reply!r}")
    return home


_UNSENDABLE = frozenset("\0\r\n")


@dataclass
class _Walk:
    """A walk over directories, a step per directory on a thread of its own:
    found(item, result), on the run's thread, gives the items to step to
    next and the file jobs that step freed; failed(item, exc) names the
    directory whose step failed, after its tries, for the report."""
    first: list
    step: Callable
    found: Callable
    failed: Callable


def _in_new_directory(jobs):
    """The uploads into a directory this run has just made: nothing there can be replaced, so
    they store under their own names and save the rename's round trip. MKD refuses a name
    that exists on every server, so a made directory is an empty one."""
    return [replace(job, atomic=False) for job in jobs]


class _Run:
    def __init__(self, remote, jobs, progress, executor, deadline=None):
        if not isinstance(remote, BasePath):
            raise TypeError(f"remote must be an FTPPath, not {type(remote).__name__}")
        if jobs < 1:
            raise ValueError(f"jobs must be at least 1, not {jobs}")
        if deadline is not None and (isinstance(deadline, bool) or not deadline > 0):
            raise ValueError(f"deadline must be a number of seconds above 0, not {deadline!r}")
        self.deadline = deadline
        self.expired = False
        self.local = None  # the run's local top, for the messages
        self.remote = remote
        self.jobs = jobs
        self.progress = progress
        self.executor = executor
        self.id = uuid.uuid4().hex
        self.report = Report()
        self.started = time.monotonic()
        self.pool = open_pool(remote, self.id, jobs)
        self.sessions = set()
        self.tries = max(int(os.environ.get("CORVANE_RETRY_TIMES", 3)), 1)
        self.delay = float(os.environ.get("CORVANE_RETRY_DELAY", 0.2))
        self.planned = [0, 0]  # files and bytes of the jobs planned so far: progress's totals
        self.failures = []
        self.running = {}  # future -> job
        self.in_hand = {}  # job -> the most bytes any try of it has moved, while it runs
        self.in_hand_lock = threading.Lock()
        self.latest = None  # the file that last reported bytes since the last progress call
        # Wall-clock time, which jobs in other processes can compare too.
        self.deadline_at = None if deadline is None else time.time() + deadline
        self.clock = _times.Clock()  # the server's listing clock, for update's comparisons

    def _job(self, direction, local, rel, entry, mtime=None, atomic=False, follow=False):
        # A download in a tree opens its directory from the top down itself (see _inside).
        below = {"size": entry.size, "top": local if rel else None, "rel": rel} if direction == "get" else {}
        job = FileJob(direction, _local_path(local, rel), self.remote.join(rel) if rel else self.remote,
                      mtime, atomic, self.id, self.tries, self.delay, deadline=self.deadline_at, follow=follow,
                      **below)
        self.planned[0] += 1
        self.planned[1] += entry.size or 0
        return job

    def _skip(self, entry):
        self.report.files_skipped += 1
        self.report.bytes_skipped += entry.size or 0

    # ---- the two directions

    @contextlib.contextmanager
    def _guarded(self, direction, local):
        """Ctrl-C, a passed deadline, or any error, ends every transfer and closes every session before it passes."""
        self.local = local
        watchdog = None
        if self.deadline is not None:
            watchdog = threading.Timer(self.deadline, self._expire)
            watchdog.daemon = True
            watchdog.start()
        try:
            yield
        except BaseException as exc:
            self._stop()
            if self.expired and isinstance(exc, Exception):
                raise self._deadline_error(direction) from (None if isinstance(exc, _Expired) else exc)
            raise
        finally:
            if watchdog:
                watchdog.cancel()
                watchdog.join()
            self._close()

    def _expire(self):
        """On the watchdog's thread: stops every transfer, and wakes every call blocked on a session."""
        self.expired = True
        _jobs.stopped_runs.add(self.id)
        self.pool.cut_all()

    def _check_deadline(self):
        if self.expired:
            raise _Expired()

    def _deadline_error(self, direction):
        where = f"{server_of(self.remote)}:{self.remote}"
        ends = f"{self.local!r} to {where}" if direction == "put" else f"{where} to {self.local!r}"
        error = TimeoutError(f"the {direction} of {ends} did not finish within {self.deadline:g} s: "
                             f"every transfer was stopped and its temporary file removed")
        error.deadline = self.deadline
        error.report = self._final_report()
        return error

    def put(self, local, update, atomic):
        with self._guarded("put", local):
            tree = _plan.walk_local(local)
            self.report.skipped_links = [_local_path(local, rel) for rel in tree.skipped_links]
            self.report.skipped_special = [_local_path(local, rel) for rel in tree.skipped_special]
            if len(tree.files) > 1 and self.executor is None:  # no thread of ours while a caller's forks
                self.pool.warm(self.jobs)
            top = self._resolve_top()
            fresh = False
            if tree.is_dir or str(self.remote.parent) != "/":
                fresh = self._make_remote_top(top if tree.is_dir else str(self.remote.parent))
            here = tree.by_rel()

            def local_mtime(known):
                twin = here.get(known.rel)
                return twin.mtime if twin is not None and twin.size == known.size else None

            there = self._remote_tree(top, True, local_mtime).by_rel() if update else {}
            by_dir = {}
            for entry in tree.files:
                known = there.get(entry.rel)
                # A copy no older than its source is current: a server that sets no times dates
                # an upload when it arrives. Where it tells no time at all, the size decides.
                if known and known.size == entry.size and _times.compare(known, entry.mtime, self.clock) in (
                        "same", "newer", None):
                    self._skip(entry)
                else:
                    job = self._job("put", local, entry.rel, entry, atomic=atomic, follow=entry.rel in tree.file_links)
                    by_dir.setdefault(entry.rel.rpartition("/")[0], []).append(job)
            first = by_dir.pop("", [])
            self._execute(_in_new_directory(first) if fresh else first,
                          self._made_dirs_walk(local, top, tree.dirs, by_dir))
        return self._finish()

    def get(self, local, update):
        with self._guarded("get", local):
            # Every session logs in while the first probes the top: a tree then finds them ready.
            # Should the top be one file, the others were a few logins spent for nothing.
            if self.executor is None:  # no thread of ours while a caller's executor forks
                self.pool.warm(self.jobs)
            top = self._resolve_top()
            mlsd, kind, size = self._on_session(lambda client: _plan.probe_top(client, top))
            if kind == "file":
                self._make_local_dirs([os.path.dirname(local) or "."])
                files = [_plan.Entry("", size, None)]
                if update:
                    self._on_session(self._settler(top, lambda entry: self._local_mtime(local, entry), files))
                self._execute(self._get_jobs(local, files, update))
            else:
                self._make_local_dirs([local])
                tree = _plan.Tree()

                def found(rel, files):
                    if rel:  # made once it is listed, so that one that cannot be is not left empty
                        try:
                            self.report.dirs_made += _inside.make_dirs(local, rel)
                        except _inside.NotFollowed as exc:
                            self._below_link(local, files, exc)
                            return []
                    return self._get_jobs(local, files, update)

                settle = (lambda entry: self._local_mtime(_local_path(local, entry.rel), entry)) if update else None
                self._execute([], self._listing_walk(mlsd, top, tree, found, local, settle))
                self.report.skipped_links = [_plan.join(top, rel) for rel in tree.skipped_links]
        return self._finish()

    def _get_jobs(self, local, entries, update):
        jobs = []
        for entry in entries:
            if update and self._current(_local_path(local, entry.rel), entry):
                self._skip(entry)
            else:
                jobs.append(self._job("get", local, entry.rel, entry, mtime=entry.mtime))
        return jobs

    def _below_link(self, local, files, exc):
        """The files of a directory that a link stands in for: each one fails, none is fetched."""
        for entry in files:
            path, remote = _local_path(local, entry.rel), self.remote.join(entry.rel)
            error = FileTransferError(f"could not download {server_of(self.remote)}:{remote} to {path!r}: {exc}",
                                      path, str(remote))
            error.__cause__ = exc
            self.report.files_failed += 1
            self._failed(error)

    def _current(self, path, entry):
        mtime = self._local_mtime(path, entry)
        return mtime is not None and _times.compare(entry, mtime, self.clock) in ("same", None)  # None: see put

    @staticmethod
    def _local_mtime(path, entry):
        """The local copy's time where it has the remote entry's size; None where there is none to compare."""
        try:
            # In a tree, a link is not looked through: the download will replace it, not write through it.
            st = os.stat(path, follow_symlinks=not entry.rel)
        except FileNotFoundError:
            return None
        return st.st_mtime if st.st_size == entry.size else None

    def _settler(self, top, local_mtime, files):
        """work(client) that asks MDTM of the `files` whose listed time cannot tell them from their local twin."""
        return lambda client: _times.settle(client, files, local_mtime, lambda entry: _plan.join(top, entry.rel),
                                            self.clock)

    # ---- planning

    def _on_session(self, work):
        """work(client) on a planning session, tried again on a fresh one after a fault."""
        last = None
        for attempt in range(1, self.tries + 1):
            self._check_deadline()
            if attempt > 1:
                time.sleep(self.delay * 2 ** (attempt - 2))
                self.report.retries += 1
            session = self.pool.take(fresh=attempt > 1)
            self.sessions.add(session.id)
            try:
                result = work(session.client)
            except Exception as exc:
                self.pool.discard(session, exc)
                if not _jobs.retryable(exc):
                    raise
                last = exc
            except BaseException:
                self.pool.discard(session)
                raise
            else:
                self.pool.give_back(session)
                return result
        raise last

    def _remote_tree(self, top, missing_ok, local_mtime):
        """The whole remote tree under `top`, listed before anything moves; the files whose listed
        time cannot tell them from their local twin (local_mtime(entry), see _times.settle) get MDTM's."""
        try:
            mlsd, kind, size = self._on_session(lambda client: _plan.probe_top(client, top))
        except FileNotFoundError:
            if missing_ok:
                return _plan.Tree()
            raise
        if kind == "file":
            files = [_plan.Entry("", size, None)]
            self._on_session(self._settler(top, local_mtime, files))
            return _plan.Tree(is_dir=False, files=files)
        tree = _plan.Tree()
        self._execute([], self._listing_walk(mlsd, top, tree, lambda rel, files: [], settle=local_mtime))
        return tree

    def _listing_walk(self, mlsd, top, tree, found, local=None, settle=None):
        """Lists the remote directory `top` and every directory below it into `tree`;
        found(rel, files) hears of each directory's files as its listing arrives
        and returns the file jobs that may start. With `local`, the
        download's top, a directory that cannot be listed is reported and the
        others go on; without, its failure ends the run. With `settle` (see _remote_tree), each
        listing's session asks MDTM of the files its listed times leave in doubt."""
        lister = _plan.Lister(mlsd, server_of(self.remote))

        def step(item):
            def work(client):
                result = lister.directory(client, top, *item)
                if settle is not None:
                    self._settler(top, settle, result[1])(client)
                return result
            return self._on_session(work)

        def failed(item, exc):
            if local is None:
                raise exc  # a tree listed whole, to compare against, is of no use with a hole in it
            return self._directory_failure("list", top, local, item[0], exc)

        def listed(item, result):
            dirs, files, skipped, refused, unknown = result
            if local is not None:  # a comparison passes them over: it copies nothing
                for name in refused:
                    self.report.files_failed += 1
                    self._failed(self._refused(top, local, item[0], name))
                for line in unknown:
                    self.report.files_failed += 1
                    self._failed(self._unread(top, local, item[0], line))
            tree.dirs.extend(rel for rel, _ in dirs)
            tree.files.extend(files)
            tree.skipped_links.extend(skipped)
            return dirs, found(item[0], files)

        return _Walk([("", ())], step, listed, failed)

    def _make_remote_top(self, top):
        """The top directory, with its ancestors where it is refused for want of a parent;
        whether this call made it (so that nothing in it can be replaced)."""
        try:
            made = self._on_session(lambda client: _make_dir(client, top))
            self.report.dirs_made += made
            return made
        except ftplib.error_perm:
            pass  # not there, and refused: its parent may be missing. Make the ancestors, then try once more.
        parts = top.strip("/").split("/")
        ancestors = ["/" * top.startswith("/") + "/".join(parts[:i]) for i in range(1, len(parts))]

        def make(client):
            made = 0
            for path in ancestors:
                with contextlib.suppress(ftplib.error_perm):  # the top's own refusal tells what is wrong
                    made += _make_dir(client, path)
            return made, _make_dir(client, top)

        try:
            above, made = self._on_session(make)
        except ftplib.error_perm as exc:
            raise ftplib.error_perm(f"{exc} (MKD {server_of(self.remote)}:{top}: the directory to copy into "
                                    f"could not be made)") from exc
        self.report.dirs_made += above + made
        return made

    def _resolve_top(self):
        """The remote top as an absolute path, from PWD for a relative one. Probing a tree's top
        moves its session (CWD): every command of the run must mean the same place on any session."""
        top = str(self.remote)
        if not top.startswith("/"):
            home = self._on_session(_home)
            self.remote = type(self.remote)(posixpath.join(home, top))
            top = str(self.remote)
        return top

    def _made_dirs_walk(self, local, top, dirs, jobs_by_dir):
        """Makes each remote directory once, parents first; as each is made, its
        files may start. A refusal because it exists is fine, and the files'
        own transfers report any other."""
        children = {}
        for rel in dirs:
            children.setdefault(rel.rpartition("/")[0], []).append(rel)

        def made(rel, made):
            self.report.dirs_made += made
            jobs = jobs_by_dir.pop(rel, [])
            return children.get(rel, []), _in_new_directory(jobs) if made else jobs

        return _Walk(children.get("", []),
                     lambda rel: self._on_session(lambda client: _make_dir(client, _plan.join(top, rel))), made,
                     lambda rel, exc: self._directory_failure("make the directory", top, local, rel, exc))

    def _make_local_dirs(self, paths):
        for path in paths:
            try:
                os.mkdir(path)
                self.report.dirs_made += 1
            except FileExistsError:
                if not os.path.isdir(path):
                    raise
            except FileNotFoundError:
                os.makedirs(path)
                self.report.dirs_made += 1

    # ---- running the jobs

    def _execute(self, todo, walk=None):
        """Runs the file jobs `todo` and, with `walk`, the steps of a walk over directories
        and the jobs each step frees: with the default thread pool, the first files move
        while the walk goes on."""
        executor = self.executor or concurrent.futures.ThreadPoolExecutor(self.jobs)
        stepping = walk and concurrent.futures.ThreadPoolExecutor(self.jobs, "corvane-ftp walk")
        totals = self.planned
        done = [0, 0]
        bounces = {}
        running = self.running  # future -> its file job, or the walk's item it stands for

        # A caller's executor may fork its workers as jobs arrive (a process pool does), and a
        # child forked while a thread of ours is mid-command can inherit a lock nobody will
        # release. So with one, the walk ends, its threads with it, before any job goes out.
        held = [] if walk and self.executor is not None else None
        walking = 0

        def start(jobs, items=()):
            nonlocal walking
            with _interrupts_held():
                for item in items:
                    running[stepping.submit(walk.step, item)] = item
                    walking += 1
                if held is not None:
                    held.extend(jobs)
                    return
                for job in jobs:
                    running[executor.submit(job)] = job

        def release():
            nonlocal held
            if held is not None and not walking:
                stepping.shutdown(wait=True)
                jobs, held = held, None
                start(jobs)

        # Partial counts arrive on the workers' threads; the callback runs here, ten times a second at most.
        tick = None if self.deadline is None else 0.1  # so that a passed deadline is seen at once
        if self.progress:
            _jobs.partial_sinks[self.id] = (os.getpid(), self._moving)
            tick = 0.1
        try:
            start(todo, walk.first if walk else ())
            release()
            while running:
                self._check_deadline()
                finished, _ = concurrent.futures.wait(running, timeout=tick,
                                                      return_when=concurrent.futures.FIRST_COMPLETED)
                self._check_deadline()  # what the watchdog cut short is no failure of its own
                if not finished and self.latest:
                    with self.in_hand_lock:
                        current, self.latest = self.latest, None
                        partial = sum(self.in_hand.values())
                    self.progress(Progress(done[0], totals[0], done[1] + partial, totals[1], current))
                for future in finished:
                    job = running.pop(future)
                    if not isinstance(job, FileJob):
                        walking -= 1
                        try:
                            items, jobs = walk.found(job, future.result())
                        except Exception as exc:  # that directory's fault: the rest goes on
                            self._failed(walk.failed(job, exc))
                            items, jobs = (), ()
                        start(jobs, items)
                        release()
                        continue
                    outcome = self._outcome(future, job)
                    if outcome.refused:
                        bounces[job] = bounces.get(job, 0) + 1
                        if running and bounces[job] < MAX_BOUNCES:
                            with _interrupts_held():
                                running[executor.submit(job)] = job
                            continue
                        outcome.error = _jobs.failure(job, ConnectionError(
                            "the server refused every session this worker asked for"), None)
                    self._count(outcome)
                    with self.in_hand_lock:
                        # Never less than was shown of it, so that bytes_done only grows.
                        done[0] += 1
                        done[1] += max(self.in_hand.pop(job, 0), outcome.moved)
                        partial = sum(self.in_hand.values())
                    if self.progress:
                        self.progress(Progress(done[0], totals[0], done[1] + partial, totals[1], job.local))
            self._check_deadline()
        except BaseException:
            self._stop()  # before the threads are joined: a stalled transfer must not hold them
            raise
        finally:
            _jobs.partial_sinks.pop(self.id, None)
            self._join(stepping, executor if self.executor is None else None)

    def _join(self, *executors):
        """Shuts down the executors of ours and joins their threads: none may outlive the run, nor
        be in native code while the interpreter finalizes. A Ctrl-C meanwhile stops the jobs, and is
        raised once they are joined."""
        for executor in executors:
            if executor:
                executor.shutdown(wait=False, cancel_futures=True)
        interrupted = None
        for executor in executors:
            while executor:
                try:
                    executor.shutdown(wait=True)
                    break
                except KeyboardInterrupt as exc:
                    interrupted = exc
                    self._stop()
        if interrupted:
            raise interrupted

    def _moving(self, job, moved):
        """A job's bytes so far, from its worker thread; a retry counts only once it passes the try before."""
        with self.in_hand_lock:
            if moved > self.in_hand.get(job, 0):
                self.in_hand[job] = moved
                self.latest = job.local

    def _outcome(self, future, job):
        try:
            return future.result()
        except Exception as exc:  # the job itself broke, e.g. in a worker process that died
            outcome = _jobs.Outcome(job)
            outcome.error = _jobs.failure(job, exc, None)
            return outcome

    def _directory_failure(self, what, top, local, rel, exc):
        remote = _plan.join(top, rel)
        error = FileTransferError(f"could not {what} {server_of(self.remote)}:{remote}: {exc}; "
                                  f"nothing below it was copied", _local_path(local, rel), remote)
        error.__cause__ = exc
        return error

    def _refused(self, top, local, rel, name):
        remote = _plan.join(top, rel)
        return FileTransferError(f"{server_of(self.remote)}:{remote} lists an entry named {name!r}, which is "
                                 f"no plain name in that directory: it was not copied, nor anything below it",
                                 _local_path(local, rel), remote)

    def _unread(self, top, local, rel, line):
        remote = _plan.join(top, rel)
        return FileTransferError(f"{server_of(self.remote)}:{remote} lists a line in no format known here "
                                 f"(Unix, Windows/IIS, EPLF): {line!r}; whatever it names was not copied",
                                 _local_path(local, rel), remote)

    def _failed(self, error):
        self.report.failed.append(error.local)
        self.failures.append(error)

    def _count(self, outcome):
        self.sessions |= outcome.sessions
        self.report.retries += outcome.retries
        if outcome.error is None:
            self.report.files_moved += 1
            self.report.bytes_moved += outcome.moved
        else:
            self.report.files_failed += 1
            self._failed(outcome.error)

    def _stop(self):
        """Ctrl-C, or a progress callback that raised: every transfer ends within a
        moment, each removing its temporary file, and every session is closed."""
        _jobs.stopped_runs.add(self.id)
        # A cancelled future counts as done only once a worker has seen it: wait for the running ones.
        running = [future for future in self.running if not future.cancel()]
        self.pool.cut_all()
        concurrent.futures.wait(running, timeout=5)

    def _final_report(self):
        report = self.report
        report.sessions = len(self.sessions | set(self.pool.opened))
        report.seconds = time.monotonic() - self.started
        return report

    def _finish(self):
        report = self._final_report()
        failures = self.failures
        if failures:
            group = ExceptionGroup(f"{len(failures)} failed, {report.files_moved} files copied", failures)
            group.report = report
            raise group
        return report

    def _close(self):
        # A stopped run's id stays in stopped_runs: a job still winding down must not start a new try.
        close_pool(self.remote, self.id)
