"""A field's three tables, validated, with its points matched to their crop rows.

Points are read once, block by block, so that temporary arrays stay small: they are
reused from the cache instead of being faulted in afresh for every step. Points are
matched run by run: a run is a stretch of consecutive points with equal ids, so that
tables listing each crop row's points together (the usual layout) cost one comparison
per point, and the runs of many blocks are matched together. In a block whose ids
change from point to point, every point is matched on its own.
"""

from __future__ import annotations

import _thread
import contextlib
import os
import threading
from collections.abc import Callable
from concurrent.futures import Future
from dataclasses import dataclass, field
from functools import cached_property
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from cropmerge.ids import PairTable
from cropmerge.links import Links
from cropmerge.tables import as_tables, check_shapes, find_links, id_columns

__all__ = ["EXAMPLES", "Deferred", "IndexedField", "MatchedPoints", "index_field", "points_of_runs"]

EXAMPLES = 3  # id pairs a finding shows
SAMPLE_ROWS = 512  # crop rows, spread over the table, whose points give the spacing
# Points that the sample aims at: fewer crop rows where rows hold many points, so that
# a field of a few long rows is not sorted whole. Whole rows, or their spacing would
# come out wider where their points are not in order along them.
SAMPLE_POINTS = 1 << 18
_BLOCK = 65536  # points read at a time
_PROBE = 256  # points at the start of a block that show how its ids run
# Blocks matched as one piece of work. Few for scattered points, so that the threads
# sharing the pieces finish together; many for points in runs, whose runs are matched
# many blocks at a time: each call into NumPy takes the interpreter from the caller.
_SCATTERED_CHUNK = 2
_RUNS_CHUNK = 32
_BLOCKS_PER_THREAD = 4  # fewer, and a thread of its own costs more than it saves


@dataclass
class PointSummary:
    """What the checks need of the points, gathered in one pass over them."""

    unlisted: int = 0  # points whose crop row connected_crop_rows does not list
    unlisted_ids: list[np.ndarray] = field(default_factory=list)  # (n, 2) per block, runs
    odd: int = 0  # points whose ids are not whole numbers of 0 or more
    odd_examples: list[tuple[float, float]] = field(default_factory=list)
    sample: list[np.ndarray] = field(default_factory=list)  # points of the sampled rows
    sample_row: list[np.ndarray] = field(default_factory=list)  # and their crop rows


@dataclass(frozen=True)
class MatchedPoints:
    """What the checks need of the points, gathered from every part."""

    unlisted: int  # points whose crop row connected_crop_rows does not list (dropped)
    unlisted_ids: np.ndarray  # (n, 2): their id pairs, one per run, in table order
    odd: int  # points whose ids the merge truncates
    odd_examples: tuple[tuple[float, float], ...]  # the first of their id pairs
    sample: np.ndarray  # the points of the sampled crop rows, in table order
    sample_row: np.ndarray  # the crop row of each


