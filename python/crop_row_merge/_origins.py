"""Which record kept each surviving point, and which row of points_in_rows it copies: the row
number carried through the merge as one more column, and records that share a crop row merged in
calls of their own."""

from __future__ import annotations

import numpy as np

from ._call import call_merge
from ._errors import MergeError

# Keys, x and y: the point columns the merge reads.
READ_POINT_COLUMNS = 4


def merge_with_origins(
    connected: np.ndarray, points: np.ndarray, information: np.ndarray, tolerance: float, num_threads: int
) -> tuple[np.ndarray, np.ndarray]:
    """For each row that one direct call on these arrays returns, in its order: the record that
    kept it and the row of `points` it copies. `points` need hold only the columns the merge
    reads (keys, x and y).

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
    carrier = np.full((rows, READ_POINT_COLUMNS + 1), np.nan)
    carrier[:, : min(width, READ_POINT_COLUMNS)] = points[:, :READ_POINT_COLUMNS]
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
        try:
            merged = call_merge(layer_records, layer_points, information, tolerance, num_threads)
        except MergeError:
            if len(layers) == 1:
                raise
            # A layer's failure names the record by its place in the layer: the whole field's
            # call fails as a direct call does, naming the lowest-numbered failing record.
            call_merge(connected, carrier, information, tolerance, num_threads)
            raise
        merged_parts.append(merged)
        record_parts.append(records[layer_positions(layer_records, merged)])

    if len(layers) == 1:
        merged, record = merged_parts[0], record_parts[0]
    else:
        # Back into record order; within a record, rows keep the order of points_in_rows.
        record = np.concatenate(record_parts)
        order = np.argsort(record, kind="stable")
        merged, record = np.concatenate(merged_parts)[order], record[order]
    return record.astype(np.int64), merged[:, -1].astype(np.int64)


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
