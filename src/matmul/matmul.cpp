// matmul_kernel and the multiplication core.
//
// The core computes the result in tiles of the table's block sizes (made
// smaller for a product too small to give every worker several): on the
// calling thread up to parallel::kSequentialLimit result elements, else one
// tile per item of a loop over the pool. The tiles read `a` packed by rows
// and `b` by columns into the panels the micro-kernel reads (these are the
// private copy of `a` and the transposed copy of `b`): each band of `a`
// packed when a tile first needs it, each pass's part of a panel of `b`
// just before a tile first reads it.
#include "matmul/matmul.hpp"

#include <string>

#include "core/texts.hpp"
#include "matmul/kernels/kernels.hpp"
#include "matmul/pack.hpp"
#include "matmul/product.hpp"

namespace kiln::matmul {

namespace {

std::string shape_text(const View<float>& v) {
    std::string text = "[";
    text += std::to_string(v.shape[0]);
    text += ", ";
    text += std::to_string(v.shape[1]);
    text += "]";
    return text;
}

}  // namespace

Buffer<float> matmul_core(const View<float>& a, const View<float>& b) {
    check(a.ndim == 2 && b.ndim == 2, "matmul_core takes 2-D views");
    const std::uint64_t m = a.shape[0], k = a.shape[1], n = b.shape[1];

    // Size tests in this order: the result, the copy of `a`, the transposed
    // copy of `b`; each buffer's element count before its byte size. With
    // k > 0 every element of the result is stored, so it needs no zero fill.
    Buffer<float> c = k > 0 ? Buffer<float>::for_overwrite({m, n}) : Buffer<float>::zeros({m, n});
    const std::uint64_t a_shape[2] = {m, k};
    checked_element_count(a_shape, 2, sizeof(float));
    const std::uint64_t bt_shape[2] = {n, k};
    checked_element_count(bt_shape, 2, sizeof(float));
    // Only rows 0 .. k-1 of `b` are read; it must have them.
    if (n != 0 && b.shape[0] < k) panic(texts::kIndexOutOfBounds);
    if (m == 0 || n == 0) return c;

    const bool parallel = goes_to_pool(m, n);
    MatmulKernels kernel = matmul_kernels();
    kernel.blocks = blocks_for_product(kernel, m, n, parallel);
    if (kernel.narrow != nullptr && n <= kernel.narrow_cols && a.strides[1] == 1 && a.strides[0] >= 0) {
        // A narrow result: `a` is read in place and only `b` is packed.
        Panels pb(n, k, kernel.narrow_cols, kernel.narrow_cols);
        pack_columns(b, pb, 0);
        multiply_narrow(kernel, a.data, static_cast<std::size_t>(a.strides[0]), m, pb, c.first(), n,
                        parallel);
        return c;
    }
    Panels pa(m, k, kernel.mr, kernel.blocks.mc);
    Panels pb(n, k, kernel.nr, kernel.blocks.nc);
    multiply(kernel, pa, pb, c.first(), n, parallel,
             [&](std::size_t band, std::size_t first, std::size_t last) noexcept {
                 pack_rows(a, pa, band, first, last, kernel.pack_full_rows);
             },
             [&](std::size_t band, std::size_t q, std::size_t p0, std::size_t p1) noexcept {
                 pack_columns(b, pb, band, q, q + 1, p0, p1);
             },
             b.strides[1] == 1 ? b.data : nullptr, b.strides[0]);
    return c;
}

Buffer<float> matmul_kernel(const View<float>& a, const View<float>& b) {
    if (a.ndim != 2 || b.ndim != 2) throw ValueError(texts::kBoth2D);
    if (a.shape[1] != b.shape[0])
        throw ValueError(texts::incompatible_shapes(shape_text(a), shape_text(b)));
    return matmul_core(a, b);
}

}  // namespace kiln::matmul
