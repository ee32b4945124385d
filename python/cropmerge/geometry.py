"""Where connected crop rows meet, and which points the merge keeps, for many junctions at once.

Every function works on arrays with one entry per junction (a crop row seen against
one of its connected rows) and evaluates each expression in the merge's own order,
one rounding per operation, so that its results equal the merge's bit for bit.
Like the merge, they let infinities and NaN arise without a warning.

``anchors`` are (n, 6) blocks of ``row_information`` columns 5 to 10: anchor points
0, 1 and 2 as (x, y). Points are (n, 2) arrays.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from cropmerge.links import Links, link_rows

__all__ = [
    "FacingEnds",
    "Junctions",
    "centers",
    "dot_rows",
    "facing_ends",
    "filter_boxes",
    "find_junctions",
    "inside_boxes",
    "keeps_every_point",
]


_BLOCK = 8192  # junctions whose anchor distances are worked out at a time


@dataclass(frozen=True)
class FacingEnds:
    far: np.ndarray  # the own anchor of the farthest pair between the two rows
    near: np.ndarray  # the own row's end facing the connected row
    connected_near: np.ndarray  # the connected row's end facing the own row


def _dot(ax: np.ndarray, ay: np.ndarray, bx: np.ndarray, by: np.ndarray) -> np.ndarray:
    return (0.0 + ax * bx) + ay * by


@np.errstate(over="ignore", invalid="ignore")
def dot_rows(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Row by row, the dot product of two (n, 2) arrays of vectors."""
    return np.asarray(_dot(a[:, 0], a[:, 1], b[:, 0], b[:, 1]))


@np.errstate(over="ignore", invalid="ignore", divide="ignore")
def facing_ends(own: np.ndarray, connected: np.ndarray) -> FacingEnds:
    """The ends by which each crop row (anchors ``own``) faces its connected row.

    The farthest pair of anchors, own index major and connected index minor, decides:
    the first strict maximum wins, a NaN distance never does, and with no distance
    above 0 the pair is (0, 0). The ends are then chosen by index, not by value.
    """
    own_columns, connected_columns = np.ascontiguousarray(own.T), np.ascontiguousarray(connected.T)
    pair = np.empty(len(own), dtype=np.int64)  # 3 * own index + connected index
    # Block by block, so that the nine distances of a block stay in the cache.
    for start in range(0, len(own), _BLOCK):
        block = slice(start, start + _BLOCK)
        pair[block] = _farthest_pair(own_columns[:, block], connected_columns[:, block])
    own_index, connected_index = pair // 3, pair % 3
    # A row's end is its anchor 0, or anchor 1 where the farthest pair holds anchor 0.
    return FacingEnds(
        far=_anchor(own_columns, own_index),
        near=_anchor(own_columns, own_index == 0),
        connected_near=_anchor(connected_columns, connected_index == 0),
    )


def _farthest_pair(own_columns: np.ndarray, connected_columns: np.ndarray) -> np.ndarray:
    # The nine distances, own index major: dx and dy are (3, 3, n).
    dx = own_columns[0::2, None, :] - connected_columns[None, 0::2, :]
    dy = own_columns[1::2, None, :] - connected_columns[None, 1::2, :]
    dx *= dx
    dy *= dy
    dx += dy
    distance = np.sqrt(dx, out=dx).reshape(9, -1)
    # A running strict maximum from 0: a NaN never wins (fmax skips it, as the comparison
    # does), and a row without any distance above 0 keeps the pair (0, 0).
    best = np.fmax(distance[0], 0.0)
    pair = np.zeros(len(best), dtype=np.int8)
    farther = np.empty(len(best), dtype=bool)
    for index in range(1, 9):
        np.greater(distance[index], best, out=farther)
        np.fmax(best, distance[index], out=best)
        np.putmask(pair, farther, index)
    return pair


def _anchor(columns: np.ndarray, index: np.ndarray) -> np.ndarray:
    """Per row, its anchor point ``index`` (0, 1 or 2) as (n, 2), from the anchors' (6, n)
    C-contiguous columns."""
    rows = columns.shape[1]
    x_at = index * (2 * rows) + np.arange(rows)
    flat = columns.ravel()
    return np.column_stack((flat.take(x_at), flat.take(x_at + rows)))


@np.errstate(over="ignore", invalid="ignore", divide="ignore")
def centers(ends: FacingEnds) -> np.ndarray:
    """The junction midpoint of the two near ends, projected onto the line from the near
    end to the far point; NaN where the far point and the near end coincide."""
    middle = (ends.near + ends.connected_near) * 0.5
    v = ends.far - ends.near
    w = middle - ends.near
    t = _dot(w[:, 0], w[:, 1], v[:, 0], v[:, 1]) / _dot(v[:, 0], v[:, 1], v[:, 0], v[:, 1])
    return ends.near + v * t[:, None]


