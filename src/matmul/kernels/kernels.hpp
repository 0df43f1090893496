// Micro-kernels of the multiplication: each computes one register block of
// the result from two packed panels.
//
// This header is included by the files compiled for wider instruction sets,
// so it declares plain functions only: nothing inline that the linker could
// pick from an AVX-512 object for use on a baseline path.
#pragma once

#include <cstddef>

namespace kiln::matmul {

// Computes an MR x NR block of the result. For every r < MR and j < NR, one
// accumulator starts at c[r * ldc + j] (accumulate) or at +0.0 (otherwise)
// and then, for p = 0, 1, ..., kc - 1 in order,
//     acc = acc + a[p * MR + r] * b[p * NR + j]
// with the product rounded to float32 and then the sum rounded to float32
// (a multiply followed by a separate add, never a fused multiply-add). Only
// the accumulators with r < rows and j < cols are read from and stored to c.
//
// With `fetch` set, the call also asks, one per inner position p, for the
// cache line at fetch_stride * p bytes past `fetch` to be brought into L2:
// a part of what the next calls will read (the next panel of `b`, 64 bytes
// apart, or the rows of `b` it is about to be packed from), so that it is
// found there instead of waited for one line at a time. This only moves
// data.
using MicroKernel = void (*)(std::size_t kc, const float* a, const float* b, float* c,
                             std::size_t ldc, std::size_t rows, std::size_t cols, bool accumulate,
                             const float* fetch, std::ptrdiff_t fetch_stride);

// Computes a block of `rows` (at most 16) rows by `cols` (at most 16)
// columns of the result, with the same sums as a MicroKernel, but reading
// `a` in place: row r, inner position p at a[r * lda + p]. `b` is a packed
// panel 16 lanes wide.
using NarrowKernel = void (*)(std::size_t kc, const float* a, std::size_t lda, const float* b,
                              float* c, std::size_t ldc, std::size_t rows, std::size_t cols,
                              bool accumulate);

// 8 rows x 32 columns: sixteen 16-lane accumulators.
void gemm_8x32_avx512(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                      std::size_t rows, std::size_t cols, bool accumulate, const float* fetch,
                      std::ptrdiff_t fetch_stride);
// Up to 16 rows x 16 columns, one 16-lane accumulator per row.
void gemm_rows16_avx512(std::size_t kc, const float* a, std::size_t lda, const float* b, float* c,
                        std::size_t ldc, std::size_t rows, std::size_t cols, bool accumulate);
// Up to 16 rows x 16 columns, one or two 8-lane accumulators per row.
void gemm_rows16_avx2(std::size_t kc, const float* a, std::size_t lda, const float* b, float* c,
                      std::size_t ldc, std::size_t rows, std::size_t cols, bool accumulate);
// 6 rows x 16 columns: twelve 8-lane accumulators.
void gemm_6x16_avx2(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                    std::size_t rows, std::size_t cols, bool accumulate, const float* fetch,
                    std::ptrdiff_t fetch_stride);
// 3 rows x 32 columns: twelve 8-lane accumulators, half the broadcasts of
// the 6 x 16 kernel per multiply.
void gemm_3x32_avx2(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                    std::size_t rows, std::size_t cols, bool accumulate, const float* fetch,
                    std::ptrdiff_t fetch_stride);
// 4 rows x 8 columns in portable code (the compiler may use the baseline
// 4-lane vectors).
void gemm_4x8_scalar(std::size_t kc, const float* a, const float* b, float* c, std::size_t ldc,
                     std::size_t rows, std::size_t cols, bool accumulate, const float* fetch,
                     std::ptrdiff_t fetch_stride);

// Packs a full panel of `a` (as many rows as the panel has lanes, row
// stride s0, unit column stride) over positions [0, k): lane r, position p
// gets src[r * s0 + p].
using RowPanelPacker = void (*)(const float* src, std::ptrdiff_t s0, std::size_t k, float* out);

// 8-lane panels, transposed in AVX-512 registers.
void pack_rows8_avx512(const float* src, std::ptrdiff_t s0, std::size_t k, float* out);
// 6-lane panels, transposed in AVX2 registers.
void pack_rows6_avx2(const float* src, std::ptrdiff_t s0, std::size_t k, float* out);
// 3-lane panels, transposed in 128-bit registers.
void pack_rows3_avx2(const float* src, std::ptrdiff_t s0, std::size_t k, float* out);

// Block sizes of the products. Results are computed in tiles of mc rows by
// nc columns (the unit of parallel work; packed operands are cut into bands
// of that many lanes), each in passes of at most kc inner positions. The
// sizes never change a bit: every element is the same sequential sum, and
// between passes its partial sum goes through the result as float32, the
// value it holds in registers anyway.
struct Blocks {
    std::size_t mc;
    std::size_t nc;
    std::size_t kc;
};

// Largest mc and nc of any table (the bound of per-tile arrays).
inline constexpr std::size_t kMaxTile = 512;

// The matrix product's kernels, shape and block sizes this process uses,
// chosen once from the CPU's features.
struct MatmulKernels {
    const char* name;  // "<MR>x<NR>-<isa>", as the micro-kernel's file
    MicroKernel run;
    std::size_t mr;  // rows of the block: lanes of a packed panel of `a`
    std::size_t nr;  // columns of the block: lanes of a packed panel of `b`
    Blocks blocks;
    // For results at most narrow_cols wide, when the instruction set has one
    // (else null): `a` read in place, 16 rows per call.
    NarrowKernel narrow = nullptr;
    std::size_t narrow_cols = 0;
    // Packs full panels of row-major `a`, when the instruction set has a
    // packer for the kernel's MR (else null: the portable loop does it).
    RowPanelPacker pack_full_rows = nullptr;
};

const MatmulKernels& matmul_kernels() noexcept;

}  // namespace kiln::matmul
