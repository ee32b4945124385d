"""cropmerge.merge: what it accepts, what it refuses before the merge, and how failures reach
the caller."""

import importlib
import importlib.metadata
import re
import sys

import cropmerge
import numpy as np
import pytest
from _native import merge_points_removing_overlap
from cropmerge.tables import as_table
from engine_failures import FAILURES, NONE, NOT_FAILURES, RI, is_panic, linked
from fields import make_field, two_piece_row

FIELD = make_field(40, 12, seed=1)


def test_package_surface():
    assert cropmerge.__version__ == importlib.metadata.version("cropmerge")
    assert issubclass(cropmerge.FieldError, ValueError)
    assert issubclass(cropmerge.MergeError, Exception)
    assert all(hasattr(cropmerge, name) for name in cropmerge.__all__)


@pytest.mark.parametrize(
    ("module", "missing", "hint"),
    [
        ("cropmerge.batch", "dask", "pip install 'dask[distributed]>="),
        ("cropmerge.plot", "matplotlib.axes", "pip install 'matplotlib>="),
    ],
)
def test_a_module_without_its_extra_names_what_to_install(monkeypatch, module, missing, hint):
    """By the names PyPI knows them by: there, cropmerge is another project."""
    monkeypatch.delitem(sys.modules, module, raising=False)
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ImportError, match=re.escape(hint)):
        importlib.import_module(module)


@pytest.mark.parametrize(
    "convert",
    [
        lambda a: a.astype(np.float32).astype(np.float64),  # the reference for float32 input
        lambda a: np.asfortranarray(a),
        lambda a: a.astype(">f8"),
        lambda a: a.tolist(),
    ],
    ids=["float32", "fortran order", "big-endian", "lists"],
)
def test_array_likes_give_the_result_of_float64_tables(convert):
    exact = [convert(table) for table in FIELD]
    expected = merge_points_removing_overlap(
        *[np.asarray(t, dtype=np.float64) for t in exact], 0.3, 1
    )
    np.testing.assert_array_equal(cropmerge.merge(*exact, 0.3, num_threads=1), expected)


def test_float32_and_integer_tables_are_accepted():
    connected, points, info = two_piece_row()
    want = cropmerge.merge(connected, points, info, 0.05)
    got = cropmerge.merge(connected.astype(np.float32), points, info.astype(np.float32), 0.05)
    assert got.dtype == np.float64 and len(got) == len(want)
    points[:, 2:] *= 10
    info[:, 5:] *= 10
    whole = np.round(points).astype(np.int64), np.round(info).astype(np.int64)
    got = cropmerge.merge(connected, *whole, 0.5)
    np.testing.assert_array_equal(got, cropmerge.merge(connected, *map(np.float64, whole), 0.5))
    assert len(got) == len(want)


@pytest.mark.parametrize(
    ("values", "rounded"),
    [
        (np.array([[1, 2**60, -(2**62)]], np.int64), None),  # large, but exact in float64
        (np.array([[1, 2**53 + 1, 7]], np.int64), "9007199254740993 at index (0, 1)"),
        (np.array([[2**64 - 1]], np.uint64), "18446744073709551615 at index (0, 0)"),
        ([[1.5, 2**53 + 1], [2.0**60, 3]], "9007199254740993 at index (0, 1)"),  # floats beside
        ([[1.5, 2**60], [2.0**60 + 1, 3]], None),  # a float as the user wrote it
        ([[np.inf, 2**60], [-np.inf, 3]], None),
        (memoryview(np.array([[np.inf, 2.0**60]])), None),
    ],
    ids=[
        "exact",
        "rounded",
        "rounded past the top",
        "rounded in lists",
        "exact in lists",
        "infinities in lists",
        "a buffer",
    ],
)
def test_integers_that_float64_would_round_are_refused(values, rounded):
    if rounded is None:
        assert as_table("points_in_rows", values).tolist() == np.asarray(values, float).tolist()
        return
    with pytest.raises(cropmerge.FieldError, match=re.escape(f"such as {rounded}: the merge")):
        as_table("points_in_rows", values)


class NullableFrame:
    """What pandas' nullable and pyarrow columns give NumPy: objects, and float64 when
    asked for it."""

    def __array__(self, dtype=None, copy=None):
        return np.array([[1.0, None]], dtype=object)

    def to_numpy(self, dtype, na_value):
        return np.array([[1.0, na_value]], dtype=dtype)


def test_nullable_frames_are_read_as_float64_with_nan():
    np.testing.assert_array_equal(as_table("points_in_rows", NullableFrame()), [[1.0, np.nan]])


def test_float64_tables_are_not_copied():
    table = FIELD[1]
    assert as_table("points_in_rows", table) is table


@pytest.mark.parametrize(
    "values",
    [
        np.ones((2, 4), complex),
        [["a", "b"]],
        np.array([[None]]),
        [[1, 2], [3]],
        np.ma.masked_array(np.ones((2, 4)), mask=np.eye(2, 4)),
    ],
)
def test_tables_that_are_not_real_numbers(values):
    pattern = r"^points_in_rows (must hold|is not a table|has 2 masked values: the merge would)"
    with pytest.raises(cropmerge.FieldError, match=pattern):
        cropmerge.merge(FIELD[0], values, FIELD[2], 0.5)


