#include "core/cpu.hpp"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace kiln {

namespace {

Isa detect() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return Isa::avx512;
    if (__builtin_cpu_supports("avx2")) return Isa::avx2;
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
    static const std::size_t bytes = [] {
        const long reported = sysconf(_SC_LEVEL2_CACHE_SIZE);
        return reported > 0 ? static_cast<std::size_t>(reported) : std::size_t{256} << 10;
    }();
    return bytes;
}

Isa active_isa() noexcept {
    static const Isa isa = choose();
    return isa;
}

}  // namespace kiln
