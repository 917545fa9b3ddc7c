"""Checks that warn: mistakes that let a field merge without an error but most likely not as its
owner meant, each raised as one FieldWarning that names the first records or rows involved and
counts them all."""

from __future__ import annotations

import contextlib
import sys
import types
import warnings
from collections.abc import Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, SupportsFloat, SupportsIndex

import numpy as np

from ._call import DEFAULT_TOLERANCE, merge_arguments
from ._columns import READ_POINT_COLUMNS
from ._errors import FieldWarning
from ._field import Field, PathLike
from ._origins import crop_row_keys, in_crop_rows

if TYPE_CHECKING:
    from ._field import TableLike

# How many offenders a warning names.
NAMED = 3
FIRST_SLOT_COLUMN = 3
SLOTS = 4


def check_field(
    source: Field | Mapping[str, TableLike] | PathLike,
    *,
    tolerance: SupportsFloat | SupportsIndex = DEFAULT_TOLERANCE,
    columns: Mapping[str, str] | None = None,
) -> None:
    """Warns (FieldWarning) about each mistake of a field (a path that `read_field` reads, a Field,
    or a mapping of the three tables) that would merge without an error but most likely not as
    meant; the merges of the package warn the same way."""
    from ._files import as_field

    field = as_field(source, columns)
    warn_about_mistakes(field, merge_arguments(tolerance, 0)[0], field.carrier())


def warn_about_mistakes(field: Field, tolerance: float, carrier: np.ndarray) -> None:
    """Warns about each mistake that the field shows; `carrier` holds its points' columns that
    the merge reads first."""
    read_points = carrier[:, :READ_POINT_COLUMNS]
    connected, information = field["connected_crop_rows"], field["row_information"]
    # The bytes of the x and y values as they came (None for columns that were not floating).
    coordinate_widths = [field.points.float_width(i) if i is not None else None for i in field.points.layout.read[2:4]]
    for message in (
        third_points_warning(information),
        unmatched_points_warning(connected, read_points),
        slot_gap_warning(connected),
        coarse_coordinates_warning(read_points, coordinate_widths, tolerance),
    ):
        if message:
            warnings.warn(message, FieldWarning, stacklevel=stack_level_outside_package())


