"""What a transfer does beyond copying, as rsync and lftp's mirror do: filters,
deletion of what the source does not have, and a dry run.

Deletion comes after the copy, and only after a copy in which nothing failed
(rsync skips its deletions after an I/O error too): a file that could not be
listed or copied is not to be mistaken for one the source no longer has. It
removes only what the target's own listing shows below the target's top, and
never a path the filters leave out, nor a directory that holds one (rsync
without --delete-excluded). A name the server lists that could name anything
but an entry of its directory (see _names) is never sent; its directory stays.
Remote removals go through the run's sessions, by absolute paths; local ones
are made relative to the descriptor of their directory, opened from the top
down without following a link (see _inside), so that a link in the local tree
is removed as a link and never leads out of the target.
"""

import ftplib
import os
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field

from corvane.ftp import _inside, _plan
from corvane.ftp._filters import Filters
from corvane.ftp._jobs import FileTransferError, Outcome
from corvane.ftp._names import is_entry_name
from corvane.ftp._sessions import server_of


# Removals sent together: few enough that the replies never fill a socket buffer while the
# next commands are still being written.
BATCH = 64


@dataclass
class Mirror:
    filters: Filters = field(default_factory=Filters)
    delete: bool = False
    dry_run: bool = False
    # log(action, path): "copy" or "delete" and the path below the top ("/" ends a directory's);
    # in a dry run, what would be done.
    log: Callable[[str, str], None] | None = None

    @property
    def keep(self):
        """walk_local's `keep`, or None when every path is taken."""
        return self.filters.takes if self.filters else None

    def prune(self, rel, dirs, files, links, tree):
        """The listed directory `rel`'s subdirectories, files and links that the filters take;
        `rel` is held in `tree` when they leave something out."""
        if not self.filters:
            return dirs, files, links
        takes = self.filters.takes
        kept = ([d for d in dirs if takes(d[0], True)], [f for f in files if takes(f.rel, False)],
                [link for link in links if takes(link, False)])
        if sum(map(len, kept)) < len(dirs) + len(files) + len(links):
            tree.held.add(rel)
        return kept

    def _say(self, action, rel):
        if self.log is not None:
            self.log(action, rel)

    def moved(self, job, top):
        """A job's file has arrived."""
        self._say("copy", _rel_of(job, top))

    def planned(self, tally, jobs):
        """The jobs to run: all of them, or in a dry run none, each counted as moved (and told)."""
        if not self.dry_run:
            return jobs
        for job in jobs:
            tally.outcome(Outcome(job, (job.size or 0) if job.direction == "get" else os.path.getsize(job.local)))
        return []

    # ---- deletion

    def remove_remote(self, run, top, local, source, target):
        """Removes on the server what the remote `target` tree has and the local `source` does not."""
        server = server_of(run.remote)
        if not self._may_delete(run, source, target, f"{server}:{top}"):
            return

        def remove(rels, is_dir):
            """{rel: the error} of the paths `rels` that could not be removed. The commands go out
            in batches, each sent together: a round trip for a batch, not for each path."""
            for rel in rels:
                if not all(map(is_entry_name, rel.split("/"))):
                    raise ValueError(f"'{rel}' is no path of plain names below {server}:{top}")
            command = {rel: f"{'RMD' if is_dir else 'DELE'} {_plan.join(top, rel)}" for rel in rels}
            replies = {}

            def send(client):  # on a retry, what was answered before is not sent again
                todo = [rel for rel in rels if rel not in replies]
                for start in range(0, len(todo), BATCH):
                    batch = todo[start:start + BATCH]
                    for rel in batch:
                        client.putcmd(command[rel])
                    for rel in batch:
                        replies[rel] = client.getmultiline()

            errors = {}
            try:
                run._on_session(send)
            except Exception as exc:
                errors = {rel: exc for rel in rels if rel not in replies}
            for rel, reply in replies.items():
                if reply[:1] == "4":  # once more on a session of its own, as any command after a 4xx
                    try:
                        run._on_session(lambda client, line=command[rel]: client.sendcmd(line))
                    except Exception as exc:
                        errors[rel] = exc
                elif reply[:1] != "2":
                    errors[rel] = (ftplib.error_perm if reply[:1] == "5" else ftplib.error_reply)(reply)
            return errors

        self._remove(run, source, target, remove, lambda rel: f"{server}:{_plan.join(top, rel)}",
                     lambda rel: _plan.join(local, rel))

    def remove_local(self, run, local, source):
        """Removes below the local directory `local` what it holds and the remote `source` does not."""
        if not self.delete or not os.path.isdir(local):
            return  # nothing asked, or nothing there yet (a dry run into a new directory)
        target = _plan.walk_local(local, keep=self.keep)
        if not self._may_delete(run, source, target, repr(local)):
            return

        def remove(rels, is_dir):
            errors = {}
            for rel in rels:
                parent, _, name = rel.rpartition("/")
                try:
                    with _inside.directory(local, parent.split("/") if parent else []) as (fd, _made):
                        (os.rmdir if is_dir else os.unlink)(name, dir_fd=fd)
                except OSError as exc:
                    errors[rel] = exc
            return errors

        where = lambda rel: os.path.join(local, *rel.split("/"))  # noqa: E731
        self._remove(run, source, target, remove, where, where)

    def _may_delete(self, run, source, target, where):
        if not (self.delete and source.is_dir and target.is_dir):
            return False
        if run.tally.failures:
            warnings.warn(f"nothing was deleted at {where}: "
                          f"{len(run.tally.failures)} failed, and an entry the copy missed is not one the source "
                          f"lacks (run again once the copy succeeds)", stacklevel=1)
            return False
        return True

    def _remove(self, run, source, target, remove, where, local_of):
        """Files and links first, then directories a depth at a time from the deepest up; a
        directory stays while anything in it stays."""
        have = ({f.rel for f in source.files} | set(source.dirs) | set(source.skipped_links)
                | set(source.skipped_special))
        held = set()

        def hold(rel):
            while rel and rel not in held:
                held.add(rel)
                rel = rel.rpartition("/")[0]

        for rel in target.held:
            hold(rel)
        entries = {f.rel for f in target.files} | set(target.skipped_links) | set(target.skipped_special)
        steps = [(False, sorted(entries - have))]
        by_depth = {}
        for rel in set(target.dirs) - have:
            by_depth.setdefault(rel.count("/"), []).append(rel)
        steps += [(True, sorted(by_depth[depth])) for depth in sorted(by_depth, reverse=True)]
        for is_dir, rels in steps:
            rels = [rel for rel in rels if not (is_dir and rel in held)]
            run.scheduler.check_deadline()
            errors = {} if self.dry_run else remove(rels, is_dir)
            for rel in rels:
                exc = errors.get(rel)
                if exc is not None:
                    hold(rel.rpartition("/")[0])
                    error = FileTransferError(f"could not delete {where(rel)}: {exc}", local_of(rel), where(rel))
                    error.__cause__ = exc
                    run.tally.failed(error)
                    continue
                run.report.deleted += 1
                self._say("delete", rel + "/" * is_dir)


def _rel_of(job, top):
    """The path of a job's file below the run's remote top; its own name for a single file."""
    remote, top = str(job.remote), str(top).rstrip("/")
    return remote[len(top) + 1:] if remote.startswith(top + "/") else job.remote.path.name
