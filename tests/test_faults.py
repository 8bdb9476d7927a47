"""Injected faults on a real server (scripts/faulty_ftpd.py).

Whatever the fault, an operation either gives the right answer (after `retry`
tried it again on a fresh session, or after simply waiting) or raises a clear
error; it never gives a wrong answer, and the next operations on the same
thread work. The server logs every login, so each case states how many
sessions the operation and the operations after it logged in: a retry that
reused the old session, or a session left out of step, shows up there.
"""

import datetime
import ftplib
import os
import random
import shutil
from dataclasses import dataclass

import pytest

from corvane.ftp.path import FTPPath

pytestmark = pytest.mark.group("faults")

CONTENT = random.Random(1).randbytes(200_000)
PAYLOAD = random.Random(2).randbytes(5000)  # less than one block: sent whole before any cut lands
WITNESS = b"never touched by an operation\n"
STAMP = 1700000000  # MDTM 20231114221320, which mtime shifts by 8 hours
MTIME = datetime.datetime(2023, 11, 15, 6, 13, 20)


@dataclass
class Scene:
    server: object  # faults.FaultServer
    top: FTPPath
    local: str  # the directory that the server serves as `top`
    source: str  # a local tree for upload


def write_file(path, data, stamp=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    if stamp:
        os.utime(path, (stamp, stamp))


@pytest.fixture
def scene(fault_server, tmp_path, monkeypatch, request):
    config = tmp_path / "corvane.ini"
    config.write_text(fault_server.config_text())
    monkeypatch.setenv("CORVANE_CONFIG", str(config))
    name = request.node.name.replace("[", "_").replace("]", "").replace("/", "_")[:80]
    local = os.path.join(fault_server.root, name)
    shutil.rmtree(local, ignore_errors=True)
    write_file(os.path.join(local, "file.bin"), CONTENT, STAMP)
    write_file(os.path.join(local, "doomed.txt"), b"delete me\n")
    write_file(os.path.join(local, "witness.txt"), WITNESS, STAMP)
    write_file(os.path.join(local, "dir", "inner.txt"), b"inner\n")
    os.mkdir(os.path.join(local, "dir", "sub"))
    source = str(tmp_path / "source")
    write_file(os.path.join(source, "a.bin"), PAYLOAD)
    write_file(os.path.join(source, "sub", "b.bin"), PAYLOAD[::-1])
    fault_server.disarm()
    yield Scene(fault_server, FTPPath("/" + name), local, source)
    fault_server.disarm()


def tree_of(root):
    """{relative path: content, or None for a directory}"""
    found = {}
    for here, dirs, files in os.walk(root):
        for name in dirs:
            found[os.path.relpath(os.path.join(here, name), root)] = None
        for name in files:
            with open(os.path.join(here, name), "rb") as f:
                found[os.path.relpath(os.path.join(here, name), root)] = f.read()
    return found


# ---- the operations: each runs once and asserts that its answer or effect is right

def op_exists(s):
    assert s.top.join("file.bin").exists is True


def op_is_dir(s):
    assert s.top.join("file.bin").is_dir() is False


def op_mtime(s):
    assert s.top.join("file.bin").mtime == MTIME


def op_mkdir(s):
    s.top.join("made", "deeper").mkdir()
    assert os.path.isdir(os.path.join(s.local, "made", "deeper"))


def op_delete(s):
    s.top.join("doomed.txt").delete()
    assert not os.path.exists(os.path.join(s.local, "doomed.txt"))


def op_read(s):
    assert s.top.join("file.bin").read() == CONTENT


def op_write(s):
    s.top.join("new", "w.bin").write(PAYLOAD)
    with open(os.path.join(s.local, "new", "w.bin"), "rb") as f:
        assert f.read() == PAYLOAD


def op_upload(s):
    s.top.join("up").upload(s.source)
    assert tree_of(os.path.join(s.local, "up")) == tree_of(s.source)


# operation -> (run-and-check, the command of its own that faults aim at)
OPS = {
    "exists": (op_exists, "NLST"),
    "is_dir": (op_is_dir, "RETR"),
    "mtime": (op_mtime, "MDTM"),
    "mkdir": (op_mkdir, "MKD"),
    "delete": (op_delete, "DELE"),
    "read": (op_read, "RETR"),
    "write": (op_write, "STOR"),
    "upload": (op_upload, "STOR"),
}
DATA_OPS = ["exists", "is_dir", "read", "write", "upload"]

# Where a data fault cuts each operation's transfer: is_dir reads a single
# byte and stops, so only a cut before it is felt.
CUT_AFTER = {"exists": 4, "is_dir": 0, "read": 1000, "write": 1000, "upload": 1000}


# ---- what must come of a fault

@dataclass(frozen=True)
class Outcome:
    raises: type = None  # None: the operation gives the right answer
    logins: int = 1  # sessions the operation logs in
    next_logins: int = 0  # sessions the next operations need: 1 once the client was dropped
    fired: int = None  # how often the fault fires; None: every time it was armed for


RETRIED = Outcome(logins=2)
WAITED = Outcome()
DROPPED = Outcome(EOFError, next_logins=1)
RESET = Outcome(ConnectionResetError, next_logins=1)
TIMED_OUT = Outcome(TimeoutError, next_logins=1)
SPENT = Outcome(ftplib.error_temp, logins=3)  # every try met the fault; the session stays in step

BUSY = "421 Service busy, closing control connection."
FILE_BUSY = "450 File busy, try again."

# name -> (the fault as armed, its usual outcome)
CONTROL_FAULTS = {
    "drop": (dict(kind="drop"), DROPPED),
    "421-once": (dict(kind="reply", reply=BUSY), RETRIED),
    "450-twice": (dict(kind="reply", reply=FILE_BUSY, times=2), Outcome(logins=3)),
    "421-always": (dict(kind="reply", reply=BUSY, times=3), Outcome(ftplib.error_temp, logins=3, next_logins=1)),
    "450-always": (dict(kind="reply", reply=FILE_BUSY, times=3), SPENT),
}
DATA_FAULTS = {
    "cut": (dict(kind="cut"), RETRIED),
    "cut-always": (dict(kind="cut", times=3), SPENT),
    "reset": (dict(kind="reset"), RESET),
    "stall": (dict(kind="stall"), TIMED_OUT),
    "late": (dict(kind="late", delay=0.5), WAITED),
}

# Where an operation meets a fault otherwise than usual, and why.
SPECIAL = {
    # exists takes a 450 to NLST for "no such file" (ProFTPD's answer) and asks MDTM instead.
    ("exists", "450-twice"): Outcome(fired=1),
    ("exists", "450-always"): Outcome(fired=1),
    # A payload smaller than a block is sent whole before the reset lands: the client reads the 426.
    ("write", "reset"): RETRIED,
    ("upload", "reset"): RETRIED,
}


def arm_and_run(s, command, armed, op, outcome):
    """Arms the fault for `command`, runs `op` and checks what came of it."""
    s.server.arm(command, **armed)
    if outcome.raises is None:
        op(s)
    else:
        with pytest.raises(outcome.raises):
            op(s)
    assert len(s.server.fired()) == (armed.get("times", 1) if outcome.fired is None else outcome.fired)
    assert s.server.logins() == outcome.logins
    check_next_operations(s, outcome.next_logins)


def check_next_operations(s, logins):
    """The thread's next operations give right answers; a stale reply would shift them."""
    s.server.disarm()
    witness = s.top.join("witness.txt")
    assert witness.exists is True
    assert witness.read() == WITNESS
    assert witness.is_dir() is False
    assert s.top.join("dir").is_dir() is True
    assert s.top.join("missing").exists is False
    assert witness.mtime == MTIME
    client = witness.client
    assert client.sendcmd("NOOP").startswith("200")
    assert client.pwd() == "/"
    assert s.server.logins() == logins
    assert s.server.fired() == []


@pytest.mark.parametrize("fault", CONTROL_FAULTS)
@pytest.mark.parametrize("name", OPS)
def test_a_faulty_reply_to_the_operations_command(scene, name, fault):
    op, command = OPS[name]
    armed, outcome = CONTROL_FAULTS[fault]
    arm_and_run(scene, command, armed, op, SPECIAL.get((name, fault), outcome))


@pytest.mark.parametrize("fault", DATA_FAULTS)
@pytest.mark.parametrize("name", DATA_OPS)
def test_a_faulty_data_connection(scene, name, fault):
    op, command = OPS[name]
    armed, outcome = DATA_FAULTS[fault]
    if armed["kind"] in ("cut", "reset"):
        armed = dict(armed, after=CUT_AFTER[name])
    arm_and_run(scene, command, armed, op, SPECIAL.get((name, fault), outcome))


@pytest.mark.parametrize("after", [0, 1, 8191, 65536, len(CONTENT) - 1])
@pytest.mark.parametrize("kind, times, outcome", [
    ("cut", 1, RETRIED), ("cut", 3, SPENT), ("reset", 1, RESET),
], ids=["cut-once", "cut-always", "reset"])
def test_read_never_returns_a_cut_transfer(scene, kind, times, outcome, after):
    # op_read asserts that what read() returns is the whole file: a short
    # bytes object fails it, whatever the outcome expected.
    arm_and_run(scene, "RETR", dict(kind=kind, times=times, after=after), op_read, outcome)


@pytest.mark.parametrize("kind", ["cut", "reset"])
def test_a_write_cut_while_still_sending_raises_a_connection_error(scene, kind):
    # Far more than the socket buffers hold, so the client is still sending
    # when the server gives up: it sees the reset, not the 426.
    big = bytes(32 << 20)
    arm_and_run(scene, "STOR", dict(kind=kind, after=1000), lambda s: s.top.join("big.bin").write(big),
                Outcome(ConnectionError, next_logins=1))


# operation -> a command that one of the operations it calls sends first
INNER = {
    "is_dir": "NLST",  # exists
    "mtime": "NLST",  # exists
    "read": "NLST",  # exists
    "mkdir": "NLST",  # the parent's exists
    "delete": "RETR",  # is_dir
    "write": "MKD",  # the parent's mkdir
    "upload": "MKD",  # mkdir of the top of the tree
}


@pytest.mark.parametrize("name", INNER)
def test_an_inner_operation_starts_a_fresh_client_for_the_outer_one(scene, name):
    # The 421 closes the session under the inner operation; had the outer one
    # kept the client it held before, its next command would meet EOFError.
    arm_and_run(scene, INNER[name], dict(kind="reply", reply=BUSY), OPS[name][0], RETRIED)


# A refused login is not counted among the logins.
@pytest.mark.parametrize("armed, outcome", [
    (dict(kind="reply", reply=BUSY), Outcome(logins=1)),
    (dict(kind="reply", reply=BUSY, times=3), Outcome(ftplib.error_temp, logins=0, next_logins=1)),
    (dict(kind="drop"), Outcome(EOFError, logins=0, next_logins=1)),
], ids=["421-once", "421-always", "drop"])
def test_a_faulty_login(scene, armed, outcome):
    arm_and_run(scene, "PASS", armed, op_read, outcome)
