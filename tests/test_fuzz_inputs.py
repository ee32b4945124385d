"""Arbitrary shapes and values thrown at the function: every call returns a
float64 table of whole rows of points_in_rows or raises a documented exception,
and the interpreter lives on."""

import math

import numpy as np
import pytest
from _native import merge_points_removing_overlap as merge
from engine_failures import KNOWN_FAILURES, POOL_BUILD_FAILURE, is_panic
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

AWKWARD = [
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    -0.0,
    1e308,
    -1e308,
    5e-324,
    2.2250738585072014e-308,
    2.0**64,
    2.0**63,
    -1.5,
    3.7,
]
NOT_TABLES = [
    None,
    [[1.0, 2.0]],
    np.zeros((2, 11), dtype=np.float32),
    np.zeros((2, 11), dtype=np.int64),
    np.zeros((2, 11), dtype=">f8"),
    np.zeros(11),
    np.zeros((1, 2, 11)),
    np.zeros((2, 11), dtype=complex),
]

ids = st.sampled_from([0.0, 1.0, 2.0, 3.0])
values = ids | st.sampled_from(AWKWARD) | st.floats()


def mostly(usual, odd):
    """`usual` about nine times in ten (the odd case is not where shrinking goes)."""
    return st.integers(0, 9).flatmap(lambda i: odd if i == 5 else usual)


def arrays(rows, cols, elements):
    return hnp.arrays(np.float64, (rows, cols), elements=elements, fill=elements)


@st.composite
def laid_out(draw, array):
    """The same values in another memory layout, or read-only."""
    layout = draw(st.sampled_from(["c", "fortran", "strided", "reversed", "read-only"]))
    if layout == "fortran":
        return np.asfortranarray(array)
    if layout == "strided":
        return np.repeat(np.repeat(array, 2, axis=0), 3, axis=1)[::2, ::3]
    if layout == "reversed":
        return array[::-1, ::-1].copy()[::-1, ::-1]
    if layout == "read-only":
        array.flags.writeable = False
    return array


@st.composite
def any_table(draw, usual_cols):
    rows = draw(st.integers(0, 50))
    cols = draw(st.just(usual_cols) | st.integers(0, 14))
    return draw(laid_out(draw(arrays(rows, cols, values))))


@st.composite
def consistent_tables(draw):
    """Tables that refer to each other by small ids, so that calls get as far as
    the geometry and the filter, with awkward values among the coordinates."""
    rows = draw(st.integers(0, 12))
    info = draw(arrays(rows, 11, values))
    info[:, [0, 4]] = draw(arrays(rows, 2, ids))
    connected = draw(arrays(rows, 11, ids | st.just(math.nan)))
    connected[:, 1:3] = info[:, [0, 4]]
    for row in range(rows):  # connected rows named by row_information's ids
        slots = draw(st.integers(0, 4))
        picks = draw(st.lists(st.integers(0, rows - 1), min_size=slots, max_size=slots))
        connected[row, 3:] = math.nan
        for slot, pick in enumerate(picks):
            connected[row, 3 + 2 * slot : 5 + 2 * slot] = info[pick, [0, 4]]
    points = draw(arrays(draw(st.integers(0, 40)), draw(st.integers(2, 8)), values))
    if rows:  # most points on the crop rows
        owners = draw(st.lists(st.integers(0, rows - 1), min_size=len(points)))[: len(points)]
        points[: len(owners), :2] = info[owners][:, [0, 4]]
    return tuple(draw(laid_out(table)) for table in (connected, points, info))


@st.composite
def arguments(draw):
    if draw(st.booleans()):
        tables = draw(consistent_tables())
    else:
        odd = st.sampled_from(NOT_TABLES)
        tables = tuple(draw(mostly(any_table(cols), odd)) for cols in (11, 4, 11))
    tolerance = draw(
        mostly(
            st.floats(-2.0, 2.0) | st.sampled_from([0.0, 0.5, math.inf, -math.inf]),
            st.floats() | st.sampled_from([0, 1, True, 10**400, np.float32(0.5), "0.5", None]),
        )
    )
    num_threads = draw(
        mostly(
            st.integers(0, 9),
            st.sampled_from([-1, 2**40, 2**64 - 1, 2**64, True, np.int64(3), 2.0, "1", None]),
        )
    )
    return (*tables, tolerance, num_threads)


def check_result(out, points):
    assert type(out) is np.ndarray
    assert out.dtype == np.float64 and out.ndim == 2
    assert out.flags.c_contiguous and out.flags.writeable
    assert out.shape[1] == points.shape[1]
    assert type(out.base).__name__ == "PySliceContainer"
    rows_of_points = {row.tobytes() for row in np.ascontiguousarray(points)}
    assert all(row.tobytes() in rows_of_points for row in out)


@settings(
    max_examples=400,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(arguments())
def test_any_input_returns_a_table_or_raises_a_documented_exception(args):
    try:
        out = merge(*args)
    except (TypeError, ValueError, OverflowError) as error:
        assert getattr(error, "__notes__", [""])[0].startswith("while processing '")
        if isinstance(error, ValueError):
            assert str(error) == "tolerance must not be NaN"
        event(type(error).__name__)
    except BaseException as error:
        assert is_panic(error)
        (message,) = error.args
        assert message in KNOWN_FAILURES or message.startswith(POOL_BUILD_FAILURE)
        event(f"PanicException: {message}")
    else:
        check_result(out, args[1])
        event("returned rows" if len(out) else "returned no rows")


def test_the_interpreter_survives_and_still_merges():
    connected = np.array([[0, 1, 1] + [np.nan] * 8])
    points = np.array([[1, 1, 2, 2], [1, 1, 3, 3]], dtype=float)
    info = np.array([[1, 0, 0, 0, 1, 0, 0, 1, 1, 2, 2]], dtype=float)
    np.testing.assert_array_equal(merge(connected, points, info, 0.5, 0), points)


@pytest.mark.parametrize("value", AWKWARD, ids=repr)
def test_one_awkward_value_everywhere(value):
    points = np.full((5, 6), value)
    try:
        out = merge(np.full((3, 11), value), points, np.full((4, 11), value), 0.5, 2)
    except BaseException as error:
        assert is_panic(error)
        assert error.args[0] in KNOWN_FAILURES
    else:
        check_result(out, points)
