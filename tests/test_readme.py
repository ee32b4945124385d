"""The README's "Your own data" example runs as written, and every make target is documented."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]


def test_own_data_example_prints_what_the_readme_shows(tmp_path):
    pytest.importorskip("matplotlib")  # the example draws its junction
    result = subprocess.run(
        [sys.executable, REPO / "tools" / "readme_example.py", tmp_path],
        capture_output=True,
        text=True,
        timeout=300,
    )

    assert result.returncode == 0, result.stderr
    assert (tmp_path / "junction.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_make_help_and_the_readme_list_every_make_target():
    rules = re.findall(r"^([a-z][a-z-]*):(?!=)", (REPO / "Makefile").read_text(), re.MULTILINE)
    helped = subprocess.run(
        ["make", "-s", "help"], cwd=REPO, capture_output=True, text=True, check=True, timeout=60
    ).stdout
    documented = re.findall(r"^\| `make ([a-z-]+)` \|", (REPO / "README.md").read_text(), re.M)

    assert sorted(line.split()[0] for line in helped.splitlines()) == sorted(rules)
    assert sorted(documented) == sorted(rules)
