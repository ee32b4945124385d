"""The benchmark's tables, picture and results file, from the figures of one run."""

import os
import platform
import subprocess
from datetime import UTC, datetime
from importlib import metadata
from pathlib import Path

import numpy as np
from goals import BYTES_PER_POINT, ratio
from orders import ORDERS

HERE = Path(__file__).resolve().parent
NATIVE_VS = (
    ("native t=1", "numba 1 thread"),
    ("native t=0", "numba all threads"),
    ("numpy", "native t=1"),
    ("numpy", "native t=0"),
    ("native t=0", "native t=1"),
    ("check_field", "native t=0"),
)
SHORT = {
    "native t=1": "t=1",
    "native t=0": "t=0",
    "numba 1 thread": "numba 1",
    "numba all threads": "numba all",
    "check_field": "check",
}


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as meminfo:
        ram_kib = int(meminfo.readline().split()[1])
    try:
        commit = subprocess.run(
            ["git", "-C", str(HERE), "describe", "--always", "--dirty"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        commit = "unknown"
    try:
        thp = Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text().split("[")[1]
        thp = thp.split("]")[0]
    except (OSError, IndexError):
        thp = "unknown"
    return {
        "CPU": model,
        "cores": f"{os.cpu_count()} ({len(os.sched_getaffinity(0))} usable by this process)",
        "RAM": f"{ram_kib / 2**20:.1f} GiB",
        "OS": f"{platform.system()} {platform.release()}",
        "transparent huge pages": thp,
        "Python": platform.python_version(),
        "NumPy": np.__version__,
        "Numba": _version_of("numba"),
        "commit": commit,
        "date": datetime.now(UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "load average at start": " ".join(f"{load:.2f}" for load in os.getloadavg()),
    }


def _version_of(package):
    # The batch benchmark runs without the bench extra.
    try:
        return metadata.version(package)
    except metadata.PackageNotFoundError:
        return "not installed"


def fmt_ratio(value):
    return "-" if value is None else f"{value:.2f}"


def fmt_ms(seconds):
    if seconds is None:
        return "-"
    ms = seconds * 1e3
    return f"{ms:.2f}" if ms < 10 else f"{ms:.1f}" if ms < 100 else f"{ms:.0f}"


def fmt_mib(size):
    return "-" if size is None else f"{size / 2**20:.1f}"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def timing_table(times, info, contenders):
    header = ["size", "order", "points", "out rows", *contenders]
    header += [f"{SHORT.get(a, a)}/{SHORT.get(b, b)}" for a, b in NATIVE_VS]
    rows = []
    for size, medians in times.items():
        for order in ORDERS:
            what = info[size][order]
            rows.append(
                [size, order, f"{what['points']:,}", f"{what['out_rows']:,}"]
                + [fmt_ms(medians[order, name]) for name in contenders]
                + [fmt_ratio(ratio(medians[order, a], medians[order, b])) for a, b in NATIVE_VS]
            )
    return table(header, rows)


def order_table(times, contenders):
    """What each order costs over crop-row order (a), per contender."""
    others = [order for order in ORDERS if order != "a"]
    rows = [
        [size, name]
        + [fmt_ratio(ratio(medians[order, name], medians["a", name])) for order in others]
        for size, medians in times.items()
        for name in contenders
        if name not in ("numpy", "floor", "check_field")
    ]
    return table(["size", "contender", *[f"({order}) / (a)" for order in others]], rows)


def memory_table(memory, info, size, contenders):
    rows = []
    for order in sorted({order for order, _ in memory}):
        measured = [memory.get((order, name)) for name in contenders]
        out_bytes = next((m["out_bytes"] for m in measured if m), None)
        limit = None if out_bytes is None else out_bytes + BYTES_PER_POINT * info[order]["points"]
        rows.append(
            [order, fmt_mib(out_bytes), fmt_mib(limit)]
            + [fmt_mib(m and m["growth"]) for m in measured]
        )
    header = ["order", "output", f"output + {BYTES_PER_POINT} B/point", *contenders]
    return f"Peak memory growth of one call at {size} (MiB), each in a fresh process:\n\n" + table(
        header, rows
    )


def adversarial_table(adversarial, info):
    names = sorted({name for _, name in adversarial}, key=list(SHORT).index)
    rows = [
        [ids, f"{info['crop_rows']:,}", f"{info['points']:,}"]
        + [fmt_ms(adversarial.get((ids, name))) for name in names]
        for ids in ("plain", "colliding")
    ]
    rows.append(
        ["colliding / plain", "", ""]
        + [
            fmt_ratio(ratio(adversarial.get(("colliding", n)), adversarial.get(("plain", n))))
            for n in names
        ]
    )
    return table(["ids", "crop rows", "points", *names], rows)


def report(run, contenders, memory_contenders):
    """The tables of medians, ratios, memory growth and the adversarial case, as Markdown."""
    parts = [
        "Median wall time per call (ms) and ratios of medians:",
        timing_table(run["times"], run["info"], contenders),
        "Time of each order over crop-row order (a):",
        order_table(run["times"], contenders),
    ]
    if run["memory"]:
        size = run["memory_size"]
        parts.append(memory_table(run["memory"], run["info"][size], size, memory_contenders))
    if run["adversarial"]:
        parts += [
            "Id pairs that collide in an unkeyed id-pair hash against the same field's own ids "
            f"(ms, {run['adversarial_note']}):",
            adversarial_table(run["adversarial"], run["adversarial_info"]),
        ]
    return "\n\n".join(parts)


def draw(run, contenders, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = list(run["times"]) + (["memory"] if run["memory"] else [])
    columns = min(2, len(panels))
    grid_rows = -(-len(panels) // columns)
    fig, axes = plt.subplots(grid_rows, columns, figsize=(5.2 * columns, 3.4 * grid_rows + 0.6))
    axes = np.atleast_1d(axes).ravel()
    colours = ("#4c72b0", "#55a868", "#dd8452", "#8172b3", "#c44e52", "#8c8c8c", "#937860")
    width = 0.8 / len(contenders)
    for ax, panel in zip(axes, panels, strict=False):
        if panel == "memory":
            data = {key: m and m["growth"] * 2.0**-20 for key, m in run["memory"].items()}
            label, title = "peak memory growth (MiB)", f"memory at {run['memory_size']}"
        else:
            data = {key: value * 1e3 for key, value in run["times"][panel].items()}
            label, title = "median time (ms)", panel
        orders = sorted({order for order, _ in data})
        for i, name in enumerate(contenders):
            values = [data.get((order, name)) for order in orders]
            values = [np.nan if value is None else value for value in values]
            xs = np.arange(len(orders)) + (i - (len(contenders) - 1) / 2) * width
            ax.bar(xs, values, width, label=name, color=colours[i])
        ax.set_xticks(np.arange(len(orders)), [f"({order})" for order in orders])
        ax.set_title(title, fontsize=9)
        ax.set_ylabel(label)
        if panel != "memory":
            ax.set_yscale("log")  # the NumPy reference dwarfs the others
    for ax in axes[len(panels) :]:
        ax.set_visible(False)
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=len(contenders), fontsize=8)
    fig.tight_layout(rect=(0, 0.06, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write_markdown(path, machine_info, intro, body, verdicts):
    lines = [
        "# Benchmark results",
        "",
        *intro,
        "",
        "Orders of `points_in_rows`:",
        "",
        *[f"- ({order}) {what}" for order, what in ORDERS.items()],
        "",
        "## Machine",
        "",
        *[f"- {key}: {value}" for key, value in machine_info.items()],
        "",
        "## Results",
        "",
        body,
        "",
        "## Goals",
        "",
        *[f"- {word}: {goal}: {detail}" for word, goal, detail in verdicts],
        "",
    ]
    path.write_text("\n".join(lines))
