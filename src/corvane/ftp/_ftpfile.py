"""Files of the fsspec file system: range reads that stream, writes that store once.

A read keeps its data connection open between fetches: the next fetch that
starts where the last one ended reads on, so a sequential read is one RETR,
not one per block. A fetch elsewhere ends that transfer and starts another
with REST. A transfer that ends before the bytes asked for is taken up again
from where it stopped; only the server's own "transfer complete" after the
last byte counts as the end of the file.

A write is one STOR over the whole file, under a temporary name in the same
directory, renamed into place when it is committed: a reader never sees half
a file, and a failed or discarded write leaves the old copy as it was.
"""

from __future__ import annotations

import ftplib
import os
import posixpath
import uuid

from fsspec.spec import AbstractBufferedFile

from corvane.ftp._data import DRAIN, DataConnection

# A session that fails this often in a row without a byte read between is given up.
TRIES = 3
# Faults after which the session is out of step with the server and must be dropped.
BROKEN = (OSError, EOFError, ftplib.error_temp, ftplib.error_reply, ftplib.error_proto)
# Of those, the ones no local file system raises: the connection, not the file, failed.
TRANSPORT_FAULTS = (TimeoutError, ConnectionError, EOFError, ftplib.error_temp, ftplib.error_reply,
                    ftplib.error_proto)


class FileChanged(OSError):
    """The server ended a file before the length it had when it was opened."""


def open_data(session, command, download=False, rest=None):
    """A DataConnection held by `session`, with the server's refusal raised as such: some
    servers (ProFTPD) close their passive port as they refuse the command, so that the
    connection made while the command travels is refused, and the reply that tells why
    is still owed."""
    client = session.client
    try:
        return DataConnection(client, command, download=download, rest=rest, holder=session)
    except (ConnectionRefusedError, ConnectionResetError) as exc:
        try:
            reply = client.getresp()
        except ftplib.error_perm:
            raise  # the session is in step again: the refusal was the reply owed
        except BROKEN:
            raise exc from None
        raise ftplib.error_reply(reply) from exc


class Stream:
    """One RETR at a time of one remote file, on a session held from `pool`."""

    def __init__(self, fs, path):
        self.fs, self.path = fs, path
        self.session = None
        self.data = None
        self.pos = None  # the offset of the next byte `data` delivers
        self.size = None  # the file's length, where a read was told it

    def read(self, start, end, size=None):
        """The bytes from `start` to `end`; short only where the server says the file ends.
        `size`: the length the file had when opened, so that an end before it is an error.
        `end` None: to the end of the file, whatever its length."""
        # Chunks as recv makes them, joined once: no buffer zeroed first, no second copy.
        chunks, done, failures = [], 0, 0
        if size is not None:
            self.size = size
        while end is None or start + done < end:
            try:
                if self.data is None or self.pos != start + done:
                    self.stop()
                    self.begin(start + done)
                chunk = self.data.sock.recv(1 << 20 if end is None else min(end - start - done, 1 << 20))
                if chunk:
                    chunks.append(chunk)
                    done += len(chunk)
                    self.pos += len(chunk)
                    failures = 0
                    continue
                # The server closed the data connection: its reply tells an end from a cut.
                data, self.data = self.data, None
                try:
                    data.finish()
                except (ftplib.error_temp, ftplib.error_reply):
                    raise ConnectionError("the transfer was cut short") from None
                if size is not None and start + done < min(end if end is not None else size, size):
                    raise FileChanged(f"{self.fs.where(self.path)}: the file ended at byte {start + done}, "
                                      f"shorter than the {size} bytes it had when opened; it changed on the "
                                      f"server: open it again")
                break
            except BROKEN as exc:
                if isinstance(exc, (FileChanged, FileNotFoundError, IsADirectoryError, PermissionError)):
                    raise  # answers, not faults
                self.drop()
                failures += 1
                if failures >= TRIES:
                    raise OSError(f"{self.fs.where(self.path)}: reading at byte {start + done} failed "
                                  f"{TRIES} times in a row ({exc}); try again later") from exc
        return chunks[0] if len(chunks) == 1 else b"".join(chunks)

    def begin(self, offset):
        if self.session is None:
            self.session = self.fs.take_session(files=True)
        try:
            self.data = open_data(self.session, f"RETR {self.path}", download=True, rest=offset or None)
        except ftplib.error_perm as exc:
            raise self.fs.not_found(self.path, exc) from None
        self.pos = offset

    def stop(self):
        """Ends the transfer in progress, keeping the session where it stays in step."""
        if self.data is not None:
            data, self.data = self.data, None
            # A TLS download is read to its end before it is cut only where that end is near: a
            # seek far from it would read up to DRAIN bytes for nothing, as the end is not reached.
            near = self.size is None or self.size - self.pos <= DRAIN
            if not data.cut(drain=near):
                self.drop()

    def drop(self):
        self.data = None
        if self.session is not None:
            # Closes the data connection too, without a word: the session holds it.
            self.fs.files_pool.discard(self.session)
            self.session = None

    def close(self):
        self.stop()
        if self.session is not None:
            self.fs.files_pool.give_back(self.session)
            self.session = None


