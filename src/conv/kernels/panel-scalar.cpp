// The portable copy of window panels 8, 16 or 32 lanes wide (see
// panels.hpp), at any row step. W and the step (1 and 2 get their own
// versions) known at compile time let the compiler unroll and vectorise the
// copies for the baseline instruction set. Also the portable split of a
// stride-2 layer's rows into even and odd elements.
#include <bit>
#include <cstdint>

#include "conv/kernels/panel_walk.hpp"
#include "conv/kernels/panels.hpp"

namespace kiln::conv {

namespace {

// With Split, both sources are read for every lane and the right one kept,
// so the copy stays a fixed-width vector loop (the caller makes sure every
// address read lies between the panel's first and last element).
template <std::size_t W, std::int64_t Step, bool Split>
void copy(const PanelWalk& w, float* dst) {
    const std::int64_t step = Step > 0 ? Step : w.step;
    const std::int64_t apart = w.apart;
    // Bit masks choosing each lane's source: a select the compiler can
    // vectorise, where a branch per lane would not be.
    std::uint32_t keep[W];
    for (std::size_t i = 0; i < W; ++i) keep[i] = i < w.split ? ~std::uint32_t{0} : 0;
    walk_panel<W, Split>(w, dst, [&](const float* src, float* out) {
        // Not unrolled into scalar moves: left whole, the loop is
        // vectorised (with shuffles for step 2).
#pragma GCC unroll 1
        for (std::size_t i = 0; i < W; ++i) {
            const float here = src[static_cast<std::int64_t>(i) * step];
            if constexpr (Split) {
                const float next = src[apart + static_cast<std::int64_t>(i) * step];
                const std::uint32_t h = std::bit_cast<std::uint32_t>(here);
                const std::uint32_t n = std::bit_cast<std::uint32_t>(next);
                out[i] = std::bit_cast<float>((h & keep[i]) | (n & ~keep[i]));
            } else {
                out[i] = here;
            }
        }
    });
}

template <std::size_t W>
void copy_width(const PanelWalk& w, float* dst) {
    if (at_step_1_or_2<W>(w, [&](auto step, auto split) { copy<W, step(), split()>(w, dst); })) return;
    w.split < W ? copy<W, 0, true>(w, dst) : copy<W, 0, false>(w, dst);
}

}  // namespace

bool copy_panel_portable(const PanelWalk& w, std::size_t width, float* dst) {
    switch (width) {
        case 8: copy_width<8>(w, dst); return true;
        case 16: copy_width<16>(w, dst); return true;
        case 32: copy_width<32>(w, dst); return true;
        default: return false;
    }
}

void split_row_portable(const float* src, std::size_t n, float* dst) {
    const std::size_t evens = (n + 1) / 2;
    for (std::size_t i = 0; i < evens; ++i) dst[i] = src[2 * i];
    for (std::size_t i = 0; 2 * i + 1 < n; ++i) dst[evens + i] = src[2 * i + 1];
}

}  // namespace kiln::conv
