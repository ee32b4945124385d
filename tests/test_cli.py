"""The cropmerge command end to end, run as a separate process on the working tree."""

import io
import os
import re
import resource
import signal
import stat
import subprocess
import sys
import threading
from pathlib import Path

import cropmerge
import numpy as np
import pytest
from _native import merge_points_removing_overlap
from cropmerge import cli, fieldio
from cropmerge.field_merge import merge_checked
from cropmerge.fieldio import UserError, write_points
from cropmerge.synthetic import make_field
from fields import two_piece_row

REPO = Path(__file__).resolve().parents[1]
TABLES = ("connected_crop_rows", "points_in_rows", "row_information")
SUMMARY = re.compile(
    r"^(\d+) crop rows?: (\d+) points? in, (\d+) kept, (\d+) removed in [\d.]+ s "
    r"\(tolerance ([\d.e-]+), (auto|given|half the plant spacing)\)$"
)
TOLERANCE = 0.05


def run(*args, cwd, preexec_fn=None, stdout=subprocess.PIPE):
    path = os.pathsep.join(filter(None, [str(REPO / "python"), os.environ.get("PYTHONPATH")]))
    env = {**os.environ, "PYTHONPATH": path, "PYTHONDONTWRITEBYTECODE": "1"}
    return subprocess.run(
        [sys.executable, "-m", "cropmerge", *map(str, args)],
        cwd=cwd,
        env=env,
        stdout=stdout,
        stderr=subprocess.PIPE,
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
    rows, points_in, kept, removed = map(int, SUMMARY.match(result.stderr.strip()).groups()[:4])
    assert (rows, points_in) == (len(field["connected_crop_rows"]), len(field["points_in_rows"]))
    assert (kept, removed) == (len(want), points_in - len(want))
    assert 0 < removed < points_in
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["field.npz", name])


def test_an_output_pipe_is_written_into_not_replaced(tmp_path, field, npz):
    """As the shell writes into /dev/null or a FIFO; a rename would put a file there."""
    fifo = tmp_path / "kept.npy"
    os.mkfifo(fifo)
    read = {}
    reader = threading.Thread(
        target=lambda: read.setdefault("bytes", fifo.read_bytes()), daemon=True
    )
    reader.start()
    assert cli.main(["merge", str(npz), "-o", str(fifo), "--tolerance", str(TOLERANCE)]) == 0
    reader.join(timeout=10)
    assert stat.S_ISFIFO(fifo.stat().st_mode)
    np.testing.assert_array_equal(np.load(io.BytesIO(read["bytes"])), expected(field))


def hand_written_csv(table, line_end="\n"):
    """Every value quoted, whole numbers without a point, NaN as an empty cell: what a
    spreadsheet writes (older ones end lines with a lone CR)."""
    cells = [
        [f'"{int(v)}"' if v.is_integer() else "" if np.isnan(v) else f'"{v!r}"' for v in row]
        for row in table.tolist()
    ]
    return "".join(",".join(row) + line_end for row in cells)


