"""put and get on the fault server: round trips per file, faults recovered on
fresh sessions, files that fail after every try, a server that takes only
four sessions (or one, or none), Ctrl-C, deadlines, renames refused, special files, and other executors."""

import collections
import concurrent.futures
import contextlib
import ftplib
import gc
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

import pytest
from test_e2e_engine import digest_tree

from corvane.ftp import _jobs
from corvane.ftp._sessions import SessionPool
from corvane.ftp.path import FTPPath
from corvane.ftp.transfer import FileTransferError, Report, get, put

pytestmark = pytest.mark.group("faults")

NAMES = ["a/1.bin", "a/2.bin", "a/3.bin", "b/4.bin", "b/5.bin", "top.bin"]


@dataclass
class Stage:
    server: object
    top: FTPPath
    twin: str  # the server's directory behind `top`
    source: Path
    back: Path  # where get writes

    def serve_source(self):
        shutil.copytree(self.source, self.twin)

    def leftovers(self):
        return [name for root in (self.twin, self.back) for _, _, files in os.walk(root)
                for name in files if name.endswith(".part")]


@pytest.fixture
def stage(fault_server, tmp_path, monkeypatch, request):
    (tmp_path / "corvane.ini").write_text(fault_server.config_text())
    monkeypatch.setenv("CORVANE_CONFIG", str(tmp_path / "corvane.ini"))
    name = re.sub(r"[^A-Za-z0-9_.-]", "_", request.node.name)[:80]
    shutil.rmtree(os.path.join(fault_server.root, name), ignore_errors=True)
    rng = random.Random(3)
    for rel in NAMES:
        (tmp_path / "source" / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "source" / rel).write_bytes(rng.randbytes(200_000))
    fault_server.disarm()
    yield Stage(fault_server, FTPPath("/" + name), os.path.join(fault_server.root, name),
                tmp_path / "source", tmp_path / "back")
    fault_server.disarm()


def test_per_file_only_the_data_command_and_its_connection(stage):
    seen = []
    up = put(stage.source, stage.top, jobs=2, progress=seen.append)
    assert {p.files_done for p in seen} - {0} == set(range(1, 7))  # and any partial reports between
    assert {(p.files_total, p.bytes_total) for p in seen} == {(6, 1_200_000)}
    assert seen[-1].bytes_done == 1_200_000 and {p.current for p in seen} == {str(stage.source / n) for n in NAMES}
    sessions = collections.Counter(USER=up.sessions, PASS=up.sessions, OPTS=up.sessions, TYPE=up.sessions,
                                   FEAT=up.sessions)  # FEAT rides with TYPE, MFMT after each STOR
    assert collections.Counter(stage.server.commands()) - collections.Counter(QUIT=9) == \
        sessions + collections.Counter(MKD=3, CWD=3, PASV=6, STOR=6, MFMT=6)  # CWD rides with MKD; no rename in new dirs

    stage.server.disarm()
    down = get(stage.top, stage.back, jobs=2)
    sessions = collections.Counter(USER=down.sessions, PASS=down.sessions, OPTS=down.sessions, TYPE=down.sessions,
                                   FEAT=down.sessions)
    assert collections.Counter(stage.server.commands()) - collections.Counter(QUIT=9) == \
        sessions + collections.Counter(FEAT=1, SIZE=1, CWD=1, MLSD=3, PASV=9, RETR=6)
    assert digest_tree(stage.back) == digest_tree(stage.source)
    stage.server.disarm()
    put(stage.source, stage.top, jobs=2)  # over the copies there now: each is renamed into place
    assert collections.Counter(c for c in stage.server.commands() if c.startswith("RN")) == dict(RNFR=6, RNTO=6)


