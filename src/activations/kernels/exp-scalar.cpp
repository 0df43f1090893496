// Portable form of the correctly rounded exponential (see exp.hpp) and its
// accurate fallback.
#include <bit>
#include <cmath>
#include <cstdint>

#include "activations/kernels/exp.hpp"

namespace kiln::activations {

namespace {

using namespace expf_consts;

// ---------------------------------------------------------------------------
// Double-double arithmetic for the accurate path. Every operation is exact or
// has a relative error of a few units in 2^-104; the file is compiled without
// contraction into fused multiply-add, which the error-free transformations
// below rely on.

struct DD {
    double hi, lo;
};

// s + e = a + b exactly, for any a, b.
DD two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    const double e = (a - (s - bb)) + (b - bb);
    return {s, e};
}

// s + e = a + b exactly, for |a| >= |b| or a = 0.
DD fast_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// p + e = a * b exactly (Dekker's product with Veltkamp's splitting).
DD two_prod(double a, double b) {
    constexpr double kSplit = 134217729.0;  // 2^27 + 1
    const double p = a * b;
    const double ca = kSplit * a, cb = kSplit * b;
    const double ah = ca - (ca - a), al = a - ah;
    const double bh = cb - (cb - b), bl = b - bh;
    const double e = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
    return {p, e};
}

DD dd_mul(DD x, DD y) {
    DD p = two_prod(x.hi, y.hi);
    p.lo += x.hi * y.lo + x.lo * y.hi;
    return fast_two_sum(p.hi, p.lo);
}

DD dd_add(DD x, DD y) {
    DD s = two_sum(x.hi, y.hi);
    s.lo += x.lo + y.lo;
    return fast_two_sum(s.hi, s.lo);
}

// ln 2 / 16 = kL1 + kL2 + kL3 to about 2^-140; kL1 and kL2 have 41
// significant bits, so their products with |k| < 2^12 are exact.
constexpr double kL1 = 0x1.62e42fefa4p-5;
constexpr double kL2 = -0x1.8432a1b0e2p-47;
constexpr double kL3 = -0x1.8cff81a12a17ep-89;

// 2^(j/16) - kExp2Table[j], rounded to double.
constexpr double kExp2TableLo[16] = {
    0.0,                     0x1.8a62e4adc610bp-54,  -0x1.19041b9d78a76p-55, 0x1.9b07eb6c70573p-54,
    0x1.6f46ad23182e4p-55,  0x1.ada0911f09ebcp-55,  0x1.d4397afec42e2p-56,  0x1.6324c054647adp-54,
    -0x1.bdd3413b26456p-54, -0x1.41577ee04992fp-55, 0x1.6e9f156864b27p-54,  0x1.c7c46b071f2bep-56,
    0x1.7a1cd345dcc81p-54,  0x1.11065895048ddp-55,  0x1.2ed02d75b3707p-55,  -0x1.e9c23179c2893p-54,
};

// 1/n! as double-double, n = 0 .. 13.
constexpr DD kInvFactorial[14] = {
    {0x1.0000000000000p+0, 0.0},
    {0x1.0000000000000p+0, 0.0},
    {0x1.0000000000000p-1, 0.0},
    {0x1.5555555555555p-3, 0x1.5555555555555p-57},
    {0x1.5555555555555p-5, 0x1.5555555555555p-59},
    {0x1.1111111111111p-7, 0x1.1111111111111p-63},
    {0x1.6c16c16c16c17p-10, -0x1.f49f49f49f49fp-65},
    {0x1.a01a01a01a01ap-13, 0x1.a01a01a01a01ap-73},
    {0x1.a01a01a01a01ap-16, 0x1.a01a01a01a01ap-76},
    {0x1.71de3a556c734p-19, -0x1.c154f8ddc6c00p-73},
    {0x1.27e4fb7789f5cp-22, 0x1.cbbc05b4fa99ap-76},
    {0x1.ae64567f544e4p-26, -0x1.c062e06d1f209p-80},
    {0x1.1eed8eff8d898p-29, -0x1.2aec959e14c06p-83},
    {0x1.6124613a86d09p-33, 0x1.f28e0cc748ebep-87},
};

// The clamp of step 1, written as the SIMD forms evaluate it (MAXPD/MINPD
// return their second operand when the first comparison fails), so that NaN
// passes through.
inline double clamp_arg(double x) {
    x = kClampLo > x ? kClampLo : x;
    return kClampHi < x ? kClampHi : x;
}

// Rounds the double-double value hi + lo (|lo| <= ulp(hi) / 2) to float
// once. Rounding hi to odd first (nudging it one unit towards lo when lo is
// non-zero and hi is even) keeps the information that lo carries; a double
// rounded to odd and then to float, which has 29 fewer bits, gives the same
// float as rounding hi + lo directly.
float round_dd_to_float(double hi, double lo) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(hi);
    if (lo != 0.0 && (bits & 1) == 0) {
        if ((lo > 0.0) == (hi > 0.0)) {
            bits += 1;
        } else {
            bits -= 1;
        }
    }
    return static_cast<float>(std::bit_cast<double>(bits));
}

}  // namespace

float exp_hard(float x) noexcept {
    if (x != x) return x + x;
    const double xd = clamp_arg(x);
    const double kd = (xd * kInvLn2x16 + kRoundShift) - kRoundShift;
    const auto k = static_cast<std::int64_t>(kd);
    // r = x - k ln2/16: the first step is exact (x has at most 24 bits at or
    // above 2^-45 when k != 0), the second pair is an exact product summed
    // without error, the third term is below 2^-75.
    const double a = xd - kd * kL1;
    DD r = two_sum(a, -(kd * kL2));
    r.lo -= kd * kL3;
    r = fast_two_sum(r.hi, r.lo);
    // exp(r) by Horner's scheme on the Taylor polynomial of degree 13; the
    // truncation error is below 2^-103 for |r| <= 0.0217.
    DD p = kInvFactorial[13];
    for (int n = 12; n >= 0; --n) p = dd_add(dd_mul(p, r), kInvFactorial[n]);
    const int j = static_cast<int>(k & 15);
    p = dd_mul(p, DD{kExp2Table[j], kExp2TableLo[j]});
    // Exact scaling: the result stays far inside the normal double range.
    const int m = static_cast<int>((k - j) / 16);
    return round_dd_to_float(std::ldexp(p.hi, m), std::ldexp(p.lo, m));
}

float exp_cr(float x) noexcept {
    const double xd = clamp_arg(x);
    const double t = xd * kInvLn2x16 + kRoundShift;
    const double kd = t - kRoundShift;
    const double r = xd - kd * kLn2Div16;
    const double q = r * (1.0 + r * (kC2 + r * (kC3 + r * (kC4 + r * (kC5 + r * kC6)))));
    const std::uint64_t kbits = std::bit_cast<std::uint64_t>(t);
    const double tj = kExp2Table[kbits & 15];
    const double y0 = tj + tj * q;
    const double y = std::bit_cast<double>(std::bit_cast<std::uint64_t>(y0) + ((kbits >> 4) << 52));
    const float up = static_cast<float>(y * kTestUp);
    const float down = static_cast<float>(y * kTestDown);
    if (up == down) return up;
    return exp_hard(x);
}

void exp_f32_scalar(const float* in, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = exp_cr(in[i]);
}

}  // namespace kiln::activations
