// The inner loops of the three state-vector kernels, one set per instruction
// set (scalar, AVX2, AVX-512), chosen once at run time. Lowering checks and
// reduces the indices and computes the constants, the executor splits the
// pairs over the pool; a kernel function only walks one range of pairs.
//
// Pairs of target t: pair p (0 <= p < N/2) is the amplitude i whose index is
// p with a zero bit inserted at position t, and its partner j = i + 2^t:
//     i = ((p >> t) << (t + 1)) | (p & (2^t - 1)).
// Every function covers each pair of [begin, end) exactly once (in any order:
// pairs are disjoint, so the order cannot change a result), touches no
// amplitude outside them, and gives each amplitude exactly the rounding of
// the scalar formulas (no FMA), so every set is bit-identical to the scalar one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "complex.hpp"
#include "gate.hpp"

namespace vastrel::sim::kernels {

// One gate of a tile run (mat2_tile): a matrix on target; a cnot of
// control and target; or a crz, the phase in matrix.m00 (its two qubits
// play the same part). A cnot's control, or one of a crz's qubits, may lie
// outside the tile: the gate then acts on the tiles whose amplitudes have
// it set.
struct TileGate {
    enum class Kind : std::uint8_t { Mat2, Cnot, Crz };
    Kind kind;
    unsigned target;
    unsigned control;
    Matrix2 matrix;
};

// A bit of Exchanges that does nothing: no amplitude index has bit 63 set.
constexpr unsigned kNoExchange = 63;

// What mat2_exchanged does to the pairs of its target t besides the matrix:
// the lower member i of a pair is paired with j ^ 2^flip, where j = i + 2^t,
// and the two are exchanged before the matrix when bit `before` of i is
// set, and after it when bit `after` is. (A cnot on (before, t), then
// mat2, then a cnot on (after, t); with flip f, mat2 between two cnots on
// (t, f), its matrix on pairs that differ in bits t and f.) None of them is t.
struct Exchanges {
    unsigned before = kNoExchange;
    unsigned after = kNoExchange;
    unsigned flip = kNoExchange;
};

// Gates one mat2_tile call takes at most.
constexpr std::size_t kMaxTileGates = 16;

using ExchangedFunction = void (*)(Complex32* data, unsigned t, const Matrix2& m, const Exchanges& x,
                                   std::size_t begin, std::size_t end);

using TileFunction = void (*)(Complex32* data, const TileGate* gates, std::size_t count, std::uint64_t window,
                              std::size_t begin, std::size_t end, std::uint64_t spread);

struct KernelSet {
    const char* name;
    // (a, b) = (data[i], data[j]) becomes (m00*a + m01*b, m10*a + m11*b).
    void (*mat2)(Complex32* data, unsigned t, const Matrix2& m, std::size_t begin, std::size_t end);
    // Exchanges data[i] and data[j] bit for bit when bit c of i is set (c != t).
    void (*cnot)(Complex32* data, unsigned c, unsigned t, std::size_t begin, std::size_t end);
    // data[j] becomes data[j] * p when bit c of j is set (c == t allowed:
    // then every j qualifies).
    void (*crz)(Complex32* data, unsigned c, unsigned t, Complex32 p, std::size_t begin, std::size_t end);
    // mat2 with Exchanges. t and the bits of x are at least tile_lanes; with
    // a flip, t is below kFarTarget. Null for a set without it: the
    // executor then runs the cnots apart.
    ExchangedFunction mat2_exchanged = nullptr;
    // Applies gates[0], ..., gates[count - 1] (count <= kMaxTileGates)
    // tile by tile: each tile the 2^(tile_lanes + tile_window) amplitudes
    // whose indices differ only in the qubits below tile_lanes and in the
    // window (tile_window qubits at or above tile_lanes, any of them), held
    // in registers while the gates, on those qubits (but for the controls
    // TileGate allows outside), run over it in order. The tiles are those
    // whose first amplitude (the window's bits clear) lies in [begin, end),
    // begin a multiple of 2^tile_lanes; their other amplitudes may lie past
    // end (window qubits above the range). The same again over the range
    // moved by every combination of the bits of spread (above end - begin,
    // none in the window): the runs of a cache block, the gates set up once.
    // Each amplitude gets the bits of one kernel call per gate. Null, with
    // tile_window 0, for a set without tiles.
    TileFunction mat2_tile = nullptr;
    unsigned tile_lanes = 0;  // log2 of the amplitudes of a register
    unsigned tile_window = 0;
};

// Ranges of at least this many pairs stream from memory (a pass over a
// whole vector, split over the pool) and are swept with interleaved
// cursors; shorter ones (the runs of a cache block) are walked run by run,
// where only the amplitudes a gate changes are visited.
constexpr std::size_t kStreamPairs = std::size_t{1} << 17;

// Targets from this one on pair amplitudes 2^25 apart (256 MiB) or more.
// The SIMD sets write such partners in bursts when a range streams, and
// work on a copy of them in a cache block: stores alternating between lines
// that far apart ran at a third of the bandwidth, and in a block such a
// gate ran ten times slower than any other (bench/NOTES.md).
constexpr unsigned kFarTarget = 25;

// In a cache block such partners are copied to a stage on the stack of
// 2^kStageBits amplitudes (8 KiB) and worked on there, a stage at a time.
constexpr unsigned kStageBits = 10;

const KernelSet& scalar_kernels();
// Null when the set is not built in or this CPU lacks the instructions.
const KernelSet* avx2_kernels();
const KernelSet* avx512_kernels();

// The best set this CPU supports, chosen once. VASTREL_KERNELS=scalar|avx2|avx512
// in the environment forces a set (for tests and benchmarks); an unsupported
// or unknown name falls back to the best supported set.
const KernelSet& active_kernels();

}  // namespace vastrel::sim::kernels
