// Gate lists run block by block against the same lists run one kernel per
// gate: the same bits for every kernel set, pool size and block shape, group
// boundaries at high qubits, and panicking gates inside what would be a group.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "sim/circuit.hpp"
#include "sim/executor.hpp"
#include "sim/kernels.hpp"
#include "sim/panic.hpp"
#include "sim/thread_pool.hpp"
#include "support.hpp"

namespace vastrel::sim {
namespace {

// Small shapes so that 18-20 qubits give many blocks, and every kind of
// group (all low, some high, runs down to 2^min_low) occurs.
// Some share passes over outer blocks of 2^12-2^17 amplitudes, and some
// split groups into sub-blocks (low parts below the group's, far qubits
// from 13 on limited or not).
const BlockShape kShapes[] = {kDefaultBlockShape,          {12, 6, 10},         {14, 10, 2},
                              {10, 3, 10},                 {9, 1, 1},           {12, 6, 10, 15},
                              {14, 10, 2, 17},             {10, 3, 10, 13},     {9, 1, 1, 12},
                              {14, 10, 2, 17, 12, 8, 1},   {12, 6, 10, 15, 9, 3, 10},
                              {16, 8, 4, 0, 11, 4, 2}};

std::vector<const kernels::KernelSet*> kernel_sets() {
    std::vector<const kernels::KernelSet*> sets = {&kernels::scalar_kernels()};
    for (const kernels::KernelSet* s : {kernels::avx2_kernels(), kernels::avx512_kernels()}) {
        if (s != nullptr) {
            sets.push_back(s);
        }
    }
    return sets;
}

// A qubit: mostly low ones, so that long groups form; sometimes any qubit
// of the vector, an alias 64 above, or (for two-qubit gates) one outside.
std::uint64_t pick_qubit(std::mt19937_64& rng, unsigned num_qubits, bool may_be_outside) {
    const unsigned r = static_cast<unsigned>(rng() % 100);
    if (r < 55) {
        return rng() % 12;
    }
    if (r < 93 || !may_be_outside) {
        return rng() % num_qubits + (r >= 90 ? 64 : 0);
    }
    return num_qubits + rng() % (64 - num_qubits);
}

std::vector<Gate> random_gates(std::mt19937_64& rng, unsigned num_qubits, std::size_t count) {
    std::uniform_real_distribution<float> angle(-3.2f, 3.2f);
    std::vector<Gate> gates;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t a = pick_qubit(rng, num_qubits, false);
        switch (rng() % 6) {
            case 0: gates.push_back(X{a}); break;
            case 1: gates.push_back(H{a}); break;
            case 2: gates.push_back(Rz{a, angle(rng)}); break;
            case 3: gates.push_back(Crz{pick_qubit(rng, num_qubits, true), a, angle(rng)}); break;
            case 4: gates.push_back(Cnot{pick_qubit(rng, num_qubits, true), a}); break;
            default:
                // Unitary up to rounding, so a long list stays finite.
                gates.push_back(Mat2{a, multiply(matrix_of(Rz{0, angle(rng)}), matrix_of(H{0}))});
                break;
        }
        if (rng() % 20 == 0) {
            gates.push_back(Cnot{a, a});  // changes nothing
        }
    }
    return gates;
}

StateVector random_state(unsigned num_qubits, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    StateVector v(num_qubits);
    for (Complex32& a : v.amplitudes()) {
        a = Complex32{value(rng), value(rng)};
    }
    return v;
}

// Runs the list and returns the panic message, or "<no panic>".
std::string run(std::span<const Gate> gates, StateVector& v, const Backend& backend,
                BlockShape shape) {
    return test::panic_message([&] { run_gates(gates, v, &backend, shape); });
}

// One case a pool size, so that the cases run side by side.
class RandomLists : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RandomLists, GiveTheBitsOfOneKernelPerGate) {
    std::mt19937_64 rng(20261208);
    ThreadPool one(1);
    ThreadPool pool(GetParam());
    const auto sets = kernel_sets();
    // 16 and 17: one block of the larger shapes, run in halves.
    for (unsigned num_qubits : {16u, 17u, 18u, 19u, 20u}) {
        const std::vector<Gate> gates = random_gates(rng, num_qubits, 160);
        StateVector expected = random_state(num_qubits, num_qubits);
        ASSERT_EQ(run(gates, expected, Backend{&one, &kernels::scalar_kernels()}, kNoBlocks),
                  "<no panic>");
        for (const Complex32& a : expected.amplitudes()) {
            ASSERT_TRUE(std::isfinite(a.re) && std::isfinite(a.im));  // or NaN would hide faults
        }
        for (const kernels::KernelSet* set : sets) {
            for (const BlockShape& shape : kShapes) {
                StateVector v = random_state(num_qubits, num_qubits);
                EXPECT_EQ(run(gates, v, Backend{&pool, set}, shape), "<no panic>");
                EXPECT_TRUE(test::same_bits(v.amplitudes(), expected.amplitudes()))
                    << num_qubits << " qubits, " << set->name << ", " << GetParam()
                    << " threads, blocks 2^" << shape.width << " of runs 2^" << shape.min_low;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(GateBlocks, RandomLists, ::testing::Values(1u, 2u, 3u));

// Lists built to cross the boundaries: layers on the low qubits broken by
// gates on the highest, two-qubit gates joining a low and a high qubit, and
// a QFT, whose controlled phases reach every qubit.
std::vector<std::vector<Gate>> boundary_lists(unsigned n) {
    std::vector<std::vector<Gate>> lists;
    std::vector<Gate> layers;
    for (unsigned layer = 0; layer < 6; ++layer) {
        for (unsigned q = 0; q < 12; ++q) {
            layers.push_back(H{q});
            layers.push_back(Crz{q, (q + 5) % 12, 0.3f * static_cast<float>(q + layer)});
        }
        layers.push_back(H{n - 1 - layer});
        layers.push_back(Cnot{n - 1 - layer, layer});
        layers.push_back(Cnot{layer, n - 2});
        layers.push_back(Crz{n - 1, n - 2 - layer, 1.25f});
    }
    lists.push_back(layers);
    std::vector<Gate> qft;
    for (unsigned j = n; j-- > 0;) {
        qft.push_back(H{j});
        for (unsigned k = j; k-- > 0;) {
            qft.push_back(Crz{k, j, 3.14159265f / static_cast<float>(1u << std::min(j - k, 30u))});
        }
    }
    lists.push_back(qft);
    return lists;
}

TEST(GateBlocks, GroupsBrokenAtHighQubitsGiveTheSameBits) {
    constexpr unsigned kQubits = 19;
    ThreadPool one(1);
    ThreadPool two(2);
    ThreadPool three(3);
    const kernels::KernelSet& best = kernels::active_kernels();
    for (const std::vector<Gate>& gates : boundary_lists(kQubits)) {
        StateVector expected = random_state(kQubits, 7);
        run(gates, expected, Backend{&one, &best}, kNoBlocks);
        for (ThreadPool* pool : {&one, &two, &three}) {
            for (const BlockShape& shape : kShapes) {
                StateVector v = random_state(kQubits, 7);
                run(gates, v, Backend{pool, &best}, shape);
                EXPECT_TRUE(test::same_bits(v.amplitudes(), expected.amplitudes()))
                    << gates.size() << " gates, " << pool->num_threads() << " threads, blocks 2^"
                    << shape.width << " of runs 2^" << shape.min_low;
            }
        }
    }
}

TEST(GateBlocks, APanickingGateInsideAGroupPanicsAfterTheGatesBeforeIt) {
    constexpr unsigned kQubits = 18;
    const std::string kZeroChunk = "chunk_size must not be zero";
    const std::string kOutside = "index out of bounds: the len is 262144 but the index is 524288";
    const std::pair<Gate, std::string> failing[] = {
        {X{63}, kZeroChunk},          {H{127}, kZeroChunk},
        {Rz{63, 0.5f}, kZeroChunk},   {Mat2{191, matrix_of(H{0})}, kZeroChunk},
        {Cnot{2, 63}, kZeroChunk},    {Cnot{70, 127}, kZeroChunk},
        {H{kQubits + 1}, kOutside},   {Mat2{64 + kQubits + 1, matrix_of(X{0})}, kOutside},
    };
    std::mt19937_64 rng(5);
    ThreadPool pool(2);
    const kernels::KernelSet& best = kernels::active_kernels();
    for (const auto& [gate, message] : failing) {
        // Low gates on both sides, so the failing one sits where a group would be.
        std::vector<Gate> gates;
        for (unsigned k = 0; k < 30; ++k) {
            gates.push_back(k % 3 == 0 ? Gate{Cnot{k % 11, (k + 4) % 11}} : Gate{H{k % 10}});
        }
        gates.push_back(Crz{kQubits + 3, 1, 0.5f});  // outside: changes nothing
        gates.push_back(gate);
        const std::vector<Gate> after = random_gates(rng, kQubits, 20);
        gates.insert(gates.end(), after.begin(), after.end());

        StateVector unblocked = random_state(kQubits, 11);
        EXPECT_EQ(run(gates, unblocked, Backend{&pool, &best}, kNoBlocks), message);
        StateVector prefix = random_state(kQubits, 11);
        run(std::span(gates).first(31), prefix, Backend{&pool, &best}, kNoBlocks);
        EXPECT_TRUE(test::same_bits(unblocked.amplitudes(), prefix.amplitudes()));
        for (const BlockShape& shape : kShapes) {
            StateVector v = random_state(kQubits, 11);
            EXPECT_EQ(run(gates, v, Backend{&pool, &best}, shape), message);
            EXPECT_TRUE(test::same_bits(v.amplitudes(), prefix.amplitudes()))
                << message << ", blocks 2^" << shape.width;
        }
    }
}

TEST(GateBlocks, SmallVectorsAndEdgeListsGiveTheSameBits) {
    // Vectors of one block (whole, or in halves), the highest qubit alone,
    // lists of one gate and lists of gates that change nothing.
    ThreadPool pool(2);
    const kernels::KernelSet& best = kernels::active_kernels();
    const std::vector<std::vector<Gate>> lists = {
        {H{0}, H{1}, Cnot{0, 1}, Crz{1, 0, 0.5f}},
        {H{16}},
        {Cnot{3, 3}, Crz{40, 1, 1.0f}, Cnot{1, 40}},
        {H{16}, H{15}, H{16}, Cnot{16, 15}},
        {},
    };
    for (unsigned num_qubits : {0u, 1u, 16u, 17u}) {
        for (const std::vector<Gate>& gates : lists) {
            StateVector expected = random_state(num_qubits, 3);
            const std::string message = run(gates, expected, Backend{&pool, &best}, kNoBlocks);
            StateVector v = random_state(num_qubits, 3);
            EXPECT_EQ(run(gates, v, Backend{&pool, &best}, kDefaultBlockShape), message);
            EXPECT_TRUE(test::same_bits(v.amplitudes(), expected.amplitudes()))
                << num_qubits << " qubits, " << gates.size() << " gates";
        }
    }
}

TEST(GateBlocks, CircuitRunGroupsOnTheProcessWidePoolToo) {
    constexpr unsigned kQubits = 18;
    std::mt19937_64 rng(9);
    const Circuit circuit(random_gates(rng, kQubits, 100));
    StateVector expected = random_state(kQubits, 4);
    ThreadPool one(1);
    run(circuit.gates(), expected, Backend{&one, &kernels::active_kernels()}, kNoBlocks);
    StateVector v = random_state(kQubits, 4);
    circuit.run(v);
    EXPECT_TRUE(test::same_bits(v.amplitudes(), expected.amplitudes()));
}

}  // namespace
}  // namespace vastrel::sim
