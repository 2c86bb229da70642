// Amplitude storage on both sides of the size where vectors are mapped:
// zeroed, aligned where mapped, and freed by whichever owner ends up with it.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "sim/amplitude_memory.hpp"
#include "sim/kernels.hpp"
#include "sim/state_vector.hpp"
#include "sim/system_limits.hpp"
#include "sim/thread_pool.hpp"
#include "support.hpp"

namespace vastrel::sim {
namespace {

TEST(AmplitudeMemory, ZeroedOnBothSidesOfTheMappingSize) {
    for (unsigned n : {0u, 10u, 16u, 17u, 18u, 20u, 22u}) {
        StateVector v(n);
        const auto amps = v.amplitudes();
        EXPECT_TRUE(test::same_bits(amps[0], test::kOne)) << n;
        bool zero = true;
        for (std::size_t i = 1; i < amps.size(); ++i) {
            zero = zero && test::same_bits(amps[i], test::kZero);
        }
        EXPECT_TRUE(zero) << n << " qubits";
        const auto addr = reinterpret_cast<std::uintptr_t>(amps.data());
        if (n >= 17 && !test::kAddressSanitizer) {  // its builds use malloc throughout
            // Mapped: whole cache lines, and huge pages from the first byte.
            EXPECT_EQ(addr % (std::uintptr_t{1} << 21), 0u) << n << " qubits";
        }
    }
}

// Faulting the pages in before the first kernel changes no value, over any
// split, whether a page was touched before or not; the first kernel after it
// gives the bits of a vector that was never prefaulted.
TEST(AmplitudeMemory, PrefaultKeepsEveryValue) {
    const std::size_t length = std::size_t{1} << 19;
    Complex32* data = allocate_amplitudes(length);
    ASSERT_TRUE(maps_fresh_pages(length) || test::kAddressSanitizer);
    const std::size_t marked[] = {0, 1, 511, 512, 513, 70000, length - 1};
    for (std::size_t i : marked) {
        data[i] = Complex32{static_cast<float>(i) + 0.5f, -1.0f};
    }
    // Pieces that start and end inside pages, as well as whole ones.
    const std::size_t cuts[] = {0, 3, 512, 1000, 4096, 262145, length};
    for (std::size_t k = 0; k + 1 < std::size(cuts); ++k) {
        prefault_amplitudes(data, cuts[k], cuts[k + 1]);
    }
    std::size_t wrong = 0;
    for (std::size_t i = 0, m = 0; i < length; ++i) {
        const bool is_marked = m < std::size(marked) && marked[m] == i;
        const Complex32 expected = is_marked ? Complex32{static_cast<float>(i) + 0.5f, -1.0f} : test::kZero;
        m += is_marked ? 1 : 0;
        wrong += test::same_bits(data[i], expected) ? 0 : 1;
    }
    EXPECT_EQ(wrong, 0u);
    free_amplitudes(data, length);

    ThreadPool pool(2);
    const Backend backend{&pool, &kernels::active_kernels()};
    StateVector fresh(20), touched(20);
    for (Complex32& a : touched.amplitudes()) {
        a = Complex32{a.re + 0.0f, a.im + 0.0f};  // every page present before any kernel
    }
    for (StateVector* v : {&fresh, &touched}) {
        v->apply_mat2(19, matrix_of(H{19}), backend);
        v->apply_mat2(3, matrix_of(H{3}), backend);
    }
    EXPECT_TRUE(std::equal(fresh.amplitudes().begin(), fresh.amplitudes().end(), touched.amplitudes().begin(),
                           [](Complex32 x, Complex32 y) { return test::same_bits(x, y); }));
}

// A freed mapped vector is kept and handed to the next vector of its
// length, which must still start as the zero state however its values are
// first seen: through a kernel (zeroed over a pool of two or one), directly,
// or handed over by release(), also after a gate that changed nothing.
TEST(AmplitudeMemory, RecycledVectorsStartAsTheZeroState) {
    ThreadPool two(2), one(1);
    const Backend backends[] = {{&two, &kernels::active_kernels()}, {&one, &kernels::active_kernels()}};
    auto scribble = [](StateVector& v) {
        for (Complex32& a : v.amplitudes()) {
            a = Complex32{-3.5f, std::numeric_limits<float>::quiet_NaN()};
        }
        return v.amplitudes().data();
    };
    auto is_zero_state = [](std::span<const Complex32> amps) {
        bool ok = test::same_bits(amps[0], test::kOne);
        for (std::size_t i = 1; i < amps.size(); ++i) {
            ok = ok && test::same_bits(amps[i], test::kZero);
        }
        return ok;
    };
    for (unsigned n : {20u, 22u}) {
        for (const Backend& backend : backends) {
            const Complex32* old = nullptr;
            {
                StateVector v(n);
                old = scribble(v);
            }
            StateVector reused(n);
            if (!test::kAddressSanitizer) {  // its builds use malloc throughout
                EXPECT_EQ(reused.amplitudes().data() + 0, old) << n << " qubits: not recycled";
                // amplitudes() above zeroed it already. Scribbled again, it
                // goes back when a fresh vector replaces it, and `other`
                // takes it: one of the two is recycled, with no values seen.
                scribble(reused);
                reused = StateVector(n);
            }
            StateVector other(n);
            for (StateVector* v : {&reused, &other}) {
                v->apply_mat2(n - 1, matrix_of(H{n - 1}), backend);
                v->apply_crz(n - 1, 2, 0.25f, backend);
            }
            EXPECT_TRUE(std::equal(other.amplitudes().begin(), other.amplitudes().end(),
                                   reused.amplitudes().begin(),
                                   [](Complex32 x, Complex32 y) { return test::same_bits(x, y); }))
                << n << " qubits, " << backend.pool->num_threads() << " thread(s)";
        }
        {
            StateVector v(n);
            scribble(v);
        }
        StateVector direct(n);
        EXPECT_TRUE(is_zero_state(direct.amplitudes())) << n;
        scribble(direct);
        direct = StateVector(0);
        StateVector handed(n);
        handed.apply_cnot(3, 3, backends[0]);  // c == t: changes nothing, runs no kernel
        const RawBuffer raw = handed.release();
        EXPECT_TRUE(is_zero_state({raw.data, raw.length})) << n;
        free_buffer(raw.data, raw.capacity);
    }
    // Only the exact length takes the kept vector.
    if (!test::kAddressSanitizer) {
        const std::size_t length = std::size_t{1} << 20;
        Complex32* data = allocate_amplitudes(length);
        free_amplitudes(data, length);
        EXPECT_EQ(take_recycled_amplitudes(2 * length), nullptr);
        EXPECT_EQ(take_recycled_amplitudes(length), data);
        EXPECT_EQ(take_recycled_amplitudes(length), nullptr);
        free_amplitudes(data, length);
    }
}

// Above 64 MiB a freed vector is kept with its pages lazily freed, so that
// the kernel can take them back, and handed on as the zero state; with the
// address space or the data segment limited it is given back at once.
TEST(AmplitudeMemory, ALongVectorIsKeptLazilyFreedAndOnlyWithoutAddressSpaceLimits) {
    if (test::kAddressSanitizer) {
        GTEST_SKIP() << "its builds keep every vector in malloc";
    }
    const unsigned n = 24;
    const std::size_t length = std::size_t{1} << n, bytes = length * sizeof(Complex32);
    const auto lazy_free_bytes = [] {
        std::ifstream smaps("/proc/self/smaps_rollup");
        std::string field;
        std::size_t kb = 0;
        while (smaps >> field) {
            if (field == "LazyFree:" && smaps >> kb) {
                return kb * 1024;
            }
        }
        return std::size_t{0};
    };
    const Complex32* old = nullptr;
    {
        StateVector v(n);
        for (Complex32& a : v.amplitudes()) {
            a = Complex32{-2.0f, 0.5f};
        }
        old = v.amplitudes().data();
    }
    EXPECT_GE(lazy_free_bytes(), bytes);
    StateVector reused(n);
    const auto amps = reused.amplitudes();
    EXPECT_EQ(amps.data() + 0, old);
    EXPECT_TRUE(test::same_bits(amps[0], test::kOne));
    EXPECT_TRUE(std::all_of(amps.begin() + 1, amps.end(), [](Complex32 a) { return test::same_bits(a, test::kZero); }));
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        EXPECT_EQ(test::in_child([resource, length] {
            struct rlimit limit {};
            CHILD_EXPECT(::getrlimit(resource, &limit) == 0);
            limit.rlim_cur = RLIM_INFINITY - 1;  // a limit, though nothing can reach it
            CHILD_EXPECT(::setrlimit(resource, &limit) == 0);
            Complex32* data = allocate_amplitudes(length);
            free_amplitudes(data, length);
            CHILD_EXPECT(take_recycled_amplitudes(length) == nullptr);
            return 0;
        }), 0) << resource;
    }
}

TEST(AmplitudeMemory, EveryOwnerFreesWithTheAllocatorOfTheLength) {
    for (unsigned n : {3u, 16u, 17u, 21u}) {
        StateVector a(n);
        a.amplitudes()[a.size() - 1] = test::kOne;  // touched to the last page
        StateVector b(n + 1);
        b = std::move(a);  // frees b's own vector first
        EXPECT_EQ(b.size(), std::size_t{1} << n);
        const RawBuffer raw = b.release();
        EXPECT_EQ(raw.capacity, std::size_t{1} << n);
        EXPECT_TRUE(test::same_bits(raw.data[raw.length - 1], test::kOne));
        free_buffer(raw.data, raw.capacity);
        free_amplitudes(nullptr, raw.capacity);  // nothing to free
    }
}

// What a large vector is checked against before it is mapped: the kernel's
// own estimate plus free swap, capped by a cgroup limit where one is set.
TEST(AmplitudeMemory, AvailableMemoryFromMeminfoAndCgroup) {
    const std::string_view meminfo =
        "MemTotal:       24000000 kB\nMemFree:        1000 kB\n"
        "MemAvailable:   20000000 kB\nSwapTotal: 0 kB\nSwapFree:       1000000 kB\n";
    EXPECT_EQ(available_memory(meminfo, "", ""), std::size_t{21000000} * 1024);
    EXPECT_EQ(available_memory(meminfo, "max\n", "5000\n"), std::size_t{21000000} * 1024);
    EXPECT_EQ(available_memory(meminfo, "1000000000\n", "400000000\n"), std::size_t{600000000});
    EXPECT_EQ(available_memory(meminfo, "100\n", "400\n"), std::size_t{0});
    EXPECT_EQ(available_memory("MemTotal: 5 kB\n", "", ""), std::nullopt);
    EXPECT_EQ(available_memory("MemAvailable: lots kB\n", "", ""), std::nullopt);
    EXPECT_EQ(available_memory("", "2048\n", "1024\n"), std::size_t{1024});
    // A field whose name only begins like the one asked for is not it.
    EXPECT_EQ(available_memory("MemAvailableX: 7 kB\nMemAvailable: 3 kB\n", "", ""),
              std::size_t{3072});
}

// The memory cgroups a state is checked against: the tightest level from the
// process's own group up, file pages on the LRU lists counted as free (v1's
// hierarchical totals where given), the statistics read only where the
// plain difference falls short of what is wanted.
TEST(AmplitudeMemory, CgroupMemoryLeftIsTheTightestLevel) {
    test::CgroupTree v2;
    v2.write("/memory.current", "900000\n");  // the root has no limit file
    v2.write("/app/memory.max", "1000000\n");
    v2.write("/app/memory.current", "700000\n");
    v2.write("/app/memory.stat", "anon 500000\nfile 200000\nactive_file 50000\ninactive_file 100000\n");
    v2.write("/app/job/memory.max", "max\n");
    v2.write("/app/job/memory.current", "600000\n");
    EXPECT_EQ(cgroup_memory_left("0::/\n", v2.root()), std::nullopt);
    EXPECT_EQ(cgroup_memory_left("0::/app/job\n", v2.root()), 450000u);
    EXPECT_EQ(cgroup_memory_left("0::/app/job\n", v2.root(), 300000), 300000u);
    EXPECT_EQ(cgroup_memory_left("0::/app/elsewhere/deeper\n", v2.root()), 450000u);
    v2.write("/app/job/memory.max", "650000\n");
    EXPECT_EQ(cgroup_memory_left("0::/app/job\n", v2.root()), 50000u);

    test::CgroupTree v1;
    v1.write("/memory/memory.limit_in_bytes", "9223372036854771712\n");
    v1.write("/memory/memory.usage_in_bytes", "9000000\n");
    v1.write("/memory/box/memory.limit_in_bytes", "3000000\n");
    v1.write("/memory/box/memory.usage_in_bytes", "2500000\n");
    v1.write("/memory/box/memory.stat",
             "cache 900000\ninactive_file 1\nactive_file 1\ntotal_inactive_file 400000\n"
             "total_active_file 100000\n");
    EXPECT_EQ(cgroup_memory_left("4:memory:/box\n1:cpu:/box\n0::/\n", v1.root()), 1000000u);
    EXPECT_EQ(cgroup_memory_left("1:cpu:/box\n3:cpuacct,memoryx:/box\n", v1.root()), std::nullopt);
    // More reclaimable than used, or more used than the limit: never below 0.
    v1.write("/memory/box/memory.usage_in_bytes", "100\n");
    EXPECT_EQ(cgroup_memory_left("4:memory:/box\n", v1.root()), 3000000u);
    v1.write("/memory/box/memory.usage_in_bytes", "9000000\n");
    EXPECT_EQ(cgroup_memory_left("4:memory:/box\n", v1.root()), 0u);

    EXPECT_EQ(available_memory("MemAvailable: 1000000 kB\n", "1000000000\n", "400000000\n",
                               "inactive_file 100000000\nactive_file 50000000\n"),
              std::size_t{750000000});
}

// Pages the kernel refuses while a state's first kernel commits them are an
// OutOfMemory before any amplitude changes, and the state stays usable once
// they can be had. Memory pressure cannot stage the refusal without
// privileges the tests may lack (a cgroup's OOM killer answers first, or
// the fault waits); a hole unmapped in the state gets the same ENOMEM from
// MADV_POPULATE_WRITE.
TEST(AmplitudeMemory, RefusedPagesAreAnErrorBeforeAnyAmplitudeChanges) {
    if (test::kAddressSanitizer) {
        GTEST_SKIP() << "its builds keep every vector in malloc, which is not prefaulted";
    }
    EXPECT_EQ(test::in_child([] {
        ThreadPool pool(2);
        const Backend backend{&pool, &kernels::active_kernels()};
        // 128 MiB of fresh pages: a vector of that length kept by an
        // earlier test would be zeroed by writes instead.
        if (Complex32* kept = take_recycled_amplitudes(std::size_t{1} << 24)) {
            ::munmap(kept, std::size_t{128} << 20);
        }
        StateVector v(24);
        char* hole = reinterpret_cast<char*>(v.amplitudes().data()) + (std::size_t{64} << 20);
        const std::size_t size = std::size_t{2} << 20;
        CHILD_EXPECT(::munmap(hole, size) == 0);
        bool refused = false;
        try {
            v.apply_mat2(23, matrix_of(H{23}), backend);
        } catch (const OutOfMemory&) {
            refused = true;
        }
        CHILD_EXPECT(refused);
        CHILD_EXPECT(::mmap(hole, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
                            -1, 0) == hole);
        const auto amps = v.amplitudes();
        CHILD_EXPECT(test::same_bits(amps[0], test::kOne));
        CHILD_EXPECT(std::all_of(amps.begin() + 1, amps.end(),
                                 [](Complex32 a) { return test::same_bits(a, test::kZero); }));
        v.apply_mat2(23, matrix_of(H{23}), backend);
        CHILD_EXPECT(v.amplitudes()[std::size_t{1} << 23].re == 0.70710677f);
        return 0;
    }), 0);
}

}  // namespace
}  // namespace vastrel::sim
