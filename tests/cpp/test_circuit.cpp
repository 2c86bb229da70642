// Circuits: the structure and product bits of fusion, its threshold, and
// execution in list order with the panics of a failing gate.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/circuit.hpp"
#include "sim/panic.hpp"
#include "support.hpp"

namespace vastrel::sim {
namespace {

using test::bits;
using test::same_bits;

using test::kOne;
using test::kZero;

bool same_bits(const Matrix2& a, const Matrix2& b) {
    return test::same_bits(a.m00, b.m00) && test::same_bits(a.m01, b.m01) &&
           test::same_bits(a.m10, b.m10) && test::same_bits(a.m11, b.m11);
}

// Fourteen single-qubit gates on qubits 10..23, one each, so a list
// passes the fusion threshold with two gates of its own.
std::vector<Gate> with_padding(std::vector<Gate> gates, std::size_t count = 14) {
    for (std::size_t q = 0; q < count; ++q) {
        gates.push_back(X{10 + q});
    }
    return gates;
}

std::string kinds(const Circuit& c) {
    std::string out;
    for (const Gate& g : c.gates()) {
        out += "XHRCNM"[g.index()];
        out += std::to_string(target_of(g));
        out += ' ';
    }
    return out;
}

TEST(Fusion, BelowTheThresholdTheListIsTakenOverAsIs) {
    std::vector<Gate> gates = with_padding({H{0}, Cnot{0, 1}, Crz{1, 2, 0.5f}}, 14);
    gates.push_back(Mat2{0, {kOne, kZero, kZero, kOne}});  // never counted
    ASSERT_EQ(gates.size(), 18u);
    const Gate* storage = gates.data();
    Circuit c(std::move(gates));
    EXPECT_EQ(c.gates().data(), storage);  // moved in, not copied
    EXPECT_EQ(kinds(c).substr(0, 9), "H0 N1 C2 ");
    EXPECT_EQ(c.gates()[3].index(), 0u);
}

TEST(Fusion, AtSixteenEveryRunBecomesOneMat2) {
    // 16 single-qubit gates, two of them far apart behind two-qubit gates.
    std::vector<Gate> gates = {H{0}, H{0}, X{1}, Cnot{0, 1}, H{0}, Rz{0, 0.25f},
                               Crz{2, 3, 1.0f}, X{0}};
    gates = with_padding(std::move(gates), 10);
    gates.push_back(Cnot{4, 5});
    gates.push_back(Rz{7, 2.0f});
    ASSERT_EQ(gates.size(), 20u);
    Circuit c(gates);
    EXPECT_EQ(kinds(c),
              "M0 M1 N1 M0 C3 M0 M10 M11 M12 M13 M14 M15 M16 M17 M18 M19 N5 M7 ");
    EXPECT_EQ(c.gates().capacity(), gates.size());  // one allocation, never grown

    const Matrix2 hh = std::get<Mat2>(c.gates()[0]).matrix;
    EXPECT_TRUE(same_bits(hh, multiply(matrix_of(H{0}), matrix_of(H{0}))));
    const Matrix2 rz_h = std::get<Mat2>(c.gates()[3]).matrix;
    EXPECT_TRUE(same_bits(rz_h, multiply(matrix_of(Rz{0, 0.25f}), matrix_of(H{0}))));
    EXPECT_TRUE(same_bits(std::get<Mat2>(c.gates()[17]).matrix, matrix_of(Rz{7, 2.0f})));
}

TEST(Fusion, SixteenGatesOnOneQubitAreOneLeftMultipliedProduct) {
    std::vector<Gate> gates;
    for (int k = 0; k < 16; ++k) {
        gates.push_back(k % 3 == 0 ? Gate{H{4}} : Gate{Rz{4, 0.1f * static_cast<float>(k)}});
    }
    Circuit c(gates);
    ASSERT_EQ(c.gates().size(), 1u);
    Matrix2 expected = matrix_of(gates[0]);
    for (std::size_t k = 1; k < gates.size(); ++k) {
        expected = multiply(matrix_of(gates[k]), expected);
    }
    EXPECT_EQ(target_of(c.gates()[0]), 4u);
    EXPECT_TRUE(same_bits(std::get<Mat2>(c.gates()[0]).matrix, expected));
}

TEST(Fusion, ProductBits) {
    // H·H: s*s + s*s on the diagonal (largest float below 1), exact +0 off it.
    const Matrix2 hh = multiply(matrix_of(H{0}), matrix_of(H{0}));
    EXPECT_EQ(bits(hh.m00.re), 0x3F7FFFFFu);
    EXPECT_EQ(bits(hh.m11.re), 0x3F7FFFFFu);
    EXPECT_EQ(bits(hh.m00.im), 0u);
    EXPECT_EQ(bits(hh.m11.im), 0u);
    EXPECT_TRUE(test::same_bits(hh.m01, kZero));
    EXPECT_TRUE(test::same_bits(hh.m10, kZero));

    // X then Rz: [[0, 1], [e, 0]]; Rz then X: [[0, e], [1, 0]].
    const Complex32 e = test::phase_of(0.75f);
    const Matrix2 rz_x = multiply(matrix_of(Rz{2, 0.75f}), matrix_of(X{2}));
    EXPECT_TRUE(test::same_bits(rz_x.m01, kOne));
    EXPECT_TRUE(test::same_bits(rz_x.m10, e));
    EXPECT_EQ(rz_x.m00.re, 0.0f);
    EXPECT_EQ(rz_x.m11.re, 0.0f);
    const Matrix2 x_rz = multiply(matrix_of(X{2}), matrix_of(Rz{2, 0.75f}));
    EXPECT_TRUE(test::same_bits(x_rz.m01, e));
    EXPECT_TRUE(test::same_bits(x_rz.m10, kOne));

    // Rz's entry is one sincosf of the stored angle: pi as a float lies
    // above pi, so the sine is a tiny negative number, not zero.
    const Matrix2 rz_pi = matrix_of(Rz{0, 3.14159265358979f});
    EXPECT_EQ(rz_pi.m11.re, -1.0f);
    EXPECT_LT(rz_pi.m11.im, 0.0f);
    EXPECT_TRUE(same_bits(matrix_of(Rz{0, 0.0f}), Matrix2{kOne, kZero, kZero, kOne}));
}

TEST(Fusion, MatricesArePassedThroughNeverJoined) {
    const Matrix2 odd{{0.5f, 0.5f}, {-0.0f, 1.0f}, {2.0f, -3.0f}, {0.0f, -0.0f}};
    std::vector<Gate> gates = with_padding({H{0}, Mat2{0, odd}, H{0}});
    Circuit c(gates);
    EXPECT_EQ(kinds(c).substr(0, 9), "M0 M0 M0 ");
    EXPECT_TRUE(same_bits(std::get<Mat2>(c.gates()[0]).matrix, matrix_of(H{0})));
    EXPECT_TRUE(same_bits(std::get<Mat2>(c.gates()[1]).matrix, odd));
    EXPECT_TRUE(same_bits(std::get<Mat2>(c.gates()[2]).matrix, matrix_of(H{0})));
}

TEST(Fusion, RunsOnDifferentTargetsNeverMerge) {
    // H0 X1 H0 commute in pairs but are three runs; target 64 is not 0.
    Circuit c(with_padding({H{0}, X{1}, H{0}, H{64}}));
    EXPECT_EQ(kinds(c).substr(0, 12), "M0 M1 M0 M64");
}

TEST(Fusion, SixteenGatesOnSixteenQubitsRunAsTheUnfusedGates) {
    std::vector<Gate> gates;
    for (std::uint64_t q = 0; q < 16; ++q) {
        gates.push_back(q % 3 == 0 ? Gate{H{q}} : q % 3 == 1 ? Gate{X{q}} : Gate{Rz{q, 0.3f}});
    }
    Circuit fused(gates);
    ASSERT_EQ(fused.gates().size(), 16u);
    for (std::size_t k = 0; k < 16; ++k) {
        ASSERT_EQ(fused.gates()[k].index(), 5u);
        EXPECT_EQ(target_of(fused.gates()[k]), k);
        EXPECT_TRUE(same_bits(std::get<Mat2>(fused.gates()[k]).matrix, matrix_of(gates[k])));
    }
    // Two halves of eight stay unfused.
    Circuit first({gates.begin(), gates.begin() + 8});
    Circuit second({gates.begin() + 8, gates.end()});
    ASSERT_EQ(first.gates()[0].index(), 1u);
    StateVector a(16);
    StateVector b(16);
    fused.run(a);
    first.run(b);
    second.run(b);
    EXPECT_TRUE(test::same_bits(a.amplitudes(), b.amplitudes()));
}

TEST(Execution, GatesApplyInListOrder) {
    StateVector empty(3);
    Circuit({}).run(empty);
    EXPECT_TRUE(same_bits(empty.amplitudes()[0], kOne));

    StateVector a(2);
    Circuit({X{0}, Cnot{0, 1}}).run(a);
    EXPECT_TRUE(same_bits(a.amplitudes()[3], kOne));
    StateVector b(2);
    Circuit({Cnot{0, 1}, X{0}}).run(b);
    EXPECT_TRUE(same_bits(b.amplitudes()[1], kOne));
    EXPECT_TRUE(same_bits(b.amplitudes()[3], kZero));

    StateVector c(2);
    Circuit({X{0}, X{1}, Crz{0, 1, 2.5f}}).run(c);
    EXPECT_TRUE(same_bits(c.amplitudes()[3], test::phase_of(2.5f)));
    EXPECT_TRUE(same_bits(c.amplitudes()[0], kZero));

    StateVector hh(1);
    Circuit({H{0}, H{0}}).run(hh);
    EXPECT_EQ(bits(hh.amplitudes()[0].re), 0x3F7FFFFFu);
    EXPECT_TRUE(same_bits(hh.amplitudes()[1], kZero));

    StateVector rz(1);
    Circuit({Rz{0, 1.0f}}).run(rz);
    EXPECT_TRUE(same_bits(rz.amplitudes()[0], kOne));
    EXPECT_TRUE(same_bits(rz.amplitudes()[1], kZero));
}

TEST(Execution, AFailingGateStopsTheRunBeforeItWrites) {
    StateVector v(2);
    try {
        Circuit({X{0}, X{1}, X{63}, X{0}}).run(v);
        ADD_FAILURE() << "no panic";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(), "chunk_size must not be zero");
    }
    EXPECT_TRUE(same_bits(v.amplitudes()[3], kOne));  // the first two applied, not the fourth

    StateVector w(3);
    try {
        Circuit({H{3}}).run(w);
        ADD_FAILURE() << "no panic";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message(), "index out of bounds: the len is 8 but the index is 8");
    }
    EXPECT_TRUE(same_bits(w.amplitudes()[0], kOne));
}

}  // namespace
}  // namespace vastrel::sim
