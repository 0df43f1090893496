// Python exceptions as C++ values.
//
// Inside a call, a Python error is never left pending: it is taken from the
// interpreter at once and carried as a PythonError through the C++ stack, so
// that every RAII handle (array holds, buffers) is released on the way out.
// The call bracket in src/lib gives it back to the interpreter.
#pragma once

#include <Python.h>

#include <string>

#include "py/ref.hpp"

namespace kiln::py {

// A Python exception taken from the interpreter, on its way back to it.
struct PythonError {
    Ref type, value, traceback;

    // Takes the pending exception; all three are empty when none is pending.
    static PythonError fetch() noexcept;

    // Makes `value` an instance of `type`.
    void normalize() noexcept;

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
[[noreturn]] void throw_error(PyObject* type, const std::string& message);

// For interpreter calls that must return a new object: a null result is
// printed and ends the call as the internal failure "Python API call failed".
PyObject* check_new(PyObject* obj);

// Discards a pending exception that stands for an expected failure (any
// Exception). Anything else, such as a KeyboardInterrupt or SystemExit raised
// while Python code ran, is thrown on unchanged instead of being lost.
void clear_expected_error();

// The PanicException type, created on first use; null (with the interpreter's
// error pending) if it cannot be created.
PyObject* panic_type();

// str() of an object as UTF-8 text, or `fallback` if that fails.
std::string to_text(PyObject* obj, const char* fallback);

// "__qualname__" of a type as text, or "<failed to extract type name>".
std::string type_qualname(PyTypeObject* type);

// "<type>: <message>" of a fetched error, for internal-failure texts.
std::string describe(PythonError& err);

}  // namespace kiln::py
