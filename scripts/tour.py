"""A short tour: serve a small tree over FTP on loopback and show what FTPPath answers.

Starts pyftpdlib in this process on port 21 of 127.0.0.7 (so it needs root),
points CORVANE_CONFIG at it, and walks a few paths.
"""

import logging
import os
import tempfile
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

HOST = "127.0.0.7"


def start_server(root):
    authorizer = DummyAuthorizer()
    authorizer.add_user("tour", "tour-password", root, perm="elradfmwMT")
    handler = type("TourHandler", (FTPHandler,), {"authorizer": authorizer})
    handler.log_prefix = ""
    server = FTPServer((HOST, 21), handler)
    threading.Thread(target=server.serve_forever, kwargs={"timeout": 0.2}, daemon=True).start()
    return server


def main():
    # The tour shows FTPPath's answers, not the server's session log.
    logging.getLogger("pyftpdlib").addHandler(logging.NullHandler())
    logging.getLogger("pyftpdlib").setLevel(logging.WARNING)
    with tempfile.TemporaryDirectory() as work:
        root = os.path.join(work, "root")
        os.makedirs(os.path.join(root, "reports", "2026"))
        with open(os.path.join(root, "reports", "2026", "q1.csv"), "w") as f:
            f.write("month,total\njan,3\nfeb,5\nmar,8\n")
        config = os.path.join(work, "corvane.ini")
        with open(config, "w") as f:
            f.write(f"[ftp]\nhost = {HOST}\nuser = tour\npasswd = tour-password\ntimeout = 10\n")
        os.environ["CORVANE_CONFIG"] = config
        server = start_server(root)
        try:
            tour()
        finally:
            server.close_all()


def tour():
    from corvane.ftp.path import FTPPath

    reports = FTPPath("/reports")
    q1 = reports.join("2026", "q1.csv")
    for p in (reports, q1, FTPPath("/nowhere")):
        print(f"{str(p):28} exists={p.exists!s:5}", end="")
        print(f" is_dir={p.is_dir()}" if p.exists else "")
    print(f"{str(q1)} modified (server time + 8 h): {q1.mtime}")
    print(f"{str(q1)} holds {q1.read()!r}")
    for name in ("new/a.txt", "new/b.txt"):
        reports.join(name).write(f"written as {name}\n".encode())
    print("entries of /reports/new matching '*.txt':", [str(p) for p in reports.join("new").glob("*.txt")])
    reports.join("new").delete()
    print("after delete(), /reports/new exists:", reports.join("new").exists)


if __name__ == "__main__":
    main()
