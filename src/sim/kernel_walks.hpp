// The range walks shared by the SIMD kernel sets (runs, sweeps with
// interleaved cursors, far-target bursts, controlled walks) and the scalar
// arithmetic for the pairs at the ends of a range. Included only by the
// ISA-specific translation units, each of which gets its own copy:
// everything here has internal linkage, because an inline function shared
// with the baseline translation units could be merged by the linker with an
// AVX-compiled copy and then run on a CPU without those instructions.
#pragma once

#include <xmmintrin.h>

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels.hpp"

namespace vastrel::sim::kernels {
namespace {

inline Complex32 mul(Complex32 x, Complex32 y) {
    return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}

inline Complex32 add(Complex32 x, Complex32 y) { return {x.re + y.re, x.im + y.im}; }

inline std::size_t lower_index(std::size_t p, unsigned t) {
    const std::size_t low = (std::size_t{1} << t) - 1;
    return ((p >> t) << (t + 1)) | (p & low);
}

inline void mat2_at(Complex32* data, std::size_t i, std::size_t j, const Matrix2& m) {
    const Complex32 a = data[i];
    const Complex32 b = data[j];
    data[i] = add(mul(m.m00, a), mul(m.m01, b));
    data[j] = add(mul(m.m10, a), mul(m.m11, b));
}

inline void swap_at(Complex32* data, std::size_t i, std::size_t j) {
    const Complex32 a = data[i];
    data[i] = data[j];
    data[j] = a;
}

// The partner of lower member i whose unflipped partner is j, under x.
inline std::size_t flipped(std::size_t j, const Exchanges& x) {
    return x.flip == kNoExchange ? j : j ^ (std::size_t{1} << x.flip);
}

// mat2_at with the exchanges of x, given i and its unflipped partner j.
inline void mat2_exchanged_at(Complex32* data, std::size_t i, std::size_t j, const Matrix2& m, const Exchanges& x) {
    j = flipped(j, x);
    if ((i >> x.before) & 1) {
        swap_at(data, i, j);
    }
    mat2_at(data, i, j, m);
    if ((i >> x.after) & 1) {
        swap_at(data, i, j);
    }
}

// Amplitude i and its partner j, exchanged when bit c of i is set.
inline void cnot_at(Complex32* data, unsigned c, std::size_t i, std::size_t j) {
    if ((i >> c) & 1) {
        swap_at(data, i, j);
    }
}

// Amplitude j multiplied by the phase when bit c of j is set.
inline void crz_at(Complex32* data, unsigned c, std::size_t j, Complex32 phase) {
    if ((j >> c) & 1) {
        data[j] = mul(data[j], phase);
    }
}

inline void cnot_pair(Complex32* data, unsigned c, unsigned t, std::size_t p) {
    const std::size_t i = lower_index(p, t);
    cnot_at(data, c, i, i + (std::size_t{1} << t));
}

inline void crz_pair(Complex32* data, unsigned c, unsigned t, Complex32 phase, std::size_t p) {
    crz_at(data, c, lower_index(p, t) + (std::size_t{1} << t), phase);
}

// Calls f(i, len) for each maximal run of pairs in [begin, end) whose lower
// amplitudes i, i+1, ..., i+len-1 are consecutive (runs end at 2^t blocks).
template <class F>
[[gnu::always_inline]] inline void for_each_run(unsigned t, std::size_t begin, std::size_t end, F f) {
    const std::size_t block = std::size_t{1} << t;
    for (std::size_t p = begin; p < end;) {
        const std::size_t run_end = (p | (block - 1)) + 1 < end ? (p | (block - 1)) + 1 : end;
        f(lower_index(p, t), run_end - p);
        p = run_end;
    }
}

// Calls f(k, len) for each maximal run of indices k in [from, from + count)
// whose bit `mask` is set.
template <class F>
[[gnu::always_inline]] inline void for_each_set_run(std::size_t mask, std::size_t from, std::size_t count, F f) {
    const std::size_t to = from + count;
    for (std::size_t k = from; k < to;) {
        if ((k & mask) == 0) {
            k = (k | (mask - 1)) + 1;  // the next index with that bit set
            continue;
        }
        const std::size_t run_end = (k | (mask - 1)) + 1 < to ? (k | (mask - 1)) + 1 : to;
        f(k, run_end - k);
        k = run_end;
    }
}

// Walks the amplitudes [i, i + len) of a run: one(g) for each up to a
// multiple of width (lane masks hold only from there on), vector(g) for each
// whole register from g, and one(g) for the rest.
template <class One, class Vector>
[[gnu::always_inline]] inline void walk_run(std::size_t i, std::size_t len, std::size_t width, One one, Vector vector) {
    const std::size_t end = i + len;
    std::size_t g = i;
    for (; g < end && (g & (width - 1)) != 0; ++g) {
        one(g);
    }
    for (; g + width <= end; g += width) {
        vector(g);
    }
    for (; g < end; ++g) {
        one(g);
    }
}

// The runs of amplitudes j (upper members of pairs of t in [begin, end),
// or lower members when `upper` is false) whose bit c is set, as f(j, len);
// c == t selects every upper member.
template <class F>
[[gnu::always_inline]] inline void for_each_controlled_run(unsigned c, unsigned t, bool upper, std::size_t begin, std::size_t end, F f) {
    const std::size_t h = upper ? std::size_t{1} << t : 0;
    const std::size_t cmask = std::size_t{1} << c;
    for_each_run(t, begin, end, [&](std::size_t i, std::size_t len) {
        const std::size_t j = i + h;
        if (c >= t) {
            // Bit c is the same over the whole run.
            if ((j & cmask) != 0) {
                f(j, len);
            }
        } else {
            for_each_set_run(cmask, j, len, f);
        }
    });
}

// The run walkers below are forced inline: out of line, a walk reads its
// loop body's captures through memory on every register (bench/NOTES.md).
//
// Lines this far ahead (2 KiB) are requested in software: the hardware
// prefetchers alone leave part of the bandwidth unused. Only lines the
// kernel will touch are requested, so a skipped part is never read. They
// are requested into the L2, not the L1: on Zen 4 one gate a pass ran
// 0.83-1.05x of the in-place bound on 24 qubits against 1.08-1.23x before
// (AVX-512; AVX2 0.83-1.04x against 0.88-1.12x), and on mid targets of 26
// qubits 0.87-1.05x against 0.97-1.16x; circuits, mostly tiles, within
// the noise.
constexpr std::size_t kAhead = 256;  // amplitudes

// A hint, so an address past the vector is harmless; it is formed as an
// integer rather than as a pointer beyond the array.
[[gnu::always_inline]] inline void prefetch_ahead(const float* p, std::size_t ahead = kAhead) {
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p) + ahead * sizeof(Complex32);
    _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T1);
}

