"""Small crop-row fields for the merge tests, and the outcome of merging one natively or not."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

import _native
import reference_merge

NAN = math.nan

# Endpoints of the worked example: C is the current row, N its neighbour.
EXAMPLE_CURRENT = ((0.0, 0.0), (10.0, 10.0), (5.0, 5.0))
EXAMPLE_NEIGHBOUR = ((9.0, 9.0), (20.0, 20.0), (14.5, 14.5))


@dataclass(frozen=True)
class Failure:
    """A merge that raised; `message` is the exception's one argument."""

    message: str


def native_outcome(connected, points, information, tolerance, threads=1):
    """The module's result array, or the Failure its PanicException carries."""
    try:
        return _native.merge_points_removing_overlap(
            connected, points, information, tolerance, threads
        )
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        assert not isinstance(error, Exception)
        assert len(error.args) == 1
        return Failure(error.args[0])


def reference_outcome(connected, points, information, tolerance, threads=1):
    """The reference's result array, or its Failure; it has no threads to choose."""
    try:
        return reference_merge.merge_points_removing_overlap(
            connected, points, information, tolerance
        )
    except reference_merge.ReferencePanic as error:
        return Failure(error.args[0])


def assert_same_outcome(actual, expected) -> None:
    """Equal failures, or float64 arrays equal in shape, values, NaNs and signs of zero."""
    if isinstance(expected, Failure) or isinstance(actual, Failure):
        assert isinstance(actual, Failure) and isinstance(expected, Failure), (actual, expected)
        assert actual == expected
        return
    assert actual.dtype == np.float64
    assert actual.shape == expected.shape
    assert np.array_equal(actual, expected, equal_nan=True)
    assert np.array_equal(np.signbit(actual), np.signbit(expected))


def record(own, *neighbours, cols=11, first=0.0):
    """A connected-row record: own keys, then neighbour slots, NaN-padded or cut to `cols`."""
    values = [first, *own]
    for neighbour in neighbours:
        values.extend(neighbour)
    values.extend([NAN] * max(0, cols - len(values)))
    return values[:cols]


def information_row(keys, ends=EXAMPLE_CURRENT, cols=11):
    """A row-information record with keys in columns 0 and 4 and the endpoint block after."""
    values = [keys[0], 7.0, 7.0, 7.0, keys[1]]
    for x, y in ends:
        values.extend((x, y))
    values.extend([7.0] * max(0, cols - len(values)))
    return values[:cols]


def point(keys, x, y, *extra):
    return [keys[0], keys[1], x, y, *extra]


def matrix(rows, cols=None):
    """A float64 matrix from rows of equal length; `cols` fixes the width of an empty one."""
    if not rows:
        return np.zeros((0, cols or 0))
    return np.array(rows, dtype=np.float64)


def xy_rows(result) -> list[tuple[float, float]]:
    return [(float(x), float(y)) for x, y in result[:, 2:4]]
