// The process-wide pool: built once, with an explicit size or the default
// from the environment and the machine, and rebuilt in a forked child.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "thread_pool.hpp"

namespace vastrel::sim {

// The size rule for the default pool, as a pure function of the two
// environment values (nullopt when unset or not valid text) and the
// machine's available parallelism.
std::size_t default_num_threads(std::optional<std::string_view> rayon_num_threads,
                                std::optional<std::string_view> rayon_rs_num_cpus,
                                std::size_t available);

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
