// Block sizes of the multiplication.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiln::matmul {

// Edge of the result tiles, and so of the row bands of `a` and the column
// bands of `b` the packed operands are cut into. A tile is the unit of
// parallel work.
inline constexpr std::size_t kTile = 64;

// Largest result element count m * n computed on the calling thread; larger
// products are spread over the pool tile by tile.
inline constexpr std::uint64_t kParallelThreshold = 10000;

// Inner positions per pass over a tile. One pass keeps a micro-kernel's
// panel of packed `b` (NR x kInner floats, 32 KiB for NR = 32) in the L1
// cache and the tile's panels of packed `a` in L2. Between passes the
// accumulators go through the result as float32, which is the value they
// hold in registers anyway, so the pass length never changes a bit.
inline constexpr std::size_t kInner = 256;

}  // namespace kiln::matmul
