"""Reading the three input tables from disk and writing merged points, failing with one line.

Shared by the ``cropmerge`` command and the batch runner: both read fields and
write results the same way. Outputs go to a temporary file beside the target
and are renamed into place, so nothing is ever half-written.
"""

from __future__ import annotations

import contextlib
import io
import math
import os
import re
import secrets
import stat
import zipfile
import zlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any

import numpy as np

from cropmerge.extras import install_hint
from cropmerge.tables import TABLE_NAMES, FieldError, as_table, check_exact, rounded_integers

TABLES = TABLE_NAMES  # the names the files give the tables
FORMATS = ("npy", "npz", "csv")  # of the outputs
OUTPUT_FORMATS = tuple(f".{name}" for name in FORMATS)


class UserError(Exception):
    """A failure to report as one line, without a traceback."""


# ---- reading -------------------------------------------------------------------


def describe_os_error(error: OSError) -> str:
    return error.strerror or str(error)


def checked_table(name: str, array: np.ndarray, source: Path) -> np.ndarray:
    """A loaded table as float64, converted by the rules of ``cropmerge.merge`` (float32
    as detectors save it, integers, the other byte order)."""
    if array.dtype.names:
        raise UserError(
            f"{source}: {name} has named columns ({', '.join(array.dtype.names)}): save it "
            "as a 2-D array of numbers (np.column_stack of its columns, say)"
        )
    if array.ndim != 2:
        raise UserError(f"{source}: {name} must be a 2-D table, got shape {array.shape}")
    try:
        return as_table(name, array)
    except FieldError as error:
        raise UserError(f"{source}: {error}") from None


# What NumPy and zipfile raise for damaged files: corrupt or truncated compressed
# members (zlib.error, EOFError, BadZipFile), bad headers and pickles (ValueError),
# and allocations for shapes that no memory holds (MemoryError).
_UNREADABLE = (ValueError, EOFError, zipfile.BadZipFile, zlib.error, MemoryError)


def _unreadable(what: str, error: BaseException, expected: str) -> UserError:
    text = str(error).splitlines()[0] if str(error) else type(error).__name__
    if isinstance(error, MemoryError):
        return UserError(f"cannot read {what}: too large for the memory available")
    if "pickled" in text:  # what NumPy says of a file that is no array at all
        return UserError(f"cannot read {what}: not an {expected} file")
    if "Object arrays" in text:
        return UserError(f"cannot read {what}: holds Python objects, not numbers")
    return UserError(f"cannot read {what}: not an {expected} file ({text})")


def _check_declared_size(stream: IO[bytes], size: int, what: str) -> None:
    """Refuse an .npy stream whose header declares more data than the stream holds,
    before anything is allocated for it, or less (arrays saved one after another)."""
    start = stream.tell()
    try:
        version = np.lib.format.read_magic(stream)
        # Version 3 headers differ from version 2 only in allowing UTF-8 text.
        read_header = (
            np.lib.format.read_array_header_1_0
            if version == (1, 0)
            else np.lib.format.read_array_header_2_0
        )
        shape, _, dtype = read_header(stream)
    except _UNREADABLE as error:
        raise _unreadable(what, error, ".npy") from None
    if dtype.hasobject:  # pickled: refused as it is loaded
        return
    declared = math.prod(shape) * dtype.itemsize
    available = size - (stream.tell() - start)
    if declared > available:
        raise UserError(
            f"cannot read {what}: its header declares {declared} bytes of data "
            f"(shape {shape}), but only {available} follow"
        )
    if declared < available:  # np.save writes nothing after the array
        raise UserError(
            f"cannot read {what}: {available - declared} bytes follow its array (shape "
            f"{shape}): several arrays saved into one file? Save one table per file"
        )


_NPY_MAGIC = b"\x93NUMPY"
_ZIP_MAGIC = b"PK\x03\x04"  # how an .npz archive starts
_COMPRESSED = (".gz", ".bz2", ".xz", ".zst", ".lz4", ".zip")


Source = Path | io.BytesIO  # what a table is loaded from: see _loadable


def _loadable(path: Path) -> Source:
    """What to load ``path`` from: the path of a regular file, the bytes of anything
    else (a pipe), since loading seeks."""
    try:
        with path.open("rb") as stream:
            if stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
                return path
            return io.BytesIO(stream.read())
    except OSError as error:
        raise UserError(f"cannot read {path}: {describe_os_error(error)}") from None


