"""exists, is_dir and mtime against the fake server: command texts, order, messages, resync."""

import datetime
import ftplib

import pytest

from corvane.base import Local
from fakes import QUIRKS, FakeServer


def tree(fake):
    fake.add_file("/d/f.txt", b"hello").add_file("/d/empty.bin").add_dir("/d/emptydir")
    fake.add_file("/d/.hidden", b"x").add_file("/d/star*.txt", b"s")


# (path, answer of exists, commands sent) for each server's manner of answering NLST.
PROBES = {
    "pyftpdlib": [("/d/f.txt", True, ["NLST /d/f.txt"]),
                  ("/d/emptydir", True, ["NLST /d/emptydir", "MDTM /d/emptydir", "PWD", "CWD /d/emptydir", "CWD /"]),
                  ("/nope", False, ["NLST /nope", "MDTM /nope", "PWD", "CWD /nope"])],
    "vsftpd": [("/nope", False, ["NLST /nope", "MDTM /nope", "PWD", "CWD /nope"]),
               ("/d/.hidden", True, ["NLST /d/.hidden", "MDTM /d/.hidden"])],
    "pureftpd": [("/d/f.txt", True, ["NLST /d/f.txt", "MDTM /d/f.txt"]),
                 ("/d/emptydir", True, ["NLST /d/emptydir"])],
    "proftpd": [("/nope", False, ["NLST /nope", "MDTM /nope", "PWD", "CWD /nope"])],
    "inetutils": [("/d/emptydir", True, ["NLST /d/emptydir", "MDTM /d/emptydir", "PWD", "CWD /d/emptydir",
                                         "CWD /"])],
}


@pytest.mark.parametrize("quirks, path, answer, commands",
                         [(q, *case) for q, cases in PROBES.items() for case in cases])
def test_exists_on_each_servers_manner(fake_path, fake, quirks, path, answer, commands):
    fake.quirks = QUIRKS[quirks]
    tree(fake)
    assert fake_path(path).exists is answer
    assert fake.commands() == commands
    assert fake.sessions[0].cwd == "/"


def test_a_pattern_character_is_never_trusted_to_nlst(fake_path, fake):
    tree(fake)
    assert fake_path("/d/star*.txt").exists is True
    assert fake.commands() == ["NLST /d/star*.txt", "MDTM /d/star*.txt"]


def test_valid_reset_once_per_caught_refusal_set(fake, counting):
    tree(fake)
    assert counting("/nope").exists is False  # NLST, MDTM and CWD all refused
    assert counting.resets == 1
    assert counting("/d/f.txt").exists is True
    assert counting.resets == 1


def test_a_temporary_error_other_than_450_passes_to_retry(fake, fake_path, monkeypatch):
    monkeypatch.setenv("CORVANE_RETRY_TIMES", "2")
    tree(fake)
    fake.fail("NLST /d/f.txt", ftplib.error_temp("421 busy"), ftplib.error_temp("421 busy"))
    with pytest.raises(ftplib.error_temp, match="421"):
        fake_path("/d/f.txt").exists
    assert len(fake.sessions) == 2  # the retry made a fresh client


def test_an_unexpected_reply_on_a_probe_passes_out(fake, fake_path, monkeypatch):
    monkeypatch.setenv("CORVANE_RETRY_TIMES", "1")
    fake.fail("MDTM /nope", ftplib.error_reply("150 what"))
    with pytest.raises(ftplib.error_reply):
        fake_path("/nope").exists


def test_a_failed_return_from_the_directory_drops_the_client(fake, fake_path):
    tree(fake)
    fake.fail("CWD /", ftplib.error_perm("550 gone"))
    p = fake_path("/d/emptydir")
    assert p.exists is True
    assert Local.getattr(p._key_on_thread()) is None
    assert p.exists is True and len(fake.sessions) == 2


def test_pwd_refused_means_no_directory_probe(fake, fake_path):
    tree(fake)
    fake.fail("PWD", ftplib.error_perm("550 no pwd"))
    assert fake_path("/d/emptydir").exists is False
    assert "CWD /d/emptydir" not in fake.commands()


@pytest.mark.parametrize("path, expected, resets", [
    ("/d/empty.bin", False, 0), ("/d/f.txt", False, 1), ("/d", True, 1)])
