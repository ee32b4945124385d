"""Tables read from files as users write them: every row and column as written, or one
line saying why not."""

import io
import os
import threading

import numpy as np
import pytest
from cropmerge.fieldio import UserError, load_csv, load_npy, load_table

pytest.importorskip("pyarrow")

ROWS = np.array([[1, 2, 3.5, 4], [5, 6, 7.5, 8]])
LINES = "1,2,3.5,4\n5,6,7.5,8\n"


def csv_file(tmp_path, text):
    path = tmp_path / "points_in_rows.csv"
    path.write_bytes(text.encode())
    return path


@pytest.mark.parametrize(
    "text",
    [
        "first_id,second_id,x,y\n\n" + LINES,  # a blank line after the header
        "\n" + LINES,
        "first_id,second_id,x,y\n1,2,3.5,4,\n5,6,7.5,8,\n",  # a comma ending every line
        "first_id,second_id,x,y,\r\n1,2,3.5,4,\r\n5,6,7.5,8,\r\n",
        "1,2,3.5,4,\n5,6,7.5,8,\n",
        "1,2,3.5,4\r5,6,7.5,8\r",  # lines ended by a lone CR
        "first_id,second_id,x,7\n" + LINES,  # a header, mostly names
    ],
    ids=[
        "blank after header",
        "blank first",
        "trailing comma",
        "trailing comma named",
        "trailing comma without header",
        "CR",
        "a number among names",
    ],
)
def test_csv_tables_are_read_as_written(tmp_path, text):
    np.testing.assert_array_equal(load_csv("points_in_rows", csv_file(tmp_path, text)), ROWS)


def test_a_last_column_of_nan_is_kept(tmp_path):
    table = load_csv("points_in_rows", csv_file(tmp_path, "1,2,3.5,nan\n5,6,7.5,NA\n"))
    assert table.shape == (2, 4) and np.isnan(table[:, 3]).all()


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("1,2,3..5,4\n5,6,7.5,8\n", "Failed to parse string: '3..5'"),  # data, not a header
        ("0,1,2,3\n" + LINES, "its first line, 0,1,2,3, may be pandas' column numbers or a"),
        (",0,1,2,3\n0,1,2,3.5,4\n1,5,6,7.5,8\n", "pandas' row index"),
        (",first_id,second_id,x,y\n7,1,2,3.5,4\n3,5,6,7.5,8\n", "pandas' row index"),
        ("1;2;3.5;4\n", "its values are not separated by commas"),
        ("1,2,3,4\n\x1b[2J,\x00,3,4\n", r"Failed to parse string: '\\x1b\[2J'"),  # escaped
        (
            "9223372036854775809,2,3.5,4\n",
            "holds 1 integer that float64 cannot hold exactly, such as 9223372036854775809 "
            r"at index \(0, 0\)",
        ),
    ],
)
def test_csv_tables_that_would_load_wrong_are_refused(tmp_path, text, message):
    with pytest.raises(UserError, match=f"^cannot read .*{message}"):
        load_csv("points_in_rows", csv_file(tmp_path, text))


def npy_bytes():
    stream = io.BytesIO()
    np.save(stream, ROWS)
    return stream.getvalue()


@pytest.mark.parametrize(
    ("name", "content"),
    [
        ("points_in_rows.csv", b"first_id,second_id,x,y\n" + LINES.encode()),
        ("stdin", LINES.encode()),  # told apart by its first bytes, as /dev/stdin is
        ("stdin", npy_bytes()),
    ],
    ids=["csv", "csv without a suffix", "npy without a suffix"],
)
def test_a_pipe_is_read_once(tmp_path, name, content):
    path = tmp_path / name
    os.mkfifo(path)
    writer = threading.Thread(target=path.write_bytes, args=(content,), daemon=True)
    writer.start()
    np.testing.assert_array_equal(load_table("points_in_rows", path), ROWS)
    writer.join(timeout=5)


@pytest.mark.parametrize(
    ("save", "message"),
    [
        (lambda stream: [np.save(stream, ROWS), np.save(stream, ROWS)], "bytes follow its array"),
        (
            lambda stream: np.save(stream, np.zeros(2, dtype=[("x", float), ("y", float)])),
            r"points_in_rows has named columns \(x, y\): save it as a 2-D array",
        ),
    ],
    ids=["several arrays", "named columns"],
)
def test_npy_files_that_would_load_wrong_are_refused(tmp_path, save, message):
    path = tmp_path / "points_in_rows.npy"
    with path.open("wb") as stream:
        save(stream)
    with pytest.raises(UserError, match=message):
        load_npy("points_in_rows", path)


@pytest.mark.parametrize("name", ["field.npz", "field"])
def test_an_archive_given_as_a_table_is_named(tmp_path, name):
    with (tmp_path / name).open("wb") as stream:
        np.savez(stream, points_in_rows=ROWS)
    with pytest.raises(UserError, match=r"an \.npz archive, expected an \.npy file"):
        load_table("points_in_rows", tmp_path / name)


def test_a_compressed_table_is_named(tmp_path):
    path = tmp_path / "points_in_rows.csv.gz"
    path.write_bytes(b"\x1f\x8b")
    with pytest.raises(UserError, match="compressed; decompress it first"):
        load_table("points_in_rows", path)