def _open(
    path: Path, expected: str, source: Source | None = None
) -> np.ndarray | np.lib.npyio.NpzFile:
    """np.load without pickles, failing with one line."""
    source = _loadable(path) if source is None else source
    try:
        with _stream(source) as stream:
            size = stream.seek(0, os.SEEK_END)
            stream.seek(0)
            if stream.read(len(_NPY_MAGIC)) == _NPY_MAGIC:
                stream.seek(0)
                _check_declared_size(stream, size, str(path))
            stream.seek(0)  # bytes are loaded from this same stream
        return np.load(source, allow_pickle=False)  # type: ignore[no-any-return]
    except OSError as error:
        if error.errno is not None:  # the system's own reason: a limit, a fault
            raise UserError(f"cannot read {path}: {describe_os_error(error)}") from None
        raise UserError(f"cannot read {path}: not an {expected} file ({error})") from None
    except _UNREADABLE as error:
        raise _unreadable(str(path), error, expected) from None


def load_npy(name: str, path: Path, source: Source | None = None) -> np.ndarray:
    array = _open(path, ".npy", source)
    if not isinstance(array, np.ndarray):
        array.close()
        raise UserError(f"cannot read {path}: an .npz archive, expected an .npy file")
    return checked_table(name, array, path)


def _load_member(archive: np.lib.npyio.NpzFile, name: str, path: Path) -> np.ndarray:
    what = f"'{name}' from {path}"
    members = archive.zip
    assert members is not None, "the archive is open"
    member = f"{name}.npy" if f"{name}.npy" in members.namelist() else name
    try:
        with members.open(member) as stream:
            _check_declared_size(stream, members.getinfo(member).file_size, what)
        return archive[name]  # type: ignore[no-any-return]
    except (OSError, *_UNREADABLE) as error:
        raise _unreadable(what, error, ".npy") from None


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
            tables[name] = checked_table(name, _load_member(archive, name, path), path)
    return tables


def _cells(line: bytes) -> list[str] | None:
    """A CSV line's cells, unquoted and stripped; None for text that is not UTF-8."""
    try:
        text = line.decode("utf-8-sig")
    except UnicodeDecodeError:
        return None
    return [cell.strip().strip('"') for cell in text.split(",")]


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _numbered(cells: list[str]) -> bool:
    """Whether cells are the column numbers 0, 1, 2, ... that pandas writes for a table
    without column names."""
    return len(cells) > 1 and cells == [str(number) for number in range(len(cells))]


def _names_columns(cells: list[str] | None, missing: set[str], path: Path) -> bool:
    """Whether a CSV file's first line is a header: a line of names, more of them words
    than numbers. A line of numbers with a word among them is data: the word is refused
    as in any other row. Empty cells, NA and the like are the reader's missing values.
    Lines that could be pandas' column numbers or row index are refused."""
    if cells is None:
        return True
    if len(cells) == 1 and any(separator in cells[0] for separator in ";\t"):
        raise UserError(f"cannot read {path}: its values are not separated by commas")
    if _numbered(cells):
        raise UserError(
            f"cannot read {path}: its first line, {','.join(cells)}, may be pandas' column "
            "numbers or a row of data; put a line of column names first (from pandas, "
            "name the columns, or write with header=False)"
        )
    named = [cell for cell in cells if cell not in missing]
    numbers = sum(_is_number(cell) for cell in named)
    header = 2 * numbers < len(named) or (cells[0] == "" and _numbered(cells[1:]))
    if header and cells[0] == "" and any(cells[1:]):
        raise UserError(
            f"cannot read {path}: its header line leaves the first column without a name: "
            "pandas' row index, most likely (to_csv writes it unless index=False); write the "
            "table with index=False, or name the column"
        )
    return header


@dataclass(frozen=True)
class _CsvLayout:
    skip: int  # lines before the data: blank lines, then the header line if there is one
    header: list[str] | None  # the header line's cells
    width: int  # cells in the first row of data
    has_rows: bool


def _stream(source: Source) -> contextlib.AbstractContextManager[IO[bytes]]:
    """The bytes of what ``_loadable`` gave, from their start."""
    if isinstance(source, Path):
        return source.open("rb")
    source.seek(0)
    return contextlib.nullcontext(source)


