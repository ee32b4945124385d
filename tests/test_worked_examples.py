"""The worked examples, with every expected value written out."""

import itertools

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


def survivors(own, conn, tolerance, xy, num_threads=1):
    """Whole call for crop row (1, 1), connected to (2, 1): the (x, y) of its kept points.

    ``own`` and ``conn`` are the six anchor coordinates (P0, P1, P2 and Q0, Q1, Q2).
    """
    connected = np.array([[0, 1, 1, 2, 1] + [NAN] * 6])
    info = np.array([[1, 0, 0, 0, 1, *own], [2, 0, 0, 0, 1, *conn]], dtype=float)
    points = np.array([[1, 1, x, y] for x, y in xy], dtype=float).reshape(len(xy), 4)
    out = merge_points_removing_overlap(connected, points, info, tolerance, num_threads)
    assert out.shape[1] == 4
    return [tuple(row[2:]) for row in out.tolist()]


def anchors_with_center(a, b):
    """Anchor points whose facing ends make center ``a`` and near end ``b``.

    The own row runs from b - 8(a - b) (far point P0) to b (P1); the connected row
    starts at 2a - b (Q0) and runs away to b + 10(a - b) (Q1), so the farthest pair is
    (P0, Q1), the junction midpoint is a, and it already lies on the own row's line.
    """
    (ax, ay), (bx, by) = a, b
    dx, dy = ax - bx, ay - by
    own = (bx - 8 * dx, by - 8 * dy, bx, by, bx, by)
    near = (2 * ax - bx, 2 * ay - by)
    conn = (*near, bx + 10 * dx, by + 10 * dy, *near)
    return own, conn


FILTER_EXAMPLES = [  # id, center A, near end B, tolerance, kept, removed
    ("ax>bx,ay<by", (10, 0), (0, 10), 1, [(9, 1), (-1, 11)], [(5, 5), (NAN, 1)]),
    ("ax<bx,ay>by", (0, 10), (10, 0), 1, [(0, 12), (12, -3)], [(5, 5), (0, NAN)]),
    ("ay=by", (0, 0), (10, 0), 1, [(5, 0), (20, 0), (-5, 5)], [(-5, 0), (20, 5)]),
    ("ax=bx", (0, 0), (0, 10), 1, [(-1, 1), (3, -5), (-1, 11)], [(-2, 2), (1, 11)]),
    ("ax<bx,ay<by", (0, 0), (10, 10), 1, [(1, 1), (11, 11), (-3, -7)], [(1.5, 0), (10.5, 20)]),
    ("ax>bx,ay>by", (10, 10), (0, 0), 1, [(9, 9), (-1, -1)], [(5, 5)]),
    ("d<t", (0, 0), (0.5, 0.5), 1, [(100, -100), (-50, 3), (5, 5)], [(NAN, 0), (0, NAN)]),
    ("d=t", (0, 0), (3, 4), 5, [(5, 5), (8, 9), (0, 0)], [(6, 0), (7, 9), (5, 5.5)]),
]


@pytest.mark.parametrize(
    ("a", "b", "tolerance", "kept", "removed"),
    [e[1:] for e in FILTER_EXAMPLES],
    ids=[e[0] for e in FILTER_EXAMPLES],
)
def test_filter_keeps_points_on_the_far_side_of_the_center(a, b, tolerance, kept, removed):
    """Center a and near end b select the case; the kept points come out in table order."""
    own, conn = anchors_with_center(a, b)
    xy = [p for pair in itertools.zip_longest(removed, kept) for p in pair if p is not None]
    expected = [p for p in xy if p in kept]
    assert survivors(own, conn, tolerance, xy) == expected


