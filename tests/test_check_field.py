"""check_field reports what the merge silently does to a field, and nothing on a sound one;
auto_tolerance finds half the spacing of points along rows."""

import math
import os
import sys
import threading
import time
import warnings

import cropmerge
import cropmerge.field
import numpy as np
import pytest
from cropmerge.synthetic import make_field
from fields import two_piece_row

TOLERANCE = 0.05  # half the spacing of the hand-built row's points


def kinds(findings):
    return {finding.kind: finding for finding in findings}


def kept_per_piece(tables, tolerance=TOLERANCE):
    merged = cropmerge.merge(*tables, tolerance)
    return [int(np.count_nonzero(merged[:, 1] == piece)) for piece in (1, 2)]


@pytest.mark.parametrize(
    ("variant", "kept"),
    [
        ({}, [101, 101]),  # one duplicate left where they meet
        ({"slope": 1.0, "apart": 0.9}, [105, 105]),  # abutting along a diagonal: none lost
    ],
    ids=["overlapping", "abutting"],
)
def test_sound_two_piece_row(variant, kept):
    tables = two_piece_row(**variant)
    assert cropmerge.check_field(*tables, TOLERANCE) == []
    assert kept_per_piece(tables) == kept


@pytest.mark.parametrize(("crop_rows", "points", "seed"), [(40, 400, 39), (1000, 2000, 0)])
def test_sound_fields_of_few_points_per_row_have_no_findings(crop_rows, points, seed):
    """A piece's points scatter about its line: a few past its end anchors are no sign."""
    field = make_field(crop_rows, points, seed=seed)
    tables = field.connected_crop_rows, field.points_in_rows, field.row_information
    assert cropmerge.check_field(*tables, field.default_tolerance) == []


@pytest.mark.parametrize(
    ("variant", "kind", "count", "examples", "kept"),
    [
        ({"list_second": False}, "unlisted_crop_rows", 105, ((1, 2),), [101, 0]),
        (
            {"second_lists_first": False},
            "one_sided_connections",
            1,
            (((1, 1), (1, 2)),),
            [101, 105],
        ),
        (
            {"slope": 0.0},
            "axis_parallel_anchors",
            1,
            (((1, 1), (1, 2)),),  # the other piece's junction faces the way the rule works
            [5, 101],
        ),
        (
            {"slope": 0.0, "along_y": True},
            "axis_parallel_anchors",
            1,
            (((1, 2), (1, 1)),),
            [101, 5],
        ),
        (
            {"apart": 1.0},  # a gap between the pieces: each loses its end
            "center_past_near_end",
            2,
            (((1, 1), (1, 2)), ((1, 2), (1, 1))),
            [100, 100],
        ),
        ({"slope": 0.0, "apart": 1.0}, "axis_parallel_anchors", 1, (((1, 1), (1, 2)),), [0, 105]),
        (
            {"slope": 0.05, "apart": 0.9},  # abutting close to an axis: each loses a stretch
            "center_past_near_end",
            2,
            (((1, 1), (1, 2)), ((1, 2), (1, 1))),
            [96, 96],
        ),
    ],
    ids=[
        "unlisted row",
        "one-sided connection",
        "axis-parallel anchors",
        "the same along y",
        "pieces apart",
        "the same, axis-parallel",
        "abutting near an axis",
    ],
)
def test_two_piece_row_mistakes_are_reported(variant, kind, count, examples, kept):
    tables = two_piece_row(**variant)
    finding = kinds(cropmerge.check_field(*tables, TOLERANCE))[kind]
    assert (finding.count, finding.examples) == (count, examples)
    assert str(finding).startswith(f"{count} ") and "(e.g. (1, " in str(finding)
    assert kept_per_piece(tables) == kept  # what the finding warns of


@pytest.mark.parametrize(
    ("slope", "clipped", "examples", "kept"),
    [
        (0.1, [0, 1], ((1, 1), (1, 2)), [105, 105]),  # every duplicate stays
        (1.0, [0], ((1, 1),), [103, 103]),  # duplicates stay past the clipped end
    ],
    ids=["both pieces", "one piece"],
)
def test_anchors_clipped_to_the_tiles_are_reported(slope, clipped, examples, kept):
    connected, points, info = two_piece_row(slope)
    edge = [10.0, 5 + 10 * slope]  # the ends of a line clipped to each tile
    for piece in clipped:
        info[piece, [7, 8] if piece == 0 else [5, 6]] = edge
    finding = kinds(cropmerge.check_field(connected, points, info, TOLERANCE))["overlap_kept"]
    assert (finding.count, finding.examples) == (len(examples), examples)
    assert kept_per_piece((connected, points, info)) == kept


