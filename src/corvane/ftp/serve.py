"""The embedded FTP server of `corvane-ftp serve`: pyftpdlib on loopback (or a given address),
any free port, no root."""

from __future__ import annotations

import errno
import ipaddress
import logging
import os
import secrets
import shutil
import tempfile
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
    tls: str | None = None  # "explicit" or "implicit"
    ca_file: str | None = None  # what a client trusts to verify the server, with TLS


class TLSUnavailable(RuntimeError):
    """serve was asked for TLS and cannot give it: no pyOpenSSL, or no certificate."""


def _tls_handler(base: type, tls: str) -> type:
    try:
        from pyftpdlib.handlers import TLS_FTPHandler  # only where pyOpenSSL is installed
    except ImportError:
        raise TLSUnavailable("serve --tls needs pyOpenSSL (pip install pyOpenSSL)") from None

    class Handler(base, TLS_FTPHandler):  # type: ignore[misc]
        def handle(self) -> None:
            if tls == "implicit":  # TLS from the first byte: the banner already goes encrypted
                self.secure_connection(self.ssl_context)
            super().handle()

    return Handler


def make_certificate(directory: str, host: str) -> tuple[str, str]:
    """(server.pem: key and certificate, cert.pem: the certificate alone) of a new
    self-signed certificate for `host`, valid for a day; needs the cryptography package."""
    import datetime

    try:
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.x509.oid import NameOID
    except ImportError:
        raise TLSUnavailable("serve --tls makes its certificate with the cryptography package "
                             "(pip install cryptography), or give one with --certfile") from None
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "corvane-ftp serve")])
    try:
        alt: x509.GeneralName = x509.IPAddress(ipaddress.ip_address(host))
    except ValueError:
        alt = x509.DNSName(host)
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
                   .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(hours=1))
                   .not_valid_after(now + datetime.timedelta(days=1))
                   .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                   .add_extension(x509.SubjectAlternativeName([alt]), critical=False)
                   .sign(key, hashes.SHA256()))
    cert_pem = certificate.public_bytes(serialization.Encoding.PEM)
    key_pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption())
    server_pem, public_pem = os.path.join(directory, "server.pem"), os.path.join(directory, "cert.pem")
    with open(os.open(server_pem, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as f:
        f.write(key_pem + cert_pem)
    with open(public_pem, "wb") as f:
        f.write(cert_pem)
    return server_pem, public_pem


class EmbeddedServer:
    """A pyftpdlib server serving `root` read-write to one user on `host`; port 0 takes any free port."""

    def __init__(self, root: str, *, user: str = DEFAULT_USER, password: str | None = None,
                 port: int = 0, host: str = HOST, tls: str | None = None, certfile: str | None = None) -> None:
        """With `tls` ("explicit": AUTH TLS; "implicit": TLS from the first byte) the server
        shows `certfile` (key and certificate in one PEM file), or one it makes for `host`."""
        root = os.path.abspath(root)
        if not os.path.isdir(root):
            raise NotADirectoryError(errno.ENOTDIR, "no such directory", root)
        self._scratch: str | None = None
        password = password or secrets.token_urlsafe(12)
        authorizer = DummyAuthorizer()
        authorizer.add_user(user, password, root, perm="elradfmwMT")
        # A wrong password is answered at once rather than after pyftpdlib's 3 s pause:
        # the server is on loopback, for one person.
        handler: type = type("Handler", (FTPHandler,), {"authorizer": authorizer, "auth_failed_timeout": 0.1,
                                                        "banner": "corvane-ftp embedded server"})
        ca_file = None
        if tls:
            handler = _tls_handler(handler, tls)
            if certfile is None:
                self._scratch = tempfile.mkdtemp(prefix="corvane-ftp-serve-")
                try:
                    certfile, ca_file = make_certificate(self._scratch, host)
                except BaseException:
                    self._forget_certificate()
                    raise
            setattr(handler, "certfile", certfile)  # a class attribute mypy cannot see
        # Unless its logger is set up, pyftpdlib logs every session to stderr, which would drown
        # the settings that serve prints: keep its warnings only.
        log = logging.getLogger("pyftpdlib")
        if not log.handlers:
            log.addHandler(logging.StreamHandler())
        log.setLevel(logging.WARNING)
        try:
            self._server = FTPServer((host, port), handler)
        except BaseException:
            self._forget_certificate()
            raise
        host, bound_port = self._server.address[:2]
        self.served = Served(root, host, bound_port, user, password, tls, ca_file)

    def _forget_certificate(self) -> None:
        if self._scratch is not None:
            shutil.rmtree(self._scratch, ignore_errors=True)
            self._scratch = None

    def serve_forever(self) -> None:
        self._server.serve_forever(timeout=0.2, handle_exit=False)

    def start(self) -> Served:
        """Serve from a daemon thread; `close` stops it."""
        threading.Thread(target=self.serve_forever, daemon=True, name="corvane-ftp-serve").start()
        return self.served

    def close(self) -> None:
        self._server.close_all()
        self._forget_certificate()

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
    tls_options = f" --tls {served.tls}" if served.tls else ""
    # A certificate of the user's own: the CA that signed it is theirs to name.
    ca_file = served.ca_file or "FILE"
    tls_options += f" --ca-file {ca_file}" if served.tls else ""
    tls_lines = [f"  tls = {served.tls}", f"  ca_file = {ca_file}"] if served.tls else []
    netloc = f"[{served.host}]" if ":" in served.host else served.host
    return "\n".join([
        f"Serving {served.root} at ftp://{served.user}@{netloc}:{served.port}/ (Ctrl-C stops it).",
        "From another shell:",
        export,
        f"  corvane-ftp --host {served.host} --port {served.port} --user {served.user}"
        f" --password-env {password_env}{tls_options} ls -l /",
        "or with a config file (--config FILE --section local, or CORVANE_CONFIG=FILE):",
        "  [local]",
        f"  host = {served.host}",
        f"  port = {served.port}",
        f"  user = {served.user}",
        f"  passwd = {passwd}",
        *tls_lines,
    ])
