// One gate list, every way it can run: gate by gate and planned into
// blocks, on every kernel set this CPU runs (and the SIMD body at eight
// amplitudes a register, through portable vectors, wherever AVX-512 is
// missing), on pools of 1-3 workers, from states full of special values.
// Every run must give the bits of the scalar set run gate by gate on one
// worker, NaN bits included, and the same panic. Also: block shapes from
// cache geometry, and the zeroing of a reused buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "portable8.hpp"
#include "sim/amplitude_buffer.hpp"
#include "sim/executor.hpp"
#include "sim/kernels.hpp"
#include "sim/state_vector.hpp"
#include "sim/thread_pool.hpp"
#include "support.hpp"

namespace vastrel::sim {
namespace {

std::vector<const kernels::KernelSet*> every_set() {
    std::vector<const kernels::KernelSet*> sets = {&kernels::scalar_kernels(), &portable8_kernels()};
    for (const kernels::KernelSet* s : {kernels::avx2_kernels(), kernels::avx512_kernels()}) {
        if (s != nullptr) {
            sets.push_back(s);
        }
    }
    return sets;
}

// ---- Generated cases ----

// Special values; any NaN for a gate's entries, only the NaN that the
// arithmetic produces for a state (the state a run reaches holds no other).
float special(std::mt19937_64& rng, bool any_nan = false) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    static const float values[] = {0.0f, -0.0f, 1e-45f, -3e-39f, kInf, -kInf, 1e-30f, -2e-25f, 0.5f, -1.0f,
                                   std::bit_cast<float>(std::uint32_t{0xFFC00000}),
                                   std::numeric_limits<float>::quiet_NaN(),
                                   std::bit_cast<float>(std::uint32_t{0x7FA00001})};  // a payload
    return values[rng() % (std::size(values) - (any_nan ? 0 : 2))];
}

// Mostly ordinary values, so that arithmetic happens; one in `rarity`
// special. Rare ones leave most registers to the reduced forms, which
// check for them: tile runs take those forms only from a first tile that
// passes.
StateVector awkward_state(unsigned num_qubits, std::uint64_t seed, unsigned rarity = 5) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    StateVector v(num_qubits);
    const auto part = [&] { return rng() % rarity == 0 ? special(rng) : value(rng); };
    for (Complex32& a : v.amplitudes()) {
        a = Complex32{part(), part()};
    }
    return v;
}

// Indices in range, aliases 64 and 2^64 - 64 away, beyond the vector, 63
// and 2^64 - 1; single-qubit targets stay in range (a panic ends a list).
std::uint64_t index(std::mt19937_64& rng, unsigned n, bool wild) {
    const unsigned r = static_cast<unsigned>(rng() % 20);
    const std::uint64_t q = r < 8 ? rng() % std::min(n, 9u) : rng() % n;
    if (!wild || r < 14) {
        return r == 13 ? q + 64 : q;
    }
    const std::uint64_t far[] = {q - 64, n + rng() % (64 - n), 63, ~std::uint64_t{0}, 64 + n};
    return far[r % 5];
}

std::vector<Gate> awkward_gates(std::mt19937_64& rng, unsigned n, std::size_t count, bool end_in_panic) {
    std::uniform_real_distribution<float> angle(-4.0f, 4.0f);
    const auto theta = [&] { return rng() % 12 == 0 ? special(rng, true) : angle(rng); };
    std::vector<Gate> gates;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t t = index(rng, n, false);
        switch (rng() % 6) {
            case 0: gates.push_back(X{t}); break;
            case 1: gates.push_back(H{t}); break;
            case 2: gates.push_back(Rz{t, theta()}); break;
            case 3: gates.push_back(Crz{index(rng, n, true), index(rng, n, true), theta()}); break;
            case 4: {
                const std::uint64_t c = index(rng, n, true);
                std::uint64_t target = index(rng, n, true);
                target = (target & 63) == 63 ? t : target;  // target 63 would panic
                gates.push_back(Cnot{c, target});
                break;
            }
            default:
                gates.push_back(
                    Mat2{t, {{special(rng, true), 0.0f}, {0.5f, -0.25f}, {theta(), 0.0f}, {1.0f, special(rng, true)}}});
                break;
        }
    }
    if (end_in_panic) {
        const Gate panics[] = {X{63}, Cnot{0, ~std::uint64_t{0}}, H{n + rng() % (63 - n)}};
        gates.push_back(panics[rng() % 3]);
        gates.push_back(H{0});
    }
    return gates;
}

