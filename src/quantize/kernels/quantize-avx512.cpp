#include <immintrin.h>

#include "quantize/kernels/quantize.hpp"
#include "simd/avx512.hpp"
#include "simd/loops.hpp"

namespace kiln::quantize {

namespace {

using V = simd::Avx512;

// Sixteen elements of the rule. After the clamps |p| <= 127, and for every
// such float, trunc(p + copysign(0.49999997, p)) rounds halves away from
// zero exactly (0.49999997 is the float just below one half; checked for
// every float in [0, 127], and both operations are odd functions). The
// truncating conversion does the trunc.
inline __m128i quantize16(__m512 v, __m512 inv) {
    __m512 p = _mm512_mul_ps(v, inv);
    p = V::min(p, _mm512_set1_ps(127.0f));
    p = V::max(p, _mm512_set1_ps(-127.0f));
    // copysign(0.49999997, p) in one step: a bitwise select (0xCA is
    // A ? B : C) taking the sign bit from p and the other bits from the
    // constant.
    const __m512i half = _mm512_ternarylogic_epi32(_mm512_set1_epi32(static_cast<int>(0x80000000u)),
                                                   _mm512_castps_si512(p),
                                                   _mm512_set1_epi32(0x3effffff), 0xCA);
    const __m512 biased = _mm512_add_ps(p, _mm512_castsi512_ps(half));
    return _mm512_cvtsepi32_epi8(_mm512_cvttps_epi32(biased));
}

float abs_max(const float* in, std::size_t n) {
    // Every lane is a non-negative number (never NaN), so any order of
    // taking the maximum gives the same value.
    return simd::max_fold<V>(in, n, 0.0f, [](V::Vec v) { return V::magnitude(v); });
}

void quantize(const float* in, float inv, std::int8_t* out, std::size_t n) {
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
        const __mmask16 mask = V::part_mask(n - i);
        _mm_mask_storeu_epi8(out + i, mask, quantize16(_mm512_maskz_loadu_ps(mask, in + i), vinv));
    }
}

void dequantize(const std::int8_t* in, float s, float* out, std::size_t n) {
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
        const __mmask16 mask = V::part_mask(n - i);
        const __m128i b = _mm_maskz_loadu_epi8(mask, in + i);
        _mm512_mask_storeu_ps(out + i, mask,
                              _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(b)), vs));
    }
}

}  // namespace

QuantizeKernels quantize_kernels_avx512() { return QuantizeKernels{abs_max, quantize, dequantize}; }

}  // namespace kiln::quantize
