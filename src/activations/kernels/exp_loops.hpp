// The vector loops over the exponential, written once for both vector
// widths: the parameter E is ExpAvx2 (exp-avx2.hpp) or ExpAvx512
// (exp-avx512.hpp). Include it after one of them; internal linkage
// throughout.
//
// The main loops evaluate kGroup vectors together, so that their long
// dependency chains overlap; the lanes left after the whole groups are
// evaluated together as one group of masked vectors (one at a time they
// would wait on each other's latency). Masked moves touch nothing past the
// end of the data.
#pragma once

#include <cstddef>

#include "simd/loops.hpp"

namespace kiln::activations {
namespace {

constexpr std::size_t kGroup = 4;

template <class E, std::size_t V, class Arg>
inline void exp_rest_group(const typename E::Table& tab, std::size_t len, Arg arg_of,
                           typename E::Vec* e, typename E::Valid* valid) {
    typename E::Vec arg[V];
    for (std::size_t v = 0; v < V; ++v) {
        const std::size_t lo = E::kLanes * v;
        const std::size_t lanes = len - lo < E::kLanes ? len - lo : E::kLanes;
        valid[v] = E::valid(lanes);
        arg[v] = arg_of(lo, lanes);
    }
    E::template exp<V>(tab, arg, valid, e);
}

// The exponentials of the 0 < len < E::kLanes * kGroup lanes left after
// the whole groups, as one group of ceil(len / E::kLanes) vectors;
// arg_of(lo, lanes) gives the arguments of lanes [lo, lo + lanes). Returns
// the number of vectors; vector v holds lanes [v * E::kLanes, ...) of the
// rest, those in valid[v].
template <class E, class Arg>
inline std::size_t exp_rest(const typename E::Table& tab, std::size_t len, Arg arg_of,
                            typename E::Vec* e, typename E::Valid* valid) {
    const std::size_t vectors = (len + E::kLanes - 1) / E::kLanes;
    switch (vectors) {
        case 1: exp_rest_group<E, 1>(tab, len, arg_of, e, valid); break;
        case 2: exp_rest_group<E, 2>(tab, len, arg_of, e, valid); break;
        case 3: exp_rest_group<E, 3>(tab, len, arg_of, e, valid); break;
        default: exp_rest_group<E, 4>(tab, len, arg_of, e, valid); break;
    }
    return vectors;
}

// Stores the vectors of a rest group; lanes outside the data are not written.
template <class E>
inline void store_rest(float* out, std::size_t len, const typename E::Vec* e, std::size_t vectors) {
    for (std::size_t v = 0; v < vectors; ++v) {
        const std::size_t lo = E::kLanes * v;
        simd::store_lanes<E>(out + lo, e[v], len - lo < E::kLanes ? len - lo : E::kLanes);
    }
}

// out[i] = exp(in[i] - m) (or exp(in[i]) without Sub), where m is not
// below any in[i] (it is their maximum), so no argument is above zero;
// with Sum, also sum = sum + out[i] in order of i. The chain of dependent
// additions runs one group behind the exponentials: each step adds the
// previous group's values after starting this group's exponentials, so the
// additions never wait for the exponentials they follow, and both proceed
// together.
//
// With Sum, a group is E::kSumGroup vectors: the processor overlaps a
// group's additions with the next group's exponentials only while both fit
// in its window of instructions in flight, and a chain of 32 additions
// (96 cycles or more) does not leave room for 32 more exponentials.
template <class E, bool Sub, bool Sum>
inline float exp_run(const float* in, float m, float* out, std::size_t n, float sum) {
    constexpr std::size_t L = E::kLanes;
    constexpr std::size_t G = Sum ? E::kSumGroup : kGroup;
    static_assert(G >= 1 && G <= kGroup);
    const auto& tab = E::table();
    const typename E::Vec mv = E::set1(m);
    const typename E::Valid all[kGroup] = {E::kAllValid, E::kAllValid, E::kAllValid, E::kAllValid};
    auto arg = [mv](typename E::Vec v) { return Sub ? E::sub(v, mv) : v; };
    std::size_t i = 0;
    for (; i + L * G <= n; i += L * G) {
        typename E::Vec e[G];
        const float* at = in + i;
        E::template exp_of<G, Sub>(tab, [at, arg](std::size_t v) { return arg(E::load(at + L * v)); }, all, e);
        for (std::size_t v = 0; v < G; ++v) E::store(out + i + L * v, e[v]);
        if constexpr (Sum) {
            if (i != 0) {
                const float* previous = out + i - L * G;
                for (std::size_t l = 0; l < L * G; ++l) sum = sum + previous[l];
            }
        }
    }
    if constexpr (Sum) {
        if (i != 0) {
            const float* previous = out + i - L * G;
            for (std::size_t l = 0; l < L * G; ++l) sum = sum + previous[l];
        }
    }
    if (i < n) {
        typename E::Vec e[kGroup];
        typename E::Valid valid[kGroup];
        const float* rest = in + i;
        const std::size_t vectors = exp_rest<E>(tab, n - i, [rest, arg](std::size_t lo, std::size_t lanes) {
            return arg(simd::load_lanes<E>(rest + lo, lanes));
        }, e, valid);
        store_rest<E>(out + i, n - i, e, vectors);
        if constexpr (Sum) {
            for (; i < n; ++i) sum = sum + out[i];
        }
    }
    return sum;
}

}  // namespace
}  // namespace kiln::activations
