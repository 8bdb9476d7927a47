"""The path framework that every corvane path kind builds on.

A path object names a remote path; the client that reaches the server is not
stored on the object but per thread in `Local`, so path objects are cheap
values that any thread may use.
"""

import codecs
import configparser
import ftplib
import functools
import math
import os
import pathlib
import threading
import time

from corvane.config import EnvConfig


class Local:
    """Per-thread client slots.

    The slots live in thread-local storage: when a thread ends its clients are
    released with it, whatever ident a later thread reuses.
    """

    _store = threading.local()

    @classmethod
    def _slots(cls):
        try:
            return cls._store.slots
        except AttributeError:
            cls._store.slots = {}
            return cls._store.slots

    @classmethod
    def setattr(cls, key, value):
        cls._slots()[key] = value

    @classmethod
    def getattr(cls, key, default=None):
        return cls._slots().get(key, default)

    @classmethod
    def delattr(cls, key):
        cls._slots().pop(key, None)


def _forget_clients_in_child():
    # A forked child inherits the slots of the thread that forked, and with them the
    # parent's connections: two processes talking over one session garble it. The
    # child drops them unused (closing its copies of the sockets sends nothing).
    Local._store = threading.local()


os.register_at_fork(after_in_child=_forget_clients_in_child)


def _drop_client(path):
    Local.delattr(path._key_on_thread())


def _transfer_pending(client):
    return str(getattr(client, "lastresp", ""))[:1] == "1"


def _finish_transfer(client):
    """Read the one reply that a transfer cut short still owes us.

    Nothing may be sent first: a command sent now would get the stale reply
    and every later reply would be shifted by one.
    """
    try:
        client.voidresp()
    except (ftplib.error_temp, ftplib.error_reply, ftplib.error_perm):
        pass  # 426, or a server's odd final line: either way the exchange is over
    # Some servers end the transfer with a line coded 1xx; it is final all the same.
    if _transfer_pending(client):
        client.lastresp = ""


def _breaks_connection(exc):
    if isinstance(exc, (EOFError, ftplib.error_proto)):
        return True
    # 421 is the one reply after which the server closes the control connection.
    if isinstance(exc, ftplib.error_temp) and str(exc).startswith("421"):
        return True
    # Errors about a path (ours, or the local file system's) leave the
    # connection as it was; socket errors carry no file name.
    return (isinstance(exc, OSError) and exc.filename is None
            and not isinstance(exc, (FileNotFoundError, InterruptedError)))


def _positive(text):
    """A finite number above zero written in `text`, or None."""
    try:
        value = float(text)
    except ValueError:
        return None
    return value if 0 < value < math.inf else None


# Ordinary errors that leave the control connection between exchanges: raised
# before a command is sent, or after its whole reply was read.
_BETWEEN_EXCHANGES = (ftplib.Error, TypeError, ValueError, LookupError, OSError)


def _exchange_unknown(exc, pending):
    """Whether `exc` may have come while a reply was owed, unread or half read:
    a late reply would then be taken for the answer to the next command."""
    if not isinstance(exc, Exception):
        return True  # KeyboardInterrupt and its kin arrive between any two bytes
    if pending:
        return False  # raised on the data side: only the transfer's final reply is owed
    # A reply line that could not be decoded leaves the rest of its reply unread.
    return not isinstance(exc, _BETWEEN_EXCHANGES) or isinstance(exc, UnicodeError)


# Per thread: while the outermost wrapped call runs, the exceptions whose tries
# some wrapper inside it has spent, by id. The objects are kept too, so that no
# id is reused while its mark stands. A later call starts with no marks, even
# when it raises the very same exception object (a cached error, a mock's
# side_effect, one fake shared by threads).
_calls = threading.local()


