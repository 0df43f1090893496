// The inner step shared by the register-block micro-kernels, written once
// over the vector helpers of simd/avx2.hpp or simd/avx512.hpp (V): for one
// inner position, every row's value of the `a` panel is broadcast,
// multiplied by the two vectors of the `b` panel and added to the row's
// accumulators with a separate multiply and add, so every lane performs
// exactly the sequential float32 sum of its element. Internal linkage.
#pragma once

#include <cstddef>

namespace kiln::matmul {
namespace {

template <class V, std::size_t R>
inline void add_products(typename V::Vec (&acc)[R][2], const float* a, const float* b) {
    const typename V::Vec b0 = V::load(b);
    const typename V::Vec b1 = V::load(b + V::kLanes);
#pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r) {
        const typename V::Vec x = V::broadcast(a + r);
        acc[r][0] = V::add(acc[r][0], V::mul(x, b0));
        acc[r][1] = V::add(acc[r][1], V::mul(x, b1));
    }
}

}  // namespace
}  // namespace kiln::matmul