std::string run(std::span<const Gate> gates, StateVector& v, const Backend& backend, const BlockShape& shape) {
    return test::panic_message([&] { run_gates(gates, v, &backend, shape); });
}

TEST(ExecutionPaths, EverySetPoolAndShapeGivesTheBitsOfTheScalarSetGateByGate) {
    std::mt19937_64 rng(20261209);
    ThreadPool pools[] = {ThreadPool(1), ThreadPool(2), ThreadPool(3)};
    const BlockShape shapes[] = {kNoBlocks, machine_block_shape(), kDefaultBlockShape,
                                 {.width = 9, .min_low = 3, .max_far = 2, .outer = 11, .sub_width = 7,
                                  .sub_min_low = 2, .sub_max_far = 1, .far_qubit = 8, .sub_far_qubit = 6}};
    const auto sets = every_set();
    for (unsigned n : {1u, 6u, 13u, 17u, 19u}) {
        for (bool end_in_panic : {false, true}) {
            const std::vector<Gate> gates = awkward_gates(rng, n, n < 16 ? 100 : 30, end_in_panic);
            const unsigned rarity = end_in_panic ? 5 : 1000;
            StateVector expected = awkward_state(n, n, rarity);
            const std::string message = run(gates, expected, Backend{&pools[0], &kernels::scalar_kernels()}, kNoBlocks);
            EXPECT_EQ(message == "<no panic>", !end_in_panic) << message;
            for (ThreadPool& pool : pools) {
                for (const kernels::KernelSet* set : sets) {
                    for (const BlockShape& shape : shapes) {
                        StateVector v = awkward_state(n, n, rarity);
                        EXPECT_EQ(run(gates, v, Backend{&pool, set}, shape), message);
                        ASSERT_TRUE(test::same_bits(v.amplitudes(), expected.amplitudes()))
                            << n << " qubits, " << set->name << ", " << pool.num_threads()
                            << " threads, blocks 2^" << shape.width;
                    }
                }
            }
        }
    }
}

// ---- A new vector's zeros ----

// A list that starts as circuits do, on qubit 0, 1, 2, ... up to `top`
// (single-qubit gates of every kind, special entries and angles whose
// products make -0, cnots and crzs on the qubits reached), then goes
// anywhere for `rest` gates.
std::vector<Gate> rising_gates(std::mt19937_64& rng, unsigned n, unsigned top, std::size_t rest, bool end_in_panic) {
    std::uniform_real_distribution<float> angle(-7.0f, 7.0f);
    const auto theta = [&] { return rng() % 8 == 0 ? special(rng, true) : angle(rng); };
    std::vector<Gate> gates;
    for (unsigned q = 0; q < top; ++q) {
        const std::uint64_t below = q == 0 ? 0 : rng() % q;
        switch (rng() % 7) {
            case 0: gates.push_back(X{q}); break;
            case 1: gates.push_back(Rz{q, theta()}); break;
            case 2: gates.push_back(Mat2{q, multiply(matrix_of(H{q}), matrix_of(Rz{q, theta()}))}); break;
            case 3: gates.push_back(Mat2{q, {{special(rng, true), special(rng)}, {0.5f, -0.25f},
                                             {theta(), special(rng)}, {special(rng), 1.0f}}}); break;
            case 4: gates.push_back(Cnot{below, q}); break;
            case 5: gates.push_back(Crz{below, q, theta()}); break;
            default: gates.push_back(H{q}); break;
        }
    }
    const std::vector<Gate> after = awkward_gates(rng, n, rest, end_in_panic);
    gates.insert(gates.end(), after.begin(), after.end());
    return gates;
}

