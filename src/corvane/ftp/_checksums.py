"""Hashes of remote files, asked of the server, and of local ones, for `check` and `--checksum`.

Servers offer them two ways. HASH (draft-bryan-ftpext-hash), listed in FEAT
with its algorithms (`HASH CRC32;MD5;SHA-1*;SHA-256;SHA-512;`), hashes the
algorithm OPTS HASH chose, and answers `213 SHA-256 0-6 <hex> <path>`. The
older XSHA256, XSHA512, XSHA1, XMD5 and XCRC, each a feature of its own,
answer `250 <HEX>`. ProFTPD's mod_digest offers both; it splits an X
command's argument at spaces (a path with one is refused), so HASH comes
first wherever it is offered.

A reply is the server's word and is read as a digest only when it is
exactly one: the algorithm we asked for, and hex digits of that
algorithm's length. Anything else is an error that quotes it escaped.
"""

import ftplib
import hashlib
import os
import re
import warnings
import weakref
import zlib
from dataclasses import dataclass

from corvane.ftp import _features

# HASH's name -> (hex digits, the X command); in the order we prefer them.
ALGORITHMS = {
    "SHA-256": (64, "XSHA256"),
    "SHA-512": (128, "XSHA512"),
    "SHA-1": (40, "XSHA1"),
    "MD5": (32, "XMD5"),
    "CRC32": (8, "XCRC"),
}

NOT_OFFERED = ("the server offers no hash (its FEAT names neither HASH nor XSHA256, XSHA512, XSHA1, XMD5, XCRC): "
               "no file's content could be compared")

BLOCK = 1 << 20
# How much of a bad reply an error quotes.
QUOTED = 120

_HASH_REPLY = re.compile(r"213 (\S+) [0-9]+-[0-9]+ ([0-9A-Fa-f]+)(?: |$)")
_X_REPLY = re.compile(r"2[0-9][0-9] ([0-9A-Fa-f]+)(?:\s|$)")


class BadDigest(Exception):
    """A reply to HASH or an X command that is no digest of the algorithm asked for."""


class DigestMismatch(Exception):
    """The server's copy hashes otherwise than the local one."""

    def __init__(self, algorithm, here, there):
        super().__init__(f"its {algorithm} on the server is {there} and here {here}: the bytes changed on the way, "
                         f"and the copy was not kept")
        self.algorithm, self.here, self.there = algorithm, here, there


@dataclass(frozen=True)
class Method:
    algorithm: str  # HASH's name of it
    command: str  # "HASH" or the X command


def method(features):
    """The best way `features` offer to hash a file; None where they offer none."""
    for algorithm in ALGORITHMS:
        if algorithm in features.hashes and "HASH" in features:
            return Method(algorithm, "HASH")
    for algorithm, (_, command) in ALGORITHMS.items():
        if command in features:
            return Method(algorithm, command)
    return None


# client -> the algorithm its HASH now uses, once OPTS HASH has chosen it.
_chosen = weakref.WeakKeyDictionary()


def ask(client, path):
    """Sends the questions for `path`'s hash and returns the method, or None where the server
    offers none; `answer` reads the reply. In between the caller may hash the local file while
    the server hashes its own."""
    found = method(_features.of(client))
    if found is None:
        return None
    if found.command == "HASH":
        current = _chosen.get(client, _features.of(client).hash_current)
        if current != found.algorithm:
            client.putcmd(f"OPTS HASH {found.algorithm}")
    client.putcmd(f"{found.command} {path}")
    return found


def answer(client, found, path):
    """The server's hex digest of `path` in lower case, from the replies to what `ask` sent.
    A refusal raises ftplib's error for it; a reply that is no digest, BadDigest."""
    if found.command == "HASH" and _chosen.get(client, _features.of(client).hash_current) != found.algorithm:
        chose = client.getmultiline()
        if chose[:1] != "2":
            client.getmultiline()  # HASH's own answer, so that the session stays in step
            raise _error(chose)
        _chosen[client] = found.algorithm
    reply = client.getmultiline()
    if reply[:1] != "2":
        raise _error(reply)
    last = reply.rsplit("\n", 1)[-1]
    digits, _ = ALGORITHMS[found.algorithm]
    if found.command == "HASH":
        match = _HASH_REPLY.match(last)
        valid = match and match[1].upper() == found.algorithm and len(match[2]) == digits
        digest = match[2] if valid else None
    else:
        match = _X_REPLY.match(last)
        # Some servers write a CRC without its leading zeros.
        length_ok = match and (len(match[1]) == digits or found.algorithm == "CRC32" and len(match[1]) < digits)
        digest = match[1].rjust(digits, "0") if length_ok else None
    if digest is None:
        raise BadDigest(f"the answer to {found.command} {path} is no {found.algorithm} digest: "
                        f"{_quoted(reply)}")
    return digest.lower()


