"""A synthetic field of crop rows for the sample, the benchmarks and the tests.

Parallel lines, slightly tilted unless `direction` says otherwise, are cut
into crop rows that overlap their neighbours on the same line; every other
crop row of a line may sit a little to the side (`stagger`), as rows of two
passes would. Every crop row is one connected-row record whose neighbour
slots name the rows before and after it; its row-information record carries
its start, end and middle as the three reference points. Points lie along
each crop row with a little sideways noise, carry two extra columns, and come
in random order.
"""

from __future__ import annotations

import numpy as np

TILTED = (1.0, 0.3)


def make_field(
    lines: int = 4,
    rows_per_line: int = 5,
    points_per_row: int = 200,
    *,
    row_length: float = 20.0,
    overlap: float = 2.0,
    line_spacing: float = 3.0,
    noise: float = 0.05,
    stagger: float = 0.0,
    direction: tuple[float, float] = TILTED,
    seed: int = 0,
) -> dict[str, np.ndarray]:
    """The three input arrays of a field, keyed by their parameter names.

    `direction` is the way the lines run, as a vector (x, y) of any length:
    (1, 0) lays them exactly along x, (0, 1) exactly along y.
    """
    rng = np.random.default_rng(seed)
    along_line = np.array(direction, dtype=float) / np.hypot(*direction)
    across_line = np.array([-along_line[1], along_line[0]])
    records = lines * rows_per_line
    line_of = np.repeat(np.arange(lines), rows_per_line)
    segment_of = np.tile(np.arange(rows_per_line), lines)
    first_key = (line_of + 1).astype(float)
    second_key = (segment_of + 1).astype(float)

    along_start = segment_of * (row_length - overlap)
    sideways_of = line_of * line_spacing + (segment_of % 2) * stagger
    origin = sideways_of[:, None] * across_line
    start = origin + along_start[:, None] * along_line
    end = start + row_length * along_line
    middle = (start + end) / 2

    connected = np.full((records, 11), np.nan)
    connected[:, 0] = np.arange(records)
    connected[:, 1] = first_key
    connected[:, 2] = second_key
    has_before = segment_of > 0
    has_after = segment_of < rows_per_line - 1
    # Slots fill from 0 with no gap: the row before (if any), then the row after.
    after_slot = np.where(has_before, 5, 3)
    connected[has_before, 3] = first_key[has_before]
    connected[has_before, 4] = second_key[has_before] - 1
    rows = np.flatnonzero(has_after)
    connected[rows, after_slot[rows]] = first_key[rows]
    connected[rows, after_slot[rows] + 1] = second_key[rows] + 1

    information = np.zeros((records, 11))
    information[:, 0] = first_key
    information[:, 1] = row_length
    information[:, 4] = second_key
    information[:, 5:7] = start
    information[:, 7:9] = end
    information[:, 9:11] = middle

    record_of_point = np.repeat(np.arange(records), points_per_row)
    along = rng.uniform(0.0, row_length, record_of_point.size)
    sideways = rng.normal(0.0, noise, record_of_point.size)
    xy = start[record_of_point] + along[:, None] * along_line + sideways[:, None] * across_line
    points = np.column_stack(
        [
            first_key[record_of_point],
            second_key[record_of_point],
            xy,
            rng.uniform(0.0, 1.0, record_of_point.size),
            np.arange(record_of_point.size, dtype=float),
        ]
    )
    points = points[rng.permutation(points.shape[0])]
    return {
        "connected_crop_rows": connected,
        "points_in_rows": points,
        "row_information": information,
    }
