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

// One inner position: six broadcasts of `a`, the two vectors of `b` held
// in registers.
struct Step {
    template <std::size_t R>
    static void apply(__m256 (&acc)[R][2], const float* a, const float* b) {
        add_products<simd::Avx2, R>(acc, a, b);
    }
};

}  // namespace

void gemm_6x16_avx2(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                    std::size_t rows, std::size_t cols, bool accumulate, const float* fetch,
                    std::ptrdiff_t fetch_stride) {
    register_kernel<simd::Avx2, kRows, kCols / 8, Step>(kc, a, b, c, ldc, rows, cols, accumulate, fetch, fetch_stride);
}

}  // namespace kiln::matmul
