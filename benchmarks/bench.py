"""Time the extension side by side with a NumPy implementation and the copy floor.

For every size and point layout the four contenders run interleaved in one process, round
after round, and the median of each is reported:

- ``native t=1`` / ``native t=0``: ``_native.merge_points_removing_overlap`` with one worker
  and with as many workers as the process may use;
- ``numpy``: the vectorised NumPy implementation in ``numpy_reference.py``, whose output is
  checked against the extension's in every run;
- ``floor``: copying the three inputs and writing an output-sized array, the memory traffic
  that no implementation avoids.

Peak memory growth of each call is measured in a fresh subprocess. The tables go to stdout
and, with the machine's description, to ``results.md``; ``results.png`` draws them.
"""

import argparse
import ctypes
import json
import os
import platform
import subprocess
import sys
import time
from datetime import UTC, datetime
from pathlib import Path

import _native
import numpy as np
from cropmerge.synthetic import SIZES, make_sized_field
from numpy_reference import merge_points_numpy

HERE = Path(__file__).resolve().parent
SEED = 0
LAYOUTS = ("grouped", "shuffled")
CONTENDERS = ("native t=1", "native t=0", "numpy", "floor")
DEFAULT_ROUNDS = 9
QUICK_ROUNDS = 3


def tolerance_of(field):
    """Half the plant spacing: what the demo uses, and about one duplicate left per junction."""
    return field.default_tolerance


def copy_floor(connected, points, info, out_rows):
    """The traffic every implementation has: copy the inputs, write an output-sized table."""
    copies = [np.copy(table) for table in (connected, points, info)]
    out = np.empty((out_rows, points.shape[1]))
    np.copyto(out, copies[1][:out_rows])
    return out


def make_call(name, field, out_rows):
    tables = (field.connected_crop_rows, field.points_in_rows, field.row_information)
    tolerance = tolerance_of(field)
    if name == "native t=1":
        return lambda: _native.merge_points_removing_overlap(*tables, tolerance, 1)
    if name == "native t=0":
        return lambda: _native.merge_points_removing_overlap(*tables, tolerance, 0)
    if name == "numpy":
        return lambda: merge_points_numpy(*tables, tolerance)
    if name == "floor":
        return lambda: copy_floor(*tables, out_rows)
    raise ValueError(f"unknown contender {name!r}")


def field_of(size, layout):
    return make_sized_field(size, seed=SEED, shuffle=layout == "shuffled")


def check_outputs(field):
    """Run every implementation once (a warm-up too) and insist that they agree; out rows."""
    reference = make_call("native t=1", field, 0)()
    for name in ("native t=0", "numpy"):
        out = make_call(name, field, 0)()
        if not (out.shape == reference.shape and np.array_equal(out, reference, equal_nan=True)):
            raise SystemExit(f"{name} disagrees with native t=1: {out.shape} vs {reference.shape}")
    return len(reference)


def time_size(size, rounds):
    """Median seconds per (layout, contender), interleaved: A B C D, A B C D, ..."""
    fields = {layout: field_of(size, layout) for layout in LAYOUTS}
    info = {}
    calls = []
    for layout, field in fields.items():
        out_rows = check_outputs(field)
        info[layout] = {
            "points": len(field.points_in_rows),
            "out_rows": out_rows,
            "crop_rows": len(field.connected_crop_rows),
            "tolerance": tolerance_of(field),
        }
        for name in CONTENDERS:
            call = make_call(name, field, out_rows)
            call()  # warm-up: the first touch of fresh memory is not what we measure
            calls.append(((layout, name), call))
    samples = {key: [] for key, _ in calls}
    for r in range(rounds):
        # Rotate the starting contender so that none always runs after the same one.
        shift = r % len(calls)
        for key, call in calls[shift:] + calls[:shift]:
            start = time.perf_counter()
            out = call()
            samples[key].append(time.perf_counter() - start)
            del out
    medians = {key: float(np.median(values)) for key, values in samples.items()}
    return medians, info


# ---- peak memory, one fresh process per measurement ---------------------------------------


def _status_kib(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {key} in /proc/self/status")


def memory_child(size, layout, name, out_rows):
    """Print the growth of peak resident memory (bytes) over one call, after the inputs exist."""
    field = field_of(size, layout)
    call = make_call(name, field, out_rows)
    # Hand freed heap pages back to the system, then restart the peak from the current
    # resident size, so that only what the call itself touches counts.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    before = _status_kib("VmRSS")
    out = call()
    peak = _status_kib("VmHWM")
    print(json.dumps({"growth": (peak - before) * 1024, "out_bytes": out.nbytes}))


def measure_memory(size, layout, name, out_rows):
    """Bytes of peak memory growth, from a fresh process; None if it could not be measured."""
    command = [sys.executable, __file__, "--memory-child", size, layout, name, str(out_rows)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        print(f"memory of {name} at {size} {layout} not measured:\n{done.stderr}", flush=True)
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])["growth"]


