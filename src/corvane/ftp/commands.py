"""What each command of `corvane-ftp` does, given the path class of its server."""

from __future__ import annotations

import argparse
import contextlib
import datetime
import ftplib
import os
import re
import signal
import sys
import threading
import time
import uuid
import warnings
from collections.abc import Iterator
from typing import Any, BinaryIO

from corvane.base import Local
from corvane.ftp import _checksums, _features, _plan, limits, transfer, verify
from corvane.ftp._names import is_entry_name
from corvane.ftp._data import DataConnection
from corvane.ftp._sessions import Session, server_of
from corvane.ftp.path import FTPPath
from corvane.ftp.progress import ProgressBar, progress_bar
from corvane.ftp.target import Target
from corvane.ftp.terminal import printable

# All a SIZE reply may say; 20 digits hold any 64-bit size.
_SIZE_REPLY = re.compile(r"213 ([0-9]{1,20})")


class CommandError(Exception):
    """An expected failure whose message is the whole story: printed as one line."""


@contextlib.contextmanager
def deadline(seconds: float | None) -> Iterator[None]:
    """TimeoutError in the main thread once `seconds` have passed, also out of a blocked
    socket call (SIGALRM interrupts it); the old handler and timer are restored after."""
    if seconds is None or threading.current_thread() is not threading.main_thread():
        yield
        return

    def expired(signum: int, frame: object) -> None:
        error = TimeoutError(f"did not finish within {seconds:g} s")
        error.deadline = seconds  # type: ignore[attr-defined]
        raise error

    previous = signal.signal(signal.SIGALRM, expired)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@contextlib.contextmanager
def _whole_timeout(seconds: float | None) -> Iterator[None]:
    """The engine was given what was left of --timeout; the user is told of --timeout itself."""
    try:
        yield
    except TimeoutError as exc:
        if seconds is not None and hasattr(exc, "report"):
            exc.deadline = seconds  # type: ignore[attr-defined]
        raise


def _remaining(started: float, seconds: float | None) -> float | None:
    """What is left of --timeout for the engine, after the questions asked before it started."""
    if seconds is None:
        return None
    left = seconds - (time.monotonic() - started)
    if left <= 0:
        error = TimeoutError(f"did not finish within {seconds:g} s")
        error.deadline = seconds  # type: ignore[attr-defined]
        raise error
    return left


def ls(target: Target, args: argparse.Namespace) -> None:
    top = target.path_class(args.remote)
    try:
        session = Session(top)
    except Exception:
        top.is_dir()  # a login or configuration failure, told as FTPPath tells it to every other command
        raise
    try:
        where = _directory_of(session.client, top.path.as_posix())
        if where is None:
            # Like ls(1): a file lists as itself, as its directory's listing shows it (a link
            # with its target); a missing path fails in FTPPath's own words.
            parent = _directory_of(session.client, top.parent.path.as_posix())
            found = []
            if parent is not None:
                lister = _plan.Lister(parent[0], target.server)
                entries, links = _entries(lister, session.client, parent[1], ())
                found = [e for e in entries if e[4] == top.path.name and e[0] != "d"]
            session.quit()
            if not found:
                top.is_dir()
                print(printable(_long_line(top) if args.long else str(top)))
            else:
                print(printable(_entry_line(found[0], links) if args.long else str(top)))
            return
        mlsd, absolute = where
        lister = _plan.Lister(mlsd, target.server)
        pending: list[tuple[str, tuple[Any, ...]]] = [("", ())]
        budget = limits.listing_bytes()  # for the whole walk: a hostile server may invent directories forever
        while pending:
            rel, ancestors = pending.pop(0)
            entries, links = _entries(lister, session.client, _plan.join(absolute, rel), ancestors)
            shown = sorted((e for e in entries if args.all or not e[4].startswith(".")), key=lambda e: e[4])
            budget -= sum(len(e[4]) + 1 for e in shown)
            if budget < 0:
                raise limits.listing_too_long(f"{target.server}:{absolute} and the directories under it",
                                              limits.listing_bytes())
            if args.recursive:
                if rel:
                    print()
                print(printable(f"{_plan.join(args.remote, rel)}:"))
                subdirectories = [(f"{rel}/{e[4]}" if rel else e[4], ancestors + (e[3],) if e[3] else ancestors)
                                  for e in shown if e[0] == "d"]
                pending[:0] = subdirectories  # depth first, in name order, as ls -R
            for entry in shown:
                print(printable(_entry_line(entry, links) if args.long else entry[4]))
        session.quit()
    except BaseException:
        session.drop()
        raise


