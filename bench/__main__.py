"""python -m bench: corvane against the protocol floor, fsspec, ftputil, lftp and rclone, on real servers.

    python -m bench              loopback: 5 rounds, pyftpdlib and vsftpd (where it can run)
    python -m bench --rtt 20     every connection behind an emulated 20 ms round trip: 3 rounds, pyftpdlib
    python -m bench --quick      every scenario once on small data, loopback and 20 ms (CI)

Writes <stem>.json, .md and .png to --out (bench/results by default).
"""

import argparse
import os
import platform
import shutil
import signal
import subprocess
import sys
import time

# From the project root, `-m` puts the source folder first on sys.path, and its
# corvane has no built extension: drop it, so that the installed package is
# imported (this package is loaded already).
_PROJECT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != _PROJECT]

from bench import report, servers  # noqa: E402
from bench.runner import run_server  # noqa: E402
from bench.scenarios import SIZES  # noqa: E402


def versions():
    from importlib.metadata import PackageNotFoundError, version

    found = {"python": platform.python_version()}
    for name in ("corvane-ftp", "fsspec", "ftputil", "pyftpdlib"):
        try:
            found[name] = version(name)
        except PackageNotFoundError:
            found[name] = None
    for program, flag in (("lftp", "--version"), ("rclone", "version")):
        found[program] = program_version(program, flag)
    return found


def program_version(program, flag):
    """The version a program prints first (lftp: "LFTP | Version 4.9.2 | ...", rclone: "rclone v1.60.1")."""
    if not shutil.which(program):
        return None
    try:
        line = subprocess.run([program, flag], capture_output=True, text=True, timeout=30).stdout.splitlines()[0]
    except (OSError, subprocess.SubprocessError, IndexError):
        return None
    words = [w for w in line.replace("|", " ").split() if w[:1].isdigit() or w[:2] == "v1"]
    return words[0].lstrip("v") if words else line.strip()


def scratch_base(sizes):
    """/dev/shm when it has room for the server's files, so that disks do not time the run."""
    wanted = 16 * sizes.data + 3 * sizes.big + 64 * 2**20
    if os.path.isdir("/dev/shm") and shutil.disk_usage("/dev/shm").free > wanted:
        return "/dev/shm"
    return None


def describe(rtt_ms, handshake, rate_mibps):
    parts = [f"{rtt_ms:g} ms round trip" + (", handshakes charged" if handshake else ", no handshakes")
             if rtt_ms else "loopback"]
    if rate_mibps:
        parts.append(f"{rate_mibps:g} MiB/s per connection")
    return ", ".join(parts)


def run(rtt_ms, sizes_name, rounds, server_names, out_dir, stem, only, link_options):
    sizes = SIZES[sizes_name]
    link = describe(rtt_ms, **link_options)
    print(f"== {link}: {', '.join(server_names)}; {rounds} round(s); {sizes}", flush=True)
    results = {"link": link, "rtt_ms": rtt_ms, "handshake": bool(rtt_ms and link_options["handshake"]),
               "conn_rate_mibps": link_options["rate_mibps"], "rounds": rounds, "sizes": sizes.__dict__,
               "versions": versions(), "servers": {}}
    started = time.monotonic()
    for name in server_names:
        server = servers.start(name, rtt_ms, scratch_base(sizes), **link_options)
        try:
            results["servers"][name] = run_server(server, sizes, rounds, rtt_ms, only)
        finally:
            server.stop()
    results["seconds"] = round(time.monotonic() - started, 1)
    for name, server_report in results["servers"].items():
        print("\n" + report.text_table(f"{name}, {link}", server_report))
        print("\n" + report.engine_tables(server_report, results["sizes"]))
    peers = report.versus_peers(results)
    if peers:
        print("\n" + peers)
    written = report.write(results, out_dir, stem)
    print(f"\n{link}: {results['seconds']:.0f} s; wrote {', '.join(written)}", flush=True)


def main():
    # SIGTERM (CI's timeout, for one) stops the run as Ctrl-C does: servers and proxies go too.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__.splitlines()[0])
    parser.add_argument("--rtt", type=float, default=0.0, metavar="MS",
                        help="emulated round trip in milliseconds (default: plain loopback)")
    parser.add_argument("--quick", action="store_true",
                        help="every scenario once on small data, on loopback and at --rtt (20 ms unless given)")
    parser.add_argument("--rounds", type=int,
                        help="rounds per scenario, at least 3 (default: 5 on loopback, 3 at --rtt)")
    parser.add_argument("--servers", help="comma-separated, from: " + ", ".join(servers.SERVERS) +
                        " (default: pyftpdlib, plus vsftpd on loopback where it can run)")
    parser.add_argument("--only", metavar="TEXT",
                        help="only the scenarios whose name holds TEXT (or one of several, comma-separated)")
    parser.add_argument("--no-handshake", dest="handshake", action="store_false",
                        help="at --rtt, do not charge each new connection one round trip before its first byte")
    parser.add_argument("--conn-rate", type=float, metavar="MIB_S",
                        help="limit each connection to MIB_S MiB/s in each direction (default: no limit)")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results"),
                        help="where the JSON, Markdown and PNG go (default: bench/results)")
    args = parser.parse_args()
    if args.conn_rate is not None and args.conn_rate <= 0:
        parser.error("--conn-rate: a positive number of MiB/s")
    link = {"handshake": args.handshake, "rate_mibps": args.conn_rate}
    only = args.only.split(",") if args.only else None
    if args.rounds is None:
        args.rounds = 3 if args.rtt else 5
    if not args.quick and args.rounds < 3:
        parser.error("--rounds: at least 3, so that a median means something")

    def pick(rtt_ms):
        if args.servers:
            return args.servers.split(",")
        # At 20 ms one server already takes most of the 10 minutes a run may take.
        missing = servers.vsftpd_missing()
        if missing or rtt_ms:
            if not rtt_ms:
                print(f"vsftpd left out: {missing}")
            return ["pyftpdlib"]
        return ["pyftpdlib", "vsftpd"]

    if args.quick:
        rtt_ms = args.rtt or 20.0
        run(0.0, "quick", 1, pick(0.0), args.out, "quick-loopback", only, link)
        run(rtt_ms, "quick", 1, pick(rtt_ms), args.out, f"quick-rtt{rtt_ms:g}", only, link)
    else:
        run(args.rtt, "rtt" if args.rtt else "loopback", args.rounds, pick(args.rtt), args.out,
            f"rtt{args.rtt:g}" if args.rtt else "loopback", only, link)


if __name__ == "__main__":
    main()
