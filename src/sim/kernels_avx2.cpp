// The AVX2 kernel set: four amplitudes per 256-bit register. This file is
// compiled with -mavx2 (never -mfma); only avx2_kernels() is built for the
// baseline ISA, so it can run on any x86-64 CPU to find out whether the rest
// may run.
//
// A complex product by a constant y uses y split into (re, re, ...) and
// (-im, +im, ...): x*y.re + swap(x)*(-im, +im) gives, lane by lane,
// x.re*y.re + (-(x.im*y.im)) and x.im*y.re + x.re*y.im. Negating an operand
// negates the rounded product exactly, and a + (-b) is a - b by definition,
// so each lane carries exactly the scalar formula's four roundings.
#include <cpuid.h>
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels.hpp"
#include "kernels_tail.hpp"

namespace vastrel::sim::kernels {
namespace {

constexpr unsigned kLog2Width = 2;  // amplitudes per register: 4
constexpr std::size_t kWidth = std::size_t{1} << kLog2Width;

// A complex constant per lane, split as described at the top.
struct Factor {
    __m256 re;
    __m256 im;
};

Factor splat(Complex32 y) {
    return {_mm256_set1_ps(y.re), _mm256_setr_ps(-y.im, y.im, -y.im, y.im, -y.im, y.im, -y.im, y.im)};
}

__m256 swap_parts(__m256 x) { return _mm256_permute_ps(x, _MM_SHUFFLE(2, 3, 0, 1)); }

// x*y, given x and swap_parts(x).
__m256 mul(__m256 x, __m256 x_swapped, const Factor& y) {
    return _mm256_add_ps(_mm256_mul_ps(x, y.re), _mm256_mul_ps(x_swapped, y.im));
}

// Float lanes of the amplitudes k (0..3) whose bit q is set, as a blend mask;
// only meaningful for q < kLog2Width.
__m256 lanes_with_bit(unsigned q) {
    alignas(32) std::int32_t bits[8];
    for (unsigned f = 0; f < 8; ++f) {
        bits[f] = ((f >> 1) >> q) & 1 ? -1 : 0;
    }
    return _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(bits)));
}

__m256 all_lanes() { return _mm256_castsi256_ps(_mm256_set1_epi32(-1)); }

// For t below kLog2Width, two registers hold 2 * kWidth amplitudes in whole
// blocks of 2^(t+1). regroup() turns them into the lower members of their
// pairs and the upper members (in the same order); applied to those, it puts
// them back.
void regroup(unsigned t, __m256& x, __m256& y) {
    __m256 lo, hi;
    if (t == 0) {  // amplitudes as 64-bit units
        lo = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(x), _mm256_castps_pd(y)));
        hi = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(x), _mm256_castps_pd(y)));
    } else {  // t == 1: pairs of amplitudes as 128-bit halves
        lo = _mm256_permute2f128_ps(x, y, 0x20);
        hi = _mm256_permute2f128_ps(x, y, 0x31);
    }
    x = lo;
    y = hi;
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
        _mm256_storeu_ps(reinterpret_cast<float*>(data + j), _mm256_load_ps(reinterpret_cast<const float*>(from)));
    };
}

