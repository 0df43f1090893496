// The AVX2 core of the correctly rounded exponential (see exp.hpp), for
// exp-avx2.cpp and softmax-avx2.cpp. Eight floats per vector, evaluated as
// two vectors of four doubles with the steps of exp_cr() in exp-scalar.cpp,
// except that the argument is reduced by ln2/8 with an 8-entry table
// (picked by permutes) and exp(r) - 1 comes from a fitted polynomial of
// degree 5 with its terms paired; lanes that
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
#include <cstring>

#include "activations/kernels/exp.hpp"
#include "simd/avx2.hpp"

namespace kiln::activations {
namespace {

using namespace expf_consts;

// This form reduces by ln2/8 rather than ln2/16: 2^(j/8) are every second
// entry of kExp2Table, so the table fits two registers and an entry takes
// two permutes and one blend. Then |r| <= 0.0434, and exp(r) - 1 comes from
// a polynomial of degree 5 fitted to exp(r) on that interval (minimax in
// relative error, coefficients rounded to double), one product fewer than
// Taylor's of degree 6: (1 + q(r)) / exp(r) - 1 stays within 2^-41.3, and
// with the evaluation's own roundings y's relative error stays below
// 2^-41.2. So the rounding test uses the wider bounds 1 -+ 2^-40
// (undecided about once in 33000 values).
constexpr double kInvLn2x8 = kInvLn2x16 / 2;  // both scalings are exact
constexpr double kLn2Div8 = kLn2Div16 * 2;
// q(r) = r + d2 r^2 + d3 r^3 + d4 r^4 + d5 r^5.
constexpr double kD2 = 0x1.ffffffdc34edbp-2;
constexpr double kD3 = 0x1.55555576f4603p-3;
constexpr double kD4 = 0x1.555cea2a2cf36p-5;
constexpr double kD5 = 0x1.110ef67c3fe32p-7;
constexpr double kWideTestUp = 1.0 + 0x1p-40;
constexpr double kWideTestDown = 1.0 - 0x1p-40;

// The table 2^(j/8) with j << 49 taken off the bits of entry j. The low 15
// bits of k sit in bits 0..14 of t's bits, so adding t's bits shifted left
// by 49 adds (k >> 3) to the exponent field and puts back j = k & 7. The
// result stays a normal double for every clamped x.
//
// The entries are held split: the low 32-bit halves of all eight in one
// register, the high halves in another, so that entry j takes two
// in-register permutes by the same index and one blend of 32-bit halves
// (a gather is several times slower on some processors).
//
// Every constant of the evaluation is kept here too, a whole vector each,
// initialised at run time: the loops then read them as memory operands,
// which cost a load and nothing else, where a constant broadcast from
// memory (as the compiler would rematerialise them, having too few
// registers for eight evaluations in flight) takes a vector pipe on some
// cores (AMD Zen 3 and 4) that the arithmetic needs.
struct BiasedTable {
    __m256 low_halves, high_halves;
    __m256d inv_ln2x8, round_shift, ln2_div8, d2, d3, d4, d5;
    __m256i slack_minus_half, low29, two_slack;
    __m256d wide_up, wide_down;
    __m256 clamp_lo, clamp_hi, normal_from;
    BiasedTable();
};

// Entry j = k & 7 (one per 64-bit lane) of the biased table, from the
// bits of t, whose low bits hold k: vpermps reads only bits 0..2 of each
// 32-bit index, so the low half of each lane, copied to both halves,
// indexes both halves of the entry.
inline __m256i table_entry(const BiasedTable& c, __m256i kbits) {
    const __m256i index = _mm256_shuffle_epi32(kbits, _MM_SHUFFLE(2, 2, 0, 0));
    const __m256i low = _mm256_castps_si256(_mm256_permutevar8x32_ps(c.low_halves, index));
    const __m256i high = _mm256_castps_si256(_mm256_permutevar8x32_ps(c.high_halves, index));
    return _mm256_blend_epi32(low, high, 0xAA);
}

// exp of N vectors of four clamped doubles, before rounding to float. The
// N evaluations advance stage by stage together, so that their long
// dependency chains overlap instead of filling the scheduler one at a time.
#define KILN_EACH for (std::size_t i = 0; i < N; ++i)
template <std::size_t N>
inline void exp_doubles(const __m256d* x, const BiasedTable& c, __m256d* y) {
    __m256d t[N], r[N], r2[N], q[N];
#pragma GCC unroll 8
    KILN_EACH t[i] = _mm256_fmadd_pd(x[i], c.inv_ln2x8, c.round_shift);
#pragma GCC unroll 8
    KILN_EACH {
        const __m256d kd = _mm256_sub_pd(t[i], c.round_shift);
        r[i] = _mm256_fnmadd_pd(kd, c.ln2_div8, x[i]);
    }
    // q = r + r^2 (d2 + d3 r + r^2 (d4 + d5 r)), in pairs of terms (a
    // shorter dependency chain than nested evaluation).
#pragma GCC unroll 8
    KILN_EACH {
        r2[i] = _mm256_mul_pd(r[i], r[i]);
        const __m256d p23 = _mm256_fmadd_pd(r[i], c.d3, c.d2);
        const __m256d p45 = _mm256_fmadd_pd(r[i], c.d5, c.d4);
        q[i] = _mm256_fmadd_pd(r2[i], _mm256_fmadd_pd(r2[i], p45, p23), r[i]);
    }
#pragma GCC unroll 8
    KILN_EACH {
        const __m256i kbits = _mm256_castpd_si256(t[i]);
        // Adding k << 49 to the bits of biased entry j gives
        // 2^(k >> 3) * 2^((k & 7)/8), exactly (see BiasedTable).
        const __m256i tj = table_entry(c, kbits);
        const __m256d s = _mm256_castsi256_pd(_mm256_add_epi64(tj, _mm256_slli_epi64(kbits, 49)));
        y[i] = _mm256_fmadd_pd(s, q[i], s);
    }
}
#undef KILN_EACH

// The rounding test on the bits of y, for results in the normal float
// range: every value within 2^-40 of y (so the exact one) rounds to the
// same float as y unless y's 29 bits below the float's precision lie
// within 2^13 of the halfway pattern 2^28 (2^-40 of the top of y's binade
// is 2^13 units of y's last bit). All ones in a 64-bit lane where the test
// decides; then the float nearest y is the result.
inline __m256i decided(const BiasedTable& c, __m256d y) {
    // (low 29 bits - (2^28 - 2^13)) mod 2^29, at most 2^14 when undecided.
    const __m256i w = _mm256_and_si256(_mm256_add_epi64(_mm256_castpd_si256(y), c.slack_minus_half), c.low29);
    return _mm256_cmpgt_epi64(w, c.two_slack);
}

// Below this argument the result is subnormal (or zero) and rounds at a
// fixed binary place rather than 24 bits into its value, so decided()
// does not apply; such vectors, and those holding NaN, take the test on
// the enclosing bounds instead.
constexpr float kNormalFrom = -87.33f;  // exp(-87.33) > 2^-126, the smallest normal float

BiasedTable::BiasedTable() {
    alignas(32) std::uint32_t low[8], high[8];
    for (int j = 0; j < 8; ++j) {
        std::uint64_t bits;
        std::memcpy(&bits, &kExp2Table[2 * j], sizeof bits);
        bits -= static_cast<std::uint64_t>(j) << 49;
        low[j] = static_cast<std::uint32_t>(bits);
        high[j] = static_cast<std::uint32_t>(bits >> 32);
    }
    low_halves = _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(low)));
    high_halves = _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(high)));
    inv_ln2x8 = _mm256_set1_pd(kInvLn2x8);
    round_shift = _mm256_set1_pd(kRoundShift);
    ln2_div8 = _mm256_set1_pd(kLn2Div8);
    d2 = _mm256_set1_pd(kD2);
    d3 = _mm256_set1_pd(kD3);
    d4 = _mm256_set1_pd(kD4);
    d5 = _mm256_set1_pd(kD5);
    constexpr std::int64_t kHalf = std::int64_t{1} << 28, kSlack = std::int64_t{1} << 13;
    slack_minus_half = _mm256_set1_epi64x(kSlack - kHalf);
    low29 = _mm256_set1_epi64x((std::int64_t{1} << 29) - 1);
    two_slack = _mm256_set1_epi64x(2 * kSlack);
    wide_up = _mm256_set1_pd(kWideTestUp);
    wide_down = _mm256_set1_pd(kWideTestDown);
    clamp_lo = _mm256_set1_ps(static_cast<float>(kClampLo));
    clamp_hi = _mm256_set1_ps(static_cast<float>(kClampHi));
    normal_from = _mm256_set1_ps(kNormalFrom);
}