// Interleaving a few cursors over far-apart parts of a range keeps more
// lines in flight than one sequential stream. Pairs are disjoint, so the
// order in which they are visited cannot change a result.
constexpr std::size_t kCursors = 4;

// Cursors start this many steps apart within their parts, so that they
// never all sit in the same cache set: parts of a power-of-two range are a
// multiple of 4 KiB apart, and an 8-way L1 cannot hold one line per cursor
// and pair member at the same set.
constexpr std::size_t kCursorSkew = 8;
// Steps per part below which one cursor walks the whole range.
constexpr std::size_t kMinPart = 64;

// Calls step(k) once for each k in [0, count). Long counts are walked by
// Cursors interleaved cursors over consecutive parts, whose starts are Skew
// steps off a power-of-two spacing; steps are disjoint pairs, so the order
// cannot change a result.
template <std::size_t Cursors = kCursors, std::size_t Skew = kCursorSkew, class Step>
[[gnu::always_inline]] inline void walk_interleaved(std::size_t count, Step step) {
    const std::size_t part = count / Cursors;
    if (part < kMinPart + Cursors * Skew) {
        for (std::size_t k = 0; k < count; ++k) {
            step(k);
        }
        return;
    }
    std::size_t start[Cursors + 1];
    for (std::size_t s = 0; s < Cursors; ++s) {
        start[s] = s * (part + Skew);
    }
    start[Cursors] = count;
    // No part is shorter than this: the last one lost a skew per cursor.
    const std::size_t common = part - (Cursors - 1) * Skew;
    for (std::size_t k = 0; k < common; ++k) {
        for (std::size_t s = 0; s < Cursors; ++s) {
            step(start[s] + k);
        }
    }
    for (std::size_t s = 0; s < Cursors; ++s) {
        for (std::size_t k = start[s] + common; k < start[s + 1]; ++k) {
            step(k);
        }
    }
}

