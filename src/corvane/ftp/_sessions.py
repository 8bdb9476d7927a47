"""Sessions of the transfer engine: logged-in clients made exactly as the
path's class makes its thread's client, and a per-process pool of them.

A session is made by the path's own `_reset`, so a subclass with another
client factory (another port, TLS with PROT P) works unchanged; the client is
then taken out of the calling thread's slot, which gets back what it held.
"""

import atexit
import contextlib
import ftplib
import itertools
import os
import socket
import threading
import time

from corvane.base import Local
from corvane.ftp import _features, _exchange, _times
from corvane.ftp.client import hear_owed, owe, server_name
from corvane.ftp.login import ask_utf8, wants_utf8

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
    """One logged-in client in binary mode (from its first command on); `data` is its data
    connection while one is open; `time_setter` the command that sets a file's time on its
    server (see _times.time_setter)."""

    def __init__(self, path):
        self.client = open_client(path)
        self.id = (os.getpid(), next(_serial))
        self.data = None
        self._time_setter = _UNHEARD
        try:
            client = self.client
            # Commands sent together must not wait for one another: Nagle's algorithm would
            # hold the second until the server acknowledged the first, a round trip later.
            client.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            # No reply has been read since the login's last command went out: ftplib's reader
            # holds nothing, and the one that takes its place starts with the next reply.
            _exchange.install(client)
            # Their answers are read with the next command's: the session's first command
            # goes out now, not a round trip later.
            if wants_utf8(client):
                ask_utf8(client)
            client.putcmd("FEAT")
            owe(client, self._featured)
            client.putcmd("TYPE I")
            owe(client, self._binary)
        except BaseException:
            self.drop()
            raise

    def _binary(self, reply):
        """Hears the answer to TYPE I. A refusal fails the command whose reply came with it, which
        drops the session: files must not move in another mode."""
        if reply[:1] != "2":
            error = ftplib.error_temp if reply[:1] == "4" else ftplib.error_perm
            raise error(f"the FTP server {server_name(self.client)} refused binary mode (TYPE I: {reply}), "
                        f"the only one files are moved in")

    def _featured(self, reply):
        self._time_setter = _times.time_setter(_features.remember(self.client, reply), self.client.welcome)

    @property
    def time_setter(self):
        """The command that sets a file's time on the server, from its answer to FEAT, read
        here where no command since has brought it."""
        if self._time_setter is _UNHEARD:
            hear_owed(self.client)
        return self._time_setter

    def quit(self):
        """Says goodbye without waiting for the answer: a round trip per session saved at the end.
        The replies owed before it are read: a time set after the last upload is set once the run returns."""
        try:
            hear_owed(self.client)
            self.client.putcmd("QUIT")
        except (OSError, ValueError, EOFError, ftplib.Error):
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
            if connection is not None:
                cut_socket(connection)


_UNHEARD = object()  # a session's time setter while its answer to FEAT is on its way


def cut_socket(connection):
    """Shuts a socket down from another thread. An SSLSocket's own shutdown first forgets its
    TLS state, and a send on another thread in that moment would go out in the clear: the
    socket underneath is shut instead, and every later send or receive on it fails."""
    try:
        socket.socket.shutdown(connection, socket.SHUT_RDWR)
    except OSError:
        pass


def session_wait():
    """How long a pool that holds no session keeps asking a server that refuses them (CORVANE_SESSION_WAIT)."""
    try:
        return max(float(os.environ.get("CORVANE_SESSION_WAIT", 30)), 0.0)
    except ValueError:
        return 30.0


# Pauses after refused logins: doubling from the first to the last, then the last again.
FIRST_PAUSE, LAST_PAUSE = 0.05, 2.0


