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
#include "kernels_tail.hpp"

namespace vastrel::sim::kernels {
namespace {

constexpr unsigned kLog2Width = 3;  // amplitudes per register: 8
constexpr std::size_t kWidth = std::size_t{1} << kLog2Width;

// A complex constant per lane, split as described at the top.
struct Factor {
    __m512 re;
    __m512 im;
};

Factor splat(Complex32 y) {
    alignas(64) float im[16];
    for (unsigned f = 0; f < 16; ++f) {
        im[f] = (f & 1) ? y.im : -y.im;
    }
    return {_mm512_set1_ps(y.re), _mm512_load_ps(im)};
}

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

// For t below kLog2Width, two registers (v0, v1) hold 2 * kWidth amplitudes
// in whole blocks of 2^(t+1). These are float-lane indices for
// _mm512_permutex2var_ps: gather_index collects from (v0, v1) the lower
// members of the pairs, in order (or the upper members); scatter_index
// rebuilds v0 (half 0) or v1 (half 1) from (lower, upper).
__m512i gather_index(unsigned t, bool upper) {
    alignas(64) std::int32_t idx[16];
    const unsigned low = (1u << t) - 1;
    for (unsigned f = 0; f < 16; ++f) {
        const unsigned k = f >> 1;
        const unsigned g = ((k & ~low) << 1) | (k & low) | (upper ? 1u << t : 0u);
        idx[f] = static_cast<std::int32_t>(2 * g + (f & 1));
    }
    return _mm512_load_si512(idx);
}

__m512i scatter_index(unsigned t, unsigned half) {
    alignas(64) std::int32_t idx[16];
    const unsigned low = (1u << t) - 1;
    for (unsigned f = 0; f < 16; ++f) {
        const unsigned g = half * kWidth + (f >> 1);
        const unsigned k = ((g >> 1) & ~low) | (g & low);  // g without bit t
        const unsigned from_upper = (g >> t) & 1;
        idx[f] = static_cast<std::int32_t>(16 * from_upper + 2 * k + (f & 1));
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

// With t >= kLog2Width a step is kWidth pairs whose lower amplitudes are one
// register at lower_index(p, t) and whose partners are the register 2^t
// further on. Below that a step is kWidth / 2 pairs, both members of each in
// the one register at amplitude 2p (p is then a multiple of 2^t).
std::size_t step_of(unsigned t) { return t >= kLog2Width ? kWidth : kWidth / 2; }

// Writes the register of partner results at from (a far target's burst
// buffer, aligned) to amplitude j.
auto copy_register(Complex32* data) {
    return [data](std::size_t j, const Complex32* from) {
        _mm512_storeu_ps(reinterpret_cast<float*>(data + j), _mm512_load_ps(reinterpret_cast<const float*>(from)));
    };
}

void mat2(Complex32* data, unsigned t, const Matrix2& m, std::size_t begin, std::size_t end) {
    auto scalar = [&](std::size_t p) { mat2_pair(data, t, m, p); };
    float* base = reinterpret_cast<float*>(data);
    const Factor m00 = splat(m.m00), m01 = splat(m.m01), m10 = splat(m.m10), m11 = splat(m.m11);
    // (a, b) becomes (m00*a + m01*b, m10*a + m11*b), lane by lane.
    auto apply = [&](__m512& a, __m512& b) {
        const __m512 as = swap_parts(a);
        const __m512 bs = swap_parts(b);
        const __m512 na = _mm512_add_ps(mul(a, as, m00), mul(b, bs, m01));
        b = _mm512_add_ps(mul(a, as, m10), mul(b, bs, m11));
        a = na;
    };
    // From kLog2Width on, a step is kWidth pairs: the lower members one
    // register at i, their partners the register 2^t further on.
    // The software prefetch serves only a range that streams from memory;
    // in a cache block it would cost a load slot per register for nothing.
    // The partners' results go to out: the partners themselves, or the
    // buffer of a far target's burst.
    auto pair_step = [&](float* pa, float* pb, float* out, std::size_t ahead) {
        if (ahead != 0) {
            prefetch_ahead(pa, ahead);
            prefetch_ahead(pb, ahead);
        }
        __m512 a = _mm512_loadu_ps(pa);
        __m512 b = _mm512_loadu_ps(pb);
        apply(a, b);
        _mm512_storeu_ps(pa, a);
        _mm512_storeu_ps(out, b);
    };
    if (t >= kLog2Width) {
        walk_pairs(
            data, t, begin, end, kWidth, kLog2Width, scalar,
            [&](std::size_t i, std::size_t j) { mat2_at(data, i, j, m); },
            [&](std::size_t i, std::size_t j, Complex32* out, std::size_t ahead) {
                pair_step(base + 2 * i, base + 2 * j, reinterpret_cast<float*>(out), ahead);
            },
            copy_register(data));
        return;
    }
    // Below the register width the kWidth pairs of a step fill two registers
    // at amplitude 2p; they are regrouped into lower and upper members, go
    // through the same arithmetic, and are put back.
    const __m512i lower = gather_index(t, false), upper = gather_index(t, true);
    const __m512i first = scatter_index(t, 0), second = scatter_index(t, 1);
    sweep(begin, end, kWidth, scalar, [&](std::size_t p) {
        float* q = base + 4 * p;
        prefetch_ahead(q);
        prefetch_ahead(q + 2 * kWidth);
        const __m512 v0 = _mm512_loadu_ps(q);
        const __m512 v1 = _mm512_loadu_ps(q + 2 * kWidth);
        __m512 a = _mm512_permutex2var_ps(v0, lower, v1);
        __m512 b = _mm512_permutex2var_ps(v0, upper, v1);
        apply(a, b);
        _mm512_storeu_ps(q, _mm512_permutex2var_ps(a, first, b));
        _mm512_storeu_ps(q + 2 * kWidth, _mm512_permutex2var_ps(a, second, b));
    });
}

// Exchanges the chosen lanes of the registers at pa and pb; pb's new value
// goes to out (pb itself, or a far target's burst buffer).
[[gnu::always_inline]] inline void exchange_lanes(float* pa, const float* pb, float* out, __mmask16 lanes) {
    const __m512 a = _mm512_loadu_ps(pa);
    const __m512 b = _mm512_loadu_ps(pb);
    _mm512_mask_storeu_ps(pa, lanes, b);
    _mm512_storeu_ps(out, _mm512_mask_blend_ps(lanes, b, a));
}

// cnot with a far target, per case (walk_far_cnot).
template <bool Blended>
[[gnu::noinline]] bool cnot_far(Complex32* data, unsigned c, unsigned t, std::size_t begin, std::size_t end) {
    const __mmask16 lanes = Blended ? lanes_with_bit(c) : __mmask16{0xFFFF};
    return walk_far_cnot<Blended>(
        data, c, t, begin, end, kWidth,
        [lanes](float* pa, const float* pb, float* out) { exchange_lanes(pa, pb, out, lanes); },
        [](const float* pb, float* out) { _mm512_storeu_ps(out, _mm512_loadu_ps(pb)); }, copy_register(data));
}

void cnot(Complex32* data, unsigned c, unsigned t, std::size_t begin, std::size_t end) {
    auto scalar = [&](std::size_t p) { cnot_pair(data, c, t, p); };
    float* base = reinterpret_cast<float*>(data);
    // From kLog2Width on, bit c is the same for a whole register, which is
    // then exchanged whole or skipped (and never read).
    const bool lane_control = c < kLog2Width;
    const __mmask16 control = lanes_with_bit(lane_control ? c : 0);
    auto touched = [&](std::size_t g) { return lane_control || ((g >> c) & 1); };
    if (t >= kLog2Width) {
        const std::size_t h = std::size_t{1} << t;
        const __mmask16 lanes = lane_control ? control : __mmask16{0xFFFF};
        auto exchange = [&](float* pa, const float* pb, float* out) { exchange_lanes(pa, pb, out, lanes); };
        // A far target in bursts.
        if (lane_control ? cnot_far<true>(data, c, t, begin, end) : cnot_far<false>(data, c, t, begin, end)) {
            return;
        }
        // Run by run: with the control bit above the lanes only the runs
        // where it is set, exchanged whole; with it in the lanes every
        // run, the lanes chosen by a store mask.
        if (walk_controlled(
                c, t, false, begin, end, kWidth, kLog2Width, [&](std::size_t g) { cnot_at(data, c, g, g + h); },
                [&](std::size_t g) {
                    float* pb = base + 2 * (g + h);
                    exchange(base + 2 * g, pb, pb);
                })) {
            return;
        }
        sweep(begin, end, kWidth, scalar, [&](std::size_t p) {
            const std::size_t i = lower_index(p, t);
            float* pa = base + 2 * i;
            float* pb = base + 2 * (i + h);
            if (touched(i + kAhead)) {
                prefetch_ahead(pa);
            }
            if (touched(i + h + kAhead)) {
                prefetch_ahead(pb);
            }
            if (touched(i)) {
                exchange(pa, pb, pb);
            }
        });
        return;
    }
    const __m512i partner = flip_index(t);
    sweep(begin, end, step_of(t), scalar, [&](std::size_t p) {
        const std::size_t g = 2 * p;
        float* q = base + 2 * g;
        if (touched(g + kAhead)) {
            prefetch_ahead(q);
        }
        if (!touched(g)) {
            return;
        }
        const __m512 v = _mm512_loadu_ps(q);
        _mm512_mask_storeu_ps(q, lane_control ? control : __mmask16{0xFFFF}, _mm512_permutexvar_ps(partner, v));
    });
}

void crz(Complex32* data, unsigned c, unsigned t, Complex32 phase, std::size_t begin, std::size_t end) {
    auto scalar = [&](std::size_t p) { crz_pair(data, c, t, phase, p); };
    float* base = reinterpret_cast<float*>(data);
    const Factor y = splat(phase);
    // The lanes to multiply in a register: bit t set (when t is below the
    // register width) and bit c set (likewise); a bit from kLog2Width on is
    // the same for the whole register, which is then multiplied or skipped.
    const bool lane_control = c < kLog2Width;
    const bool lane_target = t < kLog2Width;
    __mmask16 chosen = 0xFFFF;
    if (lane_control) {
        chosen &= lanes_with_bit(c);
    }
    if (lane_target) {
        chosen &= lanes_with_bit(t);
    }
    // Run by run over the partners: with the control bit above the lanes
    // only the runs where it is set, every lane multiplied; with it in the
    // lanes every run, the lanes chosen by a store mask. (A target in the
    // lanes never walks runs.)
    if (walk_controlled(
            c, t, true, begin, end, kWidth, kLog2Width, [&](std::size_t g) { crz_at(data, c, g, phase); },
            [&](std::size_t g) {
                float* q = base + 2 * g;
                const __m512 v = _mm512_loadu_ps(q);
                _mm512_mask_storeu_ps(q, chosen, mul(v, swap_parts(v), y));
            })) {
        return;
    }
    auto touched = [&](std::size_t g) {
        return (lane_control || ((g >> c) & 1)) && (lane_target || ((g >> t) & 1));
    };
    auto scale = [&](float* q, std::size_t g) {
        if (touched(g + kAhead)) {
            prefetch_ahead(q);
        }
        if (!touched(g)) {
            return;
        }
        const __m512 v = _mm512_loadu_ps(q);
        _mm512_mask_storeu_ps(q, chosen, mul(v, swap_parts(v), y));
    };
    if (t >= kLog2Width) {
        // Only the partners change: the register 2^t above the lower ones.
        const std::size_t h = std::size_t{1} << t;
        sweep(begin, end, kWidth, scalar, [&](std::size_t p) {
            const std::size_t j = lower_index(p, t) + h;
            scale(base + 2 * j, j);
        });
        return;
    }
    sweep(begin, end, step_of(t), scalar, [&](std::size_t p) { scale(base + 4 * p, 2 * p); });
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
