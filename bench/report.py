"""The results of one run: the printed table, the Markdown table, the JSON and the chart."""

import json
import os

ORDER = ["corvane", "engine", "floor", "fsspec", "ftputil", "lftp", "rclone", "cftp"]
COLOURS = {"corvane": "#1f77b4", "engine": "#9467bd", "fsspec": "#ff7f0e", "ftputil": "#2ca02c",
           "lftp": "#d62728", "rclone": "#8c564b", "cftp": "#e377c2"}
PEERS = ["fsspec", "ftputil", "lftp", "rclone"]  # what a user would run instead of the engine
GiB = 2**30


def ms(seconds):
    value = seconds * 1e3
    return f"{value:,.0f} ms" if value >= 1000 else f"{value:.3g} ms"


def mib(value):
    return "—" if value is None else f"{value:.1f}"


def count(value):
    return f"{value:g}" if not isinstance(value, list) else "/".join(f"{v:g}" for v in value)


def label(scenario, row):
    """The scenario's name, and what its ratios are taken against where that is not the floor."""
    return scenario if row["reference"] == "floor" else f"{scenario} (÷ {row['reference']})"


def text_table(server_name, report):
    head = f"{'scenario':30} {'contender':9} {'wall':>10} {'spread':>7} {'x ref':>7} {'commands':>9} " \
           f"{'data conns':>10} {'CPU ms':>8} {'peak MiB':>8}"
    lines = [f"{server_name}", head, "-" * len(head)]
    for scenario, row in report["scenarios"].items():
        for name in ORDER:
            if name not in row:
                continue
            f = row[name]
            lines.append(f"{label(scenario, row):30} {name:9} {ms(f['median_s']):>10} {f['spread']:>7.0%} "
                         f"{f['vs_reference']:>7.2f} {count(f['commands']):>9} "
                         f"{count(f['data_connections']):>10} {f['cpu_s'] * 1e3:>8.2f} {mib(f['peak_growth_mib']):>8}")
    return "\n".join(lines)


def markdown_table(report):
    names = [n for n in ORDER if any(n in row for row in report["scenarios"].values())]
    lines = ["| scenario | " + " | ".join(names) + " |", "|---" * (len(names) + 1) + "|"]
    for scenario, row in report["scenarios"].items():
        cells = []
        for name in names:
            f = row.get(name)
            cells.append("—" if f is None else
                         f"{ms(f['median_s'])} ×{f['vs_reference']:.2f} · {count(f['commands'])}/"
                         f"{count(f['data_connections'])} · {f['cpu_s'] * 1e3:.3g}")
        lines.append(f"| {label(scenario, row)} | " + " | ".join(cells) + " |")
    notes = [f"- {name} sat out {scenario}: {why}" for scenario, row in report["scenarios"].items()
             for name, why in row.get("sat_out", {}).items()]
    return "\n".join(lines + ([""] + notes if notes else []))


def per(value, divisor):
    return value / divisor if not isinstance(value, list) else max(value) / divisor


def engine_tables(report, sizes):
    """The transfer engine's figures in the units of its targets."""
    rows = report["scenarios"]
    trees = [name for name in rows if name.startswith(("put tree", "get tree"))]
    bigs = [name for name in rows if name.endswith("big file")]
    plans = [name for name in rows if name.startswith("plan:")]
    lines = []

    def table(scenarios, heading, header, cells):
        """A table of `scenarios`, a row per contender: cells(name, figures) after the scenario."""
        if not scenarios:
            return
        lines.extend([*([""] if lines else []), heading, "", "| " + " | ".join(header) + " |",
                      "|" + "---|" * len(header)])
        for scenario in scenarios:
            for name in ORDER:
                if name in rows[scenario]:
                    lines.append(f"| {scenario} | " + " | ".join(cells(name, rows[scenario][name])) + " |")

    for scenario in trees:
        files = rows[scenario].get("files", sizes["engine_files"])
        table([scenario], f"{scenario}: {files} files:",
              ["scenario", "contender", "wall", "× engine", "client CPU", "commands per file",
               "data connections per file"],
              lambda name, f: ["FTPPath.upload" if name == "corvane" else name, ms(f["median_s"]),
                               f"{f['vs_reference']:.2f}", ms(f["cpu_s"]), f"{per(f['commands'], files):.2f}",
                               f"{per(f['data_connections'], files):.2f}"])
    table(bigs, f"One file of {sizes['big'] / 2**20:g} MiB:",
          ["scenario", "contender", "MB/s", "× ftplib's time", "client CPU s per GiB", "peak memory growth MiB"],
          lambda name, f: ["ftplib, 1 MiB blocks" if name == "floor" else name,
                           f"{sizes['big'] / f['median_s'] / 1e6:,.0f}", f"{f['vs_reference']:.2f}",
                           f"{f['cpu_s'] / (sizes['big'] / GiB):.2f}", mib(f["peak_growth_mib"])])
    segmented = [name for name in rows if name.startswith("segments: ")]
    if segmented:
        one = rows[segmented[0]]
        lines.extend([*([""] if lines else []), f"One file of {sizes['segmented'] / 2**20:g} MiB in N segments (the target: N segments "
                          f"at least 0.8 N times one stream's rate, up to the link's):", "",
                      "| segments | contender | wall | MiB/s | × one stream | 0.8 N |", "|---|---|---|---|---|---|"])
        for scenario in segmented:
            n = int(scenario.split()[-1])
            for name in ORDER:
                if name in rows[scenario]:
                    f = rows[scenario][name]
                    faster = one[name]["median_s"] / f["median_s"] if name in one else None
                    lines.append(f"| {n} | {name} | {ms(f['median_s'])} | {sizes['segmented'] / f['median_s'] / 2**20:.1f} "
                                 f"| {'—' if faster is None else f'{faster:.2f}'} | {0.8 * n:.1f} |")
    table(plans, f"Planning {sizes['plan_files']:,} empty files in 10 directories:",
          ["scenario", "contender", "wall", "client CPU"],
          lambda name, f: [name, ms(f["median_s"]), ms(f["cpu_s"])])
    return "\n".join(lines)


