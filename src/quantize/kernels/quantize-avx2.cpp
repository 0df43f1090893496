#include <immintrin.h>

#include "quantize/kernels/quantize.hpp"
#include "simd/avx2.hpp"
#include "simd/loops.hpp"

namespace kiln::quantize {

namespace {

// Eight elements of the rule as int32, before the packing below
// saturates them to bytes. No clamp is applied here: the products lie
// strictly between -127.5 and 127.5, or are NaN (see
// QuantizeKernels::quantize). Halves are rounded away from zero as
// trunc(p + copysign(0.49999997, p)), which is exact for every such p
// (0.49999997 is the float just below one half; the truncating conversion
// does the trunc, and the blend takes the sign of p). So every result lies
// in [-127, 127], except that NaN gives INT32_MIN (the conversion's value
// for it).
inline __m256i quantize8(__m256 v, __m256 inv) {
    const __m256 p = _mm256_mul_ps(v, inv);
    const __m256 signed_half = _mm256_blendv_ps(_mm256_set1_ps(0x1.fffffep-2f), _mm256_set1_ps(-0x1.fffffep-2f), p);
    return _mm256_cvttps_epi32(_mm256_add_ps(p, signed_half));
}

// 32 results of quantize8 to 32 bytes in order. The packs saturate
// INT32_MIN to -128, which no other result gives; those bytes become 127,
// the clamp's value for NaN (-128 XOR all ones is 127).
inline __m256i pack32(__m256i a, __m256i b, __m256i c, __m256i d) {
    const __m256i ab = _mm256_packs_epi32(a, b);
    const __m256i cd = _mm256_packs_epi32(c, d);
    const __m256i abcd = _mm256_packs_epi16(ab, cd);
    const __m256i bytes = _mm256_permutevar8x32_epi32(abcd, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    return _mm256_xor_si256(bytes, _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(-128)));
}

float abs_max(const float* in, std::size_t n) {
    // Every lane is a non-negative number (never NaN), so any order of
    // taking the maximum gives the same value.
    using V = simd::Avx2;
    return simd::max_fold<V>(in, n, 0.0f, [](V::Vec v) { return V::magnitude(v); });
}

void quantize(const float* in, float inv, std::int8_t* out, std::size_t n) {
    const __m256 vinv = _mm256_set1_ps(inv);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i q = pack32(quantize8(_mm256_loadu_ps(in + i), vinv),
                                 quantize8(_mm256_loadu_ps(in + i + 8), vinv),
                                 quantize8(_mm256_loadu_ps(in + i + 16), vinv),
                                 quantize8(_mm256_loadu_ps(in + i + 24), vinv));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), q);
    }
    if (i < n) {
        alignas(32) float buf[32] = {};
        alignas(32) std::int8_t res[32];
        for (std::size_t k = i; k < n; ++k) buf[k - i] = in[k];
        const __m256i q = pack32(quantize8(_mm256_load_ps(buf), vinv), quantize8(_mm256_load_ps(buf + 8), vinv),
                                 quantize8(_mm256_load_ps(buf + 16), vinv),
                                 quantize8(_mm256_load_ps(buf + 24), vinv));
        _mm256_store_si256(reinterpret_cast<__m256i*>(res), q);
        for (std::size_t k = i; k < n; ++k) out[k] = res[k - i];
    }
}

void dequantize(const std::int8_t* in, float s, float* out, std::size_t n) {
    const __m256 vs = _mm256_set1_ps(s);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i));
        _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(b)), vs));
    }
    for (; i < n; ++i) out[i] = static_cast<float>(in[i]) * s;
}

}  // namespace

QuantizeKernels quantize_kernels_avx2() { return QuantizeKernels{abs_max, quantize, dequantize}; }

}  // namespace kiln::quantize
