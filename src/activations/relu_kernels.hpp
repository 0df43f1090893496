// ReLU micro-kernels over a flat run: out[i] = in[i] > +0.0 ? in[i] : +0.0.
// A maximum against +0.0 in which +0.0 wins whenever the comparison is
// false, so NaN (any sign or payload), -0.0 and -inf give +0.0 in every form.
#pragma once

#include <cstddef>

namespace kiln::activations {

void relu_f32_scalar(const float* in, float* out, std::size_t n);
void relu_f32_avx2(const float* in, float* out, std::size_t n);
void relu_f32_avx512(const float* in, float* out, std::size_t n);

}  // namespace kiln::activations
