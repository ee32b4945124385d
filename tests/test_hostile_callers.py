"""Callers that change an accepted array while the call converts its scalar arguments."""

import numpy as np
import pytest
from _native import merge_points_removing_overlap as merge
from child_process import run_python

CHANGE_DURING_CONVERSION = """
import warnings
import numpy as np
from _native import merge_points_removing_overlap as merge
warnings.simplefilter("ignore", DeprecationWarning)  # assigning to .shape
connected, info = np.array([[0, 1, 1, np.nan]]), np.array([[1, 0, 0, 0, 1.0]])
points = np.array([[1.0, 1, 2, 3]] * 3)
larger = np.array([[1 + i % 2, 1, i, -i] for i in range(5000)], dtype=float)
change = {
    "reshape": lambda: setattr(points, "shape", (points.size,)),
    "dtype": lambda: setattr(points, "dtype", np.float32),
    "1-D buffer": lambda: points.__setstate__(points.ravel().__reduce__()[2]),
    "larger buffer": lambda: points.__setstate__(larger.__reduce__()[2]),
}[route]
class Hook:
    def __float__(self):
        change()
        return 0.5
    def __index__(self):
        change()
        return 1
tolerance, num_threads = (Hook(), 1) if hook == "__float__" else (0.5, Hook())
try:
    out = merge(connected, points, info, tolerance, num_threads)
except TypeError as error:
    print(f"TypeError: {error} {error.__notes__}")
else:
    fresh = merge(connected, points.copy(), info, 0.5, 1)
    print("as fresh" if np.array_equal(out, fresh) else "differs", out.shape)
"""
REJECTED = "TypeError: 'ndarray' object is not an instance of 'ndarray' "
REJECTED += "[\"while processing 'points_in_rows'\"]"


OUTCOMES = {
    "reshape": REJECTED,
    "dtype": REJECTED,
    "1-D buffer": REJECTED,
    "larger buffer": "as fresh (2500, 4)",
}


@pytest.mark.parametrize("hook", ["__float__", "__index__"])
@pytest.mark.parametrize("route", OUTCOMES)
def test_array_changed_by_a_conversion_is_accepted_again(route, hook):
    """The changed array meets the same acceptance as at entry and is read as it is now."""
    code = f"route, hook = {route!r}, {hook!r}\n" + CHANGE_DURING_CONVERSION
    child = run_python(code, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == OUTCOMES[route]


@pytest.mark.parametrize("strides", [(36, 8), (64, 12)], ids=["row stride", "column stride"])
def test_strides_of_partial_elements(strides):
    """Aligned data whose rows or columns do not start on whole elements is read as it lies."""
    points = np.array([[1.0, 1, 2, 3], [1, 1, 4, 5], [2, 1, 6, 7]])
    storage = np.zeros(64)
    odd = np.lib.stride_tricks.as_strided(storage, points.shape, strides)
    raw = storage.view(np.uint8)
    for (row, col), value in np.ndenumerate(points):
        start = row * strides[0] + col * strides[1]
        raw[start : start + 8] = np.frombuffer(value.tobytes(), np.uint8)
    connected, info = np.array([[0, 1, 1, np.nan]]), np.array([[1, 0, 0, 0, 1.0]])
    np.testing.assert_array_equal(merge(connected, odd, info, 0.5, 1), points[:2])


SEEDED_MERGE = """
import hashlib
import numpy as np
from _native import merge_points_removing_overlap as merge
from cropmerge.synthetic import make_field
field = make_field(crop_rows=300, points=20_000, seed=3, shuffle=True)
connected = np.vstack([field.connected_crop_rows, field.connected_crop_rows[::7]])
info = np.vstack([field.row_information, field.row_information[::-1]])
out = merge(connected, field.points_in_rows, info, 0.05, 0)
print(out.shape, hashlib.sha256(out.tobytes()).hexdigest())
"""


def test_result_does_not_depend_on_the_process_hash_key():
    """Each process keys its id index at random; shared and repeated ids included."""
    children = [run_python(SEEDED_MERGE, timeout=60) for _ in range(3)]
    assert [child.returncode for child in children] == [0] * 3, children[0].stderr
    outputs = {child.stdout for child in children}
    assert len(outputs) == 1
    assert not outputs.pop().startswith("(0, ")


RACING_WRITER = """
import threading, time
import numpy as np
from numpy.lib.stride_tricks import as_strided
from _native import merge_points_removing_overlap as merge
from fields import make_field

connected, points, info = make_field(crop_rows, points_per_row, shuffle=True)
if table == "points":  # every id pair named twice: those points are looked up again
    alone = connected.copy()
    alone[:, 3:] = np.nan
    connected = np.vstack([alone, connected])
    column, values = points[:, 2], (points[:, 2], points[:, 2] + 100.0)
else:  # a last connection that comes and goes
    connected[:, 5:] = np.nan
    connected[:, 6] = connected[:, 2]
    column, values = connected[:, 5], (np.full(len(connected), np.nan), connected[:, 1])
# One long NumPy call, which lets go of the GIL, writes the values in turn.
sources = np.array(values * 100)
target = as_strided(column, shape=sources.shape, strides=(0, column.strides[0]))
done = False
def write():
    while not done:
        np.add(sources, 0.0, out=target)
threading.Thread(target=write, daemon=True).start()
deadline = time.monotonic() + 2
while time.monotonic() < deadline:
    merge(connected, points, info, 0.3, 1)
done = True
print("done")
"""


@pytest.mark.parametrize(
    ("table", "crop_rows", "points_per_row"), [("points", 4000, 60), ("connected", 200_000, 1)]
)
def test_a_table_written_during_the_call_is_read_safely(table, crop_rows, points_per_row):
    """Another thread writing to an input while the merge reads it in place may make the
    values read inconsistent, but never makes the merge write past what it counted."""
    code = f"table, crop_rows, points_per_row = {table!r}, {crop_rows}, {points_per_row}\n"
    child = run_python(code + RACING_WRITER, timeout=120)
    assert (child.returncode, child.stdout.strip()) == (0, "done"), child.stderr[-2000:]
