// The _native extension module: function definition, exec step, slot table and PyInit__native.
#include "lib/call_boundary.h"
#include "lib/failure_guard.h"
#include "merge_engine/panic.h"

namespace native {

namespace {

// Functions.

// METH_STATIC: the entry receives no self object. Such a definition cannot
// sit in m_methods, so the exec step makes the function object itself.
PyMethodDef merge_function = {
    "merge_points_removing_overlap",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_points_removing_overlap)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "merge_points_removing_overlap(connected_crop_rows, points_in_rows, row_information, "
    "tolerance, num_threads)\n--\n\n",
};

// _set_failure_reports(written): whether this thread's failing calls write
// their report to stderr; returns the previous setting. For a caller, such as
// the crop_row_merge package, that reports each failure itself.
PyObject* set_failure_reports(PyObject*, PyObject* written) noexcept {
    return guarded<PyObject*>(nullptr, [&] {
        int value = PyObject_IsTrue(written);
        if (value < 0) throw PythonErrorSet{};
        return checked(PyBool_FromLong(native::set_failure_reports(value != 0))).release();
    });
}

PyMethodDef report_function = {
    "_set_failure_reports",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_failure_reports)),
    METH_O | METH_STATIC,
    "_set_failure_reports(written, /)\n--\n\nWhether failing calls on this thread write their "
    "report to standard error; returns the previous setting.",
};

// Exec step.

[[noreturn]] void raise_not_instance(PyObject* object, const char* expected) {
    set_not_instance_error(object, expected);
    throw PythonErrorSet{};
}

// The module's __all__, made an empty list if it has none.
PyRef all_list(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonErrorSet{};
    }
    if (!PyList_Check(all.get())) raise_not_instance(all.get(), "list");
    return all;
}

void add_function(PyObject* module) {
    if (module == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw PythonErrorSet{};
    }
    if (!PyModule_Check(module)) raise_not_instance(module, "module");
    // The worker pool, the exception and container types and NumPy's table
    // are shared by the whole process, so they may only ever meet objects of
    // the main interpreter.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "_native can only be loaded in the main interpreter");
        throw PythonErrorSet{};
    }

    PyRef module_name = checked(PyModule_GetNameObject(module));
    PyRef function = checked(PyCMethod_New(&merge_function, module, module_name.get(), nullptr));
    module_name = PyRef();
    PyRef name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    if (!PyUnicode_Check(name.get())) raise_not_instance(name.get(), "str");

    PyRef all = all_list(module);
    if (PyList_Append(all.get(), name.get()) < 0)
        merge_engine::panic("could not append __name__ to __all__: " + take_error_description());
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw PythonErrorSet{};
}

// Private, so not in __all__.
void add_report_switch(PyObject* module) {
    PyRef module_name = checked(PyModule_GetNameObject(module));
    PyRef function = checked(PyCMethod_New(&report_function, module, module_name.get(), nullptr));
    if (PyObject_SetAttrString(module, report_function.ml_name, function.get()) < 0)
        throw PythonErrorSet{};
}

// exec: put merge_points_removing_overlap, __all__ and the private report
// switch into a new module object.
int exec_module(PyObject* module) noexcept {
    return guarded(-1, [&] {
        add_function(module);
        add_report_switch(module);
        return 0;
    });
}

// Slot table.

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The module keeps no per-module Python state. Process-wide state, and what guards it:
    // - the worker pool (merge_engine/worker_pool.cpp): created under a mutex, which fork
    //   handlers hold across fork; inside it one mutex guards the workers' slots and a
    //   second lets one run or growth use the pool at a time;
    // - the worker bound (merge_engine/thread_count.cpp): a function-local static, set once;
    // - PanicException and PySliceContainer (runtime_types.cpp), NumPy's core name and its
    //   table (numpy_api.cpp), the borrow registry in use and its capsule
    //   (borrow_registry.cpp): atomics filled once, a racing creator dropping its own;
    // - the claims of our registry: its mutex;
    // - the backtrace note of failure reports (merge_engine/panic.cpp): an atomic flag.
    // Two things are guarded only by the interpreter lock, which a call holds throughout on
    // a standard build and which a free-threaded build does not have:
    // - getenv of the thread-count and colour variables (and of the tests' hooks for the
    //   pool's idle time and the control-group files), against os.environ writes (setenv)
    //   in another thread;
    // - the input arrays' shapes, strides, data and contents, read while another thread
    //   could resize them or write into them.
    // Free-threaded builds are untested (see the README).
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_native",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace native

// PyInit: hands the definition to the interpreter for multi-phase initialisation.
PyMODINIT_FUNC PyInit__native() {
    return PyModuleDef_Init(&native::module_definition);
}
