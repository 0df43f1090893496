// The inner step shared by the register-block micro-kernels, written once
// over the vector helpers of simd/avx2.hpp or simd/avx512.hpp (V): for one
// inner position, every row's value of the `a` panel is broadcast,
// multiplied by the two vectors of the `b` panel and added to the row's
// accumulators with a separate multiply and add, so every lane performs
// exactly the sequential float32 sum of its element; the loops of a
// register block around such a step; and the way kernels without masks
// handle blocks narrower than theirs. Internal linkage.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <utility>

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

// The kc inner positions of a register block, in order: Step::apply<R>(acc,
// a, b) for each, the packed panels advancing MR floats of `a` and NV
// vectors of `b` per position; with Fetch, each position also asks for one
// line of `fetch`, `stride` bytes after the last.
template <class V, std::size_t MR, std::size_t NV, std::size_t R, class Step, bool Fetch>
inline void register_steps(std::size_t kc, const float* a, const float* b, typename V::Vec (&acc)[R][NV],
                           const char* fetch, std::ptrdiff_t stride) {
#pragma GCC unroll 2
    for (std::size_t p = 0; p < kc; ++p) {
        if constexpr (Fetch) {
            _mm_prefetch(fetch, _MM_HINT_T1);
            fetch += stride;
        }
        Step::template apply<R>(acc, a, b);
        a += MR;
        b += NV * V::kLanes;
    }
}

// Rows [0, R) of an MR x NV-vector block at c (leading dimension ldc): the
// accumulators start from c (accumulate) or +0.0, take the kc positions,
// and go back to c; `fetch` may be null.
template <class V, std::size_t MR, std::size_t NV, std::size_t R, class Step>
inline void register_block(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                           bool accumulate, const char* fetch, std::ptrdiff_t stride) {
    typename V::Vec acc[R][NV];
#pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 4
        for (std::size_t v = 0; v < NV; ++v)
            acc[r][v] = accumulate ? V::load(c + r * ldc + v * V::kLanes) : V::zero();
    if (fetch != nullptr) {
        register_steps<V, MR, NV, R, Step, true>(kc, a, b, acc, fetch, stride);
    } else {
        register_steps<V, MR, NV, R, Step, false>(kc, a, b, acc, nullptr, 0);
    }
#pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r)
#pragma GCC unroll 4
        for (std::size_t v = 0; v < NV; ++v) V::store(c + r * ldc + v * V::kLanes, acc[r][v]);
}

// The block's first `rows` rows (1 to MR): a copy of the loop for each
// count, so the bottom edge of a tile computes only the rows it has (the
// packed panel of `a` stays MR lanes wide whatever the count).
template <class V, std::size_t MR, std::size_t NV, class Step>
inline void rows_block(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                       std::size_t rows, bool accumulate, const char* fetch, std::ptrdiff_t stride) {
    [&]<std::size_t... R>(std::index_sequence<R...>) {
        ((rows == R + 1 || (R + 1 == MR && rows > MR)
              ? register_block<V, MR, NV, R + 1, Step>(kc, a, b, c, ldc, accumulate, fetch, stride)
              : void()),
         ...);
    }(std::make_index_sequence<MR>{});
}

// Runs block(out, ld) on the result block at c when it spans the kernel's
// NR columns, else on a local MR x NR block that takes in (when
// accumulating) and gives back the `cols` columns of its `rows` rows, so
// that the kernel's loop never needs masks.
template <std::size_t MR, std::size_t NR, class Block>
inline void through_full_width(float* c, std::size_t ldc, std::size_t rows, std::size_t cols, bool accumulate,
                               Block block) {
    if (cols == NR) {
        block(c, ldc);
        return;
    }
    float local[MR * NR] = {};
    if (accumulate) {
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t j = 0; j < cols; ++j) local[r * NR + j] = c[r * ldc + j];
    }
    block(local, NR);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t j = 0; j < cols; ++j) c[r * ldc + j] = local[r * NR + j];
}

// A whole MicroKernel call (see kernels.hpp) of an MR x NV-vector kernel
// whose inner position is Step, without masks.
template <class V, std::size_t MR, std::size_t NV, class Step>
inline void register_kernel(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                            std::size_t rows, std::size_t cols, bool accumulate, const float* fetch,
                            std::ptrdiff_t fetch_stride) {
    const char* ahead = reinterpret_cast<const char*>(fetch);
    through_full_width<MR, NV * V::kLanes>(c, ldc, rows, cols, accumulate, [&](float* out, std::size_t ld) {
        rows_block<V, MR, NV, Step>(kc, a, b, out, ld, rows, accumulate, ahead, fetch_stride);
    });
}

}  // namespace
}  // namespace kiln::matmul
