"""The client against a server that lies: listed names that climb out of their directory,
sizes it does not keep to, replies and listings without end, control bytes for the
terminal, and a stranger on the active-mode data port (tests/hostile.py)."""

import contextlib
import ftplib
import hashlib
import os
import socket
import subprocess
import sys
import sysconfig
import time
import unicodedata
import zlib

import pytest
from hostile import Entry, File, multiline

from corvane.base import Local
from corvane.ftp import _jobs, _times, connect, transfer
from corvane.ftp.limits import LISTING_BYTES_VAR, ListingTooLong
from corvane.ftp.cli import PARTIAL
from corvane.ftp.transfer import FileTransferError

CLI = [os.path.join(sysconfig.get_path("scripts"), "corvane-ftp")]
PASSWORD_VAR = "CORVANE_HOSTILE_PASSWORD"
INJECTED = "x\r\n<an injected line naming '..'>"
# Names that can stand for no entry of /top; INJECTED becomes a second listing line, in the
# listing's own format, of a directory "..". CR LF ends a line, so "x\r\nDELE keep" lists as
# a file "x" (which the server has) and a line that names nothing; a reader with universal
# newlines sees the same in "x\rDELE keep".
BAD = ["../../x", "../x", "/x", "/", "a/b", "..", "x\rDELE keep", "x\0y", "x\r\nDELE keep", INJECTED]
KINDS = ["file", "dir", "link"]
MLSD_LIST = [("MLSD", Entry.mlsd), ("LIST", Entry.list)]
GOOD = {"good.txt", "gooddir"}


@pytest.fixture
def P(hostile):
    cls = connect("127.0.0.1", port=hostile.port, user="u", password="p", timeout=5)
    yield cls
    Local.delattr(cls("/")._key_on_thread())


@pytest.mark.parametrize("user, password, sent, error", [
    ("230 no password here", "503 already in", ["USER", "OPTS"], None),
    ("331 password please", "530 wrong password", ["USER", "PASS"], "wrong password"),
    ("331 password please", "332 account please", ["USER", "PASS", "ACCT"], "no account"),
    ("530 Non-anonymous sessions must use encryption.", "230 in", ["USER"], "must use encryption")])
def test_the_login_reads_each_answer_as_its_own_and_sends_no_password_a_server_refused(hostile, P, user, password,
                                                                                        sent, error):
    hostile.replies.update(USER=user, PASS=password, ACCT="530 no account")
    with pytest.raises(Exception, match=error) if error else contextlib.nullcontext():
        assert P("/").is_dir()
    verbs = [c.verb for c in hostile.commands()]
    assert verbs[:len(sent)] == sent and ("PASS" in sent or "PASS" not in verbs)


def scripted(hostile, bad, kind="file", mlst=True):
    """/top with good.txt, gooddir/inner.txt and the bad entry, listed in both formats."""
    hostile.mlst = mlst
    hostile.tree("/top", [Entry("good.txt"), Entry("gooddir", "dir"), Entry(bad, kind)])
    hostile.tree("/top/gooddir", [Entry("inner.txt")])
    if split(bad):
        hostile.files["/top/x"] = File(b"payload\n")
    if bad == INJECTED:
        hostile.raw["/top"] = {kind: [render(e) for e in hostile.dirs["/top"][:2]] + [
            render(Entry("x\r\n" + render(Entry("..", "dir")), "file", 8))] for kind, render in MLSD_LIST}
    hostile.files["/keep"] = File(b"keep\n")


def split(bad):
    return "\r" in bad or "\n" in bad


def detected(bad, mlsd=True):
    """Whether a right client must report the bad name: CR LF makes it two other lines, and
    LIST -a shows ".." in every directory, as nothing to copy."""
    return (not split(bad) or bad == INJECTED) and (mlsd or shown(bad) != "..")


