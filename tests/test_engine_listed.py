"""get against a server that lies: names that climb out of the target, sizes that are
not what arrives, SIZE replies with no number, listings that never end."""

import contextlib
import ftplib
import os
import socket
import threading

import pytest

from corvane.ftp import connect
from corvane.ftp.limits import ListingTooLong
from corvane.ftp.transfer import FileTransferError, get, put

pytestmark = pytest.mark.group("engine")


def listed(kind, name, size, mlsd):
    if mlsd:
        return f"type={kind};{'' if size is None else f'size={size};'} {name}"
    mode = {"file": "-rw-r--r--", "dir": "drwxr-xr-x", "OS.unix=slink:/x": "lrwxrwxrwx"}[kind]
    return f"{mode} 1 o g {size or 0} Jan 01 2026 {name}" + (" -> /x" if mode[0] == "l" else "")


class Scripted:
    """An FTP server on 127.0.0.1 that answers from `files` {path: bytes}, `sizes` {path: SIZE
    reply}, `listings` {directory: [lines]} (sent alike for MLSD and LIST)."""

    def __init__(self, mlsd=True):
        self.mlsd, self.files, self.sizes, self.listings = mlsd, {}, {}, {}
        self.commands, self.unsent, self.threads, self.conns, self.stopping = [], 0, [], [], False
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread(self.accept)

    def thread(self, target, *args):
        self.threads.append(threading.Thread(target=target, args=args))
        self.threads[-1].start()

    def accept(self):
        with self.listener:
            while not self.stopping:
                self.conns.append(self.listener.accept()[0])
                self.thread(self.serve, self.conns[-1])

    def stop(self):
        if not self.stopping:
            self.stopping = True
            socket.create_connection(("127.0.0.1", self.port)).close()  # wakes accept()
        for thread in self.threads:
            thread.join(10)
            assert not thread.is_alive()

    def serve(self, conn):
        def send(text):
            conn.sendall(text.encode("utf-8", "surrogateescape") + b"\r\n")
        data = None
        conn.settimeout(10)
        with conn, conn.makefile("rb") as lines, contextlib.suppress(OSError):
            send("220 scripted")
            for line in lines:
                verb, _, arg = line.decode("utf-8", "surrogateescape").rstrip("\r\n").partition(" ")
                self.commands.append((verb, arg))
                arg = arg.removeprefix("-a ")
                if verb == "FEAT":
                    send("211-features\r\n MLST type*;size*;\r\n211 end" if self.mlsd else "211 none")
                elif verb == "SIZE":
                    send(self.sizes.get(arg) or (f"213 {len(self.files[arg])}" if arg in self.files else "550 no"))
                elif verb == "CWD":
                    send("250 ok" if arg in self.listings else "550 no")
                elif verb == "PASV":
                    data = socket.create_server(("127.0.0.1", 0))
                    send(f"227 ok (127,0,0,1,{data.getsockname()[1] >> 8},{data.getsockname()[1] & 255})")
                elif verb in ("MLSD", "LIST", "RETR") and data:
                    payload = "".join(f"{line}\r\n" for line in self.listings[arg]).encode(
                        "utf-8", "surrogateescape") if verb != "RETR" else self.files.get(arg)
                    with data, data.accept()[0] as out:
                        send("150 here")
                        try:
                            out.sendall(payload)
                        except OSError:
                            self.unsent += 1
                    data = send("226 done")
                elif verb == "QUIT":
                    return send("221 bye")
                else:
                    send("200 ok" if verb != "RETR" else "550 no")


@pytest.fixture
def scripted(monkeypatch):
    servers = []

    def make(mlsd=True):
        servers.append(Scripted(mlsd))
        return servers[-1], connect("127.0.0.1", port=servers[-1].port, user="u", password="p")

    yield make
    for server in servers:
        server.stop()


def snapshot(top, leave_out):
    """{path: its bytes, or None for a directory} of everything under `top` but `leave_out`."""
    found = {}
    for here, dirs, names in os.walk(top):
        found.update({os.path.join(here, name): None for name in dirs})
        found.update({os.path.join(here, name): open(os.path.join(here, name), "rb").read() for name in names})
    return {path: data for path, data in found.items() if not path.startswith(leave_out)}


@pytest.mark.parametrize("mlsd", [True, False], ids=["MLSD", "LIST"])
@pytest.mark.parametrize("kind", ["file", "dir", "OS.unix=slink:/x"])
@pytest.mark.parametrize("name", ["..", "../evil", "../../evil", "a/../../../evil", "/tmp/evil", "bad\rname"])
def test_hostile_name_is_never_joined_sent_or_written(scripted, tmp_path, mlsd, kind, name):
    server, path = scripted(mlsd)
    server.listings["/t"] = [listed("file", "good", 4, mlsd), listed(kind, name, 4, mlsd)]
    for hostile in ("/t/" + name, f"/t/{name}/evil"):
        server.files[hostile], server.listings[hostile] = b"EVIL", [listed("file", "evil", 4, mlsd)]
    server.files["/t/good"] = b"good"
    target = tmp_path / "out" / "target"
    (tmp_path / "out").mkdir()
    for sentinel in (tmp_path / "evil", tmp_path / "out" / "evil"):
        sentinel.write_bytes(b"sentinel")
    before = snapshot(tmp_path, str(target))
    if mlsd or name != "..":
        with pytest.raises(ExceptionGroup) as caught:
            get(path("/t"), target)
        [error] = caught.value.exceptions
        assert isinstance(error, FileTransferError) and error.local == str(target)
        assert repr(name) in str(error) and "127.0.0.1:/t" in str(error) and "\r" not in str(error)
        assert caught.value.report.files_failed == 1
    else:  # LIST's own "..", passed over without a word
        get(path("/t"), target)
    assert snapshot(tmp_path, str(target)) == before
    assert (target / "good").read_bytes() == b"good" and os.listdir(target) == ["good"]
    assert not any(name in arg for _, arg in server.commands)


