// The three kernels on hand-made states: exact bits, every placement of
// control and target, out-of-range indices, indices modulo 64, and the
// panics with their messages.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernels.hpp"
#include "sim/panic.hpp"
#include "sim/thread_pool.hpp"
#include "sim/state_vector.hpp"
#include "support.hpp"

namespace vastrel::sim {
namespace {

using test::bits;
using test::same_bits;

using test::kOne;
using test::kZero;
using test::panic_message;
constexpr Matrix2 kX{kZero, kOne, kOne, kZero};
constexpr Matrix2 kH{{kS, 0.0f}, {kS, 0.0f}, {kS, 0.0f}, {-kS, 0.0f}};

StateVector basis(unsigned qubits, std::size_t index) {
    StateVector v(qubits);
    v.amplitudes()[0] = kZero;
    v.amplitudes()[index] = kOne;
    return v;
}

StateVector filled(unsigned qubits, Complex32 value) {
    StateVector v(qubits);
    for (Complex32& a : v.amplitudes()) {
        a = value;
    }
    return v;
}

std::vector<Complex32> copy_of(const StateVector& v) {
    return {v.amplitudes().begin(), v.amplitudes().end()};
}

TEST(StateVector, StartsInTheAllZeroBasisState) {
    StateVector one(0);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_TRUE(same_bits(one.amplitudes()[0], kOne));

    StateVector v(20);
    ASSERT_EQ(v.size(), std::size_t{1} << 20);
    EXPECT_TRUE(same_bits(v.amplitudes()[0], kOne));
    for (std::size_t i = 1; i < v.size(); ++i) {
        ASSERT_TRUE(same_bits(v.amplitudes()[i], kZero)) << i;
    }
}

TEST(StateVector, RefusesSizesBeyondTheWord) {
    EXPECT_EQ(panic_message([] { StateVector v(64); }), "too many qubits");
    EXPECT_EQ(panic_message([] { StateVector v(1000); }), "too many qubits");
    EXPECT_EQ(panic_message([] { StateVector v(63); }), "capacity overflow");
    EXPECT_EQ(panic_message([] { StateVector v(60); }), "capacity overflow");
    // 8 PiB: more than the address space; an error, not a crash.
    EXPECT_THROW(StateVector(50), std::bad_alloc);
}

TEST(StateVector, ReleaseHandsOverTheBufferWithoutCopy) {
    StateVector v(3);
    const Complex32* data = v.amplitudes().data();
    RawBuffer raw = v.release();
    EXPECT_EQ(raw.data, data);
    EXPECT_EQ(raw.length, 8u);
    EXPECT_EQ(raw.capacity, 8u);
    EXPECT_EQ(v.size(), 0u);
    EXPECT_TRUE(same_bits(raw.data[0], kOne));
    free_buffer(raw.data, raw.capacity);
}

TEST(Mat2, XAndHBitForBit) {
    StateVector x(1);
    x.apply_mat2(0, kX);
    EXPECT_TRUE(same_bits(x.amplitudes()[0], kZero));
    EXPECT_TRUE(same_bits(x.amplitudes()[1], kOne));

    StateVector h(1);
    h.apply_mat2(0, kH);
    EXPECT_EQ(bits(h.amplitudes()[0].re), 0x3F3504F3u);
    EXPECT_EQ(bits(h.amplitudes()[1].re), 0x3F3504F3u);
    h.apply_mat2(0, kH);
    // s*s + s*s rounds to the largest float below 1; nothing renormalises.
    EXPECT_EQ(bits(h.amplitudes()[0].re), 0x3F7FFFFFu);
    EXPECT_TRUE(same_bits(h.amplitudes()[1], kZero));
    EXPECT_EQ(bits(h.amplitudes()[0].im), 0u);
}

TEST(Mat2, XIsArithmeticNotASwap) {
    // 1*(-0) - 0*(-0) is +0, so a negative zero does not survive as a swap
    // would keep it; 0*inf is NaN, so an infinity spreads to both halves.
    StateVector z(1);
    z.amplitudes()[0] = Complex32{-0.0f, -0.0f};
    z.amplitudes()[1] = kOne;
    z.apply_mat2(0, kX);
    EXPECT_TRUE(same_bits(z.amplitudes()[0], kOne));
    EXPECT_TRUE(same_bits(z.amplitudes()[1], kZero));

    const float inf = std::numeric_limits<float>::infinity();
    StateVector v(1);
    v.amplitudes()[1] = Complex32{inf, 0.0f};
    v.apply_mat2(0, kX);
    EXPECT_EQ(v.amplitudes()[0].re, inf);
    EXPECT_TRUE(std::isnan(v.amplitudes()[0].im));  // 1*0 + 0*inf
    EXPECT_TRUE(std::isnan(v.amplitudes()[1].re));  // 1*1 + (0*inf - 0*0)
}

// Every kernel set this CPU runs, on a pool of two so pieces split.
std::vector<const kernels::KernelSet*> kernel_sets() {
    std::vector<const kernels::KernelSet*> sets = {&kernels::scalar_kernels()};
    for (const kernels::KernelSet* s : {kernels::avx2_kernels(), kernels::avx512_kernels()}) {
        if (s != nullptr) {
            sets.push_back(s);
        }
    }
    return sets;
}

// Qubits to place controls and targets on: all of a small vector; the ends,
// the grain's bits and the middle of a vector big enough to be split.
std::vector<unsigned> placements(unsigned qubits) {
    if (qubits <= 12) {
        std::vector<unsigned> all(qubits);
        for (unsigned q = 0; q < qubits; ++q) {
            all[q] = q;
        }
        return all;
    }
    return {0, 1, 5, 6, 7, qubits / 2, qubits - 2, qubits - 1};
}

ThreadPool& two_workers() {
    static ThreadPool pool(2);
    return pool;
}

// Distinct amplitudes with signed zeros, infinities, NaN and subnormals mixed in.
void fill_awkward(StateVector& v) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Complex32 odd[] = {{-0.0f, 0.0f}, {nan, -0.0f}, {inf, -inf}, {1e-45f, -3.5f},
                             {0.0f, -0.0f}, {-inf, 2.0f}};
    for (std::size_t i = 0; i < v.size(); ++i) {
        v.amplitudes()[i] = (i % 13 == 0) ? odd[(i / 13) % 6]
                                          : Complex32{static_cast<float>(i % 97) * 0.01f,
                                                      static_cast<float>(i % 89) * -0.02f};
    }
}

// Applies `kernel` and `reference` to the awkward state for every kernel
// set, on a small vector (run on the caller) and a split one, for every
// placement of control c and target t (c alone stands still for mat2).
template <class Kernel, class Reference>
void sweep(bool two_qubit, bool exact_nan, Kernel kernel, Reference reference) {
    for (const kernels::KernelSet* set : kernel_sets()) {
        const Backend backend{&two_workers(), set};
        for (unsigned qubits : {11u, 18u}) {
            const std::vector<unsigned> cs = two_qubit ? placements(qubits) : std::vector<unsigned>{0};
            for (unsigned c : cs) {
                for (unsigned t : placements(qubits)) {
                    StateVector v(qubits);
                    fill_awkward(v);
                    std::vector<Complex32> expected = copy_of(v);
                    reference(expected, c, t);
                    kernel(v, c, t, backend);
                    ASSERT_TRUE(exact_nan ? same_bits(v.amplitudes(), expected)
                                          : test::same_values(v.amplitudes(), expected))
                        << set->name << " qubits " << qubits << " c " << c << " t " << t;
                }
            }
        }
    }
}

TEST(Mat2, EveryTargetAndSetMatchesTheReference) {
    const Matrix2 m{{0.25f, -0.5f}, {0.75f, 0.125f}, {-0.3f, 0.6f}, {0.9f, -0.0f}};
    sweep(
        false, false,
        [&](StateVector& v, unsigned, unsigned t, const Backend& b) { v.apply_mat2(t, m, b); },
        [&](std::vector<Complex32>& v, unsigned, unsigned t) { test::reference_mat2(v, t, m); });
}

TEST(Mat2, PanicsBeforeTouchingAnything) {
    StateVector v(3);
    v.amplitudes()[1] = Complex32{2.0f, 3.0f};
    const std::vector<Complex32> before = copy_of(v);
    EXPECT_EQ(panic_message([&] { v.apply_mat2(63, kX); }), "chunk_size must not be zero");
    EXPECT_EQ(panic_message([&] { v.apply_mat2(127, kX); }), "chunk_size must not be zero");
    EXPECT_EQ(panic_message([&] { v.apply_mat2(~std::uint64_t{0}, kX); }),
              "chunk_size must not be zero");
    EXPECT_EQ(panic_message([&] { v.apply_mat2(3, kX); }),
              "index out of bounds: the len is 8 but the index is 8");
    EXPECT_EQ(panic_message([&] { v.apply_mat2(40, kH); }),
              "index out of bounds: the len is 8 but the index is 1099511627776");
    EXPECT_EQ(panic_message([&] { v.apply_mat2(62, kH); }),
              "index out of bounds: the len is 8 but the index is 4611686018427387904");
    EXPECT_TRUE(same_bits(v.amplitudes(), before));

    StateVector scalar(0);
    EXPECT_EQ(panic_message([&] { scalar.apply_mat2(0, kX); }),
              "index out of bounds: the len is 1 but the index is 1");
}

TEST(Mat2, IndicesActModulo64) {
    StateVector a(3);
    StateVector b(3);
    a.apply_mat2(1, kH);
    b.apply_mat2(65, kH);
    EXPECT_TRUE(same_bits(a.amplitudes(), b.amplitudes()));
    EXPECT_EQ(panic_message([&] { b.apply_mat2(64 + 3, kH); }),
              "index out of bounds: the len is 8 but the index is 8");
}

TEST(Cnot, BasisStates) {
    StateVector a = basis(2, 2);
    a.apply_cnot(1, 0);
    EXPECT_TRUE(same_bits(a.amplitudes()[3], kOne));
    EXPECT_TRUE(same_bits(a.amplitudes()[2], kZero));

    StateVector b = basis(2, 1);
    b.apply_cnot(0, 1);
    EXPECT_TRUE(same_bits(b.amplitudes()[3], kOne));
    EXPECT_TRUE(same_bits(b.amplitudes()[1], kZero));

    StateVector c = basis(2, 2);
    c.apply_cnot(0, 1);
    EXPECT_TRUE(same_bits(c.amplitudes()[2], kOne));
    EXPECT_TRUE(same_bits(c.amplitudes()[3], kZero));
}

TEST(Cnot, EveryPlacementAndSetMatchesTheReferenceBitForBit) {
    // An exchange is no arithmetic: NaN payloads and signed zeros move as they are.
    sweep(
        true, true,
        [](StateVector& v, unsigned c, unsigned t, const Backend& b) { v.apply_cnot(c, t, b); },
        [](std::vector<Complex32>& v, unsigned c, unsigned t) { test::reference_cnot(v, c, t); });
}

TEST(Cnot, OutOfRangeOrEqualIndicesChangeNothing) {
    StateVector v(3);
    for (std::size_t i = 0; i < v.size(); ++i) {
        v.amplitudes()[i] = Complex32{static_cast<float>(i), 1.0f};
    }
    const std::vector<Complex32> before = copy_of(v);
    v.apply_cnot(1, 1);
    v.apply_cnot(3, 0);
    v.apply_cnot(0, 3);
    v.apply_cnot(62, 1);
    v.apply_cnot(63, 0);
    v.apply_cnot(1, 62);
    v.apply_cnot(65, 1);  // control 1 == target 1, modulo 64
    EXPECT_TRUE(same_bits(v.amplitudes(), before));

    StateVector one(0);
    one.apply_cnot(0, 0);
    one.apply_cnot(5, 0);
    EXPECT_TRUE(same_bits(one.amplitudes()[0], kOne));

    EXPECT_EQ(panic_message([&] { v.apply_cnot(0, 63); }), "chunk_size must not be zero");
    EXPECT_EQ(panic_message([&] { v.apply_cnot(63, 127); }), "chunk_size must not be zero");
    EXPECT_EQ(panic_message([&] { one.apply_cnot(0, 63); }), "chunk_size must not be zero");
    EXPECT_TRUE(same_bits(v.amplitudes(), before));
}

TEST(Cnot, IndicesActModulo64) {
    StateVector a = basis(3, 2);
    a.apply_cnot(64 + 1, 128 + 2);
    EXPECT_TRUE(same_bits(a.amplitudes()[6], kOne));
}

TEST(Crz, AllOnesStateForEveryPlacement) {
    const float theta = 0.5f;
    const Complex32 p = test::phase_of(theta);
    for (unsigned c = 0; c < 3; ++c) {
        for (unsigned t = 0; t < 3; ++t) {
            StateVector v = filled(3, kOne);
            v.apply_crz(c, t, theta);
            for (std::size_t i = 0; i < 8; ++i) {
                const bool hit = ((i >> c) & 1) != 0 && ((i >> t) & 1) != 0;
                EXPECT_TRUE(same_bits(v.amplitudes()[i], hit ? p : kOne))
                    << "c " << c << " t " << t << " index " << i;
            }
        }
    }
}

TEST(Crz, EveryPlacementAndSetMatchesTheReference) {
    sweep(
        true, false,
        [](StateVector& v, unsigned c, unsigned t, const Backend& b) { v.apply_crz(c, t, -1.25f, b); },
        [](std::vector<Complex32>& v, unsigned c, unsigned t) {
            test::reference_crz(v, c, t, -1.25f);
        });
}

TEST(Crz, EdgeAnglesAndIndices) {
    StateVector zero_angle = filled(3, Complex32{0.5f, -2.0f});
    zero_angle.apply_crz(0, 1, 0.0f);
    for (Complex32 a : zero_angle.amplitudes()) {
        EXPECT_EQ(a.re, 0.5f);
        EXPECT_EQ(a.im, -2.0f);
    }

    StateVector v = filled(3, Complex32{1.0f, 2.0f});
    const std::vector<Complex32> before = copy_of(v);
    v.apply_crz(0, 3, 1.0f);   // target out of range
    v.apply_crz(3, 0, 1.0f);   // control out of range
    v.apply_crz(63, 0, 1.0f);  // control whose chunk would not fit a word
    v.apply_crz(0, 63, 1.0f);
    v.apply_crz(40, 40, 1.0f);
    EXPECT_TRUE(same_bits(v.amplitudes(), before));

    // Control equal to target acts as Rz: amplitudes 2, 3, 6 and 7.
    StateVector same = filled(3, kOne);
    same.apply_crz(1, 1, 0.5f);
    const Complex32 p = test::phase_of(0.5f);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_TRUE(same_bits(same.amplitudes()[i], (i & 2) ? p : kOne)) << i;
    }