# The PWD reply names the directory between quotes, a quote in it doubled.
_PWD_REPLY = re.compile(r'257 "((?:[^"]|"")*)"')


def _directory_of(client: ftplib.FTP, path: str) -> tuple[bool, str] | None:
    """(whether the server speaks MLSD, the absolute path) of the directory `path`; None when
    CWD refuses it: a file, or nothing. The three questions go out together: one round trip."""
    features, cwd, pwd = _plan.ask_together(client, "FEAT", f"CWD {path}", "PWD")
    if cwd[:1] != "2":
        return None
    absolute = _PWD_REPLY.match(pwd)
    if absolute is None or not absolute[1].startswith("/"):
        raise CommandError(f"'{path}': the server's answer to PWD names no directory ({pwd!r})")
    return "MLST" in _features.remember(client, features), absolute[1].replace('""', '"')


def _entries(lister: _plan.Lister, client: ftplib.FTP, path: str,
             ancestors: tuple[Any, ...]) -> tuple[list[Any], dict[str, str]]:
    """The listed entries of the directory `path` whose names can only be entries of it, and
    {link name: target} where LIST showed the target."""
    entries, unknown, links = lister.listing(client, path, ancestors, with_targets=True)
    if unknown:
        warnings.warn(f"'{path}': {_count(len(unknown), 'line')} of the listing in no format read, "
                      f"left out; the first: {unknown[0]!r}", stacklevel=1)
    refused = [e[4] for e in entries if not is_entry_name(e[4])]
    if refused:
        warnings.warn(f"'{path}': {_count(len(refused), 'name')} that no entry can have, left out; "
                      f"the first: {refused[0]!r}", stacklevel=1)
    return [e for e in entries if is_entry_name(e[4])], links


def _entry_line(entry: tuple[Any, ...], links: dict[str, str]) -> str:
    """An entry as `ls -l` shows it: kind, size, time, name; a link's target apart from its name."""
    kind, size, mtime, _, name, listed_time = entry
    size_text = "-" if kind == "d" else "?" if size is None else str(size)
    arrow = f" -> {links[name]}" if kind == "l" and name in links else ""
    return f"{kind} {size_text:>12}  {_listed_time(mtime, listed_time):19}  {name}{'/' if kind == 'd' else ''}{arrow}"


def _listed_time(mtime: float | None, listed_time: tuple[int, int] | None) -> str:
    """The time at the precision the server gave it, in UTC."""
    try:
        if mtime is not None:
            return f"{datetime.datetime.fromtimestamp(int(mtime), datetime.UTC):%Y-%m-%d %H:%M:%S}"
        if listed_time is None:
            return "?"
        when = datetime.datetime.fromtimestamp(listed_time[0], datetime.UTC)
    except (ValueError, OverflowError, OSError):
        return "?"
    return f"{when:%Y-%m-%d}" if listed_time[1] >= 86400 else f"{when:%Y-%m-%d %H:%M}" \
        if listed_time[1] >= 60 else f"{when:%Y-%m-%d %H:%M:%S}"


def _long_line(entry: FTPPath) -> str:
    """A file its directory's listing left out, from SIZE and MDTM; in UTC as the listed ones."""
    size = _size(entry)
    return f"- {'?' if size is None else size:>12}  {_mtime_text(entry, _FTPPATH_AHEAD):19}  {entry.path.name}"


