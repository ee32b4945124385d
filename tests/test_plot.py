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


@pytest.mark.parametrize(
    ("change", "error", "message"),
    [
        (lambda c, p, i: (c, p, i[:, :9]), "FieldError", "row_information has 9 columns"),
        (lambda c, p, i: (c, p, i[1:]), "FieldError", "row_information has no row for"),
        (lambda c, p, i: (c, p, i), "ValueError", "crop_row 2 is not a row"),
    ],
)
def test_tables_the_merge_fails_on_are_named(change, error, message):
    with pytest.raises(ValueError, match=message) as raised:
        plot.draw_junction(*change(*two_piece_row(slope=0.0)), 0.05, crop_row=2)
    assert type(raised.value).__name__ == error
