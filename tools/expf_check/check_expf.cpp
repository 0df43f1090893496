// Verifies that every form of the module's exponential (portable, AVX2,
// AVX-512: those this CPU runs) returns the correctly rounded exp(x), the
// exact value rounded to the nearest float, for float inputs x.
//
//   check_expf            all 2^32 inputs
//   check_expf --sample   every 4093rd bit pattern, every subnormal input,
//                         windows around every threshold (overflow, underflow
//                         to zero and to subnormal, results that round to 1,
//                         the clamp bounds) and the hardest cases of the full
//                         sweep, plus +-0, +-inf and NaNs
//
// The reference, for |x| <= 200, is computed here in 80-bit long double:
// x = k ln2/16 + r with r exact to 2^-70, exp(r) - 1 from its Taylor
// polynomial of degree 10 (truncation below 2^-86), 2^(j/16) from a table
// rounded to 64 bits. Its relative error is below 2^-62.8 (about one unit
// of the 64-bit significand for the table entry, one for the final sum and
// small terms). The rounded value is accepted as the correct float when
// R * (1 - 2^-61) and R * (1 + 2^-61), which enclose the exact value,
// round to the same float. If they do not, the same evaluation is repeated
// in 113-bit __float128 arithmetic with degree 16 (relative error below
// 2^-105) and enclosed by 2^-100; if that too is undecided the input is
// reported as undecided, and the run fails. For |x| > 200 the exact
// value is beyond 2^288 or below 2^-288, so the correct float is +inf or
// +0; NaN must give NaN.
//
// As a guard against a wrong constant, the long double reference is also
// compared with the C library's expl and with the __float128 evaluation on
// the strided subset.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "activations/kernels/exp.hpp"
#include "activations/kernels/softmax.hpp"

