// Worker pool: one deque of jobs per worker (the owner pushes and pops at
// the back, thieves take from the front), and a sleep/wake protocol so that
// idle workers use no processor time and a loop wakes no more workers than
// it has work for.
//
// A thread outside the pool that starts a loop joins the pool for the
// loop's duration as its guest: it splits and runs pieces like a worker,
// from a deque of its own that the workers steal from once the loop has run
// for a few microseconds. A short loop is thus done on the calling thread
// while a sleeping worker is still waking up, and without moving its pieces
// and results between processors. (One thread at a time can be the guest;
// the interpreter lock held through every call makes that the rule, and any
// other thread hands its loop over and waits.)
//
// Sleeping and waking. Each worker sleeps on a word of its own, so a
// finished job wakes exactly the thread waiting for it. New work wakes one
// sleeper only when no awake worker is looking for work already; a worker
// that takes a job while more are queued wakes the next one, so a wake-up
// (microseconds of the waker's time) rarely falls on the calling thread. At
// most `active` threads run the pool's work at a time, the number of
// processors this process can keep busy, and a calling thread running its
// loop counts as one of them: a pool with more workers than processors (a
// container's processor quota, or a large RAYON_NUM_THREADS), or a caller
// joining its workers, keeps the rest asleep instead of letting them take
// turns with the busy ones (each turn costs the other thread its caches),
// and an idle worker whose yield shows its processor is wanted elsewhere
// sleeps at once.
#include "parallel/pool.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <linux/futex.h>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "core/texts.hpp"
#include "core/thread.hpp"
#include "parallel/pause.hpp"

namespace kiln::parallel {

namespace {

constexpr std::size_t kMaxWorkers = 65535;
constexpr std::size_t kStackBytes = std::size_t{2} << 20;  // 2 MiB
// How long an idle thread spins (pausing, reading one counter) before it
// starts yielding its processor: enough for a small loop's pieces to come
// back. Timed rather than counted: one pause instruction lasts from a few to
// about 25 nanoseconds, depending on the processor.
constexpr std::chrono::nanoseconds kPauseSpin{1000};
// How long a worker keeps looking for work (yielding its core between
// looks) before it goes to sleep. Waking a sleeping thread takes tens of
// microseconds on some machines (a virtual processor that went idle must be
// woken by the host), so a worker that just finished stays awake long
// enough for a caller's next loop, or a waiting worker's other half, to
// reach it.
constexpr std::chrono::microseconds kWorkerYield{200};
// A yield that lasts this long means another thread was given this
// processor: the worker sleeps at once rather than take turns with threads
// that have work.
constexpr std::chrono::microseconds kContendedYield{50};
// How long a loop started outside the pool runs on the calling thread alone
// before workers may take its pieces.
constexpr std::chrono::microseconds kGuestAlone{5};
// How long the calling thread keeps yielding, once it has no piece left to
// run, before it sleeps until its loop is done.
constexpr std::chrono::microseconds kCallerYield{1000};

std::int64_t now_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "a futex word must be a plain 32-bit integer");

void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            nullptr, nullptr, 0);
}

void futex_wake(std::atomic<std::uint32_t>& word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
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

// Processors' worth of time per period from a quota of `quota` microseconds
// every `period`, rounded up; nullopt for no limit or unreadable text.
std::optional<std::size_t> quota_processors(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return static_cast<std::size_t>((quota + period - 1) / period);
}

// The text of a small file, or "" if it cannot be read. Plain system calls:
// the C++ streams of the linked-in runtime would tie the module to a newer C
// library than the wheel requires.
std::string read_small_file(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < (1u << 16);)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return text;
}

