// Softmax along the columns (axis 0) or the rows (any other axis) of a
// float32 matrix.
//
// Every lane (a column for axis 0, a row otherwise) is computed by the same
// rule, in float32 with rounding to nearest:
//   m   = the lane's maximum: starts at the lowest finite float and takes
//         v whenever v > m, so NaN is never taken;
//   e_k = exp(v_k - m), with the correctly rounded exponential of
//         activations/kernels/exp.hpp;
//   sum = ((0 + e_0) + e_1) + ... , strictly left to right;
//   r   = 1 / sum, one division per lane;
//   out_k = e_k * r,
// and a lane whose sum is NaN is written as one fixed quiet NaN, so that
// NaN results carry the same bits on every path as well.
// Up to parallel::kSequentialLimit elements the calling thread computes the
// lanes; above that they are spread over the worker pool in groups of
// lanes, except that long rows too few to occupy every worker are each
// spread over the pool in segments, one worker adding the segments in
// order. Rows go in groups of the vector width, one row per vector lane:
// blocks of the group are transposed in registers, so that one vector
// addition advances every row's sum by one element, each still added in
// its row's own order (the exponentials run along each row, or on the
// transposed blocks too when rows are short). For columns, vector lane t
// holds column t's running maximum and sum, so each column is summed in row
// order. The maximum is a set maximum, so its order is free.
//
// The input is read in place through its strides when each lane's elements
// (rows) or neighbouring lanes (columns) are unit-stride; any other layout
// is first gathered into one row-major copy. Pool tasks write disjoint
// groups of lanes of the result directly.
#include "activations/softmax.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <thread>

#include "activations/kernels/softmax.hpp"
#include "core/memory.hpp"
#include "core/prefetch.hpp"
#include "core/texts.hpp"
#include "parallel/pool.hpp"

