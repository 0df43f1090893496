// The process-wide worker pool and the two loop forms the kernels use.
//
// The pool is created on first use with a worker count taken from
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the processors this process
// may run on, and lives until the process ends. A thread outside the pool
// hands a loop to the pool and blocks until it is finished; a loop started
// inside a pool task runs on that worker and nests. No loop form reduces in
// parallel, so values never depend on the worker count or on which worker
// ran which piece.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "parallel/function_ref.hpp"

namespace kiln::parallel {

// The worker count W; creates the pool if it does not exist yet.
std::size_t worker_count();

// True if a pool exists in this process (it is never created by this call).
bool pool_exists() noexcept;

// Runs items 0 .. len-1. The range is divided as pieces move between
// workers; each piece that is not divided further calls run(begin, end)
// once for its items, which the callee processes in ascending order. A
// failure in any piece is raised again on the calling thread after every
// other piece has finished.
void run_range(std::size_t len, FunctionRef<void(std::size_t, std::size_t)> run);

// Indexed chunk loop: the n elements at `buffer` are seen as ceil(n / c)
// chunks of c elements (the last may be shorter); body(k, chunk, length) is
// called once per chunk.
template <class T, class Body>
void for_each_chunk(T* buffer, std::size_t n, std::size_t c, Body&& body) {
    if (c == 0) panic("chunk size must be non-zero");
    const std::size_t chunks = n / c + (n % c != 0);
    run_range(chunks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
            const std::size_t start = k * c;
            body(k, buffer + start, std::min(c, n - start));
        }
    });
}

// Ordered map-and-collect over 0 .. len-1: value i of the returned list is
// body(i). Values already produced are released if a body fails.
template <class R, class Body>
std::vector<R> map_collect(std::size_t len, Body&& body) {
    std::unique_ptr<std::optional<R>[]> slots(new std::optional<R>[len]);
    run_range(len, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (slots[i].has_value()) panic("too many values pushed to consumer");
            slots[i].emplace(body(i));
        }
    });
    std::vector<R> out;
    out.reserve(len);
    for (std::size_t i = 0; i < len; ++i) {
        if (!slots[i].has_value()) break;
        out.push_back(std::move(*slots[i]));
    }
    if (out.size() != len) {
        panic("expected " + std::to_string(len) + " total writes, but got " +
              std::to_string(out.size()));
    }
    return out;
}

// Ordered map-and-collect over a list: value i is body(items[i]).
template <class R, class Item, class Body>
std::vector<R> map_collect(const std::vector<Item>& items, Body&& body) {
    return map_collect<R>(items.size(), [&](std::size_t i) { return body(items[i]); });
}

}  // namespace kiln::parallel
