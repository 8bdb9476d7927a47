"""Throughput and peak memory of FTPPath.read and FTPPath.write over loopback.

Throughput is compared with the raw ftplib floor: the same retrbinary and
storbinary calls without the module, the floor's read collecting its blocks in
a list and joining them. Runs alternate between the two, and the figure is the
median of the per-run ratios (module throughput / floor throughput). The floor
is also run against itself on a second connection, which shows the noise of
the machine in the same units.

Peak memory is measured for read of a large file, each measurement in a fresh
process: baseline = VmRSS just before read(), peak = ru_maxrss afterwards; the
figure is (peak - baseline) / file size. It runs first, while this process is
small: Linux carries the high-water mark of the spawning process into the
child's ru_maxrss at exec. VmHWM, the child's own mark, is reported beside it.

usage: python bench/bench_transfers.py [--host 127.0.0.26] [--root DIR]
       [--size-mib 256] [--runs 5] [--memory-gib 1] [--memory-repeats 3]
"""

import argparse
import ftplib
import io
import json
import os
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
USER, PASSWORD = "bench", "Pw-bench-1"
MiB = 2**20


# ---- the server ------------------------------------------------------------

def start_server(host, root):
    script = os.path.join(HERE, "..", "scripts", "pyftpd.py")
    server = subprocess.Popen([sys.executable, script, host, root, USER, PASSWORD],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        if server.poll() is not None:
            raise SystemExit(f"pyftpdlib on {host} exited with {server.returncode}")
        try:
            with socket.create_connection((host, 21), timeout=1) as s:
                if s.recv(3) == b"220":
                    return server
        except OSError:
            time.sleep(0.05)
    server.terminate()
    raise SystemExit(f"pyftpdlib on {host} did not start")


def raw_client(host):
    return ftplib.FTP(host, USER, PASSWORD, timeout=120)


def use_config(host, workdir):
    path = os.path.join(workdir, "corvane.ini")
    with open(path, "w") as f:
        f.write(f"[ftp]\nhost = {host}\nuser = {USER}\npasswd = {PASSWORD}\ntimeout = 120\n")
    os.environ["CORVANE_CONFIG"] = path


def pick_root(wanted_bytes):
    """/dev/shm when it has room for the files, else the temporary directory."""
    for base in ("/dev/shm", tempfile.gettempdir()):
        if os.path.isdir(base) and shutil.disk_usage(base).free > 2 * wanted_bytes:
            return base
    raise SystemExit(f"no room for {wanted_bytes / MiB:.0f} MiB of server files")


# ---- throughput --------------------------------------------------------------

def floor_read(ftp, path):
    blocks = []
    ftp.retrbinary("RETR " + path, blocks.append)
    return b"".join(blocks)


def floor_write(ftp, path, data):
    ftp.storbinary("STOR " + path, io.BytesIO(data))


def timed(action):
    """(wall seconds, this process's CPU seconds, result) of one action."""
    start, start_cpu = time.perf_counter(), time.process_time()
    result = action()
    return time.perf_counter() - start, time.process_time() - start_cpu, result


def alternate(first, second, runs, expected):
    """Wall and CPU seconds of each action per run, the two taking turns to go first."""
    wall, cpu = ([], []), ([], [])
    for run in range(runs):
        for i in ((0, 1) if run % 2 == 0 else (1, 0)):
            seconds, cpu_seconds, result = timed((first, second)[i])
            assert expected is None or result == expected
            del result  # each timing starts with the same memory at hand
            wall[i].append(seconds)
            cpu[i].append(cpu_seconds)
    return wall, cpu


def ratios(floor_times, other_times):
    """Throughput of the other relative to the floor's, run by run."""
    return [f / o for f, o in zip(floor_times, other_times)]


def throughput(host, size, runs):
    from corvane.ftp.path import FTPPath

    data = os.urandom(size)
    ftp, twin = raw_client(host), raw_client(host)
    ftp.mkd("/tp")
    floor_write(ftp, "/tp/r.bin", data)
    target, source = FTPPath("/tp/w.bin"), FTPPath("/tp/r.bin")
    cases = {
        "read": (lambda: floor_read(ftp, "/tp/r.bin"), source.read,
                 lambda: floor_read(twin, "/tp/r.bin"), data),
        "write": (lambda: floor_write(ftp, "/tp/w.bin", data), lambda: target.write(data),
                  lambda: floor_write(twin, "/tp/w.bin", data), None),
    }
    report = {}
    for name, (floor, module, floor_again, expected) in cases.items():
        for action in (floor, module, floor_again) * 2:
            action()  # warm up the connections and the server's page cache
        (floor_times, module_times), (floor_cpu, module_cpu) = alternate(floor, module, runs, expected)
        # The floor against itself: how far apart two runs of identical code
        # land on this machine, the yardstick for the ratio above.
        same = ratios(*alternate(floor, floor_again, runs, expected)[0])
        report[name] = {
            "floor_MBps": round(size / statistics.median(floor_times) / 1e6),
            "module_MBps": round(size / statistics.median(module_times) / 1e6),
            "ratios": [round(r, 3) for r in ratios(floor_times, module_times)],
            "median_ratio": round(statistics.median(ratios(floor_times, module_times)), 3),
            "floor_vs_floor_ratios": [round(r, 3) for r in same],
            "floor_vs_floor_median": round(statistics.median(same), 3),
            # The client's own CPU time, which the module controls and the
            # server and scheduler do not: floor CPU seconds / module CPU seconds.
            "client_cpu_ratio_median": round(statistics.median(ratios(floor_cpu, module_cpu)), 3),
        }
    ftp.quit()
    twin.quit()
    return report


# ---- peak memory -------------------------------------------------------------

def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def measure_read(who, host, path):
    """Runs in a fresh process: one read of `path`, with its memory figures."""
    if who == "module":
        from corvane.ftp.path import FTPPath

        remote = FTPPath(path)
        assert remote.exists  # logs in before the baseline
        read = remote.read
    else:
        ftp = raw_client(host)
        read = lambda: floor_read(ftp, path)  # noqa: E731
    baseline = status_bytes("VmRSS")
    size = len(read())
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"baseline": baseline, "peak": peak, "hwm": status_bytes("VmHWM"), "size": size}))


