// The micro-kernel on a window panel read in place, written once for
// every instruction set (see kernels/panels.hpp, WindowProduct): the first
// Rows filters' block of a full panel of two vectors of V per window
// position, computed while the panel is copied for the other filters'
// calls. The panel's values are loaded as the panel copy loads them
// (PanelHalves), stored where the copy stores them, and multiplied by the
// filters' values while still in registers, with a separate multiply and
// add per row as the micro-kernel's step: the same values as the copy
// followed by the micro-kernel. The copy's loads are the kernel's own, and
// its stores go out while the kernel waits on its arithmetic instead of
// taking a loop of their own. Internal linkage.
#pragma once

#include <immintrin.h>

#include <cstddef>

#include "conv/kernels/panel_walk.hpp"
#include "conv/kernels/panels.hpp"

namespace kiln::conv {
namespace {

template <class V, std::size_t Rows, int Step, int Where>
void window_block(const PanelWalk& w, const float* a, float* c, std::size_t ldc, std::size_t rows,
                  float* panel) {
    constexpr std::size_t half = V::kLanes;
    const PanelHalves<V, Step, Where> halves(w);
    typename V::Vec acc[Rows][2];
    for (std::size_t r = 0; r < Rows; ++r) acc[r][0] = acc[r][1] = V::zero();
    walk_panel<2 * half, Where != kNoCross>(w, panel, [&](const float* src, float* out) {
        typename V::Vec low, high;
        halves(src, low, high);
        V::store(out, low);
        V::store(out + half, high);
        // The filters' values a few positions ahead; this only moves data.
        _mm_prefetch(reinterpret_cast<const char*>(a + 16 * Rows), _MM_HINT_T0);
#pragma GCC unroll 8
        for (std::size_t r = 0; r < Rows; ++r) {
            const typename V::Vec x = V::broadcast(a + r);
            acc[r][0] = V::add(acc[r][0], V::mul(x, low));
            acc[r][1] = V::add(acc[r][1], V::mul(x, high));
        }
        a += Rows;
    });
    for (std::size_t r = 0; r < rows; ++r) {
        V::store(c + r * ldc, acc[r][0]);
        V::store(c + r * ldc + half, acc[r][1]);
    }
}

// The WindowProduct of a Rows x (2 * V::kLanes) micro-kernel.
template <class V, std::size_t Rows>
bool window_product(const PanelWalk& w, const float* a, float* c, std::size_t ldc, std::size_t rows,
                    float* panel) {
    if (rows == 0 || rows > Rows) return false;
    return at_step_and_cross<V::kLanes>(
        w, [&](auto step, auto where) { window_block<V, Rows, step(), where()>(w, a, c, ldc, rows, panel); });
}

}  // namespace
}  // namespace kiln::conv