def listed(names, bad):
    """Whether `names` are those a right client may take from /top's listing."""
    return names == GOOD or split(bad) and names == GOOD | {"x"}


def shown(bad):
    return ".." if bad == INJECTED else bad


def flat(exc):
    """exc, the members of its groups, and their causes."""
    if exc is None:
        return []
    members = [m for e in getattr(exc, "exceptions", ()) for m in flat(e)]
    return [exc] + members + flat(exc.__cause__ or exc.__context__)


def text(exc):
    return str(exc) + "\n" + "\n".join(getattr(exc, "__notes__", []))


def beside(tmp_path):
    """The target, an empty directory in a tree whose every other file and directory must stay as it is."""
    (tmp_path / "a" / "b" / "sentdir").mkdir(parents=True)
    (tmp_path / "a" / "b" / "target").mkdir()
    for sentinel in ("a/b/x", "a/x", "a/b/sentdir/x", "x"):
        (tmp_path / sentinel).write_bytes(b"old\n")
    return tmp_path / "a" / "b" / "target"


def snapshot(root, leave_out):
    """Kind, mtime and content of everything under `root` but `leave_out`."""
    found = {}
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) != str(leave_out)]
        for name in dirs + files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            found[path] = (st.st_mode, st.st_mtime_ns, name in files and open(path, "rb").read())
    return found


def cli(hostile, *args):
    """The command line against `hostile`: (status, stdout, stderr) as bytes."""
    done = subprocess.run(CLI + ["--host", "127.0.0.1", "--port", str(hostile.port), "--user", "u",
                                 "--password-env", PASSWORD_VAR, *args], capture_output=True, timeout=120,
                          stdin=subprocess.DEVNULL, env={**os.environ, PASSWORD_VAR: "p"})
    return done.returncode, done.stdout, done.stderr


def assert_one_line(status, err, statuses=(1,)):
    assert status in statuses and b"Traceback" not in err, err
    assert err == b"" or err.count(b"\n") == 1 and err.endswith(b"\n"), err


NAMING = ("DELE", "RMD", "CWD", "RETR", "MLSD", "LIST", "NLST", "SIZE", "MDTM", "RNFR", "STOR", "MKD")


def strays(hostile, bad):
    """The commands that name a path other than /top and its good entries, or name one in a
    roundabout way ("/top/gooddir/.."); a return to the login directory is no visit."""
    good = {"/top", "/top/good.txt", "/top/gooddir", "/top/gooddir/inner.txt"} | ({"/top/x"} if split(bad) else set())
    return [(c.verb, c.arg) for c in hostile.commands(*NAMING)
            if not (c.verb == "CWD" and c.path == "/") and
            (c.path not in good or c.literal not in (c.path, c.path + "/") or "keep" in c.arg)]


def assert_deleted_within_top(hostile, bad):
    assert strays(hostile, bad) == []
    assert "/top/good.txt" not in hostile.files and "/top/gooddir" not in hostile.dirs
    assert "/keep" in hostile.files


# ---- the server says what it is told -----------------------------------------------------

@pytest.mark.parametrize("pasv", [True, False])
def test_the_server_sends_what_the_test_scripts(hostile, pasv):
    hostile.raw["/top"] = {"MLSD": ["type=file;size=3; ../x\rDELE y"]}
    hostile.files["/top/f"] = File(b"0123456789", size=99, send=25)
    with ftplib.FTP() as ftp:
        ftp.connect("127.0.0.1", hostile.port, timeout=5)
        ftp.login("u", "p")
        ftp.set_pasv(pasv)
        lines, data = [], []
        ftp.retrlines("MLSD /top", lines.append)
        assert ftp.size("/top/f") == 99
        ftp.retrbinary("RETR /top/../top/f", data.append)
        assert b"".join(data) == b"0123456789" * 2 + b"01234"
        with pytest.raises(ftplib.error_perm, match="^550"):
            ftp.cwd("/top/..")  # climbing is refused, so that no walk loops
    assert lines == ["type=file;size=3; ../x", "DELE y"]  # ftplib's text mode splits at a lone CR
    retr = hostile.commands("RETR")[0]
    assert (retr.arg, retr.path, retr.literal) == ("/top/../top/f", "/top/f", "/top/../top/f")
    assert [c.verb for c in hostile.commands("PASV", "PORT", "QUIT")] == ["PASV" if pasv else "PORT"] * 2 + ["QUIT"]


