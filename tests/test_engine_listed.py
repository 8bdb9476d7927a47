"""get from a server that lies: names that climb out of the target, sizes that are not
what arrives, SIZE replies with no number, listings past the cap."""

import contextlib
import ftplib
import os
import pathlib
import select
import socket
import threading

import pytest

from corvane.ftp import connect
from corvane.ftp.limits import ListingTooLong
from corvane.ftp.transfer import get, put

pytestmark = pytest.mark.group("engine")
MODES = {"file": "-rw-r--r--", "dir": "drwxr-xr-x", "OS.unix=slink:/x": "lrwxrwxrwx"}


class Scripted(threading.Thread):
    """An FTP server on 127.0.0.1, one session at a time (so jobs=1): `files` {path: bytes}, `sizes`
    {path: SIZE reply}, `listings` {directory: [(kind, name, size)]}, in MLSD's form or LIST's."""

    watch_ends, greeting = False, "220 scripted"  # whether each data connection's client end closed before the 150

    def __init__(self, mlsd=True):
        super().__init__()
        self.mlsd, self.files, self.sizes, self.listings, self.commands, self.unsent, self.early_ends = \
            mlsd, {}, {}, {}, [], 0, []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.path = connect("127.0.0.1", port=self.listener.getsockname()[1], user="u", password="p")
        self.start()

    def run(self):
        with self.listener, contextlib.suppress(OSError):  # stop() ends accept() with an error
            while True:
                with (conn := self.listener.accept()[0]), conn.makefile("rb") as lines, contextlib.suppress(OSError):
                    conn.settimeout(10)
                    self.serve(lambda text: conn.sendall(text.encode("utf-8", "surrogateescape") + b"\r\n"), lines)

    def stop(self):
        with contextlib.suppress(OSError):  # stopped already
            self.listener.shutdown(socket.SHUT_RDWR)
        self.join()

    def line(self, kind, name, size):
        return f"type={kind};size={size}; {name}" if self.mlsd else f"{MODES[kind]} 1 o g {size} Jan 01 2026 {name}"

    def serve(self, send, lines):
        send(self.greeting)
        data = None
        try:
            for line in lines:
                verb, _, arg = line.decode("utf-8", "surrogateescape").rstrip("\r\n").partition(" ")
                self.commands.append((verb, arg := arg.removeprefix("-a ")))
                if verb in ("MLSD", "LIST", "RETR"):
                    payload = self.files.get(arg, b"") if verb == "RETR" else "".join(
                        self.line(*entry) + "\r\n" for entry in self.listings[arg]).encode("utf-8", "surrogateescape")
                    with data, data.accept()[0] as out:
                        if self.watch_ends and (self.early_ends.append(
                                bool(select.select([out], [], [], 0.3)[0]) and out.recv(1, socket.MSG_PEEK) == b"")
                                or self.early_ends[-1]) \
                                and "vsFTPd" not in self.greeting:  # pyftpdlib drops it, then waits for ever
                            send("425 the data connection was closed before the command")
                            continue
                        send("150 here")
                        try:
                            out.sendall(payload)
                        except OSError:  # the client stopped reading
                            self.unsent += 1
                    send("226 done")
                elif verb == "PASV":
                    if data is not None:
                        data.close()  # as a server does: the new port replaces one a PASV sent ahead left unused
                    data = socket.create_server(("127.0.0.1", 0))
                    send("227 ok (127,0,0,1,%d,%d)" % divmod(data.getsockname()[1], 256))
                else:
                    send({"FEAT": "211-x\r\n MLST size*;\r\n211 end" if self.mlsd else "211 none", "QUIT": "221 bye",
                          "CWD": "250 ok" if arg in self.listings else "550 no",
                          "SIZE": self.sizes.get(arg, f"213 {len(self.files[arg])}" if arg in self.files else "550 no"),
                          "MDTM": "213 20260101000000" if arg in self.files else "550 no",  # as LIST dates them
                          }.get(verb, "200 ok"))
        finally:
            if data is not None:
                data.close()


@pytest.fixture
def scripted():
    with contextlib.ExitStack() as servers:
        yield lambda mlsd=True: servers.callback((server := Scripted(mlsd)).stop) and server


