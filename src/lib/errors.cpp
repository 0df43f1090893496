#include "lib/errors.hpp"

#include <exception>
#include <new>
#include <string>

#include "core/errors.hpp"
#include "core/texts.hpp"

namespace kiln::py {

namespace {

// Raises PanicException(message) as the current Python error.
void raise_panic(const std::string& message) noexcept {
    PyObject* type = panic_type();
    if (!type) return;  // the creation error is pending instead
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(),
                                               static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    if (!exc) return;
    PyErr_SetObject(type, exc.get());
}

}  // namespace

void set_exception_from_current() noexcept {
    try {
        throw;
    } catch (PythonError& err) {
        err.restore();
    } catch (const kiln::ValueError& err) {
        PyErr_SetString(PyExc_ValueError, err.what());
    } catch (const kiln::Panic& err) {
        // The failure report was written where the panic was raised.
        raise_panic(err.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& err) {
        kiln::report_failure(err.what(), std::source_location::current());
        raise_panic(err.what());
    } catch (...) {
        kiln::report_failure(texts::kUnknownPanic, std::source_location::current());
        raise_panic(texts::kUnknownPanic);
    }
}

}  // namespace kiln::py
