// The AVX2 core of the correctly rounded exponential (see exp.hpp), for
// exp-avx2.cpp and softmax-avx2.cpp. Eight floats per vector, evaluated as
// two vectors of four doubles with the steps of exp_cr() in exp-scalar.cpp,
// except that the argument is reduced by ln2/8 with an 8-entry table
// (picked by permutes) and the polynomial's terms are paired; lanes that
// fail the rounding test (rare) and NaN lanes are redone by exp_hard(), so
// every result is the correctly rounded one, as in the other forms.
//
// Each multiply followed by an add is one fused multiply-add (FMA3, which
// the table requires with AVX2), as C libraries do in their own
// exponentials on such processors: it skips one rounding per step, so y's
// error stays within the bound below, and the float result is the same
// correctly rounded one (tools/expf_check checks all 2^32 inputs). Only
// this internal evaluation fuses; softmax's own steps never do.
//
// Internal linkage throughout (see simd/avx2.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "activations/kernels/exp.hpp"
#include "simd/avx2.hpp"

namespace kiln::activations {
namespace {

using namespace expf_consts;

// This form reduces by ln2/8 rather than ln2/16: 2^(j/8) are every second
// entry of kExp2Table, so the table fits two registers and an entry takes
// two permutes and one blend. Then |r| <= 0.0434 and the degree-6
// polynomial leaves y with a relative error below 2^-43.4, so the rounding
// test uses the wider bounds 1 -+ 2^-42 (undecided about once in 130000).
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

// Entry j = k & 7 (one per 64-bit lane) of the biased table, from the
// bits of t, whose low bits hold k. vpermps reads only bits 0..2 of each
// 32-bit index, so the index pair of a 64-bit lane is its low half, copied
// to both halves, doubled, plus 0 and 1: 2 (k & 3) and 2 (k & 3) + 1,
// whatever the higher bits hold. Bit 2 of k then chooses the half.
inline __m256i table_entry(const BiasedTable& table, __m256i kbits) {
    const __m256i low = _mm256_shuffle_epi32(kbits, _MM_SHUFFLE(2, 2, 0, 0));
    const __m256i index = _mm256_or_si256(_mm256_slli_epi32(low, 1), _mm256_set1_epi64x(std::int64_t{1} << 32));
    const __m256d e0 = _mm256_castps_pd(_mm256_permutevar8x32_ps(table.half[0], index));
    const __m256d e1 = _mm256_castps_pd(_mm256_permutevar8x32_ps(table.half[1], index));
    // blendv takes the second operand where the lane's sign bit is set.
    const __m256d bit2 = _mm256_castsi256_pd(_mm256_slli_epi64(kbits, 61));
    return _mm256_castpd_si256(_mm256_blendv_pd(e0, e1, bit2));
}

// exp of N vectors of four clamped doubles, before rounding to float. The
// N evaluations advance stage by stage together, so that their long
// dependency chains overlap instead of filling the scheduler one at a time.
#define KILN_EACH for (std::size_t i = 0; i < N; ++i)
template <std::size_t N>
inline void exp_doubles(const __m256d* x, const BiasedTable& table, __m256d* y) {
    __m256d t[N], r[N], r2[N], q[N];
#pragma GCC unroll 8
    KILN_EACH t[i] = _mm256_fmadd_pd(x[i], _mm256_set1_pd(kInvLn2x8), _mm256_set1_pd(kRoundShift));
#pragma GCC unroll 8
    KILN_EACH {
        const __m256d kd = _mm256_sub_pd(t[i], _mm256_set1_pd(kRoundShift));
        r[i] = _mm256_fnmadd_pd(kd, _mm256_set1_pd(kLn2Div8), x[i]);
    }
    // exp(r) - 1 = r + r^2 (c2 + c3 r + r^2 (c4 + c5 r + c6 r^2)), in pairs
    // of terms (a shorter dependency chain than nested evaluation; the
    // error bound allows for either).
#pragma GCC unroll 8
    KILN_EACH {
        r2[i] = _mm256_mul_pd(r[i], r[i]);
        const __m256d p23 = _mm256_fmadd_pd(r[i], _mm256_set1_pd(kC3), _mm256_set1_pd(kC2));
        const __m256d p45 = _mm256_fmadd_pd(r[i], _mm256_set1_pd(kC5), _mm256_set1_pd(kC4));
        const __m256d p46 = _mm256_fmadd_pd(r2[i], _mm256_set1_pd(kC6), p45);
        q[i] = _mm256_fmadd_pd(r2[i], _mm256_fmadd_pd(r2[i], p46, p23), r[i]);
    }
#pragma GCC unroll 8
    KILN_EACH {
        const __m256i kbits = _mm256_castpd_si256(t[i]);
        // Adding k << 49 to the bits of biased entry j gives
        // 2^(k >> 3) * 2^((k & 7)/8), exactly (see BiasedTable).
        const __m256i tj = table_entry(table, kbits);
        const __m256d s = _mm256_castsi256_pd(_mm256_add_epi64(tj, _mm256_slli_epi64(kbits, 49)));
        y[i] = _mm256_fmadd_pd(s, q[i], s);
    }
}
#undef KILN_EACH

// The rounding test on the bits of y, for results in the normal float
// range: every value within 2^-42 of y (so the exact one) rounds to the
// same float as y unless y's 29 bits below the float's precision lie
// within 2^11 of the halfway pattern 2^28 (2^-42 of the top of y's binade
// is 2^11 units of y's last bit). All ones in a 64-bit lane where the test
// decides; then the float nearest y is the result.
inline __m256i decided(__m256d y) {
    constexpr std::int64_t kHalf = std::int64_t{1} << 28, kSlack = std::int64_t{1} << 11;
    // (low 29 bits - (2^28 - 2^11)) mod 2^29, at most 2^12 when undecided.
    const __m256i w = _mm256_and_si256(_mm256_add_epi64(_mm256_castpd_si256(y), _mm256_set1_epi64x(kSlack - kHalf)),
                                       _mm256_set1_epi64x((std::int64_t{1} << 29) - 1));
    return _mm256_cmpgt_epi64(w, _mm256_set1_epi64x(2 * kSlack));
}

// Below this argument the result is subnormal (or zero) and rounds at a
// fixed binary place rather than 24 bits into its value, so decided()
// does not apply; such vectors, and those holding NaN, take the test on
// the enclosing bounds instead.
constexpr float kNormalFrom = -87.33f;  // exp(-87.33) > 2^-126, the smallest normal float

// exp of V vectors of eight floats, with the rare undecided lanes redone
// one by one. Lanes outside valid[v] (a bit mask per vector) are computed
// but never redone.
template <std::size_t V>
inline void exp_floats(const BiasedTable& table, const __m256* arg, const int* valid, __m256* out) {
    __m256d x[2 * V];
    __m256 special[V];
#pragma GCC unroll 4
    for (std::size_t v = 0; v < V; ++v) {
        __m256 c = _mm256_max_ps(_mm256_set1_ps(static_cast<float>(kClampLo)), arg[v]);
        c = _mm256_min_ps(_mm256_set1_ps(static_cast<float>(kClampHi)), c);
        special[v] = _mm256_cmp_ps(c, _mm256_set1_ps(kNormalFrom), _CMP_NGE_UQ);
        x[2 * v] = _mm256_cvtps_pd(_mm256_castps256_ps128(c));
        x[2 * v + 1] = _mm256_cvtps_pd(_mm256_extractf128_ps(c, 1));
    }
    __m256d y[2 * V];
    exp_doubles<2 * V>(x, table, y);
#pragma GCC unroll 4
    for (std::size_t v = 0; v < V; ++v) {
        const __m256d y0 = y[2 * v], y1 = y[2 * v + 1];
        out[v] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(y0)), _mm256_cvtpd_ps(y1), 1);
        const __m256i both = _mm256_and_si256(decided(y0), decided(y1));
        if (_mm256_testc_si256(both, _mm256_set1_epi32(-1)) && _mm256_testz_ps(special[v], special[v]))
            [[likely]] continue;
        // The exact value lies between y (1 - 2^-42) and y (1 + 2^-42): if
        // both round to the same float, so does the exact value.
        const __m128 up0 = _mm256_cvtpd_ps(_mm256_mul_pd(y0, _mm256_set1_pd(kWideTestUp)));
        const __m128 up1 = _mm256_cvtpd_ps(_mm256_mul_pd(y1, _mm256_set1_pd(kWideTestUp)));
        const __m128 dn0 = _mm256_cvtpd_ps(_mm256_mul_pd(y0, _mm256_set1_pd(kWideTestDown)));
        const __m128 dn1 = _mm256_cvtpd_ps(_mm256_mul_pd(y1, _mm256_set1_pd(kWideTestDown)));
        out[v] = _mm256_insertf128_ps(_mm256_castps128_ps256(up0), up1, 1);
        const __m256 dn = _mm256_insertf128_ps(_mm256_castps128_ps256(dn0), dn1, 1);
        const int undecided = _mm256_movemask_ps(_mm256_cmp_ps(out[v], dn, _CMP_NEQ_UQ)) & valid[v];
        if (undecided) {
            alignas(32) float a[8], e[8];
            _mm256_store_ps(a, arg[v]);
            _mm256_store_ps(e, out[v]);
            for (int i = 0; i < 8; ++i)
                if (undecided & (1 << i)) e[i] = exp_hard(a[i]);
            out[v] = _mm256_load_ps(e);
        }
    }
}

// The exponential as the loops of exp_loops.hpp see it.
struct ExpAvx2 : simd::Avx2 {
    using Table = BiasedTable;
    // Lanes wanted of a vector, one bit per lane.
    using Valid = int;
    static constexpr Valid kAllValid = 0xFF;
    // Vectors per step of a run that also sums its values in order (see
    // exp_run): 16 values, whose additions overlap the next step's
    // exponentials (measured 14% faster than steps of 32 on a Zen 4 core).
    static constexpr std::size_t kSumGroup = 2;
    static Valid valid(std::size_t len) { return (1 << len) - 1; }
    static const Table& table() {
        static const BiasedTable t;
        return t;
    }
    template <std::size_t N>
    static void exp(const Table& t, const Vec* arg, const Valid* valid, Vec* out) {
        exp_floats<N>(t, arg, valid, out);
    }
};

}  // namespace
}  // namespace kiln::activations
