// NumPy's C API, reached through its array API table that is loaded on first use.
#pragma once

#include "lib/numpy_abi.h"
#include "lib/py_ref.h"

#include <cstddef>
#include <optional>

namespace native {

// The fields of `array`, which must be an ndarray or an instance of a subclass.
inline const NumpyArrayFields& array_fields(PyObject* array) {
    return *reinterpret_cast<const NumpyArrayFields*>(array);
}

class NumpyApi {
  public:
    // The table, loaded and version-checked on the first use in the process.
    // Panics with "Failed to access NumPy array API capsule: ..." when NumPy
    // is missing or unusable; the next use tries again.
    static NumpyApi get();

    // The table if an earlier get() loaded it. Never loads it, so it runs no Python code.
    static std::optional<NumpyApi> loaded() noexcept;

    // The core's "multiarray" module; throws PythonErrorSet on failure.
    static PyRef import_multiarray();

    // An ndarray or an instance of a subclass, by its type alone.
    bool is_array(PyObject* object) const;

    // An ndarray (or subclass) of 2 dimensions with float64 elements.
    bool is_float64_matrix(PyObject* object) const;

    // The item size of an array, from its descriptor's fields in the layout of the running
    // NumPy: never through a Python attribute, which a subclass could override.
    Py_ssize_t item_size(PyObject* array) const;

    // A new writeable row-major float64 array over `data`, which it does
    // not own; null with NumPy's error pending on failure.
    PyObject* new_float64_matrix(double* data, std::size_t rows, std::size_t cols) const;

    // Makes `base` (a reference it steals, even on failure) the owner of the
    // array's memory; -1 with an error pending on failure.
    int set_base_object(PyObject* array, PyObject* base) const;

  private:
    // "numpy._core" or "numpy.core", by NumPy's major version; found once.
    // Throws PythonErrorSet when NumPy cannot tell its version.
    static const char* core_module_name();

    // The table with the C-API version of the NumPy that serves it.
    struct Table {
        void** slots;
        unsigned feature_version;
    };

    explicit NumpyApi(const Table* table) : table_(table) {}
    template <class Function>
    Function function(int slot) const {
        return reinterpret_cast<Function>(table_->slots[slot]);
    }
    PyTypeObject* array_type() const {
        return static_cast<PyTypeObject*>(table_->slots[numpy_abi::slot_array_type]);
    }

    const Table* table_;
};

}  // namespace native
