# The merge compiled with Numba: hash-table lookups, a parallel counting sort of the points, one trimming loop per record.
"""The row merge of `_native.merge_points_removing_overlap`, compiled with Numba.

Meant for well-formed inputs only, like the NumPy version: a missing row
information record raises ValueError instead of the module's failure. The
result is the module's: records in ascending order, each record's surviving
rows in the row order of `points_in_rows`.

fastmath stays off: every product and sum is rounded on its own, in the order
written, so the arithmetic matches the engine bit for bit.
"""

from __future__ import annotations

import math

import numba
import numpy as np

KEY_LIMIT = 18446744073709551616.0  # 2**64: from here on keys saturate
KEY_MAX = np.uint64(2**64 - 1)
EMPTY = -1
NO_NEIGHBOUR = -1
NEIGHBOUR_SLOTS = 4

# Division follows IEEE (x / 0.0 is an infinity or NaN), as in the engine.
jit = numba.njit(cache=True, error_model="numpy")
parallel_jit = numba.njit(cache=True, error_model="numpy", parallel=True)


@jit
def to_key(value):
    if not value >= 0.0:  # NaN and negatives
        return np.uint64(0)
    if value >= KEY_LIMIT:
        return KEY_MAX
    return np.uint64(value)


# An open-addressing table from a pair of 64-bit keys to a row, keeping the
# first row inserted for each pair.


@jit
def new_table(entries):
    capacity = 1
    while capacity < 2 * entries + 2:
        capacity *= 2
    return (
        np.zeros(capacity, dtype=np.uint64),
        np.zeros(capacity, dtype=np.uint64),
        np.full(capacity, EMPTY, dtype=np.int64),
    )


@jit
def slot_of(capacity, first, second):
    mixed = first * np.uint64(0x9E3779B97F4A7C15) ^ second * np.uint64(0xC2B2AE3D27D4EB4F)
    mixed ^= mixed >> np.uint64(29)
    mixed *= np.uint64(0xBF58476D1CE4E5B9)
    mixed ^= mixed >> np.uint64(32)
    return np.int64(mixed & np.uint64(capacity - 1))


@jit
def probe(table, first, second):
    """The slot holding the pair, or else the empty slot where it would go."""
    firsts, seconds, rows = table
    at = slot_of(rows.size, first, second)
    while rows[at] != EMPTY and not (firsts[at] == first and seconds[at] == second):
        at = (at + 1) & (rows.size - 1)
    return at


@jit
def insert_first(table, first, second, row):
    """Stores row for the pair unless the pair is there already; returns the row stored for it."""
    firsts, seconds, rows = table
    at = probe(table, first, second)
    if rows[at] == EMPTY:
        firsts[at] = first
        seconds[at] = second
        rows[at] = row
    return rows[at]


@jit
def find(table, first, second):
    return table[2][probe(table, first, second)]


@jit
def group_records(connected_crop_rows):
    """A group per distinct own key pair; the table maps a pair to its group."""
    records = connected_crop_rows.shape[0]
    table = new_table(records)
    group_of_record = np.empty(records, dtype=np.int64)
    groups = 0
    for r in range(records):
        first = to_key(connected_crop_rows[r, 1])
        second = to_key(connected_crop_rows[r, 2])
        group_of_record[r] = insert_first(table, first, second, groups)
        if group_of_record[r] == groups:
            groups += 1
    return table, group_of_record, groups


@parallel_jit
def sort_points_by_group(points_in_rows, table, groups, chunks):
    """Stable counting sort: each group's point rows, in row order, as one stretch of the returned order.

    Every chunk of rows is counted and scattered by its own thread.
    """
    points = points_in_rows.shape[0]
    group_of_point = np.empty(points, dtype=np.int64)
    for i in numba.prange(points):
        group_of_point[i] = find(table, to_key(points_in_rows[i, 0]), to_key(points_in_rows[i, 1]))

    chunk_size = (points + chunks - 1) // chunks
    counts = np.zeros((chunks, groups + 1), dtype=np.int64)
    for c in numba.prange(chunks):
        for i in range(c * chunk_size, min(points, (c + 1) * chunk_size)):
            if group_of_point[i] != EMPTY:
                counts[c, group_of_point[i]] += 1
    # Group-major, then chunk order, so every group keeps its points in row order.
    group_start = np.empty(groups + 1, dtype=np.int64)
    next_at = np.empty((chunks, groups), dtype=np.int64)
    total = 0
    for g in range(groups):
        group_start[g] = total
        for c in range(chunks):
            next_at[c, g] = total
            total += counts[c, g]
    group_start[groups] = total
    order = np.empty(total, dtype=np.int64)
    for c in numba.prange(chunks):
        for i in range(c * chunk_size, min(points, (c + 1) * chunk_size)):
            g = group_of_point[i]
            if g != EMPTY:
                order[next_at[c, g]] = i
                next_at[c, g] += 1
    return order, group_start


