"""_reset: making, configuring and storing the thread's client."""

import ftplib

import pytest

from corvane.base import Local


def slot(path):
    return Local.getattr(path._key_on_thread())


@pytest.fixture
def config(tmp_path, monkeypatch):
    def write(text):
        f = tmp_path / "corvane.ini"
        f.write_text(text)
        monkeypatch.setenv("CORVANE_CONFIG", str(f))
    return write


def test_reset_stores_a_passive_client(fake, fake_path):
    p = fake_path("/a")
    assert p._reset("ftp") is None
    client = slot(p)
    assert client is fake.sessions[0] and client.passive is True
    assert client.settings == {"host": "fake.invalid"}


@pytest.mark.parametrize("text, passive", [("[ftp]\npasv = false\n", False), ("[ftp]\npasv = yes\n", True),
                                           ("[ftp]\nhost = h\n", True), ("[other]\npasv = no\n", True)])
def test_pasv_option(fake, fake_path, config, text, passive):
    config(text)
    assert fake_path("/a")._reset("ftp") is None
    assert fake.sessions[0].passive is passive


def test_second_reset_drops_the_first_client_unquit(fake, fake_path):
    p = fake_path("/a")
    p._reset("ftp")
    p._reset("ftp")
    assert slot(p) is fake.sessions[1] and len(fake.sessions) == 2
    assert fake.log == []  # nothing, QUIT included, was sent on either


def test_wrong_section_type_leaves_the_slot(fake, fake_path):
    p = fake_path("/a")
    p._reset("ftp")
    for bad in (None, b"ftp", type("S", (str,), {})("ftp")):
        with pytest.raises(TypeError) as info:
            p._reset(bad)
        assert str(info.value) == ("Argument 'section' has incorrect type (expected str, got %s)"
                                   % type(bad).__name__)
    assert slot(p) is fake.sessions[0]


class Refused(Exception):
    pass


@pytest.mark.parametrize("failure, expected", [
    ("none-config", "argument after ** must be a mapping, not NoneType"),
    ("login", "530 Login incorrect."),
    ("set_pasv", "set_pasv broke"),
])
def test_failures_are_returned_and_the_slot_stays_empty(fake, fake_path, failure, expected):
    class P(fake_path):
        def _read_config(self, section):
            return None if failure == "none-config" else {"host": "h"}

        @staticmethod
        def _creator(**settings):
            if failure == "login":
                raise ftplib.error_perm("530 Login incorrect.")
            client = fake.connect(**settings)
            if failure == "set_pasv":
                client.set_pasv = lambda flag: (_ for _ in ()).throw(Refused("set_pasv broke"))
            return client

    p = P("/a")
    Local.setattr(p._key_on_thread(), "previous client")
    error = p._reset("ftp")
    assert isinstance(error, Exception) and str(error) == expected
    assert slot(p) is None
    if failure == "none-config":
        assert isinstance(error, TypeError) and fake.sessions == []


def test_settings_are_copied_and_keyword_only(fake, fake_path):
    settings = {"host": "h", "user": "u"}
    seen = {}

    class P(fake_path):
        def _read_config(self, section):
            return settings

        @staticmethod
        def _creator(*args, **kwargs):
            seen["args"], seen["kwargs"] = args, kwargs
            return fake.connect(**kwargs)

    assert P("/a")._reset("ftp") is None
    assert seen["args"] == () and seen["kwargs"] == settings and seen["kwargs"] is not settings


@pytest.mark.parametrize("in_keys", [False, True], ids=["reading the config", "looking up the settings' keys"])
def test_base_exceptions_pass_out(fake_path, in_keys):
    class P(fake_path):
        keys = property(lambda self: (_ for _ in ()).throw(KeyboardInterrupt))  # tells a mapping from other settings

        def _read_config(self, section):
            return self if in_keys else self.keys

    p = P("/a")
    with pytest.raises(KeyboardInterrupt):
        p._reset("ftp")
    assert slot(p) is None


def test_client_raises_what_reset_returns(monkeypatch):
    from corvane.ftp.path import FTPPath
    monkeypatch.delenv("CORVANE_CONFIG", raising=False)
    with pytest.raises(LookupError, match="CORVANE_CONFIG is not set"):
        FTPPath("/a").client
