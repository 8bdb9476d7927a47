"""read, write and upload against the in-memory server: commands, order, messages."""

import builtins
import errno
import ftplib
import io
import os
import random
import socket

import pytest

import fakes


@pytest.fixture
def path_cls(counting):
    return counting


@pytest.fixture
def transfer_calls(monkeypatch):
    """The arguments of every retrbinary and storbinary call, in order."""
    calls = []

    class Recording(fakes.FakeFTP):
        def retrbinary(self, *args, **kwargs):
            calls.append(("retrbinary", args, kwargs))
            return super().retrbinary(*args, **kwargs)

        def storbinary(self, *args, **kwargs):
            calls.append(("storbinary", args, kwargs))
            return super().storbinary(*args, **kwargs)

    monkeypatch.setattr(fakes, "FakeFTP", Recording)
    return calls


@pytest.fixture
def opened(monkeypatch):
    """Every file that the built-in open returns while the test runs."""
    files = []
    real_open = builtins.open

    def recording_open(*args, **kwargs):
        files.append(real_open(*args, **kwargs))
        return files[-1]

    monkeypatch.setattr(builtins, "open", recording_open)
    return files


def content(size, seed=0):
    return random.Random(seed).randbytes(size)


# ---- read ----------------------------------------------------------------

@pytest.mark.parametrize("size", [0, 1, 7, 8, 1000])
def test_read_joins_blocks_in_arrival_order(fake, path_cls, transfer_calls, size):
    fake.blocksize_cap = 7
    data = content(size)
    fake.add_file("/dir with space/f.bin", data)

    result = path_cls("/dir with space/f.bin").read()

    assert type(result) is bytes and result == data
    assert fake.commands()[-1] == "RETR /dir with space/f.bin"
    [(name, args, kwargs)] = transfer_calls
    assert (name, args[0], len(args), kwargs) == ("retrbinary", "RETR /dir with space/f.bin", 2, {})
    assert callable(args[1])


def test_read_of_missing_path_sends_no_retrieval(fake, path_cls):
    with pytest.raises(FileNotFoundError, match=r"^'/nope\.bin' does not exist\.$"):
        path_cls("/nope.bin").read()
    assert not [c for c in fake.commands() if c.startswith("RETR")]


@pytest.mark.parametrize("refusal", ["directory", "550 Permission denied."])
def test_read_refused_becomes_not_a_file(fake, path_cls, refusal):
    if refusal == "directory":
        fake.add_file("/d/inside")  # listed by NLST, so exists needs no refused probe
    else:
        fake.add_file("/d", b"secret")
        fake.fail("RETR /d", ftplib.error_perm(refusal))

    with pytest.raises(TypeError, match=r"^'/d' is not a file\.$") as info:
        path_cls("/d").read()

    assert isinstance(info.value.__context__, ftplib.error_perm)
    assert info.value.__cause__ is None and not info.value.__suppress_context__
    assert path_cls.resets == 1
    assert fake.commands()[-1] == "RETR /d"


@pytest.mark.parametrize("error", [ftplib.error_temp("421 Busy."), ftplib.error_reply("199 Odd.")])
def test_read_passes_temporary_errors_unchanged(fake, path_cls, monkeypatch, error):
    monkeypatch.setenv("CORVANE_RETRY_TIMES", "1")
    fake.add_file("/f", b"x")
    fake.fail("RETR /f", error)
    with pytest.raises(type(error)) as info:
        path_cls("/f").read()
    assert info.value is error
    assert path_cls.resets == 0


def test_read_tried_again_after_a_cut_starts_empty(fake, path_cls, monkeypatch):
    data = content(100)
    fake.add_file("/f", data)

    class CutOnce(fakes.FakeFTP):
        cuts = 1

        def retrbinary(self, command, callback, blocksize=8192, rest=None):
            if CutOnce.cuts:
                CutOnce.cuts -= 1
                self._send(command)
                callback(data[:60])
                raise ftplib.error_temp("426 Connection closed; transfer aborted.")
            return super().retrbinary(command, callback, blocksize, rest)

    monkeypatch.setattr(fakes, "FakeFTP", CutOnce)
    assert path_cls("/f").read() == data
    assert fake.commands(0)[-1] == "RETR /f" and fake.commands(1)[-1] == "RETR /f"


def hand_over(monkeypatch, *blocks):
    """Sessions whose retrbinary passes these objects to the callback as blocks
    (a tuple as the whole argument list); returns the callbacks it was given."""
    callbacks = []

    class HandingFTP(fakes.FakeFTP):
        def retrbinary(self, command, callback):
            self._send(command)
            callbacks.append(callback)
            for block in blocks:
                callback(*block) if isinstance(block, tuple) else callback(block)
            return self._reply("226 Transfer complete.")

    monkeypatch.setattr(fakes, "FakeFTP", HandingFTP)
    return callbacks