@pytest.mark.parametrize("direction, command, fault, times", [
    ("put", "STOR", dict(kind="cut", after=1000), 1),
    ("put", "STOR", dict(kind="hangup", after=1000), 1),
    ("get", "RETR", dict(kind="hangup", after=1000), 1),
    ("put", "STOR", dict(kind="reply", reply="450 File busy."), 2),
    ("get", "RETR", dict(kind="reset", after=1000), 1),
    ("get", "RETR", dict(kind="stall"), 1),
    ("get", "RETR", dict(kind="reply", reply="421 Busy, closing."), 2),
])
def test_fault_is_tried_again_on_a_fresh_session(stage, direction, command, fault, times):
    if direction == "get":
        stage.serve_source()
    stage.server.arm(command, times=times, **fault)
    report = put(stage.source, stage.top) if direction == "put" else get(stage.top, stage.back)
    assert (report.files_moved, report.files_failed, report.retries) == (len(NAMES), 0, times)
    assert len(stage.server.fired()) == times
    assert digest_tree(stage.twin if direction == "put" else stage.back) == digest_tree(stage.source)
    assert stage.leftovers() == []


@pytest.mark.parametrize("direction, atomic", [("put", False), ("put", True), ("get", False)])
def test_file_failing_every_try_is_reported_and_removed(stage, direction, atomic):
    if direction == "get":
        stage.serve_source()
    stage.server.arm("STOR" if direction == "put" else "RETR", "cut", times=3, after=1000)
    with pytest.raises(ExceptionGroup) as info:
        put(stage.source, stage.top, jobs=1, atomic=atomic) if direction == "put" else get(stage.top, stage.back, jobs=1)
    (failure,) = info.value.exceptions
    assert isinstance(failure, FileTransferError) and failure.local in str(failure) and failure.remote in str(failure)
    report = info.value.report
    assert (report.files_moved, report.files_failed, report.retries, report.failed) == (5, 1, 2, [failure.local])
    rel = os.path.relpath(failure.local, stage.source if direction == "put" else stage.back)
    assert failure.remote == f"{stage.top}/{rel}"
    expected = digest_tree(stage.source)
    del expected[rel]
    assert digest_tree(stage.twin if direction == "put" else stage.back) == expected
    assert stage.leftovers() == []


def test_refused_fifth_login_goes_on_with_four_sessions(stage):
    stage.server.arm("USER", "reply", reply="421 Too many connections.", times=50, skip=4)
    report = put(stage.source, stage.top, jobs=8)
    assert (report.sessions, report.files_moved, report.files_failed) == (4, len(NAMES), 0)
    assert digest_tree(stage.twin) == digest_tree(stage.source)


STOPPED = "import sys; from corvane.ftp.path import FTPPath; from corvane.ftp.transfer import get, put; top = FTPPath(sys.argv[1]); "
CALLS = {"get": ("RETR", "get(top, sys.argv[2], jobs=2)"), "put": ("STOR", "put(sys.argv[2], top, jobs=2)"),
         "put inplace": ("STOR", "put(sys.argv[2], top, jobs=2, atomic=False)")}


@pytest.mark.parametrize("call", CALLS)
def test_ctrl_c_stops_within_a_second_and_leaves_nothing_half_done(stage, call):
    command, code = CALLS[call]
    if call == "get":
        stage.serve_source()
    stage.server.arm(command, "stall", times=100)
    run = subprocess.Popen([sys.executable, "-P", "-c", STOPPED + code, str(stage.top),
                            str(stage.back if call == "get" else stage.source)], stderr=subprocess.PIPE)
    deadline = time.monotonic() + 10
    while not stage.server.fired() and time.monotonic() < deadline:
        time.sleep(0.02)
    assert stage.server.fired(), "no transfer started"
    time.sleep(0.2)  # for the stalled transfers' first bytes and names to be there
    started = time.monotonic()
    run.send_signal(signal.SIGINT)
    _, errors = run.communicate(timeout=10)
    assert time.monotonic() - started < 1
    assert run.returncode == -signal.SIGINT and b"KeyboardInterrupt" in errors
    assert stage.leftovers() == []
    source = digest_tree(stage.source)  # whatever is at the target is whole
    assert all(source.get(name) == digest for name, digest in digest_tree(stage.back if call == "get" else stage.twin).items())


@pytest.fixture(params=["process pool", "dask"])
def executor(request):
    if request.param == "process pool":
        with concurrent.futures.ProcessPoolExecutor(2) as pool:
            yield pool
    else:
        import distributed  # the test extra installs it: its absence is an error, not a skip
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            yield client.get_executor()


