"""A parallel Numba implementation of merge_points_removing_overlap, for comparison.

This is what a user would write instead of a C++ extension: a direct table from integer id
pair to crop row, each crop row's junction filters worked out under ``prange``, then one
counting pass over the points (which crop row keeps each point) and one fill pass that
copies the survivors into their place, crop row after crop row, each in table order. The
passes over the points split the table into one block per thread. No fastmath: every
value is rounded as the module rounds it, so the output is bit-identical to the module's.

It accepts the inputs the benchmark makes and refuses (raises ``ValueError``) what it does
not handle, rather than return a different result: tables other than 11-column
``connected_crop_rows`` and ``row_information`` and ``points_in_rows`` of at least four
columns, two crop rows with one id pair, id pairs too spread out for a table, a crop row
whose own ``row_information`` row is missing, and a connected row that is not a crop row
of its own or whose ``row_information`` row holds other float ids than the slot.
"""

import os

# OpenMP's idle workers spin between parallel loops, on the cores that the next contender
# of the benchmark needs; numba picks OpenMP for its threads when it is there.
os.environ.setdefault("OMP_WAIT_POLICY", "passive")

import numba
import numpy as np
from numba import njit, prange

TABLE_LIMIT = 2**25  # most id pairs looked up through a direct table
_U64_MAX = np.uint64(0xFFFFFFFFFFFFFFFF)
_NO_ROW = -1
_UNSUPPORTED = -2


@njit(inline="always", cache=True)
def _integer_id(value):
    """Truncated toward zero and saturated; NaN and negatives give 0."""
    if not value > 0.0:
        return np.uint64(0)
    if value >= 18446744073709551616.0:
        return _U64_MAX
    return np.uint64(value)


@njit(inline="always", cache=True)
def _row_of(first, second, table, max_first, max_second):
    """Crop row of a float id pair by its integer ids, or _NO_ROW."""
    a, b = _integer_id(first), _integer_id(second)
    if a > max_first or b > max_second:
        return _NO_ROW
    return table[np.int64(a * (max_second + np.uint64(1)) + b)]


@njit(cache=True)
def _key_table(connected, info, limit):
    """Crop row of each integer id pair, the key bounds and each crop row's info row."""
    rows = connected.shape[0]
    max_first, max_second = np.uint64(0), np.uint64(0)
    for row in range(rows):
        max_first = max(max_first, _integer_id(connected[row, 1]))
        max_second = max(max_second, _integer_id(connected[row, 2]))
    width = max_second + np.uint64(1)
    if max_first >= limit or max_second >= limit or (max_first + np.uint64(1)) * width > limit:
        raise ValueError("crop row ids too spread out for a direct table")
    table = np.full(np.int64((max_first + np.uint64(1)) * width), -1, np.int32)
    for row in range(rows):
        a, b = _integer_id(connected[row, 1]), _integer_id(connected[row, 2])
        key = np.int64(a * width + b)
        if table[key] >= 0:
            raise ValueError("two crop rows with one id pair")
        table[key] = row
    own = np.full(rows, -1, np.int32)
    for info_row in range(info.shape[0]):
        row = _row_of(info[info_row, 0], info[info_row, 4], table, max_first, max_second)
        if row >= 0 and own[row] < 0:
            own[row] = info_row
    for row in range(rows):
        if own[row] < 0:
            raise ValueError("a crop row has no row_information row")
    return table, max_first, max_second, own


@njit(inline="always", cache=True)
def _dot(ax, ay, bx, by):
    return (0.0 + ax * bx) + ay * by


@njit(inline="always", cache=True)
def _facing_ends(info, own, other):
    """Far point, near end and connected near end of two info rows (farthest pair)."""
    best, s, u = 0.0, 0, 0
    for a in range(3):
        for b in range(3):
            dx = info[own, 5 + 2 * a] - info[other, 5 + 2 * b]
            dy = info[own, 6 + 2 * a] - info[other, 6 + 2 * b]
            d = np.sqrt(dx * dx + dy * dy)
            if d > best:
                best, s, u = d, a, b
    near = 1 if s == 0 else 0
    cnear = 1 if u == 0 else 0
    return (
        info[own, 5 + 2 * s],
        info[own, 6 + 2 * s],
        info[own, 5 + 2 * near],
        info[own, 6 + 2 * near],
        info[other, 5 + 2 * cnear],
        info[other, 6 + 2 * cnear],
    )


