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

// Whether allocate_amplitudes(length) maps fresh pages, which nothing has
// touched yet (prefault_amplitudes applies).
bool maps_fresh_pages(std::size_t length) noexcept;

// Makes the pages holding amplitudes [begin, end) of such a vector present
// and writable, values unchanged. A kernel reads an amplitude before it
// writes it, so on an untouched page it would fault twice (the shared zero
// page, then a copy with a TLB shootdown to every core the process runs on);
// this faults once, and callers split the range over the pool.
void prefault_amplitudes(Complex32* data, std::size_t begin, std::size_t end) noexcept;

// Frees what allocate_amplitudes(length) or take_recycled_amplitudes(length)
// returned; null is ignored. A mapped vector of a power-of-two length up to
// kRecycleMax amplitudes is kept for reuse instead, one at a time: a fresh
// mapping costs page faults and the kernel's zeroing on first touch, and on
// a machine whose memory other programs have fragmented, compaction for
// huge pages too (measured for 2^22 amplitudes after NumPy churn: 40-60 ms,
// against 2 ms for a circuit of one gate).
void free_amplitudes(Complex32* data, std::size_t length) noexcept;

constexpr std::size_t kRecycleMax = std::size_t{1} << 23;  // 64 MiB

// The kept vector when it has exactly this length, its values whatever they
// were (the caller zeroes it); null otherwise. Safe from any thread.
Complex32* take_recycled_amplitudes(std::size_t length) noexcept;

// Bytes of memory this process can still fill, from the text of /proc/meminfo
// (MemAvailable plus SwapFree) and of the memory cgroup's limit and usage
// (memory.max and memory.current, or v1's limit_in_bytes and usage_in_bytes;
// empty: no limit known); nullopt when
// nothing is known.
std::optional<std::size_t> available_memory(std::string_view meminfo, std::string_view memory_max,
                                            std::string_view memory_current);

}  // namespace vastrel::sim
