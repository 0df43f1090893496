#include "activations/kernels/relu.hpp"

namespace kiln::activations {

namespace {

void relu(const float* in, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const float v = in[i];
        out[i] = v > 0.0f ? v : 0.0f;
    }
}

}  // namespace

ReluKernels relu_kernels_scalar() { return ReluKernels{relu}; }

}  // namespace kiln::activations
