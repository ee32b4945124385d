"""What in a field makes the merge lose or keep points the user would not expect.

The merge accepts these fields without complaint; ``check_field`` says what it will
do with them. Everything is vectorised: a pass over the points costs a few array
operations, the rest works on crop rows and junctions.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike

from cropmerge.field import EXAMPLES, IndexedField, index_field, points_of_runs
from cropmerge.geometry import (
    Junctions,
    dot_rows,
    filter_boxes,
    find_junctions,
    inside_boxes,
    keeps_every_point,
)
from cropmerge.ids import PairKeys, contains, integer_ids, not_exact
from cropmerge.links import SLOTS, Links, connected_pairs, listed_slots
from cropmerge.merging import check_scalars
from cropmerge.spacing import SampledRows, sampled_rows
from cropmerge.tables import count_of, format_id_pair, id_columns

__all__ = ["Finding", "check_field", "field_findings"]

IdPair = tuple[float, float]


@dataclass(frozen=True)
class Finding:
    """One kind of problem in a field: how often it occurs, a few examples and what the
    merge will do about it.

    ``examples`` holds id pairs of crop rows, or (crop row, connected row) pairs of id
    pairs for findings about junctions; it is empty for findings about the tolerance.
    """

    kind: str
    count: int
    examples: tuple[IdPair | tuple[IdPair, IdPair], ...]
    explanation: str

    def __str__(self) -> str:
        if not self.examples:
            return self.explanation
        shown = ", ".join(_format_example(example) for example in self.examples)
        return f"{self.explanation} (e.g. {shown})"


def _format_example(example: IdPair | tuple[IdPair, IdPair]) -> str:
    first, second = example
    if isinstance(first, tuple) and isinstance(second, tuple):
        return f"{format_id_pair(*first)} -> {format_id_pair(*second)}"
    return format_id_pair(first, second)  # type: ignore[arg-type]


def _pairs(table: np.ndarray) -> tuple[IdPair, ...]:
    return tuple((float(first), float(second)) for first, second in table[:EXAMPLES].tolist())


# ---- findings ----------------------------------------------------------------


def _unlisted_points(field: IndexedField) -> Finding | None:
    count = field.matched.unlisted
    if count == 0:
        return None
    written = field.matched.unlisted_ids
    first, second = written.T
    pairs = np.column_stack((integer_ids(first), integer_ids(second)))
    distinct, first_seen = np.unique(pairs, axis=0, return_index=True)
    examples = written[np.sort(first_seen)]  # as the user wrote them
    return Finding(
        "unlisted_crop_rows",
        count,
        _pairs(examples),
        f"{count_of(count, 'point')} of {count_of(len(distinct), 'crop row')} not listed in "
        "connected_crop_rows are dropped by the merge: list every crop row, "
        "with NaN as its first connected id if it has none",
    )


def _one_sided_connections(field: IndexedField) -> Finding | None:
    """Connections whose connected row, as a crop row, does not list the crop row back.

    Rows are compared by the row_information row that the merge finds for them.
    """
    links = field.links
    one_sided = ~_listed_back(links, len(field.info))
    count = int(np.count_nonzero(one_sided))
    if count == 0:
        return None
    which = np.flatnonzero(one_sided)[:EXAMPLES]
    rows = links.crop_row[which]
    crop_rows = _pairs(field.connected[rows, 1:3])
    connected_rows = _pairs(connected_pairs(field.connected, rows, links.slot[which]))
    return Finding(
        "one_sided_connections",
        count,
        tuple(zip(crop_rows, connected_rows, strict=True)),
        f"{count_of(count, 'connection')} listed on one side only: the other crop row keeps "
        "its duplicates of the junction; list each connection in both crop rows",
    )


def _ignored_connections(field: IndexedField) -> Finding | None:
    """Connected rows listed where the merge does not read them: after the first NaN
    first id, which ends a crop row's list, or past the fourth."""
    connected = field.connected
    places = (connected.shape[1] - 3) // 2  # id pairs the table has room for
    if places <= 0:
        return None
    firsts = connected[:, 3 : 3 + 2 * places : 2]
    unread = ~np.isnan(firsts) & (np.arange(places)[None, :] >= listed_slots(connected)[:, None])
    rows, slots = np.nonzero(unread)
    if len(rows) == 0:
        return None
    shown = slice(0, EXAMPLES)
    crop_rows = _pairs(connected[rows[shown], 1:3])
    listed = _pairs(connected_pairs(connected, rows[shown], slots[shown]))
    return Finding(
        "ignored_connections",
        len(rows),
        tuple(zip(crop_rows, listed, strict=True)),
        f"{count_of(len(rows), 'connected row')} listed where the merge does not read them: "
        f"a crop row's list ends at its first NaN first id, and holds {SLOTS} at most "
        "(columns 3 to 10); list them in the first free columns",
    )