# FTPPath.mtime is the server's UTC time plus this (README, "Behaviours that surprise").
_FTPPATH_AHEAD = datetime.timedelta(hours=8)


def _size(path: FTPPath) -> int | None:
    """SIZE of a file in bytes; None when the server does not say, or says something else."""
    client = path.client
    try:
        client.voidcmd("TYPE I")  # some servers refuse SIZE in ASCII mode
        reply = client.sendcmd(f"SIZE {path.path.as_posix()}")
    except ftplib.error_perm:
        return None
    size = _SIZE_REPLY.fullmatch(reply)
    return int(size.group(1)) if size else None


def _mtime_text(path: FTPPath, ahead: datetime.timedelta = datetime.timedelta()) -> str:
    try:
        return f"{path.mtime - ahead:%Y-%m-%d %H:%M:%S}"
    # TypeError: FTPPath's "could not retrieve modification time", the server gives none;
    # the others: what it gave is not a time.
    except (TypeError, ValueError, OverflowError):
        return "?"


def cat(target: Target, args: argparse.Namespace) -> None:
    _send_to(target.path_class(args.remote), sys.stdout.buffer, False)


# Bytes in hand at once, whatever the file's size.
CHUNK = 1 << 20


def _send_to(path: FTPPath, out: BinaryIO, checksum: bool) -> None:
    """The remote file's bytes to `out` as they arrive: one RETR on a session of its own;
    with `checksum`, hashed as they pass and compared with the server's hash at the end."""
    session = Session(path)
    try:
        digest = _stream_hash(session.client, checksum, path)
        try:
            data = DataConnection(session.client, f"RETR {path.path.as_posix()}", download=True)
        except ftplib.error_perm:
            # Missing, a directory or not readable: FTPPath says which, in its own words.
            session.quit()
            try:
                out.write(path.read())
            except TypeError as exc:  # FTPPath's "'P' is not a file."
                raise CommandError(str(exc)) from None
            out.flush()
            return
        with data:
            while chunk := data.sock.recv(CHUNK):
                out.write(chunk)
                if digest:
                    digest.update(chunk)
            try:
                data.finish()
            except (ftplib.error_temp, ftplib.error_reply) as exc:
                raise CommandError(f"'{path}': the transfer was cut short ({exc}); the output is incomplete") from None
        out.flush()
        _confirm_stream(session.client, path, path.path.as_posix(), digest, "the output is not the server's copy")
        session.quit()
    except BaseException:
        session.drop()
        raise


def _receive_from(source: BinaryIO, path: FTPPath, checksum: bool) -> int:
    """Standard input to the remote file `path`, under a temporary name renamed into place
    at the end: a cut-short input never replaces the old copy. Returns the bytes sent.
    With `checksum`, the input is hashed as it passes, and the copy renamed only if the
    server's hash of it agrees."""
    remote = path.path.as_posix()
    temporary = f"{path.parent.path.as_posix().rstrip('/')}/.{path.path.name}.{uuid.uuid4().hex[:12]}.part"
    session = Session(path)
    sent = 0
    try:
        digest = _stream_hash(session.client, checksum, path)
        with DataConnection(session.client, f"STOR {temporary}") as data:
            while chunk := source.read(CHUNK):
                data.sock.sendall(chunk)
                sent += len(chunk)
                if digest:
                    digest.update(chunk)
            data.finish()
        _confirm_stream(session.client, path, temporary, digest, "it was not stored")
        session.client.sendcmd(f"RNFR {temporary}")
        session.client.sendcmd(f"RNTO {remote}")
        session.quit()
    except BaseException:
        session.drop()
        with contextlib.suppress(Exception):
            path.parent.join(temporary.rsplit("/", 1)[1]).delete()
        raise
    return sent


