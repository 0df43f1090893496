// Portable forms of softmax's loops.
#include "activations/kernels/exp.hpp"
#include "activations/kernels/softmax.hpp"

namespace kiln::activations {

namespace {

float lane_max(const float* in, std::size_t n) {
    float m = kMaxSeed;
    for (std::size_t i = 0; i < n; ++i) m = in[i] > m ? in[i] : m;
    return m;
}

void exp_sub(const float* in, float m, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = exp_cr(in[i] - m);
}

void scale(float* x, float s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) x[i] = x[i] * s;
}

void max_step(const float* in, float* m, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) m[i] = in[i] > m[i] ? in[i] : m[i];
}

void exp_sub_step(const float* in, const float* m, float* out, float* sum, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const float e = exp_cr(in[i] - m[i]);
        out[i] = e;
        sum[i] = sum[i] + e;
    }
}

}  // namespace

SoftmaxKernels softmax_kernels_scalar() {
    return SoftmaxKernels{lane_max, exp_sub, nullptr, max_step, exp_sub_step, scale, 0, nullptr, nullptr};
}

}  // namespace kiln::activations
