// The 8 x 32 AVX-512 micro-kernel on window panels read in place (see
// window_product.hpp).
#include "conv/kernels/panels.hpp"
#include "conv/kernels/window_product.hpp"
#include "simd/avx512.hpp"

namespace kiln::conv {

bool windows_8x32_avx512(const PanelWalk& w, const float* a, float* c, std::size_t ldc, std::size_t rows,
                         float* panel) {
    return window_product<simd::Avx512, 8>(w, a, c, ldc, rows, panel);
}

}  // namespace kiln::conv
