"""Fields through the module: one call whose failure becomes MergeError, the merged points written
to a file, and the table form that names the record and the row of points_in_rows behind each
surviving point."""

from __future__ import annotations

import math
import operator
import os
import pathlib
from typing import Any, SupportsFloat, SupportsIndex

import numpy as np

import _native

from ._columns import as_matrix, table_column_names
from ._errors import FieldError, MergeError
from ._extras import require
from ._files import as_field, field_files, refuse_replacing_inputs
from ._outputs import check_output_path, write_merged

DEFAULT_TOLERANCE = 0.1
MAX_NUM_THREADS = 2**64 - 1
ORIGIN_COLUMNS = ("record", "source_row")
# Keys, x and y: the point columns the merge reads.
READ_POINT_COLUMNS = 4


def call_merge(
    connected_crop_rows: np.ndarray,
    points_in_rows: np.ndarray,
    row_information: np.ndarray,
    tolerance: float,
    num_threads: int,
) -> np.ndarray:
    """One call of the module; its PanicException, with its message and notes, becomes MergeError."""
    try:
        return _native.merge_points_removing_overlap(
            connected_crop_rows, points_in_rows, row_information, tolerance, num_threads
        )
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        failure = MergeError(error.args[0])
        for note in getattr(error, "__notes__", ()):
            failure.add_note(note)
        raise failure from error


def merge_arguments(tolerance: SupportsFloat | SupportsIndex, num_threads: SupportsIndex) -> tuple[float, int]:
    """`tolerance` and `num_threads` as the module converts them, refused as it refuses them (with
    its messages and notes), so that a batch or a file merge fails before any work."""
    try:
        tolerance = float(tolerance)
        if math.isnan(tolerance):
            raise ValueError("tolerance must not be NaN")
    except (TypeError, ValueError) as error:
        error.add_note("while processing 'tolerance'")
        raise
    try:
        num_threads = operator.index(num_threads)
        if num_threads < 0:
            raise OverflowError("can't convert negative int to unsigned")
        if num_threads > MAX_NUM_THREADS:
            raise OverflowError("int too big to convert")
    except (TypeError, OverflowError) as error:
        error.add_note("while processing 'num_threads'")
        raise
    return tolerance, num_threads


def merge_field(
    source: Any,
    output: str | os.PathLike[str] | None = None,
    *,
    tolerance: float = DEFAULT_TOLERANCE,
    num_threads: int = 0,
) -> np.ndarray:
    """Merges one field (a path that `read_field` reads, a Field, or a mapping of the three
    tables) and returns exactly what the module returns; with `output`, also writes it there
    (.npz, .parquet or .csv), under the field's point column names. An output that would replace
    one of the field's own files is refused before anything is read."""
    tolerance, num_threads = merge_arguments(tolerance, num_threads)
    if output is not None:
        output = pathlib.Path(output)
        check_output_path(output)
        if isinstance(source, (str, os.PathLike)):
            refuse_replacing_inputs([output], field_files(source))
    field = as_field(source)
    if output is not None:
        refuse_replacing_inputs([output], field.sources)
    merged = call_merge(**field, tolerance=tolerance, num_threads=num_threads)
    if output is not None:
        write_merged(output, merged, field.column_names["points_in_rows"])
    return merged


def merge_tables(
    connected_crop_rows: Any,
    points_in_rows: Any,
    row_information: Any,
    *,
    tolerance: float = DEFAULT_TOLERANCE,
    num_threads: int = 0,
) -> Any:
    """Merges three tables (pandas DataFrames or arrays) into a DataFrame of the survivors: the
    columns of `points_in_rows` under its own names (the documented ones for an array), then
    `record`, the row of `connected_crop_rows` that kept the point, and `source_row`, the
    position of the row of `points_in_rows` it copies. Rows come as the module returns them."""
    pandas = require("pandas", "io", "merge_tables")
    connected, _ = as_matrix("connected_crop_rows", connected_crop_rows)
    points, own_names = as_matrix("points_in_rows", points_in_rows)
    information, _ = as_matrix("row_information", row_information)
    names = own_names if own_names is not None else list(table_column_names("points_in_rows", points.shape[1]))
    for name in ORIGIN_COLUMNS:
        if name in names:
            raise FieldError(f"points_in_rows already has a column named {name!r}")
    merged, record, source_row = merge_with_origins(connected, points, information, tolerance, num_threads)
    frame = pandas.DataFrame(merged, columns=names)
    frame["record"] = record
    frame["source_row"] = source_row
    return frame