// exp of V vectors of eight floats, with the rare undecided lanes redone
// one by one; vector v's arguments are arg_of(v). Lanes outside valid[v]
// (a bit mask per vector) are computed but never redone. The arguments
// are asked for again only to redo lanes, so that they need not be kept
// (in registers or spilled) through the evaluation. With NonPositive the
// caller promises no argument above zero (NaN aside), as for x - max(x),
// and the clamp from above is left out.
template <std::size_t V, bool NonPositive, class ArgOf>
inline void exp_floats(const BiasedTable& c, ArgOf arg_of, const int* valid, __m256* out) {
    static_assert(V <= 4, "one byte of `special` per vector");
    __m256d x[2 * V];
    std::uint32_t special = 0;  // byte v: the lanes of vector v below the normal range, or NaN
#pragma GCC unroll 4
    for (std::size_t v = 0; v < V; ++v) {
        __m256 a = _mm256_max_ps(c.clamp_lo, arg_of(v));
        if (!NonPositive) a = _mm256_min_ps(c.clamp_hi, a);
        special |= static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_cmp_ps(a, c.normal_from, _CMP_NGE_UQ)))
                   << (8 * v);
        x[2 * v] = _mm256_cvtps_pd(_mm256_castps256_ps128(a));
        x[2 * v + 1] = _mm256_cvtps_pd(_mm256_extractf128_ps(a, 1));
    }
    __m256d y[2 * V];
    exp_doubles<2 * V>(x, c, y);