// The processor quota of this process's control group, if one is set: the
// smallest "cpu.max" on the path from its group up to the root (version 2),
// or the root's "cpu.cfs_quota_us" (version 1, as a container sees it).
std::optional<std::size_t> cgroup_processor_limit() {
    std::optional<std::size_t> limit;
    auto take = [&](std::optional<std::size_t> n) {
        if (n && (!limit || *n < *limit)) limit = n;
    };
    std::string path;
    {
        const std::string groups = read_small_file("/proc/self/cgroup");
        for (std::size_t at = 0; at < groups.size();) {
            std::size_t end = groups.find('\n', at);
            if (end == std::string::npos) end = groups.size();
            if (groups.compare(at, 3, "0::") == 0) path = groups.substr(at + 3, end - at - 3);
            at = end + 1;
        }
    }
    for (std::string dir = "/sys/fs/cgroup" + path;;) {
        // "<quota> <period>", or "max <period>" for no limit.
        const std::string max = read_small_file(dir + "/cpu.max");
        if (!max.empty() && max.compare(0, 3, "max") != 0) {
            char* rest = nullptr;
            const long long quota = std::strtoll(max.c_str(), &rest, 10);
            const long long period = std::strtoll(rest, nullptr, 10);
            take(quota_processors(quota, period));
        }
        const auto slash = dir.rfind('/');
        if (dir == "/sys/fs/cgroup" || slash == std::string::npos || slash < 14) break;
        dir.resize(slash);
    }
    for (const char* dir : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        const std::string q = read_small_file(std::string(dir) + "/cpu.cfs_quota_us");
        const std::string p = read_small_file(std::string(dir) + "/cpu.cfs_period_us");
        if (!q.empty() && !p.empty())
            take(quota_processors(std::strtoll(q.c_str(), nullptr, 10), std::strtoll(p.c_str(), nullptr, 10)));
    }
    return limit;
}

