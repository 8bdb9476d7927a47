"""put and get on real servers: a tree with every kind of entry goes up and
comes back byte for byte, a second run in update mode moves nothing, and an
upload cut short keeps the old copy."""

import concurrent.futures
import contextlib
import hashlib
import os
import random
import shutil
import signal
import subprocess

import pytest

from corvane.ftp.transfer import get, put

pytestmark = pytest.mark.group("engine")

BIG = 100 * 2**20
FILES = {"big.bin": BIG, "empty.txt": 0, ".dot": 10, "with blank.txt": 3000, "ünï ß/naïve.bin": 70000,
         "nested/a/b/deep.bin": 5000, "nested/.hidden/x": 1}


@pytest.fixture(scope="session")
def source(tmp_path_factory):
    """Made once per session: the 100 MiB file takes a moment."""
    top = tmp_path_factory.mktemp("engine") / "source"
    rng = random.Random(10)
    for rel, size in FILES.items():
        (top / rel).parent.mkdir(parents=True, exist_ok=True)
        (top / rel).write_bytes(rng.randbytes(size))
    (top / "empty dir" / "inner empty").mkdir(parents=True)
    (top / "link_file").symlink_to("with blank.txt")
    (top / "link_dir").symlink_to("nested")
    return top


def digest_tree(root):
    """{relative path: sha256, or None for a directory}: links to files read as
    files, links to directories left out (they are never copied)."""
    found = {}
    for here, dirs, files in os.walk(root):
        for name in list(dirs):
            path = os.path.join(here, name)
            if os.path.islink(path):
                dirs.remove(name)
            else:
                found[os.path.relpath(path, root)] = None
        for name in files:
            with open(os.path.join(here, name), "rb") as f:
                found[os.path.relpath(os.path.join(here, name), root)] = hashlib.file_digest(f, "sha256").digest()
    return found


def test_tree_round_trip_then_update_moves_nothing(remote, source, tmp_path):
    top, twin = remote
    expected = digest_tree(source)
    assert "link_file" in expected and "link_dir" not in expected

    seen = []
    up = put(source, top.join("tree"), jobs=4, atomic=True, progress=seen.append)
    done = [p.bytes_done for p in seen]
    assert done == sorted(done) and done[-1] == up.bytes_moved == seen[-1].bytes_total
    assert digest_tree(os.path.join(twin, "tree")) == expected
    assert (up.files_moved, up.files_failed, up.dirs_made) == (len(FILES) + 1, 0, 8)
    assert up.bytes_moved == sum(FILES.values()) + FILES["with blank.txt"]
    assert up.skipped_links == [str(source / "link_dir")] and 1 <= up.sessions <= 4

    again = put(source, top.join("tree"), jobs=4, update=True)
    assert (again.files_moved, again.files_skipped, again.bytes_moved) == (0, len(FILES) + 1, 0)

    os.symlink("big.bin", os.path.join(twin, "tree", "remote_link"))
    os.symlink("nested", os.path.join(twin, "tree", "remote_link_dir"))
    back = tmp_path / "back"
    down = get(top.join("tree"), back, jobs=3)
    copied = digest_tree(back)
    assert copied.pop("remote_link") == expected["big.bin"]
    assert copied == expected
    assert (down.files_moved, down.skipped_links) == (len(FILES) + 2, [f"{top}/tree/remote_link_dir"])

    again = get(top.join("tree"), back, jobs=3, update=True)
    assert (again.files_moved, again.files_skipped) == (0, len(FILES) + 2)


def test_single_file_to_new_directories_and_back(remote, source, tmp_path):
    top, twin = remote
    report = put(source / ".dot", top.join("new", "deeper", "copy.txt"), jobs=2)
    assert report.files_moved == 1
    assert put(source / "with blank.txt", top.join("new", "deeper", "copy.txt")).files_moved == 1
    assert os.listdir(os.path.join(twin, "new", "deeper")) == ["copy.txt"]
    back = tmp_path / "made" / "here.txt"
    get(top.join("new", "deeper", "copy.txt"), back)
    assert back.read_bytes() == (source / "with blank.txt").read_bytes()
    with pytest.raises(FileNotFoundError, match=r"^'.*/missing' does not exist\.$"):
        get(top.join("missing"), tmp_path / "nothing")
    assert sorted(os.listdir(tmp_path)) == ["corvane.ini", "made"]


