"""Merging many fields on a Dask cluster: one task per field, each read, merged and written.

A task depends only on its input path and options and writes its output
atomically, so Dask may run it again elsewhere when a worker dies. The batch
refreshes ``OUT_DIR/report.json`` as fields finish, so an interrupted batch
still leaves a valid report, and ``resume=True`` skips the fields it lists as
done for the same input and options.
"""

from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import json
import math
import os
import secrets
import signal
import time
import uuid
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Literal

import numpy as np

from cropmerge.extras import install_hint

try:
    import dask
    from distributed import Client, Future, LocalCluster, Worker, as_completed, get_worker
except ImportError as error:  # without the batch extra: a test suite skips what needs it
    raise ModuleNotFoundError(
        f"cropmerge.batch needs Dask ({error}): {install_hint('batch')}"
    ) from None

from cropmerge import FieldError
from cropmerge.arguments import AUTO
from cropmerge.checks import Finding, field_findings
from cropmerge.field import index_field
from cropmerge.field_merge import chosen_tolerance, merge_checked, refuse_if_strict
from cropmerge.fieldio import (
    FORMATS,
    TABLES,
    UserError,
    atomic_output,
    describe_os_error,
    file_identities,
    leftover_temporaries,
    load_csv,
    load_npz,
    temporary_prefix,
    write_points,
    written_path,
)
from cropmerge.merging import check_scalars

__all__ = [
    "BatchReport",
    "FieldResult",
    "field_name",
    "find_fields",
    "local_client",
    "merge_fields",
    "plan_outputs",
]

REPORT_NAME = "report.json"
# Refreshing the report after every field would rewrite it quadratically often.
_REPORT_REFRESH_SECONDS = 1.0

Tolerance = float | Literal["auto"]


@dataclass(frozen=True)
class FieldOptions:
    """What a task needs besides its paths; part of what a resumed batch must match."""

    tolerance: Tolerance
    num_threads: int
    strict: bool

    def matching(self) -> dict[str, Any]:
        """The options whose change makes an earlier output stale (threads never do), as
        the report holds them."""
        return {"tolerance": _json_number(self.tolerance), "strict": self.strict}


def _json_number(value: Any) -> Any:
    """A number as JSON can hold it: an infinite one as text ("inf"), since JSON has none."""
    return repr(value) if isinstance(value, float) and not math.isfinite(value) else value


@dataclass(frozen=True)
class FieldResult:
    """One field's line of the report."""

    input: str
    output: str
    status: Literal["ok", "failed", "skipped"]
    crop_rows: int | None = None
    points_in: int | None = None
    points_kept: int | None = None
    tolerance: float | None = None
    seconds: float | None = None
    worker: str | None = None
    error: str | None = None
    warnings: list[str] | None = None  # what the check found in a merged field
    # What --resume compares: the input's size and modification time, and the options.
    source: dict[str, int] | None = None
    options: dict[str, Any] | None = None
    written: list[int] | None = None  # the output's file_state as the merge wrote it


@dataclass
class BatchReport:
    fields: list[FieldResult]
    seconds: float

    def count(self, status: str) -> int:
        return sum(field.status == status for field in self.fields)

    @property
    def failed(self) -> list[FieldResult]:
        return [field for field in self.fields if field.status == "failed"]

    @property
    def summary(self) -> dict[str, int | float]:
        # Skipped fields keep their earlier counts: their outputs are in OUT_DIR too.
        written = [field for field in self.fields if field.status != "failed"]
        return {
            "ok": self.count("ok"),
            "failed": self.count("failed"),
            "skipped": self.count("skipped"),
            "points_in": sum(field.points_in or 0 for field in written),
            "points_kept": sum(field.points_kept or 0 for field in written),
            "seconds": round(self.seconds, 3),
        }

    def to_json(self) -> dict[str, Any]:
        fields = [dataclasses.asdict(field) for field in self.fields]
        for field in fields:
            field["tolerance"] = _json_number(field["tolerance"])
        return {"fields": fields, "summary": self.summary}


# ---- one field, on a worker ------------------------------------------------------


FileState = tuple[int, int, int]  # inode, size, modification time: a rewrite changes it


