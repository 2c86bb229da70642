// The AVX2 kernel set: four amplitudes per 256-bit register. This file is
// compiled with -mavx2 (never -mfma); only avx2_kernels() is built for the
// baseline ISA, so it can run on any x86-64 CPU to find out whether the rest
// may run.
#include <cpuid.h>
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "isa_avx2.hpp"
#include "kernels.hpp"
#include "simd_kernels.hpp"
#include "simd_tiles.hpp"

namespace vastrel::sim::kernels {

// exchanged_avx2.cpp
void mat2_exchanged_avx2(Complex32* data, unsigned t, const Matrix2& m, const Exchanges& x, std::size_t begin,
                          std::size_t end);
// tiles_avx2.cpp
void mat2_tile_avx2(Complex32* data, const TileGate* gates, std::size_t count, std::uint64_t window, std::size_t begin,
                    std::size_t end, std::uint64_t spread);

namespace {

constexpr KernelSet kAvx2 =
    SimdKernels<Avx2>::set("avx2", mat2_exchanged_avx2, mat2_tile_avx2, SimdTiles<Avx2>::kTileRegBits);

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
