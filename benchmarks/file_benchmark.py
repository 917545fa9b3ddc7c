# Times the package's file-to-file merge against its pieces, its Parquet writer against pyarrow's
# defaults, and a batch against a plain loop.
"""Benchmark of the package's file work.

For fields of 100,000 and 1,000,000 points, as folders of Parquet tables, of CSV tables and as
.npz files, it times in interleaved rounds (medians):

- `merge_field` from the field to a file of the same format;
- its pieces, each alone and added up: reading the three tables (pyarrow, or NumPy for .npz),
  one call of the module on the points' float64 columns, and writing the merged points with the
  package's settings, as durably as the package writes them (flushed to the disk);
- for Parquet, the package's writer of merged points against `pyarrow.parquet.write_table` with
  its defaults, and the size of each file.

Then it merges 200 fields of 100,000 points with a plain loop of `merge_field` (each merge on all
cores), with `merge_fields` on a local cluster of one worker per core that it starts and stops,
and on one already running, and checks that their outputs are identical. It names the processor
and prints one table per part. The module's progress bar is off (NO_COLOR).
"""

from __future__ import annotations

import argparse
import os
import pathlib
import platform
import shutil
import statistics
import sys
import tempfile
import time
from collections.abc import Callable

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))

import numpy as np  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.csv  # noqa: E402
import pyarrow.parquet  # noqa: E402
from dask.system import CPU_COUNT  # noqa: E402

import _native  # noqa: E402
import crop_row_merge  # noqa: E402
from crop_row_merge._local_cluster import local_client  # noqa: E402
from crop_row_merge._outputs import write_arrays, write_table  # noqa: E402
from synthetic_field import make_field  # noqa: E402

TABLES = crop_row_merge.TABLES
ROWS_PER_LINE = 10
POINTS_PER_ROW = 100
UTM = (500_000.0, 5_700_000.0)


def processor() -> str:
    with open("/proc/cpuinfo") as info:
        names = [line.split(":", 1)[1].strip() for line in info if line.startswith("model name")]
    return f"{names[0] if names else platform.processor()}, {len(os.sched_getaffinity(0))} processors"


