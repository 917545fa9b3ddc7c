"""Fields through the module: one field merged into the arrays the module returns, into a file of
its own columns, or, as tables, into a DataFrame that names the record and the row of
points_in_rows behind each surviving point."""

from __future__ import annotations

import os
import pathlib
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, SupportsFloat, SupportsIndex, cast

import numpy as np

from ._call import DEFAULT_TOLERANCE, merge_arguments
from ._checks import warn_about_mistakes
from ._errors import FieldError
from ._extras import require
from ._field import Field, PathLike, field_from
from ._files import as_field, field_files, refuse_replacing_inputs
from ._origins import merge_with_origins
from ._outputs import MERGED_ARRAY, check_output_path, write_arrays, write_taken

if TYPE_CHECKING:
    import pandas

    from ._field import TableLike

ORIGIN_COLUMNS = ("record", "source_row")


@dataclass(frozen=True)
class Survivors:
    """The rows a merge of a field returns, in its order: the row of points_in_rows that each
    copies, the record that kept it (None unless asked for), and with a full merge the rows of
    the points' float64 array."""

    source_row: np.ndarray
    record: np.ndarray | None
    points: np.ndarray | None


def survivors(
    field: Field, tolerance: float, num_threads: int, *, records_wanted: bool = False, full: bool = False
) -> Survivors:
    """Merges the field, after warning about its mistakes: only the columns that the merge reads,
    or, `full`, every numeric column of the points, whose surviving rows the module then copies."""
    carrier = field.carrier(full)
    warn_about_mistakes(field, tolerance, carrier)
    record, rows = merge_with_origins(
        field["connected_crop_rows"], carrier, field["row_information"], tolerance, num_threads,
        field.read_width, records_wanted,
    )
    columns = field.points_columns()
    if not full:
        points = None
    elif columns == list(range(len(columns))):
        points = rows[:, : len(columns)]
    else:
        points = rows[:, columns]
    return Survivors(rows[:, -1].astype(np.int64), record, points)


def merge_field(
    source: Field | Mapping[str, TableLike] | PathLike,
    output: PathLike | None = None,
    *,
    tolerance: SupportsFloat | SupportsIndex = DEFAULT_TOLERANCE,
    num_threads: SupportsIndex = 0,
    columns: Mapping[str, str] | None = None,
) -> np.ndarray:
    """Merges one field (a path that `read_field` reads, a Field, or a mapping of the three
    tables) and returns exactly what the module returns for the field's arrays; with `output`,
    also writes the merged points there: .parquet or .csv with every column of the points table
    under its own name and type, .npz as the returned array. An output that would replace one of
    the field's own files is refused before anything is read."""
    merge = field_merge(source, output, tolerance=tolerance, num_threads=num_threads, columns=columns)
    return cast(np.ndarray, merge.run(full=True).kept.points)  # a full merge's


@dataclass(frozen=True)
class MergedField:
    """What one merge of a field did: its survivors, and the size of its output."""

    kept: Survivors
    output_bytes: int | None


@dataclass(frozen=True)
class FieldMerge:
    """One field's merge, its arguments and output checked and the field read, before it runs."""

    field: Field
    output: pathlib.Path | None
    tolerance: float
    num_threads: int

    def run(self, full: bool = False, tag: str = "") -> MergedField:
        """Merges the field (`full`: with the float64 rows of its points, as an .npz output has
        them) and writes the output. Raises MergeError when the merge fails, OSError when the
        output cannot be written."""
        full = full or (self.output is not None and self.output.suffix == ".npz")
        kept = survivors(self.field, self.tolerance, self.num_threads, full=full)
        written = write_merged(self.output, self.field, kept, tag) if self.output is not None else None
        return MergedField(kept, written)


def field_merge(
    source: Field | Mapping[str, TableLike] | PathLike,
    output: PathLike | None,
    *,
    tolerance: SupportsFloat | SupportsIndex,
    num_threads: SupportsIndex,
    columns: Mapping[str, str] | None,
) -> FieldMerge:
    """The first steps of every merge of one field, in order: the arguments checked as the
    module checks them, the output checked against the field's files, and the field read. Raises
    FieldError (or MissingExtraError) for what makes the field or the output unusable."""
    tolerance, num_threads = merge_arguments(tolerance, num_threads)
    if output is not None:
        output = pathlib.Path(output)
        check_output_path(output)
        if isinstance(source, (str, os.PathLike)):
            refuse_replacing_inputs([output], field_files(source))
    field = as_field(source, columns)
    if output is not None:
        refuse_replacing_inputs([output], field.sources)
        if output.suffix != ".npz":
            require("pyarrow", "io", f"writing {output.name}")
    return FieldMerge(field, output, tolerance, num_threads)


def write_merged(path: pathlib.Path, field: Field, kept: Survivors, tag: str = "") -> int:
    """Writes the merged points in the format that the path's suffix names and returns the file's
    size: Parquet and CSV take the rows of the points table, every column as it came; .npz holds
    the float64 array of its numeric columns, which a full merge made."""
    check_output_path(path)
    if path.suffix == ".npz":
        if kept.points is None:
            raise ValueError("an .npz output holds the rows of a full merge")
        return write_arrays(path, {MERGED_ARRAY: kept.points}, tag)
    require("pyarrow", "io", f"writing {path.name}")
    points = field.points
    keys = [points.names[i] for i in points.layout.read[:2] if i is not None]
    return write_taken(path, points.arrow(), kept.source_row, tag, keys)


def left_out_of_npz(field: Field) -> list[str]:
    """The points' columns that an .npz output cannot hold, not being numbers."""
    points = field.points
    return [points.names[i] for i in points.other_columns() if not points.is_numeric(i)]


def merge_tables(
    connected_crop_rows: TableLike,
    points_in_rows: TableLike,
    row_information: TableLike,
    *,
    tolerance: SupportsFloat | SupportsIndex = DEFAULT_TOLERANCE,
    num_threads: SupportsIndex = 0,
    columns: Mapping[str, str] | None = None,
) -> pandas.DataFrame:
    """Merges three tables (pandas DataFrames, pyarrow Tables or NumPy arrays) into a DataFrame of
    the survivors, in the order the module returns them: every column of `points_in_rows` under
    its own name and type (the documented names for an array), then `record`, the row of
    `connected_crop_rows` that kept the point, and `source_row`, the position of the row of
    `points_in_rows` it copies."""
    require("pandas", "io", "merge_tables")
    tolerance, num_threads = merge_arguments(tolerance, num_threads)
    field = field_from(
        {"connected_crop_rows": connected_crop_rows, "points_in_rows": points_in_rows, "row_information": row_information},
        columns,
    )
    names = field.points.names
    for name in ORIGIN_COLUMNS:
        if name in names:
            raise FieldError(f"points_in_rows already has a column named {name!r}")
    kept = survivors(field, tolerance, num_threads, records_wanted=True)
    frame = field.points.frame().iloc[kept.source_row].reset_index(drop=True)
    frame["record"] = kept.record
    frame["source_row"] = kept.source_row
    return frame
