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


@dataclass(frozen=True)
class _Layout:
    """The grid of tiles and the course of the rows across it."""

    tiles_x: int
    tiles_y: int
    row_spacing: float
    pieces_per_tile: float  # rows entering a tile through its side or its bottom (top)
    slope: float
    wavelength: float
    amplitude: float
    phase: float

    @property
    def width(self) -> float:
        return self.tiles_x * _TILE_SIZE

    @property
    def height(self) -> float:
        return self.tiles_y * _TILE_SIZE

    def shape(self, x: np.ndarray) -> np.ndarray:
        """A row's height above its offset at ``x``: the slope plus a gentle wave whose
        slope never changes sign, so that rows stay monotonic."""
        wave = np.sin(2 * math.pi * x / self.wavelength + self.phase) - math.sin(self.phase)
        return np.asarray(self.slope * x + self.amplitude * wave)


def _layout(crop_rows: int, rng: np.random.Generator) -> _Layout:
    rows_per_tile = int(np.clip(round(math.sqrt(crop_rows / 4)), 2, _MAX_ROWS_PER_TILE))
    slope = math.tan(math.radians(rng.uniform(1.5, 4.0))) * rng.choice((-1.0, 1.0))
    pieces_per_tile = rows_per_tile * (1 + abs(slope))
    tiles = max(1.0, crop_rows / pieces_per_tile)
    tiles_x = max(1, math.ceil(math.sqrt(tiles)))
    tiles_y = max(1, round(tiles / tiles_x))
    wavelength = 0.8 * max(tiles_x * _TILE_SIZE, tiles_y * _TILE_SIZE) + _TILE_SIZE
    return _Layout(
        tiles_x=tiles_x,
        tiles_y=tiles_y,
        row_spacing=_TILE_SIZE / rows_per_tile,
        pieces_per_tile=pieces_per_tile,
        slope=slope,
        wavelength=wavelength,
        amplitude=0.5 * abs(slope) * wavelength / (2 * math.pi),
        phase=rng.uniform(0, 2 * math.pi),
    )


def _plant_columns(layout: _Layout, points: int) -> int:
    """How many plants a row has across the field's width for about ``points``
    detections: the rows' total length plus what the junctions detect twice."""
    width, height, spacing = layout.width, layout.height, layout.row_spacing
    row_length = width * height / spacing
    rows_in_field = (height + width * abs(layout.slope)) / spacing
    junctions = max(0.0, layout.tiles_x * layout.tiles_y * layout.pieces_per_tile - rows_in_field)
    step = (row_length + 2 * junctions * _OVERLAP) / points
    return max(1, int(width / step))


@dataclass(frozen=True)
class _Plants:
    """Every plant inside the field, field row after field row, each from left to right."""

    x: np.ndarray
    y: np.ndarray
    field_row: np.ndarray  # 0, 1, ... from the lowest field row that has a plant
    row_offset: np.ndarray  # the offset of the plant's field row
    tile_x: np.ndarray
    tile_y: np.ndarray
    tile: np.ndarray  # tile_y * tiles_x + tile_x


def _plants(layout: _Layout, columns: int, rng: np.random.Generator) -> _Plants:
    """One plant per column along every field row that meets the field, slightly
    irregular along the row."""
    ends = layout.shape(np.array([0.0, layout.width]))
    first = math.floor(-ends.max() / layout.row_spacing) - 1
    last = math.ceil((layout.height - ends.min()) / layout.row_spacing) + 1
    offsets = (np.arange(first, last) + 0.5) * layout.row_spacing

    step = layout.width / columns
    xs = (np.arange(columns) + 0.5) * step
    px = xs[None, :] + rng.uniform(-0.25, 0.25, (offsets.size, columns)) * step
    py = offsets[:, None] + layout.shape(px)
    inside = (py >= 0) & (py < layout.height)
    row_of, _ = np.nonzero(inside)  # row-major: each field row's plants from left to right
    px, py = px[inside], py[inside]
    if px.size == 0:
        raise ValueError("the field holds no plant; ask for more points")
    tile_x = np.minimum((px / _TILE_SIZE).astype(np.int64), layout.tiles_x - 1)
    tile_y = np.minimum((py / _TILE_SIZE).astype(np.int64), layout.tiles_y - 1)
    return _Plants(
        x=px,
        y=py,
        field_row=np.unique(row_of, return_inverse=True)[1],
        row_offset=offsets[row_of],
        tile_x=tile_x,
        tile_y=tile_y,
        tile=tile_y * layout.tiles_x + tile_x,
    )


@dataclass(frozen=True)
class _Pieces:
    """The pieces of the field rows, one per tile crossed, in the plants' order."""

    start: np.ndarray  # the first plant of the piece
    lo: np.ndarray  # the first and past the last plant it detects
    hi: np.ndarray
    row: np.ndarray  # its field row
    tile: np.ndarray
    slots: tuple[np.ndarray, np.ndarray]  # the neighbouring pieces it lists, or -1