def _stream_hash(client: ftplib.FTP, checksum: bool, path: FTPPath) -> Any:
    """A hash object for a stream that --checksum compares once it has passed; None without
    --checksum, or where the server offers no hash (a warning says so)."""
    if not checksum:
        return None
    found = _checksums.method(_features.of(client))
    if found is None:
        warnings.warn(f"{server_of(path)}: {_checksums.NOT_OFFERED}", stacklevel=1)
        return None
    return _checksums.hasher(found.algorithm)


def _confirm_stream(client: ftplib.FTP, path: FTPPath, remote: str, digest: Any, outcome: str) -> None:
    """The hash of a stream that has passed against the server's of `remote`, where there is one."""
    if digest is None:
        return
    try:
        _checksums.confirm(client, remote, lambda algorithm: digest.hexdigest(),
                           lambda reason: warnings.warn(f"{server_of(path)}: {reason}", stacklevel=1))
    except _checksums.DigestMismatch as exc:
        raise CommandError(f"'{path}': its {exc.algorithm} on the server is {exc.there} and here {exc.here}: "
                           f"the bytes changed on the way, and {outcome}") from None


def stat(target: Target, args: argparse.Namespace) -> None:
    path = target.path_class(args.remote)
    is_dir = path.is_dir()  # FileNotFoundError for a missing path
    size = None if is_dir else _size(path)
    fields = {
        "path": str(path),
        "exists": "yes",
        "kind": "directory" if is_dir else "file",
        "size": "-" if is_dir else "?" if size is None else str(size),
        # Servers give no time for a directory.
        "mtime": "-" if is_dir else f"{_mtime_text(path)} (server's UTC + 8 h)",
    }
    for name, value in fields.items():
        print(printable(f"{name + ':':8}{value}"))


def mkdir(target: Target, args: argparse.Namespace) -> None:
    target.path_class(args.remote).mkdir()


def rm(target: Target, args: argparse.Namespace) -> None:
    path = target.path_class(args.remote)
    if path.is_dir():
        if not args.recursive:
            raise CommandError(f"'{path}' is a directory: rm -r removes it with everything in it")
        if not args.yes and not _tree_may_go(path, target.server):
            return  # as rm -i: a "no" is an answer, not a failure
    path.delete()


def mv(target: Target, args: argparse.Namespace) -> None:
    """RNFR and RNTO on the server. As mv(1) and lftp's mv: into a directory that exists, a source
    moves inside it under its own name; several sources need one."""
    dest = target.path_class(args.remote)
    into = dest.exists and dest.is_dir()
    if len(args.sources) > 1 and not into:
        raise CommandError(f"'{dest}' is no directory: several sources move only into one that exists")
    client = dest.client
    for source in args.sources:
        place = dest.join(_own_name(source)) if into else dest
        try:
            client.sendcmd(f"RNFR {source}")
        except ftplib.error_perm as exc:
            raise CommandError(f"'{source}' cannot be moved: the server refused RNFR ({exc}); "
                               f"does it exist?") from None
        try:
            client.sendcmd(f"RNTO {place}")
        except ftplib.error_perm as exc:
            raise CommandError(f"'{source}' could not be moved to '{place}': the server refused RNTO ({exc}); "
                               f"is its directory there, and may you write in it?") from None


def _tree_may_go(path: FTPPath, server: str) -> bool:
    if not sys.stdin.isatty():
        raise CommandError(f"'{path}' is a directory tree and there is no terminal to ask on: "
                           "add --yes to remove it")
    answer = input(printable(f"Remove the tree '{path}' on {server} with everything in it? [y/N] "))
    return answer.strip().lower() in ("y", "yes")