// A new vector knows its amplitudes past the first are +0 and runs the
// first gates on only as much of it as they reach; one whose amplitudes
// were handed out cannot. Both must end with the same bits, and so must a
// new vector taking the gates one call at a time, which carries what it
// knows from call to call.
TEST(ExecutionPaths, ANewVectorGivesTheBitsOfOneWhoseZerosAreNotKnown) {
    std::mt19937_64 rng(20261210);
    ThreadPool pools[] = {ThreadPool(1), ThreadPool(2), ThreadPool(3)};
    const BlockShape shapes[] = {kNoBlocks, machine_block_shape(),
                                 {.width = 9, .min_low = 3, .max_far = 2, .outer = 11, .sub_width = 7,
                                  .sub_min_low = 2, .sub_max_far = 1, .far_qubit = 8, .sub_far_qubit = 6}};
    const auto check = [&](unsigned n, const std::vector<Gate>& gates, unsigned label) {
        StateVector expected(n);
        (void)expected.amplitudes();  // from here on the vector knows nothing
        const std::string message = run(gates, expected, Backend{&pools[0], &kernels::scalar_kernels()}, kNoBlocks);
        StateVector one_by_one(n);
        std::string one_message = "<no panic>";
        for (std::size_t k = 0; k < gates.size() && one_message == "<no panic>"; ++k) {
            one_message = run(std::span(gates).subspan(k, 1), one_by_one, Backend{&pools[1], every_set().back()},
                              kNoBlocks);
        }
        EXPECT_EQ(one_message, message);
        ASSERT_TRUE(test::same_bits(one_by_one.amplitudes(), expected.amplitudes()))
            << n << " qubits, list " << label << ", one by one";
        for (ThreadPool& pool : pools) {
            for (const kernels::KernelSet* set : every_set()) {
                for (const BlockShape& shape : shapes) {
                    StateVector v(n);
                    EXPECT_EQ(run(gates, v, Backend{&pool, set}, shape), message);
                    ASSERT_TRUE(test::same_bits(v.amplitudes(), expected.amplitudes()))
                        << n << " qubits, list " << label << ", " << set->name << ", " << pool.num_threads()
                        << " threads, blocks 2^" << shape.width;
                }
            }
        }
    };
    for (unsigned n : {1u, 2u, 12u, 13u, 17u}) {
        // Each kind of gate whose products make a -0 from +0, last after an
        // H on each qubit below it, so that nothing adds the zeros away.
        const unsigned q = n / 2;
        const Gate last[] = {Rz{q, 3.0f}, Crz{0, q, 3.0f}, Crz{q, q, -3.0f},
                             Mat2{q, multiply(matrix_of(H{q}), matrix_of(Rz{q, 5.0f}))},
                             Mat2{q, {{0.5f, 0.0f}, {0.5f, 0.0f}, {-0.5f, 0.25f}, {-1.0f, 0.5f}}},
                             Mat2{q, {{-0.5f, 0.25f}, {-1.0f, 0.5f}, {0.5f, 0.0f}, {0.5f, 0.0f}}}};
        // Then the same going on to higher qubits, with the zeros' signs
        // repeated in every block the gates reach.
        for (unsigned k = 0; k < 2 * std::size(last); ++k) {
            std::vector<Gate> gates;
            for (unsigned b = 0; b < q; ++b) {
                gates.push_back(H{b});
            }
            gates.push_back(last[k % std::size(last)]);
            if (k >= std::size(last)) {
                gates.insert(gates.end(), {Gate{H{q + 1}}, Gate{Cnot{q, q + 2}}, Gate{X{1}}});
            }
            check(n, gates, k);
        }
        for (unsigned trial = 0; trial < 8; ++trial) {
            // Also mostly ending where the signs of the zeros the last gates
            // made are still to be seen.
            const unsigned top = trial % 4 == 0 ? n : static_cast<unsigned>(rng() % (n + 1));
            check(n, rising_gates(rng, n, top, trial % 4 == 0 ? 20 : 0, trial == 4), 100 + trial);
        }
    }
}

// ---- Reduced arithmetic ----

// Every combination of special values in (a.re, a.im, b.re, b.im), each in
// several lane positions, through every set's mat2 (and its tiles) on
// matrices of every structure the kernels reduce (and one they do not),
// against the scalar set's full formula: a reduced register must never
// differ. Also sparse: the combinations in every other stretch of 64
// pairs, +0 between them, and the first pair ordinary or +0, where
// registers and tiles of +0 are left as they are under matrices and phases
// that keep +0, and must not be under those that make -0 of it.
// One case a kernel set, so that the sets run side by side.
class ReducedArithmetic : public ::testing::TestWithParam<const char*> {};