class SessionPool:
    """The sessions of one server in this process, lent to one job at a time.

    At most `cap` sessions are open at once. A server that refuses one more
    session costs a pause, doubling with each refusal in a row, before any
    job logs in again; meanwhile jobs take the sessions already open. A pool
    that holds none fails a job that has waited `session_wait()` seconds
    through refusals, naming the server and its answer.
    """

    def __init__(self, path, cap=None, shared=False):
        self.path = path
        self.idle = []
        self.busy = set()
        self.unchecked = set()  # idle sessions to ask NOOP before lending: a fault may have ended them
        self.logging_in = 0
        self.cap = cap
        self.shared = shared  # a worker process's pool, for every run: a refused job goes back to the run
        self.refusals = 0  # in a row
        self.retry_at = 0.0  # no login before this (time.monotonic)
        self.refused = None  # the last refusal
        self.opened = []  # ids of every session made, for the report
        self.closed = False
        self.cond = threading.Condition()
        self.warmers = []

    def take(self, fresh=False):
        """A session for one job; `fresh`: a new one where the cap allows, as after a fault."""
        waited_from = time.monotonic()
        while True:
            session, check = self._lend(fresh, waited_from)
            if session is None:
                try:
                    return self._log_in()
                except SessionsRefused:
                    continue  # _lend waits out the pause, and fails the wait once it is too long
            if not check or self._answers(session):
                return session

    def _lend(self, fresh, waited_from):
        """(an idle session, now busy, and whether to check it first); (None, False) when the
        caller is to log in, its place held in `logging_in`."""
        with self.cond:
            while True:
                if self.closed:
                    raise InterruptedError("the transfer is over: its sessions are closed")
                now = time.monotonic()
                room = self._room()
                if self.idle and not (fresh and room and now >= self.retry_at):
                    session = self.idle.pop()
                    self.busy.add(session)
                    check = session in self.unchecked
                    self.unchecked.discard(session)
                    return session, check
                if room and now >= self.retry_at:
                    self.logging_in += 1  # holds the place while logging in, outside the lock
                    return None, False
                # A worker's pool gives up at once: the run hands the job to a worker that may hold a session.
                if self.refused is not None and not (self.idle or self.busy or self.logging_in) \
                        and now - waited_from >= (0 if self.shared else session_wait()):
                    raise SessionsRefused(
                        f"the FTP server {server_of(self.path)} refused every new session for "
                        f"{now - waited_from:.0f} s (its last answer: {self.refused}): close other sessions to "
                        f"it, or let it take more; CORVANE_SESSION_WAIT sets how long to try") from self.refused
                # Without room, a session in use comes back (give_back and discard notify).
                self.cond.wait(max(self.retry_at - now, 0.01) if room else None)

    def take_free(self):
        """An idle session, or a new one where the cap allows it now; None otherwise. For a job that
        can use more sessions than its own (the ranges of a segmented download) but must never wait
        for the ones other jobs hold, nor through a pause after refusals."""
        with self.cond:
            # Sessions being logged in (warm's) are waited for: they are no other job's yet.
            while self.closed or not self.idle and not (self._room() and time.monotonic() >= self.retry_at):
                if self.closed:
                    raise InterruptedError("the transfer is over: its sessions are closed")
                if not self.logging_in:
                    return None
                self.cond.wait(0.05)
            session = self.idle.pop() if self.idle else None
            if session is not None:
                self.busy.add(session)
                check = session in self.unchecked
                self.unchecked.discard(session)
            else:
                self.logging_in += 1
        if session is not None:
            return session if not check or self._answers(session) else None
        try:
            return self._log_in()
        except Exception:
            return None  # the job goes on with the sessions it has

    def _answers(self, session):
        """Whether a session that may have been ended from outside still answers; one that does not is dropped."""
        try:
            session.client.voidcmd("NOOP")
            return True
        except Exception:
            self.discard(session)
            return False

    def warm(self, count):
        """Logs in up to `count` sessions at once in the background, so that the
        first jobs find them ready rather than each waiting for its own login.
        close() joins these threads."""
        with self.cond:
            wanted = 0
            while not self.closed and self._count() < count and self._room() and time.monotonic() >= self.retry_at:
                self.logging_in += 1
                wanted += 1
            for _ in range(wanted):
                thread = threading.Thread(target=self._warm_one, name="corvane-ftp login")
                self.warmers.append(thread)
                thread.start()

    def _warm_one(self):
        with contextlib.suppress(Exception):  # whichever job needs a session meets the same fault, and reports it
            self._log_in(lent=False)

    def _log_in(self, lent=True):
        """A new session, its place already held in `logging_in`: lent (busy), or for warm() idle
        (None, and closed, where the pool closed meanwhile). Its place passes from `logging_in` to
        where it goes in one step: counted short in between, it let another caller log in one
        session past the cap."""
        try:
            session = Session(self.path)
        except BaseException as exc:
            refused = is_refusal(exc)
            with self.cond:
                self.logging_in -= 1
                if refused:
                    self.refused = exc
                    self.retry_at = time.monotonic() + min(FIRST_PAUSE * 2 ** self.refusals, LAST_PAUSE)
                    self.refusals += 1
                self.cond.notify_all()
            if refused:
                raise SessionsRefused(f"the FTP server {server_of(self.path)} refused a session: {exc}") from exc
            raise
        with self.cond:
            self.logging_in -= 1
            self.refusals = 0
            self.refused = None
            self.opened.append(session.id)
            if lent:
                self.busy.add(session)
                return session
            if not self.closed:
                self.idle.append(session)
                self.cond.notify()
                return session
        session.quit()
        return None

    def _room(self):
        return self.cap is None or self._count() < self.cap

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

    def discard(self, session, exc=None):
        """Drops a session after a fault; after one that is no FTP reply (a broken connection, a
        timeout), the idle sessions are checked before they are lent: the same cause may have ended them."""
        with self.cond:
            self.busy.discard(session)
            self.unchecked.discard(session)
            if exc is not None and not isinstance(exc, ftplib.Error):
                self.unchecked.update(self.idle)
            self.cond.notify()
        session.drop()

    def cut_all(self):
        with self.cond:
            sessions = list(self.busy) + self.idle
        for session in sessions:
            session.cut()

    def close(self):
        """Closes the idle sessions and joins the login threads, whose sessions are closed as they come."""
        with self.cond:
            self.closed = True
            idle, self.idle = self.idle, []
            warmers, self.warmers = self.warmers, []
            self.cond.notify_all()
        for session in idle:
            session.quit()
        for thread in warmers:
            thread.join()


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
            pool = _pools[(type(path), path._section, None)] = SessionPool(path, shared=True)
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
