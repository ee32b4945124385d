"""Merge the points of crop rows split across image tiles, removing their overlap.

``merge`` takes the three tables (see its docstring), checks them and runs the
merge; ``check_field`` says what the merge would do to a field that its author
may not expect; ``auto_tolerance`` estimates a tolerance from the field itself.
"""

from importlib.metadata import PackageNotFoundError, version

from _native import merge_points_removing_overlap

from cropmerge.checks import Finding, check_field
from cropmerge.merging import MergeError, merge
from cropmerge.spacing import auto_tolerance
from cropmerge.tables import FieldError

try:
    __version__ = version("cropmerge")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "FieldError",
    "Finding",
    "MergeError",
    "auto_tolerance",
    "check_field",
    "merge",
    "merge_points_removing_overlap",
]
