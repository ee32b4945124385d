"""The benchmark's Numba implementation returns exactly the module's rows in every order.

The benchmark checks it on its own fields in every run; this catches a broken contender
before a long run does. Skipped where Numba is not installed (it comes with `make bench`).
"""

import importlib
import sys
from pathlib import Path

import numpy as np
import pytest
from _native import merge_points_removing_overlap
from cropmerge.synthetic import make_field

pytest.importorskip("numba")
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
numba_reference = importlib.import_module("numba_reference")
orders = importlib.import_module("orders")


@pytest.mark.parametrize("order", list(orders.ORDERS))
@pytest.mark.parametrize("threads", [1, 2])
# The rows of seed 4 rise to the right and those of seed 5 fall.
@pytest.mark.parametrize("seed", [4, 5])
def test_numba_reference_matches_module(order, threads, seed):
    import numba

    field = make_field(300, 20_000, seed=seed)
    points = orders.reorder(field.points_in_rows, order, seed)
    tables = (field.connected_crop_rows, points, field.row_information)
    expected = merge_points_removing_overlap(*tables, field.default_tolerance, 1)
    numba.set_num_threads(min(threads, numba.config.NUMBA_NUM_THREADS))
    out = numba_reference.merge_points_numba(*tables, field.default_tolerance)
    np.testing.assert_array_equal(out, expected)


def test_numba_reference_refuses_crop_rows_sharing_ids():
    field = make_field(50, 2_000)
    connected = field.connected_crop_rows.copy()
    connected[1, 1:3] = connected[0, 1:3]
    with pytest.raises(ValueError, match="one id pair"):
        numba_reference.merge_points_numba(
            connected, field.points_in_rows, field.row_information, field.default_tolerance
        )
