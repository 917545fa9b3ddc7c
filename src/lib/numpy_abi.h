// The parts of NumPy's C interface the module uses, written out by hand: numbers, table slots
// and struct layouts.
#pragma once

#include "lib/py_ref.h"

#include <cstdint>

// The module builds without NumPy's headers, so nothing here comes from them; the check in
// tests/numpy_abi compares every number and offset below with NumPy's own headers.

namespace native {

namespace numpy_abi {

// What the module was written against: the ABI of NumPy 2 and the C API of NumPy 1.15.
inline constexpr unsigned compiled_abi_version = 0x2000000;  // NPY_ABI_VERSION
inline constexpr unsigned compiled_feature_version = 0xc;    // NPY_1_15_API_VERSION
// A running NumPy of this C-API version or later lays descriptors out as NumPy 2 does.
inline constexpr unsigned numpy2_feature_version = 0x12;  // NPY_2_0_API_VERSION

inline constexpr int float64_type_number = 12;  // NPY_DOUBLE
inline constexpr int writeable_flag = 0x0400;   // NPY_ARRAY_WRITEABLE
inline constexpr int little_endian = 1;         // NPY_CPU_LITTLE

// Slots of the functions and objects in the array API table.
enum Slot {
    slot_get_ndarray_c_version = 0,
    slot_array_type = 2,
    slot_descr_from_type = 45,
    slot_new_from_descr = 94,
    slot_equiv_types = 182,
    slot_get_endianness = 210,
    slot_get_ndarray_c_feature_version = 211,
    slot_set_base_object = 282,
};

}  // namespace numpy_abi

// The leading fields of a NumPy array object (PyArrayObject_fields), the same in
// every NumPy release the module accepts.
struct NumpyArrayFields {
    PyObject_HEAD char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

// The leading fields of a descriptor up to its item size, as NumPy 1 lays them out
// (PyArray_DescrProto) ...
struct NumpyDescriptorFields1 {
    PyObject_HEAD PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char flags;
    int type_num;
    int elsize;
};

// ... and as NumPy 2 does (_PyArray_DescrNumPy2), where the item size moved.
struct NumpyDescriptorFields2 {
    PyObject_HEAD PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char former_flags;
    int type_num;
    std::uint64_t flags;
    Py_ssize_t elsize;
};

}  // namespace native