# ---- listed names that name no entry of the directory -----------------------------------

@pytest.mark.parametrize("mlst", [True, False], ids=["MLSD", "LIST"])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("bad", BAD)
def test_get_writes_only_inside_the_target(hostile, P, tmp_path, bad, kind, mlst):
    scripted(hostile, bad, kind, mlst)
    target = beside(tmp_path)
    before = snapshot(tmp_path, target)
    try:
        transfer.get(P("/top"), target)
        failures = []
    except ExceptionGroup as group:
        failures = [e for e in flat(group) if isinstance(e, FileTransferError)]
        assert failures, group
    assert snapshot(tmp_path, target) == before
    assert (target / "good.txt").read_bytes() == (target / "gooddir" / "inner.txt").read_bytes() == b"payload\n"
    if detected(bad, mlst):
        assert any("127.0.0.1" in text(e) and "/top" in text(e) and
                   (shown(bad) in text(e) or repr(shown(bad))[1:-1] in text(e)) for e in failures), failures
    assert strays(hostile, bad) == [] and not hostile.commands("DELE", "STOR", "RMD", "MKD", "RNFR")


@pytest.mark.parametrize("mlst", [True, False], ids=["MLSD", "LIST"])
@pytest.mark.parametrize("bad", BAD)
def test_command_line_get_writes_only_inside_the_target(hostile, tmp_path, bad, mlst):
    scripted(hostile, bad, "file", mlst)
    target = beside(tmp_path)
    before = snapshot(tmp_path, target)
    status, out, err = cli(hostile, "get", "/top", str(target))
    assert_one_line(status, err, (PARTIAL,) if detected(bad, mlst) else (0, PARTIAL))
    assert snapshot(tmp_path, target) == before and strays(hostile, bad) == []
    assert (target / "gooddir" / "inner.txt").read_bytes() == b"payload\n"


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("bad", BAD)
def test_delete_stays_within_the_tree(hostile, P, bad, kind):
    scripted(hostile, bad, kind)
    try:
        P("/top").delete()
    except Exception as exc:  # the bad entry "remains", so the last RMD may be refused
        assert "/top" in text(exc) or any("/top" in text(e) for e in flat(exc)), text(exc)
    assert_deleted_within_top(hostile, bad)


@pytest.mark.parametrize("bad", BAD)
def test_command_line_rm_stays_within_the_tree(hostile, bad):
    scripted(hostile, bad, "dir")
    status, out, err = cli(hostile, "rm", "-r", "--yes", "/top")
    assert_one_line(status, err, (0, 1))
    assert_deleted_within_top(hostile, bad)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("bad", BAD)
def test_put_delete_removes_within_the_target_and_never_a_name_it_cannot_trust(hostile, tmp_path, bad, kind):
    scripted(hostile, bad, kind)
    (tmp_path / "gooddir").mkdir()
    (tmp_path / "gooddir" / "inner.txt").write_bytes(b"new\n")
    status, out, err = cli(hostile, "put", "--inplace", "--delete", str(tmp_path), "/top")
    lying = (bad, kind) == ("x\r\nDELE keep", "dir")  # "x" is listed as a directory that cannot then be listed
    assert_one_line(status, err, (1,) if lying else (0,))
    assert (strays(hostile, bad), b"deleting good.txt\n" in out, "/top/good.txt" in hostile.files) == \
        ([], not lying, lying)
    assert "/keep" in hostile.files


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("bad", BAD)
def test_glob_yields_entries_of_the_directory_only(hostile, P, bad, kind):
    scripted(hostile, bad, kind)
    found = list(P("/top").glob("*"))
    assert all(str(p.parent) == "/top" for p in found), found
    assert listed({p.path.name for p in found}, bad), found


