"""The type information shipped for _native and cropmerge."""

import ast
import inspect
import subprocess
import sys
from pathlib import Path

import _native
import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1] / "python"

USAGE = """\
import numpy as np
from numpy.typing import NDArray

import cropmerge
from _native import merge_points_removing_overlap

table = np.zeros((0, 11))
kept: NDArray[np.float64] = merge_points_removing_overlap(table, table, table, 0.5, 0)
again: NDArray[np.float64] = cropmerge.merge_points_removing_overlap(
    connected_crop_rows=table,
    points_in_rows=kept,
    row_information=table,
    tolerance=np.float32(1),
    num_threads=np.int64(2),
)
# Each misuse must be reported, or its now unused ignore is.
merge_points_removing_overlap(table, table, table, "0.5", 0)  # type: ignore[arg-type]
cropmerge.merge_points_removing_overlap(table, table, table, 0.5, 1.5)  # type: ignore[arg-type]
merge_points_removing_overlap(table, table, table, 0.5)  # type: ignore[call-arg]
text: str = merge_points_removing_overlap(table, table, table, 0.5, 0)  # type: ignore[assignment]
"""


def test_mypy_checks_calls_against_the_stubs(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "usage.py").write_text(USAGE)
    # Checked against what `pip install .` put in the environment.
    command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache")]
    result = subprocess.run(
        [*command, "usage.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_signature_matches_the_module():
    tree = ast.parse((PYTHON_DIR / "_native.pyi").read_text())
    [function] = [
        node
        for node in tree.body
        if isinstance(node, ast.FunctionDef) and node.name == "merge_points_removing_overlap"
    ]
    runtime = inspect.signature(_native.merge_points_removing_overlap)

    assert [arg.arg for arg in function.args.args] == list(runtime.parameters)
    assert not function.args.defaults and not function.args.kwonlyargs
    assert ast.get_docstring(function)
