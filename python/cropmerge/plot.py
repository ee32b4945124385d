"""Pictures of a merge (matplotlib, drawn with Agg).

``draw`` is the demo's before/after picture of a synthetic field; ``draw_junction``
shows how one junction of any three tables is worked out and what both pieces
kept. They share one scheme: each piece in its own colour (neighbouring tiles
alternate between two), filled dots for kept points and crosses in the piece's
colour for removed ones, hollow circles for anchors and a plus for a junction
center.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from cropmerge.extras import install_hint

try:
    from matplotlib.axes import Axes
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.gridspec import GridSpec
    from matplotlib.legend_handler import HandlerTuple
    from matplotlib.lines import Line2D
    from matplotlib.patches import Rectangle
except ImportError as error:  # without the plot extra: a test suite skips what needs it
    raise ModuleNotFoundError(
        f"cropmerge.plot needs matplotlib ({error}): {install_hint('plot')}"
    ) from None

from cropmerge.geometry import Junctions, centers, facing_ends, find_junctions
from cropmerge.ids import integer_ids
from cropmerge.merging import merge
from cropmerge.synthetic import Field
from cropmerge.tables import as_tables, validate_tables

__all__ = ["draw", "draw_junction", "kept_mask"]

PIECE = ("#1f6fb4", "#f08a24")
BORDER = "#8a8a8a"
MARK = "#222222"
WINDOW_TILES = 3  # per side of the overview
INSETS = 3

Box = tuple[float, float, float, float]  # x0, y0, x1, y1


@dataclass(frozen=True)
class _Demo:
    """A synthetic field, the merge's output for it, and its junctions."""

    field: Field
    output: np.ndarray
    junctions: Junctions


def kept_mask(points: np.ndarray, merged: np.ndarray) -> np.ndarray:
    """Which rows of ``points`` occur in ``merged`` (compared bit for bit)."""
    if points.shape[0] == 0 or merged.shape[0] == 0:
        return np.zeros(points.shape[0], dtype=bool)

    def keys(table: np.ndarray) -> np.ndarray:
        table = np.ascontiguousarray(table, dtype=np.float64)
        row = np.dtype((np.void, table.dtype.itemsize * table.shape[1]))
        return table.view(row).ravel()

    return np.isin(keys(points), keys(merged))


def draw(field: Field, merged: np.ndarray, tolerance: float) -> Figure:
    """The before/after figure of ``field`` merged into ``merged`` with ``tolerance``."""
    junctions = find_junctions(field.connected_crop_rows, field.row_information)
    window = _window(field)
    figure = Figure(figsize=(14, 8.6), dpi=100, layout="constrained")
    FigureCanvasAgg(figure)  # rendered by Agg, whatever backend pyplot uses
    grid = GridSpec(2 * INSETS, 2, figure=figure, width_ratios=[1, 1])
    overview = figure.add_subplot(grid[:, 0])
    demo = _Demo(field, merged, junctions)
    _draw_overview(overview, demo, window)
    _draw_insets(figure, grid, overview, demo, window)
    points = field.points_in_rows
    figure.suptitle(
        f"{len(field.connected_crop_rows)} crop rows, {len(points)} detections: "
        f"{len(merged)} kept, {len(points) - len(merged)} removed (tolerance {tolerance:.3g} m)",
        fontsize=12,
    )
    _legend(figure, "piece, in its tile's colour (neighbouring tiles alternate)", 5, borders=True)
    return figure


def _window(field: Field) -> Box:
    """The overview's box: a few tiles at the field's centre."""
    tile = field.tile_size
    nx, ny = min(WINDOW_TILES, field.tiles_x), min(WINDOW_TILES, field.tiles_y)
    x0 = (field.tiles_x - nx) // 2 * tile
    y0 = (field.tiles_y - ny) // 2 * tile
    return (x0, y0, x0 + nx * tile, y0 + ny * tile)


