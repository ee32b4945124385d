"""The worker threads that persist between calls: fork, idleness and exit, each in a fresh
interpreter so that a hang or a crash fails the test rather than the run."""

import pytest
from child_process import run_python

FIELD = """
import os, sys, threading, time, warnings
import numpy as np
from _native import merge_points_removing_overlap as merge
from cropmerge.synthetic import make_field
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
field = make_field(crop_rows=2000, points=300_000, seed=2, shuffle=True)
tables = (field.connected_crop_rows, field.points_in_rows, field.row_information, 0.05)
expected = merge(*tables, 1)
"""

FORK_WHILE_ANOTHER_THREAD_CALLS = """
stop = threading.Event()
def keep_merging():
    while not stop.is_set():
        assert np.array_equal(merge(*tables, 0), expected)
caller = threading.Thread(target=keep_merging, daemon=True)
caller.start()
for _ in range(10):
    pid = os.fork()
    if pid == 0:  # its workers are its own: counted after its call
        same = np.array_equal(merge(*tables, 2), expected)
        threads = int(open("/proc/self/status").read().split("Threads:")[1].split()[0])
        os._exit(0 if same and threads == min(2, len(os.sched_getaffinity(0))) else 3)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
stop.set()
caller.join()
print("children merged")
"""


def test_fork_while_another_thread_keeps_calling():
    """Each child starts its own workers, whatever state the parent's were in."""
    child = run_python(FIELD + FORK_WHILE_ANOTHER_THREAD_CALLS, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "children merged"


ENDINGS = {
    "returning": "",
    "sys.exit": "sys.exit(0)",
    "while a daemon thread calls": """
threading.Thread(target=lambda: [merge(*tables, 0) for _ in range(10**6)], daemon=True).start()
time.sleep(0.05)
""",
}
IDLE_THEN_END = """
merge(*tables, 0)
started = time.process_time()
time.sleep(0.5)
print(f"idle cpu {time.process_time() - started:.2f}")
sys.stdout.flush()
"""


@pytest.mark.parametrize("ending", ENDINGS)
def test_idle_workers_cost_nothing_and_exit_does_not_wait(ending):
    child = run_python(FIELD + IDLE_THEN_END + ENDINGS[ending], timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "idle cpu 0.00"
