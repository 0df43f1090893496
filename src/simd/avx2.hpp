// AVX2 vector helpers, for files compiled for AVX2 (*-avx2.cpp) only.
//
// Everything here has internal linkage (an anonymous namespace): each
// including file gets its own copy, compiled with its own instruction set,
// so the linker can never hand one of them to baseline code.
#pragma once

#ifndef __AVX2__
#error "simd/avx2.hpp is for files compiled for AVX2"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstring>

namespace kiln::simd {
namespace {

struct Avx2 {
    using Vec = __m256;
    static constexpr std::size_t kLanes = 8;

    static Vec zero() { return _mm256_setzero_ps(); }
    static Vec set1(float v) { return _mm256_set1_ps(v); }
    // *p in every lane, loaded by the integer broadcast: the same bits as
    // set1(*p), but some cores (AMD Zen 4) run the float broadcast from
    // memory on a vector pipe that the products' multiplies and adds need,
    // and this one in the load unit alone.
    static Vec broadcast(const float* p) {
        int bits;
        std::memcpy(&bits, p, sizeof bits);
        return _mm256_castsi256_ps(_mm256_set1_epi32(bits));
    }
    static Vec load(const float* p) { return _mm256_loadu_ps(p); }
    // Lanes i = p[2 * i], reading p[0 .. 14] only: the second load starts
    // at p[7], so its odd positions hold p[8], p[10], p[12], p[14].
    static Vec even(const float* p) {
        const __m256 a = _mm256_loadu_ps(p);
        const __m256 b = _mm256_loadu_ps(p + 7);
        // Per 128-bit half: a[0], a[2], b[1], b[3], i.e. p0 p2 p8 p10 | p4 p6 p12 p14.
        const __m256 s = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 2, 0));
        // Pairs (p0 p2) (p8 p10) (p4 p6) (p12 p14) put in order.
        return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(s), _MM_SHUFFLE(3, 1, 2, 0)));
    }
    static void store(float* p, Vec v) { _mm256_storeu_ps(p, v); }

    // Lanes [0, len) of a vector, len <= 8, as a mask for masked moves
    // (which neither read nor write the other lanes, so nothing past the
    // end of the data is touched).
    static __m256i part_mask(std::size_t len) {
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(len)), lane);
    }
    // len <= 8 floats; the other lanes are +0.0, or taken from `fill`.
    static Vec load_part(const float* p, std::size_t len) { return _mm256_maskload_ps(p, part_mask(len)); }
    static Vec load_part(const float* p, std::size_t len, Vec fill) {
        const __m256i mask = part_mask(len);
        return _mm256_blendv_ps(fill, _mm256_maskload_ps(p, mask), _mm256_castsi256_ps(mask));
    }
    // Lanes [0, len) are written and nothing else, in pieces of 4, 2 and 1
    // lanes: a masked store (VMASKMOVPS) costs about 20 cycles on some
    // processors (AMD Zen 4), several times these plain ones.
    static void store_part(float* p, Vec v, std::size_t len) {
        if (len >= kLanes) {
            _mm256_storeu_ps(p, v);
            return;
        }
        __m128 part = _mm256_castps256_ps128(v);
        if (len & 4) {
            _mm_storeu_ps(p, part);
            part = _mm256_extractf128_ps(v, 1);
            p += 4;
        }
        if (len & 2) {
            _mm_storel_pi(reinterpret_cast<__m64*>(p), part);
            part = _mm_movehl_ps(part, part);
            p += 2;
        }
        if (len & 1) _mm_store_ss(p, part);
    }

    // Lanes [first, 8) as a mask for select() (first may exceed 8).
    using Mask = __m256;
    static Mask lanes_from(std::size_t first) {
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const std::size_t f = first < kLanes ? first : kLanes;
        return _mm256_castsi256_ps(_mm256_cmpgt_epi32(lane, _mm256_set1_epi32(static_cast<int>(f) - 1)));
    }
    // b in the lanes of m, a in the others.
    static Vec select(Mask m, Vec a, Vec b) { return _mm256_blendv_ps(a, b, m); }

    // MAXPS(a, b) = a > b ? a : b and MINPS(a, b) = a < b ? a : b, per lane:
    // the second operand whenever the comparison fails (NaN, equal zeros).
    static Vec max(Vec a, Vec b) { return _mm256_max_ps(a, b); }
    static Vec min(Vec a, Vec b) { return _mm256_min_ps(a, b); }
    static Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm256_sub_ps(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
    // |v|: the sign bit cleared (NaN stays NaN).
    static Vec magnitude(Vec v) {
        return _mm256_castsi256_ps(_mm256_and_si256(_mm256_castps_si256(v), _mm256_set1_epi32(0x7fffffff)));
    }

    // Transposes the 8 x 8 block held by v[0 .. 7]: lane j of v[i] trades
    // places with lane i of v[j]. Moves values only.
    static void transpose(Vec* v) {
        Vec t[8];
        for (int i = 0; i < 8; i += 2) {
            t[i] = _mm256_unpacklo_ps(v[i], v[i + 1]);
            t[i + 1] = _mm256_unpackhi_ps(v[i], v[i + 1]);
        }
        // Then vector 4q + j holds, in its 128-bit half k, column 4k + j of
        // rows 4q .. 4q + 3.
        for (int q = 0; q < 8; q += 4) {
            const __m256d a = _mm256_castps_pd(t[q]), b = _mm256_castps_pd(t[q + 1]);
            const __m256d c = _mm256_castps_pd(t[q + 2]), d = _mm256_castps_pd(t[q + 3]);
            v[q] = _mm256_castpd_ps(_mm256_unpacklo_pd(a, c));
            v[q + 1] = _mm256_castpd_ps(_mm256_unpackhi_pd(a, c));
            v[q + 2] = _mm256_castpd_ps(_mm256_unpacklo_pd(b, d));
            v[q + 3] = _mm256_castpd_ps(_mm256_unpackhi_pd(b, d));
        }
        for (int j = 0; j < 4; ++j) {
            t[j] = _mm256_permute2f128_ps(v[j], v[4 + j], 0x20);
            t[4 + j] = _mm256_permute2f128_ps(v[j], v[4 + j], 0x31);
        }
        for (int i = 0; i < 8; ++i) v[i] = t[i];
    }
};

}  // namespace
}  // namespace kiln::simd
