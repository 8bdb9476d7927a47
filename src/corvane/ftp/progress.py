"""The command line's progress bar for put and get: files, bytes and rate, on a terminal only."""

from __future__ import annotations

import contextlib
import sys
import threading
from collections.abc import Iterator
from typing import TYPE_CHECKING, Never, TextIO

from tqdm import tqdm

if TYPE_CHECKING:
    from corvane.ftp.transfer import Progress


class ProgressBar:
    """A callback for the transfer engine's `progress`; it may be called from several workers."""

    def __init__(self, verb: str, stream: TextIO) -> None:
        self._verb = verb
        self._stream = stream
        self._bar: tqdm[Never] | None = None
        self._lock = threading.Lock()

    def __call__(self, progress: Progress) -> None:
        with self._lock:
            if self._bar is None:
                self._bar = tqdm(total=progress.bytes_total, desc=self._verb, unit="B", unit_scale=True,
                                 unit_divisor=1024, file=self._stream, dynamic_ncols=True)
            bar = self._bar
            # A download's totals grow while its directories are still being listed.
            bar.total = progress.bytes_total
            bar.set_postfix_str(f"{progress.files_done}/{progress.files_total} files", refresh=False)
            # update() rather than setting n: tqdm's rate is smoothed over its updates.
            bar.update(progress.bytes_done - bar.n)

    def write(self, line: str) -> None:
        """A line on standard output, the bar drawn again below it."""
        with self._lock:
            tqdm.write(line, file=sys.stdout)

    def close(self) -> None:
        with self._lock:
            if self._bar is not None:
                self._bar.close()


@contextlib.contextmanager
def progress_bar(verb: str) -> Iterator[ProgressBar | None]:
    """A bar drawn on stderr while the block runs, when stderr is a terminal; otherwise None,
    no callback at all, so that piped and logged output stays quiet.

    A big file moves the bar while it goes, except when its jobs run in other processes.
    """
    stream = sys.stderr
    if not stream.isatty():
        yield None
        return
    bar = ProgressBar(verb, stream)
    try:
        yield bar
    finally:
        bar.close()