def test_is_dir(fake, counting, path, expected, resets):
    tree(fake)
    assert counting(path).is_dir() is expected
    assert counting.resets == resets
    assert fake.commands()[-1] == "RETR " + path
    assert fake.sessions[0].sendcmd("NOOP").startswith("200")  # still in step


def test_is_dir_reads_one_byte_at_most(fake, fake_path):
    fake.add_file("/big", b"x" * 100000)
    blocks = []
    client = fake_path("/big").client
    real = client.retrbinary
    client.retrbinary = lambda cmd, cb, blocksize=8192: real(cmd, lambda b: (blocks.append(b), cb(b)), blocksize)
    assert fake_path("/big").is_dir() is False
    assert blocks == [b"x"]


def test_is_dir_of_a_missing_path(fake, counting):
    with pytest.raises(FileNotFoundError) as info:
        counting("/nope").is_dir()
    assert str(info.value) == "'/nope' does not exist."
    assert not any(c.startswith("RETR") for c in fake.commands())
    assert counting.resets == 1


def test_unreadable_file_counts_as_a_directory(fake, fake_path):
    tree(fake)
    fake.fail("RETR /d/f.txt", ftplib.error_perm("550 Permission denied."))
    assert fake_path("/d/f.txt").is_dir() is True


@pytest.mark.parametrize("reply, expected", [
    ("213 20240102030405", datetime.datetime(2024, 1, 2, 11, 4, 5)),
    ("213 20240102030405.123", datetime.datetime(2024, 1, 2, 11, 4, 5)),
    ("213 20241231200000", datetime.datetime(2025, 1, 1, 4, 0, 0)),
    ("213   20240102030405  ", datetime.datetime(2024, 1, 2, 11, 4, 5)),
])
def test_mtime(fake, fake_path, reply, expected):
    tree(fake)
    p = fake_path("/d/f.txt")
    p.client.sendcmd = lambda cmd: reply if cmd == "MDTM /d/f.txt" else type(p.client).sendcmd(p.client, cmd)
    assert p.mtime == expected and p.mtime.tzinfo is None


@pytest.mark.parametrize("reply, error, message", [
    ("213 2024010203040X", ValueError, None),
    ("211 20240102030405", TypeError, "Cannot retrieve modification time for '/d/f.txt'. Response: "
                                      "211 20240102030405"),
])
def test_mtime_bad_replies(fake, fake_path, reply, error, message):
    tree(fake)
    p = fake_path("/d/f.txt")
    p.client.sendcmd = lambda cmd: reply
    with pytest.raises(error) as info:
        p.mtime
    if message:
        assert str(info.value) == message


def test_mtime_refused_becomes_type_error_with_context(fake, counting):
    tree(fake)
    with pytest.raises(TypeError) as info:
        counting("/d/emptydir").mtime
    assert str(info.value) == "'/d/emptydir' could not retrieve modification time."
    assert isinstance(info.value.__context__, ftplib.error_perm)
    assert info.value.__cause__ is None and not info.value.__suppress_context__
    assert info.value.__context__.__traceback__ is not None
    assert counting.resets == 2  # one in exists (the refused MDTM probe), one here


def test_mtime_of_a_missing_path(fake, fake_path):
    with pytest.raises(FileNotFoundError, match=r"^'/nope' does not exist\.$"):
        fake_path("/nope").mtime
    assert fake.commands().count("MDTM /nope") == 1  # the existence probe's, and no other


@pytest.mark.parametrize("op", ["exists", "is_dir", "mtime", "mkdir", "delete"])
@pytest.mark.parametrize("bad", ["/a\0.bak", "/a\nb", "/a\rb"])
def test_paths_ftp_cannot_carry_are_refused_before_sending(fake, fake_path, op, bad):
    with pytest.raises(ValueError) as info:
        value = getattr(fake_path(bad), op)
        if callable(value):
            value()
    assert str(info.value) == f"'{bad}' contains NUL, CR or LF, which FTP cannot carry."
    assert fake.log == []


def test_reading_a_property_twice_asks_twice(fake, fake_path):
    tree(fake)
    p = fake_path("/d/f.txt")
    p.exists, p.exists
    p.mtime, p.mtime
    assert fake.commands() == ["NLST /d/f.txt", "NLST /d/f.txt",
                               "NLST /d/f.txt", "MDTM /d/f.txt", "NLST /d/f.txt", "MDTM /d/f.txt"]
