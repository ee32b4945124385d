"""The ``cropmerge batch`` command: merge many fields on a local or an existing Dask cluster.

Dask is imported only when the command runs, so the other commands work
without it.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import os
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

from cropmerge import arguments
from cropmerge.fieldio import FORMATS, UserError

if TYPE_CHECKING:
    from distributed import Client

    from cropmerge.batch import BatchReport, FieldResult

EXIT_FIELD_FAILED = 1
_BAR_CELLS = 30


def add_parser(commands: argparse._SubParsersAction[Any]) -> None:
    batch = commands.add_parser(
        "batch",
        help="merge many fields on a local or an existing Dask cluster",
        description="Merge every FIELD into OUT_DIR/<field name>.<format>, one task per field, "
        "and record each field's outcome in OUT_DIR/report.json. A failing field is recorded "
        "and the others go on. Exit status: 0 when every field is merged or skipped, 1 when "
        "any failed, 2 on a usage error.",
        epilog="With --scheduler, the workers open the fields and write the outputs "
        "themselves: every FIELD and OUT_DIR must be a path that each worker can reach "
        "(shared storage mounted at the same place).",
    )
    batch.add_argument(
        "fields",
        nargs="+",
        type=Path,
        metavar="FIELD",
        help="NAME.npz; a CSV triple, named by any of NAME.connected_crop_rows.csv, "
        "NAME.points_in_rows.csv and NAME.row_information.csv (reading CSV needs pyarrow, "
        "the csv extra); or a folder: every .npz file and CSV triple in it",
    )
    batch.add_argument("-o", "--out-dir", type=Path, required=True, metavar="OUT_DIR")
    arguments.add_tolerance(batch)
    batch.add_argument(
        "--threads",
        type=arguments.threads,
        default=1,
        metavar="N",
        help="threads per merge (default: 1)",
    )
    batch.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on the Dask cluster whose scheduler is at ADDRESS (tcp://host:port) "
        "instead of a local one",
    )
    batch.add_argument(
        "--workers",
        type=arguments.threads,
        metavar="N",
        help="worker processes of the local cluster (default, and 0: one per CPU)",
    )
    batch.add_argument("--format", choices=FORMATS, default="npy")
    batch.add_argument(
        "--resume",
        action="store_true",
        help="skip the fields that OUT_DIR/report.json lists as merged from the same input "
        "(size and modification time) with the same options",
    )
    batch.add_argument(
        "--strict",
        action="store_true",
        help="fail a field that the check of 'cropmerge check' finds fault with",
    )
    batch.add_argument(
        "--quiet", action="store_true", help="do not print the check's warnings of each field"
    )


def run(args: argparse.Namespace) -> int:
    try:
        from cropmerge import batch
    except ImportError as error:
        raise UserError(str(error)) from None
    if args.scheduler is not None and args.workers is not None:
        raise UserError("--workers sizes a local cluster; with --scheduler the cluster is given")
    # Fail on the arguments before starting a cluster.
    fields = batch.find_fields(args.fields)
    outputs = batch.plan_outputs(fields, args.out_dir, args.format)
    progress = _Progress(len(fields), sys.stderr, show_warnings=not args.quiet)
    with contextlib.ExitStack() as closing:
        # What a worker killed as its cluster closes was writing goes once it is closed.
        closing.callback(batch.remove_leftovers, Path(os.path.abspath(args.out_dir)), outputs)
        client = closing.enter_context(_client(args))
        try:
            report = batch.merge_fields(
                args.fields,  # as given: a triple that lacks a table fails on its own
                args.out_dir,
                tolerance=args.tolerance,
                num_threads=args.threads,
                client=client,
                resume=args.resume,
                output_format=args.format,
                strict=args.strict,
                on_result=progress.update,
            )
        finally:
            progress.close()
    print(_summary(report, args.out_dir / batch.REPORT_NAME), file=sys.stderr)
    return EXIT_FIELD_FAILED if report.failed else 0


@contextlib.contextmanager
def _client(args: argparse.Namespace) -> Iterator[Client]:
    from distributed import Client

    from cropmerge.batch import local_client

    if args.scheduler is None:
        with local_client(args.workers, args.threads) as client:
            print(_dashboard(client), file=sys.stderr, flush=True)
            yield client
        return
    try:
        remote = Client(args.scheduler, timeout="10s")
    except (OSError, ValueError, TypeError) as error:
        raise UserError(f"cannot reach the scheduler at {args.scheduler}: {error}") from None
    with remote:
        yield remote


def _dashboard(client: Client) -> str:
    if importlib.util.find_spec("bokeh") is None:
        return "Dask dashboard: not available, it needs bokeh (pip install 'bokeh>=3.1')"
    return f"Dask dashboard: {client.dashboard_link}"


def _summary(report: BatchReport, report_path: Path) -> str:
    counts = report.summary
    warned = sum(field.status == "ok" and bool(field.warnings) for field in report.fields)
    with_warnings = f" ({warned} with warnings)" if warned else ""
    return (
        f"{len(report.fields)} fields: {counts['ok']} merged{with_warnings}, "
        f"{counts['failed']} failed, "
        f"{counts['skipped']} skipped; {counts['points_in']} points in, "
        f"{counts['points_kept']} kept in {report.seconds:.2f} s; report: {report_path}"
    )


class _Progress:
    """One line on a terminal: fields done and failed out of all, and the time left.

    By hand: Dask's progress bar follows futures, not results, so it cannot count the
    fields that failed or print their errors and warnings as they come.
    """

    def __init__(self, total: int, stream: IO[str], show_warnings: bool) -> None:
        self.total, self.stream = total, stream
        self.show_warnings = show_warnings
        self.live = stream.isatty()
        self.counts = {"ok": 0, "failed": 0, "skipped": 0}
        self.started = time.monotonic()

    def update(self, result: FieldResult) -> None:
        self.counts[result.status] += 1
        if result.status == "failed":
            self._clear()
            error = result.error or ""
            # Errors in reading a file name it already.
            named = error if result.input in error else f"{result.input}: {error}"
            print(f"failed: {named}", file=self.stream)
        # A skipped field's warnings were shown when it was merged.
        if result.status == "ok" and result.warnings and self.show_warnings:
            self._clear()
            for warning in result.warnings:
                print(f"warning: {result.input}: {warning}", file=self.stream)
        if self.live:
            self.stream.write(f"\r{self._line()}")
        self.stream.flush()

    def close(self) -> None:
        if self.live and any(self.counts.values()):
            self.stream.write("\n")
            self.stream.flush()

    def _clear(self) -> None:
        if self.live:
            self.stream.write("\r\033[K")

    def _line(self) -> str:
        finished = sum(self.counts.values())
        filled = _BAR_CELLS * finished // self.total
        bar = "█" * filled + "░" * (_BAR_CELLS - filled)
        return (
            f"[{bar}] {finished}/{self.total}: {self.counts['ok']} merged, "
            f"{self.counts['failed']} failed, {self.counts['skipped']} skipped{self._estimate()}"
        )

    def _estimate(self) -> str:
        run = self.counts["ok"] + self.counts["failed"]
        left = self.total - sum(self.counts.values())
        if not run or not left:
            return ""
        seconds = (time.monotonic() - self.started) / run * left
        return f" (about {seconds:.0f} s left)"
