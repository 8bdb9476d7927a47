"""What a server lists is its word: glob and delete stay inside the listed directory, and a listing is capped."""

import ftplib

import pytest

import fakes

from corvane.ftp import limits

HOSTILE = ["/etc/app/secret.log", "../../x.log", "a/b.log", "../x", "/x", "../../dir", "/", "..", ".",
           "x\0y", "a\rDELE /keep", "a\nRMD /top"]
MODES = {"file": "-rw-r--r--", "dir": "drwxr-xr-x", "link": "lrwxrwxrwx"}
KEPT = ("/keep", "/x", "/top/x", "/top/dir", "/etc/app/secret.log")


def line(kind, name):
    return f"{MODES[kind]}   1 user     group           0 Dec 08 19:59 {name}" + (" -> t" if kind == "link" else "")


def strays(fake, top):
    """The commands that named anything but `top` and what lies inside it (CWD back to "/" aside)."""
    def inside(arg):
        return (arg == top or arg.startswith(top + "/")) and ".." not in arg.split("/") and not set("\0\r\n") & set(arg)
    return [c for c in fake.commands() if " " in c and c != "CWD /" and not inside(c.split(" ", 1)[1].removeprefix("-a "))]


@pytest.fixture
def hostile(fake):
    fake.add_file("/top/d/ok", b"1").add_dir("/top/dir")
    for path in KEPT[:3] + KEPT[4:]:
        fake.add_file(path, b"k")
    return lambda name, kind: fake.listing_extra.__setitem__("/top/d", [line(kind, name)])


@pytest.mark.parametrize("kind", MODES)
@pytest.mark.parametrize("name", HOSTILE)
def test_glob_never_leaves_the_directory(fake, fake_path, hostile, name, kind):
    hostile(name, kind)
    assert [str(e) for e in fake_path("/top/d").glob()] == ["/top/d/ok"]
    assert strays(fake, "/top/d") == []


@pytest.mark.parametrize("kind", MODES)
@pytest.mark.parametrize("name", HOSTILE)
def test_delete_never_leaves_the_tree(fake, fake_path, hostile, name, kind):
    hostile(name, kind)
    fake_path("/top/d").delete()
    assert strays(fake, "/top/d") == []
    assert not fake.is_dir("/top/d") and all(path in fake.fs for path in KEPT)


@pytest.mark.parametrize("target, delivered", [("t", ["/top/d/ln -> t"]), ("/etc/passwd", []), ("../up", [])])
def test_glob_delivers_a_link_only_with_a_target_inside(fake, fake_path, target, delivered):
    fake.add_dir("/top/d").links["/top/d/ln"] = target
    assert [str(e) for e in fake_path("/top/d").glob()] == delivered


@pytest.mark.parametrize("command, where", [("DELE /top/d/f", "/top/d"), ("DELE /top/d/sub/f", "/top/d/sub"),
                                            ("RMD /top/d/sub", "/top/d/sub"), ("LIST /top/d/sub", "/top/d/sub"),
                                            ("RMD /top/d", "/top/d")])
def test_an_error_of_a_tree_delete_names_its_directory(fake, fake_path, command, where):
    fake.add_file("/top/d/f").add_file("/top/d/sub/f")
    refusal = ftplib.error_perm("550 Permission denied.")
    fake.fail(command, refusal)
    with pytest.raises(ftplib.error_perm) as caught:
        fake_path("/top/d").delete()
    assert caught.value is refusal and str(refusal) == "550 Permission denied."
    assert refusal.__notes__ == [f"while deleting the remote directory '{where}' on fake.invalid"]


@pytest.mark.parametrize("operation", ["glob", "delete"])
@pytest.mark.parametrize("spare", [0, -1])
def test_a_listing_longer_than_the_cap_stops_and_the_client_stays_usable(fake, fake_path, monkeypatch, operation,
                                                                         spare):
    lines = [fakes.LIST_LINE.format(mode="-rw-r--r--", size=0, name=f"f{i:02}") for i in range(50)]
    monkeypatch.setenv(limits.LISTING_BYTES_VAR, str(sum(len(t) + 1 for t in lines) + spare))
    for i in range(50):
        fake.add_file(f"/d/f{i:02}")
    fake.add_file("/small/a")
    run = {"glob": lambda: list(fake_path("/d").glob()), "delete": fake_path("/d").delete}[operation]
    if spare < 0:
        with pytest.raises(limits.ListingTooLong, match=f"^the listing of '/d' on fake.invalid is longer than "
                                                        f"{sum(len(t) + 1 for t in lines) - 1} bytes; set "):
            run()
    else:
        run()
        assert operation == "glob" or not fake.is_dir("/d")
    assert [str(e) for e in fake_path("/small").glob()] == ["/small/a"]


def test_a_wrong_cap_is_refused_before_anything_is_listed(fake, fake_path, monkeypatch):
    monkeypatch.setenv(limits.LISTING_BYTES_VAR, "lots")
    fake.add_dir("/d")
    with pytest.raises(ValueError, match="CORVANE_MAX_LISTING_BYTES='lots'"):
        next(fake_path("/d").glob())
    assert not any(c.startswith("LIST") for c in fake.commands())


def test_a_long_listing_from_a_real_server_stops_and_the_next_listing_works(remote, monkeypatch):
    top, local = remote
    for i in range(200):
        open(f"{local}/f{i:03}", "w").close()
    monkeypatch.setenv(limits.LISTING_BYTES_VAR, "2000")
    with pytest.raises(limits.ListingTooLong, match=f"^the listing of '{top}' on .* is longer than 2000 bytes"):
        next(top.glob())
    monkeypatch.delenv(limits.LISTING_BYTES_VAR)
    assert len(list(top.glob())) == 200
