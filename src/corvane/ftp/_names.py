"""Which names from a server's listing may stand for an entry of the listed directory.

A server may be hostile, or someone may sit between us and it on plain FTP: a
listed name is the server's word, and it is used only when it can name nothing
but an entry of that one directory. Empty, "." and "..", and names holding "/",
NUL, CR or LF are refused: joined to a path they climb out of the directory or
into another one, and sent in a command CR and LF would end it and start
another. The native listings (glob, delete) apply the same rule.
"""

_FORBIDDEN = frozenset("/\0\r\n")


def is_entry_name(name: str) -> bool:
    """Whether `name`, as a listing gave it, can only name an entry of that directory."""
    return name not in ("", ".", "..") and _FORBIDDEN.isdisjoint(name)
