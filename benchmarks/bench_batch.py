"""Time ``cropmerge batch`` on a local Dask cluster against a serial loop over the same files.

The fields are written to disk once; then, round after round and in a rotating order:

- ``serial``: one fresh process that loads, merges and saves every field in turn, calling
  the same function as a batch task, without Dask;
- ``batch, N workers``: ``merge_fields`` on a local cluster of N worker processes, each merge
  on one thread. The cluster is started before the clock starts; its start and stop are
  timed apart.

Every round's outputs are checked equal to the serial loop's. Dask's overhead per field is
the one-worker batch's time per field less the serial loop's, split into the time between
tasks (scheduling, transfers, the report) and the time the same work takes longer inside
the tasks. CPU seconds (the workers' and
this process's, which runs the scheduler) are counted too: on a machine shared by several
sessions, each session gets its share of the cores however many processes it runs, and
CPU time tells the batch's own cost apart from that. Memory per field is the serial
process's peak resident memory over what it held before the first field. The table and the
goal checks go to stdout and, with the machine's description, to batch_results.md.
"""

import argparse
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from bench_report import machine, table
from cropmerge import batch
from cropmerge.synthetic import make_field

HERE = Path(__file__).resolve().parent
SPEEDUP_GOAL = 1.3  # batch on two workers over the serial loop, in fields per second
OVERHEAD_GOAL = 0.020  # seconds of Dask per field
TOLERANCE = "auto"  # as the command merges by default
# Contender: worker processes of its local cluster (None: the serial loop, no cluster).
CONTENDERS = {"serial": None, "batch, 1 worker": 1, "batch, 2 workers": 2}

SERIAL_LOOP = """
import json, resource, sys, time
from pathlib import Path
from cropmerge.batch import FieldOptions, _writing_to, merge_field

fields, out_dir, tolerance = json.loads(sys.argv[1])
options = FieldOptions(tolerance, 1, False)
targets = [Path(out_dir) / (Path(field).stem + ".npy") for field in fields]
resident_kib = int(Path("/proc/self/status").read_text().split("VmRSS:")[1].split()[0])
start, cpu = time.perf_counter(), time.process_time()
# The folder held as a batch holds it, so that every field is written as the batch writes it.
with _writing_to(Path(out_dir), targets) as batch:
    for field, target in zip(fields, targets):
        result = merge_field(field, str(target), options, batch)
        assert result.status == "ok", result.error
seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": seconds, "cpu": cpu, "growth": (peak_kib - resident_kib) * 1024}))
"""


