// Binding of positional and keyword arguments to named parameters, and the
// conversion of scalar arguments.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <exception>

#include "lib/errors.hpp"

namespace kiln::py {

// The parameters of one module function; all are required and may be given
// by position or by keyword.
struct Signature {
    const char* name;
    const char* const* params;
    std::size_t count;
};

// Fills slots[0 .. count-1] with borrowed references to the arguments, or
// throws the TypeError that describes the mismatch.
void bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Rewraps a failure to convert parameter `param`: an exception of exactly
// type TypeError becomes TypeError("argument '<param>': <message>"), keeping
// the original's cause but not chaining the original itself; anything else
// passes unchanged.
[[noreturn]] void rethrow_for_argument(const char* param, std::exception_ptr failure);

// Runs convert(), attributing a failure to parameter `param`.
template <class Convert>
auto convert_argument(const char* param, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (PythonError&) {
        rethrow_for_argument(param, std::current_exception());
    }
}

// Scalar conversions. Each throws PythonError (or the converter's
// OverflowError) on failure.
std::uint64_t to_u64(PyObject* obj);   // stride: any object with __index__
std::int64_t to_i64(PyObject* obj);    // axis: any object with __index__
double to_double(PyObject* obj);       // scale: any object with __float__ or int

}  // namespace kiln::py