def best_peer(row, key):
    """(name, figures) of the peer lowest in `key` in a scenario's row, or None."""
    peers = [(row[name][key], name) for name in PEERS if name in row]
    return (min(peers)[1], row[min(peers)[1]]) if peers else None


def versus_peers(results):
    """Per job the engine and each peer, the servers' figures side by side ("a / b"), and
    engine ÷ best peer: in wall time, and on loopback in client CPU too."""
    servers = results["servers"]
    jobs = [scenario for report in servers.values() for scenario, row in report["scenarios"].items()
            if "engine" in row and best_peer(row, "median_s")]
    jobs = list(dict.fromkeys(jobs))
    if not jobs:
        return ""
    names = ["engine"] + [n for n in PEERS if any(n in r["scenarios"].get(j, {}) for r in servers.values()
                                                  for j in jobs)]
    measures = [("median_s", "wall")] + ([("cpu_s", "client CPU")] if not results["rtt_ms"] else [])
    lines = [f"Engine against the best peer, {results['link']}, {' / '.join(servers)} "
             f"(median of {results['rounds']} round(s)):", "",
             "| job | " + " | ".join(names) + " | engine ÷ best peer |", "|---" * (len(names) + 2) + "|"]
    for job in jobs:
        for key, what in measures:
            cells = []
            for name in names:
                figures = [r["scenarios"].get(job, {}).get(name) for r in servers.values()]
                cells.append(" / ".join("—" if f is None else ms(f[key]) for f in figures))
            ratios = []
            for report in servers.values():
                row = report["scenarios"].get(job, {})
                best = best_peer(row, key) if "engine" in row else None
                ratios.append("—" if best is None or not best[1][key] else
                              f"{row['engine'][key] / best[1][key]:.2f} ({best[0]})")
            files = next((r["scenarios"][job].get("files") for r in servers.values() if job in r["scenarios"]), None)
            title = f"{job}" + (f" ({files} files)" if files else "") + (f", {what}" if len(measures) > 1 else "")
            lines.append(f"| {title} | " + " | ".join(cells) + " | " + " / ".join(ratios) + " |")
    return "\n".join(lines)


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    servers = results["servers"]
    tallest = max(len(report["scenarios"]) for report in servers.values())
    fig, axes = plt.subplots(1, len(servers), figsize=(8 * len(servers), 1.5 + 0.45 * tallest), squeeze=False)
    for ax, (server_name, report) in zip(axes[0], servers.items()):
        scenarios = list(report["scenarios"])
        peers = [n for n in ORDER if n != "floor"]
        height = 0.8 / len(peers)
        for i, name in enumerate(peers):
            ys, xs = [], []
            for j, scenario in enumerate(scenarios):
                row = report["scenarios"][scenario]
                if name in row:
                    ys.append(j + (i - (len(peers) - 1) / 2) * height)
                    xs.append(row[name]["vs_reference"])
            ax.barh(ys, xs, height=height, color=COLOURS[name], label=name)
        ax.axvline(1.0, color="black", linewidth=1)
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x:g}×"))
        ax.xaxis.set_minor_formatter(FuncFormatter(lambda x, _: f"{x:g}×" if f"{x:.0e}"[0] in "25" else ""))
        ax.set_yticks(range(len(scenarios)), [label(s, report["scenarios"][s]) for s in scenarios])
        ax.invert_yaxis()
        ax.set_xlabel("wall time ÷ floor, or ÷ engine where named (median of rounds' ratios; log scale)")
        ax.set_title(f"{server_name}, {results['link']}")
        ax.legend(loc="upper right")
        ax.grid(axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def write(results, out_dir, stem):
    os.makedirs(out_dir, exist_ok=True)
    base = os.path.join(out_dir, stem)
    with open(base + ".json", "w") as f:
        json.dump(results, f, indent=1)
    with open(base + ".md", "w") as f:
        f.write(f"{results['link']}, {results['rounds']} round(s). Cells: median wall time per operation, "
                f"×(median of the rounds' wall-time ratios to the floor) · FTP commands/data connections · "
                f"client CPU ms. Where a row names the engine, its ratios are to the engine's time.\n")
        for server_name, report in results["servers"].items():
            f.write(f"\n{server_name}\n\n{markdown_table(report)}\n")
            engine = engine_tables(report, results["sizes"])
            if engine:
                f.write(f"\n{server_name}, the transfer engine\n\n{engine}\n")
        peers = versus_peers(results)
        if peers:
            f.write(f"\n{peers}\n")
    chart(results, base + ".png")
    return [base + ext for ext in (".json", ".md", ".png")]
