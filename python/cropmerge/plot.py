"""The before/after picture of a merged synthetic field (matplotlib, drawn with Agg).

On the left, a few tiles at the centre of the field: every
detection coloured by whether the merge kept it, the tile borders, the crop
rows' anchor points and the junction centers. On the right, a few junctions
zoomed in, before the merge (both crop rows' detections overlapping) and after.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
from matplotlib.axes import Axes
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.gridspec import GridSpec
from matplotlib.lines import Line2D
from matplotlib.patches import Rectangle

from cropmerge.synthetic import Field

__all__ = ["Junctions", "draw", "junction_centers", "kept_mask"]

KEPT = "#3a7d44"
REMOVED = "#d1495b"
OWN = "#1f6fb4"
OTHER = "#f08a24"
CONTEXT = "#c8c8c8"
BORDER = "#8a8a8a"
CENTER = "#222222"
WINDOW_TILES = 3  # per side of the overview
INSETS = 3


def kept_mask(points: np.ndarray, merged: np.ndarray) -> np.ndarray:
    """Which rows of ``points`` occur in ``merged`` (compared bit for bit)."""
    if points.shape[0] == 0 or merged.shape[0] == 0:
        return np.zeros(points.shape[0], dtype=bool)

    def keys(table: np.ndarray) -> np.ndarray:
        table = np.ascontiguousarray(table, dtype=np.float64)
        row = np.dtype((np.void, table.dtype.itemsize * table.shape[1]))
        return table.view(row).ravel()

    return np.isin(keys(points), keys(merged))


@dataclass(frozen=True)
class Junctions:
    """Where each crop row meets each of its connected rows, seen from the crop row."""

    crop_row: np.ndarray  # index into connected_crop_rows
    own_info: np.ndarray  # index into row_information of the crop row
    other_info: np.ndarray  # index into row_information of the connected row
    center: np.ndarray  # (n, 2)
    near_end: np.ndarray  # (n, 2)


def junction_centers(connected: np.ndarray, info: np.ndarray) -> Junctions:
    """Work out every junction's center and near end the way the merge does.

    Crop rows look up their own ``row_information`` row by integer ids and
    their connected rows by exact float ids; pairs that are not found are
    skipped (the merge itself fails on them).
    """
    by_integer: dict[tuple[int, int], int] = {}
    by_float: dict[tuple[float, float], int] = {}
    for index, (first, second) in enumerate(info[:, [0, 4]].tolist()):
        by_integer.setdefault((_integer_id(first), _integer_id(second)), index)
        by_float.setdefault((first, second), index)

    crop_rows, own_rows, other_rows = [], [], []
    for crop_row, row in enumerate(connected.tolist()):
        own = by_integer.get((_integer_id(row[1]), _integer_id(row[2])))
        if own is None:
            continue
        for column in (3, 5, 7, 9):
            if column + 1 >= len(row) or np.isnan(row[column]):  # NaN ends the list
                break
            other = by_float.get((row[column], row[column + 1]))
            if other is not None:
                crop_rows.append(crop_row)
                own_rows.append(own)
                other_rows.append(other)

    own_index = np.array(own_rows, dtype=np.int64)
    other_index = np.array(other_rows, dtype=np.int64)
    p = info[own_index, 5:11].reshape(-1, 3, 2)
    q = info[other_index, 5:11].reshape(-1, 3, 2)
    dx = p[:, :, None, 0] - q[:, None, :, 0]
    dy = p[:, :, None, 1] - q[:, None, :, 1]
    distance = np.sqrt(dx * dx + dy * dy).reshape(-1, 9)
    # The first pair at the greatest distance wins; NaN never does, nor does 0.
    distance = np.where(np.isnan(distance), -1.0, distance)
    rows = np.arange(len(distance))
    best = np.argmax(distance, axis=1) if len(rows) else np.zeros(0, dtype=np.int64)
    best = np.where(distance[rows, best] > 0.0, best, 0)
    s, u = best // 3, best % 3
    far = p[rows, s]
    near = np.where((s == 0)[:, None], p[:, 1], p[:, 0])
    connected_near = np.where((u == 0)[:, None], q[:, 1], q[:, 0])
    middle = (near + connected_near) * 0.5
    v = far - near
    w = middle - near
    with np.errstate(invalid="ignore", divide="ignore"):
        t = ((0.0 + w[:, 0] * v[:, 0]) + w[:, 1] * v[:, 1]) / (
            (0.0 + v[:, 0] * v[:, 0]) + v[:, 1] * v[:, 1]
        )
    center = near + v * t[:, None]
    return Junctions(np.array(crop_rows, dtype=np.int64), own_index, other_index, center, near)


def _integer_id(value: float) -> int:
    """An id as the merge compares a crop row's own ids: truncated, NaN and negatives 0."""
    if not value > 0:
        return 0
    return 2**64 - 1 if value >= 2.0**64 else int(value)


