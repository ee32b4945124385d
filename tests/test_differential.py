"""The module against the literal model in ``model.py`` on small random tables.

Ids come from a tiny pool and anchors from small integers, so that lookups succeed,
ties and coincident anchors are frequent and most examples reach the geometry; odd
ids (fractional, negative, NaN, huge), narrow tables and special floats are mixed in.
"""

import math

import cropmerge
import fields
import model
import numpy as np
import pytest
from _native import merge_points_removing_overlap
from engine_failures import is_panic
from hypothesis import HealthCheck, given, note, settings
from hypothesis import strategies as st

NAN, INF = math.nan, math.inf

IDS = [0.0, 1.0, 2.0] * 4 + [-0.0, 1.5, 2.7, -1.0, -0.5, NAN, 2.0**64, 1e30]
FRACTIONS = [0.0] * 6 + [0.25, 0.999, -1.5]
SMALL = [float(v) for v in range(-3, 4)]
SPECIAL = [0.5, -0.0, NAN, INF, -INF, 1e300]
COORDS = st.sampled_from(SMALL * 8 + SPECIAL)
ROUGH_COORDS = st.floats(-50, 50) | st.sampled_from(SMALL)
TOLERANCES = st.sampled_from([0.0, 0.5, 1.0, 2.0, 3.0, -1.0, INF, -INF, 5e-324, 1e-9])
THREADS = st.sampled_from([1, 2, 0])


def _fit(row, width, filler):
    return row[:width] + [filler] * (width - len(row))


def _often(draw, usual, rare, one_in=8):
    return draw(rare if draw(st.integers(0, one_in - 1)) == 0 else usual)


@st.composite
def tables(draw, coords=COORDS, wild_ok=True):
    """(connected_crop_rows, points_in_rows, row_information) with related ids.

    One example in two is "wild": odd ids and any table width; the others use ids
    0, 1, 2 and the usual widths, and almost always reach the filter.
    """
    wild = wild_ok and draw(st.booleans())
    ident = st.sampled_from(IDS if wild else [0.0, 1.0, 2.0])
    pair = st.tuples(ident, ident)
    any_width = st.sampled_from(range(13))
    info_cols = _often(draw, st.just(11), any_width, 2) if wild else 11
    conn_cols = (
        _often(draw, st.just(11), st.sampled_from([4, 10, 12, *range(13)]), 2) if wild else 11
    )
    point_cols = _often(draw, st.sampled_from([4, 5]), st.sampled_from(range(7)), 2) if wild else 4

    info_pairs = draw(st.lists(pair, min_size=0 if wild else 1, max_size=4))
    info = []
    for a, b in info_pairs:
        row = [a, draw(coords), 9.0, -9.0, b] + [draw(coords) for _ in range(6)]
        info.append(_fit(row, info_cols, draw(coords)))

    frac = st.sampled_from(FRACTIONS if wild else [0.0])
    rare_frac = st.sampled_from([0.0] * 15 + [0.5] if wild else [0.0])
    known = st.sampled_from(info_pairs) if info_pairs else pair

    def nudged(ids, by=frac):
        return [v + draw(by) for v in ids]

    connected = []
    own_pairs = []
    for _ in range(draw(st.integers(0 if wild else 1, 4))):
        own = _often(draw, known, pair, 32)
        own_pairs.append(own)
        row = [draw(coords), *nudged(own)]
        for _ in range(draw(st.integers(0, 4))):
            row.extend(nudged(_often(draw, known, pair, 64), rare_frac))
        if len(row) < 11:
            row.append(NAN)
        while len(row) < 11:
            row.append(draw(coords))
        connected.append(_fit(row, conn_cols, draw(coords)))
    if conn_cols >= 3 and info_cols >= 5 and draw(st.integers(0, 2)) == 0:
        # Each crop row's information at its own index, the usual layout; nudged
        # ids keep the integer pair but may change the float one.
        info = [
            _fit(
                [row[1] + draw(frac), draw(coords), 9.0, -9.0, row[2] + draw(frac)]
                + [draw(coords) for _ in range(6)],
                info_cols,
                draw(coords),
            )
            for row in connected
        ]

    owner = st.sampled_from(own_pairs) if own_pairs else pair
    points = []
    for _ in range(draw(st.integers(0 if wild else 2, 8))):
        a, b = _often(draw, owner, pair, 4)
        row = [*nudged((a, b)), draw(coords), draw(coords), draw(coords), 7.0]
        points.append(_fit(row, point_cols, draw(coords)))

    def as_table(rows, width):
        return np.array(rows, dtype=np.float64).reshape(len(rows), width)

    return (
        as_table(connected, conn_cols),
        as_table(points, point_cols),
        as_table(info, info_cols),
    )