def _csv_layout(source: Source, path: Path, missing: set[str]) -> _CsvLayout:
    """How a CSV file lays out its table. Lines end as the reader ends them: at a line
    feed, at CR LF or at a lone CR (older spreadsheets); the reader skips blank ones."""
    with _stream(source) as stream:
        # Latin-1 gives every byte back unchanged.
        text = io.TextIOWrapper(stream, encoding="latin-1", newline=None)
        try:
            lines = (line.encode("latin-1") for line in text)
            skip = 0
            first = next(lines, b"")
            while first == b"\n":
                skip, first = skip + 1, next(lines, b"")
            if not first:
                empty = "holds blank lines only" if skip else "is empty"
                raise UserError(f"cannot read {path}: the file {empty}")
            cells = _cells(first)
            header = _names_columns(cells, missing, path)
            data = next((line for line in lines if line != b"\n"), b"") if header else first
        finally:
            text.detach()  # the stream stays its owner's to close
    width = len((data or first).split(b","))
    return _CsvLayout(skip + header, cells if header else None, width, bool(data))


def load_csv(name: str, path: Path, source: Source | None = None) -> np.ndarray:
    """A table from a CSV file, with a header line as ``write_points`` writes them or
    without one. A pipe is read once, into memory."""
    try:
        from pyarrow import csv
    except ImportError:
        raise UserError(f"reading {path} needs pyarrow: {install_hint('csv')}") from None
    source = _loadable(path) if source is None else source
    try:
        layout = _csv_layout(source, path, set(csv.ConvertOptions().null_values))
        if not layout.has_rows:  # a header alone, which the reader refuses without a line end
            width = len(layout.header) if layout.header else layout.width
            return checked_table(name, np.empty((0, width)), path)
        values = _read_columns(name, source, layout)
    except OSError as error:
        raise UserError(f"cannot read {path}: {describe_os_error(error)}") from None
    except ValueError as error:  # what pyarrow raises for text that is no table of numbers
        raise UserError(f"cannot read {path}: {_reader_message(str(error))}") from None
    return checked_table(name, np.column_stack(values), path)


def _reader_message(message: str, limit: int = 200) -> str:
    """The first line of a reader's message, which quotes the file's text, with what is no
    printable text escaped and the rest cut at ``limit`` characters."""
    line = message.splitlines()[0] if message else ""
    shown = "".join(c if c.isprintable() else ascii(c)[1:-1] for c in line[:limit])
    return shown + ("..." if len(line) > limit else "")


def _read_columns(name: str, source: Source, layout: _CsvLayout) -> list[np.ndarray]:
    """The columns of table ``name`` as float64 (see ``_csv_column``)."""
    from pyarrow import csv, string

    columns = [f"column {number}" for number in range(layout.width)]

    def read(**convert: Any) -> Any:
        if isinstance(source, io.BytesIO):
            source.seek(0)
        return csv.read_csv(
            source,
            read_options=csv.ReadOptions(skip_rows=layout.skip, column_names=columns),
            convert_options=csv.ConvertOptions(**convert),
        )

    def text_of(number: int) -> np.ndarray:
        """Column ``number``'s cells as written: NA, nan and the like as text too."""
        column = columns[number]
        as_text = read(column_types={column: string()}, include_columns=[column], null_values=[])
        return np.asarray(as_text.column(0).to_numpy(zero_copy_only=False))

    # Types as the reader finds them: a column of whole numbers is read as integers, so
    # that those float64 cannot hold are refused as they are from .npy files.
    table = read()
    if _unnamed_and_missing(table, layout) and (text_of(table.num_columns - 1) == "").all():
        table = table.drop_columns([columns[-1]])  # what a comma ending every line leaves
    return [
        _csv_column(name, column, number, text_of) for number, column in enumerate(table.columns)
    ]


def _unnamed_and_missing(table: Any, layout: _CsvLayout) -> bool:
    """Whether the table's last column has no name in the header and no value in it."""
    header = layout.header
    named = header is not None and len(header) == table.num_columns and header[-1] != ""
    last = table.column(table.num_columns - 1)
    return table.num_columns > 1 and not named and last.null_count == len(last)


def _csv_column(
    name: str, column: Any, number: int, text_of: Callable[[int], np.ndarray]
) -> np.ndarray:
    """Column ``number`` of table ``name`` as float64, missing values NaN; FieldError for
    whole numbers that float64 would round. ``text_of`` reads a column's cells as text."""
    import pyarrow

    kind = column.type
    if pyarrow.types.is_integer(kind):
        check_exact(name, column.fill_null(0).to_numpy(), number)
    elif not (pyarrow.types.is_floating(kind) or pyarrow.types.is_null(kind)):
        # Words, dates, true or false: the reader's error names the first that is no number.
        try:
            column = column.cast(pyarrow.string()).cast(pyarrow.float64())
        except pyarrow.ArrowInvalid as error:
            raise ValueError(f"In CSV column #{number}: {error}") from None
    values = np.asarray(column.cast(pyarrow.float64(), safe=False).to_numpy(zero_copy_only=False))
    with np.errstate(invalid="ignore"):
        beyond = np.flatnonzero((np.abs(values) >= _BEYOND_INT64) & np.isfinite(values))
    if len(beyond):
        _refuse_rounded(name, number, beyond, values, text_of(number))
    return values