# ---- reporting ----------------------------------------------------------------------------


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
        "commit": commit,
        "date": datetime.now(UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "load average at start": " ".join(f"{load:.2f}" for load in os.getloadavg()),
    }


def ratio(a, b):
    return a / b if a is not None and b else None


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


def report(times, memory, info, sizes):
    """The tables of medians, memory growth and ratios, as Markdown."""
    timing_rows, memory_rows = [], []
    for size in sizes:
        for layout in LAYOUTS:
            n1, n0, npy, floor = (times[size][layout, name] for name in CONTENDERS)
            timing_rows.append(
                [
                    size,
                    layout,
                    f"{info[size][layout]['points']:,}",
                    f"{info[size][layout]['out_rows']:,}",
                ]
                + [fmt_ms(value) for value in (n1, n0, npy, floor)]
                + [
                    fmt_ratio(ratio(*pair))
                    for pair in ((n1, npy), (n0, npy), (n1, floor), (n0, floor), (n0, n1))
                ]
            )
            if size in memory:
                g1, g0, gnp, gfloor = (memory[size][layout, name] for name in CONTENDERS)
                memory_rows.append(
                    [size, layout]
                    + [fmt_mib(value) for value in (g1, g0, gnp, gfloor)]
                    + [fmt_ratio(ratio(value, gfloor)) for value in (g1, g0, gnp)]
                )
    parts = [
        "Median wall time per call (ms) and ratios of medians:",
        table(
            [
                "size",
                "layout",
                "points",
                "out rows",
                "native t=1",
                "native t=0",
                "numpy",
                "floor",
                "t=1/numpy",
                "t=0/numpy",
                "t=1/floor",
                "t=0/floor",
                "t=0/t=1",
            ],
            timing_rows,
        ),
    ]
    if memory_rows:
        parts += [
            "Peak memory growth of one call (MiB), each in a fresh process:",
            table(
                [
                    "size",
                    "layout",
                    "native t=1",
                    "native t=0",
                    "numpy",
                    "floor",
                    "t=1/floor",
                    "t=0/floor",
                    "numpy/floor",
                ],
                memory_rows,
            ),
        ]
    if "medium" in sizes and "large" in sizes:
        scaling = [
            [layout]
            + [
                fmt_ratio(ratio(times["large"][layout, name], times["medium"][layout, name]))
                for name in CONTENDERS
            ]
            for layout in LAYOUTS
        ]
        parts += [
            "Time at large / time at medium (5 times the data):",
            table(["layout", *CONTENDERS], scaling),
        ]
    return "\n\n".join(parts)


def goals(times, memory, sizes):
    """(verdict, goal, detail) for each of the module's goals; SKIP where not measured."""
    verdicts = []

    def time_of(size, layout, name):
        return times.get(size, {}).get((layout, name))

    def judge(goal, value, limit, at_most=True):
        if value is None:
            verdicts.append(("SKIP", goal, "not measured in this run"))
            return
        ok = value <= limit if at_most else value >= limit
        verdicts.append(("PASS" if ok else "FAIL", goal, f"measured {value:.2f}"))

    for size in ("medium", "large"):
        for layout in LAYOUTS:
            judge(
                f"native t=0 / floor at {size} {layout} <= 1.5",
                ratio(time_of(size, layout, "native t=0"), time_of(size, layout, "floor")),
                1.5,
            )
    for size in sizes:
        for layout in LAYOUTS:
            for name in ("native t=0", "native t=1"):
                judge(
                    f"numpy / {name} at {size} {layout} >= 3",
                    ratio(time_of(size, layout, "numpy"), time_of(size, layout, name)),
                    3.0,
                    at_most=False,
                )
    for layout in LAYOUTS:
        judge(
            f"native t=1 / floor at large {layout} <= 2",
            ratio(time_of("large", layout, "native t=1"), time_of("large", layout, "floor")),
            2.0,
        )
    for layout in LAYOUTS:
        for name in ("native t=0", "native t=1"):
            judge(
                f"{name} large / medium time, {layout} <= 6",
                ratio(time_of("large", layout, name), time_of("medium", layout, name)),
                6.0,
            )
    large = memory.get("large", {})
    for layout in LAYOUTS:
        for name in ("native t=0", "native t=1"):
            judge(
                f"{name} / floor peak memory growth at large {layout} <= 1.2",
                ratio(large.get((layout, name)), large.get((layout, "floor"))),
                1.2,
            )
    return verdicts


