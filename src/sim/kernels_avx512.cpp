// The AVX-512 kernel set: eight amplitudes per 512-bit register. This file is
// compiled with -mavx512f -mavx512dq -mavx512vl -mavx512bw (never -mfma); only
// avx512_kernels() is built for the baseline ISA, so it can run on any x86-64
// CPU to find out whether the rest may run.
#include <cpuid.h>
// GCC 12 warns inside its own AVX-512 headers, whose _mm512_undefined_ps()
// is deliberately uninitialised (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstddef>
#include <cstdint>

#include "isa_avx512.hpp"
#include "kernels.hpp"
#include "simd_kernels.hpp"
#include "simd_tiles.hpp"

namespace vastrel::sim::kernels {

// exchanged_avx512.cpp
void mat2_exchanged_avx512(Complex32* data, unsigned t, const Matrix2& m, const Exchanges& x, std::size_t begin,
                           std::size_t end);
// tiles_avx512.cpp
void mat2_tile_avx512(Complex32* data, const TileGate* gates, std::size_t count, std::uint64_t window, std::size_t begin,
                      std::size_t end, std::uint64_t spread);

namespace {

constexpr KernelSet kAvx512 =
    SimdKernels<Avx512>::set("avx512", mat2_exchanged_avx512, mat2_tile_avx512, SimdTiles<Avx512>::kTileRegBits);

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