def retry(*errors, times=None, delay=None):
    """Try an operation again, on a fresh client, when it raises one of `errors`.

    `times` counts the tries in all; before try k (k >= 2) the thread gets a new
    client and the wrapper sleeps delay * 2**(k-2) seconds. Operations nest, so
    an error whose tries an inner wrapper has spent passes the outer ones
    untried: otherwise a lasting 4xx would be tried times**depth times.
    """

    def decorator(func):
        @functools.wraps(func)
        def wrapper(self, *args, **kwargs):
            tries = int(os.environ.get("CORVANE_RETRY_TIMES", 3)) if times is None else times
            pause = float(os.environ.get("CORVANE_RETRY_DELAY", 0.2)) if delay is None else delay
            outermost = getattr(_calls, "spent", None) is None
            if outermost:
                _calls.spent = {}
            try:
                last = None
                for attempt in range(1, max(tries, 1) + 1):
                    if attempt > 1:
                        time.sleep(pause * 2 ** (attempt - 2))
                        failure = self._reset(self._section[0])
                        if failure is not None:
                            last = failure  # a failed reset is this try's failure
                            continue
                    try:
                        return func(self, *args, **kwargs)
                    except errors as exc:
                        if id(exc) in _calls.spent:
                            self._settle(exc)
                            raise
                        last = exc
                    except BaseException as exc:
                        self._settle(exc)
                        raise
                _calls.spent[id(last)] = last
                self._settle(last)
                raise last
            finally:
                if outermost:
                    _calls.spent = None

        return wrapper

    return decorator


class BasePath:
    """A path of some kind: `path` is a PurePosixPath; equal by (class, path)."""

    _section = ()

    def __init__(self, path):
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be str or os.PathLike, not {type(path).__name__}")
        self.path = pathlib.PurePosixPath(path)

    def __str__(self):
        return str(self.path)

    def __repr__(self):
        return f"{type(self).__name__}({str(self.path)!r})"

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self.path == other.path

    def __hash__(self):
        return hash((type(self), self.path))

    @property
    def parent(self):
        return type(self)(self.path.parent)

    def join(self, *names):
        return type(self)(self.path.joinpath(*names))

    def _key_on_thread(self):
        return (self._section, threading.get_ident())

    @property
    def client(self):
        key = self._key_on_thread()
        client = Local.getattr(key)
        if client is None:
            failure = self._reset(self._section[0])
            if failure is not None:
                raise failure
            client = Local.getattr(key)
        return client

    def _reset(self, section):
        raise NotImplementedError(f"{type(self).__name__} makes no clients")

    def _read_config(self, section):
        """The client factory's keywords; a value that cannot work is refused here,
        naming its file, section and option, before anything is sent."""
        options = EnvConfig.section(section)
        if not options.get("host", "").strip():
            raise options.wanted("host", "the server's host name or address")
        if options.get("pasv", "true").lower() not in configparser.ConfigParser.BOOLEAN_STATES:
            raise options.wanted("pasv", "true or false (also yes/no, on/off, 1/0)")
        options.pop("pasv", None)
        timeout = _positive(options.get("timeout", "60"))
        if timeout is None:
            raise options.wanted("timeout", "a positive number of seconds")
        options["timeout"] = timeout
        if "source_address" in options:
            host, colon, port = options["source_address"].partition(":")
            if not host or colon and not (port.isdigit() and int(port) < 65536):
                raise options.wanted("source_address", "host or host:port")
            options["source_address"] = (host, int(port) if colon else 0)
        if "encoding" in options:
            try:
                codecs.lookup(options["encoding"])
            except LookupError:
                raise options.wanted("encoding", "a text encoding Python knows, such as utf-8") from None
        return options

    def _settle(self, exc):
        """Leave the thread's client usable after `exc`, which is passing out of an operation.

        retry calls this for what it lets pass; glob's listing, which runs
        outside the wrapper, calls it for its own failures. A client that may
        owe a reply nobody will read is dropped, not used again.
        """
        client = Local.getattr(self._key_on_thread())
        if client is None:
            return
        pending = _transfer_pending(client)
        if _breaks_connection(exc) or _exchange_unknown(exc, pending):
            _drop_client(self)  # send nothing on it; the next operation logs in afresh
        # An unexpected reply was itself the transfer's last word, even when coded 1xx.
        elif pending and not isinstance(exc, ftplib.error_reply):
            try:
                _finish_transfer(client)
            except Exception:
                _drop_client(self)

    def _valid_reset(self):
        """Bring the thread's client back in step after a refusal or a cut transfer.

        After a permanent error nothing is pending. After a retrieval cut short
        the last reply read was the 1xx preliminary one, and exactly one final
        reply is still to come: read it before anything is sent. That costs no
        extra round trip. If it cannot be read, start a fresh client.
        """
        client = Local.getattr(self._key_on_thread())
        if client is None or not _transfer_pending(client):
            return
        try:
            _finish_transfer(client)
        except Exception:
            self._reset(self._section[0])