def draw(times, memory, sizes, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = 2 if memory else 1
    fig, axes = plt.subplots(
        rows, len(sizes), figsize=(4.2 * len(sizes), 3.6 * rows), squeeze=False
    )
    colours = ("#4c72b0", "#55a868", "#c44e52", "#8c8c8c")
    width = 0.2
    for col, s in enumerate(sizes):
        panels = [(axes[0][col], times.get(s, {}), 1e3, "median time (ms)")]
        if memory:
            panels.append((axes[1][col], memory.get(s, {}), 2.0**-20, "peak memory growth (MiB)"))
        for ax, data, scale, label in panels:
            for i, name in enumerate(CONTENDERS):
                values = [data.get((layout, name)) for layout in LAYOUTS]
                values = [np.nan if value is None else value * scale for value in values]
                xs = np.arange(len(LAYOUTS)) + (i - 1.5) * width
                ax.bar(xs, values, width, label=name, color=colours[i])
            ax.set_xticks(np.arange(len(LAYOUTS)), LAYOUTS)
            ax.set_title(f"{s}: {SIZES[s][0]:,} crop rows, {SIZES[s][1]:,} points", fontsize=9)
            ax.set_ylabel(label)
    axes[0][0].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write_markdown(path, machine_info, args, body, verdicts):
    lines = [
        "# Benchmark results",
        "",
        "Written by `make bench` (`benchmarks/bench.py`). Contenders: `_native` with",
        "`num_threads` 1 and 0; the vectorised NumPy implementation in",
        "`benchmarks/numpy_reference.py`, whose output is checked equal to the module's in",
        "the run; and the copy floor: copying the three inputs plus writing an output-sized",
        f"array. Fields from `cropmerge.synthetic.make_sized_field(size, seed={SEED})`, points",
        "grouped by crop row or shuffled, tolerance `field.default_tolerance` (half the plant",
        f"spacing). Each time is the median of {args.rounds} interleaved rounds after one",
        "warm-up call; the progress bar is off. Memory is the growth of peak resident memory",
        "over one call, in a fresh process that has built its inputs.",
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
        *[f"- {verdict}: {goal} ({detail})" for verdict, goal, detail in verdicts],
        "",
    ]
    path.write_text("\n".join(lines))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--sizes",
        default=None,
        help=f"comma-separated sizes to run (default: {','.join(SIZES)}; small with --quick)",
    )
    parser.add_argument(
        "--rounds",
        type=int,
        default=None,
        help=f"timed rounds per size, at least 5 for a report (default: "
        f"{DEFAULT_ROUNDS}; {QUICK_ROUNDS} with --quick)",
    )
    parser.add_argument(
        "--quick",
        action="store_true",
        help="smoke run: small size only unless --sizes is given, few rounds, "
        "no memory measurement, no results files unless --output is given",
    )
    parser.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    parser.add_argument(
        "--output",
        type=Path,
        default=None,
        help="folder for results.md and results.png (default: benchmarks/)",
    )
    parser.add_argument(
        "--memory-child",
        nargs=4,
        metavar=("SIZE", "LAYOUT", "NAME", "ROWS"),
        help=argparse.SUPPRESS,
    )
    args = parser.parse_args(argv)
    # The progress bar is no part of the computation timed: keep it off even on a terminal
    # (the memory children inherit this).
    os.environ["NO_COLOR"] = "1"

    if args.memory_child:
        size, layout, name, out_rows = args.memory_child
        memory_child(size, layout, name, int(out_rows))
        return 0

    if args.sizes is None:
        args.sizes = "small" if args.quick else ",".join(SIZES)
    sizes = [s for s in args.sizes.split(",") if s]
    unknown = [s for s in sizes if s not in SIZES]
    if unknown or not sizes:
        parser.error(f"unknown sizes {unknown}; choose from {', '.join(SIZES)}")
    sizes = [s for s in SIZES if s in sizes]
    if args.rounds is None:
        args.rounds = QUICK_ROUNDS if args.quick else DEFAULT_ROUNDS
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    output = args.output if args.output else (None if args.quick else HERE)
    with_memory = not (args.quick or args.no_memory)

    machine_info = machine()
    print("  ".join(f"{key}: {value}" for key, value in machine_info.items()), flush=True)
    times, memory, info = {}, {}, {}
    for s in sizes:
        start = time.perf_counter()
        times[s], info[s] = time_size(s, args.rounds)
        print(f"{s}: {args.rounds} rounds in {time.perf_counter() - start:.0f} s", flush=True)
        if with_memory:
            memory[s] = {
                (layout, name): measure_memory(s, layout, name, info[s][layout]["out_rows"])
                for layout in LAYOUTS
                for name in CONTENDERS
            }
    machine_info["load average at end"] = " ".join(f"{load:.2f}" for load in os.getloadavg())
    body = report(times, memory, info, sizes)
    verdicts = goals(times, memory, sizes)
    print()
    print(body)
    print()
    for verdict, goal, detail in verdicts:
        print(f"{verdict}: {goal} ({detail})")
    if args.rounds < 5:
        print(f"\nnote: only {args.rounds} rounds; use at least 5 for a report")
    if output:
        output.mkdir(parents=True, exist_ok=True)
        write_markdown(output / "results.md", machine_info, args, body, verdicts)
        try:
            draw(times, memory, sizes, output / "results.png")
        except ImportError:
            print("matplotlib is not installed: no results.png")
        print(f"\nwrote {output / 'results.md'} and {output / 'results.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
