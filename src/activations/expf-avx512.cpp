// AVX-512 form of the correctly rounded exponential and the softmax loops.
// Sixteen floats per vector, evaluated as two vectors of eight doubles with
// exactly the operations of exp_cr() in expf-scalar.cpp, several vectors
// at a time in the main loops; lanes that fail the rounding test (rare) and
// NaN lanes are redone by exp_hard().
#include <immintrin.h>

#include <cstddef>

#include "activations/expf.hpp"

namespace kiln::activations {

namespace {

using namespace expf_consts;

// MAXPS(a, b) = a > b ? a : b and MINPS(a, b) = a < b ? a : b, per lane:
// the second operand whenever the comparison fails (NaN, equal zeros).
// Written with an all-ones zero-mask, which compiles to the plain
// instructions and avoids a false uninitialised-value warning of GCC 12.
inline __m512 vmax(__m512 a, __m512 b) { return _mm512_maskz_max_ps(0xFFFF, a, b); }
inline __m512 vmin(__m512 a, __m512 b) { return _mm512_maskz_min_ps(0xFFFF, a, b); }

// exp of N vectors of eight clamped doubles, up to the rounding test:
// up[i] gets the float roundings of y * (1 + 2^-43), down[i] those of
// y * (1 - 2^-43). The N evaluations advance stage by stage together, so
// that their long dependency chains overlap instead of filling the
// scheduler one at a time; each takes exactly the steps of exp_cr().
#define KILN_EACH for (std::size_t i = 0; i < N; ++i)
template <std::size_t N>
inline void exp8(const __m512d* x, const __m512d table_lo, const __m512d table_hi, __m256* up,
                 __m256* down) {
    __m512d t[N], r[N], p[N];
#pragma GCC unroll 8
    KILN_EACH t[i] = _mm512_add_pd(_mm512_mul_pd(x[i], _mm512_set1_pd(kInvLn2x16)),
                                   _mm512_set1_pd(kRoundShift));
#pragma GCC unroll 8
    KILN_EACH {
        const __m512d kd = _mm512_sub_pd(t[i], _mm512_set1_pd(kRoundShift));
        r[i] = _mm512_sub_pd(x[i], _mm512_mul_pd(kd, _mm512_set1_pd(kLn2Div16)));
    }
#pragma GCC unroll 8
    KILN_EACH p[i] = _mm512_add_pd(_mm512_set1_pd(kC5), _mm512_mul_pd(r[i], _mm512_set1_pd(kC6)));
#pragma GCC unroll 8
    KILN_EACH p[i] = _mm512_add_pd(_mm512_set1_pd(kC4), _mm512_mul_pd(r[i], p[i]));
#pragma GCC unroll 8
    KILN_EACH p[i] = _mm512_add_pd(_mm512_set1_pd(kC3), _mm512_mul_pd(r[i], p[i]));
#pragma GCC unroll 8
    KILN_EACH p[i] = _mm512_add_pd(_mm512_set1_pd(kC2), _mm512_mul_pd(r[i], p[i]));
#pragma GCC unroll 8
    KILN_EACH p[i] = _mm512_add_pd(_mm512_set1_pd(1.0), _mm512_mul_pd(r[i], p[i]));
#pragma GCC unroll 8
    KILN_EACH {
        const __m512d q = _mm512_mul_pd(r[i], p[i]);
        const __m512i kbits = _mm512_castpd_si512(t[i]);
        // The low four bits of each 64-bit index select among the 16
        // entries; adding k << 48 to an entry's bits (see Table) makes it
        // 2^(k >> 4) * 2^((k & 15)/16), exactly.
        const __m512i tj = _mm512_castpd_si512(_mm512_permutex2var_pd(table_lo, kbits, table_hi));
        const __m512d s = _mm512_castsi512_pd(_mm512_add_epi64(tj, _mm512_slli_epi64(kbits, 48)));
        const __m512d y = _mm512_add_pd(s, _mm512_mul_pd(s, q));
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
inline void exp16(const Table& tab, const __m512* arg, const __mmask16* valid, __m512* out) {
    __m512d x[2 * V];
#pragma GCC unroll 4
    for (std::size_t v = 0; v < V; ++v) {
        __m512 c = vmax(_mm512_set1_ps(static_cast<float>(kClampLo)), arg[v]);
        c = vmin(_mm512_set1_ps(static_cast<float>(kClampHi)), c);
        x[2 * v] = _mm512_cvtps_pd(_mm512_castps512_ps256(c));
        x[2 * v + 1] = _mm512_cvtps_pd(_mm512_extractf32x8_ps(c, 1));
    }
    __m256 up[2 * V], down[2 * V];
    exp8<2 * V>(x, tab.lo, tab.hi, up, down);
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

// exp of the lanes of one vector selected by valid.
inline __m512 exp_block(const Table& tab, __m512 arg, __mmask16 valid) {
    __m512 out;
    exp16<1>(tab, &arg, &valid, &out);
    return out;
}

// Vectors of sixteen exponentials evaluated together in the main loops.
constexpr std::size_t kGroup = 4;

inline __mmask16 tail_mask(std::size_t len) {
    return static_cast<__mmask16>((1u << len) - 1u);
}

constexpr __mmask16 kAllValid[kGroup] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};

// Lanes [16 v, len) of vector v of a group, as a mask.
inline __mmask16 group_mask(std::size_t len, std::size_t v) {
    const std::size_t from = 16 * v;
    return len >= from + 16 ? static_cast<__mmask16>(0xFFFF) : tail_mask(len > from ? len - from : 0);
}

// exp_rest for a group of V vectors.
template <std::size_t V, class Arg>
inline void exp_rest_v(const Table& tab, std::size_t len, Arg arg_of, __m512* e, __mmask16* mask) {
    __m512 arg[V];
    for (std::size_t v = 0; v < V; ++v) {
        mask[v] = group_mask(len, v);
        arg[v] = arg_of(16 * v, mask[v]);
    }
    exp16<V>(tab, arg, mask, e);
}

// The exponentials of the len < 16 * kGroup elements left after the whole
// groups, evaluated together as one group of ceil(len / 16) vectors (one
// at a time they would wait on each other's latency); arg_of(lo, mask)
// gives the arguments of lanes [lo, lo + 16) within mask. Returns the
// vectors in e and their lanes in mask.
template <class Arg>
inline std::size_t exp_rest(const Table& tab, std::size_t len, Arg arg_of, __m512* e, __mmask16* mask) {
    const std::size_t vectors = (len + 15) / 16;
    switch (vectors) {
        case 1: exp_rest_v<1>(tab, len, arg_of, e, mask); break;
        case 2: exp_rest_v<2>(tab, len, arg_of, e, mask); break;
        case 3: exp_rest_v<3>(tab, len, arg_of, e, mask); break;
        default: exp_rest_v<4>(tab, len, arg_of, e, mask); break;
    }
    return vectors;
}

}  // namespace

void exp_f32_avx512(const float* in, float* out, std::size_t n) {
    const Table tab;
    std::size_t i = 0;
    for (; i + 16 * kGroup <= n; i += 16 * kGroup) {
        __m512 arg[kGroup], e[kGroup];
        for (std::size_t v = 0; v < kGroup; ++v) arg[v] = _mm512_loadu_ps(in + i + 16 * v);
        exp16<kGroup>(tab, arg, kAllValid, e);
        for (std::size_t v = 0; v < kGroup; ++v) _mm512_storeu_ps(out + i + 16 * v, e[v]);
    }
    if (i < n) {
        __m512 e[kGroup];
        __mmask16 mask[kGroup];
        const float* rest = in + i;
        const std::size_t vectors = exp_rest(tab, n - i, [rest](std::size_t lo, __mmask16 m) {
            return _mm512_maskz_loadu_ps(m, rest + lo);
        }, e, mask);
        for (std::size_t v = 0; v < vectors; ++v) _mm512_mask_storeu_ps(out + i + 16 * v, mask[v], e[v]);
    }
}

float lane_max_f32_avx512(const float* in, std::size_t n) {
    const __m512 seed = _mm512_set1_ps(-0x1.fffffep+127f);
    // MAXPS(v, m) = v > m ? v : m, per lane.
    __m512 m0 = seed, m1 = seed, m2 = seed, m3 = seed;
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        m0 = vmax(_mm512_loadu_ps(in + i), m0);
        m1 = vmax(_mm512_loadu_ps(in + i + 16), m1);
        m2 = vmax(_mm512_loadu_ps(in + i + 32), m2);
        m3 = vmax(_mm512_loadu_ps(in + i + 48), m3);
    }
    for (; i + 16 <= n; i += 16) m0 = vmax(_mm512_loadu_ps(in + i), m0);
    if (i < n) m1 = vmax(_mm512_mask_loadu_ps(seed, tail_mask(n - i), in + i), m1);
    // The maximum of a set of non-NaN values; only the sign of a zero
    // maximum can depend on the order, and exp(v - (+0)) = exp(v - (-0)).
    m0 = vmax(vmax(m0, m1), vmax(m2, m3));
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, m0);
    float m = lanes[0];
    for (int k = 1; k < 16; ++k) m = lanes[k] > m ? lanes[k] : m;
    return m;
}

namespace {

// out[i] = exp(in[i] - m); with Sum, also sum = sum + out[i] in order of i.
// The additions of each group follow its exponentials in the same loop, so
// the chain of dependent additions runs alongside the next group's
// exponentials.
template <bool Sum>
float exp_sub_loop(const float* in, float m, float* out, std::size_t n, float sum) {
    const Table tab;
    const __m512 mv = _mm512_set1_ps(m);
    std::size_t i = 0;
    for (; i + 16 * kGroup <= n; i += 16 * kGroup) {
        __m512 arg[kGroup], e[kGroup];
        for (std::size_t v = 0; v < kGroup; ++v)
            arg[v] = _mm512_sub_ps(_mm512_loadu_ps(in + i + 16 * v), mv);
        exp16<kGroup>(tab, arg, kAllValid, e);
        for (std::size_t v = 0; v < kGroup; ++v) _mm512_storeu_ps(out + i + 16 * v, e[v]);
        if constexpr (Sum) {
            for (std::size_t l = 0; l < 16 * kGroup; ++l) sum = sum + out[i + l];
        }
    }
    if (i < n) {
        __m512 e[kGroup];
        __mmask16 mask[kGroup];
        const float* rest = in + i;
        const std::size_t vectors = exp_rest(tab, n - i, [rest, mv](std::size_t lo, __mmask16 m) {
            return _mm512_sub_ps(_mm512_maskz_loadu_ps(m, rest + lo), mv);
        }, e, mask);
        for (std::size_t v = 0; v < vectors; ++v) _mm512_mask_storeu_ps(out + i + 16 * v, mask[v], e[v]);
        if constexpr (Sum) {
            for (; i < n; ++i) sum = sum + out[i];
        }
    }
    return sum;
}

}  // namespace

void exp_sub_f32_avx512(const float* in, float m, float* out, std::size_t n) {
    exp_sub_loop<false>(in, m, out, n, 0.0f);
}

float exp_sub_sum_f32_avx512(const float* in, float m, float* out, std::size_t n, float sum) {
    return exp_sub_loop<true>(in, m, out, n, sum);
}

void scale_f32_avx512(float* x, float s, std::size_t n) {
    const __m512 sv = _mm512_set1_ps(s);
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        for (std::size_t v = 0; v < 64; v += 16)
            _mm512_storeu_ps(x + i + v, _mm512_mul_ps(_mm512_loadu_ps(x + i + v), sv));
    }
    for (; i + 16 <= n; i += 16) _mm512_storeu_ps(x + i, _mm512_mul_ps(_mm512_loadu_ps(x + i), sv));
    if (i < n) {
        const __mmask16 mask = tail_mask(n - i);
        _mm512_mask_storeu_ps(x + i, mask, _mm512_mul_ps(_mm512_maskz_loadu_ps(mask, x + i), sv));
    }
}

