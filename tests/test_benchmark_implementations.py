# The benchmark's NumPy and Numba merges must compute exactly what the module computes.
import math
import pathlib
import sys

import numpy as np
import pytest

import _native

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "benchmarks"), str(ROOT / "examples")]

import numba_merge  # noqa: E402
import numpy_merge  # noqa: E402
from synthetic_field import make_field  # noqa: E402

IMPLEMENTATIONS = [
    pytest.param(numpy_merge.merge, id="numpy"),
    pytest.param(numba_merge.merge, id="numba"),
]


def information_row(first, second, endpoints):
    row = np.zeros(11)
    row[0], row[4] = first, second
    row[5:11] = np.ravel(endpoints)
    return row


def record(first, second, *neighbours):
    row = np.full(11, np.nan)
    row[1], row[2] = first, second
    for slot, (neighbour_first, neighbour_second) in enumerate(neighbours):
        row[3 + 2 * slot], row[4 + 2 * slot] = neighbour_first, neighbour_second
    return row


def points_on_diagonal(first, second, count, rng):
    """Points near the line y = x from -1 to 11, with the keys given (arrays or numbers)."""
    along = np.linspace(-1.0, 11.0, count)
    return np.column_stack([
        np.broadcast_to(first, count), np.broadcast_to(second, count),
        along + rng.normal(0.0, 0.05, count), along + rng.normal(0.0, 0.05, count),
        rng.uniform(size=count), np.arange(count, dtype=float),
    ])


# Rows trimmed against their own record, one for each case of the keep test (foot
# point below-left, above-left, above-right of the near end at 45 degrees; level with it
# on either side, plumb with it on either side; below-right; nearer x than y on either
# side, nearer y than x on either side), with the thresholds their points' x and y are
# placed on, for a tolerance t. Rows decided by one coordinate have thresholds in it
# only; the other gets a few values of the row's own, or those of the corner boxes
# that do not decide it.
SELF_TRIMMED_ROWS = [
    ((60.0, 1.0), [(0, 0), (10, 10), (5, 5)], lambda t: ([5 + t, 10 + t], [5 + t, 10 + t])),
    ((60.0, 2.0), [(0, 10), (10, 0), (5, 5)], lambda t: ([5 + t, 10 + t], [5 - t, 0 - t])),
    ((60.0, 3.0), [(10, 10), (0, 0), (5, 5)], lambda t: ([5 - t, 0 - t], [5 - t, 0 - t])),
    ((60.0, 4.0), [(20, 0), (30, 0), (25, 0)], lambda t: ([25 + t, 30 + t], [0.0, 3.0])),
    ((60.0, 5.0), [(30, 0), (20, 0), (25, 0)], lambda t: ([25 - t, 20 - t], [0.0, -3.0])),
    ((60.0, 6.0), [(0, 20), (0, 30), (0, 25)], lambda t: ([0.0, 3.0], [25 + t, 30 + t])),
    ((60.0, 7.0), [(0, 30), (0, 20), (0, 25)], lambda t: ([0.0, -3.0], [25 - t, 20 - t])),
    ((60.0, 8.0), [(10, 0), (0, 10), (5, 5)], lambda t: ([5 - t, 0 - t], [5 + t, 10 + t])),
    ((60.0, 9.0), [(0, 0), (10, 1), (5, 0.5)], lambda t: ([5 + t, 10 + t], [0.5 + t, 1 + t])),
    ((60.0, 10.0), [(10, 1), (0, 0), (5, 0.5)], lambda t: ([5 - t, 0 - t], [0.5 - t, 0 - t])),
    ((60.0, 11.0), [(0, 0), (1, 10), (0.5, 5)], lambda t: ([0.5 + t, 1 + t], [5 + t, 10 + t])),
    ((60.0, 12.0), [(0, 10), (1, 0), (0.5, 5)], lambda t: ([0.5 + t, 1 + t], [5 - t, 0 - t])),
]


def around(values):
    """Each value and the doubles just below and above it."""
    return [v for value in values for v in (np.nextafter(value, -np.inf), value, np.nextafter(value, np.inf))]


def points_on_thresholds(keys, xs, ys):
    grid = np.array([(x, y) for x in around(xs) for y in around(ys)])
    points = np.zeros((grid.shape[0], 6))
    points[:, 0:2] = keys
    points[:, 2:4] = grid
    points[:, 5] = np.arange(grid.shape[0])
    return points


