# The merge written with vectorised NumPy: whole-array steps over all records, one neighbour slot at a time.
"""The row merge of `_native.merge_points_removing_overlap`, in plain NumPy.

Meant for well-formed inputs only (every record's own and neighbour rows
exist, `connected_crop_rows` and `row_information` have 11 columns); it
asserts that instead of reproducing the module's failures. The result is the
module's: for every record in ascending order, the surviving rows of its crop
row in the row order of `points_in_rows`.

Every geometric step is one elementwise operation on arrays of float64, so
each product and sum is rounded on its own, in the same order as the engine.
"""

from __future__ import annotations

import numpy as np

KEY_LIMIT = 18446744073709551616.0  # 2**64: from here on keys saturate
NEIGHBOUR_SLOTS = 4


def to_keys(column: np.ndarray) -> np.ndarray:
    """Saturating conversion to unsigned keys: NaN and negatives give 0, 2**64 and more the maximum."""
    keys = np.zeros(column.shape, dtype=np.uint64)
    in_range = (column >= 0.0) & (column < KEY_LIMIT)
    keys[in_range] = column[in_range].astype(np.uint64)
    keys[column >= KEY_LIMIT] = np.iinfo(np.uint64).max
    return keys


def exact_bits(column: np.ndarray) -> np.ndarray:
    """Bit patterns that are equal exactly when the floats compare equal (-0.0 is folded into 0.0)."""
    return (column + 0.0).view(np.uint64)


def pair_ids(first, second, first_vocabulary, second_vocabulary) -> np.ndarray:
    """One integer per (first, second) pair drawn from the sorted vocabularies; -1 for any other pair."""
    if first_vocabulary.size == 0 or second_vocabulary.size == 0:
        return np.full(first.shape, -1, dtype=np.int64)
    i = np.minimum(np.searchsorted(first_vocabulary, first), first_vocabulary.size - 1)
    j = np.minimum(np.searchsorted(second_vocabulary, second), second_vocabulary.size - 1)
    known = (first_vocabulary[i] == first) & (second_vocabulary[j] == second)
    return np.where(known, i * second_vocabulary.size + j, -1)


def first_rows(table_ids: np.ndarray, query_ids: np.ndarray) -> np.ndarray:
    """For each query id, the lowest row of the table holding it, or -1."""
    table_rows = np.flatnonzero(table_ids >= 0)
    unique_ids, first = np.unique(table_ids[table_rows], return_index=True)
    found = np.full(query_ids.shape, -1, dtype=np.int64)
    if unique_ids.size == 0:
        return found
    at = np.minimum(np.searchsorted(unique_ids, query_ids), unique_ids.size - 1)
    hit = (unique_ids[at] == query_ids) & (query_ids >= 0)
    found[hit] = table_rows[first[at[hit]]]
    return found


def matched_ids(query_first, query_second, table_first, table_second):
    """Ids of the query pairs and of the table pairs, equal exactly when the pairs are equal.

    Table pairs that no query holds get -1.
    """
    first_vocabulary = np.unique(query_first)
    second_vocabulary = np.unique(query_second)
    return (
        pair_ids(query_first, query_second, first_vocabulary, second_vocabulary),
        pair_ids(table_first, table_second, first_vocabulary, second_vocabulary),
    )


def own_information_rows(own_first, own_second, row_information) -> np.ndarray:
    query, table = matched_ids(
        own_first, own_second, to_keys(row_information[:, 0]), to_keys(row_information[:, 4])
    )
    rows = first_rows(table, query)
    assert (rows >= 0).all(), "a record's own crop row has no row information"
    return rows


def neighbour_information_rows(connected_crop_rows, row_information, reached) -> np.ndarray:
    """Row of `row_information` per (record, slot), found by exact key equality; -1 where the slot is not reached."""
    first = connected_crop_rows[:, 3:11:2][reached]
    second = connected_crop_rows[:, 4:11:2][reached]
    assert not np.isnan(second).any(), "a neighbour's second key is NaN and matches no row"
    table_first = row_information[:, 0]
    table_second = row_information[:, 4]
    query, table = matched_ids(
        exact_bits(first), exact_bits(second), exact_bits(table_first), exact_bits(table_second)
    )
    table[np.isnan(table_first) | np.isnan(table_second)] = -1  # NaN equals nothing
    found = first_rows(table, query)
    assert (found >= 0).all(), "a neighbour crop row has no row information"
    rows = np.full(reached.shape, -1, dtype=np.int64)
    rows[reached] = found
    return rows


def group_points(own_first, own_second, points_in_rows):
    """Points of every record as stretches of one index array, in the row order of `points_in_rows`."""
    record_ids, point_ids = matched_ids(
        own_first, own_second, to_keys(points_in_rows[:, 0]), to_keys(points_in_rows[:, 1])
    )
    if point_ids.max(initial=-1) <= np.iinfo(np.int16).max:
        point_ids = point_ids.astype(np.int16)  # a stable argsort of 16-bit integers is a radix sort
    order = np.argsort(point_ids, kind="stable")
    sorted_ids = point_ids[order]
    start = np.searchsorted(sorted_ids, record_ids, side="left")
    end = np.searchsorted(sorted_ids, record_ids, side="right")
    return order, start, end - start


def expand_records(order, start, counts):
    """Each record's points laid end to end in record order: the point row of every entry."""
    entry_start = np.cumsum(counts) - counts
    shift = np.repeat(start - entry_start, counts)
    return order[np.arange(counts.sum()) + shift]


