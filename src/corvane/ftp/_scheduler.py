"""Running one transfer's jobs: file jobs on the run's own workers (see _workers) or the
caller's executor, directory steps on threads of their own, with one stop signal that
every worker sees.

Stopping (Ctrl-C, a progress callback that raised, a passed deadline) must reach
every worker: threads of this process see the run's id in `_jobs.stopped_runs`;
workers in other processes (a `ProcessPoolExecutor`, say) see a file named for
the run, which the jobs of a run with a caller's executor look for between
blocks. Either way no new try starts, and running transfers end at their next
check, each removing its temporary file. The file stays until this process
exits: a job still queued in a worker when the run ends must not start.
"""

import atexit
import collections
import concurrent.futures
import contextlib
import os
import queue
import signal
import tempfile
import threading
from collections.abc import Callable
from dataclasses import dataclass

from corvane.ftp import _jobs
from corvane.ftp._jobs import FileJob
from corvane.ftp._workers import Workers

# A job bounced this often by processes that could get no session fails.
MAX_BOUNCES = 20


class Expired(Exception):
    """The run's deadline passed; the run turns it into the caller's TimeoutError."""


# The SIGINT handlers that holds replaced, while one is on (see _interrupts_held).
_held: list = []


def _release_in_child():
    # A worker process forked while Ctrl-C is held (a process pool forks as jobs are handed
    # over) would keep the hold's handler for good, and let Ctrl-C go unheard: give it back.
    if _held:
        with contextlib.suppress(ValueError):  # not the main thread: no handler of ours to undo
            signal.signal(signal.SIGINT, _held[0])
        _held.clear()


os.register_at_fork(after_in_child=_release_in_child)


@contextlib.contextmanager
def _interrupts_held():
    """Holds Ctrl-C back while jobs are handed to an executor or workers, then raises it.

    A KeyboardInterrupt can strike while a thread is being started (inside
    ThreadPoolExecutor.submit, or Workers.add), and leave a thread that nothing
    ends, so that the interpreter never exits. Handing over takes a moment only.
    """
    if threading.current_thread() is not threading.main_thread() or signal.getsignal(signal.SIGINT) is None:
        yield  # signal handlers belong to the main thread; None: one set outside Python, left alone
        return
    caught = []
    previous = signal.signal(signal.SIGINT, lambda *_: caught.append(True))
    _held.append(previous)
    try:
        yield
    finally:
        _held.remove(previous)
        signal.signal(signal.SIGINT, previous)
        if caught:
            signal.raise_signal(signal.SIGINT)


_stop_files: list[str] = []


@atexit.register
def _remove_stop_files():
    for path in _stop_files:
        with contextlib.suppress(OSError):
            os.unlink(path)


def stop_file(run):
    """Where the stop signal of `run` appears for workers in other processes of this machine."""
    return os.path.join(tempfile.gettempdir(), f"corvane-ftp-{run}.stop")


class Spread:
    """File jobs waiting for a worker, taken in turn from each local directory.

    Creating and renaming a file lock its directory: eight workers writing into one
    directory spend their time spinning on that lock (on ext4, 1,000 small files cost
    0.8 s of CPU from eight threads in one directory, 0.5 s from one thread or from eight
    spread over 50). Workers given files of different directories do not meet."""

    def __init__(self, spread):
        self.spread = spread  # False: first in, first out, as one worker meets nobody
        self.groups: collections.OrderedDict = collections.OrderedDict()  # directory -> its jobs waiting
        self.count = 0

    def add(self, jobs):
        for job in jobs:
            key = os.path.dirname(job.local) if self.spread else None
            group = self.groups.get(key)
            if group is None:
                group = self.groups[key] = collections.deque()
            group.append(job)
        self.count += len(jobs)

    def take(self):
        key, group = next(iter(self.groups.items()))
        job = group.popleft()
        if not group:
            del self.groups[key]
        elif self.spread:
            self.groups.move_to_end(key)
        self.count -= 1
        return job

    def __len__(self):
        return self.count


