import numpy as np

import _native


def test_empty_field_returns_empty_matrix_with_point_columns():
    result = _native.merge_points_removing_overlap(
        np.zeros((0, 11)), np.zeros((0, 6)), np.zeros((0, 11)), 0.1, 1
    )
    assert result.shape == (0, 6)
