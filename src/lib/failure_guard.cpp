// Translation of C++ failures into Python exceptions, and descriptions of Python errors.
#include "lib/failure_guard.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "lib/runtime_types.h"
#include "merge_engine/panic.h"

namespace native {

namespace {

// Per thread, since a call's report is written on the thread that called:
// a caller that reports failures itself turns its own reports off, and
// every other caller keeps them.
thread_local bool failure_reports_written = true;

[[noreturn]] void abort_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// A failure while raising a failure cannot be reported to Python.
void raise_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) abort_at_boundary();
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message, std::strlen(message), "replace"));
    if (!text) abort_at_boundary();
    PyErr_SetObject(type, text.get());
}

// One report per failing call, written on the calling thread for the
// failure that the exception carries.
void raise_engine_panic(const merge_engine::Panic& failure) noexcept {
    if (failure_reports_written && stderr_is_usable()) merge_engine::write_failure_report(failure);
    raise_panic(failure.what());
    if (!failure.note().empty()) add_note(failure.note());
}

std::string utf8_of(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<str() failed>";
    }
    return utf8;
}

}  // namespace

PyRef checked(PyObject* object) {
    if (object == nullptr) throw PythonErrorSet{};
    return PyRef::steal(object);
}

std::string type_name_of(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return text;
}

void set_not_instance_error(PyObject* object, const char* expected) {
    std::string message =
        "'" + type_name_of(object) + "' object is not an instance of '" + expected + "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

std::string take_error_description() {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    if (!error) return "<no error set>";
    return type_name_of(error.get()) + ": " + utf8_of(error.get());
}

void add_note(const std::string& note) {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(note.data(), note.size(), "replace"));
    if (text) {
        PyRef added = PyRef::steal(PyObject_CallMethod(error.get(), "add_note", "O", text.get()));
        if (!added) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error.release());
}

void add_parameter_note(const char* parameter) {
    add_note(std::string("while processing '") + parameter + "'");
}

bool set_failure_reports(bool written) {
    bool previous = failure_reports_written;
    failure_reports_written = written;
    return previous;
}

bool stderr_is_usable() {
    PyObject* original = PySys_GetObject("__stderr__");  // borrowed
    return original != nullptr && original != Py_None;
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } catch (const merge_engine::OutOfMemory& failure) {
        PyErr_SetString(PyExc_MemoryError, failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const merge_engine::Panic& failure) {
        raise_engine_panic(failure);
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
}

}  // namespace native
