"""The three input tables: converting them to float64 and telling, before the merge, what it
would fail on, in the user's terms (which table, which widths, which id pairs)."""

from __future__ import annotations

import contextlib
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from cropmerge.links import SLOTS, Links, connected_pairs, link_rows, listed_slots

__all__ = [
    "INFO_WIDTH",
    "TABLE_NAMES",
    "FieldError",
    "as_table",
    "as_tables",
    "check_shapes",
    "count_of",
    "find_links",
    "format_id_pair",
    "id_columns",
    "rounded_integers",
    "validate_tables",
]

INFO_WIDTH = 11  # first id, 3 free columns, second id, 3 anchor points (x, y)
POINT_WIDTH = 4  # first id, second id, x, y
MISSING_SHOWN = 5


class FieldError(ValueError):
    """The tables of a field do not fit together; the message says which table and why."""


def as_table(name: str, values: ArrayLike) -> np.ndarray:
    """``values`` as a float64 array, the same object when it already is one."""
    if np.ma.is_masked(values):  # np.asarray would hand over what lies under the mask
        masked = count_of(int(np.ma.count_masked(values)), "masked value")
        raise FieldError(
            f"{name} has {masked}: the merge would read what lies under the mask; "
            "fill them first (table.filled(np.nan), say)"
        )
    array = _as_array(name, values)
    if array.dtype.kind not in "biuf":
        raise FieldError(f"{name} must hold real numbers, got {_dtype_name(array)}")
    converted = array.astype(np.float64, copy=False)
    if array.dtype.kind in "iu" and array.dtype.itemsize > 4:
        check_exact(name, array)
    elif not isinstance(values, np.ndarray):
        _check_converted_integers(name, values, converted)
    return converted


def _as_array(name: str, values: ArrayLike) -> np.ndarray:
    try:
        array = np.asarray(values)
    except ValueError as error:  # ragged nested lists
        raise FieldError(f"{name} is not a table of numbers: {error}") from None
    if array.dtype.kind == "O" and hasattr(values, "to_numpy"):
        # pandas' nullable and pyarrow columns come out as objects: asked for float64,
        # they give it, missing values NaN.
        with contextlib.suppress(TypeError, ValueError):
            return np.asarray(values.to_numpy(dtype=np.float64, na_value=np.nan))
    return array


def _check_converted_integers(name: str, values: ArrayLike, converted: np.ndarray) -> None:
    """Refuse integers beyond 2**53 that NumPy or pandas rounded while converting a table
    of mixed numbers (lists, data frames) to float64, found by their original values."""
    with np.errstate(invalid="ignore"):
        large = np.flatnonzero((np.abs(converted) >= 2.0**53) & np.isfinite(converted))
    changed = []
    for flat in large.tolist():
        where = tuple(int(i) for i in np.unravel_index(flat, converted.shape))
        original = _element(values, where)
        rounded = converted.flat[flat]
        if isinstance(original, int | np.integer) and int(rounded) != int(original):
            changed.append((where, original))
    if changed:
        where, original = changed[0]
        raise rounded_integers(name, len(changed), original, where)


def _element(values: Any, where: tuple[int, ...]) -> object:
    """The element of a table at ``where``: of a data frame by position, of nested lists
    or tuples index by index; None for any other array-like, which holds numbers of one
    type that NumPy took as they are."""
    if hasattr(values, "iloc"):
        return values.iloc[where]
    for index in where:
        if not isinstance(values, list | tuple):
            return None
        values = values[index]
    return values


def check_exact(name: str, integers: np.ndarray, column: int | None = None) -> None:
    """Refuse integers that float64 rounds (beyond 2**53): they would come out changed,
    and ids that differ could name one crop row. ``column`` is the table's column that
    a one-dimensional ``integers`` holds."""
    large = np.flatnonzero((integers > 2**53) | (integers < -(2**53)))
    if len(large) == 0:
        return
    # Back to integers: a value rounded up past the type's range comes back wrong too.
    with np.errstate(invalid="ignore"):
        back = integers.ravel()[large].astype(np.float64).astype(integers.dtype)
    changed = large[back != integers.ravel()[large]]
    if len(changed):
        where = tuple(int(i) for i in np.unravel_index(changed[0], integers.shape))
        if column is not None:
            where = (*where, column)
        raise rounded_integers(name, len(changed), integers.ravel()[changed[0]], where)


def rounded_integers(name: str, count: int, example: object, where: tuple[int, ...]) -> FieldError:
    """The error for ``count`` integers of table ``name`` that float64 rounds, the first
    ``example`` at index ``where``."""
    return FieldError(
        f"{name} holds {count_of(count, 'integer')} that float64 cannot hold exactly, "
        f"such as {example} at index {where}: the merge would change "
        f"{'it' if count == 1 else 'them'}; convert the table to float64 yourself if that "
        "rounding is acceptable"
    )