@pytest.mark.parametrize(
    "form", [">f8", "f4", "csv", "csv without header", "csv by hand", "csv by hand, CR"]
)
def test_merge_reads_three_table_files(tmp_path, field, form):
    """float64 in either byte order, float32 as detectors save it (merged as the float64
    values it holds), CSV as the command writes it, without the header line, or by hand
    (a first line with empty cells is data)."""
    csv = form.startswith("csv")
    suffix = ".csv" if csv else ".npy"
    stored = {name: field[name] if csv else field[name].astype(form) for name in TABLES}
    for name, table in stored.items():
        if form == "csv":
            write_points(table, tmp_path / f"{name}.csv")
        elif form.startswith("csv by hand"):
            line_end = "\r" if form.endswith("CR") else "\n"
            text_file(tmp_path / f"{name}.csv", hand_written_csv(table, line_end))
        elif csv:
            np.savetxt(tmp_path / f"{name}.csv", table, delimiter=",", fmt="%.17g")
        else:
            np.save(tmp_path / f"{name}.npy", table)
    files = ["--connected", "--points", "--info"]
    files = [item for option, name in zip(files, TABLES, strict=True) for item in (option, name)]
    files = [item + suffix if item in TABLES else item for item in files]

    result = run("merge", *files, "-o", "kept.npy", "--tolerance", TOLERANCE, cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    as_float64 = {name: table.astype(np.float64) for name, table in stored.items()}
    np.testing.assert_array_equal(np.load(tmp_path / "kept.npy"), expected(as_float64))


@pytest.mark.parametrize("pyarrow", [True, False], ids=["pyarrow", "without pyarrow"])
def test_csv_output_reads_back_exactly(tmp_path, monkeypatch, pyarrow):
    if not pyarrow:
        monkeypatch.setitem(sys.modules, "pyarrow", None)
    extremes = [[3, 0, 0.1, np.nan, np.inf, -0.0], [4, 1, 1 / 3, 5e-324, -np.inf, 1.8e308]]
    points = np.array(extremes)
    write_points(points, tmp_path / "kept.csv")

    text = (tmp_path / "kept.csv").read_text()
    assert text.startswith("first_id,second_id,x,y,column_4,column_5\n3,0,0.")
    back = np.loadtxt(tmp_path / "kept.csv", delimiter=",", skiprows=1, ndmin=2)
    np.testing.assert_array_equal(back, points)
    assert np.signbit(back[0, 5])


def test_output_name_at_the_file_system_limit(tmp_path, npz):
    name = "k" * 246 + ".npy"  # 250 characters
    result = run("merge", npz, "-o", name, "--tolerance", TOLERANCE, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / name).exists()


def test_version_and_examples():
    assert run("--version", cwd=REPO).stdout == f"cropmerge {cropmerge.__version__}\n"
    assert "examples:\n  cropmerge merge field.npz -o kept.npy" in run("--help", cwd=REPO).stdout


def save_tables(path, tables):
    np.savez(path, **dict(zip(TABLES, tables, strict=True)))
    return path


@pytest.mark.parametrize(
    ("variant", "kinds"),
    [
        ({}, []),
        ({"list_second": False}, ["unlisted_crop_rows", "one_sided_connections"]),
        ({"second_lists_first": False}, ["one_sided_connections"]),
        ({"slope": 0.0}, ["axis_parallel_anchors"]),
    ],
    ids=["sound", "unlisted row", "one-sided connection", "axis-parallel anchors"],
)
def test_check_and_merge_warn_of_the_two_piece_row_mistakes(tmp_path, variant, kinds):
    tables = two_piece_row(**variant)
    source = save_tables(tmp_path / "row.npz", tables)
    tolerance = f"{cropmerge.auto_tolerance(*tables):.6g}"

    check = run("check", source, cwd=tmp_path)
    merged = run("merge", source, "-o", "kept.npy", cwd=tmp_path)
    quiet = run("merge", source, "-o", "quiet.npy", "--quiet", cwd=tmp_path)
    strict = run("merge", source, "-o", "strict.npy", "--strict", cwd=tmp_path)

    assert check.returncode == (1 if kinds else 0)
    found = [line.split(":")[0] for line in check.stdout.splitlines()]
    assert found == (kinds or [f"nothing to report (tolerance {tolerance}, auto)"])
    assert merged.returncode == quiet.returncode == 0
    warnings = [line for line in merged.stderr.splitlines() if " warning: " in line]
    assert len(warnings) == len(kinds)
    assert " warning: " not in quiet.stderr
    assert SUMMARY.match(quiet.stderr.strip()).groups()[4:] == (tolerance, "auto")
    assert quiet.stderr.startswith("1 crop row: " if "list_second" in variant else "2 crop rows: ")
    assert strict.returncode == (2 if kinds else 0)
    assert (tmp_path / "strict.npy").exists() == (not kinds)


@pytest.mark.parametrize("output", ["kept.npy", "missing/kept.npy"])
def test_commands_leave_numpys_huge_page_switch_as_it_was(tmp_path, npz, output):
    """A command runs with NumPy's huge pages off; a caller's process gets its own
    setting back, also when the command fails."""
    from numpy._core.multiarray import _get_madvise_hugepage, _set_madvise_hugepage

    for setting in (True, False):
        previous = _set_madvise_hugepage(setting)
        try:
            cli.main(["merge", str(npz), "-o", str(tmp_path / output), "--quiet"])
            assert _get_madvise_hugepage() == setting
        finally:
            _set_madvise_hugepage(previous)


def test_engine_failure_is_told_in_the_users_terms():
    """A failure that gets past the check says what it means for the tables."""
    connected, points, info = two_piece_row()
    with pytest.raises(UserError) as raised:
        merge_checked((connected, points, info[:1]), 0.05, 1)
    assert str(raised.value) == (
        "merge failed: an id pair has no row in row_information "
        "(called `Option::unwrap()` on a `None` value)"
    )


def npy_files(tmp, field, **replaced):
    """Options naming one .npy file per table; ``replaced`` names other files for some."""
    paths = {name: tmp / f"{name}.npy" for name in TABLES}
    for name, path in paths.items():
        np.save(path, field[name])
    paths.update(replaced)
    options = ("--connected", "--points", "--info")
    return [
        item for option, name in zip(options, TABLES, strict=True) for item in (option, paths[name])
    ]


def corrupt_member(path, field):
    np.savez_compressed(path, **field)
    data = bytearray(path.read_bytes())
    data[len(data) // 2 : len(data) // 2 + 64] = bytes(64)
    path.write_bytes(data)
    return path


def truncated(path):
    path.write_bytes(path.read_bytes()[:-300])
    return path


def huge_header(path):
    """An .npy file whose header declares 10**15 rows of 1 float64, holding 8 bytes."""
    with path.open("wb") as stream:
        np.lib.format.write_array_header_1_0(
            stream, {"descr": "<f8", "fortran_order": False, "shape": (10**15, 1)}
        )
        stream.write(bytes(8))
    return path


def pickled(path, field):
    np.savez(path, **{**field, "row_information": np.array([[{}]], dtype=object)})
    return path


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
            save_with(tmp / "in.npz", field, points_in_rows=field["points_in_rows"].astype("c16"))
        ],
        "points_in_rows must hold real numbers, got values of type complex128",
    ),
    "wrong dimensions": (
        lambda tmp, field: [
            save_with(tmp / "in.npz", field, row_information=field["row_information"].ravel())
        ],
        "row_information must be a 2-D table, got shape (",
    ),
    "not an archive": (
        lambda tmp, field: [text_file(tmp / "in.npz", "x,y\n1,2\n")],
        "cannot read in.npz: not an .npz file",
    ),
    "id pair missing from row_information": (
        lambda tmp, field: [
            save_with(tmp / "in.npz", field, row_information=field["row_information"][1:])
        ],
        "row_information has no row for 2 id pairs that connected_crop_rows names: "
        "(0, 0) in columns 1-2 of row 0; (0, 0) in columns 3-4 of row 3",
    ),
    "NaN tolerance": (
        lambda tmp, field: [save_with(tmp / "in.npz", field), "--tolerance", "nan"],
        "argument --tolerance: must be 'auto' or a number of 0 or more, got nan",
    ),
    "negative tolerance without '='": (
        lambda tmp, field: [save_with(tmp / "in.npz", field), "--tolerance", "-inf"],
        "argument --tolerance: must be 'auto' or a number of 0 or more, got -inf",
    ),
    "corrupt compressed member": (
        lambda tmp, field: [corrupt_member(tmp / "in.npz", field)],
        "cannot read 'points_in_rows' from in.npz: not an .npy file (",
    ),
    "truncated archive": (
        lambda tmp, field: [truncated(save_with(tmp / "in.npz", field))],
        "cannot read in.npz: not an .npz file (",
    ),
    "huge declared shape": (
        lambda tmp, field: [*npy_files(tmp, field, points_in_rows=huge_header(tmp / "huge.npy"))],
        "cannot read huge.npy: its header declares 8000000000000000 bytes of data",
    ),
    "pickled member": (
        lambda tmp, field: [pickled(tmp / "in.npz", field)],
        "cannot read 'row_information' from in.npz: holds Python objects, not numbers",
    ),
    "output is an input": (
        lambda tmp, field: [*npy_files(tmp, field), "-o", "./points_in_rows.npy"],
        "will not write points_in_rows.npy: it is one of the inputs",
    ),
    "CSV that is not numbers": (
        lambda tmp, field: [
            *npy_files(tmp, field, points_in_rows=text_file(tmp / "p.csv", "a,b\n1,x\n"))
        ],
        "cannot read p.csv: In CSV column #1: Failed to parse string: 'x' as a scalar of type",
    ),
    "CSV integer that float64 rounds": (
        lambda tmp, field: [
            *npy_files(
                tmp, field, points_in_rows=text_file(tmp / "p.csv", "1,9007199254740993,0,0\n")
            )
        ],
        "cannot read p.csv: points_in_rows holds 1 integer that float64 cannot hold exactly, "
        "such as 9007199254740993 at index (0, 1)",
    ),
    "unknown output format": (
        lambda tmp, field: [save_with(tmp / "in.npz", field), "-o", "out.txt"],
        "cannot tell the format of out.txt",
    ),
    "output name too long": (
        lambda tmp, field: [save_with(tmp / "in.npz", field), "-o", "k" * 300 + ".npy"],
        ".npy: File name too long",
    ),
    "empty CSV file": (
        lambda tmp, field: [*npy_files(tmp, field, points_in_rows=text_file(tmp / "p.csv", ""))],
        "cannot read p.csv: the file is empty",
    ),
    "table that does not fit, in an archive": (
        lambda tmp, field: [
            save_with(tmp / "in.npz", field, points_in_rows=field["points_in_rows"][:, :3])
        ],
        "in.npz: points_in_rows has 3 columns",
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
    [line] = result.stderr.splitlines()
    assert line.startswith("cropmerge merge: error: ") and message in line
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


def test_interrupted_as_the_temporary_file_is_made_leaves_nothing_behind(tmp_path):
    """Ctrl-C that lands at the first step after the file is created."""

    def interrupt_once_made(frame, event, arg):
        if any(tmp_path.iterdir()):
            raise KeyboardInterrupt
        return interrupt_once_made

    def trace(frame, event, arg):
        return interrupt_once_made if frame.f_code is fieldio._create_temporary.__code__ else None

    sys.settrace(trace)
    try:
        with pytest.raises(KeyboardInterrupt):
            write_points(np.zeros((2, 4)), tmp_path / "kept.npy")
    finally:
        sys.settrace(None)
    assert list(tmp_path.iterdir()) == []


def test_terminated_run_leaves_nothing_behind(tmp_path, npz, monkeypatch):
    """SIGTERM ends a run as Ctrl-C does: the output being written is removed."""
    write_rows = fieldio._write_csv

    def terminated_while_writing(handle, points):
        handle.write(b"first_id")
        os.kill(os.getpid(), signal.SIGTERM)
        write_rows(handle, points)

    monkeypatch.setattr(fieldio, "_write_csv", terminated_while_writing)
    assert cli.main(["merge", str(npz), "-o", str(tmp_path / "kept.csv")]) == 128 + signal.SIGTERM
    assert sorted(p.name for p in tmp_path.iterdir()) == ["field.npz"]
    assert signal.getsignal(signal.SIGTERM) == signal.SIG_DFL


def test_replacing_an_output_keeps_its_permissions_and_its_link(tmp_path):
    points = np.zeros((2, 4))
    target, link = tmp_path / "kept.npy", tmp_path / "link.npy"
    write_points(points, target)
    target.chmod(0o600)
    link.symlink_to(target.name)

    write_points(points + 1, link)

    assert link.is_symlink() and stat.S_IMODE(target.stat().st_mode) == 0o600
    np.testing.assert_array_equal(np.load(target), points + 1)


def test_a_check_that_cannot_print_fails_with_one_line(npz):
    with open("/dev/full", "w") as full:
        result = run("check", npz, cwd=npz.parent, stdout=full)
    assert result.returncode == 2
    assert result.stderr == (
        "cropmerge check: error: cannot write to standard output: No space left on device\n"
    )


def test_tables_are_read_from_a_pipe(tmp_path, field):
    pipe, data = tmp_path / "points.npy", io.BytesIO()
    np.save(data, field["points_in_rows"])
    os.mkfifo(pipe)
    writer = threading.Thread(target=pipe.write_bytes, args=(data.getvalue(),))
    writer.start()
    try:
        np.testing.assert_array_equal(
            fieldio.load_npy("points_in_rows", pipe), field["points_in_rows"]
        )
    finally:
        writer.join()


def test_demo_draws_picture(tmp_path):
    pytest.importorskip("matplotlib")
    result = run("demo", "--size", "small", "--seed", "1", "--plot", "demo.png", cwd=tmp_path)

    assert result.returncode == 0, result.stderr
    rows, points_in, _, removed = map(
        int, SUMMARY.match(result.stderr.splitlines()[0]).groups()[:4]
    )
    assert 900 <= rows <= 1_100 and 90_000 <= points_in <= 110_000
    assert 0 < removed < points_in // 4
    picture = (tmp_path / "demo.png").read_bytes()
    assert picture.startswith(b"\x89PNG\r\n\x1a\n") and len(picture) > 20_000


@pytest.mark.parametrize(
    ("option", "chosen"),
    [
        ([], "half the plant spacing"),
        (["--tolerance", "auto"], "auto"),
        (["--tolerance", "-0"], "given"),
    ],
)
def test_demo_tolerance_is_chosen_as_asked(tmp_path, option, chosen):
    result = run("demo", "--threads", "1", *option, cwd=tmp_path)
    summary = SUMMARY.match(result.stderr.strip())
    assert summary.groups()[5] == chosen, result.stderr
    assert not summary.group(5).startswith("-")  # -0 is 0


@pytest.mark.parametrize(
    ("option", "message"),
    [
        (["--seed", "-5"], "argument --seed: must be a whole number of 0 or more, got -5"),
        (["--threads", str(2**64)], f"argument --threads: must be below 2**64, got {2**64}"),
    ],
)
def test_demo_refuses_unusable_arguments_before_the_work(capsys, option, message):
    with pytest.raises(SystemExit) as exit:
        cli.main(["demo", "--size", "large", *option])
    assert exit.value.code == 2 and message in capsys.readouterr().err


def raises(error):
    def raising(*args, **kwargs):
        raise error

    return raising


@pytest.mark.parametrize(
    ("patched", "error", "message"),
    [
        ((cli, "field_findings"), MemoryError(), "out of memory"),
        ((np, "load"), OSError(24, "Too many open files"), "field.npz: Too many open files"),
    ],
    ids=["memory", "a limit of the system"],
)
def test_running_short_is_one_line(npz, monkeypatch, capsys, patched, error, message):
    monkeypatch.setattr(*patched, raises(error))
    assert cli.main(["check", str(npz)]) == 2
    [line] = capsys.readouterr().err.splitlines()
    assert line.startswith("cropmerge check: error: ") and message in line
