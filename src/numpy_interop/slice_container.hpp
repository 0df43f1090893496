// PySliceContainer: the Python object that owns the memory of every result
// array. It frees the block exactly once, when NumPy releases the array.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/memory.hpp"
#include "py/ref.hpp"

namespace kiln::npy {

// A new container owning `block`. On failure the block is freed and an
// internal failure "Failed to create slice container: ..." is raised.
py::Ref make_slice_container(mem::Block&& block);

}  // namespace kiln::npy
