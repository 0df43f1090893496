// The kernel table of the matrix product and of conv2d, which runs the
// same products: filled once, on first use, from the candidates below, the
// best one the CPU runs (see core/cpu.hpp). Each candidate pairs its
// micro-kernel with the SIMD copy of conv2d's window panels of the same
// width, so the two can never disagree.
//
// For testing, KILN_KERNELS_MATMUL=<name> (read once) picks the candidate
// of that name when the CPU runs it (and KILN_KERNELS_ISA allows it); any
// other value is ignored. Every candidate gives the same bits.
#include <cstdlib>
#include <cstring>

#include "conv/kernels/panels.hpp"
#include "core/cpu.hpp"
#include "matmul/kernels/kernels.hpp"

namespace kiln {

namespace {

struct Candidate {
    Isa isa;  // the instruction set its kernels need
    matmul::MatmulKernels product;
    conv::PanelCopy copy_panel;
    std::size_t copy_width;  // lanes of the panels copy_panel copies
};

// Tiles of 64 x 64 result elements, passes of 256 inner positions: one
// pass keeps a panel of packed `b` (NR x kc floats, 32 KiB for NR = 32) in
// the L1 cache and the tile's panels of packed `a` in L2.
constexpr matmul::Blocks kBlocks{64, 64, 256};
static_assert(kBlocks.mc <= matmul::kMaxTile && kBlocks.nc <= matmul::kMaxTile);

// Best first.
const Candidate kCandidates[] = {
    {Isa::avx512,
     {"8x32-avx512", matmul::gemm_8x32_avx512, 8, 32, kBlocks, matmul::gemm_rows16_avx512, 16, false,
      matmul::pack_rows8_avx512},
     conv::copy_panel32_avx512, 32},
    {Isa::avx2,
     {"6x16-avx2", matmul::gemm_6x16_avx2, 6, 16, kBlocks, matmul::gemm_rows16_avx2, 16},
     conv::copy_panel16_avx2, 16},
    {Isa::scalar, {"4x8-scalar", matmul::gemm_4x8_scalar, 4, 8, kBlocks}, nullptr, 0},
};

const Candidate& choose() noexcept {
    const Isa isa = active_isa();
    const char* forced = std::getenv("KILN_KERNELS_MATMUL");
    if (forced) {
        for (const Candidate& c : kCandidates)
            if (c.isa <= isa && std::strcmp(c.product.name, forced) == 0) return c;
    }
    for (const Candidate& c : kCandidates)
        if (c.isa <= isa) return c;
    return kCandidates[sizeof kCandidates / sizeof kCandidates[0] - 1];
}

const Candidate& chosen() noexcept {
    static const Candidate& c = choose();
    return c;
}

}  // namespace

const matmul::MatmulKernels& matmul::matmul_kernels() noexcept { return chosen().product; }

const conv::ConvKernels& conv::conv_kernels() noexcept {
    static const ConvKernels table = [] {
        const Candidate& c = chosen();
        // A copy of another width than the micro-kernel's is never used.
        return ConvKernels{&c.product, c.copy_width == c.product.nr ? c.copy_panel : nullptr};
    }();
    return table;
}

}  // namespace kiln