#pragma GCC unroll 4
    for (std::size_t v = 0; v < V; ++v) {
        const __m256d y0 = y[2 * v], y1 = y[2 * v + 1];
        out[v] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(y0)), _mm256_cvtpd_ps(y1), 1);
        const __m256i both = _mm256_and_si256(decided(c, y0), decided(c, y1));
        if (_mm256_testc_si256(both, _mm256_set1_epi32(-1)) && ((special >> (8 * v)) & 0xFF) == 0)
            [[likely]] continue;
        // The exact value lies between y (1 - 2^-40) and y (1 + 2^-40): if
        // both round to the same float, so does the exact value.
        const __m128 up0 = _mm256_cvtpd_ps(_mm256_mul_pd(y0, c.wide_up));
        const __m128 up1 = _mm256_cvtpd_ps(_mm256_mul_pd(y1, c.wide_up));
        const __m128 dn0 = _mm256_cvtpd_ps(_mm256_mul_pd(y0, c.wide_down));
        const __m128 dn1 = _mm256_cvtpd_ps(_mm256_mul_pd(y1, c.wide_down));
        out[v] = _mm256_insertf128_ps(_mm256_castps128_ps256(up0), up1, 1);
        const __m256 dn = _mm256_insertf128_ps(_mm256_castps128_ps256(dn0), dn1, 1);
        const int undecided = _mm256_movemask_ps(_mm256_cmp_ps(out[v], dn, _CMP_NEQ_UQ)) & valid[v];
        if (undecided) {
            alignas(32) float a[8], e[8];
            _mm256_store_ps(a, arg_of(v));
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
        exp_floats<N, false>(t, [arg](std::size_t v) { return arg[v]; }, valid, out);
    }
    // The same with vector v's arguments from arg_of(v), which may be asked
    // for twice; NonPositive as for exp_floats.
    template <std::size_t N, bool NonPositive, class ArgOf>
    static void exp_of(const Table& t, ArgOf arg_of, const Valid* valid, Vec* out) {
        exp_floats<N, NonPositive>(t, arg_of, valid, out);
    }
};

}  // namespace
}  // namespace kiln::activations