@pytest.mark.parametrize("mlsd", [True, False], ids=["MLSD", "LIST"])
@pytest.mark.parametrize("depth", ["sub/f", "sub/deeper/f"])
def test_link_inside_the_target_is_not_passed_through(scripted, tmp_path, mlsd, depth):
    server, path = scripted(mlsd)
    parts = depth.split("/")
    for i, name in enumerate(parts):
        here = "/".join(["/t"] + parts[:i])
        server.listings[here] = [listed("dir" if i < len(parts) - 1 else "file", name, 3, mlsd)]
    server.files[f"/t/{depth}"] = b"new"
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "target").mkdir()
    (tmp_path / "target" / "sub").symlink_to(tmp_path / "elsewhere")
    with pytest.raises(ExceptionGroup) as caught:
        get(path("/t"), tmp_path / "target")
    [error] = caught.value.exceptions
    assert "/target/sub' is a symbolic link: not followed" in str(error) and caught.value.report.files_failed == 1
    assert os.listdir(tmp_path / "elsewhere") == [] and error.local == str(tmp_path / "target" / depth)


@pytest.mark.parametrize("top", ["/t/f", "/t"], ids=["single file by SIZE", "tree"])
@pytest.mark.parametrize("mlsd", [True, False], ids=["MLSD", "LIST"])
@pytest.mark.parametrize("sent, retrs, message", [
    (32 << 20, 1, "the server sent more than the 10 bytes it announced"),
    (5, 3, "the server announced 10 bytes and sent 5"),
])
def test_download_of_the_wrong_size_is_not_kept(scripted, tmp_path, top, mlsd, sent, retrs, message):
    server, path = scripted(mlsd)
    server.files["/t/f"] = b"x" * sent
    server.sizes["/t/f"] = "213 10"
    server.listings["/t"] = [listed("file", "f", 10, mlsd)]
    (tmp_path / "f").write_bytes(b"old copy")
    with pytest.raises(ExceptionGroup) as caught:
        get(path(top), tmp_path / "f" if top == "/t/f" else tmp_path)
    assert message in str(caught.value.exceptions[0]) and caught.value.report.files_failed == 1
    assert os.listdir(tmp_path) == ["f"] and (tmp_path / "f").read_bytes() == b"old copy"
    server.stop()  # so that its data connection has seen the client's end
    assert [verb for verb, _ in server.commands].count("RETR") == retrs and server.unsent == (sent > 10)


def test_size_unknown_to_the_listing_is_not_checked(scripted, tmp_path):
    server, path = scripted()
    server.listings["/t"], server.files["/t/f"] = [listed("file", "f", None, True)], b"seven b"
    assert get(path("/t"), tmp_path).bytes_moved == 7 and (tmp_path / "f").read_bytes() == b"seven b"


@pytest.mark.parametrize("reply", ["213", "213 abc", "213 12abc", "213 ", "213 -5"])
@pytest.mark.parametrize("where", ["file", "dir", "link"])
def test_size_reply_without_a_number(scripted, tmp_path, reply, where):
    server, path = scripted(mlsd=False)
    server.sizes["/t/l" if where == "link" else "/t"] = reply
    server.listings["/t"] = [listed("OS.unix=slink:/x", "l", 1, False)]
    if where == "file":
        del server.listings["/t"]
        with pytest.raises(ftplib.error_proto, match=f"SIZE /t is no size: {reply!r}"):
            get(path("/t"), tmp_path / "f")
    else:
        report = get(path("/t"), tmp_path)
        assert (report.skipped_links, report.files_moved) == (["/t/l"], 0)


@pytest.mark.parametrize("mlsd", [True, False], ids=["MLSD", "LIST"])
def test_listing_past_the_cap_fails_that_directory_only(scripted, tmp_path, monkeypatch, mlsd):
    monkeypatch.setenv("CORVANE_MAX_LISTING_BYTES", "2000")
    server, path = scripted(mlsd)
    server.listings["/t"] = [listed("dir", "big", 0, mlsd), listed("file", "ok", 2, mlsd)]
    server.listings["/t/big"] = [listed("file", f"f{i}", 0, mlsd) for i in range(200)]
    server.files["/t/ok"] = b"ok"
    with pytest.raises(ExceptionGroup) as caught:
        get(path("/t"), tmp_path)
    [error] = caught.value.exceptions
    assert isinstance(error.__cause__, ListingTooLong) and "127.0.0.1:/t/big is longer than 2000" in str(error)
    assert (tmp_path / "ok").read_bytes() == b"ok" and not (tmp_path / "big").exists()
    assert [arg.removeprefix("-a ") for verb, arg in server.commands if verb in ("MLSD", "LIST")] == ["/t", "/t/big"]
    with pytest.raises(ListingTooLong):
        put(tmp_path, path("/t"), update=True)


def test_real_server_listing_a_name_that_injects_an_mlsd_line(remote, tmp_path):
    top, twin = remote
    for name in ("x\r\ntype=dir;size=0; ..", "plain"):
        with open(os.path.join(twin, name), "wb") as f:
            f.write(b"injected")
    (tmp_path / "sentinel").write_bytes(b"sentinel")
    before = snapshot(tmp_path, str(tmp_path / "back"))
    with pytest.raises(ExceptionGroup) as caught:
        get(top, tmp_path / "back")
    assert snapshot(tmp_path, str(tmp_path / "back")) == before and os.listdir(tmp_path / "back") == ["plain"]
    assert all("\r" not in str(error) and "\n" not in str(error) for error in caught.value.exceptions)
