// Symmetric INT8 quantization with one scale per matrix, and its inverse.
//
// quantize_int8: M = the largest magnitude over the non-NaN elements (0 if
// there is none), scale = M / 127 if M > 0 else 1, inv = 1 / scale, all in
// float32; every element becomes round_half_away(clamp(v * inv)) with the
// clamp p < 127 ? p : 127 (so NaN gives 127) and then p > -127 ? p : -127.
// Where inv would be +inf (M below about 3.7e-37), v and M are first
// multiplied by 2^127, exactly, and the scale returned is never 0.
// The input is read in place as one flat row-major run, so that layout is
// required of non-empty inputs. The maximum is the same in whatever order
// the elements are visited (NaN is never taken, and only the sign of a zero
// maximum could depend on the order, which |v| never has). Large inputs are
// cut into one contiguous share per worker; each pool item takes the
// maximum of its share, then (once every share's maximum is known) the
// element pass over the same share, starting with the part of the share it
// read last, which is still in its own L2 cache.
//
// dequantize_int8: out = (float)x * scale, one float32 multiplication per
// element, reading any layout in place through its strides; large inputs go
// to the pool in groups of whole rows.
//
// Up to parallel::kSequentialLimit elements both run on the calling thread
// and never touch the pool.
#include "quantize/quantize.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <memory>
#include <thread>
#include <utility>

#include "core/cpu.hpp"
#include "core/texts.hpp"
#include "parallel/pool.hpp"
#include "quantize/kernels/quantize.hpp"