@np.errstate(over="ignore", invalid="ignore", divide="ignore")
def filter_boxes(center: np.ndarray, near: np.ndarray, tolerance: float) -> np.ndarray:
    """The filter of each junction as (8, n) bounds of two boxes: a point is kept when
    it lies in the box near the center or in the box beyond the near end.

    Rows 0-3 bound x and y of the box near the center (lo, hi, lo, hi), rows 4-7 those
    of the box beyond the near end. A one-sided comparison becomes an interval with an
    infinite end, which decides alike for every number and, like the comparison,
    rejects NaN.
    """
    ax, ay = center[:, 0], center[:, 1]
    bx, by = near[:, 0], near[:, 1]
    # Per axis, +1 where the test near the center compares "<=" (and the test beyond the
    # near end ">="), else -1: case 1 (+1, +1), case 2 (+1, -1), case 3 (-1, -1), and
    # every other combination, equal coordinates and NaN included, (-1, +1).
    case1 = (ax < bx) & (ay < by)
    case2 = (ax < bx) & (ay > by)
    case3 = (ax > bx) & (ay > by)
    sx = np.where(case1 | case2, 1.0, -1.0)
    sy = np.where(case2 | case3, -1.0, 1.0)
    # Both tests shift their bound by +t on a +1 axis and by -t on a -1 axis.
    a_x, a_y = ax + sx * tolerance, ay + sy * tolerance
    b_x, b_y = bx + sx * tolerance, by + sy * tolerance

    inf = np.inf
    boxes = np.empty((8, len(center)))
    boxes[0] = np.where(sx > 0, -inf, a_x)
    boxes[1] = np.where(sx > 0, a_x, inf)
    boxes[2] = np.where(sy > 0, -inf, a_y)
    boxes[3] = np.where(sy > 0, a_y, inf)
    boxes[4] = np.where(sx > 0, b_x, -inf)
    boxes[5] = np.where(sx > 0, inf, b_x)
    boxes[6] = np.where(sy > 0, b_y, -inf)
    boxes[7] = np.where(sy > 0, inf, b_y)

    close = keeps_every_point(center, near, tolerance)
    boxes[:4, close] = np.array([-inf, inf, -inf, inf])[:, None]
    boxes[4:, close] = np.nan
    return boxes


@np.errstate(over="ignore", invalid="ignore")
def keeps_every_point(center: np.ndarray, near: np.ndarray, tolerance: float) -> np.ndarray:
    """Junctions whose center lies closer to the near end than the tolerance: their
    filter keeps every point with numeric x and y."""
    dx, dy = center[:, 0] - near[:, 0], center[:, 1] - near[:, 1]
    return np.asarray(np.sqrt(dx * dx + dy * dy) < tolerance)


def inside_boxes(boxes: np.ndarray, x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Which points (x, y) the filter keeps; ``boxes`` holds one column per point."""
    lo_x, hi_x, lo_y, hi_y, lo_bx, hi_bx, lo_by, hi_by = boxes
    near = (lo_x <= x) & (x <= hi_x) & (lo_y <= y) & (y <= hi_y)
    beyond = (lo_bx <= x) & (x <= hi_bx) & (lo_by <= y) & (y <= hi_by)
    return np.asarray(near | beyond)


@dataclass(frozen=True)
class Junctions:
    """Where each crop row meets each of its connected rows, seen from the crop row,
    crop row by crop row and slot by slot."""

    crop_row: np.ndarray  # index into connected_crop_rows
    slot: np.ndarray  # 0 to 3: which of the crop row's connected rows
    own_info: np.ndarray  # index into row_information of the crop row
    other_info: np.ndarray  # index into row_information of the connected row
    center: np.ndarray  # (n, 2)
    near_end: np.ndarray  # (n, 2)
    far: np.ndarray  # (n, 2): the crop row's anchor farthest from the connected row


def find_junctions(
    connected: np.ndarray, info: np.ndarray, links: Links | None = None
) -> Junctions:
    """Every junction's center and near end, worked out as the merge does.

    Crop rows find their own ``row_information`` row by integer ids and their
    connected rows by exact float ids; junctions whose rows are not found are left
    out (the merge itself fails on them). ``info`` needs its 11 columns as soon as a
    crop row lists a connected row. ``links`` saves looking the rows up again.
    """
    if links is None:
        links = link_rows(connected, info)
    found = links.other_info >= 0
    found &= links.own_info[links.crop_row] >= 0
    rows, slots, other = links.crop_row[found], links.slot[found], links.other_info[found]
    own = links.own_info[rows]
    if len(rows) == 0:  # row_information may then be narrower than 11 columns
        nowhere = np.zeros((0, 2))
        return Junctions(rows, slots, own, other, nowhere, nowhere, nowhere)
    # Gathering each anchor column apart leaves facing_ends the columns it works on.
    anchor_columns = np.ascontiguousarray(info[:, 5:11].T)
    ends = facing_ends(
        np.take(anchor_columns, own, axis=1).T, np.take(anchor_columns, other, axis=1).T
    )
    return Junctions(rows, slots, own, other, centers(ends), ends.near, ends.far)
