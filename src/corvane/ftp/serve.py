"""The embedded FTP server of `corvane-ftp serve`: pyftpdlib on loopback (or a given address),
any free port, no root."""

from __future__ import annotations

import errno
import logging
import os
import secrets
import threading
from dataclasses import dataclass

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

HOST = "127.0.0.1"
DEFAULT_USER = "corvane"
PASSWORD_ENV = "CORVANE_FTP_PASSWORD"


@dataclass(frozen=True)
class Served:
    """Where a running embedded server listens and the one login it accepts."""

    root: str
    host: str
    port: int
    user: str
    password: str


class EmbeddedServer:
    """A pyftpdlib server serving `root` read-write to one user on `host`; port 0 takes any free port."""

    def __init__(self, root: str, *, user: str = DEFAULT_USER, password: str | None = None,
                 port: int = 0, host: str = HOST) -> None:
        root = os.path.abspath(root)
        if not os.path.isdir(root):
            raise NotADirectoryError(errno.ENOTDIR, "no such directory", root)
        password = password or secrets.token_urlsafe(12)
        authorizer = DummyAuthorizer()
        authorizer.add_user(user, password, root, perm="elradfmwMT")
        # A wrong password is answered at once rather than after pyftpdlib's 3 s pause:
        # the server is on loopback, for one person.
        handler = type("Handler", (FTPHandler,), {"authorizer": authorizer, "auth_failed_timeout": 0.1,
                                                  "banner": "corvane-ftp embedded server"})
        # Unless its logger is set up, pyftpdlib logs every session to stderr, which would drown
        # the settings that serve prints: keep its warnings only.
        log = logging.getLogger("pyftpdlib")
        if not log.handlers:
            log.addHandler(logging.StreamHandler())
        log.setLevel(logging.WARNING)
        self._server = FTPServer((host, port), handler)
        host, bound_port = self._server.address[:2]
        self.served = Served(root, host, bound_port, user, password)

    def serve_forever(self) -> None:
        self._server.serve_forever(timeout=0.2, handle_exit=False)

    def start(self) -> Served:
        """Serve from a daemon thread; `close` stops it."""
        threading.Thread(target=self.serve_forever, daemon=True, name="corvane-ftp-serve").start()
        return self.served

    def close(self) -> None:
        self._server.close_all()

    def __enter__(self) -> Served:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()


def usage_text(served: Served, password_env: str = PASSWORD_ENV, *, show_password: bool = True) -> str:
    """What to type to reach `served`: the command-line options and a config file section.

    A password the user chose is not echoed: they know it, and a terminal may be watched.
    """
    export = (f"  export {password_env}='{served.password}'" if show_password
              else f"  ({password_env} holds the password)")
    passwd = served.password if show_password else f"<the value of {password_env}>"
    netloc = f"[{served.host}]" if ":" in served.host else served.host
    return "\n".join([
        f"Serving {served.root} at ftp://{served.user}@{netloc}:{served.port}/ (Ctrl-C stops it).",
        "From another shell:",
        export,
        f"  corvane-ftp --host {served.host} --port {served.port} --user {served.user}"
        f" --password-env {password_env} ls -l /",
        "or with a config file (--config FILE --section local, or CORVANE_CONFIG=FILE):",
        "  [local]",
        f"  host = {served.host}",
        f"  port = {served.port}",
        f"  user = {served.user}",
        f"  passwd = {passwd}",
    ])