namespace kiln::quantize {

namespace {

constexpr std::size_t kChunk = 1024;
// Least elements per share of a large input, and elements per block of
// the element pass.
constexpr std::size_t kMinShare = 16384;
constexpr std::size_t kBlock = 16384;
// The least elements per item of dequantization.
constexpr std::size_t kMinItem = 16384;

using Kernels = QuantizeKernels;

// The factor the elements of a tiny matrix are scaled by (see
// quantize_int8).
constexpr float kTinyShift = 0x1p127f;

// out[i] = the element rule for in[i] * pre; pre = 1 except for tiny
// matrices, whose scaled elements pass through a small buffer.
void quantize_run(const Kernels& k, const float* in, float pre, float inv, std::int8_t* out,
                  std::size_t len) {
    if (pre == 1.0f) {
        k.quantize(in, inv, out, len);
        return;
    }
    float scaled[kChunk];
    for (std::size_t done = 0; done < len; done += kChunk) {
        const std::size_t part = std::min(kChunk, len - done);
        for (std::size_t j = 0; j < part; ++j) scaled[j] = in[done + j] * pre;
        k.quantize(scaled, inv, out + done, part);
    }
}

// Row i of a strided int8 view, scaled.
void dequantize_row(const Kernels& k, const View<std::int8_t>& x, float s, std::uint64_t i,
                    float* out) {
    const std::uint64_t cols = x.shape[1];
    const std::int8_t* row = x.data + static_cast<std::int64_t>(i) * x.strides[0];
    const std::int64_t step = x.strides[1];
    if (step == 1 || cols == 1) {
        k.dequantize(row, s, out, static_cast<std::size_t>(cols));
        return;
    }
    for (std::uint64_t j = 0; j < cols; ++j)
        out[j] = static_cast<float>(row[static_cast<std::int64_t>(j) * step]) * s;
}

// The scale returned and the factors the element pass uses, from the
// largest magnitude m.
struct Factors {
    float scale, inv, pre;
};

Factors factors_for(float m) {
    Factors f{m > 0.0f ? m / 127.0f : 1.0f, 0.0f, 1.0f};
    f.inv = 1.0f / f.scale;
    if (f.inv > std::numeric_limits<float>::max()) {
        // A tiny matrix (M below about 3.7e-37): 1 / scale overflows. Its
        // elements are quantized as those of the matrix times 2^127, which
        // is exact (every magnitude stays below 64) and gives inv a finite
        // value; the scale returned is M / 127, or the smallest positive
        // float when that is 0.
        f.pre = kTinyShift;
        f.inv = 1.0f / ((m * f.pre) / 127.0f);
        if (f.scale == 0.0f) f.scale = std::numeric_limits<float>::denorm_min();
    }
    return f;
}

// Both passes over a large input on the pool; returns the factors.
//
// Share t is [t * per, min(n, (t + 1) * per)). Pool item t takes share t's
// maximum, then waits until every share's maximum is known, taking any
// share's that nobody has started itself (so items never wait on work that
// is not running), then quantizes share t: first its last part, which
// item t's own maximum pass read last, then the rest from the start; then
// it helps with blocks of other shares that nobody has taken, so that a
// worker that starts late or is held up never holds up the call.
Factors quantize_shares(const Kernels& k, const float* in, std::int8_t* out, std::size_t n) {
    const std::size_t wanted = std::min(parallel::worker_count(), (n + kMinShare - 1) / kMinShare);
    const std::size_t chunks = (n + kChunk - 1) / kChunk;
    const std::size_t per = (chunks + wanted - 1) / wanted * kChunk;
    const std::size_t shares = (n + per - 1) / per;
    // The end of a share that its maximum read last and that is still in
    // the worker's L2 cache (beside the other data there): quantized first.
    const std::size_t cached = l2_cache_bytes() / 2 / sizeof(float) / kChunk * kChunk;

    enum : int { kUnclaimed, kClaimed, kDone };
    std::unique_ptr<float[]> maxima(new float[shares]);
    std::unique_ptr<std::atomic<int>[]> state(new std::atomic<int>[shares]);
    for (std::size_t t = 0; t < shares; ++t) state[t].store(kUnclaimed, std::memory_order_relaxed);
    auto claim_and_take = [&](std::size_t t) {
        int expected = kUnclaimed;
        if (!state[t].compare_exchange_strong(expected, kClaimed, std::memory_order_relaxed)) return false;
        maxima[t] = k.abs_max(in + t * per, std::min(per, n - t * per));
        state[t].store(kDone, std::memory_order_release);
        return true;
    };
    // Share s is quantized in blocks: first those of its last `cached`
    // elements, then those from its start; items claim them in that order.
    std::unique_ptr<std::atomic<std::size_t>[]> next_block(new std::atomic<std::size_t>[shares]);
    for (std::size_t t = 0; t < shares; ++t) next_block[t].store(0, std::memory_order_relaxed);
    auto extent = [&](std::size_t s) {
        const std::size_t start = s * per, end = std::min(n, start + per);
        const std::size_t recent = std::min(end - start, cached);
        return std::array<std::size_t, 4>{end - recent, recent, start, end - start - recent};
    };
    auto part_blocks = [](std::size_t len) { return (len + kBlock - 1) / kBlock; };
    auto blocks = [&](std::size_t s) {
        const auto e = extent(s);
        return part_blocks(e[1]) + part_blocks(e[3]);
    };
    auto block = [&](std::size_t s, std::size_t b) {
        const auto e = extent(s);
        std::size_t first = e[0], len = e[1];
        if (b >= part_blocks(e[1])) {
            b -= part_blocks(e[1]);
            first = e[2];
            len = e[3];
        }
        return std::pair<std::size_t, std::size_t>{first + b * kBlock, std::min(kBlock, len - b * kBlock)};
    };
    auto largest = [&] {
        float m = 0.0f;
        for (std::size_t t = 0; t < shares; ++t) m = maxima[t] > m ? maxima[t] : m;
        return m;
    };

    parallel::for_each_index(shares, [&](std::size_t t) {
        claim_and_take(t);
        for (std::size_t s = 0; s < shares; ++s) {
            while (state[s].load(std::memory_order_acquire) != kDone) {
                // Share s is being taken elsewhere; give way, in case that
                // worker shares this core.
                if (!claim_and_take(s)) std::this_thread::yield();
            }
        }
        const Factors f = factors_for(largest());
        // Its own share first, then blocks of others that nobody has taken
        // (a share whose item has not started yet, or runs late).
        for (std::size_t i = 0; i < shares; ++i) {
            const std::size_t s = (t + i) % shares;
            for (std::size_t b; (b = next_block[s].fetch_add(1, std::memory_order_relaxed)) < blocks(s);) {
                const auto [first, count] = block(s, b);
                quantize_run(k, in + first, f.pre, f.inv, out + first, count);
            }
        }
    }, parallel::sharing_for_light(n));
    return factors_for(largest());
}

}  // namespace

Quantized quantize_int8(const View<float>& x) {
    if (x.ndim != 2) throw ValueError(texts::kInput2D);
    const std::uint64_t rows = x.shape[0], cols = x.shape[1];
    // Every element is written below, so the block is not zero-filled first.
    Buffer<std::int8_t> out = Buffer<std::int8_t>::for_overwrite({rows, cols});
    if (!is_standard_layout(x)) refuse(texts::kLayoutRefused);
    const auto n = static_cast<std::size_t>(out.count());
    const Kernels& k = quantize_kernels();
    const float* in = x.data;

    if (n > parallel::kSequentialLimit) {
        const Factors f = quantize_shares(k, in, out.data(), n);
        return Quantized{std::move(out), f.scale};
    }
    const Factors f = factors_for(k.abs_max(in, n));
    quantize_run(k, in, f.pre, f.inv, out.data(), n);
    return Quantized{std::move(out), f.scale};
}

Buffer<float> dequantize_int8(const View<std::int8_t>& x, float scale) {
    if (x.ndim != 2) throw ValueError(texts::kInput2D);
    const std::uint64_t rows = x.shape[0], cols = x.shape[1];
    // Every element is written below, so the block is not zero-filled first.
    Buffer<float> out = Buffer<float>::for_overwrite({rows, cols});
    const auto n = static_cast<std::size_t>(out.count());
    if (n == 0) return out;
    const Kernels& k = quantize_kernels();
    float* const dst = out.data();

    if (n <= parallel::kSequentialLimit) {
        for (std::uint64_t i = 0; i < rows; ++i) dequantize_row(k, x, scale, i, dst + i * cols);
        return out;
    }
    // Whole rows per item, so a single row stays one item.
    const std::size_t group = std::max<std::size_t>(1, kMinItem / cols);
    parallel::for_each_chunk(dst, n, group * cols, [&](std::size_t c, float* chunk, std::size_t len) {
        const std::size_t first = c * group;
        for (std::size_t r = 0; r < len / cols; ++r)
            dequantize_row(k, x, scale, first + r, chunk + r * cols);
    }, parallel::sharing_for_light(n));
    return out;
}

}  // namespace kiln::quantize
