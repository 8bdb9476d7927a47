"""read, write and upload against a real server, through the real ftplib factory."""

import ftplib
import os
import random

import pytest

pytestmark = pytest.mark.group("transfers")


def local_tree(root):
    """{relative path: bytes, or None for a directory}, links followed."""
    found = {}
    for here, dirs, files in os.walk(root, followlinks=True):
        rel = os.path.relpath(here, root)
        for name in dirs:
            found[os.path.normpath(os.path.join(rel, name))] = None
        for name in files:
            with open(os.path.join(here, name), "rb") as f:
                found[os.path.normpath(os.path.join(rel, name))] = f.read()
    return found


@pytest.mark.parametrize("name, size", [
    ("empty.bin", 0),
    ("one.bin", 1),
    ("several MiB.bin", 5 * 2**20 + 3),
    ("new dir/with space.txt", 1000),
    ("ünïcödé/ñame ß.txt", 4096),
])
def test_write_then_read_round_trip(remote, name, size):
    top, local = remote
    data = random.Random(size).randbytes(size)

    top.join(name).write(data)

    assert top.join(name).read() == data
    with open(os.path.join(local, name), "rb") as f:
        assert f.read() == data


def test_write_replaces_existing_content(remote):
    top, _ = remote
    target = top.join("f.txt")
    target.write(b"a longer first content")
    target.write(b"short")
    assert target.read() == b"short"


def test_upload_tree_is_copied_byte_for_byte(remote, tmp_path):
    top, local = remote
    rng = random.Random(7)
    src = tmp_path / "src"
    for rel, size in [("a.bin", 70000), (".hidden", 5), ("with space.txt", 0), ("ünï.txt", 12),
                      ("sub/b.bin", 300), ("sub/deeper/c.bin", 9000), ("sub/.dot/d.txt", 1)]:
        (src / rel).parent.mkdir(parents=True, exist_ok=True)
        (src / rel).write_bytes(rng.randbytes(size))
    (src / "empty").mkdir()
    (src / "link_file").symlink_to("a.bin")
    (src / "link_dir").symlink_to("sub")

    top.join("copy").upload(str(src))

    copied = local_tree(os.path.join(local, "copy"))
    assert copied == local_tree(src)
    assert len(copied) == 18  # 11 files and 7 directories, through both links


def test_upload_file_then_read_it(remote, tmp_path):
    top, _ = remote
    local_file = tmp_path / "source.txt"
    local_file.write_bytes(b"uploaded\n" * 1000)
    top.join("deep/er/target.bin").upload(str(local_file))
    assert top.join("deep/er/target.bin").read() == local_file.read_bytes()


def test_read_of_directory_keeps_the_connection_in_step(remote):
    top, _ = remote
    top.join("dir/inside.txt").write(b"inside")
    client = top.client

    with pytest.raises(TypeError, match=r"^'.*/dir' is not a file\.$") as info:
        top.join("dir").read()
    assert isinstance(info.value.__context__, ftplib.error_perm)

    with pytest.raises(FileNotFoundError, match=r"^'.*/missing' does not exist\.$"):
        top.join("missing").read()
    top.join("after.txt").write(b"after")
    assert top.join("after.txt").read() == b"after"
    assert top.join("dir/inside.txt").read() == b"inside"
    assert top.client is client
