"""The ``cropmerge`` command: merge or check tables from disk, or run a demo on a synthetic field.

Every failure the user can cause ends with one line on stderr and exit status 2;
an interrupted run ends with status 130, one ended by SIGTERM or SIGHUP with 128
plus the signal's number. Nothing is ever half-written: outputs go to a
temporary file in the target folder and are renamed into place.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, NoReturn

import numpy as np

from cropmerge import __version__, arguments, batch_cli
from cropmerge.checks import Finding, field_findings
from cropmerge.extras import install_hint
from cropmerge.field import IndexedField, index_field
from cropmerge.field_merge import chosen_tolerance, merge_checked, refuse_if_strict
from cropmerge.fieldio import (
    OUTPUT_FORMATS,
    TABLES,
    UserError,
    atomic_output,
    describe_os_error,
    load_npz,
    load_table,
    same_file,
    write_points,
)
from cropmerge.tables import FieldError, count_of

EXIT_FAILURE = 2
EXIT_FINDINGS = 1
EXIT_INTERRUPTED = 130
EXIT_SIGNALLED = 128  # plus the signal's number, as shells report a signal

EXAMPLES = """\
examples:
  cropmerge merge field.npz -o kept.npy
  cropmerge merge --connected c.npy --points p.csv --info i.npy -o kept.csv --tolerance 0.05
  cropmerge check field.npz
  cropmerge demo --size medium --plot demo.png
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_FAILURE, f"{self.prog}: error: {message} (see --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="cropmerge",
        description="Merge the points of crop rows split across image tiles, "
        "removing the overlap where connected rows meet.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    _add_merge(commands)
    _add_check(commands)
    _add_demo(commands)
    batch_cli.add_parser(commands)
    return parser


def _add_merge(commands: argparse._SubParsersAction[Any]) -> None:
    merge = commands.add_parser(
        "merge",
        help="merge the tables of an .npz file (or of three .npy or .csv files)",
        description="Read the three input tables, check them, drop every crop row's points "
        "past the center of each junction with a connected row, and write the surviving "
        "points. What the check finds is printed as warnings first.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    _add_inputs(merge)
    merge.add_argument(
        "-o",
        "--output",
        type=Path,
        required=True,
        metavar="OUTPUT",
        help="where to write the kept points: .npy, .npz (array 'points_in_rows') or .csv",
    )
    arguments.add_tolerance(merge)
    _add_threads(merge)
    merge.add_argument(
        "--strict", action="store_true", help="do not merge a field the check finds fault with"
    )
    merge.add_argument("--quiet", action="store_true", help="do not print the check's warnings")


def _add_check(commands: argparse._SubParsersAction[Any]) -> None:
    check = commands.add_parser(
        "check",
        help="report what the merge would silently do to a field",
        description="Read the three input tables and report, without merging, what the merge "
        "would do that their author may not expect: dropped points, duplicates kept, rows "
        "mostly removed. Exit status 0 when nothing is found, 1 otherwise.",
    )
    _add_inputs(check)
    arguments.add_tolerance(check)


def _add_demo(commands: argparse._SubParsersAction[Any]) -> None:
    demo = commands.add_parser(
        "demo",
        help="merge a synthetic field and optionally draw the result",
        description="Generate a synthetic field of crop rows crossing a grid of image tiles, "
        "merge it and print the summary.",
    )
    demo.add_argument(
        "--seed",
        type=arguments.whole_number,
        default=0,
        metavar="S",
        help="random seed (default: 0)",
    )
    demo.add_argument(
        "--size", choices=("small", "medium", "large"), default="small", help="(default: small)"
    )
    arguments.add_tolerance(demo, unset="half the spacing of plants along a row")
    demo.add_argument(
        "--plot", type=Path, metavar="FILE.png", help="write a before/after picture to FILE.png"
    )
    _add_threads(demo)


def _add_inputs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "input",
        nargs="?",
        type=Path,
        metavar="INPUT",
        help=f".npz file holding arrays named {', '.join(TABLES)}",
    )
    for option, table in zip(("--connected", "--points", "--info"), TABLES, strict=True):
        parser.add_argument(option, type=Path, metavar="FILE", help=f".npy or .csv: {table}")


def _add_threads(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--threads",
        type=arguments.threads,
        default=0,
        metavar="N",
        help="worker threads; 0 (the default) uses the processors available",
    )


