"""Process and thread hygiene: worker threads do not pile up, calls work after fork()
and from many Python threads, repeated calls leak nothing, result buffers are
freed with their last view and ask for huge pages as NumPy's arrays do, and the
process-wide caches start up once."""

import ctypes
import gc
import multiprocessing
import os
import sys
import sysconfig
import textwrap
import threading
from pathlib import Path

import _native
import numpy as np
import pytest
from child_process import run_python
from engine_failures import NONE as MISSING_ROW
from engine_failures import is_panic
from fields import make_field, with_missing_connected_row

merge = _native.merge_points_removing_overlap

FIELD = make_field(400, 30, shuffle=True)
FAILING_FIELD = with_missing_connected_row(FIELD, 250)


def expected(field):
    return merge(*field, 0.5, 1)


def thread_count():
    return len(os.listdir("/proc/self/task"))


def under_asan():
    return "libasan" in Path("/proc/self/maps").read_text()


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            *("arena", "ordblks", "smblks", "hblks", "hblkhd"),
            *("usmblks", "fsmblks", "uordblks", "fordblks", "keepcost"),
        )
    ]


def allocated_bytes():
    """Bytes that malloc has handed out and not had back (ASan's count when it is loaded)."""
    libc = ctypes.CDLL(None)
    if under_asan():
        counter = libc.__sanitizer_get_current_allocated_bytes
        counter.restype = ctypes.c_size_t
        return counter()
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss_bytes():
    return int(Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(
    "CROPMERGE_EXPECT_NATIVE_DIR" not in os.environ, reason="only in the sanitizer run"
)
def test_the_sanitized_build_is_the_one_imported():
    expected_dir = Path(os.environ["CROPMERGE_EXPECT_NATIVE_DIR"]).resolve()
    assert Path(_native.__file__).resolve().parent == expected_dir
    maps = Path("/proc/self/maps").read_text()
    assert "libasan" in maps
    assert "libubsan" in maps


@pytest.mark.parametrize("num_threads", [0, 1, 2, 8, 2**40])
@pytest.mark.parametrize("fails", [False, True], ids=["returns", "fails"])
def test_calls_start_no_threads_beyond_the_shared_workers(num_threads, fails):
    """The workers besides the caller persist between calls; later calls reuse them."""
    merge(*FIELD, 0.5, num_threads)
    before = thread_count()
    for _ in range(3):
        if fails:
            with pytest.raises(BaseException, match="Option::unwrap") as raised:
                merge(*FAILING_FIELD, 0.5, num_threads)
            assert is_panic(raised.value, MISSING_ROW)
        else:
            merge(*FIELD, 0.5, num_threads)
        assert thread_count() == before


def _child(connection, index):
    try:
        field = FAILING_FIELD if index % 3 == 2 else FIELD
        try:
            out = merge(*field, 0.5, index % 3)
            connection.send(("ok", out.shape, out.tobytes()))
        except BaseException as error:
            connection.send(("failed", type(error).__qualname__, error.args))
    finally:
        connection.close()


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_calls_work_in_children_forked_after_a_call():
    reference = expected(FIELD)  # the parent has called: its caches are filled
    context = multiprocessing.get_context("fork")
    children = []
    for index in range(6):
        receiver, sender = context.Pipe(duplex=False)
        process = context.Process(target=_child, args=(sender, index))
        process.start()
        sender.close()
        children.append((index, process, receiver))
    for index, process, receiver in children:
        assert receiver.poll(120), f"child {index} hung"
        answer = receiver.recv()
        process.join(30)
        assert process.exitcode == 0
        if index % 3 == 2:
            assert answer == ("failed", "PanicException", (MISSING_ROW,))
        else:
            assert answer == ("ok", reference.shape, reference.tobytes())


def test_eight_python_threads_at_once_get_correct_results():
    fields = [make_field(80 + 40 * k, 10 + k, seed=k, shuffle=k % 2 == 1) for k in range(4)]
    references = [expected(field) for field in fields]
    barrier = threading.Barrier(8)
    problems = []

    def caller(worker):
        barrier.wait()
        for call in range(6):
            k = (worker + call) % 4
            try:
                if call % 3 == 2:
                    try:
                        merge(*with_missing_connected_row(fields[k], 5), 0.5, call % 3)
                        problems.append(f"thread {worker}: a failing call returned")
                    except BaseException as error:
                        if not is_panic(error, MISSING_ROW):
                            problems.append(f"thread {worker}: {error!r}")
                else:
                    out = merge(*fields[k], 0.5, (worker + call) % 3)
                    if not np.array_equal(out, references[k], equal_nan=True):
                        problems.append(f"thread {worker}, call {call}: wrong result")
            except BaseException as error:
                problems.append(f"thread {worker}: {error!r}")

    threads = [threading.Thread(target=caller, args=(worker,)) for worker in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads)
    assert problems == []


def test_repeated_calls_leave_memory_and_reference_counts_flat():
    connected, points, info = make_field(400, 40, seed=3)
    failing = with_missing_connected_row((connected, points, info), 0)[0]
    tolerance = float("0.5")  # objects of our own, not shared constants
    num_threads = int("1000001")
    inputs = (connected, failing, points, info, tolerance, num_threads)

    def calls(count):
        for i in range(count):
            kind = i % 4
            if kind == 0:
                merge(connected, points, info, tolerance, num_threads)
            elif kind == 1:
                with pytest.raises(BaseException, match="Option::unwrap"):
                    merge(failing, points, info, tolerance, num_threads)
            elif kind == 2:
                with pytest.raises(ValueError):
                    merge(connected, points, info, float("nan"), num_threads)
            else:
                with pytest.raises(TypeError):
                    merge(connected, points, [[1.0]], tolerance, num_threads)

    calls(100)
    gc.collect()
    refcounts = [sys.getrefcount(value) for value in inputs]
    rss_before, allocated_before = rss_bytes(), allocated_bytes()
    calls(1000)
    gc.collect()
    rss_after, allocated_after = rss_bytes(), allocated_bytes()
    print(f"RSS {rss_before} -> {rss_after}, allocated {allocated_before} -> {allocated_after}")

    assert [sys.getrefcount(value) for value in inputs] == refcounts
    # One leaked copy of the inputs per call would be about 100 MB here.
    assert allocated_after - allocated_before < 1 << 20
    if not under_asan():  # ASan keeps freed memory in quarantine
        assert rss_after - rss_before < 8 << 20


def test_the_result_buffer_is_freed_with_its_last_view():
    # 1,000,000 points that all survive: a 48 MB result.
    connected, points, info = make_field(1000, 1000, extra_columns=2)
    connected[:, 3:] = np.nan
    gc.collect()
    baseline = allocated_bytes()
    result = merge(connected, points, info, 0.5, 0)
    assert result.nbytes == points.nbytes
    view = result[::7, 1:]
    base = result.base
    assert type(base).__name__ == "PySliceContainer"
    del result, base
    gc.collect()
    assert allocated_bytes() - baseline > 0.9 * points.nbytes  # the view keeps it
    assert view[1, 0] == points[7, 1]
    del view
    gc.collect()
    assert allocated_bytes() - baseline < 1 << 20


FIRST_CALLS = textwrap.dedent(
    """
    import os, threading
    import numpy as np
    from fields import make_field, with_missing_connected_row
    field = make_field(64, 12)
    failing = with_missing_connected_row(field, 3)
    import _native  # imported, not yet called: no cache is filled
    threads_before = len(os.listdir("/proc/self/task"))
    barrier = threading.Barrier(8)
    results, base_types, panic_types = [], [], []

    def first_call():
        barrier.wait()
        results.append(_native.merge_points_removing_overlap(*field, 0.5, 2).tobytes())
        base_types.append(type(_native.merge_points_removing_overlap(*field, 0.5, 1).base))
        try:
            _native.merge_points_removing_overlap(*failing, 0.5, 1)
        except BaseException as error:
            panic_types.append(type(error))

    threads = [threading.Thread(target=first_call) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 8 and len(set(results)) == 1, "results differ"
    assert len(base_types) == 8 and len(set(base_types)) == 1, base_types
    assert base_types[0].__name__ == "PySliceContainer"
    assert len(panic_types) == 8 and len(set(panic_types)) == 1, panic_types
    assert panic_types[0].__module__ == "pyo3_runtime"
    # The calls ask for at most 2 workers: the caller and a thread shared between calls.
    helpers = len(os.listdir("/proc/self/task")) - threads_before
    assert helpers <= 1, f"{helpers} threads left"
    print("ok")
    """
)


@pytest.mark.parametrize("attempt", range(3))
def test_caches_are_created_once_when_threads_make_their_first_calls_together(attempt):
    done = run_python(FIRST_CALLS, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == "ok"


TRANSPARENT_HUGE_PAGES = Path("/sys/kernel/mm/transparent_hugepage/enabled")
HUGE_PAGES_ON_ADVICE = (
    TRANSPARENT_HUGE_PAGES.exists() and "[madvise]" in TRANSPARENT_HUGE_PAGES.read_text()
)

# Whether the memory in the middle of a result of several MiB may take huge pages,
# in a fresh process whose NumPy has its huge-page switch set first.
RESULT_PAGES = """
import re
from numpy._core.multiarray import _set_madvise_hugepage
_set_madvise_hugepage({advised})
import _native
from fields import make_field
out = _native.merge_points_removing_overlap(*make_field(400, 500), 0.5, 1)
middle = out.__array_interface__["data"][0] + out.nbytes // 2
inside = False
for line in open("/proc/self/smaps"):
    bounds = re.match(r"([0-9a-f]+)-([0-9a-f]+) ", line)
    if bounds:
        inside = int(bounds[1], 16) <= middle < int(bounds[2], 16)
    elif inside and line.startswith("THPeligible:"):
        print(line.split()[1])
"""


@pytest.mark.skipif(not HUGE_PAGES_ON_ADVICE, reason="huge pages are not given on advice here")
@pytest.mark.parametrize("advised", [True, False])
def test_results_ask_for_huge_pages_as_numpy_does(advised):
    done = run_python(RESULT_PAGES.format(advised=advised), timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.split() == [str(int(advised))]


@pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="not a free-threaded interpreter"
)
def test_importing_the_module_keeps_the_gil_disabled():
    assert not sys._is_gil_enabled()