def test_read_takes_any_buffer_as_a_block(fake, path_cls, monkeypatch):
    fake.add_file("/f")
    strided = memoryview(b"a-b-c-")[::2]
    hand_over(monkeypatch, b"", b"12", bytearray(b"34"), memoryview(b"56"), strided, b"")  # empty first, too
    assert path_cls("/f").read() == b"123456abc"


@pytest.mark.parametrize("block", ["text", None, (), (b"a", b"b")])
def test_read_fails_on_what_is_no_block(fake, path_cls, monkeypatch, block):
    fake.add_file("/f")
    hand_over(monkeypatch, b"first", block)
    with pytest.raises(TypeError):
        path_cls("/f").read()


def test_read_callback_refuses_blocks_after_the_read(fake, path_cls, monkeypatch):
    fake.add_file("/f")
    callbacks = hand_over(monkeypatch, b"abc")
    assert path_cls("/f").read() == b"abc"
    with pytest.raises(ValueError):
        callbacks[0](b"late")


# ---- write ---------------------------------------------------------------

def test_write_makes_missing_ancestors_then_stores(fake, path_cls, transfer_calls):
    data = content(20000)
    path_cls("/a/b c/f.bin").write(data)

    assert fake.fs["/a/b c/f.bin"] == data
    made = [c for c in fake.commands() if c.startswith(("MKD", "STOR"))]
    assert made == ["MKD /a", "MKD /a/b c", "STOR /a/b c/f.bin"]
    [(name, args, kwargs)] = transfer_calls
    assert (name, args[0], len(args), kwargs) == ("storbinary", "STOR /a/b c/f.bin", 2, {})
    assert isinstance(args[1], io.BufferedIOBase)


def test_write_replaces_a_file_without_asking_about_it(fake, path_cls):
    fake.add_file("/d/f.bin", b"old content")
    path_cls("/d/f.bin").write(data=b"")
    assert fake.fs["/d/f.bin"] == b""
    assert [c for c in fake.commands() if "f.bin" in c] == ["STOR /d/f.bin"]


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("data, type_name", [
    ("text", "str"),
    (bytearray(b"x"), "bytearray"),
    (memoryview(b"x"), "memoryview"),
    (None, "NoneType"),
    (BytesSubclass(b"x"), "BytesSubclass"),
])
def test_write_refuses_other_types_before_sending(fake, path_cls, data, type_name):
    message = f"Argument 'data' has incorrect type (expected bytes, got {type_name})"
    with pytest.raises(TypeError) as info:
        path_cls("/f").write(data)
    assert str(info.value) == message
    assert fake.commands() == []


@pytest.mark.parametrize("target, error, message", [
    ("/d", ftplib.error_perm, "553 Could not create file."),
    ("/f/x", FileNotFoundError, "Failed to create directory '/f'."),
])
def test_write_failures_pass_out(fake, path_cls, target, error, message):
    fake.add_dir("/d").add_file("/f", b"file")
    with pytest.raises(error) as info:
        path_cls(target).write(b"data")
    assert str(info.value) == message
    assert fake.fs["/f"] == b"file" and fake.is_dir("/d")


# ---- bad paths -----------------------------------------------------------

@pytest.mark.parametrize("char", ["\0", "\r", "\n"])
@pytest.mark.parametrize("operation", ["read", "write", "upload"])
def test_path_ftp_cannot_carry_is_refused_before_sending(fake, path_cls, tmp_path, char, operation):
    local = tmp_path / "f.txt"
    local.write_bytes(b"x")
    args = {"read": (), "write": (b"x",), "upload": (str(local),)}[operation]
    remote = path_cls(f"/d/a{char}b")
    with pytest.raises(ValueError) as info:
        getattr(remote, operation)(*args)
    assert str(info.value) == f"'{remote.path}' contains NUL, CR or LF, which FTP cannot carry."
    assert fake.commands() == []


@pytest.mark.parametrize("operation, arg", [("write", "text"), ("upload", b"local")])
def test_argument_is_checked_before_the_path(fake, path_cls, operation, arg):
    with pytest.raises(TypeError, match="^Argument "):
        getattr(path_cls("/a\0b"), operation)(arg)


# ---- upload --------------------------------------------------------------

def make_tree(root, entries):
    """Files (bytes), directories (dict) and symbolic links (str: the target)."""
    root.mkdir(exist_ok=True)
    for name, value in entries.items():
        if isinstance(value, dict):
            make_tree(root / name, value)
        elif isinstance(value, str):
            (root / name).symlink_to(value)
        else:
            (root / name).write_bytes(value)
    return root


def remote_tree(fake, top):
    return {p[len(top):]: v for p, v in fake.fs.items() if p.startswith(top + "/")}


