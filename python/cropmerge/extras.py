"""How to install what an optional part of the package needs."""

from __future__ import annotations

import re
from importlib.metadata import PackageNotFoundError, requires

__all__ = ["install_hint"]

_EXTRA = re.compile(r"""extra\s*==\s*["']([^"']+)["']""")


def install_hint(extra: str) -> str:
    """The pip command that adds the packages of ``extra``, named as PyPI names them:
    ``pip install 'cropmerge[extra]'`` would fetch another project of that name."""
    try:
        listed = requires("cropmerge") or []
    except PackageNotFoundError:  # run from a source folder that was never installed
        return f"pip install '.[{extra}]' in cropmerge's source folder"
    needed = []
    for requirement in listed:
        package, _, marker = requirement.partition(";")
        if (found := _EXTRA.search(marker)) and found.group(1) == extra:
            needed.append(f"'{package.strip()}'")
    return f"pip install {' '.join(needed)}"
