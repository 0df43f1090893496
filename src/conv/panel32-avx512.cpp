// AVX-512 copies of 32-lane window panels (see panels.hpp). A row step of 1
// is two unaligned loads per window position; a row step of 2 picks the
// even elements of two overlapping runs with one two-source permute per 16
// lanes, without reading past the last lane's element.
#include <immintrin.h>

#include "conv/panels.hpp"

namespace kiln::conv {

namespace {

constexpr std::size_t kLanes = 32;

// out[i] = p[2 * i] for i < 16, reading p[0 .. 30] only: the second load
// starts at p[15], so its odd positions hold p[16], p[18], ..., p[30].
inline __m512 even_lanes(const float* p, __m512i pick) {
    return _mm512_permutex2var_ps(_mm512_loadu_ps(p), pick, _mm512_loadu_ps(p + 15));
}

template <int Step>
inline void load32(const float* p, __m512i pick, __m512& low, __m512& high) {
    if constexpr (Step == 1) {
        low = _mm512_loadu_ps(p);
        high = _mm512_loadu_ps(p + 16);
    } else {
        low = even_lanes(p, pick);
        high = even_lanes(p + 32, pick);
    }
}

// Lanes [from, 16) of a 16-lane half, as a mask (from may exceed 16).
inline __mmask16 lanes_from(std::size_t from) {
    return from >= 16 ? static_cast<__mmask16>(0) : static_cast<__mmask16>(0xFFFFu << from);
}

template <int Step, bool Split>
void walk(const PanelWalk& w, float* dst) {
    // Element 2i of the first load for i < 8, element 2(i - 8) + 1 of the
    // second (index 16 + ...) for i >= 8.
    const __m512i pick =
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 17, 19, 21, 23, 25, 27, 29, 31);
    // Lanes taken from the second row.
    const __mmask16 next_low = Split ? lanes_from(w.split) : 0;
    const __mmask16 next_high = Split ? lanes_from(w.split < 16 ? 0 : w.split - 16) : 0;
    for (std::uint64_t c = 0; c < w.channels; ++c) {
        for (std::uint64_t ky = 0; ky < w.kh; ++ky) {
            const float* src =
                w.first + static_cast<std::int64_t>(c) * w.s1 + static_cast<std::int64_t>(ky) * w.s2;
            if (w.ahead > 0 && c + w.ahead < w.channels) {
                const float* ahead = src + static_cast<std::int64_t>(w.ahead) * w.s1;
                prefetch_span(ahead, w.reach);
                if constexpr (Split) prefetch_span(ahead + w.apart, w.reach);
            }
            for (std::uint64_t kx = 0; kx < w.kw; ++kx, src += w.s3, dst += kLanes) {
                __m512 low, high;
                load32<Step>(src, pick, low, high);
                if constexpr (Split) {
                    __m512 other_low, other_high;
                    load32<Step>(src + w.apart, pick, other_low, other_high);
                    low = _mm512_mask_blend_ps(next_low, low, other_low);
                    high = _mm512_mask_blend_ps(next_high, high, other_high);
                }
                _mm512_storeu_ps(dst, low);
                _mm512_storeu_ps(dst + 16, high);
            }
        }
    }
}

}  // namespace

bool pack_panel32_avx512(const PanelWalk& w, float* dst) {
    const bool split = w.split < kLanes;
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
