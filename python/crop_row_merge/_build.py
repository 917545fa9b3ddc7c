"""Building a field from points labelled with their crop rows: each crop row's line, fitted to its
points or taken from a row_information table, the rows that carry on one another's plant line
found as neighbours, and the three tables that the merge takes."""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from ._columns import DOCUMENTED_COLUMNS, check_mapping, refuse_unmatched
from ._errors import FieldError, FieldWarning
from ._extras import require
from ._field import Field

if TYPE_CHECKING:
    from ._field import TableLike
from ._origins import crop_row_keys
from ._tables import Table

SLOTS = 4
INFORMATION_COLUMNS = 11
POINT_COLUMNS = DOCUMENTED_COLUMNS["points_in_rows"]
# A point farther from its row's line than this many standard deviations, estimated from the
# median sideways distance so that the strays themselves do not inflate it, is a stray: it takes
# no part in the fit nor in the row's ends.
STRAY_DEVIATIONS = 3.5
DEVIATIONS_PER_MEDIAN = 1.4826  # of a normal distribution's absolute values
FITS = 2  # fit, set the strays aside, and fit again
NEAR_MIDDLE_MEDIANS = 3.0  # the first fit's points: within this many median distances of the middle
NAMED_ROWS = 5  # crop rows a warning names


@dataclass(frozen=True)
class CropRows:
    """The distinct crop rows of a points table (keys as the merge converts them, in key order),
    and the points' positions grouped by crop row."""

    keys: np.ndarray  # rows x 2, uint64
    order: np.ndarray  # point positions, crop row by crop row
    starts: np.ndarray  # per crop row, where its points begin in `order`
    counts: np.ndarray  # per crop row, its points

    @property
    def of_point(self) -> np.ndarray:
        """Per position of `order`, the crop row's number."""
        return np.repeat(np.arange(len(self.counts)), self.counts)


def build_field(
    points: TableLike,
    *,
    row_information: TableLike | None = None,
    max_gap: float = 1.0,
    max_angle: float = 10.0,
    max_offset: float = 0.2,
    columns: Mapping[str, str] | None = None,
) -> Field:
    """The field of a points table: `points_in_rows` as given, `row_information` with each crop
    row's ends and middle, and `connected_crop_rows` naming, for each crop row, the rows that
    continue its plant line, nearest first.

    `points` is a NumPy array (keys, x, y by position) or a pandas DataFrame or pyarrow Table (by
    the names row_key_1, row_key_2, x and y where it has them, else by position; `columns` maps
    those names to the table's own). A crop row's line is fitted to its points (the principal
    axis, with stray points set aside), unless `row_information` has a record for it, whose ends
    and third point are then used as they are. Two crop rows are neighbours when their lines
    differ in direction by at most `max_angle` degrees, the closest pair of their ends lies at
    most `max_gap` apart, and each of those two ends lies at most `max_offset` from the other
    row's line. Each row keeps at most four neighbours; a pair is kept when each row counts the
    other among its four nearest. Mistakes that still give a field are warned about
    (`FieldWarning`).
    """
    check_limits(max_gap, max_angle, max_offset)
    mapping = dict(columns or {})
    check_mapping(mapping)
    table = Table("points_in_rows", points, mapping)
    refuse_unmatched(mapping, {"points_in_rows": table.names})
    if len(table.layout.read) < len(POINT_COLUMNS):
        raise FieldError(f"points_in_rows has {table.width} columns; the crop row's two keys, x and y are needed")
    matrix = table.matrix(table.layout.read)
    rows = group_crop_rows(crop_row_keys(matrix[:, :2]))
    complaints: list[str] = []
    ends, has_line = fit_lines(rows, matrix[:, 2:4])
    information = fitted_information(rows.keys, ends)
    given = np.zeros(len(rows.keys), dtype=bool)
    if row_information is not None:
        information, has_line, given = given_information(rows.keys, information, has_line, row_information, complaints)
        ends = information[:, 5:9].reshape(-1, 2, 2)
    few = np.flatnonzero(~has_line & ~given)
    if few.size:
        complaints.append(
            f"{few.size:,} crop rows have fewer than 2 distinct points with finite x and y, so no line "
            f"and no neighbours: {row_names(rows.keys, few)}"
        )
    pairs, gaps, candidates = find_neighbours(ends, has_line, max_gap, max_angle, max_offset)
    crowded = np.flatnonzero(candidates > SLOTS)
    if crowded.size:
        listed = ", ".join(
            f"{row_names(rows.keys, [row])} with {candidates[row]}" for row in crowded[:NAMED_ROWS]
        )
        complaints.append(
            f"{crowded.size:,} crop rows have more than {SLOTS} rows that qualify as neighbours; each "
            f"keeps the {SLOTS} nearest that keep it too: {listed}{', ...' if crowded.size > NAMED_ROWS else ''}"
        )
    for complaint in complaints:
        warnings.warn(complaint, FieldWarning, stacklevel=2)
    connected = connected_table(rows.keys, pairs, gaps)
    return Field(connected, table, information)


