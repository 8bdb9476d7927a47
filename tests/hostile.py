"""An FTP server that says whatever a test scripts, to hold the client to account.

Real servers list what their file system holds; this one lists raw lines a test
wrote (names with "/", "..", CR, LF, NUL, escapes), announces sizes it does not
send, trickles, floods, and answers any command with any reply. It logs every
command it receives, with the path the command names resolved as the server
resolves it, so that a test can ask which paths a client touched.

Threads only, stdlib only, on 127.0.0.1 and a free port; `stop()` ends every
connection and joins every thread. Nothing runs unbounded: floods and trickles
stop at a byte count the test gives, or when the server stops.
"""

import posixpath
import socket
import threading
from dataclasses import dataclass, field
from typing import Callable, Optional, Union

HOST = "127.0.0.1"
MDTM = "20260101000000"
# A blocked client must not keep a handler thread for ever.
IDLE = 10.0


@dataclass
class File:
    """A remote file: `data` is what a RETR sends unless `send` says otherwise.

    size: what SIZE and the listings announce (default len(data)).
    send: an int sends that many bytes (data repeated, or b"A"s) instead of data.
    trickle: seconds between single bytes of the RETR.
    size_reply / retr_reply: a raw reply to SIZE / RETR instead of the usual one.
    """
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
        if self.send is None:
            return self.data
        unit = self.data or b"A"
        return (unit * (self.send // len(unit) + 1))[:self.send]


@dataclass
class Entry:
    """One entry of a scripted listing; kind "file", "dir", "link" or "device"."""
    name: str
    kind: str = "file"
    size: int = 0
    target: str = "elsewhere"

    def mlsd(self):
        kind = {"file": "file", "dir": "dir", "link": f"OS.unix=slink:{self.target}", "device": "OS.unix=chr-1/3"}[self.kind]
        return f"type={kind};size={self.size};modify={MDTM}; {self.name}"

    def list(self):
        mode = {"file": "-rw-r--r--", "dir": "drwxr-xr-x", "link": "lrwxrwxrwx", "device": "crw-r--r--"}[self.kind]
        arrow = f" -> {self.target}" if self.kind == "link" else ""
        return f"{mode}   1 owner    group    {self.size:>8} Jan 01  2026 {self.name}{arrow}"


def normalize(cwd, arg):
    """The absolute path `arg` names from `cwd`, as a Unix server resolves it."""
    joined = posixpath.join(cwd, arg) if arg else cwd
    return "/" + posixpath.normpath(joined).lstrip("/") if joined else "/"


@dataclass
class Command:
    session: int
    verb: str
    arg: str
    path: str  # arg resolved against the session's working directory
    literal: str  # arg joined to that directory, unresolved: "/top/../x" where path is "/x"


class HostileServer:
    """Set up `dirs` ({path: [Entry]}), `files` ({path: File}), `raw` ({path: {"MLSD" or "LIST":
    [lines]}}), `endless` ({path: bytes}), `replies` ({VERB or "greeting": raw reply}) and
    `mlst` before the client connects; read `log` afterwards."""

    def __init__(self):
        self.dirs: dict[str, list[Entry]] = {"/": []}
        self.files: dict[str, File] = {}
        self.raw: dict[str, dict[str, list[str]]] = {}
        self.endless: dict[str, int] = {}
        self.replies: dict[str, Union[str, bytes]] = {}
        self.mlst = True
        self.on_port: Optional[Callable[[tuple], None]] = None  # runs before PORT is answered
        self.log: list[Command] = []
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._sockets: set = set()
        self._threads: list[threading.Thread] = []
        self._listener = socket.create_server((HOST, 0))
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self._spawn(self._accept_loop)

    # ---- scripting helpers ------------------------------------------------

    def tree(self, top, entries, data=b"payload\n"):
        """A directory `top` listing `entries`; its files hold `data`, its dirs are empty. The
        parent does not list `top`: a client that climbs out of a tree finds no way back in."""
        self.dirs[top] = list(entries)
        for entry in entries:
            path = posixpath.join(top, entry.name)
            if entry.kind == "dir":
                self.dirs.setdefault(normalize("/", path), [])
            else:
                self.files.setdefault(normalize("/", path), File(data))
                entry.size = entry.size or len(data)

    def commands(self, *verbs):
        with self._lock:
            return [c for c in self.log if not verbs or c.verb in verbs]

    def stop(self):
        self._stopping.set()
        self._listener.close()
        with self._lock:
            for s in list(self._sockets):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        for thread in self._threads:
            thread.join(IDLE)
        assert not any(t.is_alive() for t in self._threads), "a handler of the hostile server did not end"

    # ---- the server ------------------------------------------------------

    def _spawn(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        self._threads.append(thread)
        thread.start()

    def _track(self, s):
        with self._lock:
            self._sockets.add(s)
        return s

    def _accept_loop(self):
        number = 0
        while not self._stopping.is_set():
            try:
                conn, _ = self._listener.accept()
            except (TimeoutError, socket.timeout):
                continue
            except OSError:
                return
            number += 1
            self._spawn(_Session(self, self._track(conn), number).run)


class _Session:
    def __init__(self, server, conn, number):
        self.server, self.conn, self.number = server, conn, number
        self.cwd = "/"
        self.passive = None  # listening socket after PASV/EPSV
        self.active = None  # address after PORT/EPRT
        self.renaming = None
        self.arg = ""
        conn.settimeout(IDLE)

    def send(self, text):
        data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogateescape")
        if not data.endswith(b"\n"):
            data += b"\r\n"
        self.conn.sendall(data)

    def run(self):
        try:
            self.send(self.server.replies.get("greeting", "220 hostile ready"))
            reader = self.conn.makefile("rb")
            while not self.server._stopping.is_set():
                line = reader.readline(1 << 16)
                if not line:
                    break
                text = line.decode("utf-8", "surrogateescape").rstrip("\r\n")
                verb, _, arg = text.partition(" ")
                verb = verb.upper()
                if verb in ("LIST", "NLST"):
                    arg = arg.removeprefix("-a").lstrip(" ")
                self.arg = arg
                path = normalize(self.cwd, arg)
                with self.server._lock:
                    self.server.log.append(Command(self.number, verb, arg, path, posixpath.join(self.cwd, arg)))
                if verb in self.server.replies:
                    self.send(self.server.replies[verb])
                elif verb == "QUIT":
                    self.send("221 bye")
                    break
                else:
                    getattr(self, "do_" + verb, self.unknown)(arg, path)
        except OSError:
            pass  # the client went, or stop() cut the connection
        finally:
            for s in (self.passive, self.conn):
                if s is not None:
                    s.close()

    def unknown(self, arg, path):
        self.send("502 not implemented")

    # ---- session and navigation ----------------------------------------------

    def do_USER(self, arg, path): self.send("331 password please")
    def do_PASS(self, arg, path): self.send("230 logged in")
    def do_SYST(self, arg, path): self.send("215 UNIX Type: L8")
    def do_TYPE(self, arg, path): self.send("200 type set")
    def do_NOOP(self, arg, path): self.send("200 ok")
    def do_OPTS(self, arg, path): self.send("200 ok")
    def do_ABOR(self, arg, path): self.send("226 nothing to abort")
    def do_PWD(self, arg, path): self.send(f'257 "{self.cwd}" is the current directory')
    def do_STAT(self, arg, path): self.send("211-status\r\n hostile\r\n211 end")

    def do_FEAT(self, arg, path):
        lines = [" SIZE", " MDTM", " EPSV", " PASV", " UTF8"] + ([" MLST type*;size*;modify*;"] if self.server.mlst else [])
        self.send("\r\n".join(["211-features"] + lines + ["211 end"]))

    def do_CWD(self, arg, path):
        if self.is_dir(path):
            self.cwd = path
            self.send("250 directory changed")
        else:
            self.send("550 no such directory")

    def do_CDUP(self, arg, path):
        self.arg = ".."
        self.do_CWD("..", normalize(self.cwd, ".."))

    def is_dir(self, path):
        # Only a path written as the server would write it: a client that climbs with "..",
        # or names "/top//", gets no listing, so that a faulty walk cannot loop for ever.
        if path not in self.server.dirs and path not in self.server.raw and path not in self.server.endless:
            return False
        literal = posixpath.join(self.cwd, self.arg)
        return literal in (path, path + "/") or self.arg == ".." and self.server.dirs.get(path) is not None

    # ---- queries -------------------------------------------------------------

    def do_SIZE(self, arg, path):
        f = self.server.files.get(path)
        if f is None:
            self.send("550 not a plain file")
        else:
            self.send(f.size_reply or f"213 {f.announced()}")

    def do_MDTM(self, arg, path):
        self.send(f"213 {MDTM}" if path in self.server.files else "550 not a plain file")

    def do_NLST(self, arg, path):
        if path in self.server.files:
            self.transfer(lambda: [arg.encode("utf-8", "surrogateescape") + b"\r\n"])
        elif self.is_dir(path):
            self.transfer(lambda: [(e.name + "\r\n").encode() for e in self.server.dirs.get(path, [])])
        else:
            self.send("550 no such file or directory")

    def do_LIST(self, arg, path):
        self.listing("LIST", path)

    def do_MLSD(self, arg, path):
        if not self.server.mlst:
            self.unknown(arg, path)
        else:
            self.listing("MLSD", path)

    def listing(self, kind, path):
        if path in self.server.endless and self.is_dir(path):
            return self.transfer(lambda: _flood(kind, self.server.endless[path]))
        raw = self.server.raw.get(path, {}).get(kind)
        if not self.is_dir(path):
            return self.send("550 no such directory")
        if raw is None:
            raw = [getattr(e, kind.lower())() for e in self.server.dirs.get(path, [])]
        self.transfer(lambda: [(line + "\r\n").encode("utf-8", "surrogateescape") for line in raw])

    # ---- data ------------------------------------------------------------------

    def do_PASV(self, arg, path):
        port = self.listen()
        self.send(f"227 Entering Passive Mode (127,0,0,1,{port >> 8},{port & 255})")

    def do_EPSV(self, arg, path):
        self.send(f"229 Entering Extended Passive Mode (|||{self.listen()}|)")

    def listen(self):
        if self.passive is not None:
            self.passive.close()
        self.passive = self.server._track(socket.create_server((HOST, 0)))
        self.passive.settimeout(IDLE)
        self.active = None
        return self.passive.getsockname()[1]

    def do_PORT(self, arg, path):
        numbers = arg.split(",")
        self.active = (".".join(numbers[:4]), int(numbers[4]) * 256 + int(numbers[5]))
        self.passive = None
        if self.server.on_port:
            self.server.on_port(self.active)
        self.send("200 PORT ok")

    def do_EPRT(self, arg, path):
        _, _, host, port, _ = arg.split(arg[0])
        self.active, self.passive = (host, int(port)), None
        self.send("200 EPRT ok")

    def open_data(self):
        """The data connection: accepted after PASV, or made (before the 150, as vsftpd does) after PORT."""
        if self.passive is not None:
            listener, self.passive = self.passive, None
            with listener:
                conn, _ = listener.accept()
        elif self.active is not None:
            conn = socket.create_connection(self.active, IDLE, source_address=(HOST, 0))
        else:
            raise OSError("no PASV or PORT first")
        conn.settimeout(IDLE)
        return self.server._track(conn)

    def transfer(self, chunks, pause=None, reading=False):
        """Sends the byte strings `chunks()` gives (one per `pause` seconds) over a data connection."""
        try:
            data = self.open_data()
        except OSError:
            return self.send("425 no data connection")
        received = bytearray()
        with data:
            self.send("150 opening data connection")
            try:
                if reading:
                    while block := data.recv(1 << 16):
                        received += block
                for chunk in ([] if reading else chunks()):
                    data.sendall(chunk)
                    if pause and self.server._stopping.wait(pause):
                        break
            except OSError:
                return self.send("426 data connection closed; transfer aborted")
        self.send("226 transfer complete")
        return bytes(received)

    def do_RETR(self, arg, path):
        f = self.server.files.get(path)
        if f is None or f.retr_reply:
            return self.send(f.retr_reply if f else "550 not a plain file")
        payload = f.payload()
        if f.trickle:
            def trickled():
                for i in range(len(payload)):
                    f.sent = i + 1
                    yield payload[i:i + 1]
            self.transfer(trickled, pause=f.trickle)
        else:
            self.transfer(lambda: (payload[i:i + (1 << 16)] for i in range(0, len(payload), 1 << 16)))

    # ---- changes: logged, and applied to the script so that what is gone stops being listed --------

    def do_STOR(self, arg, path):
        data = self.transfer(None, reading=True)
        if isinstance(data, bytes):
            self.server.files[path] = File(data)
            self.listed(path, Entry(posixpath.basename(path), "file", len(data)))

    def do_MKD(self, arg, path):
        self.server.dirs.setdefault(path, [])
        self.listed(path, Entry(posixpath.basename(path), "dir"))
        self.send(f'257 "{path}" created')

    def do_DELE(self, arg, path):
        gone = self.unlisted(path, ("file", "link"))
        self.send("250 deleted" if self.server.files.pop(path, None) or gone else "550 no such file")

    def do_RMD(self, arg, path):
        if self.server.dirs.get(path) or self.server.raw.get(path) or path in self.server.endless:
            return self.send("550 directory not empty")
        if path not in self.server.dirs:
            return self.send("550 no such directory")
        del self.server.dirs[path]
        self.unlisted(path, ("dir",))
        self.send("250 directory removed")

    def do_RNFR(self, arg, path):
        self.renaming = path
        self.send("350 ready for RNTO" if path in self.server.files else "550 no such file")

    def do_RNTO(self, arg, path):
        if self.renaming in self.server.files:
            self.server.files[path] = self.server.files.pop(self.renaming)
            self.unlisted(self.renaming, ("file",))
            self.listed(path, Entry(posixpath.basename(path), "file", len(self.server.files[path].data)))
        self.renaming = None
        self.send("250 renamed")

    def listed(self, path, entry):
        entries = self.server.dirs.get(posixpath.dirname(path))
        if entries is not None and all(e.name != entry.name for e in entries):
            entries.append(entry)

    def unlisted(self, path, kinds):
        parent, name = posixpath.split(path)
        entries = self.server.dirs.get(parent, [])
        kept = [e for e in entries if not (e.name == name and e.kind in kinds)]
        gone = len(kept) < len(entries)
        entries[:] = kept
        return gone


def _flood(kind, total):
    """Listing lines of `total` bytes in all, in chunks, made as they are sent. The entries are
    devices, which a client skips: one that ignores the cap reads it all, and fails no slower."""
    sent, number = 0, 0
    while sent < total:
        lines = []
        for _ in range(1000):
            number += 1
            entry = Entry(f"f{number:09d}", "device", 1)
            lines.append(entry.mlsd() if kind == "MLSD" else entry.list())
        chunk = ("\r\n".join(lines) + "\r\n").encode()[:total - sent]
        sent += len(chunk)
        yield chunk


def multiline(code, total):
    """A multi-line reply of about `total` bytes."""
    line = f" {'x' * 70}\r\n".encode()
    return f"{code}-begins\r\n".encode() + line * (total // len(line)) + f"{code} ends\r\n".encode()
