"""Fields on disk: an .npz file of the three arrays, or a folder of one Parquet or CSV file per
table; the files a field is read from, and the rule that no output may replace one of them."""

from __future__ import annotations

import os
import pathlib
import stat
import zipfile
import zlib
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pyarrow

    from ._field import TableLike

import numpy as np

from ._columns import DOCUMENTED_COLUMNS, TABLES, check_mapping, table_names
from ._errors import FieldError, FieldNotFoundError
from ._extras import require
from ._field import Field, PathLike, field_from
from ._npz import load_member
from ._outputs import TABLE_FORMATS, FieldFormat, matrix_table, write_arrays, write_table
from ._tables import Table

# What the zip and .npy readers raise for a damaged or foreign file.
NPZ_READ_ERRORS = (OSError, ValueError, EOFError, zipfile.BadZipFile, zlib.error)


def as_field(source: Field | Mapping[str, object] | PathLike, columns: Mapping[str, str] | None = None) -> Field:
    """A Field from a path, a Field, or a mapping of the three parameter names to tables."""
    if isinstance(source, Field):
        if columns:
            raise ValueError("columns are given when a field is made or read, not with a Field")
        return source
    if isinstance(source, (str, os.PathLike)):
        return read_field(source, columns=columns)
    if isinstance(source, Mapping):
        return field_from(source, columns)
    raise TypeError(f"expected a path, a Field or a mapping of the three tables, not {type(source).__name__}")


def read_field(path: PathLike, *, columns: Mapping[str, str] | None = None) -> Field:
    """Reads a field: an .npz file holding the three arrays under their parameter names, or a
    folder holding connected_crop_rows, points_in_rows and row_information, each as .parquet or
    .csv (with a header line). A table whose header holds the documented column names (or those
    that `columns` maps them to) is read by name, any other by position. A path that does not
    exist raises FieldNotFoundError, a FieldError and a FileNotFoundError."""
    path = pathlib.Path(path)
    mode = file_mode(path)
    if stat.S_ISDIR(mode):
        return _read_folder(path, columns or {})
    if path.suffix != ".npz":
        raise FieldError(f"{path} is neither an .npz file nor a folder of tables")
    return _read_npz(path, columns or {})


def file_mode(path: pathlib.Path) -> int:
    """The file's type and permissions; a missing file and one the user may not reach are told apart."""
    try:
        return path.stat().st_mode
    except FileNotFoundError:
        raise FieldNotFoundError(f"{path} does not exist") from None
    except PermissionError:
        raise FieldError(f"{path}: permission denied (a folder on the way to it cannot be entered)") from None
    except OSError as error:
        raise FieldError(f"{path}: {error.strerror}") from None


def _read_npz(path: pathlib.Path, columns: Mapping[str, str]) -> Field:
    arrays = npz_arrays(path, TABLES)
    try:
        return Field(*(arrays[table] for table in TABLES), columns=columns, sources=[path])
    except FieldError as error:
        raise FieldError(f"{path}: {error}") from error


def npz_arrays(path: pathlib.Path, names: Sequence[str], optional: Sequence[str] = ()) -> dict[str, np.ndarray]:
    """The arrays `names` of an .npz file, and those of `optional` that it holds."""
    try:
        with open(path, "rb") as file:
            if not zipfile.is_zipfile(file):
                raise FieldError(f"{path} is not an .npz file: it is no zip archive of arrays")
            with zipfile.ZipFile(file) as archive:
                held = [name.removesuffix(".npy") for name in archive.namelist()]
                missing = [name for name in names if name not in held]
                if missing:
                    raise FieldError(f"{path} lacks {', '.join(missing)}; it holds {', '.join(held) or 'nothing'}")
                wanted = [*names, *(name for name in optional if name in held)]
                return {name: load_member(archive, name, f"{path}: {name}") for name in wanted}
    except PermissionError:
        raise FieldError(f"cannot read {path}: permission denied") from None
    except NPZ_READ_ERRORS as error:
        if isinstance(error, FieldError):
            raise
        raise FieldError(f"cannot read {path}: {error}") from error


def _read_folder(path: pathlib.Path, columns: Mapping[str, str]) -> Field:
    check_mapping(columns)
    tables, sources = [], []
    for table in TABLES:
        found = table_files(path, table)
        if not found:
            raise FieldError(f"{path} holds no {table}.parquet or {table}.csv")
        if len(found) > 1:
            raise FieldError(f"{path} holds both {table}.parquet and {table}.csv")
        tables.append(Table(table, read_arrow(found[0]), columns, source=str(found[0])))
        sources.append(found[0])
    # Decoding a table leaves buffers as large as the table itself free in Arrow's pool, which
    # keeps them from the system unless asked: a big field would hold its size twice.
    require("pyarrow", "io", "reading tables").default_memory_pool().release_unused()
    return Field(*tables, columns=columns, sources=sources)


