// Loading and version checks of NumPy's array API table, and the few table functions the module
// calls.
#include "lib/numpy_api.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "lib/failure_guard.h"
#include "merge_engine/panic.h"

namespace native {

namespace {

using namespace numpy_abi;

using VersionFunction = unsigned (*)();
using EndiannessFunction = int (*)();
using DescrFromTypeFunction = PyObject* (*)(int);
using EquivTypesFunction = unsigned char (*)(PyObject*, PyObject*);
using NewFromDescrFunction = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                           const Py_ssize_t*, void*, int, PyObject*);
using SetBaseObjectFunction = int (*)(PyObject*, PyObject*);

std::atomic<const char*> core_name{nullptr};
std::atomic<const void*> loaded_table{nullptr};

std::string to_hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%x", value);
    return text;
}

[[noreturn]] void raise_runtime_error(const std::string& message) {
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    throw PythonErrorSet{};
}

unsigned char numpy_major_version() {
    PyRef numpy = checked(PyImport_ImportModule("numpy"));
    PyRef version = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
    PyRef lib = checked(PyImport_ImportModule("numpy.lib"));
    PyRef parsed = checked(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    PyRef major = checked(PyObject_GetAttrString(parsed.get(), "major"));
    unsigned long value = PyLong_AsUnsignedLong(major.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
    if (value > 255) {
        PyErr_SetString(PyExc_OverflowError, "NumPy's major version does not fit in 8 bits");
        throw PythonErrorSet{};
    }
    return static_cast<unsigned char>(value);
}

// Imports the core's multiarray module, takes its table and checks that
// the running NumPy can serve a module built like this one. The capsule
// that holds the table stays referenced for the life of the process.
// Returns the table and the running NumPy's C-API version.
std::pair<void**, unsigned> load_table() {
    PyRef multiarray = NumpyApi::import_multiarray();
    PyRef capsule = checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get())) {
        set_not_instance_error(capsule.get(), "PyCapsule");
        throw PythonErrorSet{};
    }
    auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) throw PythonErrorSet{};

    unsigned abi = reinterpret_cast<VersionFunction>(table[slot_get_ndarray_c_version])();
    if (abi > compiled_abi_version)
        raise_runtime_error(
            "module compiled against ABI version 0x2000000 but this version of numpy is 0x" +
            to_hex(abi));
    unsigned feature =
        reinterpret_cast<VersionFunction>(table[slot_get_ndarray_c_feature_version])();
    if (feature < compiled_feature_version)
        raise_runtime_error(
            "module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the running "
            "NumPy has C-API version 0x" +
            to_hex(feature));
    if (reinterpret_cast<EndiannessFunction>(table[slot_get_endianness])() != little_endian)
        raise_runtime_error(
            "module compiled as little endian, but detected different endianness at runtime");

    capsule.release();  // kept for the life of the process, with the table it holds
    return {table, feature};
}

}  // namespace

const char* NumpyApi::core_module_name() {
    if (const char* name = core_name.load()) return name;
    const char* name = numpy_major_version() >= 2 ? "numpy._core" : "numpy.core";
    core_name.store(name);
    return name;
}

PyRef NumpyApi::import_multiarray() {
    std::string module_name = std::string(core_module_name()) + ".multiarray";
    return checked(PyImport_ImportModule(module_name.c_str()));
}

std::optional<NumpyApi> NumpyApi::loaded() noexcept {
    if (const void* table = loaded_table.load()) return NumpyApi(static_cast<const Table*>(table));
    return std::nullopt;
}

NumpyApi NumpyApi::get() {
    if (std::optional<NumpyApi> numpy = loaded()) return *numpy;
    std::pair<void**, unsigned> found;
    try {
        found = load_table();
    } catch (const PythonErrorSet&) {
        merge_engine::panic("Failed to access NumPy array API capsule: " +
                            take_error_description());
    }
    // Never freed: every later call reads it. A thread that loses the race to
    // publish it frees its own and uses the winner's.
    auto table = std::make_unique<Table>(Table{found.first, found.second});
    const void* expected = nullptr;
    if (loaded_table.compare_exchange_strong(expected, table.get()))
        return NumpyApi(table.release());
    return NumpyApi(static_cast<const Table*>(expected));
}

bool NumpyApi::is_array(PyObject* object) const {
    return PyObject_TypeCheck(object, array_type());
}

bool NumpyApi::is_float64_matrix(PyObject* object) const {
    if (!is_array(object) || array_fields(object).nd != 2) return false;
    PyRef float64 =
        checked(function<DescrFromTypeFunction>(slot_descr_from_type)(float64_type_number));
    PyObject* descr = array_fields(object).descr;
    return descr == float64.get() ||
           function<EquivTypesFunction>(slot_equiv_types)(descr, float64.get()) != 0;
}

Py_ssize_t NumpyApi::item_size(PyObject* array) const {
    const PyObject* descr = array_fields(array).descr;
    if (table_->feature_version >= numpy2_feature_version)
        return reinterpret_cast<const NumpyDescriptorFields2*>(descr)->elsize;
    return reinterpret_cast<const NumpyDescriptorFields1*>(descr)->elsize;
}

PyObject* NumpyApi::new_float64_matrix(double* data, std::size_t rows, std::size_t cols) const {
    PyTypeObject* type = array_type();
    PyObject* float64 = function<DescrFromTypeFunction>(slot_descr_from_type)(float64_type_number);
    if (float64 == nullptr) return nullptr;
    Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)};
    Py_ssize_t strides[2] = {static_cast<Py_ssize_t>(cols * sizeof(double)), sizeof(double)};
    // The descriptor reference is stolen by NumPy.
    return function<NewFromDescrFunction>(slot_new_from_descr)(type, float64, 2, shape, strides,
                                                               data, writeable_flag, nullptr);
}

int NumpyApi::set_base_object(PyObject* array, PyObject* base) const {
    return function<SetBaseObjectFunction>(slot_set_base_object)(array, base);
}

}  // namespace native
