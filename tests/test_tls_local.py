"""TLS against a listener of the test's own (implicit TLS, greeting only): what a certificate for
another host is called, and a data socket cut from another thread."""

import contextlib
import socket
import ssl
import threading

import certs
import pytest

from corvane.ftp import login, tls
from corvane.ftp._sessions import Session
from corvane.ftp.tls import TLSError


@contextlib.contextmanager
def tls_listener(tmp_path, addresses):
    """(port, CA file) of a TLS listener on 127.0.0.1 whose certificate names `addresses`; it greets
    each client and then keeps the connection open until the client closes it."""
    ca_file, pem = certs.make(str(tmp_path), addresses)
    server = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.load_cert_chain(pem)
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        with contextlib.suppress(OSError):
            while True:
                raw = listener.accept()[0]
                with contextlib.suppress(OSError), server.wrap_socket(raw, server_side=True) as conn:
                    conn.sendall(b"220 tls\r\n")
                    while conn.recv(4096):
                        pass

    thread = threading.Thread(target=serve)
    thread.start()
    try:
        yield listener.getsockname()[1], ca_file
    finally:
        listener.shutdown(socket.SHUT_RDWR)
        listener.close()
        thread.join()


@pytest.mark.parametrize("addresses, trusted, words, not_words", [
    (["127.0.0.2"], True, "is made for another host name", "ca_file"),
    (["127.0.0.1"], False, "give ca_file", "another host"),
])
def test_certificate_failure_says_what_is_wrong(tmp_path, addresses, trusted, words, not_words):
    with tls_listener(tmp_path, addresses) as (port, ca_file):
        with pytest.raises(TLSError) as info:
            login.log_in(host="127.0.0.1", port=port, user="u", passwd="p", tls="implicit",
                         context=tls.context(ca_file if trusted else None), timeout=5, source_address=None,
                         encoding="utf-8")
    assert words in str(info.value) and not_words not in str(info.value) and "127.0.0.1" in str(info.value)


def test_cut_tls_data_socket_never_sends_in_the_clear(tmp_path):
    with tls_listener(tmp_path, ["127.0.0.1"]) as (port, ca_file):
        conn = tls.context(ca_file).wrap_socket(socket.create_connection(("127.0.0.1", port)),
                                                server_hostname="127.0.0.1")
        with conn:
            session = Session.__new__(Session)  # as a transfer's session, without its login
            session.client, session.data = None, conn
            session.cut()
            assert conn.version() is not None  # TLS still wraps it: a send on it cannot go out plain
            with pytest.raises(OSError):
                conn.sendall(b"file bytes")