def file_state(path: str | os.PathLike[str]) -> FileState | None:
    """What tells this version of a file from any rewrite of it; None when it is absent."""
    try:
        status = os.stat(path)
    except FileNotFoundError:
        return None
    return status.st_ino, status.st_size, status.st_mtime_ns


def merge_field(source: str, target: str, options: FieldOptions, batch: str) -> FieldResult:
    """Read, merge and write one field for the batch named ``batch``; failures come back
    as a failed result (see ``_write_once`` for when nothing is written)."""
    start = time.perf_counter()
    try:
        tables = _load_field(Path(source))
        merged, tolerance, findings = _merge_tables(tables, options)
        _write_once(merged, Path(target), batch)
    except UserError as error:
        seconds = round(time.perf_counter() - start, 4)
        return FieldResult(
            source, target, "failed", seconds=seconds, worker=_worker_name(), error=str(error)
        )
    return FieldResult(
        source,
        target,
        "ok",
        crop_rows=tables["connected_crop_rows"].shape[0],
        points_in=tables["points_in_rows"].shape[0],
        points_kept=merged.shape[0],
        tolerance=tolerance,
        seconds=round(time.perf_counter() - start, 4),
        worker=_worker_name(),
        warnings=[str(finding) for finding in findings],
        written=list(file_state(target) or ()) or None,
    )


def _write_once(points: np.ndarray, target: Path, batch: str) -> None:
    """Write the output, unless the batch wrote it already: Dask runs a task again when its
    worker died after writing. A task of a batch that has ended (one that Dask could not
    stop when the batch cancelled it) writes nothing."""
    marker = _written_marker(target, batch)
    with contextlib.suppress(OSError):
        if marker.samefile(target):  # the output this batch wrote, not changed since
            return

    def commit(temporary: Path) -> None:
        if _batch_writing(target.parent) != batch:
            raise UserError(f"{target} not written: its batch has ended")
        with contextlib.suppress(FileNotFoundError):
            marker.unlink()
        os.link(temporary, marker)

    write_points(points, target, before_replace=commit)


def _merge_tables(
    tables: dict[str, np.ndarray], options: FieldOptions
) -> tuple[np.ndarray, float, list[Finding]]:
    """The one place a batch merges: the kept points, the tolerance they were kept with
    and what the check found."""
    try:
        # Read once for the tolerance, the check and the merge's validation alike.
        field = index_field(*(tables[name] for name in TABLES))
    except FieldError as error:
        raise UserError(str(error)) from None
    tolerance = chosen_tolerance(field, options.tolerance)[0]
    findings = field_findings(field, tolerance)
    refuse_if_strict(findings, options.strict)
    return merge_checked(field.tables, tolerance, options.num_threads), tolerance, findings


def _printable(name: str) -> str:
    """A file name as text that encodes as UTF-8 (Dask's messages must): bytes that are no
    UTF-8 are written as escapes."""
    return os.fsencode(name).decode("utf-8", "backslashreplace")


def _worker_name() -> str | None:
    try:
        return str(get_worker().address)
    except ValueError:  # not on a worker
        return None


# ---- fields on disk ------------------------------------------------------------------
# A field is an .npz file or a CSV triple: NAME.connected_crop_rows.csv,
# NAME.points_in_rows.csv and NAME.row_information.csv. A triple goes by the path of
# its points table.


def _triple_name(path: Path) -> tuple[str, str] | None:
    """NAME and the extension of the CSV triple that ``path`` is one of, or None. The
    extension is read in any case, as ``cropmerge merge`` reads it."""
    stem, extension = path.name[: -len(".csv")], path.name[-len(".csv") :]
    if extension.lower() != ".csv":
        return None
    for table in TABLES:
        if stem.endswith(f".{table}") and len(stem) > len(table) + 1:
            return stem[: -len(table) - 1], extension
    return None


def _triple(path: Path) -> dict[str, Path] | None:
    """The three tables of the CSV triple that ``path`` is one of, or None: each with
    the extension ``path`` has, or another case of it that a file has."""
    named = _triple_name(path)
    if named is None:
        return None
    name, extension = named
    tables = {table: path.with_name(f"{name}.{table}{extension}") for table in TABLES}
    for table, file in tables.items():
        if not file.exists():
            tables[table] = _in_another_case(file)
    return tables