def peak_memory(host, root, size, repeats):
    os.makedirs(os.path.join(root, "mem"))
    chunk = os.urandom(64 * MiB)
    with open(os.path.join(root, "mem", "big.bin"), "wb") as f:
        for _ in range(size // len(chunk)):
            f.write(chunk)
        f.write(chunk[:size % len(chunk)])
    del chunk
    report = {}
    for who, times in (("module", repeats), ("floor", 1)):
        by_maxrss, by_hwm = [], []
        for _ in range(times):
            out = subprocess.run([sys.executable, __file__, "--measure-read", who, "--host", host,
                                  "/mem/big.bin"], check=True, capture_output=True, text=True).stdout
            figures = json.loads(out)
            assert figures["size"] == size
            by_maxrss.append(round((figures["peak"] - figures["baseline"]) / size, 3))
            by_hwm.append(round((figures["hwm"] - figures["baseline"]) / size, 3))
        report[who] = {"peak_over_baseline_per_byte": by_maxrss, "by_VmHWM": by_hwm}
    return report


# ---- main ----------------------------------------------------------------------

def pin_apart(server_pid):
    """Client and server on a core each, so that neither waits for the
    other's time slice in the middle of a transfer."""
    cores = sorted(os.sched_getaffinity(0))
    if len(cores) >= 2:
        os.sched_setaffinity(server_pid, {cores[0]})
        os.sched_setaffinity(0, {cores[1]})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default=os.environ.get("CORVANE_BENCH_HOST", "127.0.0.26"))
    parser.add_argument("--root", help="where the server's root directory is made")
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--memory-gib", type=float, default=1.0)
    parser.add_argument("--memory-repeats", type=int, default=3)
    parser.add_argument("--measure-read", choices=["module", "floor"], help=argparse.SUPPRESS)
    parser.add_argument("path", nargs="?", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure_read:
        return measure_read(args.measure_read, args.host, args.path)

    size, memory_size = args.size_mib * MiB, int(args.memory_gib * 2**30)
    workdir = tempfile.mkdtemp(prefix="corvane-bench-", dir=args.root or pick_root(memory_size + 2 * size))
    try:
        root = os.path.join(workdir, "root")
        os.makedirs(root)
        use_config(args.host, workdir)
        server = start_server(args.host, root)
        try:
            pin_apart(server.pid)
            report = {"peak_memory": peak_memory(args.host, root, memory_size, args.memory_repeats),
                      "throughput": throughput(args.host, size, args.runs)}
        finally:
            server.terminate()
            server.wait(10)
    finally:
        shutil.rmtree(workdir)
    print(json.dumps(report, indent=2))


if __name__ == "__main__":
    main()