def _values_joined(argv: list[str]) -> list[str]:
    """``--tolerance -inf`` as ``--tolerance=-inf``: argparse takes a value that starts
    with a dash for an option unless it looks like a plain negative number."""
    joined: list[str] = []
    for arg in argv:
        if joined and joined[-1] == "--tolerance" and arg.startswith("-"):
            joined[-1] = f"--tolerance={arg}"
        else:
            joined.append(arg)
    return joined


# ---- reading ---------------------------------------------------------------------


def _input_paths(args: argparse.Namespace) -> dict[str, Path]:
    files = {"connected_crop_rows": args.connected, "points_in_rows": args.points}
    files["row_information"] = args.info
    given = {name: path for name, path in files.items() if path is not None}
    if args.input is not None:
        if given:
            raise UserError("give either INPUT or --connected/--points/--info, not both")
        return {"INPUT": args.input}
    if len(given) != len(TABLES):
        raise UserError("give an INPUT .npz file, or all three of --connected, --points, --info")
    return given


def _load_inputs(paths: dict[str, Path]) -> dict[str, np.ndarray]:
    if "INPUT" in paths:
        return load_npz(paths["INPUT"])
    return {name: load_table(name, path) for name, path in paths.items()}


def _check_output_path(path: Path, inputs: dict[str, Path]) -> None:
    if path.suffix.lower() not in OUTPUT_FORMATS:
        raise UserError(f"cannot tell the format of {path}: use one of {', '.join(OUTPUT_FORMATS)}")
    try:
        for source in inputs.values():
            if same_file(path, source):
                raise UserError(f"will not write {path}: it is one of the inputs")
        _check_writable(path)
    except OSError as error:
        raise UserError(f"cannot write {path}: {describe_os_error(error)}") from None


def _check_writable(path: Path) -> None:
    """Fail before the work rather than after it, where that is cheap to tell."""
    if path.is_dir():
        raise UserError(f"cannot write {path}: it is a directory")
    if not path.parent.is_dir():
        raise UserError(f"cannot write {path}: no folder {path.parent}")


def _indexed(tables: dict[str, np.ndarray], inputs: dict[str, Path]) -> IndexedField:
    try:
        return index_field(*(tables[name] for name in TABLES))
    except FieldError as error:
        # Tables given one by one are named by their options; an archive's, by its file.
        where = f"{inputs['INPUT']}: " if "INPUT" in inputs else ""
        raise UserError(f"{where}{error}") from None


# ---- merging -------------------------------------------------------------------


def summary(rows: int, points_in: int, kept: int, seconds: float) -> str:
    return (
        f"{count_of(rows, 'crop row')}: {count_of(points_in, 'point')} in, {kept} kept, "
        f"{points_in - kept} removed in {seconds:.2f} s"
    )


def _timed_merge(
    tables: tuple[np.ndarray, np.ndarray, np.ndarray], tolerance: float, threads: int, chosen: str
) -> np.ndarray:
    start = time.perf_counter()
    merged = merge_checked(tables, tolerance, threads)
    seconds = time.perf_counter() - start
    rows, points_in = len(tables[0]), len(tables[1])
    line = summary(rows, points_in, merged.shape[0], seconds)
    print(f"{line} (tolerance {tolerance:.6g}, {chosen})", file=sys.stderr, flush=True)
    return merged


def _report(findings: list[Finding], command: str) -> None:
    for finding in findings:
        print(f"cropmerge {command}: warning: {finding}", file=sys.stderr)


def _run_merge(args: argparse.Namespace) -> None:
    inputs = _input_paths(args)
    _check_output_path(args.output, inputs)
    field = _indexed(_load_inputs(inputs), inputs)
    tolerance, chosen = chosen_tolerance(field, args.tolerance)
    findings = field_findings(field, tolerance)
    if not args.quiet:
        _report(findings, "merge")
    refuse_if_strict(findings, args.strict)
    merged = _timed_merge(field.tables, tolerance, args.threads, chosen)
    write_points(merged, args.output)


