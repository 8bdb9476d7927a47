"""Every public name of corvane.ftp, used as a typed program uses them.

CI checks it with `mypy --strict` against the installed wheel, then runs it: it serves a
temporary directory on a free loopback port (no root needed) and works on it.
"""

from __future__ import annotations

import datetime
import os
import tempfile
import warnings
from collections.abc import Iterator

from corvane.ftp import (FileTransferError, FTPPath, InsecureTLSWarning, Progress, Report, ServerPath, Settings,
                         TLSError, TLSRequiredError, connect, from_config, get, interrupt, put)
from corvane.ftp.cli import main as command_line
from corvane.ftp.serve import EmbeddedServer, Served


def show(progress: Progress) -> None:
    print(f"  {progress.current}: {progress.files_done}/{progress.files_total} files, "
          f"{progress.bytes_done}/{progress.bytes_total} bytes")


def walk(directory: FTPPath) -> Iterator[FTPPath]:
    for entry in directory.glob("*"):
        yield entry
        if entry.is_dir():
            yield from walk(entry)


def make_tree(root: str) -> str:
    for name in ("a.txt", "sub/b.txt"):
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        with open(os.path.join(root, name), "w", encoding="utf-8") as f:
            f.write(f"this is {name}\n")
    return root


def from_code(served: Served, work: str) -> None:
    server: type[ServerPath] = connect(served.host, port=served.port, user=served.user,
                                       password=served.password, tls=False, timeout=10)
    settings: Settings = server.settings
    print(settings.url)
    notes = server("/notes/today.txt")
    notes.write(b"hello\n")  # makes /notes first
    content: bytes = notes.read()
    modified: datetime.datetime = notes.mtime  # the server's UTC time + 8 hours
    print(notes, notes.exists, notes.is_dir(), content, modified)
    notes.parent.join("archive").mkdir()
    server("/uploaded").upload(make_tree(os.path.join(work, "tree")))
    sent: Report = put(os.path.join(work, "tree"), server("/copy"), jobs=2, update=True, progress=show)
    fetched: Report = get(server("/copy"), os.path.join(work, "back"), jobs=2)
    mirrored: Report = get(server("/copy"), os.path.join(work, "back"), filters=[("-", "*.tmp"), ("+", "*")],
                           delete=True, dry_run=True, log=lambda action, path: print(action, path))
    print(sent.files_moved, sent.bytes_moved, fetched.files_moved, fetched.seconds, mirrored.deleted)
    print(sorted(str(entry) for entry in walk(server("/"))))
    for top in ("/notes", "/uploaded", "/copy"):
        server(top).delete()


def failures(served: Served, work: str) -> None:
    server = connect(served.host, port=served.port, user=served.user, password=served.password)
    server("/clash/a.txt").mkdir()  # a directory where put wants to write a file
    try:
        put(make_tree(os.path.join(work, "clash")), server("/clash"))
    except ExceptionGroup as group:
        for error in group.exceptions:
            if isinstance(error, FileTransferError):
                print("not copied:", error.local, "->", error.remote)
    server("/clash").delete()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", InsecureTLSWarning)  # this server has no TLS at all
        unchecked = connect(served.host, port=served.port, tls="explicit", verify=False, timeout=10)
    try:
        print(unchecked("/").exists)
    except (TLSError, TLSRequiredError) as refused:
        print("no TLS:", refused)


def from_file(served: Served, work: str) -> None:
    config = os.path.join(work, "corvane.ini")
    with open(config, "w", encoding="utf-8") as f:
        f.write(f"[local]\nhost = {served.host}\nport = {served.port}\n"
                f"user = {served.user}\npasswd = {served.password}\n")
    os.environ["CORVANE_CONFIG"] = config
    configured: type[FTPPath] = from_config("local")
    print(configured("/").exists)
    status: int = command_line(["--config", config, "--section", "local", "ls", "-l", "/"])
    assert status == 0


def main() -> None:
    try:
        interrupt()
    except InterruptedError as stop:
        print("interrupt raises", stop)
    with tempfile.TemporaryDirectory() as work:
        os.mkdir(os.path.join(work, "served"))
        with EmbeddedServer(os.path.join(work, "served")) as served:
            from_code(served, work)
            failures(served, work)
            from_file(served, work)


if __name__ == "__main__":
    main()
