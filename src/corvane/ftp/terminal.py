"""Text for the terminal, from a server that may be hostile.

A name in a listing or the text of a reply can hold control characters: an
escape sequence retitles or clears the terminal, a carriage return writes
over what the line said before. The command line shows each of them as "?",
as `ls -q` does; what the Python API returns is left as the server sent it.
"""

from __future__ import annotations

# C0 (tab included), DEL and C1; and the lone surrogates that stand for undecodable bytes,
# which a stream writing with surrogateescape (the C locale's) would turn back into raw
# bytes, C1 controls among them.
_UNPRINTABLE = dict.fromkeys([*range(0x20), *range(0x7F, 0xA0), *range(0xD800, 0xE000)], "?")


def printable(text: str) -> str:
    """`text` with every control character replaced by "?"."""
    return text.translate(_UNPRINTABLE)
