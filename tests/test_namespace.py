"""mkdir and delete against the fake server: command texts, order, messages and contexts."""

import ftplib

import pytest
from fakes import QUIRKS


def mkd_and_probes(fake):
    return [c for c in fake.commands() if c.split(" ")[0] in ("MKD", "NLST")]


def test_mkdir_makes_missing_ancestors_top_down(fake, fake_path):
    fake.add_dir("/a")
    assert fake_path("/a/b/c/d").mkdir() is None
    assert [c for c in fake.commands() if c.startswith("MKD")] == ["MKD /a/b", "MKD /a/b/c", "MKD /a/b/c/d"]
    assert all(fake.is_dir(p) for p in ("/a/b", "/a/b/c", "/a/b/c/d"))


def test_mkdir_of_an_existing_directory_sends_no_mkd(fake, fake_path):
    fake.add_file("/a/b/x", b"x")
    assert fake_path("/a/b").mkdir() is None
    assert fake.commands() == ["NLST /a", "NLST /a/b", "NLST /a/b", "RETR /a/b"]


@pytest.mark.parametrize("path, first", [("top", "NLST top"), ("/top", "NLST /top")])
def test_the_parent_of_one_component_is_never_tested(fake, fake_path, path, first):
    fake_path(path).mkdir()
    commands = fake.commands()
    assert commands[0] == first and commands[-1] == f"MKD {path}"
    assert not any(c.endswith((" .", " /")) for c in commands)


def test_a_refused_mkd_becomes_file_not_found_with_context(fake, counting):
    fake.add_file("/a/file", b"x")  # a file where the directory should be
    with pytest.raises(FileNotFoundError) as info:
        counting("/a/file").mkdir()
    assert str(info.value) == "Failed to create directory '/a/file'."
    assert isinstance(info.value.__context__, ftplib.error_perm) and info.value.__cause__ is None
    assert fake.commands()[-1] == "MKD /a/file"
    assert counting.resets == 2  # one for is_dir's cut retrieval, one for the refusal


def test_a_failing_parent_passes_its_own_error_and_nothing_is_sent_for_the_child(fake, counting):
    fake.fail("MKD /a", ftplib.error_perm("550 Permission denied."))
    with pytest.raises(FileNotFoundError) as info:
        counting("/a/b").mkdir()
    assert str(info.value) == "Failed to create directory '/a'."
    assert not any(c.endswith("/a/b") and c.startswith("MKD") for c in fake.commands())


def test_a_temporary_error_of_mkd_reaches_retry(fake, fake_path, monkeypatch):
    monkeypatch.setenv("CORVANE_RETRY_TIMES", "2")
    fake.fail("MKD /new", ftplib.error_temp("450 busy"))
    fake_path("/new").mkdir()
    assert fake.is_dir("/new") and len(fake.sessions) == 2


def test_delete_of_a_file_and_of_an_empty_directory(fake, fake_path):
    fake.add_file("/d/f", b"x").add_dir("/d/e")
    fake_path("/d/f").delete()
    fake_path("/d/e").delete()
    assert [c for c in fake.commands() if c.split(" ")[0] in ("DELE", "RMD", "LIST")] == [
        "DELE /d/f", "LIST /d/e", "RMD /d/e"]
    assert fake.fs == {"/": None, "/d": None}


def test_delete_of_a_missing_path_sends_no_removal(fake, fake_path):
    with pytest.raises(FileNotFoundError, match=r"^'/nope' does not exist\.$"):
        fake_path("/nope").delete()
    assert not any(c.startswith(("DELE", "RMD")) for c in fake.commands())


def test_a_refused_removal_passes_out_and_what_was_removed_stays_removed(fake, fake_path):
    fake.add_file("/d/a", b"a").add_file("/d/b", b"b")
    fake.fail("DELE /d/b", ftplib.error_perm("550 Permission denied."))
    with pytest.raises(ftplib.error_perm, match="Permission denied"):
        fake_path("/d").delete()
    assert "/d/a" not in fake.fs and fake.fs["/d/b"] == b"b" and fake.is_dir("/d")
    assert "RMD /d" not in fake.commands()


REMOVALS = ("LIST", "DELE", "RMD")
HIDDEN_FOUND = ["RMD /d/sub", "LIST -a /d/sub", "DELE /d/sub/.g"]


@pytest.mark.parametrize("quirks, dots, sent", [
    ("vsftpd", True, ["LIST /d", "LIST /d/sub", *HIDDEN_FOUND, "RMD /d/sub", "DELE /d/a", "DELE /d/to_dir",
                      "DELE /d/broken", "RMD /d", "LIST -a /d", "DELE /d/.h", "RMD /d"]),
    ("vsftpd", False, ["LIST /d", "LIST /d/sub", "RMD /d/sub", "DELE /d/a", "DELE /d/to_dir", "DELE /d/broken",
                       "RMD /d"]),
    ("pyftpdlib", True, ["LIST /d", "LIST /d/sub", "DELE /d/sub/.g", "RMD /d/sub", "DELE /d/a", "DELE /d/.h",
                         "DELE /d/to_dir", "DELE /d/broken", "RMD /d"]),
])
def test_tree_delete_removes_links_by_name_and_hidden_entries_only_after_a_refusal(fake, fake_path, quirks, dots,
                                                                                   sent):
    fake.quirks = QUIRKS[quirks]
    fake.add_dir("/d/sub").add_file("/d/a", b"a").add_file("/outside/keep", b"k")
    if dots:
        fake.add_file("/d/sub/.g", b"g").add_file("/d/.h", b"h")
    fake.links.update({"/d/to_dir": "/outside", "/d/broken": "nowhere"})
    fake_path("/d").delete()
    assert [c for c in fake.commands() if c.startswith(REMOVALS)] == sent
    assert not any("outside" in c or "->" in c for c in fake.commands())
    assert fake.fs == {"/": None, "/outside": None, "/outside/keep": b"k"} and not fake.links


@pytest.mark.parametrize("quirks, sent", [("vsftpd", ["RMD /d", "LIST -a /d", "RMD /d"]),
                                          ("pyftpdlib", ["RMD /d", "LIST -a /d"])])
def test_a_refused_rmd_still_passes_out(fake, fake_path, quirks, sent):
    fake.quirks = QUIRKS[quirks]
    fake.add_dir("/d").fail("RMD /d", *[ftplib.error_perm(f"550 Permission denied ({n}).") for n in (1, 2)])
    with pytest.raises(ftplib.error_perm, match=f"denied \\({len(sent) - 1}\\)"):
        fake_path("/d").delete()
    assert fake.commands()[-len(sent):] == sent


@pytest.mark.parametrize("made_meanwhile", [True, False])
def test_a_refused_mkd_asks_once_more_whether_another_session_made_it(fake, fake_path, made_meanwhile):
    refusal = ftplib.error_perm("550 Create directory operation failed.")
    fake.add_dir("/a").fail("MKD /a/new", (lambda: fake.add_dir("/a/new") and refusal) if made_meanwhile else refusal)
    if made_meanwhile:
        assert fake_path("/a/new").mkdir() is None
    else:
        with pytest.raises(FileNotFoundError, match=r"^Failed to create directory '/a/new'\.$") as info:
            fake_path("/a/new").mkdir()
        assert info.value.__context__ is refusal
    after = fake.commands()[fake.commands().index("MKD /a/new") + 1:]
    probes = ["NLST /a/new", "MDTM /a/new", "PWD", "CWD /a/new"]
    assert after == (probes + ["CWD /", "RETR /a/new"] if made_meanwhile else probes)
