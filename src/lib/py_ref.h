// PyRef: an owned reference to a Python object, dropped when it goes out of scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace native {

class PyRef {
  public:
    PyRef() = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    // Takes over a new reference (null allowed, e.g. from a failed call).
    static PyRef steal(PyObject* object) { return PyRef(object); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* object) { return PyRef(Py_XNewRef(object)); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    // Gives the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }

  private:
    explicit PyRef(PyObject* object) : object_(object) {}
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

    PyObject* object_ = nullptr;
};

}  // namespace native
