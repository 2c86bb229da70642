// Complex32: the amplitude type, two IEEE floats (real part first), with the
// exact single-precision product and sum every kernel and fusion use.
#pragma once

#include <cstdint>

// The arithmetic is exact only as written, operation by operation. The
// build's own options come after any flags a user adds and rule out fused
// multiply-adds and reassociation; a compiler that did not take them stops
// here rather than change the last bits.
#if defined(__FMA__) || defined(__FMA4__)
#error "vastrel must be compiled without FMA (-mno-fma after any -march): it changes the last bit"
#endif
#if defined(__FAST_MATH__) || defined(__ASSOCIATIVE_MATH__) || defined(__RECIPROCAL_MATH__) || \
    defined(__NO_SIGNED_ZEROS__) || (defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__)
#error "vastrel must be compiled without fast-math options: they change results"
#endif

namespace vastrel::sim {

struct Complex32 {
    float re;
    float im;
};

static_assert(sizeof(Complex32) == 8, "Complex32 must match NumPy complex64");

// Four rounded products, one rounded difference, one rounded sum. The build
// uses -ffp-contract=off and -mno-fma, so none of these is fused into an FMA.
inline Complex32 operator*(Complex32 x, Complex32 y) {
    return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}

inline Complex32 operator+(Complex32 x, Complex32 y) {
    return {x.re + y.re, x.im + y.im};
}

}  // namespace vastrel::sim
