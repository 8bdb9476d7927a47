"""A short tour, as any user (no root): `corvane-ftp serve` serves an empty folder on a free
loopback port; the tour copies a small tree there and back with the command line, then shows
what path objects bound to that server answer.

usage: python3 scripts/tour.py   (after `pip install .`)
"""

import os
import re
import subprocess
import sys
import tempfile

PASSWORD_ENV = "CORVANE_FTP_PASSWORD"
PASSWORD = "tour-password"
# -P: the installed package, not a source folder that happens to be the current directory.
CLI = [sys.executable, "-P", "-m", "corvane.ftp"]
ENV = {**os.environ, PASSWORD_ENV: PASSWORD}


def make_reports(work):
    top = os.path.join(work, "reports")
    os.makedirs(os.path.join(top, "2026"))
    for name, text in (("2026/q1.csv", "month,total\njan,3\nfeb,5\nmar,8\n"), ("README", "quarterly totals\n")):
        with open(os.path.join(top, name), "w") as f:
            f.write(text)
    return top


def main():
    with tempfile.TemporaryDirectory() as work:
        served = os.path.join(work, "served")
        os.mkdir(served)
        server = subprocess.Popen(CLI + ["serve", served, "--password-env", PASSWORD_ENV],
                                  stdout=subprocess.PIPE, text=True, env=ENV)
        try:
            user, host, port = re.search(r"ftp://(\S+)@([\d.]+):(\d+)/", server.stdout.readline()).groups()
            options = ["--host", host, "--port", port, "--user", user, "--password-env", PASSWORD_ENV]
            print(f"corvane-ftp serve: {served} on {host}:{port}, user {user}")
            print(f"OPTS='{' '.join(options)}'\n")
            command_line(options, make_reports(work), os.path.join(work, "back"))
            path_objects(host, int(port), user)
        finally:
            server.terminate()
            server.wait()


def command_line(options, local, back):
    for args in (["put", "-j", "4", local, "/reports"], ["ls", "-l", "/reports"],
                 ["cat", "/reports/2026/q1.csv"], ["stat", "/reports/2026/q1.csv"],
                 ["get", "/reports", back], ["mkdir", "/reports/new"], ["ls", "/reports"]):
        print("$ corvane-ftp $OPTS", " ".join(args))
        subprocess.run(CLI + options + args, env=ENV, check=True)
    print()


def path_objects(host, port, user):
    from corvane.ftp import connect

    server = connect(host, port=port, user=user, password=PASSWORD)
    reports = server("/reports")
    q1 = reports.join("2026", "q1.csv")
    for p in (reports, q1, server("/nowhere")):
        print(f"{str(p):28} exists={p.exists!s:5}", end="")
        print(f" is_dir={p.is_dir()}" if p.exists else "")
    print(f"{str(q1)} modified (server time + 8 h): {q1.mtime}")
    print(f"{str(q1)} holds {q1.read()!r}")
    for name in ("new/a.txt", "new/b.txt"):
        reports.join(name).write(f"written as {name}\n".encode())
    print("entries of /reports/new matching '*.txt':", [str(p) for p in reports.join("new").glob("*.txt")])
    reports.delete()
    print("after delete(), /reports exists:", reports.exists)


if __name__ == "__main__":
    main()
