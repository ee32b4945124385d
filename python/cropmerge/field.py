"""A field's three tables, validated, with its points matched to their crop rows.

Points are matched run by run: a run is a stretch of consecutive points with equal
ids, so that tables listing each crop row's points together (the usual layout) cost
one comparison per point and the rest of the work is per run.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike

from cropmerge.ids import PairKeys
from cropmerge.links import Links
from cropmerge.tables import as_tables, id_columns, validate_tables

__all__ = ["IndexedField", "index_field"]


@dataclass(frozen=True)
class IndexedField:
    connected: np.ndarray
    points: np.ndarray
    info: np.ndarray
    links: Links  # the rows of row_information that the merge looks up
    run_start: np.ndarray  # the first point of each run
    run_ids: tuple[np.ndarray, np.ndarray]  # the first and second id of each run
    run_length: np.ndarray
    run_group: np.ndarray  # the crop row (the first of equal id pairs) of each run, or -1

    def points_of_runs(self, runs: np.ndarray) -> np.ndarray:
        """The indexes of the points of the given runs, run after run."""
        lengths = self.run_length[runs]
        ends = np.cumsum(lengths)
        return np.arange(ends[-1] if len(ends) else 0) + np.repeat(
            self.run_start[runs] - (ends - lengths), lengths
        )


def _runs(points: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Where runs of points with equal ids start, and how long they are (NaN ids differ)."""
    count = len(points)
    if points.strides[1] == points.itemsize:
        # Both ids at once, as one complex number per point (compared part by part).
        ids = points[:, :2].view(np.complex128)[:, 0]
        change = np.empty(count, dtype=bool)
        np.not_equal(ids[1:], ids[:-1], out=change[1:])
    else:
        first, second = points[:, 0], points[:, 1]
        change = np.empty(count, dtype=bool)
        np.not_equal(first[1:], first[:-1], out=change[1:])
        change[1:] |= second[1:] != second[:-1]
    change[:1] = True
    start = np.flatnonzero(change)
    return start, np.diff(start, append=count)


def index_field(
    connected_crop_rows: ArrayLike, points_in_rows: ArrayLike, row_information: ArrayLike
) -> IndexedField:
    """The tables as float64, after ``validate_tables``, with every run of points matched."""
    connected, points, info = as_tables(connected_crop_rows, points_in_rows, row_information)
    links = validate_tables(connected, points, info)
    crop_rows = id_columns(connected, 1, 2)
    keys = PairKeys(*crop_rows)
    # validate_tables lets a table without rows have fewer columns.
    point_ids = points if points.shape[1] >= 2 else np.zeros((0, 2))
    start, length = _runs(point_ids)
    run_ids = (point_ids[start, 0], point_ids[start, 1])
    group = keys.lookup(keys(*crop_rows), keys(*run_ids), missing=-1)
    return IndexedField(connected, points, info, links, start, run_ids, length, group)