@pytest.mark.parametrize("bad", BAD)
def test_command_line_ls_prints_no_bad_name(hostile, bad):
    scripted(hostile, bad, "file")
    status, out, err = cli(hostile, "ls", "/top")
    # A name left out is told in one warning line, the name shown by repr().
    assert status == 0 and all(line.startswith(b"corvane-ftp: warning: '/top': ") for line in err.splitlines())
    assert listed(set(out.decode().splitlines()), bad), out


def test_an_injected_line_from_a_real_server_writes_nothing_outside(remote, tmp_path):
    """A name that holds a line of MLSD, made on the server's own disk and listed as it is."""
    directory, local = remote
    os.makedirs(os.path.join(local, "fresh"))
    for name, data in [("x\r\ntype=dir;size=0; ..", b"a name with a line in it\n"), ("good.txt", b"good\n")]:
        with open(os.path.join(local, "fresh", name), "wb") as f:
            f.write(data)
    target = beside(tmp_path)
    before = snapshot(tmp_path, target)
    try:
        transfer.get(directory.join("fresh"), target)
    except ExceptionGroup:
        pass  # what a right client reports of that name is its own business; where it writes is not
    assert snapshot(tmp_path, target) == before
    assert (target / "good.txt").read_bytes() == b"good\n"


def test_get_does_not_follow_a_local_link_in_the_target(hostile, P, tmp_path):
    hostile.tree("/top", [Entry("sub", "dir"), Entry("top.txt")])
    hostile.tree("/top/sub", [Entry("f")])
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / "target").mkdir()
    (tmp_path / "target" / "sub").symlink_to(tmp_path / "elsewhere")
    with pytest.raises(ExceptionGroup) as info:
        transfer.get(P("/top"), tmp_path / "target")
    assert any(isinstance(e, FileTransferError) and "/top/sub/f" in str(e) for e in flat(info.value)), info.value
    assert list((tmp_path / "elsewhere").iterdir()) == []
    assert (tmp_path / "target" / "top.txt").read_bytes() == b"payload\n"



@pytest.mark.parametrize("mlst", [True, False], ids=["MLSD", "LIST and MDTM"])
def test_get_sends_each_pasv_with_the_last_retr_to_a_server_like_vsftpd(hostile, P, tmp_path, mlst):
    hostile.mlst, hostile.replies["greeting"] = mlst, "220 (vsFTPd 3.0.3)"
    hostile.tree("/top", [Entry(name, size=len(PAYLOAD)) for name in ("a", "b", "gone", "c", "d")])
    del hostile.files["/top/gone"]  # listed, and refused: the PASV sent with its RETR is still answered
    with pytest.raises(ExceptionGroup) as info:
        transfer.get(P("/top"), tmp_path, jobs=1)
    assert [str(e.remote) for e in flat(info.value) if isinstance(e, FileTransferError)] == ["/top/gone"]
    assert sorted(os.listdir(tmp_path)) == ["a", "b", "c", "d"]
    assert all((tmp_path / n).read_bytes() == PAYLOAD and os.stat(tmp_path / n).st_mtime == 1767225600 for n in "abcd")
    assert len(hostile.commands("PASV")) > len(hostile.commands("RETR", "MLSD", "LIST", "NLST"))