def check_limits(max_gap: float, max_angle: float, max_offset: float) -> None:
    # An infinite gap would make every pair of rows a candidate.
    if not (math.isfinite(max_gap) and max_gap >= 0):
        raise ValueError(f"max_gap must be a finite distance of 0 or more, not {max_gap!r}")
    if not 0 <= max_angle <= 90:
        raise ValueError(f"max_angle must be between 0 and 90 degrees, not {max_angle!r}")
    if not max_offset >= 0:
        raise ValueError(f"max_offset must be a distance of 0 or more, not {max_offset!r}")


def group_crop_rows(keys: np.ndarray) -> CropRows:
    order = crop_row_order(keys)
    grouped = keys[order]
    starts = np.flatnonzero(np.r_[True, (grouped[1:] != grouped[:-1]).any(axis=1)]) if len(keys) else np.zeros(0, int)
    counts = np.diff(np.r_[starts, len(keys)])
    return CropRows(grouped[starts], order, starts, counts)


def crop_row_order(keys: np.ndarray) -> np.ndarray:
    """Point positions sorted by crop row (first key, then second), points of one row in their
    own order."""
    count = len(keys)
    if count == 0:
        return np.zeros(0, dtype=np.intp)
    low, high = keys.min(axis=0), keys.max(axis=0)
    span = [int(high[i]) - int(low[i]) + 1 for i in (0, 1)]
    if span[0] * span[1] * count >= 2**64:
        return np.lexsort((keys[:, 1], keys[:, 0]))
    # Keys and position packed in one integer: a plain sort of those is several times faster
    # than sorting the positions by two keys.
    packed = ((keys[:, 0] - low[0]) * np.uint64(span[1]) + (keys[:, 1] - low[1])) * np.uint64(count)
    packed += np.arange(count, dtype=np.uint64)
    packed.sort()
    return (packed % np.uint64(count)).astype(np.intp)


