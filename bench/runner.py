"""Runs the scenarios on one server: rounds, alternation, measurement."""

import ftplib
import resource
import socket
import statistics
import sys
import time

from bench.contenders import CONTENDERS, port_ftp
from bench.scenarios import SCENARIOS, Data


def cpu_seconds():
    """This process's CPU time and that of its children reaped so far: a program a contender
    runs (lftp, rclone) counts once it has ended. The servers and the proxy end only
    with the run, so they are never in a sample's difference."""
    return sum(u.ru_utime + u.ru_stime for u in (resource.getrusage(resource.RUSAGE_SELF),
                                                   resource.getrusage(resource.RUSAGE_CHILDREN)))


def rss(field):
    """VmRSS or VmHWM of this process, in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise LookupError(field)


def reset_peak():
    # "5" to clear_refs resets VmHWM to the current RSS (Linux 4.0 on): the
    # peak of each sample, in this process, without a child process per sample.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def noop_ms(ftp, count):
    times = []
    for _ in range(count):
        start = time.perf_counter()
        ftp.voidcmd("NOOP")
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def greeting_ms(host, port):
    """From connect to the server's 220 through the proxy: half a round trip, and one more
    where handshakes are charged."""
    start = time.perf_counter()
    with socket.create_connection((host, port), timeout=30) as s:
        if not s.makefile("rb").readline(300).startswith(b"220"):
            raise RuntimeError(f"no 220 greeting through the proxy on {host}:{port}")
        return (time.perf_counter() - start) * 1e3


def self_check(server, rtt_ms):
    """The round trip the proxy adds, from NOOPs through it and straight to the server."""
    count = 10 if rtt_ms else 50
    sessions = [port_ftp(port)(host, server.user, server.password, timeout=30)
                for host, port in ((server.host, server.port), (server.proxy.host, server.proxy.port))]
    try:
        direct, through = (noop_ms(ftp, count) for ftp in sessions)
    finally:
        for ftp in sessions:
            ftp.close()
    added = through - direct
    greeting = greeting_ms(server.proxy.host, server.proxy.port)
    report = {"noop_direct_ms": round(direct, 3), "noop_through_proxy_ms": round(through, 3),
              "added_ms": round(added, 3), "asked_ms": rtt_ms, "greeting_ms": round(greeting, 3)}
    line = (f"link self-check on {server.name}: NOOP {through:.2f} ms through the proxy, {direct:.2f} ms "
            f"direct: the proxy adds {added:.2f} ms; a new connection's greeting {greeting:.2f} ms")
    if server.proxy.handshake:
        line += f" (a handshake and a half: {1.5 * rtt_ms:g} ms asked)"
    if rtt_ms:
        deviation = added / rtt_ms - 1
        report["deviation"] = round(deviation, 3)
        line += f" (asked {rtt_ms:g} ms, {deviation:+.1%})"
        if abs(deviation) > 0.10:
            line += "  WARNING: more than 10% off; the machine is too busy for the figures to hold"
    print(line, flush=True)
    return report


def summary(samples):
    walls = [s["wall"] for s in samples]
    median = statistics.median(walls)
    counts = {}
    for key in ("commands", "data_connections"):
        values = sorted({s[key] for s in samples})
        # Exact counts repeat from round to round; if they ever differ, all are kept.
        counts[key] = values[0] if len(values) == 1 else values
    return {"wall_s": [round(w, 6) for w in walls], "median_s": round(median, 6),
            "spread": round((max(walls) - min(walls)) / median, 3) if median else 0.0,
            "cpu_s": round(statistics.median(s["cpu"] for s in samples), 6),
            "peak_growth_mib": None if any(s["peak_growth"] is None for s in samples) else
            round(max(s["peak_growth"] for s in samples) / 2**20, 1), **counts}


def same_commands(lines, tag_of):
    """The first sample's command lines of corvane and of the floor, each tag put back to one word."""
    normal = {name: [line.replace(tag_of[name], "TAG") for line in seen] for name, seen in lines.items()}
    mine, floor = normal.get("corvane"), normal.get("floor")
    if mine is None or floor is None or mine == floor:
        return True, None
    for i, (a, b) in enumerate(zip(mine, floor)):
        if a != b:
            return False, f"command {i + 1}: corvane sent {a!r}, the floor {b!r}"
    return False, f"corvane sent {len(mine)} commands, the floor {len(floor)}"


