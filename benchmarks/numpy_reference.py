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

SLOTS = 4
_U64_MAX = np.iinfo(np.uint64).max
_DENSE_LIMIT = 2**24  # largest key space looked up through a table instead of a search


def _integer_ids(values):
    """Ids as unsigned 64-bit integers: truncated toward zero, NaN and negatives 0, saturating."""
    clipped = np.where(values > 0.0, values, 0.0)
    saturated = clipped >= 2.0**64
    ids = np.where(saturated, 0.0, clipped).astype(np.uint64)
    ids[saturated] = _U64_MAX
    return ids


class _PairKeys:
    """Maps integer id pairs (given as float ids) to int64 keys in [0, space).

    Two keys are equal exactly when both integer ids are, for every pair that some crop row
    has; any other pair gets a key that no crop row has. Small ids are used directly (an id
    above the crop rows' largest becomes one past it); others are first replaced by their
    rank among the crop rows' ids.
    """

    def __init__(self, first, second):
        firsts, seconds = _integer_ids(first), _integer_ids(second)
        self.direct = (int(firsts.max()) + 2) * (int(seconds.max()) + 2) <= _DENSE_LIMIT
        if self.direct:
            self.ceilings = (float(firsts.max() + 1), float(seconds.max() + 1))
            self.width = int(seconds.max()) + 2
            self.space = (int(firsts.max()) + 2) * self.width
        else:
            self.known = (np.unique(firsts), np.unique(seconds))
            self.width = len(self.known[1]) + 1
            self.space = (len(self.known[0]) + 1) * self.width

    @staticmethod
    def _rank(known, ids):
        pos = np.searchsorted(known, ids)
        found = known[np.minimum(pos, len(known) - 1)] == ids
        return np.where(found, pos, len(known))

    def __call__(self, first, second):
        if self.direct:
            # fmax turns NaN and negatives into 0, and the cast truncates toward zero.
            first, second = (
                np.fmin(np.fmax(values, 0.0), ceiling).astype(np.int64)
                for values, ceiling in zip((first, second), self.ceilings, strict=True)
            )
        else:
            first = self._rank(self.known[0], _integer_ids(first))
            second = self._rank(self.known[1], _integer_ids(second))
        return first * self.width + second


def _row_of_key(row_keys, space, query_keys, missing):
    """The crop row holding each query key (row keys are distinct), or `missing`."""
    if space > _DENSE_LIMIT:
        return _first_match(row_keys, query_keys, missing)
    table = np.full(space, missing, dtype=np.int32)
    table[row_keys] = np.arange(len(row_keys), dtype=np.int32)
    return table[query_keys]


def _float_pair_keys(first, second):
    """Complex keys for exact float pairs (NumPy orders complex by real, then imaginary part)."""
    keys = np.empty(len(first), dtype=np.complex128)
    keys.real = first + 0.0  # -0.0 + 0.0 is 0.0: the two zeros are one id
    keys.imag = second + 0.0
    return keys


def _first_match(table_keys, query_keys, missing=-1):
    """Index of the first table row holding each query key, or `missing`; NaN matches nothing."""
    order = np.argsort(table_keys, kind="stable")
    sorted_keys = table_keys[order]
    pos = np.minimum(np.searchsorted(sorted_keys, query_keys), len(sorted_keys) - 1)
    return np.where(sorted_keys[pos] == query_keys, order[pos], missing)


def _stable_order(groups, count):
    """Stable argsort of integer groups in [0, count), as LSD radix passes of 16 bits."""
    if count <= 2**16:
        return np.argsort(groups.astype(np.uint16), kind="stable")
    order = np.argsort((groups & 0xFFFF).astype(np.uint16), kind="stable")
    return order[np.argsort((groups[order] >> 16).astype(np.uint16), kind="stable")]


def _dot(ax, ay, bx, by):
    return (0.0 + ax * bx) + ay * by


