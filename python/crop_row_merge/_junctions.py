"""Which neighbour junction dropped which point, found by re-running the merge with fewer slots.

A record trims its points against its neighbour slots in order, so a dropped
point is charged to the first slot whose trim removes it. Running the merge
with the neighbour list cut after slot 0, after slot 1, ... and comparing the
survivors of each record tells how many points each slot removed. The point
rows are given an id column for this; the merge carries it along.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np

from ._call import call_merge
from ._origins import crop_row_keys, record_layers

SLOTS = 4
FIRST_SLOT_COLUMN = 3


@dataclass(frozen=True)
class JunctionDrops:
    """Per record and neighbour slot, and per point, what the trimming removed."""

    slots_used: np.ndarray  # per record: neighbour slots before the first NaN first key
    points_in: np.ndarray  # per record: points of its crop row
    dropped: np.ndarray  # records x 4: points each slot removed first
    gathered: np.ndarray  # per point: how many records gathered it
    kept: np.ndarray  # per point: in the result at least once
    dropping_record: np.ndarray  # per point: a record that dropped it, or -1
    dropping_slot: np.ndarray  # per point: the slot of that record that dropped it, or -1

    @property
    def kept_per_record(self) -> np.ndarray:
        return self.points_in - self.dropped.sum(axis=1)

    def junctions_by_drops(self) -> list[tuple[int, int]]:
        """(record, slot) of every junction that dropped points, most drops first."""
        order = np.argsort(-self.dropped, axis=None, kind="stable")
        order = order[: np.count_nonzero(self.dropped)]
        records, slots = np.unravel_index(order, self.dropped.shape)
        return [(int(record), int(slot)) for record, slot in zip(records, slots)]


def count_junction_drops(
    connected_crop_rows: np.ndarray,
    points_in_rows: np.ndarray,
    row_information: np.ndarray,
    tolerance: float,
    num_threads: int,
) -> JunctionDrops:
    """Re-runs the merge, without a progress bar, once per neighbour slot in use.

    Call it only with inputs that a plain merge accepted: the re-runs read a
    subset of what that merge read.
    """
    records = connected_crop_rows.shape[0]
    point_count = points_in_rows.shape[0]
    slots_used = neighbour_slots_used(connected_crop_rows)
    own_keys = crop_row_keys(connected_crop_rows[:, 1:3])
    point_keys = point_crop_row_keys(points_in_rows)
    with_ids = np.column_stack([points_in_rows, np.arange(point_count, dtype=np.float64)])

    points_in = np.zeros(records, dtype=np.int64)
    dropped = np.zeros((records, SLOTS), dtype=np.int64)
    gathered = np.zeros(point_count, dtype=np.int64)
    kept = np.zeros(point_count, dtype=bool)
    dropping_record = np.full(point_count, -1, dtype=np.int64)
    dropping_slot = np.full(point_count, -1, dtype=np.int64)

    # Within one layer no two records share a crop row, so every point belongs
    # to at most one of its records.
    for layer in record_layers(connected_crop_rows):
        record_of_point = owning_records(layer, own_keys[layer], point_keys)
        mine = record_of_point >= 0
        gathered += mine
        points_in[layer] = np.bincount(record_of_point[mine], minlength=records)[layer]

        alive = mine.copy()
        connected = connected_crop_rows[layer]
        for slot in range(int(slots_used[layer].max(initial=0))):
            survivors = merged_ids(
                neighbours_up_to(connected, slot), with_ids, row_information, tolerance, num_threads
            )
            still_alive = np.zeros(point_count, dtype=bool)
            still_alive[survivors] = True
            lost = alive & ~still_alive
            dropped[:, slot] += np.bincount(record_of_point[lost], minlength=records)
            first_loss = lost & (dropping_record < 0)
            dropping_record[first_loss] = record_of_point[first_loss]
            dropping_slot[first_loss] = slot
            alive = still_alive
        kept |= alive

    return JunctionDrops(slots_used, points_in, dropped, gathered, kept, dropping_record, dropping_slot)


def neighbour_slots_used(connected_crop_rows: np.ndarray) -> np.ndarray:
    """Per record, how many slots come before the first NaN first key (or the last column)."""
    records, columns = connected_crop_rows.shape
    used = np.zeros(records, dtype=np.int64)
    open_list = np.ones(records, dtype=bool)
    for slot in range(SLOTS):
        column = FIRST_SLOT_COLUMN + 2 * slot
        if column >= columns:
            break
        open_list &= ~np.isnan(connected_crop_rows[:, column])
        used += open_list
    return used


def neighbours_up_to(connected_crop_rows: np.ndarray, last_slot: int) -> np.ndarray:
    """The records with their neighbour lists ended after `last_slot`."""
    column = FIRST_SLOT_COLUMN + 2 * (last_slot + 1)
    if column >= connected_crop_rows.shape[1]:
        return connected_crop_rows
    cut = connected_crop_rows.copy()
    cut[:, column] = np.nan
    return cut


def merged_ids(connected, with_ids, row_information, tolerance, num_threads) -> np.ndarray:
    with progress_bar_hidden():
        result = call_merge(connected, with_ids, row_information, tolerance, num_threads)
    return result[:, -1].astype(np.int64)


@contextlib.contextmanager
def progress_bar_hidden() -> Iterator[None]:
    """The module decides per call whether to draw; NO_COLOR keeps these re-runs quiet."""
    before = os.environ.get("NO_COLOR")
    os.environ["NO_COLOR"] = "1"
    try:
        yield
    finally:
        if before is None:
            del os.environ["NO_COLOR"]
        else:
            os.environ["NO_COLOR"] = before


def own_row_label(connected_crop_rows: np.ndarray, record: int) -> str:
    return f"({connected_crop_rows[record, 1]:g}, {connected_crop_rows[record, 2]:g})"


def neighbour_row_label(connected_crop_rows: np.ndarray, record: int, slot: int) -> str:
    column = FIRST_SLOT_COLUMN + 2 * slot
    return f"({connected_crop_rows[record, column]:g}, {connected_crop_rows[record, column + 1]:g})"


def point_crop_row_keys(points_in_rows: np.ndarray) -> np.ndarray:
    # With fewer than two columns a merge succeeds only if no point matched a
    # record, so such points get a key pair that no record can have.
    if points_in_rows.shape[1] < 2:
        return np.zeros((points_in_rows.shape[0], 0), dtype=np.uint64)
    return crop_row_keys(points_in_rows[:, :2])


def pair_codes(record_keys: np.ndarray, point_keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """One integer per key pair, equal exactly when both keys are equal."""
    codes = np.zeros(record_keys.shape[0] + point_keys.shape[0], dtype=np.int64)
    for column in range(2):
        values = np.concatenate([record_keys[:, column], point_keys[:, column]])
        distinct, code = np.unique(values, return_inverse=True)
        codes = codes * distinct.size + code
    return codes[: record_keys.shape[0]], codes[record_keys.shape[0] :]


def owning_records(layer: np.ndarray, layer_keys: np.ndarray, point_keys: np.ndarray) -> np.ndarray:
    """Per point, the record of `layer` whose crop row it belongs to, or -1."""
    owner = np.full(point_keys.shape[0], -1, dtype=np.int64)
    if point_keys.shape[1] < 2 or layer.size == 0:
        return owner
    record_codes, point_codes = pair_codes(layer_keys, point_keys)
    order = np.argsort(record_codes)
    sorted_codes = record_codes[order]
    position = np.searchsorted(sorted_codes, point_codes).clip(max=order.size - 1)
    found = sorted_codes[position] == point_codes
    owner[found] = layer[order[position[found]]]
    return owner