def run_scenario(scenario, contenders, data, rounds, proxy):
    able = [c for c in contenders if hasattr(c, scenario.job) and
            (scenario.contenders is None or c.name in scenario.contenders)]
    sat_out = {}  # contender -> the failure of a job it declares fallible; it does no more rounds
    samples = {c.name: [] for c in able}
    lines, tags = {}, {}
    times = data.sizes.repeat if scenario.repeated else 1
    for round_number in range(rounds):
        shift = round_number % len(able)
        for contender in able[shift:] + able[:shift]:  # each goes first in turn
            if contender.name in sat_out:
                continue
            tag = f"{contender.name}-{round_number}"
            args = scenario.prepare(data, tag)
            job = getattr(contender, scenario.job)
            proxy.take()
            reset_peak()
            baseline = rss("VmRSS")
            start_cpu, start = cpu_seconds(), time.perf_counter()
            try:
                for _ in range(times):
                    contender.forget()
                    result = job(*args)
            except Exception as exc:
                if scenario.job not in getattr(contender, "fallible", ()):
                    raise
                sat_out[contender.name] = f"{type(exc).__name__}: {exc}"
                print(f"  {contender.name} sits out {scenario.name}: {sat_out[contender.name]}", flush=True)
                proxy.take()
                continue
            wall, cpu = time.perf_counter() - start, cpu_seconds() - start_cpu
            # A program's memory is not this process's. Its own peak cannot be had either: the
            # kernel hands the spawning process's high-water mark on to a child's ru_maxrss at exec.
            peak_growth = None if getattr(contender, "program", False) else rss("VmHWM") - baseline
            seen = proxy.take()
            wrong = scenario.check(data, tag, result)
            if wrong:
                raise RuntimeError(f"{scenario.name}: {contender.name} on {data.server.name}: {wrong}")
            samples[contender.name].append({
                "wall": wall / times, "cpu": cpu / times, "commands": len(seen["commands"]) / times,
                "data_connections": seen["data_connections"] / times, "peak_growth": peak_growth})
            if round_number == 0:
                lines[contender.name], tags[contender.name] = seen["commands"], tag
    result = {name: summary(got) for name, got in samples.items() if name not in sat_out}
    result["reference"] = scenario.reference
    if sat_out:
        result["sat_out"] = sat_out
    if scenario.files:
        result["files"] = scenario.files(data.sizes)
    # Each round's ratio, of two runs minutes apart at most, then their median:
    # the machine's slow spells hit both sides of a ratio alike.
    for name in result.keys() & samples.keys():
        got = samples[name]
        ratios = [mine["wall"] / ref["wall"] for mine, ref in zip(got, samples[scenario.reference])]
        result[name]["vs_reference"] = round(statistics.median(ratios), 3)
    same, difference = same_commands(lines, tags)
    result["floor_sends_the_same"] = same
    if not same:
        print(f"  WARNING: {scenario.name}: the floor does not send what corvane sends: {difference}",
              file=sys.stderr)
    return result


def run_server(server, sizes, rounds, rtt_ms, only=None):
    report = {"self_check": self_check(server, rtt_ms), "scenarios": {}}
    data = Data(server, sizes)
    contenders = []
    try:
        for kind in CONTENDERS:
            missing = kind.missing() if hasattr(kind, "missing") else None
            if missing:
                print(f"  {kind.name} left out: {missing}", flush=True)
                continue
            contenders.append(kind(server))
        for contender in contenders:  # logins, and ftputil's session for transfers, before any timing
            if hasattr(contender, "read"):
                contender.exists("/q/file.bin")
                contender.read("/q/file.bin")
        for scenario in SCENARIOS:
            if (scenario.loopback_only and rtt_ms) or (only and not any(t in scenario.name for t in only)):
                continue
            print(f"  {server.name}: {scenario.name}", flush=True)
            report["scenarios"][scenario.name] = run_scenario(scenario, contenders, data, rounds, server.proxy)
    finally:
        for contender in contenders:
            try:
                contender.close()
            except (OSError, EOFError, ftplib.Error):
                pass  # the server may be gone already; the session goes with this process
        data.remove()
    return report
