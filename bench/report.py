"""The results of one run: the printed table, the Markdown table, the JSON and the chart."""

import json
import os

ORDER = ["corvane", "floor", "fsspec", "ftputil"]
COLOURS = {"corvane": "#1f77b4", "fsspec": "#ff7f0e", "ftputil": "#2ca02c"}


def ms(seconds):
    value = seconds * 1e3
    return f"{value:,.0f} ms" if value >= 1000 else f"{value:.3g} ms"


def count(value):
    return f"{value:g}" if not isinstance(value, list) else "/".join(f"{v:g}" for v in value)


def text_table(server_name, report):
    head = f"{'scenario':19} {'contender':9} {'wall':>10} {'spread':>7} {'x floor':>8} {'commands':>9} " \
           f"{'data conns':>10} {'CPU ms':>8}"
    lines = [f"{server_name}", head, "-" * len(head)]
    for scenario, row in report["scenarios"].items():
        for name in ORDER:
            if name not in row:
                continue
            f = row[name]
            ratio = f.get("vs_floor")
            lines.append(f"{scenario:19} {name:9} {ms(f['median_s']):>10} {f['spread']:>7.0%} "
                         f"{(f'{ratio:.2f}' if ratio else '-'):>8} {count(f['commands']):>9} "
                         f"{count(f['data_connections']):>10} {f['cpu_s'] * 1e3:>8.2f}")
    return "\n".join(lines)


def markdown_table(report):
    names = [n for n in ORDER if any(n in row for row in report["scenarios"].values())]
    lines = ["| scenario | " + " | ".join(names) + " |", "|---" * (len(names) + 1) + "|"]
    for scenario, row in report["scenarios"].items():
        cells = []
        for name in names:
            f = row.get(name)
            cells.append("—" if f is None else
                         f"{ms(f['median_s'])} ×{f['vs_floor']:.2f} · {count(f['commands'])}/"
                         f"{count(f['data_connections'])} · {f['cpu_s'] * 1e3:.3g}")
        lines.append(f"| {scenario} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    servers = results["servers"]
    fig, axes = plt.subplots(1, len(servers), figsize=(7 * len(servers), 6), squeeze=False)
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
                    xs.append(row[name]["vs_floor"])
            ax.barh(ys, xs, height=height, color=COLOURS[name], label=name)
        ax.axvline(1.0, color="black", linewidth=1)
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x:g}×"))
        ax.xaxis.set_minor_formatter(FuncFormatter(lambda x, _: f"{x:g}×" if f"{x:.0e}"[0] in "25" else ""))
        ax.set_yticks(range(len(scenarios)), scenarios)
        ax.invert_yaxis()
        ax.set_xlabel("wall time ÷ protocol floor (median of the rounds' ratios; log scale)")
        ax.set_title(f"{server_name}, {results['link']}")
        ax.legend(loc="lower right")
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
                f"client CPU ms.\n")
        for server_name, report in results["servers"].items():
            f.write(f"\n{server_name}\n\n{markdown_table(report)}\n")
    chart(results, base + ".png")
    return [base + ext for ext in (".json", ".md", ".png")]
