// Narrow micro-kernel for AVX-512: up to 16 rows of the result, each one
// 16-lane accumulator over at most 16 columns. The rows of `a` are read in
// place (row stride lda, unit step along the inner positions); `b` is one
// packed panel 16 lanes wide. For each inner position the value of every
// row is broadcast, multiplied by the `b` vector and added to the row's
// accumulator with a separate multiply and add, so every lane performs
// exactly the sequential float32 sum of its element.
#include <immintrin.h>

#include <cstddef>

#include "matmul/kernels/kernels.hpp"
#include "simd/avx512.hpp"

namespace kiln::matmul {

namespace {

constexpr std::size_t kLanes = 16;

template <std::size_t R>
void rows_kernel(std::size_t kc, const float* a, std::size_t lda, const float* b, float* c,
                 std::size_t ldc, __mmask16 mask, bool accumulate) {
    __m512 acc[R];
#pragma GCC unroll 16
    for (std::size_t r = 0; r < R; ++r)
        acc[r] = accumulate ? _mm512_maskz_loadu_ps(mask, c + r * ldc) : _mm512_setzero_ps();
    const float* row[R];
#pragma GCC unroll 16
    for (std::size_t r = 0; r < R; ++r) row[r] = a + r * lda;

#pragma GCC unroll 2
    for (std::size_t p = 0; p < kc; ++p) {
        const __m512 bv = _mm512_loadu_ps(b + p * kLanes);
#pragma GCC unroll 16
        for (std::size_t r = 0; r < R; ++r) {
            const __m512 x = simd::Avx512::broadcast(row[r] + p);
            acc[r] = _mm512_add_ps(acc[r], _mm512_mul_ps(x, bv));
        }
    }

#pragma GCC unroll 16
    for (std::size_t r = 0; r < R; ++r) _mm512_mask_storeu_ps(c + r * ldc, mask, acc[r]);
}

}  // namespace

void gemm_rows16_avx512(std::size_t kc, const float* a, std::size_t lda, const float* b, float* c,
                        std::size_t ldc, std::size_t rows, std::size_t cols, bool accumulate) {
    const __mmask16 mask = simd::Avx512::part_mask(cols < kLanes ? cols : kLanes);
    switch (rows) {
#define KILN_ROWS_CASE(n) \
    case n: return rows_kernel<n>(kc, a, lda, b, c, ldc, mask, accumulate);
        KILN_ROWS_CASE(1) KILN_ROWS_CASE(2) KILN_ROWS_CASE(3) KILN_ROWS_CASE(4)
        KILN_ROWS_CASE(5) KILN_ROWS_CASE(6) KILN_ROWS_CASE(7) KILN_ROWS_CASE(8)
        KILN_ROWS_CASE(9) KILN_ROWS_CASE(10) KILN_ROWS_CASE(11) KILN_ROWS_CASE(12)
        KILN_ROWS_CASE(13) KILN_ROWS_CASE(14) KILN_ROWS_CASE(15)
#undef KILN_ROWS_CASE
        default: return rows_kernel<16>(kc, a, lda, b, c, ldc, mask, accumulate);
    }
}

}  // namespace kiln::matmul
