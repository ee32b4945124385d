"""Valid fields of any size, for tests that need realistic input rather than particular values."""

import numpy as np

LINES_PER_TILE = 8


def make_field(crop_rows, points_per_row, *, seed=0, extra_columns=2, shuffle=False):
    """Return (connected_crop_rows, points_in_rows, row_information).

    Tiles of 8 parallel crop rows; each crop row reaches one unit into the tiles
    beside it and is connected to the same line's pieces in the previous and the
    next tile, so every junction trims points.
    """
    rng = np.random.default_rng(seed)
    rows = np.arange(crop_rows)
    tile = rows // LINES_PER_TILE + 1.0
    line = rows % LINES_PER_TILE + 1.0
    x0 = tile * 10.0
    y = line * 3.0

    info = np.zeros((crop_rows, 11))
    info[:, 0] = tile
    info[:, 4] = line
    info[:, 5:11] = np.column_stack([x0 - 1, y, x0 + 11, y + 0.2, x0 + 5, y + 0.1])

    def exists(t):
        return (t >= 1) & ((t - 1) * LINES_PER_TILE + line - 1 < crop_rows)

    connected = np.full((crop_rows, 11), np.nan)
    connected[:, 0] = rows
    connected[:, 1] = tile
    connected[:, 2] = line
    # Slot 1 holds the previous tile's piece, or the next one's when there is
    # no previous; slot 2 the next tile's when slot 1 holds the previous.
    has_prev, has_next = exists(tile - 1), exists(tile + 1)
    first = np.where(has_prev, tile - 1, np.where(has_next, tile + 1, np.nan))
    connected[:, 3] = first
    connected[:, 4] = np.where(np.isnan(first), np.nan, line)
    both = has_prev & has_next
    connected[both, 5] = tile[both] + 1
    connected[both, 6] = line[both]

    owner = np.repeat(rows, points_per_row)
    along = np.tile(np.linspace(-1.0, 11.0, points_per_row), crop_rows)
    n = owner.size
    points = np.empty((n, 4 + extra_columns))
    points[:, 0] = tile[owner] + 0.25  # ids are compared as truncated integers
    points[:, 1] = line[owner]
    points[:, 2] = x0[owner] + along + rng.uniform(-0.2, 0.2, n)
    points[:, 3] = y[owner] + 0.02 * along + rng.uniform(-0.2, 0.2, n)
    points[:, 4:] = rng.standard_normal((n, extra_columns))
    if shuffle:
        points = points[rng.permutation(n)]
    return connected, points, info


def with_missing_connected_row(field, row):
    """The field with crop row `row` connected to a row that row_information lacks."""
    connected, points, info = field
    connected = connected.copy()
    connected[row, 3:5] = (1e6, 1.0)
    return connected, points, info


def two_piece_row(
    slope=0.1, *, list_second=True, second_lists_first=True, along_y=False, apart=0.0
):
    """One crop row crossing from tile 1 into tile 2, built by hand as a user would.

    Each piece holds 105 points, 0.1 apart along the line y = 5 + slope * x, and
    reaches 0.4 into the other tile, so the two overlap between x = 9.6 and 10.4.
    Its anchors are its first and last points and the point halfway between. The
    pieces are crop rows (1, 1) and (1, 2), normally each connected to the other.
    ``along_y`` swaps x and y throughout; ``apart`` moves the second piece along x.
    Returns (connected_crop_rows, points_in_rows, row_information).
    """
    nan = np.nan
    pieces = {2: np.arange(96, 201) / 10 + apart, 1: np.arange(0, 105) / 10}
    points, info = [], []
    for tile, x in sorted(pieces.items()):
        y = 5 + slope * x
        points.append(np.column_stack((np.ones_like(x), np.full_like(x, tile), x, y)))
        middle = (x[0] + x[-1]) / 2
        anchors = [x[0], y[0], x[-1], y[-1], middle, 5 + slope * middle]
        info.append([1, tile - 1, 0, len(x), tile, *anchors])
    connected = [[0, 1, 1, 1, 2] + [nan] * 6]
    if list_second:
        connected.append([1, 1, 2] + ([1, 1] if second_lists_first else [nan, nan]) + [nan] * 6)
    points, info = np.vstack(points), np.array(info, dtype=float)
    if along_y:
        points[:, 2:4] = points[:, [3, 2]]
        info[:, 5:11] = info[:, [6, 5, 8, 7, 10, 9]]
    return np.array(connected), points, info