def _sampled_rows_finding(
    kind: str, field: IndexedField, rows: np.ndarray, looked_at: int, explanation: str
) -> Finding | None:
    """A finding about the crop rows ``rows`` of the ``looked_at`` in the sample, whose
    points show ``explanation``."""
    if len(rows) == 0:
        return None
    return Finding(
        kind,
        len(rows),
        _pairs(field.connected[rows, 1:3]),
        f"{len(rows)} of {count_of(looked_at, 'crop row')} looked at have points {explanation}",
    )


def _anchors_short_of_ends(field: IndexedField, sampled: SampledRows) -> Finding | None:
    return _sampled_rows_finding(
        "anchors_short_of_ends",
        field,
        sampled.past_ends,
        sampled.looked_at,
        "well past their end anchors (0 and 1): the merge takes the anchors for the row's "
        "ends, so at a junction on that side it trims the row at the wrong place, dropping "
        "points or keeping duplicates; take anchors 0 and 1 from the row's two ends (sort "
        "its points along the row first)",
    )


def _self_connections(field: IndexedField) -> Finding | None:
    """Crop rows listed as connected to themselves (by the row_information row the merge
    finds for both)."""
    links = field.links
    itself = np.flatnonzero(
        (links.own_info[links.crop_row] == links.other_info) & (links.other_info >= 0)
    )
    if len(itself) == 0:
        return None
    crop_rows = _pairs(field.connected[links.crop_row[itself], 1:3])
    return Finding(
        "self_connections",
        len(itself),
        crop_rows,
        f"{count_of(len(itself), 'crop row')} listed as connected to itself: the merge takes "
        "this for a junction of the row with itself and drops the points past its center, "
        "often half the row; remove the crop row's own id pair from its connections",
    )


def _listed_back(links: Links, rows: int) -> np.ndarray:
    """Whether each connection's connected row, as a crop row, lists the connection's
    crop row back; ``rows`` is the number of row_information rows.

    Where each row_information row is the crop row of one crop row at most (no
    duplicates), through a table of what that crop row lists; else by searching the
    connections for the reversed pairs, which takes several times longer.
    """
    own, other = links.own_info[links.crop_row], links.other_info
    tabled = len(own) > 0 and min(links.own_info.min(), other.min()) >= 0
    if not (tabled and np.bincount(links.own_info, minlength=rows).max() == 1):
        return contains(own * rows + other, other * rows + own)
    listed = np.full((SLOTS, rows), -1)
    listed[links.slot, own] = other
    back = listed[0].take(other) == own
    for slot in range(1, SLOTS):
        back |= listed[slot].take(other) == own
    return back


def _duplicates(
    kind: str, first: np.ndarray, second: np.ndarray, consequence: str
) -> Finding | None:
    """Rows whose integer id pair an earlier row of the same table already has."""
    keys = PairKeys(first, second)(first, second)
    if not (np.diff(np.sort(keys)) == 0).any():  # a quick look: tables seldom repeat a pair
        return None
    order = np.argsort(keys, kind="stable")
    again = keys[order[1:]] == keys[order[:-1]]
    count = int(np.count_nonzero(again))
    later = np.sort(order[1:][again])[:EXAMPLES]  # the sort is stable: these come later
    examples = _pairs(np.column_stack((first[later], second[later])))
    text = f"{count_of(count, 'repeated id pair')} {consequence}"
    return Finding(kind, count, examples, text)


