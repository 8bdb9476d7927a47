"""No operation leaks a reference: each runs 1,000 times against the fake server and
no object it touches gains references, on success paths and error paths alike."""

import ftplib
import gc
import sys

import pytest

import corvane.ftp.path as module
from corvane.base import Local
from fakes import FakeServer

RUNS = 1000


def scenario_objects(path, client, extra):
    import corvane.config
    return [path, path.path, client, type(path), type(client), module.FTPPath, module.interrupt, Local,
            corvane.config.EnvConfig, ftplib.error_perm, ftplib.error_temp, ftplib.error_reply,
            InterruptedError, FileNotFoundError, TypeError, ValueError, *extra]


def run_quietly(action):
    try:
        action()
    except Exception:
        pass


def expect_raises(error, action):
    def run():
        try:
            action()
        except error:
            return
        raise AssertionError(f"{action} did not raise {error.__name__}")
    return run


def build(fake):
    fake.add_file("/d/f.txt", b"hello" * 100).add_file("/d/empty.bin").add_dir("/d/sub")
    fake.add_file("/d/sub/x", b"x")


# name -> (setup, action(path class) -> callable, extra objects touched)
def scenarios(P, fake, local="/nonexistent"):
    pattern, bad_section, data, bad_data = "*.txt", b"ftp", b"payload" * 100, bytearray(b"x")
    return {
        "read": (lambda: P("/d/f.txt").read(), []),
        "read-directory": (expect_raises(TypeError, lambda: P("/d/sub").read()), []),
        "read-missing": (expect_raises(FileNotFoundError, lambda: P("/nope").read()), []),
        "write": (lambda: P("/d/w/out.bin").write(data), [data]),
        "write-bad-type": (expect_raises(TypeError, lambda: P("/d/out.bin").write(bad_data)), [bad_data]),
        "upload-tree": (lambda: P("/d/up").upload(local), [local]),
        "upload-bad-type": (expect_raises(TypeError, lambda: P("/d/up").upload(data)), [data]),
        "glob": (lambda: [p for p in P("/d").glob(pattern)], [pattern]),
        "glob-file": (expect_raises(TypeError, lambda: next(P("/d/f.txt").glob())), []),
        "exists": (lambda: P("/d/f.txt").exists, []),
        "exists-missing": (lambda: P("/nope").exists, []),
        "exists-empty-dir": (lambda: P("/d/sub").exists and P("/d/emptydir").exists, []),
        "is_dir-file-interrupt": (lambda: P("/d/f.txt").is_dir(), []),
        "is_dir-dir-refused": (lambda: P("/d/sub").is_dir(), []),
        "is_dir-missing": (expect_raises(FileNotFoundError, lambda: P("/nope").is_dir()), []),
        "mtime": (lambda: P("/d/f.txt").mtime, []),
        "mtime-refused": (expect_raises(TypeError, lambda: P("/d/sub").mtime), []),
        "mkdir-existing": (lambda: P("/d/sub").mkdir(), []),
        "mkdir-refused": (expect_raises(FileNotFoundError, lambda: P("/d/f.txt").mkdir()), []),
        "mkdir-delete": (lambda: (P("/d/new/deeper").mkdir(), P("/d/new").delete()), []),
        "reset": (lambda: P("/d")._reset("ftp"), []),
        "reset-bad-type": (expect_raises(TypeError, lambda: P("/d")._reset(bad_section)), [bad_section]),
        "bad-path": (expect_raises(ValueError, lambda: P("/d/a\0b").exists), []),
        "interrupt": (expect_raises(InterruptedError, lambda: module.interrupt(1, k=pattern)), [pattern]),
    }


NAMES = list(scenarios(None, None))


@pytest.mark.parametrize("name", NAMES)
def test_no_references_gained(fake, fake_path, name, tmp_path):
    build(fake)
    (tmp_path / "a.txt").write_bytes(b"a")
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "b.txt").write_bytes(b"b")
    action, extra = scenarios(fake_path, fake, str(tmp_path))[name]
    probe = fake_path("/d")
    client = probe.client

    def once():
        # Keep the fake's records from growing: they are the test's, not the module's.
        del fake.log[:]
        del fake.sessions[1:]
        if Local.getattr(probe._key_on_thread()) is not client:
            Local.setattr(probe._key_on_thread(), client)
        action()

    for _ in range(20):
        once()
    gc.collect()
    watched = scenario_objects(probe, client, extra)
    before = [sys.getrefcount(o) for o in watched]
    objects_before = len(gc.get_objects())
    for _ in range(RUNS):
        once()
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    gained = {repr(o)[:60]: a - b for o, a, b in zip(watched, after, before) if a != b}
    assert gained == {}
    assert len(gc.get_objects()) - objects_before < 50
