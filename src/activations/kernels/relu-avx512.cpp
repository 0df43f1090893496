#include "activations/kernels/relu.hpp"
#include "simd/avx512.hpp"
#include "simd/loops.hpp"

namespace kiln::activations {

ReluKernels relu_kernels_avx512() { return ReluKernels{simd::relu<simd::Avx512>}; }

}  // namespace kiln::activations
