// Narrow micro-kernel for AVX2: up to 16 rows of the result over at most 16
// columns, with the rows of `a` read in place (row stride lda, unit step
// along the inner positions) and `b` one packed panel 16 lanes wide. Each
// row keeps one 8-lane accumulator per 8 columns in use, so results of at
// most 8 columns do half the work. For each inner position the value of
// every row is broadcast, multiplied by the `b` vectors and added to the
// row's accumulators with a separate multiply and add, so every lane
// performs exactly the sequential float32 sum of its element.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "matmul/kernels/kernels.hpp"
#include "simd/avx2.hpp"

namespace kiln::matmul {

namespace {

constexpr std::size_t kLanes = 16;

// Lane mask of the columns [first, first + 8) that are below cols.
__m256i column_mask(std::size_t first, std::size_t cols) {
    alignas(32) std::int32_t bits[8];
    for (std::size_t l = 0; l < 8; ++l) bits[l] = first + l < cols ? -1 : 0;
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(bits));
}

// R rows, V vectors of 8 columns each (V * R accumulators).
// The results are loaded with masked loads and stored lane by lane (a
// masked store is slow on some processors): mask[v] and lanes[v] give the
// columns of vector v that are in use.
template <std::size_t R, std::size_t V>
void rows_kernel(std::size_t kc, const float* a, std::size_t lda, const float* b, float* c,
                 std::size_t ldc, const __m256i (&mask)[2], const std::size_t (&lanes)[2], bool accumulate) {
    __m256 acc[R][V];
#pragma GCC unroll 12
    for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 2
        for (std::size_t v = 0; v < V; ++v)
            acc[r][v] = accumulate ? _mm256_maskload_ps(c + r * ldc + 8 * v, mask[v]) : _mm256_setzero_ps();
    const float* row[R];
#pragma GCC unroll 12
    for (std::size_t r = 0; r < R; ++r) row[r] = a + r * lda;

#pragma GCC unroll 2
    for (std::size_t p = 0; p < kc; ++p) {
        __m256 bv[V];
#pragma GCC unroll 2
        for (std::size_t v = 0; v < V; ++v) bv[v] = _mm256_loadu_ps(b + p * kLanes + 8 * v);
#pragma GCC unroll 12
        for (std::size_t r = 0; r < R; ++r) {
            const __m256 x = simd::Avx2::broadcast(row[r] + p);
#pragma GCC unroll 2
            for (std::size_t v = 0; v < V; ++v) acc[r][v] = _mm256_add_ps(acc[r][v], _mm256_mul_ps(x, bv[v]));
        }
    }

#pragma GCC unroll 12
    for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 2
        for (std::size_t v = 0; v < V; ++v) simd::Avx2::store_part(c + r * ldc + 8 * v, acc[r][v], lanes[v]);
}

// Rows in groups of G (the most that fit the registers), the last group
// with the rows left over.
template <std::size_t V, std::size_t G>
void rows_in_groups(std::size_t kc, const float* a, std::size_t lda, const float* b, float* c,
                    std::size_t ldc, std::size_t rows, const __m256i (&mask)[2], const std::size_t (&lanes)[2],
                    bool accumulate) {
    for (std::size_t r0 = 0; r0 < rows; r0 += G) {
        const float* ar = a + r0 * lda;
        float* cr = c + r0 * ldc;
        switch (rows - r0 < G ? rows - r0 : G) {
#define KILN_ROWS_CASE(n)                                                     \
    case n:                                                                   \
        if constexpr (n <= G) rows_kernel<n, V>(kc, ar, lda, b, cr, ldc, mask, lanes, accumulate); \
        break;
            KILN_ROWS_CASE(1) KILN_ROWS_CASE(2) KILN_ROWS_CASE(3) KILN_ROWS_CASE(4)
            KILN_ROWS_CASE(5) KILN_ROWS_CASE(6) KILN_ROWS_CASE(7) KILN_ROWS_CASE(8)
            KILN_ROWS_CASE(9) KILN_ROWS_CASE(10) KILN_ROWS_CASE(11) KILN_ROWS_CASE(12)
#undef KILN_ROWS_CASE
            default: break;
        }
    }
}

}  // namespace

void gemm_rows16_avx2(std::size_t kc, const float* a, std::size_t lda, const float* b, float* c,
                      std::size_t ldc, std::size_t rows, std::size_t cols, bool accumulate) {
    const __m256i mask[2] = {column_mask(0, cols), column_mask(8, cols)};
    const std::size_t lanes[2] = {cols < 8 ? cols : 8, cols > 8 ? cols - 8 : 0};
    if (cols <= 8) {
        rows_in_groups<1, 12>(kc, a, lda, b, c, ldc, rows, mask, lanes, accumulate);
    } else {
        rows_in_groups<2, 6>(kc, a, lda, b, c, ldc, rows, mask, lanes, accumulate);
    }
}

}  // namespace kiln::matmul