void max_step_f32_avx512(const float* in, float* m, std::size_t n) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16)
        _mm512_storeu_ps(m + i, vmax(_mm512_loadu_ps(in + i), _mm512_loadu_ps(m + i)));
    if (i < n) {
        const __mmask16 mask = tail_mask(n - i);
        _mm512_mask_storeu_ps(m + i, mask,
                              vmax(_mm512_maskz_loadu_ps(mask, in + i),
                                            _mm512_maskz_loadu_ps(mask, m + i)));
    }
}

namespace {

// exp_sub_step_f32_avx512 for more than one vector of lanes: whole groups,
// then the rest as one group. Kept out of line: narrow strips (one vector
// per row) never come here and so do not pay for setting up the group
// loop's registers on every call.
[[gnu::noinline]] void exp_sub_step_wide(const float* in, const float* m, float* out, float* sum,
                                         std::size_t n) {
    const Table tab;
    std::size_t i = 0;
    for (; i + 16 * kGroup <= n; i += 16 * kGroup) {
        __m512 arg[kGroup], e[kGroup];
        for (std::size_t v = 0; v < kGroup; ++v)
            arg[v] = _mm512_sub_ps(_mm512_loadu_ps(in + i + 16 * v), _mm512_loadu_ps(m + i + 16 * v));
        exp16<kGroup>(tab, arg, kAllValid, e);
        for (std::size_t v = 0; v < kGroup; ++v) {
            _mm512_storeu_ps(out + i + 16 * v, e[v]);
            _mm512_storeu_ps(sum + i + 16 * v, _mm512_add_ps(_mm512_loadu_ps(sum + i + 16 * v), e[v]));
        }
    }
    if (i < n) {
        __m512 e[kGroup];
        __mmask16 mask[kGroup];
        const float* rest_in = in + i;
        const float* rest_m = m + i;
        const std::size_t vectors = exp_rest(tab, n - i, [rest_in, rest_m](std::size_t lo, __mmask16 k) {
            return _mm512_sub_ps(_mm512_maskz_loadu_ps(k, rest_in + lo), _mm512_maskz_loadu_ps(k, rest_m + lo));
        }, e, mask);
        for (std::size_t v = 0; v < vectors; ++v) {
            float* s = sum + i + 16 * v;
            _mm512_mask_storeu_ps(out + i + 16 * v, mask[v], e[v]);
            _mm512_mask_storeu_ps(s, mask[v], _mm512_add_ps(_mm512_maskz_loadu_ps(mask[v], s), e[v]));
        }
    }
}

}  // namespace

void exp_sub_step_f32_avx512(const float* in, const float* m, float* out, float* sum, std::size_t n) {
    if (n > 16) return exp_sub_step_wide(in, m, out, sum, n);
    const Table tab;
    if (n == 16) {
        const __m512 arg = _mm512_sub_ps(_mm512_loadu_ps(in), _mm512_loadu_ps(m));
        const __m512 e = exp_block(tab, arg, 0xFFFF);
        _mm512_storeu_ps(out, e);
        _mm512_storeu_ps(sum, _mm512_add_ps(_mm512_loadu_ps(sum), e));
    } else if (n > 0) {
        const __mmask16 mask = tail_mask(n);
        const __m512 arg = _mm512_sub_ps(_mm512_maskz_loadu_ps(mask, in), _mm512_maskz_loadu_ps(mask, m));
        const __m512 e = exp_block(tab, arg, mask);
        _mm512_mask_storeu_ps(out, mask, e);
        _mm512_mask_storeu_ps(sum, mask, _mm512_add_ps(_mm512_maskz_loadu_ps(mask, sum), e));
    }
}

}  // namespace kiln::activations
