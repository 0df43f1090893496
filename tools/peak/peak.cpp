// Measures the floating-point limit of one core: register-only loops of
// independent float32 accumulators, as a separate multiply then add (the
// only form the module's products may use) and as a fused multiply-add, at
// each vector width the CPU offers; and, beside them, the AVX2 and AVX-512
// product kernels' inner steps with their loads, from the L1 cache. Prints
// GFLOP/s per core, one line per form and width, and a JSON line for the
// benchmark report.
//
// This tool is compiled on its own (tools/peak/build.sh); the fused form is
// measured here only, never used by the module.
//
// `peak chain N` instead prints the median time, in seconds, of one chain
// of N dependent float32 additions over values in memory: the floor of any
// sum of N values taken strictly in order (a softmax row's sum).
//
// `peak turn T` runs the widest separate multiply-then-add loop on T threads
// at once for about 50 ms and prints its rate per core (GFLOP/s, the mean
// over the threads of each one's best round): the limit at this moment,
// with every core busy, for a benchmark to time in turns with the products
// it compares with that limit (a shared host's clock moves over minutes).
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kAccumulators = 12;   // enough to cover add latency x throughput
constexpr long kIterations = 4'000'000;
constexpr int kRounds = 30;

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// One function per form and width: each iteration does twelve independent
// steps of LANES floats (a multiply and an add, or one fused multiply-add:
// two floating-point operations per lane either way) on accumulators kept
// in registers; the best of kRounds timed runs counts (many short runs, so
// that a spell of a shared machine's noise rarely covers them all). STEP(c)
// updates c.
// A step's multiply depends only on a and b, as in a matrix product; the
// empty asm after it makes a look new to the compiler, so the twelve
// multiplies of an iteration are not merged into one.
#define KILN_PEAK_FN(NAME, TARGET, VEC, SET1, ADD, STORE, LANES, STEP)                        \
    __attribute__((target(TARGET), noinline)) double NAME(long iterations = kIterations,      \
                                                          int rounds = kRounds) {             \
        VEC a = SET1(1.0000001f), b = SET1(0.9999999f);                                       \
        VEC c0 = SET1(0), c1 = SET1(1), c2 = SET1(2), c3 = SET1(3), c4 = SET1(4),             \
            c5 = SET1(5), c6 = SET1(6), c7 = SET1(7), c8 = SET1(8), c9 = SET1(9),             \
            c10 = SET1(10), c11 = SET1(11);                                                    \
        double best = 1e30;                                                                    \
        for (int round = 0; round < rounds; ++round) {                                         \
            const auto t0 = std::chrono::steady_clock::now();                                  \
            for (long it = 0; it < iterations; ++it) {                                         \
                STEP(c0); STEP(c1); STEP(c2); STEP(c3); STEP(c4); STEP(c5);                    \
                STEP(c6); STEP(c7); STEP(c8); STEP(c9); STEP(c10); STEP(c11);                  \
                asm volatile("" : "+v"(c0), "+v"(c1), "+v"(c2), "+v"(c3), "+v"(c4), "+v"(c5)); \
                asm volatile("" : "+v"(c6), "+v"(c7), "+v"(c8), "+v"(c9), "+v"(c10),           \
                             "+v"(c11), "+v"(a), "+v"(b));                                     \
            }                                                                                  \
            const double s = seconds_since(t0);                                                \
            if (s < best) best = s;                                                            \
        }                                                                                      \
        c0 = ADD(ADD(ADD(c0, c1), ADD(c2, c3)), ADD(ADD(c4, c5), ADD(c6, c7)));                \
        c0 = ADD(c0, ADD(ADD(c8, c9), ADD(c10, c11)));                                         \
        float sink[LANES];                                                                     \
        STORE(sink, c0);                                                                       \
        asm volatile("" : : "r"(sink) : "memory");                                             \
        return 2.0 * LANES * kAccumulators * static_cast<double>(iterations) / best / 1e9;     \
    }

#define KILN_SSE_STEP(c) (c = _mm_add_ps(c, _mm_mul_ps(a, b)), ({ asm volatile("" : "+v"(a)); }))
#define KILN_AVX2_STEP(c) (c = _mm256_add_ps(c, _mm256_mul_ps(a, b)), ({ asm volatile("" : "+v"(a)); }))
#define KILN_AVX2_FMA(c) (c = _mm256_fmadd_ps(a, b, c))
#define KILN_AVX512_STEP(c) (c = _mm512_add_ps(c, _mm512_mul_ps(a, b)), ({ asm volatile("" : "+v"(a)); }))
#define KILN_AVX512_FMA(c) (c = _mm512_fmadd_ps(a, b, c))

