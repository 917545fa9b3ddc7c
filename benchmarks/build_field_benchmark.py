# Times crop_row_merge.build_field on synthetic fields of a million and ten million points.
"""Benchmark of `crop_row_merge.build_field`.

For each size it generates a synthetic field (crop rows 10 long with 100 points each, 100 crop
rows per line, lines 0.75 apart at an angle, rows overlapping by 0.6, points in random order),
builds the field
from its points alone, and prints the seconds of the fastest of the timed runs, with a check that
the neighbours found are the field's own.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))

import numpy as np  # noqa: E402

import crop_row_merge  # noqa: E402
from synthetic_field import make_field  # noqa: E402

POINTS_PER_ROW = 100
ROWS_PER_LINE = 100
SIZES = (1_000_000, 10_000_000)


def neighbour_pairs(connected: np.ndarray) -> set[tuple[float, ...]]:
    pairs = set()
    for record in connected:
        for slot in range(4):
            if math.isnan(record[3 + 2 * slot]):
                break
            own, other = tuple(record[1:3]), tuple(record[3 + 2 * slot : 5 + 2 * slot])
            pairs.add(min(own, other) + max(own, other))
    return pairs


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=3, help="timed runs per size (default 3)")
    parser.add_argument("--quick", action="store_true", help="stop at 100,000 points, for a smoke run")
    args = parser.parse_args()
    sizes = (100_000,) if args.quick else SIZES
    print("    points  crop rows   seconds  neighbours as generated")
    for points in sizes:
        lines = points // (POINTS_PER_ROW * ROWS_PER_LINE)
        field = make_field(lines, ROWS_PER_LINE, POINTS_PER_ROW, row_length=10.0, overlap=0.6, line_spacing=0.75)
        times = []
        for _ in range(args.repeats):
            start = time.perf_counter()
            built = crop_row_merge.build_field(field["points_in_rows"])
            times.append(time.perf_counter() - start)
        same = neighbour_pairs(built.connected_crop_rows) == neighbour_pairs(field["connected_crop_rows"])
        rows = lines * ROWS_PER_LINE
        print(f"{points:>10,}  {rows:>9,}  {min(times):>8.2f}  {'yes' if same else 'NO'}", flush=True)


if __name__ == "__main__":
    main()
