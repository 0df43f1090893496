// AVX2 copies of 16-lane window panels (see panels.hpp). A row step of 1 is
// two unaligned loads per window position; a row step of 2 picks the even
// elements of two overlapping runs with in-register shuffles, without
// reading past the last lane's element.
#include <immintrin.h>

#include "conv/kernels/panel_walk.hpp"
#include "conv/kernels/panels.hpp"
#include "simd/avx2.hpp"

namespace kiln::conv {

namespace {

// out[i] = p[2 * i] for i < 8, reading p[0 .. 14] only: the second load
// starts at p[7], so its odd positions hold p[8], p[10], p[12], p[14].
inline __m256 even_lanes(const float* p) {
    const __m256 a = _mm256_loadu_ps(p);
    const __m256 b = _mm256_loadu_ps(p + 7);
    // Per 128-bit half: a[0], a[2], b[1], b[3], i.e. p0 p2 p8 p10 | p4 p6 p12 p14.
    const __m256 s = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 2, 0));
    // Pairs (p0 p2) (p8 p10) (p4 p6) (p12 p14) put in order.
    return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(s), _MM_SHUFFLE(3, 1, 2, 0)));
}

}  // namespace

bool copy_panel16_avx2(const PanelWalk& w, float* dst) {
    return at_step_1_or_2<16>(w, [&](auto step, auto split) {
        copy_halves<simd::Avx2, step(), split()>(w, dst, [](const float* p) { return even_lanes(p); });
    });
}

}  // namespace kiln::conv
