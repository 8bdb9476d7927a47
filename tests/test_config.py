"""Configuration mistakes are refused before the client factory runs, naming the file, the
section, the option and what is wanted."""

import pytest

from corvane.config import ConfigError
from corvane.ftp.path import FTPPath


@pytest.fixture
def configure(fake, tmp_path, monkeypatch):
    """Writes an [ftp] section; gives its file and an FTPPath class whose factory is `fake`."""
    def write(text):
        path = tmp_path / "corvane.ini"
        path.write_text("[ftp]\n" + text)
        monkeypatch.setenv("CORVANE_CONFIG", str(path))

        class ConfiguredPath(FTPPath):
            _creator = staticmethod(fake.connect)
        return str(path), ConfiguredPath
    return write


@pytest.mark.parametrize("text, option, wanted", [
    ("user = u\n", "host", "the server's host name or address; it is missing"),
    ("host =  \n", "host", "the server's host name or address; got ''"),
    ("host = h\ntimeout = soon\n", "timeout", "a positive number of seconds; got 'soon'"),
    ("host = h\ntimeout = 0\n", "timeout", "a positive number of seconds; got '0'"),
    ("host = h\npasv = maybe\n", "pasv", "true or false (also yes/no, on/off, 1/0); got 'maybe'"),
    ("host = h\nsource_address = me:port\n", "source_address",
     "host or host:port, the port a number below 65536; got 'me:port'"),
    ("host = h\nencoding = klingon\n", "encoding", "a text encoding Python knows, such as utf-8; got 'klingon'"),
])
def test_a_mistake_is_named_before_anything_is_sent(fake, configure, text, option, wanted):
    path, configured = configure(text)
    with pytest.raises(ConfigError) as info:
        configured("/").exists
    assert str(info.value) == f"config file {path!r}, section [ftp], option {option!r}: wanted {wanted}"
    assert fake.sessions == []


def test_good_values_reach_the_factory_converted(fake, configure):
    _, configured = configure("host = h\ntimeout = 2.5\nsource_address = me:2121\npasv = off\n")
    assert configured("/").exists
    assert fake.sessions[0].settings == {"host": "h", "timeout": 2.5, "source_address": ("me", 2121)}
    assert fake.sessions[0].passive is False
