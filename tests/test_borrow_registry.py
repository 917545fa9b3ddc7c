"""Read-only claims on the inputs, seen through the borrow registry the module shares on NumPy."""

import ctypes

import numpy as np
import pytest

import _native
from support import junction_field

merge = _native.merge_points_removing_overlap
ATTRIBUTE = "_NATIVE_SHARED_BORROW_REGISTRY"

CLAIM = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Registry(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_ulonglong),
        ("state", ctypes.c_void_p),
        ("acquire_read", CLAIM),
        ("acquire_write", CLAIM),
        ("release_read", RELEASE),
        ("release_write", RELEASE),
    ]


@pytest.fixture
def registry():
    """The registry as another native module would reach it."""
    merge(**junction_field(), tolerance=0.1, num_threads=1)  # the first call publishes it
    capsule = getattr(np._core.multiarray, ATTRIBUTE)
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return Registry.from_address(get_pointer(capsule, ATTRIBUTE.encode()))


@pytest.mark.parametrize("parameter", ["connected_crop_rows", "points_in_rows", "row_information"])
def test_array_claimed_for_writing_is_refused(registry, parameter):
    field = junction_field()
    assert registry.version >= 1
    assert registry.acquire_write(registry.state, field[parameter]) == 0
    try:
        with pytest.raises(BaseException) as caught:
            merge(**field, tolerance=0.1, num_threads=1)
        assert type(caught.value).__name__ == "PanicException"
        assert caught.value.args == ("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed",)
    finally:
        registry.release_write(registry.state, field[parameter])
    merge(**field, tolerance=0.1, num_threads=1)


def test_overlapping_view_counts_as_the_same_memory(registry):
    field = junction_field()
    middle = field["points_in_rows"][2:4]
    assert registry.acquire_write(registry.state, middle) == 0
    try:
        with pytest.raises(BaseException, match="AlreadyBorrowed"):
            merge(**field, tolerance=0.1, num_threads=1)
    finally:
        registry.release_write(registry.state, middle)
    merge(**field, tolerance=0.1, num_threads=1)


def test_claims_are_withdrawn_after_every_call(registry):
    field = junction_field()
    arrays = list(field.values())
    merge(*arrays, 0.1, 1)
    with pytest.raises(TypeError):
        merge(arrays[0], [[1.0]], arrays[2], 0.1, 1)  # refused after the first claim was taken
    with pytest.raises(BaseException):
        merge(arrays[0], arrays[1], np.zeros((0, 11)), 0.1, 1)  # fails inside the merge
    for array in arrays:
        assert registry.acquire_write(registry.state, array) == 0
        registry.release_write(registry.state, array)


def test_readers_do_not_exclude_each_other_but_exclude_writers(registry):
    points = junction_field()["points_in_rows"]
    assert registry.acquire_read(registry.state, points) == 0
    try:
        assert registry.acquire_write(registry.state, points) == -1
        merge(**dict(junction_field(), points_in_rows=points), tolerance=0.1, num_threads=1)
    finally:
        registry.release_read(registry.state, points)
    assert registry.acquire_write(registry.state, points) == 0
    registry.release_write(registry.state, points)


class ShiftingItemSize(np.ndarray):
    """Reports a different item size each time it is asked."""

    asked = 0

    @property
    def itemsize(self):
        ShiftingItemSize.asked += 1
        return 8 * ShiftingItemSize.asked


def test_claim_is_withdrawn_even_if_the_array_describes_itself_differently(registry):
    field = junction_field()
    points = field["points_in_rows"]
    merge(**dict(field, points_in_rows=points.view(ShiftingItemSize)), tolerance=0.1, num_threads=1)
    assert registry.acquire_write(registry.state, points) == 0
    registry.release_write(registry.state, points)
