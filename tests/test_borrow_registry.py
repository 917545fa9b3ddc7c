"""Read-only claims on the inputs, seen through the borrow registry the module shares on NumPy."""

import contextlib
import ctypes

import numpy as np
import pytest

import _native
from support import junction_field, run_python

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


@contextlib.contextmanager
def claimed_for_writing(registry, array):
    """`array` held by a writer, as another native module would hold it, while the block runs."""
    assert registry.acquire_write(registry.state, array) == 0
    try:
        yield
    finally:
        registry.release_write(registry.state, array)


def writer_may_claim(registry, array):
    """Whether a writer could claim `array` now; the claim is given back at once."""
    code = registry.acquire_write(registry.state, array)
    if code == 0:
        registry.release_write(registry.state, array)
    return code == 0


def assert_refused_as_borrowed(field):
    with pytest.raises(BaseException) as caught:
        merge(**field, tolerance=0.1, num_threads=1)
    assert type(caught.value).__name__ == "PanicException"
    assert caught.value.args == ("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed",)


@pytest.mark.parametrize(
    "claimed",
    [
        lambda field: field["connected_crop_rows"],
        lambda field: field["points_in_rows"],
        lambda field: field["row_information"],
        # A view of part of the points is the same memory.
        lambda field: field["points_in_rows"][2:4],
    ],
    ids=["connected_crop_rows", "points_in_rows", "row_information", "overlapping view"],
)
def test_memory_claimed_for_writing_is_refused_until_released(registry, claimed):
    field = junction_field()
    expected = merge(**field, tolerance=0.1, num_threads=1)
    assert registry.version >= 1
    with claimed_for_writing(registry, claimed(field)):
        assert_refused_as_borrowed(field)
    np.testing.assert_array_equal(merge(**field, tolerance=0.1, num_threads=1), expected)


def test_claims_are_withdrawn_after_every_call(registry):
    field = junction_field()
    arrays = list(field.values())
    merge(*arrays, 0.1, 1)
    with pytest.raises(TypeError):
        merge(arrays[0], [[1.0]], arrays[2], 0.1, 1)  # refused after the first claim was taken
    with pytest.raises(BaseException):
        merge(arrays[0], arrays[1], np.zeros((0, 11)), 0.1, 1)  # fails inside the merge
    assert all(writer_may_claim(registry, array) for array in arrays)


def test_readers_do_not_exclude_each_other_but_exclude_writers(registry):
    points = junction_field()["points_in_rows"]
    assert registry.acquire_read(registry.state, points) == 0
    try:
        assert registry.acquire_write(registry.state, points) == -1
        merge(**dict(junction_field(), points_in_rows=points), tolerance=0.1, num_threads=1)
    finally:
        registry.release_read(registry.state, points)
    assert writer_may_claim(registry, points)


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
    assert writer_may_claim(registry, points)


def item_size_subclass(reply):
    """An ndarray subclass whose `itemsize` property counts how often it is read and replies with `reply()`."""

    class HostileItemSize(np.ndarray):
        reads = 0

        @property
        def itemsize(self):
            HostileItemSize.reads += 1
            return reply()

    return HostileItemSize


def raise_error():
    raise RuntimeError("itemsize read")


def call_the_module_again():
    merge(**junction_field(), tolerance=0.1, num_threads=1)
    return 8


@pytest.mark.parametrize(
    "reply",
    [lambda: 2**63 - 1, lambda: -1, lambda: 0, lambda: 2**100, raise_error, call_the_module_again],
    ids=["2**63-1", "-1", "0", "2**100", "raises", "calls the module"],
)
def test_a_claim_reads_no_python_attribute_of_the_array(registry, reply):
    # The claim's span comes from the array's descriptor: whatever `itemsize`
    # says, a writer of the same memory is seen, and the property never runs.
    field = junction_field()
    points = field["points_in_rows"]
    kind = item_size_subclass(reply)
    hostile = dict(field, points_in_rows=points.view(kind))
    last_row = points[-1:]  # a claim is withdrawn through the view that took it
    with claimed_for_writing(registry, last_row):
        assert_refused_as_borrowed(hostile)
    assert np.array_equal(merge(**hostile, tolerance=0.1, num_threads=1), merge(**field, tolerance=0.1, num_threads=1))
    assert kind.reads == 0
    assert writer_may_claim(registry, points)


@pytest.mark.parametrize(
    "shape, strides",
    [((2, 2**40), (8, 2**40)), ((2**40,), (-(2**40),)), ((2**20, 2**20, 2**19), (2**42, 2**42, 2**42))],
    ids=["past the end", "before the start", "sum past the end"],
)
def test_a_span_beyond_the_address_space_is_taken_as_all_of_it(registry, shape, strides):
    # Views that as_strided makes without touching memory: their extent does
    # not fit a pointer, so the claim conflicts with every writer instead of
    # with none.
    base = np.zeros(4)
    huge = np.lib.stride_tricks.as_strided(base, shape=shape, strides=strides)
    elsewhere = np.zeros(3)
    assert registry.acquire_read(registry.state, huge) == 0
    try:
        assert registry.acquire_write(registry.state, elsewhere) == -1
    finally:
        registry.release_read(registry.state, huge)
    assert writer_may_claim(registry, elsewhere)


@pytest.mark.parametrize("obj", [[1.0, 2.0], None, np.float64(1.0), memoryview(b"1234")])
def test_an_object_that_is_no_array_is_refused(registry, obj):
    assert registry.acquire_read(registry.state, obj) == -3
    assert registry.acquire_write(registry.state, obj) == -3


@pytest.mark.not_sanitized("the sanitizer runtime aborts when its own bookkeeping finds no memory")
def test_a_claim_list_that_cannot_grow_raises_memory_error():
    completed = run_python(
        """
        import ctypes, resource, numpy as np, _native
        from support import junction_field
        from test_borrow_registry import ATTRIBUTE, Registry

        merge = _native.merge_points_removing_overlap
        field = junction_field()
        merge(**field, tolerance=0.1, num_threads=1)  # publishes the registry
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        capsule = getattr(np._core.multiarray, ATTRIBUTE)
        registry = Registry.from_address(get_pointer(capsule, ATTRIBUTE.encode()))

        # Claims on one array until the list can grow no further under the
        # limit: the registry says so, and so does the module.
        held = np.zeros(4)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (2 << 20), resource.RLIM_INFINITY))
        claims = 0
        while (code := registry.acquire_read(registry.state, held)) == 0 and claims < 2**24:
            claims += 1
        try:
            merge(**field, tolerance=0.1, num_threads=1)
        except BaseException as error:
            print(code, type(error).__name__)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        for _ in range(claims):
            registry.release_read(registry.state, held)
        print(merge(**field, tolerance=0.1, num_threads=1).shape)
        print(registry.acquire_write(registry.state, held))
        """
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.split() == ["-2", "MemoryError", "(6,", "5)", "0"]
