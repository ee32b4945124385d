"""The benchmark's NumPy implementation returns exactly the module's rows.

The benchmark compares the module with it, so it must stay a faithful alternative. Besides
plain synthetic fields, ids are made wide (past 32 bits, so no table of id pairs fits),
crop rows made more than 2**16 (two radix passes), points given fractional ids, ids of no
crop row and NaN coordinates, and some crop rows two coincident anchors (a NaN center).
"""

import numpy as np
import pytest
from _native import merge_points_removing_overlap
from cropmerge.synthetic import make_field
from numpy_reference import merge_points_numpy


def _tables(crop_rows, points, seed, shuffle, id_offset, odd):
    field = make_field(crop_rows, points, seed=seed, shuffle=shuffle)
    connected = field.connected_crop_rows.copy()
    points_in_rows = field.points_in_rows.copy()
    info = field.row_information.copy()
    connected[:, 1:] += id_offset  # NaN slots stay NaN
    points_in_rows[:, :2] += id_offset
    info[:, [0, 4]] += id_offset
    if odd:
        points_in_rows[::7, 0] += 0.75  # the same integer id
        points_in_rows[::11, 1] = -3.0  # id 0: no crop row
        points_in_rows[::13, 2] = np.nan
        info[::9, 7:9] = info[::9, 5:7]  # anchor 1 on anchor 0
    return (connected, points_in_rows, info), field.default_tolerance


@pytest.mark.parametrize(
    ("crop_rows", "points", "id_offset", "odd"),
    [
        (300, 20_000, 0.0, False),
        (300, 20_000, 0.0, True),
        (300, 20_000, 2.0**40, True),
        (70_000, 140_000, 0.0, True),
    ],
    ids=["plain", "odd", "odd wide ids", "odd many crop rows"],
)
@pytest.mark.parametrize("shuffle", [False, True], ids=["grouped", "shuffled"])
# The rows of seed 4 rise to the right and those of seed 5 fall, so that between them every
# case of the filter occurs.
@pytest.mark.parametrize("seed", [4, 5], ids=["rising", "falling"])
@pytest.mark.parametrize("tolerance_scale", [1.0, 0.0, 40.0])
def test_numpy_reference_matches_module(
    crop_rows, points, id_offset, odd, shuffle, seed, tolerance_scale
):
    tables, tolerance = _tables(crop_rows, points, seed, shuffle, id_offset, odd)
    tolerance *= tolerance_scale
    expected = merge_points_removing_overlap(*tables, tolerance, 1)
    out = merge_points_numpy(*tables, tolerance)
    assert out.dtype == np.float64
    assert out.shape == expected.shape
    np.testing.assert_array_equal(out, expected)
