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
// the elements are visited, so large inputs take it on the pool in blocks;
// the element pass runs on the pool in chunks of 1024 elements.
//
// dequantize_int8: out = (float)x * scale, one float32 multiplication per
// element, reading any layout in place through its strides; large inputs go
// to the pool in groups of whole rows.
//
// Up to parallel::kSequentialLimit elements both run on the calling thread
// and never touch the pool.
#include "quantize/quantize.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "core/texts.hpp"
#include "parallel/pool.hpp"
#include "quantize/kernels/quantize.hpp"

namespace kiln::quantize {

namespace {

constexpr std::size_t kChunk = 1024;
// Elements per pool item of the maximum search, and the least per item of
// dequantization.
constexpr std::size_t kMaxBlock = 1 << 16;
constexpr std::size_t kMinItem = 16384;

using Kernels = QuantizeKernels;

float largest_magnitude(const Kernels& k, const float* in, std::size_t n) {
    if (n <= parallel::kSequentialLimit) return k.abs_max(in, n);
    const std::size_t blocks = (n + kMaxBlock - 1) / kMaxBlock;
    const std::vector<float> partial = parallel::map_collect<float>(blocks, [&](std::size_t b) {
        const std::size_t start = b * kMaxBlock;
        return k.abs_max(in + start, std::min(kMaxBlock, n - start));
    });
    float m = 0.0f;
    for (float v : partial) m = v > m ? v : m;
    return m;
}

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

    const float m = largest_magnitude(k, in, n);
    float scale = m > 0.0f ? m / 127.0f : 1.0f;
    float inv = 1.0f / scale;
    float pre = 1.0f;
    if (inv > std::numeric_limits<float>::max()) {
        // A tiny matrix (M below about 3.7e-37): 1 / scale overflows. Its
        // elements are quantized as those of the matrix times 2^127, which
        // is exact (every magnitude stays below 64) and gives inv a finite
        // value; the scale returned is M / 127, or the smallest positive
        // float when that is 0.
        pre = kTinyShift;
        inv = 1.0f / ((m * pre) / 127.0f);
        if (scale == 0.0f) scale = std::numeric_limits<float>::denorm_min();
    }

    if (n <= parallel::kSequentialLimit) {
        quantize_run(k, in, pre, inv, out.data(), n);
    } else {
        parallel::for_each_chunk(out.data(), n, kChunk,
                                 [&](std::size_t c, std::int8_t* chunk, std::size_t len) {
                                     quantize_run(k, in + c * kChunk, pre, inv, chunk, len);
                                 });
    }
    return Quantized{std::move(out), scale};
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
    });
    return out;
}

}  // namespace kiln::quantize