def farthest_pair(current, neighbour):
    """Indices (S, U) of the first farthest pair of endpoints, scanning current rows then neighbour rows."""
    best = np.zeros(current.shape[0])
    s = np.zeros(current.shape[0], dtype=np.int64)
    u = np.zeros(current.shape[0], dtype=np.int64)
    for l in range(3):
        for k in range(3):
            dx = current[:, l, 0] - neighbour[:, k, 0]
            dy = current[:, l, 1] - neighbour[:, k, 1]
            d = np.sqrt(dx * dx + dy * dy)
            better = d > best  # strict: the earlier pair keeps a tie, NaN never wins
            best[better] = d[better]
            s[better] = l
            u[better] = k
    return s, u


def keep_rule(current, neighbour, tolerance):
    """Per record: whether only the NaN test applies, and the signs and thresholds of the corner tests.

    The four corner cases are one test in mirrored coordinates: with sx, sy = +1 or -1,
    a point is kept when (sx*x <= sx*P.x + tol and sy*y <= sy*P.y + tol) or
    (sx*x >= sx*B.x + tol and sy*y >= sy*B.y + tol). Negation is exact and rounding
    is symmetric, so sx*P.x + tol with sx = -1 is exactly -(P.x - tol).

    A row is decided by the coordinate in which P lies farther from B alone (by neither
    when the two distances are equal or NaN): the other coordinate's thresholds become
    +inf and -inf, which every number passes and NaN fails.
    """
    records = np.arange(current.shape[0])
    s, u = farthest_pair(current, neighbour)
    far = current[records, s]
    near = current[records, np.where(s == 0, 1, 0)]
    neighbour_near = neighbour[records, np.where(u == 0, 1, 0)]
    middle = (near + neighbour_near) * 0.5
    direction = far - near
    offset = middle - near
    num = (0.0 + offset[:, 0] * direction[:, 0]) + offset[:, 1] * direction[:, 1]
    den = (0.0 + direction[:, 0] * direction[:, 0]) + direction[:, 1] * direction[:, 1]
    t = num / den
    foot_x = near[:, 0] + t * direction[:, 0]
    foot_y = near[:, 1] + t * direction[:, 1]
    near_x, near_y = near[:, 0], near[:, 1]

    dx = foot_x - near_x
    dy = foot_y - near_y
    nan_test_only = np.sqrt(dx * dx + dy * dy) < tolerance
    left = foot_x < near_x
    below = foot_y < near_y
    above = foot_y > near_y
    right = foot_x > near_x
    by_x = np.abs(dx) > np.abs(dy)
    by_y = np.abs(dy) > np.abs(dx)
    # Cases in table order: left-below (+,+), left-above (+,-), right-above (-,-), any other (-,+).
    sx = np.where(left & (below | above), 1.0, -1.0)
    sy = np.where(left & below, 1.0, np.where((left & above) | (right & above), -1.0, 1.0))
    sx = np.where(by_x, np.where(left, 1.0, -1.0), np.where(by_y, 1.0, sx))
    sy = np.where(by_y, np.where(below, 1.0, -1.0), np.where(by_x, 1.0, sy))
    return {
        "nan_test_only": nan_test_only,
        "sx": sx,
        "sy": sy,
        "foot_x": np.where(by_y, np.inf, sx * foot_x + tolerance),
        "foot_y": np.where(by_x, np.inf, sy * foot_y + tolerance),
        "near_x": np.where(by_y, -np.inf, sx * near_x + tolerance),
        "near_y": np.where(by_x, -np.inf, sy * near_y + tolerance),
    }


def trim_slot(alive, x, y, counts, trimmed, rule):
    """Drops, in the records being trimmed, the entries that fail the keep test against this slot's neighbour."""
    per_entry = {name: np.repeat(values, counts) for name, values in rule.items()}
    mirrored_x = x * per_entry["sx"]
    mirrored_y = y * per_entry["sy"]
    beyond_foot = (mirrored_x <= per_entry["foot_x"]) & (mirrored_y <= per_entry["foot_y"])
    beyond_near = (mirrored_x >= per_entry["near_x"]) & (mirrored_y >= per_entry["near_y"])
    numeric = ~(np.isnan(x) | np.isnan(y))
    keep = np.where(per_entry["nan_test_only"], numeric, beyond_foot | beyond_near)
    alive &= keep | ~np.repeat(trimmed, counts)


def endpoints(row_information, rows):
    return row_information[rows, 5:11].reshape(-1, 3, 2)


def merge(connected_crop_rows, points_in_rows, row_information, tolerance):
    """The surviving point rows of every record, records in ascending order."""
    assert connected_crop_rows.shape[1] >= 11, "records need all four neighbour slots"
    assert row_information.shape[1] == 11, "row information needs exactly 11 columns"
    assert points_in_rows.shape[1] >= 4, "points need x and y"
    own_first = to_keys(connected_crop_rows[:, 1])
    own_second = to_keys(connected_crop_rows[:, 2])
    order, start, counts = group_points(own_first, own_second, points_in_rows)
    entries = expand_records(order, start, counts)
    x = points_in_rows[entries, 2]
    y = points_in_rows[entries, 3]
    alive = np.ones(entries.size, dtype=bool)

    reached = np.logical_and.accumulate(~np.isnan(connected_crop_rows[:, 3:11:2]), axis=1)
    own_rows = own_information_rows(own_first, own_second, row_information)
    neighbour_rows = neighbour_information_rows(connected_crop_rows, row_information, reached)
    with np.errstate(all="ignore"):
        for slot in range(NEIGHBOUR_SLOTS):
            trimmed = reached[:, slot]
            if not trimmed.any():
                break
            rule = keep_rule(
                endpoints(row_information, own_rows),
                endpoints(row_information, np.where(trimmed, neighbour_rows[:, slot], own_rows)),
                tolerance,
            )
            trim_slot(alive, x, y, counts, trimmed, rule)
    return points_in_rows.take(entries[alive], axis=0)  # take gathers whole rows faster than indexing