KILN_PEAK_FN(sse_mul_add, "sse2", __m128, _mm_set1_ps, _mm_add_ps, _mm_storeu_ps, 4,
             KILN_SSE_STEP)
KILN_PEAK_FN(avx2_mul_add, "avx2", __m256, _mm256_set1_ps, _mm256_add_ps, _mm256_storeu_ps, 8,
             KILN_AVX2_STEP)
KILN_PEAK_FN(avx2_fma, "avx2,fma", __m256, _mm256_set1_ps, _mm256_add_ps, _mm256_storeu_ps, 8,
             KILN_AVX2_FMA)
KILN_PEAK_FN(avx512_mul_add, "avx512f", __m512, _mm512_set1_ps, _mm512_add_ps, _mm512_storeu_ps, 16,
             KILN_AVX512_STEP)
KILN_PEAK_FN(avx512_fma, "avx512f,fma", __m512, _mm512_set1_ps, _mm512_add_ps, _mm512_storeu_ps, 16,
             KILN_AVX512_FMA)

// The AVX2 product kernel's own inner step (matmul/kernels/products.hpp)
// on packed panels that stay in the L1 cache: for each inner position, two
// vector loads of the 16-wide panel of b and six broadcasts from the 6-wide
// panel of a feed twelve multiplies and twelve adds. Against the
// register-only loop above, this shows what the loads cost the kernel on
// this core, before any packing, blocking or memory traffic.
constexpr std::size_t kStepDepth = 256;  // panels of 6 and 16 lanes: 24 KiB
// The same for the 8 x 32 AVX-512 kernel: eight broadcasts and two 16-lane
// loads of `b` feed sixteen multiplies and sixteen adds.
constexpr std::size_t kWideStepDepth = 128;  // panels of 8 and 32 lanes: 20 KiB
// And for the 3 x 32 AVX2 kernel: three broadcasts, and twelve multiplies
// reading `b`, feed twelve adds.
constexpr std::size_t kTallStepDepth = 192;  // panels of 3 and 32 lanes: 26 KiB

// Panels of values near 1, so that the sums stay finite.
void fill_panels(float* pa, std::size_t na, float* pb, std::size_t nb) {
    for (std::size_t i = 0; i < na; ++i) pa[i] = 1.0f + static_cast<float>(i % 7) * 0x1p-20f;
    for (std::size_t i = 0; i < nb; ++i) pb[i] = 1.0f - static_cast<float>(i % 5) * 0x1p-20f;
}

// GFLOP/s of a kernel step: pass() runs one pass over the panels
// (flops_per_pass operations); the best of kRounds timed runs counts.
template <class Pass>
double step_rate(double flops_per_pass, Pass pass) {
    constexpr long kPasses = 20000;
    double best = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        const auto t0 = std::chrono::steady_clock::now();
        for (long p = 0; p < kPasses; ++p) pass();
        best = std::min(best, seconds_since(t0));
    }
    return flops_per_pass * kPasses / best / 1e9;
}

// One pass of each kernel's step over its panels, from zeroed accumulators
// (named ones: an array of them is not always kept in registers at this
// optimisation level), whose sum goes to sink so that none of it is dropped.
// Each value of `a` reaches every lane by the integer broadcast from
// memory, as the kernels load it.
// W is the intrinsics' prefix (_mm256 or _mm512) and N the vector width.
#define KILN_STEP_ROW(W, N, r, c0, c1)                              \
    {                                                               \
        int bits;                                                   \
        std::memcpy(&bits, a + r, sizeof bits);                     \
        const auto x = W##_castsi##N##_ps(W##_set1_epi32(bits));    \
        c0 = W##_add_ps(c0, W##_mul_ps(x, b0));                     \
        c1 = W##_add_ps(c1, W##_mul_ps(x, b1));                     \
    }

