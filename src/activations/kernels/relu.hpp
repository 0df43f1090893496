// ReLU kernels over a flat run, one file per form, each returning its row
// of the table: out[i] = in[i] > +0.0 ? in[i] : +0.0.
// A maximum against +0.0 in which +0.0 wins whenever the comparison is
// false, so NaN (any sign or payload), -0.0 and -inf give +0.0 in every form.
#pragma once

#include <cstddef>

namespace kiln::activations {

struct ReluKernels {
    void (*flat)(const float* in, float* out, std::size_t n);
};

ReluKernels relu_kernels_scalar();
ReluKernels relu_kernels_avx2();
ReluKernels relu_kernels_avx512();

// The row this process uses, chosen once from the CPU's features.
const ReluKernels& relu_kernels() noexcept;

}  // namespace kiln::activations
