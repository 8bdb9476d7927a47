"""The stand-ins for the sibling modules: configuration, per-thread slots, retry, resync."""

import ftplib
import threading

import pytest

from corvane.base import BasePath, Local, retry
from corvane.config import EnvConfig
from corvane.ftp.path import FTPPath


@pytest.fixture
def ini(tmp_path, monkeypatch):
    f = tmp_path / "corvane.ini"
    monkeypatch.setenv("CORVANE_CONFIG", str(f))
    return f


def test_read_config_takes_the_sections_own_options(ini):
    ini.write_text("[DEFAULT]\nuser = everyone\n\n[ftp]\nhost = 127.0.0.9\npasswd = p%40ss%\n"
                   "timeout = 2.5\nsource_address = 127.0.0.1:4000\npasv = no\n")
    assert FTPPath("/")._read_config("ftp") == {
        "host": "127.0.0.9", "passwd": "p%40ss%", "timeout": 2.5, "source_address": ("127.0.0.1", 4000)}
    ini.write_text("[ftp]\nhost = h\nsource_address = 10.1.1.1\n")
    assert FTPPath("/")._read_config("ftp") == {"host": "h", "timeout": 60.0, "source_address": ("10.1.1.1", 0)}


@pytest.mark.parametrize("content, pattern", [
    (None, "config file .* does not exist"),
    ("[other]\nhost = h\n", r"no \[ftp\] section in config file"),
])
def test_missing_configuration_says_what_to_do(ini, content, pattern):
    if content is not None:
        ini.write_text(content)
    with pytest.raises(LookupError, match=pattern):
        FTPPath("/")._read_config("ftp")


def test_unreadable_config_raises_its_os_error(ini):
    ini.mkdir()
    with pytest.raises(IsADirectoryError):
        FTPPath("/")._read_config("ftp")


def test_init_configer_reads_afresh_without_interpolation(ini, monkeypatch):
    ini.write_text("[ftp]\npasswd = 100%\n")
    assert EnvConfig.init_configer().get("ftp", "passwd") == "100%"
    ini.write_text("[ftp]\npasswd = other\n")
    assert EnvConfig.init_configer().get("ftp", "passwd") == "other"
    monkeypatch.delenv("CORVANE_CONFIG")
    assert EnvConfig.init_configer().sections() == []


def test_local_slots_are_per_thread():
    Local.setattr("k", "main")
    seen = []
    t = threading.Thread(target=lambda: seen.append(Local.getattr("k", "none")))
    t.start()
    t.join()
    assert seen == ["none"] and Local.getattr("k") == "main"
    Local.delattr("k")
    Local.delattr("k")  # an empty slot is no error
    assert Local.getattr("k") is None


def test_base_path_value_semantics(tmp_path):
    class Other(BasePath):
        pass
    p = FTPPath("/a/b")
    assert str(p) == "/a/b" and repr(p) == "FTPPath('/a/b')"
    assert p == FTPPath("/a/b") and hash(p) == hash(FTPPath("/a/b")) and p != Other("/a/b")
    assert p.parent == FTPPath("/a") and p.join("c", "d") == FTPPath("/a/b/c/d")
    assert FTPPath(tmp_path).path.as_posix() == str(tmp_path)
    with pytest.raises(TypeError):
        FTPPath(3)


class Recorder(BasePath):
    """A path kind whose _reset only counts, to watch retry."""
    _section = ("rec",)

    def __init__(self, path, resets):
        super().__init__(path)
        self.resets = resets

    def _reset(self, section):
        self.resets.append(section)
        return self.resets_fail.pop(0) if getattr(self, "resets_fail", None) else None


def test_retry_tries_again_on_a_fresh_client(monkeypatch):
    monkeypatch.setenv("CORVANE_RETRY_TIMES", "4")
    calls = []

    @retry(ftplib.error_temp)
    def op(self):
        calls.append(1)
        if len(calls) < 3:
            raise ftplib.error_temp("421 busy")
        return "done"

    p = Recorder("/", [])
    assert op(p) == "done" and len(calls) == 3 and p.resets == ["rec", "rec"]


def test_retry_gives_up_after_times_and_sleeps_exponentially(monkeypatch):
    sleeps = []
    monkeypatch.setattr("corvane.base.time.sleep", sleeps.append)
    error = ftplib.error_temp("450 later")  # one object, raised by every call (as a mock's side_effect is)

    @retry(ftplib.error_temp, times=3, delay=0.5)
    def op(self):
        raise error

    for _ in range(2):  # each call gets all its tries
        with pytest.raises(ftplib.error_temp):
            op(Recorder("/", []))
    assert sleeps == [0.5, 1.0] * 2


