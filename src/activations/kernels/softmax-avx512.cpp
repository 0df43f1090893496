// Softmax's loops in the AVX-512 form.
#include "activations/kernels/exp-avx512.hpp"
#include "activations/kernels/softmax_loops.hpp"

namespace kiln::activations {

SoftmaxKernels softmax_kernels_avx512() { return softmax_loops<ExpAvx512>(); }

}  // namespace kiln::activations