def test_jobs_run_on_other_processes(stage, executor):
    up = put(stage.source, stage.top, executor=executor)
    down = get(stage.top, stage.back, executor=executor)
    assert (up.files_moved, down.files_moved, up.files_failed + down.files_failed) == (6, 6, 0)
    assert digest_tree(stage.back) == digest_tree(stage.source) == digest_tree(stage.twin)


@pytest.mark.parametrize("direction, command, fault", [
    ("get", "MLSD", dict(kind="reply", reply="550 Permission denied.", times=1)),
    ("put", "MKD", dict(kind="drop", times=3)),
    ("put", "MKD", dict(kind="reply", reply="550 Permission denied.", times=1)),  # not "No such file" on each below
])
def test_directory_that_fails_is_reported_and_the_rest_goes_on(stage, direction, command, fault):
    if direction == "get":
        stage.serve_source()
    stage.server.arm(command, skip=1, **fault)  # the first is the top's
    with pytest.raises(ExceptionGroup) as info:
        put(stage.source, stage.top, jobs=1) if direction == "put" else get(stage.top, stage.back, jobs=1)
    (failure,) = info.value.exceptions
    rel = failure.remote.removeprefix(f"{stage.top}/")
    assert rel in ("a", "b") and "nothing below it was copied" in str(failure) and info.value.report.failed == [failure.local]
    expected = {name: digest for name, digest in digest_tree(stage.source).items() if name.split("/")[0] != rel}
    assert digest_tree(stage.twin if direction == "put" else stage.back) == expected
    assert info.value.report.files_moved == len([name for name in expected if expected[name]]) and stage.leftovers() == []


@pytest.mark.parametrize("old, commands", [(b"the old copy\n", ["RNFR", "RNTO", "DELE", "RNFR", "RNTO"]),
                                           (None, ["RNFR", "RNTO", "DELE", "DELE"])])
def test_server_refusing_to_rename_over_a_file(stage, old, commands):
    # With an old copy, it goes only once the new one is whole, to make room; with none, the refusal stands.
    target = Path(stage.twin, "top.bin")
    target.parent.mkdir()
    if old:
        target.write_bytes(old)
    stage.server.arm("RNTO", "reply", reply="550 Rename refused: the name is taken.")
    with contextlib.nullcontext() if old else pytest.raises(ExceptionGroup, match="1 failed"):
        put(stage.source / "top.bin", stage.top.join("top.bin"))
    assert (target.read_bytes() if target.exists() else None) == (old and (stage.source / "top.bin").read_bytes())
    assert [c for c in stage.server.commands() if c in ("RNFR", "RNTO", "DELE")] == commands
    assert stage.leftovers() == []


@pytest.mark.parametrize("direction", ["put", "get"])
def test_deadline_stops_a_trickling_run_and_leaves_the_old_copies(stage, direction):
    stage.serve_source()
    for rel in NAMES if direction == "put" else ():
        Path(stage.twin, rel).write_bytes(b"old")
    before = digest_tree(stage.twin)
    stage.server.arm("STOR" if direction == "put" else "RETR", "trickle", times=100, interval=0.05)
    with pytest.raises(TimeoutError, match=rf"^the {direction} of .*{stage.top}.* did not finish within 1 s") as info:
        put(stage.source, stage.top, deadline=1) if direction == "put" else get(stage.top, stage.back, deadline=1)
    assert isinstance(info.value.report, Report) and info.value.report.files_moved == 0 and stage.server.fired()
    assert digest_tree(stage.twin) == before and not [files for _, _, files in os.walk(stage.back) if files]


def test_a_run_cut_by_its_deadline_counts_what_arrived_and_leaves_no_thread(stage):
    stage.serve_source()
    stage.server.arm("RETR", "trickle", skip=2, times=100, interval=0.05)  # two files arrive, the next two trickle
    with pytest.raises(TimeoutError) as info:
        get(stage.top, stage.back, jobs=2, deadline=1)
    report, arrived = info.value.report, [os.path.relpath(os.path.join(here, name), stage.back)
                                          for here, _, files in os.walk(stage.back) for name in files]
    assert report.files_moved == len(arrived) == 2 and sum(report.__dict__[k] for k in (
        "files_moved", "files_failed", "files_not_attempted")) == len(NAMES)
    assert all((stage.source / rel).read_bytes() == (stage.back / rel).read_bytes() for rel in arrived)
    assert [thread.name for thread in threading.enumerate() if thread.name.startswith("corvane-ftp")] == []


