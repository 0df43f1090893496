#include "lib/errors.hpp"

#include <cstdio>
#include <exception>
#include <new>

#include "core/errors.hpp"
#include "core/texts.hpp"

namespace kiln::py {

namespace {

PyObject* g_panic_type = nullptr;

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

PyObject* panic_type() {
    if (g_panic_type) return g_panic_type;
    PyObject* type = PyErr_NewExceptionWithDoc(texts::kPanicTypeName, texts::kPanicTypeDoc, PyExc_BaseException,
                                               nullptr);
    if (!type) {
        // Nothing sound can be done about this; the interpreter's own error
        // (usually MemoryError) is left pending for the caller.
        std::fputs("_kiln_kernels: Failed to initialize new exception type.\n", stderr);
        return nullptr;
    }
    if (g_panic_type) {
        Py_DECREF(type);
    } else {
        g_panic_type = type;
    }
    return g_panic_type;
}

std::string to_text(PyObject* obj, const char* fallback) {
    if (!obj) return fallback;
    Ref str = Ref::steal(PyObject_Str(obj));
    if (!str) {
        PyErr_Clear();
        return fallback;
    }
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str.get(), "utf-8", "replace"));
    if (!bytes) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

std::string type_qualname(PyTypeObject* type) {
    constexpr const char* kUnknown = texts::kUnknownTypeName;
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return kUnknown;
    }
    return to_text(name.get(), kUnknown);
}

void throw_error(PyObject* type, Ref message) {
    if (!message) throw_fetched();
    PythonError err{Ref::borrow(type), std::move(message), Ref()};
    throw err;
}

void throw_error(PyObject* type, const char* message) {
    throw_error(type, Ref::steal(PyUnicode_FromString(message)));
}

void throw_fetched() {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PythonError err{Ref::steal(t), Ref::steal(v), Ref::steal(tb)};
    PyObject* panic = panic_type();
    if (!panic) {
        // Creating the type failed; report that failure instead.
        PyErr_Fetch(&t, &v, &tb);
        throw PythonError{Ref::steal(t), Ref::steal(v), Ref::steal(tb)};
    }
    if (!err.type) {
        throw_error(PyExc_SystemError, texts::kNothingFetched);
    }
    if (err.type.get() == panic) {
        std::string message = texts::kUnwrappedPanic;
        if (err.value && PyUnicode_Check(err.value.get()))
            message = to_text(err.value.get(), message.c_str());
        std::fputs(texts::kResumingPanic, stderr);
        err.restore();
        PyErr_PrintEx(0);
        kiln::panic(std::move(message));
    }
    throw err;
}

PyObject* check_new(PyObject* obj) {
    if (!obj) {
        PyErr_Print();
        kiln::panic(texts::kPythonApiFailed);
    }
    return obj;
}

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
