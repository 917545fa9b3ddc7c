"""Writes the points of a sample field alone, labelled with their crop rows, as a user's detector
would hand them over: the input of `crop-row-merge connect`.

By default the main job's sample field; with --utm a larger field in UTM coordinates (60 lines
0.75 apart, at an angle, near x = 500,000 and y = 5,700,000), as a real field comes.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

import numpy as np  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.csv  # noqa: E402
import pyarrow.parquet  # noqa: E402

from synthetic_field import make_field  # noqa: E402

SAMPLE = {"lines": 10, "rows_per_line": 8, "points_per_row": 1000, "stagger": 0.3}
UTM_ORIGIN = (500_012.3, 5_700_047.6)
UTM = {
    "lines": 60, "rows_per_line": 8, "points_per_row": 400, "row_length": 25.0, "overlap": 0.6,
    "line_spacing": 0.75, "noise": 0.03, "direction": (math.cos(math.radians(28)), math.sin(math.radians(28))),
}
COLUMNS = ["row_key_1", "row_key_2", "x", "y", "confidence", "point_id"]


def sample_points(utm: bool = False) -> np.ndarray:
    """The points table of the sample field: keys, x, y, a confidence and an id."""
    points = make_field(**(UTM if utm else SAMPLE))["points_in_rows"]
    if utm:
        points[:, 2:4] += UTM_ORIGIN
    return points


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("output", type=pathlib.Path, help="a .parquet or .csv file")
    parser.add_argument("--utm", action="store_true", help="the larger field in UTM coordinates")
    args = parser.parse_args()
    points = sample_points(args.utm)
    table = pa.table({name: points[:, i] for i, name in enumerate(COLUMNS)})
    if args.output.suffix == ".csv":
        pyarrow.csv.write_csv(table, args.output)
    else:
        pyarrow.parquet.write_table(table, args.output)
    print(f"wrote {len(points):,} points to {args.output}")


if __name__ == "__main__":
    main()