@njit(inline="always", cache=True)
def _slot_filter(info, own, other, tolerance, out):
    """One junction's filter as signs (sx, sy) and bounds, signed alike, in out[0:6].

    A point passes when sx*x <= out[2] and sy*y <= out[3] (near the center A) or
    sx*x >= out[4] and sy*y >= out[5] (beyond the near end B). A sign of -1 turns a ">="
    test into "<=" exactly, NaN included.
    """
    fx, fy, bx, by, cx, cy = _facing_ends(info, own, other)
    mx, my = (bx + cx) * 0.5, (by + cy) * 0.5
    vx, vy = fx - bx, fy - by
    wx, wy = mx - bx, my - by
    t = _dot(wx, wy, vx, vy) / _dot(vx, vy, vx, vy)
    ax, ay = bx + vx * t, by + vy * t
    if np.sqrt((ax - bx) * (ax - bx) + (ay - by) * (ay - by)) < tolerance:
        out[0], out[1] = 1.0, 1.0
        out[2:6] = np.inf  # every point with numeric x and y passes
        return
    sx, sy = -1.0, 1.0
    if ax < bx and ay < by:
        sx, sy = 1.0, 1.0
    elif ax < bx and ay > by:
        sx, sy = 1.0, -1.0
    elif ax > bx and ay > by:
        sx, sy = -1.0, -1.0
    out[0], out[1] = sx, sy
    out[2], out[3] = sx * (ax + sx * tolerance), sy * (ay + sy * tolerance)
    out[4], out[5] = sx * (bx + sx * tolerance), sy * (by + sy * tolerance)


@njit(parallel=True, cache=True)
def _row_filters(connected, info, table, max_first, max_second, own, tolerance):
    """Per crop row: the number of slots in use, their filters and a status per row."""
    rows = connected.shape[0]
    slots = np.zeros(rows, np.int8)
    filters = np.empty((rows, 4, 6))
    status = np.zeros(rows, np.int8)
    for row in prange(rows):
        for slot in range(4):
            first, second = connected[row, 3 + 2 * slot], connected[row, 4 + 2 * slot]
            if np.isnan(first):
                break
            other = _row_of(first, second, table, max_first, max_second)
            if other < 0:
                status[row] = _UNSUPPORTED
                break
            other = own[other]
            if info[other, 0] != first or info[other, 4] != second:
                status[row] = _UNSUPPORTED
                break
            _slot_filter(info, own[row], other, tolerance, filters[row, slot])
            slots[row] = slot + 1
    return slots, filters, status


@njit(inline="always", cache=True)
def _keeps(slots, filters, row, x, y):
    for slot in range(slots[row]):
        sx, sy = filters[row, slot, 0] * x, filters[row, slot, 1] * y
        near = sx <= filters[row, slot, 2] and sy <= filters[row, slot, 3]
        if not (near or (sx >= filters[row, slot, 4] and sy >= filters[row, slot, 5])):
            return False
    return True


@njit(parallel=True, cache=True)
def _count(points, table, max_first, max_second, slots, filters, blocks):
    """Crop row keeping each point (-1 for none) and survivors per block and crop row."""
    total = points.shape[0]
    kept_by = np.empty(total, np.int32)
    counts = np.zeros((blocks, slots.shape[0]), np.int64)
    for block in prange(blocks):
        for p in range(total * block // blocks, total * (block + 1) // blocks):
            row = _row_of(points[p, 0], points[p, 1], table, max_first, max_second)
            if row >= 0 and _keeps(slots, filters, row, points[p, 2], points[p, 3]):
                counts[block, row] += 1
                kept_by[p] = row
            else:
                kept_by[p] = -1
    return kept_by, counts


@njit(cache=True)
def _starts(counts):
    """Where each block's survivors of each crop row start: rows ascending, blocks in turn."""
    starts = np.empty_like(counts)
    at = 0
    for row in range(counts.shape[1]):
        for block in range(counts.shape[0]):
            starts[block, row] = at
            at += counts[block, row]
    return starts, at


@njit(parallel=True, cache=True)
def _fill(points, kept_by, starts, out):
    total, columns, blocks = points.shape[0], points.shape[1], starts.shape[0]
    for block in prange(blocks):
        at = starts[block]
        for p in range(total * block // blocks, total * (block + 1) // blocks):
            row = kept_by[p]
            if row >= 0:
                k = at[row]
                at[row] = k + 1
                for column in range(columns):
                    out[k, column] = points[p, column]


def merge_points_numba(connected_crop_rows, points_in_rows, row_information, tolerance):
    """Surviving points of every crop row, crop row by crop row, each in table order."""
    connected, points, info = (
        np.ascontiguousarray(table, dtype=np.float64)
        for table in (connected_crop_rows, points_in_rows, row_information)
    )
    if connected.shape[1] != 11 or info.shape[1] != 11 or points.shape[1] < 4:
        raise ValueError("needs 11-column crop row and info tables and points with x and y")
    table, max_first, max_second, own = _key_table(connected, info, np.uint64(TABLE_LIMIT))
    slots, filters, status = _row_filters(
        connected, info, table, max_first, max_second, own, float(tolerance)
    )
    if status.any():
        raise ValueError("a connected row is not a crop row with matching float ids")
    blocks = numba.get_num_threads()
    kept_by, counts = _count(points, table, max_first, max_second, slots, filters, blocks)
    starts, kept = _starts(counts)
    out = np.empty((kept, points.shape[1]))
    _fill(points, kept_by, starts, out)
    return out
