// ReLU: up to parallel::kSequentialLimit elements on the calling thread,
// straight from the caller's memory; above that on the pool in blocks of
// 1024 elements.
//
// The sequential path requires a flat row-major input. The parallel path
// also accepts inputs with gaps between their elements (every second
// column, say), which it reads in place through their strides, in
// row-major order. Inputs that fill one block in another order
// (column-major, reversed) are refused on both paths.
#include "activations/relu.hpp"

#include "activations/kernels/relu.hpp"
#include "core/texts.hpp"
#include "parallel/pool.hpp"

namespace kiln::activations {

namespace {

constexpr std::size_t kBlock = 1024;

[[noreturn]] void refuse_layout() { refuse(texts::kLayoutRefused); }

// Flat indices [start, start + len) of a strided 2-D view, in row-major order.
void relu_strided(const View<float>& x, std::uint64_t start, float* out, std::size_t len) {
    const std::uint64_t cols = x.shape[1];
    std::uint64_t i = start / cols, j = start % cols;
    for (std::size_t k = 0; k < len; ++k) {
        const float v = x.at(i, j);
        out[k] = v > 0.0f ? v : 0.0f;
        if (++j == cols) {
            j = 0;
            ++i;
        }
    }
}

}  // namespace

Buffer<float> relu(const View<float>& x) {
    if (x.ndim != 2) throw ValueError(texts::kInput2D);
    const std::uint64_t rows = x.shape[0], cols = x.shape[1];
    // Every element is written below, so the result needs no zero fill.
    Buffer<float> out = Buffer<float>::for_overwrite({rows, cols});
    const std::uint64_t n = out.count();
    const bool flat = is_standard_layout(x);
    const auto kernel = relu_kernels().flat;

    if (n <= parallel::kSequentialLimit) {
        if (!flat) refuse_layout();
        kernel(x.data, out.data(), static_cast<std::size_t>(n));
        return out;
    }

    if (!flat && is_gap_free(x)) refuse_layout();
    parallel::for_each_chunk(out.data(), static_cast<std::size_t>(n), kBlock,
                             [&](std::size_t k, float* chunk, std::size_t len) {
                                 const std::size_t start = k * kBlock;
                                 if (flat) {
                                     kernel(x.data + start, chunk, len);
                                 } else {
                                     relu_strided(x, start, chunk, len);
                                 }
                             }, parallel::sharing_for_light(static_cast<std::size_t>(n)));
    return out;
}

}  // namespace kiln::activations
