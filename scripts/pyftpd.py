"""A pyftpdlib server on port 21 of one loopback address, for tests and the tour.

usage: python pyftpd.py HOST ROOT USER PASSWORD [MAX_CONNECTIONS]
"""

import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.ioloop import IOLoop
from pyftpdlib.servers import FTPServer


def make_server(host, port, root, user, password, max_cons=256):
    """The server, bound (port 0: to a free port, see `address`) and not yet serving."""
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    # A refused login answers at once: the tests try wrong passwords on purpose.
    handler = type("Handler", (FTPHandler,), {"authorizer": authorizer, "banner": "corvane test server",
                                              "auth_failed_timeout": 0.1})
    # Its own event loop, not pyftpdlib's shared one: a process may run several servers.
    server = FTPServer((host, port), handler, ioloop=IOLoop())
    server.max_cons = max_cons
    return server


def serve(host, root, user, password, max_cons=256):
    make_server(host, 21, root, user, password, max_cons).serve_forever()


if __name__ == "__main__":
    host, root, user, password = sys.argv[1:5]
    serve(host, root, user, password, *(int(a) for a in sys.argv[5:6]))
