"""Our clients believe their server only so far: bounded replies, and active data connections from it alone."""

import ftplib
import socket
import threading
import tracemalloc

import pytest

from corvane.ftp import _sessions, limits, login
from corvane.ftp.path import FTPPath

STRANGER = "127.0.0.9"  # a loopback address that no test server uses


def flood(lines, text, at_greeting, listener):  # one session whose greeting or first answer goes on and on
    try:
        with listener, listener.accept()[0] as conn:
            if not at_greeting:
                conn.sendall(b"220 ready\r\n")
                conn.recv(1024)
            for _ in range(lines):
                conn.sendall(text)
            conn.sendall(b"550 end\r\n")
            # Commands still unread would make the close a reset, which could beat the flood to the client.
            conn.shutdown(socket.SHUT_WR)
            while conn.recv(1 << 16):
                pass
    except OSError:
        pass  # the client hung up, as a bounded one does


Flooded = type("Flooded", (FTPPath,), {"_creator": staticmethod(lambda **_: ftplib.FTP(STRANGER, timeout=20)),
                                        "_read_config": lambda self, section: {}})


def first_answer_of_a_session():
    session = _sessions.Session(Flooded("/"))
    try:
        return session.time_setter  # FEAT's answer, read where no command has brought it yet
    finally:
        session.drop()


@pytest.mark.parametrize("lines, width, cap", [(20_000, 10, f"{limits.REPLY_LINES} lines"),
                                               (256, 8000, f"{limits.REPLY_BYTES} bytes")])
@pytest.mark.parametrize("who", ["greeting of log_in", "FTPPath's client", "a transfer session"])
def test_a_reply_without_end_is_refused_in_bounded_memory(lines, width, cap, who):
    listener = socket.create_server((STRANGER, 21))
    listener.settimeout(20)
    server = threading.Thread(target=flood, args=(lines, b"550-" + b"x" * width + b"\r\n", who[0] == "g", listener))
    server.start()
    tracemalloc.start()
    try:
        with pytest.raises(ftplib.error_proto, match=f"^the FTP server {STRANGER}:21 sent a reply of more than {cap} "):
            {"g": lambda: login.log_in(host=STRANGER, port=21, user="u", passwd="p", tls=None, context=None,
                                       timeout=20, source_address=None, encoding="utf-8"),
             "F": lambda: Flooded("/").is_dir(), "a": first_answer_of_a_session}[who[0]]()
        assert tracemalloc.get_traced_memory()[1] < lines * width // 2 + (1 << 20)
    finally:
        tracemalloc.stop()
        server.join()


def test_active_mode_takes_only_the_servers_data_connection(server, remote, tmp_path, monkeypatch):
    top, local = remote
    monkeypatch.setenv("CORVANE_RETRY_TIMES", "1")  # a retry's fresh client would not meet the stranger
    (tmp_path / "corvane.ini").write_text(server.config_text() + "pasv = false\n")
    with open(f"{local}/f.bin", "wb") as f:
        f.write(b"the real file " * 1000)
    client = top.client
    announce, elsewhere = client.sendport, []

    def stranger_first(host, port):  # servers connect as soon as they hear PORT: the stranger comes first
        with socket.socket() as probe:  # does the listener take connections to every address?
            elsewhere.append(probe.connect_ex((STRANGER, port)) == 0)
        with socket.create_connection((host, port), source_address=(STRANGER, 0)) as rogue:
            rogue.sendall(b"a stranger's bytes")
        return announce(host, port)

    client.sendport = stranger_first
    assert top.join("f.bin").read() == b"the real file " * 1000
    assert elsewhere and not any(elsewhere) and client.passiveserver is False
    del client.sendport  # ends the cycle: pyftpdlib stops answering others when an active session ends late


@pytest.mark.parametrize("chunks, limit", [
    ([b"220 a\r\n230-b\r\n 2\r\n230 c\r\n"], 8193),
    ([b"1 lf\n2 cr\r3 crlf\r", b"\n4\r", b"5\n"], 8193),  # "\r" split from its "\n", and alone
    ([b"257 \xc3", b"\xa9t\xc3\xa9\r\n"], 8193),  # a character split between reads
    ([b"500 " + b"x" * 30 + b"\r\n200 ok\r\n"], 10),  # longer than the limit: the rest is the next line
    ([b"226 \xc3\xa9" * 20], 10),  # no line end in sight, and no end at all
    ([b"221 bye"], 8193),  # the last line has no end
])
def test_the_engine_reader_splits_lines_as_ftplib_reader_does(chunks, limit):
    from corvane.ftp._exchange import ControlReader

    def lines(make_reader):
        ours, theirs = socket.socketpair()
        with ours, theirs:
            for chunk in chunks:
                theirs.sendall(chunk)
            theirs.shutdown(socket.SHUT_WR)
            reader, read = make_reader(ours), []
            while line := reader.readline(limit):
                read.append(line)
            return read

    expected = lines(lambda s: s.makefile("r", encoding="utf-8"))
    assert lines(lambda s: ControlReader(s, "utf-8")) == expected and expected