def put(target: Target, args: argparse.Namespace) -> None:
    if "-" in args.sources:
        if len(args.sources) > 1:
            raise CommandError("'-' (standard input) is a source of its own: put - REMOTE-FILE")
        if args.resume:
            raise CommandError("-c continues files, not standard input: put the file itself")
        if args.dry_run:  # standard input is not read: what it holds is not known before
            print(printable(f"put: standard input to {args.remote}; dry run: nothing was changed"))
            return
        with deadline(args.timeout):
            sent = _receive_from(sys.stdin.buffer, target.path_class(args.remote), args.checksum)
        print(f"put: 1 file ({_size_text(sent)}) from standard input", file=sys.stderr)
        return
    for local in args.sources:
        if not os.path.lexists(local):
            raise CommandError(f"local path '{local}' does not exist")
    started = time.monotonic()
    dest = target.path_class(args.remote)
    with deadline(args.timeout):
        if len(args.sources) > 1:
            # As cp -r A B DIR: each source lands in the directory under its own name.
            pairs = [(local, dest.join(_own_name(local))) for local in args.sources]
        elif os.path.isfile(args.local) and dest.exists and dest.is_dir():
            # As cp and lftp's put: a file sent to a directory goes into it. A tree's contents always
            # become the target's, as with lftp's mirror.
            pairs = [(args.local, dest.join(os.path.basename(args.local)))]
        else:
            pairs = [(args.local, dest)]
    _close_own_session(dest)
    _each("put", args, started, pairs, lambda local, remote, **options: transfer.put(
        local, remote, atomic=not args.inplace, **options))


def get(target: Target, args: argparse.Namespace) -> None:
    started = time.monotonic()
    local = args.local
    if local == "-" and (args.resume or args.segments > 1):
        raise CommandError("-c and --segments write files, not standard output: name a local file")
    if local == "-":
        if len(args.sources) > 1:
            raise CommandError("standard output (-) takes one file: get REMOTE-FILE -")
        if args.dry_run:
            print(printable(f"get: {args.sources[0]} to standard output; dry run: nothing was changed"),
                  file=sys.stderr)
            return None
        with deadline(args.timeout):
            return _send_to(target.path_class(args.sources[0]), sys.stdout.buffer, args.checksum)
    sources = [target.path_class(source) for source in args.sources]
    with deadline(args.timeout):
        if len(sources) > 1:
            pairs = [(remote, os.path.join(local, _own_name(str(remote)))) for remote in sources]
        elif os.path.isdir(local) and not sources[0].is_dir():
            pairs = [(sources[0], os.path.join(local, sources[0].path.name))]
        else:
            pairs = [(sources[0], local)]
    _close_own_session(sources[0])
    _each("get", args, started, pairs, lambda remote, local, **options: transfer.get(
        remote, local, segments=args.segments, **options))


def _own_name(path: str) -> str:
    """The name a source keeps inside a directory it is copied into: its last component."""
    name = os.path.basename(os.path.normpath(path))
    if name in ("", ".", "..", "/"):
        raise CommandError(f"'{path}' has no name of its own to take inside the target: name the directory itself")
    return name


def _each(verb: str, args: argparse.Namespace, started: float, pairs: list[Any], copy: Any) -> None:
    """Runs the engine once for each (source, target) pair, the next one also after files of one
    failed; one line for them all at the end, or their failures together (exit 23)."""
    reports: list[transfer.Report] = []
    failures: list[Exception] = []
    with progress_bar(verb) as bar, _whole_timeout(args.timeout):
        for source, dest in pairs:
            prefix = f"{_own_name(str(source))}/" if len(pairs) > 1 else ""
            try:
                reports.append(copy(source, dest, jobs=args.jobs, update=args.update, progress=bar,
                                    deadline=_remaining(started, args.timeout), filters=args.filters or (),
                                    delete=args.delete, dry_run=args.dry_run, checksum=args.checksum,
                                    resume=args.resume,
                                    log=_announcer(args, bar, prefix)))
            except ExceptionGroup as partial:
                reports.append(partial.report)  # type: ignore[attr-defined]
                failures.extend(partial.exceptions)
    report = _total(reports)
    if failures:
        together = ExceptionGroup(f"{len(failures)} failed, {report.files_moved} files copied", failures)
        together.report = report  # type: ignore[attr-defined]
        raise together
    print(printable(summary(verb, report, args.delete, args.dry_run)))


