"""exists, is_dir and mtime against a real server, through the real ftplib factory."""

import datetime
import os

import pytest

pytestmark = pytest.mark.group("queries")


def make(local, name, content=None):
    path = os.path.join(local, name)
    if content is None:
        os.mkdir(path)
    else:
        with open(path, "wb") as f:
            f.write(content)
    return path


@pytest.fixture
def entries(remote):
    top, local = remote
    make(local, "file.txt", os.urandom(3 << 20))
    make(local, "empty.bin", b"")
    make(local, "emptydir")
    make(local, "full dir")
    make(local, "full dir/inner.txt", b"x")
    make(local, ".dotfile", b"hidden")
    return top


@pytest.mark.parametrize("name, exists, is_dir", [
    ("file.txt", True, False), ("empty.bin", True, False), ("emptydir", True, True),
    ("full dir", True, True), (".dotfile", True, False), ("full dir/inner.txt", True, False),
])
def test_existing_entries(entries, name, exists, is_dir):
    p = entries.join(name)
    assert p.exists is exists
    assert p.is_dir() is is_dir


@pytest.mark.parametrize("name", ["missing", "missing/deeper", "emptydir/missing"])
def test_missing_entries(entries, name):
    p = entries.join(name)
    assert p.exists is False
    with pytest.raises(FileNotFoundError) as info:
        p.is_dir()
    assert str(info.value) == f"'{p}' does not exist."


def test_the_session_stays_in_step_after_a_cut_retrieval(entries):
    big = entries.join("file.txt")
    client = big.client
    for _ in range(3):
        assert big.is_dir() is False
        # Had the transfer's final reply been left unread, each answer below would be the previous one's.
        assert client.sendcmd("NOOP").startswith("200")
        assert client.pwd() == "/"
        assert entries.join("emptydir").is_dir() is True
        assert entries.join("missing").exists is False
    assert big.client is client  # no reconnect was needed


def test_mtime_of_a_file(entries, remote):
    _, local = remote
    path = os.path.join(local, "file.txt")
    os.utime(path, (1700000000.25, 1700000000.25))
    assert entries.join("file.txt").mtime == datetime.datetime(2023, 11, 15, 6, 13, 20)
    with pytest.raises(TypeError, match=r"could not retrieve modification time\.$"):
        entries.join("emptydir").mtime
