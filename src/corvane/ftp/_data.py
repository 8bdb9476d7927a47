"""Data connections: opened one round trip shorter, ended with the reply they owe on every path.

Every byte that moves over a data connection (the engine's listings, downloads
and uploads, the command line's, and those of the TLS path classes) goes
through a `DataConnection`, so that the closing handshake and the final
reply are written once; the one exception is the engine's transfer of a file
on a plain passive session, which `_exchange` hands to native code whole.
"""

from __future__ import annotations

import contextlib
import ftplib
import socket
import ssl
from typing import Any

# How long a cut transfer waits for the reply it owes, or for the next bytes of a TLS download
# read to its end (see DataConnection.cut), and how many bytes of that end it reads at most.
CUT_WAIT = 2.0
DRAIN = 8 << 20


class DataConnection:
    """One data connection and the final reply its command owes, on every path.

        with DataConnection(client, f"RETR {path}", download=True) as data:
            while block := data.sock.recv(size): ...
            data.finish()

    Opening sends the command and reads its 1xx (see `data_connection`). `finish()` ends a
    whole transfer: TLS's closing handshake (a server may count the transfer cut
    without it: vsftpd with strict_ssl_write_shutdown answers 426), the close, and the
    final reply, raised as ftplib's errors. Leaving the block without `finish()` (an
    error, a stop, a reader that had enough) is a cut: a TLS download ends TLS first (see
    `end_tls_download`); an upload does not, as the server could take a close_notify for
    the end of a whole file. The one reply owed is then read, whatever it says, so that
    the session is in step again; should that fail, the client's last reply stays the
    1xx, which tells FTPPath's reset that one is still owed (the engine drops a session
    after any fault). `holder` (a Session) holds the socket in `data` while it is open,
    for a cut from another thread.
    """

    def __init__(self, client: Any, command: str, download: bool = False, rest: Any = None,
                 holder: Any = None, ordered: bool = False) -> None:
        self.client = client
        self.download = download
        self.answer: ftplib.Error | None = None  # the refusal that ended a cut transfer, where the server gave one
        self.sock: socket.socket = data_connection(client, command, download, rest, ordered)
        self.ended = False
        self.holder = holder
        if holder is not None:
            holder.data = self.sock

    def __enter__(self) -> DataConnection:
        return self

    def __exit__(self, kind: Any, exc: BaseException | None, traceback: Any) -> None:
        if not self.ended:
            # Ctrl-C wants the end at once, not after the rest of a download.
            self.cut(drain=exc is None or isinstance(exc, Exception))

    def finish(self) -> str:
        """The transfer is whole: the closing handshake, the close, and the final reply."""
        sock = self._release()
        try:
            if isinstance(sock, ssl.SSLSocket):
                sock.unwrap()
        finally:
            sock.close()
        return str(self.client.voidresp())

    def cut(self, drain: bool = True) -> bool:
        """The transfer ends short: the socket closes, and the reply owed is read and set aside.
        A TLS download is first read to its end where that end is near (`drain`). True when the
        session is in step again: a caller that keeps its session for the next transfer (an
        open fsspec file, from one read to the next) keeps it only then."""
        sock = self._release()
        try:
            if self.download and isinstance(sock, ssl.SSLSocket):
                end_tls_download(sock, DRAIN if drain else 0, min(sock.gettimeout() or CUT_WAIT, CUT_WAIT))
        finally:
            sock.close()
        control = getattr(self.client, "sock", None)
        timeout = control.gettimeout() if control is not None else None
        try:
            # Servers answer a cut at once; one that does not is not waited for as long as for a byte.
            if control is not None and (timeout or CUT_WAIT) >= CUT_WAIT:
                control.settimeout(CUT_WAIT)
            self.client.voidresp()
        except (ftplib.error_temp, ftplib.error_reply, ftplib.error_perm) as reply:
            # 426, a 226 for a transfer already sent whole, Pure-FTPd's 150 line: all final. A server
            # that broke off an upload says why here (552 for a full disk).
            self.answer = reply
        except (OSError, EOFError, ftplib.Error):
            return False  # out of step: see the class's note
        finally:
            if control is not None:
                with contextlib.suppress(OSError):
                    control.settimeout(timeout)
        # The reply owed is in: nothing is pending, whatever its code (FTPPath's reset looks for a 1xx).
        self.client.lastresp = ""
        return True

    def _release(self) -> socket.socket:
        self.ended = True
        if self.holder is not None:
            self.holder.data = None
        return self.sock


def end_tls_download(sock: ssl.SSLSocket, drain: int, wait: float) -> None:
    """Ends a TLS download cut short. Pure-FTPd with TLS required, its data connection closed
    mid-file, at times never sends the final reply, nor answers anything after it (in about
    one cut of three on loopback): so up to `drain` more bytes are read and dropped, each
    within `wait` seconds, and where the file ends by then TLS closes as after a whole
    transfer. Otherwise our close_notify goes out alone, and the reply may not come."""
    try:
        sock.settimeout(wait)
        while drain > 0 and (block := sock.recv(min(drain, 1 << 16))):
            drain -= len(block)
        if drain > 0:
            sock.unwrap()
            return
        sock.settimeout(0)
        sock.unwrap()
    except (OSError, ValueError):
        pass  # SSLWantReadError once close_notify is sent alone; a connection already broken says nothing more


