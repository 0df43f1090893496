// The kernel table of the matrix product and of conv2d, which runs the
// same products: filled once, on first use, from the candidates below and
// what the CPU reports (see core/cpu.hpp). Each candidate pairs its
// micro-kernel with the SIMD copy of conv2d's window panels of the same
// width, so the two can never disagree.
//
// The shape: the widest candidate the CPU runs. That holds on cores that
// execute 512-bit operations in two 256-bit halves too (AMD Zen 4): they
// do no more arithmetic per cycle at 512 bits than at 256, but issue half
// the instructions for it, and the 8 x 32 kernel reached 95-99% of such a
// core's limit where the 6 x 16 one reached 87-91% (its panels in L2).
//
// Among the AVX2 kernels, the 3 x 32 one goes to cores that report running
// 256-bit operations as two 128-bit halves (CpuInfo::fp128, the first Zen
// cores). Their multiplies and adds alone fill the vector pipes, and every
// other operation the step issues takes a turn from them: a 256-bit
// broadcast about as much as a multiply, a load folded into a multiply
// little. The 3 x 32 step broadcasts half as often as the 6 x 16 one and
// reads `b` through its multiplies; on such a core (AMD family 23, model 1)
// it took 9% off a 1024 product on one worker and 3-10% off products and
// conv2d's benchmark layers on two. Other cores keep the 6 x 16 kernel,
// the one measured on them.
//
// The 8 x 32 kernel also comes in a form that reads conv2d's window panels
// in place: it computes each panel's first filters while copying the panel
// for the others, the copy's loads being its own (3-6% off each benchmark
// layer on Zen 4). The 6 x 16 kernel has none: its step is bound by the
// instructions the core can issue, and with the copy's stores added it ran
// no faster than the copy followed by the kernel.
//
// The block sizes follow the cache sizes, in the manner of the analytical
// model of blocked products, adapted to kernels without fused
// multiply-add (twice the vector operations per byte read): a pass is as
// deep as L2 allows, its kc-deep panels of `a` (MR lanes) and `b` (NR
// lanes) streaming from L2; the tile's mc x kc block of packed `a` stays
// in L2 while every panel of `b` passes; the kc x nc block of `b` is read
// from L3 once per pass.
//
// For testing, read once: KILN_KERNELS_MATMUL=<name> picks the candidate of
// that name when the CPU runs it (and KILN_KERNELS_ISA allows it), and
// KILN_KERNELS_MATMUL_BLOCKS=<mc>,<nc>,<kc> sets the block sizes (mc and nc
// from 1 to kMaxTile, kc at least 1); any other value is ignored. Every
// choice gives the same bits.
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
    conv::RowSplit split_row;
    conv::WindowProduct first_rows = nullptr;  // its micro-kernel on window panels read in place
    bool only_fp128 = false;  // chosen unasked only on cores that split 256-bit operations
};

// When the CPU tells nothing of its caches: tiles of 64 x 64 result
// elements, passes of 256 inner positions.
constexpr matmul::Blocks kFallbackBlocks{64, 64, 256};

// Best first.
const Candidate kCandidates[] = {
    {Isa::avx512,
     {"8x32-avx512", matmul::gemm_8x32_avx512, 8, 32, kFallbackBlocks, matmul::gemm_rows16_avx512, 16,
      matmul::pack_rows8_avx512},
     conv::copy_panel32_avx512, 32, conv::split_row_avx512, conv::windows_8x32_avx512},
    {Isa::avx2,
     {"3x32-avx2", matmul::gemm_3x32_avx2, 3, 32, kFallbackBlocks, matmul::gemm_rows16_avx2, 16,
      matmul::pack_rows3_avx2},
     conv::copy_panel32_avx2, 32, conv::split_row_avx2, nullptr, true},
    {Isa::avx2,
     {"6x16-avx2", matmul::gemm_6x16_avx2, 6, 16, kFallbackBlocks, matmul::gemm_rows16_avx2, 16,
      matmul::pack_rows6_avx2},
     conv::copy_panel16_avx2, 16, conv::split_row_avx2},
    {Isa::scalar, {"4x8-scalar", matmul::gemm_4x8_scalar, 4, 8, kFallbackBlocks}, nullptr, 0, conv::split_row_portable},
};
constexpr std::size_t kCount = sizeof kCandidates / sizeof kCandidates[0];