# The reader reads whole numbers from here on as float64, not as integers: their text
# tells whether that rounded them.
_BEYOND_INT64 = 2.0**63
_INTEGER = re.compile(r"[+-]?[0-9]+")


def _refuse_rounded(
    name: str, number: int, rows: np.ndarray, values: np.ndarray, text: np.ndarray
) -> None:
    """FieldError for the cells among ``rows`` of column ``number`` that are integers
    float64 rounded."""
    cells = [str(text[row]).strip() for row in rows.tolist()]
    changed = [
        (row, cell)
        for row, cell in zip(rows.tolist(), cells, strict=True)
        if _INTEGER.fullmatch(cell) and int(values[row]) != int(cell)
    ]
    if changed:
        row, cell = changed[0]
        raise rounded_integers(name, len(changed), cell, (row, number))


def load_table(name: str, path: Path) -> np.ndarray:
    """One table from an .npy or a .csv file, by its suffix; by its first bytes when its
    name has neither (/dev/stdin, a pipe from the shell)."""
    suffix = path.suffix.lower()
    if suffix in _COMPRESSED:
        raise UserError(
            f"cannot read {path}: compressed; decompress it first, or give it through a pipe "
            f"(zcat {path} | cropmerge ... /dev/stdin)"
        )
    if suffix in (".csv", ".npy", ".npz"):
        return load_csv(name, path) if suffix == ".csv" else load_npy(name, path)
    source = _loadable(path)
    with _stream(source) as stream:
        start = stream.read(len(_NPY_MAGIC))
    if start.startswith((_NPY_MAGIC, _ZIP_MAGIC)):  # an archive is refused by name there
        return load_npy(name, path, source)
    return load_csv(name, path, source)


# ---- writing -------------------------------------------------------------------


# What a temporary file's name adds to the prefix: 8 random characters and ".part".
_TEMPORARY_EXTRA = 8 + len(".part")


def temporary_prefix(path: Path) -> str:
    """How ``atomic_output`` names its temporary files for ``path``: a dot, the name
    (shortened so that the whole name stays within the folder's name limit) and a dot."""
    try:
        limit = os.pathconf(path.parent, "PC_NAME_MAX")
    except (OSError, ValueError):
        limit = 255
    room = limit - _TEMPORARY_EXTRA - 2
    name = os.fsencode(path.name)[:room].decode(errors="ignore")  # whole characters only
    return f".{name}."


def file_identities(path: Path) -> set[object]:
    """What tells files apart: the path with links resolved, and for a file that exists,
    its device and inode (a hard link has the same)."""
    found: set[object] = {os.path.realpath(path)}
    with contextlib.suppress(OSError):
        status = path.stat()
        found.add((status.st_dev, status.st_ino))
    return found


def same_file(first: Path, second: Path) -> bool:
    """Whether two paths name one file (one that exists, or the same path once resolved)."""
    return not file_identities(first).isdisjoint(file_identities(second))


def written_path(path: Path) -> Path:
    """The file that writing ``path`` replaces: the target of a symbolic link, which
    stays a link."""
    return path.resolve() if path.is_symlink() else path


def _mode_for(path: Path) -> int:
    """The permissions of the file being replaced, or the usual ones for a new file."""
    with contextlib.suppress(FileNotFoundError):
        return stat.S_IMODE(path.stat().st_mode)
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


@contextlib.contextmanager
def atomic_output(
    path: Path, before_replace: Callable[[Path], None] | None = None
) -> Iterator[IO[bytes]]:
    """Yield a temporary file beside ``path`` that replaces ``path`` once the block succeeds.

    On any failure or interruption the temporary file is removed and an
    existing ``path`` stays as it was. ``before_replace`` is given the temporary
    file, complete, before it replaces ``path``; what it raises leaves ``path`` as is.
    A device or a pipe (/dev/null, a FIFO) is written into, as the shell writes into
    it, never replaced; there is no temporary file to give ``before_replace`` then.
    """
    path = written_path(path)
    if _is_special(path):
        if before_replace is not None:
            raise UserError(f"cannot write {path}: not a regular file")
        # Written whole at the end: the writers seek, which a pipe cannot.
        written = io.BytesIO()
        yield written
        try:
            with path.open("wb") as handle:
                handle.write(written.getbuffer())
        except OSError as error:
            raise UserError(f"cannot write {path}: {describe_os_error(error)}") from None
        return
    named: list[Path] = []  # the temporary file, from before it exists
    try:
        try:
            descriptor = _create_temporary(path.parent, temporary_prefix(path), named)
        except OSError as error:
            raise UserError(f"cannot write {path}: {describe_os_error(error)}") from None
        with os.fdopen(descriptor, "wb") as handle:
            yield handle
            handle.flush()
            os.fsync(handle.fileno())
            os.fchmod(handle.fileno(), _mode_for(path))  # temporary files are private
        if before_replace is not None:
            before_replace(named[0])
        os.replace(named[0], path)
    except BaseException:
        _remove(named)
        raise


