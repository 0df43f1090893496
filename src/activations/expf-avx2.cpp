// AVX2 form of the correctly rounded exponential and the softmax loops.
// Eight floats per step, evaluated as two vectors of four doubles with the
// steps of exp_cr() in expf-scalar.cpp, except that the argument is reduced
// by ln2/8 with an 8-entry table (picked by permutes) and the polynomial's
// terms are paired; lanes that fail the rounding test (rare) and NaN lanes
// are redone by exp_hard(), so every result is the correctly rounded one,
// as in the other forms.
#include <immintrin.h>

#include "activations/expf.hpp"

namespace kiln::activations {

namespace {

using namespace expf_consts;

// This form reduces by ln2/8 rather than ln2/16: 2^(j/8) are every second
// entry of kExp2Table, so the table fits two registers and an entry takes
// two permutes and one blend. Then |r| <= 0.0434 and the degree-6
// polynomial leaves y with a relative error below 2^-43.4, so the rounding
// test uses the wider bounds 1 -+ 2^-42 (undecided about once in 200000).
constexpr double kInvLn2x8 = kInvLn2x16 / 2;  // both scalings are exact
constexpr double kLn2Div8 = kLn2Div16 * 2;
constexpr double kWideTestUp = 1.0 + 0x1p-42;
constexpr double kWideTestDown = 1.0 - 0x1p-42;

// The table 2^(j/8) with j << 49 taken off the bits of entry j. The low 15
// bits of k sit in bits 0..14 of t's bits, so adding t's bits shifted left
// by 49 adds (k >> 3) to the exponent field and puts back j = k & 7. The
// result stays a normal double for every clamped x.
//
// The eight entries are held in two registers of four entries each, so
// that an entry is picked with in-register permutes instead of a gather
// (a gather is several times slower on some processors).
struct BiasedTable {
    __m256 half[2];  // entries 4h .. 4h + 3, as pairs of 32-bit halves
    BiasedTable() {
        alignas(32) double v[8];
        for (int j = 0; j < 8; ++j) {
            const __m128i bits = _mm_castpd_si128(_mm_set_sd(kExp2Table[2 * j]));
            const __m128i biased = _mm_sub_epi64(bits, _mm_set_epi64x(0, static_cast<long long>(j) << 49));
            v[j] = _mm_cvtsd_f64(_mm_castsi128_pd(biased));
        }
        for (int h = 0; h < 2; ++h) half[h] = _mm256_castpd_ps(_mm256_load_pd(v + 4 * h));
    }
};

// Entry j (0 .. 7, one per 64-bit lane) of the biased table. Each 64-bit
// lane picks its two 32-bit halves from each half of the table, at
// positions 2 * (j & 3) and 2 * (j & 3) + 1; bit 2 of j then chooses.
inline __m256i table_entry(const BiasedTable& table, __m256i j) {
    const __m256i pair = _mm256_slli_epi64(_mm256_and_si256(j, _mm256_set1_epi64x(3)), 1);
    const __m256i index = _mm256_or_si256(pair, _mm256_slli_epi64(_mm256_add_epi64(pair, _mm256_set1_epi64x(1)), 32));
    const __m256d e0 = _mm256_castps_pd(_mm256_permutevar8x32_ps(table.half[0], index));
    const __m256d e1 = _mm256_castps_pd(_mm256_permutevar8x32_ps(table.half[1], index));
    // blendv takes the second operand where the lane's sign bit is set.
    const __m256d bit2 = _mm256_castsi256_pd(_mm256_slli_epi64(j, 61));
    return _mm256_castpd_si256(_mm256_blendv_pd(e0, e1, bit2));
}

// exp of N vectors of four clamped doubles, up to the rounding test. The N
// evaluations advance stage by stage together, so that their long
// dependency chains overlap instead of filling the scheduler one at a time.
#define KILN_EACH for (std::size_t i = 0; i < N; ++i)
template <std::size_t N>
inline void exp4(const __m256d* x, const BiasedTable& table, __m128* up, __m128* down) {
    __m256d t[N], r[N], r2[N], p[N], y[N];
#pragma GCC unroll 8
    KILN_EACH t[i] = _mm256_add_pd(_mm256_mul_pd(x[i], _mm256_set1_pd(kInvLn2x8)), _mm256_set1_pd(kRoundShift));
#pragma GCC unroll 8
    KILN_EACH {
        const __m256d kd = _mm256_sub_pd(t[i], _mm256_set1_pd(kRoundShift));
        r[i] = _mm256_sub_pd(x[i], _mm256_mul_pd(kd, _mm256_set1_pd(kLn2Div8)));
    }
    // 1 + c2 r + ... + c6 r^5 in pairs of terms (a shorter dependency chain
    // than nested evaluation; the rounding test allows for either's error).
#pragma GCC unroll 8
    KILN_EACH {
        r2[i] = _mm256_mul_pd(r[i], r[i]);
        const __m256d p01 = _mm256_add_pd(_mm256_set1_pd(1.0), _mm256_mul_pd(r[i], _mm256_set1_pd(kC2)));
        const __m256d p23 = _mm256_add_pd(_mm256_set1_pd(kC3), _mm256_mul_pd(r[i], _mm256_set1_pd(kC4)));
        const __m256d p45 = _mm256_add_pd(_mm256_set1_pd(kC5), _mm256_mul_pd(r[i], _mm256_set1_pd(kC6)));
        p[i] = _mm256_add_pd(p01, _mm256_mul_pd(r2[i], _mm256_add_pd(p23, _mm256_mul_pd(r2[i], p45))));
    }
#pragma GCC unroll 8
    KILN_EACH {
        const __m256d q = _mm256_mul_pd(r[i], p[i]);
        const __m256i kbits = _mm256_castpd_si256(t[i]);
        const __m256i j = _mm256_and_si256(kbits, _mm256_set1_epi64x(7));
        // Adding k << 49 to the bits of biased entry j gives
        // 2^(k >> 3) * 2^((k & 7)/8), exactly (see BiasedTable).
        const __m256i tj = table_entry(table, j);
        const __m256d s = _mm256_castsi256_pd(_mm256_add_epi64(tj, _mm256_slli_epi64(kbits, 49)));
        y[i] = _mm256_add_pd(s, _mm256_mul_pd(s, q));
    }
#pragma GCC unroll 8
    KILN_EACH {
        up[i] = _mm256_cvtpd_ps(_mm256_mul_pd(y[i], _mm256_set1_pd(kWideTestUp)));
        down[i] = _mm256_cvtpd_ps(_mm256_mul_pd(y[i], _mm256_set1_pd(kWideTestDown)));
    }
}
#undef KILN_EACH

// exp of V vectors of eight floats, with the rare undecided lanes redone
// one by one. Lanes outside valid[v] (a bit mask per vector) are computed
// but never redone.
template <std::size_t V>
inline void exp8(const __m256* arg, const int* valid, const BiasedTable& table, __m256* out) {
    __m256d x[2 * V];
#pragma GCC unroll 4
    for (std::size_t v = 0; v < V; ++v) {
        __m256 c = _mm256_max_ps(_mm256_set1_ps(static_cast<float>(kClampLo)), arg[v]);
        c = _mm256_min_ps(_mm256_set1_ps(static_cast<float>(kClampHi)), c);
        x[2 * v] = _mm256_cvtps_pd(_mm256_castps256_ps128(c));
        x[2 * v + 1] = _mm256_cvtps_pd(_mm256_extractf128_ps(c, 1));
    }
    __m128 up[2 * V], down[2 * V];
    exp4<2 * V>(x, table, up, down);
#pragma GCC unroll 4
    for (std::size_t v = 0; v < V; ++v) {
        out[v] = _mm256_insertf128_ps(_mm256_castps128_ps256(up[2 * v]), up[2 * v + 1], 1);
        const __m256 dn = _mm256_insertf128_ps(_mm256_castps128_ps256(down[2 * v]), down[2 * v + 1], 1);
        const int undecided = _mm256_movemask_ps(_mm256_cmp_ps(out[v], dn, _CMP_NEQ_UQ)) & valid[v];
        if (undecided) [[unlikely]] {
            alignas(32) float a[8], e[8];
            _mm256_store_ps(a, arg[v]);
            _mm256_store_ps(e, out[v]);
            for (int i = 0; i < 8; ++i)
                if (undecided & (1 << i)) e[i] = exp_hard(a[i]);
            out[v] = _mm256_load_ps(e);
        }
    }
}

// exp of one vector of eight floats.
inline __m256 exp8(__m256 arg, int valid, const BiasedTable& table) {
    __m256 out;
    exp8<1>(&arg, &valid, table, &out);
    return out;
}

// Vectors of eight exponentials evaluated together in the main loops (the
// column step also takes pairs, for strips narrower than a group).
constexpr std::size_t kGroup = 4;
constexpr int kAllValid[kGroup] = {0xFF, 0xFF, 0xFF, 0xFF};

// Lanes [0, len) of a vector, len < 8, as a mask for masked moves (which
// neither read nor write the other lanes, so nothing past the end of the
// data is touched).
inline __m256i tail_mask(std::size_t len) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(len)), lane);
}

