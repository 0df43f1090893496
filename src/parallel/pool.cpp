// Worker pool: one deque of jobs per worker (the owner pushes and pops at
// the back, thieves take from the front), one queue for jobs submitted from
// outside the pool, and a sleep/wake protocol so that idle workers use no
// processor time.
#include "parallel/pool.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <chrono>
#include <string>
#include <thread>
#include <unistd.h>

#include "core/texts.hpp"
#include "core/thread.hpp"

namespace kiln::parallel {

namespace {

constexpr std::size_t kMaxWorkers = 65535;
constexpr std::size_t kStackBytes = std::size_t{2} << 20;  // 2 MiB
// How long a worker keeps looking for work (yielding its core between
// looks) before it goes to sleep. Waking a sleeping thread takes tens of
// microseconds on some machines (a virtual processor that went idle must be
// woken by the host), so a worker that just finished stays awake long
// enough for a caller's next loop, or a waiting worker's other half, to
// reach it.
constexpr std::chrono::microseconds kIdleSpin{200};
// How long a calling thread spins before it starts yielding: enough for a
// small loop to finish, short enough not to keep a core from the workers
// on a small machine (with two workers on two cores, every microsecond of
// spinning delays the worker that shares the caller's core). Timed rather
// than counted: one pause instruction lasts from a few to about 25
// nanoseconds, depending on the processor.
constexpr std::chrono::nanoseconds kCallerSpin{1000};
// How long a calling thread then keeps yielding before it sleeps.
constexpr std::chrono::microseconds kCallerYield{1000};

// Time since a worker last had work; the clock is read only while idle.
class IdleClock {
public:
    void reset() noexcept { started_ = false; }
    // Whether the worker should keep looking rather than sleep.
    bool spinning() noexcept {
        const auto now = std::chrono::steady_clock::now();
        if (!started_) {
            started_ = true;
            since_ = now;
        }
        return now - since_ < kIdleSpin;
    }

private:
    bool started_ = false;
    std::chrono::steady_clock::time_point since_;
};

inline void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// --- worker count -------------------------------------------------------

// Parses an unsigned decimal number: digits with at most one leading '+'.
std::optional<unsigned long long> parse_count(const char* text) {
    if (!text) return std::nullopt;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return std::nullopt;
    unsigned long long value = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (value > (ULLONG_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t processor_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

std::size_t configured_worker_count() {
    unsigned long long n = 0;
    if (auto v = parse_count(std::getenv("RAYON_NUM_THREADS"))) {
        n = *v;
    } else if (auto w = parse_count(std::getenv("RAYON_RS_NUM_CPUS"))) {
        n = *w;
    }
    if (n == 0) n = processor_count();
    return static_cast<std::size_t>(std::min<unsigned long long>(n, kMaxWorkers));
}

// --- jobs -----------------------------------------------------------------

struct Pool;
struct Worker;

// Initial-exec TLS: the module is loaded at run time, and dynamic TLS would
// be allocated lazily on a thread's first use, where running out of memory
// ends the process. A plain pointer fits in the static surplus.
__attribute__((tls_model("initial-exec"))) thread_local Worker* t_worker = nullptr;

// A unit of work on a queue. It lives on the stack of the thread that waits
// for it, which never returns before `done` is set.
struct Job {
    virtual void execute() noexcept = 0;
    std::atomic<bool> done{false};
    std::exception_ptr failure;

protected:
    ~Job() = default;
};

struct Worker {
    Pool* pool;
    std::size_t index;
    std::mutex mutex;
    std::deque<Job*> jobs;

    void push(Job* job);
    // The newest job (the owner's next) or the oldest (a thief's), or null.
    Job* take(bool newest);
    Job* pop_back() { return take(true); }
    bool pop_if_back(Job* job);
    Job* steal_front() { return take(false); }
};

struct Pool {
    std::size_t size = 0;
    std::vector<std::unique_ptr<Worker>> workers;

    std::mutex injected_mutex;
    std::deque<Job*> injected;

    std::mutex sleep_mutex;
    std::condition_variable wake;
    std::atomic<std::uint64_t> epoch{0};
    std::atomic<std::size_t> sleepers{0};
    std::atomic<bool> stopping{false};

    // Workers that have begun running; creation returns only once all have.
    std::size_t started = 0;
    std::condition_variable started_cv;

    // Something changed that a sleeper may wait for: new work or a finished job.
    void signal(bool all) {
        epoch.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers.load(std::memory_order_seq_cst) > 0) {
            { std::lock_guard<std::mutex> lock(sleep_mutex); }
            if (all) wake.notify_all(); else wake.notify_one();
        }
    }

    void inject(Job* job) {
        {
            std::lock_guard<std::mutex> lock(injected_mutex);
            injected.push_back(job);
        }
        signal(false);
    }

    Job* take_injected() {
        std::lock_guard<std::mutex> lock(injected_mutex);
        if (injected.empty()) return nullptr;
        Job* job = injected.front();
        injected.pop_front();
        return job;
    }

    // Own newest job first, then the oldest job of another worker, then a
    // job submitted from outside.
    Job* find_work(Worker* self) {
        if (Job* job = self->pop_back()) return job;
        const std::size_t n = workers.size();
        for (std::size_t step = 1; step < n; ++step) {
            if (Job* job = workers[(self->index + step) % n]->steal_front()) return job;
        }
        return take_injected();
    }

    // Sleeps until the epoch moves past `seen` (or `until` becomes true).
    void sleep(std::uint64_t seen, const std::atomic<bool>* until) {
        std::unique_lock<std::mutex> lock(sleep_mutex);
        sleepers.fetch_add(1, std::memory_order_seq_cst);
        while (epoch.load(std::memory_order_seq_cst) == seen &&
               !stopping.load(std::memory_order_relaxed) &&
               !(until && until->load(std::memory_order_acquire))) {
            wake.wait(lock);
        }
        sleepers.fetch_sub(1, std::memory_order_seq_cst);
    }

    // Runs jobs until `until` is set or, without it, until the pool stops.
    // With no job to run, a worker keeps looking (yielding its core) for
    // kIdleSpin, then sleeps until something changes.
    void work(Worker* self, const std::atomic<bool>* until) {
        IdleClock idle;
        while (until ? !until->load(std::memory_order_acquire) : !stopping.load(std::memory_order_relaxed)) {
            const std::uint64_t seen = epoch.load(std::memory_order_seq_cst);
            if (Job* job = find_work(self)) {
                job->execute();
                idle.reset();
            } else if (idle.spinning()) {
                std::this_thread::yield();
            } else {
                sleep(seen, until);
                idle.reset();
            }
        }
    }

    // Runs other work until `job` is done (a worker waiting for a half that
    // another worker took).
    void wait_for(Worker* self, Job& job) { work(self, &job.done); }

    void worker_main(Worker* self) {
        t_worker = self;
        char label[32];
        std::snprintf(label, sizeof label, "kiln-worker-%zu", self->index);
        set_thread_label(label);
        // The same name for tools that list a process's threads (top, ps,
        // debuggers); the kernel keeps at most 15 characters of it.
        pthread_setname_np(pthread_self(), label);
        work(self, nullptr);
    }
};

void Worker::push(Job* job) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        jobs.push_back(job);
    }
    pool->signal(false);
}

Job* Worker::take(bool newest) {
    std::lock_guard<std::mutex> lock(mutex);
    if (jobs.empty()) return nullptr;
    Job* job = newest ? jobs.back() : jobs.front();
    if (newest) {
        jobs.pop_back();
    } else {
        jobs.pop_front();
    }
    return job;
}

bool Worker::pop_if_back(Job* job) {
    std::lock_guard<std::mutex> lock(mutex);
    if (jobs.empty() || jobs.back() != job) return false;
    jobs.pop_back();
    return true;
}

// --- pool creation ----------------------------------------------------------

struct Outcome {
    Pool* pool = nullptr;    // the running pool
    std::string failure;     // the cause, when creation failed
    bool attempted = false;
};

// Heap-allocated so that a forked child can start over with fresh objects:
// the parent's worker threads do not exist in the child.
std::mutex* g_create_mutex = new std::mutex;
Outcome* g_outcome = new Outcome;
std::atomic<Pool*> g_pool{nullptr};

void after_fork_in_child() {
    // The old objects may be in any state; they are abandoned, not freed.
    g_create_mutex = new (std::nothrow) std::mutex;
    g_outcome = new (std::nothrow) Outcome;
    g_pool.store(nullptr, std::memory_order_relaxed);
    t_worker = nullptr;
}

[[maybe_unused]] const bool g_fork_handler_installed = [] {
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
}();

void* worker_entry(void* arg) {
    auto* self = static_cast<Worker*>(arg);
    // A worker can fail (a task's exception), so its exception state is
    // made now, while the pool is being created, not on its first failure.
    prepare_thread();
    {
        std::lock_guard<std::mutex> lock(self->pool->sleep_mutex);
        ++self->pool->started;
    }
    self->pool->started_cv.notify_all();
    self->pool->worker_main(self);
    return nullptr;
}

Pool* create_pool(std::string& failure) {
    auto* pool = new Pool;
    pool->size = configured_worker_count();
    pool->workers.reserve(pool->size);
    for (std::size_t i = 0; i < pool->size; ++i) {
        auto w = std::make_unique<Worker>();
        w->pool = pool;
        w->index = i;
        pool->workers.push_back(std::move(w));
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackBytes);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    for (std::size_t i = 0; i < pool->size; ++i) {
        pthread_t thread;
        const int err = pthread_create(&thread, &attr, worker_entry, pool->workers[i].get());
        if (err != 0) {
            pthread_attr_destroy(&attr);
            // Workers already started stop; they still refer to the pool,
            // so it is never freed.
            pool->stopping.store(true);
            pool->signal(true);
            { std::lock_guard<std::mutex> lock(pool->sleep_mutex); }
            pool->wake.notify_all();
            failure = texts::pool_io_error(std::strerror(err), err);
            return nullptr;
        }
    }
    pthread_attr_destroy(&attr);
    // Wait until every thread is running: a thread still starting up is in
    // the C library's (or a sanitizer's) thread set-up, and a fork at that
    // moment could leave the child with a lock nobody will release.
    {
        std::unique_lock<std::mutex> lock(pool->sleep_mutex);
        pool->started_cv.wait(lock, [pool] { return pool->started == pool->size; });
    }
    return pool;
}

Pool& get_pool() {
    if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard<std::mutex> lock(*g_create_mutex);
    Outcome& outcome = *g_outcome;
    if (!outcome.attempted) {
        outcome.attempted = true;
        outcome.pool = create_pool(outcome.failure);
        if (outcome.pool) {
            g_pool.store(outcome.pool, std::memory_order_release);
            return *outcome.pool;
        }
        panic(texts::kPoolNotInitialized + outcome.failure);
    }
    if (outcome.pool) return *outcome.pool;
    panic(std::string(texts::kPoolNotInitialized) + texts::kPoolAlreadyInitialized);
}

// --- loop division ----------------------------------------------------------

using RangeFn = FunctionRef<void(std::size_t, std::size_t)>;

void run_piece(Pool& pool, std::size_t begin, std::size_t end, std::size_t budget, bool moved,
               RangeFn run);

// The second half of a split piece, offered to other workers.
struct HalfJob final : Job {
    Pool* pool;
    Worker* owner;
    std::size_t begin, end, budget;
    RangeFn run;

