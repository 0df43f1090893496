#include "matmul/product.hpp"

#include <atomic>
#include <cstdint>
#include <memory>

#include "parallel/pause.hpp"
#include "parallel/pool.hpp"

namespace kiln::matmul {

namespace {

// Tiles wanted on the pool per worker: a few, so that a slow worker (or a
// busy core) delays little, and no more, as every tile reads its two bands
// into the cache afresh (a 256 x 256 product on two workers took 6-8%
// less time in 8 tiles than in 16).
constexpr std::uint64_t kTilesPerWorker = 4;
constexpr std::size_t kMinEdge = 64;

std::size_t halve(std::size_t edge, std::size_t lanes) {
    const std::size_t half = (edge / 2 + lanes - 1) / lanes * lanes;
    return half < kMinEdge ? edge : half;
}

}  // namespace

Blocks blocks_for_product(const MatmulKernels& kernel, std::uint64_t m, std::uint64_t n, bool parallel) {
    const auto tiles = [m, n](const Blocks& b) { return ((m + b.mc - 1) / b.mc) * ((n + b.nc - 1) / b.nc); };
    Blocks b = kernel.blocks;
    if (!parallel) return b;
    // No edge longer than the result's (rounded up to whole panels), so
    // that every halving below cuts the result into more tiles.
    const auto whole = [](std::uint64_t extent, std::size_t lanes) {
        return static_cast<std::size_t>((extent + lanes - 1) / lanes * lanes);
    };
    if (b.mc > whole(m, kernel.mr)) b.mc = whole(m, kernel.mr);
    if (b.nc > whole(n, kernel.nr)) b.nc = whole(n, kernel.nr);
    const std::uint64_t wanted = kTilesPerWorker * parallel::worker_count();
    while (tiles(b) < wanted) {
        // Halve the edge that gives more tiles; on a tie, the longer one.
        Blocks rows = b, cols = b;
        rows.mc = halve(b.mc, kernel.mr);
        cols.nc = halve(b.nc, kernel.nr);
        const std::uint64_t by_rows = tiles(rows), by_cols = tiles(cols);
        if (by_rows <= tiles(b) && by_cols <= tiles(b)) break;
        b = by_rows > by_cols || (by_rows == by_cols && b.mc >= b.nc) ? rows : cols;
    }
    return b;
}

void run_items(std::size_t count, bool parallel, parallel::FunctionRef<void(std::size_t)> body) {
    if (!parallel) {
        for (std::size_t i = 0; i < count; ++i) body(i);
        return;
    }
    parallel::for_each_index(count, body, parallel::Sharing::after_a_moment, parallel::Grain::single);
}

namespace {

// Asks for the result block of the next micro-kernel call (`rows` rows of
// `cols` elements, ldc apart), to be written: on a first pass its lines
// are not in the cache yet, and the kernel's stores would otherwise wait
// for them at the end of the call.
void prefetch_result(const float* c, std::size_t ldc, std::size_t rows, std::size_t cols) {
    for (std::size_t r = 0; r < rows; ++r) {
        __builtin_prefetch(c + r * ldc, 1, 3);
        __builtin_prefetch(c + r * ldc + cols - 1, 1, 3);
    }
}

constexpr std::size_t kFloatsPerLine = 64 / sizeof(float);

// The length of the passes over k inner positions: near-equal, none
// longer than kc (0 when k is 0). Each pass adds the products of inner
// positions [pc, pc + step) to every element, in order; the first pass
// starts from +0.0.
std::size_t pass_length(std::size_t k, std::size_t kc) {
    const std::size_t passes = (k + kc - 1) / kc;
    return passes == 0 ? 0 : (k + passes - 1) / passes;
}

}  // namespace

namespace {

// The panels of `b` of a product, each pass's part of each panel packed by
// the first tile to reach it, just before its first micro-kernel call:
// while a tile works on one panel, the kernel calls ask for the rows of `b`
// the next one is packed from, so the packing finds most of them in L2
// instead of waiting on memory at the start of the tile (where a band of
// 512 columns and 1024 rows, its rows 4 KiB apart, took a quarter of a
// millisecond: the packing of `b` went from 2.8% to 1.7% of a 1024 x 1024
// product). Passes of one panel are packed in order: every tile takes them
// in order, so a tile at pass s finds s parts claimed at least.
class ColumnParts {
public:
    ColumnParts(const Panels& b, PartPacker pack, const float* rows, std::int64_t row_stride)
        : b_(b), per_band_(b.bands() != 0 ? b.panels(0) : 0),
          state_(std::make_unique<State[]>(b.bands() * per_band_)), pack_(pack), rows_(rows),
          row_stride_(row_stride) {}

    // Packs part `pass` (positions [p0, p1)) of panel q of a band, or waits
    // for the thread packing it.
    void ready(std::size_t band, std::size_t q, std::size_t pass, std::size_t p0, std::size_t p1) noexcept {
        State& state = state_[band * per_band_ + q];
        if (state.done.load(std::memory_order_acquire) > pass) return;
        std::uint32_t expected = static_cast<std::uint32_t>(pass);
        if (state.claimed.compare_exchange_strong(expected, expected + 1, std::memory_order_relaxed)) {
            pack_(band, q, p0, p1);
            state.done.store(expected + 1, std::memory_order_release);
            return;
        }
        // A piece takes a microsecond or two.
        parallel::wait_until([&] { return state.done.load(std::memory_order_acquire) > pass; });
    }

