#include "matmul/pack.hpp"

#include <cstdint>
#include <cstring>
#include <new>

namespace kiln::matmul {

namespace {

std::size_t product_or_throw(std::size_t x, std::size_t y) {
    std::size_t r;
    if (__builtin_mul_overflow(x, y, &r)) throw std::bad_alloc();
    return r;
}

std::int64_t offset(std::size_t index, std::int64_t stride) {
    return static_cast<std::int64_t>(index) * stride;
}

}  // namespace

Panels::Panels(std::size_t extent, std::size_t depth, std::size_t width, std::size_t band)
    : extent_(extent), depth_(depth), width_(width), band_(band) {
    const std::size_t panels_per_band = (band + width - 1) / width;
    band_floats_ = product_or_throw(product_or_throw(panels_per_band, width), depth);
    std::size_t floats = 0;
    if (extent > 0) {
        // Full bands, then the last band's panels only.
        const std::size_t last_lanes = extent - (bands() - 1) * band;
        const std::size_t last_panels = (last_lanes + width - 1) / width;
        floats = product_or_throw(bands() - 1, band_floats_) +
                 product_or_throw(product_or_throw(last_panels, width), depth);
    }
    const std::size_t bytes = product_or_throw(floats, sizeof(float));
    if (bytes <= kInlineBytes) {
        data_ = inline_;
    } else {
        block_ = mem::Block(bytes, mem::Block::ForOverwrite{});
        data_ = static_cast<float*>(block_.get());
    }
}

void zero_padding(float* panel, std::size_t lanes, std::size_t depth, std::size_t width) {
    if (lanes >= width) return;
    for (std::size_t p = 0; p < depth; ++p)
        for (std::size_t l = lanes; l < width; ++l) panel[p * width + l] = 0.0f;
}

void pack_rows(const View<float>& a, const Panels& dst, std::size_t band, std::size_t first,
               std::size_t last, RowPanelPacker full) {
    const std::size_t w = dst.width(), k = dst.depth();
    const std::size_t band_end = dst.band_end(band), stop = dst.band_begin(band) + last * w;
    const std::size_t end = stop < band_end ? stop : band_end;
    const std::int64_t s0 = a.strides[0], s1 = a.strides[1];
    std::size_t q = first;
    for (std::size_t i = dst.band_begin(band) + first * w; i < end; i += w, ++q) {
        float* out = dst.panel(band, q);
        const std::size_t rows = end - i < w ? end - i : w;
        const float* src = a.data + offset(i, s0);
        if (full && s1 == 1 && rows == w) {
            full(src, s0, k, out);
            continue;
        }
        zero_padding(out, rows, k, w);
        if (s1 == 1) {
            // Row-major rows: walk each row along a short run of positions
            // so every row is read cache line by cache line.
            constexpr std::size_t kRun = 16;
            for (std::size_t p0 = 0; p0 < k; p0 += kRun) {
                const std::size_t p1 = p0 + kRun < k ? p0 + kRun : k;
                for (std::size_t r = 0; r < rows; ++r) {
                    const float* row = src + offset(r, s0);
                    for (std::size_t p = p0; p < p1; ++p) out[p * w + r] = row[p];
                }
            }
        } else {
            for (std::size_t p = 0; p < k; ++p)
                for (std::size_t r = 0; r < rows; ++r) out[p * w + r] = src[offset(r, s0) + offset(p, s1)];
        }
    }
}

namespace {

// Full panels of W lanes of a band of row-major `b`, positions [p0, p1), a
// run of kRun rows at a time: the run's part of the panels (at most 8 x 512
// floats, 16 KiB, for a band; a piece of a band is narrower) is read from
// memory once and stays in L1 while each panel receives its kRun rows as
// one contiguous piece, so only one output stream is written at a time.
// (Walked row by row, every panel of the band is a stream of its own; a
// 1024 x 1024 product measured 1.5-2% slower that way.) The fixed width
// lets the compiler copy each panel row with a few vector moves.
template <std::size_t W>
void pack_full_panels(const float* src, std::int64_t s0, std::size_t k, std::size_t p0, std::size_t p1,
                      std::size_t panels, float* out) {
    constexpr std::size_t kRun = 8;
    for (std::size_t r0 = p0; r0 < p1; r0 += kRun) {
        const std::size_t r1 = r0 + kRun < p1 ? r0 + kRun : p1;
        for (std::size_t q = 0; q < panels; ++q)
            for (std::size_t p = r0; p < r1; ++p)
                std::memcpy(out + (q * k + p) * W, src + offset(p, s0) + q * W, W * sizeof(float));
    }
}

// Packs the full panels of a band when their width has a fixed-width copy;
// returns how many it packed.
std::size_t pack_full_columns(const float* src, std::int64_t s0, std::size_t k, std::size_t p0,
                              std::size_t p1, std::size_t w, std::size_t panels, float* out) {
    switch (w) {
        case 8: pack_full_panels<8>(src, s0, k, p0, p1, panels, out); return panels;
        case 16: pack_full_panels<16>(src, s0, k, p0, p1, panels, out); return panels;
        case 32: pack_full_panels<32>(src, s0, k, p0, p1, panels, out); return panels;
        default: return 0;
    }
}

}  // namespace

void pack_columns(const View<float>& b, const Panels& dst, std::size_t band, std::size_t first,
                  std::size_t last, std::size_t p0, std::size_t p1) {
    const std::size_t w = dst.width(), k = dst.depth();
    const std::size_t band_end = dst.band_end(band), stop = dst.band_begin(band) + last * w;
    const std::size_t end = stop < band_end ? stop : band_end;
    const std::int64_t s0 = b.strides[0], s1 = b.strides[1];
    const std::size_t begin = dst.band_begin(band) + first * w;
    std::size_t q = first;
    if (s1 == 1 && begin < end) {
        q += pack_full_columns(b.data + begin, s0, k, p0, p1, w, (end - begin) / w, dst.panel(band, first));
    }
    for (std::size_t j = dst.band_begin(band) + q * w; j < end; j += w, ++q) {
        float* out = dst.panel(band, q);
        const std::size_t cols = end - j < w ? end - j : w;
        const float* src = b.data + offset(j, s1);
        zero_padding(out + p0 * w, cols, p1 - p0, w);
        if (s1 == 1) {
            for (std::size_t p = p0; p < p1; ++p)
                std::memcpy(out + p * w, src + offset(p, s0), cols * sizeof(float));
        } else {
            for (std::size_t p = p0; p < p1; ++p) {
                const float* row = src + offset(p, s0);
                for (std::size_t c = 0; c < cols; ++c) out[p * w + c] = row[offset(c, s1)];
            }
        }
    }
}

}  // namespace kiln::matmul
