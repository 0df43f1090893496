// Softmax's loops written once for both vector widths, over the
// exponential's core E (ExpAvx2 or ExpAvx512) and its vector helpers.
// Include it after exp-avx2.hpp or exp-avx512.hpp; internal linkage
// throughout.
#pragma once

#include <cstddef>

#include "activations/kernels/exp_loops.hpp"
#include "activations/kernels/softmax.hpp"
#include "simd/loops.hpp"

namespace kiln::activations {
namespace {

// One row of a column strip over n adjacent lanes:
// out[i] = exp(in[i] - m[i]); sum[i] = sum[i] + out[i].
template <class E>
inline void exp_sub_step_group(const typename E::Table& tab, const float* in, const float* m, float* out,
                               float* sum, std::size_t n) {
    constexpr std::size_t L = E::kLanes;
    const typename E::Valid all[kGroup] = {E::kAllValid, E::kAllValid, E::kAllValid, E::kAllValid};
    std::size_t i = 0;
    for (; i + L * kGroup <= n; i += L * kGroup) {
        typename E::Vec arg[kGroup], e[kGroup];
        for (std::size_t v = 0; v < kGroup; ++v)
            arg[v] = E::sub(E::load(in + i + L * v), E::load(m + i + L * v));
        E::template exp<kGroup>(tab, arg, all, e);
        for (std::size_t v = 0; v < kGroup; ++v) {
            E::store(out + i + L * v, e[v]);
            E::store(sum + i + L * v, E::add(E::load(sum + i + L * v), e[v]));
        }
    }
    if (i < n) {
        typename E::Vec e[kGroup];
        typename E::Valid valid[kGroup];
        const float *rest_in = in + i, *rest_m = m + i;
        const std::size_t len = n - i;
        const std::size_t vectors = exp_rest<E>(tab, len, [rest_in, rest_m](std::size_t lo, std::size_t lanes) {
            return E::sub(simd::load_lanes<E>(rest_in + lo, lanes),
                          simd::load_lanes<E>(rest_m + lo, lanes));
        }, e, valid);
        for (std::size_t v = 0; v < vectors; ++v) {
            const std::size_t lo = L * v, lanes = len - lo < L ? len - lo : L;
            float* s = sum + i + lo;
            simd::store_lanes<E>(out + i + lo, e[v], lanes);
            simd::store_lanes<E>(s, E::add(simd::load_lanes<E>(s, lanes), e[v]), lanes);
        }
    }
}

// The same for more than one vector of lanes. Kept out of line: narrow
// strips (one vector per row) never come here and so do not pay for
// setting up the group loop's registers on every call.
template <class E>
[[gnu::noinline]] void exp_sub_step_wide(const float* in, const float* m, float* out, float* sum,
                                         std::size_t n) {
    exp_sub_step_group<E>(E::table(), in, m, out, sum, n);
}

template <class E>
void exp_sub_step(const float* in, const float* m, float* out, float* sum, std::size_t n) {
    if (n > E::kLanes) return exp_sub_step_wide<E>(in, m, out, sum, n);
    if (n == 0) return;
    const auto& tab = E::table();
    typename E::Vec e;
    if (n == E::kLanes) {
        const typename E::Valid valid = E::kAllValid;
        const typename E::Vec arg = E::sub(E::load(in), E::load(m));
        E::template exp<1>(tab, &arg, &valid, &e);
        E::store(out, e);
        E::store(sum, E::add(E::load(sum), e));
    } else {
        const typename E::Valid valid = E::valid(n);
        const typename E::Vec arg = E::sub(E::load_part(in, n), E::load_part(m, n));
        E::template exp<1>(tab, &arg, &valid, &e);
        E::store_part(out, e, n);
        E::store_part(sum, E::add(E::load_part(sum, n), e), n);
    }
}

template <class E>
float lane_max(const float* in, std::size_t n) {
    // NaN is never taken (the second operand wins a failed comparison), and
    // the maximum of a set of non-NaN values depends on the order only in
    // the sign of a zero maximum, where exp(v - (+0)) = exp(v - (-0)).
    return simd::max_fold<E>(in, n, kMaxSeed, [](typename E::Vec v) { return v; });
}

// Rows together, one per vector lane: rows r < nrows start at
// in + r * in_step, in groups of E::kLanes rows (at most two groups). Each
// step takes one vector of every row of a group and transposes the block,
// so that vector c then holds column c of every row of the group.

// Loads columns [c0, c0 + w) of the rows into v[0 .. nrows) and transposes;
// rows past nrows read as +0.0.
template <class E>
inline void load_columns(const float* in, std::ptrdiff_t in_step, std::size_t nrows, std::size_t c0,
                         std::size_t w, typename E::Vec* v) {
    for (std::size_t r = 0; r < E::kLanes; ++r)
        v[r] = r < nrows ? simd::load_lanes<E>(in + static_cast<std::ptrdiff_t>(r) * in_step + c0, w)
                         : E::zero();
    E::transpose(v);
}

// m[r] = the maximum of row r, from the lowest finite float, NaN never taken.
template <class E>
void rows_max(const float* in, std::ptrdiff_t in_step, std::size_t nrows, std::size_t len, float* m) {
    constexpr std::size_t L = E::kLanes;
    if (len > L) {
        // Long rows: one row at a time along its length costs no moves.
        for (std::size_t r = 0; r < nrows; ++r)
            m[r] = lane_max<E>(in + static_cast<std::ptrdiff_t>(r) * in_step, len);
        return;
    }
    for (std::size_t r0 = 0; r0 < nrows; r0 += L) {
        const std::size_t g = nrows - r0 < L ? nrows - r0 : L;
        typename E::Vec v[L];
        load_columns<E>(in + static_cast<std::ptrdiff_t>(r0) * in_step, in_step, g, 0, len, v);
        typename E::Vec acc = E::set1(kMaxSeed);
        for (std::size_t c = 0; c < len; ++c) acc = E::max(v[c], acc);
        E::store_part(m + r0, acc, g);
    }
}

// sum[r] = sum[r] + e_r[c] for c = 0 .. len - 1 in order, for the rows
// e_r = e + r * step, r < nrows <= 2 E::kLanes: lane r of the first vector
// of running sums is row r's, lane r of the second row L + r's. The two
// chains of dependent additions advance side by side, so each one's
// latency overlaps the other's additions and transposes.
template <class E>
void rows_add(const float* e, std::size_t step, std::size_t nrows, std::size_t len, float* sum) {
    using Vec = typename E::Vec;
    constexpr std::size_t L = E::kLanes;
    const std::size_t n0 = nrows < L ? nrows : L, n1 = nrows - n0;
    const float* e1 = e + L * step;
    Vec s0 = E::load_part(sum, n0), s1 = n1 != 0 ? E::load_part(sum + L, n1) : E::zero();
    for (std::size_t c0 = 0; c0 < len; c0 += L) {
        const std::size_t w = len - c0 < L ? len - c0 : L;
        Vec v[L];
        load_columns<E>(e, static_cast<std::ptrdiff_t>(step), n0, c0, w, v);
        if (n1 == 0) {
            for (std::size_t c = 0; c < w; ++c) s0 = E::add(s0, v[c]);
            continue;
        }
        Vec u[L];
        load_columns<E>(e1, static_cast<std::ptrdiff_t>(step), n1, c0, w, u);
        for (std::size_t c = 0; c < w; ++c) {
            s0 = E::add(s0, v[c]);
            s1 = E::add(s1, u[c]);
        }
    }
    E::store_part(sum, s0, n0);
    if (n1 != 0) E::store_part(sum + L, s1, n1);
}

// Columns of long rows per step of rows_exp_sum, for one group of rows
// (half as many for two): the exponentials of all its rows stay in the L1
// cache until they are added.
constexpr std::size_t kRowsChunk = 512;

// rows_exp_sum for rows shorter than four vectors, nrows <= E::kLanes: the
// exponentials too are computed on the transposed blocks.
template <class E>
void rows_exp_sum_short(const float* in, std::ptrdiff_t in_step, const float* m, float* out,
                        std::size_t out_step, std::size_t nrows, std::size_t len, float* sum) {
    using Vec = typename E::Vec;
    constexpr std::size_t L = E::kLanes;
    static_assert(L % kGroup == 0);
    const auto& tab = E::table();
    const Vec mv = E::load_part(m, nrows);
    Vec s = E::load_part(sum, nrows);
    // Lanes of rows past nrows are computed but never redone.
    const typename E::Valid rows = nrows == L ? E::kAllValid : E::valid(nrows);
    const typename E::Valid valid[kGroup] = {rows, rows, rows, rows};
    for (std::size_t c0 = 0; c0 < len; c0 += L) {
        const std::size_t w = len - c0 < L ? len - c0 : L;
        Vec v[L], e[L];
        load_columns<E>(in, in_step, nrows, c0, w, v);
        for (std::size_t g = 0; g < L; g += kGroup) {
            if (g < w) {
                Vec arg[kGroup];
                for (std::size_t i = 0; i < kGroup; ++i) arg[i] = E::sub(v[g + i], mv);
                E::template exp<kGroup>(tab, arg, valid, e + g);
            } else {
                for (std::size_t i = 0; i < kGroup; ++i) e[g + i] = E::zero();
            }
        }
        for (std::size_t c = 0; c < w; ++c) s = E::add(s, e[c]);
        E::transpose(e);
        for (std::size_t r = 0; r < nrows; ++r) simd::store_lanes<E>(out + r * out_step + c0, e[r], w);
    }
    E::store_part(sum, s, nrows);
}

// For every row r < nrows (at most two groups of E::kLanes) and
// c = 0 .. len - 1 in order: out_r[c] = exp(in_r[c] - m[r]);
// sum[r] = sum[r] + out_r[c], with out_r at out + r * out_step. Lane r of
// a group's running sums is that group's row r's own sum.
template <class E>
void rows_exp_sum(const float* in, std::ptrdiff_t in_step, const float* m, float* out,
                  std::size_t out_step, std::size_t nrows, std::size_t len, float* sum) {
    constexpr std::size_t L = E::kLanes;
    if (len < 4 * L) {
        for (std::size_t r0 = 0; r0 < nrows; r0 += L)
            rows_exp_sum_short<E>(in + static_cast<std::ptrdiff_t>(r0) * in_step, in_step, m + r0,
                                  out + r0 * out_step, out_step, nrows - r0 < L ? nrows - r0 : L, len,
                                  sum + r0);
        return;
    }
    const std::size_t chunk = nrows > L ? kRowsChunk / 2 : kRowsChunk;
    if (len <= chunk && out_step == len && len % (L * kGroup) != 0) {
        // Whole rows that lie end to end in out and end in a part group:
        // the differences first, row by row, then their exponentials in
        // place as one run, with whole groups across the row ends. Row by
        // row, each row's part group would be a long chain that little
        // else overlaps (rows of 100 took 7% longer so, rows of 33 25%).
        // exp(d - 0) is exp(d) for every float d, NaN included.
        for (std::size_t r = 0; r < nrows; ++r) {
            const typename E::Vec mv = E::set1(m[r]);
            simd::map<E>(in + static_cast<std::ptrdiff_t>(r) * in_step, out + r * len, len,
                         [mv](typename E::Vec v) { return E::sub(v, mv); });
        }
        exp_run<E, true, false>(out, 0.0f, out, nrows * len, 0.0f);
        rows_add<E>(out, out_step, nrows, len, sum);
        return;
    }
    // Long rows: the exponentials along each row (no moves), then the sums
    // from blocks of them transposed.
    for (std::size_t c0 = 0; c0 < len; c0 += chunk) {
        const std::size_t w = len - c0 < chunk ? len - c0 : chunk;
        for (std::size_t r = 0; r < nrows; ++r)
            exp_run<E, true, false>(in + static_cast<std::ptrdiff_t>(r) * in_step + c0, m[r],
                                    out + r * out_step + c0, w, 0.0f);
        rows_add<E>(out + c0, out_step, nrows, w, sum);
    }
}

template <class E>
void exp_sub(const float* in, float m, float* out, std::size_t n) {
    exp_run<E, true, false>(in, m, out, n, 0.0f);
}

template <class E>
float exp_sub_sum(const float* in, float m, float* out, std::size_t n, float sum) {
    return exp_run<E, true, true>(in, m, out, n, sum);
}

// The table row of the instruction set of E.
template <class E>
SoftmaxKernels softmax_loops() {
    return SoftmaxKernels{lane_max<E>, exp_sub<E>, exp_sub_sum<E>, simd::max_step<E>, exp_sub_step<E>,
                          simd::scale<E>, E::kLanes, rows_max<E>, rows_exp_sum<E>};
}

}  // namespace
}  // namespace kiln::activations
