// The portable inner loops: plain single-precision arithmetic that every
// other kernel set must reproduce bit for bit.
#include <algorithm>
#include <utility>

#include "kernels.hpp"

namespace vastrel::sim::kernels {

namespace {

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

void mat2(Complex32* data, unsigned t, const Matrix2& matrix, std::size_t begin, std::size_t end) {
    const Complex32 m00 = matrix.m00, m01 = matrix.m01, m10 = matrix.m10, m11 = matrix.m11;
    if (t == 0) {
        // Partners are neighbours; one flat loop instead of runs of one.
        for (std::size_t p = begin; p < end; ++p) {
            const Complex32 a = data[2 * p];
            const Complex32 b = data[2 * p + 1];
            data[2 * p] = m00 * a + m01 * b;
            data[2 * p + 1] = m10 * a + m11 * b;
        }
        return;
    }
    const std::size_t h = std::size_t{1} << t;
    for_each_run(t, begin, end, [&](std::size_t i, std::size_t len) {
        Complex32* __restrict lo = data + i;
        Complex32* __restrict hi = data + i + h;
        for (std::size_t k = 0; k < len; ++k) {
            const Complex32 a = lo[k];
            const Complex32 b = hi[k];
            lo[k] = m00 * a + m01 * b;
            hi[k] = m10 * a + m11 * b;
        }
    });
}

inline void swap_runs(Complex32* __restrict lo, Complex32* __restrict hi, std::size_t len) {
    for (std::size_t k = 0; k < len; ++k) {
        std::swap(lo[k], hi[k]);
    }
}

void cnot(Complex32* data, unsigned c, unsigned t, std::size_t begin, std::size_t end) {
    const std::size_t h = std::size_t{1} << t;
    const std::size_t cmask = std::size_t{1} << c;
    for_each_run(t, begin, end, [&](std::size_t i, std::size_t len) {
        if (c > t) {
            // Above the target, the control bit is the same for a whole run.
            if (i & cmask) {
                swap_runs(data + i, data + i + h, len);
            }
            return;
        }
        for_each_set_run(cmask, i, len, [&](std::size_t k, std::size_t n) {
            swap_runs(data + k, data + k + h, n);
        });
    });
}

inline void scale_run(Complex32* __restrict v, Complex32 phase, std::size_t len) {
    for (std::size_t k = 0; k < len; ++k) {
        v[k] = v[k] * phase;
    }
}

void crz(Complex32* data, unsigned c, unsigned t, Complex32 phase, std::size_t begin,
         std::size_t end) {
    const std::size_t h = std::size_t{1} << t;
    const std::size_t cmask = std::size_t{1} << c;
    for_each_run(t, begin, end, [&](std::size_t i, std::size_t len) {
        const std::size_t j = i + h;
        if (c >= t) {
            // Bit c of j is fixed over the run (c == t: always set).
            if (j & cmask) {
                scale_run(data + j, phase, len);
            }
            return;
        }
        for_each_set_run(cmask, j, len, [&](std::size_t k, std::size_t n) {
            scale_run(data + k, phase, n);
        });
    });
}

constexpr KernelSet kScalar{"scalar", mat2, cnot, crz};

}  // namespace

const KernelSet& scalar_kernels() { return kScalar; }

}  // namespace vastrel::sim::kernels
