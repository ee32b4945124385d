"""Time the extension side by side with Numba and NumPy implementations and the copy floor.

For every size and order of the points the contenders run interleaved in one process,
round after round, each round in a new random order, and the median of each is reported:

- ``native t=1`` / ``native t=0``: ``_native.merge_points_removing_overlap`` with one worker
  and with as many workers as the process may use;
- ``numba 1 thread`` / ``numba all threads``: the parallel Numba implementation in
  ``numba_reference.py`` on one thread and on all of Numba's threads;
- ``numpy``: the vectorised NumPy implementation in ``numpy_reference.py``;
- ``floor``: copying the three inputs and writing an output-sized array, the memory traffic
  that no implementation avoids;
- ``check_field``: ``cropmerge.check_field`` on the same tables, which should cost well
  under the merge itself.

Every merge's output is checked equal to ``native t=1`` in every run, and ``check_field``
finds nothing. The points come in
the four orders of ``orders.py``. A field whose id pairs collide in an unkeyed id-pair hash
(``colliding_ids.py``) is timed against the same field with its own ids. Peak memory growth
of a call is measured in a fresh subprocess. The tables and the goal checks go to stdout
and, with the machine's description, to ``results.md``; ``results.png`` draws them.
"""

import argparse
import ctypes
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import _native
import cropmerge
import numba
import numpy as np
from bench_report import draw, machine, report, write_markdown
from colliding_ids import colliding_pairs, relabel
from cropmerge.synthetic import SIZES, make_field, make_sized_field
from goals import judge
from numba_reference import merge_points_numba
from numpy_reference import merge_points_numpy
from orders import ORDERS, reorder

HERE = Path(__file__).resolve().parent
SEED = 0
CONTENDERS = (
    "native t=1",
    "native t=0",
    "numba 1 thread",
    "numba all threads",
    "numpy",
    "floor",
    "check_field",
)
# A call of a few ms swings with what ran just before it; rounds are cheap there.
DEFAULT_ROUNDS = {"small": 31, "medium": 15, "large": 9}
QUICK_ROUNDS = 2
MEMORY_SIZE = "large"
MEMORY_ORDERS = ("a", "d")
MEMORY_CONTENDERS = ("native t=1", "native t=0", "numba all threads", "numpy", "floor")
ADVERSARIAL_FIELD = (50_000, 500_000)  # crop rows, points
ADVERSARIAL_CONTENDERS = ("native t=1", "native t=0")
ADVERSARIAL_ROUNDS = 3
ADVERSARIAL_GUARD_SECONDS = 2.0  # slowest single call above which no rounds are timed


def copy_floor(connected, points, info, out_rows):
    """The traffic every implementation has: copy the inputs, write an output-sized table."""
    copies = [np.copy(table) for table in (connected, points, info)]
    out = np.empty((out_rows, points.shape[1]))
    np.copyto(out, copies[1][:out_rows])
    return out


def numba_on(threads, tables, tolerance):
    numba.set_num_threads(threads)
    return merge_points_numba(*tables, tolerance)


def make_call(name, tables, tolerance, out_rows):
    if name == "native t=1":
        return lambda: _native.merge_points_removing_overlap(*tables, tolerance, 1)
    if name == "native t=0":
        return lambda: _native.merge_points_removing_overlap(*tables, tolerance, 0)
    if name == "numba 1 thread":
        return lambda: numba_on(1, tables, tolerance)
    if name == "numba all threads":
        return lambda: numba_on(numba.config.NUMBA_NUM_THREADS, tables, tolerance)
    if name == "numpy":
        return lambda: merge_points_numpy(*tables, tolerance)
    if name == "floor":
        return lambda: copy_floor(*tables, out_rows)
    if name == "check_field":
        return lambda: cropmerge.check_field(*tables, tolerance)
    raise ValueError(f"unknown contender {name!r}")


def ordered_tables(size):
    """The field's tables with the points in each order, and its tolerance."""
    field = make_sized_field(size, seed=SEED)
    tables = {
        order: (
            field.connected_crop_rows,
            reorder(field.points_in_rows, order, SEED),
            field.row_information,
        )
        for order in ORDERS
    }
    return tables, field.default_tolerance


def checked_calls(names, tables, tolerance, what):
    """Each contender's call, run once (a warm-up too) and checked against native t=1."""
    reference = make_call("native t=1", tables, tolerance, 0)()
    calls = {}
    for name in names:
        calls[name] = make_call(name, tables, tolerance, len(reference))
        out = calls[name]()
        if name == "check_field" and out:
            raise SystemExit(f"check_field finds fault with {what}: {out}")
        if name not in ("floor", "check_field") and not (
            out.shape == reference.shape and np.array_equal(out, reference, equal_nan=True)
        ):
            raise SystemExit(
                f"{name} disagrees with native t=1 on {what}: {out.shape} vs {reference.shape}"
            )
    return calls, reference


