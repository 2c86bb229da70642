// The AVX-512 kernel set: eight amplitudes per 512-bit register. This file is
// compiled with -mavx512f -mavx512dq -mavx512vl -mavx512bw (never -mfma); only
// avx512_kernels() is built for the baseline ISA, so it can run on any x86-64
// CPU to find out whether the rest may run.
//
// A complex product by a constant y uses y split into (re, re, ...) and
// (-im, +im, ...): x*y.re + swap(x)*(-im, +im) gives, lane by lane,
// x.re*y.re + (-(x.im*y.im)) and x.im*y.re + x.re*y.im. Negating an operand
// negates the rounded product exactly, and a + (-b) is a - b by definition,
// so each lane carries exactly the scalar formula's four roundings.
#include <cpuid.h>
// GCC 12 warns inside its own AVX-512 headers, whose _mm512_undefined_ps()
// is deliberately uninitialised (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstddef>
#include <cstdint>

#include "kernels.hpp"

namespace vastrel::sim::kernels {
namespace {

constexpr unsigned kLog2Width = 3;  // amplitudes per register: 8
constexpr std::size_t kWidth = std::size_t{1} << kLog2Width;

// Local scalar arithmetic for the pairs at the ends of a range. Everything
// here has internal linkage: an inline function shared with the scalar
// translation unit could be merged by the linker with this AVX-512-compiled
// copy and then run on a CPU without AVX-512.
Complex32 mul(Complex32 x, Complex32 y) {
    return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
}

Complex32 add(Complex32 x, Complex32 y) { return {x.re + y.re, x.im + y.im}; }

std::size_t lower_index(std::size_t p, unsigned t) {
    const std::size_t low = (std::size_t{1} << t) - 1;
    return ((p >> t) << (t + 1)) | (p & low);
}

void mat2_pair(Complex32* data, unsigned t, const Matrix2& m, std::size_t p) {
    const std::size_t i = lower_index(p, t);
    const std::size_t j = i + (std::size_t{1} << t);
    const Complex32 a = data[i];
    const Complex32 b = data[j];
    data[i] = add(mul(m.m00, a), mul(m.m01, b));
    data[j] = add(mul(m.m10, a), mul(m.m11, b));
}

void cnot_pair(Complex32* data, unsigned c, unsigned t, std::size_t p) {
    const std::size_t i = lower_index(p, t);
    if ((i >> c) & 1) {
        const std::size_t j = i + (std::size_t{1} << t);
        const Complex32 a = data[i];
        data[i] = data[j];
        data[j] = a;
    }
}

void crz_pair(Complex32* data, unsigned c, unsigned t, Complex32 phase, std::size_t p) {
    const std::size_t j = lower_index(p, t) + (std::size_t{1} << t);
    if ((j >> c) & 1) {
        data[j] = mul(data[j], phase);
    }
}

// Lines this far ahead (2 KiB) are requested in software: on one stream the
// hardware prefetchers alone leave much of the bandwidth unused (measured on
// 2^24 amplitudes: about a third faster). Only lines the kernel will touch
// are requested, so a skipped part of the vector is never read.
constexpr std::size_t kAhead = 256;  // amplitudes

// A hint, so an address past the vector is harmless; it is formed as an
// integer rather than as a pointer beyond the array.
void prefetch_ahead(const float* p) {
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p) + kAhead * sizeof(Complex32);
    _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
}

// A complex constant per lane, split as described at the top.
struct Factor {
    __m512 re;
    __m512 im;
};

// Lane k takes lo when bit t of k is clear and hi when it is set; with
// t >= kLog2Width every lane takes lo.
Factor by_bit(Complex32 lo, Complex32 hi, unsigned t) {
    alignas(64) float re[16];
    alignas(64) float im[16];
    for (unsigned f = 0; f < 16; ++f) {
        const Complex32 y = t < kLog2Width && (((f >> 1) >> t) & 1) ? hi : lo;
        re[f] = y.re;
        im[f] = (f & 1) ? y.im : -y.im;
    }
    return {_mm512_load_ps(re), _mm512_load_ps(im)};
}

Factor splat(Complex32 y) { return by_bit(y, y, kLog2Width); }

__m512 swap_parts(__m512 x) { return _mm512_permute_ps(x, _MM_SHUFFLE(2, 3, 0, 1)); }

// x*y, given x and swap_parts(x).
__m512 mul(__m512 x, __m512 x_swapped, const Factor& y) {
    return _mm512_add_ps(_mm512_mul_ps(x, y.re), _mm512_mul_ps(x_swapped, y.im));
}

// Float lanes of the amplitudes k (0..7) whose bit q is set; only meaningful
// for q < kLog2Width.
__mmask16 lanes_with_bit(unsigned q) {
    unsigned bits = 0;
    for (unsigned f = 0; f < 16; ++f) {
        if (((f >> 1) >> q) & 1) {
            bits |= 1u << f;
        }
    }
    return static_cast<__mmask16>(bits);
}

// Float-lane indices for _mm512_permutexvar_ps: lane k reads amplitude
// k with bit t cleared (or set), parts in order or swapped.
__m512i partner_index(unsigned t, bool upper, bool swapped) {
    alignas(64) std::int32_t idx[16];
    for (unsigned f = 0; f < 16; ++f) {
        unsigned k = f >> 1;
        k = upper ? (k | (1u << t)) : (k & ~(1u << t));
        idx[f] = static_cast<std::int32_t>(2 * k + ((f & 1) ^ (swapped ? 1u : 0u)));
    }
    return _mm512_load_si512(idx);
}

// Lane k reads amplitude k with bit t flipped.
__m512i flip_index(unsigned t) {
    alignas(64) std::int32_t idx[16];
    for (unsigned f = 0; f < 16; ++f) {
        idx[f] = static_cast<std::int32_t>(f ^ (2u << t));
    }
    return _mm512_load_si512(idx);
}

// Runs scalar(p) over the pairs before the first multiple of step and after
// the last whole step, and vector(p) over each whole step in between.
template <class Scalar, class Vector>
void split_range(std::size_t begin, std::size_t end, std::size_t step, Scalar scalar, Vector vector) {
    std::size_t p = begin;
    std::size_t head = (begin + step - 1) & ~(step - 1);
    if (head > end) {
        head = end;
    }
    for (; p < head; ++p) {
        scalar(p);
    }
    for (; p + step <= end; p += step) {
        vector(p);
    }
    for (; p < end; ++p) {
        scalar(p);
    }
}

// For t >= kLog2Width: calls run(i, n) for each stretch of n whole registers
// of consecutive lower amplitudes starting at index i (their partners start
// at i + 2^t), scalar(p) for the rest.
template <class Scalar, class Run>
void split_runs(unsigned t, std::size_t begin, std::size_t end, Scalar scalar, Run run) {
    const std::size_t h = std::size_t{1} << t;
    std::size_t p = begin;
    std::size_t head = (begin + kWidth - 1) & ~(kWidth - 1);
    if (head > end) {
        head = end;
    }
    for (; p < head; ++p) {
        scalar(p);
    }
    while (p + kWidth <= end) {
        std::size_t stop = (p | (h - 1)) + 1;  // end of this run of 2^t pairs
        if (stop > end) {
            stop = end;
        }
        const std::size_t n = (stop - p) / kWidth;
        run(lower_index(p, t), n);
        p += n * kWidth;
    }
    for (; p < end; ++p) {
        scalar(p);
    }
}

void mat2(Complex32* data, unsigned t, const Matrix2& m, std::size_t begin, std::size_t end) {
    auto scalar = [&](std::size_t p) { mat2_pair(data, t, m, p); };
    float* base = reinterpret_cast<float*>(data);
    if (t >= kLog2Width) {
        const Factor m00 = splat(m.m00), m01 = splat(m.m01), m10 = splat(m.m10), m11 = splat(m.m11);
        const std::size_t h = std::size_t{1} << t;
        split_runs(t, begin, end, scalar, [&](std::size_t i, std::size_t n) {
            float* pa = base + 2 * i;
            float* pb = base + 2 * (i + h);
            for (std::size_t r = 0; r < n; ++r, pa += 2 * kWidth, pb += 2 * kWidth) {
                prefetch_ahead(pa);
                prefetch_ahead(pb);
                const __m512 a = _mm512_loadu_ps(pa);
                const __m512 b = _mm512_loadu_ps(pb);
                const __m512 as = swap_parts(a);
                const __m512 bs = swap_parts(b);
                _mm512_storeu_ps(pa, _mm512_add_ps(mul(a, as, m00), mul(b, bs, m01)));
                _mm512_storeu_ps(pb, _mm512_add_ps(mul(a, as, m10), mul(b, bs, m11)));
            }
        });
        return;
    }
    // Both members of each pair lie in one register: lane k computes
    // left[k]*a + right[k]*b from its pair's a and b spread across lanes.
    const Factor left = by_bit(m.m00, m.m10, t);
    const Factor right = by_bit(m.m01, m.m11, t);
    const __m512i ia = partner_index(t, false, false), ias = partner_index(t, false, true);
    const __m512i ib = partner_index(t, true, false), ibs = partner_index(t, true, true);
    split_range(begin, end, kWidth / 2, scalar, [&](std::size_t p) {
        float* q = base + 4 * p;  // amplitude 2p: p is a multiple of 2^t here
        prefetch_ahead(q);
        const __m512 v = _mm512_loadu_ps(q);
        const __m512 a = _mm512_permutexvar_ps(ia, v);
        const __m512 as = _mm512_permutexvar_ps(ias, v);
        const __m512 b = _mm512_permutexvar_ps(ib, v);
        const __m512 bs = _mm512_permutexvar_ps(ibs, v);
        _mm512_storeu_ps(q, _mm512_add_ps(mul(a, as, left), mul(b, bs, right)));
    });
}

void cnot(Complex32* data, unsigned c, unsigned t, std::size_t begin, std::size_t end) {
    auto scalar = [&](std::size_t p) { cnot_pair(data, c, t, p); };
    float* base = reinterpret_cast<float*>(data);
    const bool lane_control = c < kLog2Width;  // else bit c is the same for a whole register
    // Whether the register at amplitude g has a pair to exchange.
    auto touched = [&](std::size_t g) { return lane_control || ((g >> c) & 1); };
    const __mmask16 control = lanes_with_bit(lane_control ? c : 0);
    if (t >= kLog2Width) {
        const std::size_t h = std::size_t{1} << t;
        split_runs(t, begin, end, scalar, [&](std::size_t i, std::size_t n) {
            float* pa = base + 2 * i;
            float* pb = base + 2 * (i + h);
            for (std::size_t r = 0; r < n; ++r, pa += 2 * kWidth, pb += 2 * kWidth, i += kWidth) {
                if (touched(i + kAhead)) {
                    prefetch_ahead(pa);
                }
                if (touched(i + h + kAhead)) {
                    prefetch_ahead(pb);
                }
                if (lane_control) {
                    const __m512 a = _mm512_loadu_ps(pa);
                    const __m512 b = _mm512_loadu_ps(pb);
                    _mm512_mask_storeu_ps(pa, control, b);
                    _mm512_mask_storeu_ps(pb, control, a);
                } else if ((i >> c) & 1) {
                    const __m512 a = _mm512_loadu_ps(pa);
                    const __m512 b = _mm512_loadu_ps(pb);
                    _mm512_storeu_ps(pa, b);
                    _mm512_storeu_ps(pb, a);
                }
            }
        });
        return;
    }
    const __m512i partner = flip_index(t);
    split_range(begin, end, kWidth / 2, scalar, [&](std::size_t p) {
        const std::size_t g = 2 * p;
        float* q = base + 2 * g;
        if (touched(g + kAhead)) {
            prefetch_ahead(q);
        }
        if (lane_control) {
            const __m512 v = _mm512_loadu_ps(q);
            _mm512_mask_storeu_ps(q, control, _mm512_permutexvar_ps(partner, v));
        } else if ((g >> c) & 1) {
            _mm512_storeu_ps(q, _mm512_permutexvar_ps(partner, _mm512_loadu_ps(q)));
        }
    });
}

void crz(Complex32* data, unsigned c, unsigned t, Complex32 phase, std::size_t begin, std::size_t end) {
    auto scalar = [&](std::size_t p) { crz_pair(data, c, t, phase, p); };
    float* base = reinterpret_cast<float*>(data);
    const Factor y = splat(phase);
    const bool lane_control = c < kLog2Width;
    if (t >= kLog2Width) {
        // Whether the register at amplitude g holds amplitudes to multiply.
        auto touched = [&](std::size_t g) { return ((g >> t) & 1) && (lane_control || ((g >> c) & 1)); };
        const std::size_t h = std::size_t{1} << t;
        const __mmask16 control = lanes_with_bit(lane_control ? c : 0);
        split_runs(t, begin, end, scalar, [&](std::size_t i, std::size_t n) {
            std::size_t j = i + h;
            float* pb = base + 2 * j;
            for (std::size_t r = 0; r < n; ++r, pb += 2 * kWidth, j += kWidth) {
                if (touched(j + kAhead)) {
                    prefetch_ahead(pb);
                }
                if (lane_control) {
                    const __m512 b = _mm512_loadu_ps(pb);
                    _mm512_mask_storeu_ps(pb, control, mul(b, swap_parts(b), y));
                } else if ((j >> c) & 1) {
                    const __m512 b = _mm512_loadu_ps(pb);
                    _mm512_storeu_ps(pb, mul(b, swap_parts(b), y));
                }
            }
        });
        return;
    }
    // Lanes with bit t set, and also bit c when c is below the register width.
    const __mmask16 upper = lanes_with_bit(t);
    const __mmask16 chosen = lane_control ? static_cast<__mmask16>(upper & lanes_with_bit(c)) : upper;
    split_range(begin, end, kWidth / 2, scalar, [&](std::size_t p) {
        const std::size_t g = 2 * p;
        float* q = base + 2 * g;
        if (lane_control || (((g + kAhead) >> c) & 1)) {
            prefetch_ahead(q);
        }
        if (lane_control || ((g >> c) & 1)) {
            const __m512 v = _mm512_loadu_ps(q);
            _mm512_mask_storeu_ps(q, chosen, mul(v, swap_parts(v), y));
        }
    });
}

constexpr KernelSet kAvx512{"avx512", mat2, cnot, crz};

// Built for the baseline ISA so that the check itself runs on any CPU.
#pragma GCC push_options
#pragma GCC target("no-avx")
// The OS must save the AVX state and the opmask and upper-ZMM registers
// (XCR0 bits 1, 2, 5, 6, 7), or the first zmm instruction faults.
bool os_saves_zmm() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(1, eax, ebx, ecx, edx);
    if (!(ecx & bit_OSXSAVE)) {
        return false;
    }
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    const std::uint64_t xcr0 = (std::uint64_t{hi} << 32) | lo;
    const std::uint64_t zmm_state = 0xE6;
    return (xcr0 & zmm_state) == zmm_state;
}
#pragma GCC pop_options

}  // namespace

#pragma GCC push_options
#pragma GCC target("no-avx")
const KernelSet* avx512_kernels() {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512dq") ||
        !__builtin_cpu_supports("avx512vl") || !__builtin_cpu_supports("avx512bw") || !os_saves_zmm()) {
        return nullptr;
    }
    return &kAvx512;
}
#pragma GCC pop_options

}  // namespace vastrel::sim::kernels
