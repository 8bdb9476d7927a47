"""glob and tree delete against a real server, checked against the server's disk."""

import fnmatch
import os

import pytest

pytestmark = pytest.mark.group("listing")

# Dot-files stay out of the common tree: several servers hide them from LIST.
FILES = ["a.txt", "b.dat", "with space.txt", "trail ", "br[1].txt", "UPPER.TXT",
         "sub/inner.txt", "sub/deep/x.txt", "dir with space/in it.txt"]
EMPTY_DIRS = ["empty"]


def make_tree(local):
    for name in FILES:
        path = os.path.join(local, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(name.encode())
    for name in EMPTY_DIRS:
        os.makedirs(os.path.join(local, name))


@pytest.mark.parametrize("pattern", ["*", "*.txt", "*.TXT", "*[[]1]*", "* *", "?.dat", "[!a-b]*",
                                     "*[ ]", "sub", "nothing*"])
def test_glob_agrees_with_the_directory_on_disk(remote, pattern):
    top, local = remote
    make_tree(local)
    got = sorted(top.glob(pattern), key=str)
    assert got == [top.join(name) for name in sorted(os.listdir(local)) if fnmatch.fnmatchcase(name, pattern)]


@pytest.mark.group("listing-dot-files")
@pytest.mark.parametrize("pattern, names", [("*", [".hidden", "a", "dir"]), (".*", [".hidden"]),
                                            ("[!.]*", ["a", "dir"])])
def test_dot_files_are_entries_like_any_other(remote, pattern, names):
    top, local = remote
    for name in [".hidden", "a", "dir/"]:
        if name.endswith("/"):
            os.mkdir(os.path.join(local, name))
        else:
            open(os.path.join(local, name), "wb").close()
    assert sorted(top.glob(pattern), key=str) == [top.join(n) for n in names]


def test_glob_of_a_directory_with_white_space_in_its_path(remote):
    top, local = remote
    make_tree(local)
    assert list(top.join("dir with space").glob()) == [top.join("dir with space", "in it.txt")]


def test_glob_of_a_file_is_refused(remote):
    top, local = remote
    make_tree(local)
    with pytest.raises(TypeError, match=r"^'.*/a\.txt' is not a directory\.$"):
        next(top.join("a.txt").glob())


def test_a_link_is_delivered_with_its_target(remote):
    top, local = remote
    make_tree(local)
    os.symlink("a.txt", os.path.join(local, "ln"))
    assert list(top.glob("ln*")) == [top.join("ln -> a.txt")]


def test_delete_removes_the_whole_tree(remote):
    top, local = remote
    make_tree(local)
    top.join("sub").delete()
    assert sorted(os.listdir(local)) == sorted({n.split("/")[0] for n in FILES} - {"sub"} | set(EMPTY_DIRS))
    top.delete()
    assert not os.path.exists(local)


def test_delete_removes_links_and_hidden_dot_files_and_nothing_outside_the_tree(dots_hidden):
    top, local = dots_hidden
    for name in ["keep/precious", "tree/a", "tree/.hidden", "tree/sub/.deeper", "tree/.cache/c"]:
        os.makedirs(os.path.dirname(os.path.join(local, name)), exist_ok=True)
        open(os.path.join(local, name), "wb").close()
    for link, target in [("tree/to_file", "a"), ("tree/sub/ln", "../../keep"), ("tree/broken", "nowhere")]:
        os.symlink(target, os.path.join(local, link))
    top.join("tree").delete()
    assert os.listdir(local) == ["keep"] and os.listdir(os.path.join(local, "keep")) == ["precious"]
