"""Synthetic fields of crop rows split across image tiles.

A field is a grid of square image tiles crossed by parallel crop rows that run
at a slight angle and bend gently (each row rises or falls monotonically, so it
visits every tile at most once). Wherever a row crosses a tile, that piece of
the row is one crop row of the input tables: its first id is the field row's
number and its second id the tile's number (``tile_y * tiles_x + tile_x``).
Each piece is connected to the previous and the next piece of the same field
row. Its detections reach ``overlap_points`` plants past each junction into
the neighbouring tile, so the two pieces overlap there, and every detection
carries its own positional jitter and ``extra_columns`` further values
(a detection score in [0.5, 1), a plant diameter, then standard normal noise).

The anchors of a piece are its first and last detected plants (anchor 0 and 1,
on the row's true line) and the row's point halfway between them (anchor 2).

Everything is vectorised and depends only on the arguments, so a seed always
gives the same field.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

__all__ = ["SIZES", "Field", "make_field", "make_sized_field"]

SIZES: dict[str, tuple[int, int]] = {
    "small": (1_000, 100_000),
    "medium": (10_000, 1_000_000),
    "large": (50_000, 5_000_000),
}

_TILE_SIZE = 10.0  # metres
_OVERLAP = 0.5  # metres of a row that two neighbouring tiles both detect
_MAX_ROWS_PER_TILE = 12


@dataclass(frozen=True)
class Field:
    """The three input tables of a synthetic field and the geometry behind them."""

    connected_crop_rows: np.ndarray  # (n_crop_rows, 11) float64
    points_in_rows: np.ndarray  # (n_points, 4 + extra_columns) float64
    row_information: np.ndarray  # (n_crop_rows, 11) float64
    tile_size: float
    tiles_x: int
    tiles_y: int
    row_spacing: float
    point_spacing: float
    overlap_points: int
    jitter: float

    @property
    def width(self) -> float:
        return self.tiles_x * self.tile_size

    @property
    def height(self) -> float:
        return self.tiles_y * self.tile_size

    @property
    def default_tolerance(self) -> float:
        """Half the spacing of plants along a row: about one duplicate is left per junction."""
        return 0.5 * self.point_spacing


def make_field(
    crop_rows: int,
    points: int,
    *,
    seed: int = 0,
    shuffle: bool = False,
    extra_columns: int = 2,
) -> Field:
    """Make a field of about ``crop_rows`` crop rows holding about ``points`` detections.

    Points are grouped by crop row, the crop rows in tile order and within a
    tile by field row; ``shuffle=True`` puts the points in random order.
    """
    if crop_rows < 1 or points < 1:
        raise ValueError("crop_rows and points must be at least 1")
    if extra_columns < 0:
        raise ValueError("extra_columns must not be negative")
    rng = np.random.default_rng(seed)

    tile = _TILE_SIZE
    rows_per_tile = int(np.clip(round(math.sqrt(crop_rows / 4)), 2, _MAX_ROWS_PER_TILE))
    spacing = tile / rows_per_tile
    slope = math.tan(math.radians(rng.uniform(1.5, 4.0))) * rng.choice((-1.0, 1.0))

    # Every tile holds the rows entering through its side and those entering
    # through its bottom (or top) border.
    pieces_per_tile = rows_per_tile * (1 + abs(slope))
    tiles = max(1.0, crop_rows / pieces_per_tile)
    tiles_x = max(1, math.ceil(math.sqrt(tiles)))
    tiles_y = max(1, round(tiles / tiles_x))
    width, height = tiles_x * tile, tiles_y * tile

    # Plant spacing from the number of detections asked for: the rows' total
    # length plus what the junctions detect twice.
    row_length = width * height / spacing
    rows_in_field = (height + width * abs(slope)) / spacing
    junctions = max(0.0, tiles_x * tiles_y * pieces_per_tile - rows_in_field)
    step = (row_length + 2 * junctions * _OVERLAP) / points
    columns = max(1, int(width / step))
    step = width / columns
    overlap_points = max(1, round(_OVERLAP / step))
    jitter = 0.15 * step

    # A gentle wave whose slope never changes sign, so that rows stay monotonic.
    wavelength = 0.8 * max(width, height) + tile
    amplitude = 0.5 * abs(slope) * wavelength / (2 * math.pi)
    phase = rng.uniform(0, 2 * math.pi)

    def shape(x: np.ndarray) -> np.ndarray:
        wave = np.sin(2 * math.pi * x / wavelength + phase) - math.sin(phase)
        return np.asarray(slope * x + amplitude * wave)

    # Field rows: every offset whose row meets the field somewhere.
    ends = shape(np.array([0.0, width]))
    first = math.floor(-ends.max() / spacing) - 1
    last = math.ceil((height - ends.min()) / spacing) + 1
    offsets = (np.arange(first, last) + 0.5) * spacing

    # Plants: one per column along every row, slightly irregular along the row.
    xs = (np.arange(columns) + 0.5) * step
    px = xs[None, :] + rng.uniform(-0.25, 0.25, (offsets.size, columns)) * step
    py = offsets[:, None] + shape(px)
    inside = (py >= 0) & (py < height)
    row_of, _ = np.nonzero(inside)  # row-major: each field row's plants from left to right
    px, py = px[inside], py[inside]
    if px.size == 0:
        raise ValueError("the field holds no plant; ask for more points")
    _, field_row = np.unique(row_of, return_inverse=True)
    row_offset = offsets[row_of]

    tile_x = np.minimum((px / tile).astype(np.int64), tiles_x - 1)
    tile_y = np.minimum((py / tile).astype(np.int64), tiles_y - 1)
    tile_of = tile_y * tiles_x + tile_x

    # Pieces: runs of plants of one field row in one tile.
    n_plants = px.size
    change = (field_row[1:] != field_row[:-1]) | (tile_of[1:] != tile_of[:-1])
    starts = np.concatenate(([0], np.nonzero(change)[0] + 1))
    stops = np.append(starts[1:], n_plants)
    piece_row = field_row[starts]
    piece_tile = tile_of[starts]

    # Detections reach overlap_points plants past each end, within the field row.
    row_lo = np.searchsorted(field_row, piece_row, side="left")
    row_hi = np.searchsorted(field_row, piece_row, side="right")
    lo = np.maximum(starts - overlap_points, row_lo)
    hi = np.minimum(stops + overlap_points, row_hi)

    # Neighbouring pieces of the same field row, packed into the first slots.
    n_pieces = starts.size
    same_as_next = piece_row[1:] == piece_row[:-1]
    has_prev = np.concatenate(([False], same_as_next))
    has_next = np.concatenate((same_as_next, [False]))
    prev_idx = np.arange(n_pieces) - 1
    next_idx = np.minimum(np.arange(n_pieces) + 1, n_pieces - 1)
    slot1 = np.where(has_prev, prev_idx, np.where(has_next, next_idx, -1))
    slot2 = np.where(has_prev & has_next, next_idx, -1)

    # Crop rows in tile order, and by field row within a tile.
    order = np.lexsort((piece_row, piece_tile))
    rank = np.empty(n_pieces, dtype=np.int64)
    rank[order] = np.arange(n_pieces)
    ids = np.column_stack((piece_row, piece_tile)).astype(np.float64)

    connected = np.full((n_pieces, 11), np.nan)
    connected[:, 0] = np.arange(n_pieces)
    connected[:, 1:3] = ids[order]
    for column, slot in ((3, slot1), (5, slot2)):
        slot = slot[order]
        present = slot >= 0
        connected[present, column : column + 2] = ids[slot[present]]

    # Detections, crop row after crop row.
    lo, hi = lo[order], hi[order]
    counts = hi - lo
    total = int(counts.sum())
    before = np.cumsum(counts) - counts
    plant = np.arange(total) + np.repeat(lo - before, counts)
    table = np.empty((total, 4 + extra_columns))
    table[:, 0] = np.repeat(ids[order, 0], counts)
    table[:, 1] = np.repeat(ids[order, 1], counts)
    table[:, 2] = px[plant] + rng.normal(0.0, jitter, total)
    table[:, 3] = py[plant] + rng.normal(0.0, jitter, total)
    if extra_columns >= 1:
        table[:, 4] = rng.uniform(0.5, 1.0, total)
    if extra_columns >= 2:
        table[:, 5] = rng.gamma(4.0, 0.01, total)
    if extra_columns >= 3:
        table[:, 6:] = rng.standard_normal((total, extra_columns - 2))
    if shuffle:
        table = table[rng.permutation(total)]

    # Anchors: first and last detected plant on the row's line, and the middle.
    first_plant, last_plant = lo, hi - 1
    mid_x = 0.5 * (px[first_plant] + px[last_plant])
    info = np.empty((n_pieces, 11))
    info[:, 0] = ids[order, 0]
    info[:, 1] = tile_x[starts][order]
    info[:, 2] = tile_y[starts][order]
    info[:, 3] = counts
    info[:, 4] = ids[order, 1]
    info[:, 5] = px[first_plant]
    info[:, 6] = py[first_plant]
    info[:, 7] = px[last_plant]
    info[:, 8] = py[last_plant]
    info[:, 9] = mid_x
    info[:, 10] = row_offset[first_plant] + shape(mid_x)

    return Field(
        connected_crop_rows=connected,
        points_in_rows=table,
        row_information=info,
        tile_size=tile,
        tiles_x=tiles_x,
        tiles_y=tiles_y,
        row_spacing=spacing,
        point_spacing=step,
        overlap_points=overlap_points,
        jitter=jitter,
    )


def make_sized_field(size: str, *, seed: int = 0, shuffle: bool = False) -> Field:
    """Make the field of one of the named ``SIZES``."""
    try:
        crop_rows, points = SIZES[size]
    except KeyError:
        raise ValueError(f"unknown size {size!r}; choose one of {', '.join(SIZES)}") from None
    return make_field(crop_rows, points, seed=seed, shuffle=shuffle)
