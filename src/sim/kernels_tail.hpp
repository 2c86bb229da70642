// Scalar pieces shared by the SIMD kernel sets: the arithmetic for the pairs
// at the ends of a range, the software prefetch and the sweep of a range.
// Included only by the ISA-specific translation units, each of which gets its
// own copy: everything here has internal linkage, because an inline function
// shared with the baseline translation units could be merged by the linker
// with an AVX-compiled copy and then run on a CPU without those instructions.
#pragma once

#include <xmmintrin.h>

#include <cstddef>
#include <cstdint>

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

inline void mat2_pair(Complex32* data, unsigned t, const Matrix2& m, std::size_t p) {
    const std::size_t i = lower_index(p, t);
    const std::size_t j = i + (std::size_t{1} << t);
    const Complex32 a = data[i];
    const Complex32 b = data[j];
    data[i] = add(mul(m.m00, a), mul(m.m01, b));
    data[j] = add(mul(m.m10, a), mul(m.m11, b));
}

inline void cnot_pair(Complex32* data, unsigned c, unsigned t, std::size_t p) {
    const std::size_t i = lower_index(p, t);
    if ((i >> c) & 1) {
        const std::size_t j = i + (std::size_t{1} << t);
        const Complex32 a = data[i];
        data[i] = data[j];
        data[j] = a;
    }
}

inline void crz_pair(Complex32* data, unsigned c, unsigned t, Complex32 phase, std::size_t p) {
    const std::size_t j = lower_index(p, t) + (std::size_t{1} << t);
    if ((j >> c) & 1) {
        data[j] = mul(data[j], phase);
    }
}

// Lines this far ahead (2 KiB) are requested in software: the hardware
// prefetchers alone leave part of the bandwidth unused (measured on 2^24
// amplitudes: from a twentieth to a third faster, depending on the load of
// the machine). Only lines the kernel will touch are requested, so a skipped
// part of the vector is never read.
constexpr std::size_t kAhead = 256;  // amplitudes

// A hint, so an address past the vector is harmless; it is formed as an
// integer rather than as a pointer beyond the array.
inline void prefetch_ahead(const float* p) {
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p) + kAhead * sizeof(Complex32);
    _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
}

// Interleaving a few cursors over far-apart parts of a range keeps more
// lines in flight than one sequential stream (measured on 2^24 amplitudes:
// about a fifth faster, on one thread and on two). Pairs are disjoint, so the
// order in which they are visited cannot change a result.
constexpr std::size_t kCursors = 4;

// Runs scalar(p) over the pairs before the first multiple of step and after
// the last whole step, and vector(p) once for each whole step in between.
template <class Scalar, class Vector>
void sweep(std::size_t begin, std::size_t end, std::size_t step, Scalar scalar, Vector vector) {
    std::size_t p = begin;
    std::size_t head = (begin + step - 1) & ~(step - 1);
    if (head > end) {
        head = end;
    }
    for (; p < head; ++p) {
        scalar(p);
    }
    const std::size_t count = (end - p) / step;
    const std::size_t part = count / kCursors;
    for (std::size_t k = 0; k < part; ++k) {
        for (std::size_t s = 0; s < kCursors; ++s) {
            vector(p + (s * part + k) * step);
        }
    }
    for (std::size_t k = kCursors * part; k < count; ++k) {
        vector(p + k * step);
    }
    for (p += count * step; p < end; ++p) {
        scalar(p);
    }
}

}  // namespace
}  // namespace vastrel::sim::kernels