def _pieces(plants: _Plants, overlap_points: int) -> _Pieces:
    """Runs of plants of one field row in one tile; each detects ``overlap_points``
    plants past its ends, within its field row."""
    field_row, n_plants = plants.field_row, plants.x.size
    change = (field_row[1:] != field_row[:-1]) | (plants.tile[1:] != plants.tile[:-1])
    starts = np.concatenate(([0], np.nonzero(change)[0] + 1))
    stops = np.append(starts[1:], n_plants)
    piece_row = field_row[starts]
    row_lo = np.searchsorted(field_row, piece_row, side="left")
    row_hi = np.searchsorted(field_row, piece_row, side="right")
    return _Pieces(
        start=starts,
        lo=np.maximum(starts - overlap_points, row_lo),
        hi=np.minimum(stops + overlap_points, row_hi),
        row=piece_row,
        tile=plants.tile[starts],
        slots=_neighbour_slots(piece_row),
    )


def _neighbour_slots(piece_row: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The previous and the next piece of the same field row, packed into the first
    slots; -1 where there is none."""
    n_pieces = piece_row.size
    same_as_next = piece_row[1:] == piece_row[:-1]
    has_prev = np.concatenate(([False], same_as_next))
    has_next = np.concatenate((same_as_next, [False]))
    prev_idx = np.arange(n_pieces) - 1
    next_idx = np.minimum(np.arange(n_pieces) + 1, n_pieces - 1)
    slot1 = np.where(has_prev, prev_idx, np.where(has_next, next_idx, -1))
    slot2 = np.where(has_prev & has_next, next_idx, -1)
    return slot1, slot2


def _connected_crop_rows(pieces: _Pieces, order: np.ndarray, ids: np.ndarray) -> np.ndarray:
    """The pieces in the given order, each listing its neighbours."""
    connected = np.full((order.size, 11), np.nan)
    connected[:, 0] = np.arange(order.size)
    connected[:, 1:3] = ids[order]
    for column, slot in zip((3, 5), pieces.slots, strict=True):
        slot = slot[order]
        present = slot >= 0
        connected[present, column : column + 2] = ids[slot[present]]
    return connected


def _detections(
    plants: _Plants,
    pieces: _Pieces,
    order: np.ndarray,
    ids: np.ndarray,
    jitter: float,
    extra_columns: int,
    rng: np.random.Generator,
) -> np.ndarray:
    """Every piece's detections, piece after piece in the given order, each with its
    own jitter and the extra columns' values."""
    counts = pieces.hi[order] - pieces.lo[order]
    total = int(counts.sum())
    before = np.cumsum(counts) - counts
    plant = np.arange(total) + np.repeat(pieces.lo[order] - before, counts)
    table = np.empty((total, 4 + extra_columns))
    table[:, 0] = np.repeat(ids[order, 0], counts)
    table[:, 1] = np.repeat(ids[order, 1], counts)
    table[:, 2] = plants.x[plant] + rng.normal(0.0, jitter, total)
    table[:, 3] = plants.y[plant] + rng.normal(0.0, jitter, total)
    if extra_columns >= 1:
        table[:, 4] = rng.uniform(0.5, 1.0, total)
    if extra_columns >= 2:
        table[:, 5] = rng.gamma(4.0, 0.01, total)
    if extra_columns >= 3:
        table[:, 6:] = rng.standard_normal((total, extra_columns - 2))
    return table


def _row_information(
    layout: _Layout, plants: _Plants, pieces: _Pieces, order: np.ndarray, ids: np.ndarray
) -> np.ndarray:
    """Anchors: the first and last detected plant on the row's line, and the row's
    point halfway between them; the free columns hold the tile and the count."""
    first_plant, last_plant = pieces.lo[order], pieces.hi[order] - 1
    mid_x = 0.5 * (plants.x[first_plant] + plants.x[last_plant])
    start = pieces.start[order]
    info = np.empty((order.size, 11))
    info[:, 0] = ids[order, 0]
    info[:, 1] = plants.tile_x[start]
    info[:, 2] = plants.tile_y[start]
    info[:, 3] = pieces.hi[order] - pieces.lo[order]
    info[:, 4] = ids[order, 1]
    info[:, 5] = plants.x[first_plant]
    info[:, 6] = plants.y[first_plant]
    info[:, 7] = plants.x[last_plant]
    info[:, 8] = plants.y[last_plant]
    info[:, 9] = mid_x
    info[:, 10] = plants.row_offset[first_plant] + layout.shape(mid_x)
    return info


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
    layout = _layout(crop_rows, rng)
    columns = _plant_columns(layout, points)
    step = layout.width / columns
    overlap_points = max(1, round(_OVERLAP / step))
    jitter = 0.15 * step
    plants = _plants(layout, columns, rng)
    pieces = _pieces(plants, overlap_points)

    # Crop rows in tile order, and by field row within a tile.
    order = np.lexsort((pieces.row, pieces.tile))
    ids = np.column_stack((pieces.row, pieces.tile)).astype(np.float64)
    table = _detections(plants, pieces, order, ids, jitter, extra_columns, rng)
    if shuffle:
        table = table[rng.permutation(len(table))]
    return Field(
        connected_crop_rows=_connected_crop_rows(pieces, order, ids),
        points_in_rows=table,
        row_information=_row_information(layout, plants, pieces, order, ids),
        tile_size=_TILE_SIZE,
        tiles_x=layout.tiles_x,
        tiles_y=layout.tiles_y,
        row_spacing=layout.row_spacing,
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