def _non_integer_ids(field: IndexedField) -> Finding | None:
    """Ids the merge changes: fractions, negatives, NaN and from 2**64 on."""
    connected_count, connected_examples = _odd_pairs(*id_columns(field.connected, 1, 2))
    info_count, info_examples = _odd_pairs(*id_columns(field.info, 0, 4))
    count = connected_count + field.matched.odd + info_count
    examples = (*connected_examples, *field.matched.odd_examples, *info_examples)
    if count == 0:
        return None
    return Finding(
        "non_integer_ids",
        count,
        examples[:EXAMPLES],
        f"{count_of(count, 'table row')} with ids that are not whole numbers from 0 to "
        "2**64 - 1: the merge truncates them (3.7 and 3.2 both name crop row 3; negatives and "
        "NaN become 0; 1e20 and infinity both become 2**64 - 1)",
    )


def _odd_pairs(first: np.ndarray, second: np.ndarray) -> tuple[int, list[IdPair]]:
    """How many id pairs of a table the merge changes, and the first."""
    odd = np.flatnonzero(not_exact(first) | not_exact(second))
    shown = odd[:EXAMPLES]
    return len(odd), list(zip(first[shown].tolist(), second[shown].tolist(), strict=True))


def _junction_examples(
    field: IndexedField, junctions: Junctions, which: np.ndarray
) -> tuple[tuple[IdPair, IdPair], ...]:
    info = field.info
    own = info[junctions.own_info[which][:EXAMPLES]][:, [0, 4]]
    other = info[junctions.other_info[which][:EXAMPLES]][:, [0, 4]]
    return tuple(zip(_pairs(own), _pairs(other), strict=True))


@dataclass(frozen=True)
class _Cases:
    """Which of the filter's cases each junction falls in. Taken column by column: NumPy
    reduces along a short axis many times slower."""

    no_center: np.ndarray  # NaN: the filter keeps at most one corner
    apart: np.ndarray  # a center, not within the tolerance of the near end
    shared_x: np.ndarray  # the center and the near end share x: the fixed rule decides
    shared_y: np.ndarray


def _cases(junctions: Junctions, tolerance: float) -> _Cases:
    center, near = junctions.center, junctions.near_end
    no_center = np.isnan(center[:, 0]) | np.isnan(center[:, 1])
    apart = ~no_center & ~keeps_every_point(center, near, tolerance)
    return _Cases(no_center, apart, center[:, 0] == near[:, 0], center[:, 1] == near[:, 1])


# Points tried along a crop row from a near end toward its far point, a point spacing
# apart, to tell whether the filter of a junction past that end drops any.
_PROBES = 32


@np.errstate(invalid="ignore", over="ignore", divide="ignore")  # infinite anchors decide nothing
def _pieces_apart(
    field: IndexedField, junctions: Junctions, cases: _Cases, tolerance: float, spacing: float
) -> Finding | None:
    """Junctions whose center lies past the crop row's near end, seen from its far point
    (the pieces leave a gap), and whose filter drops points where the row's would lie:
    it keeps those short of the near end by the tolerance in x and in y, and those near
    the center. Where a coordinate is shared, the axis-parallel rule decides instead."""
    center, near, far = junctions.center, junctions.near_end, junctions.far
    apart = cases.apart & ~(cases.shared_x | cases.shared_y)
    which = np.flatnonzero(apart & (dot_rows(center - near, near - far) > 0))
    toward = far[which] - near[which]
    length = np.hypot(toward[:, 0], toward[:, 1])
    toward /= length[:, None]
    steps = np.arange(_PROBES) * (spacing if spacing > 0 else tolerance)
    on_row = steps[None, :] <= length[:, None]
    probes = near[which][:, None, :] + steps[None, :, None] * toward[:, None, :]
    boxes = np.repeat(filter_boxes(center[which], near[which], tolerance), _PROBES, axis=1)
    kept = inside_boxes(boxes, probes[..., 0].ravel(), probes[..., 1].ravel())
    dropped = which[(on_row & ~kept.reshape(on_row.shape)).any(axis=1)]
    return _junction_finding(
        "center_past_near_end",
        field,
        junctions,
        dropped,
        "whose center lies past the crop row's near end, as when the two pieces do not "
        "overlap or the connected row's anchors are wrong: the filter drops the crop row's "
        "points within the tolerance of that end in x or in y (along a row close to an "
        "axis, a long stretch); list no connection between pieces that do not overlap: "
        "there is nothing to merge there",
    )