def snapshot(top, leave_out):
    """{path: its bytes, or None for a directory} of what lies under `top` outside `leave_out`."""
    found = {}
    for here, dirs, names in os.walk(top):
        found.update({os.path.join(here, name): None for name in dirs})
        found.update({os.path.join(here, name): pathlib.Path(here, name).read_bytes() for name in names})
    return {path: data for path, data in found.items() if not path.startswith(leave_out)}


@pytest.mark.parametrize("mlsd", [True, False], ids=["MLSD", "LIST"])
@pytest.mark.parametrize("kind", list(MODES))
@pytest.mark.parametrize("name", ["..", "../evil", "../../evil", "a/../../../evil", "/tmp/evil", "bad\rname"])
def test_hostile_name_is_never_joined_sent_or_written(scripted, tmp_path, mlsd, kind, name):
    server, target = scripted(mlsd), tmp_path / "out" / "target"
    server.listings["/t"], server.files["/t/good"] = [("file", "good", 4), (kind, name, 4)], b"good"
    for path in ("/t/" + name, f"/t/{name}/evil"):  # what a client that believed the name would fetch
        server.files[path], server.listings[path] = b"EVIL", [("file", "evil", 4)]
    (tmp_path / "out").mkdir()
    for sentinel in (tmp_path / "evil", tmp_path / "out" / "evil"):
        sentinel.write_bytes(b"sentinel")
    before = snapshot(tmp_path, str(target))
    with pytest.raises(ExceptionGroup) if mlsd or name != ".." else contextlib.nullcontext() as caught:
        get(server.path("/t"), target, jobs=1)  # LIST's own ".." is passed over without a word
    if caught:
        [error] = caught.value.exceptions
        assert error.local == str(target) and caught.value.report.files_failed == 1
        assert repr(name) in str(error) and "127.0.0.1:/t" in str(error) and "\r" not in str(error)
    assert snapshot(tmp_path, str(target)) == before and os.listdir(target) == ["good"]
    put(target, server.path("/t"), update=True, jobs=1)  # its comparison passes the name over: "good" is current
    assert not any(name in arg for _, arg in server.commands)


@pytest.mark.parametrize("mlsd", [True, False], ids=["MLSD", "LIST"])
@pytest.mark.parametrize("depth", [["sub", "f"], ["sub", "deeper", "f"]])
def test_link_inside_the_target_is_not_passed_through(scripted, tmp_path, mlsd, depth):
    server = scripted(mlsd)
    for i, name in enumerate(depth):
        server.listings["/".join(["/t"] + depth[:i])] = [("dir" if name != "f" else "file", name, 3)]
    server.files["/".join(["/t"] + depth)] = b"new"
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "target").mkdir()
    (tmp_path / "target" / "sub").symlink_to(tmp_path / "elsewhere")
    with pytest.raises(ExceptionGroup) as caught:
        get(server.path("/t"), tmp_path / "target", jobs=1)
    [error] = caught.value.exceptions
    assert "/target/sub' is a symbolic link: not followed" in str(error) and caught.value.report.files_failed == 1
    assert os.listdir(tmp_path / "elsewhere") == [] and error.local == str(tmp_path.joinpath("target", *depth))


@pytest.mark.parametrize("top", ["/t/f", "/t"], ids=["single file by SIZE", "tree"])
@pytest.mark.parametrize("mlsd", [True, False], ids=["MLSD", "LIST"])
@pytest.mark.parametrize("sent, retrs, message", [(32 << 20, 1, "the server sent more than the 10 bytes it announced"),
                                                  (5, 3, "the server announced 10 bytes and sent 5")])
def test_download_of_the_wrong_size_is_not_kept(scripted, tmp_path, top, mlsd, sent, retrs, message):
    server = scripted(mlsd)
    server.files["/t/f"], server.sizes["/t/f"], server.listings["/t"] = b"x" * sent, "213 10", [("file", "f", 10)]
    (tmp_path / "f").write_bytes(b"old copy")
    with pytest.raises(ExceptionGroup) as caught:
        get(server.path(top), tmp_path / "f" if top == "/t/f" else tmp_path, jobs=1)
    assert message in str(caught.value.exceptions[0]) and caught.value.report.files_failed == 1
    assert os.listdir(tmp_path) == ["f"] and (tmp_path / "f").read_bytes() == b"old copy"
    server.stop()  # so that its data connection has seen the client's end
    assert [verb for verb, _ in server.commands].count("RETR") == retrs and server.unsent == (sent > 10)