def _draw_overview(overview: Axes, demo: _Demo, window: Box) -> None:
    """Every point, anchor and junction center in the window."""
    field, merged, junctions = demo.field, demo.output, demo.junctions
    points = field.points_in_rows
    xy = points[:, 2:4]
    shown = _inside(xy, window)
    kept = _kept_inside(points, merged, window)
    colour = _tile_colour(field, points[:, 1])
    tile = field.tile_size
    _draw_borders(overview, tile, window)
    _draw_points(overview, xy[shown], kept[shown], colour[shown], size=1.5)
    anchors = field.row_information[:, 5:11].reshape(-1, 2)
    anchors = anchors[_inside(anchors, window)]
    _scatter(overview, anchors, s=5, c="black", marker="o", linewidths=0, rasterized=True)
    centers = junctions.center[_inside(junctions.center, window)]
    _scatter(overview, centers, s=14, c=MARK, marker="+", linewidths=0.6, rasterized=True)
    overview.set(xlim=window[::2], ylim=window[1::2], aspect="equal")
    overview.set(xlabel="x (m)", ylabel="y (m)")
    nx, ny = round((window[2] - window[0]) / tile), round((window[3] - window[1]) / tile)
    overview.set_title(
        f"{nx} x {ny} of the field's {field.tiles_x} x {field.tiles_y} tiles ({tile:g} m each)",
        fontsize=10,
    )


def _draw_insets(figure: Figure, grid: GridSpec, overview: Axes, demo: _Demo, window: Box) -> None:
    """A few junctions up close, before and after, each framed and numbered in the
    overview."""
    field, junctions = demo.field, demo.junctions
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
        _draw_zoom(before, after, demo, junction, box)
        before.set_title(f"junction {number}, before", fontsize=9, loc="left")
        after.set_title(f"junction {number}, after", fontsize=9, loc="left")
    after.set_xlabel("x (m)")


def _draw_zoom(before: Axes, after: Axes, demo: _Demo, junction: int, box: Box) -> None:
    """One junction up close: every detection before the merge, kept and removed after."""
    field, junctions = demo.field, demo.junctions
    points = field.points_in_rows
    local = points[_inside(points[:, 2:4], box)]
    kept = _kept_inside(local, demo.output, box)
    colour = _tile_colour(field, local[:, 1])
    pair = [junctions.own_info[junction], junctions.other_info[junction]]
    anchors = field.row_information[pair, 5:11].reshape(-1, 2)
    both = [junction, *_reverse(junctions, junction)]
    for ax, shown_kept in ((before, np.ones_like(kept)), (after, kept)):
        _draw_borders(ax, field.tile_size, box)
        _draw_points(ax, local[:, 2:4], shown_kept, colour, size=22)
        _scatter(ax, anchors, s=50, facecolors="none", edgecolors="black", lw=0.8, zorder=3)
        _scatter(ax, junctions.center[both], s=90, c=MARK, marker="+", lw=1.4, zorder=4)
        ax.set(xlim=box[::2], ylim=box[1::2], aspect="equal")
        ax.tick_params(labelsize=7)
        ax.set_ylabel("y (m)", fontsize=8)


def draw_junction(
    connected_crop_rows: np.ndarray,
    points_in_rows: np.ndarray,
    row_information: np.ndarray,
    tolerance: float,
    crop_row: int = 0,
) -> Figure:
    """How the piece in row ``crop_row`` of ``connected_crop_rows`` meets its first connected
    piece: the whole of both pieces above, the junction's geometry up close below.

    Both pieces' points are shown as the merge of the whole tables leaves them. Raises
    FieldError, as ``merge`` does, for tables the merge would fail on.
    """
    connected, points, info = as_tables(connected_crop_rows, points_in_rows, row_information)
    links = validate_tables(connected, points, info)
    if not 0 <= crop_row < len(connected):
        raise ValueError(
            f"crop_row {crop_row} is not a row of connected_crop_rows, which has {len(connected)}"
        )
    junctions = find_junctions(connected, info, links)
    found = np.flatnonzero(junctions.crop_row == crop_row)
    if found.size == 0:
        raise ValueError(f"row {crop_row} of connected_crop_rows has no connected piece to draw")
    junction = int(found[0])
    kept = kept_mask(points, merge(connected, points, info, tolerance, check=False))
    pieces = info[[junctions.own_info[junction], junctions.other_info[junction]]]
    colour = np.full(len(points), -1)
    for index, piece in enumerate(pieces):  # a crop row connected to itself is the crop row
        ids_match = np.all(integer_ids(points[:, :2]) == integer_ids(piece[[0, 4]]), axis=1)
        colour[ids_match & (colour < 0)] = index

    figure = Figure(figsize=(9, 5), dpi=100, layout="constrained")
    FigureCanvasAgg(figure)
    whole, close = figure.subplots(2, 1, height_ratios=[1, 2])
    _draw_junction_geometry(whole, close, pieces, points[:, 2:4], kept, colour)
    whole.set_title(
        f"crop row ({pieces[0, 0]:g}, {pieces[0, 4]:g}) and its connected row "
        f"({pieces[1, 0]:g}, {pieces[1, 4]:g}), tolerance {tolerance:g}",
        fontsize=10,
    )
    _legend(figure, "piece: crop row blue, connected row orange", ncols=2, borders=False)
    return figure


