// Arrays across the boundary: accepting NumPy arrays as read-only views, and
// turning owned result buffers into new NumPy arrays.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/array.hpp"
#include "core/memory.hpp"
#include "py/ref.hpp"

namespace kiln::npy {

// An accepted array argument: the hold that keeps the array alive (and only
// read) until the call returns, the element type it was accepted with, and,
// once taken, the view of its elements.
//
// The view is taken only after every argument of the call is converted:
// converting a scalar runs Python code, which may resize or free the memory
// of an array accepted before it.
//
// An array whose data are not aligned to the element size, or whose byte
// strides are not whole elements (NumPy allows both), is read through a
// compact row-major copy of its logical elements; the view keeps the
// caller's layout for the kernels' layout rules.
template <class T>
struct Accepted {
    py::Ref hold;
    py::Ref descr;
    View<T> view;
    mem::Block compact_copy;
};

// Accepts `obj` as an array of T (float or int8_t) of any dimensionality.
// Refuses non-arrays and other element types with TypeError; never casts.
template <class T>
Accepted<T> accept(PyObject* obj);

// Checks again, with the same TypeError, the element type of an array whose
// type was changed since it was accepted.
template <class T>
void recheck(Accepted<T>& array);

// Takes the view of an accepted array, from its current fields. Runs no
// Python code.
template <class T>
void take_view(Accepted<T>& array);

// A new NumPy array that takes over the buffer's memory; the memory is owned
// by a PySliceContainer, the array's base.
template <class T>
py::Ref to_array(Buffer<T>&& buffer);

extern template Accepted<float> accept<float>(PyObject*);
extern template Accepted<std::int8_t> accept<std::int8_t>(PyObject*);
extern template void recheck<float>(Accepted<float>&);
extern template void recheck<std::int8_t>(Accepted<std::int8_t>&);
extern template void take_view<float>(Accepted<float>&);
extern template void take_view<std::int8_t>(Accepted<std::int8_t>&);
extern template py::Ref to_array<float>(Buffer<float>&&);
extern template py::Ref to_array<std::int8_t>(Buffer<std::int8_t>&&);

}  // namespace kiln::npy
