// Amplitude storage. calloc serves large blocks from mmap too, but 16 bytes
// past a page boundary, so every 64-byte AVX-512 access of such a vector
// straddles two cache lines (10-20% of a gate's time in cache). Which
// allocator a buffer came from follows from its length alone, so the free
// needs no record of it.
#include "amplitude_memory.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <string>

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

// Below this a vector is allocated without asking how much memory is left.
constexpr std::size_t kCheckMin = std::size_t{1} << 30;

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
}

std::optional<std::size_t> parse_size(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// The kB figure of one /proc/meminfo field ("MemAvailable:   123 kB").
std::optional<std::size_t> meminfo_field(std::string_view meminfo, std::string_view name) {
    for (std::size_t pos = 0; pos < meminfo.size();) {
        std::size_t eol = meminfo.find('\n', pos);
        if (eol == std::string_view::npos) {
            eol = meminfo.size();
        }
        std::string_view line = meminfo.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.size() <= name.size() || line.substr(0, name.size()) != name ||
            line[name.size()] != ':') {
            continue;
        }
        line.remove_prefix(name.size() + 1);
        line.remove_prefix(std::min(line.find_first_not_of(' '), line.size()));
        line = line.substr(0, line.find(' '));
        const auto kb = parse_size(line);
        if (kb && *kb <= SIZE_MAX / 1024) {
            return *kb * 1024;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

// A vector the machine cannot hold would be granted lazily by overcommit and
// the process killed when the first gate touches its pages; refusing it up
// front turns that into an ordinary allocation failure.
bool memory_is_available(std::size_t bytes) {
    // The process's memory cgroup: "0::/path" (v2) or "N:...memory...:/path" (v1).
    std::string max_text;
    std::string current_text;
    const std::string cgroups = read_file("/proc/self/cgroup");
    for (std::size_t pos = 0; pos < cgroups.size();) {
        std::size_t eol = cgroups.find('\n', pos);
        if (eol == std::string::npos) {
            eol = cgroups.size();
        }
        const std::string line = cgroups.substr(pos, eol - pos);
        pos = eol + 1;
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.rfind("0::", 0) == 0) {
            max_text = read_file("/sys/fs/cgroup" + path + "/memory.max");
            current_text = read_file("/sys/fs/cgroup" + path + "/memory.current");
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
            std::string dir = "/sys/fs/cgroup/memory" + path;
            max_text = read_file(dir + "/memory.limit_in_bytes");
            if (max_text.empty()) {  // a namespaced mount shows the group at its root
                dir = "/sys/fs/cgroup/memory";
                max_text = read_file(dir + "/memory.limit_in_bytes");
            }
            current_text = read_file(dir + "/memory.usage_in_bytes");
        }
        if (!max_text.empty()) {
            break;
        }
    }
    const auto available = available_memory(read_file("/proc/meminfo"), max_text, current_text);
    return !available || bytes <= *available;
}

Complex32* reserve_amplitudes(std::size_t length);

// The kept vector: its page-aligned address with log2 of its length in the
// low bits, or 0. One atomic word, so that taking and keeping need no lock
// (a lock held by another thread at fork() would stay held in the child).
std::atomic<std::uintptr_t> g_recycled{0};

constexpr std::uintptr_t kLengthBits = 63;

bool recyclable(std::size_t length) {
    return maps_fresh_pages(length) && length <= kRecycleMax && std::has_single_bit(length);
}

void unmap_recycled(std::uintptr_t entry) {
    if (entry != 0) {
        const std::size_t length = std::size_t{1} << (entry & kLengthBits);
        ::munmap(reinterpret_cast<void*>(entry & ~kLengthBits), mapped_bytes(length));
    }
}

}  // namespace

std::optional<std::size_t> available_memory(std::string_view meminfo, std::string_view memory_max,
                                            std::string_view memory_current) {
    std::optional<std::size_t> result;
    if (const auto mem = meminfo_field(meminfo, "MemAvailable")) {
        const std::size_t swap = meminfo_field(meminfo, "SwapFree").value_or(0);
        result = *mem + std::min(swap, SIZE_MAX - *mem);
    }
    const auto max = parse_size(memory_max);  // "max" (no limit) does not parse
    const auto current = parse_size(memory_current);
    if (max && current) {
        const std::size_t room = *max > *current ? *max - *current : 0;
        result = result ? std::min(*result, room) : room;
    }
    return result;
}

Complex32* allocate_amplitudes(std::size_t length) {
    if (length > SIZE_MAX / sizeof(Complex32) / 2) {
        throw std::bad_alloc();
    }
    Complex32* data = nullptr;
    try {
        data = reserve_amplitudes(length);
    } catch (const std::bad_alloc&) {
        // The kept vector may be what stands in the way (an address-space
        // limit, say): given back, the request is tried once more.
        const std::uintptr_t kept = g_recycled.exchange(0, std::memory_order_acq_rel);
        if (kept == 0) {
            throw;
        }
        unmap_recycled(kept);
        data = reserve_amplitudes(length);
    }
    // Asked only once the kernel has granted the range, so a request that
    // fails outright costs no reading of files.
    if (length * sizeof(Complex32) >= kCheckMin &&
        !memory_is_available(length * sizeof(Complex32))) {
        free_amplitudes(data, length);
        throw std::bad_alloc();
    }
    return data;
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

void prefault_amplitudes(Complex32* data, std::size_t begin, std::size_t end) noexcept {
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
    if (recyclable(length)) {
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
            return reinterpret_cast<Complex32*>(entry & ~kLengthBits);
        }
    }
    return nullptr;
}

}  // namespace vastrel::sim
