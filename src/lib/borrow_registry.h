// Read-only claims on input arrays, registered in a borrow registry shared with other native
// modules.
#pragma once

#include "lib/py_ref.h"

namespace native {

// The registry's C interface, published as a capsule on NumPy's core
// multiarray module so that every module using it sees the others' claims.
// Claims conflict by the memory span their arrays cover: a read claim fails
// while a writable claim overlaps it, a writable claim while any claim does.
// The span comes from the array's C fields and its descriptor alone, so a
// claim runs no Python code, whatever the array's class says of itself.
struct SharedBorrowRegistry {
    unsigned long long version;  // at least 1
    void* state;
    // One of the claim codes below.
    int (*acquire_read)(void* state, PyObject* array);
    int (*acquire_write)(void* state, PyObject* array);
    // Withdraw a claim through the same array object that took it.
    void (*release_read)(void* state, PyObject* array);
    void (*release_write)(void* state, PyObject* array);
};

inline constexpr int claim_granted = 0;
inline constexpr int already_borrowed = -1;  // the memory is claimed in a conflicting way
inline constexpr int claim_out_of_memory = -2;
inline constexpr int not_an_array = -3;  // the object is no NumPy array

inline constexpr const char* borrow_registry_attribute = "_NATIVE_SHARED_BORROW_REGISTRY";

// A reference to an input array together with a read-only claim on its
// memory; the claim is withdrawn, then the reference dropped, on destruction.
class ReadOnlyClaim {
  public:
    // Panics with "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
    // when another module holds a writable claim on the array's memory; throws
    // std::bad_alloc when the registry has no memory left for the claim.
    explicit ReadOnlyClaim(PyObject* array);
    ReadOnlyClaim(ReadOnlyClaim&& other) noexcept = default;
    ReadOnlyClaim& operator=(ReadOnlyClaim&&) = delete;
    ~ReadOnlyClaim();

    PyObject* array() const { return array_.get(); }

  private:
    const SharedBorrowRegistry* registry_;
    PyRef array_;
};

}  // namespace native
