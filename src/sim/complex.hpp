// Complex32: the amplitude type, two IEEE floats (real part first), with the
// exact single-precision product and sum every kernel and fusion use.
#pragma once

#include <cstdint>

namespace vastrel::sim {

struct Complex32 {
    float re;
    float im;
};

static_assert(sizeof(Complex32) == 8, "Complex32 must match NumPy complex64");

// Four rounded products, one rounded difference, one rounded sum. The build
// uses -ffp-contract=off, so none of these is fused into an FMA.
inline Complex32 operator*(Complex32 x, Complex32 y) {
    return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}

inline Complex32 operator+(Complex32 x, Complex32 y) {
    return {x.re + y.re, x.im + y.im};
}

}  // namespace vastrel::sim
