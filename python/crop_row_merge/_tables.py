"""One table as its user gave it (a NumPy array, a pandas DataFrame or a pyarrow Table), kept as it
is: the columns the merge reads are converted to float64 for the module, and the others are only
ever taken whole by row, with their own names and types."""

from __future__ import annotations

import sys
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._columns import Layout, layout, table_names
from ._errors import FieldError

if TYPE_CHECKING:
    import pandas
    import pyarrow


def is_frame(value: object) -> bool:
    pandas = sys.modules.get("pandas")
    return pandas is not None and isinstance(value, pandas.DataFrame)


def is_arrow(value: object) -> bool:
    pyarrow = sys.modules.get("pyarrow")
    return pyarrow is not None and isinstance(value, pyarrow.Table)


class Table:
    """Table `name` (one of the three) of a field, from `value`; `source` names it in messages
    (a file, or the table's name), and `own_names` stands for a header it lacks."""

    def __init__(
        self,
        name: str,
        value: object,
        columns: Mapping[str, str],
        *,
        source: str | None = None,
        own_names: Sequence[object] | None = None,
    ) -> None:
        self.name = name
        self.source = source or name
        self.renamed = own_names is not None
        if is_frame(value) or is_arrow(value):
            self.value: Any = value
            header = list(value.columns) if is_frame(value) else value.column_names
            self.names = table_names(name, len(header), own_names if own_names is not None else header)
        else:
            if not isinstance(value, np.ndarray):
                raise FieldError(
                    f"{self.source}: expected a NumPy array, a pandas DataFrame or a pyarrow Table, "
                    f"not {type(value).__name__}"
                )
            if value.ndim != 2:
                raise FieldError(f"{self.source}: expected a two-dimensional table, not an array of {value.ndim} dimensions")
            if value.dtype.kind not in "biuf":
                raise FieldError(f"{self.source}: an array of {value.dtype} is not numeric")
            self.value = value
            self.names = table_names(name, value.shape[1], own_names)
        header = not isinstance(self.value, np.ndarray) or own_names is not None
        self.layout: Layout = layout(name, self.names, columns, header)
        for position in self.module_columns():
            if position is not None and position in self.layout.read and not self.is_numeric(position):
                raise FieldError(
                    f"{self.source}: column {self.label(position)} is not numeric ({self.type_of(position)})"
                )

    @property
    def rows(self) -> int:
        return len(self.value) if not isinstance(self.value, np.ndarray) else self.value.shape[0]

    @property
    def width(self) -> int:
        return len(self.names)

    def other_columns(self) -> list[int]:
        """Positions of the columns that the merge does not read."""
        read = set(self.layout.read)
        return [i for i in range(self.width) if i not in read]

    def module_columns(self) -> list[int | None]:
        """The positions of the columns of the matrix the module takes, in its order: those the
        merge reads (None where the table lacks one), then for points the other numeric ones."""
        read: list[int | None] = list(self.layout.read)
        if self.name != "points_in_rows":
            return read
        return [*read, *(i for i in self.other_columns() if self.is_numeric(i))]

    def module_names(self) -> tuple[str, ...]:
        """Names of the columns of matrix(); the documented name of a column the table lacks."""
        from ._columns import DOCUMENTED_COLUMNS

        documented = DOCUMENTED_COLUMNS[self.name]
        return tuple(
            self.names[i] if i is not None else documented[place] for place, i in enumerate(self.module_columns())
        )

    def documented_names(self) -> tuple[str, ...]:
        """Names of the columns of matrix(), the read ones under their documented names."""
        from ._columns import DOCUMENTED_COLUMNS

        documented = DOCUMENTED_COLUMNS[self.name][: len(self.layout.read)]
        names = self.module_names()
        return tuple(documented[i] if i < len(documented) else name for i, name in enumerate(names))

    def matrix(self, positions: Sequence[int | None] | None = None, extra: int = 0) -> np.ndarray:
        """The columns at `positions` (the module's, by default) as one float64 matrix, column by
        column, with `extra` columns after them left for the caller to fill; None gives a column of
        NaN. A float64 array asked for whole passes unchanged (the module takes any layout)."""
        positions = self.module_columns() if positions is None else positions
        whole = None not in positions and list(positions) == list(range(self.width))
        if isinstance(self.value, np.ndarray) and whole and not extra:
            return self.value if self.value.dtype == np.float64 else self.value.astype(np.float64)
        matrix = np.empty((self.rows, len(positions) + extra), dtype=np.float64, order="F")
        for place, position in enumerate(positions):
            if position is None:
                matrix[:, place] = np.nan
            else:
                self.fill(matrix[:, place], position)
        return matrix

    def fill(self, target: np.ndarray, position: int) -> None:
        """Writes column `position` into `target` as float64, an Arrow column chunk by chunk, each
        read in place when it is float64 without nulls."""
        if is_arrow(self.value):
            column = self.arrow_float64(position)
            start = 0
            for chunk in column.chunks:
                target[start : start + len(chunk)] = chunk.to_numpy(zero_copy_only=False)
                start += len(chunk)
        else:
            target[:] = self.values(position)

    def values(self, position: int) -> np.ndarray:
        """Column `position` as float64: nulls as NaN, integers beyond 2**53 rounded to the nearest
        as NumPy rounds them. A float64 column without nulls in one Arrow chunk is read in place."""
        if not self.is_numeric(position):
            raise FieldError(f"{self.source}: column {self.label(position)} is not numeric ({self.type_of(position)})")
        if isinstance(self.value, np.ndarray):
            return self.value[:, position].astype(np.float64, copy=False)
        if is_frame(self.value):
            return self.value.iloc[:, position].to_numpy(dtype=np.float64, na_value=np.nan)
        values: np.ndarray = self.arrow_float64(position).to_numpy()
        return values

    def arrow_float64(self, position: int) -> pyarrow.ChunkedArray:
        import pyarrow as pa
        import pyarrow.compute as pc

        column = self.value.column(position)
        if column.type != pa.float64():
            column = pc.cast(column, pa.float64(), safe=False)
        return column

    def label(self, position: int) -> str:
        """A column as messages name it: its own name (a DataFrame's own label), quoted, or its
        position for an array."""
        if isinstance(self.value, np.ndarray):
            return repr(self.names[position]) if self.renamed else str(position)
        own = self.value.columns[position] if is_frame(self.value) and not self.renamed else self.names[position]
        return repr(own)

    def is_numeric(self, position: int) -> bool:
        if isinstance(self.value, np.ndarray):
            return True
        if is_frame(self.value):
            from pandas.api.types import is_complex_dtype, is_numeric_dtype

            dtype = self.value.dtypes.iloc[position]
            return is_numeric_dtype(dtype) and not is_complex_dtype(dtype)
        import pyarrow as pa

        kind = self.value.schema.field(position).type
        return (
            pa.types.is_integer(kind)
            or pa.types.is_floating(kind)
            or pa.types.is_decimal(kind)
            or pa.types.is_boolean(kind)
            or pa.types.is_null(kind)
        )

    def type_of(self, position: int) -> str:
        if isinstance(self.value, np.ndarray):
            return str(self.value.dtype)
        if is_frame(self.value):
            return str(self.value.dtypes.iloc[position])
        return str(self.value.schema.field(position).type)

    def float_width(self, position: int) -> int | None:
        """The bytes of a floating column's values, None for any other column."""
        if isinstance(self.value, np.ndarray) or is_frame(self.value):
            dtype = self.value.dtype if isinstance(self.value, np.ndarray) else self.value.dtypes.iloc[position]
            return dtype.itemsize if getattr(dtype, "kind", "") == "f" else None
        import pyarrow as pa

        kind = self.value.schema.field(position).type
        return kind.bit_width // 8 if pa.types.is_floating(kind) else None

    def arrow(self) -> pyarrow.Table:
        """The whole table as Arrow, each column with its own name and type."""
        import pyarrow as pa

        if is_arrow(self.value):
            return self.value.rename_columns(self.names)
        if is_frame(self.value):
            return pa.Table.from_pandas(self.value, preserve_index=False).rename_columns(self.names)
        return pa.table([np.ascontiguousarray(self.value[:, i]) for i in range(self.width)], names=self.names)

    def frame(self) -> pandas.DataFrame:
        """The whole table as a DataFrame, with its own names and types."""
        import pandas

        if is_frame(self.value):
            frame = self.value.reset_index(drop=True)
            if self.renamed:
                frame.columns = self.names
            return frame
        if is_arrow(self.value):
            return self.value.rename_columns(self.names).to_pandas()
        return pandas.DataFrame(self.value, columns=self.names)
