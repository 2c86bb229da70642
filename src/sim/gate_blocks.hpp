// Execution of a gate list in list order, with runs of consecutive gates that
// fit one cache-sized block applied block by block in a single pass over the
// vector instead of one pass per gate.
#pragma once

#include <cstdint>
#include <span>

#include "gate.hpp"
#include "state_vector.hpp"

namespace vastrel::sim {

// A block holds 2^width amplitudes: 2^(width - low) runs of 2^low consecutive
// amplitudes, one run for each value of the group's qubits at or above low,
// with every other qubit fixed. A group of gates fits when
// low + (number of its qubits at or above low) <= width for some low of at
// least min_low; a gate on a qubit of its own then ends the group.
struct BlockShape {
    unsigned width;    // 0: no blocking, one kernel call per gate
    unsigned min_low;  // runs shorter than 2^min_low amplitudes stream badly
    // Runs that differ only in qubits from kFarQubit on share cache sets
    // (2 MiB pages keep those address bits): at most 2^max_far of them per set.
    unsigned max_far = 3;
    // Consecutive groups whose blocks all lie within outer blocks of
    // 2^outer amplitudes share one pass over the vector, outer block by
    // outer block (0: every group its own pass).
    unsigned outer = 0;
    // Within a group's block, consecutive gates that fit a smaller block of
    // 2^sub_width amplitudes (the private cache) go through it sub-block by
    // sub-block; runs at least 2^sub_min_low long, at most 2^sub_max_far of
    // them differing only in qubits from kSubFarQubit on (0: no sub-blocks).
    unsigned sub_width = 0;
    unsigned sub_min_low = 0;
    unsigned sub_max_far = 0;
};

// The lowest qubit whose address bit (qubit + 3) lies above the set-index
// bits of a 2 MiB 16-way L2.
inline constexpr unsigned kFarQubit = 14;
// The same for an 8-way 512 KiB L2 (64 KiB a way).
inline constexpr unsigned kSubFarQubit = 13;

// 1 MiB blocks of runs of at least 16 KiB, chosen with bench/gate_blocks.cpp.
// On a 2 MiB-L2 Xeon, QFT and random layers on 24 qubits ran 1.7-1.9x faster
// than one kernel per gate with up to 2^3 runs per set, within a few percent
// of the best of 2^16-2^18 blocks, runs of 2^10-2^12 and 2^1-2^3 runs per
// set. On a 512 KiB-L2 EPYC, up to 2^5 runs per set cut the passes of random
// layers (a random layer touches every qubit) and ran them 5% faster on 24
// qubits and 1% on 22, QFT 2-3% faster; 2^6 and other widths were no better.
// Passes over outer blocks of 8 MiB (two workers' worth is half a 32 MiB
// L3) ran both 2-8% faster there than a pass per group; 2^19 and 2^21 did
// no better. Sub-blocks of 256 KiB (half the 512 KiB L2) with runs of at
// least 8 KiB and up to 2^3 runs per L2 set ran QFT and random layers 4-7%
// faster on 22 and 24 qubits; 2^14 and 2^16, runs of 4 KiB and 2^2 or 2^4
// runs per set were no better, nor were wider groups above them.
inline constexpr BlockShape kDefaultBlockShape{17, 11, 5, 20, 15, 10, 3};
inline constexpr BlockShape kNoBlocks{0, 0, 0, 0};

// Applies the gates in list order with exactly the arithmetic of one kernel
// call per gate: every amplitude sees the same operations in the same order.
// A gate that panics (target 63; a single-qubit target outside the vector)
// runs alone after all gates before it, so it panics with its own message on
// the state the gates before it left. backend null: the process-wide pool and
// kernel set, built at the first gate as the kernels build them.
void run_gates(std::span<const Gate> gates, StateVector& state, const Backend* backend,
               BlockShape shape = kDefaultBlockShape);

}  // namespace vastrel::sim
