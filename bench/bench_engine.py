"""The transfer engine's own targets, on loopback (standalone, until the
scenarios join `python -m bench`).

1. One 1 GiB file each way with `get`/`put` against bare ftplib with 1 MiB
   blocks (retrbinary into a file, storbinary from one): throughput, client
   CPU time per GiB (user + system, all threads) and peak memory growth
   (VmHWM minus VmRSS before the transfer). Every run is its own process.
2. Planning 100,000 empty files in 10 directories: the local walk, and the
   remote listing (client CPU only), plus LIST splitting alone, native and
   with str.split, on 100,000 lines.

The server is one of the test servers (tests/servers.py; root needed) with
its root in /dev/shm when there is room.

usage: python bench/bench_engine.py [--server pureftpd] [--gib 1] [--runs 3]
"""

import argparse
import ftplib
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
MiB = 2**20


def rss(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise LookupError(field)


def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def one_transfer(who, direction, remote, local):
    """In a child process: one transfer, measured; prints its figures as JSON."""
    from corvane.ftp.path import FTPPath
    from corvane.ftp.transfer import get, put

    if who == "ftplib":
        options = dict(line.split(" = ", 1) for line in open(os.environ["CORVANE_CONFIG"]).read().splitlines()[1:])
        ftp = ftplib.FTP(options["host"], options["user"], options["passwd"], timeout=120)
    baseline, cpu0, t0 = rss("VmRSS"), cpu(), time.perf_counter()
    if who == "ftplib" and direction == "get":
        with open(local, "wb") as f:
            ftp.retrbinary(f"RETR {remote}", f.write, blocksize=MiB)
    elif who == "ftplib":
        with open(local, "rb") as f:
            ftp.storbinary(f"STOR {remote}", f, blocksize=MiB)
    elif direction == "get":
        get(FTPPath(remote), local, jobs=1)
    else:
        put(local, FTPPath(remote), jobs=1)
    seconds, used = time.perf_counter() - t0, cpu() - cpu0
    print(json.dumps({"seconds": seconds, "cpu": used, "growth": rss("VmHWM") - baseline}))


def transfers(server, size, runs):
    big = os.path.join(server.root, "big.bin")
    with open(big, "wb") as f:
        for _ in range(size // MiB):
            f.write(os.urandom(MiB))
    if server.extra.get("owner"):
        os.chown(big, *server.extra["owner"])
    local = os.path.join(os.path.dirname(server.root), "local.bin")
    results = {}
    for direction in ("get", "put"):
        for _ in range(runs):
            for who in ("ftplib", "engine"):
                remote = "/big.bin" if direction == "get" else f"/up-{who}.bin"
                if direction == "put":
                    shutil.copyfile(big, local)
                out = subprocess.run([sys.executable, "-P", __file__, "--child", who, direction, remote, local],
                                     check=True, capture_output=True, text=True).stdout
                results.setdefault((direction, who), []).append(json.loads(out))
                os.unlink(local)
    gib = size / 2**30
    for (direction, who), runs_of in results.items():
        print(f"{direction:3} {who:6}  {statistics.median(size / r['seconds'] / 1e6 for r in runs_of):7.0f} MB/s  "
              f"CPU {statistics.median(r['cpu'] for r in runs_of) / gib:5.2f} s/GiB  "
              f"memory growth {max(r['growth'] for r in runs_of) / MiB:6.1f} MiB")


def planning(server, count=100_000, dirs=10):
    from corvane.ftp import _datapath, _plan
    from corvane.ftp.path import FTPPath
    from corvane.ftp.transfer import _Run

    tree = os.path.join(server.root, "many")
    for d in range(dirs):
        os.makedirs(os.path.join(tree, f"d{d}"))
        for i in range(count // dirs):
            open(os.path.join(tree, f"d{d}", f"file {i:06}.txt"), "wb").close()
    if server.extra.get("owner"):
        subprocess.run(["chown", "-R", "%d:%d" % server.extra["owner"], tree], check=True)
    t0 = time.process_time()
    local = _plan.walk_local(tree)
    print(f"plan: local walk of {len(local.files)} files: {time.process_time() - t0:.2f} s CPU")
    run = _Run(FTPPath("/many"), 4, None, None)
    t0 = time.process_time()
    remote = run._remote_tree("/many", missing_ok=False)
    print(f"plan: remote listing of {len(remote.files)} files ({server.name}): "
          f"{time.process_time() - t0:.2f} s CPU (all threads)")
    run._close()
    lines = [f"-rw-r--r--    1 ftp      ftp             0 Dec 09 01:12 file {i:06}.txt" for i in range(count)]
    t0 = time.process_time()
    _datapath.list_entries(lines)
    native = time.process_time() - t0
    t0 = time.process_time()
    [(f[0][0], int(f[4]), f[8]) for f in (line.split(maxsplit=8) for line in lines)]
    print(f"plan: splitting {count} LIST lines: native {native:.3f} s, str.split {time.process_time() - t0:.3f} s")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", default="pureftpd")
    parser.add_argument("--gib", type=float, default=1)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--child", nargs=4)
    args = parser.parse_args()
    if args.child:
        return one_transfer(*args.child)
    import servers

    base = "/dev/shm" if shutil.disk_usage("/dev/shm").free > 3 * args.gib * 2**30 else tempfile.gettempdir()
    workdir = tempfile.mkdtemp(prefix="bench-engine-", dir=base)
    server = servers.start(args.server, os.path.join(workdir, "server"))
    try:
        with open(os.path.join(workdir, "corvane.ini"), "w") as f:
            f.write(server.config_text())
        os.environ["CORVANE_CONFIG"] = os.path.join(workdir, "corvane.ini")
        transfers(server, int(args.gib * 2**30), args.runs)
        planning(server)
    finally:
        server.stop()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
