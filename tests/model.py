"""A slow, literal model of the row merge, written for differential tests.

Everything is done with plain Python floats (IEEE doubles, each operation rounded on
its own) and with row-by-row scans of the tables, exactly as one worker processes the
rows: crop rows in ascending order, each row's points in table order.  A call either
returns ``("ok", rows)`` with the surviving rows as lists of floats, or
``("fail", message)`` with the message of the lowest failing crop row.
"""

import math

from engine_failures import INDEX as INDEX_OOB
from engine_failures import NONE as NONE_UNWRAP
from engine_failures import SHAPE

U64_MAX = 2**64 - 1


class RowFailure(Exception):
    """A failure that aborts the whole call with ``message``."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class Table:
    """Read-only float table that fails like the engine on out-of-range columns."""

    def __init__(self, array):
        self.rows = [[float(v) for v in row] for row in array.tolist()]
        self.nrows, self.ncols = array.shape

    def at(self, r, c):
        if c >= self.ncols:
            raise RowFailure(INDEX_OOB)
        return self.rows[r][c]


def int_id(v):
    """Truncate toward zero into an unsigned 64-bit id; NaN and negatives give 0."""
    if math.isnan(v) or v <= 0.0:
        return 0
    if v >= 2.0**64:
        return U64_MAX
    return int(v)


def fdiv(a, b):
    """IEEE division (Python raises on division by zero)."""
    if b != 0.0 or math.isnan(b):
        return a / b
    if math.isnan(a) or a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def dist(p, q):
    dx = p[0] - q[0]
    dy = p[1] - q[1]
    return math.sqrt(dx * dx + dy * dy)


def dot(a, b):
    return (0.0 + a[0] * b[0]) + a[1] * b[1]


def remove_points_past_center(points, a, b, t):
    """Keep the points on A's far side from B (up to t past A) or at least t past B."""
    ax, ay = a
    bx, by = b
    kept = []
    for p in points:
        if len(p) < 4:
            raise RowFailure(INDEX_OOB)
        x, y = p[2], p[3]
        d = math.sqrt((ax - bx) * (ax - bx) + (ay - by) * (ay - by))
        if d < t:
            keep = not math.isnan(x) and not math.isnan(y)
        elif ax < bx and ay < by:
            keep = (x <= ax + t and y <= ay + t) or (x >= bx + t and y >= by + t)
        elif ax < bx and ay > by:
            keep = (x <= ax + t and y >= ay - t) or (x >= bx + t and y <= by - t)
        elif ax > bx and ay > by:
            keep = (x >= ax - t and y >= ay - t) or (x <= bx - t and y <= by - t)
        else:
            keep = (x >= ax - t and y <= ay + t) or (x <= bx - t and y >= by + t)
        if keep:
            kept.append(list(p))
    return kept


def facing_ends(own, conn):
    """Far point, near end and connected near end of two rows' anchor points."""
    p = [(own[1], own[2]), (own[3], own[4]), (own[5], own[6])]
    q = [(conn[1], conn[2]), (conn[3], conn[4]), (conn[5], conn[6])]
    best, s, u = 0.0, 0, 0
    for ia in range(3):
        for ib in range(3):
            d = dist(p[ia], q[ib])
            if d > best:
                best, s, u = d, ia, ib
    far = p[s]
    near = p[1] if s == 0 else p[0]
    conn_near = q[1] if u == 0 else q[0]
    return far, near, conn_near


def center_of(far, near, conn_near):
    mid = ((near[0] + conn_near[0]) * 0.5, (near[1] + conn_near[1]) * 0.5)
    v = (far[0] - near[0], far[1] - near[1])
    w = (mid[0] - near[0], mid[1] - near[1])
    t = fdiv(dot(w, v), dot(v, v))
    return (near[0] + v[0] * t, near[1] + v[1] * t)


def merge_row(i, connected, points, info, tolerance):
    """Surviving points of crop row ``i``; raises RowFailure."""
    first = int_id(connected.at(i, 1))
    second = int_id(connected.at(i, 2))

    plist = []
    for r in range(points.nrows):
        if int_id(points.at(r, 0)) == first and int_id(points.at(r, 1)) == second:
            plist.append(list(points.rows[r]))

    own = None
    for r in range(info.nrows):
        if int_id(info.at(r, 0)) == first and int_id(info.at(r, 4)) == second:
            own = info.rows[r][4:]
            break
    if own is None:
        raise RowFailure(NONE_UNWRAP)

    for j in range(1, 5):
        cfirst = connected.at(i, 2 * j + 1)
        if math.isnan(cfirst):
            break
        csecond = connected.at(i, 2 * j + 2)
        conn = None
        for r in range(info.nrows):
            if info.at(r, 0) == cfirst and info.at(r, 4) == csecond:
                conn = info.rows[r][4:]
                break
        if conn is None:
            raise RowFailure(NONE_UNWRAP)
        if len(own) != 7 or len(conn) != 7:
            raise RowFailure(SHAPE)
        far, near, conn_near = facing_ends(own, conn)
        center = center_of(far, near, conn_near)
        plist = remove_points_past_center(plist, center, near, tolerance)
    return plist


def merge(connected, points, info, tolerance):
    """The whole call with one worker: ("ok", rows) or ("fail", message)."""
    ct, pt, it = Table(connected), Table(points), Table(info)
    out = []
    for i in range(ct.nrows):
        try:
            out.extend(merge_row(i, ct, pt, it, tolerance))
        except RowFailure as failure:
            return ("fail", failure.message)
    return ("ok", out)