// The number of processors this process can keep busy at once.
std::size_t usable_processors() {
    std::size_t n = processor_count();
    try {
        if (auto limit = cgroup_processor_limit()) n = std::min(n, *limit);
    } catch (...) {
        // Unreadable limits leave the processor count as it is.
    }
    return std::max<std::size_t>(n, 1);
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

// A worker thread, or the guest slot that a calling thread occupies while it
// runs a loop. Lives as long as its pool.
struct Worker {
    Pool* pool;
    std::size_t index;
    bool counted;  // a worker proper, counted among the awake and searching

    std::mutex mutex;
    std::deque<Job*> jobs;
    std::atomic<std::size_t> queued{0};  // jobs.size(), readable without the mutex

    // Sleep state; changed only under the pool's sleep mutex.
    std::atomic<std::uint32_t> wake_word{0};  // 0 while asleep; set to wake
    std::atomic<bool> asleep{false};
    std::size_t sleeper_slot = 0;  // position in Pool::sleepers

    void push(Job* job);
    // The newest job (its owner's end) or the oldest (a thief's end).
    Job* take(bool newest);
    Job* pop_back() { return take(true); }
    Job* steal_front() { return take(false); }
    bool pop_if_back(Job* job);
};

// How long an idle thread waits actively before it sleeps: a short spin,
// then yields of its processor.
class IdlePolicy {
public:
    IdlePolicy(std::chrono::microseconds yield_for, bool sleep_when_contended)
        : yield_for_(yield_for), sleep_when_contended_(sleep_when_contended) {}

    void reset() noexcept { started_ = false; }

    // Waits a little; false when it is time to sleep instead.
    bool wait_a_little() noexcept {
        const auto now = std::chrono::steady_clock::now();
        if (!started_) {
            started_ = true;
            since_ = now;
        }
        const auto idle = now - since_;
        if (idle < kPauseSpin) {
            for (int i = 0; i < 8; ++i) pause();
            return true;
        }
        if (idle >= kPauseSpin + yield_for_) return false;
        std::this_thread::yield();
        return !(sleep_when_contended_ &&
                 std::chrono::steady_clock::now() - now >= kContendedYield);
    }

private:
    std::chrono::microseconds yield_for_;
    bool sleep_when_contended_;
    bool started_ = false;
    std::chrono::steady_clock::time_point since_;
};

struct Pool {
    std::size_t size = 0;    // W, the worker count
    std::size_t active = 1;  // workers allowed awake at once
    // The W workers, then the guest slot at index W.
    std::vector<std::unique_ptr<Worker>> workers;
    Worker* guest = nullptr;
    std::atomic<bool> guest_taken{false};
    std::atomic<std::int64_t> guest_since{0};  // when the guest's loop began (now_ns)

    std::mutex injected_mutex;
    std::deque<Job*> injected;
    std::atomic<std::size_t> injected_count{0};  // injected.size(), readable without the mutex

    // Jobs waiting in any deque or in `injected`.
    std::atomic<std::size_t> queued{0};
    // Workers awake (not asleep), and those of them looking for work rather
    // than running a job. A worker being woken is counted as both from the
    // moment it is chosen.
    std::atomic<std::size_t> awake{0};
    std::atomic<std::size_t> searching{0};
    std::atomic<std::size_t> sleeper_count{0};
    std::atomic<bool> stopping{false};

    std::mutex sleep_mutex;
    std::vector<Worker*> sleepers;  // reserved for all workers: never allocates

    // Workers that have begun running; creation returns only once all have.
    std::size_t started = 0;
    std::condition_variable started_cv;

    void start_searching(Worker* self, bool& searching_now) {
        if (!searching_now && self->counted) searching.fetch_add(1, std::memory_order_seq_cst);
        searching_now = true;
    }

    void stop_searching(Worker* self, bool& searching_now) {
        if (searching_now && self->counted) searching.fetch_sub(1, std::memory_order_seq_cst);
        searching_now = false;
    }

    // Takes `w` out of its sleep (sleep_mutex held); false if it was awake.
    // The caller then wakes it with futex_wake.
    bool rouse_locked(Worker* w) noexcept {
        if (!w->asleep.load(std::memory_order_relaxed)) return false;
        w->asleep.store(false, std::memory_order_seq_cst);
        if (w->counted) {
            Worker* last = sleepers.back();
            sleepers[w->sleeper_slot] = last;
            last->sleeper_slot = w->sleeper_slot;
            sleepers.pop_back();
            sleeper_count.fetch_sub(1, std::memory_order_seq_cst);
            awake.fetch_add(1, std::memory_order_seq_cst);
            searching.fetch_add(1, std::memory_order_seq_cst);
        }
        w->wake_word.store(1, std::memory_order_release);
        return true;
    }

    // Wakes `w` if it sleeps (a worker or guest waiting for a job that has
    // just finished).
    void rouse(Worker* w) noexcept {
        bool woken;
        {
            std::lock_guard<std::mutex> lock(sleep_mutex);
            woken = rouse_locked(w);
        }
        if (woken) futex_wake(w->wake_word);
    }

    // Whether `awake` workers, with the calling thread of a loop in the
    // guest slot, would keep more processors busy than the process has.
    bool too_many(std::size_t awake_workers) const noexcept {
        const std::size_t guest_running = guest_taken.load(std::memory_order_seq_cst) ? 1 : 0;
        return awake_workers + guest_running > active;
    }

    // Wakes one sleeping worker, unless the awake ones (and a caller running
    // its loop) already fill the processors (`beyond_cap` wakes one
    // regardless).
    void wake_one(bool beyond_cap = false) noexcept {
        if (!beyond_cap && too_many(awake.load(std::memory_order_relaxed) + 1)) return;
        Worker* woken = nullptr;
        {
            std::lock_guard<std::mutex> lock(sleep_mutex);
            if (!sleepers.empty() &&
                (beyond_cap || !too_many(awake.load(std::memory_order_relaxed) + 1))) {
                woken = sleepers.back();  // the most recent sleeper: its caches are warmest
                rouse_locked(woken);
            }
        }
        if (woken) futex_wake(woken->wake_word);
    }

    // New work was queued: a sleeper is woken only when no awake worker is
    // looking for work. (Each wake-up costs the waker microseconds, so a
    // loop wakes one worker, and workers that find work wake the next.)
    void work_posted() noexcept {
        if (sleeper_count.load(std::memory_order_seq_cst) > 0 &&
            searching.load(std::memory_order_seq_cst) == 0) {
            wake_one();
        }
    }

    // A worker took a job: if more are queued and it was the last one
    // looking, it wakes another before it starts.
    void work_taken() noexcept {
        if (queued.load(std::memory_order_seq_cst) > 0) work_posted();
    }

    void inject(Job* job) {
        {
            std::lock_guard<std::mutex> lock(injected_mutex);
            injected.push_back(job);
        }
        injected_count.fetch_add(1, std::memory_order_seq_cst);
        queued.fetch_add(1, std::memory_order_seq_cst);
        // A handed-over loop must reach a worker even when the awake ones
        // are all busy.
        if (sleeper_count.load(std::memory_order_seq_cst) > 0 &&
            searching.load(std::memory_order_seq_cst) == 0) {
            wake_one(true);
        }
    }

    Job* take_injected() {
        std::lock_guard<std::mutex> lock(injected_mutex);
        if (injected.empty()) return nullptr;
        Job* job = injected.front();
        injected.pop_front();
        injected_count.fetch_sub(1, std::memory_order_seq_cst);
        queued.fetch_sub(1, std::memory_order_seq_cst);
        return job;
    }

    // Own newest job first, then the oldest job of another worker (or of the
    // guest, unless `spare_guest`), then a loop handed over from outside.
    Job* find_work(Worker* self, bool spare_guest = false) {
        if (queued.load(std::memory_order_seq_cst) == 0) return nullptr;
        if (Job* job = self->pop_back()) return job;
        const std::size_t n = workers.size();
        for (std::size_t step = 1; step < n; ++step) {
            Worker* victim = workers[(self->index + step) % n].get();
            if (victim == guest && (spare_guest || victim->queued.load(std::memory_order_relaxed) == 0 ||
                                    !guest_jobs_ripe())) {
                continue;
            }
            if (Job* job = victim->steal_front()) return job;
        }
        return take_injected();
    }

    // Whether the guest's loop has run long enough for its pieces to be
    // worth taking: a loop shorter than kGuestAlone is done by the calling
    // thread alone, which is quicker than moving its pieces and their
    // results between processors.
    bool guest_jobs_ripe() const noexcept {
        return now_ns() - guest_since.load(std::memory_order_relaxed) >=
               std::chrono::nanoseconds(kGuestAlone).count();
    }

    // Sleeps until woken: by new work (workers only), by `done` becoming
    // true, or by the pool stopping. Returns at once if any of these is
    // already the case once this thread is registered as asleep.
    void sleep(Worker* self, const std::atomic<bool>* done) {
        std::unique_lock<std::mutex> lock(sleep_mutex);
        self->wake_word.store(0, std::memory_order_relaxed);
        self->asleep.store(true, std::memory_order_seq_cst);
        if (self->counted) {
            self->sleeper_slot = sleepers.size();
            sleepers.push_back(self);
            sleeper_count.fetch_add(1, std::memory_order_seq_cst);
            searching.fetch_sub(1, std::memory_order_seq_cst);
            awake.fetch_sub(1, std::memory_order_seq_cst);
        }
        // Checked after registering: whoever queues work or finishes the
        // job afterwards sees this thread asleep and wakes it. Queued work
        // keeps a worker up unless the awake ones and a caller running its
        // loop fill the processors without it (they run that work); a loop
        // handed over from outside always does, since nothing else may
        // wake a worker for it.
        if ((self->counted && queued.load(std::memory_order_seq_cst) > 0 &&
             (!too_many(awake.load(std::memory_order_seq_cst) + 1) ||
              injected_count.load(std::memory_order_seq_cst) > 0)) ||
            stopping.load(std::memory_order_seq_cst) ||
            (done && done->load(std::memory_order_seq_cst))) {
            rouse_locked(self);
            return;
        }
        lock.unlock();
        while (self->wake_word.load(std::memory_order_acquire) == 0) futex_wait(self->wake_word, 0);
    }

    // Runs other work until `job` is done (a thread waiting for a half that
    // another worker took).
    void wait_for(Worker* self, Job& job) {
        bool searching_now = false;
        IdlePolicy idle(self->counted ? kWorkerYield : kCallerYield, self->counted);
        while (!job.done.load(std::memory_order_acquire)) {
            if (Job* other = find_work(self)) {
                stop_searching(self, searching_now);
                if (self->counted) work_taken();
                other->execute();
                idle.reset();
                continue;
            }
            start_searching(self, searching_now);
            if (idle.wait_a_little()) continue;
            sleep(self, &job.done);
            idle.reset();
        }
        stop_searching(self, searching_now);
    }

    void worker_main(Worker* self) {
        t_worker = self;
        bool searching_now = true;  // counted so when the pool was made
        IdlePolicy idle(kWorkerYield, true);
        while (!stopping.load(std::memory_order_relaxed)) {
            // One worker too many beside a caller running its loop leaves
            // the caller's pieces to the others and sleeps.
            const bool spare = too_many(awake.load(std::memory_order_seq_cst));
            if (spare && injected_count.load(std::memory_order_seq_cst) == 0) {
                sleep(self, nullptr);
                idle.reset();
                continue;
            }
            if (Job* job = find_work(self, spare)) {
                stop_searching(self, searching_now);
                work_taken();
                job->execute();
                start_searching(self, searching_now);
                idle.reset();
            } else if (!idle.wait_a_little()) {
                sleep(self, nullptr);
                idle.reset();
            }
        }
    }

    void stop() noexcept {
        stopping.store(true, std::memory_order_seq_cst);
        std::lock_guard<std::mutex> lock(sleep_mutex);
        while (!sleepers.empty()) {
            Worker* w = sleepers.back();
            rouse_locked(w);
            futex_wake(w->wake_word);
        }
    }
};

void Worker::push(Job* job) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        jobs.push_back(job);
        queued.store(jobs.size(), std::memory_order_relaxed);
    }
    pool->queued.fetch_add(1, std::memory_order_seq_cst);
    pool->work_posted();
}