@dataclass(frozen=True)
class IndexedField:
    connected: np.ndarray
    points: np.ndarray
    info: np.ndarray
    links: Links  # the rows of row_information that the merge looks up
    matching: _PointMatching  # the pass over the points, in threads

    @property
    def tables(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The three tables as the merge takes them."""
        return self.connected, self.points, self.info

    @cached_property
    def matched(self) -> MatchedPoints:
        """The points matched to their crop rows, once the pass over them is done."""
        return self.matching.result()

    def after_points[T](self, work: Callable[[], T]) -> Deferred[T]:
        """``work`` for a thread that matched points to do once none are left, unless the
        caller asks for its result first."""
        return self.matching.after(work)


class Deferred[T]:
    """Work done once, by whichever thread gets to it first."""

    def __init__(self, work: Callable[[], T]) -> None:
        self._work: Callable[[], T] | None = work
        self._claim = threading.Lock()
        self._outcome: Future[T] = Future()

    def run(self) -> None:
        """Does the work, unless a thread has taken it already."""
        with self._claim:
            work, self._work = self._work, None
        if work is None:
            return
        try:
            self._outcome.set_result(work())
        except BaseException as error:
            self._outcome.set_exception(error)

    def result(self) -> T:
        self.run()
        return self._outcome.result()


def _sampled_rows(rows: int, points: int) -> np.ndarray:
    """Which of ``rows`` crop rows (with ``points`` points between them) give the
    spacing, plus an entry for points of none."""
    chosen = np.zeros(rows + 1, dtype=bool)
    if rows:
        count = min(rows, SAMPLE_ROWS, max(1, SAMPLE_POINTS * rows // max(points, 1)))
        chosen[np.linspace(0, rows - 1, count).astype(np.int64)] = True
    return chosen


def _id_pairs(points: np.ndarray) -> np.ndarray | None:
    """Both ids of each point as one complex number (a view), so that one pass reads
    both; None when a point's values do not lie side by side."""
    if points.strides[1] != points.itemsize:
        return None
    return points[:, :2].view(np.complex128)[:, 0]


def _run_starts(points: np.ndarray) -> np.ndarray:
    """Where runs of points with equal ids start in a block (NaN ids differ)."""
    change = np.empty(len(points), dtype=bool)
    change[:1] = True
    if (ids := _id_pairs(points)) is not None:
        # Complex numbers compare part by part.
        np.not_equal(ids[1:], ids[:-1], out=change[1:])
    else:
        first, second = points[:, 0], points[:, 1]
        np.not_equal(first[1:], first[:-1], out=change[1:])
        change[1:] |= second[1:] != second[:-1]
    return np.flatnonzero(change)


def _scattered(points: np.ndarray) -> bool:
    """Whether the block's first points mostly differ in ids from their neighbours: then
    finding runs costs more than it saves."""
    return len(_run_starts(points[:_PROBE])) * 2 > min(len(points), _PROBE)


def points_of_runs(start: np.ndarray, length: np.ndarray) -> np.ndarray:
    """The indexes of the points of the given runs, run after run."""
    ends = np.cumsum(length)
    return np.arange(ends[-1] if len(ends) else 0) + np.repeat(start - (ends - length), length)


@dataclass
class _Matcher:
    """Matches runs of points to crop rows and adds what it finds to ``summary``."""

    points: np.ndarray
    rows: PairTable
    chosen: np.ndarray  # per crop row, and last for points of none: whether sampled
    summary: PointSummary = field(default_factory=PointSummary)

    def runs(self, start: np.ndarray, end: int) -> None:
        """The runs that start at points ``start`` (in order), the last ending at ``end``."""
        length = np.empty_like(start)
        np.subtract(start[1:], start[:-1], out=length[:-1])
        length[-1:] = end - start[-1:]
        row = self._match(self.points[start, :2], length)
        sampled = np.flatnonzero(self.chosen.take(row))
        if len(sampled):
            self.summary.sample.append(points_of_runs(start[sampled], length[sampled]))
            self.summary.sample_row.append(np.repeat(row[sampled], length[sampled]))

    def scattered(self, offset: int, end: int) -> None:
        """Points ``offset`` to ``end``, each on its own."""
        block = self.points[offset:end]
        # Copied once: every step after reads the ids from the cache instead of memory.
        # NumPy copies a column of complex numbers much faster than two of floats.
        if (ids := _id_pairs(block)) is not None:
            pairs = ids.copy().view(np.float64).reshape(-1, 2)
        else:
            pairs = np.column_stack((block[:, 0], block[:, 1]))
        row = self._match(pairs, None)
        sampled = np.flatnonzero(self.chosen.take(row))
        if len(sampled):
            self.summary.sample.append(offset + sampled)
            self.summary.sample_row.append(row[sampled])

    def _match(self, pairs: np.ndarray, length: np.ndarray | None) -> np.ndarray:
        """The crop row (-1 for none) of runs with the (n, 2) id ``pairs`` that hold
        ``length`` points each (one without lengths); counts those of no crop row and
        those with odd ids."""
        summary = self.summary
        row, odd = self.rows.match(pairs)
        unlisted = row < 0
        if unlisted.any():
            summary.unlisted += _points_in(unlisted, length)
            summary.unlisted_ids.append(pairs[unlisted])
        if odd.any():
            summary.odd += _points_in(odd, length)
            shown = np.flatnonzero(odd)[: EXAMPLES - len(summary.odd_examples)]
            summary.odd_examples += [(first, second) for first, second in pairs[shown].tolist()]
        return row


def _points_in(runs: np.ndarray, length: np.ndarray | None) -> int:
    """How many points the chosen runs hold; without lengths, runs are single points."""
    return int(np.count_nonzero(runs) if length is None else length[runs].sum())


def _summarise_points(
    points: np.ndarray,
    rows: Deferred[PairTable],
    chosen: np.ndarray,
    part: range,
    stop: threading.Event,
) -> PointSummary:
    """Matches the points of ``part``, a range of block starts, unless ``stop`` is set."""
    matcher = _Matcher(points, rows.result(), chosen)
    pending: list[np.ndarray] = []  # run starts of blocks read, not yet matched
    pending_runs = 0
    for offset in part:
        if stop.is_set():
            break
        end = min(offset + _BLOCK, part.stop)
        if _scattered(points[offset:end]):
            if pending:
                matcher.runs(np.concatenate(pending), offset)
                pending, pending_runs = [], 0
            matcher.scattered(offset, end)
            continue
        pending.append(offset + _run_starts(points[offset:end]))
        pending_runs += len(pending[-1])
        if pending_runs >= _BLOCK or end == part.stop:
            matcher.runs(np.concatenate(pending), end)
            pending, pending_runs = [], 0
    return matcher.summary


class _PointMatching:
    """Matches the points chunk by chunk (ranges of whole blocks) in threads of its own;
    the first caller of ``result`` then takes chunks alongside them until none is left.

    The caller checks the crop rows meanwhile. Points that come in runs are read faster
    than that, so one thread does; scattered points get one thread for each processor
    but the caller's, so that no thread has to wait for a processor while the others
    work (between NumPy's calls they still take turns with the interpreter).

    The threads are started bare, not as threading.Thread: its start() waits for the
    thread to say it runs, for ever when the thread fails first (out of memory), and
    Python waits for them at exit, for ever when a caller's interruption left one
    waiting (Ctrl-C in the middle of a lock's acquisition can leave it held). Whatever
    no thread does (none can start, or one fails) the caller does in ``result``.
    """

    def __init__(self, points: np.ndarray, connected: np.ndarray, chosen: np.ndarray) -> None:
        self._points, self._chosen = points, chosen
        scattered = len(points) > 0 and _scattered(points[:_BLOCK])
        size = (_SCATTERED_CHUNK if scattered else _RUNS_CHUNK) * _BLOCK
        self._chunks = [
            range(start, min(start + size, len(points)), _BLOCK)
            for start in range(0, len(points), size)
        ]
        self._found = [PointSummary() for _ in self._chunks]
        self._taken = 0  # chunks handed out
        self._finished = 0  # and matched
        self._lock = threading.Lock()
        self._chunk_finished = threading.Condition(self._lock)
        self._stop = threading.Event()
        self._failure: BaseException | None = None
        self._matched: MatchedPoints | None = None
        self._rows = Deferred(lambda: PairTable(*id_columns(connected, 1, 2)))
        self._after: list[Deferred[Any]] = []
        threads = 1
        if scattered:
            blocks = -(-len(points) // _BLOCK)
            threads = max(1, min((os.process_cpu_count() or 1) - 1, blocks // _BLOCKS_PER_THREAD))
        for _ in range(threads):
            try:
                _thread.start_new_thread(self._work, ())
            except RuntimeError:  # none can start: the interpreter is exiting, or no memory
                break

    def stop(self) -> None:
        """Leaves the chunks not yet taken: their points are of no use now."""
        with self._chunk_finished:
            self._stop.set()
            self._chunk_finished.notify_all()

    def after[T](self, work: Callable[[], T]) -> Deferred[T]:
        """``work`` for a thread of the pass to do once its points are done."""
        deferred = Deferred(work)
        self._after.append(deferred)
        return deferred

    def result(self) -> MatchedPoints:
        """What every chunk found, for any thread: the same object for each."""
        self._rows.result()  # its failure, where there are no chunks to pass it on
        self._match_chunks()
        with self._chunk_finished:
            # Chunks that another caller took, a thread of the pass doing deferred work.
            self._chunk_finished.wait_for(
                lambda: self._finished == len(self._chunks) or self._stop.is_set()
            )
            if self._failure is not None:  # a chunk that failed, or was interrupted
                raise self._failure
            if self._finished < len(self._chunks):
                raise RuntimeError("the points were left unmatched")
            if self._matched is None:
                self._matched = _matched(self._found)
            return self._matched

    def _work(self) -> None:
        """A thread's share: chunks, then the work deferred to after them. Its failures
        are kept where the caller meets them (the chunks', the deferred work's)."""
        with contextlib.suppress(BaseException):
            self._rows.run()
            self._match_chunks()
            done = 0
            while done < len(self._after) and not self._stop.is_set():
                self._after[done].run()
                done += 1

    def _match_chunks(self) -> None:
        while not self._stop.is_set():
            try:
                # From the claim to the count, so that a chunk claimed and then given up
                # (a failure, Ctrl-C) wakes whoever waits for it.
                with self._lock:
                    chunk, self._taken = self._taken, self._taken + 1
                if chunk >= len(self._chunks):
                    return
                found = _summarise_points(
                    self._points, self._rows, self._chosen, self._chunks[chunk], self._stop
                )
                with self._chunk_finished:
                    self._found[chunk] = found
                    self._finished += 1
                    self._chunk_finished.notify_all()
            except BaseException as error:
                with self._chunk_finished:
                    self._failure = self._failure or error  # no result is whole now
                    self._stop.set()
                    self._chunk_finished.notify_all()
                raise


def _joined(blocks: list[np.ndarray], empty: np.ndarray) -> np.ndarray:
    return np.concatenate(blocks) if blocks else empty


def _matched(parts: list[PointSummary]) -> MatchedPoints:
    """What the parts found, in table order."""
    return MatchedPoints(
        sum(part.unlisted for part in parts),
        _joined([ids for part in parts for ids in part.unlisted_ids], np.zeros((0, 2))),
        sum(part.odd for part in parts),
        tuple(example for part in parts for example in part.odd_examples)[:EXAMPLES],
        _joined([at for part in parts for at in part.sample], np.zeros(0, dtype=np.int64)),
        _joined([row for part in parts for row in part.sample_row], np.zeros(0, dtype=np.int64)),
    )


def index_field(
    connected_crop_rows: ArrayLike, points_in_rows: ArrayLike, row_information: ArrayLike
) -> IndexedField:
    """The tables as float64, checked as ``validate_tables`` checks them, with every point
    matched to its crop row.

    The points are matched in threads of their own while the crop rows are looked up
    and, until ``matched`` is read, while the caller goes on: NumPy lets go of the
    interpreter while it works, so they share the processors. Reading ``matched``
    joins in.
    """
    connected, points, info = as_tables(connected_crop_rows, points_in_rows, row_information)
    check_shapes(connected, points, info)
    # check_shapes lets a table without rows have fewer columns.
    point_ids = points if points.shape[1] >= 2 else np.zeros((0, 2))
    matching = _PointMatching(point_ids, connected, _sampled_rows(len(connected), len(points)))
    try:
        links = find_links(connected, info)
    except BaseException:
        matching.stop()
        raise
    return IndexedField(connected, points, info, links, matching)