namespace kiln::activations {

namespace {

// Rows computed together: their sums are interleaved so that the
// sequential additions of different rows overlap.
constexpr std::size_t kRowBlock = 16;
static_assert(kRowBlock % 16 == 0, "row blocks hold whole groups of every vector width");
// Columns of one row block exponentiated before their sums are taken, so
// that the exponentials are still in the L1 cache.
constexpr std::size_t kColChunk = 512;
// Columns per strip on the column path: one vector of running maxima and
// sums per strip.
constexpr std::size_t kStrip = 128;
// Pool items stage their column strips in a compact copy of about
// kStageBytes, which stays in the L2 cache, when columns are at most
// kStageRows tall (a strip of one cache line's width then takes 1 MiB).
constexpr std::size_t kStageBytes = std::size_t{256} << 10;
constexpr std::size_t kLineFloats = 16;
constexpr std::size_t kStageRows = (std::size_t{1} << 20) / (kLineFloats * sizeof(float));
// Smallest amount of work (elements) per pool item.
constexpr std::size_t kMinItem = 16384;
// Rows at least this long, when there are too few of them to give every
// worker a block of rows, are spread over the pool in segments.
constexpr std::size_t kLongRow = std::size_t{1} << 15;
constexpr std::size_t kSegment = 4096;

using Kernels = SoftmaxKernels;

// The input as the kernels read it: element (i, j) at data[i * row + j].
struct Source {
    const float* data;
    std::int64_t row;
};

// A lane whose sum is NaN (it holds a NaN, or +inf, whose exponential
// after subtracting the maximum is NaN) is NaN throughout. Which NaN an
// operation on two NaNs returns depends on the order of its operands, which
// the compiler may swap, so such lanes are written as this one quiet NaN.
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// out[k] = e[k] * rcp, or kNaN everywhere when rcp is NaN.
void scale_lane(const Kernels& k, float* e, std::size_t len, float rcp) {
    if (rcp != rcp) {
        std::fill(e, e + len, kNaN);
        return;
    }
    k.scale(e, rcp, len);
}

// sum[r] = (((sum[r] + e[r][0]) + e[r][1]) + ...) + e[r][len - 1] for
// R rows e[r] = e + r * stride, the R running sums held in registers.
constexpr std::size_t kSumGroup = 8;

template <std::size_t R>
void add_in_order(const float* e, std::size_t stride, std::size_t len, float* sum) {
    float s[R];
    for (std::size_t r = 0; r < R; ++r) s[r] = sum[r];
    for (std::size_t c = 0; c < len; ++c) {
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) s[r] = s[r] + e[r * stride + c];
    }
    for (std::size_t r = 0; r < R; ++r) sum[r] = s[r];
}

// Exponentials e[k] = exp(in[k] - m) of one lane, written to out, and
// sum = (((sum + e[0]) + e[1]) + ...) + e[len - 1], with the chain of
// dependent additions overlapping the exponentials: in one loop where the
// instruction set has it, else by taking short steps and adding each step's
// values while the next step's exponentials are computed.
float exp_sub_and_sum(const Kernels& k, const float* in, float m, float* out, std::size_t len,
                      float sum) {
    if (k.exp_sub_sum) return k.exp_sub_sum(in, m, out, len, sum);
    constexpr std::size_t kStep = 16;
    const float* pending = out;
    std::size_t pending_len = 0;
    for (std::size_t c = 0; c < len; c += kStep) {
        const std::size_t step = std::min(kStep, len - c);
        k.exp_sub(in + c, m, out + c, step);
        for (std::size_t i = 0; i < pending_len; ++i) sum = sum + pending[i];
        pending = out + c;
        pending_len = step;
    }
    for (std::size_t i = 0; i < pending_len; ++i) sum = sum + pending[i];
    return sum;
}

// Softmax of rows [0, nrows) (nrows <= kRowBlock) of a row-contiguous
// source into the row-major rows at out, with the rows in groups of the
// vector width, one row per lane. A last group of so few rows that the
// lanes left empty would cost more than the rows' own chains of additions
// takes its rows one at a time along their length instead.
bool rows_in_lanes(const Kernels& k, std::size_t g, std::size_t cols) {
    const std::size_t lanes = k.row_group;
    if (cols < lanes) return 4 * g >= cols;  // one transposed block per group
    if (cols >= 4 * lanes) return g >= 4;    // only the sums are transposed
    return 3 * g >= 2 * lanes;               // the exponentials are transposed too
}

void rows_block_lanes(const Kernels& k, Source src, float* out, std::size_t nrows, std::size_t cols) {
    float m[kRowBlock], sum[kRowBlock];
    for (std::size_t r = 0, g; r < nrows; r += g) {
        g = std::min(k.row_group, nrows - r);
        const float* in = src.data + static_cast<std::int64_t>(r) * src.row;
        if (rows_in_lanes(k, g, cols)) {
            // The next group goes along when it takes lanes too: the two
            // groups' sums then advance side by side, each chain of
            // additions filling the other's waits.
            if (const std::size_t next = std::min(k.row_group, nrows - r - g);
                next != 0 && rows_in_lanes(k, next, cols)) {
                g += next;
            }
            k.rows_max(in, src.row, g, cols, m + r);
            std::fill(sum + r, sum + r + g, 0.0f);
            k.rows_exp_sum(in, src.row, m + r, out + r * cols, cols, g, cols, sum + r);
            continue;
        }
        for (std::size_t i = r; i < r + g; ++i) {
            const float* row = src.data + static_cast<std::int64_t>(i) * src.row;
            sum[i] = exp_sub_and_sum(k, row, k.lane_max(row, cols), out + i * cols, cols, 0.0f);
        }
    }
    for (std::size_t r = 0; r < nrows; ++r) scale_lane(k, out + r * cols, cols, 1.0f / sum[r]);
}

// Softmax of rows [0, nrows) (nrows <= kRowBlock) of a row-contiguous
// source into the row-major rows at out.
void rows_block(const Kernels& k, Source src, float* out, std::size_t nrows, std::size_t cols) {
    if (k.row_group != 0) return rows_block_lanes(k, src, out, nrows, cols);
    float m[kRowBlock], sum[kRowBlock];
    for (std::size_t r = 0; r < nrows; ++r) {
        m[r] = k.lane_max(src.data + static_cast<std::int64_t>(r) * src.row, cols);
        sum[r] = 0.0f;
    }
    // Rows in groups of kSumGroup have their sums interleaved, so that the
    // additions of different rows overlap; the rows left over overlap their
    // additions with their own exponentials.
    const std::size_t grouped = nrows / kSumGroup * kSumGroup;
    for (std::size_t c0 = 0; c0 < cols; c0 += kColChunk) {
        const std::size_t len = std::min(kColChunk, cols - c0);
        for (std::size_t r = 0; r < grouped; ++r)
            k.exp_sub(src.data + static_cast<std::int64_t>(r) * src.row + c0, m[r],
                      out + r * cols + c0, len);
        for (std::size_t r = 0; r < grouped; r += kSumGroup)
            add_in_order<kSumGroup>(out + r * cols + c0, cols, len, sum + r);
        for (std::size_t r = grouped; r < nrows; ++r)
            sum[r] = exp_sub_and_sum(k, src.data + static_cast<std::int64_t>(r) * src.row + c0, m[r],
                                     out + r * cols + c0, len, sum[r]);
    }
    for (std::size_t r = 0; r < nrows; ++r) scale_lane(k, out + r * cols, cols, 1.0f / sum[r]);
}

// Softmax of one long row, spread over the pool in segments of kSegment
// elements, in one pool loop whose items take three steps:
// 1. The maximum, in one share of the row per worker (a few long pieces
//    cost less to hand out than many short ones): each item takes shares
//    nobody has claimed, then waits until every share is done (the shares
//    it waits for are being computed by running items), and folds their
//    maxima (a set maximum, so the order is free).
// 2. The exponentials are computed by every item, a segment at a time in
//    claim order, but their sum must run from the first element to the
//    last: one item, the summer, adds the segments in order, computing the
//    first one and any other it reaches that is still unclaimed itself (its
//    exponentials and additions in one loop) and computing later segments
//    while it waits for one in progress elsewhere.
// 3. The summer scales the row, taking segments from a claim counter that
//    items still running may take from too.
// The values and their order of addition are those of the sequential rule.
void long_row(const Kernels& k, const float* in, float* out, std::size_t len) {
    const std::size_t segments = (len + kSegment - 1) / kSegment;
    auto length = [&](std::size_t s) { return std::min(kSegment, len - s * kSegment); };

    const std::size_t workers = std::min(segments, parallel::worker_count());
    const std::size_t per_share = (segments + workers - 1) / workers;  // segments
    const std::size_t shares = (segments + per_share - 1) / per_share;
    const std::size_t share = per_share * kSegment;
    std::unique_ptr<float[]> maxima(new float[shares]);
    std::atomic<std::size_t> next_share{0}, shares_done{0};

    std::unique_ptr<std::atomic<bool>[]> ready(new std::atomic<bool>[segments]);
    for (std::size_t s = 0; s < segments; ++s) ready[s].store(false, std::memory_order_relaxed);
    // First segment nobody has claimed: segment 0 is the summer's, so that
    // it starts adding at once rather than wait for another item's.
    std::atomic<std::size_t> next{1};
    std::atomic<std::size_t> next_scaled{0};
    std::atomic<bool> summed{false};
    float rcp = 0.0f;

    auto lane_maximum = [&] {
        for (std::size_t t; (t = next_share.fetch_add(1, std::memory_order_relaxed)) < shares;) {
            maxima[t] = k.lane_max(in + t * share, std::min(share, len - t * share));
            shares_done.fetch_add(1, std::memory_order_release);
        }
        while (shares_done.load(std::memory_order_acquire) != shares) std::this_thread::yield();
        float m = kMaxSeed;
        for (std::size_t t = 0; t < shares; ++t) m = maxima[t] > m ? maxima[t] : m;
        return m;
    };
    auto scale_segments = [&] {
        for (std::size_t s; (s = next_scaled.fetch_add(1, std::memory_order_relaxed)) < segments;)
            scale_lane(k, out + s * kSegment, length(s), rcp);
    };
    parallel::for_each_index(std::max<std::size_t>(parallel::worker_count(), 2), [&](std::size_t item) {
        const float m = lane_maximum();
        auto produce = [&](std::size_t s) {
            k.exp_sub(in + s * kSegment, m, out + s * kSegment, length(s));
            ready[s].store(true, std::memory_order_release);
        };
        if (item != 0) {
            for (std::size_t s; (s = next.fetch_add(1)) < segments;) produce(s);
            // The summer still has segments to add; wait for it (giving way,
            // in case it shares this core) and take half of the scaling.
            while (!summed.load(std::memory_order_acquire)) std::this_thread::yield();
            scale_segments();
            return;
        }
        float sum = exp_sub_and_sum(k, in, m, out, length(0), 0.0f);
        for (std::size_t s = 1; s < segments;) {
            std::size_t unclaimed = s;
            if (next.load(std::memory_order_relaxed) == s && next.compare_exchange_strong(unclaimed, s + 1)) {
                sum = exp_sub_and_sum(k, in + s * kSegment, m, out + s * kSegment, length(s), sum);
                ++s;
            } else if (ready[s].load(std::memory_order_acquire)) {
                const float* e = out + s * kSegment;
                for (std::size_t i = 0, n = length(s); i < n; ++i) sum = sum + e[i];
                ++s;
            } else if (const std::size_t c = next.fetch_add(1); c < segments) {
                produce(c);
            } else {
                // Segment s is being computed elsewhere; give way, in case
                // that worker shares this core.
                std::this_thread::yield();
            }
        }
        rcp = 1.0f / sum;
        summed.store(true, std::memory_order_release);
        scale_segments();
    }, parallel::Sharing::at_once);
}

// Softmax of rows [first, first + count) into the row-major result.
void rows_range(const Kernels& k, Source src, float* out, std::size_t first, std::size_t count,
                std::size_t cols) {
    for (std::size_t r = 0; r < count; r += kRowBlock) {
        const std::size_t i = first + r;
        rows_block(k, Source{src.data + static_cast<std::int64_t>(i) * src.row, src.row},
                   out + i * cols, std::min(kRowBlock, count - r), cols);
    }
}

// Rows ahead of the current one whose part of a staged strip is asked
// for, in the passes over the strided input and result: rows far apart
// defeat the processor's own prefetching.
constexpr std::size_t kRowsAhead = 16;

// out[t] = e[t] * rcp[t], or kNaN where poisoned[t] is all ones; selected
// bitwise so that the loop vectorises.
inline float scaled(float e, float rcp, std::uint32_t poisoned) {
    const std::uint32_t product = std::bit_cast<std::uint32_t>(e * rcp);
    return std::bit_cast<float>((product & ~poisoned) | (std::bit_cast<std::uint32_t>(kNaN) & poisoned));
}

void scale_row(const float* __restrict e, float* __restrict out, const float* rcp,
               const std::uint32_t* poisoned, std::size_t width) {
    for (std::size_t t = 0; t < width; ++t) out[t] = scaled(e[t], rcp[t], poisoned[t]);
}

void scale_row(float* e, const float* rcp, const std::uint32_t* poisoned, std::size_t width) {
    for (std::size_t t = 0; t < width; ++t) e[t] = scaled(e[t], rcp[t], poisoned[t]);
}

// Softmax of columns [j0, j0 + width) (width <= kStrip) of a source whose
// neighbouring columns are adjacent, into the row-major result.
//
// With a stage (room for rows x width floats), the first pass also copies
// the strip into it row after row, and the exponentials and the scaling
// work on that compact copy: the strip is read from the input and written
// to the result once each. Without it, the three passes walk the strided
// input and result; when rows lie a power of two apart, a strip's lines
// fall into few cache sets and every pass goes back to memory.
void column_strip(const Kernels& k, Source src, float* out, std::size_t rows, std::size_t cols,
                  std::size_t j0, std::size_t width, float* stage) {
    alignas(64) float m[kStrip], sum[kStrip];
    std::fill(m, m + width, kMaxSeed);
    std::fill(sum, sum + width, 0.0f);
    for (std::size_t i = 0; i < rows; ++i) {
        const float* row = src.data + static_cast<std::int64_t>(i) * src.row + j0;
        if (stage && i + kRowsAhead < rows)
            prefetch_floats(row + static_cast<std::int64_t>(kRowsAhead) * src.row,
                            static_cast<std::int64_t>(width) - 1);
        k.max_step(row, m, width);
        if (stage) std::copy(row, row + width, stage + i * width);
    }
    for (std::size_t i = 0; i < rows; ++i) {
        float* e = stage ? stage + i * width : out + i * cols + j0;
        k.exp_sub_step(stage ? e : src.data + static_cast<std::int64_t>(i) * src.row + j0, m, e, sum, width);
    }
    alignas(64) float rcp[kStrip];
    alignas(64) std::uint32_t poisoned[kStrip];  // all ones where the lane is NaN
    for (std::size_t t = 0; t < width; ++t) {
        rcp[t] = 1.0f / sum[t];
        poisoned[t] = rcp[t] != rcp[t] ? ~std::uint32_t{0} : 0;
    }
    for (std::size_t i = 0; i < rows; ++i) {
        float* row = out + i * cols + j0;
        if (stage) {
            if (i + kRowsAhead < rows)
                prefetch_floats(row + kRowsAhead * cols, static_cast<std::int64_t>(width) - 1, true);
            scale_row(stage + i * width, row, rcp, poisoned, width);
        } else {
            scale_row(row, rcp, poisoned, width);
        }
    }
}

// Columns [j0, j0 + count), strip by strip. Staged strips are as wide as
// fit kStageBytes (one cache line at least, kStrip at most); columns taller
// than kStageRows are not staged.
void columns_range(const Kernels& k, Source src, float* out, std::size_t rows, std::size_t cols,
                   std::size_t j0, std::size_t count, bool staged) {
    std::size_t width = kStrip;
    mem::Block stage;
    if (staged && rows <= kStageRows) {
        width = std::clamp<std::size_t>(kStageBytes / (rows * sizeof(float)) / kLineFloats * kLineFloats,
                                        kLineFloats, kStrip);
        stage = mem::Block(rows * std::min(width, count) * sizeof(float), mem::Block::ForOverwrite{});
    }
    float* const compact = static_cast<float*>(stage.get());
    for (std::size_t t = 0; t < count; t += width)
        column_strip(k, src, out, rows, cols, j0 + t, std::min(width, count - t), compact);
}

// Row-major copy of a 2-D view, gathered in tiles so that both sides are
// walked through the cache in lines.
Buffer<float> row_major_copy(const View<float>& x) {
    const std::uint64_t rows = x.shape[0], cols = x.shape[1];
    Buffer<float> copy = Buffer<float>::for_overwrite({rows, cols});
    float* dst = copy.data();
    constexpr std::uint64_t kTile = 64;
    for (std::uint64_t i0 = 0; i0 < rows; i0 += kTile)
        for (std::uint64_t j0 = 0; j0 < cols; j0 += kTile)
            for (std::uint64_t i = i0; i < std::min(rows, i0 + kTile); ++i)
                for (std::uint64_t j = j0; j < std::min(cols, j0 + kTile); ++j)
                    dst[i * cols + j] = x.at(i, j);
    return copy;
}

}  // namespace

