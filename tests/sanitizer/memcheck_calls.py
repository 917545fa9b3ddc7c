"""The calls scripts/memcheck runs under valgrind: a field merged on the pool, and failing calls."""

import os
import sys

import numpy as np

import _native

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples"))
from synthetic_field import make_field  # noqa: E402

merge = _native.merge_points_removing_overlap
field = make_field(lines=3, rows_per_line=4, points_per_row=100, seed=1)
arrays = (field["connected_crop_rows"], field["points_in_rows"], field["row_information"])

result = merge(*arrays, 0.1, 3)
view = result[1::2, 2:4]
del result
assert np.isfinite(view).all()
del view

failures = [
    ((arrays[0], arrays[1], np.zeros((0, 11)), 0.1, 3), "PanicException"),  # on the workers
    ((arrays[0][:1], arrays[1], np.zeros((0, 11)), 0.1, 3), "PanicException"),  # on this thread
    ((arrays[0], arrays[1][:, :3], arrays[2], 0.1, 2), "PanicException"),
    ((arrays[0], [[1.0]], arrays[2], 0.1, 2), "TypeError"),
    ((*arrays, "0.1", 2), "TypeError"),
    ((*arrays, 0.1, -1), "OverflowError"),
    ((*arrays, 0.1), "TypeError"),
]
for args, name in failures:
    try:
        merge(*args)
    except BaseException as error:
        assert type(error).__name__ == name, error
    else:
        raise AssertionError(f"{name} expected")
print("memcheck calls done")
