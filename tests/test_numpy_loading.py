"""Loading NumPy's array API table on the first call: version checks against a stand-in NumPy."""

import pytest

from support import run_python

# A stand-in NumPy package whose array API table answers the three version
# questions as told; every other slot is empty, which is fine because a
# failed check ends the load before any of them is used.
FAKE_MULTIARRAY = """
import ctypes
ANSWERS = {answers}
_functions = []
_table = (ctypes.c_void_p * 300)()
for slot, value in ANSWERS.items():
    function = ctypes.CFUNCTYPE(ctypes.c_uint)(lambda value=value: value)
    _functions.append(function)
    _table[slot] = ctypes.cast(function, ctypes.c_void_p).value
_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_ARRAY_API = {array_api}
"""

NUMPY_LIB = """
class NumpyVersion:
    def __init__(self, text):
        self.major = int(text.split(".")[0])
"""

GOOD = {0: 0x2000000, 210: 1, 211: 0x12}
CAPSULE = "_new_capsule(ctypes.addressof(_table), None, None)"

def make_fake_numpy(root, version, answers, array_api=CAPSULE):
    core = "_core" if int(version.split(".")[0]) >= 2 else "core"
    package = root / "numpy"
    (package / "lib").mkdir(parents=True)
    (package / core).mkdir()
    (package / "__init__.py").write_text(f"__version__ = {version!r}\n")
    (package / "lib" / "__init__.py").write_text(NUMPY_LIB)
    (package / core / "__init__.py").write_text("")
    (package / core / "multiarray.py").write_text(
        FAKE_MULTIARRAY.format(answers=answers, array_api=array_api)
    )

def first_call_error(root):
    completed = run_python(
        f"""
        import sys
        sys.path.insert(0, {str(root)!r})
        import _native
        try:
            _native.merge_points_removing_overlap(None, None, None, 0.1, 1)
        except BaseException as error:
            print(type(error).__name__)
            print(error.args[0])
        """
    )
    assert completed.returncode == 0, completed.stderr
    name, message = completed.stdout.split("\n", 1)
    return name, message.strip(), completed.stderr

@pytest.mark.parametrize(
    "version, answers, array_api, description",
    [
        (
            "2.1.0",
            {**GOOD, 0: 0x3000000},
            CAPSULE,
            "RuntimeError: module compiled against ABI version 0x2000000 but this version of numpy is 0x3000000",
        ),
        (
            "2.1.0",
            {**GOOD, 211: 0xB},
            CAPSULE,
            "RuntimeError: module was compiled against NumPy C-API version 0xc (NumPy 1.15) "
            "but the running NumPy has C-API version 0xb",
        ),
        (
            "2.1.0",
            {**GOOD, 210: 2},
            CAPSULE,
            "RuntimeError: module compiled as little endian, but detected different endianness at runtime",
        ),
        # Major version 1 must select numpy.core, where this stand-in keeps its table.
        (
            "1.26.4",
            {**GOOD, 0: 0x2000001},
            CAPSULE,
            "RuntimeError: module compiled against ABI version 0x2000000 but this version of numpy is 0x2000001",
        ),
        ("2.1.0", GOOD, "42", "TypeError: 'int' object is not an instance of 'PyCapsule'"),
    ],
)
def test_unusable_numpy_fails_the_first_call(tmp_path, version, answers, array_api, description):
    make_fake_numpy(tmp_path, version, answers, array_api)
    name, message, stderr = first_call_error(tmp_path)
    assert name == "PanicException"
    assert message == "Failed to access NumPy array API capsule: " + description
    # The failure is also reported on stderr by the thread it arose on.
    assert "thread 'main' " in stderr and message in stderr

def test_missing_core_module_is_reported(tmp_path):
    make_fake_numpy(tmp_path, "2.1.0", GOOD)
    (tmp_path / "numpy" / "_core" / "multiarray.py").unlink()
    name, message, _ = first_call_error(tmp_path)
    assert name == "PanicException"
    assert message.startswith("Failed to access NumPy array API capsule: ModuleNotFoundError: ")
