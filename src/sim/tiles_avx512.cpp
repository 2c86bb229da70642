// The AVX-512 tiles (simd_tiles.hpp). Compiled with the flags of
// kernels_avx512.cpp; called only through its set, once that found the CPU able.
#include "isa_avx512.hpp"
#include "simd_tiles.hpp"

namespace vastrel::sim::kernels {

void mat2_tile_avx512(Complex32* data, const TileGate* gates, std::size_t count, std::uint64_t window, std::size_t begin,
                    std::size_t end, std::uint64_t spread) {
    SimdTiles<Avx512>::mat2_tile(data, gates, count, window, begin, end, spread);
}

}  // namespace vastrel::sim::kernels
