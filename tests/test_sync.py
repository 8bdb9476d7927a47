"""Mirroring on the real servers: filters, --delete, --dry-run, -v, several sources, mv and exit 23."""
import os
from pathlib import Path

import pytest
from test_cli import PASSWORD_VAR, faulty, run  # noqa: F401  (faulty: a fixture)

import servers
from corvane.ftp import cli
from corvane.ftp.transfer import get, put

TREE = ["a.csv", "b.tmp", ".dot", "logs/x.gz", "logs/y.txt", "old/logs/z.gz", "cache/c.csv", "deep/er/d.csv"]


def make(top, names, text="new\n"):
    for name in names:
        Path(top, name).parent.mkdir(parents=True, exist_ok=True)
        Path(top, name).write_text(text)


def paths(top):
    """Every path below `top`, a directory's with a trailing "/"."""
    return {os.path.relpath(os.path.join(here, name), top) + "/" * (name in dirs)
            for here, dirs, files in os.walk(top) for name in dirs + files}


ALL = {*TREE, "logs/", "old/", "old/logs/", "cache/", "deep/", "deep/er/"}


@pytest.mark.parametrize("direction", ["put", "get"])
@pytest.mark.parametrize("rules, left_out", [
    ([("-", "*.tmp")], {"b.tmp"}),
    ([("-", "cache/")], {"cache/", "cache/c.csv"}),
    ([("-", "logs/*.gz")], {"logs/x.gz"}),  # with a "/": the path below the top, not old/logs
    ([("+", "*.csv"), ("+", "*/"), ("-", "*")], {"b.tmp", ".dot", "logs/x.gz", "logs/y.txt", "old/logs/z.gz"}),
    ([("+", "*.csv"), ("-", "*")], ALL - {"a.csv"}),  # the directories are excluded, so never entered
    ([("-", "**/logs/**")], {"logs/x.gz", "logs/y.txt", "old/logs/z.gz"}),
    ([("-", "/deep")], {"deep/", "deep/er/", "deep/er/d.csv"}),
    ([("+", "logs/y.txt"), ("-", "logs/*")], {"logs/x.gz"}),  # the first rule that matches decides
    ([("-", "?.csv"), ("-", "[.]*")], {"a.csv", "cache/c.csv", "deep/er/d.csv", ".dot"}),
])
def test_filters_decide_what_is_copied(remote, tmp_path, direction, rules, left_out):
    top, twin = remote
    source = Path(twin if direction == "get" else tmp_path, "src")
    target = Path(tmp_path if direction == "get" else twin, "dst")
    make(source, TREE)
    if direction == "put":
        put(source, top.join("dst"), jobs=2, filters=rules)
    else:
        get(top.join("src"), target, jobs=2, filters=rules)
    assert paths(target) == ALL - left_out


@pytest.mark.parametrize("dry_run", [False, True], ids=["delete", "dry-run"])
@pytest.mark.parametrize("direction", ["put", "get"])
def test_delete_removes_only_what_the_source_lacks_inside_the_target(remote, tmp_path, direction, dry_run):
    top, twin = remote
    here, there = (Path(twin), tmp_path / "t") if direction == "get" else (tmp_path, Path(twin))
    make(here / "src", ["a.txt", "sub/b.txt"])
    many = [f"many/{i}" for i in range(70)]  # more than one batch of removals
    make(there / "dst", ["a.txt", "gone.txt", "old/deep/x.txt", "keep.tmp", "held/y.tmp", *many], text="old\n")
    make(there, ["outside/f.txt"], text="old\n")
    if direction == "get":  # links in the target are removed as links, never followed out of it
        os.symlink(there / "outside", there / "dst" / "out")
        os.symlink(there / "outside" / "f.txt", there / "dst" / "f-link")
    before = {p: Path(there, p).read_text() for p in paths(there) if not p.endswith("/")}
    remote_path = lambda name: str(top.join(name))  # noqa: E731
    ends = [str(here / "src"), remote_path("dst")] if direction == "put" else [remote_path("src"), str(there / "dst")]
    result = run([], direction, "-v", "--delete", "--exclude", "*.tmp", *["-n"] * dry_run, *ends)
    gone = {"deleting gone.txt", "deleting old/deep/x.txt", "deleting old/deep/", "deleting old/", "deleting many/",
            *(f"deleting {name}" for name in many)} | (
        {"deleting out", "deleting f-link"} if direction == "get" else set())
    assert (result.returncode, result.stderr) == (0, "")
    assert set(result.stdout.splitlines()[:-1]) == {"a.txt", "sub/b.txt"} | gone
    assert ("dry run: nothing was changed" in result.stdout.splitlines()[-1]) == dry_run
    after = {p: Path(there, p).read_text() for p in paths(there) if not p.endswith("/")}
    assert after == (before if dry_run else {
        "dst/a.txt": "new\n", "dst/sub/b.txt": "new\n", "dst/keep.tmp": "old\n", "dst/held/y.tmp": "old\n",
        "outside/f.txt": "old\n"})


