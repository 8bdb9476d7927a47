"""Comparing a local tree (or file) with a remote one, without copying anything.

    from corvane.ftp.verify import check
    result = check("/home/me/photos", FTPPath("/backup/photos"))
    for difference in result.differences:
        print(difference)

Each path is compared by what both sides know of it: whether it is there and
of which kind, its size, its modification time at the precision the server
gives it (exact from MLSD and MDTM; to the minute, or the day, from LIST),
and, where the sizes agree and the server offers a hash (HASH, XSHA256,
XSHA1, XMD5, XCRC), its content. The local side is hashed with hashlib a
block at a time, while the server hashes its copy.

The listings are the engine's own: walk_local here, _plan.Lister there, on
`jobs` sessions at once; the hashes go over the same sessions.
"""

import concurrent.futures
import datetime
import ftplib
import os
import posixpath
import warnings
from dataclasses import dataclass, field

from corvane.base import BasePath
from corvane.ftp import _checksums, _plan, _times
from corvane.ftp._sessions import SessionPool, server_of

__all__ = ["check", "CheckResult", "Difference"]


@dataclass(frozen=True)
class Difference:
    path: str  # "/"-separated below both tops; "" for the tops themselves
    what: str  # "missing on the server", "missing here", "kind", "size", "time" or "content"
    text: str  # the line that tells it

    def __str__(self):
        return self.text


@dataclass
class CheckResult:
    differences: list[Difference] = field(default_factory=list)
    files: int = 0  # files on both sides, compared
    hashed: int = 0  # of those, the ones compared by hash
    algorithm: str | None = None  # the hash used
    unhashed: str | None = None  # why some or all were not compared by hash
    skipped_links: list[str] = field(default_factory=list)  # "/"-separated paths of links to directories, either side

    @property
    def agree(self):
        return not self.differences


def check(local: str | os.PathLike, remote: BasePath, *, jobs: int = 4, times: bool = True,
          hashes: bool = True) -> CheckResult:
    """Compare the local file or tree `local` with the remote one `remote`.

    times: compare modification times (a server dates an upload when it
    arrives, so a tree just put differs in every time unless the times were
    set there). hashes: compare contents where the server offers a hash.
    Raises FileNotFoundError when either top is missing; a fault of the
    server raises as it came.
    """
    if not isinstance(remote, BasePath):
        raise TypeError(f"remote must be an FTPPath, not {type(remote).__name__}")
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    local = os.fspath(local)
    if not os.path.lexists(local):
        raise FileNotFoundError(f"local path '{local}' does not exist")
    here = _plan.walk_local(local)
    pool = SessionPool(remote, jobs)
    executor = concurrent.futures.ThreadPoolExecutor(jobs, "corvane-ftp check")
    try:
        return _Check(remote, local, pool, executor, times, hashes).run(here)
    except BaseException:
        pool.cut_all()  # Ctrl-C or a failure: no listing or hash still under way may hold the threads
        raise
    finally:
        executor.shutdown(wait=True, cancel_futures=True)
        pool.close()


