"""The client factory of the path classes that `corvane.ftp.connect` makes."""

from __future__ import annotations

import codecs
import ftplib
import re
import socket
import ssl
from typing import Optional

from corvane.ftp.client import harden, owe
from corvane.ftp.tls import ExplicitTLS, ImplicitTLS, TLSError, TLSRequiredError

# How servers refuse a plain session: Pure-FTPd "421 ... Please reconnect using TLS
# security mechanisms.", vsftpd "530 Non-anonymous sessions must use encryption.",
# ProFTPD "550 SSL/TLS required on the control channel".
_ASKS_FOR_TLS = re.compile(r"\b(TLS|SSL|encryption)\b", re.IGNORECASE)


def log_in(*, host: str, port: int, user: str, passwd: str, tls: Optional[str],
                context: Optional[ssl.SSLContext], timeout: float,
                source_address: Optional[tuple[str, int]], encoding: str, acct: str = "") -> ftplib.FTP:
    """A client connected to host:port and logged in; with TLS, its data channel is protected too.

    On failure the half-made client is closed and the error names the server; the
    TLS failures say what to change.
    """
    where = f"FTP server {host}:{port}"
    client: ftplib.FTP
    secure: Optional[ExplicitTLS] = None
    if tls:
        kind = ImplicitTLS if tls == "implicit" else ExplicitTLS
        client = secure = kind(context=context, timeout=timeout, source_address=source_address, encoding=encoding)
    else:
        client = ftplib.FTP(timeout=timeout, source_address=source_address, encoding=encoding)
    # Before connecting: the greeting and the login's replies are bounded too (_reset hardens it again).
    harden(client)
    try:
        client.connect(host, port)
        if secure is not None and tls == "explicit":
            try:
                secure.auth()
            except ftplib.error_perm as exc:
                raise TLSError(f"{where} does not offer explicit TLS (AUTH TLS answered {exc}); "
                               f"connect without tls, or with tls='implicit' to its TLS port") from exc
        _log_in_together(client, user, passwd, acct, secure)
    except BaseException as exc:
        client.close()
        clearer = _explain(exc, where, tls)
        if clearer is None:
            raise
        raise clearer from exc
    return client


def _log_in_together(client: ftplib.FTP, user: str, passwd: str, acct: str, secure: Optional[ExplicitTLS]) -> None:
    """client.login(user, passwd, acct), then PBSZ 0 and PROT P (with TLS) and OPTS UTF8 ON,
    with what needs no answer first sent at once: a server answers commands in order.

    Over TLS, USER and PASS go together (one round trip, not two); where USER alone logs in
    (230), the answer to PASS is read and let be. On a plain connection PASS waits for
    USER's 331: a server that requires TLS refuses USER so that no password crosses the
    network in the clear, and none must. Nothing goes behind PASS: pyftpdlib, refusing a
    password, answers what follows first. After the login, TLS's two commands and OPTS go
    together, and a plain session does not wait for OPTS at all: its answer is read before
    the next reply (see client.owe).
    """
    user = user or "anonymous"
    if user == "anonymous" and passwd in ("", "-"):
        passwd += "anonymous@"  # as ftplib's login
    # Each command on its way at once: Nagle's algorithm would hold one until the last is acknowledged.
    client.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    client.putcmd(f"USER {user}")
    if secure is not None:
        client.putcmd(f"PASS {passwd}")
    reply = client.getresp()  # a refusal raises, as ftplib's login does: log_in closes the client
    if reply[:1] == "3":
        reply = client.getresp() if secure is not None else client.sendcmd(f"PASS {passwd}")
    elif secure is not None:
        client.getmultiline()
    if reply[:1] == "3":
        reply = client.sendcmd(f"ACCT {acct}")
    if reply[:1] != "2":
        raise ftplib.error_reply(reply)
    utf8 = wants_utf8(client)
    if secure is not None:
        for line in ("PBSZ 0", "PROT P", *(["OPTS UTF8 ON"] if utf8 else [])):
            client.putcmd(line)
        client.voidresp()
        client.voidresp()
        secure._prot_p = True  # type: ignore[attr-defined]  # what FTP_TLS.prot_p() sets
        if utf8:
            utf8_answered(client)
    elif utf8:
        ask_utf8(client)


# OpenSSL's X509_V_ERR_HOSTNAME_MISMATCH, and its IP address twin.
_OTHER_HOST_CODES = (62, 64)


def _names_another_host(exc: ssl.SSLCertVerificationError) -> bool:
    return exc.verify_code in _OTHER_HOST_CODES or "mismatch" in str(exc.verify_message).lower()


def wants_utf8(client: ftplib.FTP) -> bool:
    """Whether to ask `client`'s server for UTF-8 names: the client reads UTF-8 and has not asked.

    Some servers (IIS, older Serv-U) list names in a code page until OPTS UTF8 ON, which
    those that speak UTF-8 anyway accept or refuse; a client given another encoding
    (latin-1) asks nothing, so that the server keeps the one it has.
    """
    try:
        utf8 = codecs.lookup(getattr(client, "encoding", "")).name == "utf-8"
    except (LookupError, TypeError):
        return False
    return utf8 and not getattr(client, "_corvane_utf8_asked", False)


def ask_utf8(client: ftplib.FTP) -> None:
    """Sends OPTS UTF8 ON; its answer is read with the next command's, and a refusal changes nothing."""
    client.putcmd("OPTS UTF8 ON")
    client._corvane_utf8_asked = True  # type: ignore[attr-defined]
    owe(client, lambda reply: None)


def utf8_answered(client: ftplib.FTP) -> None:
    """Reads the answer to an OPTS UTF8 ON already sent; a refusal changes nothing."""
    client._corvane_utf8_asked = True  # type: ignore[attr-defined]
    try:
        client.getresp()
    except (ftplib.error_perm, ftplib.error_temp):
        pass


def _explain(exc: BaseException, where: str, tls: Optional[str]) -> Optional[Exception]:
    """The error to raise instead of `exc`, or None to let `exc` pass as it is."""
    if isinstance(exc, ssl.SSLCertVerificationError) and _names_another_host(exc):
        return TLSError(f"{where}: its TLS certificate is made for another host name ({exc.verify_message}): "
                        f"connect by a name or address that the certificate gives, or (only for a test server) "
                        f"verify=False")
    if isinstance(exc, ssl.SSLCertVerificationError):
        return TLSError(f"{where}: its TLS certificate is not trusted ({exc.verify_message}); give ca_file, "
                        f"a PEM file of the CA that signed it, or (only for a test server) verify=False")
    if isinstance(exc, ssl.SSLError):
        hint = ("; implicit TLS needs the server's TLS port (usually 990): on its plain port use tls='explicit'"
                if tls == "implicit" else "")
        return TLSError(f"{where}: the TLS handshake failed ({exc.reason or exc}){hint}")
    if tls is None and isinstance(exc, (ftplib.error_perm, ftplib.error_temp)) and _ASKS_FOR_TLS.search(str(exc)):
        last_line = str(exc).splitlines()[-1]
        return TLSRequiredError(f"{where} refuses a plain session ({last_line}): connect with tls='explicit' "
                                f"(tls = explicit in a config section), or tls='implicit' to its TLS port")
    if isinstance(exc, OSError) and not isinstance(exc, TLSError):
        # Socket errors name no server: "[Errno 111] Connection refused".
        return type(exc)(exc.errno, f"{where}: {exc.strerror}") if exc.errno else type(exc)(f"{where}: {exc}")
    return None
