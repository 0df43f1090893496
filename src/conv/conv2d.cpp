// conv2d: cross-correlation without padding, lowered to one product per
// image of the flattened filter bank (OC x C*KH*KW, lane o and position
// (c*KH + ky)*KW + kx holding kernel[o][c][ky][kx]) with the image's window
// matrix (C*KH*KW x OH*OW, position (c*KH + ky)*KW + kx of column y*OW + x
// holding input[b][c][y*stride + ky][x*stride + kx]).
//
// The filter bank is packed once per call, straight into the panels the
// multiplication's micro-kernel reads, a panel at a time by the items that
// first need it. The window matrix is never built whole: each strip of nc
// columns (the table's block size) is packed into a small buffer right
// before the products that use it, so an image costs one strip buffer
// instead of a full C*KH*KW x OH*OW copy; panels are copied by
// the SIMD copy the table pairs with the micro-kernel, when there is one.
// When the products take the whole depth in one pass and the micro-kernel
// has a form that reads windows in place, a strip goes panel by panel, and
// that form computes each panel's first filters while it copies the panel
// (the copy's loads are then the kernel's own). At stride 2 the panels are
// read from a copy of the image whose rows are split into their even and
// odd elements, each row split once, by the first strip that needs it, so
// that a panel's lanes are consecutive elements there.
// Every output element is the sequential float32 sum over c, ky, kx in that
// order, whatever the path.
#include "conv/conv2d.hpp"

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "conv/kernels/panels.hpp"
#include "core/memory.hpp"
#include "core/prefetch.hpp"
#include "core/texts.hpp"
#include "matmul/kernels/kernels.hpp"
#include "matmul/pack.hpp"
#include "matmul/product.hpp"
#include "parallel/pause.hpp"
#include "parallel/pool.hpp"

