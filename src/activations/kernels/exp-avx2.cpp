// The exponential over a run of floats, in the Avx2 form.
#include "activations/kernels/exp-avx2.hpp"
#include "activations/kernels/exp_loops.hpp"

namespace kiln::activations {

void exp_f32_avx2(const float* in, float* out, std::size_t n) {
    exp_run<ExpAvx2, false, false>(in, 0.0f, out, n, 0.0f);
}

}  // namespace kiln::activations