namespace {

using f128 = __float128;
namespace ka = kiln::activations;

std::uint32_t bits_of(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

float float_of(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

// ---- long double reference ------------------------------------------------

constexpr long double kInvLd = 0x1.71547652b82fe178p+4L;  // 16 / ln 2
// ln 2 / 16 = kL1 + kL2 to about 2^-123; kL1 has 51 bits, so k * kL1 is
// exact for |k| < 2^13.
constexpr long double kL1 = 0x1.62e42fefa39f0p-5L;
constexpr long double kL2 = -0x1.950d871319ff0342p-58L;

constexpr long double kExp2Ld[16] = {
    0x1.0000000000000000p+0L, 0x1.0b5586cf9890f62ap+0L, 0x1.172b83c7d517adcep+0L,
    0x1.2387a6e75623866cp+0L, 0x1.306fe0a31b7152dep+0L, 0x1.3dea64c12342235cp+0L,
    0x1.4bfdad5362a271d4p+0L, 0x1.5ab07dd48542958cp+0L, 0x1.6a09e667f3bcc908p+0L,
    0x1.7a11473eb0186d7ep+0L, 0x1.8ace5422aa0db5bap+0L, 0x1.9c49182a3f0901c8p+0L,
    0x1.ae89f995ad3ad5e8p+0L, 0x1.c199bdd85529c222p+0L, 0x1.d5818dcfba48725ep+0L,
    0x1.ea4afa2a490d9858p+0L,
};

// 1/n!, n = 1 .. 10.
constexpr long double kInvFactLd[11] = {
    1.0L,
    0x1.0000000000000000p+0L, 0x1.0000000000000000p-1L, 0x1.5555555555555556p-3L,
    0x1.5555555555555556p-5L, 0x1.1111111111111112p-7L, 0x1.6c16c16c16c16c16p-10L,
    0x1.a01a01a01a01a01ap-13L, 0x1.a01a01a01a01a01ap-16L, 0x1.71de3a556c7338fap-19L,
    0x1.27e4fb7789f5c72ep-22L,
};

// 2^m for |m| <= 320.
struct Pow2Table {
    long double v[641];
    Pow2Table() {
        for (int m = -320; m <= 320; ++m) v[m + 320] = ldexpl(1.0L, m);
    }
    long double operator()(long m) const { return v[m + 320]; }
};
const Pow2Table pow2ld;

// x exactly as a long double. Subnormal floats are built from their bits:
// loading them directly into the x87 unit takes a slow microcode assist.
long double to_ld(float x) {
    const std::uint32_t b = bits_of(x);
    if ((b & 0x7f800000u) != 0) return x;
    const long double m = static_cast<long double>(b & 0x7fffffu) * pow2ld(-149);
    return (b >> 31) ? -m : m;
}

// exp(x) for |x| <= 200, relative error below 2^-62.8.
long double exp_ld(float x) {
    const long double X = to_ld(x);
    const long double kd = rintl(X * kInvLd);
    const long k = static_cast<long>(kd);
    const long double r = (X - kd * kL1) - kd * kL2;
    long double p = kInvFactLd[10];
    for (int n = 9; n >= 1; --n) p = p * r + kInvFactLd[n];
    const long double q = p * r;  // exp(r) - 1
    const long j = k & 15;
    const long double y = kExp2Ld[j] + kExp2Ld[j] * q;
    return y * pow2ld((k - j) / 16);
}

// ---- __float128 reference -------------------------------------------------

constexpr f128 kQ1 = 0x1.62e42fefa39ef35793c767300p-5Q;  // 100 bits
constexpr f128 kQ2 = 0x1.f97b57a079a193394c5b16c5068cp-107Q;

const f128 kExp2Q[16] = {
    0x1.0000000000000000000000000000p+0Q, 0x1.0b5586cf9890f6298b92b71842aap+0Q,
    0x1.172b83c7d517adcdf7c8c50eb14ap+0Q, 0x1.2387a6e75623866c1fadb1c15cb6p+0Q,
    0x1.306fe0a31b7152de8d5a46305c86p+0Q, 0x1.3dea64c12342235b41223e13d774p+0Q,
    0x1.4bfdad5362a271d4397afec42e21p+0Q, 0x1.5ab07dd48542958c93015191eb34p+0Q,
    0x1.6a09e667f3bcc908b2fb1366ea95p+0Q, 0x1.7a11473eb0186d7d51023f6cda1fp+0Q,
    0x1.8ace5422aa0db5ba7c55a192c9bbp+0Q, 0x1.9c49182a3f0901c7c46b071f2be6p+0Q,
    0x1.ae89f995ad3ad5e8734d1773205ap+0Q, 0x1.c199bdd85529c2220cb12a091ba6p+0Q,
    0x1.d5818dcfba48725da05aeb66e0ddp+0Q, 0x1.ea4afa2a490d9858f73a18f5db30p+0Q,
};

const f128 kInvFactQ[17] = {
    1.0Q,
    0x1.0000000000000000000000000000p+0Q, 0x1.0000000000000000000000000000p-1Q,
    0x1.5555555555555555555555555555p-3Q, 0x1.5555555555555555555555555555p-5Q,
    0x1.1111111111111111111111111111p-7Q, 0x1.6c16c16c16c16c16c16c16c16c17p-10Q,
    0x1.a01a01a01a01a01a01a01a01a01ap-13Q, 0x1.a01a01a01a01a01a01a01a01a01ap-16Q,
    0x1.71de3a556c7338faac1c88e50017p-19Q, 0x1.27e4fb7789f5c72ef016d3ea6679p-22Q,
    0x1.ae64567f544e38fe747e4b837dc7p-26Q, 0x1.1eed8eff8d897b544da987acfe85p-29Q,
    0x1.6124613a86d097ca38331d23af68p-33Q, 0x1.93974a8c07c9d20badf145dfa3e5p-37Q,
    0x1.ae7f3e733b81f11d8656b0ee8cb0p-41Q, 0x1.ae7f3e733b81f11d8656b0ee8cb0p-45Q,
};

f128 pow2q(long m) {
    unsigned __int128 b = static_cast<unsigned __int128>(16383 + m) << 112;
    f128 f;
    std::memcpy(&f, &b, 16);
    return f;
}

// exp(x) for |x| <= 200, relative error below 2^-105.
f128 exp_q(float x) {
    const f128 X = static_cast<f128>(to_ld(x));
    const long double kd_ld = rintl(to_ld(x) * kInvLd);
    const long k = static_cast<long>(kd_ld);
    const f128 kd = static_cast<f128>(k);
    const f128 r = (X - kd * kQ1) - kd * kQ2;
    f128 p = kInvFactQ[16];
    for (int n = 15; n >= 1; --n) p = p * r + kInvFactQ[n];
    const f128 q = p * r;
    const long j = k & 15;
    return (kExp2Q[j] + kExp2Q[j] * q) * pow2q((k - j) / 16);
}

// ---- the correctly rounded float -------------------------------------------

struct Reference {
    std::uint32_t bits;      // the correctly rounded result
    bool decided;            // false: even __float128 could not decide
    bool used_quad;          // long double was not enough
    long double hardness;    // relative distance of the exact value to the
                             // nearest rounding boundary (approximate)
};

// Relative distance from v to the nearest midpoint between floats around
// its rounding f.
long double midpoint_distance(long double v, float f) {
    const std::uint32_t b = bits_of(f);
    if (b == 0 || b >= 0x7f800000u) return 1.0L;
    // Spacing of the floats above f, and below it (half as much at a power
    // of two above the subnormal range).
    const int e = static_cast<int>(b >> 23);
    const long double above = pow2ld((e == 0 ? 1 : e) - 150);
    const long double below = ((b & 0x7fffffu) == 0 && e > 1) ? above / 2 : above;
    const long double fl = f;
    return std::min(fabsl(v - (fl + above / 2)), fabsl(v - (fl - below / 2))) / v;
}

Reference reference(float x) {
    Reference ref{};
    ref.decided = true;
    if (std::isnan(x)) {
        ref.bits = 0x7fc00000u;
        ref.hardness = 1.0L;
        return ref;
    }
    if (!(std::fabs(x) <= 200.0f)) {
        ref.bits = x > 0 ? 0x7f800000u : 0u;
        ref.hardness = 1.0L;
        return ref;
    }
    const long double R = exp_ld(x);
    const float lo = static_cast<float>(R * (1.0L - 0x1p-61L));
    const float hi = static_cast<float>(R * (1.0L + 0x1p-61L));
    if (lo == hi) {
        ref.bits = bits_of(lo);
        ref.hardness = midpoint_distance(R, lo);
        return ref;
    }
    ref.used_quad = true;
    const f128 Q = exp_q(x);
    const float qlo = static_cast<float>(Q * (1.0Q - 0x1p-100Q));
    const float qhi = static_cast<float>(Q * (1.0Q + 0x1p-100Q));
    ref.decided = qlo == qhi;
    ref.bits = bits_of(qlo);
    ref.hardness = midpoint_distance(static_cast<long double>(Q), qlo);
    return ref;
}

// ---- the forms under test --------------------------------------------------

struct Form {
    const char* name;
    void (*fn)(const float*, float*, std::size_t);
};

// Softmax's own loop exp(x - m), which may leave out the clamp from above
// because m is the maximum: checked with m = 0 on every input whose sign
// bit is set (NaNs of either sign too), the plain form taking the others.
template <ka::SoftmaxKernels (*Table)(), void (*Plain)(const float*, float*, std::size_t)>
void exp_minus_zero(const float* in, float* out, std::size_t n) {
    static const ka::SoftmaxKernels k = Table();
    for (std::size_t i = 0; i < n;) {
        const bool below = (bits_of(in[i]) >> 31) != 0 || in[i] != in[i];
        std::size_t j = i + 1;
        while (j < n && ((bits_of(in[j]) >> 31) != 0 || in[j] != in[j]) == below) ++j;
        if (below) {
            k.exp_sub(in + i, 0.0f, out + i, j - i);
        } else {
            Plain(in + i, out + i, j - i);
        }
        i = j;
    }
}

std::vector<Form> available_forms() {
    std::vector<Form> forms{{"scalar", ka::exp_f32_scalar}};
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        forms.push_back({"avx2", ka::exp_f32_avx2});
        forms.push_back({"avx2 x-max", exp_minus_zero<ka::softmax_kernels_avx2, ka::exp_f32_avx2>});
    }
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        forms.push_back({"avx512", ka::exp_f32_avx512});
    return forms;
}

// ---- the sweep -------------------------------------------------------------

struct Tally {
    std::uint64_t checked = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t quad = 0;
    std::uint64_t undecided = 0;
    long double hardest = 1.0L;
    std::uint32_t hardest_input = 0;
    std::vector<std::uint32_t> hard_inputs;  // hardness below 2^-48
    long double expl_gap = 0.0L;             // max relative |exp_ld / expl - 1|
    long double quad_gap = 0.0L;             // max relative |exp_ld / exp_q - 1|
};

std::mutex print_mutex;

void check_block(const std::vector<Form>& forms, const std::uint32_t* patterns, std::size_t n,
                 bool cross_check, Tally& tally) {
    std::vector<float> in(n), out(n * forms.size());
    for (std::size_t i = 0; i < n; ++i) in[i] = float_of(patterns[i]);
    for (std::size_t f = 0; f < forms.size(); ++f) forms[f].fn(in.data(), out.data() + f * n, n);
    for (std::size_t i = 0; i < n; ++i) {
        const float x = in[i];
        const Reference ref = reference(x);
        ++tally.checked;
        tally.quad += ref.used_quad;
        if (!ref.decided) {
            ++tally.undecided;
            std::lock_guard<std::mutex> lock(print_mutex);
            std::printf("UNDECIDED x=%a (0x%08x)\n", x, patterns[i]);
        }
        if (ref.hardness < tally.hardest) {
            tally.hardest = ref.hardness;
            tally.hardest_input = patterns[i];
        }
        if (ref.hardness < 0x1p-48L) tally.hard_inputs.push_back(patterns[i]);
        for (std::size_t f = 0; f < forms.size(); ++f) {
            const float got = out[f * n + i];
            const bool ok = std::isnan(x) ? std::isnan(got) : bits_of(got) == ref.bits;
            if (!ok) {
                if (++tally.mismatches <= 20) {
                    std::lock_guard<std::mutex> lock(print_mutex);
                    std::printf("MISMATCH %s x=%a (0x%08x): got %a (0x%08x), want %a (0x%08x)\n",
                                forms[f].name, x, patterns[i], got, bits_of(got),
                                float_of(ref.bits), ref.bits);
                }
            }
        }
        if (cross_check && i % 16 == 0 && std::fabs(x) <= 80.0f) {
            const long double R = exp_ld(x);
            tally.expl_gap = std::max(tally.expl_gap, fabsl(R / expl(to_ld(x)) - 1));
            tally.quad_gap =
                std::max(tally.quad_gap, fabsl(R / static_cast<long double>(exp_q(x)) - 1));
        }
    }
}

// Hardest inputs found by the full sweep (relative distance of exp(x) to a
// midpoint below 2^-48), re-checked in every sampled run.
const std::uint32_t kKnownHard[] = {
#include "hard_cases.inc"
};

std::vector<std::uint32_t> sample_patterns() {
    std::vector<std::uint32_t> p;
    for (std::uint64_t u = 0; u <= 0xffffffffull; u += 4093) p.push_back(static_cast<std::uint32_t>(u));
    // +-0 and every subnormal, both signs.
    for (std::uint32_t u = 0; u < 0x00800000u; ++u) {
        p.push_back(u);
        p.push_back(u | 0x80000000u);
    }
    // +-inf and NaNs (quiet, signalling, with payloads, both signs).
    for (std::uint32_t u : {0x7f800000u, 0xff800000u, 0x7fc00000u, 0xffc00000u, 0x7f800001u,
                            0xff800001u, 0x7fa00000u, 0x7fffffffu, 0xffffffffu, 0x7fc12345u})
        p.push_back(u);
    // Windows of 2 * 4096 patterns around each threshold.
    const float centres[] = {
        88.72283935546875f,   // largest x with a finite result
        -103.97208404541015625f,  // exp(x) near 2^-150: 0 or the smallest subnormal
        -87.3365478515625f,   // exp(x) near 2^-126: subnormal or normal
        0x1p-24f, 0x1p-25f, -0x1p-24f, -0x1p-25f,  // results that round to 1 or not
        -150.0f, 100.0f, -200.0f, 200.0f,  // clamp bounds here and in the module
    };
    for (float c : centres) {
        const std::uint32_t b = bits_of(c);
        for (std::uint32_t d = 0; d < 8192; ++d) p.push_back(b - 4096 + d);
    }
    for (std::uint32_t u : kKnownHard) p.push_back(u);
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    bool sample = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sample") == 0) {
            sample = true;
        } else {
            std::fprintf(stderr, "usage: %s [--sample]\n", argv[0]);
            return 2;
        }
    }
    const std::vector<Form> forms = available_forms();
    std::printf("forms:");
    for (const Form& f : forms) std::printf(" %s", f.name);
    std::printf("\n");

