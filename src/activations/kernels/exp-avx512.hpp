// The AVX-512 core of the correctly rounded exponential (see exp.hpp), for
// exp-avx512.cpp and softmax-avx512.cpp. Sixteen floats per vector,
// evaluated as two vectors of eight doubles with the steps of exp_cr() in
// exp-scalar.cpp, several vectors at a time; lanes that fail the rounding
// test (rare) and NaN lanes are redone by exp_hard().
//
// Each multiply followed by an add is one fused multiply-add here (part of
// AVX-512F itself), as C libraries do in their own exponentials on such
// processors: it skips one rounding per step, so y's error stays within
// the bound of exp.hpp, and the rounding test then gives the correctly
// rounded float, the same bits as every other form (tools/expf_check
// checks all 2^32 inputs). A third fewer operations than separate steps.
// Only this internal evaluation fuses; softmax's own steps never do.
//
// Internal linkage throughout (see simd/avx512.hpp).
#pragma once

#include <cstddef>

#include "activations/kernels/exp.hpp"
#include "simd/avx512.hpp"

namespace kiln::activations {
namespace {

using namespace expf_consts;

// exp of N vectors of eight clamped doubles, up to the rounding test:
// up[i] gets the float roundings of y * (1 + 2^-43), down[i] those of
// y * (1 - 2^-43). The N evaluations advance stage by stage together, so
// that their long dependency chains overlap instead of filling the
// scheduler one at a time; each takes exactly the steps of exp_cr().
#define KILN_EACH for (std::size_t i = 0; i < N; ++i)
template <std::size_t N>
inline void exp_doubles(const __m512d* x, const __m512d table_lo, const __m512d table_hi, __m256* up,
                 __m256* down) {
    __m512d t[N], r[N], p[N];
#pragma GCC unroll 8
    KILN_EACH t[i] = _mm512_fmadd_pd(x[i], _mm512_set1_pd(kInvLn2x16), _mm512_set1_pd(kRoundShift));
#pragma GCC unroll 8
    KILN_EACH {
        const __m512d kd = _mm512_sub_pd(t[i], _mm512_set1_pd(kRoundShift));
        r[i] = _mm512_fnmadd_pd(kd, _mm512_set1_pd(kLn2Div16), x[i]);
    }
#pragma GCC unroll 8
    KILN_EACH p[i] = _mm512_fmadd_pd(r[i], _mm512_set1_pd(kC6), _mm512_set1_pd(kC5));
#pragma GCC unroll 8
    KILN_EACH p[i] = _mm512_fmadd_pd(r[i], p[i], _mm512_set1_pd(kC4));
#pragma GCC unroll 8
    KILN_EACH p[i] = _mm512_fmadd_pd(r[i], p[i], _mm512_set1_pd(kC3));
#pragma GCC unroll 8
    KILN_EACH p[i] = _mm512_fmadd_pd(r[i], p[i], _mm512_set1_pd(kC2));
#pragma GCC unroll 8
    KILN_EACH p[i] = _mm512_fmadd_pd(r[i], p[i], _mm512_set1_pd(1.0));
#pragma GCC unroll 8
    KILN_EACH {
        const __m512d q = _mm512_mul_pd(r[i], p[i]);
        const __m512i kbits = _mm512_castpd_si512(t[i]);
        // The low four bits of each 64-bit index select among the 16
        // entries; adding k << 48 to an entry's bits (see Table) makes it
        // 2^(k >> 4) * 2^((k & 15)/16), exactly.
        const __m512i tj = _mm512_castpd_si512(_mm512_permutex2var_pd(table_lo, kbits, table_hi));
        const __m512d s = _mm512_castsi512_pd(_mm512_add_epi64(tj, _mm512_slli_epi64(kbits, 48)));
        const __m512d y = _mm512_fmadd_pd(s, q, s);
        up[i] = _mm512_cvtpd_ps(_mm512_mul_pd(y, _mm512_set1_pd(kTestUp)));
        down[i] = _mm512_cvtpd_ps(_mm512_mul_pd(y, _mm512_set1_pd(kTestDown)));
    }
}
#undef KILN_EACH

// The table in two registers of eight entries each, entry j with j << 48
// taken off its bits. The low 16 bits of k sit in bits 0..15 of t's bits,
// so adding t's bits shifted left by 48 adds (k >> 4) to the exponent field
// and puts back j = k & 15: entry j becomes 2^(k >> 4) * 2^(j/16). The
// result stays a normal double for every clamped x.
struct Table {
    __m512d lo = biased(_mm512_load_pd(kExp2Table), 0);
    __m512d hi = biased(_mm512_load_pd(kExp2Table + 8), 8);
    static __m512d biased(__m512d entries, long long first) {
        const __m512i j = _mm512_add_epi64(_mm512_set1_epi64(first),
                                           _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7));
        return _mm512_castsi512_pd(
            _mm512_sub_epi64(_mm512_castpd_si512(entries), _mm512_slli_epi64(j, 48)));
    }
};

// exp of V vectors of sixteen floats, with the rare undecided lanes redone
// one by one. Lanes outside valid[v] are computed but never redone.
template <std::size_t V>
inline void exp_floats(const Table& tab, const __m512* arg, const __mmask16* valid, __m512* out) {
    __m512d x[2 * V];
#pragma GCC unroll 4
    for (std::size_t v = 0; v < V; ++v) {
        __m512 c = simd::Avx512::max(_mm512_set1_ps(static_cast<float>(kClampLo)), arg[v]);
        c = simd::Avx512::min(_mm512_set1_ps(static_cast<float>(kClampHi)), c);
        x[2 * v] = _mm512_cvtps_pd(_mm512_castps512_ps256(c));
        x[2 * v + 1] = _mm512_cvtps_pd(_mm512_extractf32x8_ps(c, 1));
    }
    __m256 up[2 * V], down[2 * V];
    exp_doubles<2 * V>(x, tab.lo, tab.hi, up, down);
#pragma GCC unroll 4
    for (std::size_t v = 0; v < V; ++v) {
        out[v] = _mm512_insertf32x8(_mm512_castps256_ps512(up[2 * v]), up[2 * v + 1], 1);
        const __m512 dn = _mm512_insertf32x8(_mm512_castps256_ps512(down[2 * v]), down[2 * v + 1], 1);
        const __mmask16 undecided = _mm512_cmp_ps_mask(out[v], dn, _CMP_NEQ_UQ) & valid[v];
        if (undecided) [[unlikely]] {
            alignas(64) float a[16], e[16];
            _mm512_store_ps(a, arg[v]);
            _mm512_store_ps(e, out[v]);
            for (unsigned i = 0; i < 16; ++i)
                if (undecided & (1u << i)) e[i] = exp_hard(a[i]);
            out[v] = _mm512_load_ps(e);
        }
    }
}

// The exponential as the loops of exp_loops.hpp see it.
struct ExpAvx512 : simd::Avx512 {
    using Table = activations::Table;
    // Lanes wanted of a vector.
    using Valid = __mmask16;
    static constexpr Valid kAllValid = 0xFFFF;
    // Vectors per step of a run that also sums its values in order (see
    // exp_run); as in the plain runs, the width it was tuned with.
    static constexpr std::size_t kSumGroup = 4;
    static Valid valid(std::size_t len) { return part_mask(len); }
    static Table table() { return Table{}; }
    template <std::size_t N>
    static void exp(const Table& t, const Vec* arg, const Valid* valid, Vec* out) {
        exp_floats<N>(t, arg, valid, out);
    }
    // The same with vector v's arguments from arg_of(v); this form always
    // clamps, so NonPositive changes nothing here.
    template <std::size_t N, bool NonPositive, class ArgOf>
    static void exp_of(const Table& t, ArgOf arg_of, const Valid* valid, Vec* out) {
        Vec arg[N];
        for (std::size_t v = 0; v < N; ++v) arg[v] = arg_of(v);
        exp_floats<N>(t, arg, valid, out);
    }
};

}  // namespace
}  // namespace kiln::activations
