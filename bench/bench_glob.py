"""glob over a 1,000,000-line listing: the native walk against the same loop in Python.

Both sides get the same prebuilt lines from a fake client, fed as cheaply as
Python can (the callback mapped over the list), and are timed from the first
next() to exhaustion, best of 5. The pattern matches 0.1% of the names, so
that making path objects does not hide the parsing and matching.

usage: python bench/bench_glob.py [LINES]
"""

import collections
import fnmatch
import ftplib
import sys
import time

from corvane.base import Local
from corvane.ftp.path import FTPPath

PATTERN = "file_*999.dat"
ROUNDS = 5


class ListingClient:
    """Answers is_dir() for a directory and LIST with prebuilt lines."""

    def __init__(self, lines):
        self.lines = lines

    def nlst(self, path):
        return ["entry"]

    def retrbinary(self, command, callback, blocksize=8192):
        raise ftplib.error_perm("550 Is a directory.")

    def retrlines(self, command, callback):
        collections.deque(map(callback, self.lines), 0)
        return "226 Transfer complete."


def python_glob(directory, pattern="*"):
    """The loop glob is defined by, written in Python."""
    if not directory.is_dir():
        raise TypeError(f"'{directory.path}' is not a directory.")
    data = []
    directory.client.retrlines("LIST " + directory.path.as_posix(), data.append)
    for line in data:
        parts = line.split(maxsplit=8)
        if len(parts) < 9:
            continue
        name = parts[-1]
        if name in (".", ".."):
            continue
        if fnmatch.fnmatch(name, pattern):
            yield directory.join(name)


def best_time(make_iterator):
    best, found = float("inf"), None
    for _ in range(ROUNDS):
        entries = make_iterator()
        start = time.perf_counter()
        found = sum(1 for _ in entries)
        best = min(best, time.perf_counter() - start)
    return best, found


def main(count):
    lines = ["total %d" % count] + [
        f"-rw-r--r--   1 user     group    {i % 100000:8d} Dec 08 19:59 file_{i:07d}.dat" for i in range(count)
    ]
    directory = FTPPath("/big")
    Local.setattr(directory._key_on_thread(), ListingClient(lines))

    native, native_found = best_time(lambda: directory.glob(PATTERN))
    python, python_found = best_time(lambda: python_glob(directory, PATTERN))
    if native_found != python_found:
        sys.exit(f"disagreement: native found {native_found}, Python {python_found}")

    print(f"{len(lines):,} lines, pattern {PATTERN!r}, {native_found:,} matches, best of {ROUNDS}")
    print(f"native glob: {len(lines) / native:14,.0f} lines/s  ({native * 1000:8.1f} ms)")
    print(f"Python loop: {len(lines) / python:14,.0f} lines/s  ({python * 1000:8.1f} ms)")
    print(f"ratio:       {python / native:14.1f}x")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
