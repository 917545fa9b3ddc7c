// Every hand-written number, offset and table slot of lib/numpy_abi.h against NumPy's own headers.
#include <cstddef>
#include <cstdint>

#include "check.h"
#include "lib/numpy_abi.h"

// NumPy's table macros then read from a table of our own, which is all that is needed to
// see which slot each name reads; nothing here calls into NumPy.
#define PY_ARRAY_UNIQUE_SYMBOL numpy_abi_check_table
#define NO_IMPORT_ARRAY
#define NPY_NO_DEPRECATED_API NPY_API_VERSION
#include <numpy/arrayobject.h>

void** numpy_abi_check_table = nullptr;

namespace nabi = native::numpy_abi;

UNIT_TEST(versions_and_constants_are_numpys_own) {
    CHECK_EQ(nabi::compiled_abi_version, unsigned{NPY_ABI_VERSION});
    CHECK_EQ(nabi::compiled_feature_version, unsigned{NPY_1_15_API_VERSION});
    CHECK_EQ(nabi::numpy2_feature_version, unsigned{NPY_2_0_API_VERSION});
    CHECK_EQ(nabi::float64_type_number, int{NPY_DOUBLE});
    CHECK_EQ(nabi::writeable_flag, int{NPY_ARRAY_WRITEABLE});
    CHECK_EQ(nabi::little_endian, int{NPY_CPU_LITTLE});
}

// Each entry of the stand-in table holds its own address, so a name read through NumPy's
// macros gives away the slot it reads.
UNIT_TEST(table_slots_are_those_of_numpys_macros) {
    static void* table[400];
    for (void*& entry : table) entry = &entry;
    numpy_abi_check_table = table;
    auto slot_of = [](const void* entry) {
        return static_cast<int>(static_cast<void* const*>(entry) - table);
    };
    CHECK_EQ(int{nabi::slot_get_ndarray_c_version},
             slot_of(reinterpret_cast<void*>(PyArray_GetNDArrayCVersion)));
    CHECK_EQ(int{nabi::slot_array_type}, slot_of(&PyArray_Type));
    CHECK_EQ(int{nabi::slot_descr_from_type},
             slot_of(reinterpret_cast<void*>(PyArray_DescrFromType)));
    CHECK_EQ(int{nabi::slot_new_from_descr},
             slot_of(reinterpret_cast<void*>(PyArray_NewFromDescr)));
    CHECK_EQ(int{nabi::slot_equiv_types}, slot_of(reinterpret_cast<void*>(PyArray_EquivTypes)));
    CHECK_EQ(int{nabi::slot_get_endianness},
             slot_of(reinterpret_cast<void*>(PyArray_GetEndianness)));
    CHECK_EQ(int{nabi::slot_get_ndarray_c_feature_version},
             slot_of(reinterpret_cast<void*>(PyArray_GetNDArrayCFeatureVersion)));
    CHECK_EQ(int{nabi::slot_set_base_object},
             slot_of(reinterpret_cast<void*>(PyArray_SetBaseObject)));
    numpy_abi_check_table = nullptr;
}

#define CHECK_FIELD(ours, theirs, field)                          \
    do {                                                          \
        CHECK_EQ(offsetof(ours, field), offsetof(theirs, field)); \
        CHECK_EQ(sizeof(ours::field), sizeof(theirs::field));     \
    } while (false)

UNIT_TEST(array_fields_lie_where_numpy_puts_them) {
    using Ours = native::NumpyArrayFields;
    using Theirs = PyArrayObject_fields;
    CHECK_FIELD(Ours, Theirs, data);
    CHECK_FIELD(Ours, Theirs, nd);
    CHECK_FIELD(Ours, Theirs, dimensions);
    CHECK_FIELD(Ours, Theirs, strides);
    CHECK_FIELD(Ours, Theirs, base);
    CHECK_FIELD(Ours, Theirs, descr);
    CHECK_FIELD(Ours, Theirs, flags);
    CHECK_EQ(sizeof(Py_ssize_t), sizeof(npy_intp));
}

UNIT_TEST(descriptor_fields_lie_where_each_numpy_puts_them) {
    CHECK_FIELD(native::NumpyDescriptorFields1, PyArray_DescrProto, type_num);
    CHECK_FIELD(native::NumpyDescriptorFields1, PyArray_DescrProto, elsize);
    CHECK_FIELD(native::NumpyDescriptorFields2, _PyArray_DescrNumPy2, type_num);
    CHECK_FIELD(native::NumpyDescriptorFields2, _PyArray_DescrNumPy2, flags);
    CHECK_FIELD(native::NumpyDescriptorFields2, _PyArray_DescrNumPy2, elsize);
}
