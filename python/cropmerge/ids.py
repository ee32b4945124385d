"""Id pairs as the merge compares them, vectorised.

A crop row's own ids, its points' ids and its ``row_information`` ids are compared
as integers: truncated toward zero, NaN and negatives 0, values at or above 2**64
(infinity included) saturating. The ids of a connected row are compared as exact floats.
"""

from __future__ import annotations

import numpy as np

__all__ = [
    "FloatPairIndex",
    "PairKeys",
    "PairTable",
    "contains",
    "first_match",
    "integer_ids",
    "not_exact",
]

_U64_MAX = np.iinfo(np.uint64).max
_SATURATING = 2.0**64  # ids from here on all become 2**64 - 1
_DENSE_LIMIT = 2**24  # largest key space looked up through a table instead of a search


def integer_ids(values: np.ndarray) -> np.ndarray:
    """Ids as unsigned 64-bit integers, truncated as the merge truncates them."""
    clipped = np.fmax(values, 0.0)  # NaN and negatives become 0
    saturated = clipped >= _SATURATING
    if not saturated.any():
        return clipped.astype(np.uint64)
    ids = np.where(saturated, 0.0, clipped).astype(np.uint64)
    ids[saturated] = _U64_MAX
    return ids


class PairKeys:
    """Maps integer id pairs (given as float ids) to int64 keys in [0, space).

    Two keys are equal exactly when both integer ids are, for every pair that one of
    the given crop rows has; any other pair gets a key that no such crop row has.
    Small ids are used directly (an id above the crop rows' largest becomes one past
    it); others are first replaced by their rank among the crop rows' ids.
    """

    def __init__(self, first: np.ndarray, second: np.ndarray) -> None:
        firsts, seconds = integer_ids(first), integer_ids(second)
        top_first = int(firsts.max(initial=0))
        top_second = int(seconds.max(initial=0))
        self.direct = (top_first + 2) * (top_second + 2) <= _DENSE_LIMIT
        if self.direct:
            self.ceilings = (float(top_first + 1), float(top_second + 1))
            self.width = top_second + 2
            self.space = (top_first + 2) * self.width
        else:
            self.known = (np.unique(firsts), np.unique(seconds))
            self.width = len(self.known[1]) + 1
            self.space = (len(self.known[0]) + 1) * self.width

    def __call__(self, first: np.ndarray, second: np.ndarray) -> np.ndarray:
        if not self.direct:
            # An id that no crop row has gets the rank past the last.
            first_rank = _rank(self.known[0], integer_ids(first), len(self.known[0]))
            second_rank = _rank(self.known[1], integer_ids(second), len(self.known[1]))
            return np.asarray(first_rank * self.width + second_rank, dtype=np.int64)
        return self.keys_and_odd(np.column_stack((first, second)))[0]

    def keys_and_odd(self, pairs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The keys of a C-contiguous (n, 2) table of id pairs, and which pairs have an id
        that ``not_exact`` finds."""
        if not self.direct:
            first, second = pairs[:, 0], pairs[:, 1]
            return self(first, second), not_exact(first) | not_exact(second)
        # Both columns at once: a pass over the pairs costs about what one over a column
        # does. trunc rounds toward zero and gives NaN back as NaN; an id is whole where
        # that gives it back and it is not negative.
        whole = np.trunc(pairs)
        differs = whole != pairs
        if differs.any() or whole.min(initial=0.0) < 0.0:
            differs |= whole < 0.0
            odd = differs.view(np.uint16)[:, 0] != 0  # a pair is odd if either id is
            np.fmax(whole, 0.0, out=whole)  # NaN and negatives become 0
        else:  # the usual block: every id whole and not negative
            odd = np.zeros(len(pairs), dtype=bool)
        for column, ceiling in enumerate(self.ceilings):
            ids = whole[:, column]
            if ids.max(initial=0.0) > ceiling:
                odd |= ids >= _SATURATING
                np.fmin(ids, ceiling, out=ids)
        # The keys stay far below 2**53, so computing them in float64 is exact.
        keys = whole[:, 0] * float(self.width)
        keys += whole[:, 1]
        return keys.astype(np.int64), odd

    def lookup(self, row_keys: np.ndarray, query_keys: np.ndarray, missing: int) -> np.ndarray:
        """The index of the first row key equal to each query key, or ``missing``."""
        return _KeyIndex(row_keys, self.space).find(query_keys, missing)


class PairTable:
    """Finds the first of a table's rows (crop rows) whose integer id pair equals a query
    pair, for many queries in turn, and tells the queries whose ids it truncates."""

    def __init__(self, first: np.ndarray, second: np.ndarray) -> None:
        self.keys = PairKeys(first, second)
        self.index = _KeyIndex(self.keys(first, second), self.keys.space)

    def match(self, pairs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """For each row of the C-contiguous (n, 2) id ``pairs``, the first table row
        holding it or -1, and whether it has an id that ``not_exact`` finds."""
        keys, odd = self.keys.keys_and_odd(pairs)
        return self.index.find(keys, -1), odd


def not_exact(ids: np.ndarray) -> np.ndarray:
    """Ids that the merge changes: fractions, negatives, NaN (NaN differs from
    everything) and from 2**64 on."""
    whole = np.trunc(ids)
    return (whole != ids) | (whole < 0.0) | (ids >= _SATURATING)


class FloatPairIndex:
    """Finds id pairs in a table's two id columns by exact float equality (-0.0 equals
    0.0, NaN equals nothing); of equal pairs the first row wins."""

    def __init__(self, first: np.ndarray, second: np.ndarray) -> None:
        self.tops = _whole_tops(first, second)
        if self.tops is None:
            self.known = tuple(np.unique(ids[~np.isnan(ids)] + 0.0) for ids in (first, second))
            self.space = len(self.known[0]) * len(self.known[1])
        else:
            self.space = (self.tops[0] + 1) * (self.tops[1] + 1)
        keys = self._keys(first, second)
        # Rows with a NaN id get a key of their own past the pairs' keys: no pair finds them.
        self.row_keys = np.where(keys < 0, self.space, keys)

    def _keys(self, first: np.ndarray, second: np.ndarray) -> np.ndarray:
        """Each pair as a key in [0, space) that only an equal pair shares, or -1 for a
        pair with an id that the table lacks."""
        if self.tops is not None:
            return _whole_keys(self.tops, first, second)
        first_rank, second_rank = (
            _rank(known, ids, -1) for known, ids in zip(self.known, (first, second), strict=True)
        )
        found = (first_rank >= 0) & (second_rank >= 0)
        return np.where(found, first_rank * len(self.known[1]) + second_rank, -1)

    def rows(self, first: np.ndarray, second: np.ndarray) -> np.ndarray:
        """For each pair (first[i], second[i]), the first table row holding it, or -1."""
        keys = self._keys(first, second)
        rows = _KeyIndex(self.row_keys, self.space + 1).find(np.maximum(keys, 0), -1)
        return np.where(keys < 0, -1, rows)


def _whole_tops(first: np.ndarray, second: np.ndarray) -> tuple[int, int] | None:
    """The largest id of each column when all ids but NaN are whole numbers of 0 or more
    and every pair of them fits a table; None otherwise (the ids are then ranked)."""
    tops = []
    for ids in (first, second):
        numbers = ids[~np.isnan(ids)]
        top = numbers.max(initial=0.0)
        if not top < _DENSE_LIMIT or not_exact(numbers).any():
            return None
        tops.append(int(top))
    if (tops[0] + 1) * (tops[1] + 1) > _DENSE_LIMIT:
        return None
    return tops[0], tops[1]


@np.errstate(invalid="ignore", over="ignore")  # ids left out
def _whole_keys(tops: tuple[int, int], first: np.ndarray, second: np.ndarray) -> np.ndarray:
    """Pairs of whole ids up to ``tops`` as first * (tops[1] + 1) + second; -1 for any
    other pair, which no table row can equal. The keys are exact in float64."""
    fits = (first <= tops[0]) & (second <= tops[1]) & ~(not_exact(first) | not_exact(second))
    return np.where(fits, first * (tops[1] + 1) + second, -1.0).astype(np.int64)


def _search(sorted_keys: np.ndarray, query_keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Where each query key is or would be in the non-empty ``sorted_keys`` (clipped to
    its last place), and whether it is there."""
    pos = np.minimum(np.searchsorted(sorted_keys, query_keys), len(sorted_keys) - 1)
    return pos, sorted_keys[pos] == query_keys


