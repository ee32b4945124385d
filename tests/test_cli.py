"""The cropmerge command end to end, run as a separate process on the working tree."""

import os
import re
import resource
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from _native import merge_points_removing_overlap
from cropmerge.synthetic import make_field

REPO = Path(__file__).resolve().parents[1]
TABLES = ("connected_crop_rows", "points_in_rows", "row_information")
SUMMARY = re.compile(r"^(\d+) crop rows: (\d+) points in, (\d+) kept, (\d+) removed in [\d.]+ s$")
TOLERANCE = 0.05


def run(*args, cwd, preexec_fn=None):
    path = os.pathsep.join(filter(None, [str(REPO / "python"), os.environ.get("PYTHONPATH")]))
    env = {**os.environ, "PYTHONPATH": path, "PYTHONDONTWRITEBYTECODE": "1"}
    return subprocess.run(
        [sys.executable, "-m", "cropmerge", *map(str, args)],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
        preexec_fn=preexec_fn,
    )


@pytest.fixture(scope="module")
def field():
    made = make_field(40, 2_000, seed=3)
    return {name: getattr(made, name) for name in TABLES}


@pytest.fixture
def npz(tmp_path, field):
    path = tmp_path / "field.npz"
    np.savez(path, **field)
    return path


def expected(field):
    return merge_points_removing_overlap(*(field[name] for name in TABLES), TOLERANCE, 1)


def read_output(path):
    if path.suffix == ".npz":
        with np.load(path) as archive:
            return archive["points_in_rows"]
    if path.suffix == ".csv":
        return np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2)
    return np.load(path)


@pytest.mark.parametrize("name", ["kept.npy", "kept.npz", "kept.csv"])
def test_merge_writes_every_format(tmp_path, field, npz, name):
    result = run("merge", npz, "-o", name, "--tolerance", TOLERANCE, "--threads", 2, cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    want = expected(field)
    np.testing.assert_array_equal(read_output(tmp_path / name), want)
    rows, points_in, kept, removed = map(int, SUMMARY.match(result.stderr.strip()).groups())
    assert (rows, points_in) == (len(field["connected_crop_rows"]), len(field["points_in_rows"]))
    assert (kept, removed) == (len(want), points_in - len(want))
    assert 0 < removed < points_in
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["field.npz", name])


def test_merge_reads_three_npy_files(tmp_path, field):
    for name in TABLES:
        np.save(tmp_path / f"{name}.npy", field[name])
    # Float64 in the other byte order is the same data.
    np.save(tmp_path / "points_in_rows.npy", field["points_in_rows"].astype(">f8"))
    files = ["--connected", "connected_crop_rows.npy", "--points", "points_in_rows.npy"]
    files += ["--info", "row_information.npy"]

    result = run("merge", *files, "-o", "kept.npy", "--tolerance", TOLERANCE, cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    np.testing.assert_array_equal(np.load(tmp_path / "kept.npy"), expected(field))


def save_with(path, field, **changes):
    np.savez(path, **{**field, **changes})
    return path


def text_file(path, text):
    path.write_text(text)
    return path


BAD_INPUTS = {
    "missing file": (lambda tmp, field: ["nowhere.npz"], "cannot read nowhere.npz: No such file"),
    "missing array": (
        lambda tmp, field: [save_with(tmp / "in.npz", {"points_in_rows": field["points_in_rows"]})],
        "no array named 'connected_crop_rows'",
    ),
    "wrong dtype": (
        lambda tmp, field: [
            save_with(tmp / "in.npz", field, points_in_rows=field["points_in_rows"].astype("f4"))
        ],
        "points_in_rows must be a 2-D float64 array, got float32",
    ),
    "wrong dimensions": (
        lambda tmp, field: [
            save_with(tmp / "in.npz", field, row_information=field["row_information"].ravel())
        ],
        "row_information must be a 2-D float64 array",
    ),
    "not an archive": (
        lambda tmp, field: [text_file(tmp / "in.npz", "x,y\n1,2\n")],
        "cannot read in.npz: not an .npz file",
    ),
    "id pair unknown to the engine": (
        lambda tmp, field: [
            save_with(tmp / "in.npz", field, row_information=field["row_information"][1:])
        ],
        "merge failed: an id pair has no row in row_information "
        "(called `Option::unwrap()` on a `None` value)",
    ),
    "NaN tolerance": (
        lambda tmp, field: [save_with(tmp / "in.npz", field), "--tolerance", "nan"],
        "tolerance must not be NaN (while processing 'tolerance')",
    ),
    "unknown output format": (
        lambda tmp, field: [save_with(tmp / "in.npz", field), "-o", "out.txt"],
        "cannot tell the format of out.txt",
    ),
}


@pytest.mark.parametrize("case", BAD_INPUTS)
def test_bad_input_fails_with_one_line(tmp_path, field, case):
    make_args, message = BAD_INPUTS[case]
    args = [arg.name if isinstance(arg, Path) else arg for arg in make_args(tmp_path, field)]
    if "-o" not in args:
        args += ["-o", "out.npy"]
    before = sorted(p.name for p in tmp_path.iterdir())

    result = run("merge", *args, cwd=tmp_path)

    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    last = result.stderr.splitlines()[-1]
    assert last.startswith("cropmerge merge: error: ") and message in last
    assert sorted(p.name for p in tmp_path.iterdir()) == before


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a failed write, not a killed process
    resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))


@pytest.mark.parametrize("failure", ["engine", "write"])
def test_failed_run_leaves_existing_output_alone(tmp_path, field, failure):
    if failure == "engine":
        source = save_with(tmp_path / "in.npz", field, row_information=field["row_information"][1:])
        preexec = None
    else:
        source = save_with(tmp_path / "in.npz", field)  # written before the limit applies
        preexec = limit_file_size
    (tmp_path / "kept.csv").write_text("previous result\n")

    result = run("merge", source, "-o", "kept.csv", cwd=tmp_path, preexec_fn=preexec)

    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    if failure == "write":
        assert "cannot write kept.csv" in result.stderr.splitlines()[-1]
    assert (tmp_path / "kept.csv").read_text() == "previous result\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.npz", "kept.csv"]


def test_demo_draws_picture(tmp_path):
    result = run("demo", "--size", "small", "--seed", "1", "--plot", "demo.png", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    rows, points_in, _, removed = map(int, SUMMARY.match(result.stderr.splitlines()[0]).groups())
    assert 900 <= rows <= 1_100 and 90_000 <= points_in <= 110_000
    assert 0 < removed < points_in // 4
    picture = (tmp_path / "demo.png").read_bytes()
    assert picture.startswith(b"\x89PNG\r\n\x1a\n") and len(picture) > 20_000