def data_connection(client: Any, command: str, download: bool = False, rest: Any = None,
                    ordered: bool = False) -> socket.socket:
    """client.transfercmd(command), one round trip shorter.

    In passive mode the data connection is opened while the command travels,
    rather than before it is sent: every server accepts the command first and
    waits for the connection. The 1xx reply is still read before any byte
    moves, so a refused command never leaves bytes in flight. TLS clients
    (which wrap the connection) and active mode take ftplib's own way, and so
    does an `ordered` command, one a server may refuse after closing its
    passive port (ProFTPD does, to REST+STOR and APPE).

    For a `download`, the client's side of the connection is closed once the
    server has accepted the command (its 1xx reply): nothing goes that way, and
    a server that waits for the client's end before its final reply then
    answers sooner. Not before: pyftpdlib drops a data connection whose client
    end is closed before the command arrives, and then waits for another that
    never comes. vsftpd, known by its greeting, waits for the client's end and
    takes it at once: there it is closed right away, and its 226 comes a
    round trip sooner for a small file. TLS keeps both directions open for its
    own closing handshake.

    A `rest` offset goes in the same write as PASV, after it, in the order every
    client sends them (PASV, REST, RETR).
    """
    if not getattr(client, "passiveserver", False) or getattr(client, "_prot_p", False) or ordered \
            or (rest and client.af != socket.AF_INET):
        conn: socket.socket = client.transfercmd(command, rest)
        if download and not isinstance(conn, ssl.SSLSocket):
            conn.shutdown(socket.SHUT_WR)
        return conn
    address = client.__dict__.pop("_corvane_passive", None) if not rest else None
    if address is None:
        address = passive_with_rest(client, rest) if rest else client.makepasv()
    client.putcmd(command)
    # Should the connection fail, the session is out of step (a reply is owed): the caller drops it.
    conn = socket.create_connection(address, client.timeout, source_address=client.source_address)
    early = download and takes_early_end(client)
    try:
        if early:
            conn.shutdown(socket.SHUT_WR)
        reply = client.getresp()
        if reply[:1] == "2":
            reply = client.getresp()
        if reply[:1] != "1":
            raise ftplib.error_reply(reply)
        if download and not early:
            conn.shutdown(socket.SHUT_WR)
    except BaseException:
        conn.close()
        raise
    return conn


def can_pipeline_passive(client: Any) -> bool:
    """Whether `client` opens its data connections by data_connection's own PASV (plain, passive, IPv4)."""
    return bool(getattr(client, "passiveserver", False)) and not getattr(client, "_prot_p", False) \
        and client.af == socket.AF_INET


def passive_address(client: Any, reply: str) -> tuple[str, int]:
    """The address of a 227 reply, as ftplib's makepasv takes it (the control connection's peer,
    unless the client trusts the server's own)."""
    host, port = ftplib.parse227(reply)
    return (host if client.trust_server_pasv_ipv4_address else client.sock.getpeername()[0]), port


@contextlib.contextmanager
def passive_ready(client: Any, address: tuple[str, int]) -> Any:
    """Within the block, the next data connection of `client` takes `address`, a PASV already
    answered, rather than asking again: a PASV sent together with other questions costs no
    round trip of its own. Unused, the server's port is connected to and closed, so that no
    listener is left waiting (pyftpdlib answers one left for 30 s with a 421 nobody expects)."""
    client._corvane_passive = address
    try:
        yield
    finally:
        if client.__dict__.pop("_corvane_passive", None) is not None:
            with contextlib.suppress(OSError), socket.create_connection(address, CUT_WAIT):
                pass


def passive_with_rest(client: Any, rest: Any) -> tuple[str, int]:
    """client.makepasv() with REST `rest` sent in the same write; both replies are read before
    either is judged, so that a refusal leaves the session in step."""
    client.putcmd("PASV")
    client.putcmd(f"REST {rest}")
    pasv, restart = client.getmultiline(), client.getmultiline()
    for reply, wanted in ((pasv, "227"), (restart, "3")):
        if not reply.startswith(wanted):
            kind = {"4": ftplib.error_temp, "5": ftplib.error_perm}.get(reply[:1], ftplib.error_reply)
            raise kind(reply)
    return passive_address(client, pasv)


def takes_early_end(client: Any) -> bool:
    """Whether the server is one known to take a download's data connection closed on the client's
    side before the command's 1xx, and to answer sooner for it: vsftpd, by its greeting."""
    return "vsftpd" in (getattr(client, "welcome", None) or "").lower()


def reads_no_command_during_transfer(client: Any) -> bool:
    """Whether the server is one known to leave commands unread while a transfer runs and to answer
    them, in order, once its final reply is sent, so that a PASV may travel with the transfer
    command: vsftpd, by its greeting. pyftpdlib, for one, acts on a PASV at once and so ends the
    transfer under way."""
    return takes_early_end(client)
