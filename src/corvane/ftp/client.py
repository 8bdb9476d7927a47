"""What every ftplib client of ours believes of its server, and no more.

ftplib caps each reply line but not how many lines a multi-line reply has, so
a server that never ends one fills our memory; and in active mode it listens
on every interface and takes whoever connects first for the server's data
connection, so that another host's bytes would become the downloaded file.
`harden` fixes both on one client. The native `_reset` applies it to every
client it makes, which covers FTPPath, the path classes of `connect` and
`from_config`, and the transfer engine's sessions.
"""

from __future__ import annotations

import collections
import ftplib
import ipaddress
import socket
import time
import weakref
from typing import Any

from corvane.ftp import limits

# Connections from other hosts that one active-mode listener turns away before
# it gives up waiting for the server's.
STRANGERS = 64


def harden(client: Any) -> Any:
    """Bounds `client`'s multi-line replies and makes its active mode take only
    the server's data connection; anything that is not an `ftplib.FTP` (a test's
    fake client) is left alone. Returns `client`."""
    if isinstance(client, ftplib.FTP) and not client.__dict__.get("_corvane_hardened"):
        client._corvane_hardened = True  # type: ignore[attr-defined]  # once: a second would drop what owe() wrapped
        # Through a weak reference: a cycle would keep a dropped client, and its
        # connection, open until the garbage collector ran.
        ref = weakref.ref(client)
        client.getmultiline = lambda: bounded_multiline(_held(ref))  # type: ignore[method-assign]
        client.makeport = lambda: server_only_port(_held(ref))  # type: ignore[method-assign]
    return client


def _held(ref: "weakref.ref[ftplib.FTP]") -> ftplib.FTP:
    client = ref()
    if client is None:  # only a method taken off a client that is gone
        raise ReferenceError("the FTP client of this method no longer exists")
    return client


def _control(client: ftplib.FTP) -> socket.socket:
    if client.sock is None:
        raise ConnectionError(f"the session with the FTP server {server_name(client)} is closed")
    return client.sock


def server_name(client: ftplib.FTP) -> str:
    return f"{getattr(client, 'host', '?')}:{getattr(client, 'port', '?')}"


def bounded_multiline(client: ftplib.FTP) -> str:
    """ftplib's getmultiline, refusing a reply of more than limits.REPLY_LINES
    lines or limits.REPLY_BYTES characters (one more per line end)."""
    line = client.getline()
    if line[3:4] != "-":
        return line
    code = line[:3]
    lines = [line]
    size = len(line) + 1
    while True:
        line = client.getline()
        lines.append(line)
        size += len(line) + 1
        if len(lines) > limits.REPLY_LINES or size > limits.REPLY_BYTES:
            cap = (f"{limits.REPLY_LINES} lines" if len(lines) > limits.REPLY_LINES
                   else f"{limits.REPLY_BYTES} bytes")
            _hang_up(client)
            raise ftplib.error_proto(f"the FTP server {server_name(client)} sent a reply of more than {cap} "
                                     f"(code {code}); the session was closed: connect again, and if it "
                                     f"recurs the server or something between is at fault")
        if line[:3] == code and line[3:4] != "-":
            return "\n".join(lines)


def _hang_up(client: ftplib.FTP) -> None:
    # The rest of the reply is never read: any later reply on this connection
    # would answer the wrong command, so the connection ends here, at once
    # (the path drops such a client unclosed, leaving its socket to the collector).
    try:
        client.close()
    except OSError:
        pass


class ServerOnlyListener(socket.socket):
    """A listening socket whose accept() takes only a connection from `server`
    (an address): any other peer is closed at once, and the wait goes on
    within the socket's timeout."""

    server: str = ""
    where: str = "?"

    def accept(self) -> tuple[socket.socket, Any]:
        timeout = self.gettimeout()
        deadline = None if timeout is None else time.monotonic() + timeout
        for _ in range(STRANGERS + 1):
            conn, address = super().accept()
            if same_host(address[0], self.server):
                return conn, address
            conn.close()
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"active mode: the FTP server {self.where} did not open the data "
                                       f"connection in time; others tried from elsewhere")
                self.settimeout(left)
        raise ConnectionRefusedError(f"active mode: {STRANGERS + 1} data connections to the port announced to "
                                     f"the FTP server {self.where} came from other hosts; use passive mode "
                                     f"(pasv = true)")


def same_host(a: str, b: str) -> bool:
    try:
        return ipaddress.ip_address(a.partition("%")[0]) == ipaddress.ip_address(b.partition("%")[0])
    except ValueError:
        return a == b


def server_only_port(client: ftplib.FTP) -> socket.socket:
    """ftplib's makeport, listening on the control connection's own local
    address only, for a data connection from the control connection's peer only."""
    control = _control(client)
    local = control.getsockname()
    listener = ServerOnlyListener(client.af, socket.SOCK_STREAM)
    try:
        listener.server = control.getpeername()[0]
        listener.where = server_name(client)
        listener.bind((local[0], 0) + tuple(local[2:]))
        listener.listen(5)  # room for the server behind a stranger or two
        port = listener.getsockname()[1]
        if client.af == socket.AF_INET:
            client.sendport(local[0], port)
        else:
            client.sendeprt(local[0], port)
        if client.timeout is not socket._GLOBAL_DEFAULT_TIMEOUT:  # type: ignore[attr-defined]
            listener.settimeout(client.timeout)
    except BaseException:
        listener.close()
        raise
    return listener


class _Owed:
    """A client's replies owed to commands sent without waiting, in the order they come: it
    stands in for the client's getmultiline, through which every reply is read, so that the
    owed ones are heard first whatever the next command is."""

    def __init__(self, read):
        self.read = read
        self.waiting = collections.deque()

    def __call__(self):
        self.hear()
        return self.read()

    def hear(self):
        while self.waiting:
            heard = self.waiting.popleft()  # before reading: a read that fails must not be read again
            heard(self.read())


def owe(client, heard):
    """Records a command sent without waiting for its reply: heard(reply text) gets it when the
    client reads its next reply, or hear_owed(client) is called."""
    owed = client.__dict__.get("getmultiline")
    if not isinstance(owed, _Owed):
        owed = client.getmultiline = _Owed(client.getmultiline)
    owed.waiting.append(heard)


def owed_replies(client):
    """Takes the callbacks of the replies `client` owes, in order: for a caller that reads those
    replies itself."""
    owed = client.__dict__.get("getmultiline")
    if not isinstance(owed, _Owed):
        return []
    waiting = list(owed.waiting)
    owed.waiting.clear()
    return waiting


def hear_owed(client):
    """Reads the replies `client` still owes: before it says goodbye, so that what they did is
    done when the run returns."""
    owed = client.__dict__.get("getmultiline")
    if isinstance(owed, _Owed):
        owed.hear()
