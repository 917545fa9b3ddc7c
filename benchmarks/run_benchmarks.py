# Times the module's merge against a NumPy merge, a Numba merge and one copy of the points, on synthetic fields.
"""Benchmark of `_native.merge_points_removing_overlap`.

For synthetic fields from 1,000 points (10 records) to 10,000,000 points
(100,000 records), each size ten times the one before, it first checks that
the NumPy and Numba merges and the module on one thread give exactly the
module's result, then times each of them, after a warm-up, and prints one
table of medians and ratios. Last it measures the peak memory of one module
call on the field of a million points, in a fresh process.

The progress bar is turned off (NO_COLOR) so that it neither draws over the
table nor takes part in the timings.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "examples")]

import numba  # noqa: E402
import numpy as np  # noqa: E402

import _native  # noqa: E402
import numba_merge  # noqa: E402
import numpy_merge  # noqa: E402
from peak_memory import INPUT_NAMES  # noqa: E402
from synthetic_field import make_field  # noqa: E402

ROWS_PER_LINE = 10
POINTS_PER_ROW = 100
FULL_LINES = [1, 10, 100, 1000, 10000]
QUICK_LINES = [1, 10]
PEAK_MEMORY_LINES = 1000
MILLION = 1_000_000
MIN_SECONDS = 0.5
MAX_ROUNDS = 500
# glibc's mallopt parameters and their default, 128 KiB.
M_TRIM_THRESHOLD = -1
M_MMAP_THRESHOLD = -3
ALLOCATOR_THRESHOLD = 128 * 1024


def module_on(threads):
    def run(field, tolerance):
        return _native.merge_points_removing_overlap(**field, tolerance=tolerance, num_threads=threads)

    return run


CONTENDERS = {
    "module": module_on(0),
    "module 1T": module_on(1),
    "NumPy": lambda field, tolerance: numpy_merge.merge(**field, tolerance=tolerance),
    "Numba": lambda field, tolerance: numba_merge.merge(**field, tolerance=tolerance),
    "copy": lambda field, tolerance: np.copy(field["points_in_rows"]),
}
CHECKED = ("module 1T", "NumPy", "Numba")


def pin_allocator() -> bool:
    """Holds glibc's mmap and trim thresholds at their defaults.

    Left alone, glibc raises them as big blocks are freed, so whether an array
    of a few MB comes as fresh pages (and pays their faults) or from a warm
    heap would depend on what ran before it. Pinned, every block above 128 KiB
    is fresh memory, for every contender at every size.
    """
    try:
        mallopt = ctypes.CDLL(None).mallopt
    except AttributeError:
        return False
    return bool(mallopt(M_MMAP_THRESHOLD, ALLOCATOR_THRESHOLD) and mallopt(M_TRIM_THRESHOLD, ALLOCATOR_THRESHOLD))


def field_of(lines):
    return make_field(lines, ROWS_PER_LINE, POINTS_PER_ROW)


def check_results(field, tolerance):
    """Stops the run unless every merge gives exactly the module's result."""
    expected = CONTENDERS["module"](field, tolerance)
    for name in CHECKED:
        got = CONTENDERS[name](field, tolerance)
        if not np.array_equal(got, expected, equal_nan=True):
            points = field["points_in_rows"].shape[0]
            sys.exit(
                f"{name} differs from the module at {points} points: "
                f"{got.shape[0]} rows against the module's {expected.shape[0]}"
            )


def median_times(field, tolerance, repeats):
    """Median seconds per contender. Runs alternate, so a slow spell of the machine hits all alike.

    Small fields get more rounds, until they fill MIN_SECONDS, so that their medians settle too.
    """
    for run in CONTENDERS.values():
        run(field, tolerance)  # warm-up: compiles Numba, starts the pool's workers
    samples = {name: [] for name in CONTENDERS}
    began = time.perf_counter()
    rounds = 0
    while rounds < repeats or (time.perf_counter() - began < MIN_SECONDS and rounds < MAX_ROUNDS):
        rounds += 1
        for name, run in CONTENDERS.items():
            start = time.perf_counter()
            result = run(field, tolerance)
            samples[name].append(time.perf_counter() - start)
            del result  # freed outside the timed span
    return {name: statistics.median(times) for name, times in samples.items()}


