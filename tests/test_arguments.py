"""Binding and conversion of the five arguments: exact errors, notes, and accepted array layouts."""

import numpy as np
import pytest

import _native
from support import junction_field

merge = _native.merge_points_removing_overlap
NAME = "merge_points_removing_overlap()"


def arrays():
    field = junction_field()
    return field["connected_crop_rows"], field["points_in_rows"], field["row_information"]


def expected_result():
    return merge(*arrays(), 0.1, 1)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, 3, 4, 5, 6), {}, f"{NAME} takes 5 positional arguments but 6 were given"),
        (
            (),
            {},
            f"{NAME} missing 5 required positional arguments: 'connected_crop_rows', "
            "'points_in_rows', 'row_information', 'tolerance', and 'num_threads'",
        ),
        ((1, 2, 3), {}, f"{NAME} missing 2 required positional arguments: 'tolerance' and 'num_threads'"),
        ((1, 2, 3, 4), {}, f"{NAME} missing 1 required positional argument: 'num_threads'"),
        (
            (1,),
            {"tolerance": 1, "row_information": 2},
            f"{NAME} missing 2 required positional arguments: 'points_in_rows' and 'num_threads'",
        ),
        ((1, 2, 3, 4, 5), {"colour": 1}, f"{NAME} got an unexpected keyword argument 'colour'"),
        # The unexpected keyword is reported before anything missing.
        ((), {"Tolerance": 1}, f"{NAME} got an unexpected keyword argument 'Tolerance'"),
        ((1, 2, 3, 4, 5), {"tolerance": 1}, f"{NAME} got multiple values for argument 'tolerance'"),
        ((1, 2, 3, 4), {"num_threads": 1, "tolerance": 2}, f"{NAME} got multiple values for argument 'tolerance'"),
        ((1, 2, 3, 4, 5), {"\udcff": 1}, f"{NAME} got an unexpected keyword argument '\udcff'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        merge(*args, **kwargs)
    assert str(caught.value) == message
    assert not hasattr(caught.value, "__notes__")


def test_keywords_in_any_order_bind_like_positions():
    connected, points, information = arrays()
    result = merge(
        num_threads=2, row_information=information, tolerance=0.1, points_in_rows=points,
        connected_crop_rows=connected,
    )
    np.testing.assert_array_equal(result, expected_result())
    np.testing.assert_array_equal(merge(connected, points, tolerance=0.1, num_threads=1,
                                        row_information=information), expected_result())


good = np.zeros((2, 11))


class Labelled(np.ndarray):
    """A subclass: accepted when it holds 2-d float64 data, named in the error when not."""


ARRAY_REFUSED = "'{}' object is not an instance of 'ndarray'"
EXPECTED = "expected a 2-dimensional NumPy array of float64; got "
TO_FLOAT64 = "convert with numpy.asarray(a, dtype=numpy.float64)"
RESHAPE = "reshape it to 2 dimensions, one row per record or point, e.g. a.reshape(-1, a.shape[-1])"


@pytest.mark.parametrize(
    "position, value, message, detail",
    [
        (0, None, "'None' is not an instance of 'ndarray'", "None"),
        (1, [[1.0, 2.0]], ARRAY_REFUSED.format("list"), f"a 'list' object: {TO_FLOAT64}"),
        (1, 0.5, ARRAY_REFUSED.format("float"), f"a 'float' object: {TO_FLOAT64}"),
        (1, np.zeros((2, 6), dtype=np.float32), ARRAY_REFUSED.format("ndarray"),
         f"float32 with 2 dimensions: {TO_FLOAT64}"),
        (2, np.zeros(11), ARRAY_REFUSED.format("ndarray"), f"float64 with 1 dimension: {RESHAPE}"),
        (2, np.zeros((1, 2, 11)), ARRAY_REFUSED.format("ndarray"), f"float64 with 3 dimensions: {RESHAPE}"),
        (2, np.array(1.0), ARRAY_REFUSED.format("ndarray"),
         "float64 with 0 dimensions: reshape it to 2 dimensions, one row per record or point"),
        (0, np.zeros((2, 11), dtype=">f8"), ARRAY_REFUSED.format("ndarray"), f"big-endian float64 with 2 dimensions: {TO_FLOAT64}"),
        (0, np.zeros(11, dtype=np.int64), ARRAY_REFUSED.format("ndarray"),
         f"int64 with 1 dimension: {TO_FLOAT64} and {RESHAPE}"),
        (0, np.zeros((2, 2), dtype=np.int8).view(Labelled), ARRAY_REFUSED.format("Labelled"),
         f"int8 with 2 dimensions: {TO_FLOAT64}"),
    ],
)
def test_refused_arrays_say_what_was_expected_and_what_came(position, value, message, detail):
    args = [*arrays(), 0.1, 1]
    args[position] = value
    with pytest.raises(TypeError) as caught:
        merge(*args)
    assert str(caught.value) == message
    parameter = ["connected_crop_rows", "points_in_rows", "row_information"][position]
    assert caught.value.__notes__ == [f"while processing '{parameter}'", EXPECTED + detail]


@pytest.mark.parametrize(
    "value",
    [[[1.0, 1.0, 5.0, 5.0]], np.ones((1, 4), dtype=np.float32), np.ones((1, 4), dtype=">f8"),
     np.ones((1, 4), dtype=np.int64), np.ones((1, 4), dtype=np.int8).view(Labelled)],
)
def test_the_conversion_a_note_names_makes_the_array_accepted(value):
    connected, _, information = arrays()
    with pytest.raises(TypeError) as caught:
        merge(connected, value, information, 0.1, 1)
    assert TO_FLOAT64 in caught.value.__notes__[1]
    merge(connected, np.asarray(value, dtype=np.float64), information, 0.1, 1)


@pytest.mark.parametrize(
    "position, value, error, message",
    [
        (3, "0.1", TypeError, "must be real number, not str"),
        (3, 10**400, OverflowError, "int too large to convert to float"),
        (3, np.nan, ValueError, "tolerance must not be NaN"),
        (4, 4.0, TypeError, "'float' object cannot be interpreted as an integer"),
        (4, -1, OverflowError, "can't convert negative int to unsigned"),
        (4, 2**64, OverflowError, "int too big to convert"),
        (4, "3", TypeError, "'str' object cannot be interpreted as an integer"),
    ],
)
def test_number_conversion_errors_name_the_parameter(position, value, error, message):
    args = [*arrays(), 0.1, 1]
    args[position] = value
    with pytest.raises(error) as caught:
        merge(*args)
    assert str(caught.value) == message
    parameter = ["tolerance", "num_threads"][position - 3]
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


def test_first_failing_argument_wins():
    with pytest.raises(TypeError) as caught:
        merge(good, None, [1], "x", -1)
    assert caught.value.__notes__[0] == "while processing 'points_in_rows'"


class NanTolerance:
    def __float__(self):
        return -float("nan")


@pytest.mark.parametrize(
    "tolerance", [float("nan"), -float("nan"), np.float64("nan"), np.float32("nan"), NanTolerance()]
)
def test_nan_tolerance_is_refused_before_any_work(tolerance):
    connected, points, _ = arrays()
    # Without its row information this field would fail inside the merge;
    # the tolerance is refused first, and before num_threads is looked at.
    with pytest.raises(ValueError) as caught:
        merge(connected, points, np.zeros((0, 11)), tolerance, -1)
    assert str(caught.value) == "tolerance must not be NaN"
    assert caught.value.__notes__ == ["while processing 'tolerance'"]


class Threads:
    def __index__(self):
        return 2


class Tolerance:
    def __float__(self):
        return 0.1


@pytest.mark.parametrize(
    "tolerance, num_threads, as_float",
    [
        (0.1, 1, 0.1),
        (np.float64(0.1), True, 0.1),
        (Tolerance(), Threads(), 0.1),
        (0.1, np.uint8(3), 0.1),
        (0.1, 0, 0.1),
        # An integer tolerance is the float of the same value.
        (2, 1, 2.0),
    ],
)
def test_number_conversions(tolerance, num_threads, as_float):
    np.testing.assert_array_equal(merge(*arrays(), tolerance, num_threads), merge(*arrays(), as_float, 1))


def relayouts(array):
    """The same values in other memory layouts NumPy can present, and as a subclass."""
    padded = np.full((array.shape[0] * 2, array.shape[1] * 3), -7.0)
    padded[::2, ::3] = array
    # A float64 field inside a packed record: byte strides of 12, not a multiple of 8.
    packed = np.zeros(array.shape, dtype=[("value", "<f8"), ("tag", "<i4")])
    packed["value"] = array
    read_only = array.copy()
    read_only.flags.writeable = False
    return {
        "column-major": np.asfortranarray(array),
        "sliced": padded[::2, ::3],
        "reversed twice": array[::-1, ::-1][::-1, ::-1],
        "negative strides": np.flip(np.flip(array, 0).copy(), 0),
        "odd byte strides": packed["value"],
        "read-only": read_only,
        "subclass": array.view(Labelled),
    }


@pytest.mark.parametrize("layout", list(relayouts(np.zeros((1, 1)))))
@pytest.mark.parametrize("position", [0, 1, 2])
def test_layouts_give_the_row_major_result(layout, position):
    args = list(arrays())
    args[position] = relayouts(args[position])[layout]
    np.testing.assert_array_equal(merge(*args, 0.1, 2), expected_result())


def test_reversed_rows_equal_their_row_major_copy():
    connected, points, information = arrays()
    reversed_points = points[::-1]
    assert reversed_points.strides[0] < 0
    np.testing.assert_array_equal(
        merge(connected, reversed_points, information, 0.1, 2),
        merge(connected, np.ascontiguousarray(reversed_points), information, 0.1, 2),
    )


def test_one_array_for_several_parameters():
    # Row i is at once record i, the one point of its crop row, and its own
    # row-information record: keys (i + 1, i + 1) in every key column.
    keys = np.arange(1.0, 4.0)[:, None]
    everything = np.hstack([keys, keys, keys, np.full((3, 1), np.nan), keys, np.zeros((3, 6))])
    np.testing.assert_array_equal(merge(everything, everything, everything, 0.1, 2), everything)


def test_inputs_are_never_written():
    args = arrays()
    before = [a.copy() for a in args]
    merge(*args, 0.1, 2)
    for original, after in zip(before, args):
        np.testing.assert_array_equal(original, after)
