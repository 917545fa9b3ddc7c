"""Tables on disk: written as .npz, .parquet or .csv, each through a temporary file flushed to the
disk before it takes its name; and an existing output of merged points read back far enough to
tell that it is whole."""

from __future__ import annotations

import os
import pathlib
import zipfile
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from ._atomic import replaced_atomically
from ._errors import FieldError, MissingExtraError
from ._extras import require
from ._npz import member_rows

if TYPE_CHECKING:
    import pyarrow

# The array name of merged points in an .npz file, as the sample job writes it.
MERGED_ARRAY = "merged_points"
OUTPUT_SUFFIXES = (".npz", ".parquet", ".csv")


def check_output_path(path: pathlib.Path) -> None:
    if path.suffix not in OUTPUT_SUFFIXES:
        raise FieldError(f"{path}: the output's name must end in .npz, .parquet or .csv")


def write_arrays(path: pathlib.Path, arrays: dict[str, np.ndarray], tag: str = "") -> int:
    """Writes an .npz file of named arrays; returns its size."""
    with replaced_atomically(path, tag) as temporary:
        with open(temporary, "wb") as file:
            np.savez(file, **arrays)
        return os.stat(temporary).st_size


def write_table(path: pathlib.Path, table: pyarrow.Table, tag: str = "") -> int:
    """One table as .parquet or .csv, each column with its own name and type; CSV numbers are
    written in their shortest exact form. Returns the file's size."""
    purpose = f"writing {path.name}"
    with replaced_atomically(path, tag) as temporary:
        if path.suffix == ".parquet":
            require("pyarrow.parquet", "io", purpose).write_table(table, temporary)
        else:
            require("pyarrow.csv", "io", purpose).write_csv(table, temporary)
        return os.stat(temporary).st_size


def matrix_table(matrix: np.ndarray, names: Sequence[str]) -> pyarrow.Table:
    """A float64 matrix as an Arrow table of one column per matrix column."""
    pa = require("pyarrow", "io", "writing tables")
    if matrix.shape[1] == 0 and matrix.shape[0] > 0:
        raise FieldError(f"a table of {matrix.shape[0]} rows and no column cannot be written")
    return pa.table([np.ascontiguousarray(matrix[:, i]) for i in range(matrix.shape[1])], names=list(names))


def whole_output_rows(path: pathlib.Path) -> int:
    """The rows of the merged points at `path`, read from the parts that a torn or zeroed file
    lacks: a Parquet file's footer, an .npz file's zip directory and array header, and for CSV
    the whole file. Raises FieldError saying what is wrong when the file is not whole."""
    try:
        return ROW_COUNTS[path.suffix](path)
    except MissingExtraError:
        raise
    except Exception as error:  # each library, and the zip reader, has its own errors for a damaged file
        raise FieldError(f"{path.name} is not a whole {path.suffix[1:]} file: {error}") from error


def parquet_rows(path: pathlib.Path) -> int:
    return require("pyarrow.parquet", "io", f"reading {path.name}").read_metadata(path).num_rows


def csv_rows(path: pathlib.Path) -> int:
    return require("pyarrow.csv", "io", f"reading {path.name}").read_csv(path).num_rows


def npz_rows(path: pathlib.Path) -> int:
    with zipfile.ZipFile(path) as archive:
        return member_rows(archive, MERGED_ARRAY)


ROW_COUNTS = {".parquet": parquet_rows, ".csv": csv_rows, ".npz": npz_rows}
