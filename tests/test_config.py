"""A configuration mistake fails before the factory runs, naming file, section, option and what is wanted."""

import os
import subprocess
import sysconfig

import pytest

from corvane.config import ConfigError
from corvane.ftp import from_config
from corvane.ftp.path import FTPPath

SECRET = "hunter2-secret"


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


@pytest.mark.parametrize("text, where", [
    (f"[ftp]\nhost = h\npasswd {SECRET}\n", "line 3: neither a [section] header nor a name = value option"),
    (f"passwd = {SECRET}\n[ftp]\n", "line 1: an option before the first [section] header"),
    (f"[ftp]\npasswd = {SECRET}\n[ftp]\n", "line 3: section [ftp] written twice"),
    (f"[ftp]\npasswd = {SECRET}\npasswd = {SECRET}\n", "line 3: option 'passwd' written twice in section [ftp]"),
])
@pytest.mark.parametrize("reader", ["FTPPath", "from_config", "--config", "--host"])
def test_a_line_that_cannot_be_parsed_is_named_by_its_number_alone(fake, fault_server, tmp_path, monkeypatch,
                                                                   text, where, reader):
    path = tmp_path / "corvane.ini"
    path.write_text(text)
    monkeypatch.setenv("CORVANE_CONFIG", str(path))
    message = f"config file {str(path)!r}, {where}"
    if reader.startswith("--"):  # the command line; with --host the sessions still read the file at login
        server = {"--config": [str(path)],
                  "--host": [fault_server.host, "--user", fault_server.user, "--password-env", "PW"]}[reader]
        result = subprocess.run([os.path.join(sysconfig.get_path("scripts"), "corvane-ftp"), reader, *server, "ls",
                                 "/"], capture_output=True, text=True, timeout=60,
                                env={**os.environ, "PW": fault_server.password})
        assert result.returncode == {"--config": 2, "--host": 1}[reader] and result.stderr.endswith(f": {message}\n")
        assert SECRET not in result.stderr + result.stdout
        return
    with pytest.raises(ConfigError) as info:
        from_config("ftp") if reader == "from_config" else type("C", (FTPPath,), {"_creator": fake.connect})("/").exists
    assert str(info.value) == message and SECRET not in f"{info.value.__context__} {info.value.__cause__}"