inline bool streams(std::size_t begin, std::size_t end) { return end - begin >= kStreamPairs; }

// Pairs [begin, end) of t, restricted to a control bit c (c == t: none),
// are walked run by run when they do not stream, the control bit lies
// above the lanes of a register (lane_bits: log2 of the amplitudes it
// holds), and the target's runs are at least 16 amplitudes long. Shorter
// runs cost more to walk one by one than a sweep that tests every register.
inline bool walk_runs(unsigned c, unsigned t, std::size_t begin, std::size_t end, unsigned lane_bits) {
    return !streams(begin, end) && t >= 4 && t >= lane_bits && c >= lane_bits;
}

// Runs scalar(p) over the pairs of [begin, end) before the first multiple
// of step and after the last whole step, and whole(first, last) once on the
// whole steps between (first and last multiples of step, first <= last).
template <class Scalar, class Whole>
[[gnu::always_inline]] inline void split_steps(std::size_t begin, std::size_t end, std::size_t step, Scalar scalar,
                                               Whole whole) {
    std::size_t head = (begin + step - 1) & ~(step - 1);
    if (head > end) {
        head = end;
    }
    for (std::size_t p = begin; p < head; ++p) {
        scalar(p);
    }
    const std::size_t last = head + ((end - head) & ~(step - 1));
    whole(head, last);
    for (std::size_t p = last; p < end; ++p) {
        scalar(p);
    }
}

// Runs scalar(p) over the pairs before the first multiple of step and after
// the last whole step, and vector(p) once for each whole step in between.
template <class Scalar, class Vector>
void sweep(std::size_t begin, std::size_t end, std::size_t step, Scalar scalar, Vector vector) {
    split_steps(begin, end, step, scalar, [&](std::size_t first, std::size_t last) __attribute__((always_inline)) {
        walk_interleaved((last - first) / step, [&](std::size_t k) { vector(first + k * step); });
    });
}

// f(a, b) with a and b as compile-time constants (std::bool_constant), so
// that a loop in f is compiled once per case rather than testing it on
// every pass.
template <class F>
[[gnu::always_inline]] inline void with_flags(bool a, bool b, F f) {
    if (a) {
        if (b) {
            f(std::true_type{}, std::true_type{});
        } else {
            f(std::true_type{}, std::false_type{});
        }
    } else if (b) {
        f(std::false_type{}, std::true_type{});
    } else {
        f(std::false_type{}, std::false_type{});
    }
}

// The bit of a pair index of target t that holds bit c of its amplitudes
// (c != t), as the mask sweep_set takes; 0, every pair, when c is in the
// lanes of a register or c == t.
inline std::size_t control_mask(unsigned c, unsigned t, bool lane_control) {
    return lane_control || c == t ? 0 : std::size_t{1} << (c < t ? c : c - 1);
}

// A range in a cache block, as sweep does it but in order, without
// prefetch or cursors, and visiting only the steps whose pairs have bit
// `mask` of their pair index set (mask 0: every step; otherwise mask >= step,
// so a step's pairs share that bit). Steps are whole multiples of step;
// scalar(p) serves the pairs before the first and after the last, and must
// itself leave a pair alone that the mask would skip.
template <class Scalar, class Vector>
[[gnu::always_inline]] inline void sweep_set(std::size_t begin, std::size_t end, std::size_t step, std::size_t mask,
                                             Scalar scalar, Vector vector) {
    assert(mask == 0 || mask >= step);
    split_steps(begin, end, step, scalar, [&](std::size_t first, std::size_t last) __attribute__((always_inline)) {
        std::size_t q = first;
        if (mask != 0 && (q & mask) == 0) {
            q = (q | mask) & ~(mask - 1);  // the next step with that bit set
        }
        // Past a step with the bit set, the next is the following step with
        // the bit forced back on (a carry out of it clears the bits below).
        for (; q < last; q = (q + step) | mask) {
            vector(q);
        }
    });
}

