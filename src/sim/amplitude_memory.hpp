// Amplitude storage: zeroed memory for a state vector and its release. Large
// vectors are mapped directly, 2 MiB-aligned, so SIMD loads never straddle
// cache lines and huge pages cover them whole; small ones come from calloc.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "complex.hpp"

namespace vastrel::sim {

// length zeroed amplitudes; throws std::bad_alloc when they cannot be had.
Complex32* allocate_amplitudes(std::size_t length);

// Frees what allocate_amplitudes(length) returned; null is ignored.
void free_amplitudes(Complex32* data, std::size_t length) noexcept;

// Bytes of memory this process can still fill, from the text of /proc/meminfo
// (MemAvailable plus SwapFree) and of the memory cgroup's limit and usage
// (memory.max and memory.current, or v1's limit_in_bytes and usage_in_bytes;
// empty: no limit known); nullopt when
// nothing is known.
std::optional<std::size_t> available_memory(std::string_view meminfo, std::string_view memory_max,
                                            std::string_view memory_current);

}  // namespace vastrel::sim
