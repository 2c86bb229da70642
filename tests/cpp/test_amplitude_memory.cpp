// Amplitude storage on both sides of the size where vectors are mapped:
// zeroed, aligned where mapped, and freed by whichever owner ends up with it.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "sim/amplitude_memory.hpp"
#include "sim/state_vector.hpp"
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

}  // namespace
}  // namespace vastrel::sim
