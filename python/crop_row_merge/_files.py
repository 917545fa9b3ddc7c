"""Fields on disk (an .npz file of the three arrays, or a folder of one Parquet or CSV file per
table) and merged points on disk (.npz, .parquet or .csv), each file written under a temporary
name first and then renamed, so that a reader never sees half of one."""

from __future__ import annotations

import contextlib
import os
import pathlib
import uuid
import zipfile
import zlib
from collections.abc import Iterator, Mapping
from typing import Any

import numpy as np

from ._columns import TABLES, arrow_matrix, as_matrix, table_column_names
from ._errors import FieldError, require

# The array name of merged points in an .npz file, as the sample job writes it.
MERGED_ARRAY = "merged_points"
OUTPUT_SUFFIXES = (".npz", ".parquet", ".csv")
TABLE_SUFFIXES = (".parquet", ".csv")
# What NumPy's reader raises for a missing, damaged or foreign file.
NPZ_READ_ERRORS = (OSError, ValueError, EOFError, zipfile.BadZipFile, zlib.error)

PathLike = str | os.PathLike[str]


class Field(Mapping[str, np.ndarray]):
    """One field: the merge's three input arrays as float64, and the names of their columns.

    It maps the parameter names to the arrays, so `merge_points_removing_overlap(**field, ...)`
    takes it as it is. Tables may be NumPy arrays or pandas DataFrames of numeric columns;
    `column_names` gives a table's own names where it has none of its own (a file's header).
    """

    def __init__(
        self,
        connected_crop_rows: Any,
        points_in_rows: Any,
        row_information: Any,
        *,
        column_names: Mapping[str, list[Any]] | None = None,
    ) -> None:
        given = column_names or {}
        self._arrays: dict[str, np.ndarray] = {}
        self.column_names: dict[str, tuple[str, ...]] = {}
        for table, value in zip(TABLES, (connected_crop_rows, points_in_rows, row_information)):
            matrix, own = as_matrix(table, value)
            self._arrays[table] = matrix
            self.column_names[table] = table_column_names(table, matrix.shape[1], given.get(table, own))

    def __getitem__(self, table: str) -> np.ndarray:
        return self._arrays[table]

    def __iter__(self) -> Iterator[str]:
        return iter(TABLES)

    def __len__(self) -> int:
        return len(TABLES)

    @property
    def connected_crop_rows(self) -> np.ndarray:
        return self._arrays["connected_crop_rows"]

    @property
    def points_in_rows(self) -> np.ndarray:
        return self._arrays["points_in_rows"]

    @property
    def row_information(self) -> np.ndarray:
        return self._arrays["row_information"]

    def __repr__(self) -> str:
        shapes = ", ".join(f"{table} {' x '.join(map(str, self[table].shape))}" for table in TABLES)
        return f"Field({shapes})"


def as_field(source: Any) -> Field:
    """A Field from a path, a Field, or a mapping of the three parameter names to tables."""
    if isinstance(source, Field):
        return source
    if isinstance(source, (str, os.PathLike)):
        return read_field(source)
    if isinstance(source, Mapping):
        missing = [table for table in TABLES if table not in source]
        if missing:
            raise FieldError(f"the tables lack {', '.join(missing)}")
        return Field(*(source[table] for table in TABLES))
    raise TypeError(f"expected a path, a Field or a mapping of the three tables, not {type(source).__name__}")


def read_field(path: PathLike) -> Field:
    """Reads a field: an .npz file holding the three arrays under their parameter names, or a
    folder holding connected_crop_rows, points_in_rows and row_information, each as .parquet or
    .csv (with a header line). Columns count by position; numeric columns become float64."""
    path = pathlib.Path(path)
    if path.is_dir():
        return _read_folder(path)
    if not path.exists():
        raise FieldError(f"{path} does not exist")
    if path.suffix != ".npz":
        raise FieldError(f"{path} is neither an .npz file nor a folder of tables")
    return _read_npz(path)


def _read_npz(path: pathlib.Path) -> Field:
    try:
        if not zipfile.is_zipfile(path):
            raise FieldError(f"{path} is not an .npz file: it is no zip archive of arrays")
        with np.load(path, allow_pickle=False) as stored:
            missing = [table for table in TABLES if table not in stored.files]
            if missing:
                held = ", ".join(stored.files) or "nothing"
                raise FieldError(f"{path} lacks {', '.join(missing)}; it holds {held}")
            arrays = [stored[table] for table in TABLES]
    except FieldError:
        raise
    except NPZ_READ_ERRORS as error:
        raise FieldError(f"cannot read {path}: {error}") from error
    try:
        return Field(*arrays)
    except FieldError as error:
        raise FieldError(f"{path}: {error}") from error


