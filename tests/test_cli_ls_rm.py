"""ls -l, -a, -R and rm -r through the command line, on the real servers."""

import os
import re

import pytest
from test_cli import fault_options, run

LINE = re.compile(r"([dl-]) +(\d+|-|\?)  (\d{4}-\d\d-\d\d(?: \d\d:\d\d(?::\d\d)?)?|\?) *  (.+?)/?(?: -> (.*))?")
TREE = {"a.txt": "a", ".dot": "d", "with blank.txt": "b", "sub/b": "b", "sub/.deep": "x", "dir x/c": "c"}
LINKS = {"l-file": "a.txt", "l-broken": "nothing", "l-dir": "sub"}


def make_tree(top, tree, links=LINKS):
    for name, text in tree.items():
        os.makedirs(os.path.dirname(os.path.join(top, name)), exist_ok=True)
        with open(os.path.join(top, name), "w") as f:
            f.write(text)
    for name, target in links.items():
        os.symlink(target, os.path.join(top, name))


@pytest.mark.parametrize("flags", ["-l", "-la", "-lR", "", "-a"])
def test_ls_lists_links_dot_files_and_blanks_from_one_listing(server, remote, flags):
    top, local = remote
    make_tree(local, TREE)
    result = run([], "ls", *[flags] * bool(flags), str(top))
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    if "l" in flags:
        parsed = [LINE.fullmatch(line).groups() for line in lines if line and not line.endswith(":")]
        names = [name for _, _, _, name, _ in parsed]
        # A target shows where LIST shows one, apart from the name; MLSD gives none.
        assert all(target in (None, LINKS.get(name)) for _, _, _, name, target in parsed)
    else:
        names = [line for line in lines if line and not line.endswith(":")]
        assert not any(" -> " in name for name in names)
    wanted = {"a.txt", "with blank.txt", "sub", "dir x", "l-file", "l-dir"} | ({".dot"} if "a" in flags else set())
    assert wanted <= set(names) <= wanted | {"l-broken", "b", "c", ".deep"}
    assert ((f"{top}/sub:" in lines, f"{top}/l-dir:" in lines, ".deep" in names) ==
            ("R" in flags, False, "R" in flags and "a" in flags))


def test_ls_l_of_200_files_takes_one_listing(fault_server, tmp_path):
    top = os.path.basename(tmp_path)
    make_tree(os.path.join(fault_server.root, top), {f"f{i:03}": "x" * i for i in range(200)}, {})
    fault_server.disarm()
    result = run(fault_options(fault_server), "ls", "-l", f"/{top}", password=fault_server.password)
    sent = [command.split(" ", 1)[0] for command in fault_server.commands()]
    assert (result.returncode, len(result.stdout.splitlines())) == (0, 200)
    assert ([c for c in sent if c in ("MLSD", "LIST", "SIZE", "MDTM", "RETR", "NLST")], len(sent) < 15) == (["MLSD"], True)


@pytest.mark.parametrize("tree", [{"dot dir/sub dir/.hidden": "h", "dot dir/.top": "t", "dot dir/x y": "z"},
                                  {"d/.a b/.c d/.e": "e", "d/.a b/f": "f"}])
def test_rm_r_removes_trees_with_blanks_and_dot_files(dots_hidden, tree):
    top, local = dots_hidden
    make_tree(local, tree, {"dot link": "nowhere"})
    result = run([], "rm", "-r", "--yes", str(top))
    assert (result.returncode, result.stderr, os.path.exists(local)) == (0, "", False)


@pytest.mark.parametrize("inner", ["sub", "a b"])
def test_a_refused_rmd_names_its_directory(fault_server, tmp_path, inner):
    top = os.path.basename(tmp_path)
    make_tree(os.path.join(fault_server.root, top), {f"{inner}/f": "f"}, {})
    fault_server.arm("RMD", "reply", times=10, reply="550 Directory not empty")
    result = run(fault_options(fault_server), "rm", "-r", "--yes", f"/{top}", password=fault_server.password)
    assert (result.returncode, f"directory '/{top}/{inner}' on" in result.stderr) == (1, True)
