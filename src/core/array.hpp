// The two array types every kernel works with, free of any Python type:
//   View<T>   a read-only strided window onto a caller's array;
//   Buffer<T> an owned block of elements with a shape, which becomes the
//             memory of a returned array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>

#include "core/errors.hpp"
#include "core/memory.hpp"
#include "core/texts.hpp"

namespace kiln {

// NumPy allows at most 64 axes; views hold that many without allocating.
inline constexpr std::size_t kMaxDims = 64;
// Results have 2 axes, or 4 for conv2d.
inline constexpr std::size_t kMaxResultDims = 4;

// A read-only view of a caller's array. `data` is the address of element
// (0, ..., 0); strides are in elements and may be negative, zero or leave
// gaps. Valid only while the call that made it holds the array.
template <class T>
struct View {
    const T* data = nullptr;
    std::size_t ndim = 0;
    std::uint64_t shape[kMaxDims] = {};
    std::int64_t strides[kMaxDims] = {};

    // The caller's own layout, which the kernels' layout rules (may this
    // input be read as one flat run?) are decided on. When the elements are
    // read through a compact row-major copy (data not aligned to the element
    // size, or byte strides that are not whole elements), `strides` describe
    // the copy, `source_strides` keep the caller's element strides, and
    // `source_whole` is false if some byte stride was not a whole number of
    // elements (such a layout is never flat or gap-free).
    bool compacted = false;
    bool source_whole = true;
    std::int64_t source_strides[kMaxDims] = {};

    // The stride of axis d in the caller's layout.
    std::int64_t source_stride(std::size_t d) const {
        return compacted ? source_strides[d] : strides[d];
    }

    // Element (i, j) of a 2-D view.
    const T& at(std::uint64_t i, std::uint64_t j) const {
        return data[static_cast<std::int64_t>(i) * strides[0] +
                    static_cast<std::int64_t>(j) * strides[1]];
    }
};

// The test that a 2-D layout can be read as one flat run of rows x cols
// values in row-major order.
inline bool is_standard_layout(std::uint64_t rows, std::uint64_t cols, std::int64_t s0,
                               std::int64_t s1) {
    if (rows == 0 || cols == 0) return true;
    return (cols == 1 || s1 == 1) && (rows == 1 || s0 == static_cast<std::int64_t>(cols));
}

// The layout tests of a 2-D view are decided on the caller's layout.
template <class T>
bool is_standard_layout(const View<T>& v) {
    if (!v.source_whole) return v.shape[0] == 0 || v.shape[1] == 0;
    return is_standard_layout(v.shape[0], v.shape[1], v.source_stride(0), v.source_stride(1));
}

// The test that a 2-D layout fills one gap-free block of memory in some
// axis order: taking the axes by increasing |stride|, every axis longer than
// 1 has |stride| equal to the product of the lengths before it.
inline bool is_gap_free(std::uint64_t rows, std::uint64_t cols, std::int64_t s0, std::int64_t s1) {
    if (s0 == static_cast<std::int64_t>(cols) && s1 == 1) return true;
    const std::int64_t a0 = s0 < 0 ? -s0 : s0, a1 = s1 < 0 ? -s1 : s1;
    if (a0 <= a1)  // axis 0 varies fastest in memory
        return (rows == 1 || a0 == 1) && (cols == 1 || a1 == static_cast<std::int64_t>(rows));
    return (cols == 1 || a1 == 1) && (rows == 1 || a0 == static_cast<std::int64_t>(cols));
}

template <class T>
bool is_gap_free(const View<T>& v) {
    if (!v.source_whole) return false;
    return is_gap_free(v.shape[0], v.shape[1], v.source_stride(0), v.source_stride(1));
}

// Element count of a shape after the size tests every owned buffer passes:
// the product of the non-zero lengths must fit in a signed 64-bit count and
// the byte size must stay below 2^63.
inline std::uint64_t checked_element_count(const std::uint64_t* shape, std::size_t ndim,
                                           std::size_t element_size) {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t nonzero = 1;
    std::uint64_t count = 1;
    for (std::size_t d = 0; d < ndim; ++d) {
        if (shape[d] == 0) {
            count = 0;
            continue;
        }
        if (nonzero > kMax / shape[d])
            refuse(texts::kShapeOverflow);
        nonzero *= shape[d];
    }
    if (count != 0) count = nonzero;
    if (count > kMax / element_size) refuse(texts::kCapacityOverflow);
    return count;
}

// An owned buffer of elements with row-major strides, zero-filled or left
// for the kernel to write.
template <class T>
class Buffer {
public:
    Buffer() = default;

    static Buffer zeros(std::initializer_list<std::uint64_t> shape) {
        return zeros(shape.begin(), shape.size());
    }

    static Buffer zeros(const std::uint64_t* shape, std::size_t ndim) {
        return make(shape, ndim, true);
    }

    // A buffer like zeros() whose elements are left unspecified, for a
    // kernel that writes every element before returning it.
    static Buffer for_overwrite(std::initializer_list<std::uint64_t> shape) {
        return make(shape.begin(), shape.size(), false);
    }

    static Buffer make(const std::uint64_t* shape, std::size_t ndim, bool zero) {
        check(ndim <= kMaxResultDims, "result buffers have at most 4 axes");
        Buffer buf;
        buf.count_ = checked_element_count(shape, ndim, sizeof(T));
        const auto bytes = static_cast<std::size_t>(buf.count_) * sizeof(T);
        buf.block_ = zero ? mem::Block(bytes) : mem::Block(bytes, mem::Block::ForOverwrite{});
        buf.ndim_ = ndim;
        std::int64_t stride = 1;
        for (std::size_t d = ndim; d-- > 0;) {
            buf.shape_[d] = shape[d];
            buf.strides_[d] = buf.count_ == 0 ? 0 : stride;
            stride *= static_cast<std::int64_t>(shape[d] == 0 ? 1 : shape[d]);
        }
        return buf;
    }

    // Start of the block.
    T* data() const noexcept { return static_cast<T*>(block_.get()); }
    // Address of element (0, ..., 0).
    T* first() const noexcept { return data(); }
    std::uint64_t count() const noexcept { return count_; }
    std::size_t ndim() const noexcept { return ndim_; }
    const std::uint64_t* shape() const noexcept { return shape_; }
    const std::int64_t* strides() const noexcept { return strides_; }

    // Gives up the block (to a result array's owner).
    mem::Block release_block() noexcept { return std::move(block_); }

private:
    mem::Block block_;
    std::uint64_t count_ = 0;
    std::size_t ndim_ = 0;
    std::uint64_t shape_[kMaxResultDims] = {};
    std::int64_t strides_[kMaxResultDims] = {};
};

}  // namespace kiln