def awkward_field(tolerance):
    """A synthetic field plus records that take the less travelled paths of the lookups and trimming.

    - keys that convert alike: NaN, -3.0, 0.7 all give 0; 1e20 and inf both saturate;
    - a neighbour named by 0.0 whose row information holds -0.0;
    - rows trimmed against themselves, with points exactly on and next to every threshold;
    - a record with four neighbours, one with all endpoints equal (foot point NaN), one
      without points, and two pairs of records with the same keys;
    - a second row-information record for keys that already have one (the first wins);
    - points that belong to no record, and points with NaN coordinates.
    """
    rng = np.random.default_rng(7)
    field = make_field(2, 4, 30, seed=3)
    diagonal = [(0, 0), (10, 10), (5, 5)]
    information = np.vstack([
        field["row_information"],
        information_row(-0.0, 1.0, diagonal),
        information_row(50.0, 50.0, [(3, 3)] * 3),
        information_row(50.0, 51.0, [(20, 0), (30, 0), (25, 0)]),
        information_row(np.inf, 1e30, [(11, 11), (9, 9), (10, 10)]),
        information_row(1.0, 2.0, [(0, 5), (5, 0), (2, 2)]),  # never used: keys (1, 2) exist above
        *(information_row(*keys, ends) for keys, ends, _ in SELF_TRIMMED_ROWS),
    ])
    connected = np.vstack([
        field["connected_crop_rows"],
        record(np.nan, 1.0, (0.0, 1.0), (1.0, 2.0)),
        record(1.0, 1.0, (1.0, 2.0), (-0.0, 1.0), (50.0, 50.0), (1.0, 1.0)),
        record(50.4, 50.9, (1.0, 1.0)),
        record(50.0, 51.0, (50.0, 50.0)),
        record(1e20, np.inf, (np.inf, 1e30), (-0.0, 1.0)),
        record(2.0, 3.0),
        record(-1.0, 1.9, (0.0, 1.0)),
        *(record(*keys, keys) for keys, _, _ in SELF_TRIMMED_ROWS),
    ])
    points = np.vstack([
        field["points_in_rows"],
        points_on_diagonal(rng.choice([np.nan, -3.0, 0.7], 60), 1.0, 60, rng),
        points_on_diagonal(50.0, 50.0, 20, rng),
        points_on_diagonal(np.inf, 2e19, 30, rng),
        points_on_diagonal(77.0, 77.0, 5, rng),
        *(points_on_thresholds(keys, *thresholds(tolerance)) for keys, _, thresholds in SELF_TRIMMED_ROWS),
    ])
    points[rng.choice(points.shape[0], 12, replace=False), rng.choice([2, 3], 12)] = np.nan
    points = points[rng.permutation(points.shape[0])]
    return {"connected_crop_rows": connected, "points_in_rows": points, "row_information": information}


def module_result(field, tolerance):
    return _native.merge_points_removing_overlap(**field, tolerance=tolerance, num_threads=2)


@pytest.mark.parametrize("merge", IMPLEMENTATIONS)
@pytest.mark.parametrize("tolerance", [0.1, 1.5, -0.05, np.inf, -np.inf])
def test_synthetic_field_gives_the_module_result(merge, tolerance):
    field = make_field(3, 4, 50, seed=1)
    expected = module_result(field, tolerance)
    assert np.array_equal(merge(**field, tolerance=tolerance), expected, equal_nan=True)


@pytest.mark.parametrize("merge", IMPLEMENTATIONS)
@pytest.mark.parametrize("tolerance", [0.1, 0.6])
def test_awkward_field_gives_the_module_result(merge, tolerance):
    field = awkward_field(tolerance)
    expected = module_result(field, tolerance)
    # Trimming must both keep and drop points here, or the comparison proves little.
    assert 0 < expected.shape[0] < module_result(field, np.inf).shape[0]
    assert np.array_equal(merge(**field, tolerance=tolerance), expected, equal_nan=True)


@pytest.mark.parametrize("merge", IMPLEMENTATIONS)
@pytest.mark.parametrize(
    "angle, overlap",
    [(1e-4, -0.3), (0.05, 0.6), (math.pi / 4, 0.6), (math.pi / 4, -0.3), (math.pi / 2 - 0.01, -0.3)],
)
def test_rows_near_an_axis_or_45_degrees_give_the_module_result(merge, angle, overlap):
    # Scatter across the rows and gaps between them are where the deciding coordinate
    # matters; cos and sin of 45 degrees round apart, so ties and near ties both occur.
    field = make_field(3, 4, 60, overlap=overlap, noise=0.1,
                       direction=(math.cos(angle), math.sin(angle)), seed=2)
    expected = module_result(field, 0.1)
    assert 0 < expected.shape[0] < field["points_in_rows"].shape[0]
    assert np.array_equal(merge(**field, tolerance=0.1), expected, equal_nan=True)
