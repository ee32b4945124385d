"""Batches of fields on a real Dask cluster: two worker processes on loopback, started here."""

import io
import json
import math
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
from cropmerge import auto_tolerance, batch_cli, check_field, cli, merge
from cropmerge.fieldio import UserError, write_points
from fields import make_field, with_missing_connected_row

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
batch = pytest.importorskip("cropmerge.batch")
worker_faults = pytest.importorskip("worker_faults")

HERE = str(Path(__file__).parent)
REPO = Path(__file__).resolve().parents[1]
TABLES = ("connected_crop_rows", "points_in_rows", "row_information")
FIELDS = 20
BROKEN = "field_07"
BROKEN_ERROR = "row_information has no row for 1 id pair that connected_crop_rows names"
TOLERANCE = 0.05

# Closing a cluster whose workers were killed leaves Dask's sockets to the
# garbage collector.
pytestmark = pytest.mark.filterwarnings("ignore::ResourceWarning")


@pytest.fixture(scope="module")
def fields(tmp_path_factory):
    """{name: tables} of small fields, one of them with a connected row that has no anchors."""
    folder = tmp_path_factory.mktemp("fields")
    made = {}
    for number in range(FIELDS):
        name = f"field_{number:02}"
        tables = make_field(100, 200, seed=number)
        if name == BROKEN:
            tables = with_missing_connected_row(tables, 5)
        made[name] = dict(zip(TABLES, tables, strict=True))
        np.savez(folder / f"{name}.npz", **made[name])
    return folder, made


def start(*command, env):
    return subprocess.Popen(
        [sys.executable, "-m", "dask", *command],
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        start_new_session=True,
    )


def stop(process):
    process.terminate()
    try:
        process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """(address, client) of a scheduler and two worker processes started as commands."""
    scheduler_file = tmp_path_factory.mktemp("cluster") / "scheduler.json"
    # A field that kills its worker fails on the second death rather than the fourth, and
    # only the field a worker runs is blamed for its death.
    env = {
        **os.environ,
        "DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "1",
        "DASK_DISTRIBUTED__SCHEDULER__WORKER_SATURATION": "1.0",
        "PYTHONPATH": os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")])),
    }
    where = ["--scheduler-file", str(scheduler_file), "--no-dashboard"]
    processes = [start("scheduler", "--host", "127.0.0.1", "--port", "0", *where, env=env)]
    try:
        processes.append(
            start(
                "worker",
                "--nworkers",
                "2",
                "--nthreads",
                "1",
                "--host",
                "127.0.0.1",
                *where,
                env=env,
            )
        )
        with distributed.Client(scheduler_file=str(scheduler_file), timeout="60s") as client:
            client.wait_for_workers(2, timeout=60)
            yield client.scheduler.address, client
    finally:
        for process in reversed(processes):
            stop(process)


@pytest.fixture
def client(cluster):
    return cluster[1]


def expected(tables, tolerance=TOLERANCE):
    return merge(*(tables[name] for name in TABLES), tolerance, 1)


def read_output(path):
    if path.suffix == ".csv":
        return np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2)
    return np.load(path)


def check_outputs(out_dir, made, fmt):
    """Every good field's output is the direct merge's; nothing else is in out_dir."""
    good = sorted(name for name in made if name != BROKEN)
    written = sorted(path.name for path in out_dir.iterdir())
    assert written == sorted([*(f"{name}.{fmt}" for name in good), batch.REPORT_NAME])
    for name in good:
        np.testing.assert_array_equal(read_output(out_dir / f"{name}.{fmt}"), expected(made[name]))


def check_report(report, out_dir, made):
    assert json.loads((out_dir / batch.REPORT_NAME).read_text()) == report.to_json()
    assert [Path(field.input).stem for field in report.fields] == sorted(made)
    assert [Path(field.input).stem for field in report.failed] == [BROKEN], report.failed
    return {Path(field.input).stem: field for field in report.fields}


