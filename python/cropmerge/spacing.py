"""The spacing of points along crop rows, and the tolerance it suggests."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike

from cropmerge.field import IndexedField, index_field

__all__ = ["SampledRows", "auto_tolerance", "half_spacing", "point_spacing", "sampled_rows"]


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


@dataclass(frozen=True)
class _Sample:
    """The sampled points, each with its crop row's place among the sampled ones, and its
    position along that crop row (from its anchor 0 toward its anchor 1)."""

    rows: np.ndarray  # the sampled crop rows
    place: np.ndarray  # per point, its crop row's index into rows
    x: np.ndarray
    y: np.ndarray
    along: np.ndarray
    direction: tuple[np.ndarray, np.ndarray]  # per sampled crop row


@np.errstate(over="ignore", invalid="ignore")
def _sample(field: IndexedField) -> _Sample | None:
    sample, group = field.matched.sample, field.matched.sample_row
    if len(sample) == 0 or field.points.shape[1] < 4:
        return None
    x, y = field.points[sample, 2], field.points[sample, 3]
    # Directions of the sampled crop rows only, each found through its place among them.
    sampled = np.bincount(group) > 0
    rows = np.flatnonzero(sampled)
    ux, uy = _row_directions(field, rows)
    place = (np.cumsum(sampled) - 1)[group]
    return _Sample(rows, place, x, y, x * ux[place] + y * uy[place], (ux, uy))


@np.errstate(over="ignore", invalid="ignore")  # infinite coordinates give NaN, left out
def _spacing(field: IndexedField, sample: _Sample) -> float:
    """The median distance between neighbouring points along their crop row; 0 with no
    such pair."""
    distances = _distances_in_order(field.matched.sample_row, sample.x, sample.y, sample.along)
    distances = distances[np.isfinite(distances)]
    return _median(distances) if len(distances) else 0.0


# How far a crop row's points may reach past an end anchor, as a share of the distance
# between its end anchors and at least the spacing of points along rows (the scatter of
# a few points is no sign), before the anchors are taken for something else than its ends.
_REACH_PAST_ENDS = 0.25


@np.errstate(over="ignore", invalid="ignore")
def _past_ends(
    field: IndexedField, sample: _Sample, spacing: float
) -> tuple[np.ndarray, np.ndarray]:
    """The sampled crop rows whose points reach well past their end anchors (0 and 1),
    and those whose points reach past one by more than the spacing."""
    if field.info.shape[1] < 9:
        return np.zeros(0, dtype=np.intp), np.zeros(0, dtype=np.intp)
    own = field.links.own_info[sample.rows]
    ends = field.info[np.maximum(own, 0), 5:9]
    ux, uy = sample.direction
    start, stop = ends[:, 0] * ux + ends[:, 1] * uy, ends[:, 2] * ux + ends[:, 3] * uy
    lowest = np.full(len(sample.rows), np.inf)
    highest = np.full(len(sample.rows), -np.inf)
    np.fmin.at(lowest, sample.place, sample.along)
    np.fmax.at(highest, sample.place, sample.along)
    span = stop - start
    usable = (own >= 0) & (span > 0)
    reach = np.maximum(_REACH_PAST_ENDS * span, spacing)
    past = usable & ((lowest < start - reach) | (highest > stop + reach))
    beyond = usable & ((lowest < start - spacing) | (highest > stop + spacing))
    return sample.rows[past], sample.rows[beyond]


@dataclass(frozen=True)
class SampledRows:
    """What the points of up to a few hundred crop rows spread over the table show."""

    spacing: float  # the median distance between neighbouring points of a crop row, or 0
    past_ends: np.ndarray  # crop rows whose points reach well past their end anchors
    beyond_ends: np.ndarray  # and those that reach past one by more than the spacing
    looked_at: int  # crop rows in the sample


def sampled_rows(field: IndexedField) -> SampledRows:
    sample = _sample(field)
    if sample is None:
        return SampledRows(0.0, np.zeros(0, dtype=np.intp), np.zeros(0, dtype=np.intp), 0)
    spacing = _spacing(field, sample)
    return SampledRows(spacing, *_past_ends(field, sample, spacing), len(sample.rows))


def _distances_in_order(
    group: np.ndarray, x: np.ndarray, y: np.ndarray, along: np.ndarray
) -> np.ndarray:
    """The distances between neighbours once the points are sorted by crop row, then by
    ``along`` (as ``np.lexsort`` orders them), in no particular order.

    Tables mostly list a crop row's points together and nearly in order along it: then
    only the crop rows whose points are out of order are sorted."""
    follows = group[1:] == group[:-1]
    run_rows = group[np.flatnonzero(np.concatenate(([True], ~follows)))]
    if len(run_rows) * 2 > len(group):  # scattered points: sorting them all costs less
        return _sorted_distances(group, x, y, along)
    disordered = np.bincount(run_rows) > 1
    # A NaN position compares false: its crop row is sorted, which puts NaN last.
    disordered[group[1:][follows & ~(along[1:] >= along[:-1])]] = True
    resorted = disordered[group]
    listed = np.hypot(np.diff(x), np.diff(y))[follows & ~resorted[1:]]
    which = np.flatnonzero(resorted)
    return np.concatenate(
        (listed, _sorted_distances(group[which], x[which], y[which], along[which]))
    )


def _sorted_distances(
    group: np.ndarray, x: np.ndarray, y: np.ndarray, along: np.ndarray
) -> np.ndarray:
    order = _lexsort_order(group, along)
    group = group[order]
    return np.hypot(np.diff(x[order]), np.diff(y[order]))[group[1:] == group[:-1]]


def _lexsort_order(group: np.ndarray, along: np.ndarray) -> np.ndarray:
    """``np.lexsort((along, group))``, several times faster where no two points of a crop
    row share a position: sorted by position, then stably by crop row, whose few ranks
    NumPy sorts by radix. Where they do (or a position is NaN), the order among them is
    the table's, which only lexsort keeps."""
    if len(group) == 0:
        return np.zeros(0, dtype=np.intp)
    order = np.argsort(along)
    present = np.zeros(int(group.max()) + 1, dtype=bool)
    present[group] = True
    rank = np.cumsum(present) - 1
    rank = rank.astype(np.uint16 if rank[-1] < 2**16 else np.int64)
    order = order[np.argsort(rank[group[order]], kind="stable")]
    rows, positions = group[order], along[order]
    if not ((rows[1:] != rows[:-1]) | (positions[1:] > positions[:-1])).all():
        return np.lexsort((along, group))
    return order


def point_spacing(field: IndexedField) -> float:
    """The median distance between neighbouring points of a crop row; 0 with no such pair."""
    sample = _sample(field)
    return 0.0 if sample is None else _spacing(field, sample)


def _median(values: np.ndarray) -> float:
    """``np.median`` of finite values, without the pass that looks for NaN: one partition,
    and for an even count the largest value below the middle."""
    middle = len(values) // 2
    upper = np.partition(values, middle)
    if len(values) % 2:
        return float(upper[middle])
    return float((upper[:middle].max() + upper[middle]) / 2)


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