@pytest.mark.parametrize("direction", ["put", "get"])
def test_several_sources_land_in_the_target_under_their_own_names(remote, tmp_path, direction):
    top, twin = remote
    here, there = (Path(twin), tmp_path) if direction == "get" else (tmp_path, Path(twin))
    make(here, ["one.txt", "tree/x/y.txt"])
    sources = [str(top.join(n)) if direction == "get" else str(here / n) for n in ("one.txt", "tree")]
    result = run([], direction, *sources, str(top.join("new")) if direction == "put" else str(there / "new"))
    assert (result.returncode, result.stderr, result.stdout.startswith(f"{direction}: 2 files")) == (0, "", True)
    assert paths(there / "new") == {"one.txt", "tree/", "tree/x/", "tree/x/y.txt"}


@pytest.mark.parametrize("args, status, tree", [
    (["f.txt", "g.txt"], 0, {"g.txt": "f", "h.txt": "h", "d/in.txt": "i"}),
    (["f.txt", "d"], 0, {"d/f.txt": "f", "h.txt": "h", "d/in.txt": "i"}),  # into a directory that exists
    (["d", "e"], 0, {"f.txt": "f", "h.txt": "h", "e/in.txt": "i"}),
    (["f.txt", "h.txt", "d"], 0, {"d/f.txt": "f", "d/h.txt": "h", "d/in.txt": "i"}),
    (["f.txt", "h.txt", "none"], 1, {"f.txt": "f", "h.txt": "h", "d/in.txt": "i"}),
    (["missing", "x"], 1, {"f.txt": "f", "h.txt": "h", "d/in.txt": "i"}),
])
def test_mv_renames_on_the_server(remote, args, status, tree):
    top, twin = remote
    for name, text in (("f.txt", "f"), ("h.txt", "h"), ("d/in.txt", "i")):
        make(twin, [name], text)
    result = run([], "mv", *[str(top.join(a)) for a in args])
    assert (result.returncode, result.stderr.count("\n")) == (status, status)
    assert {p: Path(twin, p).read_text() for p in paths(twin) if not p.endswith("/")} == tree


def test_some_files_failing_is_exit_23_and_holds_back_that_runs_deletions(fault_server, faulty, tmp_path):
    options, name = faulty
    make(tmp_path / "a", ["big.bin"], "x" * 100_000)
    make(tmp_path / "b", ["small.txt"])
    make(Path(fault_server.root, name), ["a/extra.txt", "b/extra.txt"])
    fault_server.arm("STOR", "cut", times=3, after=1000)  # every try of the first file
    result = run(options, "put", "-j", "1", "--delete", str(tmp_path / "a"), str(tmp_path / "b"), f"/{name}",
                 password=servers.USER_PASSWORD)
    assert (result.returncode, result.stdout, result.stderr.count("\n")) == (cli.PARTIAL, "deleting b/extra.txt\n", 2)
    assert "nothing was deleted at" in result.stderr and "1 failed, 1 files copied" in result.stderr
    assert paths(Path(fault_server.root, name)) == {"a/", "a/extra.txt", "b/", "b/small.txt"}


@pytest.mark.parametrize("args, status, said", [
    (["put", "--exclude", "", "x", "/y"], 2, "a filter rule needs a pattern that names something"),
    (["get", "--include", "[z-a]", "/x", "y"], 2, "the filter pattern '[z-a]' cannot be read"),
    (["put", "-", "x", "/y"], 1, "'-' (standard input) is a source of its own"),
])
def test_a_mistake_in_what_to_copy_is_told_before_anything_moves(args, status, said):
    result = run(["--host", "127.0.0.1", "--port", "9", "--user", "u", "--password-env", PASSWORD_VAR], *args)
    assert (result.returncode, said in result.stderr.splitlines()[-1]) == (status, True)  # the last line says why
