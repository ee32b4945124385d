"""The junction picture is drawn for the junctions check_field points at, not only sound ones."""

import io

import numpy as np
import pytest
from fields import two_piece_row

plot = pytest.importorskip("cropmerge.plot")


def coincident_anchors(info):
    info[0, 7:9] = info[0, 5:7]  # the far point on the near end: no center


def along_y(info):
    info[:, 5:11] = info[:, [6, 5, 8, 7, 10, 9]]


@pytest.mark.parametrize("change", [coincident_anchors, along_y], ids=["no center", "along y"])
def test_a_junction_check_field_warns_of_is_drawn(change):
    connected, points, info = two_piece_row(slope=0.0)
    change(info)
    if change is along_y:
        points[:, 2:4] = points[:, [3, 2]]

    figure = plot.draw_junction(connected, points, info, 0.05)

    figure.savefig(io.BytesIO(), format="png")
    close_up = figure.axes[-1]
    assert np.isfinite([*close_up.get_xlim(), *close_up.get_ylim()]).all()