@pytest.mark.parametrize("atomic", [True, False], ids=["renamed", "direct"])
def test_put_sends_the_next_pasv_behind_each_upload_to_a_server_like_vsftpd(hostile, P, tmp_path, atomic):
    hostile.replies["greeting"] = "220 (vsFTPd 3.0.3)"
    hostile.tree("/top", [Entry(name) for name in "abc"] * atomic, data=b"old")
    if atomic:  # a top that exists: each upload goes to a temporary name and is renamed over the old copy
        hostile.replies["MKD"] = "550 exists"
    for name in "abcd":
        (tmp_path / name).write_bytes(PAYLOAD)
    assert transfer.put(tmp_path, P("/top"), jobs=1).files_moved == 4
    assert all(hostile.files[f"/top/{name}"].payload() == PAYLOAD for name in "abcd")
    assert len(hostile.commands("PASV")) > len(hostile.commands("STOR"))


@pytest.mark.parametrize("direction", ["get", "put"])
def test_sessions_refused_binary_mode_move_no_file(hostile, P, tmp_path, direction):
    hostile.replies["TYPE"] = "504 binary mode unavailable"  # its answer is read with the session's first command's
    hostile.tree("/top", [Entry(name, size=len(PAYLOAD)) for name in "ab"])
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "c").write_bytes(PAYLOAD)
    with pytest.raises(ftplib.error_perm, match=r"refused binary mode \(TYPE I: 504 binary mode unavailable\)"):
        transfer.get(P("/top"), tmp_path / "out") if direction == "get" else transfer.put(tmp_path / "src", P("/top"))
    assert [p.name for p in (tmp_path / "out").rglob("*")] == [] and "/top/c" not in hostile.files


def test_get_leaves_another_file_that_has_its_temporary_name(hostile, P, tmp_path, monkeypatch):
    hostile.tree("/top", [Entry("f")])
    monkeypatch.setattr(_jobs.random, "getrandbits", lambda bits: 42)
    (tmp_path / ".f.0000002a.part").write_bytes(b"theirs")
    with pytest.raises(ExceptionGroup) as info:
        transfer.get(P("/top"), tmp_path)
    assert any(isinstance(e, FileExistsError) for e in flat(info.value)), info.value
    assert os.listdir(tmp_path) == [".f.0000002a.part"] and (tmp_path / ".f.0000002a.part").read_bytes() == b"theirs"

# ---- sizes the server does not keep to ---------------------------------------------------

@pytest.mark.parametrize("top", ["/top", "/top/f"], ids=["tree", "file"])
@pytest.mark.parametrize("lie", [File(size=10, send=1 << 20), File(b"0123456789", send=5)], ids=["more", "fewer"])
def test_get_refuses_a_file_of_another_size_than_announced(hostile, P, tmp_path, top, lie):
    hostile.tree("/top", [Entry("f", size=lie.announced())])
    hostile.files["/top/f"] = lie
    (tmp_path / "t").mkdir()
    (tmp_path / "t" / "f").write_bytes(b"old copy\n")
    with pytest.raises(ExceptionGroup) as info:
        transfer.get(P(top), tmp_path / "t" / ("f" if top == "/top/f" else ""))
    assert any(isinstance(e, FileTransferError) for e in flat(info.value)), info.value
    assert os.listdir(tmp_path / "t") == ["f"] and (tmp_path / "t" / "f").read_bytes() == b"old copy\n"


@pytest.mark.parametrize("opening, closing, failure", [
    ("150-opening\r\n150 go", "226-done\r\n 226 not the end\r\n226 end", None),
    ("150 go\n", "226 done\n", None),
    ("200 noted\r\n150 go", "226 done", None),
    ("150 " + "x" * 9000, "226 done", "got more than 8192 bytes"),
    ("150 go", "451-disk\r\n451 trouble", "451-disk\n451 trouble"),
    ("150 go", multiline("226", 2 << 20), "more than 10000 lines"),
], ids=["multi-line", "bare LF", "2xx first", "long line", "refused at the end", "endless"])
@pytest.mark.parametrize("direction", ["get", "put"])
def test_a_transfer_reads_its_replies_as_ftplib_would(hostile, P, tmp_path, direction, opening, closing, failure):
    hostile.tree("/top", [Entry("f", size=8)])
    hostile.opening, hostile.closing = opening, closing
    (tmp_path / "f").write_bytes(b"payload\n")
    run = (lambda: transfer.get(P("/top/f"), tmp_path / "back")) if direction == "get" else \
        (lambda: transfer.put(tmp_path / "f", P("/top/up")))
    if failure is not None:
        with pytest.raises(ExceptionGroup) as info:
            run()
        assert any(failure in text(e) for e in flat(info.value)), info.value
    else:
        run()
        assert ((tmp_path / "back").read_bytes() if direction == "get" else hostile.files["/top/up"].data) == b"payload\n"


