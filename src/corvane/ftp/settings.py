"""What a path class made by `corvane.ftp.connect` connects with, checked once, when it is made."""

from __future__ import annotations

import configparser
import dataclasses
import os
from typing import Any, Optional, Union

from corvane.config import ENV_VAR, EnvConfig

TLS_MODES = ("explicit", "implicit")
_WORDS = {**configparser.ConfigParser.BOOLEAN_STATES, "none": False}


@dataclasses.dataclass(frozen=True)
class Settings:
    """One server and how to talk to it. Equal settings make the same path class.

    `tls` is None (plain FTP), "explicit" (AUTH TLS, port 21 by default) or "implicit"
    (TLS from the first byte, port 990 by default); `port` None means that default.
    """

    host: str
    port: Optional[int] = None
    user: str = "anonymous"
    password: str = dataclasses.field(default="", repr=False)
    tls: Optional[str] = None
    ca_file: Optional[str] = None
    verify: bool = True
    timeout: float = 60.0
    pasv: bool = True
    source_address: Optional[tuple[str, int]] = None
    encoding: str = "utf-8"
    acct: str = dataclasses.field(default="", repr=False)  # sent with ACCT if the server asks (332)

    def __post_init__(self) -> None:
        if not isinstance(self.host, str) or not self.host:
            raise ValueError(f"host must be a non-empty str, not {self.host!r}")
        tls = tls_mode(self.tls)
        object.__setattr__(self, "tls", tls)
        port = self.port if self.port is not None else (990 if tls == "implicit" else 21)
        if isinstance(port, bool) or not isinstance(port, int) or not 0 < port < 65536:
            raise ValueError(f"port must be an int from 1 to 65535, not {self.port!r}")
        object.__setattr__(self, "port", port)
        if isinstance(self.timeout, bool) or not isinstance(self.timeout, (int, float)) or not self.timeout > 0:
            raise ValueError(f"timeout must be a number of seconds above 0, not {self.timeout!r}")
        object.__setattr__(self, "timeout", float(self.timeout))
        if tls is None and (self.ca_file is not None or not self.verify):
            raise ValueError("ca_file and verify apply to TLS sessions: give tls='explicit' or 'implicit' too")
        if self.source_address is not None:
            object.__setattr__(self, "source_address", tuple(self.source_address))

    @property
    def url(self) -> str:
        """The server as a URL, without the password: ftp://user@host:port, ftps:// with TLS."""
        scheme = "ftps" if self.tls else "ftp"
        return f"{scheme}://{self.user}@{self.host}:{self.port}"


def tls_mode(value: Union[None, bool, str]) -> Optional[str]:
    """None, "explicit" or "implicit" from what code or a config file may say."""
    if value is None or value is False:
        return None
    if value is True:
        return "explicit"
    if isinstance(value, str):
        word = value.strip().lower()
        if word in TLS_MODES:
            return word
        if word in _WORDS:
            return "explicit" if _WORDS[word] else None
    raise ValueError(f"tls must be one of {', '.join(TLS_MODES)}, a boolean or None, not {value!r}")


# Option name in a config section -> (Settings field, how its text is read).
_OPTIONS: dict[str, tuple[str, Any]] = {
    "host": ("host", str),
    "port": ("port", int),
    "user": ("user", str),
    "passwd": ("password", str),
    "password": ("password", str),
    "tls": ("tls", tls_mode),
    "ca_file": ("ca_file", str),
    "verify": ("verify", "boolean"),
    "timeout": ("timeout", float),
    "pasv": ("pasv", "boolean"),
    "source_address": ("source_address", "address"),
    "encoding": ("encoding", str),
    "acct": ("acct", str),
}


def from_section(name: str) -> Settings:
    """The settings written in section `name` of the config file that CORVANE_CONFIG names.

    Options: host (required), port, user, passwd (or password), tls (explicit, implicit
    or no), ca_file, verify, timeout, pasv, source_address (host[:port]), encoding, acct.
    """
    options = EnvConfig.section(name, inline_comments=True)  # LookupError naming the file when there is no such section
    where = f"[{name}] of config file {os.environ.get(ENV_VAR)!r}"
    unknown = sorted(set(options) - set(_OPTIONS))
    if unknown:
        raise ValueError(f"{where}: unknown option {', '.join(unknown)}; known: {', '.join(_OPTIONS)}")
    if "passwd" in options and "password" in options:
        raise ValueError(f"{where}: give passwd or password, not both")
    fields: dict[str, Any] = {}
    for option, text in options.items():
        field, kind = _OPTIONS[option]
        try:
            fields[field] = _read(text, kind)
        except ValueError as exc:
            raise ValueError(f"{where}: option {option} = {text!r}: {exc}") from None
    if "host" not in fields:
        raise ValueError(f"{where}: no host option")
    try:
        return Settings(**fields)
    except ValueError as exc:
        raise ValueError(f"{where}: {exc}") from None


def _read(text: str, kind: Any) -> Any:
    if kind == "boolean":
        if text.strip().lower() not in configparser.ConfigParser.BOOLEAN_STATES:
            raise ValueError("not a boolean (yes/no, true/false, on/off, 1/0)")
        return configparser.ConfigParser.BOOLEAN_STATES[text.strip().lower()]
    if kind == "address":
        host, colon, port = text.partition(":")
        return (host, int(port) if colon else 0)
    return kind(text)