@dataclass
class Walk:
    """A walk over directories, a step per directory on a thread of its own:
    found(item, result), on the run's thread, gives the items to step to
    next and the file jobs that step freed; failed(item, exc) names the
    directory whose step failed, after its tries, for the report, and
    counts the jobs it held back as not attempted."""
    first: list
    step: Callable
    found: Callable
    failed: Callable


class Scheduler:
    """Runs the jobs of one run (`run`, its id) on `executor` (None: `jobs` workers of its own),
    counting their outcomes in `tally`; `pool` is the run's session pool,
    whose sessions a stop cuts."""

    def __init__(self, run, jobs, executor, tally, pool, deadline=None):
        self.run = run
        self.jobs = jobs
        self.executor = executor
        self.tally = tally
        self.pool = pool
        self.deadline = deadline
        self.expired = False
        self.running: dict = {}  # future -> its file job, or the walk's item it stands for
        self.workers = None  # the run's own workers, while execute() runs (see _workers)
        # Only jobs that may run in another process need the file to hear of a stop.
        self.stop_file = None if executor is None else stop_file(run)

    # ---- the stop signal

    @contextlib.contextmanager
    def watching(self):
        """The deadline's watchdog, while the run lasts."""
        watchdog = None
        if self.deadline is not None:
            watchdog = threading.Timer(self.deadline, self._expire)
            watchdog.daemon = True
            watchdog.start()
        try:
            yield
        finally:
            if watchdog:
                watchdog.cancel()
                watchdog.join()

    def _expire(self):
        """On the watchdog's thread: stops every transfer, and wakes every call blocked on a session."""
        self.expired = True
        self._signal()
        self.pool.cut_all()

    def check_deadline(self):
        if self.expired:
            raise Expired()

    def _signal(self):
        _jobs.stopped_runs.add(self.run)
        if self.stop_file is not None and self.stop_file not in _stop_files:
            with contextlib.suppress(OSError):  # the workers of this process hear of it all the same
                open(self.stop_file, "a").close()
                _stop_files.append(self.stop_file)

    def stop(self):
        """Ctrl-C, or a progress callback that raised: every transfer ends within a
        moment, each removing its temporary file, and every session is closed."""
        self._signal()
        if self.workers is not None:
            self.workers.shutdown(wait=False, cancel_futures=True)
        # A cancelled future counts as done only once a worker has seen it: wait for the running ones.
        running = [future for future in self.running if not future.cancel()]
        self.pool.cut_all()
        concurrent.futures.wait(running, timeout=5)

    # ---- running

    def execute(self, todo, walk=None):
        """Runs the file jobs `todo` and, with `walk`, the steps of a walk over directories
        and the jobs each step frees: with the run's own workers, the first files move
        while the walk goes on."""
        stepping = walk and concurrent.futures.ThreadPoolExecutor(self.jobs, "corvane-ftp walk")
        tally = self.tally
        bounces: dict = {}
        running = self.running
        # Each future puts itself here as it ends, and the workers their wake-ups: waiting on
        # the queue costs the same however many are running, where concurrent.futures.wait()
        # visits every one of them each time.
        ended = queue.SimpleQueue()
        # The jobs running at once come from different directories (see Spread). A caller's
        # executor may have any number of workers: it has every job at once, in that order.
        waiting = Spread(self.jobs > 1)
        workers = self.workers = None if self.executor is not None else \
            Workers(self.jobs, waiting, lambda: ended.put(None))
        outstanding = 0  # file jobs given to the workers whose outcome has not been counted

        # A caller's executor may fork its workers as jobs arrive (a process pool does), and a
        # child forked while a thread of ours is mid-command can inherit a lock nobody will
        # release. So with one, the walk ends, its threads with it, before any job goes out.
        held = [] if walk and self.executor is not None else None
        walking = 0

        def submit(on, tag, *call):
            future = on.submit(*call)
            running[future] = tag
            future.add_done_callback(ended.put)

        def start(jobs, items=()):
            nonlocal walking, outstanding
            with _interrupts_held():
                for item in items:
                    submit(stepping, item, walk.step, item)
                    walking += 1
                if held is not None:
                    held.extend(jobs)
                elif workers is not None:
                    outstanding += len(jobs)
                    workers.add(jobs)
                else:
                    waiting.add(jobs)
                    while waiting:
                        job = waiting.take()
                        submit(self.executor, job, job)

        def release():
            nonlocal held
            if held is not None and not walking:
                stepping.shutdown(wait=True)
                jobs, held = held, None
                start(jobs)

        def counted(outcome):
            """Counts an outcome, or gives its job another go where it was only refused a session."""
            nonlocal outstanding
            job = outcome.job
            if outcome.refused:
                bounces[job] = bounces.get(job, 0) + 1
                if (running or outstanding > 1 or waiting) and bounces[job] < MAX_BOUNCES:
                    with _interrupts_held():
                        if workers is None:
                            submit(self.executor, job, job)
                        else:
                            workers.add([job])
                    return
                outcome.error = _jobs.failure(job, ConnectionError(
                    "the server refused every session this worker asked for"), None)
            if workers is not None:
                outstanding -= 1
            tally.outcome(outcome)

        # Partial counts arrive on the workers' threads; the callback runs here, ten times a second at most.
        tick = None if self.deadline is None else 0.1  # so that a passed deadline is seen at once
        if tally.progress:
            _jobs.partial_sinks[self.run] = (os.getpid(), tally.moving)
            tick = 0.1
        try:
            start(todo, walk.first if walk else ())
            release()
            while running or outstanding:
                self.check_deadline()
                finished = _ended(ended, tick)
                self.check_deadline()  # what the watchdog cut short is no failure of its own
                if not finished:
                    tally.tick()
                for future in finished:
                    if future is None:  # the workers' wake-up: their outcomes are taken below
                        continue
                    job = running.pop(future)
                    if not isinstance(job, FileJob):
                        walking -= 1
                        try:
                            items, jobs = walk.found(job, future.result())
                        except Exception as exc:  # that directory's fault: the rest goes on
                            walk.failed(job, exc)
                            items, jobs = (), ()
                        start(jobs, items)
                        release()
                        continue
                    counted(self._outcome(future, job))
                for outcome in workers.take_done() if workers is not None else ():
                    counted(outcome)
                if workers is not None and not walking and not workers.ending:
                    # Nothing more will be found: each thread ends once it finds nothing left to
                    # do, while the last files move, rather than all of them after those.
                    workers.shutdown(wait=False)
                    if stepping:
                        stepping.shutdown(wait=False)
            self.check_deadline()
        except BaseException:
            self.stop()  # before the threads are joined: a stalled transfer must not hold them
            raise
        finally:
            _jobs.partial_sinks.pop(self.run, None)
            try:
                self._join(stepping, workers)
            finally:
                if workers is not None:
                    self._count_late(workers.take_done())

    def _count_late(self, outcomes):
        """What the workers finished after the run began to stop still counts: a file that arrived is
        moved, not "not attempted". One refused a session never ran, and stays unattempted."""
        for outcome in outcomes:
            if not outcome.refused:
                # The run already ends with its own error: a progress callback failing now must not hide it.
                with contextlib.suppress(Exception):
                    self.tally.outcome(outcome)

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
                    self.stop()
        if interrupted:
            raise interrupted

    @staticmethod
    def _outcome(future, job):
        try:
            return future.result()
        except Exception as exc:  # the job itself broke, e.g. in a worker process that died
            outcome = _jobs.Outcome(job)
            outcome.error = _jobs.failure(job, exc, None)
            return outcome


def _ended(ended, timeout):
    """The futures that have ended: the first within `timeout` seconds (None: however long it
    takes), and every other one already in."""
    try:
        finished = [ended.get(timeout=timeout)]
    except queue.Empty:
        return []
    with contextlib.suppress(queue.Empty):
        while True:
            finished.append(ended.get_nowait())
    return finished
