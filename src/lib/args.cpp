#include "lib/args.hpp"

#include <cstring>
#include <string>

#include "core/texts.hpp"

namespace kiln::py {

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const char* const* names, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count > 2) out += ",";
            out += (i + 1 == count) ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

[[noreturn]] void type_error(const std::string& message) { throw_error(PyExc_TypeError, message); }

}  // namespace

void bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const std::size_t given = args ? static_cast<std::size_t>(PyTuple_Size(args)) : 0;
    for (std::size_t i = 0; i < sig.count; ++i) slots[i] = nullptr;
    for (std::size_t i = 0; i < given && i < sig.count; ++i)
        slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (given > sig.count) {
        type_error(texts::too_many_positional(sig.name, sig.count, given));
    }

    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                std::string message = "'";
                message += type_qualname(Py_TYPE(key));
                message += texts::kNotString;
                type_error(message);
            }
            std::size_t match = sig.count;
            Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(key));
            if (!utf8) {
                clear_expected_error();  // not encodable: can match no parameter
            } else {
                const char* text = PyBytes_AsString(utf8.get());
                const auto len = static_cast<std::size_t>(PyBytes_Size(utf8.get()));
                for (std::size_t i = 0; i < sig.count; ++i) {
                    if (std::strlen(sig.params[i]) == len && std::memcmp(sig.params[i], text, len) == 0) {
                        match = i;
                        break;
                    }
                }
            }
            if (match == sig.count) {
                Ref shown = Ref::steal(PyObject_Str(key));
                if (!shown) throw_fetched();
                throw_error(PyExc_TypeError,
                            Ref::steal(PyUnicode_FromFormat(texts::kUnexpectedKeyword, sig.name, shown.get())));
            }
            if (slots[match]) {
                type_error(texts::multiple_values(sig.name, sig.params[match]));
            }
            slots[match] = value;
        }
    }

    const char* missing[8];
    std::size_t n_missing = 0;
    for (std::size_t i = given; i < sig.count; ++i) {
        if (!slots[i] && n_missing < 8) missing[n_missing++] = sig.params[i];
    }
    if (n_missing > 0) {
        type_error(texts::missing_arguments(sig.name, n_missing, name_list(missing, n_missing)));
    }
}

void rethrow_for_argument(const char* param, std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (PythonError& err) {
        if (err.type.get() != PyExc_TypeError) throw;
        err.normalize();
        PyObject* value = err.value.get();
        const std::string message = texts::argument_error(param, to_text(value, ""));
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                                   "replace"));
        if (!text) throw_fetched();
        Ref wrapped = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
        if (!wrapped) throw_fetched();
        // The cause of the original carries over (or none); the original is dropped.
        PyObject* cause = value ? PyException_GetCause(value) : nullptr;
        PyException_SetCause(wrapped.get(), cause);
        throw PythonError{Ref::borrow(PyExc_TypeError), std::move(wrapped), Ref()};
    }
}

std::uint64_t to_u64(PyObject* obj) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) throw_fetched();
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_fetched();
    return value;
}

std::int64_t to_i64(PyObject* obj) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) throw_fetched();
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) throw_fetched();
    return value;
}

double to_double(PyObject* obj) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw_fetched();
    return value;
}

}  // namespace kiln::py
