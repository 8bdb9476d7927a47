"""Sessions of the transfer engine: logged-in clients made exactly as the
path's class makes its thread's client, and a per-process pool of them.

A session is made by the path's own `_reset`, so a subclass with another
client factory (another port, TLS with PROT P) works unchanged; the client is
then taken out of the calling thread's slot, which gets back what it held.
"""

import atexit
import ftplib
import itertools
import os
import socket
import ssl
import threading

from corvane.base import Local
from corvane.ftp.login import utf8_answered, wants_utf8

_serial = itertools.count(1)


class SessionsRefused(ConnectionError):
    """The server refused one more session and this process holds none."""


def is_refusal(exc):
    """A server's answer to one session too many: 421, or 530 "too many connections"."""
    text = str(exc).lower()
    if isinstance(exc, ftplib.error_temp) and text.startswith("421"):
        return True
    return (isinstance(exc, ftplib.error_perm) and text.startswith("530")
            and ("too many" in text or "connections" in text))


def server_of(path):
    try:
        return path._read_config(path._section[0]).get("host", "?")
    except Exception:  # the failure itself says what is wrong with the configuration
        return "?"


def open_client(path):
    """A fresh logged-in client for `path`'s server, not stored in any slot."""
    key = path._key_on_thread()
    held = Local.getattr(key)
    try:
        failure = path._reset(path._section[0])
        client = Local.getattr(key)
    finally:
        if held is None:
            Local.delattr(key)
        else:
            Local.setattr(key, held)
    if failure is not None:
        failure.add_note(f"while logging in to the FTP server {server_of(path)} for a transfer session")
        raise failure
    return client


class Session:
    """One logged-in client in binary mode; `data` is its data connection while one is open."""

    def __init__(self, path):
        self.client = open_client(path)
        self.id = (os.getpid(), next(_serial))
        self.data = None
        try:
            # Commands sent together must not wait for one another: Nagle's algorithm would
            # hold the second until the server acknowledged the first, a round trip later.
            self.client.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            # Sent with TYPE I, it costs no round trip of its own.
            utf8 = wants_utf8(self.client)
            if utf8:
                self.client.putcmd("OPTS UTF8 ON")
            self.client.putcmd("TYPE I")
            if utf8:
                utf8_answered(self.client)
            self.client.voidresp()
        except BaseException:
            self.drop()
            raise

    def quit(self):
        """Says goodbye without waiting for the answer: a round trip per session saved at the end."""
        try:
            self.client.putcmd("QUIT")
        except (OSError, ValueError):
            pass  # it ends either way
        self.drop()

    def drop(self):
        """Closes the connections without a word: after a fault nothing more is sent."""
        for connection in (self.data, self.client):
            try:
                if connection is not None:
                    connection.close()
            except OSError:
                pass

    def cut(self):
        """From another thread: makes every blocking call on this session fail at once."""
        for connection in (self.data, getattr(self.client, "sock", None)):
            try:
                if connection is not None:
                    connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def data_connection(client, command, download=False):
    """client.transfercmd(command), one round trip shorter.

    In passive mode the data connection is opened while the command travels,
    rather than before it is sent: every server accepts the command first and
    waits for the connection. The 1xx reply is still read before any byte
    moves, so a refused command never leaves bytes in flight. TLS clients
    (which wrap the connection) and active mode take ftplib's own way.

    For a `download`, the client's side of the connection is closed at once:
    nothing goes that way, and a server that waits for the client's end before
    its final reply (vsftpd does) then answers a round trip sooner. TLS keeps
    both directions open for its own closing handshake.
    """
    if not getattr(client, "passiveserver", False) or getattr(client, "_prot_p", False):
        conn = client.transfercmd(command)
        if download and not isinstance(conn, ssl.SSLSocket):
            conn.shutdown(socket.SHUT_WR)
        return conn
    address = client.makepasv()
    client.putcmd(command)
    # Should the connection fail, the session is out of step (a reply is owed): the caller drops it.
    conn = socket.create_connection(address, client.timeout, source_address=client.source_address)
    try:
        if download:
            conn.shutdown(socket.SHUT_WR)
        reply = client.getresp()
        if reply[:1] == "2":
            reply = client.getresp()
        if reply[:1] != "1":
            raise ftplib.error_reply(reply)
    except BaseException:
        conn.close()
        raise
    return conn


