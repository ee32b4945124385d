"""Run the README's "Your own data" example as written, in FOLDER.

The example is the section's ```python blocks, one after the other; what it
prints must be the section's ```text blocks. `make docs` runs it in docs/,
where it draws junction.png; the tests run it in a temporary folder.

Usage: python tools/readme_example.py FOLDER
"""

from __future__ import annotations

import difflib
import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parents[1] / "README.md"
SECTION = "## Your own data\n"
BLOCK = re.compile(r"^```(python|text)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def example(readme: Path = README) -> tuple[str, str]:
    """The example's code and the output it is documented to print."""
    text = readme.read_text(encoding="utf-8")
    start = text.index(SECTION)
    end = text.find("\n## ", start + len(SECTION))
    blocks = BLOCK.findall(text[start : end if end >= 0 else None])
    code = "".join(body for kind, body in blocks if kind == "python")
    output = "".join(body for kind, body in blocks if kind == "text")
    return code, output


def run(folder: Path) -> subprocess.CompletedProcess[str]:
    """Run the example with this interpreter, in ``folder``."""
    code, _ = example()
    return subprocess.run(
        [sys.executable, "-c", code], cwd=folder, capture_output=True, text=True, timeout=300
    )


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    result = run(Path(argv[0]))
    sys.stderr.write(result.stderr)
    if result.returncode != 0:
        return result.returncode
    _, expected = example()
    if result.stdout != expected:
        diff = difflib.unified_diff(
            expected.splitlines(True), result.stdout.splitlines(True), "README", "printed"
        )
        sys.stderr.writelines(diff)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
