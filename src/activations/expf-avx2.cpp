// AVX2 form of the correctly rounded exponential and the softmax loops.
// Eight floats per step, evaluated as two vectors of four doubles with
// exactly the operations of exp_cr() in expf-scalar.cpp; lanes that fail
// the rounding test (rare) and NaN lanes are redone by exp_hard().
#include <immintrin.h>

#include "activations/expf.hpp"

namespace kiln::activations {

namespace {

using namespace expf_consts;

// The table with j << 48 taken off the bits of entry j. The low 16 bits of
// k sit in bits 0..15 of t's bits, so adding t's bits shifted left by 48
// adds (k >> 4) to the exponent field and puts back j = k & 15. The result
// stays a normal double for every clamped x.
struct BiasedTable {
    alignas(32) double v[16];
    BiasedTable() {
        for (int j = 0; j < 16; ++j) {
            const __m128i bits = _mm_castpd_si128(_mm_set_sd(kExp2Table[j]));
            const __m128i biased = _mm_sub_epi64(bits, _mm_set_epi64x(0, static_cast<long long>(j) << 48));
            v[j] = _mm_cvtsd_f64(_mm_castsi128_pd(biased));
        }
    }
};

// exp of four clamped doubles, up to the rounding test.
inline void exp4(__m256d x, const double* table, __m128* up, __m128* down) {
    const __m256d t = _mm256_add_pd(_mm256_mul_pd(x, _mm256_set1_pd(kInvLn2x16)),
                                    _mm256_set1_pd(kRoundShift));
    const __m256d kd = _mm256_sub_pd(t, _mm256_set1_pd(kRoundShift));
    const __m256d r = _mm256_sub_pd(x, _mm256_mul_pd(kd, _mm256_set1_pd(kLn2Div16)));
    __m256d p = _mm256_add_pd(_mm256_set1_pd(kC5), _mm256_mul_pd(r, _mm256_set1_pd(kC6)));
    p = _mm256_add_pd(_mm256_set1_pd(kC4), _mm256_mul_pd(r, p));
    p = _mm256_add_pd(_mm256_set1_pd(kC3), _mm256_mul_pd(r, p));
    p = _mm256_add_pd(_mm256_set1_pd(kC2), _mm256_mul_pd(r, p));
    p = _mm256_add_pd(_mm256_set1_pd(1.0), _mm256_mul_pd(r, p));
    const __m256d q = _mm256_mul_pd(r, p);
    const __m256i kbits = _mm256_castpd_si256(t);
    const __m256i j = _mm256_and_si256(kbits, _mm256_set1_epi64x(15));
    // Adding k << 48 to the bits of biased entry j gives
    // 2^(k >> 4) * 2^((k & 15)/16), exactly (see BiasedTable).
    const __m256i tj = _mm256_castpd_si256(_mm256_i64gather_pd(table, j, 8));
    const __m256d s = _mm256_castsi256_pd(_mm256_add_epi64(tj, _mm256_slli_epi64(kbits, 48)));
    const __m256d y = _mm256_add_pd(s, _mm256_mul_pd(s, q));
    *up = _mm256_cvtpd_ps(_mm256_mul_pd(y, _mm256_set1_pd(kTestUp)));
    *down = _mm256_cvtpd_ps(_mm256_mul_pd(y, _mm256_set1_pd(kTestDown)));
}

// exp of eight floats, with the rare undecided lanes redone one by one.
// Lanes outside `valid` (a bit mask) are computed but never redone.
inline __m256 exp8(__m256 arg, int valid, const double* table) {
    __m256 x = _mm256_max_ps(_mm256_set1_ps(static_cast<float>(kClampLo)), arg);
    x = _mm256_min_ps(_mm256_set1_ps(static_cast<float>(kClampHi)), x);
    __m128 up0, down0, up1, down1;
    exp4(_mm256_cvtps_pd(_mm256_castps256_ps128(x)), table, &up0, &down0);
    exp4(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)), table, &up1, &down1);
    __m256 up = _mm256_insertf128_ps(_mm256_castps128_ps256(up0), up1, 1);
    const __m256 down = _mm256_insertf128_ps(_mm256_castps128_ps256(down0), down1, 1);
    const int undecided = _mm256_movemask_ps(_mm256_cmp_ps(up, down, _CMP_NEQ_UQ)) & valid;
    if (undecided) [[unlikely]] {
        alignas(32) float a[8], v[8];
        _mm256_store_ps(a, arg);
        _mm256_store_ps(v, up);
        for (int i = 0; i < 8; ++i)
            if (undecided & (1 << i)) v[i] = exp_hard(a[i]);
        up = _mm256_load_ps(v);
    }
    return up;
}

// Copies len < 8 floats into a zero-padded vector.
inline __m256 load_tail(const float* p, std::size_t len) {
    alignas(32) float buf[8] = {};
    for (std::size_t i = 0; i < len; ++i) buf[i] = p[i];
    return _mm256_load_ps(buf);
}

inline void store_tail(float* p, __m256 v, std::size_t len) {
    alignas(32) float buf[8];
    _mm256_store_ps(buf, v);
    for (std::size_t i = 0; i < len; ++i) p[i] = buf[i];
}

}  // namespace

void exp_f32_avx2(const float* in, float* out, std::size_t n) {
    const BiasedTable tab;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, exp8(_mm256_loadu_ps(in + i), 0xFF, tab.v));
    if (i < n) store_tail(out + i, exp8(load_tail(in + i, n - i), (1 << (n - i)) - 1, tab.v), n - i);
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

void exp_sub_f32_avx2(const float* in, float m, float* out, std::size_t n) {
    const BiasedTable tab;
    const __m256 mv = _mm256_set1_ps(m);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(out + i, exp8(_mm256_sub_ps(_mm256_loadu_ps(in + i), mv), 0xFF, tab.v));
    if (i < n) {
        const __m256 arg = _mm256_sub_ps(load_tail(in + i, n - i), mv);
        store_tail(out + i, exp8(arg, (1 << (n - i)) - 1, tab.v), n - i);
    }
}

void max_step_f32_avx2(const float* in, float* m, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(m + i, _mm256_max_ps(_mm256_loadu_ps(in + i), _mm256_loadu_ps(m + i)));
    for (; i < n; ++i) m[i] = in[i] > m[i] ? in[i] : m[i];
}

void exp_sub_step_f32_avx2(const float* in, const float* m, float* out, float* sum, std::size_t n) {
    const BiasedTable tab;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 arg = _mm256_sub_ps(_mm256_loadu_ps(in + i), _mm256_loadu_ps(m + i));
        const __m256 e = exp8(arg, 0xFF, tab.v);
        _mm256_storeu_ps(out + i, e);
        _mm256_storeu_ps(sum + i, _mm256_add_ps(_mm256_loadu_ps(sum + i), e));
    }
    if (i < n) {
        const std::size_t len = n - i;
        const __m256 arg = _mm256_sub_ps(load_tail(in + i, len), load_tail(m + i, len));
        const __m256 e = exp8(arg, (1 << len) - 1, tab.v);
        store_tail(out + i, e, len);
        store_tail(sum + i, _mm256_add_ps(load_tail(sum + i, len), e), len);
    }
}

}  // namespace kiln::activations
