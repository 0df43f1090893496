// Packed operands of the multiplication.
//
// One side of a product (the rows of `a`, or the columns of `b`) is stored
// as panels the micro-kernel reads front to back. The side's extent is cut
// into bands of `band` lanes (the tile's mc or nc), one band per row (or
// column) of result tiles,
// and each band into panels of `width` lanes, the micro-kernel's MR (or
// NR). A panel holds, for each inner position p, its `width` lanes at
// [p * width, p * width + width); lanes past the end of the extent hold
// +0.0 (written by the packers) and their results are never stored.
// Packing only moves values, so it never changes a sum.
#pragma once

#include <cstddef>

#include "core/array.hpp"
#include "core/memory.hpp"
#include "matmul/kernels/kernels.hpp"

namespace kiln::matmul {

class Panels {
public:
    // Room for a packed side of `extent` lanes and `depth` inner positions,
    // in bands of `band` lanes; the packers write every lane, padding
    // included. Up to kInlineBytes live in the object itself, so that a
    // small product (a few hundred nanoseconds) pays no heap allocation
    // for its packed copies.
    Panels(std::size_t extent, std::size_t depth, std::size_t width, std::size_t band);
    // The panels point into the object: it stays where it was made.
    Panels(const Panels&) = delete;
    Panels& operator=(const Panels&) = delete;

    std::size_t extent() const noexcept { return extent_; }
    std::size_t depth() const noexcept { return depth_; }
    std::size_t width() const noexcept { return width_; }
    std::size_t bands() const noexcept { return (extent_ + band_ - 1) / band_; }
    std::size_t band_begin(std::size_t band) const noexcept { return band * band_; }
    std::size_t band_end(std::size_t band) const noexcept {
        const std::size_t end = band * band_ + band_;
        return end < extent_ ? end : extent_;
    }
    // Panels of a band (the last band's may be fewer).
    std::size_t panels(std::size_t band) const noexcept {
        return (band_end(band) - band_begin(band) + width_ - 1) / width_;
    }
    // Floats of one full band.
    std::size_t band_floats() const noexcept { return band_floats_; }
    // Panel q of a band: lanes band_begin + q * width onwards.
    float* panel(std::size_t band, std::size_t q) const noexcept {
        return data_ + band * band_floats_ + q * width_ * depth_;
    }

    static constexpr std::size_t kInlineBytes = 4096;

private:
    alignas(64) float inline_[kInlineBytes / sizeof(float)];
    mem::Block block_;
    float* data_ = nullptr;
    std::size_t extent_ = 0;
    std::size_t depth_ = 0;
    std::size_t width_ = 1;
    std::size_t band_ = 1;  // lanes of a band
    std::size_t band_floats_ = 0;  // floats of one full band
};

// Number of floats of the panels for `lanes` lanes (one band at most).
inline std::size_t band_floats(std::size_t lanes, std::size_t depth, std::size_t width) {
    return (lanes + width - 1) / width * width * depth;
}

// Writes +0.0 to lanes [lanes, width) of every position of a panel.
void zero_padding(float* panel, std::size_t lanes, std::size_t depth, std::size_t width);

// Packs panels [first, last) of one band of rows of the 2-D view `a`
// (extent x depth): lane i, position p holds a[i][p]. Full panels of rows
// with unit column stride go to `full` when it is given.
void pack_rows(const View<float>& a, const Panels& dst, std::size_t band, std::size_t first,
               std::size_t last, RowPanelPacker full = nullptr);

// Packs positions [p0, p1) of panels [first, last) of one band of columns
// of the 2-D view `b` (depth x extent): lane j, position p holds b[p][j].
void pack_columns(const View<float>& b, const Panels& dst, std::size_t band, std::size_t first,
                  std::size_t last, std::size_t p0, std::size_t p1);
inline void pack_columns(const View<float>& b, const Panels& dst, std::size_t band, std::size_t first,
                         std::size_t last) {
    pack_columns(b, dst, band, first, last, 0, dst.depth());
}

// The same for every panel of the band.
inline void pack_rows(const View<float>& a, const Panels& dst, std::size_t band,
                      RowPanelPacker full = nullptr) {
    pack_rows(a, dst, band, 0, dst.panels(band), full);
}
inline void pack_columns(const View<float>& b, const Panels& dst, std::size_t band) {
    pack_columns(b, dst, band, 0, dst.panels(band));
}

}  // namespace kiln::matmul
