// Copies of one 16-lane panel of an image's window matrix with AVX2, for
// the common row steps of 1 and 2 elements. conv2d.cpp packs every other
// panel itself.
//
// This header is included by a file compiled for AVX2, so it declares plain
// types and functions only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln::conv {

// One panel whose 16 lanes lie in one output row, or in two: lane i reads,
// for window position p = (c*KH + ky)*KW + kx, the element at
//   first + c*s1 + ky*s2 + kx*s3 + i*step                (i < split)
//   first + c*s1 + ky*s2 + kx*s3 + apart + i*step        (i >= split)
// and is written to dst[p * 16 + i]. Every address read lies between lane
// 0's element and lane 15's (the caller checks apart >= 0), so nothing
// outside the input is touched.
struct PanelWalk {
    const float* first;
    std::int64_t s1, s2, s3;
    std::uint64_t channels, kh, kw;
    std::int64_t step;
    std::int64_t apart;
    std::size_t split;  // 16 when all lanes lie in one row
    // Channels ahead whose rows are asked for (0: none), and how many
    // elements of a row the panel spans, from lane 0's first.
    std::uint64_t ahead;
    std::int64_t reach;
};

// Packs the panel when its step is 1 or 2 and returns true; otherwise
// returns false and writes nothing.
bool pack_panel16_avx2(const PanelWalk& w, float* dst);

}  // namespace kiln::conv