// len < 8 floats in a vector whose other lanes are +0.0.
inline __m256 load_tail(const float* p, std::size_t len) { return _mm256_maskload_ps(p, tail_mask(len)); }

inline void store_tail(float* p, __m256 v, std::size_t len) { _mm256_maskstore_ps(p, tail_mask(len), v); }

}  // namespace

void exp_f32_avx2(const float* in, float* out, std::size_t n) {
    static const BiasedTable tab;
    std::size_t i = 0;
    for (; i + 8 * kGroup <= n; i += 8 * kGroup) {
        __m256 arg[kGroup], e[kGroup];
        for (std::size_t v = 0; v < kGroup; ++v) arg[v] = _mm256_loadu_ps(in + i + 8 * v);
        exp8<kGroup>(arg, kAllValid, tab, e);
        for (std::size_t v = 0; v < kGroup; ++v) _mm256_storeu_ps(out + i + 8 * v, e[v]);
    }
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, exp8(_mm256_loadu_ps(in + i), 0xFF, tab));
    if (i < n) store_tail(out + i, exp8(load_tail(in + i, n - i), (1 << (n - i)) - 1, tab), n - i);
}

float lane_max_f32_avx2(const float* in, std::size_t n) {
    const float lowest = -0x1.fffffep+127f;
    const __m256 seed = _mm256_set1_ps(lowest);
    // MAXPS(v, m) = v > m ? v : m, per lane.
    __m256 m0 = seed, m1 = seed, m2 = seed, m3 = seed;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        m0 = _mm256_max_ps(_mm256_loadu_ps(in + i), m0);
        m1 = _mm256_max_ps(_mm256_loadu_ps(in + i + 8), m1);
        m2 = _mm256_max_ps(_mm256_loadu_ps(in + i + 16), m2);
        m3 = _mm256_max_ps(_mm256_loadu_ps(in + i + 24), m3);
    }
    for (; i + 8 <= n; i += 8) m0 = _mm256_max_ps(_mm256_loadu_ps(in + i), m0);
    // The maximum of a set of non-NaN values; only the sign of a zero
    // maximum can depend on the order, and exp(v - (+0)) = exp(v - (-0)).
    m0 = _mm256_max_ps(_mm256_max_ps(m0, m1), _mm256_max_ps(m2, m3));
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, m0);
    float m = lanes[0];
    for (int k = 1; k < 8; ++k) m = lanes[k] > m ? lanes[k] : m;
    for (; i < n; ++i) m = in[i] > m ? in[i] : m;
    return m;
}

