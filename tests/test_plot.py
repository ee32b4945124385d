"""The junction picture is drawn for the junctions check_field points at, not only sound ones."""

import io

import numpy as np
import pytest
from fields import two_piece_row

plot = pytest.importorskip("cropmerge.plot")


def without_center():
    connected, points, info = two_piece_row(slope=0.0)
    info[0, 7:9] = info[0, 5:7]  # the far point on the near end
    return connected, points, info


@pytest.mark.parametrize(
    "tables",
    [without_center(), two_piece_row(slope=0.0, along_y=True)],
    ids=["no center", "along y"],
)
def test_a_junction_check_field_warns_of_is_drawn(tables):
    figure = plot.draw_junction(*tables, 0.05)

    figure.savefig(io.BytesIO(), format="png")
    close_up = figure.axes[-1]
    assert np.isfinite([*close_up.get_xlim(), *close_up.get_ylim()]).all()