def test_a_batch_writes_what_merging_each_field_directly_gives(client, fields, tmp_path):
    folder, made = fields
    report = batch.merge_fields([folder], tmp_path, tolerance=TOLERANCE, client=client)

    check_outputs(tmp_path, made, "npy")
    entries = check_report(report, tmp_path, made)
    assert entries[BROKEN].error.startswith(BROKEN_ERROR)
    workers = {entry.worker for entry in entries.values()}
    assert workers <= set(client.scheduler_info()["workers"])
    for name, entry in entries.items():
        if name != BROKEN:
            assert entry.status == "ok"
            assert (entry.points_in, entry.points_kept) == (
                len(made[name]["points_in_rows"]),
                len(expected(made[name])),
            )
            findings = check_field(*(made[name][table] for table in TABLES), TOLERANCE)
            assert entry.warnings == [str(finding) for finding in findings] != []
    summary = report.summary
    assert (summary["ok"], summary["failed"], summary["skipped"]) == (FIELDS - 1, 1, 0)


def test_csv_triples_are_fields(client, fields, tmp_path):
    made = fields[1]
    folder = tmp_path / "csv"
    folder.mkdir()
    for name in ("field_01", "field_02"):
        for table in TABLES:
            write_points(made[name][table], folder / f"{name}.{table}.csv")
    (folder / "field_02.row_information.csv").unlink()
    named = [folder / "field_01.row_information.csv", folder]  # field_01 twice: merged once
    report = batch.merge_fields(named, tmp_path / "out", tolerance=TOLERANCE, client=client)

    entries = {batch.field_name(Path(field.input)): field for field in report.fields}
    assert list(entries) == ["field_01", "field_02"]
    assert entries["field_01"].status == "ok"
    kept = np.load(tmp_path / "out/field_01.npy")
    np.testing.assert_array_equal(kept, expected(made["field_01"]))
    assert entries["field_02"].status == "failed"
    assert "field_02.row_information.csv" in entries["field_02"].error


def test_the_command_merges_what_it_can_beside_a_lacking_triple(cluster, fields, tmp_path):
    """A triple that lacks a table fails alone, and a file name that is no UTF-8 merges."""
    address, _ = cluster
    folder, made = tmp_path / "in", fields[1]
    folder.mkdir()
    odd_name = os.fsdecode(b"field_\xff.npz")
    (folder / odd_name).write_bytes((fields[0] / "field_00.npz").read_bytes())
    write_points(made["field_01"]["connected_crop_rows"], folder / "half.connected_crop_rows.csv")
    out = tmp_path / "out"

    status = cli.main(["batch", str(folder), "-o", str(out), "--scheduler", address, "--quiet"])

    assert status == 1
    tables = made["field_00"]
    tolerance = auto_tolerance(*(tables[name] for name in TABLES))
    written = np.load(out / odd_name.replace(".npz", ".npy"))
    np.testing.assert_array_equal(written, expected(tables, tolerance))


def test_a_task_writes_once_and_only_while_its_batch_runs(client, fields, tmp_path):
    # Dask reruns a task whose worker died after the output was renamed into place but
    # before the result was reported; it cannot stop a task whose batch has ended.
    source, target = str(fields[0] / "field_01.npz"), tmp_path / "field_01.npy"
    target.write_bytes(b"an earlier batch's output")
    options = batch.FieldOptions(TOLERANCE, 1, False)
    with batch._writing_to(tmp_path, [target]) as name:
        first = batch.merge_field(source, str(target), options, name)
        written = batch.file_state(target)
        rerun = batch.merge_field(source, str(target), options, name)
        assert batch.file_state(target) == written and rerun.points_kept == first.points_kept
        target.write_bytes(b"changed since")  # by someone else: written again
        batch.merge_field(source, str(target), options, name)
        assert batch.file_state(target) not in (written, None)
        with pytest.raises(UserError, match="another batch is writing to"):
            batch.merge_fields([source], tmp_path, client=client)
    late = batch.merge_field(source, str(target), options, name)
    assert late.error == f"{target} not written: its batch has ended"
    assert sorted(path.name for path in tmp_path.iterdir()) == ["field_01.npy"]


def _holder_of_a_temporary(pids, out_dir):
    """The worker process that has a temporary output file open, if one has."""
    for pid in pids:
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
                if target.startswith(str(out_dir)) and target.endswith(".part"):
                    return pid
        except FileNotFoundError:  # the process or the descriptor is gone
            continue
    return None


def _kill_while_writing(client, out_dir, killed, stop):
    pids = set(client.run(os.getpid).values())
    while not stop.is_set():
        holder = _holder_of_a_temporary(pids, out_dir)
        if holder is not None:
            os.kill(holder, signal.SIGKILL)
            killed.append(holder)
            return
        time.sleep(0.0005)