// Partners at least 2^kFarTarget amplitudes away get their results in
// bursts of this many amplitudes (eight cache lines), gathered in a buffer
// on the stack, so that their lines are written kBurst at a time rather than
// alternately with the lower members' lines.
constexpr unsigned kBurstBits = 6;
constexpr std::size_t kBurst = std::size_t{1} << kBurstBits;

// A far target's lines are requested further ahead (4 KiB).
constexpr std::size_t kFarAhead = 512;  // amplitudes

// A far target's bursts are taken in turn from two cursors over the halves
// of a run, the second this many bursts off the halfway point: closer to
// the bound than one cursor, three or four, or a skew of one burst.
constexpr std::size_t kFarCursors = 2;
constexpr std::size_t kFarSkew = 4;

// Walks the amplitudes [i, i + len) of a run whose partners lie h further
// on, as walk_run does, but in bursts of kBurst amplitudes taken in turn
// from kFarCursors cursors (walk_interleaved): vector(g, out) loads the
// register at g and its partner, stores the lower result in place and the
// partner's to out, within a buffer of kBurst amplitudes that copy(j, from)
// then writes to the partners, one register at a time. one(g) serves the
// single pairs at the ends.
template <class One, class Vector, class Copy>
[[gnu::always_inline]] inline void walk_far_run(std::size_t i, std::size_t len, std::size_t h, std::size_t width, One one,
                                                Vector vector, Copy copy) {
    alignas(64) Complex32 burst[kBurst];
    // The n amplitudes (a multiple of width) from g. The vector loop stays
    // a loop: unrolled over the whole burst, cnot's short body ran slower.
    auto in_burst = [&](std::size_t g, std::size_t n) __attribute__((always_inline)) {
#pragma GCC unroll 1
        for (std::size_t k = 0; k < n; k += width) {
            vector(g + k, burst + k);
        }
        for (std::size_t k = 0; k < n; k += width) {
            copy(g + h + k, burst + k);
        }
    };
    const std::size_t end = i + len;
    std::size_t g = i;
    for (; g < end && (g & (width - 1)) != 0; ++g) {
        one(g);
    }
    const std::size_t bursts = (end - g) >> kBurstBits;
    walk_interleaved<kFarCursors, kFarSkew>(bursts, [&](std::size_t k) { in_burst(g + (k << kBurstBits), kBurst); });
    g += bursts << kBurstBits;
    const std::size_t whole = (end - g) & ~(width - 1);
    in_burst(g, whole);
    for (g += whole; g < end; ++g) {
        one(g);
    }
}

// The runs of the pairs [begin, end) of t as f(i, len), restricted to a
// control bit c (c == t: none) when its runs hold at least 2^run_bits
// amplitudes: then only the runs where bit c of the lower member is set;
// otherwise every run, and f must leave the pairs without bit c alone.
template <class F>
[[gnu::always_inline]] inline void for_each_far_run(unsigned c, unsigned t, unsigned run_bits, std::size_t begin,
                                                    std::size_t end, F f) {
    if (c == t || c < run_bits) {
        for_each_run(t, begin, end, f);
    } else {
        for_each_controlled_run(c, t, false, begin, end, f);
    }
}

// The pairs [begin, end) of a target t >= kFarTarget, when they stream,
// walked run by run in bursts (walk_far_run, with one and vector given lower
// amplitudes); false, having done nothing, for a nearer target or a range in
// a cache block. With a control bit c (c == t: none) whose runs hold at
// least a burst, only the runs where bit c of the lower member is set are
// visited; with a lower one every run is, and vector must then give the
// pairs without bit c their partners unchanged.
template <class One, class Vector, class Copy>
[[gnu::always_inline]] inline bool walk_far(unsigned c, unsigned t, std::size_t begin, std::size_t end, std::size_t width,
                                            One one, Vector vector, Copy copy) {
    if (t < kFarTarget || !streams(begin, end)) {
        return false;
    }
    const std::size_t h = std::size_t{1} << t;
    for_each_far_run(c, t, kBurstBits, begin, end, [&](std::size_t i, std::size_t len) __attribute__((always_inline)) {
        walk_far_run(i, len, h, width, one, vector, copy);
    });
    return true;
}

