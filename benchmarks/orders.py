"""The orders of ``points_in_rows`` that the benchmark times, made from one synthetic field.

The field lists its points crop row after crop row, the crop rows in the order of
``connected_crop_rows`` (tile order, and by field row within a tile). Every other order is
a deterministic permutation of those points; the other two tables stay as they are.
"""

import numpy as np

ORDERS = {
    "a": "crop-row order: each crop row's points together, as connected_crop_rows lists them",
    "b": "each crop row's points together, the crop rows in a random order",
    "c": "tile after tile, each tile's points by x, so that its crop rows alternate",
    "d": "shuffled",
}


def _runs(points):
    """Start and length of each run of points that share an id pair."""
    ids = points[:, :2]
    change = np.any(ids[1:] != ids[:-1], axis=1)
    starts = np.concatenate(([0], np.flatnonzero(change) + 1))
    return starts, np.diff(np.append(starts, len(points)))


def _permuted_runs(points, rng):
    """Each crop row's points together, the crop rows in random order."""
    starts, lengths = _runs(points)
    pick = rng.permutation(len(starts))
    lengths = lengths[pick]
    before = np.cumsum(lengths) - lengths
    return np.repeat(starts[pick] - before, lengths) + np.arange(len(points))


def _by_tile_along_x(points):
    """Tile after tile (the second id), each tile's points by x: its crop rows alternate."""
    return np.lexsort((points[:, 2], points[:, 1]))


def reorder(points, order, seed):
    """The field's points in the given order (a key of ORDERS); a copy unless "a"."""
    rng = np.random.default_rng(seed)
    if order == "a":
        return points
    if order == "b":
        return points[_permuted_runs(points, rng)]
    if order == "c":
        return points[_by_tile_along_x(points)]
    if order == "d":
        return points[rng.permutation(len(points))]
    raise ValueError(f"unknown order {order!r}; choose one of {', '.join(ORDERS)}")
