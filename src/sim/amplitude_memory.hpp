// Amplitude storage: zeroed memory for a state vector and its release. Large
// vectors are mapped directly, 2 MiB-aligned, so SIMD loads never straddle
// cache lines and huge pages cover them whole; small ones come from calloc.
#pragma once

#include <cstddef>
#include <new>

#include "complex.hpp"

namespace vastrel::sim {

// The memory of a state refused because the process may not commit that
// much more (its memory cgroup's limit or the machine's available memory),
// or pages it was refused while they were committed; the caller measures
// what is left (memory_left) once the state is given back.
class OutOfMemory : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "not enough memory left for the state"; }
};

// length zeroed amplitudes. Throws OutOfMemory when the process may not
// commit them, std::bad_alloc when they cannot be mapped at all.
Complex32* allocate_amplitudes(std::size_t length);

// Whether allocate_amplitudes(length) maps fresh pages, which nothing has
// touched yet (prefault_amplitudes applies).
bool maps_fresh_pages(std::size_t length) noexcept;

// Makes the pages holding amplitudes [begin, end) of such a vector present
// and writable, values unchanged. A kernel reads an amplitude before it
// writes it, so on an untouched page it would fault twice (the shared zero
// page, then a copy with a TLB shootdown to every core the process runs on);
// this faults once, and callers split the range over the pool. Throws
// OutOfMemory when the kernel refuses pages, with no amplitude changed.
void prefault_amplitudes(Complex32* data, std::size_t begin, std::size_t end);

// Frees what allocate_amplitudes(length) or take_recycled_amplitudes(length)
// returned; null is ignored. A mapped vector of a power-of-two length is
// kept for reuse instead, one at a time: a fresh mapping costs page faults
// and the kernel's zeroing on first touch, on a machine whose memory other
// programs have fragmented compaction for huge pages too, and in a virtual
// machine the host's faults for pages the guest gave back (bench/NOTES.md).
// One longer than kPinnedKeepMax amplitudes is kept only where no limit on
// the process's address space or data is set, and its pages are lazily
// freed (MADV_FREE): the kernel takes them back, without writing them
// anywhere, as soon as it needs memory, so a kept vector never stands
// between the system's memory and anyone who needs it; until then the next
// run of that size finds them present.
void free_amplitudes(Complex32* data, std::size_t length) noexcept;

constexpr std::size_t kPinnedKeepMax = std::size_t{1} << 23;  // 64 MiB

// The kept vector when it has exactly this length, its values whatever they
// were (the caller zeroes it); null otherwise. Safe from any thread.
Complex32* take_recycled_amplitudes(std::size_t length) noexcept;

}  // namespace vastrel::sim
