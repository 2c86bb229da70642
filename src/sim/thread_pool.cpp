// ThreadPool: fixed workers woken by a generation counter (bounded spin,
// then futex sleep) that take a job's pieces in turn; and the process-wide
// instance with its build-once rule, default size and fork handling.
#include "thread_pool.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "panic.hpp"

namespace vastrel::sim {

namespace {

constexpr const char* kAlreadyInitialized = "The global thread pool has already been initialized.";
constexpr const char* kNotInitialized = "The global thread pool has not been initialized.";

// Workers need little stack: they run kernel loops only.
constexpr std::size_t kStackSize = std::size_t{2} << 20;

// How a waiter waits before it sleeps: a burst of pause instructions
// (on an idle core the answer comes within a few hundred nanoseconds),
// then sched_yield until the budget is spent, which hands the core over at
// once when the thread waited for shares it. Measured on two loaded cores:
// a 2 us pause burst made an empty two-worker job take 8 us, 300 ns made
// it 2 us. Workers wait long enough to catch the next gate of a circuit;
// the caller, which competes with its own workers, not as long.
struct SpinBudget {
    std::chrono::nanoseconds pause;
    std::chrono::nanoseconds yield;
};

constexpr SpinBudget kWorkerWait{std::chrono::nanoseconds(300), std::chrono::microseconds(50)};
constexpr SpinBudget kCallerWait{std::chrono::nanoseconds(300), std::chrono::microseconds(10)};

void futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
              nullptr, nullptr, 0);
}

void futex_wake(std::atomic<std::uint32_t>* word, int count) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, count,
              nullptr, nullptr, 0);
}

