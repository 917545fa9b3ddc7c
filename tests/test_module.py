"""The module object, its one function, and the two runtime types it creates."""

import inspect
import sys

import numpy as np
import pytest

import _native
from support import junction_field, run_python

FUNCTION = "merge_points_removing_overlap"
PARAMETERS = ["connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads"]


def panic_type():
    """PanicException is not exported; a failing call is the way to reach it."""
    field = junction_field()
    field["row_information"] = np.zeros((0, 11))
    with pytest.raises(BaseException) as caught:
        _native.merge_points_removing_overlap(**field, tolerance=0.1, num_threads=1)
    return type(caught.value)


def test_module_holds_only_the_function_the_report_switch_and_all():
    own = {name for name in vars(_native) if not name.startswith("__")}
    assert own == {FUNCTION, "_set_failure_reports"}
    assert _native.__all__ == [FUNCTION]
    assert _native.__doc__ == ""


def test_function_introspection():
    function = _native.merge_points_removing_overlap
    assert function.__name__ == function.__qualname__ == FUNCTION
    assert function.__module__ == "_native"
    assert function.__doc__ is None
    assert function.__self__ is None
    signature = inspect.signature(function)
    assert list(signature.parameters) == PARAMETERS
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_panic_exception_is_a_base_exception_only():
    panic = panic_type()
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "native_runtime"
    assert issubclass(panic, BaseException)
    assert not issubclass(panic, Exception)
    assert "BaseException" in panic.__doc__
    assert not hasattr(_native, "PanicException")


def test_panic_exception_type_is_created_once():
    assert panic_type() is panic_type()


def test_reimport_makes_a_new_module_with_the_same_entry():
    first = sys.modules.pop("_native")
    try:
        import _native as second

        assert second is not first
        assert second.merge_points_removing_overlap is not first.merge_points_removing_overlap
        assert second.__all__ is not first.__all__
        assert second.__all__ == [FUNCTION]
        field = junction_field()
        np.testing.assert_array_equal(
            second.merge_points_removing_overlap(**field, tolerance=0.1, num_threads=1),
            first.merge_points_removing_overlap(**field, tolerance=0.1, num_threads=2),
        )
    finally:
        sys.modules["_native"] = first


def test_slice_container_cannot_be_made_from_python():
    result = _native.merge_points_removing_overlap(**junction_field(), tolerance=0.1, num_threads=1)
    container_type = type(result.base)
    assert container_type.__name__ == "PySliceContainer"
    assert "buffer" in container_type.__doc__
    with pytest.raises(TypeError):
        container_type()


def test_import_needs_no_numpy_and_first_call_reports_it():
    completed = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        import _native
        assert "numpy" not in [name for name in sys.modules if sys.modules[name] is not None]
        for attempt in range(2):
            try:
                _native.merge_points_removing_overlap([], [], [], 0.1, 1)
            except BaseException as error:
                print(type(error).__name__, error.args[0])
        """
    )
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    # A failed load is not cached: the second call tries again and fails the same way.
    assert len(lines) == 2
    for line in lines:
        assert line.startswith("PanicException Failed to access NumPy array API capsule: ")
        assert "ModuleNotFoundError" in line


def test_sub_interpreters_are_refused():
    import _interpreters

    interpreter = _interpreters.create(_interpreters.new_config("legacy"))
    try:
        failure = _interpreters.exec(interpreter, "import _native")
    finally:
        _interpreters.destroy(interpreter)
    assert failure.type.__name__ == "ImportError"
    assert failure.msg == "_native can only be loaded in the main interpreter"
