// 3 x 32 micro-kernel for AVX2: twelve 8-lane accumulators, one lane per
// result element, updated with a separate multiply and add for each inner
// position in order. It broadcasts three values of `a` per position where
// the 6 x 16 kernel broadcasts six, for the same 24 multiplies and adds;
// the four vectors of `b` are read by the multiplies themselves, once per
// row, as memory operands (twelve accumulators, the broadcast and a product
// leave no register for them). Cores that run each 256-bit operation as two
// 128-bit halves are bound by the operations they issue, and there a
// 256-bit broadcast costs about as much as a multiply while a memory
// operand costs little. Blocks with fewer rows (the bottom edge of a tile)
// run a copy of the loop with only those rows; blocks with fewer columns
// (the right edge of the result) go through a local 3 x 32 block.
#include <immintrin.h>

#include <cstddef>

#include "matmul/kernels/kernels.hpp"
#include "simd/avx2.hpp"

namespace kiln::matmul {

namespace {

constexpr std::size_t kRows = 3;
constexpr std::size_t kCols = 32;
constexpr std::size_t kVectors = kCols / 8;

// One inner position for rows [0, R). After each row the b pointer passes
// through an empty asm, which the compiler must assume changed it: so it
// reads the four vectors again for the next row, as memory operands of the
// multiplies, instead of keeping them in registers it does not have.
template <std::size_t R>
inline void add_products(__m256 (&acc)[R][kVectors], const float* a, const float* b) {
#pragma GCC unroll 3
    for (std::size_t r = 0; r < R; ++r) {
        const __m256 x = simd::Avx2::broadcast(a + r);
#pragma GCC unroll 4
        for (std::size_t v = 0; v < kVectors; ++v)
            acc[r][v] = _mm256_add_ps(acc[r][v], _mm256_mul_ps(x, _mm256_loadu_ps(b + 8 * v)));
        asm volatile("" : "+r"(b));
    }
}

// The kc inner positions for rows [0, R), in order; with Fetch, each also
// asks for one line of `fetch`, `stride` bytes after the last.
template <std::size_t R, bool Fetch>
void steps(std::size_t kc, const float* a, const float* b, __m256 (&acc)[R][kVectors], const char* fetch,
           std::ptrdiff_t stride) {
#pragma GCC unroll 2
    for (std::size_t p = 0; p < kc; ++p) {
        if constexpr (Fetch) {
            _mm_prefetch(fetch, _MM_HINT_T1);
            fetch += stride;
        }
        add_products<R>(acc, a, b);
        a += kRows;
        b += kCols;
    }
}

// Rows [0, R) of the block at c (leading dimension ldc), all 32 columns.
// The packed panel of `a` stays 3 lanes wide whatever R is.
template <std::size_t R>
void block(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
           bool accumulate, const char* fetch, std::ptrdiff_t stride) {
    __m256 acc[R][kVectors];
#pragma GCC unroll 3
    for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 4
        for (std::size_t v = 0; v < kVectors; ++v)
            acc[r][v] = accumulate ? _mm256_loadu_ps(c + r * ldc + 8 * v) : _mm256_setzero_ps();

    if (fetch != nullptr) {
        steps<R, true>(kc, a, b, acc, fetch, stride);
    } else {
        steps<R, false>(kc, a, b, acc, nullptr, 0);
    }

#pragma GCC unroll 3
    for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 4
        for (std::size_t v = 0; v < kVectors; ++v) _mm256_storeu_ps(c + r * ldc + 8 * v, acc[r][v]);
}

void rows_block(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                std::size_t rows, bool accumulate, const char* fetch, std::ptrdiff_t stride) {
    switch (rows) {
        case 1: return block<1>(kc, a, b, c, ldc, accumulate, fetch, stride);
        case 2: return block<2>(kc, a, b, c, ldc, accumulate, fetch, stride);
        default: return block<3>(kc, a, b, c, ldc, accumulate, fetch, stride);
    }
}

}  // namespace

void gemm_3x32_avx2(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                    std::size_t rows, std::size_t cols, bool accumulate, const float* fetch,
                    std::ptrdiff_t fetch_stride) {
    const char* ahead = reinterpret_cast<const char*>(fetch);
    if (cols == kCols) {
        rows_block(kc, a, b, c, ldc, rows, accumulate, ahead, fetch_stride);
        return;
    }
    float local[kRows * kCols] = {};
    if (accumulate) {
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t j = 0; j < cols; ++j) local[r * kCols + j] = c[r * ldc + j];
    }
    rows_block(kc, a, b, local, kCols, rows, accumulate, ahead, fetch_stride);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t j = 0; j < cols; ++j) c[r * ldc + j] = local[r * kCols + j];
}

}  // namespace kiln::matmul