def _in_another_case(file: Path) -> Path:
    """A file beside ``file`` whose name differs from it in the case of its extension,
    or ``file`` itself where there is none."""
    stem = file.name[: -len(".csv")]
    with contextlib.suppress(OSError):
        for entry in os.scandir(file.parent):
            if entry.name[: -len(".csv")] == stem and entry.name[-len(".csv") :].lower() == ".csv":
                return file.with_name(entry.name)
    return file


def _field_path(path: Path) -> Path:
    triple = _triple(path)
    return path if triple is None else triple["points_in_rows"]


def field_name(field: Path) -> str:
    """What a field's output is named after: the .npz file's or the triple's NAME."""
    named = _triple_name(field)
    return field.stem if named is None else named[0]


def _input_files(field: Path) -> list[Path]:
    triple = _triple(field)
    return [field] if triple is None else list(triple.values())


def _load_field(field: Path) -> dict[str, np.ndarray]:
    triple = _triple(field)
    if triple is None:
        return load_npz(field)
    return {name: load_csv(name, path) for name, path in triple.items()}


def _in_folder(folder: Path) -> list[Path]:
    """The fields in a folder, by name; a triple lacking a table is still a field (that
    fails with the reason)."""
    try:
        listed = list(folder.iterdir())
    except OSError as error:
        raise UserError(f"cannot read folder {folder}: {describe_os_error(error)}") from None
    members = [
        path
        for path in listed
        if not path.name.startswith(".")
        and (path.suffix.lower() == ".npz" or _triple(path) is not None)
    ]
    found = {_field_path(path) for path in members}
    return sorted(found, key=lambda path: (field_name(path), path.name))


# ---- one batch at a time in a folder --------------------------------------------------
# A batch locks its folder and names itself in this file while it runs: tasks write only
# for the batch named there.
_BATCH_FILE = ".cropmerge-batch"


def _batch_writing(out_dir: Path) -> str | None:
    try:
        return (out_dir / _BATCH_FILE).read_text()
    except OSError:
        return None


def _written_marker(output: Path, batch: str) -> Path:
    """A hard link to the output that the batch wrote, named as a temporary file of the
    output (the batch's name in place of the random part), so that it is swept with them:
    beside the file written, which a symbolic link may put elsewhere."""
    written = written_path(output)
    return written.parent / f"{temporary_prefix(written)}{batch}.part"


def _remove_leftovers(outputs: list[Path]) -> None:
    """Remove what the tasks writing ``outputs`` left beside them: temporary files of
    writers that were killed, and a batch's markers of what it wrote."""
    for leftover in leftover_temporaries(outputs):
        with contextlib.suppress(FileNotFoundError):
            leftover.unlink()


def remove_leftovers(out_dir: Path, outputs: list[Path]) -> None:
    """``_remove_leftovers``, unless another batch holds the folder: it removes them when
    it ends."""
    with contextlib.suppress(UserError, FileNotFoundError), _locked(out_dir):
        _remove_leftovers(outputs)


@contextlib.contextmanager
def _locked(out_dir: Path) -> Iterator[None]:
    """The folder to this batch alone; UserError when another batch holds it."""
    descriptor = os.open(out_dir, os.O_RDONLY | os.O_DIRECTORY)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise UserError(f"another batch is writing to {out_dir}: wait for it") from None
        yield
    finally:
        os.close(descriptor)  # and with it the lock


@contextlib.contextmanager
def _writing_to(out_dir: Path, outputs: list[Path]) -> Iterator[str]:
    """The folder held for one batch, whose name this yields; a second batch into it at
    the same time is refused. Once the batch ends, none of its tasks writes any more."""
    with _locked(out_dir):
        batch = secrets.token_hex(4)  # as long as the random part of a temporary's name
        _remove_leftovers(outputs)  # of a batch that was killed
        (out_dir / _BATCH_FILE).write_text(batch)
        try:
            yield batch
        finally:
            with contextlib.suppress(FileNotFoundError):
                (out_dir / _BATCH_FILE).unlink()
            _remove_leftovers(outputs)


# ---- planning the batch ------------------------------------------------------------


Inputs = str | os.PathLike[str] | Iterable[str | os.PathLike[str]]