def _draw_junction_geometry(
    whole: Axes,
    close: Axes,
    pieces: np.ndarray,
    xy: np.ndarray,
    kept: np.ndarray,
    colour: np.ndarray,
) -> None:
    """Both pieces (rows of row_information) whole, and up close with the points that
    work out their junction, labelled."""
    ends = facing_ends(pieces[:1, 5:11], pieces[1:, 5:11])
    geometry = {
        "far_point": ends.far[0],
        "near_end": ends.near[0],
        "connected_near_end": ends.connected_near[0],
        "midpoint": (ends.near[0] + ends.connected_near[0]) * 0.5,
        "center": centers(ends)[0],
    }
    for ax, size in ((whole, 18), (close, 40)):
        _draw_points(ax, xy, kept, colour, size=size)
        _scatter(ax, pieces[:, 5:11].reshape(-1, 2), s=80, facecolors="none", edgecolors="black")
        anchors = geometry["far_point"], geometry["near_end"]
        if np.isfinite(anchors).all() and not np.array_equal(*anchors):  # a line to draw
            ax.axline(*anchors, color=PIECE[0], lw=0.6, ls=":")
        _scatter(ax, geometry["center"][None], s=120, c=MARK, marker="+", lw=1.6, zorder=4)
        ax.set(aspect="equal", xlabel="x", ylabel="y")
    _label(whole, geometry, ["far_point"])
    _label(close, geometry, [name for name in _LABELS if name != "far_point"])
    close.plot(
        *np.column_stack([geometry["midpoint"], geometry["center"]]), c=MARK, lw=0.8, ls="--"
    )
    _scatter(close, geometry["midpoint"][None], s=12, c=MARK, zorder=4)
    close.set(**_around(geometry))


# What draw_junction labels, and where beside the point it puts the text.
_LABELS = {
    "far_point": ("far point", (0, 10)),
    "near_end": ("near end", (8, 8)),
    "connected_near_end": ("connected row's\nnear end", (0, 12)),
    "midpoint": ("midpoint of\nthe near ends", (0, 8)),
    "center": ("center", (4, -18)),
}


def _label(ax: Axes, geometry: dict[str, np.ndarray], names: list[str]) -> None:
    for name in names:
        text, offset = _LABELS[name]
        x, y = geometry[name]
        ax.annotate(
            text,
            (x, y),
            xytext=offset,
            textcoords="offset points",
            fontsize=9,
            ha="center" if offset[0] == 0 else "left",
        )


def _around(geometry: dict[str, np.ndarray]) -> dict[str, tuple[float, float]]:
    """Axis limits that frame the junction's near ends and center (those that are
    numbers), flat like the figure; rows along y and coincident anchors get a frame too."""
    marks = np.array([geometry[name] for name in ("near_end", "connected_near_end", "center")])
    marks = marks[np.isfinite(marks).all(axis=1)]
    if len(marks) == 0:
        return {}  # nothing to frame: matplotlib's own limits
    low, high = marks.min(axis=0), marks.max(axis=0)
    middle, spread = (low + high) / 2, high - low
    reach = float(spread.max()) or 1.0
    half_x, half_y = spread[0] / 2 + 0.6 * reach, spread[1] / 2 + 0.3 * reach
    return {
        "xlim": (middle[0] - half_x, middle[0] + half_x),
        "ylim": (middle[1] - half_y, middle[1] + half_y),
    }


