// Amplitude storage. calloc serves large blocks from mmap too, but 16 bytes
// past a page boundary, so every 64-byte AVX-512 access of such a vector
// straddles two cache lines (10-20% of a gate's time in cache). Which
// allocator a buffer came from follows from its length alone, so the free
// needs no record of it.
#include "amplitude_memory.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace vastrel::sim {

namespace {

// From here on, vectors are mapped: SIMD kernels ran 10-25% faster on
// aligned vectors (bench/gate_blocks.cpp). AddressSanitizer guards only what
// malloc hands out, so its builds keep every vector there.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kMapMin = SIZE_MAX;
#else
constexpr std::size_t kMapMin = std::size_t{1} << 20;
#endif

// Huge pages cut page faults and TLB misses on big vectors: on 24 qubits
// the first touch took 50-80 ms instead of 160-300 ms and a gate about
// 17 ms instead of 18-22 ms (two threads); a first allocation may stall on
// compaction, which the gates win back.
constexpr std::size_t kHugePageMin = std::size_t{1} << 22;

constexpr std::size_t kHugePage = std::size_t{1} << 21;
constexpr std::size_t kPage = 4096;

std::size_t mapped_bytes(std::size_t length) {
    return (length * sizeof(Complex32) + kPage - 1) & ~(kPage - 1);
}

}  // namespace

Complex32* allocate_amplitudes(std::size_t length) {
    if (length > SIZE_MAX / sizeof(Complex32) / 2) {
        throw std::bad_alloc();
    }
    const std::size_t bytes = length * sizeof(Complex32);
    if (bytes < kMapMin) {
        void* p = std::calloc(length, sizeof(Complex32));
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<Complex32*>(p);
    }
    // Map a huge page more than needed and trim both ends, so the vector
    // starts on a 2 MiB boundary. Fresh anonymous pages are zero and are
    // first touched by the first kernel, in parallel.
    const std::size_t size = mapped_bytes(length);
    const std::size_t reserve = size + kHugePage;
    void* raw = ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
    if (raw == MAP_FAILED) {
        // Too little room for the slack: page-aligned then, which is as good
        // for cache lines.
        raw = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) {
            throw std::bad_alloc();
        }
        if (bytes >= kHugePageMin) {
            ::madvise(raw, size, MADV_HUGEPAGE);
        }
        return static_cast<Complex32*>(raw);
    }
    const auto begin = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (begin + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    if (aligned > begin) {
        ::munmap(raw, aligned - begin);
    }
    const std::uintptr_t end = begin + reserve;
    if (end > aligned + size) {
        ::munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
    }
    if (bytes >= kHugePageMin) {
        // Advice only: failure changes nothing but speed.
        ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    }
    return reinterpret_cast<Complex32*>(aligned);
}

void free_amplitudes(Complex32* data, std::size_t length) noexcept {
    if (data == nullptr) {
        return;
    }
    if (length * sizeof(Complex32) < kMapMin) {
        std::free(data);
        return;
    }
    ::munmap(data, mapped_bytes(length));
}

}  // namespace vastrel::sim
