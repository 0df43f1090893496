#include "core/memory.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <malloc.h>
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
// made, so two blocks alternate). Bounded in count and in bytes; when a
// released block does not fit, the blocks released longest ago make room for
// it, so the cache follows the shapes in use.
//
// A block not reused within kDecay goes back to the system: a reclaiming
// thread, started the first time a block is kept, sleeps until the oldest
// kept block is due and sleeps without a deadline while nothing is kept, so
// an idle process keeps no released memory and uses no processor time.
constexpr std::size_t kCacheMin = std::size_t{64} << 10;
constexpr std::size_t kCacheSlots = 8;
constexpr std::size_t kCacheBytes = std::size_t{128} << 20;
// Five seconds, not less: a program that calls a kernel every second or
// so (between other work) would otherwise fault its blocks in again on
// every call, and on a virtual machine whose host takes freed memory back
// that costs far more than the kernel's zeroing (a 1024 x 1024 product went
// from 15 to 30 ms per call one and a half seconds apart).
constexpr auto kDecay = std::chrono::seconds(5);

using Clock = std::chrono::steady_clock;

enum class Kind : unsigned char { heap, mapped };

void give_back(void* ptr, std::size_t size, Kind kind) noexcept {
    if (kind == Kind::mapped) {
        munmap(ptr, size);
    } else {
        std::free(ptr);
    }
}

struct Cache {
    struct Entry {
        void* ptr = nullptr;
        std::size_t size = 0;
        Kind kind = Kind::heap;
        std::uint64_t released = 0;  // order of release
        Clock::time_point due{};     // when it goes back to the system
    };
    std::mutex mutex;
    std::condition_variable wake;
    Entry entry[kCacheSlots];
    std::size_t total = 0;
    std::uint64_t clock = 0;
    bool reclaimer_started = false;
    std::atomic<bool> reclaimer_running{false};  // the thread exists
    bool reclaimer_alive = false;  // the thread has begun running
    std::condition_variable alive;
    bool reclaimer_idle = false;     // it waits with no deadline (nothing was kept)
};

Cache* g_cache = new Cache;

void after_fork_in_child() {
    // Another thread of the parent may have held the lock, and the parent's
    // reclaiming thread does not exist here; start afresh (the parent's
    // cached blocks are simply not reused).
    g_cache = new (std::nothrow) Cache;
}

[[maybe_unused]] const bool g_fork_handler_installed = [] {
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
}();

// Gives back every kept block that is due at `now`.
void reclaim_due(Cache* cache, Clock::time_point now) noexcept {
    Cache::Entry due[kCacheSlots];
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(cache->mutex);
        for (Cache::Entry& e : cache->entry) {
            if (e.ptr && e.due <= now) {
                due[count++] = e;
                cache->total -= e.size;
                e.ptr = nullptr;
            }
        }
    }
    bool heap = false;
    for (std::size_t i = 0; i < count; ++i) {
        give_back(due[i].ptr, due[i].size, due[i].kind);
        heap = heap || due[i].kind == Kind::heap;
    }
    // Freed heap blocks may stay with the C heap; hand its free pages back.
    if (heap) malloc_trim(0);
}

void* reclaimer_main(void* arg) {
    auto* cache = static_cast<Cache*>(arg);
    pthread_setname_np(pthread_self(), "kiln-reclaim");
    {
        std::lock_guard<std::mutex> lock(cache->mutex);
        cache->reclaimer_alive = true;
    }
    cache->alive.notify_all();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(cache->mutex);
            for (;;) {
                Clock::time_point next = Clock::time_point::max();
                for (const Cache::Entry& e : cache->entry) {
                    if (e.ptr && e.due < next) next = e.due;
                }
                if (next == Clock::time_point::max()) {
                    cache->reclaimer_idle = true;
                    cache->wake.wait(lock);
                    cache->reclaimer_idle = false;
                } else if (const auto now = Clock::now(); now < next) {
                    // A deadline on the system clock: waiting on the steady
                    // clock needs a newer C library than the wheel requires.
                    // A jump of the system clock only moves a reclaim.
                    cache->wake.wait_until(lock, std::chrono::system_clock::now() + (next - now));
                } else {
                    break;
                }
            }
        }
        reclaim_due(cache, Clock::now());
    }
    return nullptr;
}

