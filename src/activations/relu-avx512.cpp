#include <immintrin.h>

#include "activations/relu_kernels.hpp"

namespace kiln::activations {

// MAXPS(v, 0) returns its second operand unless v > 0, which is the rule.
void relu_f32_avx512(const float* in, float* out, std::size_t n) {
    const __m512 zero = _mm512_setzero_ps();
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        __m512 a = _mm512_loadu_ps(in + i);
        __m512 b = _mm512_loadu_ps(in + i + 16);
        __m512 c = _mm512_loadu_ps(in + i + 32);
        __m512 d = _mm512_loadu_ps(in + i + 48);
        _mm512_storeu_ps(out + i, _mm512_max_ps(a, zero));
        _mm512_storeu_ps(out + i + 16, _mm512_max_ps(b, zero));
        _mm512_storeu_ps(out + i + 32, _mm512_max_ps(c, zero));
        _mm512_storeu_ps(out + i + 48, _mm512_max_ps(d, zero));
    }
    for (; i + 16 <= n; i += 16) _mm512_storeu_ps(out + i, _mm512_max_ps(_mm512_loadu_ps(in + i), zero));
    if (i < n) {
        const __mmask16 m = static_cast<__mmask16>((1u << (n - i)) - 1u);
        _mm512_mask_storeu_ps(out + i, m, _mm512_max_ps(_mm512_maskz_loadu_ps(m, in + i), zero));
    }
}

}  // namespace kiln::activations
