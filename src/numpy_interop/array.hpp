// Arrays across the boundary: accepting NumPy arrays as read-only views, and
// turning owned result buffers into new NumPy arrays.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/array.hpp"
#include "core/memory.hpp"
#include "lib/pyref.hpp"

namespace kiln::npy {

// An accepted array argument: the view of its elements and the hold that
// keeps the array alive (and only read) until the call returns. An array
// whose data are not aligned to the element size (NumPy allows that) is
// viewed through an aligned copy of the memory it spans, laid out exactly
// like the original, so every kernel reads its elements with ordinary
// aligned accesses and sees the same strides (and so makes the same layout
// decisions) as for the array itself.
template <class T>
struct Accepted {
    py::Ref hold;
    View<T> view;
    mem::Block aligned_copy;
};

// Accepts `obj` as an array of T (float or int8_t) of any dimensionality.
// Refuses non-arrays and other element types with TypeError; never casts.
template <class T>
Accepted<T> accept(PyObject* obj);

// A new NumPy array that takes over the buffer's memory; the memory is owned
// by a PySliceContainer, the array's base.
template <class T>
py::Ref to_array(Buffer<T>&& buffer);

extern template Accepted<float> accept<float>(PyObject*);
extern template Accepted<std::int8_t> accept<std::int8_t>(PyObject*);
extern template py::Ref to_array<float>(Buffer<float>&&);
extern template py::Ref to_array<std::int8_t>(Buffer<std::int8_t>&&);

}  // namespace kiln::npy
