#include "activations/kernels/relu.hpp"
#include "simd/avx2.hpp"
#include "simd/loops.hpp"

namespace kiln::activations {

ReluKernels relu_kernels_avx2() { return ReluKernels{simd::relu<simd::Avx2>}; }

}  // namespace kiln::activations
