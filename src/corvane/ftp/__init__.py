"""FTP paths: `FTPPath` names a file or directory on an FTP server.

`FTPPath` takes its server from the [ftp] config section; `connect` and
`from_config` make path classes bound to other servers, ports and FTPS;
`put` and `get` copy files and trees with parallel sessions.
"""

from typing import TYPE_CHECKING

from corvane.ftp.path import FTPPath, interrupt
from corvane.ftp.connect import ServerPath, connect, from_config
from corvane.ftp.settings import Settings
from corvane.ftp.tls import InsecureTLSWarning, TLSError, TLSRequiredError

if TYPE_CHECKING:
    from corvane.ftp.transfer import FileTransferError, Progress, Report, get, put

__all__ = ["FTPPath", "interrupt", "ServerPath", "connect", "from_config", "Settings",
           "InsecureTLSWarning", "TLSError", "TLSRequiredError",
           "put", "get", "Report", "Progress", "FileTransferError"]

_TRANSFER = {"put", "get", "Report", "Progress", "FileTransferError"}


def __getattr__(name: str) -> object:
    # The engine is imported on first use: a program that only reads paths (or the command
    # line's quick commands) does not pay for its imports.
    if name in _TRANSFER:
        from corvane.ftp import transfer
        return getattr(transfer, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | _TRANSFER)
