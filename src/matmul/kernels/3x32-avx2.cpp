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
#include "matmul/kernels/products.hpp"
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
struct Step {
    template <std::size_t R>
    static void apply(__m256 (&acc)[R][kVectors], const float* a, const float* b) {
#pragma GCC unroll 3
        for (std::size_t r = 0; r < R; ++r) {
            const __m256 x = simd::Avx2::broadcast(a + r);
#pragma GCC unroll 4
            for (std::size_t v = 0; v < kVectors; ++v)
                acc[r][v] = _mm256_add_ps(acc[r][v], _mm256_mul_ps(x, _mm256_loadu_ps(b + 8 * v)));
            asm volatile("" : "+r"(b));
        }
    }
};

}  // namespace

void gemm_3x32_avx2(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                    std::size_t rows, std::size_t cols, bool accumulate, const float* fetch,
                    std::ptrdiff_t fetch_stride) {
    register_kernel<simd::Avx2, kRows, kVectors, Step>(kc, a, b, c, ldc, rows, cols, accumulate, fetch, fetch_stride);
}

}  // namespace kiln::matmul