def test_special_files_are_refused_alone_and_left_out_of_trees(stage):
    os.mkfifo(stage.source / "a" / "pipe")
    (stage.source / "a" / "zeros").symlink_to("/dev/zero")
    socket.socket(socket.AF_UNIX).bind(str(stage.source / "a" / "socket"))
    kinds = {"pipe": "a named pipe", "zeros": "a character device", "socket": "a socket"}
    for name, kind in kinds.items():
        with pytest.raises(OSError, match=f"this is {kind}") as info:
            put(stage.source / "a" / name, stage.top.join(name))
        assert info.value.filename == str(stage.source / "a" / name)
    report = put(stage.source, stage.top)
    assert sorted(report.skipped_special) == sorted(str(stage.source / "a" / name) for name in kinds)
    assert report.files_moved == len(NAMES) and sorted(os.listdir(Path(stage.twin, "a"))) == ["1.bin", "2.bin", "3.bin"]


@pytest.mark.parametrize("name, follow, error", [("pipe", False, "this is a named pipe"), ("link", True, "this is a "
                                                 "named pipe"), ("link", False, "Too many levels of symbolic links")])
def test_file_swapped_after_the_walk_is_refused_not_blocked_on(tmp_path, name, follow, error):
    os.mkfifo(tmp_path / "pipe")
    (tmp_path / "link").symlink_to(tmp_path / "pipe")
    job = _jobs.FileJob("put", str(tmp_path / name), FTPPath("/x"), None, True, "run", 1, 0, follow=follow)
    with pytest.raises(OSError, match=error), _jobs.open_local(job):
        pass


def cli(*args):
    return subprocess.run([sys.executable, "-P", "-m", "corvane.ftp", "--config", os.environ["CORVANE_CONFIG"],
                           *map(str, args)], capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL)


def test_command_line_ends_cleanly_while_sessions_still_log_in(stage):
    stage.serve_source()
    for run in range(15):
        stage.server.arm("PASS", "slow", delay=0.2, skip=2, times=6)  # two of the eight log in at once
        result = cli("get", "-j", "8", f"{stage.top}/top.bin", stage.back / f"{run}.bin")
        assert (result.returncode, "Fatal Python error" in result.stderr) == (0, False), result.stderr
        deadline = time.monotonic() + 5  # every session, the slow ones too, ended in good order (logged late)
        while stage.server.commands().count("QUIT") < 8 and time.monotonic() < deadline:
            time.sleep(0.1)
        assert (stage.server.commands().count("PASS"), stage.server.commands().count("QUIT")) == (8, 8), run


@pytest.mark.parametrize("direction, fault, code, line", [
    ("get", dict(command="CONNECT", kind="limit", sessions=1), 0, r"get: 1 file .* over 1 session"),
    ("put", dict(command="CONNECT", kind="limit", sessions=1), 0, r"put: 1 file .* over 1 session"),
    ("get", dict(command="USER", kind="reply", reply="421 Not today.", times=10_000), 1, r"corvane-ftp: get .*: "
     r"the FTP server 127\.0\.0\.\d+ refused every new session for \d s \(its last answer: 421 Not today\.\): .*")])
def test_server_taking_one_session_per_client_or_none(stage, monkeypatch, direction, fault, code, line):
    stage.serve_source()  # a file into a directory that is there: the command line asks first, on a session of its own
    stage.back.mkdir()
    monkeypatch.setenv("CORVANE_SESSION_WAIT", "1")
    stage.server.arm(**{"times": 1, **fault})
    landed = stage.back / "top.bin" if direction == "get" else Path(stage.twin, "a", "top.bin")
    result = cli(*(("get", "-j", "4", f"{stage.top}/top.bin", landed if code else stage.back) if direction == "get"
                   else ("put", "-j", "4", stage.source / "top.bin", f"{stage.top}/a")))
    assert (result.returncode, re.fullmatch(line + "\n", result.stdout + result.stderr) is not None) == (code, True)
    assert (landed.read_bytes() if landed.exists() else None) == (None if code else (stage.source / "top.bin").read_bytes())


