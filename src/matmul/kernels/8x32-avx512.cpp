// 8 x 32 micro-kernel for AVX-512: sixteen 16-lane accumulators, one lane
// per result element. For each inner position the eight values of the `a`
// panel are broadcast in turn, multiplied by the two vectors of the `b`
// panel and added to the accumulators with a separate multiply and add, so
// every lane performs exactly the sequential float32 sum of its element.
#include <immintrin.h>

#include <cstddef>

#include "matmul/kernels/kernels.hpp"
#include "matmul/kernels/products.hpp"
#include "simd/avx512.hpp"

namespace kiln::matmul {

namespace {

constexpr std::size_t kRows = 8;
constexpr std::size_t kCols = 32;

// Lanes [0, count) of a 16-lane vector, count of any size.
__mmask16 lanes(std::size_t count) { return simd::Avx512::part_mask(count < 16 ? count : 16); }

// The kc inner positions, in order; with Fetch, each also asks for one line
// of `fetch`, `stride` bytes after the last.
template <bool Fetch>
void steps(std::size_t kc, const float* a, const float* b, __m512 (&acc)[kRows][2], const char* fetch,
           std::ptrdiff_t stride) {
#pragma GCC unroll 2
    for (std::size_t p = 0; p < kc; ++p) {
        // Fetch the panels a few positions ahead; this only moves data.
        _mm_prefetch(reinterpret_cast<const char*>(b + 8 * kCols), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(b + 8 * kCols + 16), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(a + 16 * kRows), _MM_HINT_T0);
        if constexpr (Fetch) {
            _mm_prefetch(fetch, _MM_HINT_T1);
            fetch += stride;
        }
        add_products<simd::Avx512, kRows>(acc, a, b);
        a += kRows;
        b += kCols;
    }
}

}  // namespace

void gemm_8x32_avx512(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                      std::size_t rows, std::size_t cols, bool accumulate, const float* fetch,
                      std::ptrdiff_t fetch_stride) {
    const __mmask16 m0 = lanes(cols);
    const __mmask16 m1 = cols > 16 ? lanes(cols - 16) : static_cast<__mmask16>(0);

    __m512 acc[kRows][2];
#pragma GCC unroll 8
    for (std::size_t r = 0; r < kRows; ++r) {
        if (accumulate && r < rows) {
            acc[r][0] = _mm512_maskz_loadu_ps(m0, c + r * ldc);
            acc[r][1] = _mm512_maskz_loadu_ps(m1, c + r * ldc + 16);
        } else {
            acc[r][0] = _mm512_setzero_ps();
            acc[r][1] = _mm512_setzero_ps();
        }
    }

    if (fetch != nullptr) {
        steps<true>(kc, a, b, acc, reinterpret_cast<const char*>(fetch), fetch_stride);
    } else {
        steps<false>(kc, a, b, acc, nullptr, 0);
    }

#pragma GCC unroll 8
    for (std::size_t r = 0; r < kRows; ++r) {
        if (r < rows) {
            _mm512_mask_storeu_ps(c + r * ldc, m0, acc[r][0]);
            _mm512_mask_storeu_ps(c + r * ldc + 16, m1, acc[r][1]);
        }
    }
}

}  // namespace kiln::matmul