def test_killing_a_worker_mid_write_loses_nothing(client, fields, tmp_path):
    folder, made = fields
    killed, stop = [], threading.Event()
    killer = threading.Thread(target=_kill_while_writing, args=(client, tmp_path, killed, stop))
    killer.start()
    try:
        report = batch.merge_fields(
            [folder], tmp_path, tolerance=TOLERANCE, client=client, output_format="csv"
        )
    finally:
        stop.set()
        killer.join()

    assert killed, "no worker was caught writing"
    check_outputs(tmp_path, made, "csv")  # no temporary file left either
    entries = check_report(report, tmp_path, made)
    assert sum(entry.status == "ok" for entry in entries.values()) == FIELDS - 1


def test_a_field_that_kills_its_worker_fails_and_the_batch_goes_on(client, fields, tmp_path):
    folder, _ = fields
    client.register_plugin(worker_faults.KillWorkerOnStart("field_02.npz"), name="killer")
    try:
        report = batch.merge_fields([folder], tmp_path, tolerance=TOLERANCE, client=client)
    finally:
        client.unregister_worker_plugin("killer")

    entries = {Path(field.input).stem: field for field in report.fields}
    assert entries.pop("field_02").error.startswith("KilledWorker: Attempted to run task")
    assert entries.pop(BROKEN).status == "failed"
    assert [entry for entry in entries.values() if entry.status != "ok"] == []
    assert sorted(tmp_path.glob(".*")) == []


class _Interrupt(Exception):
    pass


def test_resume_skips_what_an_interrupted_batch_finished(client, fields, tmp_path):
    folder, made = fields
    seen = []

    def interrupt_after_five(result):
        seen.append(result)
        if len(seen) == 5:
            raise _Interrupt

    with pytest.raises(_Interrupt):
        batch.merge_fields(
            [folder], tmp_path, tolerance=TOLERANCE, client=client, on_result=interrupt_after_five
        )
    finished = json.loads((tmp_path / batch.REPORT_NAME).read_text())["fields"]
    assert [entry["input"] for entry in finished] == sorted(result.input for result in seen)

    changed = folder / "field_11.npz"
    os.utime(changed, ns=(changed.stat().st_atime_ns, changed.stat().st_mtime_ns + 1))
    done_before = {entry["input"] for entry in finished if entry["status"] == "ok"}
    truncated = min(done_before)  # its output, cut short, is merged again too
    (tmp_path / f"{Path(truncated).stem}.npy").write_bytes(b"")
    report = batch.merge_fields([folder], tmp_path, tolerance=TOLERANCE, client=client, resume=True)

    check_outputs(tmp_path, made, "npy")
    check_report(report, tmp_path, made)
    skipped = {field.input for field in report.fields if field.status == "skipped"}
    assert skipped == done_before - {str(changed), truncated}

    # Another tolerance makes every earlier output stale.
    again = batch.merge_fields([folder], tmp_path, tolerance=0.1, client=client, resume=True)
    assert again.summary["skipped"] == 0


# ---- the command -------------------------------------------------------------------