@pytest.mark.parametrize("reply", ["213", "213 abc", "213 -5"])
@pytest.mark.parametrize("args", [["stat", "/top/f"], ["ls", "-l", "/top"], ["get", "/top/f", "TARGET"]])
def test_a_malformed_size_reply_is_one_line_at_most(hostile, tmp_path, reply, args):
    hostile.tree("/top", [Entry("f")])
    hostile.files["/top/f"].size_reply = reply
    status, out, err = cli(hostile, *[str(tmp_path / "t") if a == "TARGET" else a for a in args])
    assert_one_line(status, err, (0, 1))


# ---- bounded reading -----------------------------------------------------------------

MEASURED = """
import sys, tracemalloc
from corvane.ftp import connect, transfer
P = connect("127.0.0.1", port=int(sys.argv[1]), user="u", password="p", timeout=10)
tracemalloc.start()
try:
    list(P("/top").glob("*")) if sys.argv[2] == "glob" else transfer.get(P("/top"), sys.argv[3], jobs=1)
    print("no error", tracemalloc.get_traced_memory()[1])
except Exception as exc:
    print(type(exc).__name__, tracemalloc.get_traced_memory()[1])
"""


# An ordinary get peaks at about 1.4 MB here; 32 MiB read whole would show.
@pytest.mark.parametrize("reply, surface, mib", [("greeting", "glob", 2), ("greeting", "get", 2), ("FEAT", "get", 2),
                                                 ("FEAT", "get", 32)])
def test_an_endless_reply_is_an_error_in_bounded_memory(hostile, tmp_path, reply, surface, mib):
    hostile.tree("/top", [Entry("f")])
    hostile.replies[reply] = multiline("220" if reply == "greeting" else "211", mib << 20)
    done = subprocess.run([sys.executable, "-c", MEASURED, str(hostile.port), surface, str(tmp_path / "t")],
                          capture_output=True, text=True, timeout=120)
    outcome, _, peak = done.stdout.rpartition(" ")
    assert outcome != "no error" and int(peak) < 6 << 20, (outcome, peak, done.stderr)


@pytest.mark.parametrize("surface", ["glob", "get MLSD", "get LIST"])
def test_a_listing_past_the_cap_is_refused(hostile, P, tmp_path, monkeypatch, surface):
    monkeypatch.setenv(LISTING_BYTES_VAR, "100000")
    hostile.mlst = surface != "get LIST"
    hostile.endless["/top"] = 10_000_000
    with pytest.raises(Exception) as info:
        list(P("/top").glob("*")) if surface == "glob" else transfer.get(P("/top"), tmp_path / "t")
    assert any(isinstance(e, ListingTooLong) for e in flat(info.value)), info.value


def test_a_trickle_meets_the_deadline(hostile, P, tmp_path):
    hostile.files["/slow"] = slow = File(b"s" * 100, trickle=0.2)
    (tmp_path / "t").mkdir()
    with pytest.raises(Exception) as info:
        transfer.get(P("/slow"), tmp_path / "t" / "slow", deadline=1.0)
    assert any(isinstance(e, TimeoutError) for e in flat(info.value)), info.value
    assert slow.sent < 100 and os.listdir(tmp_path / "t") == []


