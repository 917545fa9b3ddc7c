"""Which record kept each surviving point, and which row of points_in_rows it copies: the row
number carried through the merge as one more column, and records that share a crop row merged in
calls of their own."""

from __future__ import annotations

import numpy as np

from ._call import call_merge
from ._columns import READ_POINT_COLUMNS
from ._errors import MergeError



def merge_with_origins(
    connected: np.ndarray,
    carrier: np.ndarray,
    information: np.ndarray,
    tolerance: float,
    num_threads: int,
    read_width: int = READ_POINT_COLUMNS,
    records_wanted: bool = True,
) -> tuple[np.ndarray | None, np.ndarray]:
    """For each row that one direct call returns, in its order: the record that kept it (unless
    not `records_wanted`, when that takes work of its own), and its row of `carrier`, whose last
    column is the row of points_in_rows that it copies. `carrier` holds the points' columns that
    the merge reads (keys, x and y; a points table of only `read_width` < 4 columns has NaN in
    the others), maybe others after them, and then each point's row number.

    The row number rides through the merge as one more point column (float64 holds it exactly).
    The record is told by its crop row: the result lists record 0's survivors, then record 1's,
    and so on, so within one call whose records all have different crop rows, each run of rows
    of one crop row is one record's. Records that share a crop row therefore go to separate
    calls: layer k holds the k-th record of every crop row, and usually there is only layer 0.
    """
    if read_width < READ_POINT_COLUMNS:
        # The row number lands in a column the merge reads. Whether such a field merges at all
        # is the direct call's to say; when it does, no point reached a trim, so the NaN padding
        # is never read.
        call_merge(connected, carrier[:, :read_width], information, tolerance, num_threads)

    layers = record_layers(connected)
    if len(layers) == 1:
        merged = call_merge(connected, carrier, information, tolerance, num_threads)
        record = layer_positions(connected, merged).astype(np.int64) if records_wanted else None
        return record, merged
    merged_parts, record_parts = [], []
    for layer, records in enumerate(layers):
        layer_records = connected[records]
        # Later layers hold few crop rows; handing over only their points keeps a field with many
        # records on one crop row from costing one pass over every point per layer.
        layer_points = carrier if layer == 0 else carrier[points_of_crop_rows(carrier, layer_records)]
        try:
            merged = call_merge(layer_records, layer_points, information, tolerance, num_threads)
        except MergeError:
            # A layer's failure names the record by its place in the layer: the whole field's
            # call fails as a direct call does, naming the lowest-numbered failing record.
            call_merge(connected, carrier, information, tolerance, num_threads)
            raise
        merged_parts.append(merged)
        record_parts.append(records[layer_positions(layer_records, merged)])

    # Back into record order; within a record, rows keep the order of points_in_rows.
    record = np.concatenate(record_parts)
    order = np.argsort(record, kind="stable")
    return record[order].astype(np.int64), np.concatenate(merged_parts)[order]


def crop_row_keys(values: np.ndarray) -> np.ndarray:
    """Keys as the merge compares a record's own crop row with a point's ("converted"): uint64,
    NaN and negative values 0, values from 2**64 up 2**64 - 1, everything else truncated.

    The merge converts on its own; the package needs the keys only to tell apart the records in
    one call's result, and to split records that share a crop row into layers.
    """
    if values.size and values.min() >= 0 and values.max() < 2.0**64:  # False for a NaN
        return values.astype(np.uint64)  # truncates toward zero
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
    return in_crop_rows(crop_row_keys(points[:, :2]), crop_row_keys(records[:, 1:3]))


# A grid of the crop rows' keys may have this many cells per crop row, or this many in all.
GRID_CELLS_PER_ROW = 4
MIN_GRID_CELLS = 1 << 16


def in_crop_rows(point_keys: np.ndarray, row_keys: np.ndarray) -> np.ndarray:
    """A mask of the points whose keys (n, 2) are one of the crop rows' keys (m, 2). Crop rows
    are usually numbered densely (a line, a place on it), so their keys fill a small box, and
    one look-up in a grid over that box, a pass over the points, replaces a sort of them."""
    if len(row_keys) == 0 or len(point_keys) == 0:
        return np.zeros(len(point_keys), dtype=bool)
    low = row_keys.min(axis=0)
    span = row_keys.max(axis=0) - low + np.uint64(1)  # 0 when it wraps: a box too big for a grid
    if not 0 < int(span[0]) * int(span[1]) <= max(MIN_GRID_CELLS, GRID_CELLS_PER_ROW * len(row_keys)):
        own, point_rows = crop_row_numbers(row_keys, point_keys)
        return np.isin(point_rows, own)
    # One more row and column of the grid, empty, for every key outside the box: a key below it
    # wraps around to far above it, and every key above it is clipped to the last.
    width = span[1] + np.uint64(1)
    grid = np.zeros(int(span[0] + 1) * int(width), dtype=bool)
    grid[((row_keys[:, 0] - low[0]) * width + (row_keys[:, 1] - low[1])).astype(np.intp)] = True
    first = np.minimum(point_keys[:, 0] - low[0], span[0])
    second = np.minimum(point_keys[:, 1] - low[1], span[1])
    return grid[(first * width + second).astype(np.intp)]


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
