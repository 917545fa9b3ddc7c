// The call boundary: binds and converts the five arguments, claims the arrays so that the merge
// reads them in place, runs it and wraps the result.
#include "lib/call_boundary.h"

#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "lib/borrow_registry.h"
#include "lib/failure_guard.h"
#include "lib/numpy_api.h"
#include "lib/runtime_types.h"
#include "merge_engine/matrix.h"
#include "merge_engine/merge_driver.h"
#include "merge_engine/panic.h"

namespace native {

namespace {

using merge_engine::Matrix;
using merge_engine::MatrixView;

constexpr std::size_t parameter_count = 5;
constexpr std::array<const char*, parameter_count> parameter_names = {
    "connected_crop_rows", "points_in_rows", "row_information", "tolerance", "num_threads",
};
constexpr const char* function_name = "merge_points_removing_overlap()";

// Borrowed references, one per parameter, in parameter order.
using BoundArguments = std::array<PyObject*, parameter_count>;

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonErrorSet{};
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) text += "and ";
        text += std::string("'") + names[i] + "'";
    }
    return text;
}

std::optional<std::size_t> parameter_index(PyObject* keyword) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &length);
    if (text == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    for (std::size_t i = 0; i < parameter_count; ++i)
        if (std::strlen(parameter_names[i]) == static_cast<std::size_t>(length) &&
            std::memcmp(parameter_names[i], text, length) == 0)
            return i;
    return std::nullopt;
}

BoundArguments bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > static_cast<Py_ssize_t>(parameter_count))
        raise_type_error(std::string(function_name) + " takes 5 positional arguments but " +
                         std::to_string(nargs) + " were given");
    BoundArguments bound{};
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::optional<std::size_t> index = parameter_index(keyword);
        if (!index) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                         function_name, keyword);
            throw PythonErrorSet{};
        }
        if (bound[*index] != nullptr)
            raise_type_error(std::string(function_name) + " got multiple values for argument '" +
                             parameter_names[*index] + "'");
        bound[*index] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < parameter_count; ++i)
        if (bound[i] == nullptr) missing.push_back(parameter_names[i]);
    if (!missing.empty())
        raise_type_error(std::string(function_name) + " missing " + std::to_string(missing.size()) +
                         " required positional argument" + (missing.size() > 1 ? "s" : "") + ": " +
                         quoted_list(missing));
    return bound;
}

// Notes the parameter on the pending exception, then `detail` (if any) after it.
[[noreturn]] void fail_conversion(const char* parameter, const std::string& detail = {}) {
    add_parameter_note(parameter);
    if (!detail.empty()) add_note(detail);
    throw PythonErrorSet{};
}

// The element type of an array as NumPy names it ("float32"), "big-endian " first when it is
// not in this machine's byte order; empty when it cannot be read. Reads only attributes that
// NumPy implements in C, so no Python code runs.
std::string element_type_name(PyObject* array) {
    PyObject* descr = array_fields(array).descr;
    PyRef type = PyRef::steal(PyObject_GetAttrString(descr, "type"));
    PyRef name = type && PyType_Check(type.get())
                     ? PyRef::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(type.get())))
                     : PyRef();
    PyRef order = PyRef::steal(PyObject_GetAttrString(descr, "byteorder"));
    const char* name_text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    const char* order_text = order ? PyUnicode_AsUTF8(order.get()) : nullptr;
    if (name_text == nullptr || order_text == nullptr) {
        PyErr_Clear();
        return {};
    }
    // Native order reads "=", and "|" means order does not apply; little-endian is native here.
    return (std::strcmp(order_text, ">") == 0 ? "big-endian " : "") + std::string(name_text);
}

// What a refused array argument should have been, what it is and how to
// mend it; empty when that cannot be told. The number of dimensions comes
// from the array's own struct.
std::string refused_array_detail(const NumpyApi& numpy, PyObject* object) {
    const std::string expected = "expected a 2-dimensional NumPy array of float64; got ";
    const std::string to_float64 = "convert with numpy.asarray(a, dtype=numpy.float64)";
    if (object == Py_None) return expected + "None";
    if (!numpy.is_array(object))
        return expected + "a '" + type_name_of(object) + "' object: " + to_float64;

    std::string element_type = element_type_name(object);
    if (element_type.empty()) return {};
    int dimensions = array_fields(object).nd;
    std::string detail = expected + element_type + " with " + std::to_string(dimensions) +
                         (dimensions == 1 ? " dimension" : " dimensions");
    std::vector<std::string> fixes;
    if (element_type != "float64") fixes.push_back(to_float64);
    if (dimensions != 2)
        fixes.push_back(std::string("reshape it to 2 dimensions, one row per record or point") +
                        (dimensions > 0 ? ", e.g. a.reshape(-1, a.shape[-1])" : ""));
    for (std::size_t i = 0; i < fixes.size(); ++i) detail += (i == 0 ? ": " : " and ") + fixes[i];
    return detail;
}

