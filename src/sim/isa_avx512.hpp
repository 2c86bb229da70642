// The AVX-512 register traits for the SIMD bodies (simd_kernels.hpp,
// simd_tiles.hpp): eight amplitudes a 512-bit register. Included only by
// units compiled with -mavx512f -mavx512dq -mavx512vl -mavx512bw.
#pragma once

// GCC 12 warns inside its own AVX-512 headers, whose _mm512_undefined_ps()
// is deliberately uninitialised (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstddef>
#include <cstdint>

#include "simd_kernels.hpp"

namespace vastrel::sim::kernels {
namespace {

struct Avx512 {
    using V = __m512;
    using Mask = __mmask16;  // one bit per float lane
    static constexpr unsigned kLog2Width = 3;
    static constexpr bool kClassTest = true;

    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static V load_aligned(const float* p) { return _mm512_load_ps(p); }
    static void store(float* p, V v) { _mm512_storeu_ps(p, v); }
    static V splat(float x) { return _mm512_set1_ps(x); }
    static V imag_factor(float neg, float im) {
        alignas(64) float lanes[16];
        for (unsigned f = 0; f < 16; ++f) {
            lanes[f] = (f & 1) ? im : neg;
        }
        return _mm512_load_ps(lanes);
    }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V swap_parts(V x) { return _mm512_permute_ps(x, _MM_SHUFFLE(2, 3, 0, 1)); }

    static Mask lanes_with_bit(unsigned q) {
        unsigned bits = 0;
        for (unsigned f = 0; f < 16; ++f) {
            bits |= lane_has_bit(f, q) ? 1u << f : 0u;
        }
        return static_cast<Mask>(bits);
    }
    static Mask all_lanes() { return static_cast<Mask>(0xFFFF); }
    static Mask both(Mask a, Mask b) { return static_cast<Mask>(a & b); }
    static V blend(V a, V b, Mask m) { return _mm512_mask_blend_ps(m, a, b); }

    // Two-source permutes: gather the lower (upper) members of the pairs
    // from (x, y), and scatter them back into x (half 0) and y (half 1).
    struct Pairs {
        __m512i lower, upper, first, second;
    };
    // The lane indices f -> lane(f), as a register.
    template <class Lane>
    static __m512i indices(Lane lane) {
        alignas(64) std::int32_t idx[16];
        for (unsigned f = 0; f < 16; ++f) {
            idx[f] = static_cast<std::int32_t>(lane(f));
        }
        return _mm512_load_si512(idx);
    }
    static Pairs pairs(unsigned t) {
        return {indices([t](unsigned f) { return gather_lane(f, t, false); }),
                indices([t](unsigned f) { return gather_lane(f, t, true); }),
                indices([t](unsigned f) { return scatter_lane(f, t, 0, 8); }),
                indices([t](unsigned f) { return scatter_lane(f, t, 1, 8); })};
    }
    static void to_pairs(const Pairs& p, V& x, V& y) {
        const V lo = _mm512_permutex2var_ps(x, p.lower, y);
        y = _mm512_permutex2var_ps(x, p.upper, y);
        x = lo;
    }
    static void from_pairs(const Pairs& p, V& lo, V& hi) {
        const V x = _mm512_permutex2var_ps(lo, p.first, hi);
        hi = _mm512_permutex2var_ps(lo, p.second, hi);
        lo = x;
    }

    using Flip = __m512i;
    static Flip flip(unsigned t) {
        return indices([t](unsigned f) { return flip_lane(f, t); });
    }
    static V flipped(const Flip& f, V v) { return _mm512_permutexvar_ps(f, v); }

    // Classes: QNaN 0x01, +0 0x02, -0 0x04, +inf 0x08, -inf 0x10, SNaN 0x80.
    static bool finite_nonzero(V x, V y) {
        return (_mm512_fpclass_ps_mask(x, 0x9F) | _mm512_fpclass_ps_mask(y, 0x9F)) == 0;
    }
    static bool nonzero_numbers(V x) { return _mm512_fpclass_ps_mask(x, 0x87) == 0; }
    static bool finite_no_minus_zero(V x, V y) {
        return (_mm512_fpclass_ps_mask(x, 0x9D) | _mm512_fpclass_ps_mask(y, 0x9D)) == 0;
    }
    static V either_bits(V x, V y) {
        return _mm512_castsi512_ps(_mm512_or_si512(_mm512_castps_si512(x), _mm512_castps_si512(y)));
    }
    static bool zero_bits(V x) {
        const __m512i i = _mm512_castps_si512(x);
        return _mm512_test_epi32_mask(i, i) == 0;
    }
};

}  // namespace
}  // namespace vastrel::sim::kernels
