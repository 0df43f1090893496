// AVX-512 form of the correctly rounded exponential and the softmax loops.
// Sixteen floats per step, evaluated as two vectors of eight doubles with
// exactly the operations of exp_cr() in expf-scalar.cpp; lanes that fail
// the rounding test (rare) and NaN lanes are redone by exp_hard().
#include <immintrin.h>

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

// exp of eight clamped doubles, up to the rounding test: returns the float
// roundings of y * (1 + 2^-43) (in *up) and y * (1 - 2^-43) (in *down).
inline void exp8(__m512d x, const __m512d table_lo, const __m512d table_hi, __m256* up,
                 __m256* down) {
    const __m512d t = _mm512_add_pd(_mm512_mul_pd(x, _mm512_set1_pd(kInvLn2x16)),
                                    _mm512_set1_pd(kRoundShift));
    const __m512d kd = _mm512_sub_pd(t, _mm512_set1_pd(kRoundShift));
    const __m512d r = _mm512_sub_pd(x, _mm512_mul_pd(kd, _mm512_set1_pd(kLn2Div16)));
    __m512d p = _mm512_add_pd(_mm512_set1_pd(kC5), _mm512_mul_pd(r, _mm512_set1_pd(kC6)));
    p = _mm512_add_pd(_mm512_set1_pd(kC4), _mm512_mul_pd(r, p));
    p = _mm512_add_pd(_mm512_set1_pd(kC3), _mm512_mul_pd(r, p));
    p = _mm512_add_pd(_mm512_set1_pd(kC2), _mm512_mul_pd(r, p));
    p = _mm512_add_pd(_mm512_set1_pd(1.0), _mm512_mul_pd(r, p));
    const __m512d q = _mm512_mul_pd(r, p);
    const __m512i kbits = _mm512_castpd_si512(t);
    // The low four bits of each 64-bit index select among the 16 entries;
    // adding k << 48 to an entry's bits (see Table) makes it
    // 2^(k >> 4) * 2^((k & 15)/16), exactly.
    const __m512i tj = _mm512_castpd_si512(_mm512_permutex2var_pd(table_lo, kbits, table_hi));
    const __m512d s = _mm512_castsi512_pd(_mm512_add_epi64(tj, _mm512_slli_epi64(kbits, 48)));
    const __m512d y = _mm512_add_pd(s, _mm512_mul_pd(s, q));
    *up = _mm512_cvtpd_ps(_mm512_mul_pd(y, _mm512_set1_pd(kTestUp)));
    *down = _mm512_cvtpd_ps(_mm512_mul_pd(y, _mm512_set1_pd(kTestDown)));
}

// exp of sixteen floats; *undecided gets the lanes to redo.
inline __m512 exp16(__m512 x, const __m512d table_lo, const __m512d table_hi,
                    __mmask16* undecided) {
    x = vmax(_mm512_set1_ps(static_cast<float>(kClampLo)), x);
    x = vmin(_mm512_set1_ps(static_cast<float>(kClampHi)), x);
    __m256 up0, down0, up1, down1;
    exp8(_mm512_cvtps_pd(_mm512_castps512_ps256(x)), table_lo, table_hi, &up0, &down0);
    exp8(_mm512_cvtps_pd(_mm512_extractf32x8_ps(x, 1)), table_lo, table_hi, &up1, &down1);
    const __m512 up = _mm512_insertf32x8(_mm512_castps256_ps512(up0), up1, 1);
    const __m512 down = _mm512_insertf32x8(_mm512_castps256_ps512(down0), down1, 1);
    *undecided = _mm512_cmp_ps_mask(up, down, _CMP_NEQ_UQ);
    return up;
}

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

// exp of the lanes of arg selected by valid, with the rare undecided lanes
// redone one by one.
inline __m512 exp_block(const Table& tab, __m512 arg, __mmask16 valid) {
    __mmask16 undecided;
    __m512 e = exp16(arg, tab.lo, tab.hi, &undecided);
    undecided &= valid;
    if (undecided) [[unlikely]] {
        alignas(64) float a[16], v[16];
        _mm512_store_ps(a, arg);
        _mm512_store_ps(v, e);
        for (unsigned i = 0; i < 16; ++i)
            if (undecided & (1u << i)) v[i] = exp_hard(a[i]);
        e = _mm512_load_ps(v);
    }
    return e;
}

inline __mmask16 tail_mask(std::size_t len) {
    return static_cast<__mmask16>((1u << len) - 1u);
}

}  // namespace

void exp_f32_avx512(const float* in, float* out, std::size_t n) {
    const Table tab;
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16)
        _mm512_storeu_ps(out + i, exp_block(tab, _mm512_loadu_ps(in + i), 0xFFFF));
    if (i < n) {
        const __mmask16 mask = tail_mask(n - i);
        const __m512 x = _mm512_maskz_loadu_ps(mask, in + i);
        _mm512_mask_storeu_ps(out + i, mask, exp_block(tab, x, mask));
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

void exp_sub_f32_avx512(const float* in, float m, float* out, std::size_t n) {
    const Table tab;
    const __m512 mv = _mm512_set1_ps(m);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512 arg = _mm512_sub_ps(_mm512_loadu_ps(in + i), mv);
        _mm512_storeu_ps(out + i, exp_block(tab, arg, 0xFFFF));
    }
    if (i < n) {
        const __mmask16 mask = tail_mask(n - i);
        const __m512 arg = _mm512_sub_ps(_mm512_maskz_loadu_ps(mask, in + i), mv);
        _mm512_mask_storeu_ps(out + i, mask, exp_block(tab, arg, mask));
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

void exp_sub_step_f32_avx512(const float* in, const float* m, float* out, float* sum, std::size_t n) {
    const Table tab;
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512 arg = _mm512_sub_ps(_mm512_loadu_ps(in + i), _mm512_loadu_ps(m + i));
        const __m512 e = exp_block(tab, arg, 0xFFFF);
        _mm512_storeu_ps(out + i, e);
        _mm512_storeu_ps(sum + i, _mm512_add_ps(_mm512_loadu_ps(sum + i), e));
    }
    if (i < n) {
        const __mmask16 mask = tail_mask(n - i);
        const __m512 arg =
            _mm512_sub_ps(_mm512_maskz_loadu_ps(mask, in + i), _mm512_maskz_loadu_ps(mask, m + i));
        const __m512 e = exp_block(tab, arg, mask);
        _mm512_mask_storeu_ps(out + i, mask, e);
        _mm512_mask_storeu_ps(sum + i, mask, _mm512_add_ps(_mm512_maskz_loadu_ps(mask, sum + i), e));
    }
}

}  // namespace kiln::activations
