// The process-wide worker pool and the loops the kernels run on it.
//
// The pool is created on first use with a worker count taken from
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the processors this process
// may run on, and lives until the process ends. A thread outside the pool
// returns from a loop only once it is finished: it runs pieces of the loop
// itself while the workers wake (with a single worker, it hands the loop to
// that worker whole and waits). A loop started inside a pool task runs on
// that worker and nests. No loop form reduces in parallel, so values never
// depend on the worker count or on which thread ran which piece.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/errors.hpp"
#include "parallel/function_ref.hpp"

namespace kiln::parallel {

// Problems of at most this many result elements run on the calling thread
// and never touch the pool; larger ones are spread over it.
inline constexpr std::uint64_t kSequentialLimit = 10000;

// The worker count W; creates the pool if it does not exist yet.
std::size_t worker_count();

// When the workers may take pieces of a loop started outside the pool.
enum class Sharing {
    // Once the calling thread has run the loop alone for a few
    // microseconds: a short loop is then done without moving any piece
    // between processors.
    after_a_moment,
    // At once: for a loop known to last longer than a worker needs to
    // join, or whose items wait for each other (the calling thread could
    // not finish it alone).
    at_once,
};

// How finely a loop is divided into pieces.
enum class Grain {
    // A few pieces per worker, divided further only when a worker takes
    // one: for many light items.
    few,
    // Down to single items, each of which an idle worker may take: for a
    // few heavy items (a tile of a product takes a millisecond), where the
    // last piece left to one worker would keep the others idle.
    single,
};

// Elements of a light loop (a load, an operation and a store each) above
// which the calling thread alone would take longer than a worker needs to
// join: such loops share at once.
inline constexpr std::size_t kShareAtOnceElements = std::size_t{1} << 16;

// Sharing for a light loop over n elements.
inline Sharing sharing_for_light(std::size_t n) {
    return n >= kShareAtOnceElements ? Sharing::at_once : Sharing::after_a_moment;
}

// Runs items 0 .. len-1. The range is divided as pieces move between
// workers; each piece that is not divided further calls run(begin, end)
// once for its items, which the callee processes in ascending order. A
// failure in any piece is raised again on the calling thread after every
// other piece has finished.
void run_range(std::size_t len, FunctionRef<void(std::size_t, std::size_t)> run,
               Sharing sharing = Sharing::after_a_moment, Grain grain = Grain::few);

// Calls body(i) once for every i in [0, len), spread over the pool.
template <class Body>
void for_each_index(std::size_t len, Body&& body, Sharing sharing = Sharing::after_a_moment,
                    Grain grain = Grain::few) {
    run_range(len, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) body(i);
    }, sharing, grain);
}

// Indexed chunk loop: the n elements at `buffer` are seen as ceil(n / c)
// chunks of c elements (the last may be shorter); body(k, chunk, length) is
// called once per chunk.
template <class T, class Body>
void for_each_chunk(T* buffer, std::size_t n, std::size_t c, Body&& body,
                    Sharing sharing = Sharing::after_a_moment) {
    check(c != 0, "chunk size must be non-zero");
    for_each_index(n / c + (n % c != 0), [&](std::size_t k) {
        const std::size_t start = k * c;
        body(k, buffer + start, std::min(c, n - start));
    }, sharing);
}

// Ordered map-and-collect over 0 .. len-1: value i of the returned list is
// body(i). Values already produced are released if a body fails.
template <class R, class Body>
std::vector<R> map_collect(std::size_t len, Body&& body) {
    std::unique_ptr<std::optional<R>[]> slots(new std::optional<R>[len]);
    for_each_index(len, [&](std::size_t i) { slots[i].emplace(body(i)); });
    std::vector<R> out;
    out.reserve(len);
    for (std::size_t i = 0; i < len; ++i) out.push_back(std::move(*slots[i]));
    return out;
}

}  // namespace kiln::parallel
