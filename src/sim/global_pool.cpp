// The process-wide pool: the default size from the environment, the
// build-once rule, and the rebuild in a child after fork().
#include "global_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

#include "panic.hpp"
#include "system_limits.hpp"

namespace vastrel::sim {

namespace {

constexpr const char* kAlreadyInitialized = "The global thread pool has already been initialized.";
constexpr const char* kNotInitialized = "The global thread pool has not been initialized.";

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
