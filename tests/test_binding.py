"""The module's surface, argument binding and conversion, and the failure type."""

import inspect
import os
import subprocess
import sys

import _native
import numpy as np
import pytest
from _native import merge_points_removing_overlap as merge
from engine_failures import NONE, SHAPE, is_panic

NAME = "merge_points_removing_overlap"
PARAMS = ["connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads"]
NAN = np.nan

CONNECTED = np.array([[0, 1, 1, 2, 1] + [NAN] * 6, [0, 2, 1, 1, 1] + [NAN] * 6])
POINTS = np.array([[1, 1, 2, 0], [1, 1, 10.6, 0], [1, 1, 9.4, 0.6], [2, 1, 11.4, 0]])
INFO = np.array(
    [[1, 0, 0, 0, 1, 0, 0, 10, 0, 5, 0], [2, 0, 0, 0, 1, 12, 0, 20, 0, 16, 0]], dtype=float
)
ARGS = (CONNECTED, POINTS, INFO, 0.5, 1)


def test_module_surface():
    assert _native.__all__ == [NAME]
    assert _native.__doc__ == ""
    assert {n for n in vars(_native) if not n.startswith("__")} == {NAME}
    assert merge.__name__ == NAME
    assert merge.__doc__ is None
    assert merge.__text_signature__ == "(" + ", ".join(PARAMS) + ")"
    assert merge.__self__ is _native
    assert merge.__module__ == "_native"
    params = inspect.signature(merge).parameters
    assert list(params) == PARAMS
    assert {p.kind for p in params.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert all(p.default is inspect.Parameter.empty for p in params.values())


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((), dict(zip(PARAMS, ARGS, strict=True))),
        ((), dict(reversed(list(zip(PARAMS, ARGS, strict=True))))),
        (ARGS[:2], {"num_threads": 1, "row_information": INFO, "tolerance": 0.5}),
        (ARGS[:4], {"num_threads": 1}),
    ],
)
def test_keywords_in_any_order(args, kwargs):
    assert np.array_equal(merge(*args, **kwargs), merge(*ARGS))


MISSING = "missing {} required positional argument"
BINDING_ERRORS = [  # args, kwargs, message after "merge_points_removing_overlap() "
    ((*ARGS, 6), {}, "takes 5 positional arguments but 6 were given"),
    ((*ARGS, 6, 7), {"bad": 1}, "takes 5 positional arguments but 7 were given"),
    (ARGS, {"bad": 1}, "got an unexpected keyword argument 'bad'"),
    (
        ARGS[:2],
        {"Tolerance": 1, "num_threads": 1},
        "got an unexpected keyword argument 'Tolerance'",
    ),
    (ARGS[:2], {"bad": 1}, "got an unexpected keyword argument 'bad'"),
    (ARGS, {"tolerance": 2}, "got multiple values for argument 'tolerance'"),
    (
        ARGS[:3],
        {"connected_crop_rows": 1},
        "got multiple values for argument 'connected_crop_rows'",
    ),
    (ARGS[:4], {}, MISSING.format(1) + ": 'num_threads'"),
    (ARGS[:3], {}, MISSING.format(2) + "s: 'tolerance' and 'num_threads'"),
    (
        ARGS[:1],
        {"tolerance": 1},
        MISSING.format(3) + "s: 'points_in_rows', 'row_information', and 'num_threads'",
    ),
    (([1], "x"), {}, MISSING.format(3) + "s: 'row_information', 'tolerance', and 'num_threads'"),
    (
        (),
        {},
        MISSING.format(5) + "s: 'connected_crop_rows', 'points_in_rows', 'row_information', "
        "'tolerance', and 'num_threads'",
    ),
]


