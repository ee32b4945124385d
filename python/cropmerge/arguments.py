"""Option values that the command and its batch share, checked as argparse reads them."""

from __future__ import annotations

import argparse
import math
from typing import Literal

__all__ = ["AUTO", "add_tolerance", "threads", "tolerance", "whole_number"]

AUTO: Literal["auto"] = "auto"


def tolerance(text: str) -> float | Literal["auto"]:
    """A tolerance of 0 or more, or ``auto``."""
    if text == AUTO:
        return AUTO
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not value >= 0:  # also refuses NaN
        raise argparse.ArgumentTypeError(f"must be '{AUTO}' or a number of 0 or more, got {text}")
    return value + 0.0  # -0 is 0


def add_tolerance(parser: argparse.ArgumentParser, unset: str | None = None) -> None:
    """``--tolerance``, ``auto`` when not given; or, with ``unset`` (what the command
    then does, for the help), None when not given."""
    parser.add_argument(
        "--tolerance",
        type=tolerance,
        default=AUTO if unset is None else None,
        metavar="T",
        help="how far, in coordinate units, a kept point may lie past a junction center; "
        f"'{AUTO}' is half the median spacing of points along a row (default: {unset or AUTO})",
    )


def whole_number(text: str) -> int:
    """A whole number of 0 or more (a random seed, say)."""
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a whole number of 0 or more, got {text}")
    return value


def threads(text: str) -> int:
    """A count of threads or workers: a whole number of 0 or more, below 2**64 as the
    merge takes it."""
    value = whole_number(text)
    if value >= 2**64:
        raise argparse.ArgumentTypeError(f"must be below 2**64, got {text}")
    return value