def _tile_colour(field: Field, tiles: np.ndarray) -> np.ndarray:
    """0 or 1 for each tile number, alternating like a chessboard's squares."""
    tiles = tiles.astype(np.int64)
    return (tiles % field.tiles_x + tiles // field.tiles_x) % 2


def _draw_points(ax: Axes, xy: np.ndarray, kept: np.ndarray, colour: np.ndarray, size: float):
    """Kept points as dots and removed ones as crosses, each in its piece's colour."""
    for index, piece in enumerate(PIECE):
        mine = colour == index
        style = {"c": piece, "rasterized": size < 5}
        _scatter(ax, xy[mine & kept], s=size, marker="o", linewidths=0, **style)
        _scatter(ax, xy[mine & ~kept], s=size * 2, marker="x", linewidths=0.8, **style)


def _legend(figure: Figure, piece_label: str, ncols: int, *, borders: bool) -> None:
    def mark(symbol: str, color: str, size: float = 6, **style: Any) -> Line2D:
        return Line2D([], [], ls="none", marker=symbol, color=color, ms=size, **style)

    entries = {
        f"kept point of a {piece_label}": tuple(mark("o", c) for c in PIECE),
        "removed point, in its piece's colour": tuple(mark("x", c) for c in PIECE),
        "anchor point": mark("o", "black", 7, mfc="none"),
        "junction center": mark("+", MARK, 9, mew=1.4),
    }
    if borders:
        entries["tile border"] = Line2D([], [], color=BORDER, lw=0.8)
    figure.legend(
        handles=list(entries.values()),
        labels=list(entries),
        handler_map={tuple: HandlerTuple(ndivide=None)},
        loc="outside lower center",
        ncols=ncols,
        fontsize=9,
        frameon=False,
    )


def _scatter(ax: Axes, xy: np.ndarray, **style: Any) -> None:
    ax.scatter(xy[:, 0], xy[:, 1], **style)


def _inside(xy: np.ndarray, box: Box) -> np.ndarray:
    x, y = xy[..., 0], xy[..., 1]
    return (x >= box[0]) & (x <= box[2]) & (y >= box[1]) & (y <= box[3])


def _kept_inside(points: np.ndarray, merged: np.ndarray, box: Box) -> np.ndarray:
    """kept_mask for the points inside ``box`` (False elsewhere), cheap on large tables."""
    inside = _inside(points[:, 2:4], box)
    kept = np.zeros(len(points), dtype=bool)
    kept[inside] = kept_mask(points[inside], merged[_inside(merged[:, 2:4], box)])
    return kept


def _draw_borders(ax: Axes, tile: float, box: Box) -> None:
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


def _choose_junctions(field: Field, junctions: Junctions, window: Box, half: float) -> list[int]:
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
    nearest = np.argsort(np.hypot(*(junctions.center[candidates] - middle).T), kind="stable")
    ends = info[junctions.own_info[candidates], 5:9]
    shortest = np.argsort(np.hypot(ends[:, 0] - ends[:, 2], ends[:, 1] - ends[:, 3]), kind="stable")
    everything = np.ones(candidates.size, dtype=bool)
    picks = [(nearest, across_side), (nearest, across_top), (shortest, everything)]
    picks += [(nearest, everything)] * INSETS  # then fill up with the nearest
    return _distinct_junctions(junctions, candidates, picks)


def _distinct_junctions(
    junctions: Junctions, candidates: np.ndarray, picks: list[tuple[np.ndarray, np.ndarray]]
) -> list[int]:
    """For each pick (an order of the candidates and which of them qualify), the first
    candidate whose pair of rows no earlier pick took; at most INSETS in all."""
    chosen: list[int] = []
    taken: set[frozenset[int]] = set()
    for order, among in picks:
        if len(chosen) == INSETS:
            break
        for index in order[among[order]]:
            junction = int(candidates[index])
            pair = frozenset(
                (int(junctions.own_info[junction]), int(junctions.other_info[junction]))
            )
            if pair not in taken:
                taken.add(pair)
                chosen.append(junction)
                break
    return chosen