class _CRC32:
    """zlib's CRC-32 with hashlib's manner."""

    def __init__(self):
        self.value = 0

    def update(self, block):
        self.value = zlib.crc32(block, self.value)

    def hexdigest(self):
        return f"{self.value:08x}"


def hasher(algorithm):
    """A new hash object of the algorithm HASH calls `algorithm`."""
    return _CRC32() if algorithm == "CRC32" else hashlib.new(algorithm.replace("-", "").lower())


def file_digest(opener):
    """For digests(): the hex digest of what `opener()` opens, read a block at a time."""
    def digest(algorithm):
        found = hasher(algorithm)
        with opener() as f:
            while block := f.read(BLOCK):
                found.update(block)
        return found.hexdigest()
    return digest


def digests(client, path, local):
    """(algorithm, the local side's hex digest, the server's) of `path`; None where the server
    offers no hash. local(algorithm) gives the local side's, hashed while the server hashes
    its copy. A refusal raises ftplib's error for it."""
    found = ask(client, path)
    if found is None:
        return None
    here = local(found.algorithm)
    return found.algorithm, here, answer(client, found, path)


def refused(command_reply):
    return (f"the server refused to hash some files ({_quoted(command_reply)}; ProFTPD's X commands refuse "
            f"a path with a space): their contents could not be compared")


def confirm(client, path, local, compared):
    """After a transfer: DigestMismatch where the server's hash of `path` differs from the local
    side's (`local` as for digests); compared(reason) hears why none was compared, where the
    server offers no hash or refuses to give this file's."""
    try:
        found = digests(client, path, local)
    except ftplib.error_perm as exc:
        compared(refused(str(exc)))
        return
    if found is None:
        compared(NOT_OFFERED)
        return
    algorithm, here, there = found
    if here != there:
        raise DigestMismatch(algorithm, here, there)


def prefix_agrees(client, path, length, local):
    """Whether the server's copy of `path` begins with the bytes whose digest local(algorithm)
    gives (`length` of them); None where the server cannot tell. Only the X commands take a
    range (ProFTPD's mod_digest: `XSHA256 path start end`, end exclusive), and they split
    their argument at spaces, so a path with one cannot be asked about. A reply that is no
    digest counts as disagreement: the part is then not trusted."""
    features = _features.of(client)
    found = next((Method(algorithm, command) for algorithm, (_, command) in ALGORITHMS.items()
                  if command in features), None)
    if found is None or " " in path:
        return None
    client.putcmd(f"{found.command} {path} 0 {length}")
    try:
        there = answer(client, found, path)
    except ftplib.error_perm:
        return None
    except BadDigest:
        return False
    return there == local(found.algorithm)


def prefix_digest(fd, length):
    """local(algorithm) for prefix_agrees: the digest of the first `length` bytes of the file
    open as `fd`, read without moving its offset."""
    def digest(algorithm):
        found, at = hasher(algorithm), 0
        while at < length and (block := os.pread(fd, min(BLOCK, length - at), at)):
            found.update(block)
            at += len(block)
        return found.hexdigest()
    return digest


def _error(reply):
    return ftplib.error_temp(reply) if reply[:1] == "4" else ftplib.error_perm(reply) if reply[:1] == "5" \
        else ftplib.error_reply(reply)


def _quoted(text):
    return repr(text[:QUOTED]) + ("..." if len(text) > QUOTED else "")


def not_compared(report, reason, server):
    """Counts a copied file whose hash could not be compared; the first of a run is told once."""
    report.files_unhashed += 1
    if report.files_unhashed == 1:
        warnings.warn(f"{server}: {reason}", stacklevel=2)
