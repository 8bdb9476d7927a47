"""An in-memory FTP server and a recording client that speaks ftplib's API.

`FakeServer` holds a file tree and the log of every command any session sent;
`FakeFTP` is one logged-in session, shaped like `ftplib.FTP` as far as the
module uses it. A server's `quirks` reproduce how real servers answer (see the
table in QUIRKS). The session is strict about the control connection: a
command sent while a transfer reply is still owed, or a reply read when none
is owed, fails the test, because on a real server either one shifts every
later reply.
"""

import ftplib
import posixpath

# How each server answers the probes that differ between them.
QUIRKS = {
    # NLST of a missing path is refused with 550; dot-files are listed.
    # ... and "LIST -a P" is refused.
    "pyftpdlib": dict(nlst_missing="550", nlst_file=True, nlst_empty_dir="ok", hides_dots=False,
                      list_spaces=True, cut_reply="426 Transfer aborted; 1 bytes transmitted.", refuses_list_a=True),
    # NLST of a missing path succeeds with no lines; dot-files are hidden.
    "vsftpd": dict(nlst_missing="empty", nlst_file=True, nlst_empty_dir="ok", hides_dots=True,
                   list_spaces=True, cut_reply="226 Transfer complete."),
    # NLST of a file is refused; listings of paths with white space come back empty.
    "pureftpd": dict(nlst_missing="550", nlst_file=False, nlst_empty_dir="dots", hides_dots=True,
                     list_spaces=False, cut_reply="150 0.001 seconds (measured here), 1.00 Mbytes per second"),
    # Missing paths are answered with 450.
    "proftpd": dict(nlst_missing="450", nlst_file=True, nlst_empty_dir="ok", hides_dots=True,
                    list_spaces=True, cut_reply="426 Transfer aborted. Data connection closed"),
    # NLST of an empty directory is refused.
    "inetutils": dict(nlst_missing="550", nlst_file=True, nlst_empty_dir="550", hides_dots=False,
                      list_spaces=True, cut_reply="226 Transfer complete."),
}

LIST_LINE = "{mode}   1 user     group    {size:8d} Dec 08 19:59 {name}"


class ProtocolViolation(AssertionError):
    """The code under test broke the command/reply order of the control connection."""


class FakeServer:
    def __init__(self, quirks="pyftpdlib", blocksize_cap=None):
        self.quirks = QUIRKS[quirks]
        self.name = quirks
        self.fs = {"/": None}  # path -> bytes for a file, None for a directory
        self.links = {}  # path -> target text, listed as symbolic links
        self.log = []  # (session number, command text), for every session
        self.sessions = []
        self.failures = {}  # command text -> list of exceptions to raise, first first
        self.listing_extra = {}  # directory -> extra raw LIST lines
        self.blocksize_cap = blocksize_cap

    # -- building the tree ------------------------------------------------
    def add_dir(self, path):
        parts = path.strip("/").split("/")
        for i in range(1, len(parts) + 1):
            self.fs.setdefault("/" + "/".join(parts[:i]), None)
        return self

    def add_file(self, path, content=b""):
        self.add_dir(posixpath.dirname(path) or "/")
        self.fs[path] = content
        return self

    def fail(self, command, *errors):
        """Answer the next len(errors) sends of `command` with these errors."""
        self.failures.setdefault(command, []).extend(errors)
        return self

    # -- the factory handed to FTPPath._creator -----------------------------
    def connect(self, **settings):
        session = FakeFTP(self, len(self.sessions), settings)
        self.sessions.append(session)
        return session

    def commands(self, session=None):
        return [c for s, c in self.log if session is None or s == session]

    # -- answers -------------------------------------------------------------
    def is_dir(self, path):
        return path in self.fs and self.fs[path] is None

    def children(self, path):
        prefix = path.rstrip("/") + "/"
        names = []
        for p in list(self.fs) + list(self.links):
            if p != path and p.startswith(prefix) and "/" not in p[len(prefix):]:
                names.append(p[len(prefix):])
        return names


def _resolve(session, arg):
    path = arg if arg.startswith("/") else posixpath.join(session.cwd, arg)
    return posixpath.normpath(path) if path != "/" else "/"