def _slot_bounds(own, conn, tolerance):
    """The filter of one slot for many crop rows, as (8, rows) interval bounds.

    own and conn are (rows, 6) anchor blocks (P0, P1, P2 and Q0, Q1, Q2). Each of the two
    tests becomes a box: lo_x <= x <= hi_x and lo_y <= y <= hi_y. A one-sided comparison
    becomes an interval with an infinite end, which decides alike for every non-NaN
    coordinate and, like the comparison, rejects NaN.
    """
    rows = len(own)
    take = np.arange(rows)
    px, py = own[:, 0::2], own[:, 1::2]
    qx, qy = conn[:, 0::2], conn[:, 1::2]

    # Farthest pair, own index a major and connected index b minor: the first strict maximum
    # wins, a NaN distance never wins, and with no distance above 0 the pair is (0, 0).
    dx = px[:, :, None] - qx[:, None, :]
    dy = py[:, :, None] - qy[:, None, :]
    dist = np.sqrt(dx * dx + dy * dy).reshape(rows, 9)
    dist = np.where(np.isnan(dist), -1.0, dist)
    best = np.argmax(dist, axis=1)
    best = np.where(dist[take, best] > 0.0, best, 0)
    s, u = best // 3, best % 3

    # Ends chosen by index: near = P1 if s == 0 else P0, connected near = Q1 if u == 0 else Q0.
    far_x, far_y = px[take, s], py[take, s]
    near_i, cnear_i = np.where(s == 0, 1, 0), np.where(u == 0, 1, 0)
    near_x, near_y = px[take, near_i], py[take, near_i]
    cnear_x, cnear_y = qx[take, cnear_i], qy[take, cnear_i]

    # Center: the junction midpoint projected onto the line from the near end to the far point.
    mid_x, mid_y = (near_x + cnear_x) * 0.5, (near_y + cnear_y) * 0.5
    vx, vy = far_x - near_x, far_y - near_y
    wx, wy = mid_x - near_x, mid_y - near_y
    with np.errstate(invalid="ignore", divide="ignore"):
        t = _dot(wx, wy, vx, vy) / _dot(vx, vy, vx, vy)
    ax, ay = near_x + vx * t, near_y + vy * t  # reference point A: the center
    bx, by = near_x, near_y  # reference point B: the near end

    # Per axis, +1 where the test near A compares "<=" (and the test beyond B ">="), else -1:
    # case 1 (+1, +1), case 2 (+1, -1), case 3 (-1, -1), case 4, everything else, (-1, +1).
    case1 = (ax < bx) & (ay < by)
    case2 = (ax < bx) & (ay > by)
    case3 = (ax > bx) & (ay > by)
    sx = np.where(case1 | case2, 1.0, -1.0)
    sy = np.where(case2 | case3, -1.0, 1.0)
    # Both tests shift their bound by +t on a +1 axis and by -t on a -1 axis (ax + t, bx - t).
    a_x, a_y = ax + sx * tolerance, ay + sy * tolerance
    b_x, b_y = bx + sx * tolerance, by + sy * tolerance

    inf = np.inf
    bounds = np.empty((8, rows))
    bounds[0] = np.where(sx > 0, -inf, a_x)  # near A: sx * x <= sx * a_x
    bounds[1] = np.where(sx > 0, a_x, inf)
    bounds[2] = np.where(sy > 0, -inf, a_y)  # near A: sy * y <= sy * a_y
    bounds[3] = np.where(sy > 0, a_y, inf)
    bounds[4] = np.where(sx > 0, b_x, -inf)  # beyond B: sx * x >= sx * b_x
    bounds[5] = np.where(sx > 0, inf, b_x)
    bounds[6] = np.where(sy > 0, b_y, -inf)  # beyond B: sy * y >= sy * b_y
    bounds[7] = np.where(sy > 0, inf, b_y)

    # Reference points closer than the tolerance keep every point with numeric x and y.
    d = np.sqrt((ax - bx) * (ax - bx) + (ay - by) * (ay - by))
    close = d < tolerance
    bounds[:4, close] = np.array([-inf, inf, -inf, inf])[:, None]
    bounds[4:, close] = np.nan
    return bounds


def merge_points_numpy(connected_crop_rows, points_in_rows, row_information, tolerance):
    """Surviving points of every crop row, crop row by crop row, each in table order."""
    connected = np.asarray(connected_crop_rows, dtype=np.float64)
    points = np.asarray(points_in_rows, dtype=np.float64)
    info = np.asarray(row_information, dtype=np.float64)
    tolerance = float(tolerance)
    rows = len(connected)
    if rows == 0:
        return np.empty((0, points.shape[1]))

    # Crop rows, their own row_information rows and their points, matched by integer id pair.
    pair_keys = _PairKeys(connected[:, 1], connected[:, 2])
    row_keys = pair_keys(connected[:, 1], connected[:, 2])
    if len(np.unique(row_keys)) != rows:
        raise ValueError("crop rows must have distinct id pairs")
    own = _first_match(pair_keys(info[:, 0], info[:, 4]), row_keys)
    if (own < 0).any():
        raise ValueError("a crop row has no row_information row")
    point_keys = pair_keys(points[:, 0], points[:, 1])
    # Unmatched points get group `rows`, which sorts after every crop row and is dropped.
    group = _row_of_key(row_keys, pair_keys.space, point_keys, missing=rows)

    # Group the points by crop row, keeping table order inside each group.
    counts = np.bincount(group, minlength=rows + 1)[:rows]
    order = _stable_order(group, rows + 1)[: counts.sum()]
    x, y = np.take(points[:, 2:4], order, axis=0).T

    # The slots in use, in turn; a slot past the end of a crop row's list passes every point
    # with numeric x and y.
    float_keys = _float_pair_keys(info[:, 0], info[:, 4])
    anchors = info[:, 5:11]
    own_anchors = anchors[own]
    listed = np.ones(rows, dtype=bool)
    keep = np.ones(len(order), dtype=bool)
    for slot in range(SLOTS):
        first_id = connected[:, 3 + 2 * slot]
        listed &= ~np.isnan(first_id)
        if not listed.any():
            break
        where = np.flatnonzero(listed)
        query = _float_pair_keys(first_id[where], connected[where, 4 + 2 * slot])
        conn = _first_match(float_keys, query)
        if (conn < 0).any():
            raise ValueError("a connected row has no row_information row")
        bounds = np.empty((8, rows))
        bounds[:] = np.array([-np.inf, np.inf, -np.inf, np.inf] + [np.nan] * 4)[:, None]
        bounds[:, where] = _slot_bounds(own_anchors[where], anchors[conn], tolerance)
        lo_x, hi_x, lo_y, hi_y, lo_bx, hi_bx, lo_by, hi_by = (np.repeat(b, counts) for b in bounds)
        near = (lo_x <= x) & (x <= hi_x) & (lo_y <= y) & (y <= hi_y)
        beyond = (lo_bx <= x) & (x <= hi_bx) & (lo_by <= y) & (y <= hi_by)
        keep &= near | beyond
    # Every filter rejects a point with a NaN coordinate; only a crop row that lists no
    # connected row keeps it.
    keep |= np.repeat(np.isnan(connected[:, 3]), counts)
    return np.take(points, order[keep], axis=0)
