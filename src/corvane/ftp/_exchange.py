"""A file's whole exchange in one native call, on a plain passive IPv4 session.

On loopback with eight sessions on two cores, the engine's client CPU per file
went with its context switches: every reply read in Python is a wait for the
GIL, which another session's thread holds. `_datapath.exchange` sends PASV (with
MDTM before it where a download's time is wanted), connects while RETR or STOR
travels, moves the bytes and reads the final reply without the GIL, and for an
upload sends what follows (the time, the rename) too, so that a file takes the
GIL back once. It reads replies from the buffer of `ControlReader`, which takes
the place of ftplib's own reader on such a session, so that neither reads past
the other. Replies are judged here, as ftplib judges them.

A download may also have its local file made, timed and closed in that call
(`fetch_into`). On a server that reads no command while a transfer runs
(vsftpd), the PASV of the session's next transfer goes with a download's RETR
or behind an upload's tail; its reply stays owed to the session (see
`_passive_ahead`).
"""

import codecs
import errno
import ftplib
import os
import socket
import ssl

from corvane.ftp import _datapath, limits
from corvane.ftp._data import can_pipeline_passive, reads_no_command_during_transfer, takes_early_end
from corvane.ftp.client import owe, owed_replies, server_name

READ = 1 << 14


class ControlReader:
    """What an ftplib client reads its replies from (`client.file`), on a plain control
    connection: ftplib's universal-newline, strictly decoded lines, from a buffer that
    `_datapath.exchange` shares. Reads no further than the socket has delivered."""

    def __init__(self, sock, encoding):
        self.sock = sock
        self.encoding = encoding
        self.pending = bytearray()

    def readline(self, limit=-1):
        pending = self.pending
        lf = pending.find(b"\n")
        if lf > 0 and pending[lf - 1] == 0x0D and pending.find(b"\r", 0, lf - 1) < 0:  # most lines: one "\r\n"
            line = pending[:lf - 1].decode(self.encoding) + "\n"
            del pending[:lf + 1]
            return self._within(line, limit)
        start = 0
        while True:
            ends = [i for i in (self.pending.find(b"\r", start), self.pending.find(b"\n", start)) if i >= 0]
            end = min(ends, default=-1)
            # A "\r" last in the buffer may be the first half of "\r\n": the next byte tells.
            if end >= 0 and (self.pending[end] == 0x0A or end + 1 < len(self.pending)):
                after = end + 1 + (self.pending[end:end + 2] == b"\r\n")
                line = self.pending[:end].decode(self.encoding) + "\n"
                del self.pending[:after]
                return self._within(line, limit)
            if limit >= 0 and len(self.pending) > 4 * limit + 4:  # more characters than `limit` already
                decoder = codecs.getincrementaldecoder(self.encoding)()
                line = decoder.decode(bytes(self.pending))
                self.pending[:] = decoder.getstate()[0]
                return self._within(line, limit)
            start = max(len(self.pending) - 1, 0)
            block = self.sock.recv(READ)
            if not block:  # the end: what is left is the last line, as ftplib's reader gives it
                line = self.pending.decode(self.encoding).replace("\r", "\n")
                self.pending.clear()
                return self._within(line, limit)
            self.pending += block

    def _within(self, line, limit):
        # The rest of a line longer than `limit` stays for the next read, as in a text file.
        if 0 <= limit < len(line):
            self.pending[:0] = line[limit:].encode(self.encoding)
            return line[:limit]
        return line

    def close(self):
        pass  # the socket is the client's to close


def install(client):
    """Gives `client` a ControlReader where exchange() can serve it: a plain, passive IPv4 session whose
    data connections go to the control connection's peer. Called where no reply has been read since
    the last command went out (a reply may be owed to it), so that ftplib's reader holds nothing.
    True where installed."""
    if not isinstance(client, ftplib.FTP) or isinstance(client.sock, ssl.SSLSocket) \
            or not can_pipeline_passive(client) or client.trust_server_pasv_ipv4_address:
        return False
    ftplib_reader, client.file = client.file, ControlReader(client.sock, client.encoding)
    if ftplib_reader is not None:
        ftplib_reader.close()  # the socket's own, not the socket: it stays open
    return True


