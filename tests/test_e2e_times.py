"""update on every real server compares modification times at the precision the server
gives them (MLSD's exact ones, LIST's minute or day, MDTM where that cannot tell), and
each copy takes its source's time: a same-size edit is copied both ways, and nothing
else moves."""

import os
import time

import pytest

from corvane.ftp.transfer import get, put

pytestmark = pytest.mark.group("engine")
DAY = 86400


@pytest.mark.parametrize("age", [4 * DAY, 400 * DAY], ids=["listed to the minute", "listed to the day"])
@pytest.mark.parametrize("later", [1, 2 * DAY], ids=["MDTM tells", "the listing tells"])
def test_update_copies_a_same_size_edit_both_ways(remote, tmp_path, age, later):
    top, twin = remote
    source, back, there = tmp_path / "source", tmp_path / "back", os.path.join(twin, "t")
    made = (int(time.time()) - age) // DAY * DAY + DAY // 2 + 10  # mid-day, mid-minute: a second later is in both
    for rel in ("a.txt", "sub/b.txt"):
        (source / rel).parent.mkdir(parents=True, exist_ok=True)
        (source / rel).write_bytes(b"old " + rel.encode())
        os.utime(source / rel, (made, made))
    put(source, top.join("t"))
    get(top.join("t"), back)
    assert {os.stat(os.path.join(there, "sub/b.txt")).st_mtime, os.stat(back / "sub/b.txt").st_mtime} == {made}
    assert (put(source, top.join("t"), update=True).files_moved, get(top.join("t"), back, update=True).files_moved) \
        == (0, 0)

    for path in (source / "a.txt", os.path.join(there, "sub/b.txt")):  # one edit here, one there
        with open(path, "r+b") as f:
            f.write(b"new")
        os.utime(path, (made + later, made + later))
    up = put(source, top.join("t"), update=True)  # a.txt; b.txt there is newer
    assert (up.files_moved, os.stat(os.path.join(there, "a.txt")).st_mtime) == (1, made + later)
    down = get(top.join("t"), back, update=True)  # both: each is newer there now
    assert (down.files_moved, (back / "a.txt").read_bytes(), (back / "sub/b.txt").read_bytes()) == \
        (2, b"new a.txt", b"new sub/b.txt")
    assert os.stat(back / "sub/b.txt").st_mtime == made + later