def interleaved_medians(calls, rounds):
    """Median seconds of each call, all calls run once a round, in a new order each round.

    A call that frees much memory slows the next one, which faults its memory in afresh:
    in a fixed cycle, rotated or not, the same contender would follow it every round.
    """
    samples = {key: [] for key, _ in calls}
    rng = np.random.default_rng(SEED)
    for _ in range(rounds):
        for index in rng.permutation(len(calls)):
            key, call = calls[index]
            start = time.perf_counter()
            out = call()
            samples[key].append(time.perf_counter() - start)
            del out
    return {key: float(np.median(values)) for key, values in samples.items()}


def time_size(size, tables, tolerance, rounds):
    """Median seconds per (order, contender), and what each order's call works on."""
    info, calls = {}, []
    for order, ordered in tables.items():
        checked, reference = checked_calls(CONTENDERS, ordered, tolerance, f"{size} ({order})")
        info[order] = {"points": len(ordered[1]), "out_rows": len(reference)}
        calls += [((order, name), call) for name, call in checked.items()]
    return interleaved_medians(calls, rounds), info


# ---- peak memory, one fresh process per measurement ---------------------------------------


def _status_kib(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {key} in /proc/self/status")


def warm_up(name):
    """Compile (or load from the cache) what a contender runs, on a tiny field."""
    if name.startswith("numba"):
        field = make_field(50, 2_000, seed=SEED)
        tables = (field.connected_crop_rows, field.points_in_rows, field.row_information)
        make_call(name, tables, field.default_tolerance, 0)()


def memory_child(folder, order, name, tolerance):
    """Print the growth of peak resident memory (bytes) over one call, after the inputs exist."""
    warm_up(name)
    tables = tuple(np.load(folder / f"{table}.npy") for table in ("connected", order, "info"))
    call = make_call(name, tables, tolerance, 0)
    # Hand freed heap pages back to the system, then restart the peak from the current
    # resident size, so that only what the call itself touches counts.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    before = _status_kib("VmRSS")
    out = call()
    peak = _status_kib("VmHWM")
    print(json.dumps({"growth": (peak - before) * 1024, "out_bytes": out.nbytes}))


def child_memory(folder, order, name, tolerance):
    """What memory_child prints, from a fresh process; None if it failed."""
    command = [sys.executable, __file__, "--memory-child", folder, order, name, repr(tolerance)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        print(f"memory of {name} ({order}) not measured:\n{done.stderr}", flush=True)
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def measure_memory(tables, tolerance):
    """Peak memory growth and output bytes per (order, contender).

    The children load the tables that the parent saved, rather than build the field again.
    """
    memory = {}
    with tempfile.TemporaryDirectory() as folder:
        np.save(Path(folder) / "connected.npy", tables["a"][0])
        np.save(Path(folder) / "info.npy", tables["a"][2])
        for order in MEMORY_ORDERS:
            np.save(Path(folder) / f"{order}.npy", tables[order][1])
            for name in MEMORY_CONTENDERS:
                memory[order, name] = child_memory(folder, order, name, tolerance)
    return memory


# ---- ids that collide in an unkeyed hash ---------------------------------------------------


def time_adversarial(rounds):
    """Medians of the module on plain and on colliding ids; a guard skips slow rounds."""
    crop_rows, points = ADVERSARIAL_FIELD
    field = make_field(crop_rows, points, seed=SEED)
    plain = (field.connected_crop_rows, field.points_in_rows, field.row_information)
    colliding = relabel(*plain, colliding_pairs(len(plain[0])))
    tolerance = field.default_tolerance
    info = {"crop_rows": len(plain[0]), "points": len(plain[1])}
    plain_calls, reference = checked_calls(ADVERSARIAL_CONTENDERS, plain, tolerance, "plain ids")
    calls, single = [], {}
    for ids, tables in (("plain", plain), ("colliding", colliding)):
        for name in ADVERSARIAL_CONTENDERS:
            call = plain_calls[name] if ids == "plain" else make_call(name, tables, tolerance, 0)
            start = time.perf_counter()
            out = call()
            single[ids, name] = time.perf_counter() - start
            if not np.array_equal(out[:, 2:], reference[:, 2:]):
                raise SystemExit(f"{name} keeps other points when the ids collide")
            calls.append(((ids, name), call))
    del out
    slow = max(single.values())
    if slow <= ADVERSARIAL_GUARD_SECONDS:
        return interleaved_medians(calls, rounds), info, f"median of {rounds} interleaved rounds"
    # Colliding ids too slow for rounds: one call each, and rounds of the plain ids only.
    plain_medians = interleaved_medians([c for c in calls if c[0][0] == "plain"], rounds)
    note = (
        f"plain ids: median of {rounds} interleaved rounds; colliding ids: one call each, "
        f"the slowest {slow:.1f} s, over the guard of {ADVERSARIAL_GUARD_SECONDS:.0f} s"
    )
    return single | plain_medians, info, note


# ---- the run ------------------------------------------------------------------------------


def parse_args(argv):
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
        help="timed rounds per size, at least 3 for a report (default: "
        + ", ".join(f"{size} {count}" for size, count in DEFAULT_ROUNDS.items())
        + f"; {QUICK_ROUNDS} with --quick)",
    )
    parser.add_argument(
        "--quick",
        action="store_true",
        help="smoke run: small size only unless --sizes is given, few rounds, no memory "
        "measurement, no colliding ids, no results files unless --output is given",
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
        metavar=("FOLDER", "ORDER", "NAME", "TOLERANCE"),
        help=argparse.SUPPRESS,
    )
    args = parser.parse_args(argv)
    if args.memory_child:
        return args
    if args.sizes is None:
        args.sizes = "small" if args.quick else ",".join(SIZES)
    sizes = [s for s in args.sizes.split(",") if s]
    unknown = [s for s in sizes if s not in SIZES]
    if unknown or not sizes:
        parser.error(f"unknown sizes {unknown}; choose from {', '.join(SIZES)}")
    args.sizes = [s for s in SIZES if s in sizes]
    if args.rounds is not None and args.rounds < 1:
        parser.error("--rounds must be at least 1")
    return args


def rounds_at(args, size):
    if args.rounds is not None:
        return args.rounds
    return QUICK_ROUNDS if args.quick else DEFAULT_ROUNDS[size]


def run_all(args):
    """Every figure of the run: times, what they ran on, memory, the colliding ids."""
    run = {"times": {}, "info": {}, "memory": {}, "memory_size": MEMORY_SIZE, "adversarial": {}}
    for size in args.sizes:
        start = time.perf_counter()
        rounds = rounds_at(args, size)
        tables, tolerance = ordered_tables(size)
        run["times"][size], run["info"][size] = time_size(size, tables, tolerance, rounds)
        print(f"{size}: {rounds} rounds in {time.perf_counter() - start:.0f} s", flush=True)
        if size == MEMORY_SIZE and not (args.quick or args.no_memory):
            start = time.perf_counter()
            run["memory"] = measure_memory(tables, tolerance)
            print(f"memory at {size} in {time.perf_counter() - start:.0f} s", flush=True)
        del tables
    if not args.quick:
        start = time.perf_counter()
        adversarial, run["adversarial_info"], run["adversarial_note"] = time_adversarial(
            ADVERSARIAL_ROUNDS
        )
        run["adversarial"] = adversarial
        print(f"colliding ids in {time.perf_counter() - start:.0f} s", flush=True)
    return run


def intro(args):
    rounds = ", ".join(f"{size} {rounds_at(args, size)}" for size in args.sizes)
    crop_rows, points = ADVERSARIAL_FIELD
    return [
        "Written by `make bench` (`benchmarks/bench.py`). Contenders: `_native` with",
        "`num_threads` 1 and 0; the parallel Numba implementation in",
        "`benchmarks/numba_reference.py` on 1 thread and on all threads; the vectorised NumPy",
        "implementation in `benchmarks/numpy_reference.py`; and the copy floor: copying the",
        "three inputs plus writing an output-sized array; and `cropmerge.check_field` on the",
        "same tables. Every merge's output is checked equal to `native t=1`'s in the run, and",
        f"check_field finds nothing. Fields from `make_sized_field(size, seed={SEED})`, the",
        "points reordered by `benchmarks/orders.py`, tolerance `field.default_tolerance`",
        f"(half the plant spacing). Each time is the median of interleaved rounds ({rounds}),",
        "every call once a round in a new random order, after one warm-up call; Numba's",
        "compile is not timed; the progress bar is off.",
        "Memory is the growth of peak resident memory over one call, in a fresh process that",
        f"has loaded its inputs. Colliding ids: `make_field({crop_rows:_}, {points:_})` with",
        "its id pairs replaced by pairs from `benchmarks/colliding_ids.py`.",
    ]


def main(argv=None):
    args = parse_args(argv)
    # The progress bar is no part of the computation timed: keep it off even on a terminal
    # (the memory children inherit this).
    os.environ["NO_COLOR"] = "1"
    if args.memory_child:
        folder, order, name, tolerance = args.memory_child
        memory_child(Path(folder), order, name, float(tolerance))
        return 0

    output = args.output if args.output else (None if args.quick else HERE)
    machine_info = machine()
    print("  ".join(f"{key}: {value}" for key, value in machine_info.items()), flush=True)
    run = run_all(args)
    machine_info["load average at end"] = " ".join(f"{load:.2f}" for load in os.getloadavg())
    body = report(run, CONTENDERS, MEMORY_CONTENDERS)
    verdicts = judge(run["times"], run["info"], run["memory"], MEMORY_SIZE, run["adversarial"])
    print()
    print(body)
    print()
    for word, goal, detail in verdicts:
        print(f"{word}: {goal}: {detail}")
    if min(rounds_at(args, size) for size in args.sizes) < 3:
        print("\nnote: fewer than 3 rounds; use at least 3 for a report")
    if output:
        output.mkdir(parents=True, exist_ok=True)
        write_markdown(output / "results.md", machine_info, intro(args), body, verdicts)
        try:
            draw(run, CONTENDERS, output / "results.png")
        except ImportError:
            print("matplotlib is not installed: no results.png")
        print(f"\nwrote {output / 'results.md'} and {output / 'results.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
