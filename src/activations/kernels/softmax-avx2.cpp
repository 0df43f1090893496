// Softmax's loops in the AVX2 form.
#include "activations/kernels/exp-avx2.hpp"
#include "activations/kernels/softmax_loops.hpp"

namespace kiln::activations {

SoftmaxKernels softmax_kernels_avx2() { return softmax_loops<ExpAvx2>(); }

}  // namespace kiln::activations
