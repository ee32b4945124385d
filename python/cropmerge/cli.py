"""The ``cropmerge`` command: merge tables from disk, or run a demo on a synthetic field.

Every failure the user can cause ends with one line on stderr and exit status 2;
an interrupted run ends with status 130. Nothing is ever half-written: outputs
go to a temporary file in the target folder and are renamed into place.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import NoReturn

import numpy as np
from _native import merge_points_removing_overlap

from cropmerge import batch_cli
from cropmerge.fieldio import (
    OUTPUT_FORMATS,
    TABLES,
    UserError,
    atomic_output,
    describe_os_error,
    load_npy,
    load_npz,
    write_points,
)

EXIT_FAILURE = 2
EXIT_INTERRUPTED = 130


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_FAILURE, f"{self.prog}: error: {message} (see --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="cropmerge",
        description="Merge the points of crop rows split across image tiles, "
        "removing the overlap where connected rows meet.",
    )
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    merge = commands.add_parser(
        "merge",
        help="merge the tables of an .npz file (or of three .npy files)",
        description="Read the three input tables, drop every crop row's points past the "
        "center of each junction with a connected row, and write the surviving points.",
    )
    merge.add_argument(
        "input",
        nargs="?",
        type=Path,
        metavar="INPUT",
        help=f".npz file holding arrays named {', '.join(TABLES)}",
    )
    merge.add_argument("--connected", type=Path, metavar="FILE", help=".npy: connected_crop_rows")
    merge.add_argument("--points", type=Path, metavar="FILE", help=".npy: points_in_rows")
    merge.add_argument("--info", type=Path, metavar="FILE", help=".npy: row_information")
    merge.add_argument(
        "-o",
        "--output",
        type=Path,
        required=True,
        metavar="OUTPUT",
        help="where to write the kept points: .npy, .npz (array 'points_in_rows') or .csv",
    )
    merge.add_argument(
        "--tolerance",
        type=float,
        default=0.0,
        metavar="T",
        help="how far, in coordinate units, a kept point may lie past a junction center "
        "(default: 0)",
    )
    _add_threads(merge)

    demo = commands.add_parser(
        "demo",
        help="merge a synthetic field and optionally draw the result",
        description="Generate a synthetic field of crop rows crossing a grid of image tiles, "
        "merge it and print the summary.",
    )
    demo.add_argument("--seed", type=int, default=0, metavar="S", help="random seed (default: 0)")
    demo.add_argument(
        "--size", choices=("small", "medium", "large"), default="small", help="(default: small)"
    )
    demo.add_argument(
        "--tolerance",
        type=float,
        default=None,
        metavar="T",
        help="default: half the spacing of plants along a row",
    )
    demo.add_argument(
        "--plot", type=Path, metavar="FILE.png", help="write a before/after picture to FILE.png"
    )
    _add_threads(demo)
    batch_cli.add_parser(commands)
    return parser


def _add_threads(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--threads",
        type=int,
        default=0,
        metavar="N",
        help="worker threads; 0 (the default) uses the processors available",
    )


def _load_inputs(args: argparse.Namespace) -> dict[str, np.ndarray]:
    files = {"connected_crop_rows": args.connected, "points_in_rows": args.points}
    files["row_information"] = args.info
    given = [name for name, path in files.items() if path is not None]
    if args.input is not None:
        if given:
            raise UserError("give either INPUT or --connected/--points/--info, not both")
        return load_npz(args.input)
    if len(given) != len(TABLES):
        raise UserError("give an INPUT .npz file, or all three of --connected, --points, --info")
    return {name: load_npy(name, path) for name, path in files.items()}


def _check_output_path(path: Path) -> None:
    if path.suffix.lower() not in OUTPUT_FORMATS:
        raise UserError(f"cannot tell the format of {path}: use one of {', '.join(OUTPUT_FORMATS)}")
    _check_writable(path)


def _check_writable(path: Path) -> None:
    """Fail before the work rather than after it, where that is cheap to tell."""
    if path.is_dir():
        raise UserError(f"cannot write {path}: it is a directory")
    if not path.parent.is_dir():
        raise UserError(f"cannot write {path}: no folder {path.parent}")


# ---- merging -------------------------------------------------------------------


def _merge(tables: dict[str, np.ndarray], tolerance: float, threads: int) -> np.ndarray:
    if threads < 0:
        raise UserError("--threads must be 0 or more")
    try:
        return merge_points_removing_overlap(
            tables["connected_crop_rows"],
            tables["points_in_rows"],
            tables["row_information"],
            tolerance,
            threads,
        )
    except (TypeError, ValueError, OverflowError) as error:
        notes = "".join(f" ({note})" for note in getattr(error, "__notes__", ()))
        raise UserError(f"{error}{notes}") from None
    except MemoryError:
        raise UserError("merge failed: out of memory") from None
    except BaseException as error:
        if type(error).__name__ == "PanicException":
            raise UserError(f"merge failed: {_explain(str(error))}") from None
        raise


# What the engine's failure messages mean for the tables.
_CAUSES = (
    ("called `Option::unwrap()` on a `None` value", "an id pair has no row in row_information"),
    ("ndarray: index out of bounds", "a table has too few columns"),
    ("called `Result::unwrap()` on an `Err` value: ShapeError", "row_information needs 11 columns"),
    ("called `Result::unwrap()` on an `Err` value: ThreadPoolBuildError", "cannot start threads"),
)


def _explain(message: str) -> str:
    for start, cause in _CAUSES:
        if message.startswith(start):
            return f"{cause} ({message})"
    return message


def summary(rows: int, points_in: int, kept: int, seconds: float) -> str:
    return (
        f"{rows} crop rows: {points_in} points in, {kept} kept, "
        f"{points_in - kept} removed in {seconds:.2f} s"
    )


def _timed_merge(tables: dict[str, np.ndarray], tolerance: float, threads: int) -> np.ndarray:
    start = time.perf_counter()
    merged = _merge(tables, tolerance, threads)
    seconds = time.perf_counter() - start
    rows = tables["connected_crop_rows"].shape[0]
    points_in = tables["points_in_rows"].shape[0]
    print(summary(rows, points_in, merged.shape[0], seconds), file=sys.stderr, flush=True)
    return merged


def _run_merge(args: argparse.Namespace) -> None:
    _check_output_path(args.output)
    tables = _load_inputs(args)
    merged = _timed_merge(tables, args.tolerance, args.threads)
    write_points(merged, args.output)


def _run_demo(args: argparse.Namespace) -> None:
    from cropmerge.synthetic import make_sized_field

    plot_format = None
    if args.plot is not None:
        plot_format = _plot_format(args.plot)
    field = make_sized_field(args.size, seed=args.seed)
    tolerance = field.default_tolerance if args.tolerance is None else args.tolerance
    tables = {
        "connected_crop_rows": field.connected_crop_rows,
        "points_in_rows": field.points_in_rows,
        "row_information": field.row_information,
    }
    merged = _timed_merge(tables, tolerance, args.threads)
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
        raise UserError("--plot needs matplotlib: pip install 'cropmerge[plot]'") from None

    supported = FigureCanvasAgg.get_supported_filetypes()
    extension = path.suffix.lower().lstrip(".") or "png"
    if extension not in supported:
        raise UserError(f"cannot draw {path}: use one of .{', .'.join(sorted(supported))}")
    _check_writable(path)
    return extension


COMMANDS: dict[str, Callable[[argparse.Namespace], int | None]] = {
    "merge": _run_merge,
    "demo": _run_demo,
    "batch": batch_cli.run,
}


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        status = COMMANDS[args.command](args)
    except UserError as error:
        print(f"cropmerge {args.command}: error: {error}", file=sys.stderr)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"cropmerge {args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    return status or 0


if __name__ == "__main__":
    sys.exit(main())
