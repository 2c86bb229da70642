// The executor: the one path from a gate list to the kernels. Gates are
// lowered (lowering.hpp), consecutive operations that fit one cache-sized
// block are planned into one pass over the vector, and each pass runs on
// the pool. It is the only caller of the kernels and of the pool.
#pragma once

#include <cstddef>
#include <span>

#include "block_shape.hpp"
#include "gate.hpp"

namespace vastrel::sim {

class StateVector;
class ThreadPool;
namespace kernels {
struct KernelSet;
}

// Where gates run when not on the process-wide default: tests and
// benchmarks pass their own pool and kernel set. Results are the same bits
// whatever the backend.
struct Backend {
    ThreadPool* pool;
    const kernels::KernelSet* kernels;
};

// Applies the gates in list order with exactly the arithmetic of one kernel
// call per gate: every amplitude sees the same operations in the same order.
// A gate that panics (target 63; a single-qubit target outside the vector)
// runs alone after all gates before it, so it panics with its own message on
// the state the gates before it left. backend null: the process-wide pool and
// kernel set, built at the first gate that asks for the pool (any gate but
// one with target 63).
void run_gates(std::span<const Gate> gates, StateVector& state, const Backend* backend,
               const BlockShape& shape = machine_block_shape());

// The passes over a vector of n amplitudes that run_gates makes for these
// gates on a pool of `workers` (a gate run alone is one pass; one that
// changes nothing is none), up to the first gate that panics.
std::size_t count_passes(std::span<const Gate> gates, std::size_t n, std::size_t workers,
                         const BlockShape& shape = machine_block_shape());

}  // namespace vastrel::sim
