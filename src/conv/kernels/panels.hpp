// Copies of one window panel: the lanes of a panel of the window matrix,
// for the multiplication's micro-kernel. A SIMD copy exists for the panel
// width of each SIMD micro-kernel (16 or 32 lanes with AVX2, 32 with AVX-512) at
// the common row steps of 1 and 2 elements; the portable copy serves every
// width the micro-kernels have, at any step.
#pragma once

#include <cstddef>
#include <cstdint>

#include "matmul/kernels/kernels.hpp"

namespace kiln::conv {

// One panel whose W lanes lie in one output row, or in two:
// lane i reads, for window position p = (c*KH + ky)*KW + kx, the element at
//   first + c*s1 + ky*s2 + col(kx) + i*step              (i < split)
//   first + c*s1 + ky*s2 + col(kx) + apart + i*step      (i >= split)
// where col(kx) = (kx / 2)*pair + (kx % 2)*odd, and is written to
// dst[p * W + i]. Reading the image itself, pair = 2*s3 and odd = s3, so
// col(kx) = kx*s3; reading rows split into their even elements followed by
// their odd ones (a stride-2 layer; see conv2d.cpp), pair = 1 and odd is
// the odd elements' offset. Every address read lies between lane 0's
// element and lane W - 1's (the caller checks apart >= 0), so nothing
// outside the rows read is touched.
struct PanelWalk {
    const float* first;
    std::int64_t s1, s2;
    std::int64_t pair, odd;
    std::uint64_t channels, kh, kw;
    std::int64_t step;
    std::int64_t apart;
    std::size_t split;  // W when all lanes lie in one row
    // Channels ahead whose rows are asked for (0: none), and how many
    // elements of a row the panel spans, from lane 0's first (of each
    // half, when rows are split into even and odd elements).
    std::uint64_t ahead;
    std::int64_t reach;
};

// Copies a panel of W lanes and returns true, or returns false and writes
// nothing (a width or step the copy does not serve).
using PanelCopy = bool (*)(const PanelWalk& w, float* dst);

// The portable copy of a panel `width` lanes wide (8, 16 or 32).
bool copy_panel_portable(const PanelWalk& w, std::size_t width, float* dst);

// SIMD copies at row steps 1 and 2.
bool copy_panel16_avx2(const PanelWalk& w, float* dst);
bool copy_panel32_avx2(const PanelWalk& w, float* dst);
bool copy_panel32_avx512(const PanelWalk& w, float* dst);

// The micro-kernel's block for the first MR filters of one full panel,
// computed from the panel's windows read in place through `w` (row step 1
// or 2) while the panel is written to `panel` exactly as the copy writes
// it: rows [0, rows) of the block go to c (rows ldc apart, as wide as the
// panel), each the sum over the whole depth, in order, from +0.0, of `a`
// (one packed filter panel) times the window values, as the micro-kernel
// computes it from the copied panel. Returns false, writing nothing, for a
// walk it does not serve.
using WindowProduct = bool (*)(const PanelWalk& w, const float* a, float* c, std::size_t ldc, std::size_t rows,
                               float* panel);

bool windows_8x32_avx512(const PanelWalk& w, const float* a, float* c, std::size_t ldc, std::size_t rows,
                         float* panel);

// Writes a row of n elements as its even elements (src[0], src[2], ...)
// followed by its odd ones: dst[i] = src[2i] for i < (n + 1) / 2, then
// dst[(n + 1) / 2 + i] = src[2i + 1]. Only values move.
using RowSplit = void (*)(const float* src, std::size_t n, float* dst);

void split_row_portable(const float* src, std::size_t n, float* dst);
void split_row_avx2(const float* src, std::size_t n, float* dst);
void split_row_avx512(const float* src, std::size_t n, float* dst);

// conv2d's kernels: the products' table and the SIMD copy of window panels
// as wide as its micro-kernel's (null where there is none), chosen together
// once from the CPU's features.
struct ConvKernels {
    const matmul::MatmulKernels* product;
    PanelCopy copy_panel;
    // The micro-kernel on panels read in place (null where there is none).
    WindowProduct first_rows = nullptr;
    // The split of rows for stride-2 layers (null where there is none).
    RowSplit split_row = nullptr;
    // Bytes of packed windows a strip aims to stay within, so that the
    // products find the strip in the cache its packing left it in: the L1
    // data cache when the products take the whole depth in one pass (each
    // panel is then read once, right after it was written), half of L2
    // when they take several (the strip is read again on every pass).
    std::size_t strip_bytes_one_pass = 32 * 1024;
    std::size_t strip_bytes = 256 * 1024;
};

const ConvKernels& conv_kernels() noexcept;

}  // namespace kiln::conv
