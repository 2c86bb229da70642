// ThreadPool: a fixed-size fork-join pool. The caller hands it a range,
// blocks until every piece is done and gets back the first exception any
// worker threw. One process-wide instance serves every kernel.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace vastrel::sim {

// A failed pool build; what() is the text that set_num_threads appends.
class PoolBuildError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kMaxThreads = 65535;

class ThreadPool {
public:
    // Starts num_threads workers (1 to kMaxThreads, larger lowered) and waits
    // until all have started. Throws PoolBuildError with the OS error text and
    // " (os error N)" when a thread cannot be created.
    explicit ThreadPool(std::size_t num_threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::size_t num_threads() const noexcept;

    // Calls body(begin, end) on disjoint contiguous pieces covering [0, n),
    // in parallel on the workers; the caller never runs a piece itself and
    // returns when all are done, rethrowing the first exception thrown.
    // Must not be called from one of this pool's own workers.
    template <class F>
    void parallel_for(std::size_t n, F&& body) {
        using Body = std::remove_reference_t<F>;
        run(n, [](void* ctx, std::size_t b, std::size_t e) { (*static_cast<Body*>(ctx))(b, e); },
            const_cast<void*>(static_cast<const void*>(std::addressof(body))));
    }

private:
    using Task = void (*)(void* ctx, std::size_t begin, std::size_t end);
    void run(std::size_t n, Task task, void* ctx);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The size rule for the default pool, as a pure function of the two
// environment values (nullopt when unset or not valid text) and the
// machine's available parallelism.
std::size_t default_num_threads(std::optional<std::string_view> rayon_num_threads,
                                std::optional<std::string_view> rayon_rs_num_cpus,
                                std::size_t available);

// Processors this process may run on: affinity mask, reduced by a cgroup CPU
// quota; 1 if that cannot be determined.
std::size_t available_parallelism();

// The CPUs a cgroup quota allows (quota / period, at least 1), the smallest
// from the process's cgroup up to the root of either cgroup version, given
// the text of /proc/self/cgroup and the cgroup mount root; SIZE_MAX when no
// quota is set. Parameters so tests can point it at a made-up tree.
std::size_t cgroup_cpu_limit(std::string_view proc_self_cgroup, const std::string& mount_root);

// Builds the process-wide pool with exactly n threads (n >= 1). Throws
// PoolBuildError "The global thread pool has already been initialized." when
// any build was attempted before, or the thread-creation error.
void build_global(std::size_t n);

// The process-wide pool, built with the default size on first use. Panics
// "The global thread pool has not been initialized.: ..." after a failed build.
// In a child process after fork() it is rebuilt with the same size on first
// use (the parent's workers are not there), and the build-once flag stays
// set. A ThreadPool of one's own is not usable in a forked child.
ThreadPool& global_pool();

// global_pool().num_threads().
std::size_t current_num_threads();

}  // namespace vastrel::sim