# Own anchors P0, P1, P2 and connected anchors Q0, Q1, Q2; tolerance; points and
# whether each is kept.  Comments give the far point F, near end B and center A.
GEOMETRY_EXAMPLES = {
    # Farthest pair (P0, Q1) at 20: F = (0, 0), B = (10, 0), Q0 = (12, 0), A = (11, 0).
    "collinear": (
        (0, 0, 10, 0, 5, 0, 12, 0, 20, 0, 16, 0),
        0.5,
        [(10.5, 0), (12, 0.5), (9.5, 0.5)],
        [(10.4, 0), (12, 0.6), (9.5, 0.4), (5, 0)],
    ),
    # Same with Q0 = (12, 2): midpoint (11, 1) is projected onto the row: A = (11, 0).
    "projected": (
        (0, 0, 10, 0, 5, 0, 12, 2, 20, 0, 16, 0),
        0.5,
        [(10.5, 0), (12, 0.5), (9.5, 0.5)],
        [(10.4, 0), (11, 0.6)],
    ),
    # Farthest pair (P2, Q2): F = P2, B = P0 = (10, 0), Q0 = (12, 0), A = (11, 0).
    "far P2": ((10, 0, 8, 0, 0, 0, 12, 0, 14, 0, 20, 0), 0.5, [(10.5, 0), (8.5, 0.5)], [(10.4, 0)]),
    # Slot naming the row itself: F = P0 = (0, 0), B = P1 = (10, 0), Q0 = (0, 0), A = (5, 0).
    "itself": (
        (0, 0, 10, 0, 5, 0) * 2,
        1,
        [(4, 0), (0, 1), (20, 0)],
        [(3.9, 0), (0, 0.9)],
    ),
    # All anchors coincide: F = B = (5, 5), the center is (NaN, NaN); only the test
    # beyond B can hold: x <= 4 and y >= 6.
    "coincident": ((5,) * 12, 1, [(4, 6), (-3, 70)], [(5, 5), (4.5, 6), (3, 5)]),
    # P0 = P1 with the farthest pair (P0, Q1): F = B = (0, 0), NaN center: x <= -1, y >= 1.
    "P0=P1": ((0, 0, 0, 0, 5, 0, 20, 0, 30, 0, 25, 0), 1, [(-1, 1), (-2, 3)], [(0, 0), (-1, 0.5)]),
}


@pytest.mark.parametrize(
    ("anchors", "tolerance", "kept", "removed"),
    GEOMETRY_EXAMPLES.values(),
    ids=GEOMETRY_EXAMPLES.keys(),
)
@pytest.mark.parametrize("num_threads", [1, 2])
def test_facing_ends_and_center(anchors, tolerance, kept, removed, num_threads):
    """The far point, near ends and projected center decide which points are kept."""
    xy = [*removed, *kept][::-1]
    result = survivors(anchors[:6], anchors[6:], tolerance, xy, num_threads)
    assert result == kept[::-1]


BIG = 2.0**64
BELOW_BIG = 18446744073709549568.0  # the largest double below 2**64

# Crop row ids; point ids, each with whether the point belongs to the crop row.
INTEGER_ID_EXAMPLES = {
    "truncated toward zero": (
        (3.0, 1.9),
        {(3.7, 1.2): True, (3.5, 1.999): True, (3.0, 2.0): False, (2.99, 1.0): False},
    ),
    "NaN and negatives are 0": (
        (-3.0, NAN),
        {(-1.0, -0.5): True, (NAN, NAN): True, (-np.inf, 0.9): True, (0.0, 1.0): False},
    ),
    "2**64 and above are one id": (
        (BIG, 1.0),
        {(1e30, 1.5): True, (np.inf, 1.0): True, (BELOW_BIG, 1.0): False, (1.5e19, 1): False},
    ),
    "huge ids miss small ones": (
        (1.0, 2.0),
        {(2.0**62, 2.0): False, (1.0, 2.0**63): False, (1.5e19, 2.0): False, (1.9, 2.5): True},
    ),
    "2**62 is an id like any": (
        (2.0**62, 1.0),
        {(2.0**62 + 1024, 1.0): False, (2.0**62, 1.5): True},
    ),
}


@pytest.mark.parametrize("info_width", [5, 10, 11, 12])
@pytest.mark.parametrize(
    ("crop_ids", "point_ids"), INTEGER_ID_EXAMPLES.values(), ids=INTEGER_ID_EXAMPLES.keys()
)
def test_points_and_own_row_are_found_by_integer_ids(crop_ids, point_ids, info_width):
    """A row without connected rows keeps its points unfiltered, in table order."""
    connected = np.array([[0.0, *crop_ids, NAN]])
    own = [crop_ids[0], 0, 0, 0, crop_ids[1]] + [0.0] * (info_width - 5)
    info = np.array([[7.0, 0, 0, 0, 7] + [0.0] * (info_width - 5), own])
    points = np.array([[*ids, NAN, -0.0, k] for k, ids in enumerate(point_ids)])
    out = merge_points_removing_overlap(connected, points, info, 0.5, 1)
    expected = [k for k, ids in enumerate(point_ids) if point_ids[ids]]
    assert out[:, 4].tolist() == expected
    assert np.array_equal(out, points[expected], equal_nan=True)
    assert np.signbit(out[:, 3]).all()


