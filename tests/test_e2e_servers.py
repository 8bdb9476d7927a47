"""The test servers are configured as the suite needs them, whatever their defaults."""

import ftplib
import os
from concurrent.futures import ThreadPoolExecutor

import pytest

pytestmark = pytest.mark.group("servers")

# Above the thread tests' needs; vsftpd refuses the 51st login from one address by
# default, Pure-FTPd the 51st in all.
SIMULTANEOUS = 70


def test_many_simultaneous_logins(server):
    def login():
        client = ftplib.FTP(server.host, timeout=20)
        try:
            client.login(server.user, server.password)
        except BaseException:
            client.close()
            raise
        return client

    with ThreadPoolExecutor(16) as pool:
        attempts = [pool.submit(login) for _ in range(SIMULTANEOUS)]
    clients = [a.result() for a in attempts if a.exception() is None]
    try:
        assert [str(a.exception()) for a in attempts if a.exception()] == []
        assert [c.voidcmd("NOOP")[:3] for c in clients] == ["200"] * SIMULTANEOUS
    finally:
        for c in clients:
            c.close()


def test_listing_shows_dot_files(server, remote):
    """vsftpd, ProFTPD and Pure-FTPd hide them by default; a tree delete would then stop
    at a directory that looks empty."""
    local = remote[1]
    for name in (".profile", "plain.txt"):
        open(os.path.join(local, name), "wb").close()
    lines = []
    with ftplib.FTP(server.host, server.user, server.password, timeout=20) as client:
        client.retrlines("LIST /" + os.path.basename(local), lines.append)
    names = {line.split(maxsplit=8)[-1] for line in lines} - {".", ".."}  # Pure-FTPd shows those
    assert names == {".profile", "plain.txt"}
