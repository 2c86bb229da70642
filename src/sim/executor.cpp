// The executor. A gate list is lowered op by op and planned into passes:
// the longest run of ops whose qubits fit one outer block is a pass, cut
// into groups of consecutive ops whose qubits fit one block; each worker
// takes whole outer blocks and runs each group over the blocks in them
// while they are in cache. An op that shares no pass is a pass of its own,
// its pairs split over the pool. Within a pass, cnots go into the matrix
// kernels and tile runs next to them (fold_cnots), which moves no bit.
// The kernel functions take global pair ranges and test control bits on
// global indices, so calling them on the pair range of one run of a block,
// op after op, gives each amplitude the operations of one kernel call per
// gate in the same order.
#include "executor.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "kernels.hpp"
#include "lowering.hpp"
#include "state_vector.hpp"
#include "global_pool.hpp"
#include "thread_pool.hpp"

namespace vastrel::sim {

namespace {

// Below this many pairs a dispatch costs more than it saves; the calling
// thread does the work alone (bench/NOTES.md: the split crossover).
constexpr std::size_t kSerialPairs = std::size_t{1} << 15;

// Pieces handed to workers are whole multiples of this many pairs, so two
// workers never write the same cache line and SIMD sets see aligned starts.
constexpr std::size_t kGrain = 64;

// Ops one group takes at most, and groups and ops one pass takes at most:
// their constants live on the stack, since execution allocates nothing.
constexpr std::size_t kMaxGroup = 128;
constexpr std::size_t kMaxPassGroups = 32;
constexpr std::size_t kMaxPassOps = 256;

// A vector of at least 2^kPassesFromMemory outer blocks (four times the
// shared cache) is read from memory at every pass (bench/NOTES.md).
constexpr unsigned kPassesFromMemory = 4;

// Qubits of a group at or above its low part, at most, so that a block
// never splits into more than 2^10 runs.
constexpr unsigned kMaxHighQubits = 10;

constexpr std::uint64_t mask_below(unsigned b) { return (std::uint64_t{1} << b) - 1; }

// ---- One op over the whole vector ----

// Pair index of the q-th pair whose bit b is set: q with a one bit inserted
// at position b.
std::size_t insert_one(std::size_t q, unsigned b) {
    const std::size_t low = (std::size_t{1} << b) - 1;
    return ((q & ~low) << 1) | (std::size_t{1} << b) | (q & low);
}

// Where the pair range of the qualifying pairs from q on begins: at pair q
// itself, or at the block of non-qualifying pairs just before it when q
// starts a block. Consecutive boundaries then tile all pairs, and a q that
// is a multiple of the grain gives a boundary that is one too.
std::size_t qualifying_start(std::size_t q, unsigned b) {
    const std::size_t low = (std::size_t{1} << b) - 1;
    return (q & low) == 0 ? q << 1 : insert_one(q, b);
}

// Runs body(begin, end) over [0, count) of some unit: on the calling thread
// when the work is small or the pool has one worker, otherwise in pieces of
// whole grains over the pool.
template <class Body>
void split(ThreadPool& pool, std::size_t count, const Body& body) {
    if (count < kSerialPairs || pool.num_threads() == 1) {
        body(std::size_t{0}, count);
        return;
    }
    const std::size_t grains = (count + kGrain - 1) / kGrain;
    pool.parallel_for(grains, [&](std::size_t gb, std::size_t ge) {
        const std::size_t begin = gb * kGrain;
        const std::size_t end = std::min(ge * kGrain, count);
        if (begin < end) {
            body(begin, end);
        }
    });
}

// The pairs whose bit b is set, counted q = 0, 1, ..., count - 1: a piece
// [qb, qe) of them becomes the pair range from qualifying_start(qb) to
// qualifying_start(qe), which holds exactly those qualifying pairs.
// Splitting these instead of all pairs keeps the work even when the
// qualifying pairs bunch in one half of the vector.
template <class Kernel>
void split_qualifying(ThreadPool& pool, std::size_t count, unsigned b, const Kernel& kernel) {
    split(pool, count, [&](std::size_t qb, std::size_t qe) { kernel(qualifying_start(qb, b), qualifying_start(qe, b)); });
}

// Whether a Mat2 op carries folded cnots (fold_cnots).
bool exchanges(const Op& op) {
    const kernels::Exchanges& x = op.exchange;
    return x.before != kernels::kNoExchange || x.after != kernels::kNoExchange || x.flip != kernels::kNoExchange;
}

void run_mat2(const kernels::KernelSet& ks, Complex32* data, const Op& op, std::size_t begin, std::size_t end) {
    if (exchanges(op)) {
        ks.mat2_exchanged(data, op.pair_target, op.matrix, op.exchange, begin, end);
    } else {
        ks.mat2(data, op.pair_target, op.matrix, begin, end);
    }
}

void run_alone(const Op& op, Complex32* data, std::size_t n, ThreadPool& pool, const kernels::KernelSet& ks) {
    const unsigned t = op.pair_target;
    const unsigned c = op.tested;
    switch (op.kind) {
        case Op::Kind::Mat2:
            split(pool, n / 2, [&](std::size_t b, std::size_t e) { run_mat2(ks, data, op, b, e); });
            break;
        case Op::Kind::Cnot:
            // Bit c of the lower amplitude is bit c or c - 1 of the pair index.
            split_qualifying(pool, n / 4, c < t ? c : c - 1,
                             [&](std::size_t b, std::size_t e) { ks.cnot(data, c, t, b, e); });
            break;
        case Op::Kind::Crz:
            if (c == t) {
                split(pool, n / 2, [&](std::size_t b, std::size_t e) { ks.crz(data, c, t, op.matrix.m00, b, e); });
            } else {
                split_qualifying(pool, n / 4, c,
                                 [&](std::size_t b, std::size_t e) { ks.crz(data, c, t, op.matrix.m00, b, e); });
            }
            break;
    }
}

// ---- Groups of ops over blocks ----

void run_op_range(const kernels::KernelSet& ks, Complex32* data, const Op& op, std::size_t begin, std::size_t end) {
    switch (op.kind) {
        case Op::Kind::Mat2:
            run_mat2(ks, data, op, begin, end);
            break;
        case Op::Kind::Cnot:
            ks.cnot(data, op.tested, op.pair_target, begin, end);
            break;
        case Op::Kind::Crz:
            ks.crz(data, op.tested, op.pair_target, op.matrix.m00, begin, end);
            break;
    }
}

// The low part of a block for a group on `qubits`: the largest low in
// [min_low, min(width, max_low)] with low + popcount(qubits above low) <=
// width and at most max_far qubits from far_qubit on above it, or -1 when
// the group does not fit. Larger low means longer contiguous runs.
int low_bits(std::uint64_t qubits, unsigned width, unsigned min_low, unsigned max_far, unsigned far_qubit,
             unsigned max_low) {
    const auto high_count = [&](unsigned b) { return static_cast<unsigned>(std::popcount(qubits & ~mask_below(b))); };
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

// A step of a group over its block: `count` ops from op `first` as one
// tile run over `window`, as the tile gates `gates`; or, with count 0, op
// `first` on its own.
struct GroupStep {
    std::size_t first;
    std::size_t count;
    std::uint64_t window;
    const kernels::TileGate* gates;
    std::size_t num_gates;
};

// The layout of one group's blocks: 2^low consecutive amplitudes times every
// value of the group's qubits at or above low (`high`), with the other
// bits (`block_bits`) fixed.
struct GroupPlan {
    const Op* ops;
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
    // How run_ops goes over the ops (plan_steps), for a group without parts
    // and for each part.
    const GroupStep* steps = nullptr;
    std::size_t num_steps = 0;
};

GroupPlan plan_group(const Op* ops, std::size_t count, std::uint64_t qubits, unsigned low, std::size_t n) {
    const std::uint64_t high = qubits & ~mask_below(low);
    return {ops, count, low, high, (n - 1) & ~mask_below(low) & ~high};
}

// Splits a group's ops into parts of consecutive ops that fit sub-blocks
// of the shape's sub_width (within the group's block, so with a low part
// of at most the group's), written to parts. An op that fits no part of
// two or more goes over the whole block, with any such ops next to it.
// Returns the number of parts, or 0 when no part of two or more ops came
// out, or the group's block is no larger than a sub-block.
std::size_t split_parts(const GroupPlan& g, const BlockShape& shape, GroupPlan* parts) {
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
            const int fit = low_bits(qubits | g.ops[e].qubits, shape.sub_width, shape.sub_min_low, shape.sub_max_far,
                                     shape.sub_far_qubit, g.low);
            if (fit < 0) {
                break;
            }
            qubits |= g.ops[e].qubits;
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

// A tile run: ops that the kernel set runs tile by tile (mat2_tile), with
// the qubits of their window.
struct TileRun {
    std::size_t count = 0;
    std::uint64_t window = 0;
    std::size_t num_gates = 0;  // tile gates they stand for, where written
};

// A tile's registers are streams 2^first amplitudes apart. Up to half an L1
// way (4 KiB wherever the L1 is indexed by the page offset, as on x86)
// apart, no more than half of them meet in one cache set; further apart,
// all of them do.
constexpr std::size_t kMaxTileStride = 2048;

// The first qubit of the window that holds qubit top (above the lanes), for
// a set with tiles.
unsigned tile_window_of(unsigned top, const kernels::KernelSet& ks) {
    const unsigned lanes = ks.tile_lanes;
    const unsigned window = ks.tile_window;
    return top < lanes + window ? lanes : lanes + (top - lanes) / window * window;
}

// Whether a gate on qubit q can be in a tile run.
bool in_tiles(unsigned q, const kernels::KernelSet& ks) {
    return ks.mat2_tile != nullptr &&
           (q < ks.tile_lanes || (std::size_t{sizeof(Complex32)} << tile_window_of(q, ks)) <= kMaxTileStride);
}

// The qubits of a tile whose window starts at first.
std::uint64_t tile_mask(unsigned first, const kernels::KernelSet& ks) {
    return mask_below(ks.tile_lanes) | (mask_below(first + ks.tile_window) & ~mask_below(first));
}

// Whether op can be in a tile run over the qubits of tile: all its qubits
// in it; or a cnot's target, or one of a crz's qubits, with the other
// qubit outside, which is then the same for every amplitude of a tile.
bool fits_tile(const Op& op, std::uint64_t tile) {
    const std::uint64_t out = op.qubits & ~tile;
    if (exchanges(op) || out == op.qubits) {
        return false;
    }
    return out == 0 || (op.kind == Op::Kind::Cnot && ((tile >> op.pair_target) & 1) != 0) ||
           op.kind == Op::Kind::Crz;
}

// The ops from k on that run as one tile run: ops that fit the lanes and
// one window (fits_tile), the window that holds the first op's highest
// qubit, or else its one qubit there (the windows lie side by side from the
// lanes up), at most
// kMaxTileGates. A tile run loads and stores all of its range once; it
// gains where the kernels would go over it at least twice. A matrix and a
// cnot each take a kernel pass over the range (a cnot moves only half of
// it, but runs as long as a matrix), a crz about half of one: a run needs
// two passes' worth (count 0 otherwise).
TileRun tile_run(const GroupPlan& g, std::size_t k, const kernels::KernelSet& ks) {
    if (ks.mat2_tile == nullptr) {
        return {};
    }
    const Op& op = g.ops[k];
    // The window of the op's highest qubit, or else of the qubit it has in
    // a tile.
    unsigned first = tile_window_of(static_cast<unsigned>(std::bit_width(op.qubits)) - 1, ks);
    if (!fits_tile(op, tile_mask(first, ks))) {
        first = tile_window_of(op.kind == Op::Kind::Crz ? op.tested : op.pair_target, ks);
    }
    if (first + ks.tile_window > g.low || (std::size_t{sizeof(Complex32)} << first) > kMaxTileStride) {
        return {};
    }
    const std::uint64_t tile = tile_mask(first, ks);
    std::size_t e = k;
    std::size_t half_passes = 0;
    for (; e < g.count && e - k < kernels::kMaxTileGates && fits_tile(g.ops[e], tile); ++e) {
        half_passes += g.ops[e].kind == Op::Kind::Crz ? 1 : 2;
    }
    return half_passes >= 4 ? TileRun{e - k, tile & ~mask_below(ks.tile_lanes)} : TileRun{};
}

// The tile gates of an op, written to out: one, or for a Mat2 with folded
// cnots the cnots and the matrix it stands for (at most three). Returns
// how many.
std::size_t tile_gates(const Op& op, kernels::TileGate* out) {
    using Kind = kernels::TileGate::Kind;
    const unsigned t = op.pair_target;
    switch (op.kind) {
        case Op::Kind::Cnot:
            out[0] = {Kind::Cnot, t, op.tested, {}};
            return 1;
        case Op::Kind::Crz:
            out[0] = {Kind::Crz, t, op.tested, op.matrix};
            return 1;
        default:
            break;
    }
    const kernels::Exchanges& x = op.exchange;
    std::size_t n = 0;
    if (x.before != kernels::kNoExchange) {
        out[n++] = {Kind::Cnot, t, x.before, {}};
    }
    if (x.flip != kernels::kNoExchange) {
        out[n++] = {Kind::Cnot, x.flip, t, {}};
    }
    out[n++] = {Kind::Mat2, t, t, op.matrix};
    if (x.flip != kernels::kNoExchange) {
        out[n++] = {Kind::Cnot, x.flip, t, {}};
    }
    if (x.after != kernels::kNoExchange) {
        out[n++] = {Kind::Cnot, t, x.after, {}};
    }
    return n;
}

// A tile run over a window of any of the group's qubits, where tile_run's
// windows are of consecutive low ones (plan_steps takes the longer run): the
// matrices and cnots from k on, each bringing its target (and the bit a
// folded cnot flips) into the window while it has room; the window is then
// filled up with the group's lowest qubits above the lanes, whose
// registers lie closest together. A Mat2 with folded cnots joins as the
// cnots and the matrix it stands for, which the tile moves and multiplies
// in turn; the tile gates of the ops it takes are written to out. Such a
// window's registers go through the private cache once for the run, where
// a kernel per op would sweep them once each; as in
// tile_run, two passes' worth make it pay, a crz counting half. A crz
// needs one of its qubits in the tile (the other may lie outside), and
// joins only tiles of kCrzTileQubits or more: on AVX2's tiles of 32
// amplitudes QFT's runs, taking their crzs per tile with a dispatch per
// gate and tile, ran 1.09-1.35x as long as with the crz kernels; on
// AVX-512's of 128, QFT ran 0.92-0.94x and far pairs 0.86x.
constexpr unsigned kCrzTileQubits = 7;

TileRun wide_tile_run(const GroupPlan& g, std::size_t k, const kernels::KernelSet& ks, kernels::TileGate* out) {
    if (ks.mat2_tile == nullptr || g.low < ks.tile_lanes) {
        return {};  // a run shorter than a register
    }
    const std::uint64_t lanes = mask_below(ks.tile_lanes);
    const std::uint64_t local = (mask_below(g.low) | g.high) & ~lanes;
    const bool takes_crz = ks.tile_lanes + ks.tile_window >= kCrzTileQubits;
    std::uint64_t window = 0;
    std::size_t e = k;
    std::size_t gates = 0;
    std::size_t half_passes = 0;
    for (; e < g.count && (takes_crz || g.ops[e].kind != Op::Kind::Crz); ++e) {
        const Op& op = g.ops[e];
        kernels::TileGate of[3];
        const std::size_t n = tile_gates(op, of);
        const unsigned flip = op.exchange.flip;
        std::uint64_t need =
            ((std::uint64_t{1} << op.pair_target) | (flip != kernels::kNoExchange ? std::uint64_t{1} << flip : 0)) &
            ~lanes;
        if (op.kind == Op::Kind::Crz && (op.qubits & (window | lanes)) != 0) {
            need = 0;
        }
        if (gates + n > kernels::kMaxTileGates || std::popcount(window | need) > static_cast<int>(ks.tile_window)) {
            break;
        }
        std::copy(of, of + n, out + gates);
        window |= need;
        gates += n;
        half_passes += op.kind != Op::Kind::Crz ? 2 : 1;
    }
    for (std::uint64_t rest = local & ~window; std::popcount(window) < static_cast<int>(ks.tile_window) && rest != 0;
         rest &= rest - 1) {
        window |= rest & (~rest + 1);
    }
    if (half_passes < 4 || std::popcount(window) != static_cast<int>(ks.tile_window)) {
        return {};
    }
    return {e - k, window, gates};
}

// Plans how run_ops goes over a group's ops (one without parts, or a part):
// at each op the longer of tile_run's and wide_tile_run's runs, or the op
// alone. Writes the steps to steps and their tile gates to gates; returns
// the number of steps.
std::size_t plan_steps(const GroupPlan& g, const kernels::KernelSet& ks, GroupStep* steps,
                       kernels::TileGate* gates) {
    std::size_t num = 0;
    for (std::size_t k = 0; k < g.count;) {
        TileRun tiled = tile_run(g, k, ks);
        if (const TileRun wide = wide_tile_run(g, k, ks, gates); wide.count > tiled.count) {
            tiled = wide;
        } else {
            tiled.num_gates = 0;
            for (std::size_t e = 0; e < tiled.count; ++e) {
                tiled.num_gates += tile_gates(g.ops[k + e], gates + tiled.num_gates);
            }
        }
        steps[num++] = {k, tiled.count, tiled.window, gates, tiled.num_gates};
        gates += tiled.num_gates;
        k += std::max<std::size_t>(tiled.count, 1);
    }
    return num;
}

// The ops of one group within a pass, before they are planned.
struct GroupRange {
    std::size_t begin;
    std::size_t end;
    std::uint64_t qubits;
    unsigned low;
};

// Folds the cnots of a pass's ops (the groups' ranges, side by side from 0)
// that a set can run inside a matrix's kernel into a Mat2 next to them, and
// marks them in `folded`. A cnot whose next op on either of its qubits is
// a Mat2 on its target becomes that Mat2's exchange before it; else one
// whose last op before is such a Mat2 becomes its exchange after it. A
// cnot (c, t) whose next op is a Mat2 on c goes right after it, which then
// acts on the pairs that differ in c and t (its flip): M on c after the
// cnot is the cnot after that, and the cnot may fold on into the next op.
// A cnot only moves amplitudes, and the ops it moves past act on neither of
// its qubits, so every amplitude keeps its bits. An exchange, within the
// pairs of the Mat2's target, tests the control on global indices: it need
// not vary within the Mat2's blocks. A flip pairs across bit t, which must.
// Such a cnot costs a kernel pass over its range where the exchange costs
// nothing. A cnot whose target tile runs take (a matrix there would leave
// its run) instead moves right before the next Mat2 on its qubits in that
// tile, to run in that Mat2's tile run; one with a qubit in the lanes gets
// no exchange. Returns whether a fold joined an op of range `watch` with
// one of another.
bool fold_cnots(Op* ops, GroupRange* ranges, std::size_t num_ranges, const kernels::KernelSet& ks, bool* folded,
                std::size_t watch) {
    const std::size_t count = ranges[num_ranges - 1].end;
    std::fill(folded, folded + count, false);
    if (ks.mat2_exchanged == nullptr) {
        return false;
    }
    const auto range_of = [&](std::size_t e) {
        std::size_t g = 0;
        while (ranges[g].end <= e) {
            ++g;
        }
        return g;
    };
    bool crossed = false;
    const auto joins = [&](std::size_t k, std::size_t e) { crossed |= (range_of(k) == watch) != (range_of(e) == watch); };
    const auto flipped_host = [&](unsigned q) { return !in_tiles(q, ks) && q < kernels::kFarTarget; };
    for (std::size_t k = 0; k < count;) {
        const Op& cnot = ops[k];
        const unsigned c = cnot.tested;
        const unsigned t = cnot.pair_target;
        if (cnot.kind != Op::Kind::Cnot || folded[k]) {
            ++k;
            continue;
        }
        // Whether ops[e] is a Mat2 on q with the slot free.
        const auto takes = [&](std::size_t e, unsigned q, unsigned kernels::Exchanges::*slot) {
            const kernels::Exchanges& x = ops[e].exchange;
            return ops[e].kind == Op::Kind::Mat2 && ops[e].pair_target == q && x.*slot == kernels::kNoExchange &&
                   (slot == &kernels::Exchanges::flip ? !exchanges(ops[e]) : x.flip == kernels::kNoExchange);
        };
        // The neighbours on the cnot's qubits, past folded cnots.
        const auto touches = [&](std::size_t e) {
            const kernels::Exchanges& x = ops[e].exchange;
            const auto tests = [&](unsigned q) { return q != kernels::kNoExchange && ((cnot.qubits >> q) & 1) != 0; };
            return !folded[e] && ((ops[e].qubits & cnot.qubits) != 0 || tests(x.before) || tests(x.after));
        };
        std::size_t next = k + 1;
        while (next < count && !touches(next)) {
            ++next;
        }
        std::size_t prev = k;
        while (prev > 0 && !touches(prev - 1)) {
            --prev;
        }
        // Moves the cnot to `to` (next or next - 1), past ops that act on
        // neither of its qubits, each one place down within its own group;
        // the cnot lands in the group of ops[next].
        const auto move_to = [&](std::size_t to) {
            joins(k, next);
            const Op moved = cnot;
            std::copy(ops + k + 1, ops + to + 1, ops + k);
            std::copy(folded + k + 1, folded + to + 1, folded + k);
            ops[to] = moved;
            folded[to] = false;
            for (std::size_t r = 0; r < num_ranges; ++r) {
                if (ranges[r].begin > k && ranges[r].begin <= next) {
                    --ranges[r].begin;
                }
                if (ranges[r].end > k && ranges[r].end <= next) {
                    --ranges[r].end;
                }
            }
        };
        // Every op's qubits lie in its group's blocks (the group's layout
        // and its sub-blocks are built from them).
        const auto next_group_holds = [&](std::uint64_t qubits) {
            const GroupRange& host = ranges[range_of(next)];
            return (qubits & ~(mask_below(host.low) | host.qubits)) == 0;
        };
        const bool target_in_tiles = in_tiles(t, ks);
        if (target_in_tiles) {
            // A cnot that tile runs take, and that none does where it is
            // (or that one runs as well next to the Mat2), joins the run of
            // the Mat2 that comes next on its qubits, in a tile of the
            // window of either qubit that holds them both, or of its target.
            const auto joins_run = [&](unsigned q) {
                const std::uint64_t tile = tile_mask(tile_window_of(q, ks), ks);
                return in_tiles(q, ks) && fits_tile(cnot, tile) && (ops[next].qubits & ~tile) == 0;
            };
            if (next < count && next > k + 1 && ops[next].kind == Op::Kind::Mat2 && !exchanges(ops[next]) &&
                (joins_run(std::max(c, t)) || joins_run(t)) && next_group_holds(cnot.qubits)) {
                move_to(next - 1);
                continue;  // ops[k] is the next op now
            }
        }
        // A Mat2 on a target that tile runs take would leave its run; the
        // exchanges need the qubits above the lanes.
        const bool above_lanes = c >= ks.tile_lanes && t >= ks.tile_lanes;
        if (!above_lanes) {
            ++k;
            continue;
        }
        if (!target_in_tiles && next < count && takes(next, t, &kernels::Exchanges::before)) {
            ops[next].exchange.before = c;
            joins(k, next);
        } else if (!target_in_tiles && prev > 0 && takes(prev - 1, t, &kernels::Exchanges::after)) {
            ops[prev - 1].exchange.after = c;
            joins(k, prev - 1);
        } else if (next < count && takes(next, c, &kernels::Exchanges::flip) && flipped_host(c) &&
                   next_group_holds(cnot.qubits)) {
            // The cnot goes right after the Mat2, which then flips t.
            ops[next].exchange.flip = t;
            ops[next].qubits |= std::uint64_t{1} << t;
            move_to(next);
            continue;  // ops[k] is the next op now; the cnot comes up again at next
        } else {
            ++k;
            continue;
        }
        folded[k] = true;
        ++k;
    }
    return crossed;
}

// Runs the group's ops, in order, over its block at base, step by step.
void run_ops(const GroupPlan& g, std::size_t base, const kernels::KernelSet& ks, Complex32* data) {
    const std::size_t run_length = std::size_t{1} << g.low;
    for (std::size_t k = 0; k < g.num_steps; ++k) {
        const GroupStep& step = g.steps[k];
        if (step.count != 0) {
            // The gates go tile by tile, each tile's first amplitude in a
            // run whose window bits are clear.
            ks.mat2_tile(data, step.gates, step.num_gates, step.window, base, base + run_length,
                         g.high & ~step.window);
            continue;
        }
        const Op& op = g.ops[step.first];
        const unsigned t = op.pair_target;
        if (t < g.low) {
            // Each run holds 2^(low-1) whole pairs, from its start / 2 on.
            for_each_submask(g.high, [&](std::size_t offset) {
                const std::size_t first = (base | offset) >> 1;
                run_op_range(ks, data, op, first, first + run_length / 2);
            });
            continue;
        }
        // A run with bit t clear is the lower half of 2^low pairs whose
        // upper members form the run with bit t set.
        const std::size_t h = std::size_t{1} << t;
        for_each_submask(g.high & ~std::uint64_t{h}, [&](std::size_t offset) {
            const std::size_t start = base | offset;
            const std::size_t first = ((start >> (t + 1)) << t) | (start & (h - 1));
            run_op_range(ks, data, op, first, first + run_length);
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
// amplitude still sees the groups in order.
void run_pass(const GroupPlan* groups, std::size_t num_groups, std::uint64_t outer_fixed, Complex32* data,
              std::size_t n, ThreadPool& pool, const kernels::KernelSet& ks) {
    const std::size_t num_outer = std::size_t{1} << std::popcount(outer_fixed);
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
    if (n / 2 < kSerialPairs || pool.num_threads() == 1) {
        body(0, num_outer);
    } else {
        pool.parallel_for(num_outer, body);
    }
}

// ---- Planning ----

// The shape the planner uses on 2^log2_n amplitudes: width 0 when a pass
// per op is as good (blocks unusable, or the vector is one block). A vector
// of one block whose ops would be split over the workers pays a dispatch
// per op and hands parts of itself from one core to the other at every op:
// its halves become the blocks, one per worker, with sub-blocks in them.
BlockShape effective_shape(BlockShape shape, unsigned log2_n) {
    const auto usable = [](const BlockShape& s) { return s.width != 0 && s.min_low <= s.width && s.width < 63; };
    shape.min_low = std::max(shape.min_low, 1u);
    if (!usable(shape)) {
        return kNoBlocks;
    }
    const bool split = (std::size_t{1} << log2_n) / 2 >= kSerialPairs;
    if (log2_n <= shape.width && shape.sub_width != 0 && shape.sub_width < shape.width && split) {
        const unsigned half = log2_n - 1;
        shape = {.width = half,
                 .min_low = std::max(shape.sub_min_low, 1u),
                 .max_far = shape.sub_max_far,
                 .outer = half,
                 .sub_width = shape.sub_width,
                 .sub_min_low = shape.sub_min_low,
                 .sub_max_far = shape.sub_max_far,
                 .far_qubit = shape.sub_far_qubit,
                 .sub_far_qubit = shape.sub_far_qubit};
        if (!usable(shape)) {
            return kNoBlocks;
        }
    }
    return log2_n <= shape.width ? kNoBlocks : shape;
}

// Plans the gates into passes, in order, handing each to the sink as soon
// as it is complete: sink.alone(op) for an op that runs alone (it may
// panic or change nothing), sink.pass(groups, count, outer_fixed) for groups
// that share a pass, and sink.workers() for the pool's size, asked at the
// first op that acts (which runs in any case, so the process-wide pool is
// built no earlier than a kernel would build it).
//
// A pass is the longest run of ops whose qubits, with the low bits every
// block spans, fit one outer block: taking as many ops as fit, pass after
// pass, gives the fewest passes that rule allows. Its ops are then cut into
// groups, each the longest run from where the last ended that fits one
// block inside the outer block.
template <class Sink>
void plan(std::span<const Gate> gates, std::size_t n, const BlockShape& requested, Sink& sink) {
    const unsigned log2_n = static_cast<unsigned>(std::countr_zero(n));
    const BlockShape shape = effective_shape(requested, log2_n);
    const std::size_t size = gates.size();
    if (shape.width == 0) {
        for (const Gate& g : gates) {
            if (!sink.alone(lower(g, n))) {
                return;
            }
        }
        return;
    }
    Op ops[kMaxPassOps];
    std::size_t gate_of[kMaxPassOps];  // where each op's gate is in the list
    GroupPlan plans[kMaxPassGroups];
    GroupPlan parts[kMaxPassOps];  // no more parts than ops
    // The steps of the groups without parts and of the parts, no more than
    // ops; their tile gates, at most three an op.
    GroupStep steps[kMaxPassOps];
    kernels::TileGate run_gates[3 * kMaxPassOps];
    // Outer blocks leave at least one per worker (a pool of 2^k or fewer
    // workers needs k fixed bits), and fit the shared cache; without outer
    // blocks a pass's outer block is one block.
    unsigned max_local = 0;
    bool sized = false;
    const std::uint64_t block_low = mask_below(shape.min_low);

    std::size_t i = 0;
    while (i < size) {
        // The pass: the longest run from i whose qubits fit an outer block,
        // ending before an op that panics. Ops that change nothing join it
        // and are left out.
        std::size_t count = 0;
        std::uint64_t pass_local = block_low;
        std::uint64_t next_qubits = 0;  // of the op that did not fit, if one did not
        std::size_t j = i;
        for (; j < size && count < kMaxPassOps; ++j) {
            const Op op = lower(gates[j], n);
            if (op.effect == Effect::Panics) {
                break;
            }
            if (op.effect == Effect::Nothing) {
                continue;
            }
            if (!sized) {
                const unsigned worker_bits = static_cast<unsigned>(std::bit_width(sink.workers() - 1));
                max_local = std::min(shape.outer != 0 ? shape.outer : shape.width,
                                     log2_n - std::min(log2_n, worker_bits));
                sized = true;
            }
            if (static_cast<unsigned>(std::popcount(pass_local | op.qubits)) > max_local) {
                next_qubits = op.qubits;
                break;
            }
            gate_of[count] = j;
            ops[count++] = op;
            pass_local |= op.qubits;
        }
        if (count < 2) {
            // One pass either way: the op's own split does it best. A
            // panicking op (j == i) runs here and raises its own panic,
            // after every pass before it.
            const std::size_t stop = j == i ? i + 1 : j;
            for (; i < stop; ++i) {
                if (!sink.alone(lower(gates[i], n))) {
                    return;
                }
            }
            continue;
        }
        // Bits the outer block may span beyond the ops' own, lowest first,
        // give the groups longer runs.
        for (unsigned b = 0; b < log2_n && static_cast<unsigned>(std::popcount(pass_local)) < max_local; ++b) {
            pass_local |= std::uint64_t{1} << b;
        }
        const unsigned max_low = static_cast<unsigned>(std::countr_one(pass_local));
        // The groups, as many as there is room for; the ops after the last
        // one begin the next pass.
        GroupRange ranges[kMaxPassGroups];
        std::size_t num_plans = 0;
        std::size_t taken = 0;
        while (taken < count && num_plans < kMaxPassGroups) {
            std::uint64_t qubits = 0;
            int low = -1;
            std::size_t e = taken;
            for (; e < count && e - taken < kMaxGroup; ++e) {
                const int fit = low_bits(qubits | ops[e].qubits, shape.width, shape.min_low, shape.max_far,
                                         shape.far_qubit, max_low);
                if (fit < 0) {
                    break;
                }
                qubits |= ops[e].qubits;
                low = fit;
            }
            if (e == taken) {
                break;  // an op no block holds: it begins the next pass
            }
            ranges[num_plans++] = {taken, e, qubits, static_cast<unsigned>(low)};
            taken = e;
        }
        // A last group that the next op would have joined, had the pass had
        // room for its qubits, is cut in two: its second part sweeps its
        // blocks again in the next pass. That costs less than the pass it
        // saves when the vector is several times the shared cache (a pass
        // then reads memory, a sweep the cache); on a smaller one the group
        // waits for the next pass and runs whole.
        // Unless a cnot folds between that group and the others.
        const bool may_cut = log2_n < shape.outer + kPassesFromMemory && next_qubits != 0 && taken == count &&
                             num_plans >= 2 &&
                             low_bits(ranges[num_plans - 1].qubits | next_qubits, shape.width, shape.min_low,
                                      shape.max_far, shape.far_qubit, 63) >= 0;
        if (num_plans == 0) {
            taken = 1;
            if (!sink.alone(ops[0])) {
                return;
            }
        } else {
            // The pass's cnots go into matrices anywhere in it; each group
            // keeps its layout and the ops left in it. Folds within a cut
            // group are dropped with it: its ops are lowered again.
            bool folded[kMaxPassOps];
            const bool crossed =
                fold_cnots(ops, ranges, num_plans, sink.kernels(), folded, may_cut ? num_plans - 1 : num_plans);
            if (may_cut && !crossed) {
                taken = ranges[--num_plans].begin;
            }
            std::size_t used_parts = 0;
            std::size_t used_steps = 0;
            std::size_t used_gates = 0;
            const auto plan_leaf = [&](GroupPlan& leaf) {
                leaf.steps = steps + used_steps;
                leaf.num_steps = plan_steps(leaf, sink.kernels(), steps + used_steps, run_gates + used_gates);
                used_steps += leaf.num_steps;
                const GroupStep& last = steps[used_steps - 1];
                used_gates = static_cast<std::size_t>(last.gates - run_gates) + last.num_gates;
            };
            std::size_t planned = 0;
            for (std::size_t k = 0; k < num_plans; ++k) {
                const GroupRange& r = ranges[k];
                std::size_t kept = r.begin;
                for (std::size_t e = r.begin; e < r.end; ++e) {
                    if (!folded[e]) {
                        ops[kept++] = ops[e];
                    }
                }
                if (kept == r.begin) {
                    continue;
                }
                GroupPlan& g = plans[planned++];
                g = plan_group(ops + r.begin, kept - r.begin, r.qubits, r.low, n);
                g.num_parts = split_parts(g, shape, parts + used_parts);
                g.parts = parts + used_parts;
                for (std::size_t p = 0; p < g.num_parts; ++p) {
                    plan_leaf(parts[used_parts + p]);
                }
                if (g.num_parts == 0) {
                    plan_leaf(g);
                }
                used_parts += g.num_parts;
            }
            sink.pass(plans, planned, (n - 1) & ~pass_local);
        }
        i = gate_of[taken - 1] + 1;
    }
}

// Runs what the planner hands over on a state vector.
class Runner {
public:
    Runner(StateVector& state, const Backend* backend) : state_(state), backend_(backend), n_(state.size()) {}

    // Runs on the first n amplitudes only, as on a vector of n.
    void set_length(std::size_t n) { n_ = n; }

    bool alone(const Op& op) {
        if (asks_for_pool(op)) {
            pool();
        }
        if (op.effect == Effect::Panics) {
            raise_panic(op, state_.size());
        }
        if (op.effect == Effect::Acts) {
            ThreadPool& p = pool();
            state_.buffer().make_ready(&p);
            run_alone(op, state_.buffer().data(), n_, p, *kernels_);
        }
        return true;
    }

    void pass(const GroupPlan* groups, std::size_t count, std::uint64_t outer_fixed) {
        ThreadPool& p = pool();
        state_.buffer().make_ready(&p);
        run_pass(groups, count, outer_fixed, state_.buffer().data(), n_, p, *kernels_);
    }

    std::size_t workers() { return pool().num_threads(); }

    const kernels::KernelSet& kernels() {
        pool();
        return *kernels_;
    }

    // Copies the block [block, 2 block) over [2 block, end), over the pool.
    void repeat_block(std::size_t block, std::size_t end) {
        Complex32* data = state_.buffer().data();
        split(pool(), end - 2 * block, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e;) {
                const std::size_t from = i % block;
                const std::size_t length = std::min(e - i, block - from);
                std::memcpy(static_cast<void*>(data + 2 * block + i), data + block + from, length * sizeof(Complex32));
                i += length;
            }
        });
    }

private:
    // The pool query first, as a kernel's: it builds the process-wide pool.
    ThreadPool& pool() {
        if (pool_ == nullptr) {
            pool_ = backend_ != nullptr ? backend_->pool : &global_pool();
            kernels_ = backend_ != nullptr ? backend_->kernels : &kernels::active_kernels();
        }
        return *pool_;
    }

    StateVector& state_;
    const Backend* backend_;
    std::size_t n_;
    ThreadPool* pool_ = nullptr;
    const kernels::KernelSet* kernels_ = nullptr;
};

// Counts what the planner hands over; stops at the first panic.
struct PassCounter {
    std::size_t num_workers;
    PlanCounts counts{0, 0};

    bool alone(const Op& op) {
        const std::size_t acts = op.effect == Effect::Acts ? 1 : 0;
        counts.passes += acts;
        counts.sweeps += acts;
        return op.effect != Effect::Panics;
    }
    void pass(const GroupPlan*, std::size_t groups, std::uint64_t) {
        ++counts.passes;
        counts.sweeps += groups;
    }
    std::size_t workers() const { return num_workers; }
    const kernels::KernelSet& kernels() const { return kernels::active_kernels(); }
};

// The ops of a new vector run on at least its first 2^kLiveMinBits
// amplitudes (8 KiB): on fewer, a gate costs less than planning it twice.
constexpr unsigned kLiveMinBits = 10;

// Where every amplitude from 2^w on is +0 (in a new vector, w = 0), an op
// on qubits below w that turns +0 into +0 (keeps_zeros) leaves those
// amplitudes as they are, bit for bit, and gives the first 2^w the same
// operations as on the whole vector. So the ops at the start of the list
// run on the smallest vector that holds their qubits and the ones before
// them: a layer of gates on qubits 0, 1, 2, ... costs about two gates
// instead of one a qubit.
// An op that makes -0 (or NaN) from +0 breaks that, but not the structure
// behind it: past the first 2^w amplitudes the vector is blocks of 2^w that
// all hold the same values (+0 at first), and an op on qubits below w does
// the same to each of them. So from such an op on the ops run on the first
// two blocks, and where w grows the second block is copied over the blocks
// the next ops reach; once the ops go higher, it is copied over the rest
// of the vector. That pays only for two ops or more.
// The ops run so on at most a quarter of the vector; the rest of the list
// runs on the whole. Returns how many gates ran, and leaves in `live` the
// bits past which the vector is +0 (all of them when it is not).
std::size_t run_live_start(std::span<const Gate> gates, std::size_t n, const BlockShape& shape, Runner& runner,
                           unsigned& live) {
    const unsigned log2_n = static_cast<unsigned>(std::countr_zero(n));
    if (kLiveMinBits + 2 > log2_n) {
        return 0;
    }
    live = std::max(live, kLiveMinBits);
    // An op that acts on the whole vector acts alike on any vector that
    // holds its qubits: lowering looks at n only to see which are inside.
    struct Reach {
        bool acts;
        bool keeps;
        unsigned top;  // the bits up to its highest qubit
    };
    const auto reach = [n](const Gate& g) {
        const Op op = lower(g, n);
        const bool acts = op.effect == Effect::Acts;
        return Reach{acts, acts && keeps_zeros(op), static_cast<unsigned>(std::bit_width(op.qubits))};
    };
    // Whether an op can run on the first 2^bits, or the first two blocks
    // of that when `repeating`, after ops that left `from` bits live.
    const auto fits = [log2_n](const Reach& r, unsigned from, bool repeating) {
        return r.acts && (r.keeps || repeating) && std::max(from, r.top) + (repeating ? 3 : 2) <= log2_n;
    };
    std::size_t done = 0;
    bool repeats = false;
    const auto flush = [&](std::size_t k) {
        if (done < k) {
            const std::size_t length = std::size_t{2} << live >> (repeats ? 0 : 1);
            runner.set_length(length);
            plan(gates.subspan(done, k - done), length, shape, runner);
            done = k;
        }
    };
    std::size_t k = 0;
    for (; k < gates.size(); ++k) {
        const Reach r = reach(gates[k]);
        const bool starts_repeating = !repeats && !r.keeps;
        if (starts_repeating) {
            // Worth the copying only if the next op follows.
            if (!fits(r, live, true) || k + 1 == gates.size() ||
                !fits(reach(gates[k + 1]), std::max(live, r.top), true)) {
                break;
            }
        } else if (!fits(r, live, repeats)) {
            break;
        }
        const unsigned bits = std::max(live, r.top);
        if (bits > live || starts_repeating) {
            flush(k);
            if (repeats) {
                runner.repeat_block(std::size_t{1} << live, std::size_t{2} << bits);
            }
            live = bits;
            repeats = repeats || starts_repeating;
        }
    }
    flush(k);
    runner.set_length(n);
    if (repeats) {
        runner.repeat_block(std::size_t{1} << live, n);
        live = log2_n;
    }
    return done;
}

}  // namespace

void run_gates(std::span<const Gate> gates, StateVector& state, const Backend* backend, const BlockShape& shape) {
    Runner runner(state, backend);
    const std::size_t n = state.size();
    unsigned live = state.live_bits();
    // Until the gates are done the vector claims nothing, whatever throws.
    state.set_live_bits(static_cast<unsigned>(std::countr_zero(n)));
    const std::size_t done = run_live_start(gates, n, shape, runner, live);
    if (done == gates.size()) {
        state.set_live_bits(live);
        return;
    }
    plan(gates.subspan(done), n, shape, runner);
}

PlanCounts count_plan(std::span<const Gate> gates, std::size_t n, std::size_t workers, const BlockShape& shape) {
    PassCounter counter{workers};
    plan(gates, n, shape, counter);
    return counter.counts;
}

}  // namespace vastrel::sim
