"""A configuration mistake fails before the factory runs, naming file, section, option and what is wanted."""

import pytest

from corvane.config import ConfigError
from corvane.ftp.path import FTPPath


@pytest.mark.parametrize("text, option, wanted", [
    ("user = u", "host", "the server's host name or address; it is missing"),
    ("host = h\ntimeout = soon", "timeout", "a positive number of seconds; got 'soon'"),
    ("host = h\ntimeout = 0", "timeout", "a positive number of seconds; got '0'"),
    ("host = h\npasv = maybe", "pasv", "true or false (also yes/no, on/off, 1/0); got 'maybe'"),
    ("host = h\nsource_address = me:x", "source_address", "host or host:port; got 'me:x'"),
    ("host = h\nencoding = klingon", "encoding", "a text encoding Python knows, such as utf-8; got 'klingon'"),
])
def test_a_mistake_is_named_before_anything_is_sent(fake, tmp_path, monkeypatch, text, option, wanted):
    path = tmp_path / "corvane.ini"
    path.write_text("[ftp]\n" + text)
    monkeypatch.setenv("CORVANE_CONFIG", str(path))
    with pytest.raises(ConfigError) as info:
        type("Configured", (FTPPath,), {"_creator": staticmethod(fake.connect)})("/").exists
    assert str(info.value) == f"config file {str(path)!r}, section [ftp], option {option!r}: wanted {wanted}"
    assert fake.sessions == []