def find_fields(inputs: Inputs) -> list[Path]:
    """The fields named, and those inside the folders named (sorted), each once."""
    if isinstance(inputs, str | os.PathLike):  # one path, not a sequence of characters
        inputs = [inputs]
    fields: dict[tuple[str, ...], Path] = {}
    for given in map(Path, inputs):
        if given.is_dir():
            found = _in_folder(given)
            if not found:
                raise UserError(f"no .npz file or CSV triple in folder {given}")
        elif given.is_file():
            found = [_field_path(given)]
        else:
            raise UserError(f"no file or folder {given}")
        for path in found:  # each field once, by whatever path it was named first
            files = tuple(os.path.realpath(file) for file in _input_files(path))
            fields.setdefault(files, Path(os.path.abspath(path)))
    if not fields:
        raise UserError("no field given")
    return list(fields.values())


def plan_outputs(
    fields: list[Path], out_dir: str | os.PathLike[str], output_format: str
) -> list[Path]:
    """Each field's output path, refusing two fields that would write one file and an
    output that would replace an input (through links too)."""
    out_dir = Path(os.path.abspath(out_dir))
    if output_format not in FORMATS:
        raise UserError(f"unknown format '{output_format}': use one of {', '.join(FORMATS)}")
    inputs = {
        identity: field
        for field in fields
        for path in _input_files(field)
        for identity in file_identities(path)
    }
    outputs: list[Path] = []
    writers: dict[object, Path] = {}  # the field writing each output, by its identities
    for field in fields:
        output = out_dir / f"{field_name(field)}.{output_format}"
        identities = file_identities(output)
        for identity in identities:
            if identity in writers:  # one name, or a link to another output
                raise UserError(f"{writers[identity]} and {field} would both write {output}")
            if identity in inputs:
                owner = inputs[identity]
                whose = "the field itself" if owner == field else f"the field {owner}"
                raise UserError(f"writing {output} would replace {whose}")
        writers.update(dict.fromkeys(identities, field))
        outputs.append(output)
    return outputs


def _prepare_out_dir(out_dir: str | os.PathLike[str]) -> Path:
    path = Path(os.path.abspath(out_dir))
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UserError(f"cannot create folder {path}: {describe_os_error(error)}") from None
    return path


def _checked_options(tolerance: Tolerance, num_threads: int, strict: bool) -> FieldOptions:
    if tolerance != AUTO:
        if isinstance(tolerance, str) or math.isnan(tolerance):
            raise UserError(f"tolerance must be a number or 'auto', not {tolerance!r}")
        tolerance = float(tolerance)
    try:
        check_scalars(0.0, num_threads)
    except OverflowError as error:
        raise UserError(str(error)) from None
    return FieldOptions(tolerance, num_threads, strict)


# ---- resuming ------------------------------------------------------------------------


def _source_of(field: Path) -> dict[str, int] | None:
    """The field's size and latest modification time (of all three tables of a triple)."""
    try:
        statuses = [path.stat() for path in _input_files(field)]
    except OSError:
        return None  # the task reports why it cannot read the field
    return {
        "size": sum(status.st_size for status in statuses),
        "mtime_ns": max(status.st_mtime_ns for status in statuses),
    }


def _previous_results(out_dir: Path) -> dict[str, FieldResult]:
    """The entries of an earlier report; none when there is none or it cannot be read."""
    try:
        entries = json.loads((out_dir / REPORT_NAME).read_text())["fields"]
        results = [FieldResult(**entry) for entry in entries]
    except (OSError, ValueError, TypeError, KeyError):
        return {}
    return {result.input: result for result in results}


def _already_done(
    previous: FieldResult, output: Path, source: dict[str, int] | None, options: FieldOptions
) -> bool:
    return (
        previous.status in ("ok", "skipped")
        and previous.output == str(output)
        and source is not None
        and previous.source == source
        and previous.options == options.matching()
        and previous.written == list(file_state(output) or ())  # as it was written
    )


# ---- running the batch ---------------------------------------------------------------


