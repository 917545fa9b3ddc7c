"""Hostile input: arbitrary shapes, values, layouts and arguments give the reference's answer or a documented error."""

from __future__ import annotations

import ctypes
import math
import operator
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

import _native
from merge_fields import assert_same_outcome, native_outcome, reference_outcome

PARAMETERS = ("connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads")
ARRAY_REFUSED = "'{}' object is not an instance of 'ndarray'"
ARRAY_EXPECTED = "expected a 2-dimensional NumPy array of float64; got "

# Cells that are keys as often as coordinates: drawn from a small pool,
# neighbour slots and row-information records match now and then.
KEY_CELLS = [0.0, -0.0, 1.0, 2.0, 1.5, 3.0, math.nan, math.inf, -math.inf, -1.0, 2.0**64, 5e-324]
CELLS = st.one_of(
    st.sampled_from(KEY_CELLS),
    st.sampled_from(KEY_CELLS),
    st.integers(-4, 24).map(lambda half: half / 2),
    st.floats(width=64),  # any double: NaN, ±inf, -0.0, huge, subnormal
)
# Widths that reach the trimming (11 columns, points with x and y) come up more often.
def usual_or_any(usual):
    return st.one_of(usual, usual, usual, st.integers(0, 12))


WIDTHS = {
    "connected_crop_rows": usual_or_any(st.just(11)),
    "points_in_rows": usual_or_any(st.integers(4, 6)),
    "row_information": usual_or_any(st.just(11)),
}
ROWS = st.one_of(st.integers(1, 6), st.integers(1, 6), st.integers(0, 120))
# In most arrays the key columns hold the keys of the field's few crop
# rows, so that records find their points and rows and points get trimmed,
# instead of nearly every call failing on a missing record.
CROP_ROWS = st.lists(st.tuples(st.sampled_from([1.0, 2.0]), st.sampled_from([1.0, 2.0])),
                     min_size=1, max_size=3, unique=True)


def set_column(values, column, cells):
    if column < values.shape[1]:
        values[:, column] = cells


def keyed_records(draw, values, crop_rows):
    pairs = st.sampled_from(crop_rows)
    for columns in ((1, 2), (3, 4), (5, 6), (7, 8), (9, 10)):
        keys = draw(st.lists(pairs, min_size=len(values), max_size=len(values)))
        for part, column in enumerate(columns):
            set_column(values, column, [pair[part] for pair in keys])
    # A NaN first key ends the neighbour list.
    for column in (3, 5, 7, 9):
        ends = draw(st.lists(st.booleans(), min_size=len(values), max_size=len(values)))
        if column < values.shape[1]:
            values[ends, column] = math.nan


def keyed_points(draw, values, crop_rows):
    keys = draw(st.lists(st.sampled_from(crop_rows), min_size=len(values), max_size=len(values)))
    for part, column in enumerate((0, 1)):
        set_column(values, column, [pair[part] for pair in keys])


def keyed_information(draw, values, crop_rows):
    # The crop rows in turn, from a drawn start; every one has a record if there are rows enough.
    start = draw(st.integers(0, len(crop_rows) - 1))
    keys = [crop_rows[(start + row) % len(crop_rows)] for row in range(len(values))]
    for part, column in enumerate((0, 4)):
        set_column(values, column, [pair[part] for pair in keys])


KEYED = {
    "connected_crop_rows": keyed_records,
    "points_in_rows": keyed_points,
    "row_information": keyed_information,
}


def fortran(values):
    return np.asfortranarray(values)


def sliced(values):
    padded = np.full((values.shape[0] * 2 + 1, values.shape[1] * 3 + 1), -7.0)
    padded[1::2, 1::3] = values
    return padded[1::2, 1::3]


def reversed_rows_and_columns(values):
    return values[::-1, ::-1].copy()[::-1, ::-1]


def packed(values):
    # A float64 field after one byte: unaligned, byte strides of 9.
    records = np.zeros(values.shape, dtype=np.dtype([("tag", "u1"), ("value", "<f8")], align=False))
    records["value"] = values
    return records["value"]


LAYOUTS = {
    "row-major": np.copy,
    "column-major": fortran,
    "sliced": sliced,
    "reversed": reversed_rows_and_columns,
    "unaligned": packed,
}


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Refuses:
    """__float__ and __index__ that raise an error of their own."""

    def __float__(self):
        raise ValueError("no float here")

    def __index__(self):
        raise ArithmeticError("no index here")


class Threads(int):
    """An int subclass, converted without __index__."""


ODD_TOLERANCES = st.one_of(
    st.integers(-(2**1100), 2**1100),  # mostly beyond a double's range: OverflowError
    st.booleans(),
    st.floats(width=64).map(Float),
    st.sampled_from(
        [
            "0.1", None, [0.5], Decimal("0.25"), Fraction(1, 3), np.float32(0.5), np.int64(2),
            Index(2), Float("x"), Refuses(), 1j,
        ]
    ),
)
TOLERANCES = st.one_of(st.floats(width=64), st.floats(-2.0, 5.0), st.floats(-2.0, 5.0), ODD_TOLERANCES)
# Valid counts stay small: a count is also the size the process-wide pool
# grows to, until its workers go idle. Counts above the pool's bound, and
# threads the system cannot start, are tested in children under a
# process-count limit (test_worker_pool.py).
ODD_THREAD_COUNTS = st.one_of(
    st.integers(-(2**70), -1),
    st.integers(2**64, 2**70),
    st.booleans(),
    st.integers(0, 4).map(Threads),
    st.integers(-(2**70), 4).map(Index),
    st.sampled_from([2.0, "3", None, np.int32(2), np.uint8(3), np.float64(1.0), Refuses()]),
)
NUM_THREADS = st.one_of(st.integers(0, 4), st.integers(0, 4), st.integers(0, 4), ODD_THREAD_COUNTS)
REFUSED_ARRAYS = st.sampled_from(
    [
        None, [[1.0]], 1.0, np.zeros(11), np.zeros((1, 2, 11)), np.zeros((2, 11), dtype=np.float32),
        np.zeros((2, 11), dtype=">f8"), np.zeros((2, 11), dtype=np.int64), np.zeros((2, 11), dtype=complex),
    ]
)


