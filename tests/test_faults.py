"""Injected faults on a real server (scripts/faulty_ftpd.py).

Whatever the fault, an operation either gives the right answer (after `retry`
tried it again on a fresh session, or after simply waiting) or raises a clear
error; it never gives a wrong answer, and the next operations on the same
thread work. The server logs every login, so each case states how many
sessions the operation and the operations after it logged in: a retry that
reused the old session, or a session left out of step, shows up there.
"""

import ftplib
from dataclasses import dataclass

import pytest

from fault_scene import CONTENT, DATA_OPS, MTIME, OPS, WITNESS, build, op_read

pytestmark = pytest.mark.group("faults")


@pytest.fixture
def scene(fault_server, tmp_path, monkeypatch, request):
    config = tmp_path / "corvane.ini"
    config.write_text(fault_server.config_text())
    monkeypatch.setenv("CORVANE_CONFIG", str(config))
    fault_server.disarm()
    yield build(fault_server, request.node.name.replace("[", "_").replace("]", "")[:80], str(tmp_path))
    fault_server.disarm()


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
    # glob's listing runs as the caller draws from it, outside retry's reach:
    # a fault there passes out untried.
    ("glob", "421-once"): Outcome(ftplib.error_temp, next_logins=1),
    ("glob", "421-always"): Outcome(ftplib.error_temp, next_logins=1, fired=1),
    ("glob", "450-twice"): Outcome(ftplib.error_temp, fired=1),
    ("glob", "450-always"): Outcome(ftplib.error_temp, fired=1),
    ("glob", "cut"): Outcome(ftplib.error_temp),
    ("glob", "cut-always"): Outcome(ftplib.error_temp, fired=1),
}

def matrix(ops, faults):
    """(operation, fault) parameters."""
    return [pytest.param(name, fault, id=f"{name}-{fault}") for name in ops for fault in faults]


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
    """The thread's client is in step and its next operations give right answers.

    The client is asked first, bare: an operation would retry a stale 4xx
    reply away on a fresh session, and hide it.
    """
    s.server.disarm()
    witness = s.top.join("witness.txt")
    client = witness.client
    assert client.sendcmd("NOOP").startswith("200")
    assert client.pwd() == "/"
    assert witness.exists is True
    assert witness.read() == WITNESS
    assert witness.is_dir() is False
    assert s.top.join("dir").is_dir() is True
    assert s.top.join("missing").exists is False
    assert witness.mtime == MTIME
    assert s.server.logins() == logins
    assert s.server.fired() == []


@pytest.mark.parametrize("name, fault", matrix(OPS, CONTROL_FAULTS))
def test_a_faulty_reply_to_the_operations_command(scene, name, fault):
    op, command = OPS[name]
    armed, outcome = CONTROL_FAULTS[fault]
    arm_and_run(scene, command, armed, op, SPECIAL.get((name, fault), outcome))


@pytest.mark.parametrize("name, fault", matrix(DATA_OPS, DATA_FAULTS))
def test_a_faulty_data_connection(scene, name, fault):
    command, after = DATA_OPS[name]
    armed, outcome = DATA_FAULTS[fault]
    if armed["kind"] in ("cut", "reset"):
        armed = dict(armed, after=after)
    arm_and_run(scene, command, armed, OPS[name][0], SPECIAL.get((name, fault), outcome))


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
    "delete_tree": "LIST",  # glob
    "glob": "RETR",  # is_dir
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


# Listings ftplib cannot read: its error passes out of glob, and the session stays usable.
@pytest.mark.parametrize("data, error", [
    ("-rw-r--r-- 1 u g 1 Dec 08 19:59 " + "x" * 9000 + "\r\n", ftplib.Error),  # over ftplib's 8192 bytes
    ("-rw-r--r-- 1 u g 1 Dec 08 19:59 bad\xff\xfe.txt\r\n", UnicodeDecodeError),
], ids=["line-too-long", "invalid-utf-8"])
def test_a_listing_the_client_cannot_read(scene, data, error):
    arm_and_run(scene, "LIST", dict(kind="send", data=data), lambda s: list(s.top.join("dir").glob()),
                Outcome(error))
