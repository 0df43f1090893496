// The single-precision exponential used by softmax, in a portable form and
// in AVX2 and AVX-512 forms (the vector forms' cores are exp-avx2.hpp and
// exp-avx512.hpp, shared with softmax's loops).
//
// The exponential is correctly rounded: for every float x the result is
// exp(x) computed exactly and then rounded to the nearest float (ties to
// even), with exp(-inf) = +0, exp(+inf) = +inf and NaN for NaN. Since the
// result is a function of x alone, every form gives the same bits, on any
// CPU and with any C library. tools/expf_check verifies all 2^32 inputs.
//
// How it is computed (every form takes these steps in double precision;
// the AVX2 form reduces by ln2/8 with every second table entry and takes
// a fitted polynomial of degree 5 with its terms in pairs, with its own
// error bound and rounding test, see exp-avx2.hpp; both vector forms fuse
// each multiply and add; being correctly rounded, every form returns the
// same bits):
//   1. Clamp x to [-150, 100]. Beyond these bounds the float result is +0
//      or +inf already, and the clamp keeps the scaling below in range.
//      NaN passes through the clamp.
//   2. k = nearest integer to x * 16/ln2, r = x - k * ln2/16, |r| <= 0.0217.
//   3. exp(x) = 2^(k >> 4) * 2^((k & 15)/16) * exp(r), with 2^(j/16) from a
//      16-entry table and exp(r) - 1 from its Taylor polynomial of degree 6.
//      The double result y has a relative error below 2^-44.8.
//   4. Rounding test: y * (1 - 2^-43) and y * (1 + 2^-43) enclose the exact
//      value. If both round to the same float, so does the exact value, and
//      that float is the result. Otherwise (about once in 400000 inputs, and
//      for NaN) the result comes from exp_hard(), which evaluates in
//      double-double arithmetic (relative error below 2^-100) and rounds
//      that once.
//
// The SIMD files define nothing but the plain functions declared in the
// kernels headers; everything else they hold is in an anonymous namespace.
#pragma once

#include <cstddef>

namespace kiln::activations {

namespace expf_consts {

inline constexpr double kClampLo = -150.0;
inline constexpr double kClampHi = 100.0;
// 16 / ln 2 and ln 2 / 16, each rounded to double.
inline constexpr double kInvLn2x16 = 0x1.71547652b82fep+4;
inline constexpr double kLn2Div16 = 0x1.62e42fefa39efp-5;
// Adding and subtracting 1.5 * 2^52 rounds |t| < 2^51 to the nearest integer
// (ties to even); the integer sits in the low bits of the intermediate sum.
inline constexpr double kRoundShift = 0x1.8p52;
// Taylor coefficients 1/n! of exp(r) - 1 = r * (1 + r * (c2 + r * (...))).
inline constexpr double kC2 = 1.0 / 2.0;
inline constexpr double kC3 = 1.0 / 6.0;
inline constexpr double kC4 = 1.0 / 24.0;
inline constexpr double kC5 = 1.0 / 120.0;
inline constexpr double kC6 = 1.0 / 720.0;
// Bounds of the rounding test.
inline constexpr double kTestUp = 1.0 + 0x1p-43;
inline constexpr double kTestDown = 1.0 - 0x1p-43;

// 2^(j/16) rounded to double, j = 0 .. 15.
alignas(64) inline constexpr double kExp2Table[16] = {
    0x1.0000000000000p+0, 0x1.0b5586cf9890fp+0, 0x1.172b83c7d517bp+0, 0x1.2387a6e756238p+0,
    0x1.306fe0a31b715p+0, 0x1.3dea64c123422p+0, 0x1.4bfdad5362a27p+0, 0x1.5ab07dd485429p+0,
    0x1.6a09e667f3bcdp+0, 0x1.7a11473eb0187p+0, 0x1.8ace5422aa0dbp+0, 0x1.9c49182a3f090p+0,
    0x1.ae89f995ad3adp+0, 0x1.c199bdd85529cp+0, 0x1.d5818dcfba487p+0, 0x1.ea4afa2a490dap+0,
};

}  // namespace expf_consts

// The correctly rounded exponential of one value.
float exp_cr(float x) noexcept;
// The accurate evaluation behind exp_cr's rare undecided cases: correctly
// rounded for every input, about a hundred times slower.
float exp_hard(float x) noexcept;

// out[i] = exp_cr(in[i]) for i < n.
void exp_f32_scalar(const float* in, float* out, std::size_t n);
void exp_f32_avx2(const float* in, float* out, std::size_t n);
void exp_f32_avx512(const float* in, float* out, std::size_t n);

}  // namespace kiln::activations
