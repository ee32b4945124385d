"""Running a snippet in a fresh interpreter that imports this build and the test helpers."""

import os
import subprocess
import sys
from pathlib import Path

import _native


def run_python(code, *, timeout):
    """Run `code` with `python -c`; `_native` and the modules of tests/ importable as here."""
    path = os.pathsep.join(
        [
            str(Path(_native.__file__).parent),
            str(Path(__file__).parent),
            os.environ.get("PYTHONPATH", ""),
        ]
    )
    return subprocess.run(
        [sys.executable, "-c", code],
        env={**os.environ, "PYTHONPATH": path},
        capture_output=True,
        text=True,
        timeout=timeout,
    )
