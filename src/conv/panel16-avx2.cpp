// AVX2 copies of 16-lane window panels (see panels.hpp). A row step of 1 is
// two unaligned loads per window position; a row step of 2 picks the even
// elements of two overlapping runs with in-register shuffles, without
// reading past the last lane's element.
#include <immintrin.h>

#include "conv/panels.hpp"

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

template <int Step>
inline void load16(const float* p, __m256& low, __m256& high) {
    if constexpr (Step == 1) {
        low = _mm256_loadu_ps(p);
        high = _mm256_loadu_ps(p + 8);
    } else {
        low = even_lanes(p);
        high = even_lanes(p + 16);
    }
}

template <int Step, bool Split>
void walk(const PanelWalk& w, float* dst) {
    // Lanes taken from the second row: sign bit set from lane `split` on.
    __m256 take_low = _mm256_setzero_ps(), take_high = _mm256_setzero_ps();
    if constexpr (Split) {
        const __m256i index_low = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256i index_high = _mm256_setr_epi32(8, 9, 10, 11, 12, 13, 14, 15);
        const __m256i last_first_row = _mm256_set1_epi32(static_cast<int>(w.split) - 1);
        take_low = _mm256_castsi256_ps(_mm256_cmpgt_epi32(index_low, last_first_row));
        take_high = _mm256_castsi256_ps(_mm256_cmpgt_epi32(index_high, last_first_row));
    }
    for (std::uint64_t c = 0; c < w.channels; ++c) {
        for (std::uint64_t ky = 0; ky < w.kh; ++ky) {
            const float* src =
                w.first + static_cast<std::int64_t>(c) * w.s1 + static_cast<std::int64_t>(ky) * w.s2;
            if (w.ahead > 0 && c + w.ahead < w.channels) {
                const float* ahead = src + static_cast<std::int64_t>(w.ahead) * w.s1;
                prefetch_span(ahead, w.reach);
                if constexpr (Split) prefetch_span(ahead + w.apart, w.reach);
            }
            for (std::uint64_t kx = 0; kx < w.kw; ++kx, src += w.s3, dst += 16) {
                __m256 low, high;
                load16<Step>(src, low, high);
                if constexpr (Split) {
                    __m256 next_low, next_high;
                    load16<Step>(src + w.apart, next_low, next_high);
                    low = _mm256_blendv_ps(low, next_low, take_low);
                    high = _mm256_blendv_ps(high, next_high, take_high);
                }
                _mm256_storeu_ps(dst, low);
                _mm256_storeu_ps(dst + 8, high);
            }
        }
    }
}

}  // namespace

bool pack_panel16_avx2(const PanelWalk& w, float* dst) {
    const bool split = w.split < 16;
    if (w.step == 1) {
        split ? walk<1, true>(w, dst) : walk<1, false>(w, dst);
        return true;
    }
    if (w.step == 2) {
        split ? walk<2, true>(w, dst) : walk<2, false>(w, dst);
        return true;
    }
    return false;
}

}  // namespace kiln::conv
