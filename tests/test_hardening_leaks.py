"""Leaks: thousands of calls through every way out leave memory and references as they were."""

import os


from support import run_python

# Under the sanitizers freed memory waits in a quarantine before it is
# reused or returned, which would look like growth here.
NO_QUARANTINE = (
    {"ASAN_OPTIONS": os.environ["ASAN_OPTIONS"] + ":quarantine_size_mb=0"} if "ASAN_OPTIONS" in os.environ else {}
)

MEMORY = """
import os

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
"""

# One round calls the function once through every way out: success, each
# binding and conversion error, the registry's refusal, each failure of
# the engine and an allocation that cannot succeed. Every input is big
# enough that keeping one copy per call would show in the resident size.
EVERY_WAY_OUT = MEMORY + """
import ctypes, gc, sys
import numpy as np, _native
from support import junction_field

merge = _native.merge_points_removing_overlap
field = junction_field()
# Many records with columns nobody reads, many points, and row-information
# records nobody asks for.
connected = np.hstack([np.tile(field["connected_crop_rows"], (50, 1)), np.zeros((100, 100))])
points = np.hstack([np.tile(field["points_in_rows"], (100, 1)), np.zeros((900, 11))])
information = np.vstack([field["row_information"], np.full((2000, 11), 7.0)])
tolerance = 0.1
no_record = information[2:]
narrow_records = np.ascontiguousarray(connected[:, :4])
no_coordinates = np.ascontiguousarray(points[:, :3])
short_information = np.ascontiguousarray(information[:, :4])
misshapen_information = np.ascontiguousarray(information[:, :10])
lost_neighbour = connected.copy()
lost_neighbour[:, 3] = 9.0
huge = np.broadcast_to(np.zeros((1, 1)), (2**50, 8))

class Refuses:
    def __float__(self):
        raise ValueError("no float here")

refuses = Refuses()
objects = [connected, points, information, no_record, narrow_records, no_coordinates,
           short_information, misshapen_information, lost_neighbour, huge, refuses, tolerance]

# The registry as another native module reaches it, to hold a writable claim.
result_shape = merge(connected, points, information, tolerance, 2).shape
capsule = getattr(np._core.multiarray, "_NATIVE_SHARED_BORROW_REGISTRY")
get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
CLAIM = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
class Registry(ctypes.Structure):
    _fields_ = [("version", ctypes.c_ulonglong), ("state", ctypes.c_void_p), ("acquire_read", CLAIM),
                ("acquire_write", CLAIM), ("release_read", RELEASE), ("release_write", RELEASE)]
registry = Registry.from_address(get_pointer(capsule, b"_NATIVE_SHARED_BORROW_REGISTRY"))

CALLS = [
    ((connected, points, information, tolerance, 2), {}, None),
    ((connected, points, information, tolerance, 2, 3), {}, TypeError),
    ((connected, points, information, tolerance), {"num_threads": 2, "colour": 1}, TypeError),
    ((connected, points, information, tolerance, 2), {"tolerance": 1.0}, TypeError),
    ((connected, points), {}, TypeError),
    ((connected, [[1.0]], information, tolerance, 2), {}, TypeError),
    ((connected, points, information.astype(np.float32), tolerance, 2), {}, TypeError),
    ((connected, points, information, "0.1", 2), {}, TypeError),
    ((connected, points, information, refuses, 2), {}, ValueError),
    ((connected, points, information, tolerance, 2.0), {}, TypeError),
    ((connected, points, information, tolerance, -1), {}, OverflowError),
    ((connected, points, information, tolerance, 2**64), {}, OverflowError),
    ((connected, points, no_record, tolerance, 2), {}, "called `Option::unwrap()` on a `None` value"),
    ((lost_neighbour, points, information, tolerance, 2), {}, "called `Option::unwrap()` on a `None` value"),
    ((narrow_records, points, information, tolerance, 2), {}, "ndarray: index out of bounds"),
    ((connected, no_coordinates, information, tolerance, 2), {}, "ndarray: index out of bounds"),
    ((connected, points, short_information, tolerance, 2), {}, "ndarray: index out of bounds"),
    ((connected, points, misshapen_information, tolerance, 2),
     {}, "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible shapes"),
    ((connected, huge, information, tolerance, 2), {}, MemoryError),
    ("claimed", {}, "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"),
]

def call(args, kwargs, expected):
    if args == "claimed":
        assert registry.acquire_write(registry.state, points) == 0
        try:
            call((connected, points, information, tolerance, 2), {}, expected)
        finally:
            registry.release_write(registry.state, points)
        return
    try:
        result = merge(*args, **kwargs)
    except BaseException as error:
        if isinstance(expected, str):
            assert type(error).__name__ == "PanicException" and error.args == (expected,), error
        else:
            assert type(error) is expected, error
    else:
        assert expected is None and result.shape == result_shape

def rounds(count):
    for _ in range(count):
        for args, kwargs, expected in CALLS:
            call(args, kwargs, expected)
    gc.collect()

rounds(100)
references = [sys.getrefcount(obj) for obj in objects]
resident = resident_bytes()
# Python's and NumPy's own caches move the count of allocated blocks up and
# down by a few dozen; a leak moves it up by at least one per call in every
# stretch of calls, so the least growth of three stretches is what counts.
growth = []
for _ in range(3):
    blocks = sys.getallocatedblocks()
    rounds(ROUNDS // 3)
    growth.append(sys.getallocatedblocks() - blocks)
print(len(CALLS) * (ROUNDS // 3))
print([sys.getrefcount(obj) for obj in objects] == references)
print(min(growth))
print(resident_bytes() - resident)
"""


def test_every_way_out_keeps_memory_and_references_flat():
    rounds = 300
    completed = run_python(EVERY_WAY_OUT.replace("ROUNDS", str(rounds)), NO_QUARANTINE)
    assert completed.returncode == 0, completed.stderr[-3000:]
    calls, references_kept, object_growth, resident_growth = completed.stdout.split()
    assert int(calls) >= 2000
    assert references_kept == "True"
    # One leaked object per call would be thousands of blocks in each stretch;
    # one leaked copy per call hundreds of megabytes.
    assert int(object_growth) < 100
    assert int(resident_growth) < 8 << 20, f"resident size grew by {int(resident_growth) >> 20} MiB"


LAST_VIEW = MEMORY + """
import gc
import numpy as np, _native

# One record without neighbours keeps every point: an 80 MB result.
rows, cols = 200_000, 50
points = np.ones((rows, cols))
connected = np.array([[0, 1, 1] + [np.nan] * 8])
information = np.array([[1.0, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5]])
result = _native.merge_points_removing_overlap(connected, points, information, 0.1, 2)
del points
gc.collect()
before = resident_bytes()
view = result[::1000, 3]
del result
gc.collect()
print(view.sum() == rows // 1000)
print(resident_bytes() - before)
del view
gc.collect()
print(before - resident_bytes())
# The allocator must still be sound, as it would not be after a second free.
again = _native.merge_points_removing_overlap(connected, np.ones((rows, cols)), information, 0.1, 2)
print(again.shape == (rows, cols))
"""


def test_result_buffer_is_freed_once_with_the_last_view():
    completed = run_python(LAST_VIEW, NO_QUARANTINE)
    assert completed.returncode == 0, completed.stderr[-3000:]
    view_reads, growth_while_viewed, freed, sound = completed.stdout.split()
    assert view_reads == "True" and sound == "True"
    # The buffer stays while a view of it lives and goes with that view.
    assert abs(int(growth_while_viewed)) < 8 << 20
    assert int(freed) > 70 << 20
