// The baseline inner loops, for any x86-64 CPU: the single-precision
// formulas, two amplitudes at a time in 128-bit vectors (GCC vector
// extensions, so SSE2 at most), lane for lane the same roundings as one
// amplitude at a time.
//
// A complex product m*x of an entry m by two amplitudes x = (x0, x1):
//     x * (m.re, m.re, m.re, m.re) + swap(x) * (-m.im, m.im, -m.im, m.im)
// gives m.re*x.re + (-(m.im*x.im)) and m.re*x.im + m.im*x.re per amplitude.
// A product with a negated operand is the negated rounded product, and
// a + (-b) is a - b by definition, so every lane is the scalar formula.
#include <algorithm>
#include <cstring>
#include <utility>

#include "kernels.hpp"

namespace vastrel::sim::kernels {

namespace {

using V4 = float __attribute__((vector_size(16)));
using I4 = int __attribute__((vector_size(16)));

inline V4 load2(const Complex32* p) {
    V4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store2(Complex32* p, V4 v) { std::memcpy(p, &v, sizeof v); }

inline V4 swap_parts(V4 v) { return __builtin_shuffle(v, I4{1, 0, 3, 2}); }

// One matrix entry spread for the vector product: (re, re, re, re) and
// (-im, im, -im, im).
struct Entry {
    V4 re;
    V4 im;
};

// -x, except that a NaN keeps its sign: x - y returns a NaN y as it is,
// and so must x + (-y).
inline float negated(float x) { return x != x ? x : -x; }

inline Entry spread(Complex32 m) {
    const float neg = negated(m.im);
    return {V4{m.re, m.re, m.re, m.re}, V4{neg, m.im, neg, m.im}};
}

// Two entries side by side, for the layout (a.re, a.im, b.re, b.im) of one
// pair of target 0: lanes 0-1 use `first`, lanes 2-3 `second`.
inline Entry spread(Complex32 first, Complex32 second) {
    return {V4{first.re, first.re, second.re, second.re},
            V4{negated(first.im), first.im, negated(second.im), second.im}};
}

inline V4 mul(const Entry& m, V4 x, V4 x_swapped) { return x * m.re + x_swapped * m.im; }

// Amplitude index of pair p: p with a zero bit inserted at position t.
inline std::size_t lower_index(std::size_t p, unsigned t) {
    const std::size_t low = (std::size_t{1} << t) - 1;
    return ((p & ~low) << 1) | (p & low);
}

// Calls f(i, len) for each maximal run of pairs in [begin, end) whose lower
// amplitudes i, i+1, ..., i+len-1 are consecutive (runs end at 2^t blocks).
template <class F>
inline void for_each_run(unsigned t, std::size_t begin, std::size_t end, F&& f) {
    const std::size_t block = std::size_t{1} << t;
    std::size_t p = begin;
    while (p < end) {
        const std::size_t run_end = std::min(end, (p | (block - 1)) + 1);
        f(lower_index(p, t), run_end - p);
        p = run_end;
    }
}

// Calls f(k, len) for each maximal run of indices k in [from, from + count)
// whose bit `mask` is set.
template <class F>
inline void for_each_set_run(std::size_t mask, std::size_t from, std::size_t count, F&& f) {
    const std::size_t to = from + count;
    std::size_t k = from;
    while (k < to) {
        if ((k & mask) == 0) {
            k = (k | (mask - 1)) + 1;  // the next index with that bit set
            continue;
        }
        const std::size_t run_end = std::min(to, (k | (mask - 1)) + 1);
        f(k, run_end - k);
        k = run_end;
    }
}

// Partners 2^kFarTarget amplitudes away and more go through a copy on the
// stack, a stage at a time, so that their lines and the lower members' are
// not read and written in turn: lines that far apart do not stay in the L1
// together, and a gate on such a target ran up to ten times slower
// (bench/NOTES.md). work(lo, hi, n) then sees the stage as hi.
constexpr std::size_t kStage = std::size_t{1} << kStageBits;

template <class Work>
inline void staged_run(Complex32* lo, Complex32* hi, std::size_t len, unsigned t, Work&& work) {
    if (t < kFarTarget) {
        work(lo, hi, len);
        return;
    }
    alignas(64) Complex32 stage[kStage];
    for (std::size_t k = 0; k < len; k += kStage) {
        const std::size_t n = std::min(kStage, len - k);
        std::memcpy(static_cast<void*>(stage), hi + k, n * sizeof(Complex32));
        work(lo + k, stage, n);
        std::memcpy(static_cast<void*>(hi + k), stage, n * sizeof(Complex32));
    }
}

inline void mat2_one(Complex32* lo, Complex32* hi, const Matrix2& m) {
    const Complex32 a = *lo;
    const Complex32 b = *hi;
    *lo = m.m00 * a + m.m01 * b;
    *hi = m.m10 * a + m.m11 * b;
}

void mat2(Complex32* data, unsigned t, const Matrix2& m, std::size_t begin, std::size_t end) {
    if (t == 0) {
        // Partners are neighbours: one vector holds a whole pair.
        const Entry left = spread(m.m00, m.m10);
        const Entry right = spread(m.m01, m.m11);
        for (std::size_t p = begin; p < end; ++p) {
            const V4 v = load2(data + 2 * p);
            const V4 a = __builtin_shuffle(v, I4{0, 1, 0, 1});
            const V4 b = __builtin_shuffle(v, I4{2, 3, 2, 3});
            const V4 as = __builtin_shuffle(v, I4{1, 0, 1, 0});
            const V4 bs = __builtin_shuffle(v, I4{3, 2, 3, 2});
            store2(data + 2 * p, mul(left, a, as) + mul(right, b, bs));
        }
        return;
    }
    const std::size_t h = std::size_t{1} << t;
    const Entry m00 = spread(m.m00), m01 = spread(m.m01), m10 = spread(m.m10), m11 = spread(m.m11);
    for_each_run(t, begin, end, [&](std::size_t i, std::size_t run) {
        staged_run(data + i, data + i + h, run, t, [&](Complex32* lo, Complex32* hi, std::size_t len) {
            std::size_t k = 0;
            for (; k + 2 <= len; k += 2) {
                const V4 a = load2(lo + k);
                const V4 b = load2(hi + k);
                const V4 as = swap_parts(a);
                const V4 bs = swap_parts(b);
                store2(lo + k, mul(m00, a, as) + mul(m01, b, bs));
                store2(hi + k, mul(m10, a, as) + mul(m11, b, bs));
            }
            if (k < len) {
                mat2_one(lo + k, hi + k, m);
            }
        });
    });
}

inline void swap_runs(Complex32* lo, Complex32* hi, std::size_t len, unsigned t) {
    staged_run(lo, hi, len, t, [](Complex32* __restrict l, Complex32* __restrict r, std::size_t n) {
        for (std::size_t k = 0; k < n; ++k) {
            std::swap(l[k], r[k]);
        }
    });
}

void cnot(Complex32* data, unsigned c, unsigned t, std::size_t begin, std::size_t end) {
    const std::size_t h = std::size_t{1} << t;
    const std::size_t cmask = std::size_t{1} << c;
    if (t == 0) {
        // Pair p is (2p, 2p + 1) and bit c of 2p is bit c - 1 of p: runs
        // of whole pairs instead of runs of one.
        for_each_set_run(cmask >> 1, begin, end - begin, [&](std::size_t p, std::size_t n) {
            for (std::size_t q = p; q < p + n; ++q) {
                std::swap(data[2 * q], data[2 * q + 1]);
            }
        });
        return;
    }
    for_each_run(t, begin, end, [&](std::size_t i, std::size_t len) {
        if (c > t) {
            // Above the target, the control bit is the same for a whole run.
            if (i & cmask) {
                swap_runs(data + i, data + i + h, len, t);
            }
        } else if (c == 0) {
            // Every other pair (the odd amplitudes; a stage starts an even
            // number of them on): a strided loop instead of runs of one.
            staged_run(data + i, data + i + h, len, t, [&](Complex32* lo, Complex32* hi, std::size_t n) {
                for (std::size_t k = (i & 1) ^ 1; k < n; k += 2) {
                    std::swap(lo[k], hi[k]);
                }
            });
        } else {
            for_each_set_run(cmask, i, len, [&](std::size_t k, std::size_t n) {
                swap_runs(data + k, data + k + h, n, t);
            });
        }
    });
}

inline void scale_run(Complex32* v, Complex32 phase, std::size_t len) {
    const Entry p = spread(phase);
    std::size_t k = 0;
    for (; k + 2 <= len; k += 2) {
        const V4 x = load2(v + k);
        store2(v + k, mul(p, x, swap_parts(x)));
    }
    if (k < len) {
        v[k] = phase * v[k];
    }
}

void crz(Complex32* data, unsigned c, unsigned t, Complex32 phase, std::size_t begin,
         std::size_t end) {
    const std::size_t h = std::size_t{1} << t;
    const std::size_t cmask = std::size_t{1} << c;
    if (t == 0 && c == 0) {
        for (std::size_t p = begin; p < end; ++p) {
            data[2 * p + 1] = phase * data[2 * p + 1];
        }
        return;
    }
    for_each_run(t, begin, end, [&](std::size_t i, std::size_t len) {
        const std::size_t j = i + h;
        if (c >= t) {
            // Bit c of j is fixed over the run (c == t: always set).
            if (j & cmask) {
                scale_run(data + j, phase, len);
            }
        } else if (c == 0) {
            for (std::size_t k = j | 1; k < j + len; k += 2) {
                data[k] = phase * data[k];
            }
        } else {
            for_each_set_run(cmask, j, len,
                             [&](std::size_t k, std::size_t n) { scale_run(data + k, phase, n); });
        }
    });
}

// Without a flip, the cnots and the matrix one after another over the
// range: each acts on the pairs of t in it, so every pair sees the three in
// order. With one, pair by pair.
void mat2_exchanged(Complex32* data, unsigned t, const Matrix2& m, const Exchanges& x, std::size_t begin,
                    std::size_t end) {
    if (x.flip == kNoExchange) {
        if (x.before != kNoExchange) {
            cnot(data, x.before, t, begin, end);
        }
        mat2(data, t, m, begin, end);
        if (x.after != kNoExchange) {
            cnot(data, x.after, t, begin, end);
        }
        return;
    }
    const std::size_t h = std::size_t{1} << t;
    const std::size_t flip = std::size_t{1} << x.flip;
    for (std::size_t p = begin; p < end; ++p) {
        const std::size_t i = lower_index(p, t);
        const std::size_t j = (i + h) ^ flip;
        if ((i >> x.before) & 1) {
            std::swap(data[i], data[j]);
        }
        mat2_one(data + i, data + j, m);
        if ((i >> x.after) & 1) {
            std::swap(data[i], data[j]);
        }
    }
}

constexpr KernelSet kScalar{"scalar", mat2, cnot, crz, mat2_exchanged};

}  // namespace

const KernelSet& scalar_kernels() { return kScalar; }

}  // namespace vastrel::sim::kernels
