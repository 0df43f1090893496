// 4 x 8 micro-kernel in portable code: one accumulator per result element,
// updated for each inner position in order with a product rounded to
// float32 and then a sum rounded to float32. The compiler may run the eight
// columns in baseline vector registers; each lane still holds one element's
// sequential sum.
#include <cstddef>

#include "matmul/kernels/kernels.hpp"

namespace kiln::matmul {

namespace {

constexpr std::size_t kRows = 4;
constexpr std::size_t kCols = 8;

}  // namespace

// The portable kernel leaves fetching ahead to the processor: `fetch` and
// its stride are not used.
void gemm_4x8_scalar(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                     std::size_t rows, std::size_t cols, bool accumulate, const float* /*fetch*/,
                     std::ptrdiff_t /*fetch_stride*/) {
    float acc[kRows][kCols];
    for (std::size_t r = 0; r < kRows; ++r)
        for (std::size_t j = 0; j < kCols; ++j)
            acc[r][j] = (accumulate && r < rows && j < cols) ? c[r * ldc + j] : 0.0f;

    for (std::size_t p = 0; p < kc; ++p) {
        for (std::size_t r = 0; r < kRows; ++r) {
            const float x = a[r];
            for (std::size_t j = 0; j < kCols; ++j) {
                const float product = x * b[j];
                acc[r][j] = acc[r][j] + product;
            }
        }
        a += kRows;
        b += kCols;
    }

    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t j = 0; j < cols; ++j) c[r * ldc + j] = acc[r][j];
}

}  // namespace kiln::matmul
