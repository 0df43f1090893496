// Measures the floating-point limit of one core: register-only loops of
// independent float32 accumulators, as a separate multiply then add (the
// only form the module's products may use) and as a fused multiply-add, at
// each vector width the CPU offers. Prints GFLOP/s per core, one line per
// form and width, and a JSON line for the benchmark report.
//
// This tool is compiled on its own (tools/peak/build.sh); the fused form is
// measured here only, never used by the module.
#include <immintrin.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kAccumulators = 12;   // enough to cover add latency x throughput
constexpr long kIterations = 10'000'000;

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// One function per form and width: each iteration does kAccumulators
// independent steps of LANES floats (a multiply and an add, or one fused
// multiply-add: two floating-point operations per lane either way); the
// best of five timed runs counts.
#define KILN_PEAK_FN(NAME, TARGET, VEC, SET1, ADD, STORE, LANES, STEP)                        \
    __attribute__((target(TARGET), noinline)) double NAME() {                                 \
        VEC a = SET1(1.0000001f), b = SET1(0.9999999f);                                       \
        VEC c[kAccumulators];                                                                  \
        for (int i = 0; i < kAccumulators; ++i) c[i] = SET1(static_cast<float>(i));           \
        double best = 1e30;                                                                    \
        for (int round = 0; round < 5; ++round) {                                              \
            const auto t0 = std::chrono::steady_clock::now();                                  \
            for (long it = 0; it < kIterations; ++it) {                                        \
                _Pragma("GCC unroll 12") for (int i = 0; i < kAccumulators; ++i) {             \
                    c[i] = STEP;                                                               \
                    asm volatile("" : "+v"(c[i]), "+v"(a));                                    \
                }                                                                              \
                asm volatile("" : "+v"(b));                                                    \
            }                                                                                  \
            const double s = seconds_since(t0);                                                \
            if (s < best) best = s;                                                            \
        }                                                                                      \
        for (int i = 1; i < kAccumulators; ++i) c[0] = ADD(c[0], c[i]);                        \
        float sink[LANES];                                                                     \
        STORE(sink, c[0]);                                                                     \
        asm volatile("" : : "r"(sink) : "memory");                                             \
        return 2.0 * LANES * kAccumulators * static_cast<double>(kIterations) / best / 1e9;    \
    }

KILN_PEAK_FN(sse_mul_add, "sse2", __m128, _mm_set1_ps, _mm_add_ps, _mm_storeu_ps, 4,
             _mm_add_ps(c[i], _mm_mul_ps(a, b)))
KILN_PEAK_FN(avx2_mul_add, "avx2", __m256, _mm256_set1_ps, _mm256_add_ps, _mm256_storeu_ps, 8,
             _mm256_add_ps(c[i], _mm256_mul_ps(a, b)))
KILN_PEAK_FN(avx2_fma, "avx2,fma", __m256, _mm256_set1_ps, _mm256_add_ps, _mm256_storeu_ps, 8,
             _mm256_fmadd_ps(a, b, c[i]))
KILN_PEAK_FN(avx512_mul_add, "avx512f", __m512, _mm512_set1_ps, _mm512_add_ps, _mm512_storeu_ps, 16,
             _mm512_add_ps(c[i], _mm512_mul_ps(a, b)))
KILN_PEAK_FN(avx512_fma, "avx512f,fma", __m512, _mm512_set1_ps, _mm512_add_ps, _mm512_storeu_ps, 16,
             _mm512_fmadd_ps(a, b, c[i]))

}  // namespace

int main() {
    struct Row {
        const char* isa;
        const char* form;
        double gflops;
    };
    std::vector<Row> rows;
    rows.push_back({"sse", "mul+add", sse_mul_add()});
    if (__builtin_cpu_supports("avx2")) rows.push_back({"avx2", "mul+add", avx2_mul_add()});
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) rows.push_back({"avx2", "fma", avx2_fma()});
    if (__builtin_cpu_supports("avx512f")) rows.push_back({"avx512", "mul+add", avx512_mul_add()});
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma"))
        rows.push_back({"avx512", "fma", avx512_fma()});
    std::string json = "{";
    for (const Row& r : rows) {
        std::printf("%-7s %-8s %7.1f GFLOP/s per core\n", r.isa, r.form, r.gflops);
        if (json.size() > 1) json += ", ";
        char item[96];
        std::snprintf(item, sizeof item, "\"%s %s\": %.2f", r.isa, r.form, r.gflops);
        json += item;
    }
    std::printf("json: %s}\n", json.c_str());
    return 0;
}