def _junction_finding(
    kind: str, field: IndexedField, junctions: Junctions, which: np.ndarray, explanation: str
) -> Finding | None:
    """A finding about the junctions ``which`` (indexes or a mask)."""
    count = len(which) if which.dtype != bool else int(np.count_nonzero(which))
    if count == 0:
        return None
    examples = _junction_examples(field, junctions, which)
    return Finding(kind, count, examples, f"{count_of(count, 'junction')} {explanation}")


def _junction_findings(field: IndexedField, junctions: Junctions, cases: _Cases) -> list[Finding]:
    center, far = junctions.center, junctions.far
    # Where the center and the near end share a coordinate, the filter keeps the points
    # from the center's x on and up to its y: the crop row's own points where they lie
    # to the right of or below the center, the far point's side; few of them otherwise.
    wrong_way = (cases.shared_y & (far[:, 0] < center[:, 0])) | (
        cases.shared_x & (far[:, 1] > center[:, 1])
    )
    findings = [
        _junction_finding(
            "coincident_anchors",
            field,
            junctions,
            cases.no_center,
            "without a center (NaN): the crop row's anchors coincide, or its or the "
            "connected row's anchors are NaN, so the filter keeps at most the points in "
            "one corner beyond the row's end",
        ),
        _junction_finding(
            "axis_parallel_anchors",
            field,
            junctions,
            cases.apart & wrong_way,
            "whose center and near end share a y with the crop row to the left, or an x "
            "with the crop row above (anchors parallel to an axis): the filter's fixed rule "
            "then keeps the points past the center and drops most of the crop row; move an "
            "end anchor a hair across the row (by 1e-6, say, in float64: float32 rounds it "
            "away) to avoid it",
        ),
    ]
    return [finding for finding in findings if finding is not None]


def _overlap_kept(
    field: IndexedField, junctions: Junctions, sampled: SampledRows, tolerance: float
) -> Finding | None:
    """Sampled crop rows with points past the near end of a junction, by more than the
    tolerance and the spacing of points (the scatter of the last point is no sign), that
    its filter keeps: anchors that stop short of the row's points, as a line clipped to
    the tile does, and duplicates beyond them that stay."""
    if len(sampled.beyond_ends) == 0 or field.points.shape[1] < 4:
        return None
    candidate = np.zeros(len(field.connected), dtype=bool)
    candidate[sampled.beyond_ends] = True
    which = np.flatnonzero(candidate[junctions.crop_row])
    # The sampled points of each junction's crop row, junction after junction.
    rows = field.matched.sample_row
    order = np.argsort(rows, kind="stable")
    first = np.searchsorted(rows[order], junctions.crop_row[which], "left")
    count = np.searchsorted(rows[order], junctions.crop_row[which], "right") - first
    xy = field.points[field.matched.sample[order[points_of_runs(first, count)]], 2:4]
    of_point = np.repeat(which, count)
    center, near, far = junctions.center[of_point], junctions.near_end[of_point], junctions.far
    with np.errstate(invalid="ignore", divide="ignore"):
        toward = near - far[of_point]  # from the far point to the near end
        toward /= np.hypot(toward[:, 0], toward[:, 1])[:, None]
        past = dot_rows(xy - near, toward) > max(tolerance, sampled.spacing)
    kept = inside_boxes(filter_boxes(center, near, tolerance), xy[:, 0], xy[:, 1])
    return _sampled_rows_finding(
        "overlap_kept",
        field,
        np.unique(junctions.crop_row[of_point[past & kept]]),
        sampled.looked_at,
        "well past the near end of a junction, by more than the point spacing, that its "
        "filter keeps: their end anchors stop short of their points, as the ends of a "
        "line clipped to the tile do, so the duplicates there stay; take anchors 0 and 1 "
        "from the piece's outermost points",
    )


def _tolerance_finding(tolerance: float, spacing: float) -> Finding | None:
    """A tolerance that is negative, or zero or above the spacing of points along rows;
    only a negative one when that spacing is 0 (no crop row has two points apart)."""
    usual = f"; half the point spacing, {0.5 * spacing:.6g}, is the usual choice"
    if tolerance < 0:
        text = (
            f"tolerance {tolerance:g} is negative: the filter's bounds then move the wrong way, "
            "so the merge removes points of the rows or, once the bounds pass each other, "
            f"keeps the duplicates{usual if spacing > 0 else ''}"
        )
        return Finding("negative_tolerance", 1, (), text)
    if spacing == 0:
        return None
    if tolerance == 0:
        text = (
            "tolerance 0: points jittered a hair past a junction center are removed from "
            f"both rows, opening gaps{usual}"
        )
        return Finding("zero_tolerance", 1, (), text)
    if tolerance > spacing:
        text = (
            f"tolerance {tolerance:g} is above the typical point spacing {spacing:.6g}: both "
            f"rows keep their duplicates within it of a junction center{usual}"
        )
        return Finding("large_tolerance", 1, (), text)
    return None


