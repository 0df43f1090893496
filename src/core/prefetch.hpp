// Asking for cache lines ahead of use. Only hints: nothing is read or
// written, and no value changes. Internal linkage, so that the files
// compiled for wider instruction sets each get their own copy.
#pragma once

#include <cstdint>

namespace kiln {
namespace {

// Asks for the cache lines holding the floats from p to p + last, inclusive
// (last may be negative: the floats before p), to be read, or written when
// for_write.
inline void prefetch_floats(const float* p, std::int64_t last, bool for_write = false) noexcept {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    const auto b = a + static_cast<std::uintptr_t>(last * static_cast<std::int64_t>(sizeof(float)));
    const std::uintptr_t lo = (a < b ? a : b) & ~std::uintptr_t{63}, hi = a < b ? b : a;
    for (std::uintptr_t line = lo; line <= hi; line += 64) {
        if (for_write) {
            __builtin_prefetch(reinterpret_cast<const void*>(line), 1, 3);
        } else {
            __builtin_prefetch(reinterpret_cast<const void*>(line), 0, 3);
        }
    }
}

}  // namespace
}  // namespace kiln
