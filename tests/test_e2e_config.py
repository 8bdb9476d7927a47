"""Configuration mistakes surface as clear errors from the first operation, on a real server."""

import ftplib

import pytest

from corvane.base import Local
from corvane.ftp.path import FTPPath

pytestmark = pytest.mark.group("config")


@pytest.fixture
def configure(server, tmp_path, monkeypatch):
    def write(text):
        path = tmp_path / "corvane.ini"
        if text is not None:
            path.write_text(text)
        monkeypatch.setenv("CORVANE_CONFIG", str(path))
        return path
    return write


def slot_is_empty():
    return Local.getattr(FTPPath("/")._key_on_thread()) is None


def test_a_wrong_password_surfaces_the_servers_refusal(server, configure):
    configure(server.config_text().replace(server.password, "wrong-password"))
    with pytest.raises(ftplib.error_perm, match=r"^530"):
        FTPPath("/").exists
    assert slot_is_empty()


def test_an_unknown_option_names_itself(server, configure):
    configure(server.config_text() + "port = 2121\n")
    with pytest.raises(TypeError, match="unexpected keyword argument 'port'"):
        FTPPath("/").is_dir()
    assert slot_is_empty()


@pytest.mark.parametrize("text, error, pattern", [
    (None, LookupError, r"no \[ftp\] section: config file '.*corvane.ini' does not exist"),
    ("[sftp]\nhost = h\n", LookupError, r"no \[ftp\] section in config file '.*corvane.ini'"),
])
def test_missing_configuration(configure, text, error, pattern):
    configure(text)
    with pytest.raises(error, match=pattern):
        FTPPath("/").exists
    assert slot_is_empty()


def test_an_unreadable_config_file(configure):
    configure(None).mkdir()
    with pytest.raises(IsADirectoryError):
        FTPPath("/").exists


def test_a_good_configuration_logs_in_once(server, configure):
    configure(server.config_text() + "pasv = true\n")
    p = FTPPath("/")
    assert p.exists and p.is_dir()
    client = Local.getattr(p._key_on_thread())
    assert isinstance(client, ftplib.FTP) and client.passiveserver is True
    assert p.exists and Local.getattr(p._key_on_thread()) is client


def test_active_mode(server, configure, remote):
    top, local = remote
    with open(f"{local}/f.bin", "wb") as f:
        f.write(b"active" * 1000)
    configure(server.config_text() + "pasv = no\n")
    assert top.join("f.bin").is_dir() is False
    assert top.is_dir() is True
    assert top.client.passiveserver is False
