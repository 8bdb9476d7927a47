"""The plan of one run: its two tops, and a job for each file between them.

Every entry of the plan is relative to one top on each side: a "/"-separated
path of plain names ("" for a single file), which joins the local top with
the system's separator and the remote top, an absolute path, with "/". A name
that no FTP command can carry (a line end, a NUL) or that would step out of
its directory never becomes a job: `refusal` says why, for the report.
"""

import os

from corvane.ftp._jobs import FileJob
from corvane.ftp._names import is_entry_name

def refusal(rel):
    """Why the relative path `rel` cannot be planned, or None when it can."""
    for name in rel.split("/") if rel else ():
        if not is_entry_name(name):
            return (f"the name {name!r} is empty, climbs out of its directory, or holds a line end "
                    f"or NUL, which no FTP command can carry")
    return None


class RunPlan:
    """`remote`, the remote top (its path absolute), and `local`, the local top, of run `run`;
    the rest is what each job carries (see FileJob)."""

    def __init__(self, remote, local, run, tries, delay, deadline=None, stop_file=None, checksum=False,
                 resume=False, segments=1):
        if not str(remote).startswith("/"):
            raise ValueError(f"the remote top of a plan must be absolute, not {str(remote)!r}")
        self.remote = remote
        self.top = str(remote)
        self.local = local
        self.run = run
        self.tries = tries
        self.delay = delay
        self.deadline = deadline
        self.stop_file = stop_file
        self.checksum = checksum
        self.resume = resume
        self.segments = segments

    def local_path(self, rel):
        return os.path.join(self.local, rel.replace("/", os.sep)) if rel else self.local

    def remote_path(self, rel):
        # From the text, parsed once: joining parses the top again, a cost a file on large trees.
        return type(self.remote)(self.remote_text(rel)) if rel else self.remote

    def remote_text(self, rel):
        return f"{self.top.rstrip('/')}/{rel}" if rel else self.top

    def job(self, direction, entry, atomic=False, follow=False):
        """The job that moves `entry` in `direction`; a download takes the remote file's time."""
        reason = refusal(entry.rel)
        if reason is not None:
            raise ValueError(f"{entry.rel!r} cannot be planned: {reason}")
        # A download in a tree opens its directory from the top down itself (see _inside).
        below = {"size": entry.size, "top": self.local if entry.rel else None, "rel": entry.rel} \
            if direction == "get" else {}
        return FileJob(direction, self.local_path(entry.rel), self.remote_path(entry.rel),
                       entry.mtime if direction == "get" else None, atomic, self.run, self.tries, self.delay,
                       deadline=self.deadline, follow=follow, stop_file=self.stop_file,
                       checksum=self.checksum, resume=self.resume, segments=self.segments, **below)
