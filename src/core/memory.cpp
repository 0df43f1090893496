#include "core/memory.hpp"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/mman.h>

namespace kiln::mem {

namespace {

constexpr std::size_t kAlign = 64;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From this size on, blocks are mapped directly and advised for huge pages.
constexpr std::size_t kMapThreshold = std::size_t{4} << 20;

// Freed blocks from kCacheMin bytes on are kept for reuse: a kernel called
// again on the same shape gets its block back without the page faults (and
// the kernel's zeroing of fresh pages) of new memory. Large blocks are
// mappings of their own; mid-sized ones come from the C heap, which would
// otherwise give the memory back to the system when such a block at the top
// of the heap is freed and fault it in again on the next call (the common
// `y = kernel(x)` loop keeps the last result alive while the next one is
// made, so two blocks alternate). Bounded in count and in bytes, so at most
// kCacheBytes stay resident after the memory is released.
constexpr std::size_t kCacheMin = std::size_t{64} << 10;
constexpr std::size_t kCacheSlots = 8;
constexpr std::size_t kCacheBytes = std::size_t{512} << 20;

struct Cache {
    std::mutex mutex;
    void* ptr[kCacheSlots] = {};
    std::size_t size[kCacheSlots] = {};
    std::size_t total = 0;
};

Cache* g_cache = new Cache;

void after_fork_in_child() {
    // Another thread of the parent may have held the lock; start afresh
    // (the parent's cached blocks are simply not reused).
    g_cache = new (std::nothrow) Cache;
}

[[maybe_unused]] const bool g_fork_handler_installed = [] {
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
}();

std::size_t round_up(std::size_t value, std::size_t to) {
    if (value > SIZE_MAX - (to - 1)) throw std::bad_alloc();
    return (value + to - 1) / to * to;
}

void* take_cached(std::size_t size) noexcept {
    Cache* cache = g_cache;
    if (!cache) return nullptr;
    std::lock_guard<std::mutex> lock(cache->mutex);
    for (std::size_t i = 0; i < kCacheSlots; ++i) {
        if (cache->ptr[i] && cache->size[i] == size) {
            void* ptr = cache->ptr[i];
            cache->ptr[i] = nullptr;
            cache->total -= size;
            return ptr;
        }
    }
    return nullptr;
}

bool put_cached(void* ptr, std::size_t size) noexcept {
    Cache* cache = g_cache;
    if (!cache) return false;
    std::lock_guard<std::mutex> lock(cache->mutex);
    if (cache->total + size > kCacheBytes) return false;
    for (std::size_t i = 0; i < kCacheSlots; ++i) {
        if (!cache->ptr[i]) {
            cache->ptr[i] = ptr;
            cache->size[i] = size;
            cache->total += size;
            return true;
        }
    }
    return false;
}

// Returns a 2 MiB-aligned mapping of `size` bytes (a multiple of 2 MiB);
// `fresh` tells whether its pages are new (and so zero).
void* map_huge(std::size_t size, bool& fresh) {
    if (void* ptr = take_cached(size)) {
        fresh = false;
        return ptr;
    }
    fresh = true;
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

// Heap blocks are not advised for huge pages: with the kernel's "defrag on
// madvise" setting, that advice makes page faults compact memory, which
// costs far more than it saves at these sizes.
std::size_t heap_size(std::size_t bytes) { return round_up(bytes == 0 ? 1 : bytes, kAlign); }

void* heap_block(std::size_t bytes) {
    const std::size_t size = heap_size(bytes);
    if (size >= kCacheMin) {
        if (void* ptr = take_cached(size)) return ptr;
    }
    void* ptr = std::aligned_alloc(kAlign, size);
    if (!ptr) throw std::bad_alloc();
    return ptr;
}

}  // namespace

void* alloc_zeroed(std::size_t bytes) {
    if (bytes >= kMapThreshold) {
        bool fresh = false;
        void* ptr = map_huge(round_up(bytes, kHugePage), fresh);
        if (!fresh) std::memset(ptr, 0, bytes);
        return ptr;
    }
    void* ptr = heap_block(bytes);
    std::memset(ptr, 0, bytes == 0 ? 1 : bytes);
    return ptr;
}

void* alloc_for_overwrite(std::size_t bytes) {
    if (bytes >= kMapThreshold) {
        bool fresh = false;
        return map_huge(round_up(bytes, kHugePage), fresh);
    }
    return heap_block(bytes);
}

void release(void* ptr, std::size_t bytes) noexcept {
    if (!ptr) return;
    if (bytes >= kMapThreshold) {
        const std::size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        if (!put_cached(ptr, size)) munmap(ptr, size);
    } else {
        const std::size_t size = heap_size(bytes);
        if (size < kCacheMin || !put_cached(ptr, size)) std::free(ptr);
    }
}

}  // namespace kiln::mem
