"""UPath("cftp://...") and UPath("cftps://..."): universal_pathlib's paths on our file system."""

from upath.core import UPath


class CFTPPath(UPath):
    """A path on an FTP server, through `corvane.ftp.filesystem`."""

    __slots__ = ()
