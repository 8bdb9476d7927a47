"""get -c / put -c and get --segments: on the real servers, a part an earlier run left is
continued where it can be the start of the source, and a file comes whole in ranges; on
the fault server, a failed run leaves its part, REST or APPE refused falls back, and a
range whose connection drops is fetched again."""

import os
import random
import subprocess
import sysconfig

import pytest
from test_engine_faults import stage  # noqa: F401  (a fixture)

from corvane.ftp._resume import partial_name
from corvane.ftp._segments import SMALLEST
from corvane.ftp.transfer import get

pytestmark = pytest.mark.group("engine")

CLI = [os.path.join(sysconfig.get_path("scripts"), "corvane-ftp")]
DATA = random.Random(7).randbytes(3 * 2**20)  # 3.0 MiB; 1,000,000 bytes fewer show as 2.0 MiB


def cli(*args):
    return subprocess.run(CLI + list(args), capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)


def parts(*folders):
    return [name for folder in folders for name in os.listdir(folder) if name.endswith(".part")]


STAMP = 1_700_000_000
CASES = [(way, part) for way in ("get", "put", "put --inplace") for part in ("prefix", "not shorter")]


@pytest.mark.parametrize("way, part", CASES + [("get", "older than the remote file")])
def test_a_part_left_earlier_is_continued_where_it_can_be(server, remote, tmp_path, way, part):
    top, twin = remote
    kept = {"not shorter": DATA + b"from another version", "not its start": bytes(1_000_000)}.get(part, DATA[:1_000_000])
    if way == "get":  # a tree's, whose listing dates the file (MLSD) where the server has it
        with open(os.path.join(twin, "f.bin"), "wb") as f:
            f.write(DATA)
        os.utime(os.path.join(twin, "f.bin"), (STAMP, STAMP))
        (tmp_path / "back").mkdir()
        (tmp_path / "back" / partial_name("f.bin", f"{server.host}:{top}/f.bin")).write_bytes(kept)
        if part.startswith("older"):
            os.utime(tmp_path / "back" / partial_name("f.bin", f"{server.host}:{top}/f.bin"), (STAMP - 60,) * 2)
        args, result = ["get", "-c", str(top), str(tmp_path / "back")], tmp_path / "back" / "f.bin"
    else:
        local = tmp_path / "f.bin"
        local.write_bytes(DATA)
        name = "f.bin" if "inplace" in way else partial_name("f.bin", os.path.realpath(local))
        with open(os.path.join(twin, name), "wb") as f:
            f.write(kept)
        args, result = way.split() + ["-c", str(local), f"{top}/f.bin"], os.path.join(twin, "f.bin")
    done = cli(*args)
    assert done.returncode == 0, done.stderr
    # vsftpd has no MLSD, so no exact time; ProFTPD refuses REST+STOR and APPE by default.
    again = {"prefix": False, "not shorter": True, "not its start": True}.get(part, server.name != "vsftpd")
    again = again or (way != "get" and server.name == "proftpd")
    assert f"1 file ({'3.0' if again else '2.0'} MiB) moved" in done.stdout
    assert open(result, "rb").read() == DATA and parts(tmp_path, tmp_path / "back" if way == "get" else twin) == []


@pytest.mark.group("range hashes")
@pytest.mark.parametrize("way", ["get", "put", "put --inplace"])
def test_a_part_that_is_not_the_start_of_the_source_comes_anew(server, remote, tmp_path, way):
    test_a_part_left_earlier_is_continued_where_it_can_be(server, remote, tmp_path, way, "not its start")


@pytest.mark.parametrize("size", [2 * SMALLEST - 1, 3 * SMALLEST, 8 * SMALLEST + 1])
@pytest.mark.parametrize("segments", [1, 3, 8])
def test_segments_fetch_the_same_bytes(remote, tmp_path, segments, size):
    top, twin = remote
    data = random.Random(size).randbytes(size)
    for name in ("a.bin", "b.bin"):  # one after the other: b's ranges reuse the sessions a's were cut on
        with open(os.path.join(twin, name), "wb") as f:
            f.write(data)
    report = get(top, tmp_path / "back", jobs=1, segments=segments)
    assert [(tmp_path / "back" / name).read_bytes() == data for name in ("a.bin", "b.bin")] == [True, True]
    assert report.bytes_moved == 2 * size and parts(tmp_path / "back") == []


@pytest.mark.parametrize("fault, retrs, fired", [
    (dict(command="RETR", kind="cut", after=300_000), 9, 1),  # four ranges a file, and the cut one again
    (dict(command="RETR", kind="hangup", after=300_000), 9, 1),
    (dict(command="REST", kind="reply", reply="502 REST not implemented.", times=9), 2, 2),
])
def test_segments_through_faults(stage, fault, retrs, fired):  # noqa: F811
    data = random.Random(1).randbytes(4 * SMALLEST + 7)
    os.makedirs(stage.twin)
    for name in ("big.bin", "second.bin"):  # one after the other, on the sessions the first one's ranges used
        with open(os.path.join(stage.twin, name), "wb") as f:
            f.write(data)
    stage.server.arm(**fault)
    get(stage.top, stage.back, jobs=1, segments=4)
    assert [(stage.back / name).read_bytes() == data for name in ("big.bin", "second.bin")] == [True, True]
    assert stage.server.commands().count("RETR") == retrs and len(stage.server.fired()) == fired
    assert stage.leftovers() == []


REFUSED = "502 Command not implemented."


@pytest.mark.parametrize("direction, refused, moved", [
    ("get", [], "2.0"), ("get", ["REST"], "3.0"),
    ("put", [], "2.0"), ("put", ["REST"], "2.0"), ("put", ["REST", "APPE"], "3.0"),  # REST+STOR, APPE, afresh
])
def test_a_failed_run_leaves_its_part_and_the_next_continues(stage, monkeypatch, direction, refused, moved):  # noqa: F811
    monkeypatch.setenv("CORVANE_RETRY_TIMES", "1")
    os.makedirs(stage.twin)
    source = os.path.join(stage.twin, "f.bin") if direction == "get" else stage.source / "f.bin"
    with open(source, "wb") as f:
        f.write(DATA)
    args = [direction, "-c"] + ([f"{stage.top}/f.bin", str(stage.back / "f.bin")] if direction == "get"
                                else [str(source), f"{stage.top}/f.bin"])
    stage.server.arm("RETR" if direction == "get" else "STOR", "cut", after=1_000_000)
    first = cli(*args)
    assert first.returncode == 23 and "could not" in first.stderr
    (part,) = stage.leftovers()
    assert os.path.getsize(os.path.join(stage.back if direction == "get" else stage.twin, part)) == 1_000_000
    stage.server.disarm()
    stage.server._write([dict(command=command, kind="reply", reply=REFUSED, times=9) for command in refused])
    second = cli(*args)
    assert second.returncode == 0, second.stderr
    assert f"1 file ({moved} MiB) moved" in second.stdout and stage.leftovers() == []
    with open(stage.back / "f.bin" if direction == "get" else os.path.join(stage.twin, "f.bin"), "rb") as f:
        assert f.read() == DATA
