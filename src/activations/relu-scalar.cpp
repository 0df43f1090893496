#include "activations/relu_kernels.hpp"

namespace kiln::activations {

void relu_f32_scalar(const float* in, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const float v = in[i];
        out[i] = v > 0.0f ? v : 0.0f;
    }
}

}  // namespace kiln::activations
