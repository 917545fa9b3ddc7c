# Times a batch of Parquet fields on a local Dask cluster against a plain loop in one process.
"""Benchmark of `crop_row_merge.merge_fields`.

It writes 200 synthetic fields of 100,000 points each as folders of Parquet tables, then merges
all of them three times, each time reading every field, merging it and writing its result as
Parquet:

- a plain loop in this process, one `merge_field` call after another, each merge on all cores
  (num_threads 0);
- a batch on a local cluster that `merge_fields` starts and stops itself (one worker process
  per core by default, each merge on its worker's share of the cores), start and stop included;
- the same batch on a local cluster that is already running.

It checks that every output of the batches is bit for bit the plain loop's, then prints one
table of seconds, fields per second and points per second. The module's progress bar is turned
off (NO_COLOR) so that it neither draws over the table nor takes part in the timings.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))

import numpy as np  # noqa: E402
import pyarrow.parquet  # noqa: E402
from dask.system import CPU_COUNT  # noqa: E402

import crop_row_merge  # noqa: E402
from crop_row_merge._local_cluster import local_client  # noqa: E402
from synthetic_field import make_field  # noqa: E402

ROWS_PER_LINE = 10
LINES = 10  # 100 crop rows a field


def write_fields(folder: pathlib.Path, count: int, points: int) -> list[pathlib.Path]:
    points_per_row = max(1, points // (LINES * ROWS_PER_LINE))
    paths = []
    for index in range(count):
        field = make_field(LINES, ROWS_PER_LINE, points_per_row, stagger=0.3, seed=index)
        paths.append(crop_row_merge.write_field(folder / f"field{index:04d}", field))
    return paths


def plain_loop(paths: list[pathlib.Path], out: pathlib.Path, tolerance: float) -> int:
    out.mkdir()
    kept = 0
    for path in paths:
        kept += len(crop_row_merge.merge_field(path, out / f"{path.name}.parquet", tolerance=tolerance))
    return kept


def check_batch(summary, reference: pathlib.Path, out: pathlib.Path) -> None:
    failed = summary[summary["status"] != "ok"]
    if len(failed):
        raise SystemExit(f"the batch did not merge every field:\n{failed.to_string()}")
    for name in summary["field"]:
        expected = pyarrow.parquet.read_table(reference / f"{name}.parquet")
        actual = pyarrow.parquet.read_table(out / f"{name}.parquet")
        if actual.column_names != expected.column_names or any(
            not np.array_equal(a.to_numpy().view(np.uint64), e.to_numpy().view(np.uint64))
            for a, e in zip(actual.columns, expected.columns)
        ):
            raise SystemExit(f"the batch's {name}.parquet differs from the plain loop's")


def table_row(name: str, seconds: float, fields: int, points: int) -> str:
    return f"{name:<44} {seconds:>9.2f} {fields / seconds:>9.1f} {points / seconds:>13,.0f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fields", type=int, default=200, help="fields in the batch (default 200)")
    parser.add_argument("--points", type=int, default=100_000, help="points per field (default 100,000)")
    parser.add_argument("--workers", type=int, default=CPU_COUNT, help="worker processes (default one per core)")
    parser.add_argument("--tolerance", type=float, default=0.1)
    parser.add_argument("--keep", type=pathlib.Path, metavar="DIR",
                        help="write fields and outputs here and leave them (default: a temporary folder)")
    args = parser.parse_args()
    os.environ["NO_COLOR"] = "1"

    work = args.keep or pathlib.Path(tempfile.mkdtemp(prefix="batch-benchmark-"))
    try:
        start = time.perf_counter()
        paths = write_fields(work / "fields", args.fields, args.points)
        points = sum(crop_row_merge.read_field(path).points_in_rows.shape[0] for path in paths)
        print(
            f"{len(paths)} fields of {points // len(paths):,} points as Parquet, written in "
            f"{time.perf_counter() - start:.1f} s; {CPU_COUNT} cores, {args.workers} workers, "
            f"tolerance {args.tolerance:g}"
        )

        rows = []
        start = time.perf_counter()
        plain_loop(paths, work / "loop", args.tolerance)
        rows.append(("plain loop, one process", time.perf_counter() - start))

        start = time.perf_counter()
        summary = crop_row_merge.merge_fields(paths, work / "batch", workers=args.workers, tolerance=args.tolerance)
        rows.append((f"batch, {args.workers} workers, cluster start and stop", time.perf_counter() - start))
        check_batch(summary, work / "loop", work / "batch")

        with local_client(args.workers) as client:
            start = time.perf_counter()
            summary = crop_row_merge.merge_fields(paths, work / "running", client, tolerance=args.tolerance)
            rows.append((f"batch, {args.workers} workers, cluster running", time.perf_counter() - start))
        check_batch(summary, work / "loop", work / "running")

        print(f"{'':<44} {'seconds':>9} {'fields/s':>9} {'points/s':>13}")
        for name, seconds in rows:
            print(table_row(name, seconds, len(paths), points))
    finally:
        if args.keep is None:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