def temporary_name(path, tempdir=None):
    parent, name = posixpath.split(path)
    return posixpath.join(tempdir or parent, f".{name}.{uuid.uuid4().hex[:12]}.cftp-part")


class FTPFile(AbstractBufferedFile):
    """A remote file opened "rb" or "wb" (see the module's docstring)."""

    def __init__(self, fs, path, mode="rb", block_size="default", autocommit=True, cache_type="readahead",
                 cache_options=None, size=None, **kwargs):
        self.stream = Stream(fs, path) if mode == "rb" else None
        self.opened_in = os.getpid()
        self.session = self.data = None
        self.temp = None
        self.stored = False
        super().__init__(fs, path, mode=mode, block_size=block_size, autocommit=autocommit,
                         cache_type=cache_type, cache_options=cache_options, size=size, **kwargs)

    # ---- reading

    def _fetch_range(self, start, end):
        return self.stream.read(start, min(end, self.size), self.size)

    def read(self, length=-1):
        # Reading on where the open transfer stands, past what the read-ahead holds: straight from
        # the transfer, without a copy into and out of the cache (sequential reads at ftplib's pace).
        cache, stream = self.cache, self.stream
        if (stream is not None and stream.data is not None and stream.pos == self.loc and length is not None
                and length > 0 and not self.closed and getattr(cache, "name", None) == "readahead"
                and not cache.start <= self.loc < cache.end):
            out = stream.read(self.loc, min(self.loc + length, self.size), self.size)
            self.loc += len(out)
            return out
        return super().read(length)

    # ---- writing

    def _initiate_upload(self):
        self.temp = temporary_name(self.path, self.fs.tempdir)
        parent = posixpath.dirname(self.path)
        made_parent = stale = False
        while True:
            self.session = self.fs.take_session(files=True)
            try:
                self.data = open_data(self.session, f"STOR {self.temp}")
                return
            except ftplib.error_perm as exc:
                self._release(keep=True)
                refusal = exc
            except (ftplib.error_reply, ftplib.error_temp, ftplib.error_proto, EOFError, ConnectionError):
                # An idle session the server has since ended (timed out, or told to go) answers
                # out of step or not at all: nothing was stored, so a fresh session tries once more.
                self._release(keep=False)
                if stale:
                    raise
                stale = True
                continue
            except BaseException:
                self._release(keep=False)
                raise
            # As object stores and fsspec's local files with auto_mkdir: a file makes its directory
            # (or another thread has made it since the refusal).
            if made_parent:
                break
            made_parent = True
            self.fs.makedirs(parent, exist_ok=True)
        raise PermissionError(f"{self.fs.where(self.path)}: the server refused to store it ({refusal}); "
                              f"check that the login may write there") from None

    def _upload_chunk(self, final=False):
        try:
            self.data.sock.sendall(self.buffer.getbuffer())
            if final:
                data, self.data = self.data, None
                try:
                    data.finish()  # TLS's close_notify first: the server counts the upload whole only after it
                except (ftplib.error_perm, ftplib.error_temp):
                    self._release(keep=True)  # the server's answer: the session is in step
                    raise
                except BaseException:
                    self._release(keep=False)  # the reply may still be owed
                    raise
                self.stored = True
                self._release(keep=True)
                if self.autocommit:
                    self.commit()
        except BaseException:
            self._abandon()
            raise
        return True

    def commit(self):
        if not self.stored:
            return
        self.fs.rename_into_place(self.temp, self.path)
        self.stored = False

    def discard(self):
        if self.temp is not None and (self.stored or self.session is not None):
            self._abandon()

    def _abandon(self):
        """Ends an upload that will not be used, and removes what of it reached the server."""
        if self.data is not None:
            data, self.data = self.data, None
            self._release(keep=data.cut())
        elif self.session is not None:
            self._release(keep=True)
        self.stored = False
        self.fs.remove_quietly(self.temp)

    def _release(self, keep):
        if self.session is not None:
            (self.fs.files_pool.give_back if keep else self.fs.files_pool.discard)(self.session)
            self.session = None

    def __exit__(self, kind, value, traceback):
        if kind is not None and self.mode != "rb" and not self.closed:
            # An error inside `with fs.open(p, "wb")`: what was written is not the file.
            self._abandon()
            self.closed = True
            return None
        return super().__exit__(kind, value, traceback)

    def close(self):
        if self.closed:
            return
        if self.opened_in != os.getpid():
            # Opened before a fork and collected in the child: the transfer and its session
            # are the parent's, which goes on with them; a word from here would garble them.
            self.closed = True
            return
        try:
            super().close()
        finally:
            if self.stream is not None:
                self.stream.close()
            elif self.session is not None or self.data is not None:
                self._abandon()  # a close that failed half-way