def can_exchange(client):
    return isinstance(getattr(client, "file", None), ControlReader) and can_pipeline_passive(client) \
        and not isinstance(client.sock, ssl.SSLSocket)


def fetch(session, path, file, stopped, limit, ask_time):
    """RETR `path` into the open `file` (at most `limit` bytes, where not negative) on a session
    can_exchange() accepts. (bytes received, the MDTM reply where `ask_time`, else None)."""
    asks = [f"MDTM {path}"] if ask_time else []
    texts, received, broken, _ = _run(session, False, asks, f"RETR {path}", file, stopped, limit, [], 0,
                                      lambda: None)
    time_reply = texts.pop(0) if ask_time else None
    first = _opened(texts, broken)
    if limit >= 0 and received >= limit:
        return received, time_reply  # more than announced: the caller says so, and drops the session
    expect(texts, first + 1, "2")
    return received, time_reply


def fetch_into(session, path, folder_fd, name, size, mtime, stopped):
    """RETR `path` into a new file `name` of the directory `folder_fd`, made by the exchange (see
    `_datapath.exchange`), on a session can_exchange() accepts. The file is given `mtime`, or where
    None the server's MDTM answer; it is whole and closed where (bytes received, True) is
    returned, and the caller's to rename or remove either way."""
    asks = [f"MDTM {path}"] if mtime is None else []
    limit = -1 if size is None else size + 1  # one byte past the size tells a longer file
    landing = (folder_fd, os.fsencode(name), -1 if size is None else size, mtime)
    texts, received, broken, landed = _run(session, False, asks, f"RETR {path}", landing, stopped, limit, [], 0,
                                           lambda: None)
    del texts[:len(asks)]
    first = _opened(texts, broken)
    if limit < 0 or received < limit:
        expect(texts, first + 1, "2")
    return received, landed


def store(session, path, file, stopped, count, tail, after, accepted):
    """STOR the open `file` (`count` bytes from its offset) as `path` on a session can_exchange()
    accepts; once the server has it whole, the commands of `tail` are sent together and `after`
    of their replies read (the others are owed, see client.owe). accepted() is called once the
    server has accepted the STOR, also where the upload fails after that.
    (bytes sent, the replies to `tail` read)."""
    # Behind the tail, where no transfer runs, a server like vsftpd answers the PASV of the
    # session's next transfer at once: it is there to read when that one starts.
    ahead = ["PASV"] if reads_no_command_during_transfer(session.client) else []
    texts, sent, broken, _ = _run(session, True, [], f"STOR {path}", file, stopped, count, tail + ahead, after,
                                  accepted)
    first = _opened(texts, broken)
    if broken == "cut":
        if len(texts) > first + 1 and texts[first + 1][:1] != "2":  # the server said why it broke off
            expect(texts, first + 1, "2")
        raise BrokenPipeError(errno.EPIPE, "the data connection broke off before the server had the whole file")
    expect(texts, first + 1, "2")
    for _ in tail[after:]:  # sent, as the final reply was 2xx
        owe(session.client, lambda reply: None)
    if ahead:
        owe(session.client, _passive_ahead)
    return sent, texts[first + 2:]


def _passive_ahead(reply):
    """Stands, among the replies a session owes, for the 227 of a PASV sent with the last download's
    RETR or behind the last upload: the next transfer takes its port, where nothing was sent after
    it; anything else reads the reply and drops it."""