@jit
def own_information_rows(connected_crop_rows, row_information):
    table = new_table(row_information.shape[0])
    for i in range(row_information.shape[0]):
        insert_first(table, to_key(row_information[i, 0]), to_key(row_information[i, 4]), i)
    rows = np.empty(connected_crop_rows.shape[0], dtype=np.int64)
    for r in range(rows.size):
        rows[r] = find(table, to_key(connected_crop_rows[r, 1]), to_key(connected_crop_rows[r, 2]))
        if rows[r] == EMPTY:
            raise ValueError("a record's own crop row has no row information")
    return rows


@jit
def exact_bits(column):
    """Bit patterns equal exactly when the floats compare equal (-0.0 is folded into 0.0)."""
    return (column + 0.0).view(np.uint64)


@jit
def neighbour_information_rows(connected_crop_rows, row_information):
    """Row per (record, slot) by exact key equality; NO_NEIGHBOUR from the first NaN first key on."""
    table = new_table(row_information.shape[0])
    firsts = exact_bits(row_information[:, 0])
    seconds = exact_bits(row_information[:, 4])
    for i in range(row_information.shape[0]):
        if not (math.isnan(row_information[i, 0]) or math.isnan(row_information[i, 4])):
            insert_first(table, firsts[i], seconds[i], i)  # NaN equals nothing
    slot_bits = exact_bits(connected_crop_rows[:, 3:11])
    rows = np.full((connected_crop_rows.shape[0], NEIGHBOUR_SLOTS), NO_NEIGHBOUR, dtype=np.int64)
    for r in range(rows.shape[0]):
        for slot in range(NEIGHBOUR_SLOTS):
            if math.isnan(connected_crop_rows[r, 3 + 2 * slot]):
                break
            found = EMPTY
            if not math.isnan(connected_crop_rows[r, 4 + 2 * slot]):
                found = find(table, slot_bits[r, 2 * slot], slot_bits[r, 2 * slot + 1])
            if found == EMPTY:
                raise ValueError("a neighbour crop row has no row information")
            rows[r, slot] = found
    return rows


@jit
def distance(ax, ay, bx, by):
    return math.sqrt((ax - bx) * (ax - bx) + (ay - by) * (ay - by))


@jit
def trim_geometry(row_information, own_row, neighbour_row):
    """The foot point P and near endpoint B of the current row against one neighbour."""
    best = 0.0
    s = 0
    u = 0
    for l in range(3):
        for k in range(3):
            d = distance(
                row_information[own_row, 5 + 2 * l], row_information[own_row, 6 + 2 * l],
                row_information[neighbour_row, 5 + 2 * k], row_information[neighbour_row, 6 + 2 * k],
            )
            if d > best:  # strict: the earlier pair keeps a tie, NaN never wins
                best = d
                s = l
                u = k
    near = 1 if s == 0 else 0
    neighbour_near = 1 if u == 0 else 0
    far_x = row_information[own_row, 5 + 2 * s]
    far_y = row_information[own_row, 6 + 2 * s]
    near_x = row_information[own_row, 5 + 2 * near]
    near_y = row_information[own_row, 6 + 2 * near]
    middle_x = (near_x + row_information[neighbour_row, 5 + 2 * neighbour_near]) * 0.5
    middle_y = (near_y + row_information[neighbour_row, 6 + 2 * neighbour_near]) * 0.5
    ux = far_x - near_x
    uy = far_y - near_y
    wx = middle_x - near_x
    wy = middle_y - near_y
    num = (0.0 + wx * ux) + wy * uy
    den = (0.0 + ux * ux) + uy * uy
    t = num / den
    return near_x + t * ux, near_y + t * uy, near_x, near_y