def merge_fields(
    inputs: Inputs,
    out_dir: str | os.PathLike[str],
    *,
    tolerance: Tolerance = AUTO,
    num_threads: int = 1,
    client: Client | None = None,
    resume: bool = False,
    output_format: str = "npy",
    strict: bool = False,
    on_result: Callable[[FieldResult], None] | None = None,
) -> BatchReport:
    """Merge every field of ``inputs`` (a path or several) into ``out_dir``: .npz files,
    CSV triples (any of NAME.connected_crop_rows.csv, NAME.points_in_rows.csv,
    NAME.row_information.csv) and folders of them.

    Each field's kept points go to ``out_dir/<NAME>.<output_format>`` and a line
    of ``out_dir/report.json``, with what ``check_field`` found as its warnings (with
    ``strict``, a field with findings fails); a failing field is recorded and the
    others go on.
    Without ``client``, a local cluster of one worker process per CPU runs the
    batch. ``on_result`` is called with each field's result as it comes in.
    Raises ``UserError`` when the inputs or options cannot be used.
    """
    options = _checked_options(tolerance, num_threads, strict)
    fields = find_fields(inputs)
    out_path = _prepare_out_dir(out_dir)
    outputs = plan_outputs(fields, out_path, output_format)
    with _writing_to(out_path, outputs) as name:
        batch = _Batch(fields, outputs, out_path, options, on_result or (lambda _: None))
        if client is not None:
            return batch.run(client, resume, name)
        with local_client(threads=options.num_threads) as own_client:
            return batch.run(own_client, resume, name)


@contextlib.contextmanager
def local_client(workers: int | None = None, threads: int = 1) -> Iterator[Client]:
    """A client of a cluster of worker processes on this machine, one merge at a time each,
    on ``threads`` threads."""
    # A merge holds the GIL for its whole call: processes, not threads, run fields side by
    # side. Workers share the command's terminal; the engine's own bars would clobber ours.
    # A worker holds only the field it runs, so a field that kills it takes no other down.
    # Dask has workers hand freed memory back to the system at once; each field would then
    # fault its arrays in afresh, which costs more than merging them. For the same reason
    # tasks allocate from the process's main heap: a task thread's own heaps are unmapped
    # whole as soon as a field's arrays are freed.
    settings = {
        "distributed.scheduler.worker-saturation": 1.0,
        "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None,
        "distributed.nanny.pre-spawn-environ.MALLOC_ARENA_MAX": 1,
    }
    count = workers or os.process_cpu_count() or 1
    env = {"NO_COLOR": "1", _CPUS_VARIABLE: json.dumps(_cpus_of_workers(count, threads))}
    with dask.config.set(settings):
        try:
            cluster = LocalCluster(
                n_workers=count,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=":0",
                env=env,
                preload=[__name__],
            )
        except (RuntimeError, OSError) as error:  # out of processes, files, ports
            raise UserError(f"cannot start a local Dask cluster: {error}") from None
        with cluster, Client(cluster) as client:
            yield client


# How a local cluster tells each worker process the CPUs it keeps to.
_CPUS_VARIABLE = "CROPMERGE_WORKER_CPUS"


def _cpus_of_workers(workers: int, threads: int) -> list[list[int]] | None:
    """CPUs of their own for each worker's merge threads, or None when there are too few."""
    # Left free to move between CPUs, a worker's fields spent far longer in the kernel
    # faulting memory in than the same fields in one plain process.
    allowed = sorted(os.sched_getaffinity(0))
    if threads < 1 or workers * threads > len(allowed):
        return None
    return [allowed[index * threads : (index + 1) * threads] for index in range(workers)]


def dask_setup(worker: Worker) -> None:
    """Run in each worker process of a local cluster as it starts (a Dask preload)."""
    # Ctrl-C reaches the workers too; the command that started them closes them.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    plan = json.loads(os.environ.get(_CPUS_VARIABLE, "null"))
    if plan is None or not isinstance(worker.name, int) or not 0 <= worker.name < len(plan):
        return
    # Every thread so far; the task threads, started later, inherit the CPUs.
    for thread in os.listdir("/proc/self/task"):
        with contextlib.suppress(OSError):  # the thread has ended
            os.sched_setaffinity(int(thread), plan[worker.name])


def _one_line(error: BaseException | None) -> str:
    # Dask's reasons (KilledWorker above all) span several lines.
    return " ".join(f"{type(error).__name__}: {error}".split())


def _lost_reason(error: BaseException | None) -> str:
    """Why a field failed whose result the cluster lost (how, when ``error`` tells)."""
    reason = "cancelled: the cluster lost it"
    return reason if error is None else f"{reason} ({_one_line(error)})"


