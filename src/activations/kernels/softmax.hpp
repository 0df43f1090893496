// The loops softmax is built from, over the correctly rounded exponential
// of exp.hpp: a portable form and AVX2 and AVX-512 forms, each file
// returning its row of the table.
#pragma once

#include <cstddef>

namespace kiln::activations {

// The starting value of every lane's maximum: the lowest finite float (not
// -inf), so a lane of NaN, -inf or this value alone keeps it.
inline constexpr float kMaxSeed = -0x1.fffffep+127f;

struct SoftmaxKernels {
    // Maximum of a contiguous lane: starts at the lowest finite float and
    // takes in[i] whenever in[i] > maximum, so NaN is never taken.
    float (*lane_max)(const float* in, std::size_t n);
    // out[i] = exp_cr(in[i] - m), the subtraction in float, for m not below
    // any in[i] (the lane's maximum; NaN aside), as in every use below.
    void (*exp_sub)(const float* in, float m, float* out, std::size_t n);
    // out[i] = exp_cr(in[i] - m) as above, and the result is
    // (((sum + out[0]) + out[1]) + ...) + out[n - 1], the additions in float
    // and in this order. Evaluating the two in one loop overlaps the chain of
    // dependent additions with the exponentials. Null in the portable form;
    // with it softmax interleaves exp_sub and the additions itself.
    float (*exp_sub_sum)(const float* in, float m, float* out, std::size_t n, float sum);
    // n adjacent lanes, one step each: m[i] = in[i] > m[i] ? in[i] : m[i].
    void (*max_step)(const float* in, float* m, std::size_t n);
    // n adjacent lanes, one step each: out[i] = exp_cr(in[i] - m[i]);
    // sum[i] = sum[i] + out[i].
    void (*exp_sub_step)(const float* in, const float* m, float* out, float* sum, std::size_t n);
    // x[i] = x[i] * s for i < n, one float multiplication each.
    void (*scale)(float* x, float s, std::size_t n);
    // Rows computed together, one per vector lane, by the two loops below
    // (the vector width); 0 in the portable form, which has neither.
    std::size_t row_group;
    // m[r] = lane_max of row r, for rows r < nrows <= 2 * row_group starting
    // at in + r * in_step, each len long.
    void (*rows_max)(const float* in, std::ptrdiff_t in_step, std::size_t nrows, std::size_t len, float* m);
    // For the same rows and c = 0 .. len - 1 in order:
    // out[r * out_step + c] = exp_cr(in_r[c] - m[r]) and
    // sum[r] = sum[r] + out[r * out_step + c]: every row's sum is added in
    // its own order, while the additions of a group of row_group rows share
    // vectors (and so do their exponentials, for rows shorter than four
    // vectors), and two groups' additions advance side by side.
    void (*rows_exp_sum)(const float* in, std::ptrdiff_t in_step, const float* m, float* out,
                         std::size_t out_step, std::size_t nrows, std::size_t len, float* sum);
};

SoftmaxKernels softmax_kernels_scalar();
SoftmaxKernels softmax_kernels_avx2();
SoftmaxKernels softmax_kernels_avx512();

// The row this process uses, chosen once from the CPU's features.
const SoftmaxKernels& softmax_kernels() noexcept;

}  // namespace kiln::activations
