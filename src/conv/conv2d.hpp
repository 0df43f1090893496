// 2-D convolution (cross-correlation, no padding) lowered to matrix
// multiplication.
#pragma once

#include <cstdint>

#include "core/array.hpp"

namespace kiln::conv {

// input (N, C, H, W) with kernel (OC, KC, KH, KW) -> (N, OC, OH, OW).
Buffer<float> conv2d(const View<float>& input, const View<float>& kernel, std::uint64_t stride);

}  // namespace kiln::conv
