"""The vectorised junction geometry gives the literal model's far point, near end, center
and kept points, bit for bit, on anchors full of ties, coincidences and NaN."""

import math

import model
import numpy as np
from cropmerge.geometry import centers, facing_ends, filter_boxes, inside_boxes

VALUES = np.array([0.0, 1.0, -1.0, 2.0, 10.0, 0.5, 1e-9, math.nan])
WEIGHTS = [0.2, 0.2, 0.15, 0.15, 0.1, 0.1, 0.06, 0.04]
JUNCTIONS, POINTS = 2_000, 6


def test_geometry_matches_the_model():
    rng = np.random.default_rng(7)
    own, connected = rng.choice(VALUES, (2, JUNCTIONS, 6), p=WEIGHTS)
    points = rng.choice(VALUES, (JUNCTIONS, POINTS, 2)) + rng.choice([0.0, 0.25], (JUNCTIONS, 1, 2))
    tolerance = rng.choice([0.0, 0.5, 1.0, -1.0, math.inf], JUNCTIONS)

    ends = facing_ends(own, connected)
    center = centers(ends)
    for i in range(JUNCTIONS):
        far, near, connected_near = model.facing_ends([0, *own[i]], [0, *connected[i]])
        expected_center = model.center_of(far, near, connected_near)
        np.testing.assert_array_equal(
            [ends.far[i], ends.near[i], ends.connected_near[i], center[i]],
            [far, near, connected_near, expected_center],
        )
        boxes = filter_boxes(center[i : i + 1], ends.near[i : i + 1], tolerance[i])
        kept = inside_boxes(boxes.repeat(POINTS, axis=1), points[i, :, 0], points[i, :, 1])
        rows = [[0, 0, x, y] for x, y in points[i].tolist()]
        expected = model.remove_points_past_center(rows, expected_center, near, tolerance[i])
        assert [row for row, k in zip(rows, kept, strict=True) if k] == expected