def test_upload_file_to_exactly_this_path(fake, path_cls, tmp_path, transfer_calls, opened):
    local = tmp_path / "a.txt"
    local.write_bytes(b"report")

    path_cls("/srv/out/report.bin").upload(local_path=str(local))

    assert fake.fs["/srv/out/report.bin"] == b"report"
    assert fake.commands()[-1] == "STOR /srv/out/report.bin"
    assert not [c for c in fake.commands() if "a.txt" in c]
    [(name, args, kwargs)] = transfer_calls
    assert (name, args[0], len(args), kwargs) == ("storbinary", "STOR /srv/out/report.bin", 2, {})
    assert args[1] is opened[0] and args[1].mode == "rb" and args[1].closed


def test_upload_tree_in_listing_order(fake, path_cls, tmp_path):
    src = make_tree(tmp_path / "src", {
        "a.txt": b"a", ".hidden": b"dot", "with space.txt": b"s", "ünï.txt": b"u",
        "sub": {"b.txt": b"b", "deeper": {"c.txt": b"c"}}, "empty": {},
        "link_file": "a.txt", "link_dir": "sub",
    })

    path_cls("/dst").upload(str(src))

    sub = {"/b.txt": b"b", "/deeper": None, "/deeper/c.txt": b"c"}
    expected = {"/a.txt": b"a", "/.hidden": b"dot", "/with space.txt": b"s", "/ünï.txt": b"u",
                "/sub": None, "/empty": None, "/link_file": b"a", "/link_dir": None,
                **{"/sub" + k: v for k, v in sub.items()}, **{"/link_dir" + k: v for k, v in sub.items()}}
    assert remote_tree(fake, "/dst") == expected
    assert not [c for c in fake.commands() if "src" in c]

    def listing_order(local, remote):
        for name in os.listdir(local):
            if os.path.isdir(os.path.join(local, name)):
                yield "MKD " + remote + "/" + name
                yield from listing_order(os.path.join(local, name), remote + "/" + name)
            else:
                yield "STOR " + remote + "/" + name

    made = [c for c in fake.commands() if c.startswith(("MKD", "STOR"))]
    assert made == ["MKD /dst", *listing_order(src, "/dst")]


def test_upload_of_empty_text_walks_the_working_directory(fake, path_cls, tmp_path, monkeypatch):
    monkeypatch.chdir(make_tree(tmp_path / "cwd", {"a.txt": b"a", "sub": {"b.txt": b"b"}}))
    path_cls("/dst").upload("")
    assert remote_tree(fake, "/dst") == {"/a.txt": b"a", "/sub": None, "/sub/b.txt": b"b"}


def test_upload_empty_directory_makes_only_it(fake, path_cls, tmp_path):
    (tmp_path / "empty").mkdir()
    path_cls("/x/dst").upload(str(tmp_path / "empty"))
    assert {p for p in fake.fs if p != "/"} == {"/x", "/x/dst"}


class StrSubclass(str):
    pass


@pytest.mark.parametrize("make_arg, type_name", [
    (lambda p: p, "PosixPath"),
    (lambda p: os.fsencode(p), "bytes"),
    (lambda p: None, "NoneType"),
    (lambda p: StrSubclass(p), "StrSubclass"),
])
def test_upload_refuses_other_types(fake, path_cls, tmp_path, opened, make_arg, type_name):
    (tmp_path / "f").write_bytes(b"x")
    with pytest.raises(TypeError) as info:
        path_cls("/f").upload(make_arg(tmp_path / "f"))
    assert str(info.value) == f"Argument 'local_path' has incorrect type (expected str, got {type_name})"
    assert fake.commands() == [] and opened == []


def test_upload_of_missing_local_path_makes_the_parent_first(fake, path_cls, tmp_path):
    missing = str(tmp_path / "missing.txt")
    with pytest.raises(FileNotFoundError) as info:
        path_cls("/x/y/z.txt").upload(missing)
    assert info.value.filename == missing
    assert fake.is_dir("/x/y")
    assert not [c for c in fake.commands() if c.startswith("STOR")]


@pytest.mark.parametrize("outcome", ["stored", "refused", "temporary"])
def test_upload_closes_the_file_on_every_way_out(fake, path_cls, tmp_path, opened, monkeypatch, outcome):
    local = tmp_path / "f.txt"
    local.write_bytes(b"payload")
    target = "/f.txt"
    if outcome == "refused":
        fake.add_dir("/f.txt")
    elif outcome == "temporary":
        monkeypatch.setenv("CORVANE_RETRY_TIMES", "2")
        fake.fail("STOR /f.txt", *[ftplib.error_temp("451 Local error.") for _ in range(2)])

    if outcome == "stored":
        path_cls(target).upload(str(local))
        assert fake.fs["/f.txt"] == b"payload"
    else:
        with pytest.raises(ftplib.error_perm if outcome == "refused" else ftplib.error_temp):
            path_cls(target).upload(str(local))

    assert len(opened) == (2 if outcome == "temporary" else 1)
    assert all(f.closed for f in opened)


