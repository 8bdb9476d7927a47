"""The benchmark's pyftpdlib server: any port, a passive range, and the
address to name in PASV replies (the link proxy's).

usage: python ftpd.py HOST PORT ROOT USER PASSWORD FIRST_PASSIVE LAST_PASSIVE PASV_ADDRESS
"""

import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def serve(host, port, root, user, password, first_passive, last_passive, pasv_address):
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = type("Handler", (FTPHandler,), {
        "authorizer": authorizer, "banner": "corvane bench server",
        "passive_ports": range(first_passive, last_passive + 1), "masquerade_address": pasv_address})
    server = FTPServer((host, port), handler)
    server.max_cons = 512
    server.serve_forever()


if __name__ == "__main__":
    host, port, root, user, password, first, last, pasv_address = sys.argv[1:9]
    serve(host, int(port), root, user, password, int(first), int(last), pasv_address)