@pytest.mark.parametrize("reply", ["213", "213 abc", "213 12abc", "213 ", "213 -5"])
@pytest.mark.parametrize("where", ["file", "dir", "link"])
def test_size_reply_without_a_number(scripted, tmp_path, reply, where):
    server = scripted(mlsd=False)
    server.sizes["/t/l" if where == "link" else "/t"], server.listings["/t"] = reply, [("OS.unix=slink:/x", "l", 1)]
    if where == "file":
        del server.listings["/t"]
        with pytest.raises(ftplib.error_proto, match=f"SIZE /t is no size: {reply!r}"):
            get(server.path("/t"), tmp_path / "f", jobs=1)
    else:  # a directory, or a link that is no file
        report = get(server.path("/t"), tmp_path, jobs=1)
        assert (report.skipped_links, report.files_moved) == (["/t/l"], 0)


@pytest.mark.parametrize("mlsd", [True, False], ids=["MLSD", "LIST"])
def test_listing_past_the_cap_fails_that_directory_only(scripted, tmp_path, monkeypatch, mlsd):
    monkeypatch.setenv("CORVANE_MAX_LISTING_BYTES", "2000")
    server = scripted(mlsd)
    server.listings["/t"], server.files["/t/ok"] = [("dir", "big", 0), ("file", "ok", 2)], b"ok"
    server.listings["/t/big"] = [("file", f"f{i}", 0) for i in range(200)]
    with pytest.raises(ExceptionGroup) as caught:
        get(server.path("/t"), tmp_path, jobs=1)
    [error] = caught.value.exceptions
    assert isinstance(error.__cause__, ListingTooLong) and "127.0.0.1:/t/big is longer than 2000" in str(error)
    assert (tmp_path / "ok").read_bytes() == b"ok" and not (tmp_path / "big").exists()
    assert [arg for verb, arg in server.commands if verb in ("MLSD", "LIST")] == ["/t", "/t/big"]
    with pytest.raises(ListingTooLong):
        put(tmp_path, server.path("/t"), update=True, jobs=1)


def test_real_server_listing_a_name_that_injects_an_mlsd_line(server, remote, tmp_path):
    top, twin = remote
    for name in ("x\r\ntype=dir;size=0; ..", "plain"):
        with open(os.path.join(twin, name), "wb") as f:
            f.write(b"injected")
    (tmp_path / "sentinel").write_bytes(b"sentinel")
    before, errors = snapshot(tmp_path, str(tmp_path / "back")), []
    try:
        get(top, tmp_path / "back")
    except ExceptionGroup as group:
        errors = group.exceptions
    assert snapshot(tmp_path, str(tmp_path / "back")) == before and "plain" in os.listdir(tmp_path / "back")
    assert all("\r" not in str(error) and "\n" not in str(error) for error in errors)
    # pyftpdlib's and ProFTPD's MLSD give the name raw: its second line reads as a directory ".."
    assert server.name not in ("pyftpdlib", "proftpd") or any("named '..'" in str(e) for e in errors)


@pytest.mark.parametrize("greeting", ["220 scripted", "220 (vsFTPd 3.0.3)"])
@pytest.mark.parametrize("mlsd", [True, False], ids=["MLSD", "LIST"])
def test_download_closes_its_end_early_only_where_the_server_takes_it(scripted, tmp_path, mlsd, greeting):
    server = scripted(mlsd)
    server.watch_ends, server.greeting = True, greeting
    server.listings["/t"], server.files["/t/f"] = [("file", "f", 4)], b"data"
    report = get(server.path("/t"), tmp_path, jobs=1)
    assert (report.files_moved, report.retries, (tmp_path / "f").read_bytes()) == (1, 0, b"data")
    assert server.early_ends == [greeting.endswith("(vsFTPd 3.0.3)")] * 2  # the listing's and the file's