def write_fields(folder, count, points):
    crop_rows = max(10, points // 100)
    paths = []
    for seed in range(count):
        field = make_field(crop_rows, points, seed=seed)
        path = folder / f"field_{seed:03}.npz"
        np.savez(
            path,
            connected_crop_rows=field.connected_crop_rows,
            points_in_rows=field.points_in_rows,
            row_information=field.row_information,
        )
        paths.append(path)
    return paths


def run_serial(fields, out_dir, tolerance):
    argument = json.dumps([[str(path) for path in fields], str(out_dir), tolerance])
    done = subprocess.run(
        [sys.executable, "-c", SERIAL_LOOP, argument], capture_output=True, text=True, check=True
    )
    figures = json.loads(done.stdout)
    return figures["seconds"], figures["cpu"], figures["growth"]


def run_batch(fields, out_dir, tolerance, workers):
    """Seconds and CPU seconds of the batch (its workers' and this process's, which runs the
    scheduler), seconds spent inside its tasks, seconds to start and stop the cluster, and
    a worker's idle memory."""
    start = time.perf_counter()
    with batch.local_client(workers) as client:
        client.wait_for_workers(workers)
        idle = max(client.run(_resident_bytes).values())
        before, own_cpu = client.run(time.process_time), time.process_time()
        started = time.perf_counter()
        report = batch.merge_fields(fields, out_dir, tolerance=tolerance, client=client)
        seconds = time.perf_counter() - started
        after, own_cpu = client.run(time.process_time), time.process_time() - own_cpu
    assert report.summary["ok"] == len(fields), report.failed
    cpu = own_cpu + sum(after[worker] - before[worker] for worker in after)
    in_tasks = sum(field.seconds for field in report.fields)
    return seconds, cpu, in_tasks, time.perf_counter() - start - seconds, idle


def _resident_bytes():
    import psutil

    return psutil.Process().memory_info().rss


def digests(out_dir):
    return {
        path.name: hashlib.sha256(path.read_bytes()).hexdigest() for path in out_dir.glob("*.npy")
    }


def measure(fields, tolerance, rounds, out_dir):
    """Each contender's seconds per round, and the memory and cluster figures.

    Every contender writes over the outputs of the one before, as a rerun would: fresh
    folders would leave the pages of the last outputs free long enough for the machine to
    hand them back, and the next contender would pay for faulting them in again.
    """
    run_serial(fields, out_dir, tolerance)  # warms the files up; its outputs are the reference
    reference = digests(out_dir)
    times = {name: [] for name in CONTENDERS}
    cpu = {name: [] for name in CONTENDERS}
    extra = {"growth": [], "cluster": [], "idle": [], "in tasks": []}
    names = list(CONTENDERS)
    for round_number in range(rounds):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            workers = CONTENDERS[name]
            if workers is None:
                seconds, cpu_seconds, growth = run_serial(fields, out_dir, tolerance)
                extra["growth"].append(growth)
            else:
                seconds, cpu_seconds, in_tasks, cluster, idle = run_batch(
                    fields, out_dir, tolerance, workers
                )
                extra["cluster"].append(cluster)
                extra["idle"].append(idle)
                if workers == 1:
                    extra["in tasks"].append((seconds, in_tasks))
            times[name].append(seconds)
            cpu[name].append(cpu_seconds)
            print(f"round {round_number + 1}: {name}: {seconds:.2f} s", flush=True)
            assert digests(out_dir) == reference, f"{name} wrote other outputs"
    return times, cpu, extra


def summarise(times, cpu, extra, count, file_bytes):
    median = {name: statistics.median(values) for name, values in times.items()}
    cpu_median = {name: statistics.median(values) for name, values in cpu.items()}
    serial = median["serial"]
    rows = [
        [
            name,
            f"{median[name]:.2f}",
            " / ".join(f"{value:.2f}" for value in times[name]),
            f"{count / median[name]:.1f}",
            f"{serial / median[name]:.2f}",
            f"{1e3 * median[name] / count:.1f}",
            f"{1e3 * cpu_median[name] / count:.1f}",
        ]
        for name in times
    ]
    header = ["contender", "wall s (median)", "rounds", "fields/s", "vs serial", "ms/field"]
    header.append("CPU ms/field")
    overhead = (median["batch, 1 worker"] - serial) / count
    speedup = serial / median["batch, 2 workers"]
    figures = {
        "fields": count,
        "field file": f"{file_bytes / 2**20:.1f} MiB",
        "memory per field (peak growth of the serial process)": (
            f"{max(extra['growth']) / 2**20:.0f} MiB"
        ),
        "idle worker process": f"{max(extra['idle']) / 2**20:.0f} MiB",
        "cluster start and stop": f"{statistics.median(extra['cluster']):.1f} s",
        "fields per second per core (2 workers)": f"{count / median['batch, 2 workers'] / 2:.1f}",
        "fields per CPU second (2 workers)": f"{count / cpu_median['batch, 2 workers']:.1f}",
        "Dask's CPU per field (2 workers less serial)": (
            f"{1e3 * (cpu_median['batch, 2 workers'] - cpu_median['serial']) / count:.1f} ms"
        ),
        **_task_figures(extra["in tasks"], serial, count),
    }
    verdicts = [
        (speedup >= SPEEDUP_GOAL, f"batch on 2 workers >= {SPEEDUP_GOAL}x serial: {speedup:.2f}x"),
        (
            overhead < OVERHEAD_GOAL,
            f"Dask overhead per field < {1e3 * OVERHEAD_GOAL:.0f} ms: {1e3 * overhead:.1f} ms",
        ),
    ]
    return table(header, rows), figures, verdicts


def _task_figures(rounds, serial, count):
    """The one-worker overhead split: time between tasks (Dask's scheduling, transfers and
    report) and time the same work takes longer inside a worker process than in the loop."""
    wall, in_tasks = (statistics.median(values) / count for values in zip(*rounds, strict=True))
    slower = in_tasks - serial / count
    return {
        "1 worker, time per field inside tasks": f"{1e3 * in_tasks:.1f} ms",
        "1 worker, time per field between tasks": f"{1e3 * (wall - in_tasks):.1f} ms",
        "1 worker, tasks' time less the serial loop's": f"{1e3 * slower:.1f} ms",
    }


def write_results(path, machine_info, body, figures, verdicts, arguments):
    lines = [
        "# Batch benchmark results",
        "",
        f"`make bench-batch` ({arguments}): {__doc__.split(chr(10) + chr(10), 1)[1]}",
        "## Machine",
        "",
        *[f"- {key}: {value}" for key, value in machine_info.items()],
        f"- load average at end: {' '.join(f'{load:.2f}' for load in os.getloadavg())}",
        "",
        "## Results",
        "",
        body,
        "",
        *[f"- {key}: {value}" for key, value in figures.items()],
        "",
        "## Goals",
        "",
        *[f"- {'met' if ok else 'NOT met'}: {text}" for ok, text in verdicts],
        "",
    ]
    path.write_text("\n".join(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--fields", type=int, default=64)
    parser.add_argument("--points", type=int, default=1_000_000, help="points per field (medium)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="16 small fields, one round")
    args = parser.parse_args()
    if args.quick:
        args.fields, args.points, args.rounds = 16, 20_000, 1
    machine_info = machine()
    scratch = Path(tempfile.mkdtemp(prefix="bench-batch-"))
    try:
        fields = write_fields(scratch, args.fields, args.points)
        out_dir = scratch / "out"
        out_dir.mkdir()
        times, cpu, extra = measure(fields, TOLERANCE, args.rounds, out_dir)
        file_bytes = statistics.mean(path.stat().st_size for path in fields)
    finally:
        shutil.rmtree(scratch)
    body, figures, verdicts = summarise(times, cpu, extra, args.fields, file_bytes)
    print(body)
    for key, value in figures.items():
        print(f"{key}: {value}")
    for ok, text in verdicts:
        print(f"{'met' if ok else 'NOT met'}: {text}")
    arguments = f"{args.fields} fields of {args.points:,} points, {args.rounds} rounds"
    if not args.quick:
        write_results(HERE / "batch_results.md", machine_info, body, figures, verdicts, arguments)
    return 0 if all(ok for ok, _ in verdicts) else 1


if __name__ == "__main__":
    sys.exit(main())