// Starts the reclaiming thread (once per cache, without the lock held, as
// the new thread takes it) and waits until it runs: a thread still starting
// up is in the C library's (or a sanitizer's) thread set-up, and a fork at
// that moment could leave the child with a lock nobody will release.
// Without the thread (creation failed) blocks are still reclaimed when due,
// at the next allocation or release.
void start_reclaimer(Cache* cache) noexcept {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, std::size_t{256} << 10);
    pthread_t thread;
    const bool created = pthread_create(&thread, &attr, reclaimer_main, cache) == 0;
    pthread_attr_destroy(&attr);
    if (!created) return;
    std::unique_lock<std::mutex> lock(cache->mutex);
    cache->alive.wait(lock, [cache] { return cache->reclaimer_alive; });
    cache->reclaimer_running = true;
}

std::size_t round_up(std::size_t value, std::size_t to) {
    if (value > SIZE_MAX - (to - 1)) throw std::bad_alloc();
    return (value + to - 1) / to * to;
}

// The most recently released cached block of this size and kind, if any.
void* take_cached(std::size_t size, Kind kind) noexcept {
    Cache* cache = g_cache;
    if (!cache) return nullptr;
    if (!cache->reclaimer_running) reclaim_due(cache, Clock::now());
    std::lock_guard<std::mutex> lock(cache->mutex);
    Cache::Entry* best = nullptr;
    for (Cache::Entry& e : cache->entry) {
        if (e.ptr && e.size == size && e.kind == kind && (!best || e.released > best->released)) best = &e;
    }
    if (!best) return nullptr;
    void* ptr = best->ptr;
    best->ptr = nullptr;
    cache->total -= size;
    return ptr;
}

// Keeps a released block, first giving back the blocks released longest
// ago as far as needed to make room. False if the block is never kept.
bool put_cached(void* ptr, std::size_t size, Kind kind) noexcept {
    Cache* cache = g_cache;
    if (!cache || size > kCacheBytes) return false;
    const Clock::time_point now = Clock::now();
    if (!cache->reclaimer_running) reclaim_due(cache, now);
    Cache::Entry evicted[kCacheSlots];
    std::size_t evictions = 0;
    bool wake = false, start = false;
    {
        std::lock_guard<std::mutex> lock(cache->mutex);
        for (;;) {
            Cache::Entry* free_slot = nullptr;
            Cache::Entry* oldest = nullptr;
            for (Cache::Entry& e : cache->entry) {
                if (!e.ptr) {
                    free_slot = &e;
                } else if (!oldest || e.released < oldest->released) {
                    oldest = &e;
                }
            }
            if (free_slot && cache->total + size <= kCacheBytes) {
                *free_slot = Cache::Entry{ptr, size, kind, ++cache->clock, now + kDecay};
                cache->total += size;
                break;
            }
            // Full in count or in bytes: oldest exists, since the block alone fits.
            evicted[evictions++] = *oldest;
            cache->total -= oldest->size;
            oldest->ptr = nullptr;
        }
        start = !cache->reclaimer_started;
        cache->reclaimer_started = true;
        // The reclaiming thread needs waking only when it waits with no
        // deadline; otherwise a block is already due no later than this one.
        wake = cache->reclaimer_idle;
        cache->reclaimer_idle = false;
    }
    if (wake) cache->wake.notify_one();
    if (start) start_reclaimer(cache);
    for (std::size_t i = 0; i < evictions; ++i) give_back(evicted[i].ptr, evicted[i].size, evicted[i].kind);
    return true;
}

// Returns a 2 MiB-aligned mapping of `size` bytes (a multiple of 2 MiB);
// `fresh` tells whether its pages are new (and so zero).
void* map_huge(std::size_t size, bool& fresh) {
    if (void* ptr = take_cached(size, Kind::mapped)) {
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
        if (void* ptr = take_cached(size, Kind::heap)) return ptr;
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
        if (!put_cached(ptr, size, Kind::mapped)) munmap(ptr, size);
    } else {
        const std::size_t size = heap_size(bytes);
        if (size < kCacheMin || !put_cached(ptr, size, Kind::heap)) std::free(ptr);
    }
}

}  // namespace kiln::mem