    std::vector<std::uint32_t> patterns;
    if (sample) patterns = sample_patterns();
    const std::uint64_t total = sample ? patterns.size() : (1ull << 32);
    constexpr std::uint64_t kBlock = 1 << 16;
    const std::uint64_t blocks = (total + kBlock - 1) / kBlock;

    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<Tally> tallies(threads);
    std::atomic<std::uint64_t> next{0};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::vector<std::uint32_t> buf(kBlock);
            for (;;) {
                const std::uint64_t b = next.fetch_add(1);
                if (b >= blocks) break;
                const std::uint64_t start = b * kBlock;
                const std::size_t n = static_cast<std::size_t>(std::min(kBlock, total - start));
                for (std::size_t i = 0; i < n; ++i)
                    buf[i] = sample ? patterns[start + i] : static_cast<std::uint32_t>(start + i);
                // Cross-check the references on every 16th strided pattern
                // of a sampled run, on one block in 4093 of a full sweep.
                const bool cross = sample ? start < (1ull << 20) : b % 4093 == 0;
                check_block(forms, buf.data(), n, cross, tallies[t]);
            }
        });
    }
    for (std::thread& th : pool) th.join();

    Tally all;
    for (const Tally& t : tallies) {
        all.checked += t.checked;
        all.mismatches += t.mismatches;
        all.quad += t.quad;
        all.undecided += t.undecided;
        if (t.hardest < all.hardest) {
            all.hardest = t.hardest;
            all.hardest_input = t.hardest_input;
        }
        all.hard_inputs.insert(all.hard_inputs.end(), t.hard_inputs.begin(), t.hard_inputs.end());
        all.expl_gap = std::max(all.expl_gap, t.expl_gap);
        all.quad_gap = std::max(all.quad_gap, t.quad_gap);
    }
    std::sort(all.hard_inputs.begin(), all.hard_inputs.end());
    all.hard_inputs.erase(std::unique(all.hard_inputs.begin(), all.hard_inputs.end()),
                          all.hard_inputs.end());

    std::printf("inputs checked: %llu (x %zu forms)\n", static_cast<unsigned long long>(all.checked),
                forms.size());
    std::printf("decided by long double: %llu, by __float128: %llu, undecided: %llu\n",
                static_cast<unsigned long long>(all.checked - all.quad - all.undecided),
                static_cast<unsigned long long>(all.quad - all.undecided),
                static_cast<unsigned long long>(all.undecided));
    std::printf("hardest input: %a (0x%08x), exp(x) within 2^%.2f (relative) of a midpoint\n",
                float_of(all.hardest_input), all.hardest_input,
                static_cast<double>(log2l(all.hardest)));
    std::printf("inputs within 2^-48 of a midpoint: %zu\n", all.hard_inputs.size());
    if (!sample) {
        for (std::uint32_t u : all.hard_inputs) std::printf("  hard 0x%08xu,  // %a\n", u, float_of(u));
    }
    std::printf("reference cross-checks: |ld/expl - 1| <= 2^%.2f, |ld/quad - 1| <= 2^%.2f\n",
                static_cast<double>(log2l(all.expl_gap)), static_cast<double>(log2l(all.quad_gap)));
    const bool references_ok = all.expl_gap < 0x1p-60L && all.quad_gap < 0x1p-62L;
    if (!references_ok) std::printf("FAIL: the references disagree\n");
    std::printf("mismatches: %llu\n", static_cast<unsigned long long>(all.mismatches));
    const bool ok = all.mismatches == 0 && all.undecided == 0 && references_ok;
    std::printf("%s\n", ok ? "OK: every checked input is correctly rounded in every form"
                           : "FAILED");
    return ok ? 0 : 1;
}
