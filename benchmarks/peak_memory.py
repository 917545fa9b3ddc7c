# Measures, in a process of its own, how much resident memory one call of the module adds at its peak.
"""Run as `python peak_memory.py DIR TOLERANCE THREADS`, where DIR holds the three inputs
saved by numpy.save under their parameter names. Prints one JSON object.

The module allocates natively, out of tracemalloc's sight, so the process's
peak resident set is read instead: the peak after the call minus the resident
set just before it, with the inputs already loaded. The peak is VmHWM of
/proc/self/status, not getrusage's ru_maxrss: the latter keeps the parent's
resident set from before exec, which can exceed everything this process does.
"""

from __future__ import annotations

import json
import pathlib
import sys

import numpy as np

import _native

INPUT_NAMES = ("connected_crop_rows", "points_in_rows", "row_information")
CLEAR_REFS = pathlib.Path("/proc/self/clear_refs")


def status_bytes(field: str) -> int:
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024  # given in kB
    raise LookupError(field)


def resident_bytes() -> int:
    return status_bytes("VmRSS")


def peak_resident_bytes() -> int:
    return status_bytes("VmHWM")


def reset_peak() -> bool:
    """Lowers the recorded peak to the present resident set, where the kernel allows it."""
    try:
        CLEAR_REFS.write_text("5")
    except OSError:
        return False
    return True


def main() -> None:
    directory = pathlib.Path(sys.argv[1])
    tolerance = float(sys.argv[2])
    threads = int(sys.argv[3])
    inputs = {name: np.load(directory / f"{name}.npy") for name in INPUT_NAMES}
    peak_was_reset = reset_peak()
    before = resident_bytes()
    earlier_peak = peak_resident_bytes()
    result = _native.merge_points_removing_overlap(**inputs, tolerance=tolerance, num_threads=threads)
    peak = peak_resident_bytes()
    print(json.dumps({
        "call_peak_bytes": peak - before,
        # Without a reset, a higher peak from before the call stands in for the call's own.
        "upper_bound_only": not peak_was_reset and earlier_peak > before,
        "input_bytes": sum(array.nbytes for array in inputs.values()),
        "result_bytes": result.nbytes,
    }))


if __name__ == "__main__":
    main()