def call_native(tables_, tolerance, num_threads):
    try:
        out = merge_points_removing_overlap(*tables_, tolerance, num_threads)
    except BaseException as exc:
        if not is_panic(exc):
            raise
        return "fail", str(exc)
    return "ok", out


def check_against_model(tables_, tolerance, num_threads):
    connected, points, info = tables_
    note(f"connected={connected.tolist()}")
    note(f"points={points.tolist()}")
    note(f"info={info.tolist()}")
    expected_kind, expected = model.merge(connected, points, info, tolerance)
    kind, actual = call_native(tables_, tolerance, num_threads)
    assert kind == expected_kind, (kind, actual, expected)
    if kind == "fail":
        assert actual == expected
        return
    want = np.array(expected, dtype=np.float64).reshape(len(expected), points.shape[1])
    assert actual.shape == want.shape
    assert np.array_equal(actual, want, equal_nan=True)
    assert np.array_equal(np.signbit(actual), np.signbit(want))


SETTINGS = settings(
    max_examples=600,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@SETTINGS
@given(tables(), TOLERANCES, THREADS)
def test_matches_model_on_small_tables(tables_, tolerance, num_threads):
    """Rows, order and failure messages equal the scanning model's, narrow tables included."""
    check_against_model(tables_, tolerance, num_threads)


@settings(SETTINGS, max_examples=300)
@given(tables(coords=ROUGH_COORDS, wild_ok=False), st.floats(0, 20) | TOLERANCES, THREADS)
def test_matches_model_bit_for_bit_on_unrounded_coordinates(tables_, tolerance, num_threads):
    """Arbitrary doubles: every rounding step of the search, projection and bounds agrees."""
    check_against_model(tables_, tolerance, num_threads)


ANCHOR = st.floats(-1e3, 1e3) | st.sampled_from(SMALL)


@settings(SETTINGS, max_examples=300)
@given(
    st.lists(ANCHOR, min_size=12, max_size=12),
    st.floats(0, 10) | st.sampled_from([0.0, 1.0, 1e-300]),
    THREADS,
)
def test_matches_model_on_points_placed_at_the_filter_bounds(anchors, tolerance, num_threads):
    """Points on, and one step either side of, every bound keep or lose exactly as modelled."""
    own = [1.0, *anchors[:6]]
    conn = [1.0, *anchors[6:]]
    far, near, conn_near = model.facing_ends(own, conn)
    a = model.center_of(far, near, conn_near)
    xs, ys = [], []
    for axis, values in ((0, xs), (1, ys)):
        for base in (a[axis], near[axis]):
            for bound in (base + tolerance, base - tolerance):
                values += [bound, math.nextafter(bound, -INF), math.nextafter(bound, INF)]
    points = [[1.0, 1.0, x, y] for x in xs for y in ys]
    tables_ = (
        np.array([[0.0, 1, 1, 2, 1] + [NAN] * 6, [0.0, 2, 1] + [NAN] * 8]),
        np.array(points).reshape(len(points), 4),
        np.array([[1.0, 0, 0, 0, *own], [2.0, 0, 0, 0, *conn]]),
    )
    check_against_model(tables_, tolerance, num_threads)


@pytest.mark.parametrize(("seed", "first_ids_from"), [(0, 0), (1, 0), (2, 10**9)])
def test_many_rows_come_out_in_row_order_for_every_pool_size(seed, first_ids_from):
    """Hundreds of uneven rows: every worker count gives the one-worker order."""
    rng = np.random.default_rng(seed)
    pairs = [(float(first_ids_from + a), float(b)) for a in range(12) for b in range(3)]
    info = [[a, 0, 0, 0, b, *rng.integers(-20, 20, 6)] for a, b in pairs]
    connected = []
    for _ in range(160):
        own = pairs[rng.integers(len(pairs))]
        slots = [pairs[k] for k in rng.integers(len(pairs), size=rng.integers(0, 5))]
        row = [0.0, *own, *(v for slot in slots for v in slot)] + [NAN] * 8
        connected.append(row[:11])
    owners = rng.integers(len(pairs), size=700)
    points = [[*pairs[k], *rng.integers(-20, 20, 2), float(i)] for i, k in enumerate(owners)]
    tables_ = (np.array(connected), np.array(points, dtype=float), np.array(info, dtype=float))
    kind, expected = model.merge(*tables_, 1.0)
    assert kind == "ok"
    assert len(expected) > 100
    for num_threads in (1, 2, 3, 8, 0):
        out = merge_points_removing_overlap(*tables_, 1.0, num_threads)
        assert out.tolist() == expected


def _swap_halves(points):
    half = len(points) // 2
    return np.concatenate([points[half:], points[:half]])


def _tiles_by_x(rows_per_tile, *, one_point_last=False):
    """Consecutive crop rows make a tile, tiles come in crop-row order and each tile's points
    by x, so that its crop rows alternate; one point of the first tile may come last."""

    def layout(points):
        starts = np.any(points[1:, :2] != points[:-1, :2], axis=1)
        tile = np.concatenate(([0], np.cumsum(starts))) // rows_per_tile
        order = np.lexsort((points[:, 2], tile))
        if one_point_last:
            order = np.append(order[1:], order[0])
        return points[order]

    return layout


@pytest.mark.parametrize(
    "layout",
    [
        pytest.param(lambda points: points, id="crop-row-order"),
        pytest.param(_swap_halves, id="halves-swapped"),
        pytest.param(lambda points: points[::-1], id="reversed"),
        pytest.param(
            lambda points: points[np.random.default_rng(7).permutation(len(points))], id="shuffled"
        ),
        pytest.param(lambda points: points[np.argsort(points[:, 2])], id="by-x"),
        pytest.param(_tiles_by_x(8), id="tiles-by-x"),
        pytest.param(_tiles_by_x(64), id="long-tiles-by-x"),
        pytest.param(_tiles_by_x(8, one_point_last=True), id="tiles-one-point-last"),
    ],
)
# First ids far apart take the keyed hash (and what keeps its recent answers) instead of a table.
@pytest.mark.parametrize("spread", [1, 2**20], ids=["compact-ids", "spread-ids"])
# Scattered points of a few crop rows are looked up one by one, of many in batches.
@pytest.mark.parametrize("crop_rows, points_per_row", [(400, 400), (5000, 8)], ids=["400", "5000"])
def test_point_layouts_give_the_same_survivors_in_row_then_table_order(
    layout, spread, crop_rows, points_per_row
):
    """Enough points for several workers, in orders that do and do not follow the crop rows."""
    connected, points, info = fields.make_field(crop_rows, points_per_row, extra_columns=1)
    for table, first_ids in ((connected, [1, 3, 5, 7, 9]), (points, [0]), (info, [0])):
        # Whole parts spread, fractions kept; NaN, ending a list of connected rows, stays NaN.
        table[:, first_ids] += np.floor(table[:, first_ids]) * (spread - 1)
    points[:, 4] = np.arange(len(points))  # remembers each point's place in the sorted table
    laid_out = np.ascontiguousarray(layout(points))
    survivors = merge_points_removing_overlap(connected, points, info, 0.3, 1)
    # The same survivors, crop row by crop row; within a crop row, in the new table order.
    place = np.empty(len(points), dtype=np.int64)
    place[laid_out[:, 4].astype(np.int64)] = np.arange(len(points))
    crop_row_of = {(r[1], r[2]): i for i, r in enumerate(connected)}
    crop_rows = [crop_row_of[(np.floor(a), b)] for a, b in survivors[:, :2]]
    expected = survivors[np.lexsort((place[survivors[:, 4].astype(np.int64)], crop_rows))]
    # Column by column, the passes read the points through their strides.
    for table, num_threads in ((laid_out, 1), (laid_out, 0), (np.asfortranarray(laid_out), 0)):
        out = merge_points_removing_overlap(connected, table, info, 0.3, num_threads)
        np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize(
    "drop", [0, 2, 400, 798, 799], ids=lambda d: f"drop{d}"
)  # moves the middle of the table to a crop row's start, first point, middle, end
@pytest.mark.parametrize("strangers", [False, True], ids=["", "strangers-in-the-middle"])
def test_two_workers_meet_anywhere_in_a_crop_row(drop, strangers):
    """Points in crop-row order, split between two workers wherever the middle falls."""
    connected, points, info = fields.make_field(400, 400, extra_columns=1)
    points = np.ascontiguousarray(points[drop:])
    points[:, 4] = np.arange(len(points))
    if strangers:  # points of no crop row on both sides of the middle
        middle = len(points) // 2
        points[middle - 3 : middle + 3, :2] = 999.0
    expected = merge_points_removing_overlap(connected, points, info, 0.3, 1)
    assert 0 < len(expected) < len(points)
    np.testing.assert_array_equal(
        merge_points_removing_overlap(connected, points, info, 0.3, 0), expected
    )


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(tables())
def test_checked_merge_refuses_what_the_engine_fails_on(tables_):
    """cropmerge.merge refuses every field the engine fails on; beyond those it refuses only
    points without an id pair or without x and y beside connected rows, and check_field
    reads whatever it accepts."""
    points = tables_[1]
    kind, native = call_native(tables_, 0.5, 1)
    try:
        checked = cropmerge.merge(*tables_, 0.5, 1)
    except cropmerge.FieldError as error:
        assert kind == "fail" or (len(points) and "points_in_rows has" in str(error))
        return
    assert kind == "ok"
    np.testing.assert_array_equal(checked, native)
    cropmerge.check_field(*tables_, 0.5)
