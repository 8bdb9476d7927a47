"""What a server says it can do: its answer to FEAT (RFC 2389), read once per session.

The answer is a 211 multi-line reply with one feature a line, its name first
and its parameters after a space: `MLST type*;size*;modify*;`, or
`HASH CRC32;MD5;SHA-1*;SHA-256;` (draft-bryan-ftpext-hash), where the star
marks the algorithm HASH uses until OPTS HASH names another. A server that
refuses FEAT offers nothing beyond RFC 959.

The answer is the server's and is not trusted: names are only compared with
the ones we know, never sent back nor printed.
"""

import ftplib
import weakref
from dataclasses import dataclass

from corvane.ftp.client import hear_owed

# A HASH line names a handful of algorithms; more is no server we could use, only a long line.
MAX_HASH_NAMES = 32


@dataclass(frozen=True)
class Features:
    names: frozenset = frozenset()  # upper-case feature names
    hashes: tuple = ()  # HASH's algorithms, upper-case, in the server's order
    hash_current: str | None = None  # the one HASH uses unless OPTS HASH names another

    def __contains__(self, name):
        return name in self.names


def parse(reply):
    """The features of a FEAT reply; none for a refusal or for a reply of one line."""
    if reply[:1] != "2":
        return Features()
    names, hashes, current = set(), [], None
    for line in reply.splitlines()[1:-1]:
        name, _, parameters = line.strip().partition(" ")
        name = name.upper()
        names.add(name)
        if name == "HASH":
            for algorithm in parameters.upper().split(";")[:MAX_HASH_NAMES]:
                algorithm = algorithm.strip()
                if algorithm.endswith("*"):
                    algorithm = current = algorithm[:-1]
                if algorithm:
                    hashes.append(algorithm)
    return Features(frozenset(names), tuple(hashes), current)


# client -> its Features: a session asks once, whichever part of the engine asks first.
_known = weakref.WeakKeyDictionary()


def remember(client, reply):
    """Parses `reply`, the answer to a FEAT that `client` sent, and keeps it for the session."""
    features = _known[client] = parse(reply)
    return features


def of(client):
    """The session's features, from one FEAT the first time they are asked for."""
    features = _known.get(client)
    if features is None:
        hear_owed(client)  # an engine session's own FEAT may be among them
        features = _known.get(client)
    if features is None:
        try:
            reply = client.sendcmd("FEAT")
        except ftplib.error_perm as exc:
            reply = str(exc)
        features = remember(client, reply)
    return features
