"""The stage of the fault tests: a small remote tree, and each operation run
once on it, checking that its answer or its effect is right.

Every operation aims at its own entries, and none touches witness.txt or
dir/, which the checks after a fault use.
"""

import datetime
import os
import random
import shutil
from dataclasses import dataclass

from corvane.ftp.path import FTPPath

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


def build(server, name, scratch):
    """A fresh tree named `name` on `server`, and a local tree in `scratch` to upload."""
    local = os.path.join(server.root, name)
    shutil.rmtree(local, ignore_errors=True)
    write_file(os.path.join(local, "file.bin"), CONTENT, STAMP)
    write_file(os.path.join(local, "doomed.txt"), b"delete me\n")
    write_file(os.path.join(local, "witness.txt"), WITNESS, STAMP)
    write_file(os.path.join(local, "dir", "inner.txt"), b"inner\n")
    os.mkdir(os.path.join(local, "dir", "sub"))
    write_file(os.path.join(local, "tree", "a.txt"), b"a\n")
    write_file(os.path.join(local, "tree", "sub", "b.txt"), b"b\n")
    source = os.path.join(scratch, "source")
    write_file(os.path.join(source, "a.bin"), PAYLOAD)
    write_file(os.path.join(source, "sub", "b.bin"), PAYLOAD[::-1])
    return Scene(server, FTPPath("/" + name), local, source)


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


def op_delete_tree(s):
    s.top.join("tree").delete()
    assert not os.path.exists(os.path.join(s.local, "tree"))


def op_glob(s):
    assert sorted(p.path.name for p in s.top.join("dir").glob("*")) == ["inner.txt", "sub"]


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
    "delete_tree": (op_delete_tree, "RMD"),
    "glob": (op_glob, "LIST"),
    "read": (op_read, "RETR"),
    "write": (op_write, "STOR"),
    "upload": (op_upload, "STOR"),
}
# operation -> (the data command that faults aim at, where a cut falls in its
# transfer): is_dir reads a single byte and stops, so only a cut before it is felt.
DATA_OPS = {
    "exists": ("NLST", 4),
    "is_dir": ("RETR", 0),
    "delete_tree": ("LIST", 10),
    "glob": ("LIST", 10),
    "read": ("RETR", 1000),
    "write": ("STOR", 1000),
    "upload": ("STOR", 1000),
}
