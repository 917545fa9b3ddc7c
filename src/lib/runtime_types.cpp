// PanicException and PySliceContainer: created on first need, shared by every module object of the
// process.
#include "lib/runtime_types.h"

#include <atomic>

#include "lib/failure_guard.h"

namespace native {

namespace {

// Fills `cache` once: a racing creator drops its own object and uses the
// winner's, so nobody ever waits while holding the interpreter lock.
PyObject* publish_once(std::atomic<PyObject*>& cache, PyObject* created) {
    PyObject* expected = nullptr;
    if (cache.compare_exchange_strong(expected, created)) return created;
    Py_DECREF(created);
    return expected;
}

constexpr const char* panic_exception_doc =
    "\n"
    "The exception raised when native code called from Python fails irrecoverably.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, not Exception, so that it\n"
    "typically propagates all the way through the stack and causes the\n"
    "interpreter to exit.\n";

std::atomic<PyObject*> panic_exception{nullptr};

struct SliceContainer {
    PyObject_HEAD double* data;
    std::size_t length;
    std::size_t capacity;
    BufferRelease release;
};

// dealloc: release the buffer once, then free the instance and drop the
// reference that every instance of a heap type holds on its type.
void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    container->release(container->data, container->length, container->capacity);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc,
     const_cast<char*>(
         "Utility type that keeps a natively allocated buffer safely on the Python heap.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    .name = "native_runtime.PySliceContainer",
    .basicsize = sizeof(SliceContainer),
    .itemsize = 0,
    // Only the module makes instances: one made from Python would own no buffer.
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slice_container_slots,
};

std::atomic<PyObject*> slice_container_type{nullptr};

PyTypeObject* get_slice_container_type() {
    if (PyObject* type = slice_container_type.load()) return reinterpret_cast<PyTypeObject*>(type);
    PyRef created = checked(PyType_FromSpec(&slice_container_spec));
    if (PyType_Freeze(reinterpret_cast<PyTypeObject*>(created.get())) < 0) throw PythonErrorSet{};
    return reinterpret_cast<PyTypeObject*>(publish_once(slice_container_type, created.release()));
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (PyObject* type = panic_exception.load()) return type;
    PyObject* created = PyErr_NewExceptionWithDoc(
        "native_runtime.PanicException", panic_exception_doc, PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    return publish_once(panic_exception, created);
}

PyRef make_slice_container(double* data, std::size_t length, std::size_t capacity,
                           BufferRelease release) {
    PyTypeObject* type = get_slice_container_type();
    PyRef object = checked(type->tp_alloc(type, 0));
    auto* container = reinterpret_cast<SliceContainer*>(object.get());
    container->data = data;
    container->length = length;
    container->capacity = capacity;
    container->release = release;
    return object;
}

}  // namespace native
