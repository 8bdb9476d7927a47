"""FTPS against servers that require it, through corvane.ftp.connect and config sections."""

import datetime
import os
import shutil
import socket
import ssl
import threading

import pytest

import certs
from corvane.ftp import InsecureTLSWarning, TLSError, TLSRequiredError, connect, from_config, login, tls
from corvane.ftp._sessions import Session

pytestmark = pytest.mark.group("tls")


def tls_class(server, mode, way, tmp_path, monkeypatch):
    if way == "code":  # on the mode's default port
        return connect(server.host, user=server.user, password=server.password, tls=mode,
                       ca_file=server.extra["ca_file"], timeout=20)
    config = tmp_path / "corvane.ini"  # this way runs in active mode
    config.write_text(f"[ftp]\nhost = elsewhere\n[ftps]\nhost = {server.host}\nport = {server.tls_ports[mode]}\n"
                      f"user = {server.user}\npasswd = {server.password}\ntls = {mode}\n"
                      f"ca_file = {server.extra['ca_file']}\ntimeout = 20\npasv = no\n")
    monkeypatch.setenv("CORVANE_CONFIG", str(config))
    return from_config("ftps")


@pytest.mark.parametrize("way", ["code", "config"])
@pytest.mark.parametrize("mode", ["explicit", pytest.param("implicit", marks=pytest.mark.group("implicit TLS"))])
def test_every_operation_over_tls(tls_server, tls_remote, mode, way, tmp_path, monkeypatch):
    name, local = tls_remote
    path = tls_class(tls_server, mode, way, tmp_path, monkeypatch)
    top = path("/" + name)
    (tmp_path / "tree" / "sub").mkdir(parents=True)
    (tmp_path / "tree" / "a.bin").write_bytes(os.urandom(70000))
    target, content = top.join("new", "f.bin"), os.urandom(300000)

    target.write(content)
    top.join("tree").upload(str(tmp_path / "tree"))

    assert target.read() == content
    assert (target.exists, target.is_dir(), target.parent.is_dir(), top.join("none").exists) == (True, False, True, False)
    stamp = os.stat(os.path.join(local, "new", "f.bin")).st_mtime
    assert target.mtime == datetime.datetime.utcfromtimestamp(int(stamp)) + datetime.timedelta(hours=8)
    found = list(top.join("tree").glob())
    assert sorted(p.path.name for p in found) == ["a.bin", "sub"] and {type(p) for p in found} == {path}
    assert top.join("tree", "a.bin").read() == (tmp_path / "tree" / "a.bin").read_bytes()
    top.join("tree").delete()
    target.parent.delete()
    assert os.listdir(local) == []


def test_a_plain_session_is_refused_with_a_hint(tls_server):
    plain = connect(tls_server.host, user=tls_server.user, password=tls_server.password, timeout=20)
    where = f"FTP server {tls_server.host}:21"
    with pytest.raises(TLSRequiredError, match=rf"^{where} refuses a plain session \(\d{{3}} .+\): connect with tls='explicit'"):
        plain("/").exists


@pytest.mark.parametrize("trusted", ["system store", "another CA"])
def test_an_untrusted_certificate_fails_clearly(tls_server, trusted, tmp_path):
    ca_file = None if trusted == "system store" else certs.make(str(tmp_path), [tls_server.host])[0]
    path = connect(tls_server.host, user=tls_server.user, password=tls_server.password, tls="explicit",
                   ca_file=ca_file, timeout=20)
    with pytest.raises(TLSError, match=rf"^FTP server {tls_server.host}:21: its TLS certificate is not trusted "
                                       r"\(.+\); give ca_file"):
        path("/").exists


def test_no_verification_works_and_warns(tls_server):
    with pytest.warns(InsecureTLSWarning, match=r"ftps://.+:21: the server's TLS certificate will NOT be verified"):
        path = connect(tls_server.host, user=tls_server.user, password=tls_server.password, tls=True,
                       verify=False, timeout=20)
    assert path("/").is_dir()


@pytest.mark.parametrize("code, text", [(62, "Hostname mismatch, certificate is not valid for 'x'."), (20, "no CA")])
def test_certificate_failure_says_what_is_wrong(code, text):
    exc = ssl.SSLCertVerificationError(1, "certificate verify failed")
    exc.verify_code, exc.verify_message = code, text
    message = str(login._explain(exc, "FTP server 127.0.0.1:990", "implicit"))
    assert text in message and ("made for another host name" in message, "ca_file" in message) == (code == 62, code != 62)


def test_cut_tls_data_socket_never_sends_in_the_clear(tmp_path):
    ca_file, pem = certs.make(str(tmp_path), ["127.0.0.1"])
    peer = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    peer.load_cert_chain(pem)
    ours, theirs = socket.socketpair()
    theirs = peer.wrap_socket(theirs, server_side=True, do_handshake_on_connect=False)  # its recv shakes hands
    thread = threading.Thread(target=lambda: theirs.recv(1))  # until the cut
    thread.start()
    session = Session.__new__(Session)  # a transfer's session, but for its login
    session.client, session.data = None, tls.context(ca_file).wrap_socket(ours, server_hostname="127.0.0.1")
    session.cut()
    thread.join()
    assert session.data.version() is not None  # still TLS: a send on it cannot go out plain
    with session.data, theirs, pytest.raises(OSError):
        session.data.sendall(b"file bytes")


@pytest.mark.parametrize("direction", ["get", "put --update"])
def test_engine_tree_over_tls(tls_server, tls_remote, direction, tmp_path):
    # vsftpd (strict_ssl_write_shutdown) answers 426 to a data connection closed without TLS's closing handshake.
    from corvane.ftp.transfer import get, put
    name, local = tls_remote
    path = connect(tls_server.host, user=tls_server.user, password=tls_server.password, tls="explicit",
                   ca_file=tls_server.extra["ca_file"], timeout=20)
    rels, mine = ["a.bin", "sub/b.bin", "sub/deeper/c.bin"], tmp_path / "mine"
    for rel in rels:
        os.makedirs(os.path.dirname(os.path.join(local, rel)), exist_ok=True)
        with open(os.path.join(local, rel), "wb") as f:
            f.write(os.urandom(5000))
    if direction == "put --update":  # a.bin is as on the server; the others are longer there
        shutil.copytree(local, mine)
        for rel in rels[1:]:
            (mine / rel).write_bytes(os.urandom(7000))
    report = get(path("/" + name), mine, jobs=3) if direction == "get" else put(mine, path("/" + name), update=True)
    assert all(open(os.path.join(local, rel), "rb").read() == (mine / rel).read_bytes() for rel in rels)
    assert (report.files_moved, report.files_skipped, report.files_failed) == (
        (3, 0, 0) if direction == "get" else (2, 1, 0))


def test_directory_checks_keep_their_session(tls_server, tls_remote, tmp_path, monkeypatch):
    # is_dir cuts a RETR short; Pure-FTPd, its TLS data connection closed mid-file, at times never
    # answers again, and the session is then replaced after its timeout.
    name, local = tls_remote
    with open(os.path.join(local, "big.bin"), "wb") as f:
        f.write(os.urandom(4 << 20))
    path = tls_class(tls_server, "explicit", "code", tmp_path, monkeypatch)(f"/{name}/big.bin")
    client = path.client
    assert [path.is_dir() for _ in range(20)] == [False] * 20 and path.client is client
