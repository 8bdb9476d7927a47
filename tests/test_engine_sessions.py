"""The engine's sessions on the fault server: logins still running when a run ends, servers that
take few sessions or none, relative paths on sessions that moved, LIST without options, the
idle sessions asked before reuse, and how a refusal or a broken upload is reported."""

import ftplib
import gc
import os
import re
import shutil
import subprocess
import sys
import time

import pytest
from test_engine_faults import NAMES, stage  # noqa: F401 (a fixture)
from test_e2e_engine import digest_tree

from corvane.ftp._sessions import SessionPool, SessionsRefused
from corvane.ftp.path import FTPPath
from corvane.ftp.transfer import get, put

pytestmark = pytest.mark.group("faults")
CLI = [sys.executable, "-P", "-m", "corvane.ftp"]


def cli(stage, *args, timeout=60):
    return subprocess.run(CLI + ["--config", os.environ["CORVANE_CONFIG"], *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, stdin=subprocess.DEVNULL)


def settled(count, bound=5.0):
    """count() once it stops changing (the server logs a session's QUIT after the client has gone)."""
    deadline, last = time.monotonic() + bound, None
    while time.monotonic() < deadline and (now := count()) != last:
        last = now
        time.sleep(0.2)
    return last


def test_command_line_ends_cleanly_while_sessions_still_log_in(stage):
    stage.serve_source()
    for run in range(15):
        # Two of the engine's eight sessions log in at once, the others slowly.
        stage.server.arm("PASS", "slow", delay=0.2, skip=2, times=6)
        result = cli(stage, "get", "-j", "8", f"{stage.top}/top.bin", stage.back / f"{run}.bin")
        assert (result.returncode, "Fatal Python error" in result.stderr) == (0, False), result.stderr
        # Every session was ended in good order, the slow ones too: none was left to the interpreter's exit.
        assert settled(lambda: (stage.server.commands().count("PASS"), stage.server.commands().count("QUIT"))) \
            == (8, 8), run
    assert digest_tree(stage.back) == {f"{run}.bin": digest_tree(stage.source)["top.bin"] for run in range(15)}


@pytest.mark.parametrize("direction", ["get", "put"])
def test_server_taking_one_session_per_client(stage, direction):
    """A file into a directory that is there: the command line asks the server first, on a session of its own."""
    stage.serve_source()
    stage.back.mkdir()
    stage.server.arm("CONNECT", "limit", sessions=1)
    args = ("get", "-j", "4", f"{stage.top}/top.bin", stage.back) if direction == "get" else \
        ("put", "-j", "4", stage.source / "top.bin", f"{stage.top}/a")
    result = cli(stage, *args, timeout=30)
    assert (result.returncode, result.stderr) == (0, "")
    assert re.fullmatch(rf"{direction}: 1 file .* over 1 session\n", result.stdout)
    landed = stage.back / "top.bin" if direction == "get" else os.path.join(stage.twin, "a", "top.bin")
    assert open(landed, "rb").read() == (stage.source / "top.bin").read_bytes()


@pytest.mark.timeout(30)
@pytest.mark.parametrize("direction", ["get", "put"])
def test_server_refusing_every_session_fails_after_the_wait(stage, monkeypatch, direction):
    stage.serve_source()
    monkeypatch.setenv("CORVANE_SESSION_WAIT", "0.5")
    stage.server.arm("USER", "reply", reply="421 No more sessions today.", times=10_000)
    with pytest.raises(SessionsRefused) as info:
        get(stage.top, stage.back, jobs=3) if direction == "get" else put(stage.source, stage.top, update=True)
    assert re.fullmatch(r"the FTP server 127\.0\.0\.\d+ refused every new session for \d+ s \(its last answer: "
                        r"421 No more sessions today\.\): .* CORVANE_SESSION_WAIT .*", str(info.value))
    assert stage.server.logins() == 0 and len(stage.server.fired()) > 1  # tried again after a pause


@pytest.mark.parametrize("direction", ["get", "put update"])
def test_relative_top_means_one_place_on_every_session(stage, direction):
    stage.serve_source()
    if direction == "put update":
        os.remove(os.path.join(stage.twin, "a", "2.bin"))
    relative = FTPPath(str(stage.top).lstrip("/"))
    report = get(relative, stage.back, jobs=3) if direction == "get" else put(stage.source, relative, update=True)
    assert (report.files_moved, report.files_failed) == ((6, 0) if direction == "get" else (1, 0))
    assert digest_tree(stage.back if direction == "get" else stage.twin) == digest_tree(stage.source)


def test_listing_without_options_where_the_server_takes_none(stage):
    stage.serve_source()
    stage.server.arm("FEAT", "reply", reply="211 No features.")  # no MLST: listings are LIST's
    report = get(stage.top, stage.back, jobs=1)
    assert (report.files_moved, digest_tree(stage.back)) == (6, digest_tree(stage.source))
    # pyftpdlib reads "-a" as a path and refuses it: once, and then plain LIST for the run.
    assert [c for c in stage.server.commands() if c == "LIST"] == ["LIST"] * 4


@pytest.mark.parametrize("fault, checked", [(ConnectionResetError(104, "reset"), True),
                                            (ftplib.error_perm("550 No."), False)])
def test_idle_sessions_are_asked_before_reuse_after_a_broken_one(stage, fault, checked):
    pool = SessionPool(stage.top, cap=2)
    try:
        idle, broken = pool.take(), pool.take()
        pool.give_back(idle)
        idle.cut()  # as a server or a router that ended it unseen
        stage.server.disarm()
        pool.discard(broken, fault)
        taken = pool.take()
        assert (taken is not idle) == checked  # the dead one found out by its NOOP, and a fresh one logged in
        assert checked == (stage.server.logins() == 1) and (taken.client.voidcmd("NOOP") if checked else True)
    finally:
        pool.close()


@pytest.mark.parametrize("fault, words", [
    (dict(command="MKD", kind="reply", reply="550 Permission denied.", skip=1), "make the directory"),
    (dict(command="STOR", kind="reset", after=100_000, reply="552 Disk full."), "552 Disk full."),
])
def test_the_server_s_own_reason_is_reported(stage, fault, words):
    (stage.source / "top.bin").write_bytes(os.urandom(16 << 20))  # the first sent; more than socket buffers hold
    stage.server.arm(**{"times": 1, **fault})
    with pytest.raises(ExceptionGroup) as info:
        put(stage.source, stage.top, jobs=1)
    failures = info.value.exceptions
    assert len(failures) == 1 and words in str(failures[0]) and fault.get("reply") in str(failures[0])
    assert "Broken pipe" not in str(failures[0]) and "No such file" not in str(failures[0])


@pytest.mark.parametrize("reply, error", [("530 Login incorrect.", ftplib.error_perm),
                                          ("421 Too many connections.", ftplib.error_temp)])
def test_refused_login_of_the_default_factory_closes_its_socket(fault_server, tmp_path, monkeypatch, reply, error):
    (tmp_path / "c.ini").write_text(fault_server.config_text())
    monkeypatch.setenv("CORVANE_CONFIG", str(tmp_path / "c.ini"))
    fault_server.arm("PASS", "reply", reply=reply, times=3)
    gc.disable()  # what is left open must be closed by the code, not found later by the collector
    try:
        before = len(os.listdir("/proc/self/fd"))
        with pytest.raises(error, match=reply[:3]):
            FTPPath("/").exists
        assert len(os.listdir("/proc/self/fd")) == before
    finally:
        gc.enable()
        fault_server.disarm()
