"""A pyftpdlib server on one loopback address (port 21 unless told), for tests and the tour.

usage: python pyftpd.py HOST ROOT USER PASSWORD [MAX_CONNECTIONS [PORT]]

PORT 0 lets the system pick a free port. Once listening the server prints
"listening on HOST:PORT" on its standard output.
"""

import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def serve(host, root, user, password, max_cons=256, port=21):
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    # A refused login answers at once: the tests try wrong passwords on purpose.
    handler = type("Handler", (FTPHandler,), {"authorizer": authorizer, "banner": "corvane test server",
                                              "auth_failed_timeout": 0.1})
    server = FTPServer((host, port), handler)
    server.max_cons = max_cons
    print(f"listening on {host}:{server.address[1]}", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    host, root, user, password = sys.argv[1:5]
    serve(host, root, user, password, *(int(a) for a in sys.argv[5:7]))
