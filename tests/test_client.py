"""The clients we make believe their server only so far: bounded multi-line replies, and in active mode
a data connection from the server alone."""

import ftplib
import socket
import threading
import tracemalloc

import pytest

from corvane.ftp import limits, login
from corvane.ftp.path import FTPPath

STRANGER = "127.0.0.9"  # a loopback address that no test server uses


class Flood:
    """One session on STRANGER:21 whose greeting, or first answer, is a multi-line reply of `lines` lines
    of `width` characters; it stops by itself once the client hangs up or the reply is sent."""

    def __init__(self, lines, width, at_greeting):
        self.listener = socket.create_server((STRANGER, 21))
        self.listener.settimeout(20)
        self.thread = threading.Thread(target=self._serve, args=(lines, b"550-" + b"x" * width + b"\r\n", at_greeting))
        self.thread.start()

    def _serve(self, lines, text, at_greeting):
        try:
            conn, _ = self.listener.accept()
            with conn:
                conn.settimeout(20)
                if not at_greeting:
                    conn.sendall(b"220 ready\r\n")
                    conn.recv(1024)
                for _ in range(lines):
                    conn.sendall(text)
                conn.sendall(b"550 end\r\n")
        except OSError:
            pass  # the client hung up: what a bounded client does

    def stop(self):
        self.thread.join()
        self.listener.close()


@pytest.mark.parametrize("lines, width, cap", [(20_000, 10, f"{limits.REPLY_LINES} lines"),
                                               (256, 8000, f"{limits.REPLY_BYTES} bytes")])
@pytest.mark.parametrize("at_greeting", [True, False], ids=["greeting of log_in", "reply to FTPPath's client"])
def test_a_reply_without_end_is_refused_in_bounded_memory(lines, width, cap, at_greeting):
    flood = Flood(lines, width, at_greeting)

    class Flooded(FTPPath):
        _creator = staticmethod(lambda **_: ftplib.FTP(STRANGER, timeout=20))

        def _read_config(self, section):
            return {}

    tracemalloc.start()
    try:
        with pytest.raises(ftplib.error_proto, match=f"^the FTP server {STRANGER}:21 sent a reply of more than {cap} "):
            if at_greeting:
                login.log_in(host=STRANGER, port=21, user="u", passwd="p", tls=None, context=None, timeout=20,
                             source_address=None, encoding="utf-8")
            else:
                Flooded("/").is_dir()
        assert tracemalloc.get_traced_memory()[1] < lines * width // 2 + (1 << 20)
    finally:
        tracemalloc.stop()
        flood.stop()


def test_active_mode_takes_only_the_servers_data_connection(server, remote, tmp_path, monkeypatch):
    top, local = remote
    monkeypatch.setenv("CORVANE_RETRY_TIMES", "1")  # a fresh client, made by a retry, would not meet the stranger
    (tmp_path / "corvane.ini").write_text(server.config_text() + "pasv = false\n")
    with open(f"{local}/f.bin", "wb") as f:
        f.write(b"the real file " * 1000)
    client = top.client
    announce, elsewhere = client.sendport, []

    def stranger_first(host, port):
        # Servers connect as soon as they hear PORT: the stranger comes before that.
        try:
            socket.create_connection((STRANGER, port)).close()
            elsewhere.append(True)  # the listener takes connections to every address
        except ConnectionRefusedError:
            elsewhere.append(False)
        with socket.create_connection((host, port), source_address=(STRANGER, 0)) as rogue:
            rogue.sendall(b"a stranger's bytes")
        return announce(host, port)

    client.sendport = stranger_first
    assert top.join("f.bin").read() == b"the real file " * 1000
    assert elsewhere and not any(elsewhere) and client.passiveserver is False