COLUMNS = [
    ("points", 10), ("records", 7),
    ("module", 9), ("module 1T", 9), ("NumPy", 9), ("Numba", 9), ("copy", 9),
    ("NumPy/mod", 9), ("Numba/mod", 9), ("mod/copy", 8), ("1T/all", 6),
    ("x10 all", 7), ("x10 1T", 7),
]


def table_line(cells):
    return "  ".join(str(cell).rjust(width) for cell, (_, width) in zip(cells, COLUMNS))


def table_row(points, records, medians, previous):
    ms = [f"{medians[name] * 1000:.3g}" for name in CONTENDERS]
    module = medians["module"]
    growth = ["", ""]
    if previous is not None:
        growth = [f"{medians[name] / previous[name]:.2f}" for name in ("module", "module 1T")]
    return table_line([
        points, records, *ms,
        f"{medians['NumPy'] / module:.1f}", f"{medians['Numba'] / module:.1f}",
        f"{module / medians['copy']:.1f}", f"{medians['module 1T'] / module:.2f}", *growth,
    ])


def print_legend(tolerance, repeats, allocator_pinned):
    allocator = (
        "every block above 128 KiB is fresh memory from the system (glibc thresholds pinned)"
        if allocator_pinned else "the allocator's thresholds could not be pinned"
    )
    print(
        f"Median wall time in ms of at least {repeats} runs after a warm-up (small sizes: as many as fill "
        f"{MIN_SECONDS} s); tolerance {tolerance}; "
        f"{len(os.sched_getaffinity(0))} processors, Numba on {numba.get_num_threads()} threads; {allocator}.\n"
        "module: the module on all threads; module 1T: on 1 thread; copy: numpy.copy of points_in_rows.\n"
        "NumPy/mod, Numba/mod, mod/copy, 1T/all: ratios of those medians.\n"
        "x10 all, x10 1T: the module's time over its time at the size before, a tenth as big."
    )


def peak_memory(field, tolerance):
    """The module's peak memory on this field, measured by peak_memory.py in a fresh process."""
    with tempfile.TemporaryDirectory() as directory:
        for name in INPUT_NAMES:
            np.save(pathlib.Path(directory) / f"{name}.npy", field[name])
        child = subprocess.run(
            [sys.executable, str(HERE / "peak_memory.py"), directory, repr(tolerance), "0"],
            check=True, capture_output=True, text=True,
        )
    return json.loads(child.stdout)


def print_peak_memory(points, measured):
    beyond_result = measured["call_peak_bytes"] - measured["result_bytes"]
    bound = " (an upper bound: the peak could not be reset)" if measured["upper_bound_only"] else ""
    print(
        f"Peak memory of one call at {points} points, all threads: "
        f"{measured['call_peak_bytes'] / MILLION:.1f} MB above the resident set before it{bound}; "
        f"result {measured['result_bytes'] / MILLION:.1f} MB, inputs {measured['input_bytes'] / MILLION:.1f} MB; "
        f"beyond the result {beyond_result / MILLION:.1f} MB, "
        f"{beyond_result / measured['input_bytes']:.2f} of the inputs."
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="sizes up to 10,000 points only, at least 3 runs each")
    parser.add_argument("--repeats", type=int, help="timed runs per size (default 7, or 3 with --quick)")
    parser.add_argument("--tolerance", type=float, default=0.1)
    args = parser.parse_args()
    repeats = args.repeats or (3 if args.quick else 7)
    os.environ["NO_COLOR"] = "1"

    print_legend(args.tolerance, repeats, pin_allocator())
    print(table_line([name for name, _ in COLUMNS]))
    previous = None
    for lines in QUICK_LINES if args.quick else FULL_LINES:
        field = field_of(lines)
        points = field["points_in_rows"].shape[0]
        check_results(field, args.tolerance)
        medians = median_times(field, args.tolerance, repeats)
        print(table_row(points, field["connected_crop_rows"].shape[0], medians, previous), flush=True)
        previous = medians
    lines = min(PEAK_MEMORY_LINES, lines)
    field = field_of(lines)
    print_peak_memory(field["points_in_rows"].shape[0], peak_memory(field, args.tolerance))


if __name__ == "__main__":
    main()
