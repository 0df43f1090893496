// AVX-512 copies of 32-lane window panels (see panels.hpp). A row step of 1
// is two unaligned loads per window position; a row step of 2 picks the
// even elements of two overlapping runs with one two-source permute per 16
// lanes, without reading past the last lane's element. The split of a
// stride-2 layer's rows into even and odd elements picks them the same way.
#include <immintrin.h>

#include "conv/kernels/panel_walk.hpp"
#include "conv/kernels/panels.hpp"
#include "conv/kernels/row_split.hpp"
#include "simd/avx512.hpp"

namespace kiln::conv {

bool copy_panel32_avx512(const PanelWalk& w, float* dst) {
    return at_step_and_vector<16, 2>(w, [&](auto step, auto cross) {
        copy_vectors<simd::Avx512, 2, step(), cross()>(w, dst);
    });
}

void split_row_avx512(const float* src, std::size_t n, float* dst) { split_row<simd::Avx512>(src, n, dst); }

}  // namespace kiln::conv