def test_retry_passes_other_errors_at_once():
    calls = []

    @retry(ftplib.error_temp)
    def op(self):
        calls.append(1)
        raise ftplib.error_perm("550 no")

    with pytest.raises(ftplib.error_perm):
        op(Recorder("/", []))
    assert calls == [1]


def test_an_exhausted_inner_error_is_not_retried_outside():
    calls = []

    @retry(ftplib.error_temp)
    def inner(self):
        calls.append("inner")
        raise ftplib.error_temp("421 down")

    @retry(ftplib.error_temp)
    def outer(self):
        calls.append("outer")
        inner(self)

    with pytest.raises(ftplib.error_temp):
        outer(Recorder("/", []))
    assert calls == ["outer", "inner", "inner", "inner"]


def test_a_failed_reset_counts_as_a_try():
    calls = []

    @retry(ftplib.error_temp, times=3)
    def op(self):
        calls.append(1)
        raise ftplib.error_temp("421")

    p = Recorder("/", [])
    p.resets_fail = [ConnectionRefusedError("refused"), ConnectionRefusedError("refused again")]
    with pytest.raises(ConnectionRefusedError, match="refused again"):
        op(p)
    assert calls == [1] and len(p.resets) == 2


def test_valid_reset_reads_the_one_pending_reply(fake, fake_path):
    fake.add_file("/f", b"abc")
    p = fake_path("/f")
    client = p.client
    with pytest.raises(InterruptedError):
        client.retrbinary("RETR /f", lambda b: (_ for _ in ()).throw(InterruptedError()), blocksize=1)
    p._valid_reset()
    assert client.pending is None and client.sendcmd("NOOP").startswith("200")
    p._valid_reset()  # nothing pending now: nothing is read
    assert fake.sessions == [client]


def test_valid_reset_starts_afresh_when_the_reply_cannot_be_read(fake, fake_path):
    p = fake_path("/f")
    broken = p.client
    broken.lastresp = "150"
    broken.voidresp = lambda: (_ for _ in ()).throw(EOFError())
    p._valid_reset()
    assert p.client is fake.sessions[1]


@pytest.mark.parametrize("error, dropped", [
    (EOFError(), True), (ftplib.error_proto("xyz"), True), (TimeoutError("timed out"), True),
    (ConnectionResetError(104, "reset"), True), (FileNotFoundError("'/a' does not exist."), False),
    (ValueError("bad"), False), (KeyboardInterrupt(), True), (SystemExit(1), True), (MemoryError(), True),
    (RecursionError(), True), (UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"), True),
])
def test_unretried_errors_leave_the_client_usable(fake, fake_path, error, dropped):
    p = fake_path("/a")
    client = p.client

    @retry(ftplib.error_temp)
    def op(self):
        raise error

    with pytest.raises(type(error)):
        op(p)
    assert (Local.getattr(p._key_on_thread()) is None) is dropped
    assert client.closed is False


def test_a_reply_left_pending_by_an_unretried_error_is_read(fake, fake_path):
    fake.add_file("/f", b"abcdef")
    p = fake_path("/f")
    client = p.client

    @retry(ftplib.error_temp)
    def op(self):
        self.client.retrbinary("RETR /f", lambda block: 1 / 0, blocksize=2)

    with pytest.raises(ZeroDivisionError):
        op(p)
    assert client.pending is None and client.sendcmd("NOOP").startswith("200")


def test_an_unexpected_final_reply_is_not_read_twice(fake, fake_path):
    p = fake_path("/f")
    client = p.client

    @retry(ftplib.error_reply, times=1)
    def op(self):
        self.client.lastresp = "150"
        raise ftplib.error_reply("150 0.001 seconds (measured here)")

    with pytest.raises(ftplib.error_reply):
        op(p)  # the strict fake would fail on a read with nothing owed
    assert Local.getattr(p._key_on_thread()) is client


@pytest.mark.parametrize("reply, dropped", [("421 Service closing control connection.", True),
                                            ("450 File busy.", False)])
def test_a_spent_temporary_error_drops_the_client_only_for_421(fake, fake_path, reply, dropped):
    p = fake_path("/a")

    @retry(ftplib.error_temp)
    def op(self):
        assert self.client is not None
        raise ftplib.error_temp(reply)

    with pytest.raises(ftplib.error_temp):
        op(p)
    assert (Local.getattr(p._key_on_thread()) is None) is dropped