namespace {

// out[i] = exp(in[i] - m); with Sum, also sum = sum + out[i] in order of i.
// The additions of each group follow its exponentials in the same loop, so
// the chain of dependent additions runs alongside the next group's
// exponentials.
template <bool Sum>
float exp_sub_loop(const float* in, float m, float* out, std::size_t n, float sum) {
    static const BiasedTable tab;
    const __m256 mv = _mm256_set1_ps(m);
    std::size_t i = 0;
    for (; i + 8 * kGroup <= n; i += 8 * kGroup) {
        __m256 arg[kGroup], e[kGroup];
        for (std::size_t v = 0; v < kGroup; ++v) arg[v] = _mm256_sub_ps(_mm256_loadu_ps(in + i + 8 * v), mv);
        exp8<kGroup>(arg, kAllValid, tab, e);
        for (std::size_t v = 0; v < kGroup; ++v) _mm256_storeu_ps(out + i + 8 * v, e[v]);
        if constexpr (Sum) {
            for (std::size_t l = 0; l < 8 * kGroup; ++l) sum = sum + out[i + l];
        }
    }
    for (; i + 8 <= n; i += 8) {
        _mm256_storeu_ps(out + i, exp8(_mm256_sub_ps(_mm256_loadu_ps(in + i), mv), 0xFF, tab));
        if constexpr (Sum) {
            for (std::size_t l = 0; l < 8; ++l) sum = sum + out[i + l];
        }
    }
    if (i < n) {
        const __m256 arg = _mm256_sub_ps(load_tail(in + i, n - i), mv);
        store_tail(out + i, exp8(arg, (1 << (n - i)) - 1, tab), n - i);
        if constexpr (Sum) {
            for (; i < n; ++i) sum = sum + out[i];
        }
    }
    return sum;
}

}  // namespace

