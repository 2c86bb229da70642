// The AVX2 register traits for the SIMD bodies (simd_kernels.hpp,
// simd_tiles.hpp): four amplitudes a 256-bit register. Included only by
// units compiled with -mavx2.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "simd_kernels.hpp"

namespace vastrel::sim::kernels {
namespace {

struct Avx2 {
    using V = __m256;
    using Mask = __m256;  // all ones in the chosen float lanes
    static constexpr unsigned kLog2Width = 2;
    static constexpr bool kClassTest = false;

    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static V load_aligned(const float* p) { return _mm256_load_ps(p); }
    static void store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static V splat(float x) { return _mm256_set1_ps(x); }
    static V imag_factor(float neg, float im) { return _mm256_setr_ps(neg, im, neg, im, neg, im, neg, im); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V swap_parts(V x) { return _mm256_permute_ps(x, _MM_SHUFFLE(2, 3, 0, 1)); }

    static Mask lanes_with_bit(unsigned q) {
        alignas(32) std::int32_t bits[8];
        for (unsigned f = 0; f < 8; ++f) {
            bits[f] = lane_has_bit(f, q) ? -1 : 0;
        }
        return _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(bits)));
    }
    static Mask all_lanes() { return _mm256_castsi256_ps(_mm256_set1_epi32(-1)); }
    static Mask both(Mask a, Mask b) { return _mm256_and_ps(a, b); }
    static V blend(V a, V b, Mask m) { return _mm256_blendv_ps(a, b, m); }

    // Targets 0 and 1 regroup by 64-bit unpacks or 128-bit halves; the
    // exchange is its own inverse.
    using Pairs = unsigned;
    static Pairs pairs(unsigned t) { return t; }
    static void to_pairs(Pairs t, V& x, V& y) {
        V lo, hi;
        if (t == 0) {
            lo = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(x), _mm256_castps_pd(y)));
            hi = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(x), _mm256_castps_pd(y)));
        } else {
            lo = _mm256_permute2f128_ps(x, y, 0x20);
            hi = _mm256_permute2f128_ps(x, y, 0x31);
        }
        x = lo;
        y = hi;
    }
    static void from_pairs(Pairs t, V& x, V& y) { to_pairs(t, x, y); }

    using Flip = __m256i;
    static Flip flip(unsigned t) {
        return t == 0 ? _mm256_setr_epi32(2, 3, 0, 1, 6, 7, 4, 5) : _mm256_setr_epi32(4, 5, 6, 7, 0, 1, 2, 3);
    }
    static V flipped(Flip f, V v) { return _mm256_permutevar8x32_ps(v, f); }

    // Without a class test: shifted left, the bits of a finite nonzero float
    // lie in [2, 0xFEFFFFFE], which an offset maps to the signed integers
    // up to 0x7EFFFFFC; zeros, infinities and NaN land above.
    static __m256i outside(V x) {
        const __m256i u = _mm256_slli_epi32(_mm256_castps_si256(x), 1);
        return _mm256_cmpgt_epi32(_mm256_add_epi32(u, _mm256_set1_epi32(0x7FFFFFFE)), _mm256_set1_epi32(0x7EFFFFFC));
    }
    static bool finite_nonzero(V x, V y) {
        const __m256i out = _mm256_or_si256(outside(x), outside(y));
        return _mm256_testz_si256(out, out) != 0;
    }
    // An unordered-or-equal compare with zero picks the zeros and the NaN.
    static bool nonzero_numbers(V x) {
        const V hit = _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_EQ_UQ);
        return _mm256_testz_ps(hit, hit) != 0;
    }
    static V either_bits(V x, V y) { return _mm256_or_ps(x, y); }
    static bool zero_bits(V x) {
        const __m256i i = _mm256_castps_si256(x);
        return _mm256_testz_si256(i, i) != 0;
    }
};

}  // namespace
}  // namespace vastrel::sim::kernels
