"""The command line's progress bar for put and get: files, bytes and rate, on a terminal only."""

from __future__ import annotations

import sys
import threading
from typing import TYPE_CHECKING, Never, TextIO

from tqdm import tqdm

if TYPE_CHECKING:
    from corvane.ftp.transfer import Progress


class ProgressBar:
    """A callback for the transfer engine's `progress`; it may be called from several workers."""

    def __init__(self, verb: str, stream: TextIO = sys.stderr) -> None:
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
            # The engine may find more work as it walks a tree.
            bar.total = progress.bytes_total
            bar.set_postfix_str(f"{progress.files_done}/{progress.files_total} files", refresh=False)
            # update() rather than setting n: tqdm's rate is smoothed over its updates.
            bar.update(progress.bytes_done - bar.n)

    def close(self) -> None:
        with self._lock:
            if self._bar is not None:
                self._bar.close()


def progress_bar(verb: str, stream: TextIO = sys.stderr) -> ProgressBar | None:
    """A bar drawn on `stream` when it is a terminal; None (no callback) when output goes elsewhere."""
    return ProgressBar(verb, stream) if stream.isatty() else None
