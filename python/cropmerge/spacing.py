"""The spacing of points along crop rows, and the tolerance it suggests."""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike

from cropmerge.field import IndexedField, index_field

__all__ = ["auto_tolerance", "half_spacing", "point_spacing"]


@np.errstate(over="ignore", invalid="ignore")  # infinite anchors give no direction
def _row_directions(field: IndexedField, rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The unit direction of the given crop rows from their anchor 0 to their anchor 1,
    or the x axis where the anchors give none."""
    if field.info.shape[1] < 9 or len(field.info) == 0:
        return np.ones(len(rows)), np.zeros(len(rows))
    own = field.links.own_info[rows]
    ends = field.info[np.maximum(own, 0), 5:9]
    dx, dy = ends[:, 2] - ends[:, 0], ends[:, 3] - ends[:, 1]
    length = np.hypot(dx, dy)
    usable = (own >= 0) & np.isfinite(length) & (length > 0)
    length[~usable] = 1.0
    return np.where(usable, dx / length, 1.0), np.where(usable, dy / length, 0.0)


@np.errstate(over="ignore", invalid="ignore")  # infinite coordinates give NaN, left out
def _neighbour_distances(field: IndexedField) -> np.ndarray:
    """Distances between neighbouring points along their crop row, for a sample of rows."""
    sample, group = field.matched.sample, field.matched.sample_row
    if len(sample) == 0 or field.points.shape[1] < 4:
        return np.zeros(0)
    x, y = field.points[sample, 2], field.points[sample, 3]

    # Directions of the sampled crop rows only, each found through its place among them.
    sampled = np.bincount(group) > 0
    ux, uy = _row_directions(field, np.flatnonzero(sampled))
    place = (np.cumsum(sampled) - 1)[group]
    order = np.lexsort((x * ux[place] + y * uy[place], group))
    group, x, y = group[order], x[order], y[order]
    distances = np.hypot(np.diff(x), np.diff(y))[group[1:] == group[:-1]]
    return distances[np.isfinite(distances)]


def point_spacing(field: IndexedField) -> float:
    """The median distance between neighbouring points of a crop row; 0 with no such pair."""
    distances = _neighbour_distances(field)
    return float(np.median(distances)) if len(distances) else 0.0


def half_spacing(field: IndexedField) -> float:
    """The tolerance ``auto`` stands for: half of ``point_spacing``."""
    return 0.5 * point_spacing(field)


def auto_tolerance(
    connected_crop_rows: ArrayLike, points_in_rows: ArrayLike, row_information: ArrayLike
) -> float:
    """Half the median distance between neighbouring points of a crop row, along the row.

    With it, about one duplicate is left where two rows meet, and points jittered past
    a junction center on the crop row's own side are kept. Estimated from up to a few
    hundred crop rows spread over the table; 0 when no crop row has two points.
    Raises FieldError, as ``merge`` does, for tables the merge would fail on.
    """
    return half_spacing(index_field(connected_crop_rows, points_in_rows, row_information))
