"""The run's own worker threads, which take their file jobs themselves.

Handing each job to a thread pool from the run's thread, and hearing of its end
there, woke that thread for every file: on loopback with eight workers on two
cores, two context switches and a wait for the GIL a file, a fifth of the
client's CPU. Here the workers take the next job from the waiting ones in turn
and leave each outcome in a queue, waking the run's thread only when it must
act: a job bounced (no session could be had), nothing left in hand, or a few
outcomes to count.
"""

import collections
import threading

from corvane.ftp._jobs import Outcome, failure

# Outcomes that wake the run's thread once they are waiting: counted while the transfers go on,
# not all at the end, where a thousand of them held up the run's return by 10 ms.
HEAP = 16


class Workers:
    """Up to `count` threads, started as jobs arrive, that run the file jobs of `waiting` (a
    Spread) and leave each Outcome in `done`; wake() is called, from a worker's thread, when
    a job was refused a session, when no job is waiting or running any more, or when HEAP
    outcomes wait."""

    def __init__(self, count, waiting, wake):
        self.count = count
        self.waiting = waiting
        self.wake = wake
        self.done = collections.deque()  # appended by the workers, taken by the run's thread
        self.lock = threading.Condition()
        self.threads: list[threading.Thread] = []  # every one started, for the join
        self.live = 0  # started and not ended
        self.idle = 0
        self.busy = 0
        self.closed = False  # no job starts any more
        self.ending = False  # a worker that finds none waiting ends
        self.heaped = False  # the run's thread was woken for outcomes it has not taken yet

    def add(self, jobs):
        """Jobs to run, in the order `waiting` gives them; starts a thread for each the idle ones
        cannot take at once, up to `count`. Called on the run's thread with Ctrl-C held."""
        with self.lock:
            if self.closed:
                return
            self.waiting.add(jobs)
            wanted = max(min(len(self.waiting) - self.idle, self.count - self.live), 0)
            self.live += wanted
            self.lock.notify(len(jobs))
        for started in range(wanted):
            thread = threading.Thread(target=self._work, name=f"corvane-ftp worker {len(self.threads) + 1}")
            try:
                thread.start()
            except BaseException:  # no thread to be had: the run fails, and joins only those it started
                with self.lock:
                    self.live -= wanted - started
                raise
            self.threads.append(thread)

    def take_done(self):
        """The outcomes that came in since the last call."""
        done, taken = self.done, []
        self.heaped = False
        while done:
            taken.append(done.popleft())
        return taken

    def shutdown(self, wait=True, cancel_futures=False):
        """As an executor's: the workers end once nothing is waiting, or at once with
        `cancel_futures`, after the job in hand (a stop cuts its session); with `wait`, joined.
        Jobs added later still run (unless cancelled), on threads started for them."""
        with self.lock:
            self.ending = True
            self.closed = self.closed or cancel_futures
            self.lock.notify_all()
        if wait:
            for thread in self.threads:
                thread.join()

    def _work(self):
        lock, waiting = self.lock, self.waiting
        while True:
            with lock:
                self.idle += 1
                while not waiting and not self.closed and not self.ending:
                    lock.wait()
                self.idle -= 1
                if self.closed or not waiting:
                    self.live -= 1
                    return
                job = waiting.take()
                self.busy += 1
            try:
                outcome = job()
            except BaseException as exc:  # the job itself broke: its file fails, the run goes on
                outcome = Outcome(job, error=failure(job, exc, None))
            self.done.append(outcome)
            with lock:
                self.busy -= 1
                settled = not self.busy and not waiting
                heaped = len(self.done) >= HEAP and not self.heaped
                self.heaped = self.heaped or heaped
            if settled or outcome.refused or heaped:
                self.wake()