def draw(field: Field, merged: np.ndarray, tolerance: float) -> Figure:
    """The before/after figure of ``field`` merged into ``merged`` with ``tolerance``."""
    points = field.points_in_rows
    info = field.row_information
    connected = field.connected_crop_rows
    xy = points[:, 2:4]

    # The overview: a few tiles at the field's centre.
    tile = field.tile_size
    nx, ny = min(WINDOW_TILES, field.tiles_x), min(WINDOW_TILES, field.tiles_y)
    x0 = (field.tiles_x - nx) // 2 * tile
    y0 = (field.tiles_y - ny) // 2 * tile
    window = (x0, y0, x0 + nx * tile, y0 + ny * tile)

    shown = _inside(xy, window)
    kept = _kept_inside(points, merged, window)
    junctions = junction_centers(connected, info)

    figure = Figure(figsize=(14, 8.2), dpi=100, layout="constrained")
    FigureCanvasAgg(figure)  # rendered by Agg, whatever backend pyplot uses
    grid = GridSpec(2 * INSETS, 2, figure=figure, width_ratios=[1, 1])
    overview = figure.add_subplot(grid[:, 0])
    _draw_borders(overview, tile, window)
    _scatter(overview, xy[shown & kept], s=1.2, c=KEPT, linewidths=0, rasterized=True)
    _scatter(overview, xy[shown & ~kept], s=3, c=REMOVED, linewidths=0, rasterized=True)
    anchors = info[:, 5:11].reshape(-1, 2)
    anchors = anchors[_inside(anchors, window)]
    _scatter(overview, anchors, s=5, c="black", marker="o", linewidths=0, rasterized=True)
    centers = junctions.center[_inside(junctions.center, window)]
    _scatter(overview, centers, s=14, c=CENTER, marker="x", linewidths=0.6, rasterized=True)
    overview.set(xlim=window[::2], ylim=window[1::2], aspect="equal")
    overview.set(xlabel="x (m)", ylabel="y (m)")
    overview.set_title(
        f"{nx} x {ny} of the field's {field.tiles_x} x {field.tiles_y} tiles ({tile:g} m each)",
        fontsize=10,
    )

    half_x = 1.7 * field.overlap_points * field.point_spacing
    half_y = half_x / 5
    chosen = _choose_junctions(field, junctions, window, half_x)
    for number in range(1, INSETS + 1):
        before = figure.add_subplot(grid[2 * number - 2, 1])
        after = figure.add_subplot(grid[2 * number - 1, 1])
        if number > len(chosen):
            before.set_axis_off()
            after.set_axis_off()
            continue
        junction = chosen[number - 1]
        cx, cy = junctions.center[junction]
        box = (cx - half_x, cy - half_y, cx + half_x, cy + half_y)
        overview.add_patch(
            Rectangle(box[:2], 2 * half_x, 2 * half_y, fill=False, ec="black", lw=0.8, zorder=5)
        )
        overview.annotate(
            str(number), box[2:], xytext=(2, 2), textcoords="offset points", fontweight="bold"
        )
        _draw_junction(before, after, field, merged, junctions, junction, box)
        before.set_title(f"junction {number}, before", fontsize=9, loc="left")
        after.set_title(f"junction {number}, after", fontsize=9, loc="left")

    figure.suptitle(
        f"{len(connected)} crop rows, {len(points)} detections: {len(merged)} kept, "
        f"{len(points) - len(merged)} removed (tolerance {tolerance:.3g} m)",
        fontsize=12,
    )
    figure.legend(handles=_legend(), loc="outside lower center", ncols=8, fontsize=9, frameon=False)
    return figure


def _draw_junction(
    before: Axes,
    after: Axes,
    field: Field,
    merged: np.ndarray,
    junctions: Junctions,
    junction: int,
    box: tuple[float, float, float, float],
) -> None:
    points = field.points_in_rows
    info = field.row_information
    near = _inside(points[:, 2:4], box)
    local = points[near]
    kept = _kept_inside(local, merged, box)
    xy, ids = local[:, 2:4], local[:, :2]
    own = info[junctions.own_info[junction], [0, 4]]
    other = info[junctions.other_info[junction], [0, 4]]
    mine = np.all(ids == own, axis=1)
    theirs = np.all(ids == other, axis=1)
    rest = ~mine & ~theirs
    pair = [junctions.own_info[junction], junctions.other_info[junction]]
    anchors = info[pair, 5:11].reshape(-1, 2)
    both = [junction, *_reverse(junctions, junction)]
    for ax, is_after in ((before, False), (after, True)):
        _draw_borders(ax, field.tile_size, box)
        show = kept | (not is_after)
        _scatter(ax, xy[rest & show], s=10, c=CONTEXT, linewidths=0)
        _scatter(ax, xy[mine & show], s=22, c=OWN, marker="o", linewidths=0)
        _scatter(ax, xy[theirs & show], s=26, c=OTHER, marker="^", linewidths=0)
        if is_after:
            _scatter(ax, xy[(mine | theirs) & ~kept], s=14, c=REMOVED, marker="x", lw=0.6)
        _scatter(ax, anchors, s=50, facecolors="none", edgecolors="black", lw=0.8, zorder=3)
        _scatter(ax, junctions.center[both], s=60, c=CENTER, marker="x", lw=1.2, zorder=4)
        ax.set(xlim=box[::2], ylim=box[1::2], aspect="equal", xticks=[], yticks=[])


