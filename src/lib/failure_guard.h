// The failure guard: the one place where C++ failures become Python exceptions.
#pragma once

#include "lib/py_ref.h"

#include <string>

namespace native {

// Thrown once a Python exception is pending; the guard lets that exception through.
struct PythonErrorSet {};

// Returns `object` as an owned reference, or throws PythonErrorSet if it is null.
PyRef checked(PyObject* object);

// The qualified name of the object's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* object);

// Sets TypeError "'<type name>' object is not an instance of '<expected>'".
void set_not_instance_error(PyObject* object, const char* expected);

// "TypeName: message" of the pending Python exception, which it clears.
std::string take_error_description();

// Adds `note` to the pending exception's notes; the exception stays as it
// was if the note cannot be attached.
void add_note(const std::string& note);

// Adds the note "while processing '<parameter>'" to the pending exception.
void add_parameter_note(const char* parameter);

// Whether the interpreter started with a standard error. Without one,
// descriptor 2 may be a file the program opened later, so nothing may be
// written there: no failure report and no progress bar.
bool stderr_is_usable();

// Whether failures of merge calls on this thread write their report to
// stderr (they do unless turned off); returns the previous setting.
bool set_failure_reports(bool written);

// Sets the Python exception for the C++ exception being handled: a pending
// Python error stays, std::bad_alloc becomes MemoryError (with the message
// of an engine OutOfMemory), a Panic becomes PanicException with its
// message and note after its report is written to stderr (unless this
// thread turned reports off), anything else
// PanicException with the failure's message.
void raise_current_exception() noexcept;

// Runs body() and returns its result; on any failure sets the Python
// exception and returns `on_failure`. Everything body() holds is released
// by unwinding before the exception is raised.
template <class Result, class Body>
Result guarded(Result on_failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return on_failure;
    }
}

}  // namespace native
