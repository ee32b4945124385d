"""Which rows of row_information the merge looks up for each crop row and connection.

A crop row finds its own row by integer ids, a connected row by exact float ids;
of equal ids the first row wins. The caller has checked that the id columns exist.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from cropmerge.ids import FloatPairIndex, PairKeys

__all__ = ["SLOTS", "Links", "connected_pairs", "link_rows", "listed_slots"]

SLOTS = 4  # connected rows a crop row can list


@dataclass(frozen=True)
class Links:
    own_info: np.ndarray  # per crop row: its row_information row, or -1
    crop_row: np.ndarray  # per listed connection, row by row and slot by slot: its crop row
    slot: np.ndarray  # 0 to 3: its place in the crop row's list
    other_info: np.ndarray  # the connected row's row_information row, or -1


def listed_slots(connected: np.ndarray) -> np.ndarray:
    """How many connected rows each crop row lists: slots up to the first NaN first id."""
    listed = np.zeros(len(connected), dtype=np.int64)
    open_list = np.ones(len(connected), dtype=bool)
    for slot in range(SLOTS):
        column = 3 + 2 * slot
        if column >= connected.shape[1]:
            break
        open_list &= ~np.isnan(connected[:, column])
        listed += open_list
    return listed


def connected_pairs(connected: np.ndarray, rows: np.ndarray, slots: np.ndarray) -> np.ndarray:
    """The (n, 2) id pairs that the given crop rows list in the given slots."""
    first = 3 + 2 * slots
    return np.column_stack((connected[rows, first], connected[rows, first + 1]))


def _own_info_rows(connected: np.ndarray, info: np.ndarray) -> np.ndarray:
    if len(info) == 0 or len(connected) == 0:  # then the id columns may be missing
        return np.full(len(connected), -1)
    keys = PairKeys(connected[:, 1], connected[:, 2])
    return keys.lookup(keys(info[:, 0], info[:, 4]), keys(connected[:, 1], connected[:, 2]), -1)


def _listed_pairs(connected: np.ndarray, places: np.ndarray) -> np.ndarray:
    """The (n, 2) id pairs at the given places (crop row * SLOTS + slot) of the lists."""
    if connected.shape[1] < 3 + 2 * SLOTS:  # a table whose lists all end early
        return connected_pairs(connected, *np.divmod(places, SLOTS))
    return np.take(connected[:, 3 : 3 + 2 * SLOTS].reshape(-1, 2), places, axis=0)


def link_rows(connected: np.ndarray, info: np.ndarray) -> Links:
    """The row_information row of every crop row and of every connection it lists."""
    own = _own_info_rows(connected, info)
    places = np.flatnonzero(np.arange(SLOTS)[None, :] < listed_slots(connected)[:, None])
    rows, slots = np.divmod(places, SLOTS)
    if len(info) == 0 or len(rows) == 0:
        return Links(own, rows, slots, np.full(len(rows), -1))
    pair = _listed_pairs(connected, places)
    other = FloatPairIndex(info[:, 0], info[:, 4]).rows(pair[:, 0], pair[:, 1])
    return Links(own, rows, slots, other)