def _announcer(args: argparse.Namespace, bar: ProgressBar | None, prefix: str) -> Any:
    """The engine's `log`: each removal, and each file as it moves with -v or would with -n."""
    def log(action: str, path: str) -> None:
        if action == "delete":
            line = f"deleting {prefix}{path}"
        elif args.verbose or args.dry_run:
            line = prefix + path
        else:
            return
        if bar is None:
            print(printable(line), flush=True)
        else:
            bar.write(printable(line))
    return log


def _total(reports: list[transfer.Report]) -> transfer.Report:
    """The reports of several runs as one: counts added, lists joined, sessions at their most."""
    total = transfer.Report()
    for report in reports:
        for name, value in vars(report).items():
            mine = getattr(total, name)
            setattr(total, name, max(mine, value) if name == "sessions" else mine + value)
    return total


def check(target: Target, args: argparse.Namespace) -> int:
    """Each difference on a line of its own, then one line on what was compared; 1 when they differ."""
    result = verify.check(args.local, target.path_class(args.remote), jobs=args.jobs, times=args.times)
    for difference in result.differences:
        print(printable(str(difference)))
    hashed = f", {result.hashed} of them by {result.algorithm}" if result.hashed else ""
    unhashed = f"; {result.unhashed}" if result.unhashed else ""
    verdict = f"{_count(len(result.differences), 'difference')}" if result.differences else "they agree"
    print(printable(f"check: {verdict}; {_count(result.files, 'file')} on both sides compared{hashed}{unhashed}"),
          file=sys.stderr)
    return 1 if result.differences else 0


def _close_own_session(path: FTPPath) -> None:
    """Closes this thread's session, made for the checks before a transfer: the engine logs in its
    own, and a server that takes one session per client would otherwise refuse each of them."""
    key = path._key_on_thread()
    client = Local.getattr(key)
    if client is None:
        return
    Local.delattr(key)
    try:
        client.putcmd("QUIT")  # no answer awaited: the server sees the end as the connection closes
    except (OSError, ValueError):
        pass  # it ends either way
    client.close()


def summary(verb: str, report: transfer.Report, delete: bool = False, dry_run: bool = False) -> str:
    """One line on what a put or get did, in the manner of rsync --stats, shortened."""
    if dry_run:
        return (f"{verb}: {_count(report.files_moved, 'file')} ({_size_text(report.bytes_moved)}) to copy, "
                f"{report.files_skipped} up to date" + (f", {report.deleted} to delete" if delete else "")
                + "; dry run: nothing was changed")
    line = (f"{verb}: {_count(report.files_moved, 'file')} ({_size_text(report.bytes_moved)}) moved, "
            f"{report.files_skipped} up to date, {_count(report.dirs_made, 'directory', 'directories')} made, "
            + (f"{report.deleted} deleted, " if delete else "")
            + f"in {report.seconds:.1f} s over {_count(report.sessions, 'session')}")
    links = len(report.skipped_links)
    special = len(report.skipped_special)
    untried = report.files_not_attempted
    return (line + (f"; {untried} not attempted" if untried else "")
            + (f"; {_count(links, 'symbolic link')} left out" if links else "")
            + (f"; {_count(special, 'special file')} left out" if special else ""))


def _count(n: int, one: str, many: str = "") -> str:
    return f"{n} {one if n == 1 else many or one + 's'}"


def _size_text(count: int) -> str:
    """1023 B, 1.5 KiB, 3.2 MiB and so on."""
    size, unit = float(count), "B"
    for bigger in ("KiB", "MiB", "GiB", "TiB"):
        if size < 1024:
            break
        size, unit = size / 1024, bigger
    return f"{count} B" if unit == "B" else f"{size:.1f} {unit}"
