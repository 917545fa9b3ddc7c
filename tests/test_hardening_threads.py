"""Python threads: calls from several threads at once, or only from other threads, are right and never hang."""

import pytest

from support import run_python

# Fields and their expected results come from the reference, so the first
# call of the module in each child is one of the racing ones. A thread that
# has not finished after ten minutes is reported instead of waited for: each
# child's work takes well under a second alone, and even a machine loaded many
# times over, or a sanitized build, finishes it long before, so only a hang
# gets that far.
FIELDS = """
import os, sys, threading, time
import numpy as np, _native, reference_merge
import support
sys.path.insert(0, os.path.join(os.path.dirname(support.__file__), os.pardir, "examples"))
from synthetic_field import make_field

merge = _native.merge_points_removing_overlap
fields = [make_field(lines=2, rows_per_line=4, points_per_row=30, seed=seed) for seed in range(4)]
inputs = [(f["connected_crop_rows"], f["points_in_rows"], f["row_information"], 0.1 * (1 + seed))
          for seed, f in enumerate(fields)]
expected = [reference_merge.merge_points_removing_overlap(*i) for i in inputs]
failing = (inputs[0][0], inputs[0][1], np.zeros((0, 11)), 0.1)
# Switch between threads as often as the interpreter allows.
sys.setswitchinterval(1e-6)
HANG = 600

def join_all(threads):
    deadline = time.monotonic() + HANG
    for thread in threads:
        thread.join(timeout=max(0, deadline - time.monotonic()))
    if any(thread.is_alive() for thread in threads):
        print("hung", flush=True)
        os._exit(1)
"""


def output_of(code):
    """What `code`, run after FIELDS in a fresh interpreter, prints; it must exit cleanly."""
    completed = run_python(FIELDS + code, timeout=900)  # beyond HANG, so the child reports it
    assert completed.returncode == 0, completed.stdout + completed.stderr[-3000:]
    return completed.stdout.strip()


def test_threads_calling_at_once_get_their_own_results():
    output = output_of(
        """
start = threading.Barrier(8)
wrong = []

def caller(number):
    start.wait()
    for call in range(30):
        which = (number + call) % len(inputs)
        if not np.array_equal(merge(*inputs[which], number % 4 + 1), expected[which]):
            wrong.append((number, call))
        try:
            merge(*failing, number % 3)
        except BaseException as error:
            if error.args != ("called `Option::unwrap()` on a `None` value",):
                wrong.append((number, call, error))
        try:
            merge(*inputs[which], -1)
        except OverflowError:
            pass

threads = [threading.Thread(target=caller, args=(n,)) for n in range(8)]
for thread in threads:
    thread.start()
join_all(threads)
print(wrong)
"""
    )
    assert output == "[]"


def test_calls_only_from_other_threads_work_before_and_after_they_end():
    output = output_of(
        """
results = []

def caller(which):
    results.append(np.array_equal(merge(*inputs[which], 2), expected[which]))

# The first call of the process, NumPy's loading and the pool's start
# included, happens on a thread that then ends; later threads reuse it all.
for which in range(len(inputs)):
    thread = threading.Thread(target=caller, args=(which,))
    thread.start()
    join_all([thread])
print(results, np.array_equal(merge(*inputs[0], 3), expected[0]))
"""
    )
    assert output == "[True, True, True, True] True"


def test_array_subclasses_with_python_properties_change_nothing_for_other_calls():
    # A claim reads an array's item size from its descriptor, never through
    # Python: a property that would sleep (letting other threads run) or call
    # the module again never runs, and calls from other threads go on.
    output = output_of(
        """
class SlowItemSize(np.ndarray):
    @property
    def itemsize(self):
        reads.append(self)
        time.sleep(0.001)
        return 8

class ReentrantItemSize(np.ndarray):
    @property
    def itemsize(self):
        reads.append(self)
        merge(*inputs[1], 1)
        return 8

done = []
reads = []

def caller(kind, which):
    connected, points, information, tolerance = inputs[which]
    for _ in range(20):
        result = merge(connected.view(kind), points, information.view(kind), tolerance, 2)
        done.append(np.array_equal(result, expected[which]))

threads = [threading.Thread(target=caller, args=(kind, which))
           for which, kind in enumerate([SlowItemSize, ReentrantItemSize, np.ndarray, SlowItemSize])]
for thread in threads:
    thread.start()
join_all(threads)
print(len(done), all(done), len(reads))
"""
    )
    assert output == "80 True 0"


@pytest.mark.parametrize("written", ["connected_crop_rows", "points_in_rows", "row_information"])
def test_a_thread_writing_into_an_input_during_calls_cannot_crash_them(written):
    # NumPy lets go of the interpreter lock inside its loops, so a writer
    # thread really does change the array while a merge reads it. Keys that
    # name crop rows the call never numbered, and coordinates that change
    # between sweeps, must give a result or a PanicException, never a crash.
    # The points are column-major so that their key, x and y columns, the
    # ones the merge reads, are one block; their last column, an id, is left
    # alone and names the input row behind every result row.
    output = output_of(
        f"""
field = make_field(lines=100, rows_per_line=100, points_per_row=10, seed=7)
arrays = {{name: np.asfortranarray(value) for name, value in field.items()}}
# Input rows by their id.
original = arrays["points_in_rows"][np.argsort(arrays["points_in_rows"][:, -1])]
written = arrays["{written}"]
target = written[:, :4] if "{written}" == "points_in_rows" else written
stop = threading.Event()

def writer():
    while not stop.is_set():
        np.add(target, 1000.0, out=target)
        np.subtract(target, 1000.0, out=target)

thread = threading.Thread(target=writer)
thread.start()
results, failures, wrong = 0, 0, []
deadline = time.monotonic() + 3
while time.monotonic() < deadline:
    try:
        result = merge(**arrays, tolerance=0.1, num_threads=2)
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        failures += 1
        continue
    results += 1
    behind = original[result[:, -1].astype(np.intp)]
    untouched = slice(4, None) if "{written}" == "points_in_rows" else slice(None)
    if result.dtype != np.float64 or result.shape[1] != original.shape[1] or not np.array_equal(
        result[:, untouched], behind[:, untouched]
    ):
        wrong.append(result.shape)
stop.set()
join_all([thread])
print(results + failures > 0, wrong)
"""
    )
    assert output == "True []"