// Spins until done() or the budget is spent; returns done().
template <class Done>
bool spin_until(const Done& done, SpinBudget budget) {
    if (done()) {
        return true;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto pause_end = start + budget.pause;
    const auto yield_end = pause_end + budget.yield;
    for (unsigned i = 1;; ++i) {
        __builtin_ia32_pause();
        if (done()) {
            return true;
        }
        if ((i & 31) == 0 && std::chrono::steady_clock::now() >= pause_end) {
            break;
        }
    }
    while (std::chrono::steady_clock::now() < yield_end) {
        ::sched_yield();
        if (done()) {
            return true;
        }
    }
    return false;
}

std::string os_error_text(int code) {
    char buffer[256];
    // GNU strerror_r: returns a pointer to the text, maybe not into buffer.
    const char* text = ::strerror_r(code, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

// A job is cut into this many pieces per worker, which workers take in
// turn: on a shared machine a worker that loses its core for a while then
// holds up one small piece, not a whole half of the vector.
constexpr std::size_t kPiecesPerWorker = 4;

// Piece k of [0, n) cut into `pieces`: contiguous, disjoint, sizes
// differing by at most one.
inline void piece_of(std::size_t n, std::size_t pieces, std::size_t k, std::size_t& begin,
                     std::size_t& end) {
    const std::size_t base = n / pieces;
    const std::size_t extra = n % pieces;
    begin = k * base + (k < extra ? k : extra);
    end = begin + base + (k < extra ? 1 : 0);
}

}  // namespace

struct ThreadPool::Impl {
    std::size_t num_threads = 0;
    std::vector<pthread_t> threads;

    // Serialises callers: the pool has one job slot.
    std::mutex dispatch_mutex;

    // The job slot. Written by the caller before it bumps `generation`
    // (release) and read by workers after they see the bump (acquire).
    Task task = nullptr;
    void* ctx = nullptr;
    std::size_t n = 0;
    std::size_t pieces = 0;
    bool stop = false;

    // The first exception of the current job. A worker claims the slot with
    // `failed` and writes `error` before its release decrement of `pending`;
    // the caller reads it after seeing `pending` reach zero.
    std::atomic<bool> failed{false};
    std::exception_ptr error;

    // The next piece of the current job to be taken. Reset by the caller
    // before the bump; relaxed increments suffice, the job itself is
    // published by `generation`.
    alignas(64) std::atomic<std::size_t> next_piece{0};

    alignas(64) std::atomic<std::uint32_t> generation{0};
    // Workers asleep (or about to sleep) on `generation`. Paired with the
    // caller's bump as a seq_cst store/load on each side, so either the
    // caller sees a sleeper and wakes it, or the sleeper sees the new
    // generation before it waits.
    alignas(64) std::atomic<std::uint32_t> sleepers{0};
    // Workers that have not yet finished the current job (or, during
    // construction, not yet started).
    alignas(64) std::atomic<std::uint32_t> pending{0};
    // Set while the caller sleeps on `pending`; the same seq_cst pairing.
    std::atomic<std::uint32_t> caller_waiting{0};

    static void* worker_main(void* raw) {
        static_cast<Impl*>(raw)->worker_loop();
        return nullptr;
    }

    void finish_one() {
        if (pending.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
            caller_waiting.load(std::memory_order_seq_cst) != 0) {
            futex_wake(&pending, 1);
        }
    }

    void worker_loop() {
        // Not a load: no job is published before every worker has started,
        // but a failed construction publishes `stop` at once, possibly
        // before this thread ran at all.
        std::uint32_t seen = 0;
        finish_one();  // started
        for (;;) {
            std::uint32_t g = seen;
            const auto published = [&] {
                g = generation.load(std::memory_order_acquire);
                return g != seen;
            };
            if (!spin_until(published, kWorkerWait)) {
                sleepers.fetch_add(1, std::memory_order_seq_cst);
                while ((g = generation.load(std::memory_order_seq_cst)) == seen) {
                    futex_wait(&generation, seen);
                }
                sleepers.fetch_sub(1, std::memory_order_relaxed);
            }
            seen = g;
            if (stop) {
                return;
            }
            for (;;) {
                const std::size_t k = next_piece.fetch_add(1, std::memory_order_relaxed);
                if (k >= pieces) {
                    break;
                }
                std::size_t begin = 0;
                std::size_t end = 0;
                piece_of(n, pieces, k, begin, end);
                try {
                    task(ctx, begin, end);
                } catch (...) {
                    // The remaining pieces still run: the caller sees the
                    // job finished before it sees the error.
                    if (!failed.exchange(true, std::memory_order_relaxed)) {
                        error = std::current_exception();
                    }
                }
            }
            finish_one();
        }
    }

    // Blocks until every worker has decremented `pending` to zero.
    void wait_all() {
        const auto all_done = [&] { return pending.load(std::memory_order_acquire) == 0; };
        if (spin_until(all_done, kCallerWait)) {
            return;
        }
        caller_waiting.store(1, std::memory_order_seq_cst);
        std::uint32_t left = 0;
        while ((left = pending.load(std::memory_order_seq_cst)) != 0) {
            futex_wait(&pending, left);
        }
        caller_waiting.store(0, std::memory_order_relaxed);
    }

    void publish() {
        generation.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers.load(std::memory_order_seq_cst) != 0) {
            futex_wake(&generation, INT_MAX);
        }
    }

    void stop_and_join(std::size_t started) {
        stop = true;
        publish();
        for (std::size_t i = 0; i < started; ++i) {
            ::pthread_join(threads[i], nullptr);
        }
    }
};

ThreadPool::ThreadPool(std::size_t num_threads) : impl_(std::make_unique<Impl>()) {
    if (num_threads == 0) {
        num_threads = 1;
    }
    if (num_threads > kMaxThreads) {
        num_threads = kMaxThreads;
    }
    Impl& impl = *impl_;
    impl.num_threads = num_threads;
    impl.threads.resize(num_threads);
    impl.pending.store(static_cast<std::uint32_t>(num_threads), std::memory_order_relaxed);

    pthread_attr_t attr;
    ::pthread_attr_init(&attr);
    ::pthread_attr_setstacksize(&attr, kStackSize);
    // Workers start with every signal blocked, so signals go to the
    // application's own threads.
    sigset_t all;
    sigset_t old;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    int err = 0;
    std::size_t started = 0;
    for (; started < num_threads; ++started) {
        err = ::pthread_create(&impl.threads[started], &attr, &Impl::worker_main, &impl);
        if (err != 0) {
            break;
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::pthread_attr_destroy(&attr);
    if (err != 0) {
        impl.stop_and_join(started);
        throw PoolBuildError(os_error_text(err));
    }
    impl.wait_all();
}

ThreadPool::~ThreadPool() {
    if (impl_) {
        impl_->stop_and_join(impl_->num_threads);
    }
}

std::size_t ThreadPool::num_threads() const noexcept { return impl_->num_threads; }

void ThreadPool::run(std::size_t n, Task task, void* ctx) {
    if (n == 0) {
        return;
    }
    Impl& impl = *impl_;
    std::lock_guard<std::mutex> lock(impl.dispatch_mutex);
    impl.task = task;
    impl.ctx = ctx;
    impl.n = n;
    impl.pieces = std::min(n, impl.num_threads * kPiecesPerWorker);
    impl.next_piece.store(0, std::memory_order_relaxed);
    impl.pending.store(static_cast<std::uint32_t>(impl.num_threads), std::memory_order_relaxed);
    impl.publish();
    impl.wait_all();
    if (impl.failed.load(std::memory_order_acquire)) {
        std::exception_ptr error = std::move(impl.error);
        impl.error = nullptr;
        impl.failed.store(false, std::memory_order_relaxed);
        std::rethrow_exception(error);
    }
}

// ---------------------------------------------------------------------------
// Default size

namespace {

// An unsigned decimal: digits with an optional leading '+', nothing else,
// no overflow of 64 bits.
std::optional<std::uint64_t> parse_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') {
            return std::nullopt;
        }
        const std::uint64_t digit = static_cast<std::uint64_t>(ch - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::size_t clamp_count(std::uint64_t n) {
    return n > kMaxThreads ? kMaxThreads : static_cast<std::size_t>(n);
}

}  // namespace

std::size_t default_num_threads(std::optional<std::string_view> rayon_num_threads,
                                std::optional<std::string_view> rayon_rs_num_cpus,
                                std::size_t available) {
    if (rayon_num_threads) {
        if (auto n = parse_count(*rayon_num_threads)) {
            // 0 asks for the machine's parallelism and ends the search.
            return clamp_count(*n > 0 ? *n : available);
        }
    }
    if (rayon_rs_num_cpus) {
        if (auto n = parse_count(*rayon_rs_num_cpus); n && *n > 0) {
            return clamp_count(*n);
        }
    }
    return clamp_count(available);
}

namespace {

bool read_first_line(const std::string& path, std::string& line) {
    std::ifstream in(path);
    return in && std::getline(in, line);
}

// CPUs a quota/period pair allows, rounded down but at least one.
std::size_t quota_cpus(std::uint64_t quota, std::uint64_t period) {
    const std::uint64_t cpus = period == 0 ? 0 : quota / period;
    return cpus == 0 ? 1 : static_cast<std::size_t>(cpus);
}

}  // namespace

std::size_t cgroup_cpu_limit(std::string_view proc_self_cgroup, const std::string& mount_root) {
    std::stringstream in{std::string(proc_self_cgroup)};
    std::string line;
    std::size_t best = SIZE_MAX;
    while (std::getline(in, line)) {
        // hierarchy-id:controllers:path
        const auto first = line.find(':');
        const auto second = line.find(':', first == std::string::npos ? first : first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        bool v2 = line.compare(0, first, "0") == 0 && controllers.empty();
        bool v1 = false;
        std::string root;
        if (v2) {
            root = mount_root;
        } else {
            std::stringstream list(controllers);
            std::string name;
            while (std::getline(list, name, ',')) {
                v1 = v1 || name == "cpu";
            }
            if (!v1) {
                continue;
            }
            root = mount_root + "/cpu,cpuacct";
            std::string probe;
            if (!read_first_line(root + "/cpu.cfs_period_us", probe)) {
                root = mount_root + "/cpu";
            }
        }
        for (;;) {
            const std::string dir = root + (path == "/" ? "" : path);
            std::string text;
            if (v2 && read_first_line(dir + "/cpu.max", text)) {
                std::stringstream fields(text);
                std::string quota;
                std::uint64_t period = 0;
                if (fields >> quota >> period && quota != "max") {
                    if (auto q = parse_count(quota)) {
                        best = std::min(best, quota_cpus(*q, period));
                    }
                }
            } else if (v1 && read_first_line(dir + "/cpu.cfs_quota_us", text)) {
                std::string period_text;
                if (text.find('-') == std::string::npos &&
                    read_first_line(dir + "/cpu.cfs_period_us", period_text)) {
                    auto q = parse_count(text);
                    auto p = parse_count(period_text);
                    if (q && p) {
                        best = std::min(best, quota_cpus(*q, *p));
                    }
                }
            }
            if (path.empty() || path == "/") {
                break;
            }
            const auto slash = path.rfind('/');
            path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
        }
    }
    return best;
}

std::size_t available_parallelism() {
    std::size_t count = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        count = static_cast<std::size_t>(CPU_COUNT(&set));
    } else {
        const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
        count = online > 0 ? static_cast<std::size_t>(online) : 0;
    }
    if (count == 0) {
        return 1;
    }
    std::ifstream in("/proc/self/cgroup");
    std::stringstream text;
    text << in.rdbuf();
    return std::min(count, cgroup_cpu_limit(text.str(), "/sys/fs/cgroup"));
}

// ---------------------------------------------------------------------------
// The process-wide pool

namespace {

struct Global {
    std::mutex mutex;
    // Set once the pool exists; the lock-free fast path of every kernel.
    std::atomic<ThreadPool*> pool{nullptr};
    // The build-once flag: set by the first attempt, successful or not, and
    // kept in a forked child.
    bool attempted = false;
    // In a child after fork: the size of the parent's pool, rebuilt on the
    // first use since the parent's workers do not exist here.
    std::size_t rebuild_size = 0;
    bool atfork_registered = false;
};

// Never destroyed: the pool lives until the process exits.
Global& global() {
    static Global* g = new Global;
    return *g;
}

void atfork_prepare() { global().mutex.lock(); }

void atfork_parent() { global().mutex.unlock(); }

void atfork_child() {
    Global& g = global();
    if (ThreadPool* pool = g.pool.load(std::memory_order_relaxed)) {
        // Its workers were not copied into this process; the object is
        // leaked rather than destroyed, since destroying it would join them.
        g.rebuild_size = pool->num_threads();
        g.pool.store(nullptr, std::memory_order_relaxed);
    }
    g.mutex.unlock();
}

// Caller holds g.mutex.
void register_atfork(Global& g) {
    if (!g.atfork_registered) {
        ::pthread_atfork(atfork_prepare, atfork_parent, atfork_child);
        g.atfork_registered = true;
    }
}

std::string debug_of(const PoolBuildError& error) {
    return std::string("PoolBuildError { message: \"") + error.what() + "\" }";
}

[[noreturn]] void panic_not_initialized(const PoolBuildError& error) {
    throw Panic(std::string(kNotInitialized) + ": " + debug_of(error));
}

std::optional<std::string_view> env(const char* name) {
    if (const char* value = std::getenv(name)) {
        return std::string_view(value);
    }
    return std::nullopt;
}

ThreadPool& global_pool_slow() {
    Global& g = global();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (ThreadPool* pool = g.pool.load(std::memory_order_relaxed)) {
        return *pool;
    }
    std::size_t size = 0;
    if (!g.attempted) {
        g.attempted = true;
        size = default_num_threads(env("RAYON_NUM_THREADS"), env("RAYON_RS_NUM_CPUS"),
                                   available_parallelism());
    } else if (g.rebuild_size != 0) {
        size = g.rebuild_size;
        g.rebuild_size = 0;
    } else {
        // A build was attempted and failed: every later use fails alike.
        panic_not_initialized(PoolBuildError(kAlreadyInitialized));
    }
    register_atfork(g);
    ThreadPool* pool = nullptr;
    try {
        pool = new ThreadPool(size);
    } catch (const PoolBuildError& error) {
        panic_not_initialized(error);
    }
    g.pool.store(pool, std::memory_order_release);
    return *pool;
}

}  // namespace

void build_global(std::size_t n) {
    Global& g = global();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.attempted) {
        throw PoolBuildError(kAlreadyInitialized);
    }
    g.attempted = true;
    register_atfork(g);
    g.pool.store(new ThreadPool(n), std::memory_order_release);
}

ThreadPool& global_pool() {
    if (ThreadPool* pool = global().pool.load(std::memory_order_acquire)) {
        return *pool;
    }
    return global_pool_slow();
}

std::size_t current_num_threads() { return global_pool().num_threads(); }

}  // namespace vastrel::sim