@pytest.mark.parametrize(
    ("tolerance", "num_threads", "error", "message"),
    [
        ("0.5", 0, TypeError, "tolerance must be a number, got str"),
        (None, 0, TypeError, "tolerance must be a number, got NoneType"),
        (0.5, -1, OverflowError, "num_threads must be 0 or more, got -1"),
        (0.5, np.int64(-2), OverflowError, "num_threads must be 0 or more, got -2"),
        (0.5, 2**70, OverflowError, f"num_threads must be below 2\\*\\*64, got {2**70}"),
    ],
)
def test_wrong_scalars_are_named(tolerance, num_threads, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        cropmerge.merge(*FIELD, tolerance, num_threads)


@pytest.mark.parametrize(
    ("connected", "points", "info", "message"),
    [f[1:] for f in FAILURES],
    ids=[f[0] for f in FAILURES],
)
def test_every_engine_failure_is_caught_first(connected, points, info, message):
    with pytest.raises(cropmerge.FieldError) as raised:
        cropmerge.merge(connected, points, info, 0.5)
    assert str(raised.value).startswith(
        ("connected_crop_rows", "points_in_rows", "row_information")
    )
    with pytest.raises(cropmerge.MergeError) as unchecked:
        cropmerge.merge(connected, points, info, 0.5, check=False)
    assert unchecked.value.message == message == str(unchecked.value)
    assert is_panic(unchecked.value.__cause__, message)


@pytest.mark.parametrize(
    ("connected", "points", "info", "shape"),
    [f[1:] for f in NOT_FAILURES[1:]],  # the first has points without a second id
    ids=[f[0] for f in NOT_FAILURES[1:]],
)
def test_narrow_tables_that_merge_pass_the_checks(connected, points, info, shape):
    assert cropmerge.merge(connected, points, info, 0.5).shape == shape
    cropmerge.check_field(connected, points, info, 0.5)  # no FieldError either


def field_with(table, change):
    tables = [t.copy() for t in two_piece_row()]
    index = ("connected", "points", "info").index(table)
    tables[index] = change(tables[index])
    return tables


@pytest.mark.parametrize(
    ("table", "change", "message"),
    [
        ("info", lambda t: t[:, :10], "row_information has 10 columns, expected 11"),
        ("points", lambda t: t[:, :3], "points_in_rows has 3 columns, expected at least 4"),
        ("points", lambda t: t[:, :1], "points_in_rows has 1 column, expected at least 4"),
        ("connected", lambda t: t[:, :5], "connected_crop_rows has 5 columns, expected 11: row 0"),
        ("points", lambda t: t[:, 0], "points_in_rows must be a 2-D table, got an array of shape"),
        (
            "info",
            lambda t: t[:1],
            "row_information has no row for 2 id pairs that connected_crop_rows names: "
            "(1, 2) in columns 3-4 of row 0; (1, 2) in columns 1-2 of row 1",
        ),
        (
            "connected",
            lambda t: np.vstack([t] + [[0, 7, k, 1, k + 0.5, *[np.nan] * 6] for k in range(4)]),
            "row_information has no row for 8 id pairs that connected_crop_rows names: "
            "(7, 0) in columns 1-2 of row 2; (1, 0.5) in columns 3-4 of row 2; (7, 1) in "
            "columns 1-2 of row 3; (1, 1.5) in columns 3-4 of row 3; (7, 2) in columns 1-2 of "
            "row 4; ...",
        ),
        (
            "connected",
            lambda t: np.hstack([t[:, :5], np.zeros((len(t), 6))]),
            "row_information has no row for 6 id pairs that connected_crop_rows names: (0, 0) in "
            "columns 5-6 of row 0; (0, 0) in columns 7-8 of row 0; (0, 0) in columns 9-10 of row "
            "0; (0, 0) in columns 5-6 of row 1; (0, 0) in columns 7-8 of row 1; ... (a crop "
            "row's unused connections must hold NaN, not 0)",
        ),
    ],
    ids=[
        "info width",
        "points width",
        "one column",
        "connected width",
        "1-D",
        "missing",
        "first five",
        "zeros for NaN",
    ],
)
def test_field_errors_name_the_table_and_what_is_wrong(table, change, message):
    with pytest.raises(
        cropmerge.FieldError, match="^" + message.replace("(", r"\(").replace(")", r"\)")
    ):
        cropmerge.merge(*field_with(table, change), 0.05)


def test_no_zeros_for_nan_hint_where_a_crop_row_is_0_0():
    def with_crop_row_0_0(connected):
        listing_it = [0, 5, 5, 0, 0, *[np.nan] * 6]
        return np.vstack([connected, [0, 0, 0, *[np.nan] * 8], listing_it])

    with pytest.raises(cropmerge.FieldError) as raised:
        cropmerge.merge(*field_with("connected", with_crop_row_0_0), 0.05)
    assert "(0, 0) in columns 3-4 of row 3" in str(raised.value)
    assert "NaN, not 0" not in str(raised.value)


def test_merge_error_is_an_exception_with_the_engine_message():
    try:
        cropmerge.merge(linked((9, 9)), np.empty((0, 4)), RI, 0.5, check=False)
    except Exception as error:
        assert isinstance(error, cropmerge.MergeError) and error.message == NONE
    else:
        pytest.fail("no MergeError")