def _run(session, upload, asks, command, file, stopped, amount, tail, after, accepted):
    """The exchange of `command`, with `asks` (commands whose replies come first) sent ahead of it:
    (the replies, in the order asks, PASV, the transfer's and the tail's; bytes moved; why it broke
    off or None; whether a landing `file` is whole)."""
    client = session.client
    if any("\r" in line or "\n" in line for line in [*asks, command, *tail]):
        raise ValueError("an illegal newline character should not be contained")  # as ftplib refuses it
    # Replies still owed (a time set after the last upload, a PASV sent ahead) are read first, in the same call.
    owed = owed_replies(client)
    ready = bool(owed) and owed[-1] is _passive_ahead
    # A server that reads no command while a transfer runs answers a PASV sent with RETR once the
    # file is sent: the next download on the session saves the round trip of its own.
    ahead = not upload and reads_no_command_during_transfer(client)
    asked = "".join(f"{line}\r\n" for line in asks)
    head = "" if ready else asked + "PASV\r\n"
    sent = (asked if ready else "") + f"{command}\r\n" + ("PASV\r\n" if ahead else "")
    if isinstance(file, tuple):
        file += (len(owed) if asks else -1,)  # where the MDTM answer comes, among the replies read
    reader = client.file
    data = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    session.data = data  # for a cut from another thread
    encoding = client.encoding
    try:
        replies, moved, pending, broken, error, landed = _datapath.exchange(
            upload, client.sock, bytes(reader.pending), head.encode(encoding),
            len(owed) + (0 if ready else len(asks)), sent.encode(encoding), data, file,
            client.sock.gettimeout(), stopped, amount, takes_early_end(client),
            "".join(f"{line}\r\n" for line in tail).encode(encoding), after,
            (client.maxline, limits.REPLY_LINES, limits.REPLY_BYTES), ready, len(asks) if ready else 0)
    finally:
        session.data = None
        data.close()
    reader.pending[:] = pending
    texts = [reply.decode(encoding) for reply in replies]
    plain = len(owed) - ready
    refused = None  # an owed reply's refusal: raised once this exchange's own account is kept
    for heard, reply in zip(owed[:plain], texts):
        try:
            heard(reply)
        except ftplib.Error as exc:
            refused = refused or exc
    del texts[:plain]
    if ready:  # PASV's answer came before those of the asks: in the order the caller reads
        texts[:len(asks) + 1] = texts[1:len(asks) + 1] + texts[:1]
    if ahead and len(texts) > len(asks) + 1:  # the transfer command went, and the PASV behind it
        owe(client, _passive_ahead)
    if any(reply[:1] == "1" for reply in texts[len(asks) + 1:]):
        accepted()
    if texts:
        client.lastresp = texts[-1][:3]
    if refused is not None:
        raise refused
    if error is not None:
        raise error
    if broken == "closed":
        raise EOFError
    if broken == "long line":
        raise ftplib.Error(f"got more than {client.maxline} bytes")
    if broken == "long reply":
        raise ftplib.error_proto(f"the FTP server {server_name(client)} sent a reply of more than "
                                 f"{limits.REPLY_LINES} lines or {limits.REPLY_BYTES} bytes (code {texts[-1]}); "
                                 f"the session was closed: connect again, and if it recurs the server or "
                                 f"something between is at fault")
    return texts, moved, broken, landed


def _opened(texts, broken):
    """Judges the replies that open a data connection (227, then the 1xx, after a 2xx some servers
    send first); the index of the 1xx."""
    expect(texts, 0, "227")
    if broken == "passive":
        ftplib.parse227(texts[0])  # raises error_proto for an answer without an address
        raise ftplib.error_proto(texts[0])  # an address with no valid port
    first = 1 + (texts[1:2] != [] and texts[1][:1] == "2")
    expect(texts, first, "1")
    return first


def expect(texts, index, wanted):
    """Judges reply `index` as ftplib's getresp and the caller of it would: 4xx and 5xx as
    refusals, then anything but `wanted` as an unexpected reply."""
    reply = texts[index]
    kind = reply[:1]
    if kind == "4":
        raise ftplib.error_temp(reply)
    if kind == "5":
        raise ftplib.error_perm(reply)
    if kind not in ("1", "2", "3"):
        raise ftplib.error_proto(reply)
    if not reply.startswith(wanted):
        raise ftplib.error_reply(reply)
