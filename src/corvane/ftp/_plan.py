"""Planning a transfer: one local walk, or one remote listing per directory.

Remote listings are MLSD where the server advertises MLST in FEAT (type,
size and modification time of each entry), LIST -a elsewhere, split
natively line by line in whichever format each line is written: Unix
`ls -l`, Windows/IIS or EPLF. A LIST line in none of them is handed to the
caller to report, never dropped: it may be a file we would otherwise miss.
A link is never followed into a directory: a link to a file is copied as
that file, a link to a directory is reported as skipped.

To tell one from the other on the server we ask SIZE of the link: one round
trip, no change of the session's directory (CWD would need a second one to
come back), and a link to a file answers with the target's size, which the
plan needs anyway (a listing shows the link's own length). A refused SIZE
means a directory, or a broken link: both are skipped.

Some servers (pyftpdlib) describe a link's target in MLSD, not the link. A
directory sharing its identity (the unique fact) with another entry or with a
directory above is then settled by one LIST of that directory; a link there
to a directory outside the tree cannot be told from a directory and is copied.
"""

import calendar
import collections
import errno
import ftplib
import os
import re
import stat
from dataclasses import dataclass, field

from corvane.ftp import _datapath, _features, limits
from corvane.ftp._names import is_entry_name
from corvane.ftp._data import DataConnection, can_pipeline_passive, passive_address, passive_ready


@dataclass
class Entry:
    rel: str  # "/"-separated, relative to the tree's top; "" for a single file
    size: int
    mtime: float | None  # seconds since the epoch, where the side knows it exactly (MLSD, MDTM, EPLF, stat)
    # (seconds, precision in seconds) as a LIST line gives it: 60 or 86400 for Unix, 60 for
    # Windows, 1 for EPLF. The server's clock read as UTC: some servers list local time
    # (see _times, which compares both at their precision).
    listed_time: tuple[int, int] | None = None


@dataclass
class Tree:
    is_dir: bool = True
    dirs: list = field(default_factory=list)  # relative paths, parents before children
    files: list = field(default_factory=list)  # Entry
    skipped_links: list = field(default_factory=list)  # relative paths
    skipped_special: list = field(default_factory=list)  # relative paths of local pipes, devices, sockets
    file_links: set = field(default_factory=set)  # relative paths of local links to files, which are followed
    held: set = field(default_factory=set)  # relative paths of directories holding entries left out (filtered, unread)

    def by_rel(self):
        return {f.rel: f for f in self.files}


def join(top, rel):
    return f"{top.rstrip('/')}/{rel}" if rel else top


# ---- local ------------------------------------------------------------------

def special_kind(mode):
    """The words FTPPath.upload uses for a local file that is neither a directory nor a regular file."""
    if stat.S_ISFIFO(mode):
        return "a named pipe"
    if stat.S_ISSOCK(mode):
        return "a socket"
    if stat.S_ISCHR(mode):
        return "a character device"
    if stat.S_ISBLK(mode):
        return "a block device"
    return "not a regular file"


def special_file_error(path, mode):
    return OSError(errno.EINVAL, f"Only directories and regular files can be uploaded; this is {special_kind(mode)}",
                   path)


def walk_local(top, keep=None):
    """The tree at the local path `top` (a directory, or a single file).

    keep(rel, is_dir) says which paths of a tree to take (see _filters); a
    directory it refuses is not entered, and its parent is `held`.

    Pipes, devices and sockets are left out of a tree and named in the tree's
    `skipped_special`: reading a pipe blocks until someone writes to it, and a
    device such as /dev/zero never ends. A single one is refused.
    """
    st = os.stat(top)
    if not stat.S_ISDIR(st.st_mode):
        if not stat.S_ISREG(st.st_mode):
            raise special_file_error(top, st.st_mode)
        return Tree(is_dir=False, files=[Entry("", st.st_size, st.st_mtime)],
                    file_links={""} if os.path.islink(top) else set())
    tree = Tree()
    pending = [""]
    while pending:
        rel_dir = pending.pop()
        with os.scandir(os.path.join(top, rel_dir)) as entries:
            for entry in entries:
                rel = f"{rel_dir}/{entry.name}" if rel_dir else entry.name
                if keep is not None and not keep(rel, entry.is_dir(follow_symlinks=False)):
                    tree.held.add(rel_dir)
                elif entry.is_symlink():
                    try:
                        target = os.stat(entry.path)
                    except OSError:
                        target = None  # a broken link: nothing to copy
                    if target is None or stat.S_ISDIR(target.st_mode):
                        tree.skipped_links.append(rel)
                    elif not stat.S_ISREG(target.st_mode):
                        tree.skipped_special.append(rel)
                    else:
                        tree.files.append(Entry(rel, target.st_size, target.st_mtime))
                        tree.file_links.add(rel)
                elif entry.is_dir(follow_symlinks=False):
                    tree.dirs.append(rel)
                    pending.append(rel)
                elif entry.is_file(follow_symlinks=False):
                    target = entry.stat(follow_symlinks=False)
                    tree.files.append(Entry(rel, target.st_size, target.st_mtime))
                else:
                    tree.skipped_special.append(rel)
    tree.dirs.sort(key=lambda rel: rel.count("/"))
    return tree


