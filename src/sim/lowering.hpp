// Lowering: what a gate does to a vector of n amplitudes, as the one kernel
// call that performs it. This is the only home of the qubit-index rules
// (indices act modulo 64, target 63 panics, an index outside the vector
// changes nothing or panics, crz walks the pairs of its higher bit) and of
// the sincosf call for execution.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gate.hpp"
#include "kernels.hpp"

namespace vastrel::sim {

// What a gate does on a vector of n amplitudes.
enum class Effect : std::uint8_t {
    Panics,   // raises its panic before it writes anything
    Nothing,  // leaves every amplitude as it is
    Acts,
};

// One gate as a kernel call on the pairs of `pair_target`.
struct Op {
    enum class Kind : std::uint8_t { Mat2, Cnot, Crz } kind;
    Effect effect;
    unsigned tested;       // cnot: the control; crz: the lower of its two bits
    unsigned pair_target;  // the target whose pairs the kernel walks
    Matrix2 matrix;        // mat2: the matrix; crz: the phase in m00
    std::uint64_t qubits;  // the bits it reads or writes, when it acts
    // A Mat2's cnots folded into it (kernels.hpp: mat2_exchanged). Lowering
    // makes none; the executor folds cnots into their neighbours.
    kernels::Exchanges exchange;
};

// The operation of g on a vector of n amplitudes (n a power of two). A
// single-qubit gate becomes a Mat2 whose matrix is built anew (Rz calls
// sincosf each time, exactly as fusion does). A NaN among the matrix or
// phase entries becomes the NaN the arithmetic itself produces, so that NaN
// bits do not depend on operand order (lowering.cpp).
Op lower(const Gate& g, std::size_t n);

// Whether running op builds the process-wide pool first, as a kernel that
// asks for the pool's size would: every op but one whose target is 63,
// which panics before the pool is touched.
bool asks_for_pool(const Op& op) noexcept;

// Whether op turns amplitudes that are all +0 into +0 again, bit for bit,
// by the kernels' own formula: the signs of a matrix's or a phase's parts
// decide the signs of the zeros its products make (and an infinite or NaN
// part makes NaN). A cnot only moves amplitudes.
bool keeps_zeros(const Op& op) noexcept;

// Throws the panic of an op whose effect is Panics, for a vector of n.
[[noreturn]] void raise_panic(const Op& op, std::size_t n);

}  // namespace vastrel::sim
