// The product of two packed operands, on the calling thread or on the pool.
// Shared by matmul_core and conv2d.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "matmul/kernels/kernels.hpp"
#include "matmul/pack.hpp"
#include "parallel/function_ref.hpp"
#include "parallel/pool.hpp"

namespace kiln::matmul {

// The path a product of m x n result elements takes, from its size alone.
inline bool goes_to_pool(std::uint64_t m, std::uint64_t n) noexcept {
    return m != 0 && n > parallel::kSequentialLimit / m;  // m * n > kSequentialLimit
}

// The block sizes of one product of m x n result elements: the table's,
// except that on the pool the tiles are halved (staying multiples of MR
// and NR, and at least 64 lanes) until there are enough of them for every
// worker to get several. Only the speed depends on it.
Blocks blocks_for_product(const MatmulKernels& kernel, std::uint64_t m, std::uint64_t n, bool parallel);

// Calls body(i) for i in [0, count): spread over the pool when `parallel`
// (every item a piece of its own, which an idle worker may take: the items
// are few and heavy), else in ascending order on the calling thread.
void run_items(std::size_t count, bool parallel, parallel::FunctionRef<void(std::size_t)> body);

// Computes a block of at most mc x nc result elements: `rows` lanes of
// packed `a` whose panels start at a_band, times `cols` lanes of packed `b`
// whose panels start at b_band, both of depth k, into c (pointing at the
// block's first element, leading dimension ldc). With k = 0, c is left
// untouched. With `fetch_b`, the last calls on each panel of `b` ask for the
// next one (for panels packed a while ago, which have left the core's
// caches; panels packed just before are still there).
void multiply_block(const MatmulKernels& kernel, std::size_t k, const float* a_band, std::size_t rows,
                    const float* b_band, std::size_t cols, float* c, std::size_t ldc, bool fetch_b);

// The packing functions of the products below: panels [first, last) of a
// band, and positions [p0, p1) of one panel of a band.
using PanelPacker = parallel::FunctionRef<void(std::size_t, std::size_t, std::size_t)>;
using PartPacker = parallel::FunctionRef<void(std::size_t, std::size_t, std::size_t, std::size_t)>;

// The bands of one packed operand, each packed on first use, in pieces of
// a few panels. The first thread whose work needs a band starts packing
// it; any other that needs it meanwhile packs the pieces still unclaimed
// alongside, and then waits only for the pieces in other hands, instead of
// for the whole band. (A 256 x 256 product on two workers spent 5-7% of
// its time in such waits when one thread packed each band alone.)
// pack(band, first, last) writes panels [first, last) of a band and may
// not throw; it is held by reference, so it must outlive the object.
class BandsOnDemand {
public:
    BandsOnDemand(const Panels& panels, std::size_t panels_per_piece, PanelPacker pack)
        : panels_(panels), per_piece_(panels_per_piece), state_(std::make_unique<State[]>(panels.bands())),
          pack_(pack) {}

    // Returns once every panel of the band is packed. The band's pieces
    // form two halves, each claimed in order; a thread packs what is left
    // of the first half and then of the second, or with `from_back` the
    // other way round. Two threads that reach a band together, one of each
    // kind, each read one run of the source rows front to back, and pack
    // about the same pieces every call. (Pieces claimed in turns from one
    // counter took 6.9% of the samples of a 256 x 256 product on two
    // workers, against 2.1% on one worker; halves took 3.5%, and 0.3-2%
    // off the product's time.)
    void ready(std::size_t band, bool from_back = false) noexcept;

private:
    // Pieces claimed of each half and pieces packed, on a cache line of
    // their own, as the threads that share a band update them.
    struct alignas(64) State {
        std::atomic<std::size_t> front{0};  // pieces claimed of the first half
        std::atomic<std::size_t> back{0};  // pieces claimed of the second half
        std::atomic<std::size_t> done{0};
    };

    const Panels& panels_;
    std::size_t per_piece_;
    std::unique_ptr<State[]> state_;
    PanelPacker pack_;
};

// c = a x b for packed a (m lanes) and b (n lanes) of equal depth k: every
// element c[i][j] becomes the sequential float32 sum over p of
// a[i][p] * b[p][j], started at +0.0. With `parallel` the tiles are the
// items of one loop over the pool, consecutive ones sharing the larger
// operand's band; each writes its own disjoint part of c. With k = 0, c
// is left untouched.
//
// The panels are filled as the tiles need them, so that packing shares the
// loop of the tiles instead of being a loop of its own the tiles wait for,
// and each part is packed just before it is read. pack_a(band, first, last)
// writes panels [first, last) of one band of `a`: each band is packed once,
// in pieces of one panel, by the threads whose tiles need it, before any of
// them reads it. pack_b(band, q, p0, p1) writes positions [p0, p1) of panel
// q of one band of `b`: one pass's part, packed once, by the first tile to
// reach it. When b_rows is set, `b` is row-major from there (unit column
// step, rows b_row_stride floats apart), and the kernel calls fetch the
// rows of the parts about to be packed. Neither function may throw.
void multiply(const MatmulKernels& kernel, const Panels& a, const Panels& b, float* c, std::size_t ldc,
              bool parallel, PanelPacker pack_a, PartPacker pack_b, const float* b_rows,
              std::int64_t b_row_stride);

// c = a x b for `a` read in place (m rows, row r at a + r * lda, unit step
// along its k inner positions) and b packed 16 lanes wide, at most
// kernel.narrow_cols lanes; kernel.narrow must be set. The same sums as
// multiply; with `parallel` the bands of 64 rows of the result are the
// items of one loop over the pool.
void multiply_narrow(const MatmulKernels& kernel, const float* a, std::size_t lda, std::size_t m,
                     const Panels& b, float* c, std::size_t ldc, bool parallel);

}  // namespace kiln::matmul
