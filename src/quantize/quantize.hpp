// Symmetric INT8 quantization with one scale per matrix, and its inverse.
#pragma once

#include <cstdint>

#include "core/array.hpp"

namespace kiln::quantize {

struct Quantized {
    Buffer<std::int8_t> values;
    float scale;
};

Quantized quantize_int8(const View<float>& x);

// `scale` has already been narrowed to single precision.
Buffer<float> dequantize_int8(const View<std::int8_t>& x, float scale);

}  // namespace kiln::quantize
