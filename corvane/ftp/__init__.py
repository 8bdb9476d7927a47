"""FTP paths: `FTPPath` names a file or directory on an FTP server."""

from corvane.ftp.path import FTPPath, interrupt

__all__ = ["FTPPath", "interrupt"]
