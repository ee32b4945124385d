"""A field merged as the command line and the batch merge one: the tolerance chosen, the
field checked first, and every failure said in the user's terms."""

from __future__ import annotations

from typing import Literal

import numpy as np

from cropmerge.arguments import AUTO
from cropmerge.checks import Finding
from cropmerge.field import IndexedField
from cropmerge.fieldio import UserError
from cropmerge.merging import MergeError, merge
from cropmerge.spacing import half_spacing

__all__ = ["chosen_tolerance", "merge_checked", "refuse_if_strict"]


def chosen_tolerance(field: IndexedField, tolerance: float | Literal["auto"]) -> tuple[float, str]:
    """The tolerance to merge with, and how it was chosen, for the summary line."""
    if tolerance == AUTO:
        return half_spacing(field), AUTO
    return float(tolerance), "given"


def refuse_if_strict(findings: list[Finding], strict: bool) -> None:
    if strict and findings:
        found = "; ".join(f"{finding.kind}: {finding}" for finding in findings)
        raise UserError(f"not merged because of --strict: {found}")


def merge_checked(
    tables: tuple[np.ndarray, np.ndarray, np.ndarray], tolerance: float, threads: int
) -> np.ndarray:
    """The merge of float64 tables that ``index_field`` has checked, or that are known to
    be sound: the engine's own failure report, with its source position, can then only
    concern what no check of the tables can foresee (threads that cannot start), and its
    progress bar stays."""
    try:
        return merge(*tables, tolerance, threads, check=False)
    except (TypeError, ValueError, OverflowError) as error:
        notes = "".join(f" ({note})" for note in getattr(error, "__notes__", ()))
        raise UserError(f"{error}{notes}") from None
    except MemoryError:
        raise UserError("merge failed: out of memory") from None
    except MergeError as error:
        raise UserError(f"merge failed: {_explain(error.message)}") from None


# What the engine's failure messages mean for the tables, should one get past the check.
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
