// INT8 quantization kernels over flat runs, in a portable form and in
// AVX2 and AVX-512 forms, each file returning its row of the table. Each
// output element depends only on its own input and the one scale factor,
// and the maximum magnitude is the same in whatever order the values are
// taken.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln::quantize {

struct QuantizeKernels {
    // max(0, the largest |in[i]| over non-NaN in[i]), +inf included: the
    // fold acc = |v| > acc ? |v| : acc from acc = +0.0.
    float (*abs_max)(const float* in, std::size_t n);
    // out[i] = round_half_away(clamp(in[i] * inv)), in float32, where the
    // clamp is p = p < 127 ? p : 127 (NaN gives 127), then
    // p = p > -127 ? p : -127. The caller ensures |in[i] * inv| < 127.5
    // for every in[i] whose product is not NaN, as the factors of
    // quantize_int8 do (|in[i]| <= M and inv is 127 / M up to a few
    // roundings: the products stay within 127.001); the AVX2 form relies on
    // it and clamps only NaN.
    void (*quantize)(const float* in, float inv, std::int8_t* out, std::size_t n);
    // out[i] = (float)in[i] * s, one float32 multiplication.
    void (*dequantize)(const std::int8_t* in, float s, float* out, std::size_t n);
};

QuantizeKernels quantize_kernels_scalar();
QuantizeKernels quantize_kernels_avx2();
QuantizeKernels quantize_kernels_avx512();

// The row this process uses, chosen once from the CPU's features.
const QuantizeKernels& quantize_kernels() noexcept;

}  // namespace kiln::quantize
