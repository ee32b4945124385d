"""``cropmerge.merge``: the merge for callers' own tables, with their errors in their terms."""

from __future__ import annotations

import numpy as np
from _native import merge_points_removing_overlap
from numpy.typing import ArrayLike

from cropmerge.tables import as_tables, validate_tables

__all__ = ["MergeError", "is_engine_failure", "merge"]


class MergeError(Exception):
    """The merge itself failed; ``message`` is the engine's own text."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


def is_engine_failure(error: BaseException) -> bool:
    """Whether ``error`` is the engine's PanicException (a BaseException, not an Exception)."""
    kind = type(error)
    return (kind.__module__, kind.__qualname__) == ("pyo3_runtime", "PanicException")


def check_scalars(tolerance: object, num_threads: object) -> None:
    """Names the argument at fault where the merge's own conversions would not: they
    raise the same errors, but say only "must be real number", "can't convert
    negative int to unsigned", "int too big to convert" or "int too large to convert
    to float"."""
    if not hasattr(type(tolerance), "__float__") and not hasattr(type(tolerance), "__index__"):
        raise TypeError(f"tolerance must be a number, got {type(tolerance).__name__}")
    if type(tolerance) is int and abs(tolerance) >= 2**1024:  # no code of the caller's runs
        raise OverflowError(
            f"tolerance is too large for a float, an int of {tolerance.bit_length()} bits"
        )
    if isinstance(num_threads, int | np.integer):
        if num_threads < 0:
            raise OverflowError(f"num_threads must be 0 or more, got {num_threads}")
        if num_threads >= 2**64:
            raise OverflowError(f"num_threads must be below 2**64, got {num_threads}")


def merge(
    connected_crop_rows: ArrayLike,
    points_in_rows: ArrayLike,
    row_information: ArrayLike,
    tolerance: float,
    num_threads: int = 0,
    *,
    check: bool = True,
) -> np.ndarray:
    """Merge crop rows split across image tiles: drop every crop row's points that lie
    past the center of its junction with each of its connected rows.

    Tables are real-valued 2-D array-likes (float64, float32, integer arrays or nested
    lists); float64 arrays are used as they are, others are converted; masked values
    are refused. Ids are compared as integers (truncated) except those of connected
    rows, which must equal the ids in ``row_information`` exactly.

    connected_crop_rows: one row per crop row to merge: column 0 is free, columns 1 and
        2 hold the crop row's id pair, columns (3, 4), (5, 6), (7, 8) and (9, 10) the id
        pairs of up to four connected rows; NaN as a first id ends the list. List every
        crop row that has points, also those without connections: the points of
        unlisted crop rows are dropped. List each connection on both sides.
    points_in_rows: one row per point: the id pair of its crop row, then x and y; any
        further columns are carried along unchanged.
    row_information: one row per crop row: first id, three free columns, second id,
        then x, y of three anchor points (the row's two ends and a point between).
    tolerance: how far, in coordinate units, a kept point may lie past a junction
        center; about half the spacing of points along a row (see ``auto_tolerance``).
    num_threads: worker threads; 0 uses the processors available.
    check: validate the tables first and raise FieldError for what the merge would
        fail on. ``check_field`` reports the subtler problems that lose points.

    Returns a new float64 array of whole rows of ``points_in_rows``: the points that
    survive, crop row by crop row in the order connected_crop_rows lists them, each
    crop row's points in table order, whatever the number of threads.

    Raises FieldError (a ValueError) naming the table and the widths or id pairs at
    fault; MergeError if the merge fails nonetheless; TypeError, ValueError or
    OverflowError for a wrong tolerance or num_threads.
    """
    check_scalars(tolerance, num_threads)
    connected, points, info = as_tables(connected_crop_rows, points_in_rows, row_information)
    if check:
        validate_tables(connected, points, info)
    try:
        return merge_points_removing_overlap(connected, points, info, tolerance, num_threads)
    except BaseException as error:
        if is_engine_failure(error):
            raise MergeError(str(error.args[0])) from error
        raise
