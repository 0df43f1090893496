// AVX2 copies of 16-lane window panels (see panels.hpp). A row step of 1 is
// two unaligned loads per window position; a row step of 2 picks the even
// elements of two overlapping runs with in-register shuffles, without
// reading past the last lane's element. The split of a stride-2 layer's
// rows into even and odd elements picks them the same way.
#include <immintrin.h>

#include "conv/kernels/panel_walk.hpp"
#include "conv/kernels/panels.hpp"
#include "conv/kernels/row_split.hpp"
#include "simd/avx2.hpp"

namespace kiln::conv {

bool copy_panel16_avx2(const PanelWalk& w, float* dst) {
    return at_step_and_vector<8, 2>(w, [&](auto step, auto cross) {
        copy_vectors<simd::Avx2, 2, step(), cross()>(w, dst);
    });
}

void split_row_avx2(const float* src, std::size_t n, float* dst) { split_row<simd::Avx2>(src, n, dst); }

}  // namespace kiln::conv
