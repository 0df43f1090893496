// AVX-512 copies of 32-lane window panels (see panels.hpp). A row step of 1
// is two unaligned loads per window position; a row step of 2 picks the
// even elements of two overlapping runs with one two-source permute per 16
// lanes, without reading past the last lane's element.
#include <immintrin.h>

#include "conv/kernels/panel_walk.hpp"
#include "conv/kernels/panels.hpp"
#include "simd/avx512.hpp"

namespace kiln::conv {

namespace {

// out[i] = p[2 * i] for i < 16, reading p[0 .. 30] only: the second load
// starts at p[15], so its odd positions hold p[16], p[18], ..., p[30].
inline __m512 even_lanes(const float* p) {
    // Element 2i of the first load for i < 8, element 2(i - 8) + 1 of the
    // second (index 16 + ...) for i >= 8.
    const __m512i pick = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 17, 19, 21, 23, 25, 27, 29, 31);
    return _mm512_permutex2var_ps(_mm512_loadu_ps(p), pick, _mm512_loadu_ps(p + 15));
}

}  // namespace

bool copy_panel32_avx512(const PanelWalk& w, float* dst) {
    return at_step_1_or_2<32>(w, [&](auto step, auto split) {
        copy_halves<simd::Avx512, step(), split()>(w, dst, [](const float* p) { return even_lanes(p); });
    });
}

}  // namespace kiln::conv