def _is_special(path: Path) -> bool:
    """Whether ``path`` is a device, a pipe or a socket: what a rename would replace with
    a regular file."""
    try:
        mode = path.stat().st_mode
    except OSError:
        return False
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


def _create_temporary(folder: Path, prefix: str, named: list[Path]) -> int:
    """Create a private file in ``folder``, named ``prefix``, 8 random characters and
    ".part", and return its descriptor. By hand rather than with mkstemp: ``named`` holds
    the name before the file exists, so that an interruption (Ctrl-C, SIGTERM) right
    after its creation still finds it to remove."""
    while True:
        named[:] = [folder / f"{prefix}{secrets.token_hex(4)}.part"]
        try:
            return os.open(named[0], os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        except FileExistsError:  # another file's name
            named.clear()


def _remove(named: list[Path]) -> None:
    for temporary in named:
        with contextlib.suppress(OSError):
            os.unlink(temporary)


_CSV_ROWS = 4096  # rows formatted at a time


def _write_csv(handle: IO[bytes], points: np.ndarray) -> None:
    """The points as CSV under a header line, each value written so that it reads back
    exactly. pyarrow (the extra that reading CSV needs) formats them in C++, several
    times faster; without it, Python's own formatting writes 17 significant digits."""
    extra = [f"column_{c}" for c in range(4, points.shape[1])]
    names = ["first_id", "second_id", "x", "y", *extra][: points.shape[1]]
    handle.write(f"{','.join(names)}\n".encode())
    try:
        import pyarrow
        from pyarrow import csv
    except ImportError:
        _format_csv_rows(handle, points)
        return
    schema = pyarrow.schema([(name, pyarrow.float64()) for name in names])
    options = csv.WriteOptions(include_header=False)
    with csv.CSVWriter(handle, schema, write_options=options) as writer:
        for start in range(0, len(points), _CSV_ROWS):
            rows = points[start : start + _CSV_ROWS]
            columns = [pyarrow.array(rows[:, column]) for column in range(rows.shape[1])]
            writer.write_batch(pyarrow.record_batch(columns, schema=schema))


def _format_csv_rows(handle: IO[bytes], points: np.ndarray) -> None:
    """As np.savetxt formats them, but many rows to one format call: savetxt formats row
    by row in Python, which takes longer than the merge itself."""
    line = ",".join(["%.17g"] * points.shape[1]) + "\n"
    for start in range(0, len(points), _CSV_ROWS):
        rows = points[start : start + _CSV_ROWS]
        handle.write(((line * len(rows)) % tuple(rows.ravel().tolist())).encode())


def write_points(
    points: np.ndarray, path: Path, before_replace: Callable[[Path], None] | None = None
) -> None:
    """The points to ``path``, in the format its suffix names (see ``atomic_output``)."""
    suffix = path.suffix.lower()
    try:
        with atomic_output(path, before_replace) as handle:
            if suffix == ".npy":
                np.save(handle, points, allow_pickle=False)
            elif suffix == ".npz":
                np.savez(handle, points_in_rows=points)
            else:
                _write_csv(handle, points)
    except OSError as error:
        raise UserError(f"cannot write {path}: {describe_os_error(error)}") from None


def leftover_temporaries(paths: list[Path]) -> list[Path]:
    """The temporary files of ``atomic_output`` for any of ``paths`` that killed writers
    left behind, each folder read once."""
    prefixes: dict[Path, set[str]] = {}
    for path in map(written_path, paths):
        prefixes.setdefault(path.parent, set()).add(temporary_prefix(path))
    found = []
    for folder, names in prefixes.items():
        with contextlib.suppress(FileNotFoundError):
            for entry in os.scandir(folder):
                name = entry.name
                if name.endswith(".part") and name[:-_TEMPORARY_EXTRA] in names:
                    found.append(folder / name)
    return found
