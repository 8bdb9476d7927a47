"""An FTP server that says whatever a test scripts, to hold the client to account.

Real servers list what their file system holds; this one lists raw lines a test
wrote (names with "/", "..", CR, LF, NUL, escapes), announces sizes it does not
send, trickles, floods, and answers any command with any reply. It logs every
command it receives with the path the command names, resolved as a Unix server
resolves it, so that a test can ask which paths a client touched.

Threads and the standard library only, on 127.0.0.1 and a free port; `stop()`
ends every connection and joins every thread. Nothing runs unbounded: floods and
trickles stop at a byte count the test gives, or when the server stops.
"""

import posixpath
import socket
import threading
from dataclasses import dataclass
from typing import Callable, Optional, Union

HOST = "127.0.0.1"
MDTM = "20260101000000"
IDLE = 10.0  # a blocked client must not keep a handler thread for ever
BLOCK = 1 << 16
FIXED = {"USER": "331 password please", "PASS": "230 logged in", "SYST": "215 UNIX Type: L8", "NOOP": "200 ok",
         "TYPE": "200 type set", "OPTS": "200 ok", "ABOR": "226 nothing to abort",
         "STAT": "211-status\r\n hostile\r\n211 end"}


@dataclass
class File:
    """A remote file. size: what SIZE and the listings announce (default len(data)); send: so many
    bytes (data repeated) instead of data; trickle: seconds between single bytes of a RETR;
    size_reply / retr_reply: a raw reply to SIZE / RETR instead of the usual one."""
    data: bytes = b""
    size: Optional[int] = None
    send: Optional[int] = None
    trickle: Optional[float] = None
    size_reply: Optional[str] = None
    retr_reply: Optional[str] = None
    sent: int = 0  # bytes trickled so far

    def announced(self):
        return len(self.data) if self.size is None else self.size

    def payload(self):
        unit = self.data or b"A"
        return self.data if self.send is None else (unit * (self.send // len(unit) + 1))[:self.send]


@dataclass
class Entry:
    """One entry of a scripted listing; kind "file", "dir", "link" or "device"."""
    name: str
    kind: str = "file"
    size: int = 0
    target: str = "elsewhere"

    def mlsd(self):
        kind = {"link": f"OS.unix=slink:{self.target}", "device": "OS.unix=chr-1/3"}.get(self.kind, self.kind)
        return f"type={kind};size={self.size};modify={MDTM}; {self.name}"

    def list(self):
        mode = {"file": "-rw-r--r--", "dir": "drwxr-xr-x", "link": "lrwxrwxrwx", "device": "crw-r--r--"}[self.kind]
        arrow = f" -> {self.target}" if self.kind == "link" else ""
        return f"{mode}   1 owner    group    {self.size:>8} Jan 01  2026 {self.name}{arrow}"


def normalize(cwd, arg):
    """The absolute path `arg` names from `cwd`, as a Unix server resolves it."""
    return "/" + posixpath.normpath(posixpath.join(cwd, arg)).lstrip("/")


@dataclass
class Command:
    session: int
    verb: str
    arg: str
    path: str  # arg resolved against the session's working directory
    literal: str  # arg joined to that directory, unresolved: "/top/../x" where path is "/x"


class HostileServer:
    """Set `dirs` ({path: [Entry]}), `files` ({path: File}), `raw` ({path: {"MLSD" or "LIST": [lines]}}),
    `endless` ({path: bytes of listing}), `replies` ({VERB or "greeting": raw reply}), `mlst`,
    `on_port` (called with the address before PORT is answered) and the raw replies that open and
    close each transfer (`opening`, `closing`); read `log` or `commands()`."""

    def __init__(self):
        self.dirs: dict[str, list[Entry]] = {"/": []}
        self.files: dict[str, File] = {}
        self.raw: dict[str, dict[str, list[str]]] = {}
        self.endless: dict[str, int] = {}
        self.replies: dict[str, Union[str, bytes]] = {}
        self.mlst = True
        self.on_port: Optional[Callable[[tuple], None]] = None
        self.opening, self.closing = "150 opening data connection", "226 transfer complete"
        self.log: list[Command] = []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self._sockets: set = set()
        self._threads: list[threading.Thread] = []
        self._listener = socket.create_server((HOST, 0))
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self._spawn(self._accept_loop)

    def tree(self, top, entries, data=b"payload\n"):
        """A directory `top` listing `entries`; its files hold `data`, its dirs are empty. The
        parent does not list `top`: a client that climbs out of a tree finds no way back in."""
        self.dirs[top] = list(entries)
        for entry in entries:
            path = normalize(top, entry.name)
            if entry.kind == "dir":
                self.dirs.setdefault(path, [])
            else:
                self.files.setdefault(path, File(data))
                entry.size = entry.size or len(data)

    def commands(self, *verbs):
        with self.lock:
            return [c for c in self.log if not verbs or c.verb in verbs]

    def stop(self):
        self.stopping.set()
        self._listener.close()
        with self.lock:
            for s in list(self._sockets):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        for thread in self._threads:
            thread.join(IDLE)
        assert not any(t.is_alive() for t in self._threads), "a handler of the hostile server did not end"

    def track(self, s):
        with self.lock:
            self._sockets.add(s)
        s.settimeout(IDLE)
        return s

    def _spawn(self, target):
        thread = threading.Thread(target=target, daemon=True)
        self._threads.append(thread)
        thread.start()

    def _accept_loop(self):
        number = 0
        while not self.stopping.is_set():
            try:
                conn, _ = self._listener.accept()
            except (TimeoutError, socket.timeout):
                continue
            except OSError:
                return
            number += 1
            self._spawn(_Session(self, self.track(conn), number).run)


class _Session:
    def __init__(self, server, conn, number):
        self.server, self.conn, self.number = server, conn, number
        self.cwd, self.arg, self.path = "/", "", "/"
        self.passive = self.active = self.renaming = None  # after PASV/EPSV, PORT, RNFR

    def send(self, text):
        data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogateescape")
        self.conn.sendall(data if data.endswith(b"\n") else data + b"\r\n")

    def run(self):
        try:
            self.send(self.server.replies.get("greeting", "220 hostile ready"))
            reader = self.conn.makefile("rb")
            while not self.server.stopping.is_set() and (line := reader.readline(BLOCK)):
                verb, _, arg = line.decode("utf-8", "surrogateescape").rstrip("\r\n").partition(" ")
                verb = verb.upper()
                self.arg = arg.removeprefix("-a").lstrip(" ") if verb in ("LIST", "NLST") else arg
                self.path = normalize(self.cwd, self.arg)
                with self.server.lock:
                    self.server.log.append(Command(self.number, verb, self.arg, self.path,
                                                   posixpath.join(self.cwd, self.arg)))
                reply = self.server.replies.get(verb, FIXED.get(verb))
                if reply is not None:
                    self.send(reply)
                elif verb == "QUIT":
                    return self.send("221 bye")
                else:
                    getattr(self, "do_" + verb, lambda: self.send("502 not implemented"))()
        except OSError:
            pass  # the client went, or stop() cut the connection
        finally:
            for s in (self.passive, self.conn):
                if s is not None:
                    s.close()

    def is_dir(self, path):
        # Only a path written as the server writes it: a client that climbs with "..", or names
        # "/top//", gets no listing, so that a faulty walk cannot loop for ever.
        known = path in self.server.dirs or path in self.server.raw or path in self.server.endless
        return known and (posixpath.join(self.cwd, self.arg) in (path, path + "/") or self.arg == "..")

    # ---- session, navigation, queries --------------------------------------------------

    def do_PWD(self):
        self.send(f'257 "{self.cwd}" is the current directory')

    def do_FEAT(self):
        lines = [" SIZE", " MDTM", " EPSV", " PASV", " UTF8"] + [" MLST type*;size*;modify*;"] * self.server.mlst
        self.send("\r\n".join(["211-features", *lines, "211 end"]))

    def do_CWD(self):
        if not self.is_dir(self.path):
            return self.send("550 no such directory")
        self.cwd = self.path
        self.send("250 directory changed")

    def do_CDUP(self):
        self.arg, self.path = "..", normalize(self.cwd, "..")
        self.do_CWD()

    def do_SIZE(self):
        f = self.server.files.get(self.path)
        self.send("550 not a plain file" if f is None else f.size_reply or f"213 {f.announced()}")

    def do_MDTM(self):
        self.send(f"213 {MDTM}" if self.path in self.server.files else "550 not a plain file")

    def do_NLST(self):
        if self.path in self.server.files:
            self.transfer([self.arg.encode("utf-8", "surrogateescape") + b"\r\n"])
        elif self.is_dir(self.path):
            self.transfer([(e.name + "\r\n").encode("utf-8", "surrogateescape")
                           for e in self.server.dirs.get(self.path, [])])
        else:
            self.send("550 no such file or directory")

    def do_LIST(self):
        self.listing("LIST")

    def do_MLSD(self):
        self.listing("MLSD") if self.server.mlst else self.send("502 not implemented")

    def listing(self, kind):
        if not self.is_dir(self.path):
            return self.send("550 no such directory")
        if self.path in self.server.endless:
            return self.transfer(_flood(kind, self.server.endless[self.path]))
        raw = self.server.raw.get(self.path, {}).get(kind)
        if raw is None:
            raw = [getattr(e, kind.lower())() for e in self.server.dirs.get(self.path, [])]
        self.transfer([(line + "\r\n").encode("utf-8", "surrogateescape") for line in raw])

    # ---- data ------------------------------------------------------------------------

    def listen(self):
        if self.passive is not None:
            self.passive.close()
        self.passive, self.active = self.server.track(socket.create_server((HOST, 0))), None
        return self.passive.getsockname()[1]

    def do_PASV(self):
        port = self.listen()
        self.send(f"227 Entering Passive Mode (127,0,0,1,{port >> 8},{port & 255})")

    def do_EPSV(self):
        self.send(f"229 Entering Extended Passive Mode (|||{self.listen()}|)")

    def do_PORT(self):
        numbers = self.arg.split(",")
        self.active, self.passive = (".".join(numbers[:4]), int(numbers[4]) * 256 + int(numbers[5])), None
        if self.server.on_port:
            self.server.on_port(self.active)
        self.send("200 PORT ok")

    def open_data(self):
        """Accepted after PASV; after PORT made before the 150, as vsftpd does."""
        if self.passive is not None:
            listener, self.passive = self.passive, None
            with listener:
                return self.server.track(listener.accept()[0])
        if self.active is None:
            raise OSError("no PASV or PORT first")
        return self.server.track(socket.create_connection(self.active, IDLE, source_address=(HOST, 0)))

    def transfer(self, chunks, pause=None):
        """Sends the byte strings of `chunks` (one per `pause` seconds); None: receives, and returns the bytes."""
        try:
            data = self.open_data()
        except OSError:
            return self.send("425 no data connection")
        received = bytearray()
        with data:
            self.send(self.server.opening)
            try:
                while chunks is None and (block := data.recv(BLOCK)):
                    received += block
                for chunk in chunks or ():
                    data.sendall(chunk)
                    if pause and self.server.stopping.wait(pause):
                        break
            except OSError:
                return self.send("426 data connection closed; transfer aborted")
        self.send(self.server.closing)
        return bytes(received)

    def do_RETR(self):
        f = self.server.files.get(self.path)
        if f is None or f.retr_reply:
            return self.send(f.retr_reply if f else "550 not a plain file")
        payload = f.payload()
        if f.trickle:
            def trickled():
                for f.sent in range(1, len(payload) + 1):
                    yield payload[f.sent - 1:f.sent]
            return self.transfer(trickled(), pause=f.trickle)
        self.transfer(payload[i:i + BLOCK] for i in range(0, len(payload), BLOCK))

    # ---- changes: logged, and applied, so that what is gone is no longer listed --------------

    def do_STOR(self):
        data = self.transfer(None)
        if isinstance(data, bytes):
            self.server.files[self.path] = File(data)
            self.listed(Entry(posixpath.basename(self.path), "file", len(data)))

    def do_MKD(self):
        self.server.dirs.setdefault(self.path, [])
        self.listed(Entry(posixpath.basename(self.path), "dir"))
        self.send(f'257 "{self.path}" created')

    def do_DELE(self):
        gone = self.unlisted(self.path, ("file", "link"))
        self.send("250 deleted" if self.server.files.pop(self.path, None) or gone else "550 no such file")

    def do_RMD(self):
        if self.server.dirs.get(self.path) or self.path in self.server.raw or self.path in self.server.endless:
            return self.send("550 directory not empty")
        if self.server.dirs.pop(self.path, None) is None:
            return self.send("550 no such directory")
        self.unlisted(self.path, ("dir",))
        self.send("250 directory removed")

    def do_RNFR(self):
        self.renaming = self.path
        self.send("350 ready for RNTO" if self.path in self.server.files else "550 no such file")

    def do_RNTO(self):
        if self.renaming in self.server.files:
            self.server.files[self.path] = moved = self.server.files.pop(self.renaming)
            self.unlisted(self.renaming, ("file",))
            self.listed(Entry(posixpath.basename(self.path), "file", len(moved.data)))
        self.renaming = None
        self.send("250 renamed")

    def listed(self, entry):
        entries = self.server.dirs.get(posixpath.dirname(self.path))
        if entries is not None and all(e.name != entry.name for e in entries):
            entries.append(entry)

    def unlisted(self, path, kinds):
        parent, name = posixpath.split(path)
        entries = self.server.dirs.get(parent, [])
        kept = [e for e in entries if not (e.name == name and e.kind in kinds)]
        gone, entries[:] = len(kept) < len(entries), kept
        return gone


def _flood(kind, total):
    """Listing lines, `total` bytes in all, made as they are sent. The entries are devices, which a
    client skips: one that ignores the cap reads the whole listing, and fails no slower."""
    sent, number = 0, 0
    while sent < total:
        lines = [Entry(f"f{number + i:09d}", "device", 1) for i in range(1000)]
        number += 1000
        chunk = "".join((e.mlsd() if kind == "MLSD" else e.list()) + "\r\n" for e in lines).encode()[:total - sent]
        sent += len(chunk)
        yield chunk


def multiline(code, total):
    """A multi-line reply of about `total` bytes."""
    line = f" {'x' * 70}\r\n".encode()
    return f"{code}-begins\r\n".encode() + line * (total // len(line)) + f"{code} ends\r\n".encode()
