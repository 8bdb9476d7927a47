"""ls -l, -a, -R and rm -r through the command line, on the real servers."""
import os
import re
from pathlib import Path

import pytest
from test_cli import fault_options, run

LINE = re.compile(r"([dl-]) +(\d+|-|\?)  (\d{4}-\d\d-\d\d(?: \d\d:\d\d(?::\d\d)?)?|\?) *  (.+?)/?(?: -> (.*))?")
TREE = {"a.txt": "a", ".dot": "d", "with blank.txt": "b", "sub/b": "b", "sub/.deep": "x", "dir x/c": "c"}
LINKS = {"l-file": "a.txt", "l-broken": "nothing", "l-dir": "sub"}


def make_tree(top, tree, links=LINKS):
    for name, text in tree.items():
        Path(top, name).parent.mkdir(parents=True, exist_ok=True)
        Path(top, name).write_text(text)
    for name, target in links.items():
        os.symlink(target, os.path.join(top, name))
    return os.path.basename(top)


@pytest.mark.parametrize("flags", ["-l", "-la", "-lR", "", "-aR"])
def test_ls_lists_links_dot_files_and_blanks_from_one_listing(server, remote, flags):
    make_tree(remote[1], TREE)
    result = run([], "ls", *[flags] * bool(flags), top := str(remote[0]))
    lines = [line for line in result.stdout.splitlines() if line and not line.endswith(":")]
    # A link's target shows apart from its name where LIST shows it; MLSD gives none.
    parsed = [LINE.fullmatch(line).groups() if "l" in flags else (0, 0, 0, line, None) for line in lines]
    assert (result.returncode, result.stderr) == (0, "")
    assert all(target in (None, LINKS.get(name)) for _, _, _, name, target in parsed)
    wanted = {"a.txt", "with blank.txt", "sub", "dir x", "l-file", "l-dir"} | ({".dot"} if "a" in flags else set())
    assert wanted <= {p[3] for p in parsed} <= wanted | {"l-broken", "b", "c", ".deep"}
    seen = set(result.stdout.splitlines()) | {p[3] for p in parsed}
    assert [shown in seen for shown in (f"{top}/sub:", f"{top}/dir x:", f"{top}/l-dir:", "c", ".deep")] == \
        ["R" in flags] * 2 + [False, "R" in flags, "R" in flags and "a" in flags]


def test_ls_l_of_200_files_takes_one_listing(fault_server, tmp_path):
    top = make_tree(os.path.join(fault_server.root, tmp_path.name), {f"f{i:03}": "x" * i for i in range(200)}, {})
    fault_server.disarm()
    result = run(fault_options(fault_server), "ls", "-l", f"/{top}", password=fault_server.password)
    sent = [command.split(" ", 1)[0] for command in fault_server.commands()]
    assert (result.returncode, len(result.stdout.splitlines()), len(sent) < 15) == (0, 200, True)
    assert [c for c in sent if c in ("MLSD", "LIST", "SIZE", "MDTM", "RETR", "NLST")] == ["MLSD"]


@pytest.mark.parametrize("tree", [{"dot dir/sub dir/.hidden": "h", "dot dir/.top": "t", "dot dir/x y": "z"},
                                  {"d/.a b/.c d/.e": "e", "d/.a b/f": "f"}])
def test_rm_r_removes_trees_with_blanks_and_dot_files(dots_hidden, tree):
    make_tree(dots_hidden[1], tree, {"dot link": "nowhere"})
    result = run([], "rm", "-r", "--yes", str(dots_hidden[0]))
    assert (result.returncode, result.stderr, os.path.exists(dots_hidden[1])) == (0, "", False)
