#include "core/cpu.hpp"
#include "matmul/kernels/kernels.hpp"

namespace kiln::matmul {

namespace {

KernelInfo choose() noexcept {
    switch (active_isa()) {
        case Isa::avx512:
            return {gemm_8x32_avx512, 8, 32, gemm_rows16_avx512, 16, false, pack_rows8_avx512};
        case Isa::avx2: return {gemm_6x16_avx2, 6, 16, gemm_rows16_avx2, 16};
        default: return {gemm_4x8_scalar, 4, 8};
    }
}

}  // namespace

const KernelInfo& active_kernel() noexcept {
    static const KernelInfo info = choose();
    return info;
}

}  // namespace kiln::matmul