def table_files(folder: pathlib.Path, table: str) -> list[pathlib.Path]:
    """The files of a folder that hold `table`: one, as a field has it, or none, or both formats."""
    return [folder / f"{table}.{format}" for format in TABLE_FORMATS if (folder / f"{table}.{format}").is_file()]


def read_arrow(path: pathlib.Path) -> pyarrow.Table:
    """A table file, .parquet or .csv, as Arrow."""
    pa = require("pyarrow", "io", f"reading {path.name}")
    try:
        if path.suffix == ".parquet":
            return require("pyarrow.parquet", "io", f"reading {path.name}").read_table(path)
        return require("pyarrow.csv", "io", f"reading {path.name}").read_csv(path)
    except PermissionError:
        raise FieldError(f"cannot read {path}: permission denied") from None
    except (OSError, ValueError, pa.ArrowException) as error:
        raise FieldError(f"cannot read {path}: {error}") from error


def field_files(path: PathLike) -> list[pathlib.Path]:
    """The files that a field at `path` is read from: an .npz file (or whatever the path names),
    or each table file of a folder."""
    path = pathlib.Path(path)
    if path.is_dir():
        return [file for table in TABLES for file in table_files(path, table)]
    return [path]


def refuse_replacing_inputs(outputs: Iterable[pathlib.Path], inputs: Iterable[pathlib.Path]) -> None:
    """Raises FieldError when any output would replace an input: the same path once links are
    resolved, or, where both exist, the same file under another name (a hard link)."""
    by_path: dict[str, pathlib.Path] = {}
    by_file: dict[tuple[int, int], pathlib.Path] = {}
    for source in inputs:
        by_path.setdefault(os.path.realpath(source), source)
        if (identity := file_identity(source)) is not None:
            by_file.setdefault(identity, source)
    for output in outputs:
        replaced = by_path.get(os.path.realpath(output))
        if replaced is None and (identity := file_identity(output)) is not None:
            replaced = by_file.get(identity)
        if replaced is not None:
            raise FieldError(f"the output {output} would replace {replaced}, an input; choose another output")


def file_identity(path: pathlib.Path) -> tuple[int, int] | None:
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


def write_field(
    path: PathLike, field: Field | Mapping[str, TableLike] | PathLike, *, format: FieldFormat | None = None
) -> pathlib.Path:
    """Writes a field (a Field, a mapping of the three tables, or a path to read one from) as an
    .npz file (`format` "npz", the default for a path with that suffix, which it gets when it has
    none), or as a folder of Parquet or CSV files (`format` "parquet", the default otherwise, or
    "csv"), so that `read_field` reads it back: the columns the merge reads under their
    documented names, a points table's other columns as they are. Returns what it wrote."""
    field = as_field(field)
    path, format, files = field_outputs(path, format)
    refuse_replacing_inputs(files, field.sources)
    if format == "npz":
        path.parent.mkdir(parents=True, exist_ok=True)
        write_arrays(path, dict(field))
    elif format in TABLE_FORMATS:
        path.mkdir(parents=True, exist_ok=True)
        for table in TABLES:
            keys = [name for name in DOCUMENTED_COLUMNS[table] if "key" in name]
            write_table(path / f"{table}.{format}", documented_table(field, table), keys=keys)
    else:
        raise ValueError(f"format must be 'npz', 'parquet' or 'csv', not {format!r}")
    return path


def field_outputs(path: PathLike, format: FieldFormat | None) -> tuple[pathlib.Path, FieldFormat, list[pathlib.Path]]:
    """Where write_field writes a field: the path it returns, its format, and every file."""
    path = pathlib.Path(path)
    format = format or ("npz" if path.suffix == ".npz" else "parquet")
    if format == "npz" and path.suffix != ".npz":
        path = path.with_name(path.name + ".npz")
    if format in TABLE_FORMATS:
        return path, format, [path / f"{table}.{format}" for table in TABLES]
    return path, format, [path]


def documented_table(field: Field, table: str) -> pyarrow.Table:
    """A table of the field as Arrow, its read columns under their documented names: the points
    with every column of their own, the others as the module takes them."""
    own = field.tables[table]
    if table != "points_in_rows":
        return matrix_table(field[table], own.documented_names())
    arrow = own.arrow()
    names = list(arrow.column_names)
    for documented, position in zip(DOCUMENTED_COLUMNS[table], own.layout.read):
        if position is not None:
            names[position] = documented
    table_names(table, len(names), names)  # refuses a name now held twice
    return arrow.rename_columns(names)
