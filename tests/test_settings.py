"""Settings are checked when a path class is made, with errors that name the mistake."""

import pytest

from corvane.ftp import connect, from_config


@pytest.mark.parametrize("options, message", [
    ("port = 2121", r"no host option"),
    ("host = h\nport = twenty", r"option port = 'twenty': invalid literal"),
    ("host = h\nport = 70000", r"port must be an int from 1 to 65535, not 70000"),
    ("host = h\ntls = maybe", r"option tls = 'maybe': tls must be one of explicit, implicit"),
    ("host = h\npasv = maybe", r"option pasv = 'maybe': not a boolean"),
    ("host = h\nverify = no", r"ca_file and verify apply to TLS sessions"),
    ("host = h\npasswd = a\npassword = b", r"give passwd or password, not both"),
    ("host = h\nprot = p", r"unknown option prot; known: host, port"),
])
def test_a_wrong_section_is_refused_with_its_mistake(options, message, tmp_path, monkeypatch):
    config = tmp_path / "corvane.ini"
    config.write_text(f"[site]\n{options}\n")
    monkeypatch.setenv("CORVANE_CONFIG", str(config))
    with pytest.raises(ValueError, match=rf"^\[site\] of config file '{config}': {message}"):
        from_config("site")


@pytest.mark.parametrize("options, message", [
    (dict(timeout=0), r"timeout must be a number of seconds above 0, not 0"),
    (dict(tls="tls"), r"tls must be one of explicit, implicit, a boolean or None, not 'tls'"),
    (dict(ca_file="ca.pem"), r"ca_file and verify apply to TLS sessions"),
])
def test_wrong_settings_are_refused_by_connect(options, message):
    with pytest.raises(ValueError, match=message):
        connect("h", **options)
