"""Native engine of cropmerge."""

from typing import SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import NDArray

__all__ = ["merge_points_removing_overlap"]

def merge_points_removing_overlap(
    connected_crop_rows: NDArray[np.float64],
    points_in_rows: NDArray[np.float64],
    row_information: NDArray[np.float64],
    tolerance: SupportsFloat,
    num_threads: SupportsIndex,
) -> NDArray[np.float64]:
    """Trim every crop row's points past the center of each junction with a connected row.

    All three tables must be two-dimensional float64 arrays (any strides,
    read-only allowed); they are read, never changed.

    connected_crop_rows: one row per crop row to process. Column 0 is free;
        columns 1 and 2 hold the crop row's id pair; columns (3, 4), (5, 6),
        (7, 8) and (9, 10) the id pairs of up to four connected rows, the list
        ending at the first NaN first id.
    points_in_rows: one row per point. Columns 0 and 1 hold the id pair of the
        crop row it belongs to, columns 2 and 3 its x and y; further columns are
        carried along unchanged.
    row_information: one row per crop row. Column 0 holds the first id and
        column 4 the second id; columns 5 to 10 hold three anchor points
        (x0, y0, x1, y1, x2, y2): the two ends of the row and a point between.
    tolerance: margin in coordinate units by which a kept point may lie past
        the junction center; NaN is rejected with ValueError.
    num_threads: worker threads; 0 uses the processors available (the
        RAYON_NUM_THREADS environment variable, a positive integer, overrides).

    Returns a new (k, points_in_rows.shape[1]) float64 array of whole copies of
    the surviving rows of points_in_rows, crop row after crop row in the order
    of connected_crop_rows, each crop row's points in table order.

    Argument errors raise TypeError, ValueError or OverflowError with a note
    naming the argument. Inconsistent tables (an id pair missing from
    row_information, a table too narrow) raise PanicException, which derives
    from BaseException: catch it explicitly.
    """
