#include "py/error.hpp"

#include <cstdio>

#include "core/errors.hpp"
#include "core/texts.hpp"

namespace kiln::py {

namespace {

PyObject* g_panic_type = nullptr;

}  // namespace

PythonError PythonError::fetch() noexcept {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    return PythonError{Ref::steal(t), Ref::steal(v), Ref::steal(tb)};
}

void PythonError::normalize() noexcept {
    if (!type) return;
    PyObject *t = type.release(), *v = value.release(), *tb = traceback.release();
    PyErr_NormalizeException(&t, &v, &tb);
    type = Ref::steal(t);
    value = Ref::steal(v);
    traceback = Ref::steal(tb);
}

PyObject* panic_type() {
    if (g_panic_type) return g_panic_type;
    PyObject* type = PyErr_NewExceptionWithDoc(texts::kPanicTypeName, texts::kPanicTypeDoc,
                                               PyExc_BaseException, nullptr);
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

void clear_expected_error() {
    if (!PyErr_Occurred()) return;
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return;
    }
    throw_fetched();
}

std::string to_text(PyObject* obj, const char* fallback) {
    if (!obj) return fallback;
    Ref str = Ref::steal(PyObject_Str(obj));
    if (!str) {
        clear_expected_error();
        return fallback;
    }
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str.get(), "utf-8", "replace"));
    if (!bytes) {
        clear_expected_error();
        return fallback;
    }
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

std::string type_qualname(PyTypeObject* type) {
    constexpr const char* kUnknown = texts::kUnknownTypeName;
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (!name) {
        clear_expected_error();
        return kUnknown;
    }
    if (!PyUnicode_Check(name.get())) return kUnknown;
    return to_text(name.get(), kUnknown);
}

std::string describe(PythonError& err) {
    err.normalize();
    if (!err.value) return texts::kNoPythonError;
    return type_qualname(Py_TYPE(err.value.get())) + ": " + to_text(err.value.get(), "");
}

void throw_error(PyObject* type, Ref message) {
    if (!message) throw_fetched();
    throw PythonError{Ref::borrow(type), std::move(message), Ref()};
}

void throw_error(PyObject* type, const std::string& message) {
    throw_error(type, Ref::steal(PyUnicode_DecodeUTF8(message.data(),
                                                      static_cast<Py_ssize_t>(message.size()), "replace")));
}

void throw_fetched() {
    PythonError err = PythonError::fetch();
    PyObject* panic = panic_type();
    if (!panic) throw PythonError::fetch();  // creating the type failed; report that instead
    if (!err.type) throw_error(PyExc_SystemError, texts::kNothingFetched);
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

}  // namespace kiln::py