@pytest.mark.parametrize(
    ("crop_ids", "point_ids"), INTEGER_ID_EXAMPLES.values(), ids=INTEGER_ID_EXAMPLES.keys()
)
def test_points_out_of_order_are_found_by_integer_ids(crop_ids, point_ids):
    """The same, with points looked up one by one: a second crop row's point comes
    between the crop row's own."""
    other = (5.0, 5.0)
    connected = np.array([[0.0, *crop_ids, NAN], [1.0, *other, NAN]])
    info = np.array([[ids[0], 0, 0, 0, ids[1]] + [0.0] * 6 for ids in (crop_ids, other)])
    ids = [crop_ids, other, *point_ids]
    points = np.array([[*pair, 0.0, 0.0, k] for k, pair in enumerate(ids)])
    out = merge_points_removing_overlap(connected, points, info, 0.5, 1)
    own = [k + 2 for k, pair in enumerate(point_ids) if point_ids[pair]]
    assert out[:, 4].tolist() == [0, *own, 1]


OWN = (0, 0, 10, 0, 5, 0)
NEAR = (12, 0, 20, 0, 16, 0)  # center (11, 0): (10.5, 0) is kept
FAR = (30, 0, 40, 0, 35, 0)  # center (20, 0): (10.5, 0) is removed
OTHER = (100, 100, 200, 200, 150, 150)

# The crop row (1, 1) with one slot; row_information below its own row; the kept x.
CONNECTED_LOOKUP_EXAMPLES = {
    "exact float ids, not integer ids": ((3.5, 1), [(3, 1, FAR), (3.5, 1, NEAR)], [10.5, 19.5]),
    "the upper of two equal rows": ((2, 1), [(2, 1, NEAR), (2, 1, FAR)], [10.5, 19.5]),
    "the upper of two equal rows, reversed": ((2, 1), [(2, 1, FAR), (2, 1, NEAR)], [19.5]),
    "-0.0 equals 0.0": ((-0.0, 1), [(0.0, 1, NEAR)], [10.5, 19.5]),
    "0.0 equals -0.0": ((0.0, 1), [(-0.0, 1, NEAR)], [10.5, 19.5]),
}


@pytest.mark.parametrize(
    ("slot", "rows", "kept"),
    CONNECTED_LOOKUP_EXAMPLES.values(),
    ids=CONNECTED_LOOKUP_EXAMPLES.keys(),
)
def test_connected_row_is_found_by_exact_float_ids(slot, rows, kept):
    """The slot's ids are compared exactly; the first matching row from the top is used."""
    connected = np.array([[0, 1, 1, *slot] + [NAN] * 6])
    info = np.array(
        [[1, 0, 0, 0, 1, *OWN], [1.5, 0, 0, 0, 1.2, *OTHER]]
        + [[a, 0, 0, 0, b, *anchors] for a, b, anchors in rows]
    )
    points = np.array([[1, 1, 10.5, 0], [1, 1, 19.5, 0]])
    out = merge_points_removing_overlap(connected, points, info, 0.5, 1)
    assert out[:, 2].tolist() == kept


@pytest.mark.parametrize("width", [11, 12])
def test_up_to_four_connected_rows_are_applied_in_turn(width):
    """Four slots filter one after another; columns past the fourth slot are not read."""
    centers = [11, 12, 13, 14]
    connected = np.array([[0, 1, 1, 2, 1, 3, 1, 4, 1, 5, 1, 6.5][:width]], dtype=float)
    info = [[1, 0, 0, 0, 1, *OWN]]
    for k, c in enumerate(centers):
        q0 = 2 * c - 10  # near end (10, 0) and connected near end (q0, 0) meet at (c, 0)
        info.append([k + 2, 0, 0, 0, 1, q0, 0, q0 + 8, 0, q0 + 4, 0])
    xs = [10.4, 14, 10.5, 11.5, 13.5, 12.5]
    points = np.array([[1, 1, x, 0] for x in xs])
    out = merge_points_removing_overlap(connected, points, np.array(info, dtype=float), 0.5, 1)
    assert out[:, 2].tolist() == [14, 13.5]
