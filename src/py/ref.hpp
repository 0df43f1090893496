// The reference handle every layer above uses for Python objects.
//
// Ref owns one strong reference. Ref::steal takes over a new reference (the
// result of most API calls); Ref::borrow takes an additional reference to a
// borrowed object. The reference is released when the Ref goes away.
#pragma once

#include <Python.h>

#include <utility>

namespace kiln::py {

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace kiln::py