@pytest.mark.parametrize(("args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_errors_come_before_conversion(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        merge(*args, **kwargs)
    assert str(raised.value) == f"{NAME}() {message}"
    assert not getattr(raised.value, "__notes__", None)


def replaced(**changes):
    return {**dict(zip(PARAMS, ARGS, strict=True)), **changes}


class Matrix(np.ndarray):
    pass


class Number:
    """A number known only through one conversion method, which may raise."""

    def __init__(self, value):
        self.value = value

    def convert(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class AsFloat(Number):
    __float__ = Number.convert


class AsIndex(Number):
    __index__ = Number.convert


def not_ndarray(type_name):
    return f"'{type_name}' object is not an instance of 'ndarray'"


CONVERSION_ERRORS = [
    ("connected_crop_rows", [[1.0] * 11], TypeError, not_ndarray("list")),
    ("connected_crop_rows", None, TypeError, "'None' is not an instance of 'ndarray'"),
    ("connected_crop_rows", 3.0, TypeError, not_ndarray("float")),
    ("points_in_rows", POINTS.astype(np.float32), TypeError, not_ndarray("ndarray")),
    ("points_in_rows", POINTS.ravel(), TypeError, not_ndarray("ndarray")),
    ("row_information", INFO[None], TypeError, not_ndarray("ndarray")),
    ("row_information", INFO.astype(np.int64), TypeError, not_ndarray("ndarray")),
    ("row_information", INFO.astype(">f8"), TypeError, not_ndarray("ndarray")),
    ("row_information", INFO.astype(np.complex128), TypeError, not_ndarray("ndarray")),
    ("row_information", INFO.astype(object), TypeError, not_ndarray("ndarray")),
    ("row_information", np.zeros(3).view(Matrix), TypeError, not_ndarray("Matrix")),
    ("row_information", np.float64(1.0), TypeError, not_ndarray("float64")),
    ("tolerance", "0.5", TypeError, None),
    ("tolerance", None, TypeError, None),
    ("tolerance", 10**400, OverflowError, None),
    ("tolerance", NAN, ValueError, "tolerance must not be NaN"),
    ("tolerance", -NAN, ValueError, "tolerance must not be NaN"),
    ("tolerance", np.float32("nan"), ValueError, "tolerance must not be NaN"),
    ("tolerance", AsFloat(NAN), ValueError, "tolerance must not be NaN"),
    ("tolerance", AsFloat(KeyError("k")), KeyError, "'k'"),
    ("num_threads", AsIndex(KeyError("k")), KeyError, "'k'"),
    ("num_threads", 2.0, TypeError, None),
    ("num_threads", "1", TypeError, None),
    ("num_threads", -1, OverflowError, None),
    ("num_threads", 2**64, OverflowError, None),
    ("num_threads", np.int64(-1), OverflowError, None),
]


@pytest.mark.parametrize(("name", "value", "error", "message"), CONVERSION_ERRORS)
def test_conversion_errors_carry_a_note(name, value, error, message):
    with pytest.raises(error) as raised:
        merge(**replaced(**{name: value}))
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert raised.value.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize(
    ("changes", "name"),
    [
        ({"connected_crop_rows": [1], "points_in_rows": None, "tolerance": "x"}, PARAMS[0]),
        ({"points_in_rows": POINTS[0], "row_information": 1, "num_threads": -1}, PARAMS[1]),
        ({"row_information": INFO.T[None], "tolerance": NAN, "num_threads": 2.0}, PARAMS[2]),
        ({"tolerance": NAN, "num_threads": 2.0}, PARAMS[3]),
    ],
)
def test_only_the_first_wrong_argument_is_reported(changes, name):
    with pytest.raises((TypeError, ValueError)) as info:
        merge(**replaced(**changes))
    assert info.value.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize(
    "tolerance", [1, True, np.float32(1.0), np.float64(1.0), AsFloat(1.0), AsIndex(1)]
)
def test_tolerance_accepts_what_float_conversion_accepts(tolerance):
    """Row (1, 1) keeps (9.4, 0.6) only below a tolerance of 0.6."""
    out = merge(**replaced(tolerance=tolerance))
    assert out[:, 2].tolist() == [10.6, 11.4]
    assert np.array_equal(out, merge(**replaced(tolerance=1.0)))
    assert merge(*ARGS)[:, 2].tolist() == [10.6, 9.4, 11.4]


@pytest.mark.parametrize(
    "num_threads", [True, False, np.int64(3), np.uint8(2), AsIndex(3), 2**40, 2**64 - 1]
)
def test_num_threads_accepts_any_index_in_range(num_threads):
    assert np.array_equal(merge(**replaced(num_threads=num_threads)), merge(*ARGS))


def test_panic_exception_type():
    """Engine failures raise pyo3_runtime.PanicException, which `except Exception` misses."""
    caught = []
    for table, num_threads in ((INFO[:, :10], 1), (INFO[:1], 2)):
        try:
            try:
                merge(CONNECTED, POINTS, table, 0.5, num_threads)
            except Exception:
                caught.append(None)
        except BaseException as exc:
            caught.append(exc)
    shape_error, missing_row = caught
    assert type(missing_row) is type(shape_error)
    assert type(shape_error).__bases__ == (BaseException,)
    assert is_panic(shape_error, SHAPE)
    assert is_panic(missing_row, NONE)


SCRIPT = """
import numpy as np, sys
from _native import merge_points_removing_overlap
args = np.load(sys.argv[1], allow_pickle=False)
out = merge_points_removing_overlap(args["c"], args["p"], args["i"], 0.5, int(sys.argv[2]))
sys.stdout.write(out.tobytes().hex())
"""


@pytest.mark.parametrize(
    ("value", "num_threads"),
    [("1", 0), ("3", 0), ("64", 0), ("0", 0), ("-2", 0), ("many", 0), ("1", 2)],
)
def test_pool_size_from_environment_changes_nothing(tmp_path, value, num_threads):
    """RAYON_NUM_THREADS may change the pool size for 0, never the result."""
    rows = 400
    connected = np.tile(CONNECTED, (rows, 1))
    path = tmp_path / "args.npz"
    np.savez(path, c=connected, p=POINTS, i=INFO)
    env = {**os.environ, "RAYON_NUM_THREADS": value}
    result = subprocess.run(
        [sys.executable, "-c", SCRIPT, str(path), str(num_threads)],
        env=env,
        capture_output=True,
        text=True,
        check=True,
        timeout=60,
    )
    expected = merge(connected, POINTS, INFO, 0.5, 1)
    assert result.stdout == expected.tobytes().hex()
