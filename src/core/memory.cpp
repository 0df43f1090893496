#include "core/memory.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>

namespace kiln::mem {

namespace {

constexpr std::size_t kAlign = 64;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From this size on, blocks are mapped directly and advised for huge pages.
constexpr std::size_t kMapThreshold = std::size_t{32} << 20;
// From this size on, heap blocks are advised for huge pages.
constexpr std::size_t kAdviseThreshold = std::size_t{4} << 20;

std::size_t round_up(std::size_t value, std::size_t to) {
    if (value > SIZE_MAX - (to - 1)) throw std::bad_alloc();
    return (value + to - 1) / to * to;
}

void* map_huge(std::size_t bytes) {
    const std::size_t size = round_up(bytes, kHugePage);
    if (size > SIZE_MAX - kHugePage) throw std::bad_alloc();
    // Over-allocate by one huge page and trim, so the block starts on a
    // 2 MiB boundary and can be backed by huge pages from its first byte.
    const std::size_t span = size + kHugePage;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    auto base = reinterpret_cast<std::uintptr_t>(raw);
    auto aligned = (base + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > base) munmap(raw, aligned - base);
    const std::uintptr_t end = base + span;
    if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void* heap_block(std::size_t bytes) {
    const std::size_t size = round_up(bytes == 0 ? 1 : bytes, kAlign);
    void* ptr = std::aligned_alloc(kAlign, size);
    if (!ptr) throw std::bad_alloc();
    if (size >= kAdviseThreshold) {
        // Advise the whole huge pages inside the block.
        const auto begin = (reinterpret_cast<std::uintptr_t>(ptr) + kHugePage - 1) & ~(kHugePage - 1);
        const auto end = (reinterpret_cast<std::uintptr_t>(ptr) + size) & ~(kHugePage - 1);
        if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
    return ptr;
}

}  // namespace

void* alloc_zeroed(std::size_t bytes) {
    if (bytes >= kMapThreshold) return map_huge(bytes);
    void* ptr = heap_block(bytes);
    std::memset(ptr, 0, bytes == 0 ? 1 : bytes);
    return ptr;
}

void* alloc_for_overwrite(std::size_t bytes) {
    if (bytes >= kMapThreshold) return map_huge(bytes);
    return heap_block(bytes);
}

void release(void* ptr, std::size_t bytes) noexcept {
    if (!ptr) return;
    if (bytes >= kMapThreshold) {
        munmap(ptr, (bytes + kHugePage - 1) / kHugePage * kHugePage);
    } else {
        std::free(ptr);
    }
}

}  // namespace kiln::mem
