"""How failures reach the caller: PanicException with a report on stderr, and MemoryError."""

import re
import sys

import numpy as np
import pytest

import _native
from support import junction_field, run_python

merge = _native.merge_points_removing_overlap


def test_failure_report_names_thread_and_place_once_with_a_note():
    completed = run_python(
        """
        import numpy as np, os, _native
        from support import junction_field
        field = dict(junction_field(), row_information=np.zeros((0, 11)))
        field["connected_crop_rows"] = field["connected_crop_rows"][:1]
        for _ in range(2):
            try:
                _native.merge_points_removing_overlap(**field, tolerance=0.1, num_threads=1)
            except BaseException as error:
                print(type(error).__name__, error.args)
        print(os.getpid())
        """
    )
    first, second, pid = completed.stdout.splitlines()
    assert first == second == "PanicException ('called `Option::unwrap()` on a `None` value',)"
    report = (
        rf"\nthread 'main' \({pid}\) panicked at src/merge_engine/\w+\.cpp:\d+:\d+:\n"
        r"called `Option::unwrap\(\)` on a `None` value\n"
    )
    assert len(re.findall(report, completed.stderr)) == 2
    # Only the first report of the process explains how to get a backtrace.
    assert completed.stderr.count("note: ") == 1


def test_input_too_big_for_the_working_memory_raises_memory_error():
    field = junction_field()
    # 2^50 points behind one element: NumPy holds them, but the call needs a
    # few bytes of working memory per point, and 4 PiB cannot be had.
    huge = np.broadcast_to(np.zeros((1, 1)), (2**50, 8))
    count = sys.getrefcount(huge)
    with pytest.raises(MemoryError, match="working memory"):
        merge(field["connected_crop_rows"], huge, field["row_information"], 0.1, 2)
    assert sys.getrefcount(huge) == count
    assert merge(**field, tolerance=0.1, num_threads=2).shape == (6, 5)
