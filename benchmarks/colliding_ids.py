"""Small integer id pairs that collide in an unkeyed id-pair hash, and a field that uses them.

The hash mixes the two integer ids with fixed constants and keeps the low bits for a table
of open addressing that holds twice the expected keys (a power of two, at least 16). Ids
whose slots all fall into a short window pile up into one long run of taken slots, which
every insertion and lookup then walks. Nothing here depends on a key: with a per-process
seed in the hash these ids collide no more than any others.
"""

import numpy as np

_MIX_FIRST = np.uint64(0x9E3779B97F4A7C15)
_MIX_SECOND = np.uint64(0x632BE59BD9B4E019)
_MIX_AFTER = np.uint64(0xBF58476D1CE4E5B9)
WINDOW = 1024  # slots that all the colliding pairs start in
_FIRSTS_PER_BATCH = 256
_SECONDS = 4096  # second ids tried for each first id


def unkeyed_hash(first, second):
    """The hash of uint64 id pairs, with uint64 wraparound."""
    h = (first * _MIX_FIRST) ^ (second + _MIX_SECOND)
    h ^= h >> np.uint64(29)
    h *= _MIX_AFTER
    h ^= h >> np.uint64(32)
    return h


def table_capacity(keys):
    capacity = 16
    while capacity < keys * 2:
        capacity *= 2
    return capacity


def colliding_pairs(count):
    """`count` distinct (first, second) id pairs whose slots, for `count` keys, share WINDOW."""
    mask = np.uint64(table_capacity(count) - 1)
    seconds = np.arange(_SECONDS, dtype=np.uint64)
    found, total, start = [], 0, 0
    while total < count:
        firsts = np.arange(start, start + _FIRSTS_PER_BATCH, dtype=np.uint64)
        first, second = (grid.ravel() for grid in np.meshgrid(firsts, seconds, indexing="ij"))
        hit = (unkeyed_hash(first, second) & mask) < WINDOW
        found.append(np.column_stack((first[hit], second[hit])))
        total += int(hit.sum())
        start += _FIRSTS_PER_BATCH
    return np.concatenate(found)[:count].astype(np.float64)


def relabel(connected, points, info, pairs):
    """The three tables with crop row k's id pair replaced by pairs[k] wherever it appears."""
    width = np.nanmax(connected[:, 2]) + 1
    own = connected[:, 1] * width + connected[:, 2]
    order = np.argsort(own)

    def renamed(table, first_column, second_column):
        table = table.copy()
        keys = table[:, first_column] * width + table[:, second_column]
        listed = ~np.isnan(keys)
        at = np.minimum(np.searchsorted(own[order], keys[listed]), len(own) - 1)
        if not np.array_equal(own[order][at], keys[listed]):
            raise ValueError("an id pair names no crop row")
        new = pairs[order[at]]
        table[listed, first_column], table[listed, second_column] = new[:, 0], new[:, 1]
        return table

    connected = renamed(connected, 1, 2)
    for slot in range(4):
        connected = renamed(connected, 3 + 2 * slot, 4 + 2 * slot)
    return connected, renamed(points, 0, 1), renamed(info, 0, 4)
