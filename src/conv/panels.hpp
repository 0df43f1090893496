// Copies of one window panel with SIMD, for the common row steps of 1 and
// 2 elements: 16-lane panels (the AVX2 micro-kernel's) with AVX2 and
// 32-lane panels (the AVX-512 one's) with AVX-512. conv2d.cpp packs every
// other panel itself.
//
// This header is included by files compiled for AVX2 and AVX-512, so it
// declares plain types and functions only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln::conv {

// One panel whose W lanes (16 or 32) lie in one output row, or in two:
// lane i reads, for window position p = (c*KH + ky)*KW + kx, the element at
//   first + c*s1 + ky*s2 + kx*s3 + i*step                (i < split)
//   first + c*s1 + ky*s2 + kx*s3 + apart + i*step        (i >= split)
// and is written to dst[p * W + i]. Every address read lies between lane
// 0's element and lane W - 1's (the caller checks apart >= 0), so nothing
// outside the input is touched.
struct PanelWalk {
    const float* first;
    std::int64_t s1, s2, s3;
    std::uint64_t channels, kh, kw;
    std::int64_t step;
    std::int64_t apart;
    std::size_t split;  // W when all lanes lie in one row
    // Channels ahead whose rows are asked for (0: none), and how many
    // elements of a row the panel spans, from lane 0's first.
    std::uint64_t ahead;
    std::int64_t reach;
};

// Asks for the cache lines of the `count` + 1 elements from p on (count
// may be negative: the elements before p). Only a hint; nothing is read.
// Compiled for the baseline instruction set (in conv2d.cpp).
void prefetch_span(const float* p, std::int64_t count);

// Pack the panel (16 or 32 lanes) when its step is 1 or 2 and return true;
// otherwise return false and write nothing.
bool pack_panel16_avx2(const PanelWalk& w, float* dst);
bool pack_panel32_avx512(const PanelWalk& w, float* dst);

}  // namespace kiln::conv
