#include <immintrin.h>

#include "quantize/quantize_kernels.hpp"

namespace kiln::quantize {

namespace {

// MAXPS(a, b) = a > b ? a : b and MINPS(a, b) = a < b ? a : b per lane: the
// second operand when the comparison fails, NaN included. (An all-ones
// zero-mask compiles to the plain instruction and avoids a false warning of
// GCC 12 about its own headers.)
inline __m512 vmax(__m512 a, __m512 b) { return _mm512_maskz_max_ps(0xFFFF, a, b); }
inline __m512 vmin(__m512 a, __m512 b) { return _mm512_maskz_min_ps(0xFFFF, a, b); }

inline __m512 magnitude(__m512 v) {
    return _mm512_castsi512_ps(
        _mm512_and_si512(_mm512_castps_si512(v), _mm512_set1_epi32(0x7fffffff)));
}

// Sixteen elements of the rule. After the clamps |p| <= 127, and for every
// such float, trunc(p + copysign(0.49999997, p)) rounds halves away from
// zero exactly (0.49999997 is the float just below one half; checked for
// every float in [0, 127], and both operations are odd functions). The
// truncating conversion does the trunc.
inline __m128i quantize16(__m512 v, __m512 inv) {
    __m512 p = _mm512_mul_ps(v, inv);
    p = vmin(p, _mm512_set1_ps(127.0f));
    p = vmax(p, _mm512_set1_ps(-127.0f));
    // copysign(0.49999997, p) in one step: a bitwise select (0xCA is
    // A ? B : C) taking the sign bit from p and the other bits from the
    // constant.
    const __m512i half = _mm512_ternarylogic_epi32(_mm512_set1_epi32(static_cast<int>(0x80000000u)),
                                                   _mm512_castps_si512(p),
                                                   _mm512_set1_epi32(0x3effffff), 0xCA);
    const __m512 biased = _mm512_add_ps(p, _mm512_castsi512_ps(half));
    return _mm512_cvtsepi32_epi8(_mm512_cvttps_epi32(biased));
}

}  // namespace

float abs_max_f32_avx512(const float* in, std::size_t n) {
    __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        a0 = vmax(magnitude(_mm512_loadu_ps(in + i)), a0);
        a1 = vmax(magnitude(_mm512_loadu_ps(in + i + 16)), a1);
        a2 = vmax(magnitude(_mm512_loadu_ps(in + i + 32)), a2);
        a3 = vmax(magnitude(_mm512_loadu_ps(in + i + 48)), a3);
    }
    for (; i + 16 <= n; i += 16) a0 = vmax(magnitude(_mm512_loadu_ps(in + i)), a0);
    if (i < n) {
        const __mmask16 mask = static_cast<__mmask16>((1u << (n - i)) - 1u);
        a1 = vmax(magnitude(_mm512_maskz_loadu_ps(mask, in + i)), a1);
    }
    // Every accumulator is a non-negative number (never NaN), so any order
    // of combining gives the same maximum.
    a0 = vmax(vmax(a0, a1), vmax(a2, a3));
    return _mm512_reduce_max_ps(a0);
}

void quantize_f32_avx512(const float* in, float inv, std::int8_t* out, std::size_t n) {
    const __m512 vinv = _mm512_set1_ps(inv);
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m128i q0 = quantize16(_mm512_loadu_ps(in + i), vinv);
        const __m128i q1 = quantize16(_mm512_loadu_ps(in + i + 16), vinv);
        const __m128i q2 = quantize16(_mm512_loadu_ps(in + i + 32), vinv);
        const __m128i q3 = quantize16(_mm512_loadu_ps(in + i + 48), vinv);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), q0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 16), q1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 32), q2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 48), q3);
    }
    for (; i + 16 <= n; i += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), quantize16(_mm512_loadu_ps(in + i), vinv));
    if (i < n) {
        const __mmask16 mask = static_cast<__mmask16>((1u << (n - i)) - 1u);
        _mm_mask_storeu_epi8(out + i, mask, quantize16(_mm512_maskz_loadu_ps(mask, in + i), vinv));
    }
}

void dequantize_i8_avx512(const std::int8_t* in, float s, float* out, std::size_t n) {
    const __m512 vs = _mm512_set1_ps(s);
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        for (int k = 0; k < 4; ++k) {
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 16 * k));
            _mm512_storeu_ps(out + i + 16 * k,
                             _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(b)), vs));
        }
    }
    for (; i + 16 <= n; i += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm512_storeu_ps(out + i, _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(b)), vs));
    }
    if (i < n) {
        const __mmask16 mask = static_cast<__mmask16>((1u << (n - i)) - 1u);
        const __m128i b = _mm_maskz_loadu_epi8(mask, in + i);
        _mm512_mask_storeu_ps(out + i, mask,
                              _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(b)), vs));
    }
}

}  // namespace kiln::quantize
