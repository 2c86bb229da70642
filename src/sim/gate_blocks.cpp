// Gate-list execution: consecutive gates whose qubits fit one cache-sized
// block are grouped, and each worker takes whole blocks and runs the whole
// group over each block while it is in cache. The kernel functions take
// global pair ranges and test control bits on global indices, so calling
// them on the pair range of one run of a block, gate after gate, gives each
// amplitude the operations of one kernel call per gate in the same order.
#include "gate_blocks.hpp"

#include <math.h>

#include <algorithm>
#include <bit>
#include <cstddef>

#include "kernels.hpp"
#include "thread_pool.hpp"

namespace vastrel::sim {

namespace {

// Gates one pass takes at most: their constants live on the stack, since
// execution allocates nothing.
constexpr std::size_t kMaxGroup = 128;

// Qubits of a group at or above its low part, at most: the runs of one
// block have their offsets on the stack.
constexpr unsigned kMaxHighQubits = 10;

// As for a single kernel: below 2^15 pairs a dispatch costs more than it
// saves (bench/kernels.cpp, BM_SplitCrossover).
constexpr std::size_t kSerialPairs = std::size_t{1} << 15;

constexpr std::uint64_t mask_below(unsigned b) { return (std::uint64_t{1} << b) - 1; }

// One gate of a group, reduced to a kernel call on pairs of `pair_target`.
struct BlockOp {
    enum class Kind : std::uint8_t { Mat2, Cnot, Crz } kind;
    unsigned tested;       // cnot: control; crz: the bit tested on the upper member
    unsigned pair_target;  // the target whose pairs the kernel walks
    Matrix2 matrix;        // mat2: the matrix; crz: the phase in m00
};

// What a gate does on a vector of n amplitudes, as a kernel call would.
enum class Effect { Panics, Nothing, Acts };

struct Classified {
    Effect effect;
    std::uint64_t qubits;  // the bits it reads or writes, when it acts
};

Classified classify(const Gate& g, std::size_t n) {
    const auto bit = [](unsigned q) { return std::uint64_t{1} << q; };
    switch (g.index()) {
        case 3: {
            const Crz& crz = std::get<Crz>(g);
            const unsigned c = static_cast<unsigned>(crz.control & 63);
            const unsigned t = static_cast<unsigned>(crz.target & 63);
            if (bit(t) >= n || bit(c) >= n) {
                return {Effect::Nothing, 0};
            }
            return {Effect::Acts, bit(c) | bit(t)};
        }
        case 4: {
            const Cnot& cnot = std::get<Cnot>(g);
            const unsigned c = static_cast<unsigned>(cnot.control & 63);
            const unsigned t = static_cast<unsigned>(cnot.target & 63);
            if (t == 63) {
                return {Effect::Panics, 0};
            }
            if (c == t || bit(t) >= n || bit(c) >= n) {
                return {Effect::Nothing, 0};
            }
            return {Effect::Acts, bit(c) | bit(t)};
        }
        default: {
            const unsigned t = static_cast<unsigned>(target_of(g) & 63);
            if (t == 63 || bit(t) >= n) {
                return {Effect::Panics, 0};
            }
            return {Effect::Acts, bit(t)};
        }
    }
}

// The constants of the gate's kernel call, computed as the kernel computes them.
BlockOp make_op(const Gate& g) {
    switch (g.index()) {
        case 3: {
            const Crz& crz = std::get<Crz>(g);
            const unsigned c = static_cast<unsigned>(crz.control & 63);
            const unsigned t = static_cast<unsigned>(crz.target & 63);
            float sin_theta = 0.0f;
            float cos_theta = 0.0f;
            ::sincosf(crz.theta, &sin_theta, &cos_theta);
            const Complex32 phase{cos_theta, sin_theta};
            // As apply_crz: pairs of the higher bit, the lower one tested.
            return {BlockOp::Kind::Crz, c < t ? c : t, c < t ? t : c, {phase, {}, {}, {}}};
        }
        case 4: {
            const Cnot& cnot = std::get<Cnot>(g);
            return {BlockOp::Kind::Cnot, static_cast<unsigned>(cnot.control & 63),
                    static_cast<unsigned>(cnot.target & 63), {}};
        }
        default: {
            const unsigned t = static_cast<unsigned>(target_of(g) & 63);
            return {BlockOp::Kind::Mat2, t, t, matrix_of(g)};
        }
    }
}

// The low part of a block for a group on `qubits`: the largest low in
// [min_low, width] with low + popcount(qubits above low) <= width, or -1 when
// the group does not fit. Larger low means longer contiguous runs.
int low_bits(std::uint64_t qubits, BlockShape shape) {
    const auto high_count = [&](unsigned b) {
        return static_cast<unsigned>(std::popcount(qubits & ~mask_below(b)));
    };
    unsigned low = shape.min_low;
    if (low + high_count(low) > shape.width || high_count(low) > kMaxHighQubits ||
        high_count(std::max(low, kFarQubit)) > shape.max_far) {
        return -1;
    }
    while (low < shape.width && low + 1 + high_count(low + 1) <= shape.width) {
        ++low;
    }
    return static_cast<int>(low);
}

// Spreads the bits of value over the set bits of mask, lowest first.
std::size_t deposit(std::size_t value, std::uint64_t mask) {
    std::size_t out = 0;
    while (mask != 0 && value != 0) {
        if ((value & 1) != 0) {
            out |= static_cast<std::size_t>(mask & (~mask + 1));
        }
        value >>= 1;
        mask &= mask - 1;
    }
    return out;
}

template <class... Where>
void apply_gate(const Gate& g, StateVector& state, const Where&... where) {
    switch (g.index()) {
        case 3: {
            const Crz& crz = std::get<Crz>(g);
            state.apply_crz(crz.control, crz.target, crz.theta, where...);
            break;
        }
        case 4: {
            const Cnot& cnot = std::get<Cnot>(g);
            state.apply_cnot(cnot.control, cnot.target, where...);
            break;
        }
        default:
            // matrix_of builds the matrix anew per gate (Rz calls sincosf
            // each time), exactly as fusion does.
            state.apply_mat2(target_of(g), matrix_of(g), where...);
            break;
    }
}

void apply_alone(const Gate& g, StateVector& state, const Backend* backend) {
    if (backend != nullptr) {
        apply_gate(g, state, *backend);
    } else {
        apply_gate(g, state);
    }
}

void apply_op(const kernels::KernelSet& ks, Complex32* data, const BlockOp& op, std::size_t begin,
              std::size_t end) {
    switch (op.kind) {
        case BlockOp::Kind::Mat2:
            ks.mat2(data, op.pair_target, op.matrix, begin, end);
            break;
        case BlockOp::Kind::Cnot:
            ks.cnot(data, op.tested, op.pair_target, begin, end);
            break;
        case BlockOp::Kind::Crz:
            ks.crz(data, op.tested, op.pair_target, op.matrix.m00, begin, end);
            break;
    }
}

// Runs the group ops[0, count) on `qubits` block by block.
void run_group(const BlockOp* ops, std::size_t count, std::uint64_t qubits, unsigned low,
               StateVector& state, const Backend& backend) {
    state.prefault(*backend.pool);
    const std::size_t n = state.size();
    const std::uint64_t high = qubits & ~mask_below(low);
    const unsigned num_high = static_cast<unsigned>(std::popcount(high));
    const std::size_t runs = std::size_t{1} << num_high;
    const std::size_t run_length = std::size_t{1} << low;
    // The qubits that tell blocks apart: all but the low ones and the group's.
    const std::uint64_t block_bits = (n - 1) & ~mask_below(low) & ~high;
    const std::size_t num_blocks = n >> (low + num_high);

    std::size_t run_offset[std::size_t{1} << kMaxHighQubits];
    for (std::size_t r = 0; r < runs; ++r) {
        run_offset[r] = deposit(r, high);
    }

    Complex32* data = state.amplitudes().data();
    const kernels::KernelSet& ks = *backend.kernels;
    const auto body = [&](std::size_t block_begin, std::size_t block_end) {
        for (std::size_t blk = block_begin; blk < block_end; ++blk) {
            const std::size_t base = deposit(blk, block_bits);
            for (std::size_t k = 0; k < count; ++k) {
                const BlockOp& op = ops[k];
                const unsigned t = op.pair_target;
                if (t < low) {
                    // Each run holds 2^(low-1) whole pairs, from its start / 2 on.
                    for (std::size_t r = 0; r < runs; ++r) {
                        const std::size_t first = (base | run_offset[r]) >> 1;
                        apply_op(ks, data, op, first, first + run_length / 2);
                    }
                    continue;
                }
                // A run with bit t clear is the lower half of 2^low pairs
                // whose upper members form the run with bit t set.
                const std::size_t h = std::size_t{1} << t;
                for (std::size_t r = 0; r < runs; ++r) {
                    const std::size_t start = base | run_offset[r];
                    if ((start & h) != 0) {
                        continue;
                    }
                    const std::size_t first = ((start >> (t + 1)) << t) | (start & (h - 1));
                    apply_op(ks, data, op, first, first + run_length);
                }
            }
        }
    };
    ThreadPool& pool = *backend.pool;
    if (n / 2 < kSerialPairs || pool.num_threads() == 1) {
        body(0, num_blocks);
    } else {
        pool.parallel_for(num_blocks, body);
    }
}

}  // namespace

void run_gates(std::span<const Gate> gates, StateVector& state, const Backend* backend,
               BlockShape shape) {
    const std::size_t n = state.size();
    const std::size_t size = gates.size();
    if (shape.min_low < 1) {
        shape.min_low = 1;
    }
    if (shape.width == 0 || shape.min_low > shape.width || shape.width >= 63 ||
        n <= (std::size_t{1} << shape.width)) {
        // One block or none: nothing to save over one kernel per gate.
        for (const Gate& g : gates) {
            apply_alone(g, state, backend);
        }
        return;
    }
    BlockOp ops[kMaxGroup];
    std::size_t i = 0;
    while (i < size) {
        // The longest run from i that fits one block, ending before a gate
        // that panics. Gates that change nothing join it and are left out.
        std::size_t count = 0;
        std::uint64_t qubits = 0;
        int low = -1;
        std::size_t j = i;
        for (; j < size && count < kMaxGroup; ++j) {
            const Classified c = classify(gates[j], n);
            if (c.effect == Effect::Panics) {
                break;
            }
            if (c.effect == Effect::Nothing) {
                continue;
            }
            const int fit = low_bits(qubits | c.qubits, shape);
            if (fit < 0) {
                break;
            }
            ops[count++] = make_op(gates[j]);
            qubits |= c.qubits;
            low = fit;
        }
        if (count < 2) {
            // One pass either way: the gate's own kernel splits it best. A
            // panicking gate (j == i) runs here and raises its own panic.
            const std::size_t stop = j == i ? i + 1 : j;
            for (; i < stop; ++i) {
                apply_alone(gates[i], state, backend);
            }
            continue;
        }
        if (backend != nullptr) {
            run_group(ops, count, qubits, static_cast<unsigned>(low), state, *backend);
        } else {
            // The pool query first, as a kernel does: it builds the pool.
            ThreadPool& pool = global_pool();
            run_group(ops, count, qubits, static_cast<unsigned>(low), state,
                      Backend{&pool, &kernels::active_kernels()});
        }
        i = j;
    }
}

}  // namespace vastrel::sim