void exp_sub_f32_avx2(const float* in, float m, float* out, std::size_t n) {
    exp_sub_loop<false>(in, m, out, n, 0.0f);
}

float exp_sub_sum_f32_avx2(const float* in, float m, float* out, std::size_t n, float sum) {
    return exp_sub_loop<true>(in, m, out, n, sum);
}

void scale_f32_avx2(float* x, float s, std::size_t n) {
    const __m256 sv = _mm256_set1_ps(s);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        for (std::size_t v = 0; v < 32; v += 8)
            _mm256_storeu_ps(x + i + v, _mm256_mul_ps(_mm256_loadu_ps(x + i + v), sv));
    }
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, _mm256_mul_ps(_mm256_loadu_ps(x + i), sv));
    if (i < n) store_tail(x + i, _mm256_mul_ps(load_tail(x + i, n - i), sv), n - i);
}

void max_step_f32_avx2(const float* in, float* m, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(m + i, _mm256_max_ps(_mm256_loadu_ps(in + i), _mm256_loadu_ps(m + i)));
    for (; i < n; ++i) m[i] = in[i] > m[i] ? in[i] : m[i];
}

namespace {

// Columns [i, i + 8 * G) of one row of a column strip.
template <std::size_t G>
inline void exp_sub_step_group(const float* in, const float* m, float* out, float* sum, std::size_t i,
                               const BiasedTable& tab) {
    __m256 arg[G], e[G];
    for (std::size_t v = 0; v < G; ++v)
        arg[v] = _mm256_sub_ps(_mm256_loadu_ps(in + i + 8 * v), _mm256_loadu_ps(m + i + 8 * v));
    exp8<G>(arg, kAllValid, tab, e);
    for (std::size_t v = 0; v < G; ++v) {
        _mm256_storeu_ps(out + i + 8 * v, e[v]);
        _mm256_storeu_ps(sum + i + 8 * v, _mm256_add_ps(_mm256_loadu_ps(sum + i + 8 * v), e[v]));
    }
}

}  // namespace

void exp_sub_step_f32_avx2(const float* in, const float* m, float* out, float* sum, std::size_t n) {
    static const BiasedTable tab;
    std::size_t i = 0;
    for (; i + 8 * kGroup <= n; i += 8 * kGroup) exp_sub_step_group<kGroup>(in, m, out, sum, i, tab);
    for (; i + 16 <= n; i += 16) exp_sub_step_group<2>(in, m, out, sum, i, tab);
    for (; i + 8 <= n; i += 8) {
        const __m256 arg = _mm256_sub_ps(_mm256_loadu_ps(in + i), _mm256_loadu_ps(m + i));
        const __m256 e = exp8(arg, 0xFF, tab);
        _mm256_storeu_ps(out + i, e);
        _mm256_storeu_ps(sum + i, _mm256_add_ps(_mm256_loadu_ps(sum + i), e));
    }
    if (i < n) {
        const std::size_t len = n - i;
        const __m256 arg = _mm256_sub_ps(load_tail(in + i, len), load_tail(m + i, len));
        const __m256 e = exp8(arg, (1 << len) - 1, tab);
        store_tail(out + i, e, len);
        store_tail(sum + i, _mm256_add_ps(load_tail(sum + i, len), e), len);
    }
}

}  // namespace kiln::activations
