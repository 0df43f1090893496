// Flat loops written once for every vector width, over the helpers of
// simd/avx2.hpp or simd/avx512.hpp (the parameter V). Include it after one
// of them, from a file compiled for that instruction set; like them, it has
// internal linkage.
//
// Each loop takes four vectors per step, then single vectors, then the
// remaining lanes with masked moves, which touch nothing past the end.
#pragma once

#include <cstddef>

namespace kiln::simd {
namespace {

// Lanes [0, lanes) of a vector, lanes <= V::kLanes: plain moves for whole
// vectors (masked stores are slow on some processors), masked ones else.
template <class V>
inline typename V::Vec load_lanes(const float* p, std::size_t lanes) {
    return lanes == V::kLanes ? V::load(p) : V::load_part(p, lanes);
}
template <class V>
inline void store_lanes(float* p, typename V::Vec v, std::size_t lanes) {
    if (lanes == V::kLanes) {
        V::store(p, v);
    } else {
        V::store_part(p, v, lanes);
    }
}

// out[i] = f(in[i]) for i < n, f mapping a vector to a vector lane by lane.
template <class V, class F>
inline void map(const float* in, float* out, std::size_t n, F f) {
    constexpr std::size_t L = V::kLanes;
    std::size_t i = 0;
    for (; i + 4 * L <= n; i += 4 * L) {
        const typename V::Vec a = V::load(in + i), b = V::load(in + i + L);
        const typename V::Vec c = V::load(in + i + 2 * L), d = V::load(in + i + 3 * L);
        V::store(out + i, f(a));
        V::store(out + i + L, f(b));
        V::store(out + i + 2 * L, f(c));
        V::store(out + i + 3 * L, f(d));
    }
    for (; i + L <= n; i += L) V::store(out + i, f(V::load(in + i)));
    if (i < n) V::store_part(out + i, f(V::load_part(in + i, n - i)), n - i);
}

// out[i] = in[i] > +0.0 ? in[i] : +0.0: MAXPS(v, 0) returns its second
// operand unless v > 0.
template <class V>
void relu(const float* in, float* out, std::size_t n) {
    const typename V::Vec zero = V::zero();
    map<V>(in, out, n, [zero](typename V::Vec v) { return V::max(v, zero); });
}

// The largest of the lanes of acc under the fold m = v > m ? v : m, from
// lane 0 on. Only for lanes that are never NaN.
template <class V>
inline float largest_lane(typename V::Vec acc) {
    alignas(64) float lanes[V::kLanes];
    V::store(lanes, acc);
    float m = lanes[0];
    for (std::size_t k = 1; k < V::kLanes; ++k) m = lanes[k] > m ? lanes[k] : m;
    return m;
}

// The fold acc = g(in[i]) > acc ? g(in[i]) : acc over i < n from acc =
// seed, g mapping vectors lane by lane; the lanes past n are read as seed
// and then mapped, so g(seed) must not exceed seed (as for the identity
// from the lowest float, or the magnitude from zero).
// With four accumulators the order of the comparisons differs from the
// fold's, which gives the same value whenever no g(in[i]) is NaN, or NaN is
// never taken (the second operand wins a failed comparison), and the
// maximum of a set does not depend on the order except for the sign of a
// zero, which callers do not rely on.
template <class V, class G>
inline float max_fold(const float* in, std::size_t n, float seed, G g) {
    constexpr std::size_t L = V::kLanes;
    const typename V::Vec s = V::set1(seed);
    typename V::Vec m0 = s, m1 = s, m2 = s, m3 = s;
    std::size_t i = 0;
    for (; i + 4 * L <= n; i += 4 * L) {
        m0 = V::max(g(V::load(in + i)), m0);
        m1 = V::max(g(V::load(in + i + L)), m1);
        m2 = V::max(g(V::load(in + i + 2 * L)), m2);
        m3 = V::max(g(V::load(in + i + 3 * L)), m3);
    }
    for (; i + L <= n; i += L) m0 = V::max(g(V::load(in + i)), m0);
    if (i < n) m1 = V::max(g(V::load_part(in + i, n - i, s)), m1);
    return largest_lane<V>(V::max(V::max(m0, m1), V::max(m2, m3)));
}

// x[i] = x[i] * s for i < n.
template <class V>
void scale(float* x, float s, std::size_t n) {
    const typename V::Vec sv = V::set1(s);
    map<V>(x, x, n, [sv](typename V::Vec v) { return V::mul(v, sv); });
}

// m[i] = in[i] > m[i] ? in[i] : m[i] for i < n.
template <class V>
void max_step(const float* in, float* m, std::size_t n) {
    constexpr std::size_t L = V::kLanes;
    std::size_t i = 0;
    for (; i + L <= n; i += L) V::store(m + i, V::max(V::load(in + i), V::load(m + i)));
    if (i < n) V::store_part(m + i, V::max(V::load_part(in + i, n - i), V::load_part(m + i, n - i)), n - i);
}

}  // namespace
}  // namespace kiln::simd
