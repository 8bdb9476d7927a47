"""The protocol floor: FTPPath's command sequences, issued by bare ftplib calls.

Each function sends exactly what the FTPPath operation of the same name
sends (csrc/queries.cpp, transfers.cpp, namespace.cpp, listing_fetch.cpp),
through the same ftplib methods, in the same order, and nothing else: no
path objects, no retry wrapper, no per-thread client lookup, no native code.
What FTPPath takes beyond this is what the package itself costs. The
benchmark checks, at the proxy, that both sent the same command lines.

Paths are the texts of absolute paths ("/a/b"), as FTPPath sends them.
"""

import datetime
import fnmatch
import ftplib
import io
import pathlib
import posixpath


def _refusal(error):
    """A reply that answers no to one probe of exists: any 5xx, and ProFTPD's 450."""
    return isinstance(error, ftplib.error_perm) or (
        isinstance(error, ftplib.error_temp) and str(error).startswith("450"))


def _probe(send):
    """The reply of one probe, or None when the server refused it."""
    try:
        return send()
    except (ftplib.error_perm, ftplib.error_temp) as error:
        if _refusal(error):
            return None
        raise


def _names_pattern(path):
    return any(c in "*?[" for c in path.rsplit("/", 1)[-1])


def exists(ftp, path):
    names = _probe(lambda: ftp.nlst(path))
    if names and not _names_pattern(path):
        return True
    reply = _probe(lambda: ftp.sendcmd("MDTM " + path))
    if reply is not None and reply.startswith("213"):
        return True
    saved = _probe(ftp.pwd)
    if not saved:
        return False
    reply = _probe(lambda: ftp.sendcmd("CWD " + path))
    if reply is None or not reply.startswith("2"):
        return False
    ftp.sendcmd("CWD " + saved)
    return True


def _stop(block):
    raise InterruptedError("Finish!")


def is_dir(ftp, path):
    if not exists(ftp, path):
        raise FileNotFoundError(path)
    try:
        ftp.retrbinary("RETR " + path, _stop, blocksize=1)
        return False  # an empty file
    except InterruptedError:
        # The retrieval was cut after its first byte: its final reply is still owed.
        try:
            ftp.voidresp()
        except (ftplib.error_temp, ftplib.error_reply, ftplib.error_perm):
            pass
        return False
    except ftplib.error_perm:
        return True


def read(ftp, path):
    if not exists(ftp, path):
        raise FileNotFoundError(path)
    blocks = []
    ftp.retrbinary("RETR " + path, blocks.append)
    return b"".join(blocks)


def _parent(path):
    return pathlib.PurePosixPath(path).parent.as_posix()


def mkdir(ftp, path):
    parent = _parent(path)
    if parent not in (".", "/") and not exists(ftp, parent):
        mkdir(ftp, parent)
    if exists(ftp, path) and is_dir(ftp, path):
        return
    ftp.mkd(path)


def write(ftp, path, data):
    mkdir(ftp, _parent(path))
    ftp.storbinary("STOR " + path, io.BytesIO(data))


def upload(ftp, local, path):
    local = pathlib.Path(local)
    if local.is_dir():
        mkdir(ftp, path)
        for entry in local.iterdir():
            upload(ftp, entry, posixpath.join(path, entry.name))
        return
    mkdir(ftp, _parent(path))
    with open(local, "rb") as f:
        ftp.storbinary("STOR " + path, f)


def _listing(ftp, path):
    """The lines glob works on: is_dir(), then LIST."""
    if not is_dir(ftp, path):
        raise TypeError(f"'{path}' is not a directory.")
    lines = []
    ftp.retrlines("LIST " + path, lines.append)
    return lines


def glob(ftp, path, pattern="*"):
    found = []
    for line in _listing(ftp, path):
        fields = line.split(maxsplit=8)
        if len(fields) == 9 and fields[8] not in (".", "..") and fnmatch.fnmatchcase(fields[8], pattern):
            found.append(posixpath.join(path, fields[8]))
    return found


def _delete_listed(ftp, path, line):
    """A link by DELE of its own name, anything else by delete()."""
    fields = line.split(maxsplit=8)
    if len(fields) < 9 or fields[8] in (".", ".."):
        return
    if fields[0].startswith("l"):
        ftp.delete(posixpath.join(path, fields[8].rsplit(" -> ", 1)[0]))
    else:
        delete(ftp, posixpath.join(path, fields[8]))


def delete(ftp, path):
    if not is_dir(ftp, path):
        ftp.delete(path)
        return
    for line in _listing(ftp, path):
        _delete_listed(ftp, path, line)
    try:
        ftp.rmd(path)
    except ftplib.error_perm as refusal:
        # Entries the listing hid: LIST -a names them; a server that refuses
        # LIST -a hides nothing, and the refusal of RMD stands.
        hidden = []
        try:
            ftp.retrlines("LIST -a " + path, hidden.append)
        except ftplib.error_perm:
            raise refusal from None
        for line in hidden:
            _delete_listed(ftp, path, line)
        ftp.rmd(path)


def mtime(ftp, path):
    if not exists(ftp, path):
        raise FileNotFoundError(path)
    stamp = ftp.sendcmd("MDTM " + path)[4:].strip().split(".")[0]
    return datetime.datetime.strptime(stamp, "%Y%m%d%H%M%S") + datetime.timedelta(hours=8)
