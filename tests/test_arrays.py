"""Input arrays of any layout are read by value and left alone; the result owns its memory."""

import gc

import numpy as np
import pytest
from _native import merge_points_removing_overlap as merge

NAN = np.nan
PARAMS = ["connected_crop_rows", "points_in_rows", "row_information"]

CONNECTED = np.array(
    [
        [0, 1, 1, 2, 1] + [NAN] * 6,
        [0, 2, 1, 1, 1, 3, 1.5] + [NAN] * 4,
        [0, 3, 1.5, NAN] + [5.0] * 7,
    ]
)
POINTS = np.array(
    [
        [1, 1, 2, 0, -0.0, 1],
        [2, 1, 11.4, 0, NAN, 2],
        [1, 1, 10.6, 0, np.inf, 3],
        [3, 1, 7, 7, 0, 4],
        [1, 1, 9.4, 0.6, 5, 5],
        [2, 1, 12.6, -0.7, 6, 6],
    ]
)
INFO = np.array(
    [
        [1, 0, 0, 0, 1, 0, 0, 10, 0, 5, 0],
        [2, 0, 0, 0, 1, 12, 0, 20, 0, 16, 0],
        [3, 0, 0, 0, 1.5, 11, 5, 11, -5, 11, 0],
    ]
)
TABLES = (CONNECTED, POINTS, INFO)


class Matrix(np.ndarray):
    pass


def with_gaps(a):
    big = np.full((2 * a.shape[0], 3 * a.shape[1]), 99.0)
    big[::2, ::3] = a
    return big[::2, ::3]


def unaligned(a):
    raw = np.zeros(a.size * 8 + 1, dtype=np.uint8)
    view = raw[1:].view(np.float64).reshape(a.shape)
    view[...] = a
    return view


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def masked(a):
    mask = np.zeros(a.shape, dtype=bool)
    mask[::2] = True
    return np.ma.masked_array(a.copy(), mask=mask, fill_value=-1.0)


LAYOUTS = {
    "subclass": lambda a: a.copy().view(Matrix),
    "masked": masked,
    "read-only": read_only,
    "fortran": np.asfortranarray,
    "gaps": with_gaps,
    "reversed axes": lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
    "transposed": lambda a: np.ascontiguousarray(a.T).T,
    "unaligned": unaligned,
}


def snapshot(arrays):
    return [(np.asarray(a).tobytes(), np.asarray(a).strides) for a in arrays]


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
@pytest.mark.parametrize("which", [0, 1, 2, None], ids=[*PARAMS, "all"])
@pytest.mark.parametrize("num_threads", [1, 3])
def test_any_layout_gives_the_result_of_a_row_major_copy(layout, which, num_threads):
    tables = [layout(t) if which in (None, k) else t for k, t in enumerate(TABLES)]
    before = snapshot(tables)
    out = merge(*tables, 0.5, num_threads)
    expected = merge(*(np.ascontiguousarray(t) for t in TABLES), 0.5, 1)
    assert np.array_equal(out, expected, equal_nan=True)
    assert np.array_equal(np.signbit(out), np.signbit(expected))
    assert snapshot(tables) == before
    assert out[:, 5].tolist() == [3, 5, 2, 6, 4]


def test_zero_strides():
    """A broadcast row (stride 0) is read as repeated rows."""
    points = np.broadcast_to(POINTS[2], (4, 6))
    out = merge(CONNECTED, points, INFO, 0.5, 2)
    assert np.array_equal(out, np.tile(POINTS[2], (4, 1)), equal_nan=True)


def test_same_array_for_every_parameter():
    """One table can serve as crop rows, points and row information at once."""
    table = np.array([[1, 1, 1, NAN, 1, 0, 0, 10, 0, 5, 0], [2, 1, 1, NAN, 2, 7, 0, 7, 0, 7, 0]])
    before = table.copy()
    out = merge(table, table, table, 0.5, 2)
    expected = merge(table.copy(), table.copy(), table.copy(), 0.5, 2)
    assert np.array_equal(out, expected, equal_nan=True)
    assert np.array_equal(out, table[[0, 0]], equal_nan=True)
    assert np.array_equal(table, before, equal_nan=True)


ZERO_ROWS = {
    "no crop rows": ((np.empty((0, 11)), POINTS, INFO), (0, 6)),
    "no crop rows or anything": ((np.empty((0, 0)), np.empty((0, 3)), np.empty((0, 0))), (0, 3)),
    "no points": ((CONNECTED, np.empty((0, 5)), INFO), (0, 5)),
    "no survivors": ((CONNECTED[:1], POINTS[[0, 3]], INFO), (0, 6)),
}


@pytest.mark.parametrize(("tables", "shape"), ZERO_ROWS.values(), ids=ZERO_ROWS.keys())
def test_zero_rows_and_empty_results(tables, shape):
    out = merge(*tables, 0.5, 2)
    assert out.shape == shape
    assert out.dtype == np.float64
    assert type(out.base).__name__ == "PySliceContainer"


def test_result_array_properties():
    out = merge(*TABLES, 0.5, 2)
    assert type(out) is np.ndarray
    assert out.dtype == np.dtype(np.float64)
    assert out.ndim == 2
    assert out.flags.c_contiguous
    assert out.flags.writeable
    assert not out.flags.owndata
    assert type(out.base).__name__ == "PySliceContainer"
    assert not np.shares_memory(out, POINTS)
    again = merge(*TABLES, 0.5, 2)
    assert not np.shares_memory(out, again)
    out[:] = -1.0  # writing to the result changes neither the inputs nor other results
    assert (again != -1.0).any()
    assert np.array_equal(POINTS[:, 5], [1, 2, 3, 4, 5, 6])


def test_result_memory_outlives_inputs_and_the_array():
    tables = [t.copy() for t in TABLES]
    out = merge(*tables, 0.5, 2)
    expected = out.copy()
    tail = out[2:, 1:]
    assert tail.base is out
    del tables, out
    gc.collect()
    noise = [np.full((64, 64), 7.0) for _ in range(50)]
    assert np.array_equal(tail, expected[2:, 1:], equal_nan=True)
    assert type(tail.base.base).__name__ == "PySliceContainer"
    assert len(noise) == 50
