"""What is timed: the data each run makes, and the registry of scenarios.

A scenario names a contender job (a method of the contenders, see
contenders.py), how to make the fresh arguments of one sample, and how to
check what the job did, so that a contender that did less cannot look fast.

Adding a scenario:
 1. give the contenders that can do the job a method for it (for example
    Engine.put_tree calling corvane.ftp.transfer.put(local, remote, jobs=8));
    a contender without the method sits the scenario out;
 2. add its sizes to Sizes if they differ per mode, and make its data in
    Data.__init__ (shared, read-only) or in its prepare (fresh per sample);
 3. append a Scenario to SCENARIOS, naming the contender its ratios are taken
    against (the floor where there is one). Nothing else changes: the runner,
    the tables, the JSON and the chart take every scenario from this list.
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
    engine_files: int  # the tree the engine puts and gets, in...
    engine_dirs: int  # ...this many directories
    big: int  # bytes of the one big file put and got (loopback only)
    plan_files: int  # empty files of the planned tree, in 10 directories (loopback only)
    many_files: int  # the larger tree the engine and the tree copiers put and get, in...
    many_dirs: int  # ...this many directories
    segmented: int  # bytes of the one file got in 1, 2, 4 and 8 segments (see --conn-rate)


SIZES = {
    "loopback": Sizes(data=64 * MiB, tree_files=500, tree_dirs=20, glob_entries=10_000, repeat=20,
                      engine_files=100, engine_dirs=10, big=1024 * MiB, plan_files=100_000,
                      many_files=1000, many_dirs=50, segmented=64 * MiB),
    # 50 files, not 100, for FTPPath's upload and delete: with all four
    # contenders over 3 rounds they alone would take about 9 minutes at 20 ms.
    # The engine's tree is the 100 files of its target. The big file and the
    # planning measure the client's own work: they run on loopback only.
    "rtt": Sizes(data=8 * MiB, tree_files=50, tree_dirs=5, glob_entries=10_000, repeat=3,
                 engine_files=100, engine_dirs=10, big=0, plan_files=0, many_files=1000, many_dirs=50,
                 segmented=64 * MiB),
    "quick": Sizes(data=1 * MiB, tree_files=20, tree_dirs=4, glob_entries=1_000, repeat=1,
                   engine_files=20, engine_dirs=4, big=16 * MiB, plan_files=1_000,
                   many_files=40, many_dirs=5, segmented=8 * MiB),
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
        # The tree find walks: as many entries, one in a hundred a directory of the others.
        for i in range(sizes.glob_entries):
            directory, k = divmod(i, 100)
            if k == 0:
                os.makedirs(self.on_disk(f"/t/d{directory:03d}"))
            else:
                open(self.on_disk(f"/t/d{directory:03d}/f{k:02d}.dat"), "wb").close()
        # Local files live beside the server's root, on the same (memory) disk.
        self.local = tempfile.mkdtemp(prefix="local-", dir=server.workdir)
        self.local_tree = os.path.join(self.local, "tree")
        small_tree(self.local_tree, sizes.tree_files, sizes.tree_dirs, rng)
        self.engine_tree = os.path.join(self.local, "engine-tree")
        small_tree(self.engine_tree, sizes.engine_files, sizes.engine_dirs, rng)
        shutil.copytree(self.engine_tree, self.on_disk("/src"))
        self.many_tree = os.path.join(self.local, "many-tree")
        small_tree(self.many_tree, sizes.many_files, sizes.many_dirs, rng)
        shutil.copytree(self.many_tree, self.on_disk("/src-many"))
        self.snapshots = {}  # tag -> the target tree of an update, as it was before
        os.makedirs(self.on_disk("/big"))
        with open(self.on_disk("/src-segmented.bin"), "wb") as f:
            for _ in range(sizes.segmented // MiB):
                f.write(os.urandom(MiB))
        if sizes.big:
            with open(self.on_disk("/src-big.bin"), "wb") as f:
                for _ in range(sizes.big // MiB):
                    f.write(os.urandom(MiB))
        for i in range(sizes.plan_files):
            if i % (sizes.plan_files // 10) == 0:
                directory = self.on_disk(f"/many/d{i * 10 // sizes.plan_files}")
                os.makedirs(directory)
            open(os.path.join(directory, f"file {i:06d}.txt"), "wb").close()
        server.own(server.root)

    def on_disk(self, remote):
        return os.path.join(self.server.root, remote.lstrip("/"))

    def make(self, remote, content):
        os.makedirs(os.path.dirname(self.on_disk(remote)), exist_ok=True)
        with open(self.on_disk(remote), "wb") as f:
            f.write(content)

    def remove(self):
        shutil.rmtree(self.local, ignore_errors=True)


def small_tree(top, files, dirs, rng):
    for i in range(files):
        directory = os.path.join(top, f"d{i % dirs:02d}")
        os.makedirs(directory, exist_ok=True)
        with open(os.path.join(directory, f"f{i:04d}.bin"), "wb") as f:
            f.write(rng.randbytes(rng.randint(1024, 8192)))


def same_bytes(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            block = fa.read(8 * MiB)
            if block != fb.read(8 * MiB):
                return False
            if not block:
                return True


@dataclass(frozen=True)
class Scenario:
    name: str
    job: str  # the contender method that does it
    prepare: Callable  # (data, tag) -> the job's arguments; `tag` names this sample's fresh data
    check: Callable  # (data, tag, result) -> None, or a text saying what is wrong
    repeated: bool = False  # a quick question: asked sizes.repeat times per sample
    reference: str = "floor"  # the contender whose wall time the others' is divided by
    loopback_only: bool = False  # left out behind an emulated round trip
    contenders: tuple = None  # only these take part (None: every contender with the job)
    files: Callable = None  # (sizes) -> the files a tree scenario moves, for its per-file figures


def answer(expected):
    return lambda data, tag, result: None if result == expected else f"answered {result!r}, not {expected!r}"


def fresh_tree(data, tag):
    target = data.on_disk(f"/del/{tag}")
    shutil.copytree(data.local_tree, target)
    data.server.own(target)
    return (f"/del/{tag}",)


def gone(data, tag, result):
    return f"/del/{tag} is still there" if os.path.exists(data.on_disk(f"/del/{tag}")) else None


def same_tree(source, target, name):
    if data_tree(target) != data_tree(source):
        return f"{name} does not hold the tree"
    shutil.rmtree(target)
    return None


def data_tree(top):
    """Relative path and size of every file below top."""
    return sorted((os.path.relpath(os.path.join(d, name), top), os.path.getsize(os.path.join(d, name)))
                  for d, _, names in os.walk(top) for name in names)


def uploaded(data, tag, result):
    return same_tree(data.local_tree, data.on_disk(f"/up/{tag}"), f"/up/{tag}")


def put_whole(data, tag, result):
    return same_tree(data.engine_tree, data.on_disk(f"/up/{tag}"), f"/up/{tag}")


def got_whole(data, tag, result):
    return same_tree(data.on_disk("/src"), os.path.join(data.local, tag), f"local {tag}")


def put_many(data, tag, result):
    return same_tree(data.many_tree, data.on_disk(f"/up/{tag}"), f"/up/{tag}")


def got_many(data, tag, result):
    return same_tree(data.on_disk("/src-many"), os.path.join(data.local, tag), f"local {tag}")


def stamps(top):
    """Inode, size and modification time of every file below top: a file written again, or
    dated again, differs."""
    found = {}
    for d, _, names in os.walk(top):
        for name in names:
            st = os.stat(os.path.join(d, name))
            found[os.path.relpath(os.path.join(d, name), top)] = (st.st_ino, st.st_size, st.st_mtime_ns)
    return found


def in_sync_remote(data, tag):
    """A copy of the local tree on the server, dated as the local files are: nothing to put."""
    target = data.on_disk(f"/up/{tag}")
    shutil.copytree(data.engine_tree, target)
    data.server.own(target)
    data.snapshots[tag] = stamps(target)
    return data.engine_tree, f"/up/{tag}"


def in_sync_local(data, tag):
    """A local copy of the server's tree, dated as the server's files are: nothing to get."""
    target = os.path.join(data.local, tag)
    shutil.copytree(data.on_disk("/src"), target)
    data.snapshots[tag] = stamps(target)
    return "/src", target


def untouched(target, data, tag):
    before, now = data.snapshots.pop(tag), stamps(target)
    shutil.rmtree(target)
    if now == before:
        return None
    changed = sorted(rel for rel in before.keys() | now.keys() if before.get(rel) != now.get(rel))
    return f"{len(changed)} of {len(before)} files in sync were written or dated again, first {changed[0]}"


def big_copied(source, target):
    if not os.path.isfile(target) or not same_bytes(source, target):
        return f"{target} is not a whole copy of {source}"
    os.remove(target)
    return None


def planned(data, tag, result):
    return None if result == data.sizes.plan_files else f"planned {result} files, not {data.sizes.plan_files}"


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


PEERS = ("engine", "lftp", "rclone")  # the tree copiers at their best
SEGMENTS = (1, 2, 4, 8)

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
    # The transfer engine's: trees against the peers' own tree copies (and
    # FTPPath.upload), the big file against bare ftplib with 1 MiB blocks.
    Scenario("put tree, 8 jobs", "put_tree", lambda d, t: (d.engine_tree, f"/up/{t}"), put_whole,
             reference="engine", files=lambda s: s.engine_files),
    Scenario("get tree, 8 jobs", "get_tree", lambda d, t: ("/src", os.path.join(d.local, t)), got_whole,
             reference="engine", files=lambda s: s.engine_files),
    # The larger tree and the updates: the engine against the tree copiers only (fsspec
    # and ftputil would take minutes at 20 ms for what the rows above show already).
    Scenario("put tree, many files", "put_tree", lambda d, t: (d.many_tree, f"/up/{t}"), put_many,
             reference="engine", contenders=PEERS, files=lambda s: s.many_files),
    Scenario("get tree, many files", "get_tree", lambda d, t: ("/src-many", os.path.join(d.local, t)), got_many,
             reference="engine", contenders=PEERS, files=lambda s: s.many_files),
    Scenario("put tree, nothing new", "put_update", in_sync_remote,
             lambda d, t, r: untouched(d.on_disk(f"/up/{t}"), d, t), reference="engine", contenders=PEERS,
             files=lambda s: s.engine_files),
    Scenario("get tree, nothing new", "get_update", in_sync_local,
             lambda d, t, r: untouched(os.path.join(d.local, t), d, t), reference="engine", contenders=PEERS,
             files=lambda s: s.engine_files),
    Scenario("put big file", "put_big", lambda d, t: (d.on_disk("/src-big.bin"), f"/big/{t}.bin"),
             lambda d, t, r: big_copied(d.on_disk("/src-big.bin"), d.on_disk(f"/big/{t}.bin")), loopback_only=True),
    Scenario("get big file", "get_big", lambda d, t: ("/src-big.bin", os.path.join(d.local, f"{t}.bin")),
             lambda d, t, r: big_copied(d.on_disk("/src-big.bin"), os.path.join(d.local, f"{t}.bin")),
             loopback_only=True),
    # One file in ranges over several sessions, against lftp's pget -n: the figures to read are
    # with --conn-rate, where each connection is held to a rate and N streams may go N times as fast.
    *(Scenario(f"segments: {n}", "get_segments",
               lambda d, t, n=n: ("/src-segmented.bin", os.path.join(d.local, f"{t}.bin"), n),
               lambda d, t, r: big_copied(d.on_disk("/src-segmented.bin"), os.path.join(d.local, f"{t}.bin")),
               reference="engine", contenders=("engine", "lftp")) for n in SEGMENTS),
    Scenario("plan: local walk", "plan_local", lambda d, t: (d.on_disk("/many"),), planned,
             reference="engine", loopback_only=True),
    Scenario("plan: remote listing", "plan_remote", lambda d, t: ("/many",), planned,
             reference="engine", loopback_only=True),
]


# ---- the fsspec file system (contender cftp) against fsspec's FTP, and bare ftplib

def random_spans(data, tag):
    """The same offsets for every contender: 50 reads per quick question asked (1,000 on loopback)."""
    rng = random.Random(5)
    spans = [(rng.randrange(len(data.big) - 64 * 1024), 64 * 1024) for _ in range(50 * data.sizes.repeat)]
    return ("/r/big.bin", spans)


def read_spans(data, tag, result):
    _, spans = random_spans(data, tag)
    wrong = sum(got != data.big[start:start + length] for got, (start, length) in zip(result, spans))
    return f"{wrong} of {len(spans)} random reads gave other bytes" if wrong or len(result) != len(spans) else None


def found(data, tag, result):
    return None if len(result) == data.sizes.glob_entries else f"found {len(result)}, not {data.sizes.glob_entries}"


def found_in_tree(data, tag, result):
    files = data.sizes.glob_entries - data.sizes.glob_entries // 100
    return None if len(result) == files else f"found {len(result)}, not {files}"


def streamed(data, tag, result):
    return None if result == data.sizes.big else f"read {result} bytes, not {data.sizes.big}"


def fsspec_scenarios():
    return [
        Scenario("find: one directory", "find", lambda d, t: ("/g",), found, reference="fsspec"),
        Scenario("find: a tree", "find", lambda d, t: ("/t",), found_in_tree, reference="fsspec"),
        Scenario("random 64 KiB reads", "random_reads", random_spans, read_spans, reference="cftp"),
        Scenario("stream big file", "stream_big", lambda d, t: ("/src-big.bin",), streamed, loopback_only=True),
    ]


SCENARIOS += fsspec_scenarios()
