"""Id-pair lookups find what comparing every pair one by one finds: the first row with
exactly equal float ids for connected rows, with equal truncated ids for crop rows."""

import numpy as np
import pytest
from cropmerge.ids import FloatPairIndex, PairTable, integer_ids, not_exact

WHOLE = [0.0, -0.0, 1.0, 2.0, 3.0, 7.0]
ODD = [np.nan, np.inf, -np.inf, -3.0, 2.5, 1e300, 2.0**40]


def first_rows(table, queries):
    """For each query pair, the first table row equal to it, or -1."""
    found = [
        np.flatnonzero((table[0] == a) & (table[1] == b)) for a, b in zip(*queries, strict=True)
    ]
    return [int(rows[0]) if len(rows) else -1 for rows in found]


# Whole ids that fit a table are looked up directly; any others are ranked first.
# Queries of whole ids alone take a shorter way than queries with any other.
@pytest.mark.parametrize("table_ids", [WHOLE, WHOLE + ODD], ids=["whole-ids", "any-ids"])
@pytest.mark.parametrize(
    "query_ids", [[*WHOLE, 2.0**40, np.inf], WHOLE + ODD], ids=["whole", "any"]
)
@pytest.mark.parametrize("seed", [0, 1])
def test_lookups_match_one_by_one_comparison(table_ids, query_ids, seed):
    rng = np.random.default_rng(seed)
    table = rng.choice(table_ids, 40), rng.choice(table_ids, 40)
    queries = rng.choice(query_ids, 400), rng.choice(query_ids, 400)

    assert FloatPairIndex(*table).rows(*queries).tolist() == first_rows(table, queries)

    rows, odd = PairTable(*table).match(np.column_stack(queries))
    truncated = [integer_ids(ids) for ids in (*table, *queries)]
    assert rows.tolist() == first_rows(truncated[:2], truncated[2:])
    assert odd.tolist() == (not_exact(queries[0]) | not_exact(queries[1])).tolist()


def test_ids_truncate_as_the_merge_truncates_them():
    top = 2**64 - 1
    values = [np.nan, -np.inf, -1.0, -0.0, 0.5, 3.9, 2.0**63, 2.0**64, 1e300, np.inf]
    expected = [0, 0, 0, 0, 0, 3, 2**63, top, top, top]
    assert integer_ids(np.array(values)).tolist() == expected
    changed = [True, True, True, False, True, True, False, True, True, True]
    assert not_exact(np.array(values)).tolist() == changed
