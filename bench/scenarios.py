"""What is timed: the data each run makes, and the registry of scenarios.

A scenario names a contender job (a method of the contenders, see
contenders.py), how to make the fresh arguments of one sample, and how to
check what the job did, so that a contender that did less cannot look fast.

Adding a scenario (the transfer engine's come next: a tree put and get with
jobs=8, 1 GiB each way on loopback, planning 100,000 empty files):
 1. give the contenders that can do the job a method for it (for example
    Corvane.put_tree calling corvane.ftp.transfer.put(local, remote, jobs=8));
    a contender without the method sits the scenario out;
 2. add its sizes to Sizes if they differ per mode, and make its data in
    Data.__init__ (shared, read-only) or in its prepare (fresh per sample);
 3. append a Scenario to SCENARIOS. Nothing else changes: the runner, the
    tables, the JSON and the chart take every scenario from this list.
"""

import os
import random
import shutil
import tempfile
from dataclasses import dataclass
from typing import Callable

MiB = 2**20


@dataclass(frozen=True)
class Sizes:
    data: int  # bytes of the file read and written
    tree_files: int  # files of 1-8 KiB in the uploaded and deleted tree...
    tree_dirs: int  # ...spread over this many directories
    glob_entries: int  # entries of the globbed directory
    repeat: int  # how often a quick question is asked in one sample


SIZES = {
    "loopback": Sizes(data=64 * MiB, tree_files=500, tree_dirs=20, glob_entries=10_000, repeat=20),
    # 50 files, not 100: the upload and delete of 100 files by all four
    # contenders over 3 rounds alone take about 9 minutes at 20 ms.
    "rtt": Sizes(data=8 * MiB, tree_files=50, tree_dirs=5, glob_entries=10_000, repeat=3),
    "quick": Sizes(data=1 * MiB, tree_files=20, tree_dirs=4, glob_entries=1_000, repeat=1),
}


class Data:
    """The files a run works on. Shared ones are made once, on the server's
    disk directly (no FTP traffic, nothing counted); a local tree is the
    source of uploads and the model of deleted trees."""

    def __init__(self, server, sizes):
        self.server, self.sizes = server, sizes
        rng = random.Random(9)
        self.small = rng.randbytes(4096)
        self.big = os.urandom(sizes.data)
        self.make("/q/file.bin", self.small)
        self.make("/q/dir/inside.txt", b"inside\n")
        self.make("/r/big.bin", self.big)
        for name in ("/w", "/up", "/del", "/g"):
            os.makedirs(self.on_disk(name), exist_ok=True)
        for i in range(sizes.glob_entries):
            open(self.on_disk(f"/g/f{i:06d}.dat"), "wb").close()
        self.local_tree = os.path.join(tempfile.mkdtemp(prefix="corvane-bench-tree-"), "tree")
        for i in range(sizes.tree_files):
            directory = os.path.join(self.local_tree, f"d{i % sizes.tree_dirs:02d}")
            os.makedirs(directory, exist_ok=True)
            with open(os.path.join(directory, f"f{i:04d}.bin"), "wb") as f:
                f.write(rng.randbytes(rng.randint(1024, 8192)))
        server.own(server.root)

    def on_disk(self, remote):
        return os.path.join(self.server.root, remote.lstrip("/"))

    def make(self, remote, content):
        os.makedirs(os.path.dirname(self.on_disk(remote)), exist_ok=True)
        with open(self.on_disk(remote), "wb") as f:
            f.write(content)

    def tree_files(self, top):
        return sorted(os.path.relpath(os.path.join(d, name), top) for d, _, names in os.walk(top) for name in names)

    def remove(self):
        shutil.rmtree(os.path.dirname(self.local_tree), ignore_errors=True)


@dataclass(frozen=True)
class Scenario:
    name: str
    job: str  # the contender method that does it
    prepare: Callable  # (data, tag) -> the job's arguments; `tag` names this sample's fresh data
    check: Callable  # (data, tag, result) -> None, or a text saying what is wrong
    repeated: bool = False  # a quick question: asked sizes.repeat times per sample


def answer(expected):
    return lambda data, tag, result: None if result == expected else f"answered {result!r}, not {expected!r}"


def fresh_tree(data, tag):
    target = data.on_disk(f"/del/{tag}")
    shutil.copytree(data.local_tree, target)
    data.server.own(target)
    return (f"/del/{tag}",)


def gone(data, tag, result):
    return f"/del/{tag} is still there" if os.path.exists(data.on_disk(f"/del/{tag}")) else None


def uploaded(data, tag, result):
    target = data.on_disk(f"/up/{tag}")
    if data.tree_files(target) != data.tree_files(data.local_tree):
        return f"/up/{tag} does not hold the tree"
    shutil.rmtree(target)
    return None


def written(data, tag, result):
    target = data.on_disk(f"/w/{tag}.bin")
    if not os.path.isfile(target) or os.path.getsize(target) != len(data.big):
        return f"/w/{tag}.bin was not written whole"
    os.remove(target)
    return None


def read_whole(data, tag, result):
    return None if result == data.big else f"read {len(result)} bytes, not the {len(data.big)} written"


def globbed(data, tag, result):
    return None if len(result) == data.sizes.glob_entries else f"{len(result)} entries, not {data.sizes.glob_entries}"


def some_time(data, tag, result):
    return None if result else "no modification time"


SCENARIOS = [
    Scenario("exists: file", "exists", lambda d, t: ("/q/file.bin",), answer(True), repeated=True),
    Scenario("exists: missing", "exists", lambda d, t: ("/q/missing.bin",), answer(False), repeated=True),
    Scenario("is_dir: directory", "is_dir", lambda d, t: ("/q/dir",), answer(True), repeated=True),
    Scenario("is_dir: file", "is_dir", lambda d, t: ("/q/file.bin",), answer(False), repeated=True),
    Scenario("mtime", "mtime", lambda d, t: ("/q/file.bin",), some_time, repeated=True),
    Scenario("read", "read", lambda d, t: ("/r/big.bin",), read_whole),
    Scenario("write", "write", lambda d, t: (f"/w/{t}.bin", d.big), written),
    Scenario("glob", "glob", lambda d, t: ("/g", "*.dat"), globbed),
    Scenario("upload tree", "upload", lambda d, t: (d.local_tree, f"/up/{t}"), uploaded),
    Scenario("delete tree", "delete", fresh_tree, gone),
]
