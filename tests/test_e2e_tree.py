"""Tree delete and mkdir where real servers differ from a plain tree: symbolic links, dot-files
that LIST hides, and several sessions making the same new directories."""

import os
import threading

import pytest

from corvane.ftp.path import FTPPath

pytestmark = pytest.mark.group("tree")
TREES = 5  # each a new race, all threads starting it together: one alone may pass without a clash


def test_tree_delete_removes_links_and_hidden_dot_files_and_nothing_outside(dots_hidden):
    top, local = dots_hidden
    for name in ["outside/keep.txt", "tree/a.txt", "tree/.hidden", "tree/sub/.deeper", "tree/.cache/c.txt"]:
        os.makedirs(os.path.dirname(os.path.join(local, name)), exist_ok=True)
        with open(os.path.join(local, name), "w") as f:
            f.write(name)
    for link, target in [("tree/to_file", "a.txt"), ("tree/sub/to_dir", "../../outside"), ("tree/broken", "nowhere")]:
        os.symlink(target, os.path.join(local, link))
    top.join("tree").delete()
    assert os.listdir(local) == ["outside"] and os.listdir(os.path.join(local, "outside")) == ["keep.txt"]


def test_eight_threads_make_the_same_new_directories(remote):
    top, local = remote
    ready, errors = threading.Barrier(8), []

    def write(n):
        try:
            mine = FTPPath(str(top))
            assert mine.is_dir()  # logged in before the races start
            for tree in range(TREES):
                ready.wait(30)
                mine.join(f"t{tree}", "a", "b", f"{n}.bin").write(b"x")
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)
            ready.abort()

    threads = [threading.Thread(target=write, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    assert all(sorted(os.listdir(os.path.join(local, f"t{tree}", "a", "b"))) == [f"{n}.bin" for n in range(8)]
               for tree in range(TREES))