class _Check:
    def __init__(self, remote, local, pool, executor, times, hashes):
        self.remote, self.local, self.pool, self.executor = remote, local, pool, executor
        self.server = server_of(remote)
        self.times, self.hashes = times, hashes
        self.result = CheckResult()

    def on_session(self, work):
        session = self.pool.take()
        try:
            result = work(session.client)
        except ftplib.error_perm:
            self.pool.give_back(session)  # a refusal leaves the session in step
            raise
        except BaseException as exc:
            self.pool.discard(session, exc)
            raise
        self.pool.give_back(session)
        return result

    def run(self, here):
        top = str(self.remote)
        if not top.startswith("/"):
            home = self.on_session(lambda client: ftplib.parse257(client.sendcmd("PWD")))
            top = posixpath.join(home, top)
        mlsd, kind, size, _ = self.on_session(lambda client: _plan.probe_top(client, top))
        if kind == "file":
            mtime = self.on_session(lambda client: _mdtm(client, top)) if self.times else None
            there = _plan.Tree(is_dir=False, files=[_plan.Entry("", size, mtime)])
        else:
            there = self.listed(mlsd, top)
        if here.is_dir != there.is_dir:
            self.differ("", "kind", f"kind differs: a {_kind(here.is_dir)} here, a {_kind(there.is_dir)} on the server")
        else:
            self.compare(here, there, top)
        self.result.differences.sort(key=lambda d: d.path)
        return self.result

    def listed(self, mlsd, top):
        """The remote tree under `top`, a directory listing on each session at once."""
        lister = _plan.Lister(mlsd, self.server)
        tree = _plan.Tree()
        running = {self.executor.submit(self.on_session, lambda c: lister.directory(c, top, "", ())): ""}
        while running:
            done, _ = concurrent.futures.wait(running, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                rel = running.pop(future)
                dirs, files, skipped, refused, unknown = future.result()
                for line in unknown:
                    warnings.warn(f"{self.server}:{_plan.join(top, rel)} lists a line in no format known here "
                                  f"(Unix, Windows/IIS, EPLF): {line!r}; whatever it names is not compared",
                                  stacklevel=4)
                for name in refused:
                    warnings.warn(f"{self.server}:{_plan.join(top, rel)} lists an entry named {name!r}, which is "
                                  f"no plain name in that directory: it is not compared", stacklevel=4)
                tree.dirs.extend(child for child, _ in dirs)
                tree.files.extend(files)
                tree.skipped_links.extend(skipped)
                for child, ancestors in dirs:
                    running[self.executor.submit(
                        self.on_session, lambda c, child=child, ancestors=ancestors:
                        lister.directory(c, top, child, ancestors))] = child
        return tree

    def differ(self, rel, what, text):
        self.result.differences.append(Difference(rel, what, f"{rel or os.path.basename(self.local)}: {text}"))

    def compare(self, here, there, top):
        self.result.skipped_links = sorted(set(here.skipped_links) | set(there.skipped_links))
        local_files, remote_files = here.by_rel(), there.by_rel()
        local_dirs, remote_dirs = set(here.dirs), set(there.dirs)
        missing = set()  # directories told missing, or a file on the other side: what is below them goes unsaid
        for rel in sorted(local_files.keys() | remote_files.keys() | local_dirs | remote_dirs):
            if rel.rpartition("/")[0] in missing:
                if rel in local_dirs or rel in remote_dirs:
                    missing.add(rel)
                continue
            is_dir = (rel in local_dirs, rel in remote_dirs)
            is_file = (rel in local_files, rel in remote_files)
            if is_dir[0] and is_file[1] or is_file[0] and is_dir[1]:
                self.differ(rel, "kind", f"kind differs: a {_kind(is_dir[0])} here, a {_kind(is_dir[1])} "
                                         f"on the server")
                missing.add(rel)  # what the directory holds has no counterpart on the other side
            elif not (is_dir[1] or is_file[1]):
                self.differ(rel, "missing on the server", "missing on the server")
                missing.add(rel)
            elif not (is_dir[0] or is_file[0]):
                self.differ(rel, "missing here", "missing here")
                missing.add(rel)
        both = [(local_files[rel], remote_files[rel]) for rel in sorted(local_files.keys() & remote_files.keys())]
        self.result.files = len(both)
        alike = []
        for mine, theirs in both:
            if theirs.size is not None and mine.size != theirs.size:
                self.differ(mine.rel, "size", f"size differs: {mine.size} B here, {theirs.size} B on the server")
                continue
            if self.times:
                told = _time_difference(mine.mtime, theirs)
                if told:
                    self.differ(mine.rel, "time", f"time differs: {told}")
            alike.append(mine.rel)
        if self.hashes and alike:
            self.compare_contents(alike, top)

    def compare_contents(self, rels, top):
        """Hashes each file of `rels` on both sides, on each session at once."""
        def hashed(rel):
            path = _plan.join(top, rel)
            local = _checksums.file_digest(lambda: open(os.path.join(self.local, *rel.split("/")) if rel else
                                                        self.local, "rb"))
            try:
                return rel, self.on_session(lambda client: _checksums.digests(client, path, local))
            except ftplib.error_perm as exc:
                return rel, _checksums.refused(str(exc))

        for rel, found in self.executor.map(hashed, rels):
            if found is None:
                self.result.unhashed = _checksums.NOT_OFFERED
                break  # no session of this server will offer one
            if isinstance(found, str):
                self.result.unhashed = found
                continue
            algorithm, mine, theirs = found
            self.result.algorithm = algorithm
            self.result.hashed += 1
            if mine != theirs:
                self.differ(rel, "content", f"content differs: {algorithm} {mine} here, {theirs} on the server")


def _kind(is_dir):
    return "directory" if is_dir else "file"


def _mdtm(client, path):
    """The exact modification time MDTM gives a file; None where it gives none."""
    try:
        reply = client.sendcmd(f"MDTM {path}")
    except ftplib.error_perm:
        return None
    return _times.mdtm_reply(reply)


def _time_difference(local, remote):
    """How the local time differs from the remote entry's, at the precision the server gives it;
    None where they agree, or the server gives no time."""
    if remote.mtime is not None:
        if abs(local - remote.mtime) < 1:
            return None
        return f"{_utc(local, 1)} here, {_utc(remote.mtime, 1)} on the server"
    if remote.listed_time is None:
        return None
    when, precision = remote.listed_time
    if local // precision * precision == when:
        return None
    step = "to the day" if precision >= 86400 else "to the minute" if precision >= 60 else "to the second"
    return f"{_utc(local, precision)} here, {_utc(when, precision)} on the server (its listing gives it {step})"


def _utc(seconds, precision):
    """The time in UTC, to the precision given."""
    try:
        when = datetime.datetime.fromtimestamp(int(seconds), datetime.UTC)
    except (ValueError, OverflowError, OSError):
        return "?"
    return f"{when:%Y-%m-%d}" if precision >= 86400 else f"{when:%Y-%m-%d %H:%M}" if precision >= 60 \
        else f"{when:%Y-%m-%d %H:%M:%S}"