const Candidate& pick_shape() noexcept {
    const Isa isa = active_isa();
    if (const char* forced = std::getenv("KILN_KERNELS_MATMUL")) {
        for (const Candidate& c : kCandidates)
            if (c.isa <= isa && std::strcmp(c.product.name, forced) == 0) return c;
    }
    for (const Candidate& c : kCandidates)
        if (c.isa <= isa && (!c.only_fp128 || cpu_info().fp128)) return c;
    return kCandidates[kCount - 1];
}

std::size_t round_down(std::size_t x, std::size_t multiple) { return x / multiple * multiple; }

std::size_t clamp(std::size_t x, std::size_t lo, std::size_t hi) { return x < lo ? lo : x > hi ? hi : x; }

// Block sizes for an MR x NR micro-kernel from the per-core cache sizes.
matmul::Blocks blocks_for(const CpuInfo& cpu, std::size_t mr, std::size_t nr) noexcept {
    if (cpu.l2 == 0) return kFallbackBlocks;  // every size below follows L2 (or L3)
    constexpr std::size_t f = sizeof(float);
    // kc: the two panels of one micro-kernel call (MR + NR lanes of kc
    // positions) take at most an eighth of L2; a multiple of 16 positions.
    // The deeper the pass, the fewer times the result goes through memory
    // and the fewer calls pay the kernel's loads and stores of its block
    // (a product of depth 256 in two passes of 128 was measured 20% slower
    // than in one; on a 32 KiB-L1 core, passes of 1024 were 4-9% faster
    // than passes of 320 that kept the `b` panel in L1). The panels are then
    // read from L2, (MR + NR) x 4 bytes per MR x NR products (88 bytes per
    // 12 multiplies and 12 adds of 8 lanes for the 6 x 16 kernel), a
    // fraction of what L2 delivers to the core, so they need not stay in L1.
    std::size_t kc = round_down(cpu.l2 / 8 / ((mr + nr) * f), 16);
    kc = clamp(kc, 64, 1024);
    // mc: the packed mc x kc block of `a` takes at most half of L2 (the rest
    // holds the panels of `b` passing through and the result lines).
    std::size_t mc = cpu.l2 / 2 / (kc * f);
    mc = clamp(round_down(mc, mr), mr, round_down(matmul::kMaxTile, mr));
    // nc: the kc x nc block of `b` takes at most half of this core's share
    // of L3 (or of L2 when there is no L3).
    const std::size_t outer = cpu.l3 != 0 ? cpu.l3 : cpu.l2;
    std::size_t nc = outer / 2 / (kc * f);
    nc = clamp(round_down(nc, nr), nr, round_down(matmul::kMaxTile, nr));
    return {mc, nc, kc};
}

// KILN_KERNELS_MATMUL_BLOCKS=<mc>,<nc>,<kc>, when set and valid.
bool forced_blocks(matmul::Blocks& out) noexcept {
    const char* text = std::getenv("KILN_KERNELS_MATMUL_BLOCKS");
    if (text == nullptr) return false;
    std::size_t v[3];
    for (int i = 0; i < 3; ++i) {
        char* end = nullptr;
        if (*text < '0' || *text > '9') return false;
        const unsigned long long x = std::strtoull(text, &end, 10);
        if (end == text || x == 0 || x > (1u << 20)) return false;
        v[i] = static_cast<std::size_t>(x);
        text = end;
        if (i < 2 && *text++ != ',') return false;
    }
    if (*text != '\0' || v[0] > matmul::kMaxTile || v[1] > matmul::kMaxTile) return false;
    out = {v[0], v[1], v[2]};
    return true;
}

Candidate choose() noexcept {
    const CpuInfo& cpu = cpu_info();
    Candidate c = pick_shape();
    if (!forced_blocks(c.product.blocks)) c.product.blocks = blocks_for(cpu, c.product.mr, c.product.nr);
    return c;
}

const Candidate& chosen() noexcept {
    static const Candidate c = choose();
    return c;
}

}  // namespace

const matmul::MatmulKernels& matmul::matmul_kernels() noexcept { return chosen().product; }

const conv::ConvKernels& conv::conv_kernels() noexcept {
    static const ConvKernels table = [] {
        const Candidate& c = chosen();
        // A copy of another width than the micro-kernel's is never used.
        ConvKernels k{&c.product, c.copy_width == c.product.nr ? c.copy_panel : nullptr};
        if (k.copy_panel) k.first_rows = c.first_rows;
        k.split_row = c.split_row;
        if (cpu_info().l1d != 0) k.strip_bytes_one_pass = cpu_info().l1d;
        if (cpu_info().l2 != 0) k.strip_bytes = cpu_info().l2 / 2;
        return k;
    }();
    return table;
}

}  // namespace kiln
