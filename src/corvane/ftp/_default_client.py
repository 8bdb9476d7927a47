"""FTPPath's default client factory, ftplib.FTP, made so that a failed login closes its socket.

ftplib.FTP(host=..., user=..., passwd=...) connects and logs in inside its constructor: when the
login is refused, the half-made client is lost to the caller with its socket still open, until
garbage collection finds it. Here the same steps run one by one, and a failure closes it.
"""

import ftplib


def open_default(**settings):
    """ftplib.FTP(**settings), closed again when connecting or logging in fails."""
    host, user = settings.pop("host", ""), settings.pop("user", "")
    passwd, acct = settings.pop("passwd", ""), settings.pop("acct", "")
    client = ftplib.FTP(**settings)  # an unknown option fails here, with ftplib.FTP's own TypeError
    try:
        if host:
            client.connect(host)
            if user:
                client.login(user, passwd, acct)
    except BaseException:
        client.close()
        raise
    return client
