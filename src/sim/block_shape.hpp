// BlockShape: how the executor cuts a vector into cache-sized blocks, and
// the shape this machine's caches give.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vastrel::sim {

// A block holds 2^width amplitudes: 2^(width - low) runs of 2^low consecutive
// amplitudes, one run for each value of the group's qubits at or above low,
// with every other qubit fixed. A group of gates fits when
// low + (number of its qubits at or above low) <= width for some low of at
// least min_low; a gate on a qubit of its own then ends the group.
struct BlockShape {
    unsigned width;    // 0: no blocking, one kernel call per gate
    unsigned min_low;  // runs shorter than 2^min_low amplitudes stream badly
    // Runs that differ only in qubits from far_qubit on share cache sets
    // (2 MiB pages keep those address bits): at most 2^max_far of them per set.
    unsigned max_far = 3;
    // Consecutive groups whose blocks all lie within outer blocks of
    // 2^outer amplitudes share one pass over the vector, outer block by
    // outer block (0: every group its own pass).
    unsigned outer = 0;
    // Within a group's block, consecutive gates that fit a smaller block of
    // 2^sub_width amplitudes (the private cache) go through it sub-block by
    // sub-block; runs at least 2^sub_min_low long, at most 2^sub_max_far of
    // them differing only in qubits from sub_far_qubit on (0: no sub-blocks).
    unsigned sub_width = 0;
    unsigned sub_min_low = 0;
    unsigned sub_max_far = 0;
    unsigned far_qubit = 14;
    unsigned sub_far_qubit = 13;
};

// The sizes (bytes) and associativity of the data caches one core sees.
struct CacheGeometry {
    std::size_t l2_size;
    unsigned l2_ways;
    std::size_t l3_size;
};

// The shape for these caches: sub-blocks of half the private L2, blocks of
// twice it, outer blocks of a quarter of the shared L3, far qubits where
// runs start to share an L2 way's sets.
BlockShape shape_for(const CacheGeometry& caches);

// The geometry the fallback shape was measured on (a 512 KiB 8-way L2 and a
// 32 MiB L3); shape_for(kFallbackCaches) is kDefaultBlockShape.
inline constexpr CacheGeometry kFallbackCaches{std::size_t{512} << 10, 8, std::size_t{32} << 20};
inline constexpr BlockShape kDefaultBlockShape{
    .width = 17, .min_low = 11, .max_far = 5, .outer = 20, .sub_width = 15, .sub_min_low = 10, .sub_max_far = 3,
    .far_qubit = 14, .sub_far_qubit = 13};
inline constexpr BlockShape kNoBlocks{0, 0, 0, 0};

// The caches of the CPU this process runs on, from sysfs; nullopt when they
// cannot be read. The directory is a parameter so tests can use a made-up tree.
std::optional<CacheGeometry> read_cache_geometry(const char* cpu_cache_dir = "/sys/devices/system/cpu/cpu0/cache");

// The shape from "width,min_low,max_far,outer,sub_width,sub_min_low,
// sub_max_far,far_qubit,sub_far_qubit" (the last two optional); nullopt when
// the text is not that.
std::optional<BlockShape> parse_block_shape(std::string_view text);

// The shape the executor uses by default, found once: VASTREL_BLOCK_SHAPE
// when it parses (for benchmarks), else shape_for this machine's caches,
// else kDefaultBlockShape.
const BlockShape& machine_block_shape();

}  // namespace vastrel::sim
