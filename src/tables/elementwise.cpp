// The kernel tables of the element-wise families (relu, softmax and its
// exponential, quantization), each filled once, on first use, with the row
// of the widest form the CPU runs (see core/cpu.hpp). Every form gives the
// same bits; the operators read only their table.
#include "activations/kernels/relu.hpp"
#include "activations/kernels/softmax.hpp"
#include "core/cpu.hpp"
#include "quantize/kernels/quantize.hpp"

namespace kiln {

namespace {

// The row of the active instruction set, from one function per form.
template <class Row>
Row row_for_isa(Row (*scalar)(), Row (*avx2)(), Row (*avx512)()) {
    switch (active_isa()) {
        case Isa::avx512: return avx512();
        case Isa::avx2: return avx2();
        default: return scalar();
    }
}

}  // namespace

const activations::ReluKernels& activations::relu_kernels() noexcept {
    static const ReluKernels table = row_for_isa(relu_kernels_scalar, relu_kernels_avx2, relu_kernels_avx512);
    return table;
}

const activations::SoftmaxKernels& activations::softmax_kernels() noexcept {
    static const SoftmaxKernels table =
        row_for_isa(softmax_kernels_scalar, softmax_kernels_avx2, softmax_kernels_avx512);
    return table;
}

const quantize::QuantizeKernels& quantize::quantize_kernels() noexcept {
    static const QuantizeKernels table =
        row_for_isa(quantize_kernels_scalar, quantize_kernels_avx2, quantize_kernels_avx512);
    return table;
}

}  // namespace kiln
