"""`check` and `--checksum` against the real servers; of them only ProFTPD (mod_digest) offers a hash."""

import os
import shutil
import subprocess
import sysconfig
import time
import warnings
from pathlib import Path

import pytest

from corvane.ftp import transfer

pytestmark = pytest.mark.group("verify")

CLI = [os.path.join(sysconfig.get_path("scripts"), "corvane-ftp")]
FILES = {"a.txt": b"hello world\n", "sub/b.txt": b"below\n", "with space.txt": b"spaced out\n"}
WHEN = (int(time.time()) - 3600) // 60 * 60  # a whole minute: LIST gives no seconds


def offers_hash(server):
    return server.name == "proftpd"


def lay_out(root, owner=None):
    for rel, data in FILES.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (WHEN, WHEN))
        for made in (path, os.path.dirname(path)):
            if owner:
                os.chown(made, *owner)


def rewrite(path, data):
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (WHEN, WHEN))


CHANGES = {
    "none": (lambda here, there: None, []),
    "size": (lambda here, there: rewrite(f"{there}/a.txt", b"hello world!\n"), [["a.txt", "size differs"]]),
    "content": (lambda here, there: rewrite(f"{there}/a.txt", b"hello World\n"), [["a.txt", "content differs"]]),
    "missing on the server": (lambda here, there: shutil.rmtree(f"{there}/sub"), [["sub", "missing on the server"]]),
    "missing here": (lambda here, there: os.remove(f"{here}/with space.txt"), [["with space.txt", "missing here"]]),
}


@pytest.mark.parametrize("change", CHANGES)
def test_check_tells_what_differs(server, remote, tmp_path, change):
    top, there = remote
    here = tmp_path / "here"
    lay_out(here)
    lay_out(there, server.extra.get("owner"))
    make, told = CHANGES[change]
    make(here, there)
    if change == "content" and not offers_hash(server):
        told = []  # same size, same time: only a hash could tell
    done = subprocess.run(CLI + ["check", str(here), str(top)], capture_output=True, text=True, timeout=120)
    assert done.returncode == (1 if told else 0), done.stderr
    assert [line.split(": ")[:2] for line in done.stdout.splitlines()] == told
    assert ("by SHA-256" in done.stderr) == offers_hash(server) and "Traceback" not in done.stderr
    assert ("offers no hash" in done.stderr) == (not offers_hash(server)), done.stderr


@pytest.mark.parametrize("direction", ["put", "get"])
def test_checksum_compares_each_file_where_the_server_offers_a_hash(server, remote, tmp_path, direction):
    top, there = remote[0], Path(remote[1])
    source, copy = (tmp_path / "source", there) if direction == "put" else (there, tmp_path / "copy")
    lay_out(source, server.extra.get("owner"))
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        if direction == "put":
            report = transfer.put(source, top, checksum=True)
        else:
            report = transfer.get(top, copy, checksum=True)
    assert report.files_moved == len(FILES)
    assert report.files_unhashed == (0 if offers_hash(server) else len(FILES))
    assert sum("offers no hash" in str(w.message) for w in said) == (0 if offers_hash(server) else 1)
    for rel, data in FILES.items():
        assert (copy / rel).read_bytes() == data


def test_check_of_a_file_against_a_directory_is_a_difference_and_a_missing_top_an_error(server, remote, tmp_path):
    top, there = remote
    lay_out(there, server.extra.get("owner"))
    (tmp_path / "sub").write_bytes(b"x")
    kind = subprocess.run(CLI + ["check", str(tmp_path / "sub"), f"{top}/sub"], capture_output=True, text=True)
    missing = subprocess.run(CLI + ["check", str(tmp_path), f"{top}/nowhere"], capture_output=True, text=True)
    assert (kind.returncode, kind.stdout) == (1, "sub: kind differs: a file here, a directory on the server\n")
    assert missing.returncode == 2 and missing.stderr.count("\n") == 1 and "does not exist" in missing.stderr