def fit_lines(rows: CropRows, xy: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per crop row, its ends (rows x 2 x 2, endpoint 0 first) and whether it has a line: the
    principal axis of its points, between the extreme projections of its points that are not
    strays. Endpoint 0 is the lower along the direction, which points towards +x (+y along y)."""
    count = len(rows.counts)
    if count == 0:
        return np.zeros((0, 2, 2)), np.zeros(0, dtype=bool)
    grouped = xy[rows.order]
    usable = np.isfinite(grouped).all(axis=1)
    grouped[~usable] = 0.0  # weighted out below; 0 keeps the sums finite
    row = rows.of_point
    has_line = spread_out(grouped, usable, rows.starts)

    def where_spread(candidate: np.ndarray) -> np.ndarray:
        # Points are set aside only where enough of the row remains to fit a line.
        return np.where(spread_out(grouped, candidate, rows.starts)[row], candidate, usable)

    # A far stray drags a row's mean and turns its axis: the first line is fitted to the points
    # near the row's median point, then the strays are told by their distance from that line.
    middle = np.column_stack([row_median(grouped[:, axis], usable, row, rows.starts) for axis in (0, 1)])
    distance = np.hypot(*(grouped - middle[row]).T)
    near = distance <= NEAR_MIDDLE_MEDIANS * row_median(distance, usable, row, rows.starts)[row]
    inlier = where_spread(usable & near)
    for fit in range(FITS):
        centre, direction = principal_axes(grouped, inlier, row, rows.starts)
        if fit == FITS - 1:
            break
        sideways = np.abs(cross(direction[row], grouped - centre[row]))
        spread = STRAY_DEVIATIONS * DEVIATIONS_PER_MEDIAN * row_median(sideways, usable, row, rows.starts)
        # Points exactly on the line leave only rounding: never count that as spread.
        limit = np.maximum(spread, 1e-9 * distance_scale(distance, usable, rows.starts))
        inlier = where_spread(usable & (sideways <= limit[row]))
    along = np.einsum("ij,ij->i", grouped - centre[row], direction[row])
    low = np.minimum.reduceat(np.where(inlier, along, np.inf), rows.starts)
    high = np.maximum.reduceat(np.where(inlier, along, -np.inf), rows.starts)
    has_line &= high > low
    ends = centre[:, None, :] + np.stack([low, high], axis=1)[:, :, None] * direction[:, None, :]
    ends[~has_line] = np.nan
    return ends, has_line


def spread_out(xy: np.ndarray, mask: np.ndarray, starts: np.ndarray) -> np.ndarray:
    """Per crop row, whether the masked points hold at least 2 distinct points."""
    low = np.minimum.reduceat(np.where(mask[:, None], xy, np.inf), starts)
    high = np.maximum.reduceat(np.where(mask[:, None], xy, -np.inf), starts)
    return (high > low).any(axis=1)


def principal_axes(
    xy: np.ndarray, mask: np.ndarray, row: np.ndarray, starts: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """Per crop row, the centre and unit direction of the total-least-squares line of its masked
    points."""
    weight = mask.astype(np.float64)
    centre = centres(xy, mask, starts)
    with np.errstate(invalid="ignore", divide="ignore"):
        # Sums about the centre, not of squares: at UTM scale the latter cancel to nothing.
        offset = (xy - centre[row]) * weight[:, None]
        sxx = np.add.reduceat(offset[:, 0] * offset[:, 0], starts)
        syy = np.add.reduceat(offset[:, 1] * offset[:, 1], starts)
        sxy = np.add.reduceat(offset[:, 0] * offset[:, 1], starts)
        angle = 0.5 * np.arctan2(2.0 * sxy, sxx - syy)  # in (-pi/2, pi/2]: cos >= 0, towards +x
    return centre, np.column_stack([np.cos(angle), np.sin(angle)])


def centres(xy: np.ndarray, mask: np.ndarray, starts: np.ndarray) -> np.ndarray:
    """Per crop row, the mean of its masked points (NaN for a row without one)."""
    weight = mask.astype(np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        centre: np.ndarray = np.add.reduceat(xy * weight[:, None], starts) / np.add.reduceat(weight, starts)[:, None]
    return centre


def row_median(values: np.ndarray, mask: np.ndarray, row: np.ndarray, starts: np.ndarray) -> np.ndarray:
    """Per crop row, the (lower) median of its masked values (finite ones)."""
    with np.errstate(invalid="ignore"):
        low = np.minimum.reduceat(np.where(mask, values, np.inf), starts)
        above = np.where(mask, values - low[row], 0.0)
    top = np.maximum.reduceat(above, starts)
    scale = np.where(top > 0, 2 * top, 1.0)
    # One sort finds every row's median: each row's values, as fractions of its scale above its
    # lowest, lie in [row, row + 0.5], and its points left out sort after them, at row + 0.75.
    keyed = row + np.where(mask, above / scale[row], 0.75)
    keyed.sort()
    masked = np.add.reduceat(mask.astype(np.int64), starts)
    fraction = keyed[starts + np.maximum(masked - 1, 0) // 2] - np.arange(len(starts))
    median: np.ndarray = low + fraction * scale
    return median


def distance_scale(distance: np.ndarray, mask: np.ndarray, starts: np.ndarray) -> np.ndarray:
    return np.maximum.reduceat(np.where(mask, distance, 0.0), starts)


def cross(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    result: np.ndarray = a[..., 0] * b[..., 1] - a[..., 1] * b[..., 0]
    return result


def fitted_information(keys: np.ndarray, ends: np.ndarray) -> np.ndarray:
    information = np.zeros((len(keys), INFORMATION_COLUMNS))
    information[:, 0], information[:, 4] = keys[:, 0], keys[:, 1]
    information[:, 5:9] = ends.reshape(-1, 4)
    information[:, 9:11] = ends.mean(axis=1)  # the middle never wins the merge's far-end search
    return information


def given_information(
    keys: np.ndarray, fitted: np.ndarray, fitted_line: np.ndarray, given: Any, complaints: list[str]
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The records of `given` for the crop rows it has (the first one of each, found as the merge
    finds a row's own record), the fitted ones for the rest; whether each row has a line, and
    whether its record was given."""
    table = Table("row_information", given, {}).matrix()
    if table.shape[1] < INFORMATION_COLUMNS:
        raise FieldError(f"row_information: {table.shape[1]} columns; {INFORMATION_COLUMNS} are needed")
    table = table[:, :INFORMATION_COLUMNS]
    record = first_records(keys, crop_row_keys(table[:, [0, 4]]))
    found = record >= 0
    information = fitted.copy()
    information[found] = table[record[found]]
    information[:, 0], information[:, 4] = keys[:, 0], keys[:, 1]  # as the neighbour slots name them
    ends = information[:, 5:9].reshape(-1, 2, 2)
    has_line = np.where(found, np.isfinite(ends).all(axis=(1, 2)) & (ends[:, 0] != ends[:, 1]).any(axis=1), fitted_line)
    missing = np.flatnonzero(~found)
    if missing.size:
        complaints.append(
            f"{missing.size:,} crop rows have no record in row_information and were fitted to their points: "
            f"{row_names(keys, missing)}"
        )
    lineless = np.flatnonzero(found & ~has_line)
    if lineless.size:
        complaints.append(
            f"{lineless.size:,} crop rows have no line in row_information (an end that is not a number, "
            f"or both ends in one place), so no neighbours: {row_names(keys, lineless)}"
        )
    return information, has_line, found


def first_records(keys: np.ndarray, table_keys: np.ndarray) -> np.ndarray:
    """Per crop row of `keys`, the first row of `table_keys` with the same keys, or -1."""
    both = np.vstack([keys, table_keys])
    _, number = np.unique(both, axis=0, return_inverse=True)
    number = number.reshape(-1)
    distinct, first = np.unique(number[len(keys):], return_index=True)
    record = np.full(int(number.max(initial=-1)) + 1, -1)
    record[distinct] = first
    return record[number[: len(keys)]]


def find_neighbours(
    ends: np.ndarray, has_line: np.ndarray, max_gap: float, max_angle: float, max_offset: float
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The neighbour pairs kept (pairs x 2 crop row numbers), their closest-ends distances, and
    per crop row how many rows qualified."""
    count = len(ends)
    candidates = np.zeros(count, dtype=np.int64)
    lined = np.flatnonzero(has_line)
    if lined.size < 2:
        return np.zeros((0, 2), dtype=np.intp), np.zeros(0), candidates
    spatial = require("scipy.spatial", "io", "build_field")
    close = spatial.cKDTree(ends[lined].reshape(-1, 2)).query_pairs(max_gap, output_type="ndarray")
    first, second = lined[close[:, 0] // 2], lined[close[:, 1] // 2]
    first_end, second_end = close[:, 0] % 2, close[:, 1] % 2
    apart = first != second
    first, second, first_end, second_end = first[apart], second[apart], first_end[apart], second_end[apart]
    swap = first > second
    first, second = np.where(swap, second, first), np.where(swap, first, second)
    first_end, second_end = np.where(swap, second_end, first_end), np.where(swap, first_end, second_end)
    a, b = ends[first, first_end], ends[second, second_end]
    gap = np.hypot(*(a - b).T)

    # The closest pair of ends of each pair of rows.
    pair = first * count + second
    order = np.lexsort((gap, pair))
    closest = order[np.r_[True, pair[order][1:] != pair[order][:-1]]] if order.size else order
    first, second, a, b, gap = first[closest], second[closest], a[closest], b[closest], gap[closest]

    direction = ends[:, 1] - ends[:, 0]
    with np.errstate(invalid="ignore", divide="ignore"):
        direction = direction / np.hypot(*direction.T)[:, None]
    cosine = np.minimum(np.abs(np.einsum("ij,ij->i", direction[first], direction[second])), 1.0)
    # A hair of slack, so that an angle of exactly max_angle is not lost to rounding.
    parallel = np.degrees(np.arccos(cosine)) <= max_angle + 1e-9
    in_line = (np.abs(cross(direction[second], a - ends[second, 0])) <= max_offset) & (
        np.abs(cross(direction[first], b - ends[first, 0])) <= max_offset
    )
    qualified = parallel & in_line
    first, second, gap = first[qualified], second[qualified], gap[qualified]
    candidates += np.bincount(first, minlength=count) + np.bincount(second, minlength=count)

    # Each row ranks its candidates nearest first; a pair stays when both rank it among their four.
    source, target = np.r_[first, second], np.r_[second, first]
    rank = neighbour_rank(source, target, np.r_[gap, gap])
    kept = (rank[: len(first)] < SLOTS) & (rank[len(first):] < SLOTS)
    return np.column_stack([first[kept], second[kept]]), gap[kept], candidates


def neighbour_rank(source: np.ndarray, target: np.ndarray, gap: np.ndarray) -> np.ndarray:
    """Per directed link, its place among its source row's links, nearest first (then by row)."""
    order = np.lexsort((target, gap, source))
    rank = np.empty(len(source), dtype=np.int64)
    if len(source):
        grouped = source[order]
        start = np.flatnonzero(np.r_[True, grouped[1:] != grouped[:-1]])
        rank[order] = np.arange(len(source)) - np.repeat(start, np.diff(np.r_[start, len(source)]))
    return rank


def connected_table(keys: np.ndarray, pairs: np.ndarray, gaps: np.ndarray) -> np.ndarray:
    """One record per crop row, numbered in column 0, its neighbours packed from slot 0."""
    connected = np.full((len(keys), INFORMATION_COLUMNS), np.nan)
    connected[:, 0] = np.arange(len(keys))
    connected[:, 1:3] = keys
    source, target = np.r_[pairs[:, 0], pairs[:, 1]], np.r_[pairs[:, 1], pairs[:, 0]]
    slot = neighbour_rank(source, target, np.r_[gaps, gaps])
    for column in (0, 1):
        connected[source, 3 + 2 * slot + column] = keys[target, column]
    return connected


def row_names(keys: np.ndarray, rows: Any) -> str:
    rows = np.asarray(rows)
    names = ", ".join(f"({int(keys[row, 0])}, {int(keys[row, 1])})" for row in rows[:NAMED_ROWS])
    return names + (", ..." if len(rows) > NAMED_ROWS else "")
