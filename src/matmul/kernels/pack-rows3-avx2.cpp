// Packing of a full 3-row panel of `a` for the 3 x 32 AVX2 micro-kernel:
// rows with unit column stride are transposed 4 positions at a time in
// 128-bit registers (as a 4 x 4 block whose last row is zero), and each
// position's three values are stored as one 12-byte run. Only values move;
// nothing is computed.
#include <immintrin.h>

#include <cstddef>

#include "matmul/kernels/kernels.hpp"

namespace kiln::matmul {

void pack_rows3_avx2(const float* src, std::ptrdiff_t s0, std::size_t k, float* out) {
    constexpr std::size_t kRows = 3;
    const float* row0 = src;
    const float* row1 = src + s0;
    const float* row2 = src + 2 * s0;
    std::size_t p = 0;
    for (; p + 4 <= k; p += 4) {
        __m128 x0 = _mm_loadu_ps(row0 + p), x1 = _mm_loadu_ps(row1 + p), x2 = _mm_loadu_ps(row2 + p);
        __m128 x3 = _mm_setzero_ps();
        _MM_TRANSPOSE4_PS(x0, x1, x2, x3);
        // x0..x3 hold positions p .. p + 3 of the three rows, then a zero.
        // Each full store also writes the first value of the next
        // position's run, which the next store then overwrites; the last
        // one stores its three values alone, so nothing past this group of
        // positions is touched.
        float* dst = out + p * kRows;
        _mm_storeu_ps(dst, x0);
        _mm_storeu_ps(dst + kRows, x1);
        _mm_storeu_ps(dst + 2 * kRows, x2);
        _mm_storel_pi(reinterpret_cast<__m64*>(dst + 3 * kRows), x3);
        _mm_store_ss(dst + 3 * kRows + 2, _mm_movehl_ps(x3, x3));
    }
    for (; p < k; ++p) {
        out[p * kRows] = row0[p];
        out[p * kRows + 1] = row1[p];
        out[p * kRows + 2] = row2[p];
    }
}

}  // namespace kiln::matmul
