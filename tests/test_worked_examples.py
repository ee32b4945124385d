"""The worked examples, with every expected value written out."""

import numpy as np
import pytest
from _native import merge_points_removing_overlap

NAN = np.nan


def whole_call_tables():
    connected = np.array(
        [
            [0, 1, 1, 2, 1] + [NAN] * 6,
            [1, 2, 1, 1, 1] + [NAN] * 6,
        ]
    )
    info = np.array(
        [
            [1, 0, 0, 0, 1, 0, 0, 14, 14, 7, 7],
            [2, 0, 0, 0, 1, 12, 12, 20, 20, 16, 16],
        ],
        dtype=float,
    )
    points = np.array(
        [
            [1, 1, 2, 2],
            [1, 1, 13, 13],
            [1, 1, 13.8, 13.8],
            [1, 1, 14, 14],
            [2, 1, 12.5, 12.5],
        ]
    )
    return connected, points, info


@pytest.mark.parametrize("num_threads", [0, 1, 2, 7])
def test_whole_call_keeps_points_up_to_each_center(num_threads):
    connected, points, info = whole_call_tables()
    out = merge_points_removing_overlap(connected, points, info, 0.5, num_threads)
    expected = np.array([[1, 1, 2, 2], [1, 1, 13, 13], [2, 1, 12.5, 12.5]])
    assert out.dtype == np.float64
    assert out.shape == (3, 4)
    np.testing.assert_array_equal(out, expected)
