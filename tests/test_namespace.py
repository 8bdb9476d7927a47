"""mkdir and delete against the fake server: command texts, order, messages and contexts."""

import contextlib
import ftplib
import threading

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


BASE = "LIST /d|LIST /d/sub|{sub}RMD /d/sub|DELE /d/a|{h1}DELE /d/ln|DELE /d/broken|RMD /d|{top}"


@pytest.mark.parametrize("quirks, dots, refusals, sent", [
    ("vsftpd", True, 0, BASE.format(sub="RMD /d/sub|LIST -a /d/sub|DELE /d/sub/.g|", h1="",
                                    top="LIST -a /d|DELE /d/.h|RMD /d|")),
    ("pyftpdlib", True, 0, BASE.format(sub="DELE /d/sub/.g|", h1="DELE /d/.h|", top="")),
    ("vsftpd", False, 0, BASE.format(sub="", h1="", top="")),
    ("vsftpd", False, 2, BASE.format(sub="", h1="", top="LIST -a /d|RMD /d|")),  # the second refusal passes out
    ("pyftpdlib", False, 2, BASE.format(sub="", h1="", top="LIST -a /d|")),  # LIST -a refused: the first does
])
def test_tree_delete_of_links_and_hidden_entries(fake, fake_path, quirks, dots, refusals, sent):
    fake.quirks = QUIRKS[quirks]
    fake.add_dir("/d/sub").add_file("/d/a").add_file("/out/keep").fail("RMD /d", *[ftplib.error_perm("550")] * refusals)
    if dots:
        fake.add_file("/d/sub/.g").add_file("/d/.h")
    fake.links.update({"/d/ln": "/out", "/d/broken": "nowhere"})
    with pytest.raises(ftplib.error_perm) if refusals else contextlib.nullcontext():
        fake_path("/d").delete()
    assert "".join(c + "|" for c in fake.commands() if c.startswith(("LIST", "DELE", "RMD"))) == sent
    assert fake.fs["/out/keep"] == b"" and fake.is_dir("/d") == bool(refusals)


def test_a_refused_mkd_is_no_failure_when_another_session_made_the_directory(fake, fake_path):
    fake.add_dir("/a").fail("MKD /a/new", lambda: fake.add_dir("/a/new") and ftplib.error_perm("550 Exists"))
    assert fake_path("/a/new").mkdir() is None
    assert fake.commands()[-7:] == ["MKD /a/new", "NLST /a/new", "MDTM /a/new", "PWD", "CWD /a/new", "CWD /",
                                    "RETR /a/new"]


@pytest.mark.parametrize("operation", ["mkdir", "delete", "upload"])
def test_a_deep_tree_raises_recursion_error_on_a_small_thread_stack(fake, fake_path, tmp_path, operation):
    deep = "/d" * 600  # each level a native call: 600 overflowed a 256 KiB stack
    fake.add_dir("/t" + deep)
    tmp_path.joinpath(deep[1:]).mkdir(parents=True)
    call = {"mkdir": fake_path("/u" + deep).mkdir, "delete": fake_path("/t").delete,
            "upload": lambda: fake_path("/u").upload(str(tmp_path))}[operation]
    raised, previous = [], threading.stack_size(256 * 1024)
    worker = threading.Thread(target=lambda: raised.append(pytest.raises(RecursionError, call)))
    worker.start()
    threading.stack_size(previous)
    worker.join()
    assert raised, "no RecursionError (see the thread's exception above)"