def merge_with_origins(
    connected: np.ndarray, points: np.ndarray, information: np.ndarray, tolerance: float, num_threads: int
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """What one direct call returns, with the record and the row of `points` behind each row.

    The row number rides through the merge as one more point column (float64 holds it exactly).
    The record is told by its crop row: the result lists record 0's survivors, then record 1's,
    and so on, so within one call whose records all have different crop rows, each run of rows
    of one crop row is one record's. Records that share a crop row therefore go to separate
    calls: layer k holds the k-th record of every crop row, and usually there is only layer 0.
    """
    rows, width = points.shape
    if width < READ_POINT_COLUMNS:
        # The row number would land in a column the merge reads. Whether such a field merges at
        # all is the direct call's to say; when it does, no point reached a trim, so the NaN
        # padding is never read.
        call_merge(connected, points, information, tolerance, num_threads)
    carrier = np.full((rows, max(width, READ_POINT_COLUMNS) + 1), np.nan)
    carrier[:, :width] = points
    carrier[:, -1] = np.arange(rows)

    layers = record_layers(connected)
    merged_parts, record_parts = [], []
    for layer, records in enumerate(layers):
        if len(layers) == 1:
            layer_records, layer_points = connected, carrier
        else:
            layer_records = connected[records]
            # Later layers hold few crop rows; handing over only their points keeps a field with
            # many records on one crop row from costing one pass over every point per layer.
            layer_points = carrier if layer == 0 else carrier[points_of_crop_rows(carrier, layer_records)]
        merged = call_merge(layer_records, layer_points, information, tolerance, num_threads)
        merged_parts.append(merged)
        record_parts.append(records[layer_positions(layer_records, merged)])

    if len(layers) == 1:
        merged, record = merged_parts[0], record_parts[0]
    else:
        # Back into record order; within a record, rows keep the order of points_in_rows.
        record = np.concatenate(record_parts)
        order = np.argsort(record, kind="stable")
        merged, record = np.concatenate(merged_parts)[order], record[order]
    return merged[:, :width], record.astype(np.int64), merged[:, -1].astype(np.int64)


def crop_row_keys(values: np.ndarray) -> np.ndarray:
    """Keys as the merge compares a record's own crop row with a point's ("converted"): uint64,
    NaN and negative values 0, values from 2**64 up 2**64 - 1, everything else truncated.

    The merge converts on its own; the package needs the keys only to tell apart the records in
    one call's result, and to split records that share a crop row into layers.
    """
    keys = np.zeros(values.shape, dtype=np.uint64)
    saturated = values >= 2.0**64
    inside = (values >= 0) & ~saturated  # NaN is neither
    keys[inside] = values[inside].astype(np.uint64)  # truncates toward zero
    keys[saturated] = np.iinfo(np.uint64).max
    return keys


def crop_row_numbers(*key_pairs: np.ndarray) -> list[np.ndarray]:
    """One number per distinct crop row across all the given (n, 2) key arrays."""
    _, numbers = np.unique(np.vstack(key_pairs), axis=0, return_inverse=True)
    numbers = numbers.reshape(-1)
    bounds = np.cumsum([0, *(len(pairs) for pairs in key_pairs)])
    return [numbers[start:end] for start, end in zip(bounds[:-1], bounds[1:])]


def record_layers(connected: np.ndarray) -> list[np.ndarray]:
    """Record numbers split so that no two records of one layer share a crop row: layer k holds
    the k-th record (in record order) of every crop row."""
    count = connected.shape[0]
    if count == 0 or connected.shape[1] < 3:
        return [np.arange(count)]  # every call fails on such records, as the direct call does
    [crop_row] = crop_row_numbers(crop_row_keys(connected[:, 1:3]))
    order = np.argsort(crop_row, kind="stable")
    in_order = crop_row[order]
    group_start = np.flatnonzero(np.r_[True, in_order[1:] != in_order[:-1]])
    rank = np.empty(count, dtype=np.intp)
    rank[order] = np.arange(count) - np.repeat(group_start, np.diff(np.r_[group_start, count]))
    return [np.flatnonzero(rank == layer) for layer in range(rank.max() + 1)]


def points_of_crop_rows(points: np.ndarray, records: np.ndarray) -> np.ndarray:
    """A mask of the points that belong to the crop row of any of `records`."""
    own, point_rows = crop_row_numbers(crop_row_keys(records[:, 1:3]), crop_row_keys(points[:, :2]))
    return np.isin(point_rows, own)


def layer_positions(records: np.ndarray, merged: np.ndarray) -> np.ndarray:
    """For each row of one call's result, the position in `records` of the record that kept it,
    given that no two of `records` share a crop row."""
    keys = crop_row_keys(merged[:, :2])
    if len(keys) == 0:
        return np.zeros(0, dtype=np.intp)
    starts = np.flatnonzero(np.r_[True, (keys[1:] != keys[:-1]).any(axis=1)])
    own, runs = crop_row_numbers(crop_row_keys(records[:, 1:3]), keys[starts])
    position_of = np.full(max(own.max(), runs.max()) + 1, -1)
    position_of[own] = np.arange(len(own))
    run_positions = position_of[runs]
    if (run_positions < 0).any() or (np.diff(run_positions) <= 0).any():
        raise RuntimeError("the merge's result does not come in runs of one record each, as expected")
    return np.repeat(run_positions, np.diff(np.r_[starts, len(keys)]))