namespace kiln::conv {

namespace {

using matmul::kMaxTile;
using matmul::MatmulKernels;
using matmul::Panels;

struct Geometry {
    std::uint64_t channels, kh, kw, stride, oh, ow;
    std::uint64_t positions;  // oh * ow: columns of the window matrix
    std::uint64_t depth;      // channels * kh * kw: rows of the window matrix
};

std::int64_t offset(std::uint64_t index, std::int64_t stride) {
    return static_cast<std::int64_t>(index) * stride;
}

// Packs panels [first, last) of one band of filters as the left operand of
// the products.
void pack_filters(const View<float>& kernel, const Panels& dst, std::size_t band, std::size_t first,
                  std::size_t last, matmul::RowPanelPacker full) noexcept {
    const std::uint64_t kc = kernel.shape[1], kh = kernel.shape[2], kw = kernel.shape[3];
    const std::int64_t* s = kernel.strides;
    // When each filter's kc x kh x kw elements lie one stride apart (any
    // layout that is row-major within a filter, as the usual ones are),
    // the filters are the rows of a matrix and pack as the rows of a
    // product's `a` do, full panels with the vector packer. Axes of extent
    // 1 may have any stride.
    std::int64_t step = 1;
    std::uint64_t inner = 1;
    bool one_run = true;
    for (std::size_t d = 3; d >= 1; --d) {
        if (kernel.shape[d] == 1) continue;
        if (inner == 1) {
            step = s[d];
        } else if (s[d] != step * static_cast<std::int64_t>(inner)) {
            one_run = false;
        }
        inner *= kernel.shape[d];
    }
    if (one_run) {
        View<float> rows;
        rows.data = kernel.data;
        rows.ndim = 2;
        rows.shape[0] = kernel.shape[0];
        rows.shape[1] = kc * kh * kw;
        rows.strides[0] = s[0];
        rows.strides[1] = step;
        matmul::pack_rows(rows, dst, band, first, last, full);
        return;
    }
    const std::size_t w = dst.width(), band_end = dst.band_end(band), stop = dst.band_begin(band) + last * w;
    const std::size_t end = stop < band_end ? stop : band_end;
    std::size_t q = first;
    for (std::size_t o = dst.band_begin(band) + first * w; o < end; o += w, ++q) {
        float* out = dst.panel(band, q);
        const std::size_t rows = end - o < w ? end - o : w;
        matmul::zero_padding(out, rows, kc * kh * kw, w);
        for (std::size_t r = 0; r < rows; ++r) {
            const float* filter = kernel.data + offset(o + r, s[0]);
            std::size_t p = 0;
            for (std::uint64_t c = 0; c < kc; ++c)
                for (std::uint64_t ky = 0; ky < kh; ++ky)
                    for (std::uint64_t kx = 0; kx < kw; ++kx, ++p)
                        out[p * w + r] = filter[offset(c, s[1]) + offset(ky, s[2]) + offset(kx, s[3])];
        }
    }
}

// Copies `len` elements taken `step` apart. Steps 1 and 2 (stride 1 or 2
// along a contiguous row) get loops the compiler turns into vector moves.
// Runs are short (at most one panel), so step 1 copies four elements at a
// time inline rather than calling memcpy.
void copy_run(float* dst, const float* src, std::size_t len, std::int64_t step) {
    if (step == 1) {
        std::size_t i = 0;
        for (; i + 4 <= len; i += 4) std::memcpy(dst + i, src + i, 4 * sizeof(float));
        for (; i < len; ++i) dst[i] = src[i];
    } else if (step == 2) {
        for (std::size_t i = 0; i < len; ++i) dst[i] = src[2 * i];
    } else {
        for (std::size_t i = 0; i < len; ++i) dst[i] = src[static_cast<std::int64_t>(i) * step];
    }
}

// Channels ahead whose rows a panel copy asks the cache for, and the
// longest row span (in elements, 8 cache lines) fetched that way.
constexpr std::uint64_t kAhead = 4;
constexpr std::int64_t kAheadReach = 128;

// The description of an nr-lane panel of the image itself for its copies.
PanelWalk panel_walk(const float* first, const std::int64_t* s, const Geometry& g, std::size_t nr,
                     std::int64_t step, std::int64_t apart, std::size_t split) {
    PanelWalk walk{};
    walk.first = first;
    walk.s1 = s[1];
    walk.s2 = s[2];
    walk.pair = 2 * s[3];
    walk.odd = s[3];
    walk.channels = g.channels;
    walk.kh = g.kh;
    walk.kw = g.kw;
    walk.step = step;
    walk.apart = apart;
    walk.split = split;
    walk.reach = offset(nr - 1, step) + (g.kw > 0 ? offset(g.kw - 1, s[3]) : 0);
    walk.ahead = walk.reach > -kAheadReach && walk.reach < kAheadReach ? kAhead : 0;
    return walk;
}

// A stride-2 layer's image with every row split into its even elements
// followed by its odd ones (RowSplit in kernels/panels.hpp). Element 2x + kx
// of a row is then element x + kx / 2 of one half, so the windows of
// consecutive output columns start at consecutive elements, and a panel's
// lanes are read with plain loads instead of being picked out of twice as
// many (which, with the stores of the copy, took the in-place product
// 1.35-1.4x the micro-kernel's time per position, against 1.1-1.2x at row
// step 1). Each row is split once (SplitRows below), and the panels then
// read each of its elements about kh * kw / 4 times.
struct Phases {
    const float* data = nullptr;  // channels x h x w, row-major; null: rows not split
    std::uint64_t h = 0, w = 0;
};

// Whether an image's panels are read from its split rows: stride 2 along
// contiguous rows, windows at least 2 x 2 (so that every row and both
// halves are read), and output rows at least a panel wide (so that nearly
// every panel lies in one or two output rows, the panels read that way).
bool reads_split_rows(const View<float>& input, const Geometry& g, const ConvKernels& k) {
    return k.split_row != nullptr && g.stride == 2 && input.strides[3] == 1 && g.kh >= 2 && g.kw >= 2 &&
           g.ow >= k.product->nr;
}

// The description of a full nr-lane panel of split rows: lanes [0, split)
// from output row y0, starting at column x0, the others from the next row.
PanelWalk split_walk(const Phases& phases, const Geometry& g, std::size_t nr, std::uint64_t y0,
                     std::uint64_t x0, std::size_t split) {
    const std::int64_t row = static_cast<std::int64_t>(phases.w);
    PanelWalk walk{};
    walk.first = phases.data + offset(2 * y0, row) + static_cast<std::int64_t>(x0);
    walk.s1 = static_cast<std::int64_t>(phases.h) * row;
    walk.s2 = row;
    walk.pair = 1;
    walk.odd = static_cast<std::int64_t>((phases.w + 1) / 2);
    walk.channels = g.channels;
    walk.kh = g.kh;
    walk.kw = g.kw;
    walk.step = 1;
    // Lane `split` starts the next output row, two rows down, at column 0.
    walk.apart = split < nr ? 2 * row - static_cast<std::int64_t>(split + x0) : 0;
    walk.split = split;
    walk.reach = static_cast<std::int64_t>(nr - 1 + (g.kw - 1) / 2);
    walk.ahead = walk.reach < kAheadReach ? kAhead : 0;
    return walk;
}

// The split rows of one image, when its panels read them (see Phases),
// each row split once, by the first strip that needs it: the strips share
// the work, and a row is split when its strip is about to read it rather
// than in a pass over the whole image while the other workers wait.
class SplitRows {
public:
    SplitRows(const View<float>& input, std::uint64_t image, const Geometry& g, const ConvKernels& k)
        : input_(input), image_(image), g_(g), split_(k.split_row) {
        if (!reads_split_rows(input, g, k)) return;
        h_ = input.shape[2];
        w_ = input.shape[3];
        data_ = mem::Block(g.channels * h_ * w_ * sizeof(float), mem::Block::ForOverwrite{});
        state_ = std::make_unique<std::atomic<std::uint8_t>[]>(h_);
    }