void mat2(Complex32* data, unsigned t, const Matrix2& m, std::size_t begin, std::size_t end) {
    auto scalar = [&](std::size_t p) { mat2_pair(data, t, m, p); };
    float* base = reinterpret_cast<float*>(data);
    const Factor m00 = splat(m.m00), m01 = splat(m.m01), m10 = splat(m.m10), m11 = splat(m.m11);
    // (a, b) becomes (m00*a + m01*b, m10*a + m11*b), lane by lane.
    auto apply = [&](__m256& a, __m256& b) {
        const __m256 as = swap_parts(a);
        const __m256 bs = swap_parts(b);
        const __m256 na = _mm256_add_ps(mul(a, as, m00), mul(b, bs, m01));
        b = _mm256_add_ps(mul(a, as, m10), mul(b, bs, m11));
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
        __m256 a = _mm256_loadu_ps(pa);
        __m256 b = _mm256_loadu_ps(pb);
        apply(a, b);
        _mm256_storeu_ps(pa, a);
        _mm256_storeu_ps(out, b);
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
    sweep(begin, end, kWidth, scalar, [&](std::size_t p) {
        float* q = base + 4 * p;
        prefetch_ahead(q);
        __m256 a = _mm256_loadu_ps(q);
        __m256 b = _mm256_loadu_ps(q + 2 * kWidth);
        regroup(t, a, b);
        apply(a, b);
        regroup(t, a, b);
        _mm256_storeu_ps(q, a);
        _mm256_storeu_ps(q + 2 * kWidth, b);
    });
}

// Exchanges the lanes of the registers at pa and pb chosen by control when
// blended, else the whole registers; pb's new value goes to out (pb itself,
// or a far target's burst buffer).
[[gnu::always_inline]] inline void exchange_lanes(float* pa, const float* pb, float* out, bool blended, __m256 control) {
    const __m256 a = _mm256_loadu_ps(pa);
    const __m256 b = _mm256_loadu_ps(pb);
    _mm256_storeu_ps(pa, blended ? _mm256_blendv_ps(a, b, control) : b);
    _mm256_storeu_ps(out, blended ? _mm256_blendv_ps(b, a, control) : a);
}

// cnot with target kLog2Width or above on a range in a cache block: only
// the registers whose pairs qualify, in order (the kWidth pairs of a
// register share bit c). Out of line: inlined into cnot, whose far-target
// bursts use most registers, it had GCC keep the blend mask on the stack and
// reload it for every register (control 0 or 1, target 2 or 3, on 2^14
// amplitudes: a tenth to a sixth slower).
[[gnu::noinline]] void cnot_in_cache(Complex32* data, unsigned c, unsigned t, std::size_t begin, std::size_t end) {
    auto scalar = [&](std::size_t p) { cnot_pair(data, c, t, p); };
    float* base = reinterpret_cast<float*>(data);
    const bool lane_control = c < kLog2Width;
    const __m256 control = lane_control ? lanes_with_bit(c) : all_lanes();
    const std::size_t h = std::size_t{1} << t;
    const std::size_t mask = control_mask(c, t, lane_control);
    auto walk = [&](auto blended, auto) {
        sweep_set(begin, end, kWidth, mask, scalar, [&](std::size_t p) {
            const std::size_t i = lower_index(p, t);
            float* pb = base + 2 * (i + h);
            exchange_lanes(base + 2 * i, pb, pb, blended, control);
        });
    };
    with_flags(lane_control, false, walk);
}

// cnot with a far target, per case (walk_far_cnot).
template <bool Blended>
[[gnu::noinline]] bool cnot_far(Complex32* data, unsigned c, unsigned t, std::size_t begin, std::size_t end) {
    const __m256 control = Blended ? lanes_with_bit(c) : all_lanes();
    return walk_far_cnot<Blended>(
        data, c, t, begin, end, kWidth,
        [control](float* pa, const float* pb, float* out) { exchange_lanes(pa, pb, out, Blended, control); },
        [](const float* pb, float* out) { _mm256_storeu_ps(out, _mm256_loadu_ps(pb)); }, copy_register(data));
}

void cnot(Complex32* data, unsigned c, unsigned t, std::size_t begin, std::size_t end) {
    auto scalar = [&](std::size_t p) { cnot_pair(data, c, t, p); };
    float* base = reinterpret_cast<float*>(data);
    // From kLog2Width on, bit c is the same for a whole register, which is
    // then exchanged whole or skipped (and never read).
    const bool lane_control = c < kLog2Width;
    const __m256 control = lane_control ? lanes_with_bit(c) : all_lanes();
    auto touched = [&](std::size_t g) { return lane_control || ((g >> c) & 1); };
    if (t >= kLog2Width) {
        const std::size_t h = std::size_t{1} << t;
        auto exchange = [&](float* pa, const float* pb, float* out) {
            exchange_lanes(pa, pb, out, lane_control, control);
        };
        // A far target in bursts.
        if (lane_control ? cnot_far<true>(data, c, t, begin, end) : cnot_far<false>(data, c, t, begin, end)) {
            return;
        }
        // Run by run: with the control bit above the lanes only the runs
        // where it is set, exchanged whole; with it in the lanes every
        // run, the lanes chosen by a blend.
        if (walk_controlled(
                c, t, false, begin, end, kWidth, kLog2Width, [&](std::size_t g) { cnot_at(data, c, g, g + h); },
                [&](std::size_t g) {
                    float* pb = base + 2 * (g + h);
                    exchange(base + 2 * g, pb, pb);
                })) {
            return;
        }
        // Targets 2 and 3 in a cache block.
        if (!streams(begin, end)) {
            cnot_in_cache(data, c, t, begin, end);
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
    const __m256i partner = t == 0 ? _mm256_setr_epi32(2, 3, 0, 1, 6, 7, 4, 5)
                                   : _mm256_setr_epi32(4, 5, 6, 7, 0, 1, 2, 3);
    // In a cache block: with bit c above the lanes only the registers
    // where it is set, exchanged whole by an in-lane permute; otherwise
    // every register, blended.
    if (!streams(begin, end)) {
        const std::size_t mask = control_mask(c, t, lane_control);
        // One loop per case, so that none tests the case per register.
        auto walk = [&](auto blended, auto halves) {
            sweep_set(begin, end, step_of(t), mask, scalar, [&](std::size_t p) {
                float* q = base + 4 * p;
                const __m256 v = _mm256_loadu_ps(q);
                const __m256 x = halves ? _mm256_permute2f128_ps(v, v, 0x01) : _mm256_permute_ps(v, _MM_SHUFFLE(1, 0, 3, 2));
                _mm256_storeu_ps(q, blended ? _mm256_blendv_ps(v, x, control) : x);
            });
        };
        with_flags(lane_control, t == 1, walk);
        return;
    }
    sweep(begin, end, step_of(t), scalar, [&](std::size_t p) {
        const std::size_t g = 2 * p;
        float* q = base + 2 * g;
        if (touched(g + kAhead)) {
            prefetch_ahead(q);
        }
        if (!touched(g)) {
            return;
        }
        const __m256 v = _mm256_loadu_ps(q);
        _mm256_storeu_ps(q, _mm256_blendv_ps(v, _mm256_permutevar8x32_ps(v, partner), control));
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
    __m256 chosen = all_lanes();
    if (lane_control) {
        chosen = _mm256_and_ps(chosen, lanes_with_bit(c));
    }
    if (lane_target) {
        chosen = _mm256_and_ps(chosen, lanes_with_bit(t));
    }
    // Run by run over the partners: with the control bit above the lanes
    // only the runs where it is set, every lane multiplied; with it in the
    // lanes every run, the lanes chosen by a blend. (A target in the
    // lanes never walks runs.)
    if (walk_controlled(
            c, t, true, begin, end, kWidth, kLog2Width, [&](std::size_t g) { crz_at(data, c, g, phase); },
            [&](std::size_t g) {
                float* q = base + 2 * g;
                const __m256 v = _mm256_loadu_ps(q);
                const __m256 r = mul(v, swap_parts(v), y);
                _mm256_storeu_ps(q, lane_control ? _mm256_blendv_ps(v, r, chosen) : r);
            })) {
        return;
    }
    // In a cache block otherwise: only the registers whose pairs qualify,
    // in order (the pairs of a register share bit c), those with bit c in
    // the lanes or the target in the lanes blended. With both in the lanes
    // every register qualifies, and the sweep below is faster (measured on
    // 2^14 amplitudes: by an eighth).
    if (!streams(begin, end) && !(lane_control && lane_target)) {
        const std::size_t mask = control_mask(c, t, lane_control);
        const bool blend = lane_control || lane_target;
        const std::size_t h = std::size_t{1} << t;
        sweep_set(begin, end, step_of(t), mask, scalar, [&](std::size_t p) {
            float* q = base + 2 * (lane_target ? 2 * p : lower_index(p, t) + h);
            const __m256 v = _mm256_loadu_ps(q);
            const __m256 r = mul(v, swap_parts(v), y);
            _mm256_storeu_ps(q, blend ? _mm256_blendv_ps(v, r, chosen) : r);
        });
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
        const __m256 v = _mm256_loadu_ps(q);
        _mm256_storeu_ps(q, _mm256_blendv_ps(v, mul(v, swap_parts(v), y), chosen));
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

constexpr KernelSet kAvx2{"avx2", mat2, cnot, crz};

// Built for the baseline ISA so that the check itself runs on any CPU.
#pragma GCC push_options
#pragma GCC target("no-avx")
bool os_saves_ymm() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid(1, eax, ebx, ecx, edx);
    if (!(ecx & bit_OSXSAVE)) {
        return false;
    }
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    const std::uint64_t xcr0 = (std::uint64_t{hi} << 32) | lo;
    const std::uint64_t sse_avx = 0x6;
    return (xcr0 & sse_avx) == sse_avx;
}
#pragma GCC pop_options

}  // namespace

#pragma GCC push_options
#pragma GCC target("no-avx")
const KernelSet* avx2_kernels() {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2") || !os_saves_ymm()) {
        return nullptr;
    }
    return &kAvx2;
}
#pragma GCC pop_options

}  // namespace vastrel::sim::kernels
