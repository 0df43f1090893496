// Packing of a full 8-row panel of `a` for the 8 x 32 AVX-512 micro-kernel:
// rows with unit column stride are transposed 16 positions at a time in
// registers, so that each position's eight values are stored as one
// 32-byte run. Only values move; nothing is computed.
#include <immintrin.h>

#include <cstddef>

#include "matmul/kernels/kernels.hpp"

namespace kiln::matmul {

void pack_rows8_avx512(const float* src, std::ptrdiff_t s0, std::size_t k, float* out) {
    constexpr std::size_t kRows = 8;
    const float* row[kRows];
    for (std::size_t r = 0; r < kRows; ++r) row[r] = src + static_cast<std::ptrdiff_t>(r) * s0;
    // Within each 128-bit block the four rows 0-3 (u) and 4-7 (v) of one
    // position; then each position's two halves are paired up. The index
    // takes blocks b of the first operand and b of the second in turn.
    const __m512i low_blocks = _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23);
    const __m512i high_blocks =
        _mm512_setr_epi32(8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31);
    std::size_t p = 0;
    for (; p + 16 <= k; p += 16) {
        __m512 x[kRows];
        for (std::size_t r = 0; r < kRows; ++r) x[r] = _mm512_loadu_ps(row[r] + p);
        __m512 u[4], v[4];
        for (int h = 0; h < 2; ++h) {
            // Rows 4h .. 4h + 3: lane l of block b is position 4b + q, row 4h + l.
            const __m512 t0 = _mm512_unpacklo_ps(x[4 * h], x[4 * h + 1]);
            const __m512 t1 = _mm512_unpackhi_ps(x[4 * h], x[4 * h + 1]);
            const __m512 t2 = _mm512_unpacklo_ps(x[4 * h + 2], x[4 * h + 3]);
            const __m512 t3 = _mm512_unpackhi_ps(x[4 * h + 2], x[4 * h + 3]);
            __m512* q = h == 0 ? u : v;
            q[0] = _mm512_shuffle_ps(t0, t2, 0x44);
            q[1] = _mm512_shuffle_ps(t0, t2, 0xEE);
            q[2] = _mm512_shuffle_ps(t1, t3, 0x44);
            q[3] = _mm512_shuffle_ps(t1, t3, 0xEE);
        }
        float* dst = out + p * kRows;
        for (std::size_t q = 0; q < 4; ++q) {
            // Positions q, q + 4 (low) and q + 8, q + 12 (high).
            const __m512 lo = _mm512_permutex2var_ps(u[q], low_blocks, v[q]);
            const __m512 hi = _mm512_permutex2var_ps(u[q], high_blocks, v[q]);
            _mm256_storeu_ps(dst + q * kRows, _mm512_castps512_ps256(lo));
            _mm256_storeu_ps(dst + (q + 4) * kRows, _mm512_extractf32x8_ps(lo, 1));
            _mm256_storeu_ps(dst + (q + 8) * kRows, _mm512_castps512_ps256(hi));
            _mm256_storeu_ps(dst + (q + 12) * kRows, _mm512_extractf32x8_ps(hi, 1));
        }
    }
    for (; p < k; ++p)
        for (std::size_t r = 0; r < kRows; ++r) out[p * kRows + r] = row[r][p];
}

}  // namespace kiln::matmul
