"""Reading the three input tables from disk and writing merged points, failing with one line.

Shared by the ``cropmerge`` command and the batch runner: both read fields and
write results the same way. Outputs go to a temporary file beside the target
and are renamed into place, so nothing is ever half-written.
"""

from __future__ import annotations

import contextlib
import glob
import os
import tempfile
import zipfile
from collections.abc import Iterator
from pathlib import Path
from typing import IO

import numpy as np

TABLES = ("connected_crop_rows", "points_in_rows", "row_information")
OUTPUT_FORMATS = (".npy", ".npz", ".csv")


class UserError(Exception):
    """A failure to report as one line, without a traceback."""


# ---- reading -------------------------------------------------------------------


def describe_os_error(error: OSError) -> str:
    return error.strerror or str(error)


def checked_table(name: str, array: np.ndarray, source: Path) -> np.ndarray:
    if array.ndim != 2 or array.dtype.kind != "f" or array.dtype.itemsize != 8:
        raise UserError(
            f"{source}: {name} must be a 2-D float64 array, "
            f"got {array.dtype} with shape {array.shape}"
        )
    # Float64 stored in the other byte order converts without loss.
    return array.astype(np.float64, copy=False)


_UNREADABLE = (ValueError, EOFError, zipfile.BadZipFile)


def _open(path: Path, expected: str) -> np.ndarray | np.lib.npyio.NpzFile:
    """np.load without pickles, failing with one line."""
    try:
        return np.load(path, allow_pickle=False)  # type: ignore[no-any-return]
    except OSError as error:
        if isinstance(error, FileNotFoundError | IsADirectoryError | PermissionError):
            raise UserError(f"cannot read {path}: {describe_os_error(error)}") from None
        raise UserError(f"cannot read {path}: not an {expected} file ({error})") from None
    except _UNREADABLE as error:
        text = str(error)
        if "pickled" in text:  # what NumPy says of a file that is no array at all
            raise UserError(f"cannot read {path}: not an {expected} file") from None
        if "Object arrays" in text:
            raise UserError(f"cannot read {path}: holds Python objects, not numbers") from None
        raise UserError(f"cannot read {path}: not an {expected} file ({text})") from None


def load_npy(name: str, path: Path) -> np.ndarray:
    array = _open(path, ".npy")
    if not isinstance(array, np.ndarray):
        array.close()
        raise UserError(f"cannot read {path}: an .npz archive, expected an .npy file")
    return checked_table(name, array, path)


def load_npz(path: Path) -> dict[str, np.ndarray]:
    archive = _open(path, ".npz")
    if not isinstance(archive, np.lib.npyio.NpzFile):
        raise UserError(f"cannot read {path}: a single array, expected an .npz archive")
    with archive:
        tables = {}
        for name in TABLES:
            if name not in archive.files:
                found = ", ".join(sorted(archive.files)) or "none"
                raise UserError(f"{path}: no array named '{name}' (found: {found})")
            try:
                array = archive[name]
            except (OSError, *_UNREADABLE) as error:
                raise UserError(f"cannot read '{name}' from {path}: {error}") from None
            tables[name] = checked_table(name, array, path)
    return tables


# ---- writing -------------------------------------------------------------------


@contextlib.contextmanager
def atomic_output(path: Path) -> Iterator[IO[bytes]]:
    """Yield a temporary file beside ``path`` that replaces ``path`` once the block succeeds.

    On any failure or interruption the temporary file is removed and an
    existing ``path`` stays as it was.
    """
    try:
        descriptor, temporary = tempfile.mkstemp(
            dir=path.parent, prefix=f".{path.name}.", suffix=".part"
        )
    except OSError as error:
        raise UserError(f"cannot write {path}: {describe_os_error(error)}") from None
    try:
        with os.fdopen(descriptor, "wb") as handle:
            yield handle
            handle.flush()
            os.fsync(handle.fileno())
            # Temporary files are private; give the result the usual permissions.
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(handle.fileno(), 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def write_points(points: np.ndarray, path: Path) -> None:
    suffix = path.suffix.lower()
    try:
        with atomic_output(path) as handle:
            if suffix == ".npy":
                np.save(handle, points, allow_pickle=False)
            elif suffix == ".npz":
                np.savez(handle, points_in_rows=points)
            else:
                extra = [f"column_{c}" for c in range(4, points.shape[1])]
                header = ",".join(["first_id", "second_id", "x", "y", *extra][: points.shape[1]])
                np.savetxt(handle, points, fmt="%.17g", delimiter=",", header=header, comments="")
    except OSError as error:
        raise UserError(f"cannot write {path}: {describe_os_error(error)}") from None


def leftover_temporaries(path: Path) -> list[Path]:
    """The temporary files of ``atomic_output(path)`` that a killed writer left behind."""
    return list(path.parent.glob(f".{glob.escape(path.name)}.*.part"))