def field_of(points: int, seed: int = 0) -> dict[str, np.ndarray]:
    """A synthetic field in UTM coordinates, its points with a confidence and an id."""
    field = make_field(max(1, points // (ROWS_PER_LINE * POINTS_PER_ROW)), ROWS_PER_LINE, POINTS_PER_ROW,
                       stagger=0.3, seed=seed)
    field["points_in_rows"][:, 2:4] += UTM
    field["row_information"][:, 5:11] += np.tile(UTM, 3)
    return field


def timed(call: Callable[[], object]) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def medians(contenders: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    """Each contender once per round, in turn, so that the machine's drift spreads over all."""
    times: dict[str, list[float]] = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, call in contenders.items():
            times[name].append(timed(call))
    return {name: statistics.median(values) for name, values in times.items()}


def read_tables(folder: pathlib.Path, suffix: str) -> dict[str, pa.Table]:
    read = pyarrow.parquet.read_table if suffix == ".parquet" else pyarrow.csv.read_csv
    return {table: read(folder / f"{table}{suffix}") for table in TABLES}


def as_matrix(table: pa.Table) -> np.ndarray:
    matrix = np.empty((table.num_rows, table.num_columns), order="F")
    for i, column in enumerate(table.columns):
        matrix[:, i] = column.to_numpy()
    return matrix


def pieces(field_path: pathlib.Path, suffix: str, output: pathlib.Path) -> dict[str, Callable[[], object]]:
    """Reading, the module's call and writing, each alone, as the least a merge must do."""
    if suffix == ".npz":
        def read() -> dict[str, np.ndarray]:
            with np.load(field_path) as stored:
                return {table: stored[table] for table in TABLES}
    else:
        def read() -> dict[str, np.ndarray]:
            return {table: as_matrix(arrow) for table, arrow in read_tables(field_path, suffix).items()}
    arrays = read()
    merged = _native.merge_points_removing_overlap(**arrays, tolerance=0.1, num_threads=0)
    names = crop_row_merge.read_field(field_path).column_names["points_in_rows"]
    merged_table = pa.table([merged[:, i] for i in range(merged.shape[1])], names=list(names))

    def write() -> None:
        if suffix == ".npz":
            write_arrays(output, {"merged_points": merged})
        else:
            write_table(output, merged_table, keys=names[:2])

    return {
        "read": read,
        "module": lambda: _native.merge_points_removing_overlap(**arrays, tolerance=0.1, num_threads=0),
        "write": write,
    }


def file_part(points: int, work: pathlib.Path, rounds: int) -> None:
    field = field_of(points)
    print(f"\n{points:,} points ({len(field['connected_crop_rows']):,} crop rows), times in ms")
    print(f"  {'format':<8} {'read':>8} {'module':>8} {'write':>8} {'sum':>8} {'merge_field':>12} {'ratio':>6}")
    for suffix in (".parquet", ".csv", ".npz"):
        path = work / f"field{points}{'.npz' if suffix == '.npz' else suffix.replace('.', '-')}"
        crop_row_merge.write_field(path, field, format=suffix[1:])
        contenders = pieces(path, suffix, work / f"pieces{suffix}")
        contenders["merge_field"] = lambda: crop_row_merge.merge_field(path, work / f"merged{suffix}")
        result = medians(contenders, rounds)
        total = result["read"] + result["module"] + result["write"]
        print(
            f"  {suffix[1:]:<8} {result['read'] * 1e3:>8.2f} {result['module'] * 1e3:>8.2f} "
            f"{result['write'] * 1e3:>8.2f} {total * 1e3:>8.2f} {result['merge_field'] * 1e3:>12.2f} "
            f"{result['merge_field'] / total:>6.2f}"
        )
    writer_part(field, work, rounds)


def writer_part(field: dict[str, np.ndarray], work: pathlib.Path, rounds: int) -> None:
    merged = crop_row_merge.merge_tables(field["connected_crop_rows"], field["points_in_rows"], field["row_information"])
    table = pa.Table.from_pandas(merged.drop(columns=["record", "source_row"]), preserve_index=False)
    ours, defaults = work / "ours.parquet", work / "defaults.parquet"
    result = medians(
        {
            "package": lambda: write_table(ours, table, keys=["row_key_1", "row_key_2"]),
            "defaults": lambda: pyarrow.parquet.write_table(table, defaults),
        },
        rounds,
    )
    assert pyarrow.parquet.read_table(ours).equals(pyarrow.parquet.read_table(defaults))
    print(
        f"  Parquet writer of {len(table):,} merged points: the package's {result['package'] * 1e3:.2f} ms, "
        f"{ours.stat().st_size / 1e6:.2f} MB; pyarrow's defaults {result['defaults'] * 1e3:.2f} ms, "
        f"{defaults.stat().st_size / 1e6:.2f} MB; {result['defaults'] / result['package']:.2f}x faster, "
        f"{ours.stat().st_size / defaults.stat().st_size:.2f} of the size"
    )


def batch_part(fields: int, points: int, work: pathlib.Path) -> None:
    paths = [crop_row_merge.write_field(work / "fields" / f"field{i:04d}", field_of(points, seed=i)) for i in range(fields)]
    (work / "loop").mkdir()
    loop = timed(lambda: [crop_row_merge.merge_field(path, work / "loop" / f"{path.name}.parquet") for path in paths])
    started = timed(lambda: crop_row_merge.merge_fields(paths, work / "started"))
    with local_client(None) as client:
        crop_row_merge.merge_fields(paths[:CPU_COUNT], work / "warm", client)  # the workers' imports
        running = timed(lambda: crop_row_merge.merge_fields(paths, work / "running", client))
    for path in paths:
        expected = pyarrow.parquet.read_table(work / "loop" / f"{path.name}.parquet")
        for batch in ("started", "running"):
            if not pyarrow.parquet.read_table(work / batch / f"{path.name}.parquet").equals(expected):
                raise SystemExit(f"the batch's output of {path.name} differs from the loop's")
    print(f"\n{fields} fields of {points:,} points as Parquet, {CPU_COUNT} cores, {CPU_COUNT} workers")
    print(f"  {'':<44} {'seconds':>8} {'fields/s':>9}")
    print(f"  {'plain loop of merge_field':<44} {loop:>8.2f} {fields / loop:>9.1f}")
    print(f"  {'merge_fields, cluster start and stop':<44} {started:>8.2f} {fields / started:>9.1f}")
    print(f"  {'merge_fields, cluster running':<44} {running:>8.2f} {fields / running:>9.1f}")
    print(f"  the batch on a running cluster does {loop / running:.2f}x the fields per second of the loop")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=15, help="timed rounds per contender (default 15)")
    parser.add_argument("--fields", type=int, default=200, help="fields in the batch (default 200)")
    parser.add_argument("--quick", action="store_true", help="100,000 points only, and a batch of 20")
    args = parser.parse_args()
    os.environ["NO_COLOR"] = "1"  # no progress bar in the timings
    print(f"{processor()}; NumPy {np.__version__}, pyarrow {pa.__version__}")
    work = pathlib.Path(tempfile.mkdtemp(prefix="file-benchmark-"))
    try:
        for points in (100_000,) if args.quick else (100_000, 1_000_000):
            file_part(points, work, args.rounds)
        batch_part(20 if args.quick else args.fields, 100_000, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