class _Batch:
    """The fields of one batch, their results so far, and the report that records them."""

    def __init__(
        self,
        fields: list[Path],
        outputs: list[Path],
        out_dir: Path,
        options: FieldOptions,
        on_result: Callable[[FieldResult], None],
    ) -> None:
        self.fields, self.outputs, self.out_dir = fields, outputs, out_dir
        self.options = options
        self.on_result = on_result
        self.results: dict[int, FieldResult] = {}
        self.started = time.perf_counter()
        self.last_written = self.started

    def run(self, client: Client, resume: bool, name: str) -> BatchReport:
        previous = _previous_results(self.out_dir) if resume else {}
        sources = [_source_of(field) for field in self.fields]
        pending: dict[Future, int] = {}
        try:
            todo = []
            for index, (field, output) in enumerate(zip(self.fields, self.outputs, strict=True)):
                earlier = previous.get(str(field))
                if earlier is not None and _already_done(
                    earlier, output, sources[index], self.options
                ):
                    self._record(index, dataclasses.replace(earlier, status="skipped"))
                else:
                    todo.append(index)
            pending = dict(zip(self._submit(client, todo, name), todo, strict=True))
            completed = as_completed(list(pending))
            while (future := self._next(completed, pending, sources)) is not None:
                if not future.done():  # its worker died before we read it: being rerun
                    completed.add(future)
                    continue
                index = pending.pop(future)
                self._record(index, self._finished(future, index, sources[index]))
        finally:
            client.cancel(list(pending))
            report = self.report()
            self._write_report(report)
        return report

    def _next(
        self, completed: as_completed, pending: dict[Future, int], sources: list[Any]
    ) -> Future | None:
        """The next field that the cluster is done with, or None after the last. Where the
        cluster is gone, so are the results of every field still pending: each is a
        failed field."""
        try:
            return next(completed, None)
        except (OSError, TimeoutError) as error:
            for index in sorted(pending.values()):
                self._record(index, self._failed(index, sources[index], _lost_reason(error)))
            pending.clear()
            return None

    def _submit(self, client: Client, indexes: list[int], name: str) -> list[Future]:
        # One graph for the whole batch, so that Dask queues the fields on the scheduler and
        # hands a worker only the field it runs: a field that kills its worker takes no other
        # field down. Keys of their own: one an earlier batch cancelled may linger a moment.
        fields = [str(self.fields[index]) for index in indexes]
        outputs = [str(self.outputs[index]) for index in indexes]
        keys = [f"cropmerge-{_printable(Path(field).name)}-{uuid.uuid4().hex}" for field in fields]
        options = [self.options] * len(indexes)
        names = [name] * len(indexes)
        futures: list[Future] = client.map(merge_field, fields, outputs, options, names, key=keys)
        return futures

    def _finished(self, future: Future, index: int, source: dict[str, int] | None) -> FieldResult:
        if future.status == "finished":
            try:
                result: FieldResult = future.result()
            except (OSError, TimeoutError) as lost:  # on its way from the cluster
                return self._failed(index, source, _lost_reason(lost))
            return dataclasses.replace(result, source=source, options=self.options.matching())
        if future.status == "error":
            return self._failed(index, source, _one_line(future.exception()))
        return self._failed(index, source, _lost_reason(None))

    def _failed(self, index: int, source: dict[str, int] | None, reason: str) -> FieldResult:
        field, output = str(self.fields[index]), str(self.outputs[index])
        result = FieldResult(field, output, "failed", error=reason)
        return dataclasses.replace(result, source=source, options=self.options.matching())

    def _record(self, index: int, result: FieldResult) -> None:
        self.results[index] = result
        self.on_result(result)
        now = time.perf_counter()
        if now - self.last_written >= _REPORT_REFRESH_SECONDS:
            self._write_report(self.report())
            self.last_written = now

    def report(self) -> BatchReport:
        fields = [self.results[index] for index in sorted(self.results)]
        return BatchReport(fields, time.perf_counter() - self.started)

    def _write_report(self, report: BatchReport) -> None:
        path = self.out_dir / REPORT_NAME
        text = json.dumps(report.to_json(), indent=1, allow_nan=False)
        try:
            with atomic_output(path) as handle:
                handle.write(text.encode())
        except OSError as error:
            raise UserError(f"cannot write {path}: {describe_os_error(error)}") from None
