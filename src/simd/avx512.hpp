// AVX-512 vector helpers, for files compiled for AVX-512 (*-avx512.cpp)
// only.
//
// Everything here has internal linkage (an anonymous namespace): each
// including file gets its own copy, compiled with its own instruction set,
// so the linker can never hand one of them to baseline code.
#pragma once

#ifndef __AVX512F__
#error "simd/avx512.hpp is for files compiled for AVX-512"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstring>

namespace kiln::simd {
namespace {

struct Avx512 {
    using Vec = __m512;
    static constexpr std::size_t kLanes = 16;

    static Vec zero() { return _mm512_setzero_ps(); }
    static Vec set1(float v) { return _mm512_set1_ps(v); }
    // *p in every lane, loaded by the integer broadcast: the same bits as
    // set1(*p), but some cores (AMD Zen 4) run the float broadcast from
    // memory on a vector pipe that the products' multiplies and adds need
    // (the 8 x 32 kernel ran at 62% of the core's limit with it and at 95%
    // with this one), and this one in the load unit alone.
    static Vec broadcast(const float* p) {
        int bits;
        std::memcpy(&bits, p, sizeof bits);
        return _mm512_castsi512_ps(_mm512_set1_epi32(bits));
    }
    static Vec load(const float* p) { return _mm512_loadu_ps(p); }
    // Lanes i = p[2 * i], reading p[0 .. 30] only: the second load starts
    // at p[15], so its odd positions hold p[16], p[18], ..., p[30]. One
    // two-source permute takes element 2i of the first load for i < 8 and
    // element 2(i - 8) + 1 of the second (index 16 + ...) for i >= 8.
    static Vec even(const float* p) {
        const __m512i pick = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 17, 19, 21, 23, 25, 27, 29, 31);
        return _mm512_permutex2var_ps(_mm512_loadu_ps(p), pick, _mm512_loadu_ps(p + 15));
    }
    static void store(float* p, Vec v) { _mm512_storeu_ps(p, v); }

    // Lanes [0, len) of a vector, len <= 16, as a mask.
    static __mmask16 part_mask(std::size_t len) { return static_cast<__mmask16>((1u << len) - 1u); }
    // len <= 16 floats; the other lanes are +0.0, or taken from `fill`.
    // Masked moves neither read nor write the other lanes.
    static Vec load_part(const float* p, std::size_t len) { return _mm512_maskz_loadu_ps(part_mask(len), p); }
    static Vec load_part(const float* p, std::size_t len, Vec fill) {
        return _mm512_mask_loadu_ps(fill, part_mask(len), p);
    }
    static void store_part(float* p, Vec v, std::size_t len) { _mm512_mask_storeu_ps(p, part_mask(len), v); }

    // Lanes [first, 16) as a mask for select() (first may exceed 16).
    using Mask = __mmask16;
    static Mask lanes_from(std::size_t first) {
        return first >= kLanes ? static_cast<Mask>(0) : static_cast<Mask>(0xFFFFu << first);
    }
    // b in the lanes of m, a in the others.
    static Vec select(Mask m, Vec a, Vec b) { return _mm512_mask_blend_ps(m, a, b); }

    // MAXPS(a, b) = a > b ? a : b and MINPS(a, b) = a < b ? a : b, per lane:
    // the second operand whenever the comparison fails (NaN, equal zeros).
    // Written with an all-ones zero-mask, which compiles to the plain
    // instructions and avoids a false uninitialised-value warning of GCC 12
    // about its own headers.
    static Vec max(Vec a, Vec b) { return _mm512_maskz_max_ps(0xFFFF, a, b); }
    static Vec min(Vec a, Vec b) { return _mm512_maskz_min_ps(0xFFFF, a, b); }
    static Vec add(Vec a, Vec b) { return _mm512_add_ps(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm512_sub_ps(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm512_mul_ps(a, b); }
    // |v|: the sign bit cleared (NaN stays NaN).
    static Vec magnitude(Vec v) {
        return _mm512_castsi512_ps(_mm512_and_si512(_mm512_castps_si512(v), _mm512_set1_epi32(0x7fffffff)));
    }

    // Transposes the 16 x 16 block held by v[0 .. 15]: lane j of v[i]
    // trades places with lane i of v[j]. Moves values only.
    static void transpose(Vec* v) {
        Vec t[16];
        for (int i = 0; i < 16; i += 2) {
            t[i] = _mm512_unpacklo_ps(v[i], v[i + 1]);
            t[i + 1] = _mm512_unpackhi_ps(v[i], v[i + 1]);
        }
        // Then vector 4q + j holds, in its 128-bit part k, column 4k + j of
        // rows 4q .. 4q + 3.
        for (int q = 0; q < 16; q += 4) {
            const __m512d a = _mm512_castps_pd(t[q]), b = _mm512_castps_pd(t[q + 1]);
            const __m512d c = _mm512_castps_pd(t[q + 2]), d = _mm512_castps_pd(t[q + 3]);
            v[q] = _mm512_castpd_ps(_mm512_unpacklo_pd(a, c));
            v[q + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(a, c));
            v[q + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(b, d));
            v[q + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(b, d));
        }
        // Finally the 4 x 4 blocks of 128-bit parts are transposed.
        for (int j = 0; j < 4; ++j) {
            const Vec s0 = _mm512_shuffle_f32x4(v[j], v[4 + j], 0x44);
            const Vec s1 = _mm512_shuffle_f32x4(v[j], v[4 + j], 0xEE);
            const Vec s2 = _mm512_shuffle_f32x4(v[8 + j], v[12 + j], 0x44);
            const Vec s3 = _mm512_shuffle_f32x4(v[8 + j], v[12 + j], 0xEE);
            t[j] = _mm512_shuffle_f32x4(s0, s2, 0x88);
            t[4 + j] = _mm512_shuffle_f32x4(s0, s2, 0xDD);
            t[8 + j] = _mm512_shuffle_f32x4(s1, s3, 0x88);
            t[12 + j] = _mm512_shuffle_f32x4(s1, s3, 0xDD);
        }
        for (int i = 0; i < 16; ++i) v[i] = t[i];
    }
};

}  // namespace
}  // namespace kiln::simd