def _rank(known: np.ndarray, ids: np.ndarray, missing: int) -> np.ndarray:
    """Each id's index in the sorted ``known``, or ``missing``."""
    if len(known) == 0:
        return np.full(len(ids), missing)
    pos, found = _search(known, ids)
    return np.where(found, pos, missing)


class _KeyIndex:
    """The index of the first row key equal to each query key, in [0, space): through a
    table of the whole key space where that is small, else by search."""

    def __init__(self, row_keys: np.ndarray, space: int) -> None:
        self.dense = space <= _DENSE_LIMIT
        if self.dense:
            # Of equal keys the first row wins: the smallest row number. Unsigned, the
            # entries without a row hold the largest number, which reads as -1 signed.
            numbers = np.uint32 if len(row_keys) < np.iinfo(np.uint32).max else np.uint64
            table = np.full(space, np.iinfo(numbers).max, dtype=numbers)
            np.minimum.at(table, row_keys, np.arange(len(row_keys), dtype=numbers))
            self.table = table.view(np.int32 if numbers is np.uint32 else np.int64)
        else:
            self.distinct, self.first = np.unique(row_keys, return_index=True)

    def find(self, query_keys: np.ndarray, missing: int) -> np.ndarray:
        if self.dense:
            rows = self.table[query_keys]
            return rows if missing == -1 else np.where(rows < 0, missing, rows)
        if len(self.distinct) == 0:
            return np.full(len(query_keys), missing, dtype=np.int64)
        pos, found = _search(self.distinct, query_keys)
        return np.where(found, self.first[pos], missing)


def contains(table_keys: np.ndarray, query_keys: np.ndarray) -> np.ndarray:
    """Whether each query key is among the table's keys (np.isin, without its merge sort)."""
    if len(table_keys) == 0:
        return np.zeros(len(query_keys), dtype=bool)
    return _search(np.sort(table_keys), query_keys)[1]


def first_match(table_keys: np.ndarray, query_keys: np.ndarray, missing: int = -1) -> np.ndarray:
    """Index of the first table row holding each query key, or ``missing``; NaN matches nothing."""
    if len(table_keys) == 0:
        return np.full(len(query_keys), missing, dtype=np.int64)
    order = np.argsort(table_keys, kind="stable")
    pos, found = _search(table_keys[order], query_keys)
    return np.where(found, order[pos], missing)
