// INT8 quantization micro-kernels over flat runs, in a portable form and in
// AVX2 and AVX-512 forms. Every form gives the same bits: each output
// element depends only on its own input and the one scale factor, and the
// maximum magnitude is the same whatever order the values are taken in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln::quantize {

// max(0, the largest |in[i]| over non-NaN in[i]), +inf included: the fold
// acc = |v| > acc ? |v| : acc from acc = +0.0.
float abs_max_f32_scalar(const float* in, std::size_t n);
float abs_max_f32_avx2(const float* in, std::size_t n);
float abs_max_f32_avx512(const float* in, std::size_t n);

// out[i] = round_half_away(clamp(in[i] * inv)), in float32, where the clamp
// is p = p < 127 ? p : 127 (NaN gives 127), then p = p > -127 ? p : -127.
void quantize_f32_scalar(const float* in, float inv, std::int8_t* out, std::size_t n);
void quantize_f32_avx2(const float* in, float inv, std::int8_t* out, std::size_t n);
void quantize_f32_avx512(const float* in, float inv, std::int8_t* out, std::size_t n);

// out[i] = (float)in[i] * s, one float32 multiplication.
void dequantize_i8_scalar(const std::int8_t* in, float s, float* out, std::size_t n);
void dequantize_i8_avx2(const std::int8_t* in, float s, float* out, std::size_t n);
void dequantize_i8_avx512(const std::int8_t* in, float s, float* out, std::size_t n);

}  // namespace kiln::quantize