# ---- remote -----------------------------------------------------------------

def data_lines(client, command, where):
    """The lines a listing command sends, read without ftplib's switch to TYPE A:
    the session stays in binary mode and saves that round trip.

    The listing is decoded a block at a time and held only as lines, and a
    server that sends more than the cap (`where` names it in the error) is cut
    off: its reply is read and set aside, and the caller drops the session all the same.
    """
    cap = limits.listing_bytes()
    lines = []
    pending = bytearray()  # the start of a line whose end has not arrived yet
    total = 0
    with DataConnection(client, command, download=True) as data:
        while chunk := data.sock.recv(1 << 20):
            total += len(chunk)
            if total > cap:
                raise limits.listing_too_long(where, cap)
            end = chunk.rfind(b"\n") + 1
            if end:
                pending += chunk[:end]
                _add_lines(lines, pending, client.encoding, command)
                pending[:] = chunk[end:]
            else:
                pending += chunk
        data.finish()
    if pending:
        _add_lines(lines, pending + b"\n", client.encoding, command)
    return lines


def _add_lines(lines, block, encoding, command):
    """The whole lines of `block`, which ends with a line feed, without their line ends."""
    try:
        text = block.decode(encoding)
    except UnicodeDecodeError as exc:
        exc.add_note(f"in the answer to {command!r}: the `encoding` option names the server's encoding")
        raise
    lines.extend(line[:-1] if line.endswith("\r") else line for line in text.split("\n")[:-1])


def mlsd_time(text):
    """MLSD's modify fact, YYYYMMDDHHMMSS[.fff] in UTC, as seconds since the epoch."""
    try:
        whole = calendar.timegm((int(text[0:4]), int(text[4:6]), int(text[6:8]),
                                 int(text[8:10]), int(text[10:12]), int(text[12:14]), 0, 0, 0))
        return whole + (float(text[14:]) if text[14:15] == "." else 0.0)
    except ValueError:
        return None


def mlsd_entries(lines):
    """(kind, size, mtime, unique, name) of each entry: kind "d", "-" or "l"."""
    found = []
    for line in lines:
        facts_text, space, name = line.partition(" ")
        if not space:
            continue
        facts = {}
        for fact in facts_text.split(";"):
            key, _, value = fact.partition("=")
            facts[key.lower()] = value
        kind = facts.get("type", "").lower()
        kind = "d" if kind == "dir" else "-" if kind == "file" else "l" if "link" in kind else None
        if kind is None:
            continue  # cdir, pdir and what is neither file nor directory
        size = _digits(facts.get("size", ""))
        found.append((kind, size, mlsd_time(facts.get("modify", "")), facts.get("unique"), name))
    return found


class Lister:
    """Lists remote directories of the server `server` in its best format."""

    def __init__(self, mlsd, server):
        self.mlsd = mlsd
        self.server = server
        self.list_command = "LIST -a"  # plain LIST once a server has read "-a" as a path

    def _long_listing(self, client, path):
        """LIST -a, for the dot-files that some servers hide from plain LIST. A server that takes
        no options reads "-a" as a path and refuses: plain LIST is then tried, and kept for the run."""
        command = self.list_command
        try:
            return self._lines(client, command, path)
        except (ftplib.error_perm, ftplib.error_temp) as exc:
            if command == "LIST" or not str(exc).startswith(("450", "5")):
                raise
            lines = self._lines(client, "LIST", path)
        self.list_command = "LIST"
        return lines

    def _lines(self, client, command, path):
        return data_lines(client, f"{command} {path}", f"{self.server}:{path}")

    def listing(self, client, path, ancestors, with_targets=False):
        """([(kind, size, mtime, unique, name, listed_time)], unknown lines) of the remote
        directory `path`; `ancestors`: the identities (MLSD's unique fact) of the directories
        above it. The names are the server's, unchecked; listed_time is LIST's
        (seconds, precision), and an EPLF time, exact to the second, is the mtime too.
        `with_targets` adds a third item: {link name: target} of the links LIST showed."""
        targets = {}
        if not self.mlsd:
            lines = self._long_listing(client, path)
            entries, unknown = _datapath.parse_list(lines)
            if with_targets:
                targets = link_targets(lines)
            found = [(kind, size, when if precision == 1 else None, None, name,
                      None if when is None else (when, precision))
                     for kind, size, name, when, precision in entries]
            return (found, unknown, targets) if with_targets else (found, unknown)
        entries = mlsd_entries(self._lines(client, "MLSD", path))
        if self._aliased(entries, ancestors):
            # Some servers' MLSD describes a link's target, not the link: two names with one
            # identity, one of them a directory. LIST, which shows links as links, settles it.
            lines = self._lines(client, "LIST", path)
            links = {entry[2] for entry in _datapath.parse_list(lines)[0] if entry[0] == "l"}
            entries = [("l" if name in links else kind, size, mtime, unique, name)
                       for kind, size, mtime, unique, name in entries]
            if with_targets:
                targets = link_targets(lines)
        found = [entry + (None,) for entry in entries]
        return (found, [], targets) if with_targets else (found, [])

    @staticmethod
    def _aliased(entries, ancestors):
        """Whether a directory shares its identity with another entry or with a directory above."""
        counts = collections.Counter(unique for _, _, _, unique, _ in entries if unique is not None)
        return any(kind == "d" and unique is not None and (counts[unique] > 1 or unique in ancestors)
                   for kind, _, _, unique, _ in entries)

    def directory(self, client, top, rel, ancestors=()):
        """The entries of one directory of the tree: ([(subdirectory rel, its ancestors)],
        Entry list, skipped link rels, refused names, unknown lines).

        A refused name (see _names) is never joined to a path nor sent, and an
        unknown line (in no LIST format we read) is never guessed at: the caller
        reports both. LIST's own "." and ".." never get here."""
        path = join(top, rel)
        dirs, files, skipped, refused = [], [], [], []
        entries, unknown = self.listing(client, path, ancestors)
        for kind, size, mtime, unique, name, listed_time in entries:
            if not is_entry_name(name):
                refused.append(name)
                continue
            child = f"{rel}/{name}" if rel else name
            if kind == "d":
                dirs.append((child, ancestors + (unique,) if unique else ancestors))
            elif kind == "-":
                files.append(Entry(child, size, mtime, listed_time))
            elif kind == "l":
                target_size = link_size(client, join(path, name))
                if target_size is None:
                    skipped.append(child)
                else:
                    files.append(Entry(child, target_size, mtime if self.mlsd else None))
        return dirs, files, skipped, refused, unknown