@contextlib.contextmanager
def caught_field_warnings() -> Iterator[list[warnings.WarningMessage]]:
    """The FieldWarnings that the block raises, every one of them, kept for the caller to tell of
    in its own way (the command on standard error, a batch in its summary)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", FieldWarning)
        yield caught


def stack_level_outside_package() -> int:
    """The stack level of the first caller outside this package, as pandas points its warnings."""
    frame: types.FrameType | None = sys._getframe(1)
    level = 1
    package = __name__.rpartition(".")[0]
    while frame is not None and frame.f_globals.get("__name__", "").partition(".")[0] == package:
        frame, level = frame.f_back, level + 1
    return level


def listed(items: Sequence[object], count: int) -> str:
    more = f" and {count - len(items):,} more" if count > len(items) else ""
    return ", ".join(map(str, items)) + more


def third_points_off_their_rows(row_information: np.ndarray) -> np.ndarray:
    """Records of `row_information` whose third point (columns 9 and 10) lies farther from the
    row, the segment from endpoint 0 to endpoint 1, than the row is long. A NaN third point, or
    one beside a row with a NaN end, is never counted."""
    if row_information.ndim != 2 or row_information.shape[1] < 11:
        return np.empty(0, dtype=np.intp)
    start, end, third = (row_information[:, column : column + 2] for column in (5, 7, 9))
    with np.errstate(all="ignore"):
        along = end - start
        squared_length = np.einsum("ij,ij->i", along, along)
        # The segment's point nearest the third point; a row of length 0 is its start.
        share = np.einsum("ij,ij->i", third - start, along) / squared_length
        share = np.where(squared_length > 0, np.clip(share, 0.0, 1.0), 0.0)
        offset = third - (start + share[:, None] * along)
        return np.flatnonzero(np.hypot(offset[:, 0], offset[:, 1]) > np.sqrt(squared_length))


def third_points_warning(information: np.ndarray) -> str:
    off = third_points_off_their_rows(information)
    if off.size == 0:
        return ""
    row = information[off[0]]
    return (
        f"{off.size:,} of {len(information):,} records of row_information have a third point "
        "(columns 9 and 10) farther from their row than the row is long, a placeholder most likely: "
        f"records {listed(off[:NAMED].tolist(), off.size)}; the first, crop row ({row[0]:g}, {row[4]:g}), "
        f"has ({row[9]:.10g}, {row[10]:.10g}) beside the row from ({row[5]:.10g}, {row[6]:.10g}) to "
        f"({row[7]:.10g}, {row[8]:.10g}). The third point takes part in choosing where each row ends: "
        "put it on the row (its middle, say) or make it NaN"
    )


def unmatched_points_warning(connected: np.ndarray, read_points: np.ndarray) -> str:
    if connected.shape[1] < 3 or read_points.shape[1] < 2 or len(read_points) == 0 or len(connected) == 0:
        return ""
    matched = in_crop_rows(crop_row_keys(read_points[:, :2]), crop_row_keys(connected[:, 1:3]))
    count = int(matched.sum())
    if count * 2 >= len(read_points):
        return ""
    strays = np.flatnonzero(~matched)
    keys = [f"row {row} ({read_points[row, 0]:g}, {read_points[row, 1]:g})" for row in strays[:NAMED]]
    share = "none" if count == 0 else f"only {count:,}"
    return (
        f"{share} of the {len(read_points):,} points of points_in_rows belong to the crop row of a "
        "record (their columns 0 and 1 against columns 1 and 2 of connected_crop_rows, as whole "
        f"numbers): a key or column mix-up? Points of no record: {listed(keys, strays.size)}"
    )


def slot_gap_warning(connected: np.ndarray) -> str:
    width = connected.shape[1]
    firsts = [connected[:, FIRST_SLOT_COLUMN + 2 * slot] for slot in range(SLOTS) if FIRST_SLOT_COLUMN + 2 * slot < width]
    if len(firsts) < 2:
        return ""
    named = ~np.isnan(np.column_stack(firsts))
    slot_count = named.shape[1]
    # A slot that names a neighbour after one that does not: the merge stops at the gap.
    first_unnamed = np.where((~named).any(axis=1), (~named).argmax(axis=1), slot_count)
    last_named = np.where(named.any(axis=1), slot_count - 1 - named[:, ::-1].argmax(axis=1), -1)
    gapped = np.flatnonzero(first_unnamed < last_named)
    if gapped.size == 0:
        return ""
    first = gapped[0]
    slots = ", ".join(str(slot) for slot in range(named.shape[1]) if named[first, slot])
    return (
        f"{gapped.size:,} records of connected_crop_rows name a neighbour after a slot whose first "
        "key is NaN, and a NaN first key ends the list of neighbours, so those later slots are "
        f"not read: records {listed(gapped[:NAMED].tolist(), gapped.size)} (record {first} names "
        f"slots {slots}). Fill the slots from slot 0 on, without gaps"
    )


def coarse_coordinates_warning(read_points: np.ndarray, widths: Sequence[int | None], tolerance: float) -> str:
    if read_points.shape[1] < 4 or not any(width is not None and width < 8 for width in widths):
        return ""
    narrow = [2 + i for i, width in enumerate(widths) if width is not None and width < 8]
    values = np.abs(read_points[:, narrow])
    values = values[np.isfinite(values)]
    if values.size == 0:
        return ""
    width = min(width for width in widths if width is not None)
    largest = values.max()
    step = float(np.spacing(np.array(largest, dtype=f"f{width}")))
    if not step > abs(tolerance):
        return ""
    return (
        f"the points' x and y came as {8 * width}-bit floats, which at their magnitude (up to "
        f"{largest:,.10g}) step by {step:g}, coarser than the tolerance {tolerance:g}: store them "
        "as 64-bit floats, or subtract an origin first"
    )