__attribute__((target("avx2"), noinline)) void pass_6x16(const float* a, const float* b, float* sink) {
    __m256 c00 = _mm256_setzero_ps(), c01 = c00, c10 = c00, c11 = c00, c20 = c00, c21 = c00, c30 = c00,
           c31 = c00, c40 = c00, c41 = c00, c50 = c00, c51 = c00;
#pragma GCC unroll 2
    for (std::size_t p = 0; p < kStepDepth; ++p, a += 6, b += 16) {
        const __m256 b0 = _mm256_load_ps(b), b1 = _mm256_load_ps(b + 8);
        KILN_STEP_ROW(_mm256, 256, 0, c00, c01) KILN_STEP_ROW(_mm256, 256, 1, c10, c11)
        KILN_STEP_ROW(_mm256, 256, 2, c20, c21) KILN_STEP_ROW(_mm256, 256, 3, c30, c31)
        KILN_STEP_ROW(_mm256, 256, 4, c40, c41) KILN_STEP_ROW(_mm256, 256, 5, c50, c51)
    }
    const __m256 c[] = {c00, c01, c10, c11, c20, c21, c30, c31, c40, c41, c50, c51};
    __m256 sum = _mm256_loadu_ps(sink);
    for (const __m256& v : c) sum = _mm256_add_ps(sum, v);
    _mm256_storeu_ps(sink, sum);
}

// The 3 x 32 AVX2 kernel's step (matmul/kernels/3x32-avx2.cpp): the four
// vectors of `b` read by each row's multiplies as memory operands (the
// empty asm makes the compiler read them again for every row).
__attribute__((target("avx2"), noinline)) void pass_3x32(const float* a, const float* b, float* sink) {
    __m256 c00 = _mm256_setzero_ps(), c01 = c00, c02 = c00, c03 = c00, c10 = c00, c11 = c00, c12 = c00,
           c13 = c00, c20 = c00, c21 = c00, c22 = c00, c23 = c00;
#define KILN_STEP_ROW4(r, c0, c1, c2, c3)                                                       \
    {                                                                                           \
        int bits;                                                                               \
        std::memcpy(&bits, a + r, sizeof bits);                                                 \
        const __m256 x = _mm256_castsi256_ps(_mm256_set1_epi32(bits));                          \
        c0 = _mm256_add_ps(c0, _mm256_mul_ps(x, _mm256_load_ps(row_b)));                        \
        c1 = _mm256_add_ps(c1, _mm256_mul_ps(x, _mm256_load_ps(row_b + 8)));                    \
        c2 = _mm256_add_ps(c2, _mm256_mul_ps(x, _mm256_load_ps(row_b + 16)));                   \
        c3 = _mm256_add_ps(c3, _mm256_mul_ps(x, _mm256_load_ps(row_b + 24)));                   \
        asm volatile("" : "+r"(row_b));                                                         \
    }
#pragma GCC unroll 2
    for (std::size_t p = 0; p < kTallStepDepth; ++p, a += 3, b += 32) {
        const float* row_b = b;
        KILN_STEP_ROW4(0, c00, c01, c02, c03) KILN_STEP_ROW4(1, c10, c11, c12, c13)
        KILN_STEP_ROW4(2, c20, c21, c22, c23)
    }
#undef KILN_STEP_ROW4
    const __m256 c[] = {c00, c01, c02, c03, c10, c11, c12, c13, c20, c21, c22, c23};
    __m256 sum = _mm256_loadu_ps(sink);
    for (const __m256& v : c) sum = _mm256_add_ps(sum, v);
    _mm256_storeu_ps(sink, sum);
}

__attribute__((target("avx512f"), noinline)) void pass_8x32(const float* a, const float* b, float* sink) {
    __m512 c00 = _mm512_setzero_ps(), c01 = c00, c10 = c00, c11 = c00, c20 = c00, c21 = c00, c30 = c00,
           c31 = c00, c40 = c00, c41 = c00, c50 = c00, c51 = c00, c60 = c00, c61 = c00, c70 = c00, c71 = c00;
#pragma GCC unroll 2
    for (std::size_t p = 0; p < kWideStepDepth; ++p, a += 8, b += 32) {
        const __m512 b0 = _mm512_load_ps(b), b1 = _mm512_load_ps(b + 16);
        KILN_STEP_ROW(_mm512, 512, 0, c00, c01) KILN_STEP_ROW(_mm512, 512, 1, c10, c11)
        KILN_STEP_ROW(_mm512, 512, 2, c20, c21) KILN_STEP_ROW(_mm512, 512, 3, c30, c31)
        KILN_STEP_ROW(_mm512, 512, 4, c40, c41) KILN_STEP_ROW(_mm512, 512, 5, c50, c51)
        KILN_STEP_ROW(_mm512, 512, 6, c60, c61) KILN_STEP_ROW(_mm512, 512, 7, c70, c71)
    }
    const __m512 c[] = {c00, c01, c10, c11, c20, c21, c30, c31, c40, c41, c50, c51, c60, c61, c70, c71};
    __m512 sum = _mm512_loadu_ps(sink);
    for (const __m512& v : c) sum = _mm512_add_ps(sum, v);
    _mm512_storeu_ps(sink, sum);
}
#undef KILN_STEP_ROW