class FakeFTP:
    def __init__(self, server, number, settings):
        self.server = server
        self.number = number
        self.settings = settings
        self.cwd = "/"
        self.lastresp = "230"
        self.pending = None  # the final reply a transfer cut short still owes
        self.passive = None
        self.closed = False

    # -- plumbing ---------------------------------------------------------
    def _send(self, command):
        if self.closed:
            raise ProtocolViolation(f"command {command!r} sent on a dropped client")
        if self.pending is not None:
            raise ProtocolViolation(f"{command!r} sent while the reply {self.pending!r} is still owed")
        self.server.log.append((self.number, command))
        queue = self.server.failures.get(command)
        if queue:
            error = queue.pop(0)
            if not isinstance(error, BaseException):
                error = error()  # a function: what another session did first, then the answer
            if isinstance(error, ftplib.Error):
                self.lastresp = str(error)[:3]
            raise error

    def _reply(self, text):
        self.lastresp = text[:3]
        code = text[:1]
        if code == "4":
            raise ftplib.error_temp(text)
        if code == "5":
            raise ftplib.error_perm(text)
        return text

    def _path(self, arg):
        return _resolve(self, arg)

    # -- ftplib API ---------------------------------------------------------
    def set_pasv(self, flag):
        self.passive = flag

    def voidresp(self):
        if self.pending is None:
            raise ProtocolViolation("a reply was read when none was owed (a real client would hang)")
        text, self.pending = self.pending, None
        self.lastresp = text[:3]
        if text[:1] == "4":
            raise ftplib.error_temp(text)
        if text[:1] != "2":
            raise ftplib.error_reply(text)
        return text

    def sendcmd(self, command):
        self._send(command)
        verb, _, arg = command.partition(" ")
        if verb == "MDTM":
            path = self._path(arg)
            if self.server.fs.get(path) is not None:
                return self._reply("213 20231114221320")
            return self._reply("550 Could not get file modification time.")
        if verb == "CWD":
            path = self._path(arg)
            if self.server.is_dir(path):
                self.cwd = path
                return self._reply("250 Directory successfully changed.")
            return self._reply("550 Failed to change directory.")
        if verb == "NOOP":
            return self._reply("200 NOOP ok.")
        return self._reply("502 Command not implemented.")

    def pwd(self):
        self._send("PWD")
        self._reply('257 "%s" is the current directory' % self.cwd)
        return self.cwd

    def nlst(self, *args):
        command = "NLST" + "".join(" " + a for a in args)
        self._send(command)
        q = self.server.quirks
        path = self._path(args[0]) if args else self.cwd
        fs = self.server.fs
        if path not in fs and path not in self.server.links:
            if q["nlst_missing"] == "empty":
                return self._done([])
            return self._reply(q["nlst_missing"] + " No such file or directory.")
        if fs.get(path) is not None:
            if not q["nlst_file"]:
                return self._reply("550 Can't check for file existence")
            hidden = q["hides_dots"] and posixpath.basename(path).startswith(".")
            return self._done([] if hidden else [posixpath.basename(path)])
        names = [n for n in self.server.children(path) if not (q["hides_dots"] and n.startswith("."))]
        if not names:
            if q["nlst_empty_dir"] == "550":
                return self._reply("550 No files found.")
            if q["nlst_empty_dir"] == "dots":
                names = [".", ".."]
        return self._done(names)

    def _done(self, result):
        self._reply("226 Transfer complete.")
        return result

    def retrlines(self, command, callback=None):
        self._send(command)
        verb, _, arg = command.partition(" ")
        if verb != "LIST":
            return self._reply("502 Command not implemented.")
        q = self.server.quirks
        show_all = arg.startswith("-a ")
        if show_all and q.get("refuses_list_a"):
            return self._reply("550 No such file or directory.")
        arg = arg[3:] if show_all else arg
        path = self._path(arg) if arg else self.cwd
        if not self.server.is_dir(path):
            return self._reply("550 No such file or directory.")
        lines = list(self.server.listing_extra.get(path, []))
        if show_all:
            lines += [LIST_LINE.format(mode="drwxr-xr-x", size=4096, name=n) for n in (".", "..")]
        if not (not q["list_spaces"] and any(c.isspace() for c in arg)):
            for name in self.server.children(path):
                if q["hides_dots"] and name.startswith(".") and not show_all:
                    continue
                full = path.rstrip("/") + "/" + name
                if full in self.server.links:
                    lines.append(LIST_LINE.format(mode="lrwxrwxrwx", size=3,
                                                  name=f"{name} -> {self.server.links[full]}"))
                elif self.server.fs[full] is None:
                    lines.append(LIST_LINE.format(mode="drwxr-xr-x", size=4096, name=name))
                else:
                    lines.append(LIST_LINE.format(mode="-rw-r--r--", size=len(self.server.fs[full]), name=name))
        self.lastresp = "150"
        for line in lines:
            (callback or print)(line)
        return self._reply("226 Transfer complete.")

    def retrbinary(self, command, callback, blocksize=8192, rest=None):
        self._send(command)
        path = self._path(command.partition(" ")[2])
        content = self.server.fs.get(path)
        if content is None:
            return self._reply("550 Failed to open file.")
        self.lastresp = "150"
        if self.server.blocksize_cap:
            blocksize = min(blocksize, self.server.blocksize_cap)
        try:
            for i in range(0, len(content), blocksize):
                callback(content[i:i + blocksize])
        except BaseException:
            self.pending = self.server.quirks["cut_reply"]
            raise
        return self._reply("226 Transfer complete.")

    def storbinary(self, command, fp, blocksize=8192, callback=None, rest=None):
        self._send(command)
        path = self._path(command.partition(" ")[2])
        if self.server.is_dir(path) or posixpath.dirname(path) not in self.server.fs:
            return self._reply("553 Could not create file.")
        chunks = []
        while True:
            block = fp.read(blocksize)
            if not block:
                break
            chunks.append(block)
        self.server.fs[path] = b"".join(chunks)
        return self._reply("226 Transfer complete.")

    def mkd(self, dirname):
        self._send("MKD " + dirname)
        path = self._path(dirname)
        if path in self.server.fs or posixpath.dirname(path) not in self.server.fs:
            return self._reply("550 Create directory operation failed.")
        self.server.fs[path] = None
        self._reply('257 "%s" created' % path)
        return path

    def rmd(self, dirname):
        self._send("RMD " + dirname)
        path = self._path(dirname)
        if not self.server.is_dir(path) or self.server.children(path):
            return self._reply("550 Remove directory operation failed.")
        del self.server.fs[path]
        return self._reply("250 Remove directory operation successful.")

    def delete(self, filename):
        self._send("DELE " + filename)
        path = self._path(filename)
        if path in self.server.links:
            del self.server.links[path]
            return self._reply("250 Delete operation successful.")
        if self.server.fs.get(path) is None:
            return self._reply("550 Delete operation failed.")
        del self.server.fs[path]
        return self._reply("250 Delete operation successful.")

    def quit(self):
        raise ProtocolViolation("the module must never quit a client")

    close = quit
