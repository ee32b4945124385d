"""A field of real size: 50,000 crop rows and 5,000,000 points. Slow; run by `make test-slow`."""

import json
import os

import pytest
from child_process import run_python

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(os.environ.get("CROPMERGE_SLOW") != "1", reason="run by make test-slow"),
]

# Runs in a fresh process, so that its peak memory is the call's alone.
LARGE_FIELD = """
import gc, json, re
from pathlib import Path
import numpy as np
import _native

try:
    from cropmerge.synthetic import make_sized_field
    field = make_sized_field("large", shuffle=True)
    tables = field.connected_crop_rows, field.points_in_rows, field.row_information
    tolerance = field.default_tolerance
except ImportError:
    from fields import make_field
    tables, tolerance = make_field(50_000, 100, shuffle=True), 0.5
connected, points, info = tables
gc.collect()

def resident(field):
    status = Path("/proc/self/status").read_text()
    return int(re.search(field + r":\\s+(\\d+) kB", status).group(1)) * 1024

before = resident("VmRSS")
Path("/proc/self/clear_refs").write_text("5")  # the peak starts again from here
merged = _native.merge_points_removing_overlap(connected, points, info, tolerance, 0)
peak_growth = resident("VmHWM") - before
single = _native.merge_points_removing_overlap(connected, points, info, tolerance, 1)
print(json.dumps({
    "crop_rows": len(connected),
    "points": len(points),
    "input_bytes": connected.nbytes + points.nbytes + info.nbytes,
    "output_bytes": merged.nbytes,
    "output_rows": len(merged),
    "columns_kept": merged.shape[1] == points.shape[1],
    "same_as_single_worker": merged.shape == single.shape
        and np.array_equal(merged.view(np.uint64), single.view(np.uint64)),
    "peak_growth": peak_growth,
}))
"""


def test_a_large_field_merges_like_one_worker_within_its_memory_budget():
    done = run_python(LARGE_FIELD, timeout=1200)
    assert done.returncode == 0, done.stderr[-3000:]
    result = json.loads(done.stdout)
    print(result)
    assert result["crop_rows"] >= 50_000 * 0.95
    assert result["points"] >= 5_000_000 * 0.95
    assert 0 < result["output_rows"] < result["points"]
    assert result["columns_kept"]
    assert result["same_as_single_worker"]
    # The copies of the inputs and the output are unavoidable; beyond them the
    # call may take a fifth more and 8 bytes per point of index.
    floor = result["input_bytes"] + result["output_bytes"]
    assert result["peak_growth"] <= 1.2 * floor + 8 * result["points"]
