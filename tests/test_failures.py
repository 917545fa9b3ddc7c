"""How failures reach the caller: PanicException with a report on stderr, and MemoryError."""

import os
import pathlib
import re
import subprocess
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


def test_a_thread_that_turns_reports_off_writes_none_and_other_threads_still_do():
    # For a caller that reports failures itself, as the crop_row_merge package does.
    completed = run_python(
        """
        import sys, threading, numpy as np, _native
        from support import junction_field
        field = dict(junction_field(), row_information=np.zeros((0, 11)))

        def fail(label):
            try:
                _native.merge_points_removing_overlap(**field, tolerance=0.1, num_threads=1)
            except BaseException as error:
                print(label, type(error).__name__, error.__notes__[0][:8], flush=True)
            sys.stderr.flush()

        print(_native._set_failure_reports(False))
        fail("off")
        other = threading.Thread(target=fail, args=("other",))
        other.start()
        other.join()
        print(_native._set_failure_reports(True))
        fail("on")
        """
    )
    assert completed.stdout.splitlines() == [
        "True", "off PanicException record 0", "other PanicException record 0", "False", "on PanicException record 0",
    ]
    assert completed.stderr.count("panicked at") == 2  # the other thread's call, and the last one


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


def field_with(**changes):
    field = junction_field()
    for name, change in changes.items():
        field[name] = change(field[name].copy())
    return field


def set_cell(row, column, value):
    def change(array):
        array[row, column] = value
        return array

    return change


# Each failing field, its unchanged message, and the note that says what to fix.
FAILING_FIELDS = [
    (
        field_with(row_information=lambda a: a[1:]),
        "called `Option::unwrap()` on a `None` value",
        "record 0 (row 0 of connected_crop_rows): crop row (1, 1) has no row in row_information",
    ),
    (
        field_with(connected_crop_rows=set_cell(1, 4, 2.5)),
        "called `Option::unwrap()` on a `None` value",
        "record 1 (row 1 of connected_crop_rows): neighbour slot 0 names row (1, 2.5), which "
        "row_information does not have",
    ),
    (
        field_with(points_in_rows=lambda a: a[:, :3]),
        "ndarray: index out of bounds",
        "record 0 (row 0 of connected_crop_rows): points_in_rows has 3 columns; trimming a point "
        "against a neighbour reads columns 2 and 3 (x, y)",
    ),
    (
        field_with(row_information=lambda a: np.hstack([a, a[:, :1]])),
        "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible shapes",
        "record 0 (row 0 of connected_crop_rows): row_information has 12 columns; records with "
        "neighbours need exactly 11",
    ),
    (
        field_with(connected_crop_rows=lambda a: a[:, :2]),
        "ndarray: index out of bounds",
        "record 0 (row 0 of connected_crop_rows): connected_crop_rows has 2 columns; a record's own "
        "crop row is read from columns 1 and 2",
    ),
    (
        field_with(connected_crop_rows=lambda a: a[:, :4]),
        "ndarray: index out of bounds",
        "record 0 (row 0 of connected_crop_rows): neighbour slot 0 reads column 4 of "
        "connected_crop_rows, which has 4 columns",
    ),
    (
        field_with(row_information=lambda a: a[:, :3]),
        "ndarray: index out of bounds",
        "record 0 (row 0 of connected_crop_rows): row_information has 3 columns; row 0 matches the "
        "first key of crop row (1, 1), so its column 4 (the second key) is read",
    ),
    (
        field_with(points_in_rows=lambda a: a[:, :1]),
        "ndarray: index out of bounds",
        "record 0 (row 0 of connected_crop_rows): points_in_rows has 1 column; point row 0 has the "
        "first key of crop row (1, 1), so its column 1 (the second key) is read",
    ),
]


@pytest.mark.parametrize("field, message, note", FAILING_FIELDS)
@pytest.mark.parametrize("threads", [1, 3])
def test_failure_keeps_its_message_and_notes_what_to_fix(field, message, note, threads):
    with pytest.raises(BaseException) as caught:
        merge(**field, tolerance=0.1, num_threads=threads)
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == (message,)
    [written] = caught.value.__notes__
    assert written.startswith(note), written


def test_many_failing_records_write_one_report_and_one_count():
    completed = run_python(
        """
        import numpy as np, _native
        records = np.zeros((5000, 11))
        records[:, 1] = np.arange(5000)
        records[:, 3] = np.nan
        information = np.zeros((1, 11))
        information[0, 0] = 17.0  # only record 17 finds its own row
        try:
            _native.merge_points_removing_overlap(records, np.zeros((0, 6)), information, 0.1, 64)
        except BaseException as error:
            print(error.args[0])
            print(error.__notes__)
        """
    )
    message, notes = completed.stdout.splitlines()
    assert message == "called `Option::unwrap()` on a `None` value"
    # The lowest-numbered failing record is the one reported.
    assert notes.startswith("['record 0 (row 0 of connected_crop_rows): crop row (0, 0) has no row")
    assert completed.stderr.count("panicked at") == 1
    assert "4998 other records of this call failed too" in completed.stderr
    assert len(completed.stderr) < 1000


# The interpreter starts with descriptor 2 closed; the first file opened
# takes its number, before or after the module is imported. The module must
# leave that file alone: no failure report, no progress bar.
WITHOUT_STDERR = """
import os, sys
assert sys.__stderr__ is None
kind, when, target = sys.argv[1:]

def take_descriptor_2():
    if kind == "file":
        taken = os.open(target, os.O_WRONLY | os.O_CREAT)
        assert taken == 2, taken
        return None
    # A terminal: its other end stays with us, to read what reached it.
    placeholder = os.open(os.devnull, os.O_RDONLY)
    assert placeholder == 2, placeholder
    parent, child = os.openpty()
    os.dup2(child, 2)
    os.close(child)
    os.environ["TERM"] = "xterm"
    return parent

if when == "before":
    parent = take_descriptor_2()
    import _native
else:
    import _native
    parent = take_descriptor_2()
import numpy as np
from support import junction_field

field = junction_field()
for _ in range(3):
    try:
        _native.merge_points_removing_overlap(**dict(field, row_information=np.zeros((0, 11))), tolerance=0.1, num_threads=2)
    except BaseException as error:
        assert type(error).__name__ == "PanicException"
records = np.tile(field["connected_crop_rows"], (20_000, 1))
_native.merge_points_removing_overlap(records, field["points_in_rows"], field["row_information"], 0.1, 2)
shown = b""
if parent is not None:
    os.set_blocking(parent, False)
    try:
        shown = os.read(parent, 65536)
    except BlockingIOError:
        pass
print(len(shown))
"""


@pytest.mark.parametrize("kind", ["file", "terminal"])
@pytest.mark.parametrize("when", ["before", "after"])
def test_without_standard_error_nothing_is_written_to_descriptor_2(tmp_path, kind, when):
    target = tmp_path / "data.txt"
    completed = subprocess.run(
        [sys.executable, "-c", WITHOUT_STDERR, kind, when, str(target)],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
        preexec_fn=lambda: os.close(2), env={**os.environ, "PYTHONPATH": str(pathlib.Path(__file__).parent)},
    )
    assert completed.returncode == 0
    assert completed.stdout.split() == ["0"]
    if kind == "file":
        assert target.read_bytes() == b""