    Phases phases() const noexcept { return {static_cast<const float*>(data_.get()), h_, w_}; }

    // Makes sure the input rows read by the windows of output rows
    // [y0, y1] are split, in every channel: splits those no other strip has
    // claimed and waits for those another is splitting (a row of every
    // channel takes about a microsecond).
    void ready(std::uint64_t y0, std::uint64_t y1) noexcept {
        if (state_ == nullptr) return;
        const std::uint64_t r0 = 2 * y0, r1 = 2 * y1 + g_.kh < h_ ? 2 * y1 + g_.kh : h_;
        float* data = static_cast<float*>(data_.get());
        const std::int64_t* s = input_.strides;
        const float* img = input_.data + offset(image_, s[0]);
        for (std::uint64_t r = r0; r < r1; ++r) {
            std::atomic<std::uint8_t>& state = state_[r];
            if (state.load(std::memory_order_acquire) == kSplit) continue;
            std::uint8_t expected = kUnclaimed;
            if (state.compare_exchange_strong(expected, kSplitting, std::memory_order_relaxed)) {
                for (std::uint64_t c = 0; c < g_.channels; ++c)
                    split_(img + offset(c, s[1]) + offset(r, s[2]), w_, data + (c * h_ + r) * w_);
                state.store(kSplit, std::memory_order_release);
            } else {
                // Another strip is splitting it.
                parallel::wait_until([&] { return state.load(std::memory_order_acquire) == kSplit; });
            }
        }
        // The two rows the next output row adds, fetched while this strip's
        // products run: the rows a strip splits are few and short, too short
        // a run for the processor's own fetching.
        const std::uint64_t next = r1 + 2 < h_ ? r1 + 2 : h_;
        for (std::uint64_t c = 0; c < g_.channels; ++c)
            for (std::uint64_t r = r1; r < next; ++r)
                prefetch_floats(img + offset(c, s[1]) + offset(r, s[2]), static_cast<std::int64_t>(w_) - 1);
    }

private:
    static constexpr std::uint8_t kUnclaimed = 0, kSplitting = 1, kSplit = 2;
    const View<float>& input_;
    std::uint64_t image_;
    const Geometry& g_;
    RowSplit split_;
    std::uint64_t h_ = 0, w_ = 0;
    mem::Block data_;
    std::unique_ptr<std::atomic<std::uint8_t>[]> state_;
};

// The first rows of a panel's products, for a micro-kernel that can read
// the panel's windows in place (see kernels/panels.hpp): the packed filter
// panel, the block of the result it writes and its rows.
struct FirstRows {
    WindowProduct product = nullptr;
    const float* a = nullptr;
    float* c = nullptr;
    std::size_t ldc = 0, rows = 0;
};

// Packs columns [j0, j0 + cols) (at most one panel, nr lanes) of the window
// matrix of one image as one panel of `nr` lanes at `out`. Columns of one
// output row have window origins a fixed step apart, so the panel is
// copied as a few runs of evenly spaced elements: by the table's SIMD copy
// (as wide as nr) or the portable one when its lanes lie in one or two
// output rows. When `first.product` serves such a panel, it writes the
// panel and computes first's block along the way; returns whether it did.
bool pack_window_panel(const View<float>& input, std::uint64_t image, const Geometry& g, const ConvKernels& k,
                       const Phases& phases, std::size_t j0, std::size_t cols, float* panel,
                       const FirstRows& first) {
    const std::size_t nr = k.product->nr;
    const std::int64_t* s = input.strides;
    const float* img = input.data + offset(image, s[0]);

    const std::uint64_t y0 = j0 / g.ow, x0 = j0 % g.ow;
    const auto origin = [&](std::uint64_t y, std::uint64_t x) {
        return offset(y * g.stride, s[2]) + offset(x * g.stride, s[3]);
    };
    const std::int64_t step = g.ow > 1 ? offset(g.stride, s[3]) : 0;

    // A full panel in one output row, or in two. Two rows: lane i >= split
    // sits at lane 0's element + apart + i * step. With positive strides
    // and rows at least a row of windows apart, apart >= 0, so every
    // address the blended copy reads lies between lane 0's element and
    // lane nr - 1's.
    const std::size_t split = g.ow - x0 < cols ? static_cast<std::size_t>(g.ow - x0) : cols;
    const bool one_row = split == cols;
    // Split rows hold a row of windows in each half, so two output rows
    // always qualify there.
    const bool two_rows = !one_row && cols - split <= g.ow &&
                          (phases.data != nullptr || (step > 0 && s[2] > 0 && s[2] >= offset(g.ow, s[3])));
    if (cols == nr && (one_row || two_rows)) {
        PanelWalk walk;
        if (phases.data != nullptr) {
            walk = split_walk(phases, g, nr, y0, x0, one_row ? nr : split);
        } else {
            const std::int64_t org0 = origin(y0, x0);
            const std::int64_t apart = one_row ? 0 : origin(y0 + 1, 0) - offset(split, step) - org0;
            walk = panel_walk(img + org0, s, g, nr, step, apart, one_row ? nr : split);
        }
        if (first.product && first.product(walk, first.a, first.c, first.ldc, first.rows, panel)) return true;
        if (k.copy_panel && k.copy_panel(walk, panel)) return false;
        if (copy_panel_portable(walk, nr, panel)) return false;
    }

    // Any other panel: the offset of each column's window origin within its
    // image, and the runs of lanes within one output row.
    std::int64_t org[kMaxTile];
    std::size_t run_start[kMaxTile], run_len[kMaxTile], runs = 0;
    std::uint64_t y = y0, x = x0;
    for (std::size_t l = 0; l < cols; ++l) {
        org[l] = origin(y, x);
        if (l > 0 && x != 0) {
            ++run_len[runs - 1];
        } else {
            run_start[runs] = l;
            run_len[runs] = 1;
            ++runs;
        }
        if (++x == g.ow) {
            x = 0;
            ++y;
        }
    }

    matmul::zero_padding(panel, cols, g.depth, nr);
    std::size_t p = 0;
    for (std::uint64_t c = 0; c < g.channels; ++c) {
        for (std::uint64_t ky = 0; ky < g.kh; ++ky) {
            for (std::uint64_t kx = 0; kx < g.kw; ++kx, ++p) {
                const float* src = img + offset(c, s[1]) + offset(ky, s[2]) + offset(kx, s[3]);
                float* dst = panel + p * nr;
                for (std::size_t r = 0; r < runs; ++r)
                    copy_run(dst + run_start[r], src + org[run_start[r]], run_len[r], step);
            }
        }
    }
    return false;
}

// The OC x OH*OW output planes of one image, written to `out` (row-major,
// one row per filter). Above parallel::kSequentialLimit output elements the
// strips of nc columns go to the pool; each strip packs its windows and then
// computes all its rows. When the products take the whole depth in one pass
// and the table has a micro-kernel that reads windows in place, a strip
// goes panel by panel instead, the first filters' rows of each panel
// computed while the panel is packed.
void convolve_image(const View<float>& input, std::uint64_t image, const Geometry& g, const ConvKernels& k,
                    const Panels& filters, matmul::BandsOnDemand& filter_bands, float* out) {
    const MatmulKernels& kernel = *k.product;
    const std::uint64_t oc = filters.extent(), n = g.positions;
    if (oc == 0 || n == 0) return;
    const std::size_t nc = kernel.blocks.nc, nr = kernel.nr;
    const std::size_t strips = (n + nc - 1) / nc;
    const WindowProduct in_place = g.depth <= kernel.blocks.kc ? k.first_rows : nullptr;
    SplitRows split_rows(input, image, g, k);
    const Phases phases = split_rows.phases();
    matmul::run_items(strips, matmul::goes_to_pool(oc, n), [&](std::size_t t) {
        const std::size_t j0 = t * nc;
        const std::size_t j1 = j0 + nc < n ? j0 + nc : n;
        split_rows.ready(j0 / g.ow, (j1 - 1) / g.ow);
        if (in_place == nullptr) {
            mem::Block strip(matmul::band_floats(j1 - j0, g.depth, nr) * sizeof(float), mem::Block::ForOverwrite{});
            float* windows = static_cast<float*>(strip.get());
            for (std::size_t j = j0; j < j1; j += nr)
                pack_window_panel(input, image, g, k, phases, j, j1 - j < nr ? j1 - j : nr,
                                  windows + (j - j0) * g.depth, {});
            for (std::size_t band = 0; band < filters.bands(); ++band) {
                filter_bands.ready(band);
                const std::size_t i0 = filters.band_begin(band);
                matmul::multiply_block(kernel, g.depth, filters.panel(band, 0), filters.band_end(band) - i0,
                                       windows, j1 - j0, out + i0 * n + j0, n, false);
            }
            return;
        }
        // One panel at a time, in one buffer.
        filter_bands.ready(0);
        mem::Block buffer(matmul::band_floats(nr, g.depth, nr) * sizeof(float), mem::Block::ForOverwrite{});
        float* panel = static_cast<float*>(buffer.get());
        FirstRows first;
        first.product = in_place;
        first.a = filters.panel(0, 0);
        first.ldc = n;
        first.rows = filters.band_end(0) < kernel.mr ? filters.band_end(0) : kernel.mr;
        for (std::size_t j = j0; j < j1; j += nr) {
            const std::size_t cols = j1 - j < nr ? j1 - j : nr;
            first.c = out + j;
            // The first panel of filters is done when the panel was packed
            // by the in-place kernel.
            const bool done = pack_window_panel(input, image, g, k, phases, j, cols, panel, first);
            for (std::size_t band = 0; band < filters.bands(); ++band) {
                filter_bands.ready(band);
                const std::size_t skip = band == 0 && done ? 1 : 0;
                const std::size_t i0 = filters.band_begin(band) + skip * kernel.mr, end = filters.band_end(band);
                if (i0 >= end) continue;
                matmul::multiply_block(kernel, g.depth, filters.panel(band, skip), end - i0, panel, cols,
                                       out + i0 * n + j, n, false);
            }
        }
    });
}

}  // namespace

Buffer<float> conv2d(const View<float>& input, const View<float>& kernel, std::uint64_t stride) {
    if (input.ndim != 4 || kernel.ndim != 4) throw ValueError(texts::kInputKernel4D);
    const std::uint64_t n = input.shape[0], c = input.shape[1], h = input.shape[2], w = input.shape[3];
    const std::uint64_t oc = kernel.shape[0], kc = kernel.shape[1], kh = kernel.shape[2],
                        kw = kernel.shape[3];
    if (stride == 0) refuse(texts::kDivideByZero);
    if (kc != c) throw ValueError(texts::channel_mismatch(kc, c));
    if (h < kh || w < kw) throw ValueError(texts::kernel_too_large(kh, kw, h, w));

    Geometry g{};
    g.channels = c;
    g.kh = kh;
    g.kw = kw;
    g.stride = stride;
    g.oh = (h - kh) / stride + 1;
    g.ow = (w - kw) / stride + 1;
    // Every output element is stored when there is at least one product per
    // element; otherwise the output is all +0.0.
    g.depth = kc * kh * kw;
    Buffer<float> out = g.depth > 0 ? Buffer<float>::for_overwrite({n, oc, g.oh, g.ow})
                                    : Buffer<float>::zeros({n, oc, g.oh, g.ow});

    // The filter bank and the window matrices pass the same size tests as
    // every owned matrix. The dimensions of a valid array keep kc * kh * kw
    // and oh * ow from wrapping.
    g.positions = g.oh * g.ow;
    const std::uint64_t filter_shape[2] = {oc, g.depth};
    checked_element_count(filter_shape, 2, sizeof(float));
    if (n > 0) {
        const std::uint64_t window_shape[2] = {g.depth, g.positions};
        checked_element_count(window_shape, 2, sizeof(float));
    }

    // The block sizes of the per-image products. Their parallel items are
    // the strips of nc columns, so on the pool only nc is cut, as
    // matmul_core cuts the tiles of a one-row result, until there are
    // enough strips; the filters keep the table's bands (cutting them would
    // only make each strip's products read their windows more often).
    // Strips are narrower still where their packed windows would not stay
    // in the cache they are to be read from (at least 64 columns): each
    // strip is packed right before its products. (A strip that goes panel
    // by panel keeps one panel at a time; its width then only sets the
    // items of the loop.)
    const ConvKernels& table = conv_kernels();
    matmul::MatmulKernels product = *table.product;
    if (matmul::goes_to_pool(oc, g.positions))
        product.blocks.nc = matmul::blocks_for_product(product, 1, g.positions, true).nc;
    const std::size_t nr = product.nr, least = (64 + nr - 1) / nr * nr;
    const std::size_t budget = g.depth <= product.blocks.kc ? table.strip_bytes_one_pass : table.strip_bytes;
    std::size_t fits = g.depth > 0 ? budget / (g.depth * sizeof(float)) / nr * nr : least;
    if (fits < least) fits = least;
    if (product.blocks.nc > fits) product.blocks.nc = fits;
    ConvKernels k = table;
    k.product = &product;
    // The filters are packed by the items that need them, a panel at a
    // time, so that on the pool the workers share the packing (its reads
    // and writes mostly miss the caches, the filters' memory having last
    // been read by every core) instead of waiting while one thread packs.
    Panels filters(oc, g.depth, k.product->mr, k.product->blocks.mc);
    const matmul::RowPanelPacker full_rows = k.product->pack_full_rows;
    const auto pack_panels = [&](std::size_t band, std::size_t first, std::size_t last) {
        pack_filters(kernel, filters, band, first, last, full_rows);
    };
    matmul::BandsOnDemand filter_bands(filters, 1, pack_panels);

    const std::uint64_t plane = oc * g.positions;  // output elements per image
    if (n == 1) {
        convolve_image(input, 0, g, k, filters, filter_bands, out.first());
    } else if (n >= 2) {
        // One image per item. Items read the caller's input in place: it
        // stays held and unchanged until this call returns, which is after
        // every item has finished. Each writes only its own image's planes.
        parallel::for_each_index(n, [&](std::size_t b) {
            convolve_image(input, b, g, k, filters, filter_bands, out.first() + b * plane);
        }, parallel::Sharing::after_a_moment, parallel::Grain::single);
    }
    return out;
}

}  // namespace kiln::conv