def run_command(*args):
    path = os.pathsep.join(filter(None, [str(REPO / "python"), os.environ.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-m", "cropmerge", "batch", *map(str, args)],
        env={**os.environ, "PYTHONPATH": path},
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_the_command_on_a_given_cluster_then_resumed(cluster, fields, tmp_path):
    address, _ = cluster
    folder, made = fields
    first = run_command(
        folder, "-o", tmp_path, "--scheduler", address, "--tolerance", TOLERANCE, "--quiet"
    )

    assert first.returncode == 1, first.stderr
    failure, summary = first.stderr.splitlines()  # no progress bar off a terminal
    assert failure.startswith(f"failed: {folder / BROKEN}.npz: {BROKEN_ERROR}")
    merged = f"{FIELDS - 1} merged ({FIELDS - 1} with warnings)"
    assert summary.startswith(f"{FIELDS} fields: {merged}, 1 failed, 0 skipped; ")
    check_outputs(tmp_path, made, "npy")

    good = [folder / f"{name}.npz" for name in made if name != BROKEN]
    again = run_command(
        *good, "-o", tmp_path, "--scheduler", address, "--tolerance", TOLERANCE, "--resume"
    )
    assert again.returncode == 0, again.stderr
    assert f": 0 merged, 0 failed, {FIELDS - 1} skipped; " in again.stderr

    # These fields' ids are not whole numbers, which the check reports.
    not_whole = "20000 table rows with ids that are not whole"
    warned = run_command(good[0], "-o", tmp_path / "warned", "--scheduler", address)
    assert warned.returncode == 0, warned.stderr
    assert f"warning: {good[0]}: {not_whole}" in warned.stderr
    strict = run_command(good[0], "-o", tmp_path / "strict", "--scheduler", address, "--strict")
    assert strict.returncode == 1
    refused = f"{good[0]}: not merged because of --strict: non_integer_ids: {not_whole}"
    assert refused in strict.stderr


def test_the_command_starts_and_stops_a_local_cluster(fields, tmp_path):
    folder, made = fields
    result = run_command(folder, "-o", tmp_path, "--workers", 2, "--format", "npz")

    assert result.returncode == 1, result.stderr
    assert result.stderr.startswith("Dask dashboard: ")
    tables = made["field_00"]
    tolerance = auto_tolerance(*(tables[name] for name in TABLES))
    with np.load(tmp_path / "field_00.npz") as archive:
        np.testing.assert_array_equal(archive["points_in_rows"], expected(tables, tolerance))
    entry = json.loads((tmp_path / batch.REPORT_NAME).read_text())["fields"][0]
    assert entry["tolerance"] == tolerance


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["{folder}", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "--workers"),
        (["{folder}/nothing.npz"], "no file or folder"),
        (["{folder}", "{other}/field_00.npz"], "would both write"),
        (["{folder}", "-o", "{folder}", "--format", "npz"], "would replace the field itself"),
        (["{folder}", "-o", "{link}", "--format", "npz"], "would replace the field itself"),
        (["{folder}", "--tolerance", "nan"], "a number of 0 or more"),
        (["{folder}", "--threads", "-1"], "0 or more"),
        (["{folder}", "--threads", str(2**64)], "argument --threads: must be below 2**64"),
    ],
)
def test_the_command_refuses_unusable_arguments(fields, tmp_path, capsys, arguments, message):
    folder, _ = fields
    other = tmp_path / "other"
    other.mkdir()
    (other / "field_00.npz").write_bytes((folder / "field_00.npz").read_bytes())
    (tmp_path / "link").symlink_to(folder)
    given = [item.format(folder=folder, other=other, link=tmp_path / "link") for item in arguments]
    if "-o" not in given:
        given += ["-o", str(tmp_path / "out")]

    try:
        status = cli.main(["batch", *given])
    except SystemExit as exit:  # what argparse does with the arguments it refuses
        status = exit.code
    assert status == 2
    assert message in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


def _cpus_of_every_thread():
    threads = os.listdir("/proc/self/task")
    return sorted({cpu for thread in threads for cpu in os.sched_getaffinity(int(thread))})


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
def test_local_workers_keep_to_cpus_of_their_own():
    with batch.local_client(2) as client:
        client.wait_for_workers(2)
        workers = list(client.scheduler_info()["workers"])
        # A task starts the worker's task thread, which must keep to its CPU too.
        client.gather([client.submit(os.getpid, workers=[at], pure=False) for at in workers])
        cpus = client.run(_cpus_of_every_thread)
    assert sorted(map(len, cpus.values())) == [1, 1]
    assert len({cpu for found in cpus.values() for cpu in found}) == 2


@pytest.mark.parametrize(
    "error",
    [
        "/f/a.npz: no array named 'points_in_rows'",
        "cannot read /f/a.npz: not an .npz file",
        BROKEN_ERROR,
    ],
)
def test_a_failed_field_is_named_once(error):
    stream = io.StringIO()
    batch_cli._Progress(1, stream, show_warnings=True).update(
        batch.FieldResult("/f/a.npz", "a.npy", "failed", error=error)
    )
    named = error if "/f/a.npz" in error else f"/f/a.npz: {error}"
    assert stream.getvalue() == f"failed: {named}\n"


def test_a_field_named_by_two_paths_is_one_field(fields, tmp_path):
    (tmp_path / "link").symlink_to(fields[0])
    named = [fields[0] / "field_00.npz", tmp_path / "link/field_00.npz"]
    assert batch.find_fields(named) == [fields[0] / "field_00.npz"]


def test_fields_are_found_whatever_the_case_of_their_extension(tmp_path):
    names = ["a.npz", "b.NPZ", ".hidden.npz", "notes.txt"]
    names += [f"c.{table}.CSV" for table in TABLES] + ["d.points_in_rows.Csv"]
    names += ["e.connected_crop_rows.CSV", "e.points_in_rows.csv", "e.row_information.Csv"]
    for name in names:
        (tmp_path / name).touch()
    found = [path.name for path in batch.find_fields(str(tmp_path))]  # one path, not a list
    assert found == [
        "a.npz",
        "b.NPZ",
        "c.points_in_rows.CSV",
        "d.points_in_rows.Csv",
        "e.points_in_rows.csv",
    ]
    lacking = batch._input_files(tmp_path / "d.points_in_rows.Csv")
    assert [path.name for path in lacking] == [f"d.{table}.Csv" for table in TABLES]
    mixed = batch._input_files(tmp_path / "e.points_in_rows.csv")
    assert [path.name for path in mixed] == [names[-3], names[-2], names[-1]]


def test_triples_are_told_apart_by_all_their_tables(tmp_path):
    for name in ("x", "y"):
        for table in TABLES:
            if (name, table) != ("y", "points_in_rows"):
                (tmp_path / f"{name}.{table}.csv").touch()
    (tmp_path / "y.points_in_rows.csv").symlink_to(tmp_path / "x.points_in_rows.csv")
    fields = batch.find_fields([tmp_path / "x.row_information.csv", tmp_path])
    assert [batch.field_name(field) for field in fields] == ["x", "y"]


def test_outputs_that_are_one_file_through_a_link_are_refused(tmp_path):
    (tmp_path / "out").mkdir()
    (tmp_path / "out/a.npy").symlink_to("b.npy")
    fields = [tmp_path / "a.npz", tmp_path / "b.npz"]
    with pytest.raises(UserError, match=r"a\.npz and .*b\.npz would both write .*b\.npy"):
        batch.plan_outputs(fields, tmp_path / "out", "npy")


def test_fields_pending_when_the_cluster_goes_are_failed_fields(tmp_path):
    def cluster_gone():
        raise distributed.comm.CommClosedError("in <TCP>: Stream is closed")
        yield

    options = batch.FieldOptions(TOLERANCE, 1, False)
    fields = [tmp_path / "a.npz", tmp_path / "b.npz"]
    recorded = []
    run = batch._Batch(fields, fields, tmp_path, options, recorded.append)
    pending = {"future a": 0, "future b": 1}
    assert run._next(cluster_gone(), pending, [None, None]) is None
    assert pending == {} and [result.status for result in recorded] == ["failed", "failed"]


def test_a_result_lost_on_its_way_from_the_cluster_is_a_failed_field(tmp_path):
    class Lost:
        status = "finished"

        def result(self):
            raise distributed.comm.CommClosedError("in <TCP>: Stream is closed")

    options = batch.FieldOptions(TOLERANCE, 1, False)
    run = batch._Batch([tmp_path / "a.npz"], [tmp_path / "a.npy"], tmp_path, options, print)
    result = run._finished(Lost(), 0, None)
    assert (result.status, result.error) == (
        "failed",
        "cancelled: the cluster lost it (CommClosedError: in <TCP>: Stream is closed)",
    )


def test_an_infinite_tolerance_is_reported_in_valid_json():
    result = batch.FieldResult("in.npz", "out.npy", "ok", tolerance=math.inf)
    entry = json.loads(json.dumps(batch.BatchReport([result], 1.0).to_json(), allow_nan=False))
    assert entry["fields"][0]["tolerance"] == "inf"


def test_a_local_cluster_that_cannot_start_is_one_line(fields, tmp_path, monkeypatch, capsys):
    def cannot_start(**options):
        raise RuntimeError("Cluster failed to start")

    monkeypatch.setattr(batch, "LocalCluster", cannot_start)
    assert cli.main(["batch", str(fields[0]), "-o", str(tmp_path / "out"), "--quiet"]) == 2
    [line] = capsys.readouterr().err.splitlines()
    assert line.endswith(": error: cannot start a local Dask cluster: Cluster failed to start")
