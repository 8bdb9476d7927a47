"""Threads, each with its own client, working on one real server: sixteen on disjoint trees,
eight making the same new directories."""

import ftplib
import os
import threading
import time

import pytest

from corvane.ftp.path import FTPPath

pytestmark = pytest.mark.group("threads")

THREADS = 16
ROUNDS = 6
SECONDS = 20  # a bound, not a target: the rounds normally end far sooner


class Tracked(ftplib.FTP):
    """A client that knows its thread and refuses to be used from another one."""
    logins = []
    lock = threading.Lock()

    def __init__(self, **settings):
        self.owner = threading.get_ident()
        super().__init__(**settings)
        with Tracked.lock:
            Tracked.logins.append(threading.current_thread().name)

    def putcmd(self, line):
        assert threading.get_ident() == self.owner, "a client was used by a thread it does not belong to"
        super().putcmd(line)


class ThreadPath(FTPPath):
    _creator = Tracked
    resets = []

    def _reset(self, section):
        ThreadPath.resets.append(threading.get_ident())
        return super()._reset(section)


def workload(top, number, errors):
    try:
        mine = ThreadPath(str(top.join(f"t{number:02d}")))
        deadline = time.monotonic() + SECONDS
        for round_ in range(ROUNDS):
            if time.monotonic() > deadline:
                break
            content = os.urandom(1000 * (number + 1) + round_)
            target = mine.join(f"r{round_}", "deep", "file.bin")
            target.write(content)
            assert target.read() == content
            assert [p.path.name for p in target.parent.glob("*.bin")] == ["file.bin"]
            assert target.mtime is not None
            mine.join(f"r{round_}", "made").mkdir()
            assert mine.join(f"r{round_}", "made").is_dir()
            mine.join(f"r{round_}").delete()
            assert not mine.join(f"r{round_}").exists
    except BaseException as exc:  # reported by the main thread
        errors.append((number, exc))


def test_sixteen_threads(remote):
    top, local = remote
    Tracked.logins.clear()
    ThreadPath.resets.clear()
    errors = []
    threads = [threading.Thread(target=workload, args=(top, n, errors)) for n in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(SECONDS + 30)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    retried = len(ThreadPath.resets) - THREADS
    assert len(Tracked.logins) == THREADS + retried
    assert set(Tracked.logins) == {t.name for t in threads}
    assert sorted(os.listdir(local)) == [f"t{n:02d}" for n in range(THREADS)]
    assert all(os.listdir(os.path.join(local, f"t{n:02d}")) == [] for n in range(THREADS))


def test_eight_threads_make_the_same_new_directories(remote):
    top, local = remote
    ready, errors = threading.Barrier(8), []

    def write(n):
        try:
            assert top.is_dir()  # logged in before the races
            for tree in range(5):  # each a new race that all threads start together
                ready.wait(30)
                top.join(f"t{tree}", "a", "b", str(n)).write(b"x")
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)
            ready.abort()

    threads = [threading.Thread(target=write, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == [] and all(len(os.listdir(os.path.join(local, f"t{i}", "a", "b"))) == 8 for i in range(5))
