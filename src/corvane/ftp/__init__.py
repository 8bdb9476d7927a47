"""FTP paths: `FTPPath` names a file or directory on an FTP server.

`FTPPath` takes its server from the [ftp] config section; `connect` and
`from_config` make path classes bound to other servers, ports and FTPS.
"""

from corvane.ftp.path import FTPPath, interrupt
from corvane.ftp.connect import ServerPath, connect, from_config
from corvane.ftp.settings import Settings
from corvane.ftp.tls import InsecureTLSWarning, TLSError, TLSRequiredError

__all__ = ["FTPPath", "interrupt", "ServerPath", "connect", "from_config", "Settings",
           "InsecureTLSWarning", "TLSError", "TLSRequiredError"]