Buffer<float> softmax(const View<float>& x, std::int64_t axis) {
    if (x.ndim != 2) throw ValueError(texts::kInput2D);
    const std::uint64_t rows = x.shape[0], cols = x.shape[1];
    // Every element is written below, so the block is not zero-filled first.
    Buffer<float> out = Buffer<float>::for_overwrite({rows, cols});
    if (rows == 0 || cols == 0) return out;
    const std::int64_t a = axis < 0 ? axis + 2 : axis;
    const bool by_columns = a == 0;
    const Kernels& k = softmax_kernels();
    const std::uint64_t n = rows * cols;

    // Both kernels need unit steps along a row.
    std::shared_ptr<const Buffer<float>> copy;
    Source src{x.data, x.strides[0]};
    if (cols > 1 && x.strides[1] != 1) {
        copy = std::make_shared<const Buffer<float>>(row_major_copy(x));
        src = Source{copy->data(), static_cast<std::int64_t>(cols)};
    }
    float* const dst = out.data();

    if (n <= parallel::kSequentialLimit) {
        if (by_columns) {
            columns_range(k, src, dst, rows, cols, 0, cols, false);
        } else {
            rows_range(k, src, dst, 0, rows, cols);
        }
        return out;
    }

    // Long rows too few to give every worker a block of rows of its own go
    // one at a time, each spread over the whole pool.
    if (!by_columns && cols >= kLongRow && (rows + kRowBlock - 1) / kRowBlock < parallel::worker_count()) {
        for (std::size_t i = 0; i < rows; ++i)
            long_row(k, src.data + static_cast<std::int64_t>(i) * src.row, dst + i * cols, cols);
        return out;
    }
    if (by_columns) {
        // Items of whole strips, each at least kMinItem elements when the
        // matrix allows; every item writes only its own columns.
        const std::size_t strips_per_item =
            std::max<std::size_t>(1, kMinItem / (kStrip * rows));
        const std::size_t width = kStrip * strips_per_item;
        const std::size_t items = (cols + width - 1) / width;
        parallel::for_each_index(items, [&, copy](std::size_t t) {
            const std::size_t j0 = t * width;
            columns_range(k, src, dst, rows, cols, j0, std::min<std::size_t>(width, cols - j0), true);
        }, parallel::Sharing::at_once);
    } else {
        // Chunks of whole row blocks of the result, of at least kMinItem
        // elements, except that a matrix just past the size test still
        // gives every worker (the calling thread among them) two chunks:
        // one chunk would leave the call on one thread plus the hand-off,
        // slower than not going to the pool at all.
        const std::size_t row_blocks = (rows + kRowBlock - 1) / kRowBlock;
        const std::size_t shares = 2 * parallel::worker_count();
        const std::size_t blocks_per_item = std::max<std::size_t>(
            1, std::min(kMinItem / (kRowBlock * cols), (row_blocks + shares - 1) / shares));
        const std::size_t group = kRowBlock * blocks_per_item;
        parallel::for_each_chunk(dst, static_cast<std::size_t>(n), group * cols,
                                 [&, copy](std::size_t item, float*, std::size_t len) {
                                     rows_range(k, src, dst, item * group, len / cols, cols);
                                 }, parallel::Sharing::at_once);
    }
    return out;
}

}  // namespace kiln::activations
