"""Out of memory: a call whose working memory or result cannot be allocated raises MemoryError, and life goes on."""

import pytest

from support import run_python

# The child warms up (NumPy loaded, worker pool started), makes its inputs,
# then caps its address space a little above what it uses and calls.
UNDER_A_LIMIT = """
import resource
import numpy as np, _native
from support import junction_field

merge = _native.merge_points_removing_overlap
field = junction_field()
expected = merge(**field, tolerance=0.1, num_threads=2)

def address_space():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * resource.getpagesize()

# RECORDS records of crop row (1, 1), without neighbours, each keeping all
# of its POINTS points.
points = POINTS_ARRAY
connected = np.tile([0.0, 1.0, 1.0] + [np.nan] * 8, (RECORDS, 1))
information = np.array([[1.0, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5]])

resource.setrlimit(resource.RLIMIT_AS, (address_space() + (HEADROOM_MB << 20), resource.RLIM_INFINITY))
try:
    merge(connected, points, information, 0.1, 2)
except BaseException as error:
    print(type(error).__name__, error)
else:
    print("no error")
# Still under the limit, the interpreter and the function carry on.
print(np.array_equal(merge(**field, tolerance=0.1, num_threads=2), expected))
print(len([str(n) for n in range(100_000)]))
"""


@pytest.mark.parametrize(
    "points, records, headroom_mb, message",
    [
        # A gigabyte of working memory for 2^28 points (held by NumPy in one
        # element) does not fit.
        ("np.broadcast_to(np.ones((1, 4)), (2**28, 4))", 1, 256, "working memory"),
        # A 160 MiB result does not fit in 128 MiB.
        ("np.ones((655_360, 32))", 1, 128, "655360 rows of 32 columns, 167772160 bytes"),
        # 200 records of one crop row each get a copy of its half-million
        # points: 3.2 GB.
        pytest.param(
            "np.ones((500_000, 4))", 200, 256, "100000000 rows of 4 columns, 3200000000 bytes",
            marks=pytest.mark.not_sanitized("the sanitizer runtime aborts when its own bookkeeping finds no memory"),
        ),
    ],
    ids=["working memory", "result", "records sharing a crop row"],
)
def test_allocation_failure_raises_memory_error_and_the_interpreter_goes_on(points, records, headroom_mb, message):
    code = UNDER_A_LIMIT
    for name, value in [("POINTS_ARRAY", points), ("RECORDS", records), ("HEADROOM_MB", headroom_mb)]:
        code = code.replace(name, str(value))
    completed = run_python(code)
    assert completed.returncode == 0, completed.stderr[-3000:]
    failure, *rest = completed.stdout.splitlines()
    assert failure.startswith("MemoryError") and message in failure, failure
    assert rest == ["True", "100000"]


def test_a_result_too_big_is_refused_before_memory_grows_with_it():
    # 10,000 records of one 100,000-point crop row, each owed a full copy:
    # 48 GB. The call must find that out from counts, not by building
    # anything that size, and say what it would need.
    completed = run_python(
        """
        import resource
        import numpy as np, _native
        points = np.ones((100_000, 6))
        connected = np.tile([0.0, 1.0, 1.0, 1.0, 1.0] + [np.nan] * 6, (10_000, 1))
        information = np.array([[1.0, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5]])
        _native.merge_points_removing_overlap(connected[:1], points, information, 0.1, 2)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (2 << 30), resource.RLIM_INFINITY))
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            _native.merge_points_removing_overlap(connected, points, information, 0.1, 2)
        except MemoryError as error:
            print(error)
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
        """
    )
    assert completed.returncode == 0, completed.stderr[-3000:]
    message, growth_mb = completed.stdout.splitlines()
    assert message == (
        "the merged points need 1000000000 rows of 6 columns, 48000000000 bytes, which could not be allocated"
    )
    assert int(growth_mb) < 64


@pytest.mark.not_sanitized("the sanitizer runtime holds freed memory in a quarantine before it returns it")
def test_working_memory_of_a_big_call_is_given_back_by_a_much_smaller_one():
    # 2^24 points held by NumPy in one element, of no record's crop row: the
    # call keeps 4 bytes of working memory per point for the next call, and a
    # small call does not need it.
    completed = run_python(
        """
        import os, numpy as np, _native
        from support import junction_field

        def resident_mb():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") >> 20

        field = junction_field()
        merge = _native.merge_points_removing_overlap
        merge(**field, tolerance=0.1, num_threads=2)
        nowhere = np.broadcast_to(np.array([[7.0, 7.0, 0.0, 0.0]]), (2**24, 4))
        before = resident_mb()
        merge(field["connected_crop_rows"], nowhere, field["row_information"], 0.1, 2)
        kept = resident_mb()
        merge(field["connected_crop_rows"], nowhere, field["row_information"], 0.1, 2)
        again = resident_mb()
        merge(**field, tolerance=0.1, num_threads=2)
        print(kept - before, again - kept, resident_mb() - before)
        """
    )
    assert completed.returncode == 0, completed.stderr[-3000:]
    kept, again, left = map(int, completed.stdout.split())
    assert kept >= 60  # 64 MiB for 2^24 points, kept after the call
    assert again <= 2  # the next call of that size reuses it
    assert left <= 4  # and a small call gives it back
