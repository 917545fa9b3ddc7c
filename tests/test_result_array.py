"""The returned array: a new float64 matrix that owns its buffer through a PySliceContainer."""

import gc
import sys

import numpy as np
import pytest

import _native
from support import junction_field

merge = _native.merge_points_removing_overlap


def test_result_is_a_writeable_float64_matrix_over_a_slice_container():
    result = merge(**junction_field(), tolerance=0.1, num_threads=2)
    assert type(result) is np.ndarray
    assert result.dtype == np.float64
    assert result.shape == (6, 5)
    assert result.flags.writeable and result.flags.c_contiguous and result.flags.aligned
    assert not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"
    np.testing.assert_array_equal(result[:, 4], [100, 102, 107, 101, 106, 108])


def test_result_outlives_the_inputs_and_views_outlive_the_result():
    field = junction_field()
    result = merge(**field, tolerance=0.1, num_threads=2)
    expected = result.copy()
    del field
    gc.collect()
    column = result[:, 4]
    del result
    gc.collect()
    np.testing.assert_array_equal(column, expected[:, 4])
    column[:] = -1.0
    assert (column == -1.0).all()


def test_container_goes_with_the_last_view():
    result = merge(**junction_field(), tolerance=0.1, num_threads=1)
    container_type = type(result.base)
    # Every PySliceContainer holds a reference to its type, so the type's
    # count tells how many containers are alive.
    alive = sys.getrefcount(container_type)
    view = result[1:]
    del result
    assert sys.getrefcount(container_type) == alive
    del view
    assert sys.getrefcount(container_type) == alive - 1


@pytest.mark.parametrize(
    "connected, points, information, shape",
    [
        (np.zeros((0, 11)), np.zeros((0, 6)), np.zeros((0, 11)), (0, 6)),
        (np.zeros((0, 2)), np.zeros((5, 9)), np.zeros((0, 1)), (0, 9)),
        (np.zeros((0, 11)), np.zeros((4, 0)), np.zeros((3, 11)), (0, 0)),
        # A record with a neighbour and no points to trim: points without x and y,
        # none at all or none of its crop row, are never read for them.
        (junction_field()["connected_crop_rows"], np.zeros((0, 3)), junction_field()["row_information"], (0, 3)),
        (junction_field()["connected_crop_rows"], np.full((4, 1), 7.0), junction_field()["row_information"], (0, 1)),
    ],
)
def test_nothing_published_gives_zero_rows_with_the_point_columns(connected, points, information, shape):
    result = merge(connected, points, information, 0.1, 2)
    assert result.shape == shape
    assert result.dtype == np.float64 and result.flags.writeable


def test_one_record_without_neighbours_publishes_its_points_in_row_order():
    field = junction_field()
    connected = field["connected_crop_rows"][:1].copy()
    connected[0, 3] = np.nan
    result = merge(connected, field["points_in_rows"], field["row_information"], 0.1, 2)
    np.testing.assert_array_equal(result[:, 4], [100, 102, 104, 105, 107])


def test_many_calls_leak_no_references():
    field = junction_field()
    arrays = list(field.values())
    failing = dict(field, row_information=np.zeros((0, 11)))
    before = [sys.getrefcount(a) for a in arrays + [failing["row_information"]]]
    for _ in range(500):
        merge(**field, tolerance=0.1, num_threads=2)
        with pytest.raises(BaseException):
            merge(**failing, tolerance=0.1, num_threads=2)
        with pytest.raises(TypeError):
            merge(*arrays, "x", 2)
        with pytest.raises(TypeError):
            merge(arrays[0], arrays[1], [1.0], 0.1, 2)
    gc.collect()
    after = [sys.getrefcount(a) for a in arrays + [failing["row_information"]]]
    assert after == before
