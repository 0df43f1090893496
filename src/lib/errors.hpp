// The one place where C++ failures become Python exceptions.
//
// Inside a call, a Python error is never left pending: it is taken from the
// interpreter at once and carried as a PythonError through the C++ stack, so
// that every RAII handle (array holds, buffers) is released on the way out.
// The call bracket then sets exactly one Python exception and returns null.
#pragma once

#include <Python.h>

#include <string>

#include "core/fpenv.hpp"
#include "lib/pyref.hpp"

namespace kiln::py {

// A Python exception taken from the interpreter, on its way back to it.
struct PythonError {
    Ref type, value, traceback;

    // Gives the exception back to the interpreter as its current error.
    void restore() noexcept {
        PyErr_Restore(type.release(), value.release(), traceback.release());
    }
};

// Takes the pending Python exception and throws it as a PythonError. With no
// exception pending, throws SystemError "attempted to fetch exception but
// none was set". A PanicException coming back from Python code is printed
// and continues as an internal failure.
[[noreturn]] void throw_fetched();

// Throws `type` with the message `message` (a new str reference, or null when
// making it failed).
[[noreturn]] void throw_error(PyObject* type, Ref message);
[[noreturn]] void throw_error(PyObject* type, const char* message);

// For interpreter calls that must return a new object: a null result is
// printed and ends the call as the internal failure "Python API call failed".
PyObject* check_new(PyObject* obj);

// The PanicException type, created on first use.
PyObject* panic_type();

// str() of an object as UTF-8 text, or `fallback` if that fails.
std::string to_text(PyObject* obj, const char* fallback);

// "__qualname__" of a type as text, or "<failed to extract type name>".
std::string type_qualname(PyTypeObject* type);

// Sets the Python exception for the failure being handled (called from the
// catch-all of the call bracket).
void set_exception_from_current() noexcept;

// Runs one entry point: returns fn()'s new reference, or null with exactly
// one Python exception set, whatever fn throws. The call runs in the default
// floating-point environment; the caller's is restored on return.
template <class Fn>
PyObject* call_bracket(Fn&& fn) noexcept {
    DefaultFpEnv fp_env;
    try {
        return fn();
    } catch (...) {
        set_exception_from_current();
        return nullptr;
    }
}

}  // namespace kiln::py
