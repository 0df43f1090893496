// The walk over one window panel's positions, written once for every copy
// (portable, AVX2, AVX-512): each supplies only how the W lanes of one
// position are copied. Internal linkage, so each instruction set's file
// gets its own copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "conv/kernels/panels.hpp"
#include "core/prefetch.hpp"

namespace kiln::conv {
namespace {

// For every window position p = (c*KH + ky)*KW + kx in order, calls
// copy(src, dst) with src at lane 0's element of that position and
// dst = out + p * W. With Split, lanes from w.split on lie in the next
// output row, w.apart elements further; their rows are fetched ahead too.
template <std::size_t W, bool Split, class Copy>
inline void walk_panel(const PanelWalk& w, float* dst, Copy copy) {
    const bool phased = w.pair != 2 * w.odd;
    for (std::uint64_t c = 0; c < w.channels; ++c) {
        for (std::uint64_t ky = 0; ky < w.kh; ++ky) {
            const float* src = w.first + static_cast<std::int64_t>(c) * w.s1 + static_cast<std::int64_t>(ky) * w.s2;
            if (w.ahead > 0 && c + w.ahead < w.channels) {
                // The same row a few channels on, so that rows scattered
                // over the image are in the cache when their turn comes.
                const float* ahead = src + static_cast<std::int64_t>(w.ahead) * w.s1;
                prefetch_floats(ahead, w.reach);
                if constexpr (Split) prefetch_floats(ahead + w.apart, w.reach);
                if (phased) {
                    prefetch_floats(ahead + w.odd, w.reach);
                    if constexpr (Split) prefetch_floats(ahead + w.odd + w.apart, w.reach);
                }
            }
            // From an even kx to the next (odd) one, and from an odd one to
            // the next even one.
            for (std::uint64_t kx = 0; kx < w.kw; ++kx, dst += W) {
                copy(src, dst);
                src += (kx & 1) == 0 ? w.odd : w.pair - w.odd;
            }
        }
    }
}

// Where the next output row starts in a panel of two vectors: in neither
// (every lane in lane 0's row), in the low vector, or in the high one.
enum Cross : int { kNoCross, kCrossLow, kCrossHigh };

// The two vectors of V (simd/avx2.hpp or simd/avx512.hpp) of one window
// position of a panel at row step 1 or 2: lanes i < w.split from lane 0's
// row, the others from the next output row, w.apart elements further. Only
// the vector holding lane w.split takes lanes from both rows; the other one
// is read from its row alone.
template <class V, int Step, int Where>
class PanelHalves {
public:
    static constexpr std::size_t kHalf = V::kLanes;

    explicit PanelHalves(const PanelWalk& w)
        : next_(V::lanes_from(Where == kCrossHigh ? w.split - kHalf : w.split)), apart_(w.apart) {}

    void operator()(const float* src, typename V::Vec& low, typename V::Vec& high) const {
        if constexpr (Where == kNoCross) {
            low = load(src);
            high = load(src + Step * kHalf);
        } else if constexpr (Where == kCrossLow) {
            low = V::select(next_, load(src), load(src + apart_));
            high = load(src + apart_ + Step * kHalf);
        } else {
            low = load(src);
            high = V::select(next_, load(src + Step * kHalf), load(src + apart_ + Step * kHalf));
        }
    }

private:
    static typename V::Vec load(const float* p) {
        if constexpr (Step == 1) return V::load(p);
        else return V::even(p);
    }

    typename V::Mask next_;
    std::int64_t apart_;
};

// Runs f(step) with the row step 1 or 2 as a compile-time constant
// (std::integral_constant) and returns true; returns false for other
// steps.
template <class F>
inline bool at_step(const PanelWalk& w, F f) {
    if (w.step == 1) {
        f(std::integral_constant<int, 1>{});
        return true;
    }
    if (w.step == 2) {
        f(std::integral_constant<int, 2>{});
        return true;
    }
    return false;
}

// Copies a panel of N vectors of V per window position; the vector that
// holds lane w.split takes its lanes from both rows, those before it from
// lane 0's row and those after it from the next (Cross = N: every lane in
// lane 0's row).
template <class V, std::size_t N, int Step, std::size_t Cross>
inline void copy_vectors(const PanelWalk& w, float* dst) {
    constexpr std::size_t kLanes = V::kLanes;
    const auto load = [](const float* p) {
        if constexpr (Step == 1) return V::load(p);
        else return V::even(p);
    };
    const typename V::Mask next = V::lanes_from(Cross < N ? w.split - Cross * kLanes : 0);
    const std::int64_t apart = w.apart;
    walk_panel<N * kLanes, Cross != N>(w, dst, [&](const float* src, float* out) {
        [&]<std::size_t... Q>(std::index_sequence<Q...>) {
            ((V::store(out + Q * kLanes,
                       Q < Cross    ? load(src + Step * Q * kLanes)
                       : Q == Cross ? V::select(next, load(src + Step * Q * kLanes),
                                                load(src + apart + Step * Q * kLanes))
                                    : load(src + apart + Step * Q * kLanes))),
             ...);
        }(std::make_index_sequence<N>{});
    });
}

// Runs copy(step, cross) for a panel of N vectors of H lanes at row step 1
// or 2, both compile-time constants (std::integral_constant; cross the
// vector holding lane w.split, N when there is none), and returns true;
// returns false for other steps.
template <std::size_t H, std::size_t N, class Copy>
inline bool at_step_and_vector(const PanelWalk& w, Copy copy) {
    return at_step(w, [&](auto step) {
        const std::size_t cross = w.split >= N * H ? N : w.split / H;
        [&]<std::size_t... Q>(std::index_sequence<Q...>) {
            ((cross == Q ? copy(step, std::integral_constant<std::size_t, Q>{}) : void()), ...);
        }(std::make_index_sequence<N + 1>{});
    });
}

// Runs copy(step, where) for a panel of two vectors of H lanes at row step
// 1 or 2, with both as compile-time constants (std::integral_constant;
// `where` a Cross), and returns true; returns false for other steps.
template <std::size_t H, class Copy>
inline bool at_step_and_cross(const PanelWalk& w, Copy copy) {
    return at_step(w, [&](auto step) {
        if (w.split >= 2 * H) {
            copy(step, std::integral_constant<int, kNoCross>{});
        } else if (w.split < H) {
            copy(step, std::integral_constant<int, kCrossLow>{});
        } else {
            copy(step, std::integral_constant<int, kCrossHigh>{});
        }
    });
}

// Runs copy(step, split) for a panel of W lanes at row step 1 or 2, with
// both as compile-time constants (std::integral_constant), and returns
// true; returns false for other steps.
template <std::size_t W, class Copy>
inline bool at_step_1_or_2(const PanelWalk& w, Copy copy) {
    return at_step(w, [&](auto step) {
        w.split < W ? copy(step, std::true_type{}) : copy(step, std::false_type{});
    });
}

}  // namespace
}  // namespace kiln::conv