@pytest.mark.parametrize("way", ["code", "config"])  # passive, then active data connections
def test_tree_over_tls_uses_the_class_sessions(tls_server, tls_remote, way, tmp_path, monkeypatch):
    from test_e2e_tls import tls_class

    name, twin = tls_remote
    path = tls_class(tls_server, "explicit", way, tmp_path, monkeypatch)
    (tmp_path / "tree" / "sub").mkdir(parents=True)
    for rel, size in [("a.bin", 300_000), ("sub/b.bin", 5), ("empty", 0)]:
        (tmp_path / "tree" / rel).write_bytes(os.urandom(size))
    assert put(tmp_path / "tree", path(f"/{name}/up"), jobs=2).files_moved == 3
    assert get(path(f"/{name}/up"), tmp_path / "back", jobs=2).files_moved == 3
    assert digest_tree(tmp_path / "back") == digest_tree(tmp_path / "tree") == digest_tree(os.path.join(twin, "up"))


@pytest.mark.parametrize("inplace", [False, True], ids=["default", "inplace"])
@pytest.mark.parametrize("cut", ["ctrl-c", "full disk"])
def test_put_cut_short_over_a_file_keeps_the_old_copy(remote, tmp_path, cut, inplace):
    top, twin = remote
    up = os.path.join(twin, "up")
    os.mkdir(up)
    with open(tmp_path / "new.bin", "wb") as f:  # sparse: Ctrl-C comes long before the end; 2 MiB fill 1 MiB
        f.truncate(2**31 if cut == "ctrl-c" else 2 * 2**20)
    with contextlib.ExitStack() as stack:
        if cut == "full disk":
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0777", "corvane-full", up], check=True)
            stack.callback(subprocess.run, ["umount", up], check=True)
        with open(os.path.join(up, "keep.bin"), "wb") as f:
            f.write(b"the good copy\n")
        with pytest.raises(KeyboardInterrupt if cut == "ctrl-c" else ExceptionGroup):
            put(tmp_path / "new.bin", top.join("up", "keep.bin"), jobs=1, atomic=not inplace,
                progress=lambda p: 0 < p.bytes_done < p.bytes_total and signal.raise_signal(signal.SIGINT))
        # With --inplace the old behaviour: what was cut short is removed, and the old copy with it.
        assert {name: open(os.path.join(up, name), "rb").read() for name in os.listdir(up)} == \
            ({} if inplace else {"keep.bin": b"the good copy\n"})


@pytest.mark.parametrize("direction, update, counts", [("put", False, (2, 0, 0, 3)), ("put", True, (1, 1, 0, 3)),
                                                       ("get", False, (2, 0, 0, 2))])
def test_every_planned_file_ends_in_one_count(remote, tmp_path, direction, update, counts):
    # A file stands where a directory is to be made: nothing below it is attempted, and it says so.
    top, twin = remote
    names = ["a.bin", "b.bin", "blocked/c.bin", "blocked/d.bin"] + ["blocked/deeper/e.bin"] * (direction == "put")
    source, target = (tmp_path / "src", twin) if direction == "put" else (twin, tmp_path / "out")
    for rel in names:
        os.makedirs(os.path.dirname(os.path.join(source, rel)), exist_ok=True)
        with open(os.path.join(source, rel), "wb") as f:
            f.write(os.urandom(len(rel)))
    os.makedirs(target, exist_ok=True)
    with open(os.path.join(target, "blocked"), "wb"):
        pass
    if update:
        shutil.copy(os.path.join(source, "a.bin"), os.path.join(target, "a.bin"))
    seen = []
    with pytest.raises(ExceptionGroup, match=r"^1 failed, \d files copied$") as caught:
        if direction == "put":
            put(source, top, update=update, progress=seen.append)
        else:
            get(top, target, progress=seen.append)
    report = caught.value.report
    assert (report.files_moved, report.files_skipped, report.files_failed, report.files_not_attempted) == counts
    assert sum(counts) == len(names) and (seen[-1].files_done, seen[-1].files_total) == (len(names) - counts[1],) * 2


def test_ctrl_c_stops_the_jobs_queued_in_worker_processes(remote, tmp_path):
    # When the first file's end raises Ctrl-C, the pool's worker has begun the next file and the pool
    # has queued two more (marked running: no cancel reaches them); those start only if the stop is
    # late, on a loaded machine. The rest never start.
    top, twin = remote
    (tmp_path / "src").mkdir()
    for i in range(12):
        (tmp_path / "src" / f"{i}.bin").write_bytes(b"x" * 1000)
    with concurrent.futures.ProcessPoolExecutor(1) as pool:
        with pytest.raises(KeyboardInterrupt):
            put(tmp_path / "src", top, jobs=1, executor=pool, progress=lambda p: signal.raise_signal(signal.SIGINT))
    assert len(os.listdir(twin)) <= 4


def test_a_worker_forked_while_ctrl_c_is_held_hears_it_later():
    from corvane.ftp._scheduler import _interrupts_held
    with _interrupts_held():
        child = os.fork()
        if child == 0:  # a process pool's worker, forked as a job is handed over
            os._exit(0 if signal.getsignal(signal.SIGINT) is signal.default_int_handler else 1)
    assert os.waitpid(child, 0)[1] == 0
