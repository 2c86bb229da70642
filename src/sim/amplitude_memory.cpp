// Amplitude storage. calloc serves large blocks from mmap too, but 16 bytes
// past a page boundary, so every 64-byte AVX-512 access of such a vector
// straddles two cache lines (10-20% of a gate's time in cache). Which
// allocator a buffer came from follows from its length alone, so the free
// needs no record of it.
#include "amplitude_memory.hpp"

#include <errno.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "system_limits.hpp"

namespace vastrel::sim {

namespace {

// From here on, vectors are mapped, 2 MiB-aligned: SIMD kernels run faster
// on aligned vectors (bench/NOTES.md). AddressSanitizer guards only what
// malloc hands out, so its builds keep every vector there.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kMapMin = SIZE_MAX;
#else
constexpr std::size_t kMapMin = std::size_t{1} << 20;
#endif

// Huge pages cut page faults and TLB misses on big vectors; a first
// allocation may stall on compaction, which the gates win back.
constexpr std::size_t kHugePageMin = std::size_t{1} << 22;

constexpr std::size_t kHugePage = std::size_t{1} << 21;
constexpr std::size_t kPage = 4096;

std::size_t mapped_bytes(std::size_t length) {
    return (length * sizeof(Complex32) + kPage - 1) & ~(kPage - 1);
}

// From here on a new vector is checked against what the process may still
// commit: with overcommit the mapping always succeeds, and a page the
// kernel cannot back later is an OOM kill, in a container as soon as the
// memory cgroup's limit is reached. Smaller vectors come from calloc, and
// so does nearly every other allocation of the process; what would kill
// them, the interpreter's own allocations would meet as well. Reading the
// limits costs about 100 us on a VM (12 us a file), against 1-3 ms for a
// fresh mapping of 2^17 amplitudes with its faults; a kept vector, which
// repeated runs of one size take, needs no check.
constexpr std::size_t kCheckMin = std::size_t{1} << 20;

Complex32* reserve_amplitudes(std::size_t length);

// Whether the process may commit `bytes` more: unknown counts as yes.
bool may_commit(std::size_t bytes) noexcept {
    try {
        const auto left = memory_left(bytes);
        return !left || *left >= bytes;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// A reserved vector, refused (OutOfMemory) when the process may not commit
// that much more memory. Asked only once the kernel has granted the range,
// so a request that fails outright costs no reading of files.
Complex32* reserve_committable(std::size_t length) {
    Complex32* data = reserve_amplitudes(length);
    const std::size_t bytes = length * sizeof(Complex32);
    if (bytes >= kCheckMin) {
        if (!may_commit(bytes)) {
            // Given back, never kept: it would be the next run's to zero.
            if (maps_fresh_pages(length)) {
                ::munmap(data, mapped_bytes(length));
            } else {
                std::free(data);
            }
            throw OutOfMemory();
        }
    }
    return data;
}

// The kept vector: its page-aligned address with log2 of its length in the
// low bits, or 0. One atomic word, so that taking and keeping need no lock
// (a lock held by another thread at fork() would stay held in the child).
std::atomic<std::uintptr_t> g_recycled{0};

constexpr std::uintptr_t kLengthBits = 63;

bool recyclable(std::size_t length) { return maps_fresh_pages(length) && std::has_single_bit(length); }

// Whether the process's address space or data segment is limited: a kept
// vector would then count against every other allocation up to the limit.
bool address_space_limited() noexcept {
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        struct rlimit limit {};
        if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY) {
            return true;
        }
    }
    return false;
}

// Whether a freed vector of this length is kept, its pages lazily freed
// when it is long (see free_amplitudes).
bool keep(Complex32* data, std::size_t length) noexcept {
    if (!recyclable(length)) {
        return false;
    }
    if (length <= kPinnedKeepMax) {
        return true;
    }
#ifdef MADV_FREE
    return !address_space_limited() && ::madvise(data, mapped_bytes(length), MADV_FREE) == 0;
#else
    return false;
#endif
}

// Whether every page of the range is present. A kept vector whose pages
// were never touched (a run without gates) is checked like a new one before
// it is taken: zeroing it commits them all.
bool resident(const void* data, std::size_t bytes) noexcept {
    unsigned char present[4096];
    auto* begin = static_cast<unsigned char*>(const_cast<void*>(data));
    for (std::size_t done = 0; done < bytes;) {
        const std::size_t chunk = std::min(bytes - done, sizeof present * kPage);
        if (::mincore(begin + done, chunk, present) != 0) {
            return false;
        }
        for (std::size_t i = 0; i < chunk / kPage; ++i) {
            if ((present[i] & 1) == 0) {
                return false;
            }
        }
        done += chunk;
    }
    return true;
}

void unmap_recycled(std::uintptr_t entry) {
    if (entry != 0) {
        const std::size_t length = std::size_t{1} << (entry & kLengthBits);
        ::munmap(reinterpret_cast<void*>(entry & ~kLengthBits), mapped_bytes(length));
    }
}

}  // namespace

Complex32* allocate_amplitudes(std::size_t length) {
    if (length > SIZE_MAX / sizeof(Complex32) / 2) {
        throw std::bad_alloc();
    }
    try {
        return reserve_committable(length);
    } catch (const std::bad_alloc&) {
        // The kept vector may be what stands in the way (an address-space
        // limit, or the cgroup's charge for its pages): given back, the
        // request is tried once more.
        const std::uintptr_t kept = g_recycled.exchange(0, std::memory_order_acq_rel);
        if (kept == 0) {
            throw;
        }
        unmap_recycled(kept);
        return reserve_committable(length);
    }
}

namespace {

Complex32* reserve_amplitudes(std::size_t length) {
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

}  // namespace

bool maps_fresh_pages(std::size_t length) noexcept { return length * sizeof(Complex32) >= kMapMin; }

void prefault_amplitudes(Complex32* data, std::size_t begin, std::size_t end) {
    // Whole pages only: the pages at the ends are shared with the
    // neighbouring pieces, and a page's first touch decides nothing but speed.
    const auto first = (reinterpret_cast<std::uintptr_t>(data + begin) + kPage - 1) & ~std::uintptr_t{kPage - 1};
    const auto last = reinterpret_cast<std::uintptr_t>(data + end) & ~std::uintptr_t{kPage - 1};
    if (last <= first) {
        return;
    }
#ifdef MADV_POPULATE_WRITE
    if (::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) == 0) {
        return;
    }
    // The pages could not all be had: a touch would only fault where this
    // failed, and the OOM killer's answer to a fault is death.
    if (errno == ENOMEM) {
        throw OutOfMemory();
    }
#endif
    // Kernels before 5.14: one atomic or of zero per page is a write that
    // leaves the value as it was.
    for (std::uintptr_t page = first; page < last; page += kPage) {
        __atomic_fetch_or(reinterpret_cast<std::uint32_t*>(page), 0u, __ATOMIC_RELAXED);
    }
}

void free_amplitudes(Complex32* data, std::size_t length) noexcept {
    if (data == nullptr) {
        return;
    }
    if (length * sizeof(Complex32) < kMapMin) {
        std::free(data);
        return;
    }
    if (keep(data, length)) {
        const auto entry = reinterpret_cast<std::uintptr_t>(data) | static_cast<std::uintptr_t>(std::countr_zero(length));
        unmap_recycled(g_recycled.exchange(entry, std::memory_order_acq_rel));
        return;
    }
    ::munmap(data, mapped_bytes(length));
}

Complex32* take_recycled_amplitudes(std::size_t length) noexcept {
    if (!recyclable(length)) {
        return nullptr;
    }
    std::uintptr_t entry = g_recycled.load(std::memory_order_acquire);
    while (entry != 0 && (entry & kLengthBits) == static_cast<std::uintptr_t>(std::countr_zero(length))) {
        if (g_recycled.compare_exchange_weak(entry, 0, std::memory_order_acq_rel)) {
            auto* data = reinterpret_cast<Complex32*>(entry & ~kLengthBits);
            if (resident(data, mapped_bytes(length)) || may_commit(mapped_bytes(length))) {
                return data;
            }
            ::munmap(data, mapped_bytes(length));
            return nullptr;
        }
    }
    return nullptr;
}

}  // namespace vastrel::sim