def as_tables(
    connected_crop_rows: ArrayLike, points_in_rows: ArrayLike, row_information: ArrayLike
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The three tables through ``as_table``."""
    return (
        as_table("connected_crop_rows", connected_crop_rows),
        as_table("points_in_rows", points_in_rows),
        as_table("row_information", row_information),
    )


def _dtype_name(array: np.ndarray) -> str:
    return "Python objects" if array.dtype.kind == "O" else f"values of type {array.dtype}"


def format_id(value: float) -> str:
    return str(int(value)) if float(value).is_integer() else repr(float(value))


def format_id_pair(first: float, second: float) -> str:
    return f"({format_id(first)}, {format_id(second)})"


def id_columns(table: np.ndarray, first: int, second: int) -> tuple[np.ndarray, np.ndarray]:
    """Two id columns (views); empty when a table without rows lacks them."""
    if table.shape[1] <= max(first, second):
        return np.zeros(0), np.zeros(0)
    return table[:, first], table[:, second]


def validate_tables(connected: np.ndarray, points: np.ndarray, info: np.ndarray) -> Links:
    """Raise FieldError for the first way in which the merge would fail on these tables;
    return the rows of row_information that the merge will look up."""
    check_shapes(connected, points, info)
    return find_links(connected, info)


def check_shapes(connected: np.ndarray, points: np.ndarray, info: np.ndarray) -> None:
    """Raise FieldError for tables that are not 2-D or too narrow for the merge."""
    for name, table in zip(TABLE_NAMES, (connected, points, info), strict=True):
        if table.ndim != 2:
            raise FieldError(f"{name} must be a 2-D table, got an array of shape {table.shape}")
    _check_connected_width(connected)
    lists_connections = len(connected) > 0 and bool((listed_slots(connected) > 0).any())
    _check_points_width(points, lists_connections)
    _check_info_width(info, len(connected) > 0, lists_connections)


def find_links(connected: np.ndarray, info: np.ndarray) -> Links:
    """The rows of row_information that the merge looks up, for tables of the right
    shapes; FieldError for the id pairs it has no row for."""
    links = link_rows(connected, info)
    total, earliest = _missing_id_pairs(connected, links)
    if total:
        more = "; ..." if total > len(earliest) else ""
        hint = ""
        if _zeros_for_nan(connected, links):
            hint = " (a crop row's unused connections must hold NaN, not 0)"
        raise FieldError(
            f"row_information has no row for {count_of(total, 'id pair')} that "
            f"connected_crop_rows names: {'; '.join(earliest)}{more}{hint}"
        )
    return links


TABLE_NAMES = ("connected_crop_rows", "points_in_rows", "row_information")


def count_of(number: int, noun: str) -> str:
    return f"{number} {noun}" if number == 1 else f"{number} {noun}s"


def _check_connected_width(connected: np.ndarray) -> None:
    """Each crop row's list of connected rows ends with a NaN first id or after four
    rows, and the merge reads every column up to that end."""
    rows, width = connected.shape
    if rows == 0 or width >= 3 + 2 * SLOTS:
        return
    has = f"connected_crop_rows has {count_of(width, 'column')}, expected {3 + 2 * SLOTS}"
    if width < 4:
        raise FieldError(
            f"{has} (a free column, the crop row's id pair, then up to four connected id "
            "pairs; at least 4, with NaN in column 3, for crop rows without connections)"
        )
    listed = listed_slots(connected)
    needed = np.minimum(4 + 2 * listed, 3 + 2 * SLOTS)
    short = np.flatnonzero(needed > width)
    if len(short):
        row = int(short[0])
        raise FieldError(
            f"{has}: row {row} lists {count_of(int(listed[row]), 'connected row')} and needs "
            f"{int(needed[row])} "
            f"(the list ends with NaN as the next first id, in column {3 + 2 * int(listed[row])})"
        )


def _check_points_width(points: np.ndarray, lists_connections: bool) -> None:
    rows, width = points.shape
    needed = POINT_WIDTH if lists_connections else 2
    if rows and width < needed:
        raise FieldError(
            f"points_in_rows has {count_of(width, 'column')}, expected at least {needed} "
            "(first id, second id, x, y)"
        )


def _check_info_width(info: np.ndarray, has_crop_rows: bool, lists_connections: bool) -> None:
    width = info.shape[1]
    has = f"row_information has {count_of(width, 'column')}, expected {INFO_WIDTH}"
    if lists_connections and width != INFO_WIDTH:
        raise FieldError(
            f"{has} (first id, 3 free columns, second id, then x, y of anchor points 0, 1 and 2)"
        )
    if has_crop_rows and len(info) and width < 5:
        raise FieldError(f"{has} (at least 5 when no crop row lists a connected row)")


def _missing_id_pairs(connected: np.ndarray, links: Links) -> tuple[int, list[str]]:
    """How many id pairs the merge looks up in row_information and would not find, and
    the first of them in the order the merge meets them: row by row, own pair first."""
    own_missing = np.flatnonzero(links.own_info < 0)
    missing = links.other_info < 0
    rows, slots = links.crop_row[missing], links.slot[missing]
    earliest = [
        (row, -1, f"{format_id_pair(*connected[row, 1:3])} in columns 1-2 of row {row}")
        for row in own_missing[:MISSING_SHOWN].tolist()
    ]
    pairs = connected_pairs(connected, rows[:MISSING_SHOWN], slots[:MISSING_SHOWN])
    earliest += [
        (
            row,
            slot,
            f"{format_id_pair(*pair)} in columns {3 + 2 * slot}-{4 + 2 * slot} of row {row}",
        )
        for row, slot, pair in zip(rows.tolist(), slots.tolist(), pairs.tolist(), strict=False)
    ]
    shown = [text for *_, text in sorted(earliest)[:MISSING_SHOWN]]
    return len(own_missing) + len(rows), shown


def _zeros_for_nan(connected: np.ndarray, links: Links) -> bool:
    """Whether a connected id pair that row_information lacks is (0, 0), and no crop row
    is: an unused connection filled with zeros rather than NaN, most likely."""
    missing = links.other_info < 0
    pairs = connected_pairs(connected, links.crop_row[missing], links.slot[missing])
    a_crop_row = ((connected[:, 1] == 0) & (connected[:, 2] == 0)).any()
    return bool((pairs == 0).all(axis=1).any() and not a_crop_row)