// A far target's pairs in a cache block go through a stage on the stack
// (kStageBits): the partners are copied in, the lower members and the stage
// are worked on, and the stage is copied back. Lines 256 MiB apart cannot
// stay in the L1 together on the machines of bench/NOTES.md, so a pair's two
// lines, read and written in turn, went back to the L2 on nearly every
// access: a gate on such a target ran ten times slower than on any other in
// a block. The stage keeps the two apart.
constexpr std::size_t kStage = std::size_t{1} << kStageBits;

// Walks the amplitudes [i, i + len) of a run whose partners lie h further
// on, stage by stage: staged(g, partner) on the register at g and its
// partner's copy at partner (where its result goes), one(g) on single pairs
// at the ends.
template <class One, class Staged>
[[gnu::always_inline]] inline void walk_staged_run(Complex32* data, std::size_t i, std::size_t len, std::size_t h,
                                                   std::size_t width, One one, Staged staged) {
    alignas(64) Complex32 stage[kStage];
    const std::size_t end = i + len;
    std::size_t g = i;
    for (; g < end && (g & (width - 1)) != 0; ++g) {
        one(g);
    }
    while (end - g >= width) {
        const std::size_t n = std::min(kStage, (end - g) & ~(width - 1));
        std::memcpy(static_cast<void*>(stage), data + g + h, n * sizeof(Complex32));
        for (std::size_t k = 0; k < n; k += width) {
            staged(g + k, stage + k);
        }
        std::memcpy(static_cast<void*>(data + g + h), stage, n * sizeof(Complex32));
        g += n;
    }
    for (; g < end; ++g) {
        one(g);
    }
}

// The pairs [begin, end) of a target t >= kFarTarget in a cache block (a
// range that does not stream), run by run through the stage
// (walk_staged_run); false, having done nothing, otherwise. Controls as in
// walk_far: with c at or above kStageBits only the runs where bit c of the
// lower member is set, otherwise every run, and staged must then leave the
// pairs without bit c as they were.
template <class One, class Staged>
[[gnu::always_inline]] inline bool walk_staged(Complex32* data, unsigned c, unsigned t, std::size_t begin,
                                               std::size_t end, std::size_t width, One one, Staged staged) {
    if (t < kFarTarget || streams(begin, end)) {
        return false;
    }
    const std::size_t h = std::size_t{1} << t;
    for_each_far_run(c, t, kStageBits, begin, end, [&](std::size_t i, std::size_t len) __attribute__((always_inline)) {
        walk_staged_run(data, i, len, h, width, one, staged);
    });
    return true;
}

// cnot on a far target (walk_far), for a set whose registers hold width
// amplitudes: exchange(pa, pb, out) exchanges the chosen lanes of the
// registers at pa and pb, pb's new value going to out; keep(pb, out) copies
// the register at pb to out, for a register whose pairs are left alone.
// Blended: the control bit lies in the lanes, and every register is
// exchanged. Each set calls this from an out-of-line function per case:
// inside cnot, GCC kept the walk in a function of its own that reloaded
// the base, the distance, the case and the mask through memory for every
// register (twice the instructions). Target 25 of 26, AVX2, one process
// timing both alternately while memory was fast: control 0 went from
// 1.20-1.23x of the bound to 1.13-1.15x, controls 3 and 10 gained 6-16%.
template <bool Blended, class Exchange, class Keep, class Copy>
[[gnu::always_inline]] inline bool walk_far_cnot(Complex32* data, unsigned c, unsigned t, std::size_t begin,
                                                 std::size_t end, std::size_t width, Exchange exchange, Keep keep,
                                                 Copy copy) {
    float* const base = reinterpret_cast<float*>(data);
    const std::size_t h = std::size_t{1} << t;
    return walk_far(
        c, t, begin, end, width, [data, c, h](std::size_t g) { cnot_at(data, c, g, g + h); },
        [base, c, h, exchange, keep](std::size_t g, Complex32* out) {
            float* pa = base + 2 * g;
            float* pb = base + 2 * (g + h);
            prefetch_ahead(pa, kFarAhead);
            prefetch_ahead(pb, kFarAhead);
            if (Blended || ((g >> c) & 1)) {
                exchange(pa, pb, reinterpret_cast<float*>(out));
            } else {
                keep(pb, reinterpret_cast<float*>(out));
            }
        },
        copy);
}