# ---- nothing for the terminal to obey ---------------------------------------------------

CONTROLS = ["esc\x1b[2J", "bel\x07", "csi\x9b31m", "del\x7f", "tab\there"]


@pytest.mark.parametrize("args", [["ls", "/top"], ["ls", "-l", "/top"], ["get", "/top", "TARGET"],
                                  ["cat", "/top/refused"], ["stat", "/top/esc\x1b[2J"]])
def test_command_line_prints_no_control_characters(hostile, tmp_path, args):
    hostile.tree("/top", [Entry(name) for name in CONTROLS] + [Entry("refused")])
    hostile.files["/top/refused"].retr_reply = "550 \x1b]0;owned\x07 refused\x9b2J\x7f here"
    status, out, err = cli(hostile, *[str(tmp_path / "t") if a == "TARGET" else a for a in args])
    assert b"Traceback" not in err, err
    shown = (out + err).decode("utf-8")
    assert [c for c in shown if c != "\n" and unicodedata.category(c) == "Cc"] == [], shown


# ---- active mode ---------------------------------------------------------------------

@pytest.mark.parametrize("how", ["read", "get"])
def test_active_mode_takes_data_from_the_server_only(hostile, tmp_path, how):
    hostile.files["/f"] = File(b"from the server\n")
    strangers = []

    def stranger(address):  # is in the client's queue of connections before the server's
        with socket.create_connection(address, 5, source_address=("127.0.0.9", 0)) as s:
            s.sendall(b"from a stranger\n")
        strangers.append(address)

    hostile.on_port = stranger
    P = connect("127.0.0.1", port=hostile.port, user="u", password="p", timeout=5, pasv=False)
    try:
        if how == "read":
            data = P("/f").read()
        else:
            transfer.get(P("/f"), tmp_path / "f")
            data = (tmp_path / "f").read_bytes()
    finally:
        Local.delattr(P("/")._key_on_thread())
    assert strangers and data == b"from the server\n"


# ---- hashes: believed only when they are one, of the algorithm asked for -----------------------

PAYLOAD = b"payload\n"
DIGEST = {name: hashlib.new(name, PAYLOAD).hexdigest() for name in ("sha256", "sha1", "md5")}


@pytest.mark.parametrize("feature, reply, failure", [
    ("HASH SHA-256*;MD5", f"213 SHA-256 0-8 {DIGEST['sha256']} f.txt", None),
    ("XSHA1", f"250 {DIGEST['sha1'].upper()}", None),
    ("XCRC", f"250 {zlib.crc32(PAYLOAD):X}", None),
    ("HASH MD5;SHA-256*", f"213 SHA-256 0-8 {DIGEST['md5'] * 2} f.txt", "the bytes changed on the way"),
    ("HASH SHA-256*", f"213 MD5 0-8 {DIGEST['md5']} f.txt", "no SHA-256 digest"),
    ("HASH SHA-256*", f"213 SHA-256 0-8 {DIGEST['sha256']}00 f.txt", "no SHA-256 digest"),
    ("HASH SHA-256*", f"213 SHA-256 0-8 \x1b]0;owned\x07{DIGEST['sha256'][10:]} f.txt", "no SHA-256 digest"),
    ("XMD5", f"250 {'g' * 32}", "no MD5 digest"),
])
@pytest.mark.parametrize("direction", ["put", "get"])
def test_checksum_keeps_only_a_copy_whose_digest_agrees(hostile, P, tmp_path, direction, feature, reply, failure):
    hostile.replies.update({"FEAT": f"211-features\r\n SIZE\r\n MLST type*;size*;modify*;\r\n {feature}\r\n211 end",
                            "MKD": "550 exists", feature.split()[0] if feature[0] == "X" else "HASH": reply})
    hostile.tree("/top", [Entry("f.txt")], data=PAYLOAD)
    (tmp_path / "f.txt").write_bytes(PAYLOAD)
    try:
        if direction == "put":
            hostile.files.pop("/top/f.txt")
            transfer.put(tmp_path / "f.txt", P("/top/f.txt"), checksum=True)
        else:
            transfer.get(P("/top"), tmp_path / "copy", checksum=True)
        failures = []
    except ExceptionGroup as group:
        failures = [text(e) for e in flat(group) if isinstance(e, FileTransferError)]
    assert [failure in t and "\x1b" not in t and "\x07" not in t for t in failures] == [True] * bool(failure)
    kept = [p for p in hostile.files if p.startswith("/top/")] if direction == "put" else os.listdir(tmp_path / "copy")
    assert kept == ([] if failure else ["/top/f.txt" if direction == "put" else "f.txt"])
    assert bool(hostile.commands("RNFR")) == (direction == "put" and not failure)


