"""Path classes from connect() and from_config() on servers at ports other than 21."""

import pathlib
from concurrent.futures import ProcessPoolExecutor

import pytest

import servers
from corvane.ftp import TLSError, connect, from_config

pytestmark = pytest.mark.group("connect")


@pytest.fixture
def two_servers(tmp_path, request):
    """Two pyftpdlib servers on free ports: [(port, root)] * 2."""
    made = []
    for name in ("first", "second"):
        server = servers.start_pyftpdlib_any_port(str(tmp_path / name))
        request.addfinalizer(server.stop)
        made.append((server.port, pathlib.Path(server.root)))
    return made


def read_in_worker(path):
    return path.read(), type(path).__name__, path.client.sock.getsockname()


@pytest.mark.filterwarnings("ignore::corvane.ftp.InsecureTLSWarning")
def test_two_servers_on_other_ports(two_servers, tmp_path, monkeypatch):
    (port_a, root_a), (port_b, root_b) = two_servers
    config = tmp_path / "corvane.ini"
    config.write_text(f"[second]\nhost = 127.0.0.1\nport = {port_b}\nuser = ftppy\n"
                      f"password = {servers.USER_PASSWORD}\npasv = no\ntimeout = 20\n")
    monkeypatch.setenv("CORVANE_CONFIG", str(config))
    a = connect("127.0.0.1", port_a, user="ftppy", password=servers.USER_PASSWORD, timeout=20)
    b = from_config("second")

    a("/d/f.txt").write(b"first")
    b("/d/f.txt").write(b"second")

    assert (root_a / "d" / "f.txt").read_bytes() == b"first" and (root_b / "d" / "f.txt").read_bytes() == b"second"
    assert (a("/").client.passiveserver, b("/").client.passiveserver) == (True, False)
    assert [p.path.name for p in b("/d").glob()] == ["f.txt"] and b("/d/f.txt").parent == b("/d")
    assert connect("127.0.0.1", port_a, user="ftppy", password=servers.USER_PASSWORD, timeout=20) is a
    # Workers forked after this process logged in must log in for themselves.
    with ProcessPoolExecutor(2) as pool:
        results = list(pool.map(read_in_worker, [a("/d/f.txt"), b("/d/f.txt")]))
    assert [r[:2] for r in results] == [(b"first", "ServerPath"), (b"second", "ServerPath")]
    assert {r[2] for r in results}.isdisjoint({a("/").client.sock.getsockname(), b("/").client.sock.getsockname()})
    with pytest.raises(TLSError, match=rf"^FTP server 127.0.0.1:{port_a} does not offer explicit TLS \(AUTH TLS answered 5"):
        connect("127.0.0.1", port_a, tls=True, verify=False, timeout=20)("/").exists