// The pairs [begin, end) of a target t at or above the register width of a
// set (2^lane_bits amplitudes, width of them), as vector(i, j, out, ahead)
// on the kWidth pairs from lower amplitude i and partner j, the partners'
// results going to out, lines prefetched ahead amplitudes on (0: none), and
// one(i, j) on single pairs:
// - a far target's streaming range (walk_far): in bursts, out a buffer,
//   ahead kFarAhead;
// - a range that streams: swept with interleaved cursors, out = data + j,
//   ahead kAhead (scalar(p) at the ends);
// - a far target's range in a cache block: through the stage
//   (walk_staged), as staged(i, partner) with the partner's copy at partner;
// - otherwise walked run by run, out = data + j, without prefetch.
template <class Scalar, class One, class Vector, class Staged, class Copy>
[[gnu::always_inline]] inline void walk_pairs(Complex32* data, unsigned t, std::size_t begin, std::size_t end,
                                              std::size_t width, unsigned lane_bits, Scalar scalar, One one, Vector vector,
                                              Staged staged, Copy copy) {
    const std::size_t h = std::size_t{1} << t;
    if (walk_far(
            t, t, begin, end, width, [&](std::size_t g) { one(g, g + h); },
            [&](std::size_t g, Complex32* out) { vector(g, g + h, out, kFarAhead); }, copy)) {
        return;
    }
    if (walk_staged(data, t, t, begin, end, width, [&](std::size_t g) { one(g, g + h); }, staged)) {
        return;
    }
    if (!walk_runs(t, t, begin, end, lane_bits)) {
        sweep(begin, end, width, scalar, [&](std::size_t p) {
            const std::size_t i = lower_index(p, t);
            vector(i, i + h, data + i + h, kAhead);
        });
        return;
    }
    for_each_run(t, begin, end, [&](std::size_t i, std::size_t len) {
        walk_run(
            i, len, width, [&](std::size_t g) { one(g, g + h); },
            [&](std::size_t g) { vector(g, g + h, data + g + h, std::size_t{0}); });
    });
}

// The amplitudes with bit c set among the lower members (upper false) or
// the upper members (upper true) of the pairs [begin, end) of t, walked run
// by run as one(g) and vector(g) when walk_runs allows it; false, having
// done nothing, when it does not. With c above the lanes only the runs
// where it is set are visited; with c in the lanes every run is, and vector
// must leave the lanes without bit c as they were.
template <class One, class Vector>
[[gnu::always_inline]] inline bool walk_controlled(unsigned c, unsigned t, bool upper, std::size_t begin, std::size_t end, std::size_t width,
                     unsigned lane_bits, One one, Vector vector) {
    const bool lane_control = c < lane_bits;
    if (!walk_runs(lane_control ? lane_bits : c, t, begin, end, lane_bits)) {
        return false;
    }
    auto run = [&](std::size_t g, std::size_t len) { walk_run(g, len, width, one, vector); };
    const std::size_t h = upper ? std::size_t{1} << t : 0;
    if (lane_control) {
        for_each_run(t, begin, end, [&](std::size_t i, std::size_t len) { run(i + h, len); });
    } else if (c < t) {
        // Within a run of t, bit c is set in every other stretch of 2^c,
        // a whole number of registers: a run aligned to 2^(c+1) is walked
        // with that stride, without a call per stretch. Other runs go
        // stretch by stretch.
        const std::size_t stretch = std::size_t{1} << c;
        const std::size_t period = 2 * stretch;
        for_each_run(t, begin, end, [&](std::size_t i, std::size_t len) {
            const std::size_t j = i + h;
            if (((j | len) & (period - 1)) != 0) {
                for_each_set_run(stretch, j, len, run);
                return;
            }
            for (std::size_t k = j + stretch; k < j + len; k += period) {
                for (std::size_t r = 0; r < stretch; r += width) {
                    vector(k + r);
                }
            }
        });
    } else {
        for_each_controlled_run(c, t, upper, begin, end, run);
    }
    return true;
}

}  // namespace
}  // namespace vastrel::sim::kernels
