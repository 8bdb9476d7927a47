"""Commands sent (ftplib's TYPE and PASV included) and time of exists / is_dir per case, and the cost of _valid_reset, on pyftpdlib.

usage: python bench/bench_queries.py   (as root: the server listens on 127.0.0.9:21)
"""

import ftplib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import servers  # noqa: E402

from corvane.ftp.path import FTPPath  # noqa: E402

HOST = "127.0.0.9"
REPEATS = 200


class Counting(ftplib.FTP):
    commands = 0

    def putcmd(self, line):
        Counting.commands += 1
        super().putcmd(line)


class Path(FTPPath):
    _creator = Counting


def measure(action):
    action()  # the first call also logs in
    before = Counting.commands
    action()
    sent = Counting.commands - before
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return sent, statistics.median(times) * 1e3


def main():
    work = tempfile.mkdtemp(prefix="corvane-bench-")
    root = os.path.join(work, "root")
    os.makedirs(os.path.join(root, "emptydir"))
    os.makedirs(os.path.join(root, "fulldir"))
    with open(os.path.join(root, "fulldir", "file.bin"), "wb") as f:
        f.write(os.urandom(1 << 20))
    open(os.path.join(root, "fulldir", "empty.bin"), "wb").close()
    proc = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__), "..", "scripts", "pyftpd.py"),
                             HOST, root, "bench", "bench-pw"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            env=servers.clean_env())
    try:
        servers.wait_listening(HOST, proc)
        config = os.path.join(work, "corvane.ini")
        with open(config, "w") as f:
            f.write(f"[ftp]\nhost = {HOST}\nuser = bench\npasswd = bench-pw\ntimeout = 10\n")
        os.environ["CORVANE_CONFIG"] = config
        cases = {
            "exists: file": lambda: Path("/fulldir/file.bin").exists,
            "exists: non-empty dir": lambda: Path("/fulldir").exists,
            "exists: empty dir": lambda: Path("/emptydir").exists,
            "exists: missing": lambda: Path("/missing").exists,
            "is_dir: 1 MiB file (cut retrieval + resync)": lambda: Path("/fulldir/file.bin").is_dir(),
            "is_dir: empty file": lambda: Path("/fulldir/empty.bin").is_dir(),
            "is_dir: directory": lambda: Path("/fulldir").is_dir(),
        }
        print(f"{'case':48} {'commands':>8} {'median ms':>10}")
        for name, action in cases.items():
            sent, ms = measure(action)
            print(f"{name:48} {sent:8d} {ms:10.3f}")
        client = Path("/").client
        resync = []
        for _ in range(REPEATS):
            try:
                client.retrbinary("RETR /fulldir/file.bin", lambda b: (_ for _ in ()).throw(InterruptedError()),
                                  blocksize=1)
            except InterruptedError:
                pass
            start = time.perf_counter()
            Path("/")._valid_reset()
            resync.append(time.perf_counter() - start)
            assert client.sendcmd("NOOP").startswith("200")
        print(f"_valid_reset after a cut retrieval: 0 commands, median {statistics.median(resync) * 1e3:.3f} ms")
    finally:
        proc.terminate()
        proc.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