double avx2_step_6x16() {
    alignas(64) static float pa[6 * kStepDepth], pb[16 * kStepDepth], sink[8];
    fill_panels(pa, 6 * kStepDepth, pb, 16 * kStepDepth);
    return step_rate(2.0 * 6 * 16 * kStepDepth, [] { pass_6x16(pa, pb, sink); });
}

double avx2_step_3x32() {
    alignas(64) static float pa[3 * kTallStepDepth], pb[32 * kTallStepDepth], sink[8];
    fill_panels(pa, 3 * kTallStepDepth, pb, 32 * kTallStepDepth);
    return step_rate(2.0 * 3 * 32 * kTallStepDepth, [] { pass_3x32(pa, pb, sink); });
}

double avx512_step_8x32() {
    alignas(64) static float pa[8 * kWideStepDepth], pb[32 * kWideStepDepth], sink[16];
    fill_panels(pa, 8 * kWideStepDepth, pb, 32 * kWideStepDepth);
    return step_rate(2.0 * 8 * 32 * kWideStepDepth, [] { pass_8x32(pa, pb, sink); });
}

}  // namespace

// s = ((0 + v[0]) + v[1]) + ... + v[n - 1], timed: the median of 201 runs.
int chain(std::size_t n) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = 1.0f / static_cast<float>(1 + i % 97);
    std::vector<double> times;
    volatile float sink = 0.0f;
    for (int round = 0; round < 201; ++round) {
        const auto t0 = std::chrono::steady_clock::now();
        float s = 0.0f;
        for (std::size_t i = 0; i < n; ++i) s = s + v[i];
        sink = s;
        times.push_back(seconds_since(t0));
    }
    (void)sink;
    std::nth_element(times.begin(), times.begin() + 100, times.end());
    std::printf("%.9f\n", times[100]);
    return 0;
}

// The widest mul+add loop on `threads` threads at once: rounds of about 3
// ms, the best of each thread's 15 counting.
int turn(unsigned long threads) {
    if (threads < 1 || threads > 1024) return 2;
    constexpr long kTurnIterations = 1'000'000;
    constexpr int kTurnRounds = 15;
    double (*loop)(long, int) = sse_mul_add;
    if (__builtin_cpu_supports("avx2")) loop = avx2_mul_add;
    if (__builtin_cpu_supports("avx512f")) loop = avx512_mul_add;
    std::vector<double> rates(threads);
    std::vector<std::thread> pool;
    for (unsigned long t = 0; t < threads; ++t)
        pool.emplace_back([&rates, loop, t] { rates[t] = loop(kTurnIterations, kTurnRounds); });
    for (std::thread& th : pool) th.join();
    double sum = 0.0;
    for (double r : rates) sum += r;
    std::printf("%.2f\n", sum / static_cast<double>(threads));
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "chain") == 0) return chain(std::strtoul(argv[2], nullptr, 10));
    if (argc == 3 && std::strcmp(argv[1], "turn") == 0) return turn(std::strtoul(argv[2], nullptr, 10));
    struct Row {
        const char* isa;
        const char* form;
        double gflops;
    };
    std::vector<Row> rows;
    rows.push_back({"sse", "mul+add", sse_mul_add()});
    if (__builtin_cpu_supports("avx2")) rows.push_back({"avx2", "mul+add", avx2_mul_add()});
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) rows.push_back({"avx2", "fma", avx2_fma()});
    if (__builtin_cpu_supports("avx2")) rows.push_back({"avx2", "6x16 step", avx2_step_6x16()});
    if (__builtin_cpu_supports("avx2")) rows.push_back({"avx2", "3x32 step", avx2_step_3x32()});
    if (__builtin_cpu_supports("avx512f")) rows.push_back({"avx512", "mul+add", avx512_mul_add()});
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma"))
        rows.push_back({"avx512", "fma", avx512_fma()});
    if (__builtin_cpu_supports("avx512f")) rows.push_back({"avx512", "8x32 step", avx512_step_8x32()});
    std::string json = "{";
    for (const Row& r : rows) {
        std::printf("%-7s %-10s %7.1f GFLOP/s per core\n", r.isa, r.form, r.gflops);
        if (json.size() > 1) json += ", ";
        char item[96];
        std::snprintf(item, sizeof item, "\"%s %s\": %.2f", r.isa, r.form, r.gflops);
        json += item;
    }
    std::printf("json: %s}\n", json.c_str());
    return 0;
}
