// 6 x 16 micro-kernel for AVX2: twelve 8-lane accumulators, one lane per
// result element, updated with a separate multiply and add for each inner
// position in order. Blocks with fewer rows (the bottom edge of a tile)
// run a copy of the loop with only those rows; blocks with fewer columns
// (the right edge of the result) go through a local 6 x 16 block so the
// inner loop never needs masks.
#include <immintrin.h>

#include <cstddef>

#include "matmul/kernels/kernels.hpp"
#include "matmul/kernels/products.hpp"
#include "simd/avx2.hpp"

namespace kiln::matmul {

namespace {

constexpr std::size_t kRows = 6;
constexpr std::size_t kCols = 16;

// The kc inner positions for rows [0, R), in order; with Fetch, each also
// asks for one line of `fetch`, `stride` bytes after the last.
template <std::size_t R, bool Fetch>
void steps(std::size_t kc, const float* a, const float* b, __m256 (&acc)[R][2], const char* fetch,
           std::ptrdiff_t stride) {
#pragma GCC unroll 2
    for (std::size_t p = 0; p < kc; ++p) {
        if constexpr (Fetch) {
            _mm_prefetch(fetch, _MM_HINT_T1);
            fetch += stride;
        }
        add_products<simd::Avx2, R>(acc, a, b);
        a += kRows;
        b += kCols;
    }
}

// Rows [0, R) of the block at c (leading dimension ldc), all 16 columns.
// The packed panel of `a` stays 6 lanes wide whatever R is.
template <std::size_t R>
void block(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
           bool accumulate, const char* fetch, std::ptrdiff_t stride) {
    __m256 acc[R][2];
#pragma GCC unroll 6
    for (std::size_t r = 0; r < R; ++r) {
        if (accumulate) {
            acc[r][0] = _mm256_loadu_ps(c + r * ldc);
            acc[r][1] = _mm256_loadu_ps(c + r * ldc + 8);
        } else {
            acc[r][0] = _mm256_setzero_ps();
            acc[r][1] = _mm256_setzero_ps();
        }
    }

    if (fetch != nullptr) {
        steps<R, true>(kc, a, b, acc, fetch, stride);
    } else {
        steps<R, false>(kc, a, b, acc, nullptr, 0);
    }

#pragma GCC unroll 6
    for (std::size_t r = 0; r < R; ++r) {
        _mm256_storeu_ps(c + r * ldc, acc[r][0]);
        _mm256_storeu_ps(c + r * ldc + 8, acc[r][1]);
    }
}

void rows_block(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                std::size_t rows, bool accumulate, const char* fetch, std::ptrdiff_t stride) {
    switch (rows) {
        case 1: return block<1>(kc, a, b, c, ldc, accumulate, fetch, stride);
        case 2: return block<2>(kc, a, b, c, ldc, accumulate, fetch, stride);
        case 3: return block<3>(kc, a, b, c, ldc, accumulate, fetch, stride);
        case 4: return block<4>(kc, a, b, c, ldc, accumulate, fetch, stride);
        case 5: return block<5>(kc, a, b, c, ldc, accumulate, fetch, stride);
        default: return block<6>(kc, a, b, c, ldc, accumulate, fetch, stride);
    }
}

}  // namespace

void gemm_6x16_avx2(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
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
