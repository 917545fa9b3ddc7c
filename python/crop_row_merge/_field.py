"""A field: its three tables as the user gave them, the float64 arrays the module takes made from
them on demand, and the files it was read from."""

from __future__ import annotations

import os
import pathlib
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Union, cast

import numpy as np

from ._columns import READ_POINT_COLUMNS, TABLES, check_mapping, refuse_unmatched
from ._errors import FieldError
from ._tables import Table

if TYPE_CHECKING:
    import pandas
    import pyarrow

    TableLike = Union[np.ndarray, pandas.DataFrame, pyarrow.Table]

PathLike = Union[str, os.PathLike[str]]


class Field(Mapping[str, np.ndarray]):
    """One field: the merge's three input tables.

    It maps the parameter names to float64 arrays in the columns the module reads, so
    `merge_points_removing_overlap(**field, ...)` takes it as it is. Tables may be NumPy arrays,
    pandas DataFrames or pyarrow Tables. A table whose header holds the documented column names
    is read by those names (`columns` maps documented names to the user's own), any other by
    position. The points' other columns stay as they came, to be taken by row into the merged
    points. `column_names` stands for the header of a table that has none (an array);
    `sources` are the files it was read from, which no output of its merge may replace.
    """

    def __init__(
        self,
        connected_crop_rows: TableLike | Table,
        points_in_rows: TableLike | Table,
        row_information: TableLike | Table,
        *,
        column_names: Mapping[str, Sequence[object]] | None = None,
        columns: Mapping[str, str] | None = None,
        sources: Iterable[pathlib.Path] = (),
    ) -> None:
        columns = dict(columns or {})
        check_mapping(columns)
        given = column_names or {}
        self.tables: dict[str, Table] = {
            table: value if isinstance(value, Table) else Table(table, value, columns, own_names=given.get(table))
            for table, value in zip(TABLES, (connected_crop_rows, points_in_rows, row_information))
        }
        refuse_unmatched(columns, {table: self.tables[table].names for table in TABLES})
        self.sources = tuple(sources)
        self._arrays: dict[str, np.ndarray] = {}

    def __getitem__(self, table: str) -> np.ndarray:
        if table not in self._arrays:
            self._arrays[table] = self.tables[table].matrix()
        return self._arrays[table]

    def __iter__(self) -> Iterator[str]:
        return iter(TABLES)

    def __len__(self) -> int:
        return len(TABLES)

    @property
    def connected_crop_rows(self) -> np.ndarray:
        return self["connected_crop_rows"]

    @property
    def points_in_rows(self) -> np.ndarray:
        return self["points_in_rows"]

    @property
    def row_information(self) -> np.ndarray:
        return self["row_information"]

    @property
    def column_names(self) -> dict[str, tuple[str, ...]]:
        """The names of the columns of each array."""
        return {table: self.tables[table].module_names() for table in TABLES}

    @property
    def points(self) -> Table:
        return self.tables["points_in_rows"]

    def point_rows(self) -> int:
        return self.points.rows

    def carrier(self, full: bool = False) -> np.ndarray:
        """The points as one merge of them takes them, float64: the columns that the merge reads
        (keys, x and y; NaN for those a narrow table lacks), with `full` the points' other numeric
        columns after them, and last each point's row number, which the merge carries into its
        result. Made anew each time, so that it lives no longer than the merge that needs it."""
        read = list(self.points.layout.read)
        read += [None] * (READ_POINT_COLUMNS - len(read))
        others = self.points.module_columns()[len(self.points.layout.read) :] if full else []
        carrier = self.points.matrix([*read, *others], extra=1)
        carrier[:, -1] = np.arange(self.points.rows)  # float64 holds row numbers exactly
        return carrier

    def points_columns(self) -> list[int]:
        """Where the columns of the points' float64 array lie in a full carrier."""
        others = len(self.points.module_columns()) - self.read_width
        return [*range(self.read_width), *range(READ_POINT_COLUMNS, READ_POINT_COLUMNS + others)]

    @property
    def read_width(self) -> int:
        """How many of the columns that the merge reads the points table has (4 but for a narrow
        table, read by position)."""
        return len(self.points.layout.read)

    def __repr__(self) -> str:
        shapes = ", ".join(
            f"{table} {self.tables[table].rows} x {len(self.tables[table].module_columns())}" for table in TABLES
        )
        return f"Field({shapes})"


def field_from(tables: Mapping[str, object], columns: Mapping[str, str] | None = None) -> Field:
    missing = [table for table in TABLES if table not in tables]
    if missing:
        raise FieldError(f"the tables lack {', '.join(missing)}")
    connected, points, information = (cast("TableLike", tables[table]) for table in TABLES)
    return Field(connected, points, information, columns=columns)