    bool packed(std::size_t band, std::size_t q, std::size_t pass) const noexcept {
        return state_[band * per_band_ + q].done.load(std::memory_order_relaxed) > pass;
    }

    // Row p0 of the columns of panel q of a band, when its rows are worth
    // fetching (unit column step), else null; rows are stride() bytes apart.
    const char* source(std::size_t band, std::size_t q, std::size_t p0) const noexcept {
        if (rows_ == nullptr) return nullptr;
        const std::size_t j = b_.band_begin(band) + q * b_.width();
        return reinterpret_cast<const char*>(rows_ + static_cast<std::int64_t>(p0) * row_stride_ +
                                             static_cast<std::int64_t>(j));
    }
    std::ptrdiff_t stride() const noexcept { return row_stride_ * static_cast<std::ptrdiff_t>(sizeof(float)); }

private:

    struct State {
        std::atomic<std::uint32_t> claimed{0};  // passes whose part a thread has taken on
        std::atomic<std::uint32_t> done{0};  // passes whose part is packed
    };

    const Panels& b_;
    std::size_t per_band_;
    std::unique_ptr<State[]> state_;
    PartPacker pack_;
    const float* rows_;
    std::int64_t row_stride_;
};

struct LazyBand {
    ColumnParts* parts;
    std::size_t band;
};

void multiply_block(const MatmulKernels& kernel, std::size_t k, const float* a_band, std::size_t rows,
                    const float* b_band, std::size_t cols, float* c, std::size_t ldc, bool fetch_b,
                    const LazyBand* lazy) {
    const std::size_t mr = kernel.mr, nr = kernel.nr;
    const std::size_t step = pass_length(k, kernel.blocks.kc);
    // A panel's part for one pass is kc positions of nr floats: nr / 16
    // times kc lines, fetched by as many calls (when asked to). Panels of a
    // part of a line per position are left to the processor.
    const std::size_t fetching_calls = fetch_b && nr % kFloatsPerLine == 0 ? nr / kFloatsPerLine : 0;
    // The rows of `b` a panel is packed from: nr floats each, which touch
    // nr / 16 + 1 lines at most.
    const std::size_t source_calls = fetching_calls + 1;
    for (std::size_t pc = 0, pass = 0; pc < k; pc += step, ++pass) {
        const std::size_t kc = k - pc < step ? k - pc : step;
        for (std::size_t j = 0; j < cols; j += nr) {
            if (lazy != nullptr) lazy->parts->ready(lazy->band, j / nr, pass, pc, pc + kc);
            const float* bp = b_band + j * k + pc * nr;
            const std::size_t nc = cols - j < nr ? cols - j : nr;
            // What the last calls on this panel fetch of the next one: its
            // packed part for this pass, or, while it is still to be packed,
            // the rows of `b` it will be packed from.
            const char* next = nullptr;
            bool from_rows = false;
            std::ptrdiff_t stride = 64;
            std::size_t calls = fetching_calls;
            if (j + nr < cols && fetching_calls != 0) {
                next = reinterpret_cast<const char*>(bp + nr * k);
                if (lazy != nullptr && !lazy->parts->packed(lazy->band, j / nr + 1, pass)) {
                    if (const char* rows_from = lazy->parts->source(lazy->band, j / nr + 1, pc)) {
                        next = rows_from;
                        from_rows = true;
                        stride = lazy->parts->stride();
                        calls = source_calls;
                    }
                }
            }
            for (std::size_t i = 0; i < rows; i += mr) {
                const float* ap = a_band + i * k + pc * mr;
                const std::size_t mc = rows - i < mr ? rows - i : mr;
                if (i + mr < rows) {
                    const std::size_t next_rows = rows - i - mr < mr ? rows - i - mr : mr;
                    prefetch_result(c + (i + mr) * ldc + j, ldc, next_rows, nc);
                }
                // Each of the last `calls` calls fetches one line per
                // position: kc lines of the packed part, one after another,
                // or one line of each of the kc rows (the first, middle and
                // last line of a row's nr floats in turn).
                const char* fetch = nullptr;
                const std::size_t calls_left = (rows - i + mr - 1) / mr;
                if (next != nullptr && calls_left <= calls) {
                    const std::size_t nth = calls - calls_left;
                    if (!from_rows) {
                        fetch = next + nth * kc * 64;
                    } else {
                        const std::size_t last = nr * sizeof(float) - 1;
                        fetch = next + (nth == 0 ? 0 : nth + 1 == calls ? last : nth * 64);
                    }
                }
                kernel.run(kc, ap, bp, c + i * ldc + j, ldc, mc, nc, pc != 0,
                           reinterpret_cast<const float*>(fetch), stride);
            }
        }
    }
}

}  // namespace

void multiply_block(const MatmulKernels& kernel, std::size_t k, const float* a_band, std::size_t rows,
                    const float* b_band, std::size_t cols, float* c, std::size_t ldc, bool fetch_b) {
    multiply_block(kernel, k, a_band, rows, b_band, cols, c, ldc, fetch_b, nullptr);
}

void BandsOnDemand::ready(std::size_t band, bool from_back) noexcept {
    State& state = state_[band];
    const std::size_t panels = panels_.panels(band);
    const std::size_t pieces = (panels + per_piece_ - 1) / per_piece_;
    if (state.done.load(std::memory_order_acquire) == pieces) return;
    const std::size_t mid = (pieces + 1) / 2;
    const auto take = [&](std::atomic<std::size_t>& next, std::size_t begin, std::size_t end) {
        while (next.load(std::memory_order_relaxed) < end - begin) {
            const std::size_t piece = begin + next.fetch_add(1, std::memory_order_relaxed);
            if (piece >= end) break;
            const std::size_t first = piece * per_piece_;
            pack_(band, first, first + per_piece_ < panels ? first + per_piece_ : panels);
            state.done.fetch_add(1, std::memory_order_release);
        }
    };
    if (from_back) {
        take(state.back, mid, pieces);
        take(state.front, 0, mid);
    } else {
        take(state.front, 0, mid);
        take(state.back, mid, pieces);
    }
    // The pieces other threads are packing (a piece takes microseconds).
    parallel::wait_until([&] { return state.done.load(std::memory_order_acquire) == pieces; });
}

void multiply(const MatmulKernels& kernel, const Panels& a, const Panels& b, float* c, std::size_t ldc,
              bool parallel, PanelPacker pack_a, PartPacker pack_b, const float* b_rows,
              std::int64_t b_row_stride) {
    const std::size_t row_tiles = a.bands(), col_tiles = b.bands();
    const std::size_t tiles = row_tiles * col_tiles;
    // A piece of `a` is one panel (its rows are read whole); `b` is packed
    // a panel's pass at a time, by the tiles that reach it.
    BandsOnDemand a_bands(a, 1, pack_a);
    ColumnParts b_parts(b, pack_b, b_rows, b_row_stride);
    const auto tile = [&](std::size_t ti, std::size_t tj) {
        // When the bands of `b` are the larger (see below), the tiles of a
        // band of `a` in neighbouring bands of `b` run side by side on the
        // workers: those of odd bands start with its second half.
        a_bands.ready(ti, tj % 2 == 1);
        const std::size_t i0 = a.band_begin(ti), j0 = b.band_begin(tj);
        const LazyBand lazy{&b_parts, tj};
        multiply_block(kernel, a.depth(), a.panel(ti, 0), a.band_end(ti) - i0, b.panel(tj, 0),
                       b.band_end(tj) - j0, c + i0 * ldc + j0, ldc, true, &lazy);
    };
    if (!parallel) {
        for (std::size_t ti = 0; ti < row_tiles; ++ti)
            for (std::size_t tj = 0; tj < col_tiles; ++tj) tile(ti, tj);
        return;
    }
    // Tiles are disjoint, so each element of c is written by exactly one
    // task, and c is handed on only after every task has finished. Writing
    // in place spares a per-tile buffer and a final copy of the result.
    //
    // A worker takes a run of consecutive items, so consecutive tiles share
    // a band: the band of the operand whose bands are larger (`b`'s, with
    // the usual block sizes), which then stays in the cache from tile to
    // tile while the smaller bands pass. The other order reads the larger
    // bands again for every tile, from memory once the packed operands
    // outgrow the last-level cache.
    const bool b_bands_larger = b.band_floats() >= a.band_floats();
    parallel::for_each_index(tiles, [&](std::size_t t) {
        if (b_bands_larger) {
            tile(t % row_tiles, t / row_tiles);
        } else {
            tile(t / col_tiles, t % col_tiles);
        }
    }, parallel::Sharing::after_a_moment, parallel::Grain::single);
}

void multiply_narrow(const MatmulKernels& kernel, const float* a, std::size_t lda, std::size_t m,
                     const Panels& b, float* c, std::size_t ldc, bool parallel) {
    const std::size_t k = b.depth(), n = b.extent(), w = b.width();
    const float* bp = b.panel(0, 0);
    const std::size_t step = pass_length(k, kernel.blocks.kc);
    constexpr std::size_t mc = 64;
    run_items((m + mc - 1) / mc, parallel, [&](std::size_t band) {
        const std::size_t i0 = band * mc, i1 = i0 + mc < m ? i0 + mc : m;
        for (std::size_t pc = 0; pc < k; pc += step) {
            const std::size_t kc = k - pc < step ? k - pc : step;
            for (std::size_t i = i0; i < i1; i += 16) {
                const std::size_t rows = i1 - i < 16 ? i1 - i : 16;
                kernel.narrow(kc, a + i * lda + pc, lda, bp + pc * w, c + i * ldc, ldc, rows, n, pc != 0);
            }
        }
    });
}

}  // namespace kiln::matmul
