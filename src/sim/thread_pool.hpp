// ThreadPool: a fixed-size fork-join pool. The caller hands it a range,
// blocks until every piece is done and gets back the first exception any
// worker threw. One process-wide instance (global_pool.hpp) serves every
// kernel.
#pragma once

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
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

}  // namespace vastrel::sim

// The process-wide instance, which most callers reach through this header.
#include "global_pool.hpp"