def _run_check(args: argparse.Namespace) -> int:
    inputs = _input_paths(args)
    field = _indexed(_load_inputs(inputs), inputs)
    tolerance, chosen = chosen_tolerance(field, args.tolerance)
    findings = field_findings(field, tolerance)
    lines = [f"{finding.kind}: {finding}" for finding in findings]
    _print_out(lines or [f"nothing to report (tolerance {tolerance:.6g}, {chosen})"])
    return EXIT_FINDINGS if findings else 0


def _print_out(lines: list[str]) -> None:
    """Print to stdout, where a failed write is a failure (exit 2), not findings (exit 1)."""
    try:
        print("\n".join(lines), flush=True)
    except OSError as error:
        if isinstance(error, BrokenPipeError):  # not to fail again when Python exits
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        raise UserError(f"cannot write to standard output: {describe_os_error(error)}") from None


def _run_demo(args: argparse.Namespace) -> None:
    from cropmerge.synthetic import make_sized_field

    plot_format = None
    if args.plot is not None:
        plot_format = _plot_format(args.plot)
    field = make_sized_field(args.size, seed=args.seed)
    tables = (field.connected_crop_rows, field.points_in_rows, field.row_information)
    if args.tolerance is None:
        tolerance, chosen = field.default_tolerance, "half the plant spacing"
    else:
        tolerance, chosen = chosen_tolerance(index_field(*tables), args.tolerance)
    merged = _timed_merge(tables, tolerance, args.threads, chosen)
    if args.plot is not None:
        from cropmerge.plot import draw

        figure = draw(field, merged, tolerance)
        try:
            with atomic_output(args.plot) as handle:
                figure.savefig(handle, format=plot_format)
        except OSError as error:
            raise UserError(f"cannot write {args.plot}: {describe_os_error(error)}") from None
        print(f"picture written to {args.plot}", file=sys.stderr)


def _plot_format(path: Path) -> str:
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
    except ImportError:
        raise UserError(f"--plot needs matplotlib: {install_hint('plot')}") from None

    supported = FigureCanvasAgg.get_supported_filetypes()
    extension = path.suffix.lower().lstrip(".") or "png"
    if extension not in supported:
        raise UserError(f"cannot draw {path}: use one of .{', .'.join(sorted(supported))}")
    _check_writable(path)
    return extension


COMMANDS: dict[str, Callable[[argparse.Namespace], int | None]] = {
    "merge": _run_merge,
    "check": _run_check,
    "demo": _run_demo,
    "batch": batch_cli.run,
}


@contextlib.contextmanager
def _numpy_on_small_pages() -> Iterator[None]:
    """Large arrays on ordinary pages while a command runs, as before after.

    NumPy asks for huge pages for large arrays, and the merge's result follows it,
    which pays when memory is reused within a process. A command touches its large
    arrays once, fresh from the kernel: on virtual machines that hand idle memory
    back to the host, huge pages then fault in far slower than small ones, so that
    loading and writing would take many times longer than the merge. The switch is
    NumPy's own (its NUMPY_MADVISE_HUGEPAGE); it has no public name.
    """
    from numpy._core import multiarray

    previous = multiarray._set_madvise_hugepage(False)
    try:
        yield
    finally:
        multiarray._set_madvise_hugepage(previous)


class _Terminated(BaseException):
    """A signal to end, raised where the program is, so that it cleans up as on Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _raise_terminated(signum: int, _frame: object) -> None:
    raise _Terminated(signum)


@contextlib.contextmanager
def _terminations_raised() -> Iterator[None]:
    """SIGTERM and SIGHUP raise _Terminated while a command runs, unless ignored (nohup)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {}
    for signum in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) == signal.SIG_DFL:
            previous[signum] = signal.signal(signum, _raise_terminated)
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(_values_joined(sys.argv[1:] if argv is None else argv))
    try:
        with _terminations_raised(), _numpy_on_small_pages():
            status = COMMANDS[args.command](args)
    except UserError as error:
        print(f"cropmerge {args.command}: error: {error}", file=sys.stderr)
        return EXIT_FAILURE
    except MemoryError:  # wherever the work ran short: checking, choosing the tolerance
        print(f"cropmerge {args.command}: error: out of memory", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"cropmerge {args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except _Terminated as terminated:
        print(f"cropmerge {args.command}: terminated", file=sys.stderr)
        return EXIT_SIGNALLED + terminated.signum
    return status or 0


if __name__ == "__main__":
    sys.exit(main())