def check_field(
    connected_crop_rows: ArrayLike,
    points_in_rows: ArrayLike,
    row_information: ArrayLike,
    tolerance: float,
) -> list[Finding]:
    """What the merge will do with this field that its author probably does not expect.

    Returns one Finding per kind of problem found (an empty list for a clean field):
    ``unlisted_crop_rows`` (points whose crop row connected_crop_rows does not list:
    dropped), ``one_sided_connections`` (the other row keeps its duplicates),
    ``ignored_connections`` (listed after a NaN or past the fourth: not merged),
    ``self_connections`` (a crop row connected to itself loses points past a center),
    ``anchors_short_of_ends`` (points well past a crop row's end anchors, in a sample of
    rows: the wrong ends are trimmed),
    ``axis_parallel_anchors`` and ``coincident_anchors`` (junctions whose filter drops
    most of a row), ``center_past_near_end`` (pieces that do not overlap: each loses
    points at its end), ``overlap_kept`` (anchors short of a row's points, in a sample
    of rows: the filter keeps the duplicates), ``duplicate_crop_rows`` (points merged
    and written twice), ``duplicate_row_information`` (only the first row is used),
    ``non_integer_ids`` (truncated), and ``negative_tolerance``, ``zero_tolerance`` or
    ``large_tolerance`` (compared with the spacing of points along rows).

    Raises FieldError, as ``merge`` does, for tables the merge would fail on, and
    TypeError, ValueError or OverflowError for a tolerance that is no number, NaN or too
    large.
    """
    tolerance = _checked_tolerance(tolerance)  # before the points are read
    return field_findings(
        index_field(connected_crop_rows, points_in_rows, row_information), tolerance
    )


def _checked_tolerance(tolerance: object) -> float:
    check_scalars(tolerance, 0)
    value = float(tolerance)  # type: ignore[arg-type]
    if math.isnan(value):
        raise ValueError("tolerance must not be NaN")
    return value


def field_findings(field: IndexedField, tolerance: float) -> list[Finding]:
    """``check_field`` of a field that ``index_field`` has read."""
    tolerance = _checked_tolerance(tolerance)
    # Left to the points' threads for when their points are done, while this thread
    # works out the junctions, which take longest, and then what needs the points.
    duplicates = field.after_points(lambda: _duplicate_findings(field))
    one_sided = field.after_points(lambda: _one_sided_connections(field))
    sampled = field.after_points(lambda: sampled_rows(field))
    junctions = find_junctions(field.connected, field.info, field.links)
    cases = _cases(junctions, tolerance)
    junction_findings = _junction_findings(field, junctions, cases)
    unlisted = _unlisted_points(field)
    ignored = _ignored_connections(field)
    self_connections = _self_connections(field)
    non_integer = _non_integer_ids(field)
    tolerance_finding = _tolerance_finding(tolerance, sampled.result().spacing)
    findings = [
        non_integer,  # first: ids that truncate alike cause several of the others
        unlisted,
        ignored,
        one_sided.result(),
        self_connections,
        _anchors_short_of_ends(field, sampled.result()),
        *junction_findings,
        _pieces_apart(field, junctions, cases, tolerance, sampled.result().spacing),
        _overlap_kept(field, junctions, sampled.result(), tolerance),
        *duplicates.result(),
        tolerance_finding,
    ]
    return [finding for finding in findings if finding is not None]


def _duplicate_findings(field: IndexedField) -> list[Finding | None]:
    return [
        _duplicates(
            "duplicate_crop_rows",
            *id_columns(field.connected, 1, 2),
            "in connected_crop_rows: each copy merges the crop row's points again, so they "
            "are written more than once",
        ),
        _duplicates(
            "duplicate_row_information",
            *id_columns(field.info, 0, 4),
            "in row_information: the merge uses the first row of each and ignores the others",
        ),
    ]