ReadOnlyClaim convert_array(PyObject* object, const char* parameter) {
    NumpyApi numpy = NumpyApi::get();
    if (!numpy.is_float64_matrix(object)) {
        // Worked out before the TypeError is set: it may call into NumPy.
        std::string detail = refused_array_detail(numpy, object);
        if (object == Py_None)
            PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'ndarray'");
        else
            set_not_instance_error(object, "ndarray");
        fail_conversion(parameter, detail);
    }
    return ReadOnlyClaim(object);
}

double convert_tolerance(PyObject* object) {
    double value =
        PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) fail_conversion("tolerance");
    // Every comparison with a NaN margin is false, so the trim would drop
    // every point of every row that has a neighbour and report success.
    if (std::isnan(value)) {
        PyErr_SetString(PyExc_ValueError, "tolerance must not be NaN");
        fail_conversion("tolerance");
    }
    return value;
}

std::uint64_t convert_num_threads(PyObject* object) {
    PyRef integer =
        PyLong_Check(object) ? PyRef::borrow(object) : PyRef::steal(PyNumber_Index(object));
    if (!integer) fail_conversion("num_threads");
    unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        fail_conversion("num_threads");
    return value;
}

// The array's memory as the engine reads it, in place: any strides, any
// alignment. The claim that holds the array keeps that memory alive.
MatrixView view_of(const ReadOnlyClaim& claim) {
    const NumpyArrayFields& fields = array_fields(claim.array());
    return MatrixView(fields.data, static_cast<std::size_t>(fields.dimensions[0]),
                      static_cast<std::size_t>(fields.dimensions[1]), fields.strides[0],
                      fields.strides[1]);
}

void free_result_buffer(double* data, std::size_t, std::size_t capacity) {
    if (capacity != 0) std::free(data);
}

// NumPy needs a non-null address even for an array without elements.
double* const empty_buffer = reinterpret_cast<double*>(alignof(double));

// Hands the matrix's buffer to a new NumPy array through a PySliceContainer.
PyRef to_numpy_array(Matrix matrix) {
    std::size_t size = matrix.size();
    double* data = size != 0 ? matrix.data() : empty_buffer;
    PyRef container;
    try {
        container = make_slice_container(data, size, size, free_result_buffer);
    } catch (const PythonErrorSet&) {
        merge_engine::panic("Failed to create slice container: " + take_error_description());
    }
    matrix.release();  // the container owns the buffer from here on

    NumpyApi numpy = NumpyApi::get();
    PyRef array = PyRef::steal(numpy.new_float64_matrix(data, matrix.rows(), matrix.cols()));
    if (!array) {
        container = PyRef();
        PyErr_WriteUnraisable(nullptr);
        merge_engine::panic("PyObject pointer is null");
    }
    if (numpy.set_base_object(array.get(), container.release()) < 0) throw PythonErrorSet{};
    return array;
}

PyObject* merge(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(args, nargs, kwnames);
    // Declared in acquisition order, so unwinding withdraws the claims in
    // reverse, row_information first. The engine reads the arrays in place
    // while the call holds them and the interpreter lock.
    ReadOnlyClaim connected_crop_rows = convert_array(bound[0], parameter_names[0]);
    ReadOnlyClaim points_in_rows = convert_array(bound[1], parameter_names[1]);
    ReadOnlyClaim row_information = convert_array(bound[2], parameter_names[2]);
    double tolerance = convert_tolerance(bound[3]);
    std::uint64_t num_threads = convert_num_threads(bound[4]);

    Matrix result = merge_engine::multithreaded_merging(
        view_of(connected_crop_rows), view_of(points_in_rows), view_of(row_information), tolerance,
        num_threads, stderr_is_usable());
    return to_numpy_array(std::move(result)).release();
}

}  // namespace

PyObject* merge_points_removing_overlap(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&] { return merge(args, nargs, kwnames); });
}

}  // namespace native
