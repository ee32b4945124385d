"""Engine failures: exact messages, which one is raised, the report, and recovery."""

import os
import subprocess
import sys
import warnings

import numpy as np
import pytest
from _native import merge_points_removing_overlap
from engine_failures import (
    FAILURES,
    INDEX,
    NAN,
    NONE,
    NOT_FAILURES,
    POINTS,
    POOL_BUILD_FAILURE,
    RI,
    is_panic,
    linked,
    table,
)


def panic_message(connected, points, info, tolerance=0.5, num_threads=1):
    with pytest.raises(BaseException) as raised:
        merge_points_removing_overlap(connected, points, info, tolerance, num_threads)
    assert is_panic(raised.value)
    return str(raised.value)


@pytest.mark.parametrize(
    ("connected", "points", "info", "message"),
    [f[1:] for f in FAILURES],
    ids=[f[0] for f in FAILURES],
)
def test_failure_messages(connected, points, info, message):
    assert panic_message(connected, points, info) == message


@pytest.mark.parametrize("tolerance", [0.5, np.inf])
def test_short_points_fail_even_when_the_ends_are_within_tolerance(tolerance):
    """The length check comes before the distance test."""
    assert panic_message(linked(), table([[1, 1, 3]]), RI, tolerance) == INDEX


@pytest.mark.parametrize(
    ("connected", "points", "info", "shape"),
    [f[1:] for f in NOT_FAILURES],
    ids=[f[0] for f in NOT_FAILURES],
)
def test_narrow_tables_that_do_not_fail(connected, points, info, shape):
    assert merge_points_removing_overlap(connected, points, info, 0.5, 1).shape == shape


def many_rows(first_failure, later_failure, n=300, failing_row=137):
    """Rows below ``failing_row`` succeed; it fails with one message, all later rows with the
    other.  A missing own row gives NONE; a filtered 3-column point gives INDEX."""
    ok_row = [0, 1, 1, NAN, 0, NAN, 0, NAN, 0, NAN, 0]
    lost = [0, 9, 9, NAN, 0, NAN, 0, NAN, 0, NAN, 0]
    short = [0, 1, 1, 2, 1, NAN, 0, NAN, 0, NAN, 0]
    kinds = {NONE: lost, INDEX: short}
    rows = [ok_row] * failing_row + [kinds[first_failure]]
    rows += [kinds[later_failure]] * (n - failing_row - 1)
    return table(rows), table([[1, 1, 3]] * 50), RI


@pytest.mark.parametrize(("first", "later"), [(NONE, INDEX), (INDEX, NONE)])
@pytest.mark.parametrize("num_threads", [1, 2, 3, 8, 0, 2**40])
def test_lowest_failing_row_is_reported(first, later, num_threads):
    tables = many_rows(first, later)
    for _ in range(3):
        assert panic_message(*tables, num_threads=num_threads) == first


def test_failure_report_on_stderr(capfd):
    capfd.readouterr()
    panic_message(linked((1.5, 1)), table(POINTS), RI)
    err = capfd.readouterr().err
    assert NONE in err
    assert "thread" in err


def test_module_works_again_after_failures():
    ok = (linked(), table([[1, 1, 3, 0], [1, 1, 11, 0]]), RI, 0.5, 2)
    first = merge_points_removing_overlap(*ok)
    for num_threads in (1, 2, 0):
        panic_message(*many_rows(NONE, INDEX), num_threads=num_threads)
        again = merge_points_removing_overlap(*ok)
        assert np.array_equal(again, first)
    assert first[:, 2].tolist() == [11]


def test_call_in_a_forked_child():
    """The child has none of the parent's worker threads; it starts its own and calls again."""
    tables = (linked(), table([[1, 1, 3, 0], [1, 1, 11, 0]]), RI, 0.5, 4)
    before = merge_points_removing_overlap(*tables)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
        pid = os.fork()
    if pid == 0:  # pragma: no cover - runs in the child
        code = 1
        try:
            code = 0 if np.array_equal(merge_points_removing_overlap(*tables), before) else 2
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


LIMITED = """
import resource, sys
import numpy as np
from _native import merge_points_removing_overlap as merge
rows, crop_rows, headroom, num_threads = map(int, sys.argv[1:])
points = np.ones((rows, 4))
connected, info = np.array([[0, 1, 1, np.nan]] * crop_rows), np.array([[1, 0, 0, 0, 1.0]])
status = open("/proc/self/status").read()
size = int(status.split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + headroom, resource.RLIM_INFINITY))
try:
    merge(connected, points, info, 0.5, num_threads)
    outcome = "returned"
except BaseException as exc:
    outcome = f"{type(exc).__name__}: {exc}"
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
assert merge(connected[:1], points[:3], info, 0.5, 2).shape == (3, 4)
print(outcome)
"""


def run_limited(rows, crop_rows, headroom, num_threads):
    """A call in a child whose address space ends ``headroom`` bytes past its current size."""
    child = subprocess.run(
        [sys.executable, "-c", LIMITED, *map(str, (rows, crop_rows, headroom, num_threads))],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert child.returncode == 0, child.stderr
    return child.stdout.strip()


def test_exhausted_memory_raises_memory_error():
    """The process survives, the caller gets MemoryError, and the module works afterwards."""
    assert run_limited(4_000_000, 1, 64 << 20, 1) == "MemoryError:"


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="one processor: no worker to start")
def test_worker_that_cannot_start_fails_the_call():
    outcome = run_limited(10, 10_000, 2 << 20, 2)
    prefix = f"PanicException: {POOL_BUILD_FAILURE}"
    assert outcome.startswith(prefix + " { kind: IOError(")
    assert outcome.endswith(") }")


@pytest.mark.parametrize("width", [2, 3])
def test_scattered_points_without_coordinates_in_crop_rows_without_connections(width):
    """Crop rows with nothing connected keep every point, never reading past the id columns."""
    crop_rows = np.array([[0, k, 1] + [NAN] * 8 for k in range(1, 9)], dtype=float)
    info = np.array([[k, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0] for k in range(1, 9)], dtype=float)
    owners = [5, 2, 7, 2, 1, 8, 3, 6, 4, 1, 8, 5]  # no two neighbours share a crop row
    points = np.array([[k, 1, i][:width] for i, k in enumerate(owners)], dtype=float)
    expected = points[np.argsort(owners, kind="stable")]
    for num_threads in (1, 0):
        out = merge_points_removing_overlap(crop_rows, points, info, 0.5, num_threads)
        np.testing.assert_array_equal(out, expected)
