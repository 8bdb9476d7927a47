"""Path classes bound to one server, made from code (`connect`) or a config section (`from_config`).

`FTPPath` reads its settings from the [ftp] section on every new session and hands
them to `ftplib.FTP` as they are. The classes made here carry their settings
instead, checked once, and make their sessions through `login.log_in`, which knows
ports and TLS. Each class has a section name of its own, which keys its sessions
in `Local`: paths on two servers never share a session, on any thread.
"""

from __future__ import annotations

import itertools
import threading
import warnings
from typing import Any, Optional, Union

from corvane.base import Local
from corvane.ftp import login, settings, tls
from corvane.ftp.path import FTPPath
from corvane.ftp.settings import Settings


class ServerPath(FTPPath):
    """A path on the server of its class's `settings`; the classes come from `connect`
    and `from_config`, and everything an `FTPPath` does it does (parent, join and glob
    keep the class).

    Objects pickle, so that process pools can take them: they unpickle as paths of a
    class with the same settings, made afresh in a process that has none. The pickle
    holds those settings, the password included: pickle only to processes you trust.
    """

    settings: Settings
    _creator = staticmethod(login.log_in)
    _options: dict[str, Any]  # log_in's keyword arguments, with the class's one SSL context

    def _read_config(self, section: str) -> dict[str, Any]:
        return dict(self._options)

    def _reset(self, section: str) -> Optional[Exception]:
        # FTPPath sets passive mode from a "pasv" option of the config file, which a
        # section name made here never has: active mode is set after it.
        failure = super()._reset(section)
        if failure is None and not self.settings.pasv:
            Local.getattr(self._key_on_thread()).set_pasv(False)
        return failure

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (self.settings, str(self.path)))

    def __repr__(self) -> str:
        return f"{type(self).__name__}({str(self.path)!r}, server={self.settings.url!r})"


_classes: dict[Settings, type[ServerPath]] = {}
_lock = threading.Lock()
_numbers = itertools.count(1)


def connect(host: str, port: Optional[int] = None, *, user: str = "anonymous", password: str = "",
            tls: Union[None, bool, str] = None, ca_file: Optional[str] = None, verify: bool = True,
            timeout: float = 60.0, pasv: bool = True, source_address: Optional[tuple[str, int]] = None,
            encoding: str = "utf-8", acct: str = "") -> type[ServerPath]:
    """A path class for one FTP server: `connect("ftp.example.org", user="me", password="...")("/data")`.

    Nothing is sent until a path of the class is used; each thread then logs in once.
    `port` defaults to 21, or 990 with tls="implicit". `tls`: None or False (plain FTP),
    "explicit" or True (AUTH TLS), "implicit" (TLS from the first byte); with either the
    data channel is protected too (PROT P) and the server's certificate must chain to
    the system's trusted CAs, or to those in `ca_file`. `verify=False` turns that check
    off, with an `InsecureTLSWarning`. `pasv=False` asks for active data connections.
    `acct` is sent with ACCT to a server that asks for an account after the password (332).
    The same settings give the same class. Wrong settings raise ValueError here.
    """
    return class_for(Settings(host, port, user, password, settings.tls_mode(tls), ca_file, verify, timeout, pasv,
                              source_address, encoding, acct))


def from_config(section: str) -> type[ServerPath]:
    """A path class for the server described in `section` of the config file that
    CORVANE_CONFIG names, read once, now (options: see `corvane.ftp.settings.from_section`)."""
    return class_for(settings.from_section(section))


def class_for(chosen: Settings) -> type[ServerPath]:
    """The path class of `chosen`, made on first use in this process."""
    with _lock:
        made = _classes.get(chosen)
        if made is None:
            made = _classes[chosen] = _make_class(chosen)
    return made


def _make_class(chosen: Settings) -> type[ServerPath]:
    if chosen.tls and not chosen.verify:
        warnings.warn(f"{chosen.url}: the server's TLS certificate will NOT be verified; anyone between "
                      f"here and the server can read and change the session", tls.InsecureTLSWarning,
                      stacklevel=4)
    context = tls.context(chosen.ca_file, chosen.verify) if chosen.tls else None
    options = {"host": chosen.host, "port": chosen.port, "user": chosen.user, "passwd": chosen.password,
               "tls": chosen.tls, "context": context, "timeout": chosen.timeout,
               "source_address": chosen.source_address, "encoding": chosen.encoding,
               "acct": chosen.acct}
    section = f"{chosen.url} #{next(_numbers)}"
    return type("ServerPath", (ServerPath,), {"settings": chosen, "_options": options, "_section": (section,),
                                              "__module__": __name__})


def _rebuild(chosen: Settings, path: str) -> ServerPath:
    return class_for(chosen)(path)
