#include <immintrin.h>

#include "activations/relu_kernels.hpp"

namespace kiln::activations {

// MAXPS(v, 0) returns its second operand unless v > 0, which is the rule.
void relu_f32_avx2(const float* in, float* out, std::size_t n) {
    const __m256 zero = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256 a = _mm256_loadu_ps(in + i);
        __m256 b = _mm256_loadu_ps(in + i + 8);
        __m256 c = _mm256_loadu_ps(in + i + 16);
        __m256 d = _mm256_loadu_ps(in + i + 24);
        _mm256_storeu_ps(out + i, _mm256_max_ps(a, zero));
        _mm256_storeu_ps(out + i + 8, _mm256_max_ps(b, zero));
        _mm256_storeu_ps(out + i + 16, _mm256_max_ps(c, zero));
        _mm256_storeu_ps(out + i + 24, _mm256_max_ps(d, zero));
    }
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, _mm256_max_ps(_mm256_loadu_ps(in + i), zero));
    for (; i < n; ++i) {
        const float v = in[i];
        out[i] = v > 0.0f ? v : 0.0f;
    }
}

}  // namespace kiln::activations