TEST_P(ReducedArithmetic, EveryCombinationOfSpecialValuesGivesTheFullFormulasBits) {
    const kernels::KernelSet* set = nullptr;
    for (const kernels::KernelSet* s : every_set()) {
        set = std::string(s->name) == GetParam() ? s : set;
    }
    if (set == nullptr) {
        GTEST_SKIP() << "this CPU cannot run " << GetParam();
    }
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const float values[] = {0.0f,   -0.0f, 1e-45f, -3e-39f, 1e-38f, -2.5e-30f,
                            0.75f,  -1.5f, 3e38f,  -kInf,   kInf,   std::bit_cast<float>(std::uint32_t{0xFFC00000})};
    constexpr std::size_t kV = std::size(values);
    constexpr std::size_t kCombos = kV * kV * kV * kV;
    const Complex32 zero{0.0f, 0.0f}, one{1.0f, 0.0f};
    const auto real = [](float a, float b, float c, float d) {
        return Matrix2{{a, 0.0f}, {b, 0.0f}, {c, -0.0f}, {d, 0.0f}};
    };
    const auto butterfly = [](Complex32 p, Complex32 q) { return Matrix2{p, q, p, {-q.re, -q.im}}; };
    const Matrix2 matrices[] = {
        matrix_of(H{0}), matrix_of(X{0}), real(0.51f, -1e-30f, 1e30f, 2.0f), real(-0.0f, 1.0f, 0.25f, -0.0f),
        // Exchanges (X) with zeros of either sign on the diagonal.
        real(-0.0f, 1.0f, 1.0f, 0.0f), {{0.0f, -0.0f}, one, {1.0f, -0.0f}, {-0.0f, -0.0f}},
        real(0.5f, -1e-30f, 1e-30f, -0.5f),  // no entry large enough: not reduced
        matrix_of(Rz{0, 0.3f}), matrix_of(Rz{0, 3.14159274f}), matrix_of(Rz{0, 1e-30f}), matrix_of(Rz{0, 1.5707964f}),
        {one, zero, {-0.0f, 0.0f}, {1e-30f, 1e30f}}, {{1.0f, -0.0f}, zero, zero, {-0.51f, 1e-38f}},
        {one, zero, zero, {0.5f, 0.5f}},  // not reduced
        multiply(matrix_of(Rz{0, 0.7f}), matrix_of(H{0})),  // general: no reduction
        real(0.5f, 0.0f, 2.0f, 0.0f),
        // Butterflies (m10 = m00, m11 = -m01): H*Rz, and entries whose
        // products cancel to zeros, underflow, overflow or are signed zeros.
        multiply(matrix_of(H{0}), matrix_of(Rz{0, 0.7f})), butterfly({0.25f, -0.5f}, {0.5f, 0.5f}),
        butterfly({0.3f, -0.7f}, {1e-30f, 2.0f}), butterfly({0.5f, 0.0f}, {-0.0f, 0.9f}),
        butterfly({0.6f, 0.2f}, {1e-38f, -1e-38f}), butterfly({-3e38f, 1.0f}, {2e38f, 3e38f}),
        // Real m00 (p one product a lane where that is exact): of either
        // zero sign, overflowing, underflowing, and a zero.
        butterfly({0.5f, -0.0f}, {0.25f, 0.75f}), butterfly({3e38f, 0.0f}, {0.5f, -1.0f}),
        butterfly({1e-30f, -0.0f}, {1.0f, 1e-30f}), butterfly({-0.0f, 0.0f}, {0.5f, 0.5f}),
        {{0.3f, -0.7f}, {0.5f, 0.5f}, {0.3f, -0.7f}, {-0.5f, 0.5f}},  // m11 not -m01: not reduced
        // Rows whose products of +0 are both -0 in a part: -0 from +0, and
        // as a crz's phase (m00) -0 from +0 too.
        {{0.5f, 0.0f}, {0.5f, 0.0f}, {-0.5f, 0.25f}, {-1.0f, 0.5f}},
        {{-0.5f, 0.25f}, {-1.0f, 0.5f}, {0.5f, 0.0f}, {0.5f, 0.0f}},
    };
    constexpr unsigned kQubits = 17;  // for the sparse layouts; the dense ones take half
    static_assert(2 * kCombos < (std::size_t{1} << (kQubits - 1)));
    ThreadPool pool(1);
    enum class Layout { Dense, Sparse, SparseFromZero };
    for (unsigned t : {0u, 1u, 2u, 3u, 6u}) {
        for (const auto& [layout, shift] : {std::pair{Layout::Dense, 0u}, {Layout::Dense, 1u}, {Layout::Dense, 3u},
                                            {Layout::Dense, 6u}, {Layout::Sparse, 0u}, {Layout::SparseFromZero, 3u}}) {
            const bool sparse = layout != Layout::Dense;
            const std::size_t n = std::size_t{1} << (sparse ? kQubits : kQubits - 1);
            std::vector<Complex32> state(n, sparse ? Complex32{} : Complex32{0.5f, -0.25f});
            // Pair 0 stays ordinary unless the layout says otherwise: a call
            // whose first pair is not ordinary takes the full formula but for
            // registers of +0.
            if (sparse) {
                state[0] = layout == Layout::Sparse ? Complex32{0.5f, -0.25f} : Complex32{};
            }
            for (std::size_t c_at = 1; c_at <= kCombos; ++c_at) {
                std::size_t c = (c_at + shift) % kCombos;
                const std::size_t p = sparse ? (c_at / 64 * 2 + 1) * 64 + c_at % 64 : c_at;
                const std::size_t i = ((p >> t) << (t + 1)) | (p & ((std::size_t{1} << t) - 1));
                state[i] = {values[c % kV], values[c / kV % kV]};
                c /= kV * kV;
                state[i + (std::size_t{1} << t)] = {values[c % kV], values[c / kV % kV]};
            }
            for (const Matrix2& m : matrices) {
                std::vector<Complex32> expected = state;
                kernels::scalar_kernels().mat2(expected.data(), t, m, 0, n / 2);
                std::vector<Complex32> got = state;
                set->mat2(got.data(), t, m, 0, n / 2);
                ASSERT_TRUE(test::same_bits(got, expected))
                    << set->name << " target " << t << " shift " << shift << (sparse ? " sparse" : "") << " m00 "
                    << m.m00.re << "," << m.m00.im << " m11 " << m.m11.re << "," << m.m11.im;
            }
            // Tiles: the gate on t twice, a layer (the lanes' qubits and the
            // window's in turn, or the window's alone) with the matrices in
            // rotation, and two-qubit gates from t, against a kernel call
            // per gate; t in the lanes or in a window, of consecutive qubits
            // or spread up to the top one.
            const unsigned top = std::countr_zero(n) - 1;
            if (const unsigned lanes = set->tile_lanes, window = set->tile_window; window != 0) {
                const unsigned first = t < lanes + window ? lanes : t;
                std::uint64_t spread = (t >= lanes ? std::uint64_t{1} << t : 0) | std::uint64_t{1} << top;
                for (unsigned q = top - 2; std::popcount(spread) < static_cast<int>(window); q -= 3) {
                    spread |= std::uint64_t{1} << q;
                }
                const std::uint64_t windows[] = {((std::uint64_t{1} << window) - 1) << first, spread};
                for (std::size_t w = 0; w < (shift <= 1 ? 2u : 1u); ++w)
                for (std::size_t k = 0; k < std::size(matrices); ++k) {
                    const std::uint64_t in_window = windows[w];
                    // With an odd shift the first tile's first and last
                    // registers are ordinary: runs found per tile then take
                    // the Real and Phase forms, and meet the combinations
                    // further on.
                    std::vector<Complex32> start = state;
                    if (!sparse && shift % 2 == 1) {
                        for (std::size_t l = 0; l < (std::size_t{1} << lanes); ++l) {
                            start[l] = start[in_window + l] = Complex32{0.5f, -0.25f};
                        }
                    }
                    using Kind = kernels::TileGate::Kind;
                    const auto mat2 = [&](unsigned q, std::size_t j) {
                        return kernels::TileGate{Kind::Mat2, q, q, matrices[j % std::size(matrices)]};
                    };
                    std::vector<kernels::TileGate> twice = {mat2(t, k), mat2(t, k + 1)};
                    std::vector<kernels::TileGate> layer, window_layer;
                    for (unsigned q = 0; q < lanes; ++q) {
                        layer.push_back(mat2(q, k + q));
                    }
                    for (std::uint64_t rest = in_window; rest != 0; rest &= rest - 1) {
                        layer.push_back(mat2(std::countr_zero(rest), k + layer.size()));
                    }
                    window_layer.assign(layer.begin() + lanes, layer.end());
                    // Cnots and crzs between t and each other qubit of the
                    // tile, both ways, and with qubits outside the tile (the
                    // top one, and one between the lanes and the window), a
                    // matrix after each.
                    std::vector<kernels::TileGate> mixed;
                    const Complex32 phase = matrices[k].m00;
                    for (const kernels::TileGate& other : layer) {
                        const unsigned q = other.target;
                        mixed.push_back({Kind::Crz, t, q, {phase, {}, {}, {}}});
                        if (q != t) {
                            mixed.push_back({Kind::Cnot, q, t, {}});
                            mixed.push_back({Kind::Cnot, t, q, {}});
                        }
                        for (unsigned out : {top, top - 1, first - 1}) {
                            if (out < lanes || ((in_window >> out) & 1) != 0) {
                                continue;  // in the tile
                            }
                            mixed.push_back({Kind::Cnot, q, out, {}});
                            mixed.push_back({Kind::Crz, q, out, {phase, {}, {}, {}}});
                            mixed.push_back({Kind::Crz, out, q, {phase, {}, {}, {}}});
                        }
                        mixed.push_back(mat2(q, k + q));
                    }
                    for (const auto& gates : {twice, layer, window_layer, mixed}) {
                        std::vector<Complex32> expected = start;
                        for (const kernels::TileGate& g : gates) {
                            const kernels::KernelSet& scalar = kernels::scalar_kernels();
                            if (g.kind == Kind::Mat2) {
                                scalar.mat2(expected.data(), g.target, g.matrix, 0, n / 2);
                            } else if (g.kind == Kind::Cnot) {
                                scalar.cnot(expected.data(), g.control, g.target, 0, n / 2);
                            } else {
                                scalar.crz(expected.data(), std::min(g.control, g.target),
                                           std::max(g.control, g.target), g.matrix.m00, 0, n / 2);
                            }
                        }
                        std::vector<Complex32> got = start;
                        for (std::size_t from = 0; from < gates.size(); from += kernels::kMaxTileGates) {
                            set->mat2_tile(got.data(), gates.data() + from,
                                           std::min(gates.size() - from, kernels::kMaxTileGates), in_window, 0, n, 0);
                        }
                        ASSERT_TRUE(test::same_bits(got, expected))
                            << set->name << " tile of " << gates.size() << " from target " << t << ", window "
                            << in_window << ", matrix " << k
                            << ", shift " << shift << (sparse ? ", sparse" : "");
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sets, ReducedArithmetic, ::testing::Values("portable8", "avx2", "avx512"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// ---- Planning ----

// A layer of single-qubit gates on every qubit of a large state is one pass
// for the qubits an outer block spans, then one for each further set of
// qubits that fits beside the low bits every block spans; a second layer
// adds no more than the first took.
TEST(Planner, ALayerOnEveryQubitTakesAPassPerOuterBlockOfQubits) {
    for (const BlockShape& shape : {kDefaultBlockShape, machine_block_shape()}) {
        for (unsigned n = shape.width + 2; n <= 31; ++n) {
            std::vector<Gate> layer;
            for (unsigned q = 0; q < n; ++q) {
                layer.push_back(H{q});
            }
            const unsigned outer = std::min(shape.outer, n - 1);  // two workers: two outer blocks at least
            const std::size_t expected = 1 + (n - outer + (outer - shape.min_low) - 1) / (outer - shape.min_low);
            EXPECT_EQ(count_passes(layer, std::size_t{1} << n, 2, shape), expected) << n;
            std::vector<Gate> two = layer;
            two.insert(two.end(), layer.begin(), layer.end());
            EXPECT_LE(count_passes(two, std::size_t{1} << n, 2, shape), 2 * expected) << n;
            two.push_back(X{63});  // counting stops at a panic, as a run does
            two.push_back(H{0});
            EXPECT_LE(count_passes(two, std::size_t{1} << n, 2, shape), 2 * expected) << n;
        }
    }
}

// A pass that runs out of qubits cuts its last group in two only where
// passes read memory (vectors of 2^(outer + 4) amplitudes on). On smaller
// ones the group waits for the next pass: of two layers of H only the last
// pass, which the list's end closes, holds two groups. Larger ones make
// fewer passes at the cost of a sweep for each cut.
TEST(Planner, GroupsAreCutAtAPassEndOnlyOnVectorsFarLargerThanTheSharedCache) {
    const BlockShape& shape = kDefaultBlockShape;
    for (unsigned n = shape.width + 2; n <= shape.outer + 6; ++n) {
        std::vector<Gate> layers;
        for (unsigned q = 0; q < 2 * n; ++q) {
            layers.push_back(H{q % n});
        }
        const PlanCounts counts = count_plan(layers, std::size_t{1} << n, 2, shape);
        if (n < shape.outer + 4) {
            EXPECT_LE(counts.sweeps, counts.passes + 1) << n;
        } else {
            EXPECT_GE(counts.sweeps, counts.passes + 2) << n;
        }
    }
}

// ---- Block shapes from the caches ----

TEST(BlockShapes, FollowTheCachesAndTheFallbackIsTheMeasuredShape) {
    const auto same = [](const BlockShape& a, const BlockShape& b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    EXPECT_TRUE(same(shape_for(kFallbackCaches), kDefaultBlockShape));
    // A 2 MiB 16-way L2: sub-blocks of 1 MiB, far qubits from where a
    // 128 KiB way ends.
    const BlockShape big = shape_for({std::size_t{2} << 20, 16, std::size_t{64} << 20});
    EXPECT_EQ(big.sub_width, 17u);
    EXPECT_EQ(big.width, 19u);
    EXPECT_EQ(big.sub_far_qubit, 14u);
    EXPECT_EQ(big.sub_max_far, 4u);
    EXPECT_EQ(big.outer, 21u);

    const auto dir = std::filesystem::temp_directory_path() / ("vastrel-caches-" + std::to_string(::getpid()));
    const auto write = [&](int index, const char* level, const char* type, const char* size, const char* ways) {
        const auto d = dir / ("index" + std::to_string(index));
        std::filesystem::create_directories(d);
        std::ofstream(d / "level") << level << "\n";
        std::ofstream(d / "type") << type << "\n";
        std::ofstream(d / "size") << size << "\n";
        std::ofstream(d / "ways_of_associativity") << ways << "\n";
    };
    write(0, "1", "Data", "32K", "8");
    write(1, "1", "Instruction", "32K", "8");
    write(2, "2", "Unified", "1024K", "8");
    write(3, "3", "Unified", "32768K", "16");
    const auto caches = read_cache_geometry(dir.c_str());
    ASSERT_TRUE(caches.has_value());
    EXPECT_EQ(caches->l2_size, std::size_t{1} << 20);
    EXPECT_EQ(caches->l2_ways, 8u);
    EXPECT_EQ(caches->l3_size, std::size_t{32} << 20);
    write(2, "2", "Unified", "garbage", "8");
    EXPECT_FALSE(read_cache_geometry(dir.c_str()).has_value());
    std::filesystem::remove_all(dir);
    EXPECT_FALSE(read_cache_geometry(dir.c_str()).has_value());

    const auto parsed = parse_block_shape("17,11,5,20,15,10,3,14,13");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_TRUE(same(*parsed, kDefaultBlockShape));
    for (const char* bad : {"", "17,11", "17,11,5,20,15,10,3,14", "17,11,5,20,15,10,3,x", "99,1,1,1,1,1,1"}) {
        EXPECT_FALSE(parse_block_shape(bad).has_value()) << bad;
    }
}

// ---- Reused buffers ----

TEST(AmplitudeBuffers, ZeroStateCoversABufferThatEndsInsideAPage) {
    for (std::size_t threads : {1u, 2u, 3u}) {
        ThreadPool pool(threads);
        for (std::size_t length : {std::size_t{1}, std::size_t{511}, std::size_t{3 * 512 + 5}, std::size_t{4096}}) {
            std::vector<Complex32> data(length, Complex32{7.0f, -7.0f});
            write_zero_state(data.data(), length, &pool);
            EXPECT_TRUE(test::same_bits(data[0], test::kOne));
            for (std::size_t i = 1; i < length; ++i) {
                ASSERT_TRUE(test::same_bits(data[i], test::kZero)) << length << " at " << i;
            }
        }
    }
}

}  // namespace
}  // namespace vastrel::sim
