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

// Groups and gates one pass over the vector takes at most.
constexpr std::size_t kMaxPassGroups = 32;
constexpr std::size_t kMaxPassOps = 256;

// Qubits of a group at or above its low part, at most, so that a block
// never splits into more than 2^10 runs.
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
// [min_low, min(width, max_low)] with low + popcount(qubits above low) <=
// width and at most max_far qubits from far_qubit on above it, or -1 when
// the group does not fit. Larger low means longer contiguous runs.
int low_bits(std::uint64_t qubits, unsigned width, unsigned min_low, unsigned max_far, unsigned far_qubit,
             unsigned max_low) {
    const auto high_count = [&](unsigned b) {
        return static_cast<unsigned>(std::popcount(qubits & ~mask_below(b)));
    };
    unsigned low = min_low;
    if (low > max_low || low + high_count(low) > width || high_count(low) > kMaxHighQubits ||
        high_count(std::max(low, far_qubit)) > max_far) {
        return -1;
    }
    while (low < width && low < max_low && low + 1 + high_count(low + 1) <= width) {
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

// The layout of one group's blocks: 2^low consecutive amplitudes times every
// value of the group's qubits at or above low (`high`), with the other
// bits (`block_bits`) fixed.
struct GroupPlan {
    const BlockOp* ops;
    std::size_t count;
    unsigned low;
    std::uint64_t high;
    std::uint64_t block_bits;
    // A group's sub-blocks: consecutive parts of its ops, each with its own
    // layout within the group's block (block_bits then the bits of the
    // group's block that the part's sub-blocks do not span). None: every op
    // goes over the whole block.
    const GroupPlan* parts = nullptr;
    std::size_t num_parts = 0;
};

GroupPlan plan_group(const BlockOp* ops, std::size_t count, std::uint64_t qubits, unsigned low,
                     std::size_t n) {
    const std::uint64_t high = qubits & ~mask_below(low);
    return {ops, count, low, high, (n - 1) & ~mask_below(low) & ~high};
}

// Splits a group's ops into parts of consecutive ops that fit sub-blocks
// of the shape's sub_width (within the group's block, so with a low part
// of at most the group's), written to parts. An op that fits no part of
// two or more goes over the whole block, with any such ops next to it.
// Returns the number of parts, or 0 when no part of two or more ops came
// out, or the group's block is no larger than a sub-block.
std::size_t split_parts(const GroupPlan& g, const std::uint64_t* op_qubits, BlockShape shape, GroupPlan* parts) {
    if (shape.sub_width == 0 || shape.sub_width >= g.low + static_cast<unsigned>(std::popcount(g.high))) {
        return 0;
    }
    const std::uint64_t group_local = mask_below(g.low) | g.high;
    std::size_t num = 0;
    bool shared = false;
    for (std::size_t k = 0; k < g.count;) {
        std::uint64_t qubits = 0;
        int low = -1;
        std::size_t e = k;
        for (; e < g.count; ++e) {
            const int fit = low_bits(qubits | op_qubits[e], shape.sub_width, shape.sub_min_low, shape.sub_max_far,
                                     kSubFarQubit, g.low);
            if (fit < 0) {
                break;
            }
            qubits |= op_qubits[e];
            low = fit;
        }
        if (e - k >= 2) {
            const unsigned part_low = static_cast<unsigned>(low);
            const std::uint64_t high = qubits & ~mask_below(part_low);
            parts[num++] = {g.ops + k, e - k, part_low, high, group_local & ~(mask_below(part_low) | high)};
            shared = true;
            k = e;
            continue;
        }
        if (num > 0 && parts[num - 1].block_bits == 0) {
            ++parts[num - 1].count;
        } else {
            parts[num++] = {g.ops + k, 1, g.low, g.high, 0};
        }
        ++k;
    }
    return shared ? num : 0;
}

// Every value of the bits of mask, as f(value spread over them); the order
// is that of counting, and cannot matter: blocks and runs are disjoint.
template <class F>
void for_each_submask(std::uint64_t mask, F f) {
    std::uint64_t s = 0;
    do {
        f(static_cast<std::size_t>(s));
        s = (s - mask) & mask;
    } while (s != 0);
}

// Runs the group's ops, in order, over its block at base.
void run_ops(const GroupPlan& g, std::size_t base, const kernels::KernelSet& ks, Complex32* data) {
    const std::size_t run_length = std::size_t{1} << g.low;
    for (std::size_t k = 0; k < g.count; ++k) {
        const BlockOp& op = g.ops[k];
        const unsigned t = op.pair_target;
        if (t < g.low) {
            // Each run holds 2^(low-1) whole pairs, from its start / 2 on.
            for_each_submask(g.high, [&](std::size_t offset) {
                const std::size_t first = (base | offset) >> 1;
                apply_op(ks, data, op, first, first + run_length / 2);
            });
            continue;
        }
        // A run with bit t clear is the lower half of 2^low pairs whose
        // upper members form the run with bit t set.
        const std::size_t h = std::size_t{1} << t;
        for_each_submask(g.high & ~std::uint64_t{h}, [&](std::size_t offset) {
            const std::size_t start = base | offset;
            const std::size_t first = ((start >> (t + 1)) << t) | (start & (h - 1));
            apply_op(ks, data, op, first, first + run_length);
        });
    }
}

// The same, part by part when the group has parts: each part's ops over
// each of its sub-blocks within the block, which stays in the private
// cache between them.
void run_block(const GroupPlan& g, std::size_t base, const kernels::KernelSet& ks, Complex32* data) {
    if (g.num_parts == 0) {
        run_ops(g, base, ks, data);
        return;
    }
    for (std::size_t k = 0; k < g.num_parts; ++k) {
        const GroupPlan& part = g.parts[k];
        for_each_submask(part.block_bits, [&](std::size_t inner) { run_ops(part, base | inner, ks, data); });
    }
}

// Runs consecutive groups in one pass over the vector: each worker takes an
// outer block (every value of the bits `outer_fixed`, which no group's
// block spans) and runs the groups one after another over the group blocks
// inside it, so the outer block stays in the shared cache between them. An
// amplitude still sees the groups in order. A single group's outer blocks
// are its own blocks (outer_fixed is its block_bits).
void run_pass(const GroupPlan* groups, std::size_t num_groups, std::uint64_t outer_fixed, StateVector& state,
              const Backend& backend) {
    state.prefault(*backend.pool);
    const std::size_t n = state.size();
    const std::size_t num_outer = std::size_t{1} << std::popcount(outer_fixed);
    Complex32* data = state.amplitudes().data();
    const kernels::KernelSet& ks = *backend.kernels;
    const auto body = [&](std::size_t outer_begin, std::size_t outer_end) {
        for (std::size_t o = outer_begin; o < outer_end; ++o) {
            const std::size_t outer_base = deposit(o, outer_fixed);
            for (std::size_t k = 0; k < num_groups; ++k) {
                const GroupPlan& g = groups[k];
                for_each_submask(g.block_bits & ~outer_fixed,
                                 [&](std::size_t inner) { run_block(g, outer_base | inner, ks, data); });
            }
        }
    };
    ThreadPool& pool = *backend.pool;
    if (n / 2 < kSerialPairs || pool.num_threads() == 1) {
        body(0, num_outer);
    } else {
        pool.parallel_for(num_outer, body);
    }
}

// run_gates with blocks of the shape, whose far qubits start at far_qubit.
void run_shaped(std::span<const Gate> gates, StateVector& state, const Backend* backend, BlockShape shape,
                unsigned far_qubit) {
    const std::size_t n = state.size();
    const std::size_t size = gates.size();
    if (shape.min_low < 1) {
        shape.min_low = 1;
    }
    const bool usable = shape.width != 0 && shape.min_low <= shape.width && shape.width < 63;
    const unsigned log2_n = static_cast<unsigned>(std::countr_zero(n));
    // One block. A vector larger than a sub-block (16 and 17 qubits by
    // default) outgrows a private cache all the same, and a gate split over
    // the workers hands half of it from one core to the other: its halves
    // become the blocks, with sub-blocks in them as before (a group no
    // larger than a sub-block gets none). Two threads, both ways in one
    // process, run alternately: random layers at least 1.3x and QFT at
    // least 2x faster than a kernel per gate on 16 and 17 qubits; on one
    // thread the same as before.
    if (usable && log2_n <= shape.width && shape.sub_width != 0 && shape.sub_width < shape.width &&
        log2_n > shape.sub_width) {
        const unsigned half = log2_n - 1;
        const BlockShape halves{half,            shape.sub_min_low, shape.sub_max_far, half,
                                shape.sub_width, shape.sub_min_low, shape.sub_max_far};
        run_shaped(gates, state, backend, halves, kSubFarQubit);
        return;
    }
    if (!usable || log2_n <= shape.width) {
        // Otherwise one block or none: nothing to save over a kernel per gate.
        for (const Gate& g : gates) {
            apply_alone(g, state, backend);
        }
        return;
    }
    // Groups wait here until the next one would not fit the same pass.
    BlockOp ops[kMaxPassOps];
    GroupPlan plans[kMaxPassGroups];
    GroupPlan parts[kMaxPassOps];  // no more parts than ops
    std::size_t num_plans = 0;
    std::size_t used_ops = 0;
    std::size_t used_parts = 0;
    std::uint64_t pass_local = 0;  // bits the pass's outer blocks span
    const auto flush = [&] {
        if (num_plans == 0) {
            return;
        }
        const auto run = [&](const Backend& b) { run_pass(plans, num_plans, (n - 1) & ~pass_local, state, b); };
        if (backend != nullptr) {
            run(*backend);
        } else {
            // The pool query first, as a kernel does: it builds the pool.
            ThreadPool& pool = global_pool();
            run(Backend{&pool, &kernels::active_kernels()});
        }
        num_plans = 0;
        used_ops = 0;
        used_parts = 0;
        pass_local = 0;
    };
    // Outer blocks leave at least one per worker (a pool of 2^k or fewer
    // workers needs k fixed bits), and fit the shared cache. Asked at the
    // first group, which runs in any case: the process-wide pool is then
    // built no earlier than a kernel would build it.
    unsigned max_local = 0;
    bool sized = false;
    const auto size_passes = [&] {
        const std::size_t workers = backend != nullptr ? backend->pool->num_threads() : global_pool().num_threads();
        const unsigned worker_bits = static_cast<unsigned>(std::bit_width(workers - 1));
        max_local = std::min(shape.outer, log2_n - std::min(log2_n, worker_bits));
        sized = true;
    };

    BlockOp group[kMaxGroup];
    std::uint64_t group_qubits[kMaxGroup];
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
            const int fit = low_bits(qubits | c.qubits, shape.width, shape.min_low, shape.max_far, far_qubit, 63);
            if (fit < 0) {
                break;
            }
            group_qubits[count] = c.qubits;
            group[count++] = make_op(gates[j]);
            qubits |= c.qubits;
            low = fit;
        }
        if (count < 2) {
            // One pass either way: the gate's own kernel splits it best. A
            // panicking gate (j == i) runs here and raises its own panic,
            // after every group before it.
            flush();
            const std::size_t stop = j == i ? i + 1 : j;
            for (; i < stop; ++i) {
                apply_alone(gates[i], state, backend);
            }
            continue;
        }
        // The group's blocks span its low bits and its qubits; the pass's
        // outer blocks must span those of all its groups.
        const std::uint64_t local = mask_below(static_cast<unsigned>(low)) | qubits;
        if (!sized) {
            size_passes();
        }
        const bool joins = num_plans > 0 && num_plans < kMaxPassGroups && used_ops + count <= kMaxPassOps &&
                           static_cast<unsigned>(std::popcount(pass_local | local)) <= max_local;
        if (!joins) {
            flush();
        }
        std::copy(group, group + count, ops + used_ops);
        GroupPlan& plan = plans[num_plans++];
        plan = plan_group(ops + used_ops, count, qubits, static_cast<unsigned>(low), n);
        plan.num_parts = split_parts(plan, group_qubits, shape, parts + used_parts);
        plan.parts = parts + used_parts;
        used_parts += plan.num_parts;
        used_ops += count;
        pass_local |= local;
        i = j;
    }
    flush();
}

}  // namespace

void run_gates(std::span<const Gate> gates, StateVector& state, const Backend* backend,
               BlockShape shape) {
    run_shaped(gates, state, backend, shape, kFarQubit);
}

}  // namespace vastrel::sim
