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

A run is three parts put together here: its plan (`_runplan`: the two tops and
a checked job per file), the scheduler (`_scheduler`: the jobs on the executor,
the walks on threads, one stop signal for every worker) and the tally
(`_tally`: the report and progress, every planned file in one count).
"""

import concurrent.futures
import contextlib
import ftplib
import os
import posixpath
import time
import uuid
from collections.abc import Callable, Sequence
from dataclasses import replace

from corvane.base import BasePath
from corvane.ftp import _checksums, _data, _inside, _jobs, _plan, _times
from corvane.ftp._filters import Filters
from corvane.ftp._jobs import FileTransferError
from corvane.ftp._mirror import Mirror
from corvane.ftp._runplan import RunPlan, refusal
from corvane.ftp._scheduler import Expired, Scheduler, Walk
from corvane.ftp._sessions import close_pool, open_pool, server_of
from corvane.ftp._tally import Progress, Report, Tally

__all__ = ["put", "get", "Progress", "Report", "FileTransferError"]


def put(local: str | os.PathLike, remote: BasePath, *, jobs: int = 4, update: bool = False, atomic: bool = True,
        progress: Callable[[Progress], None] | None = None,
        executor: concurrent.futures.Executor | None = None, deadline: float | None = None,
        checksum: bool = False, filters: Sequence[tuple[str, str]] = (), delete: bool = False,
        dry_run: bool = False, log: Callable[[str, str], None] | None = None, resume: bool = False) -> Report:
    """Copy the local file or tree `local` to the remote path `remote`.

    update: skip files whose remote copy has the same size and is no older; a
    time that the listing gives only to the minute or the day is asked of the
    server (MDTM) where it cannot tell.
    atomic: store each file under a temporary name and rename it into place, so
    that a failed or stopped upload leaves the old copy; False writes over it
    directly, one round trip less per file, and a failure then loses it.
    deadline: seconds for the whole run; when they pass every transfer stops and
    TimeoutError is raised, with the report as its `.report`.
    checksum: after each file, compare the server's hash of its copy (HASH, XSHA256, ...)
    with the local file's; a mismatch fails that file, and its copy is not put in place.
    Where the server offers no hash, one warning says so and the files are not compared.
    filters: rsync's include and exclude rules for the paths of a tree, in order,
    such as [("+", "*.csv"), ("+", "*/"), ("-", "*")] (see corvane.ftp._filters).
    delete: after a copy in which nothing failed, remove below the target what the
    source does not have, except what the filters leave out; counted in `deleted`.
    dry_run: list both sides but change neither: the report counts what would be
    copied and deleted, and `log` hears of each.
    log: log(action, path) for each file copied ("copy") and each path removed
    ("delete"), the path below the top ("/" ends a directory's).
    resume: continue the part an earlier run with resume left of a file (its temporary
    name, or with atomic=False the target) where it is shorter than the local file, by
    REST+STOR, else APPE, else afresh; a failed or stopped upload leaves its part there.
    """
    mirror = Mirror(Filters(filters), delete, dry_run, log)
    return _Run(remote, jobs, progress, executor, deadline, checksum, mirror,
                resume).put(os.fspath(local), update, atomic)


def get(remote: BasePath, local: str | os.PathLike, *, jobs: int = 4, update: bool = False,
        progress: Callable[[Progress], None] | None = None,
        executor: concurrent.futures.Executor | None = None, deadline: float | None = None,
        checksum: bool = False, filters: Sequence[tuple[str, str]] = (), delete: bool = False,
        dry_run: bool = False, log: Callable[[str, str], None] | None = None, resume: bool = False,
        segments: int = 1) -> Report:
    """Copy the remote file or tree `remote` to the local path `local`.

    update: skip files whose local copy has the same size and the same
    modification time (MLSD's, or MDTM's where the listing gives only the minute
    or the day and cannot tell). Each copy gets the remote file's time.
    deadline, checksum, filters, delete, dry_run and log: as for put.
    resume: keep a failed or stopped download's temporary file, and continue one that an
    earlier run kept (REST + RETR) where it is shorter than the remote file and, where the
    listing dates the file, no older than it.
    segments: fetch each file of 2 MiB or more in up to this many ranges at once, each on a
    session of its own (the run may then open that many sessions), for servers that hold
    each connection to a rate; one stream where the server refuses REST.
    """
    mirror = Mirror(Filters(filters), delete, dry_run, log)
    return _Run(remote, jobs, progress, executor, deadline, checksum, mirror, resume,
                segments).get(os.fspath(local), update)


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


def _in_new_directory(jobs):
    """The uploads into a directory this run has just made: nothing there can be replaced, so
    they store under their own names and save the rename's round trip. MKD refuses a name
    that exists on every server, so a made directory is an empty one."""
    return [replace(job, atomic=False) for job in jobs]


def _below(jobs_by_dir, rel):
    """The jobs held for the directory `rel` and every directory below it, taken out of `jobs_by_dir`."""
    inside = [key for key in jobs_by_dir if key == rel or key.startswith(rel + "/")]
    return [job for key in inside for job in jobs_by_dir.pop(key)]


class _Run:
    """One put or get: the plan, the scheduler and the tally put together, and the planning
    sessions' work (the top's probe, the listings, the directories to make)."""

    def __init__(self, remote, jobs, progress, executor, deadline=None, checksum=False, mirror=None, resume=False,
                 segments=1):
        if not isinstance(remote, BasePath):
            raise TypeError(f"remote must be an FTPPath, not {type(remote).__name__}")
        if jobs < 1:
            raise ValueError(f"jobs must be at least 1, not {jobs}")
        if deadline is not None and (isinstance(deadline, bool) or not deadline > 0):
            raise ValueError(f"deadline must be a number of seconds above 0, not {deadline!r}")
        if isinstance(segments, bool) or not isinstance(segments, int) or segments < 1:
            raise ValueError(f"segments must be a whole number of at least 1, not {segments!r}")
        self.resume, self.segments = resume, segments
        self.deadline = deadline
        self.checksum = checksum
        self.mirror = mirror or Mirror()
        self.local = None  # the run's local top, for the messages
        self.remote = remote
        self.jobs = jobs
        self.executor = executor
        self.id = uuid.uuid4().hex
        self.started = time.monotonic()
        self.pool = open_pool(remote, self.id, max(jobs, segments))  # a segmented file's ranges take sessions too
        self.tally = Tally(progress, self._moved)
        self.report = self.tally.report
        self.scheduler = Scheduler(self.id, jobs, executor, self.tally, self.pool, deadline)
        self.tries = max(int(os.environ.get("CORVANE_RETRY_TIMES", 3)), 1)
        self.delay = float(os.environ.get("CORVANE_RETRY_DELAY", 0.2))
        self.plan = None
        # Wall-clock time, which jobs in other processes can compare too.
        self.deadline_at = None if deadline is None else time.time() + deadline
        self.clock = _times.Clock()  # the server's listing clock, for update's comparisons

    def _plan_for(self, local):
        """The plan between `local` and the remote top, made absolute first."""
        self._resolve_top()
        self.plan = RunPlan(self.remote, local, self.id, self.tries, self.delay, self.deadline_at,
                            self.scheduler.stop_file, self.checksum, self.resume,
                            self.segments)
        return self.plan

    def _moved(self, outcome):
        if outcome.unhashed:
            _checksums.not_compared(self.report, outcome.unhashed, server_of(self.remote))
        self.mirror.moved(outcome.job, self.remote)

    def _job(self, direction, entry, atomic=False, follow=False):
        job = self.plan.job(direction, entry, atomic, follow)
        self.tally.plan(job, entry.size or 0)
        return job

    # ---- the two directions

    @contextlib.contextmanager
    def _guarded(self, direction, local):
        """Ctrl-C, a passed deadline, or any error, ends every transfer and closes every session before it passes."""
        self.local = local
        try:
            with self.scheduler.watching():
                yield
        except BaseException as exc:
            self.scheduler.stop()
            if self.scheduler.expired and isinstance(exc, Exception):
                raise self._deadline_error(direction) from (None if isinstance(exc, Expired) else exc)
            raise
        finally:
            self._close()

    def _deadline_error(self, direction):
        where = f"{server_of(self.remote)}:{self.remote}"
        ends = f"{self.local!r} to {where}" if direction == "put" else f"{where} to {self.local!r}"
        error = TimeoutError(f"the {direction} of {ends} did not finish within {self.deadline:g} s: "
                             f"every transfer was stopped and its temporary file "
                             f"{'kept, for the next run with resume' if self.resume else 'removed'}")
        error.deadline = self.deadline
        error.report = self._final_report()
        return error

    def put(self, local, update, atomic):
        with self._guarded("put", local):
            tree = _plan.walk_local(local, keep=self.mirror.keep)
            self.report.skipped_links = [_local_path(local, rel) for rel in tree.skipped_links]
            self.report.skipped_special = [_local_path(local, rel) for rel in tree.skipped_special]
            if len(tree.files) > 1 and self.executor is None:  # no thread of ours while a caller's forks
                self.pool.warm(self.jobs)
            plan = self._plan_for(local)
            top = plan.top
            fresh = False
            if (tree.is_dir or str(self.remote.parent) != "/") and not self.mirror.dry_run:
                fresh = self._make_remote_top(top if tree.is_dir else str(self.remote.parent))
            here = tree.by_rel()

            def local_mtime(known):
                twin = here.get(known.rel)
                return twin.mtime if twin is not None and twin.size == known.size else None

            target = self._remote_tree(top, True, local_mtime if update else None) if update or self.mirror.delete \
                else None
            there = target.by_rel() if update else {}
            by_dir = {}
            for entry in tree.files:
                known = there.get(entry.rel)
                reason = refusal(entry.rel)
                if reason is not None:
                    self.tally.fail(FileTransferError(
                        f"could not upload {plan.local_path(entry.rel)!r} to {server_of(self.remote)}:{top}: "
                        f"{reason}", plan.local_path(entry.rel), plan.remote_text(entry.rel)))
                # A copy no older than its source is current: a server that sets no times dates
                # an upload when it arrives. Where it tells no time at all, the size decides.
                elif known and known.size == entry.size and _times.compare(known, entry.mtime, self.clock) in (
                        "same", "newer", None):
                    self.tally.skip(entry.size)
                else:
                    job = self._job("put", entry, atomic=atomic, follow=entry.rel in tree.file_links)
                    by_dir.setdefault(entry.rel.rpartition("/")[0], []).append(job)
            if self.mirror.dry_run:
                self.mirror.planned(self.tally, [job for jobs in by_dir.values() for job in jobs])
            else:
                first = by_dir.pop("", [])
                self.scheduler.execute(_in_new_directory(first) if fresh else first,
                                       self._made_dirs_walk(local, top, tree.dirs, by_dir))
            if target is not None:
                self.mirror.remove_remote(self, top, local, tree, target)
        return self._finish()

    def get(self, local, update):
        with self._guarded("get", local):
            # Every session logs in while the first probes the top: a tree then finds them ready.
            # Should the top be one file, the others were a few logins spent for nothing.
            if self.executor is None:  # no thread of ours while a caller's executor forks
                self.pool.warm(max(self.jobs, self.segments))
            top = self._plan_for(local).top
            settle = (lambda entry: self._local_mtime(_local_path(local, entry.rel), entry)) if update else None
            mlsd, kind, size, first = self._probe_and_list(top, settle)
            dry_run = self.mirror.dry_run
            if kind == "file":
                if not dry_run:
                    self._make_local_dirs([os.path.dirname(local) or "."])
                files = [_plan.Entry("", size, None)]
                if update:
                    self._on_session(self._settler(top, lambda entry: self._local_mtime(local, entry), files))
                self.scheduler.execute(self.mirror.planned(self.tally, self._get_jobs(local, files, update)))
            else:
                if not dry_run:
                    self._make_local_dirs([local])
                tree = _plan.Tree()

                def found(rel, files):
                    if rel and not dry_run:  # made once it is listed, so that one that cannot be is not left empty
                        try:
                            self.report.dirs_made += _inside.make_dirs(local, rel)
                        except _inside.NotFollowed as exc:
                            self._below_link(local, files, exc)
                            return []
                        except Exception:
                            # Listed, so planned: nothing of it is tried (the directory's failure says why).
                            self.tally.untried([_local_path(local, entry.rel) for entry in files])
                            raise
                    return self.mirror.planned(self.tally, self._get_jobs(local, files, update))

                self.scheduler.execute([], self._listing_walk(mlsd, top, tree, found, local, settle, first))
                self.report.skipped_links = [_plan.join(top, rel) for rel in tree.skipped_links]
                self.mirror.remove_local(self, local, tree)
        return self._finish()

    def _get_jobs(self, local, entries, update):
        jobs = []
        for entry in entries:
            if update and self._current(_local_path(local, entry.rel), entry):
                self.tally.skip(entry.size or 0)
            else:
                jobs.append(self._job("get", entry))
        return jobs

    def _below_link(self, local, files, exc):
        """The files of a directory that a link stands in for: each one fails, none is fetched."""
        for entry in files:
            path, remote = _local_path(local, entry.rel), self.remote.join(entry.rel)
            error = FileTransferError(f"could not download {server_of(self.remote)}:{remote} to {path!r}: {exc}",
                                      path, str(remote))
            error.__cause__ = exc
            self.tally.fail(error)

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
            self.scheduler.check_deadline()
            if attempt > 1:
                time.sleep(self.delay * 2 ** (attempt - 2))
                self.report.retries += 1
            session = self.pool.take(fresh=attempt > 1)
            self.tally.sessions.add(session.id)
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

    def _remote_tree(self, top, missing_ok, local_mtime=None):
        """The whole remote tree under `top`, listed before anything moves; the files whose listed
        time cannot tell them from their local twin (local_mtime(entry), see _times.settle) get MDTM's;
        without local_mtime, only the listing is read."""
        try:
            mlsd, kind, size, _ = self._on_session(lambda client: _plan.probe_top(client, top))
        except FileNotFoundError:
            if missing_ok:
                return _plan.Tree()
            raise
        if kind == "file":
            files = [_plan.Entry("", size, None)]
            if local_mtime is not None:
                self._on_session(self._settler(top, local_mtime, files))
            return _plan.Tree(is_dir=False, files=files)
        tree = _plan.Tree()
        self.scheduler.execute([], self._listing_walk(mlsd, top, tree, lambda rel, files: [], settle=local_mtime))
        return tree

    def _probe_and_list(self, top, settle):
        """probe_top's answers for a download's top, and for a directory (lister, its listing)
        too, listed on the probe's session through the PASV sent with the probe: a round trip
        sooner. None in their place where that listing did not come: the walk lists the top
        as any directory, and reports its failure (after a fault, on a fresh session)."""
        def work(client):
            mlsd, kind, size, passive = _plan.probe_top(client, top, passive=True)
            if passive is None:
                return mlsd, kind, size, None
            lister = _plan.Lister(mlsd, server_of(self.remote))
            try:
                with _data.passive_ready(client, passive):
                    result = lister.directory(client, top, "")
                if settle is not None:
                    self._settler(top, settle, result[1])(client)
            except (ftplib.error_perm, ftplib.error_temp):
                return mlsd, kind, size, None  # an answer: the session is in step
            except Exception as exc:
                raise _TopUnlisted(mlsd) from exc  # the session is dropped
            return mlsd, kind, size, (lister, result)

        try:
            return self._on_session(work)
        except _TopUnlisted as unlisted:
            return unlisted.mlsd, "dir", None, None

    def _listing_walk(self, mlsd, top, tree, found, local=None, settle=None, first=None):
        """Lists the remote directory `top` and every directory below it into `tree`;
        found(rel, files) hears of each directory's files as its listing arrives
        and returns the file jobs that may start. With `local`, the
        download's top, a directory that cannot be listed is reported and the
        others go on; without, its failure ends the run. With `settle` (see _remote_tree), each
        listing's session asks MDTM of the files its listed times leave in doubt. `first`:
        (the lister, the top's listing), where the probe brought it (see _probe_and_list)."""
        lister, top_listing = first if first is not None else (_plan.Lister(mlsd, server_of(self.remote)), None)

        def step(item):
            nonlocal top_listing
            if top_listing is not None and item == ("", ()):
                result, top_listing = top_listing, None
                return result
            def work(client):
                result = lister.directory(client, top, *item)
                if settle is not None:
                    self._settler(top, settle, result[1])(client)
                return result
            return self._on_session(work)

        def failed(item, exc):
            if local is None:
                raise exc  # a tree listed whole, to compare against, is of no use with a hole in it
            self.tally.failed(self._directory_failure("list", top, local, item[0], exc))

        def listed(item, result):
            dirs, files, skipped, refused, unknown = result
            if local is not None:  # a comparison passes them over: it copies nothing
                for name in refused:
                    self.tally.fail(self._refused(top, local, item[0], name))
                for line in unknown:
                    self.tally.fail(self._unread(top, local, item[0], line))
            dirs, files, skipped = self.mirror.prune(item[0], dirs, files, skipped, tree)
            if refused or unknown:
                tree.held.add(item[0])  # what they name is not known, so not deleted
            tree.dirs.extend(rel for rel, _ in dirs)
            tree.files.extend(files)
            tree.skipped_links.extend(skipped)
            return dirs, found(item[0], files)

        return Walk([("", ())], step, listed, failed)

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
                try:
                    made += _make_dir(client, path)
                except ftplib.error_perm:
                    pass  # the top's own refusal tells what is wrong
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
        own transfers report any other. The files of one that cannot be made, and
        of every directory below it, are not attempted."""
        children = {}
        for rel in dirs:
            children.setdefault(rel.rpartition("/")[0], []).append(rel)

        def made(rel, made):
            self.report.dirs_made += made
            jobs = jobs_by_dir.pop(rel, [])
            return children.get(rel, []), _in_new_directory(jobs) if made else jobs

        def failed(rel, exc):
            self.tally.failed(self._directory_failure("make the directory", top, local, rel, exc))
            self.tally.not_attempted(_below(jobs_by_dir, rel))

        return Walk(children.get("", []),
                    lambda rel: self._on_session(lambda client: _make_dir(client, _plan.join(top, rel))), made,
                    failed)

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

    # ---- reporting

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

    def _final_report(self):
        report = self.report
        # A stopped run's jobs that never ended were not attempted, or cut short: neither moved a file.
        self.tally.not_attempted(self.tally.unfinished())
        report.sessions = len(self.tally.sessions | set(self.pool.opened))
        report.seconds = time.monotonic() - self.started
        return report

    def _finish(self):
        report = self._final_report()
        failures = self.tally.failures
        if failures:
            group = ExceptionGroup(f"{len(failures)} failed, {report.files_moved} files copied", failures)
            group.report = report
            raise group
        return report

    def _close(self):
        # A stopped run's id stays in stopped_runs: a job still winding down must not start a new try.
        close_pool(self.remote, self.id)


class _TopUnlisted(Exception):
    """The top's listing with the probe failed other than by the server's answer."""

    def __init__(self, mlsd):
        super().__init__("the top's listing with the probe failed")
        self.mlsd = mlsd


def _local_path(top, rel):
    return os.path.join(top, *rel.split("/")) if rel else top
