"""exists and is_dir against a real server, through the real ftplib factory."""

import os

import pytest

pytestmark = pytest.mark.group("queries")


def test_exists_and_is_dir(remote):
    top, local = remote
    with open(os.path.join(local, "file.txt"), "wb") as f:
        f.write(b"hello, world\n" * 1000)
    open(os.path.join(local, "empty.bin"), "wb").close()
    os.mkdir(os.path.join(local, "emptydir"))

    answers = {name: (top.join(name).exists, top.join(name).is_dir() if top.join(name).exists else None)
               for name in ["file.txt", "empty.bin", "emptydir", "missing"]}
    assert answers == {
        "file.txt": (True, False),
        "empty.bin": (True, False),
        "emptydir": (True, True),
        "missing": (False, None),
    }
    with pytest.raises(FileNotFoundError, match=r"^'.*/missing' does not exist\.$"):
        top.join("missing").is_dir()