def test_check_tells_a_bad_digest_in_one_printable_line(hostile, tmp_path):
    hostile.replies.update({"FEAT": "211-features\r\n MLST type*;size*;modify*;\r\n XSHA256\r\n211 end",
                            "XSHA256": "250 \x1b[2J" + "0" * 64})
    hostile.tree("/top", [Entry("f.txt")], data=PAYLOAD)
    (tmp_path / "top").mkdir()
    (tmp_path / "top" / "f.txt").write_bytes(PAYLOAD)
    status, out, err = cli(hostile, "check", "--no-times", str(tmp_path / "top"), "/top")
    assert (status, out) == (2, b"") and b"no SHA-256 digest" in err and b"\x1b" not in err
    assert_one_line(status, err, (2,))


@pytest.mark.parametrize("args", [["put", "--checksum", "-", "/top/f.txt"], ["get", "--checksum", "/top/f.txt", "-"]])
def test_a_stream_whose_digest_differs_fails_and_is_not_stored(hostile, args):
    hostile.replies.update({"FEAT": "211-features\r\n SIZE\r\n HASH SHA-256*\r\n211 end",
                            "HASH": f"213 SHA-256 0-8 {'0' * 64} f.txt"})
    hostile.tree("/top", [Entry("f.txt")], data=PAYLOAD)
    done = subprocess.run(CLI + ["--host", "127.0.0.1", "--port", str(hostile.port), "--user", "u", "--password-env",
                                 PASSWORD_VAR, *args], input=PAYLOAD, capture_output=True, timeout=60,
                          env={**os.environ, PASSWORD_VAR: "p"})
    assert_one_line(done.returncode, done.stderr)
    assert f"{DIGEST['sha256']}: the bytes changed on the way".encode() in done.stderr
    assert hostile.commands("HASH") and not hostile.commands("RNFR")
    assert done.stdout == (PAYLOAD if args[0] == "get" else b"") and list(hostile.files) == ["/top/f.txt"]


@pytest.mark.parametrize("reply", ["213 20260101000000", "213 20260101000000 x", "213 2026010100000", "213 +2026010100000",
                                   "213 20260230000000", "213 20261301000000", "213 20260101240000", "200 20260101000000",
                                   "213 20240229000000.25", "213 20230229000000", "213 19691231235959",
                                   "213 20260101000000.1234567891", "213 20260101000000."])
def test_a_download_takes_only_an_exact_mdtm_time(hostile, P, tmp_path, reply):
    hostile.mlst, hostile.replies["MDTM"] = False, reply  # LIST's times are no one's exact time
    hostile.tree("/top", [Entry("f")])
    started = time.time()
    assert transfer.get(P("/top"), tmp_path).files_moved == 1
    mtime, exact = os.stat(tmp_path / "f").st_mtime, _times.mdtm_reply(reply)
    assert (exact in (1767225600, 1709164800.25)) == (reply in ("213 20260101000000", "213 20240229000000.25"))
    assert mtime == pytest.approx(exact, abs=1e-6) if exact is not None else mtime >= started - 1
