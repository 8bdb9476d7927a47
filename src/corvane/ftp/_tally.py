"""The counts of one run: what the report says and what progress shows.

Every file the plan names ends in exactly one count: moved, skipped (up to
date), failed, or not attempted (below a directory that could not be made,
or still waiting when the run stopped). So moved + skipped + failed + not
attempted is always what was planned, and progress, which counts the files
that were to move (all but the skipped), ends at its total whatever became
of them.
"""

import threading
from collections.abc import Callable
from dataclasses import dataclass, field


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
    files_unhashed: int = 0  # with checksum: files copied whose hash could not be compared
    deleted: int = 0  # files, links and directories removed at the target (delete=True)
    # Planned, but no transfer was tried: below a directory that could not be made, or the run stopped first.
    files_not_attempted: int = 0


class Tally:
    """Counts for one run. The counting calls come from the run's own thread; only `moving`
    comes from the workers' threads, which is why the bytes in hand have a lock."""

    def __init__(self, progress: Callable[[Progress], None] | None, moved: Callable | None = None):
        self.report = Report()
        self.progress = progress
        self.moved = moved  # hears the outcome of each file that arrived
        self.failures: list[Exception] = []
        self.sessions: set = set()
        self.planned = [0, 0]  # files and bytes that are to move: progress's totals
        self.done = [0, 0]  # of those, the files that ended and the bytes they moved
        self.open: dict = {}  # local path -> job, for every job planned that has not ended
        self.in_hand: dict = {}  # job -> the most bytes any try of it has moved, while it runs
        self.lock = threading.Lock()
        self.latest: str | None = None  # the file that last reported bytes since the last progress call

    # ---- what the plan names

    def plan(self, job, size):
        self.planned[0] += 1
        self.planned[1] += size
        self.open[job.local] = job

    def skip(self, size):
        self.report.files_skipped += 1
        self.report.bytes_skipped += size

    def fail(self, error):
        """A file named by the plan that fails with no transfer of its own (a name refused, a line
        unread, a directory behind a link)."""
        self.report.files_failed += 1
        self.failed(error)
        self._ended_unplanned(1, error.local)

    def failed(self, error):
        """A failure in the report's list; it counts as no file (a directory's, say)."""
        self.report.failed.append(error.local)
        self.failures.append(error)

    # ---- what became of the jobs

    def not_attempted(self, jobs):
        """Planned jobs that will never run: they end here, so that progress reaches its total."""
        ended = [job for job in jobs if self.open.pop(job.local, None) is not None]
        self.report.files_not_attempted += len(ended)
        if ended:
            self._advance(len(ended), 0, ended[-1].local)

    def untried(self, paths):
        """Files the plan names (their local paths) that get no job: what they were to go into
        could not be made."""
        self.report.files_not_attempted += len(paths)
        if paths:
            self._ended_unplanned(len(paths), paths[-1])

    def outcome(self, outcome):
        job = outcome.job
        self.open.pop(job.local, None)
        self.sessions |= outcome.sessions
        self.report.retries += outcome.retries
        if outcome.error is None:
            self.report.files_moved += 1
            self.report.bytes_moved += outcome.moved
            if self.moved is not None:
                self.moved(outcome)
        else:
            self.report.files_failed += 1
            self.failed(outcome.error)
        with self.lock:
            # Never less than was shown of it, so that bytes_done only grows.
            moved = max(self.in_hand.pop(job, 0), outcome.moved)
        self._advance(1, moved, job.local)

    def unfinished(self):
        """The jobs planned that have not ended: at a stop, they count as not attempted."""
        return list(self.open.values())

    # ---- progress

    def moving(self, job, moved):
        """A job's bytes so far, from its worker thread; a retry counts only once it passes the try before."""
        with self.lock:
            if moved > self.in_hand.get(job, 0):
                self.in_hand[job] = moved
                self.latest = job.local

    def tick(self):
        """Between ends of files: the bytes in hand, if any arrived since the last call."""
        if not self.progress or not self.latest:
            return
        with self.lock:
            current, self.latest = self.latest, None
            partial = sum(self.in_hand.values())
        self.progress(Progress(self.done[0], self.planned[0], self.done[1] + partial, self.planned[1], current))

    def _ended_unplanned(self, files, current):
        # Files that were to move and end before any job was made for them: in progress's
        # total and done alike, so that it still ends at its total.
        self.planned[0] += files
        self._advance(files, 0, current)

    def _advance(self, files, moved, current):
        with self.lock:
            self.done[0] += files
            self.done[1] += moved
            partial = sum(self.in_hand.values())
        if self.progress:
            self.progress(Progress(self.done[0], self.planned[0], self.done[1] + partial, self.planned[1],
                                   current))