Job* Worker::take(bool newest) {
    if (queued.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (jobs.empty()) return nullptr;
    Job* job = newest ? jobs.back() : jobs.front();
    if (newest) {
        jobs.pop_back();
    } else {
        jobs.pop_front();
    }
    queued.store(jobs.size(), std::memory_order_relaxed);
    pool->queued.fetch_sub(1, std::memory_order_seq_cst);
    return job;
}

bool Worker::pop_if_back(Job* job) {
    std::lock_guard<std::mutex> lock(mutex);
    if (jobs.empty() || jobs.back() != job) return false;
    jobs.pop_back();
    queued.store(jobs.size(), std::memory_order_relaxed);
    pool->queued.fetch_sub(1, std::memory_order_seq_cst);
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
    // Named before the pool counts it as started, so that the name is there
    // as soon as the pool is (the calling thread may finish a loop alone).
    char label[32];
    std::snprintf(label, sizeof label, "kiln-worker-%zu", self->index);
    set_thread_label(label);
    // The same name for tools that list a process's threads (top, ps,
    // debuggers); the kernel keeps at most 15 characters of it.
    pthread_setname_np(pthread_self(), label);
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
    pool->active = std::min(pool->size, usable_processors());
    pool->workers.reserve(pool->size + 1);
    pool->sleepers.reserve(pool->size);
    for (std::size_t i = 0; i <= pool->size; ++i) {
        auto w = std::make_unique<Worker>();
        w->pool = pool;
        w->index = i;
        w->counted = i < pool->size;
        pool->workers.push_back(std::move(w));
    }
    pool->guest = pool->workers.back().get();
    // Every worker starts awake, looking for work.
    pool->awake.store(pool->size);
    pool->searching.store(pool->size);
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
            pool->stop();
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
        // sees `done`, so nothing of *this is touched after the store. The
        // owner registers as asleep before it checks `done` for the last
        // time, so one of the two sees the other.
        Pool* const p = pool;
        Worker* const o = owner;
        done.store(true, std::memory_order_seq_cst);
        if (o->asleep.load(std::memory_order_seq_cst)) p->rouse(o);
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

// The guest slot, held by a calling thread for one loop: while held, the
// thread counts as inside the pool (its nested loops split onto the guest
// deque too).
class GuestTurn {
public:
    GuestTurn(Pool& pool, Sharing sharing) noexcept : pool_(pool) {
        bool expected = false;
        held_ = pool.guest_taken.compare_exchange_strong(expected, true, std::memory_order_acquire);
        if (held_) {
            // A loop shared at once counts as having run alone already.
            const std::int64_t alone =
                sharing == Sharing::at_once ? std::chrono::nanoseconds(kGuestAlone).count() : 0;
            pool.guest_since.store(now_ns() - alone, std::memory_order_relaxed);
            t_worker = pool.guest;
        }
    }
    ~GuestTurn() {
        if (!held_) return;
        t_worker = nullptr;
        pool_.guest_taken.store(false, std::memory_order_release);
    }
    GuestTurn(const GuestTurn&) = delete;
    GuestTurn& operator=(const GuestTurn&) = delete;

    explicit operator bool() const noexcept { return held_; }

private:
    Pool& pool_;
    bool held_;
};

// A whole loop handed over from a thread outside the pool while another
// thread holds the guest slot. The caller waits on a signal of its own, made
// for the loop on its stack: it first spins briefly, then yields for a
// while, then sleeps on the signal's condition variable.
struct Latch {
    std::mutex mutex;
    std::condition_variable cv;
    std::atomic<bool> set{false};
    bool sleeping = false;

    // A worker may still be inside open() when the waiting thread has
    // already seen `set`; taking the mutex waits for it to leave.
    ~Latch() { std::lock_guard<std::mutex> lock(mutex); }

    void wait() {
        IdlePolicy idle(kCallerYield, false);
        while (idle.wait_a_little()) {
            if (set.load(std::memory_order_acquire)) return;
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
    std::size_t len, budget;
    RangeFn run;
    Latch* latch;

    InjectedJob(Pool* p, std::size_t n, std::size_t b, RangeFn r, Latch* l)
        : pool(p), len(n), budget(b), run(r), latch(l) {}

    void execute() noexcept override {
        try {
            run_piece(*pool, 0, len, budget, true, run);
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

void run_range(std::size_t len, FunctionRef<void(std::size_t, std::size_t)> run, Sharing sharing,
               Grain grain) {
    Pool& pool = get_pool();
    if (len == 0) return;
    // A piece is divided while its budget lasts, halving it at each cut (a
    // piece a worker takes gets at least the worker count again): a budget
    // of len cuts down to single items.
    const std::size_t budget = grain == Grain::single ? std::max(len, pool.size) : pool.size;
    if (Worker* self = t_worker; self && self->pool == &pool) {
        run_piece(pool, 0, len, budget, false, run);
        return;
    }
    if (len < 2) {
        run(0, len);
        return;
    }
    // The calling thread splits the loop as if it had been handed over, and
    // runs pieces itself while the workers wake and take the others. With a
    // single worker the loop is handed to it whole: that pool is asked for
    // to keep every loop off the calling thread.
    if (pool.size >= 2) {
        if (GuestTurn turn{pool, sharing}) {
            run_piece(pool, 0, len, budget, true, run);
            return;
        }
    }
    Latch latch;
    InjectedJob job(&pool, len, budget, run, &latch);
    pool.inject(&job);
    latch.wait();
    if (job.failure) std::rethrow_exception(job.failure);
}

}  // namespace kiln::parallel
