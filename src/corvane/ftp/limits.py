"""How much one listing or one reply of a server may hold before we stop reading.

A server that never stops sending must not exhaust memory: listings and
multi-line replies are read against these caps, and going past one is an
error that names the cap and the variable that raises it.
"""

import os

from corvane.config import ConfigError

# 64 MiB of listing text is about a million entries.
LISTING_BYTES_VAR = "CORVANE_MAX_LISTING_BYTES"
DEFAULT_LISTING_BYTES = 64 << 20

# FEAT, HELP and the greeting run to tens of lines; nothing we send is answered with more.
REPLY_LINES = 10_000
REPLY_BYTES = 1 << 20


def listing_bytes() -> int:
    """The cap on one listing, in bytes: CORVANE_MAX_LISTING_BYTES, read at each listing."""
    text = os.environ.get(LISTING_BYTES_VAR)
    if not text:
        return DEFAULT_LISTING_BYTES
    try:
        value = int(text)
    except ValueError:
        raise ConfigError(f"{LISTING_BYTES_VAR}={text!r}: wanted a whole number of bytes") from None
    if value < 1:
        raise ConfigError(f"{LISTING_BYTES_VAR}={text!r}: wanted at least 1 byte")
    return value


class ListingTooLong(OSError):
    """A listing went past the cap; the directory and the cap are in the message."""


def listing_too_long(where: str, cap: int) -> ListingTooLong:
    return ListingTooLong(f"the listing of {where} is longer than {cap} bytes; set {LISTING_BYTES_VAR} "
                          f"to a larger number of bytes to read it")
