// Softmax along the columns (axis 0) or rows (any other axis) of a matrix.
#pragma once

#include <cstdint>

#include "core/array.hpp"

namespace kiln::activations {

Buffer<float> softmax(const View<float>& x, std::int64_t axis);

}  // namespace kiln::activations