@jit
def keep_point(x, y, px, py, bx, by, tol):
    if distance(px, py, bx, by) < tol:
        return not (math.isnan(x) or math.isnan(y))
    # The coordinate in which the foot point lies farther from the near end
    # decides alone; the other need only be a number. Equal distances, or a
    # NaN among them, leave it to the corner boxes.
    along_x = abs(bx - px)
    along_y = abs(by - py)
    if along_x > along_y:
        if px < bx:
            return not math.isnan(y) and (x <= px + tol or x >= bx + tol)
        return not math.isnan(y) and (x >= px - tol or x <= bx - tol)
    if along_y > along_x:
        if py < by:
            return not math.isnan(x) and (y <= py + tol or y >= by + tol)
        return not math.isnan(x) and (y >= py - tol or y <= by - tol)
    if px < bx and py < by:
        return (x <= px + tol and y <= py + tol) or (x >= bx + tol and y >= by + tol)
    if px < bx and py > by:
        return (x <= px + tol and y >= py - tol) or (x >= bx + tol and y <= by - tol)
    if px > bx and py > by:
        return (x >= px - tol and y >= py - tol) or (x <= bx - tol and y <= by - tol)
    return (x >= px - tol and y <= py + tol) or (x <= bx - tol and y >= by + tol)


@parallel_jit
def trim_records(points_in_rows, row_information, tolerance, order, group_start, group_of_record,
                 own_rows, neighbour_rows, entry_start, alive):
    """Marks in alive the entries that survive every neighbour; returns the survivors per record."""
    records = group_of_record.size
    kept = np.zeros(records, dtype=np.int64)
    for r in numba.prange(records):
        first_point = group_start[group_of_record[r]]
        entries = group_start[group_of_record[r] + 1] - first_point
        for slot in range(NEIGHBOUR_SLOTS):
            if neighbour_rows[r, slot] == NO_NEIGHBOUR:
                break
            px, py, bx, by = trim_geometry(row_information, own_rows[r], neighbour_rows[r, slot])
            for e in range(entries):
                at = entry_start[r] + e
                if alive[at]:
                    point = order[first_point + e]
                    alive[at] = keep_point(
                        points_in_rows[point, 2], points_in_rows[point, 3], px, py, bx, by, tolerance
                    )
        for e in range(entries):
            kept[r] += alive[entry_start[r] + e]
    return kept


@parallel_jit
def gather_survivors(points_in_rows, order, group_start, group_of_record, entry_start, alive, kept):
    records = group_of_record.size
    out_start = np.zeros(records + 1, dtype=np.int64)
    for r in range(records):
        out_start[r + 1] = out_start[r] + kept[r]
    result = np.empty((out_start[records], points_in_rows.shape[1]))
    for r in numba.prange(records):
        first_point = group_start[group_of_record[r]]
        out = out_start[r]
        for e in range(group_start[group_of_record[r] + 1] - first_point):
            if alive[entry_start[r] + e]:
                result[out, :] = points_in_rows[order[first_point + e], :]
                out += 1
    return result


@jit
def entry_starts(group_start, group_of_record):
    """Where each record's entries begin when all records' points are laid end to end."""
    starts = np.zeros(group_of_record.size + 1, dtype=np.int64)
    for r in range(group_of_record.size):
        g = group_of_record[r]
        starts[r + 1] = starts[r] + group_start[g + 1] - group_start[g]
    return starts


def merge(connected_crop_rows, points_in_rows, row_information, tolerance):
    """The surviving point rows of every record, records in ascending order."""
    assert connected_crop_rows.shape[1] >= 11, "records need all four neighbour slots"
    assert row_information.shape[1] == 11, "row information needs exactly 11 columns"
    assert points_in_rows.shape[1] >= 4, "points need x and y"
    connected_crop_rows = np.ascontiguousarray(connected_crop_rows)
    points_in_rows = np.ascontiguousarray(points_in_rows)
    row_information = np.ascontiguousarray(row_information)
    # Stages are compiled one by one: a parallel stage called from another
    # compiled function could not be cached on disk.
    table, group_of_record, groups = group_records(connected_crop_rows)
    order, group_start = sort_points_by_group(
        points_in_rows, table, groups, numba.get_num_threads()
    )
    own_rows = own_information_rows(connected_crop_rows, row_information)
    neighbour_rows = neighbour_information_rows(connected_crop_rows, row_information)
    entry_start = entry_starts(group_start, group_of_record)
    alive = np.ones(entry_start[-1], dtype=np.bool_)
    kept = trim_records(points_in_rows, row_information, float(tolerance), order, group_start,
                        group_of_record, own_rows, neighbour_rows, entry_start, alive)
    return gather_survivors(points_in_rows, order, group_start, group_of_record, entry_start,
                            alive, kept)
