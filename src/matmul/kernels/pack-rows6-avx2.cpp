// Packing of a full 6-row panel of `a` for the 6 x 16 AVX2 micro-kernel:
// rows with unit column stride are transposed 8 positions at a time in
// registers (as an 8 x 8 block whose last two rows are zero), and each
// position's six values are stored as one 24-byte run. Only values move;
// nothing is computed.
#include <immintrin.h>

#include <cstddef>

#include "matmul/kernels/kernels.hpp"
#include "simd/avx2.hpp"

namespace kiln::matmul {

void pack_rows6_avx2(const float* src, std::ptrdiff_t s0, std::size_t k, float* out) {
    constexpr std::size_t kRows = 6;
    const float* row[kRows];
    for (std::size_t r = 0; r < kRows; ++r) row[r] = src + static_cast<std::ptrdiff_t>(r) * s0;
    std::size_t p = 0;
    for (; p + 8 <= k; p += 8) {
        __m256 x[8];
        for (std::size_t r = 0; r < kRows; ++r) x[r] = _mm256_loadu_ps(row[r] + p);
        x[6] = x[7] = _mm256_setzero_ps();
        simd::Avx2::transpose(x);
        // x[j] holds position p + j of the six rows, then two zeros. Each
        // full store also writes the first two values of the next
        // position's run, which the next store then overwrites; the last
        // one stores its six values alone, so nothing past this group of
        // positions is touched.
        float* dst = out + p * kRows;
        for (std::size_t j = 0; j < 7; ++j) _mm256_storeu_ps(dst + j * kRows, x[j]);
        simd::Avx2::store_part(dst + 7 * kRows, x[7], kRows);
    }
    for (; p < k; ++p)
        for (std::size_t r = 0; r < kRows; ++r) out[p * kRows + r] = row[r][p];
}

}  // namespace kiln::matmul