@pytest.mark.parametrize("case", ["get relative", "put update relative", "get without MLST"])
def test_relative_top_and_a_server_without_mlsd(stage, case):
    stage.serve_source()
    if "MLST" in case:  # listings are then LIST's: pyftpdlib refuses "LIST -a" once, and plain LIST follows
        stage.server.arm("FEAT", "reply", reply="211 No features.", times=100)  # each session asks too
    top = stage.top if "MLST" in case else FTPPath(str(stage.top).lstrip("/"))  # the login directory is "/"
    report = put(stage.source, top, update=True) if "put" in case else get(top, stage.back, jobs=3)
    assert (report.files_moved, report.files_skipped) == ((0, 6) if "put" in case else (6, 0))
    assert "MLST" not in case or stage.server.commands().count("LIST") == 4


@pytest.mark.parametrize("fault, checked", [(ConnectionResetError(104, "reset"), True), (ftplib.error_perm("5"), False)])
def test_idle_sessions_are_asked_before_reuse_after_a_broken_one(stage, fault, checked):
    pool = SessionPool(stage.top, cap=2)
    idle, broken = pool.take(), pool.take()
    pool.give_back(idle)
    idle.cut()  # as a server or a router that ended it unseen
    stage.server.disarm()
    pool.discard(broken, fault)
    assert (pool.take() is not idle, stage.server.logins()) == (checked, int(checked))  # found out by its NOOP
    pool.close()


def test_upload_broken_by_the_server_reports_its_reply(stage):
    (stage.source / "top.bin").write_bytes(os.urandom(16 << 20))  # sent first; more than socket buffers hold
    stage.server.arm("STOR", "reset", after=100_000, reply="552 Disk full.")
    with pytest.raises(ExceptionGroup) as info:
        put(stage.source, stage.top, jobs=1)
    [failure] = info.value.exceptions
    assert "552 Disk full." in str(failure) and "Broken pipe" not in str(failure)


@pytest.mark.parametrize("reply", ["530 No.", "421 Too many."])
def test_refused_login_of_the_default_factory_closes_its_socket(stage, reply):
    stage.server.arm("PASS", "reply", reply=reply, times=3)
    gc.disable()  # what is left open must be closed by the code, not found later by the collector
    try:
        before = len(os.listdir("/proc/self/fd"))
        with pytest.raises(ftplib.error_perm if reply[0] == "5" else ftplib.error_temp):
            FTPPath("/").exists
        assert len(os.listdir("/proc/self/fd")) == before
    finally:
        gc.enable()


@pytest.mark.parametrize("files, jobs, put_fault, get_fault", [(2000, 16, "cut", "reset")])
def test_thousands_of_small_files_through_random_broken_data_connections(stage, monkeypatch, files, jobs,
                                                                         put_fault, get_fault):
    # Five tries: a file hit on each of three (once a run at 2%) would fail the run and say nothing of the engine.
    monkeypatch.setenv("CORVANE_RETRY_TIMES", "5")
    rng, many = random.Random(11), stage.source.parent / "many"
    for n in range(files):
        (many / f"d{n % 40:02}").mkdir(parents=True, exist_ok=True)
        (many / f"d{n % 40:02}" / f"{n}.dat").write_bytes(rng.randbytes(rng.randrange(200, 4096)))
    for seed, direction, command, kind in [(1, "put", "STOR", put_fault), (2, "get", "RETR", get_fault)]:
        stage.server.arm(command, kind, times=100_000, chance=0.02, seed=seed, after=100)
        report = put(many, stage.top, jobs=jobs) if direction == "put" else get(stage.top, stage.back, jobs=jobs)
        fired = len(stage.server.fired())
        assert (report.files_moved, report.files_failed, report.retries) == (files, 0, fired) and fired > 0
        assert digest_tree(stage.twin if direction == "put" else stage.back) == digest_tree(many)
    assert stage.leftovers() == []
