// The one place where C++ failures become Python exceptions: the bracket
// around every entry point.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include "core/fpenv.hpp"
#include "core/thread.hpp"
#include "py/error.hpp"

namespace kiln::py {

// Sets the Python exception for the failure being handled (called from the
// catch-all of the call bracket).
void set_exception_from_current() noexcept;

// Runs one entry point: returns fn()'s new reference, or null with exactly
// one Python exception set, whatever fn throws. The call runs in the default
// floating-point environment; the caller's is restored on return.
//
// When the interpreter ends this thread while Python code called from inside
// fn runs (a daemon thread at interpreter exit), the thread is unwound by a
// forced unwind: the bracket rethrows it rather than turn it into a Python
// error, because the thread may no longer use the interpreter and must not
// be stopped. The destructors of fn's locals still run on the way out; the
// references they drop are held alive by the dying thread's own frames, so
// none of those decrements frees an object.
template <class Fn>
PyObject* call_bracket(Fn&& fn) {
    DefaultFpEnv fp_env;
    try {
        prepare_thread();
        return fn();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_exception_from_current();
        return nullptr;
    }
}

}  // namespace kiln::py