def test_anchors_taken_from_points_out_of_order_are_reported():
    connected, points, info = two_piece_row()
    rng = np.random.default_rng(0)
    points = np.vstack([rng.permutation(points[points[:, 1] == tile]) for tile in (1, 2)])
    for tile in (1, 2):  # first, last and middle point, as if they were in order
        xy = points[points[:, 1] == tile, 2:4]
        info[tile - 1, 5:11] = [*xy[0], *xy[-1], *xy[len(xy) // 2]]
    finding = kinds(cropmerge.check_field(connected, points, info, TOLERANCE))
    assert (finding["anchors_short_of_ends"].count, finding["anchors_short_of_ends"].examples) == (
        2,
        ((1, 1), (1, 2)),
    )
    assert sum(kept_per_piece((connected, points, info))) < 202  # what it warns of


def tables_of(field):
    return field.connected_crop_rows, field.points_in_rows, field.row_information


FIELD = make_field(300, 20_000, seed=2)
SOUND = tables_of(FIELD)


def changed(table, change):
    tables = [t.copy() for t in SOUND]
    change(tables[("connected", "points", "info").index(table)])
    return tables


def coincide_anchors(info):
    info[7, 7:9] = info[7, 5:7]


def fractional_ids(points):
    points[::1000, 0] += 0.5


def self_connection(connected):
    connected[4, 5:7] = connected[4, 1:3]  # in the first free slot


def listed_after_a_nan(connected):
    connected[4, 7:9] = connected[4, 3:5]  # the list ends at the NaN in column 5


# A fifth connected row, past column 10.
FIFTH = np.hstack([SOUND[0], np.full((len(SOUND[0]), 2), np.nan)])
FIFTH[9, 11:13] = FIFTH[9, 3:5]

# An unused row_information row whose ids both become 2**64 - 1, like any id that large.
SATURATING = np.vstack([SOUND[2], [[1e20, 0, 0, 0, np.inf, *SOUND[2][0, 5:]]]])


@pytest.mark.parametrize(
    ("tables", "kind", "count"),
    [
        (changed("info", coincide_anchors), "coincident_anchors", None),
        (changed("points", fractional_ids), "non_integer_ids", None),
        ([*SOUND[:2], SATURATING], "non_integer_ids", 1),
        (changed("connected", self_connection), "self_connections", 1),
        (changed("connected", listed_after_a_nan), "ignored_connections", 1),
        ([FIFTH, *SOUND[1:]], "ignored_connections", 1),
        ([np.vstack([SOUND[0], SOUND[0][5:7]]), *SOUND[1:]], "duplicate_crop_rows", 2),
        ([*SOUND[:2], np.vstack([SOUND[2], SOUND[2][:1]])], "duplicate_row_information", 1),
    ],
    ids=[
        "coincident anchors",
        "fractional ids",
        "saturating ids",
        "self-connection",
        "listed after a NaN",
        "a fifth connection",
        "repeated crop rows",
        "repeated info",
    ],
)
def test_field_mistakes_are_reported(tables, kind, count):
    findings = kinds(cropmerge.check_field(*tables, FIELD.default_tolerance))
    # Coincident anchors move the centers of the connected rows' junctions too.
    also = {"center_past_near_end"} if kind == "coincident_anchors" else set()
    assert set(findings) == {kind, *also}
    if kind == "non_integer_ids" and count is None:
        count = len(range(0, len(SOUND[1]), 1000))
    if kind == "coincident_anchors":
        count = int(np.count_nonzero(~np.isnan(SOUND[0][7, 3::2])))
    assert findings[kind].count == count
    assert findings[kind].examples


@pytest.mark.parametrize(
    ("scale", "kind"),
    [(-1.0, "negative_tolerance"), (0.0, "zero_tolerance"), (1.0, None), (2.5, "large_tolerance")],
)
def test_tolerance_is_judged_against_the_spacing(scale, kind):
    findings = cropmerge.check_field(*SOUND, scale * FIELD.default_tolerance)
    assert [finding.kind for finding in findings] == ([kind] if kind else [])


@pytest.mark.parametrize(("tolerance", "kinds"), [(0.0, []), (-1.0, ["negative_tolerance"])])
def test_a_field_without_spacing_has_only_a_negative_tolerance_reported(tolerance, kinds):
    empty = (np.zeros((0, 11)), np.zeros((0, 6)), np.zeros((0, 11)))
    assert [finding.kind for finding in cropmerge.check_field(*empty, tolerance)] == kinds


@pytest.mark.parametrize(
    ("tolerance", "error", "message"),
    [
        (math.nan, ValueError, "tolerance must not be NaN"),
        ("0.1", TypeError, "tolerance must be a number, got str"),
        (10**400, OverflowError, "tolerance is too large for a float, an int of 1329 bits"),
    ],
)
def test_wrong_tolerance_is_refused_before_the_points_are_read(tolerance, error, message):
    before = set(threading.enumerate())
    with pytest.raises(error, match=f"^{message}$"):
        cropmerge.check_field(*SOUND, tolerance)
    assert set(threading.enumerate()) <= before  # no thread started to read them


def test_one_sided_connections_are_found_alike_beside_a_repeated_crop_row():
    # A repeated crop row, listing nothing, shares its row_information row with the
    # first: the connections are then matched up another way.
    cut = SOUND[0].copy()
    cut[::7, 5:] = np.nan  # every seventh crop row lists its first connected row only
    repeated = np.vstack([cut, np.concatenate([cut[0, :3], np.full(8, np.nan)])])
    found = [
        kinds(cropmerge.check_field(connected, *SOUND[1:], FIELD.default_tolerance))
        for connected in (cut, repeated)
    ]
    assert "duplicate_crop_rows" in found[1]
    one_sided = [finding["one_sided_connections"] for finding in found]
    assert one_sided[0].count > 0
    assert one_sided[0] == one_sided[1]


@pytest.mark.parametrize("seed", [0, 5])
def test_auto_tolerance_is_half_the_spacing_in_any_point_order(seed):
    grouped = make_field(2_000, 60_000, seed=seed)
    shuffled = make_field(2_000, 60_000, seed=seed, shuffle=True)
    tables = [
        (f.connected_crop_rows, f.points_in_rows, f.row_information) for f in (grouped, shuffled)
    ]
    # Each crop row's points together, but in random order along it.
    points = grouped.points_in_rows
    mixed = np.lexsort(
        (np.random.default_rng(seed).random(len(points)), points[:, 1], points[:, 0])
    )
    tables.append((tables[0][0], points[mixed], tables[0][2]))
    tolerance = cropmerge.auto_tolerance(*tables[0])
    assert tolerance == cropmerge.auto_tolerance(*tables[1]) == cropmerge.auto_tolerance(*tables[2])
    assert tolerance == pytest.approx(grouped.default_tolerance, rel=0.1)
    # Each piece's points listed in two halves, each in order: every other point first.
    connected, points, info = two_piece_row(slope=-3.0)
    halves = [
        np.flatnonzero(points[:, 1] == piece)[start::2] for start in (0, 1) for piece in (1, 2)
    ]
    assert cropmerge.auto_tolerance(connected, points[np.concatenate(halves)], info) == (
        pytest.approx(0.5 * math.hypot(0.1, 0.3))
    )


@pytest.mark.parametrize("count", [1, 2, 999, 1_000])
def test_spacing_median_is_numpys(count):
    distances = np.round(np.random.default_rng(count).random(count), 2)
    assert cropmerge.spacing._median(distances) == np.median(distances)


@pytest.mark.parametrize("positions", ["distinct", "tied", "nan"])
def test_scattered_samples_are_sorted_as_lexsort_sorts_them(positions):
    rng = np.random.default_rng(2)
    rows, along = rng.integers(0, 5_000, 2_000), rng.random(2_000)
    if positions == "tied":
        along = np.round(along, 2)
    elif positions == "nan":
        along[::97] = np.nan
    order = cropmerge.spacing._lexsort_order(rows, along)
    assert np.array_equal(order, np.lexsort((along, rows)))


def test_auto_tolerance_without_neighbours_is_zero():
    connected, points, info = two_piece_row()
    assert cropmerge.auto_tolerance(connected, points[:0], info) == 0.0


@pytest.mark.parametrize("small_blocks", [False, True], ids=["", "split-between-threads"])
def test_point_findings_do_not_depend_on_point_order_or_table_size(small_blocks, monkeypatch):
    # Enough points that they are read in several blocks, runs of one crop row split
    # between blocks; with small blocks, scattered points are split between threads.
    if small_blocks:
        monkeypatch.setattr(cropmerge.field, "_BLOCK", 4096)
        monkeypatch.setattr(os, "process_cpu_count", lambda: 3)
    connected, points, info = tables_of(make_field(2_000, 300_000, seed=3))
    points = points.copy()
    points[::999, 1] += 0.5  # the same crop row, by its truncated ids
    dropped = connected[10, 1:3]
    unlisted = np.all(np.trunc(points[:, :2]) == dropped, axis=1)
    without_row = np.delete(connected, 10, axis=0)
    shuffled = points[np.random.default_rng(0).permutation(len(points))]
    counts = []
    # Column-major points have their ids read column by column.
    for order in (points, shuffled, np.asfortranarray(shuffled)):
        findings = kinds(cropmerge.check_field(without_row, order, info, 0.05))
        unlisted_finding, odd_finding = findings["unlisted_crop_rows"], findings["non_integer_ids"]
        counts.append((unlisted_finding.count, unlisted_finding.examples, odd_finding.count))
        assert cropmerge.auto_tolerance(without_row, order, info) == cropmerge.auto_tolerance(
            without_row, points, info
        )
    expected = (int(np.count_nonzero(unlisted)), (tuple(dropped.tolist()),))
    assert counts == [(*expected, len(range(0, len(points), 999)))] * 3


def test_a_chunk_that_failed_fails_every_later_read_of_the_points(monkeypatch):
    # The caller's chunk fails while a thread holds another: reading the points again
    # must not give the rest of them as if they were all.
    monkeypatch.setattr(cropmerge.field, "_BLOCK", 4096)
    real = cropmerge.field._summarise_points
    caller_failed = threading.Event()

    def summarise(*args):
        if threading.current_thread() is threading.main_thread():
            if not caller_failed.is_set():
                caller_failed.set()
                raise MemoryError
        else:
            caller_failed.wait(10)
        return real(*args)

    monkeypatch.setattr(cropmerge.field, "_summarise_points", summarise)
    field = cropmerge.field.index_field(*tables_of(make_field(200, 100_000, shuffle=True)))
    for _ in range(2):
        with pytest.raises(MemoryError):
            _ = field.matched


def test_repeated_pairs_are_found_with_ids_at_the_top_of_the_range():
    info = np.zeros((2, 11))
    info[:, 4] = 2.0**64  # the merge saturates it to 2**64 - 1
    findings = kinds(cropmerge.check_field(np.zeros((0, 4)), np.zeros((0, 0)), info, 0.1))
    assert findings["duplicate_row_information"].count == 1


def test_no_axis_parallel_finding_where_the_filter_keeps_every_point():
    """The center's distance from the near end is worked out as the merge does: here its
    square underflows to 0, below the tolerance, so both pieces keep every point."""
    nan = np.nan
    connected = np.array([[0, 1, 1, 1, 2, *[nan] * 6], [1, 1, 2, 1, 1, *[nan] * 6]])
    info = np.array(
        [[1, 0, 0, 0, 1, -2e-200, 0, 1, 0, 0.5, 0], [1, 0, 0, 0, 2, -4e-200, 0, -1, 0, -0.5, 0]]
    )
    along = np.linspace(0.05, 0.95, 19)
    points = np.vstack(
        [
            np.column_stack((np.ones(19), np.full(19, piece), side * along, np.zeros(19)))
            for piece, side in ((1, 1), (2, -1))
        ]
    )
    assert len(cropmerge.merge(connected, points, info, 1e-300)) == len(points)
    assert "axis_parallel_anchors" not in kinds(
        cropmerge.check_field(connected, points, info, 1e-300)
    )


def test_an_interrupted_check_leaves_no_thread_behind():
    """Ctrl-C lands in the calling thread at each line where it takes part in the points'
    pass; the pass's threads still end, and the next check is whole."""
    field = make_field(2000, 400_000, seed=3, shuffle=True)  # scattered: several chunks
    tables = (field.connected_crop_rows, field.points_in_rows, field.row_information)
    expected = cropmerge.check_field(*tables, TOLERANCE)
    time.sleep(0.1)  # its threads end
    threads = len(os.listdir("/proc/self/task"))
    matching = cropmerge.field._PointMatching
    codes = {matching._match_chunks.__code__, matching.result.__code__}
    lines = sorted({line for code in codes for _, _, line in code.co_lines() if line})
    for target in lines:
        fired = []

        def interrupt_at_target(frame, event, arg, target=target, fired=fired):
            if event == "line" and frame.f_lineno == target and not fired:
                fired.append(target)
                raise KeyboardInterrupt
            return interrupt_at_target

        def trace(frame, event, arg):
            return interrupt_at_target if frame.f_code in codes else None

        sys.settrace(trace)  # this thread's only
        try:
            cropmerge.check_field(*tables, TOLERANCE)
        except KeyboardInterrupt:
            pass
        finally:
            sys.settrace(None)
        deadline = time.monotonic() + 10
        while len(os.listdir("/proc/self/task")) > threads:
            assert time.monotonic() < deadline, f"a thread left waiting, interrupted at {target}"
            time.sleep(0.01)
    assert cropmerge.check_field(*tables, TOLERANCE) == expected


@pytest.mark.parametrize("case", ["infinite anchors", "no points, infinite tolerance"])
def test_odd_fields_are_checked_without_numpy_warnings(case):
    connected, points, info = two_piece_row()
    tolerance = TOLERANCE
    if case == "infinite anchors":
        info[1, 5:] = np.inf
    else:
        points, tolerance = points[:0], math.inf
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # printed on the terminal otherwise, under --quiet too
        found = kinds(cropmerge.check_field(connected, points, info, tolerance))
    assert ("coincident_anchors" in found) == (case == "infinite anchors")
