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
// Where the vector knows its amplitudes past the first 2^k are +0 (a new
// one, StateVector::live_bits), the first gates run on only the part of it
// they reach; what they would do to the rest is known bit for bit.
// A gate that panics (target 63; a single-qubit target outside the vector)
// runs alone after all gates before it, so it panics with its own message on
// the state the gates before it left. backend null: the process-wide pool and
// kernel set, built at the first gate that asks for the pool (any gate but
// one with target 63).
void run_gates(std::span<const Gate> gates, StateVector& state, const Backend* backend,
               const BlockShape& shape = machine_block_shape());

// What run_gates does with these gates on a vector of n amplitudes that
// are all in use (a new vector's first gates may run on part of it
// instead) and a pool of `workers`, up to the first gate that panics: its
// passes over the vector (a gate run alone is one; one that changes
// nothing is none), and its sweeps, the passes plus each further group of
// a pass (a group sweeps the blocks of the pass's outer blocks in the
// shared cache).
struct PlanCounts {
    std::size_t passes;
    std::size_t sweeps;
};
PlanCounts count_plan(std::span<const Gate> gates, std::size_t n, std::size_t workers,
                      const BlockShape& shape = machine_block_shape());

inline std::size_t count_passes(std::span<const Gate> gates, std::size_t n, std::size_t workers,
                                const BlockShape& shape = machine_block_shape()) {
    return count_plan(gates, n, workers, shape).passes;
}

}  // namespace vastrel::sim
