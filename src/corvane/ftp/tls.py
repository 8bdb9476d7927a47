"""FTPS clients: explicit TLS (AUTH TLS on the plain port) and implicit TLS (port 990).

Both protect the data channel too (PROT P, sent by `corvane.ftp.login.log_in`
after the login) and verify the server's certificate unless told not to.
"""

from __future__ import annotations

import ftplib
import socket
import ssl
import sys
from collections.abc import Callable
from typing import Any, Optional

from corvane.ftp._data import DataConnection


class InsecureTLSWarning(UserWarning):
    """A session encrypts but does not check whom it talks to."""


class TLSError(ConnectionError):
    """A TLS session could not be set up: untrusted certificate, failed handshake, no AUTH TLS."""


class TLSRequiredError(ConnectionError):
    """The server refuses plain sessions: connect with TLS."""


def context(ca_file: Optional[str] = None, verify: bool = True) -> ssl.SSLContext:
    """The TLS settings of a session.

    By default the server's certificate must chain to the system's trusted CAs and
    name the host connected to. `ca_file` trusts the CAs in that PEM file instead
    (and only them). `verify=False` checks nothing: the session is encrypted but
    anyone between client and server can read and change it.
    """
    made = ssl.create_default_context(cafile=ca_file)
    if not verify:
        made.check_hostname = False
        made.verify_mode = ssl.CERT_NONE
    return made


class ExplicitTLS(ftplib.FTP_TLS):
    """AUTH TLS on a plain connection; data connections resume the control session."""

    def ntransfercmd(self, cmd: str, rest: Any = None) -> tuple[socket.socket, Optional[int]]:
        # FTP_TLS starts every data connection with a full handshake; vsftpd (by
        # default) and other servers refuse that with "522 ... session reuse required",
        # to be sure the data connection comes from the client that logged in.
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        if self._prot_p:  # type: ignore[attr-defined]  # FTP_TLS's own flag, set by prot_p()
            session = self.sock.session if isinstance(self.sock, ssl.SSLSocket) else None
            conn = self.context.wrap_socket(conn, server_hostname=self.host, session=session)
        return conn, size


    # ftplib's own transfers end a TLS data connection by hand, and only when nothing goes
    # wrong: a callback that stops a RETR early (as is_dir's does) leaves no closing
    # handshake and the final reply unread. Pure-FTPd with TLS required then waits for
    # the handshake until its timeout, and so does the next command.

    def retrbinary(self, cmd: str, callback: Callable[[bytes], Any], blocksize: int = 8192,
                   rest: Any = None) -> str:
        self.voidcmd("TYPE I")
        with DataConnection(self, cmd, download=True, rest=rest) as data:
            while block := data.sock.recv(blocksize):
                callback(block)
            return data.finish()

    def retrlines(self, cmd: str, callback: Optional[Callable[[str], Any]] = None) -> str:
        take = callback or print
        self.sendcmd("TYPE A")
        with DataConnection(self, cmd, download=True) as data, \
                data.sock.makefile("r", encoding=self.encoding) as lines:
            while line := lines.readline(self.maxline + 1):
                if len(line) > self.maxline:
                    raise ftplib.Error(f"got more than {self.maxline} bytes")
                take(line[:-2] if line.endswith("\r\n") else line.rstrip("\n"))
            return data.finish()

    def storbinary(self, cmd: str, fp: Any, blocksize: int = 8192, callback: Optional[Callable[[bytes], Any]] = None,
                   rest: Any = None) -> str:
        self.voidcmd("TYPE I")
        with DataConnection(self, cmd, rest=rest) as data:
            while block := fp.read(blocksize):
                data.sock.sendall(block)
                if callback:
                    callback(block)
            return data.finish()

    def storlines(self, cmd: str, fp: Any, callback: Optional[Callable[[bytes], Any]] = None) -> str:
        self.voidcmd("TYPE A")
        with DataConnection(self, cmd) as data:
            while line := fp.readline(self.maxline + 1):
                if len(line) > self.maxline:
                    raise ftplib.Error(f"got more than {self.maxline} bytes")
                if not line.endswith(b"\r\n"):
                    line = (line[:-1] if line[-1:] in b"\r\n" else line) + b"\r\n"
                data.sock.sendall(line)
                if callback:
                    callback(line)
            return data.finish()


class ImplicitTLS(ExplicitTLS):
    """TLS from the first byte, as on port 990: no AUTH TLS (login() sees the socket is secure)."""

    def connect(self, host: str = "", port: int = 0, timeout: float = -999,
                source_address: Optional[tuple[str, int]] = None) -> str:
        # ftplib.FTP.connect reads the greeting right after the TCP connect; here the
        # handshake must come first, so the socket is wrapped in between.
        if host:
            self.host = host
        if port > 0:
            self.port = port
        if timeout != -999:
            self.timeout = timeout
        if source_address is not None:
            self.source_address = source_address
        sys.audit("ftplib.connect", self, self.host, self.port)
        plain = socket.create_connection((self.host, self.port), self.timeout,
                                         source_address=self.source_address)
        try:
            self.sock = self.context.wrap_socket(plain, server_hostname=self.host)
        except BaseException:
            plain.close()
            raise
        self.af = self.sock.family
        self.file = self.sock.makefile("r", encoding=self.encoding)
        self.welcome = self.getresp()
        return self.welcome