def input_array(draw, parameter, crop_rows):
    """(the values, the object passed): the values in some layout, maybe read-only, or a refused object."""
    if draw(st.sampled_from([False] * 19 + [True])):
        return None, draw(REFUSED_ARRAYS)
    shape = (draw(ROWS), draw(WIDTHS[parameter]))
    values = draw(arrays(np.float64, shape, elements=CELLS))
    if draw(st.sampled_from([True, True, True, False])):
        KEYED[parameter](draw, values, crop_rows)
    layout = draw(st.sampled_from([*sorted(LAYOUTS), "repeated row"]))
    if layout == "repeated row" and shape[0] > 0:
        # One row seen many times through a zero stride, read-only by nature.
        passed = np.broadcast_to(values[:1], shape)
        values = passed.copy()
    else:
        passed = LAYOUTS[layout if layout in LAYOUTS else "row-major"](values)
    if draw(st.booleans()):
        passed.flags.writeable = False
    event(f"{parameter}: {layout}")
    return values, passed


@st.composite
def input_arrays(draw):
    """One (values, object passed) pair per array parameter, keyed by the same crop rows."""
    crop_rows = draw(CROP_ROWS)
    return [input_array(draw, parameter, crop_rows) for parameter in PARAMETERS[:3]]


def interpreter_conversion(convert, value):
    """The interpreter's own result or exception for a C-API conversion, called directly."""
    try:
        return convert(value), None
    except BaseException as error:  # whatever the value's own methods raise
        return None, error


def as_double(value):
    if type(value) is float:
        return value
    function = ctypes.pythonapi.PyFloat_AsDouble
    function.argtypes, function.restype = [ctypes.py_object], ctypes.c_double
    return function(value)


def as_unsigned_64(value):
    integer = value if isinstance(value, int) else operator.index(value)
    function = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    function.argtypes, function.restype = [ctypes.py_object], ctypes.c_ulonglong
    return function(integer)


def expected_argument_error(passed, values):
    """(type, message, parameter) of the first argument the module must refuse, or None."""
    for index in range(3):
        if values[index] is None:
            obj = passed[index]
            message = "'None' is not an instance of 'ndarray'" if obj is None else ARRAY_REFUSED.format(
                type(obj).__qualname__
            )
            return TypeError, message, PARAMETERS[index]
    for index, convert in ((3, as_double), (4, as_unsigned_64)):
        value, error = interpreter_conversion(convert, passed[index])
        if error is not None:
            return type(error), str(error), PARAMETERS[index]
        if index == 3 and math.isnan(value):
            return ValueError, "tolerance must not be NaN", PARAMETERS[index]
    return None


def snapshot(obj):
    return obj.copy() if isinstance(obj, np.ndarray) else None


@settings(max_examples=300, deadline=None)
@given(arrays_in=input_arrays(), tolerance=TOLERANCES, num_threads=NUM_THREADS)
def test_any_input_gives_the_reference_result_or_a_documented_error(arrays_in, tolerance, num_threads):
    values = [pair[0] for pair in arrays_in]
    passed = [*(pair[1] for pair in arrays_in), tolerance, num_threads]
    before = [snapshot(obj) for obj in passed[:3]]

    refused = expected_argument_error(passed, values)
    if refused is None:
        tolerance_value, _ = interpreter_conversion(as_double, tolerance)
        expected = reference_outcome(*values, tolerance_value)
        event(f"outcome: {type(expected).__name__}")
        actual = native_outcome(*passed)
        assert_same_outcome(actual, expected)
        if isinstance(actual, np.ndarray):
            assert actual.flags.writeable and actual.flags.c_contiguous
            assert type(actual.base).__name__ == "PySliceContainer"
    else:
        error_type, message, parameter = refused
        event(f"refused: {parameter}")
        with pytest.raises(BaseException) as caught:
            _native.merge_points_removing_overlap(*passed)
        assert type(caught.value) is error_type
        assert str(caught.value) == message
        notes = caught.value.__notes__
        assert notes[0] == f"while processing '{parameter}'"
        if parameter in PARAMETERS[:3]:
            # What the array should have been and what it was.
            assert len(notes) == 2 and notes[1].startswith(ARRAY_EXPECTED)
        else:
            assert len(notes) == 1

    # The inputs are only read, whatever happened.
    for original, obj in zip(before, passed[:3]):
        if original is not None:
            assert obj.tobytes() == original.tobytes()


@pytest.mark.parametrize("points_shape", [(5, 9), (5, 2), (70_000, 2)])
@pytest.mark.parametrize("connected_shape", [(0, 11), (3, 2), (3, 0)])
@pytest.mark.parametrize("threads", [1, 3])
def test_records_that_name_no_crop_row_leave_every_point_ungrouped(connected_shape, points_shape, threads):
    # No record yields keys to group the points by, so the grouping has no
    # groups at all; before its fix it indexed an empty table here.
    connected = np.ones(connected_shape)
    points = np.ones(points_shape)
    information = np.ones((2, 11))
    expected = reference_outcome(connected, points, information, 0.1)
    assert_same_outcome(native_outcome(connected, points, information, 0.1, threads), expected)