class SessionPool:
    """The sessions of one server in this process, lent to one job at a time.

    At most `cap` sessions are open at once. A server that refuses one more
    session sets the limit to the sessions already open; jobs then wait for
    one of those.
    """

    def __init__(self, path, cap=None):
        self.path = path
        self.idle = []
        self.busy = set()
        self.logging_in = 0
        self.cap = cap
        self.limit = None
        self.opened = []  # ids of every session made, for the report
        self.closed = False
        self.cond = threading.Condition()

    def take(self, fresh=False):
        """A session for one job; `fresh`: a new one where the limit allows, as after a fault."""
        with self.cond:
            while True:
                if self.closed:
                    raise InterruptedError("the transfer is over: its sessions are closed")
                room = self._room()
                if self.idle and not (fresh and room):
                    session = self.idle.pop()
                    self.busy.add(session)
                    return session
                if room:
                    self.logging_in += 1  # holds the place while logging in, outside the lock
                    break
                self.cond.wait()
        try:
            session = self._log_in()
        except SessionsRefused:
            if self.limit:
                return self.take()
            raise
        with self.cond:
            self.busy.add(session)
        return session

    def warm(self, count):
        """Logs in up to `count` sessions at once in the background, so that the
        first jobs find them ready rather than each waiting for its own login."""
        with self.cond:
            wanted = 0
            while self._count() < count and self._room():
                self.logging_in += 1
                wanted += 1
        for _ in range(wanted):
            threading.Thread(target=self._warm_one, name="corvane-ftp login", daemon=True).start()

    def _warm_one(self):
        try:
            session = self._log_in()
        except Exception:
            return  # whichever job needs a session meets the same fault, and reports it
        with self.cond:
            if not self.closed:
                self.idle.append(session)
                self.cond.notify()
                return
        session.quit()

    def _log_in(self):
        """A new session, its place already held in `logging_in`."""
        try:
            session = Session(self.path)
        except BaseException as exc:
            refused = is_refusal(exc)
            with self.cond:
                self.logging_in -= 1
                if refused:
                    self.limit = self._count()
                self.cond.notify_all()
            if refused:
                raise SessionsRefused(f"the FTP server {server_of(self.path)} refused a session: {exc}") from exc
            raise
        with self.cond:
            self.logging_in -= 1
            self.opened.append(session.id)
        return session

    def _room(self):
        count = self._count()
        return (self.limit is None or count < self.limit) and (self.cap is None or count < self.cap)

    def _count(self):
        return len(self.idle) + len(self.busy) + self.logging_in

    def give_back(self, session):
        with self.cond:
            self.busy.discard(session)
            if not self.closed:
                self.idle.append(session)
                self.cond.notify()
                return
        session.quit()

    def discard(self, session):
        with self.cond:
            self.busy.discard(session)
            self.cond.notify()
        session.drop()

    def cut_all(self):
        with self.cond:
            sessions = list(self.busy) + self.idle
        for session in sessions:
            session.cut()

    def close(self):
        with self.cond:
            self.closed = True
            idle, self.idle = self.idle, []
            self.cond.notify_all()
        for session in idle:
            session.quit()


_pools = {}
_pools_lock = threading.Lock()


def open_pool(path, run, cap):
    """The pool of one run, in the process that plans it (and runs its jobs on threads)."""
    with _pools_lock:
        pool = _pools[(type(path), path._section, run)] = SessionPool(path, cap)
        return pool


def pool_for(path, run):
    """The pool a job uses: its run's, in the run's own process; elsewhere (a worker
    process) one kept per server for every run, closed when the process exits."""
    with _pools_lock:
        pool = _pools.get((type(path), path._section, run))
        if pool is None:
            pool = _pools.get((type(path), path._section, None))
        if pool is None:
            pool = _pools[(type(path), path._section, None)] = SessionPool(path)
        return pool


def close_pool(path, run):
    with _pools_lock:
        pool = _pools.pop((type(path), path._section, run), None)
    if pool is not None:
        pool.close()


def _forget_parent_pools():
    # A forked worker must not share its parent's connections: it makes its own.
    global _pools, _pools_lock
    _pools, _pools_lock = {}, threading.Lock()


os.register_at_fork(after_in_child=_forget_parent_pools)


@atexit.register
def _close_all():
    with _pools_lock:
        pools = list(_pools.values())
        _pools.clear()
    for pool in pools:
        pool.close()
