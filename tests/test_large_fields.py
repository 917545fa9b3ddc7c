"""Fields with tens of thousands of crop rows, points in random order: the module gives exactly the
vectorised NumPy merge's result, and the same rows as its records merged in several calls."""

import pathlib
import sys

import numpy as np
import pytest

import _native

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "benchmarks"), str(ROOT / "examples")]

import numpy_merge  # noqa: E402
from synthetic_field import make_field  # noqa: E402

merge = _native.merge_points_removing_overlap


@pytest.fixture(scope="module")
def field():
    """21,000 crop rows; some records share a crop row, with the same neighbours or with their
    neighbours in the other order, and some points belong to no record's crop row."""
    rng = np.random.default_rng(7)
    base = make_field(lines=2100, rows_per_line=10, points_per_row=4, stagger=0.3, seed=3)
    connected = base["connected_crop_rows"]
    same = connected[rng.choice(len(connected), 300, replace=False)]
    swapped = connected[rng.choice(np.flatnonzero(~np.isnan(connected[:, 5])), 300, replace=False)].copy()
    swapped[:, [3, 4, 5, 6]] = swapped[:, [5, 6, 3, 4]]
    connected = np.vstack([connected, same, swapped])[rng.permutation(len(connected) + 600)]
    points = base["points_in_rows"]
    strays = points[rng.choice(len(points), 2000, replace=False)].copy()
    strays[:, 0] += 5000.0
    points = np.vstack([points, strays])[rng.permutation(len(points) + 2000)]
    return {"connected_crop_rows": connected, "points_in_rows": points, "row_information": base["row_information"]}


@pytest.fixture(scope="module")
def expected(field):
    return numpy_merge.merge(**field, tolerance=0.1)


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_many_crop_rows_give_the_numpy_merge_result(field, expected, threads):
    result = merge(**field, tolerance=0.1, num_threads=threads)
    assert result.shape == expected.shape
    np.testing.assert_array_equal(result, expected)


def test_records_merged_in_parts_give_the_same_rows(field, expected):
    parts = np.array_split(field["connected_crop_rows"], 7)
    pieces = [merge(part, field["points_in_rows"], field["row_information"], 0.1, 2) for part in parts]
    np.testing.assert_array_equal(np.vstack(pieces), expected)


def test_strided_points_give_the_same_rows(field, expected):
    wide = np.zeros((len(field["points_in_rows"]), 2 * field["points_in_rows"].shape[1]))
    wide[:, ::2] = field["points_in_rows"]
    result = merge(field["connected_crop_rows"], wide[:, ::2], field["row_information"], 0.1, 2)
    np.testing.assert_array_equal(result, expected)