def test_upload_entries_are_tried_again_on_their_own(fake, path_cls, tmp_path):
    src = make_tree(tmp_path / "src", {"a.txt": b"a", "sub": {"b.txt": b"b"}})
    fake.fail("STOR /dst/sub/b.txt", ftplib.error_temp("451 Try again."))
    path_cls("/dst").upload(str(src))
    stores = [c for c in fake.commands() if c.startswith("STOR")]
    assert sorted(stores) == ["STOR /dst/a.txt", "STOR /dst/sub/b.txt", "STOR /dst/sub/b.txt"]
    assert remote_tree(fake, "/dst") == {"/a.txt": b"a", "/sub": None, "/sub/b.txt": b"b"}


def test_upload_failure_ends_the_walk(fake, path_cls, tmp_path):
    src = make_tree(tmp_path / "src", {f"f{i}": b"%d" % i for i in range(5)})
    order = os.listdir(src)
    fake.fail(f"STOR /dst/{order[2]}", ftplib.error_perm("553 Not allowed."))
    with pytest.raises(ftplib.error_perm):
        path_cls("/dst").upload(str(src))
    assert sorted(remote_tree(fake, "/dst")) == sorted("/" + name for name in order[:2])


# ---- the two mends: link loops and special files -------------------------

@pytest.mark.parametrize("link, target", [
    ("me", "."),
    ("sub/up", ".."),
    ("sub/deeper/top", "../.."),
    ("sub/out", "{tmp}"),
])
def test_upload_refuses_a_link_loop(fake, path_cls, tmp_path, link, target):
    src = make_tree(tmp_path / "src", {"a.txt": b"a", "sub": {"deeper": {}}})
    os.symlink(target.format(tmp=tmp_path), src / link)

    with pytest.raises(OSError) as info:
        path_cls("/dst").upload(str(src))

    assert info.value.errno == errno.ELOOP
    assert info.value.filename == (src / link).as_posix()
    assert "/dst/" + link not in fake.fs


def test_upload_two_links_to_one_directory_are_no_loop(fake, path_cls, tmp_path):
    src = make_tree(tmp_path / "src", {"real": {"x.txt": b"x"}, "l1": "real", "l2": "real"})
    path_cls("/dst").upload(str(src))
    assert {k: v for k, v in remote_tree(fake, "/dst").items() if v} == {
        "/real/x.txt": b"x", "/l1/x.txt": b"x", "/l2/x.txt": b"x"}


@pytest.mark.parametrize("link, target, loop", [
    ("inner/back", "../..", True),  # the parent of the working directory, above src
    ("here", "../cwd", False),  # the working directory: "." is no ancestor of "../src"
])
def test_upload_loop_check_through_parent_steps(fake, path_cls, tmp_path, monkeypatch, link, target, loop):
    src = make_tree(tmp_path / "src", {"inner": {}})
    os.symlink(target, src / link)
    make_tree(tmp_path / "cwd", {"c.txt": b"c"})
    monkeypatch.chdir(tmp_path / "cwd")

    if loop:
        with pytest.raises(OSError) as info:
            path_cls("/dst").upload("../src")
        assert info.value.errno == errno.ELOOP and info.value.filename == "../src/" + link
    else:
        path_cls("/dst").upload("../src")
        assert fake.fs["/dst/here/c.txt"] == b"c"


@pytest.fixture
def special(tmp_path, request):
    kind = request.param
    if kind == "fifo":
        os.mkfifo(tmp_path / "fifo")
        yield str(tmp_path / "fifo")
    elif kind == "socket":
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(str(tmp_path / "sock"))
            yield str(tmp_path / "sock")
    else:
        yield "/dev/null"


@pytest.mark.parametrize("special, kind", [
    ("fifo", "a named pipe"), ("socket", "a socket"), ("device", "a character device"),
], indirect=["special"])
def test_upload_refuses_special_files_before_sending(fake, path_cls, special, kind):
    with pytest.raises(OSError) as info:
        path_cls("/x/y/z").upload(special)
    assert info.value.errno == errno.EINVAL and info.value.filename == special
    assert kind in str(info.value)
    assert fake.commands() == []


def test_upload_tree_with_a_fifo_stops_there(fake, path_cls, tmp_path):
    src = make_tree(tmp_path / "src", {})
    os.mkfifo(src / "pipe")
    with pytest.raises(OSError) as info:
        path_cls("/dst").upload(str(src))
    assert info.value.filename == (src / "pipe").as_posix()
    assert remote_tree(fake, "/dst") == {}
