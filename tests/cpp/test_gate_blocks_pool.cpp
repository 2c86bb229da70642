// Grouped execution and the process-wide pool: a group builds it where its
// first gate would, a panic before any gate does not, and a failed build
// stops a group before it writes. Each case runs in a child of a process
// that never touches the pool itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/circuit.hpp"
#include "sim/panic.hpp"
#include "sim/thread_pool.hpp"
#include "support.hpp"

namespace vastrel::sim {
namespace {

constexpr unsigned kQubits = 19;  // several blocks of the default shape
const std::string kAlready = "The global thread pool has already been initialized.";
const std::string kNotInitialized = "The global thread pool has not been initialized.: ";

bool pool_was_built() {
    try {
        build_global(2);
    } catch (const PoolBuildError& e) {
        return std::string(e.what()) == kAlready;
    }
    return false;
}

std::string run(const std::vector<Gate>& gates, StateVector& v) {
    return test::panic_message([&] { Circuit(gates).run(v); });
}

TEST(GateBlocksPool, AGroupBuildsThePoolAndAnEarlierPanicDoesNot) {
    EXPECT_EQ(test::in_child([] {
        StateVector v(kQubits);
        CHILD_EXPECT(run({X{63}, H{0}, H{1}, Cnot{0, 1}}, v) == "chunk_size must not be zero");
        CHILD_EXPECT(test::same_bits(v.amplitudes()[0], test::kOne));
        CHILD_EXPECT(!pool_was_built());
        return 0;
    }), 0);
    EXPECT_EQ(test::in_child([] {
        StateVector v(kQubits);
        CHILD_EXPECT(run({H{0}, H{1}, Cnot{0, 1}, X{127}}, v) == "chunk_size must not be zero");
        CHILD_EXPECT(pool_was_built());
        CHILD_EXPECT(v.amplitudes()[3].re > 0.4f);  // the group ran before the panic
        return 0;
    }), 0);
}

TEST(GateBlocksPool, AFailedBuildStopsAGroupBeforeItWrites) {
    if (test::kAddressSanitizer || test::kThreadSanitizer) {
        GTEST_SKIP() << "a sanitizer runtime needs the address space this test takes away";
    }
    EXPECT_EQ(test::in_child([] {
        StateVector v(kQubits);
        const rlimit old = test::starve_address_space();
        try {
            build_global(4);
        } catch (const PoolBuildError&) {
        }
        test::restore_address_space(old);
        CHILD_EXPECT(run({H{0}, H{1}, Cnot{0, 1}}, v).starts_with(kNotInitialized));
        CHILD_EXPECT(test::same_bits(v.amplitudes()[0], test::kOne));
        return 0;
    }), 0);
}

}  // namespace
}  // namespace vastrel::sim