    HalfJob(Pool* p, Worker* o, std::size_t b, std::size_t e, std::size_t bud, RangeFn r)
        : pool(p), owner(o), begin(b), end(e), budget(bud), run(r) {}

    void execute() noexcept override {
        try {
            run_piece(*pool, begin, end, budget, t_worker != owner, run);
        } catch (...) {
            failure = std::current_exception();
        }
        // The owner may return (ending this object's life) as soon as it
        // sees `done`, so nothing of *this is touched after the store.
        Pool* const p = pool;
        done.store(true, std::memory_order_release);
        p->signal(true);
    }
};

void run_piece(Pool& pool, std::size_t begin, std::size_t end, std::size_t budget, bool moved,
               RangeFn run) {
    const std::size_t len = end - begin;
    if (len < 2 || (!moved && budget == 0)) {
        run(begin, end);
        return;
    }
    const std::size_t next = moved ? std::max(budget / 2, pool.size) : budget / 2;
    const std::size_t mid = begin + len / 2;
    Worker* self = t_worker;
    HalfJob second(&pool, self, mid, end, next, run);
    self->push(&second);

    std::exception_ptr first_failure;
    try {
        run_piece(pool, begin, mid, next, false, run);
    } catch (...) {
        first_failure = std::current_exception();
    }
    if (self->pop_if_back(&second)) {
        second.execute();
    } else {
        pool.wait_for(self, second);
    }
    if (first_failure) std::rethrow_exception(first_failure);
    if (second.failure) std::rethrow_exception(second.failure);
}

// A whole loop handed over from a thread outside the pool. The caller waits
// on a signal of its own, made for the loop on its stack (so no thread-local
// state outlives the call, and a forked child inherits none): it first spins
// briefly (a small loop is usually done within microseconds, sooner than a
// sleep and wake-up would take), then yields for a while, then sleeps on the
// signal's condition variable.
struct Latch {
    std::mutex mutex;
    std::condition_variable cv;
    std::atomic<bool> set{false};
    bool sleeping = false;

