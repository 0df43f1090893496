#include "core/cpu.hpp"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace kiln {

namespace {

Isa detect() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("fma"))  // AVX2 forms run at this level too; see below
        return Isa::avx512;
    // FMA3 too: the exponential's AVX2 form fuses (every AVX2 processor
    // made so far has it).
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return Isa::avx2;
#endif
    return Isa::scalar;
}

Isa choose() noexcept {
    Isa isa = detect();
    if (const char* cap = std::getenv("KILN_KERNELS_ISA")) {
        Isa wanted = isa;
        if (std::strcmp(cap, "scalar") == 0) wanted = Isa::scalar;
        else if (std::strcmp(cap, "avx2") == 0) wanted = Isa::avx2;
        else if (std::strcmp(cap, "avx512") == 0) wanted = Isa::avx512;
        if (wanted < isa) isa = wanted;
    }
    return isa;
}

}  // namespace

std::size_t l2_cache_bytes() noexcept {
    const std::size_t l2 = cpu_info().l2;
    return l2 > 0 ? l2 : std::size_t{256} << 10;
}

Isa active_isa() noexcept {
    static const Isa isa = choose();
    return isa;
}

namespace {

#if defined(__x86_64__) || defined(__i386__)
struct Regs {
    unsigned a, b, c, d;
};

Regs cpuid(unsigned leaf, unsigned sub = 0) noexcept {
    Regs r{};
    __cpuid_count(leaf, sub, r.a, r.b, r.c, r.d);
    return r;
}

// The deterministic cache parameters (leaf 4 on Intel, 0x8000001D on AMD):
// one subleaf per cache, each with its level, type, geometry and the number
// of logical processors sharing it. Data and unified caches only.
void read_caches(CpuInfo& info, unsigned leaf) noexcept {
    for (unsigned sub = 0; sub < 16; ++sub) {
        const Regs r = cpuid(leaf, sub);
        const unsigned type = r.a & 31;
        if (type == 0) break;  // no more caches
        if (type != 1 && type != 3) continue;  // instruction caches
        const unsigned level = (r.a >> 5) & 7;
        const std::size_t sharing = ((r.a >> 14) & 0xfff) + 1;
        const std::size_t ways = (r.b >> 22) + 1, partitions = ((r.b >> 12) & 0x3ff) + 1,
                          line = (r.b & 0xfff) + 1, sets = std::size_t{r.c} + 1;
        std::size_t bytes = ways * partitions * line * sets;
        // A cache shared by the logical processors of one core serves that
        // core whole; one shared by several cores counts for a share.
        if (level == 3) bytes /= sharing;
        if (level == 1) info.l1d = bytes;
        else if (level == 2) info.l2 = bytes;
        else if (level == 3) info.l3 = bytes;
    }
}
#endif

CpuInfo read_cpu_info() noexcept {
    CpuInfo info;
#if defined(__x86_64__) || defined(__i386__)
    const Regs vendor = cpuid(0);
    const unsigned max_leaf = vendor.a;
    // "AuthenticAMD" and "GenuineIntel", as the three registers b, d, c.
    info.amd = vendor.b == 0x68747541 && vendor.d == 0x69746e65 && vendor.c == 0x444d4163;
    info.intel = vendor.b == 0x756e6547 && vendor.d == 0x49656e69 && vendor.c == 0x6c65746e;
    const unsigned max_ext = cpuid(0x80000000).a;
    if (info.intel && max_leaf >= 4) read_caches(info, 4);
    if (info.amd && max_ext >= 0x8000001D) read_caches(info, 0x8000001D);
    if (info.amd && max_ext >= 0x8000001A) info.fp128 = (cpuid(0x8000001A).a & 1) != 0;
#endif
    // Where CPUID told nothing (another vendor, another architecture), the C
    // library's figures for the per-core levels.
    const auto reported = [](int name) {
        const long bytes = sysconf(name);
        return bytes > 0 ? static_cast<std::size_t>(bytes) : std::size_t{0};
    };
    if (info.l1d == 0) info.l1d = reported(_SC_LEVEL1_DCACHE_SIZE);
    if (info.l2 == 0) info.l2 = reported(_SC_LEVEL2_CACHE_SIZE);
    return info;
}

}  // namespace

const CpuInfo& cpu_info() noexcept {
    static const CpuInfo info = read_cpu_info();
    return info;
}

}  // namespace kiln