def _read_folder(path: pathlib.Path) -> Field:
    matrices, names = [], {}
    for table in TABLES:
        found = [path / (table + suffix) for suffix in TABLE_SUFFIXES if (path / (table + suffix)).is_file()]
        if not found:
            raise FieldError(f"{path} holds no {table}.parquet or {table}.csv")
        if len(found) > 1:
            raise FieldError(f"{path} holds both {table}.parquet and {table}.csv")
        arrow = _read_arrow(found[0])
        matrices.append(arrow_matrix(str(found[0]), arrow))
        names[table] = arrow.column_names
    return Field(*matrices, column_names=names)


def _read_arrow(path: pathlib.Path) -> Any:
    pa = require("pyarrow", "io", f"reading {path.name}")
    try:
        if path.suffix == ".parquet":
            return require("pyarrow.parquet", "io", f"reading {path.name}").read_table(path)
        return require("pyarrow.csv", "io", f"reading {path.name}").read_csv(path)
    except (OSError, ValueError, pa.ArrowException) as error:
        raise FieldError(f"cannot read {path}: {error}") from error


def write_field(path: PathLike, field: Any, *, format: str | None = None) -> pathlib.Path:
    """Writes a field (a Field, a mapping of the three tables, or a path to read one from) as an
    .npz file, or as a folder of Parquet or CSV files (`format` "parquet", the default for a
    path without the .npz suffix, or "csv"), with the column names the package documents."""
    field = as_field(field)
    path = pathlib.Path(path)
    format = format or ("npz" if path.suffix == ".npz" else "parquet")
    if format == "npz":
        path.parent.mkdir(parents=True, exist_ok=True)
        with replaced_atomically(path) as temporary, open(temporary, "wb") as file:
            np.savez(file, **field)
    elif format in ("parquet", "csv"):
        path.mkdir(parents=True, exist_ok=True)
        for table in TABLES:
            write_table(path / f"{table}.{format}", field[table], field.column_names[table])
    else:
        raise ValueError(f"format must be 'npz', 'parquet' or 'csv', not {format!r}")
    return path


def check_output_path(path: pathlib.Path) -> None:
    if path.suffix not in OUTPUT_SUFFIXES:
        raise FieldError(f"{path}: the output's name must end in .npz, .parquet or .csv")


def write_merged(path: pathlib.Path, merged: np.ndarray, names: tuple[str, ...], tag: str = "") -> None:
    """Writes merged points in the format that the path's suffix names; in .npz as one array."""
    check_output_path(path)
    if path.suffix == ".npz":
        with replaced_atomically(path, tag) as temporary, open(temporary, "wb") as file:
            np.savez(file, merged_points=merged)  # MERGED_ARRAY
    else:
        write_table(path, merged, names, tag)


def write_table(path: pathlib.Path, matrix: np.ndarray, names: tuple[str, ...], tag: str = "") -> None:
    """One table as .parquet or .csv; CSV numbers are written in their shortest exact form."""
    purpose = f"writing {path.name}"
    pa = require("pyarrow", "io", purpose)
    if matrix.shape[1] == 0 and matrix.shape[0] > 0:
        raise FieldError(f"{path}: a table of {matrix.shape[0]} rows and no column cannot be written")
    table = pa.table([np.ascontiguousarray(matrix[:, i]) for i in range(matrix.shape[1])], names=list(names))
    with replaced_atomically(path, tag) as temporary:
        if path.suffix == ".parquet":
            require("pyarrow.parquet", "io", purpose).write_table(table, temporary)
        else:
            require("pyarrow.csv", "io", purpose).write_csv(table, temporary)


@contextlib.contextmanager
def replaced_atomically(path: pathlib.Path, tag: str = "") -> Iterator[pathlib.Path]:
    """A temporary name beside `path`; what the block writes there replaces `path` in one rename
    when the block ends, and is removed when it fails. A process killed meanwhile leaves only the
    hidden temporary file, whose name carries `tag` so that its batch can find it."""
    temporary = path.with_name(f".{path.name}.{tag}{uuid.uuid4().hex[:12]}.partial")
    try:
        yield temporary
        os.replace(temporary, path)
    finally:
        temporary.unlink(missing_ok=True)