    // A worker may still be inside open() when the waiting thread has
    // already seen `set`; taking the mutex waits for it to leave.
    ~Latch() { std::lock_guard<std::mutex> lock(mutex); }

    void wait() {
        const auto spin_start = std::chrono::steady_clock::now();
        // The clock is read every eight pauses.
        do {
            for (int i = 0; i < 8; ++i) {
                if (set.load(std::memory_order_acquire)) return;
                pause();
            }
        } while (std::chrono::steady_clock::now() - spin_start < kCallerSpin);
        // Then it stays runnable, yielding its core to any thread that has
        // work, so that it resumes as soon as a worker's core falls idle
        // rather than paying a wake-up; long loops end with a sleep.
        const auto yield_start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - yield_start < kCallerYield) {
            if (set.load(std::memory_order_acquire)) return;
            std::this_thread::yield();
        }
        std::unique_lock<std::mutex> lock(mutex);
        sleeping = true;
        cv.wait(lock, [&] { return set.load(std::memory_order_acquire); });
        sleeping = false;
    }

    // Called by the worker that finished the loop; the waiter may return
    // (ending the latch's life) as soon as it sees `set`, so the mutex is held
    // across the store and the notification.
    void open() noexcept {
        std::lock_guard<std::mutex> lock(mutex);
        set.store(true, std::memory_order_release);
        if (sleeping) cv.notify_one();
    }
};


struct InjectedJob final : Job {
    Pool* pool;
    std::size_t len;
    RangeFn run;
    Latch* latch;

    InjectedJob(Pool* p, std::size_t n, RangeFn r, Latch* l) : pool(p), len(n), run(r), latch(l) {}

    void execute() noexcept override {
        try {
            run_piece(*pool, 0, len, pool->size, true, run);
        } catch (...) {
            failure = std::current_exception();
        }
        Latch* l = latch;
        done.store(true, std::memory_order_release);
        l->open();
    }
};

}  // namespace

std::size_t worker_count() { return get_pool().size; }

void run_range(std::size_t len, FunctionRef<void(std::size_t, std::size_t)> run) {
    Pool& pool = get_pool();
    if (len == 0) return;
    if (Worker* self = t_worker; self && self->pool == &pool) {
        run_piece(pool, 0, len, pool.size, false, run);
        return;
    }
    if (len < 2) {
        run(0, len);
        return;
    }
    Latch latch;
    InjectedJob job(&pool, len, run, &latch);
    pool.inject(&job);
    latch.wait();
    if (job.failure) std::rethrow_exception(job.failure);
}

}  // namespace kiln::parallel