def link_targets(lines):
    """{name: target} of the Unix LIST lines that show a link. parse_list ends a link's name
    at the last " -> " of its line, so the target is what follows that arrow."""
    targets = {}
    for line in lines:
        arrow = line.rfind(" -> ")
        if arrow < 0:
            continue
        entries = _datapath.parse_list([line])[0]
        if entries and entries[0][0] == "l":
            targets[entries[0][2]] = line[arrow + 4:]
    return targets


_SIZE_REPLY = re.compile(r"213 ([0-9]{1,20})")


def size_of(reply):
    """The size in a SIZE reply that is exactly "213 <digits>"; None for any other."""
    match = _SIZE_REPLY.fullmatch(reply)
    return int(match[1]) if match else None


def _digits(text):
    return int(text) if text.isascii() and text.isdigit() and len(text) <= 20 else None


def link_size(client, path):
    """The size of the file a link names; None for a link to a directory, or a broken one,
    or a reply that gives no size."""
    try:
        reply = client.sendcmd(f"SIZE {path}")
    except ftplib.error_perm:
        return None
    return size_of(reply)


def ask_together(client, *commands):
    """The replies to `commands`, sent together: a server answers them in order, so they
    cost one round trip. A 4xx among them raises error_temp, once every reply is read."""
    for command in commands:
        client.putcmd(command)
    replies = [client.getmultiline() for _ in commands]
    for reply in replies:
        if reply[:1] == "4":
            raise ftplib.error_temp(reply)
    return replies


def offers_mlst(features):
    """Whether a FEAT reply lists MLST, and so MLSD."""
    return features[:1] == "2" and any(line.strip().upper().startswith("MLST") for line in features.splitlines()[1:])


def probe_top(client, path, passive=False):
    """(MLSD or not, "file" or "dir", the file's size, a passive address or None) for the top of a
    remote tree; FileNotFoundError when it is missing.

    The questions go out together: none depends on another's answer, and a
    server answers them in order, so they cost one round trip, not three.
    With `passive`, where the session opens data connections by its own PASV, a
    PASV goes with them: a directory top's address is returned for its listing,
    to be used within passive_ready; any other top's port is released here.
    """
    pasv = passive and can_pipeline_passive(client)
    features, sized, cwd, *answered = ask_together(client, "FEAT", f"SIZE {path}", f"CWD {path}",
                                                   *(["PASV"] if pasv else []))
    mlsd = "MLST" in _features.remember(client, features)
    address = passive_address(client, answered[0]) if answered and answered[0][:3] == "227" else None
    kind = size = None
    try:
        mlsd, kind, size = _kind_of_top(path, sized, cwd, mlsd)
    finally:
        if address is not None and kind != "dir":
            with passive_ready(client, address):
                address = None  # nothing to list there: the port is released
    return mlsd, kind, size, address


def _kind_of_top(path, size, cwd, mlsd):
    if (number := size_of(size)) is not None:
        return mlsd, "file", number
    if cwd[:1] == "2":
        return mlsd, "dir", None
    if size[:1] == "2":  # a success that gives no size, for a path that is no directory either
        raise ftplib.error_proto(f"the answer to SIZE {path} is no size: {size!r}")
    raise FileNotFoundError(f"'{path}' does not exist.")
