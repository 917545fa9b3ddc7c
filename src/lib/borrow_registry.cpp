// The shared borrow registry: finding or publishing it on NumPy, and the read-only claims of one
// call.
#include "lib/borrow_registry.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "lib/failure_guard.h"
#include "lib/numpy_api.h"
#include "merge_engine/panic.h"

namespace native {

namespace {

// Bytes from the lowest to one past the highest element; empty for an
// array without elements, which then conflicts with nothing.
struct Span {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;

    bool empty() const { return begin == end; }
    bool overlaps(const Span& other) const { return begin < other.end && other.begin < end; }
};

// The span of an array's elements, from its C fields and descriptor. Shapes
// and strides may describe more than the address space holds (as_strided
// makes such views without touching memory); such a span is taken as the
// whole address space, so it conflicts with every other claim rather than
// with none.
Span memory_span(const NumpyApi& numpy, PyObject* array) {
    const NumpyArrayFields& fields = array_fields(array);
    for (int axis = 0; axis < fields.nd; ++axis)
        if (fields.dimensions[axis] <= 0) return {};
    auto low = reinterpret_cast<std::intptr_t>(fields.data);
    std::intptr_t high = low;
    bool fits = true;
    for (int axis = 0; fits && axis < fields.nd; ++axis) {
        std::intptr_t reach = 0;
        fits = !__builtin_mul_overflow(fields.dimensions[axis] - 1, fields.strides[axis], &reach);
        std::intptr_t& side = reach < 0 ? low : high;
        fits = fits && !__builtin_add_overflow(side, reach, &side);
    }
    Py_ssize_t item_size = std::max<Py_ssize_t>(1, numpy.item_size(array));
    fits = fits && low >= 0 && !__builtin_add_overflow(high, item_size, &high);
    if (!fits) return {0, std::numeric_limits<std::uintptr_t>::max()};
    return {static_cast<std::uintptr_t>(low), static_cast<std::uintptr_t>(high)};
}

// A claim remembers its array and the span it covered when it was taken,
// so withdrawing it never reads the array again.
struct Claim {
    PyObject* array;
    Span span;
    bool writable;
};

// The registry this module publishes when NumPy carries none yet. Its
// functions are called with the interpreter lock held; the mutex guards the
// claims for interpreters without one.
struct Claims {
    std::mutex mutex;
    std::vector<Claim> list;

    int acquire(PyObject* array, bool writable) {
        // The registry is published only once the table is loaded.
        std::optional<NumpyApi> numpy = NumpyApi::loaded();
        if (!numpy || !numpy->is_array(array)) return not_an_array;
        Span span = memory_span(*numpy, array);
        if (span.empty()) return claim_granted;
        std::lock_guard lock(mutex);
        for (const Claim& claim : list)
            if (claim.span.overlaps(span) && (claim.writable || writable)) return already_borrowed;
        try {
            list.push_back({array, span, writable});
        } catch (const std::bad_alloc&) {
            return claim_out_of_memory;
        }
        return claim_granted;
    }

    // Withdraws one claim of this kind on `array`; an array without elements holds none.
    void release(PyObject* array, bool writable) {
        std::lock_guard lock(mutex);
        auto claim = std::find_if(list.rbegin(), list.rend(), [&](const Claim& c) {
            return c.array == array && c.writable == writable;
        });
        if (claim != list.rend()) list.erase(std::next(claim).base());
    }
};

int acquire_read(void* state, PyObject* array) noexcept {
    return static_cast<Claims*>(state)->acquire(array, false);
}

int acquire_write(void* state, PyObject* array) noexcept {
    return static_cast<Claims*>(state)->acquire(array, true);
}

void release_read(void* state, PyObject* array) noexcept {
    static_cast<Claims*>(state)->release(array, false);
}

void release_write(void* state, PyObject* array) noexcept {
    static_cast<Claims*>(state)->release(array, true);
}

Claims own_claims;
const SharedBorrowRegistry own_registry = {
    1, &own_claims, acquire_read, acquire_write, release_read, release_write,
};

std::atomic<const SharedBorrowRegistry*> registry_in_use{nullptr};
// The capsule of the registry in use, owned for the life of the process:
// the registry must outlive every claim taken through it.
std::atomic<PyObject*> registry_capsule{nullptr};

// The registry NumPy carries, or ours, published there if it carries none.
const SharedBorrowRegistry* find_or_publish_registry() {
    PyRef multiarray = NumpyApi::import_multiarray();
    PyRef capsule =
        PyRef::steal(PyObject_GetAttrString(multiarray.get(), borrow_registry_attribute));
    if (!capsule) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
        capsule = checked(PyCapsule_New(const_cast<SharedBorrowRegistry*>(&own_registry),
                                        borrow_registry_attribute, nullptr));
        if (PyObject_SetAttrString(multiarray.get(), borrow_registry_attribute, capsule.get()) < 0)
            throw PythonErrorSet{};
    }
    auto registry = static_cast<const SharedBorrowRegistry*>(
        PyCapsule_GetPointer(capsule.get(), borrow_registry_attribute));
    if (registry == nullptr) throw PythonErrorSet{};
    if (registry->version < 1) {
        PyErr_Format(PyExc_RuntimeError, "borrow registry version %llu is not supported",
                     registry->version);
        throw PythonErrorSet{};
    }
    if (PyObject* kept = registry_capsule.exchange(capsule.release())) Py_DECREF(kept);
    return registry;
}

const SharedBorrowRegistry* shared_registry() {
    if (const SharedBorrowRegistry* registry = registry_in_use.load()) return registry;
    const SharedBorrowRegistry* registry = nullptr;
    try {
        registry = find_or_publish_registry();
    } catch (const PythonErrorSet&) {
        merge_engine::panic("Internal borrow checking API error: " + take_error_description());
    }
    const SharedBorrowRegistry* expected = nullptr;
    registry_in_use.compare_exchange_strong(expected, registry);
    return expected != nullptr ? expected : registry;
}

}  // namespace

ReadOnlyClaim::ReadOnlyClaim(PyObject* array) : registry_(shared_registry()) {
    int code = registry_->acquire_read(registry_->state, array);
    if (code == already_borrowed)
        merge_engine::panic(merge_engine::unwrapped_error("AlreadyBorrowed"));
    if (code == claim_out_of_memory) throw std::bad_alloc();
    if (code != claim_granted)
        merge_engine::panic("Unexpected return code " + std::to_string(code) +
                            " from borrow checking API");
    array_ = PyRef::borrow(array);
}

ReadOnlyClaim::~ReadOnlyClaim() {
    if (array_) registry_->release_read(registry_->state, array_.get());
}

}  // namespace native
