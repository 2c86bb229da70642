// The SIMD kernel body over portable vectors of eight amplitudes, the
// register shape of AVX-512, as a kernel set: the tests run it bit for bit
// against the scalar set wherever AVX-512 itself cannot run. Built once, in
// this file alone and at -Og (tests/cpp/CMakeLists.txt): GCC lowers these
// 64-byte vectors to SSE, and fully optimising the unrolled tiles took it
// minutes per build (half an hour under the sanitizers). The operations
// are always inlined, or each would pass its vectors through memory.

// Vectors of 64 bytes are passed in memory here (no AVX-512 in these units).
#pragma GCC diagnostic ignored "-Wpsabi"

#include <bit>
#include <cstdint>
#include <cstring>

#include "portable8.hpp"
#include "sim/kernels.hpp"
#include "sim/simd_kernels.hpp"
#include "sim/simd_tiles.hpp"

namespace vastrel::sim {
namespace {

using V16 = float __attribute__((vector_size(64)));
using I16 = std::int32_t __attribute__((vector_size(64)));

struct Portable8 {
    using V = V16;
    using Mask = I16;
    static constexpr unsigned kLog2Width = 3;
    static constexpr bool kClassTest = true;

    template <class Lane>
    [[gnu::always_inline]] static I16 indices(Lane lane) {
        I16 idx{};
        for (unsigned f = 0; f < 16; ++f) {
            idx[f] = static_cast<std::int32_t>(lane(f));
        }
        return idx;
    }
    [[gnu::always_inline]] static V load(const float* p) {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    [[gnu::always_inline]] static V load_aligned(const float* p) { return load(p); }
    [[gnu::always_inline]] static void store(float* p, V v) { std::memcpy(p, &v, sizeof v); }
    [[gnu::always_inline]] static V splat(float x) {
        V v;
        for (unsigned f = 0; f < 16; ++f) {
            v[f] = x;  // not V{} + x, which turns -0 into +0
        }
        return v;
    }
    [[gnu::always_inline]] static V imag_factor(float neg, float im) {
        V v{};
        for (unsigned f = 0; f < 16; ++f) {
            v[f] = (f & 1) ? im : neg;
        }
        return v;
    }
    [[gnu::always_inline]] static V mul(V a, V b) { return a * b; }
    [[gnu::always_inline]] static V add(V a, V b) { return a + b; }
    [[gnu::always_inline]] static V sub(V a, V b) { return a - b; }
    [[gnu::always_inline]] static V swap_parts(V x) {
        return __builtin_shuffle(x, I16{1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14});
    }
    [[gnu::always_inline]] static Mask lanes_with_bit(unsigned q) {
        return indices([q](unsigned f) { return kernels::lane_has_bit(f, q) ? -1 : 0; });
    }
    [[gnu::always_inline]] static Mask all_lanes() { return I16{} - 1; }
    [[gnu::always_inline]] static Mask both(Mask a, Mask b) { return a & b; }
    [[gnu::always_inline]] static V blend(V a, V b, Mask m) { return m != 0 ? b : a; }
    struct Pairs {
        I16 lower, upper, first, second;
    };
    [[gnu::always_inline]] static Pairs pairs(unsigned t) {
        return {indices([t](unsigned f) { return kernels::gather_lane(f, t, false); }),
                indices([t](unsigned f) { return kernels::gather_lane(f, t, true); }),
                indices([t](unsigned f) { return kernels::scatter_lane(f, t, 0, 8); }),
                indices([t](unsigned f) { return kernels::scatter_lane(f, t, 1, 8); })};
    }
    [[gnu::always_inline]] static void to_pairs(const Pairs& p, V& x, V& y) {
        const V lo = __builtin_shuffle(x, y, p.lower);
        y = __builtin_shuffle(x, y, p.upper);
        x = lo;
    }
    [[gnu::always_inline]] static void from_pairs(const Pairs& p, V& lo, V& hi) {
        const V x = __builtin_shuffle(lo, hi, p.first);
        hi = __builtin_shuffle(lo, hi, p.second);
        lo = x;
    }
    using Flip = I16;
    [[gnu::always_inline]] static Flip flip(unsigned t) { return indices([t](unsigned f) { return kernels::flip_lane(f, t); }); }
    [[gnu::always_inline]] static V flipped(const Flip& f, V v) { return __builtin_shuffle(v, f); }
    [[gnu::always_inline]] static bool finite_nonzero(V x, V y) {
        for (unsigned f = 0; f < 16; ++f) {
            if (!(x[f] != 0.0f && x[f] - x[f] == 0.0f && y[f] != 0.0f && y[f] - y[f] == 0.0f)) {
                return false;
            }
        }
        return true;
    }
    [[gnu::always_inline]] static bool finite_no_minus_zero(V x, V y) {
        const auto ok = [](float f) { return f - f == 0.0f && std::bit_cast<std::uint32_t>(f) != 0x80000000u; };
        for (unsigned f = 0; f < 16; ++f) {
            if (!ok(x[f]) || !ok(y[f])) {
                return false;
            }
        }
        return true;
    }
    [[gnu::always_inline]] static bool nonzero_numbers(V x) {
        for (unsigned f = 0; f < 16; ++f) {
            if (!(x[f] != 0.0f && x[f] == x[f])) {
                return false;
            }
        }
        return true;
    }
    [[gnu::always_inline]] static V either_bits(V x, V y) {
        V v;
        for (unsigned f = 0; f < 16; ++f) {
            v[f] = std::bit_cast<float>(std::bit_cast<std::uint32_t>(x[f]) | std::bit_cast<std::uint32_t>(y[f]));
        }
        return v;
    }
    [[gnu::always_inline]] static bool zero_bits(V x) {
        for (unsigned f = 0; f < 16; ++f) {
            if (std::bit_cast<std::uint32_t>(x[f]) != 0) {
                return false;
            }
        }
        return true;
    }
};

constexpr kernels::KernelSet kPortable8 = kernels::SimdKernels<Portable8>::set(
    "portable8", kernels::SimdKernels<Portable8>::mat2_exchanged, kernels::SimdTiles<Portable8>::mat2_tile, kernels::SimdTiles<Portable8>::kTileRegBits);

}  // namespace

const kernels::KernelSet& portable8_kernels() { return kPortable8; }

}  // namespace vastrel::sim