def _legend() -> list[Line2D]:
    def marker(label: str, symbol: str, color: str, size: float = 5) -> Line2D:
        return Line2D([], [], ls="none", marker=symbol, color=color, ms=size, label=label)

    return [
        marker("kept", "o", KEPT, 4),
        marker("removed", "o", REMOVED, 4),
        marker("crop row (zoom)", "o", OWN),
        marker("connected row (zoom)", "^", OTHER),
        marker("removed (zoom)", "x", REMOVED),
        Line2D([], [], ls="none", marker="o", mfc="none", mec="black", ms=6, label="anchor point"),
        marker("junction center", "x", CENTER, 6),
        Line2D([], [], color=BORDER, lw=0.8, label="tile border"),
    ]


def _scatter(ax: Axes, xy: np.ndarray, **style: Any) -> None:
    ax.scatter(xy[:, 0], xy[:, 1], **style)


def _inside(xy: np.ndarray, box: tuple[float, float, float, float]) -> np.ndarray:
    x, y = xy[..., 0], xy[..., 1]
    return (x >= box[0]) & (x <= box[2]) & (y >= box[1]) & (y <= box[3])


def _kept_inside(
    points: np.ndarray, merged: np.ndarray, box: tuple[float, float, float, float]
) -> np.ndarray:
    """kept_mask for the points inside ``box`` (False elsewhere), cheap on large tables."""
    inside = _inside(points[:, 2:4], box)
    kept = np.zeros(len(points), dtype=bool)
    kept[inside] = kept_mask(points[inside], merged[_inside(merged[:, 2:4], box)])
    return kept


def _draw_borders(ax: Axes, tile: float, box: tuple[float, float, float, float]) -> None:
    x0, y0, x1, y1 = box
    for x in np.arange(np.ceil(x0 / tile), np.floor(x1 / tile) + 1) * tile:
        ax.axvline(x, color=BORDER, lw=0.8, zorder=0)
    for y in np.arange(np.ceil(y0 / tile), np.floor(y1 / tile) + 1) * tile:
        ax.axhline(y, color=BORDER, lw=0.8, zorder=0)


def _reverse(junctions: Junctions, junction: int) -> list[int]:
    """The same junction seen from the connected row, when that row lists it back."""
    match = np.flatnonzero(
        (junctions.own_info == junctions.other_info[junction])
        & (junctions.other_info == junctions.own_info[junction])
    )
    return [int(index) for index in match[:1]]


def _choose_junctions(
    field: Field, junctions: Junctions, window: tuple[float, float, float, float], half: float
) -> list[int]:
    """A few junctions to zoom on: across a side border, across a top or bottom
    border, and the one with the shortest crop row, nearest the window's middle first."""
    x0, y0, x1, y1 = window
    inner = (x0 + half, y0 + half, x1 - half, y1 - half)
    candidates = np.flatnonzero(
        _inside(junctions.center, inner) & np.isfinite(junctions.center).all(axis=1)
    )
    if candidates.size == 0:
        return []
    info = field.row_information
    tile_of = info[:, 4].astype(np.int64)
    own_tile = tile_of[junctions.own_info[candidates]]
    other_tile = tile_of[junctions.other_info[candidates]]
    across_side = (own_tile // field.tiles_x == other_tile // field.tiles_x) & (
        own_tile != other_tile
    )
    across_top = own_tile % field.tiles_x == other_tile % field.tiles_x
    middle = np.array([(x0 + x1) / 2, (y0 + y1) / 2])
    distance = np.hypot(*(junctions.center[candidates] - middle).T)
    ends = info[junctions.own_info[candidates], 5:9]
    length = np.hypot(ends[:, 0] - ends[:, 2], ends[:, 1] - ends[:, 3])

    chosen: list[int] = []
    taken: set[frozenset[int]] = set()

    def take(order: np.ndarray, among: np.ndarray) -> None:
        for index in order:
            if not among[index]:
                continue
            junction = int(candidates[index])
            pair = (int(junctions.own_info[junction]), int(junctions.other_info[junction]))
            key = frozenset(pair)
            if key not in taken:
                taken.add(key)
                chosen.append(junction)
                return

    everything = np.ones(candidates.size, dtype=bool)
    take(np.argsort(distance, kind="stable"), across_side)
    take(np.argsort(distance, kind="stable"), across_top)
    take(np.argsort(length, kind="stable"), everything)
    while len(chosen) < INSETS and len(taken) < candidates.size:
        before = len(chosen)
        take(np.argsort(distance, kind="stable"), everything)
        if len(chosen) == before:
            break
    return chosen
