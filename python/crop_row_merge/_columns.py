"""Column names of the three tables, and the float64 matrices the merge takes made from arrays,
pandas DataFrames and Arrow tables. Columns count by position, whatever they are called."""

from __future__ import annotations

import sys
from collections.abc import Sequence
from typing import Any

import numpy as np

from ._errors import FieldError

TABLES = ("connected_crop_rows", "points_in_rows", "row_information")

# The names written for the columns the merge reads (or skips by position); later columns keep
# their own names, or get column_<position> where they have none.
DOCUMENTED_COLUMNS = {
    "connected_crop_rows": (
        "unused_0",
        "row_key_1",
        "row_key_2",
        *(f"neighbour_{slot}_key_{key}" for slot in range(4) for key in (1, 2)),
    ),
    "points_in_rows": ("row_key_1", "row_key_2", "x", "y"),
    "row_information": (
        "row_key_1",
        "unused_1",
        "unused_2",
        "unused_3",
        "row_key_2",
        *(f"point_{point}_{axis}" for point in range(3) for axis in ("x", "y")),
    ),
}


def table_column_names(table: str, width: int, own: Sequence[Any] | None = None) -> tuple[str, ...]:
    """The documented names of a table's first columns, then `own` names (as text) for the rest."""
    documented = DOCUMENTED_COLUMNS[table][:width]
    rest = [str(own[i]) if own is not None else f"column_{i}" for i in range(len(documented), width)]
    names = (*documented, *rest)
    first: dict[str, int] = {}
    for position, name in enumerate(names):
        if name in first:
            raise FieldError(f"{table}: columns {first[name]} and {position} would both be named {name!r}")
        first[name] = position
    return names


def as_matrix(table: str, value: Any) -> tuple[np.ndarray, list[Any] | None]:
    """The table as a two-dimensional float64 array, and its own column names if it has any.

    A float64 array passes unchanged (the module takes any memory layout); other numeric
    dtypes are converted.
    """
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(value, pandas.DataFrame):
        return frame_matrix(table, value), list(value.columns)
    if not isinstance(value, np.ndarray):
        raise FieldError(f"{table}: expected a NumPy array or a pandas DataFrame, not {type(value).__name__}")
    if value.ndim != 2:
        raise FieldError(f"{table}: expected a two-dimensional table, not an array of {value.ndim} dimensions")
    if value.dtype.kind not in "biuf":
        raise FieldError(f"{table}: an array of {value.dtype} is not numeric")
    if value.dtype != np.float64:  # also a float64 of the other byte order
        value = value.astype(np.float64)
    return value, None


def frame_matrix(table: str, frame: Any) -> np.ndarray:
    from pandas.api.types import is_complex_dtype, is_numeric_dtype

    matrix = np.empty(frame.shape, dtype=np.float64, order="F")
    for position, (name, column) in enumerate(frame.items()):
        if not is_numeric_dtype(column.dtype) or is_complex_dtype(column.dtype):
            raise FieldError(f"{table}: column {name!r} is not numeric ({column.dtype})")
        matrix[:, position] = column.to_numpy(dtype=np.float64, na_value=np.nan)
    return matrix


def arrow_matrix(source: str, table: Any) -> np.ndarray:
    """An Arrow table's columns as float64; nulls become NaN."""
    import pyarrow as pa
    import pyarrow.compute as pc

    matrix = np.empty(table.shape, dtype=np.float64, order="F")
    for position, (name, column) in enumerate(zip(table.column_names, table.columns)):
        kind = column.type
        numeric = pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_decimal(kind)
        if not (numeric or pa.types.is_boolean(kind) or pa.types.is_null(kind)):
            raise FieldError(f"{source}: column {name!r} is not numeric ({kind})")
        # Unchecked, so that integers above 2**53 round to the nearest float64 as NumPy rounds them.
        converted = pc.cast(column, pa.float64(), safe=False)
        matrix[:, position] = converted.to_numpy(zero_copy_only=False)
    return matrix