    StateVector wrapped = filled(3, kOne);
    wrapped.apply_crz(64 + 2, 128, 0.5f);  // (2, 0)
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_TRUE(same_bits(wrapped.amplitudes()[i], (i == 5 || i == 7) ? p : kOne)) << i;
    }
}

std::string g_hook_message;
std::thread::id g_hook_thread;

void record_panic(const Panic& p) noexcept {
    g_hook_message = p.message();
    g_hook_thread = std::this_thread::get_id();
}

TEST(Panic, CarriesMessageAndPlaceAndCallsTheHook) {
    set_panic_hook(record_panic);
    StateVector v(2);
    try {
        v.apply_mat2(63, kX);
        ADD_FAILURE() << "no panic";
    } catch (const Panic& p) {
        EXPECT_STREQ(p.what(), "chunk_size must not be zero");
        EXPECT_TRUE(std::string(p.where().file_name()).ends_with("lowering.cpp"));
        EXPECT_GT(p.where().line(), 0u);
    }
    set_panic_hook(nullptr);
    EXPECT_EQ(g_hook_message, "chunk_size must not be zero");
    EXPECT_EQ(g_hook_thread, std::this_thread::get_id());

    g_hook_message.clear();
    EXPECT_THROW(StateVector(64), Panic);
    EXPECT_TRUE(g_hook_message.empty());  // the hook is gone
}

}  // namespace
}  // namespace vastrel::sim
