"""What a server lists is its word: glob and delete stay inside the listed directory, and a listing is capped."""

import contextlib
import ftplib

import pytest

from corvane.ftp import limits
from fakes import LIST_LINE

HOSTILE = ["/etc/app/secret.log", "../../x.log", "a/b.log", "../x", "/x", "../../dir", "/", "..", ".", "x\0y",
           "a\rDELE /keep", "a\nRMD /top"]
KEPT = ("/keep", "/x", "/top/x", "/top/dir/f", "/etc/app/secret.log")


def inside(command, top="/top/d"):  # names nothing but `top` and what lies in it (the way back to "/" aside)
    arg = command.partition(" ")[2].removeprefix("-a ")
    return (not arg or command == "CWD /" or (arg == top or arg.startswith(top + "/"))
            and ".." not in arg.split("/") and not set("\0\r\n") & set(arg))


@pytest.mark.parametrize("mode", ["-rw-r--r--", "drwxr-xr-x", "lrwxrwxrwx"])
@pytest.mark.parametrize("name", HOSTILE)
@pytest.mark.parametrize("operation", ["glob", "delete"])
def test_glob_and_delete_never_leave_the_directory(fake, fake_path, operation, name, mode):
    for path in KEPT + ("/top/d/ok",):
        fake.add_file(path, b"k")
    fake.links["/top/d/ln"] = "../../etc/passwd"  # a link out of the tree, itself inside it: glob leaves it out
    fake.listing_extra["/top/d"] = [LIST_LINE.format(mode=mode, size=0, name=name + " -> t" * (mode[0] == "l"))]
    got = list(fake_path("/top/d").glob()) if operation == "glob" else fake_path("/top/d").delete()
    assert got == [fake_path("/top/d/ok")] if operation == "glob" else not fake.is_dir("/top/d")
    assert [c for c in fake.commands() if not inside(c)] == [] and all(p in fake.fs for p in KEPT)


@pytest.mark.parametrize("command, where", [("DELE /d/f", "/d"), ("DELE /d/sub/f", "/d/sub"), ("RMD /d", "/d"),
                                            ("RMD /d/sub", "/d/sub"), ("LIST /d/sub", "/d/sub")])
def test_an_error_of_a_tree_delete_names_its_directory(fake, fake_path, command, where):
    fake.add_file("/d/f").add_file("/d/sub/f").fail(command, refusal := ftplib.error_perm("550 Permission denied."))
    with pytest.raises(ftplib.error_perm) as caught:
        fake_path("/d").delete()
    assert caught.value is refusal and str(refusal) == "550 Permission denied." and refusal.__notes__ == [
        f"while deleting the remote directory '{where}' on fake.invalid"]


@pytest.mark.parametrize("operation", ["glob", "delete"])
@pytest.mark.parametrize("spare", [0, -1])
def test_a_listing_past_the_cap_stops_and_the_client_goes_on(fake, fake_path, monkeypatch, operation, spare):
    size = sum(len(LIST_LINE.format(mode="-rw-r--r--", size=0, name=f"f{i:02}")) + 1 for i in range(50))
    monkeypatch.setenv(limits.LISTING_BYTES_VAR, str(size + spare))
    for i in range(50):
        fake.add_file(f"/d/f{i:02}")
    with pytest.raises(limits.ListingTooLong, match=f"^the listing of '/d' on fake.invalid is longer than {size - 1} "
                       f"bytes; set {limits.LISTING_BYTES_VAR} ") if spare < 0 else contextlib.nullcontext():
        {"glob": lambda: list(fake_path("/d").glob()), "delete": fake_path("/d").delete}[operation]()
    assert fake.is_dir("/d") == (spare < 0 or operation == "glob") and fake_path("/").is_dir()


def test_a_long_listing_from_a_real_server_stops_and_the_next_listing_works(remote, monkeypatch):
    top, local = remote
    for i in range(200):
        open(f"{local}/f{i:03}", "w").close()
    monkeypatch.setenv(limits.LISTING_BYTES_VAR, "2000")
    with pytest.raises(limits.ListingTooLong, match=f"^the listing of '{top}' on .* is longer than 2000 bytes"):
        next(top.glob())
    monkeypatch.delenv(limits.LISTING_BYTES_VAR)
    assert len(list(top.glob())) == 200
