"""Runs the merge on a built-in synthetic field and prints what went in and what came out."""

from __future__ import annotations

import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

import _native  # noqa: E402
from synthetic_field import make_field  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--lines", type=int, default=40)
    parser.add_argument("--rows-per-line", type=int, default=25)
    parser.add_argument("--points-per-row", type=int, default=1000)
    parser.add_argument("--tolerance", type=float, default=0.1)
    parser.add_argument("--threads", type=int, default=0)
    args = parser.parse_args()

    field = make_field(args.lines, args.rows_per_line, args.points_per_row)
    result = _native.merge_points_removing_overlap(
        **field, tolerance=args.tolerance, num_threads=args.threads
    )
    points = field["points_in_rows"]
    print(f"records:     {field['connected_crop_rows'].shape[0]}")
    print(f"points in:   {points.shape[0]}")
    print(f"points kept: {result.shape[0]}")
    print(f"dropped:     {points.shape[0] - result.shape[0]}")


if __name__ == "__main__":
    main()
