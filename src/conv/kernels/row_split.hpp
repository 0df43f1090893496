// The split of one row into its even elements followed by its odd ones
// (see panels.hpp, RowSplit), written once for every instruction set: each
// supplies how a vector of every second element is loaded. Internal
// linkage, so each instruction set's file gets its own copy.
#pragma once

#include <cstddef>

namespace kiln::conv {
namespace {

template <class V>
inline void split_row(const float* src, std::size_t n, float* dst) {
    constexpr std::size_t L = V::kLanes;
    const std::size_t evens = (n + 1) / 2, odds = n / 2;
    float* odd = dst + evens;
    std::size_t o = 0;
    // Both loads of a block read elements [2o, 2o + 2L - 1] at most.
    for (; 2 * (o + L) <= n; o += L) {
        V::store(dst + o, V::even(src + 2 * o));
        V::store(odd + o, V::even(src + 2 * o + 1));
    }
    for (std::size_t i = o; i < evens; ++i) dst[i] = src[2 * i];
    for (std::size_t i = o; i < odds; ++i) odd[i] = src[2 * i + 1];
}

}  // namespace
}  // namespace kiln::conv
