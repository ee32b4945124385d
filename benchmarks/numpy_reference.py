"""A vectorised NumPy implementation of merge_points_removing_overlap, for comparison.

This is what a user would write instead of calling the extension: match every point to its
crop row through a table of id pairs (a binary search when the ids are too sparse for a
table), group the points by crop row with a stable radix sort, work out the junction centers
of all crop rows at once, and apply the past-center filter to all points with array
operations. It accepts valid inputs only (11-column connected_crop_rows and
row_information, points with at least four columns, every looked-up row present, distinct
crop-row id pairs) and returns exactly the extension's rows.
"""

import numpy as np
from cropmerge.geometry import centers, facing_ends, filter_boxes, inside_boxes
from cropmerge.ids import FloatPairIndex, PairKeys, first_match
from cropmerge.links import SLOTS


def _stable_order(groups, count):
    """Stable argsort of integer groups in [0, count), as LSD radix passes of 16 bits."""
    if count <= 2**16:
        return np.argsort(groups.astype(np.uint16), kind="stable")
    order = np.argsort((groups & 0xFFFF).astype(np.uint16), kind="stable")
    return order[np.argsort((groups[order] >> 16).astype(np.uint16), kind="stable")]


def merge_points_numpy(connected_crop_rows, points_in_rows, row_information, tolerance):
    """Surviving points of every crop row, crop row by crop row, each in table order."""
    connected = np.asarray(connected_crop_rows, dtype=np.float64)
    points = np.asarray(points_in_rows, dtype=np.float64)
    info = np.asarray(row_information, dtype=np.float64)
    tolerance = float(tolerance)
    if len(connected) == 0:
        return np.empty((0, points.shape[1]))
    own, order, counts = _points_by_crop_row(connected, points, info)
    x, y = np.take(points[:, 2:4], order, axis=0).T
    keep = _kept(connected, info, own, counts, x, y, tolerance)
    return np.take(points, order[keep], axis=0)


def _points_by_crop_row(connected, points, info):
    """Each crop row's own row_information row, the points grouped by crop row (table
    order inside each group) and each crop row's count; all matched by integer id pair."""
    rows = len(connected)
    pair_keys = PairKeys(connected[:, 1], connected[:, 2])
    row_keys = pair_keys(connected[:, 1], connected[:, 2])
    if len(np.unique(row_keys)) != rows:
        raise ValueError("crop rows must have distinct id pairs")
    own = first_match(pair_keys(info[:, 0], info[:, 4]), row_keys)
    if (own < 0).any():
        raise ValueError("a crop row has no row_information row")
    point_keys = pair_keys(points[:, 0], points[:, 1])
    # Unmatched points get group `rows`, which sorts after every crop row and is dropped.
    group = pair_keys.lookup(row_keys, point_keys, missing=rows)
    counts = np.bincount(group, minlength=rows + 1)[:rows]
    return own, _stable_order(group, rows + 1)[: counts.sum()], counts


def _kept(connected, info, own, counts, x, y, tolerance):
    """Which of the grouped points (x, y) every filter of their crop row keeps."""
    rows = len(connected)
    # The slots in use, in turn; a slot past the end of a crop row's list passes every point
    # with numeric x and y.
    connected_rows = FloatPairIndex(info[:, 0], info[:, 4])
    anchors = info[:, 5:11]
    own_anchors = anchors[own]
    listed = np.ones(rows, dtype=bool)
    keep = np.ones(len(x), dtype=bool)
    for slot in range(SLOTS):
        first_id = connected[:, 3 + 2 * slot]
        listed &= ~np.isnan(first_id)
        if not listed.any():
            break
        where = np.flatnonzero(listed)
        conn = connected_rows.rows(first_id[where], connected[where, 4 + 2 * slot])
        if (conn < 0).any():
            raise ValueError("a connected row has no row_information row")
        bounds = np.empty((8, rows))
        bounds[:] = np.array([-np.inf, np.inf, -np.inf, np.inf] + [np.nan] * 4)[:, None]
        ends = facing_ends(own_anchors[where], anchors[conn])
        bounds[:, where] = filter_boxes(centers(ends), ends.near, tolerance)
        keep &= inside_boxes(np.repeat(bounds, counts, axis=1), x, y)
    # Every filter rejects a point with a NaN coordinate; only a crop row that lists no
    # connected row keeps it.
    keep |= np.repeat(np.isnan(connected[:, 3]), counts)
    return keep
