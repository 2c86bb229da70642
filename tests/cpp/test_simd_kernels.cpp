// Every SIMD kernel set this CPU supports, and the SIMD body on portable
// vectors of eight amplitudes, against the scalar set, bit for bit:
// random states and matrices full of signed zeros, infinities, NaN,
// subnormals and huge values, every target and control of an 11-qubit
// vector, and ranges of pairs that start and end anywhere, so the scalar
// ends of a range and the in-register layouts of low targets all run.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "portable8.hpp"
#include "sim/gate.hpp"
#include "sim/kernels.hpp"

namespace vastrel::sim::kernels {
namespace {

constexpr unsigned kQubits = 11;
constexpr std::size_t kLength = std::size_t{1} << kQubits;
constexpr std::size_t kPairs = kLength / 2;
// Amplitudes of sentinel on each side of the vector, to catch stray writes.
constexpr std::size_t kGuard = 16;

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

const std::vector<float>& special_values() {
    static const std::vector<float> values = {
        0.0f, -0.0f, kInf, -kInf, kNaN, -kNaN,
        std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::denorm_min(),
        1.5e-39f, -7e-40f,  // subnormal
        std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
        -std::numeric_limits<float>::max(), 3e38f, -2e30f, 1.0f, -1.0f,
    };
    return values;
}

// Mostly ordinary numbers, one in four a special value.
float random_float(std::mt19937& rng) {
    std::uniform_int_distribution<int> pick(0, 3);
    if (pick(rng) == 0) {
        const auto& s = special_values();
        return s[std::uniform_int_distribution<std::size_t>(0, s.size() - 1)(rng)];
    }
    return std::uniform_real_distribution<float>(-2.0f, 2.0f)(rng);
}

Complex32 random_complex(std::mt19937& rng) { return {random_float(rng), random_float(rng)}; }

// The matrices every mat2 case runs: built-in gate matrices (real entries
// with +0.0 imaginary parts, which must still go through the full product),
// and random ones with special values in any part.
std::vector<Matrix2> test_matrices(std::mt19937& rng) {
    const Complex32 one{1.0f, 0.0f}, zero{0.0f, 0.0f};
    std::vector<Matrix2> ms = {
        {zero, one, one, zero},                              // X
        {{kS, 0.0f}, {kS, 0.0f}, {kS, 0.0f}, {-kS, 0.0f}},  // H
        {one, zero, zero, {0.87758255f, 0.47942555f}},       // a phase
    };
    for (int k = 0; k < 5; ++k) {
        ms.push_back({random_complex(rng), random_complex(rng), random_complex(rng), random_complex(rng)});
    }
    for (int k = 0; k < 2; ++k) {  // real entries only
        ms.push_back({{random_float(rng), 0.0f}, {random_float(rng), 0.0f},
                      {random_float(rng), 0.0f}, {random_float(rng), 0.0f}});
    }
    ms.push_back(multiply(matrix_of(H{0}), matrix_of(Rz{0, 0.7f})));  // the butterfly form
    return ms;
}

std::vector<Complex32> test_phases(std::mt19937& rng) {
    std::vector<Complex32> ps = {{1.0f, 0.0f}, {0.0f, 1.0f}, {-0.0f, -0.0f}, {kNaN, 0.0f}, {kInf, -0.0f}};
    for (int k = 0; k < 3; ++k) {
        const float theta = std::uniform_real_distribution<float>(-7.0f, 7.0f)(rng);
        ps.push_back({std::cos(theta), std::sin(theta)});
        ps.push_back(random_complex(rng));
    }
    return ps;
}

struct Range {
    std::size_t begin;
    std::size_t end;
};

std::size_t lower_index_of(std::size_t p, unsigned t) {
    return ((p >> t) << (t + 1)) | (p & ((std::size_t{1} << t) - 1));
}

// Whole vector, empty, tiny and odd ranges, and random ones.
std::vector<Range> test_ranges(std::mt19937& rng) {
    std::vector<Range> rs = {{0, kPairs}, {1, kPairs - 1}, {3, 3}, {5, 6}, {7, 20}, {kPairs - 3, kPairs}};
    std::uniform_int_distribution<std::size_t> any(0, kPairs);
    std::uniform_int_distribution<std::size_t> short_length(1, 19);
    for (int k = 0; k < 4; ++k) {
        std::size_t a = any(rng), b = any(rng);
        rs.push_back({std::min(a, b), std::max(a, b)});
        const std::size_t start = any(rng) % (kPairs - 20);
        rs.push_back({start, start + short_length(rng)});
    }
    return rs;
}

// A vector of kLength amplitudes inside sentinel guards, at a chosen
// misalignment (in amplitudes) from a 64-byte boundary.
class Buffer {
public:
    Buffer(const std::vector<Complex32>& state, std::size_t misalign)
        : storage_(kLength + 2 * kGuard + 8), offset_(kGuard + misalign) {
        for (auto& x : storage_) {
            x = kSentinel;
        }
        for (std::size_t g = 0; g < kLength; ++g) {
            data()[g] = state[g];
        }
    }
    Complex32* data() { return storage_.data() + offset_; }
    bool guards_intact() const {
        for (std::size_t k = 0; k < storage_.size(); ++k) {
            if ((k < offset_ || k >= offset_ + kLength) &&
                (std::bit_cast<std::uint64_t>(storage_[k]) != std::bit_cast<std::uint64_t>(kSentinel))) {
                return false;
            }
        }
        return true;
    }

private:
    static constexpr Complex32 kSentinel{-1.25e-7f, 9.5e7f};
    std::vector<Complex32> storage_;
    std::size_t offset_;
};

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Bit-identical, except that any NaN matches any NaN when nan_free is set
// (payloads are not part of the contract, NaN versus number is).
bool same(float x, float y, bool nan_free) {
    return bits(x) == bits(y) || (nan_free && std::isnan(x) && std::isnan(y));
}

::testing::AssertionResult equal_states(Buffer& expected, Buffer& actual, bool nan_free) {
    if (!actual.guards_intact()) {
        return ::testing::AssertionFailure() << "wrote outside the vector";
    }
    for (std::size_t g = 0; g < kLength; ++g) {
        const Complex32 e = expected.data()[g], a = actual.data()[g];
        if (!same(e.re, a.re, nan_free) || !same(e.im, a.im, nan_free)) {
            char text[160];
            std::snprintf(text, sizeof text, "amplitude %zu: expected (%a, %a) [%08x %08x], got (%a, %a) [%08x %08x]", g,
                          e.re, e.im, bits(e.re), bits(e.im), a.re, a.im, bits(a.re), bits(a.im));
            return ::testing::AssertionFailure() << text;
        }
    }
    return ::testing::AssertionSuccess();
}

std::vector<Complex32> random_state(std::mt19937& rng) {
    std::vector<Complex32> s(kLength);
    for (auto& x : s) {
        x = random_complex(rng);
    }
    return s;
}

std::string describe(const Range& r, std::size_t misalign) {
    return "pairs [" + std::to_string(r.begin) + ", " + std::to_string(r.end) + "), misalignment " +
           std::to_string(misalign);
}

struct SetUnderTest {
    const char* name;
    const KernelSet* (*get)();
};

class SimdSets : public ::testing::TestWithParam<SetUnderTest> {
protected:
    void SetUp() override {
        set_ = GetParam().get();
        if (set_ == nullptr) {
            GTEST_SKIP() << GetParam().name << " is not supported on this CPU";
        }
    }
    const KernelSet* set_ = nullptr;
    const KernelSet& scalar_ = scalar_kernels();
};

TEST_P(SimdSets, Mat2MatchesScalar) {
    std::mt19937 rng(1234);
    const auto matrices = test_matrices(rng);
    for (unsigned t = 0; t < kQubits; ++t) {
        for (const Range& r : test_ranges(rng)) {
            const auto state = random_state(rng);
            for (std::size_t misalign : {0, 1}) {
                for (std::size_t k = 0; k < matrices.size(); ++k) {
                    Buffer expected(state, misalign), actual(state, misalign);
                    scalar_.mat2(expected.data(), t, matrices[k], r.begin, r.end);
                    set_->mat2(actual.data(), t, matrices[k], r.begin, r.end);
                    ASSERT_TRUE(equal_states(expected, actual, true))
                        << "target " << t << ", matrix " << k << ", " << describe(r, misalign);
                }
            }
        }
    }
}

// An exchange moves bits, so here even NaN payloads must match.
TEST_P(SimdSets, CnotMatchesScalarExactly) {
    std::mt19937 rng(5678);
    for (unsigned t = 0; t < kQubits; ++t) {
        for (unsigned c = 0; c < kQubits; ++c) {
            if (c == t) {
                continue;
            }
            for (const Range& r : test_ranges(rng)) {
                const auto state = random_state(rng);
                for (std::size_t misalign : {0, 1}) {
                    Buffer expected(state, misalign), actual(state, misalign);
                    scalar_.cnot(expected.data(), c, t, r.begin, r.end);
                    set_->cnot(actual.data(), c, t, r.begin, r.end);
                    ASSERT_TRUE(equal_states(expected, actual, false))
                        << "control " << c << ", target " << t << ", " << describe(r, misalign);
                }
            }
        }
    }
}

TEST_P(SimdSets, CrzMatchesScalar) {
    std::mt19937 rng(91011);
    const auto phases = test_phases(rng);
    for (unsigned t = 0; t < kQubits; ++t) {
        for (unsigned c = 0; c < kQubits; ++c) {  // c == t included
            for (const Range& r : test_ranges(rng)) {
                const auto state = random_state(rng);
                const Complex32 p = phases[std::uniform_int_distribution<std::size_t>(0, phases.size() - 1)(rng)];
                for (std::size_t misalign : {0, 1}) {
                    Buffer expected(state, misalign), actual(state, misalign);
                    scalar_.crz(expected.data(), c, t, p, r.begin, r.end);
                    set_->crz(actual.data(), c, t, p, r.begin, r.end);
                    ASSERT_TRUE(equal_states(expected, actual, true))
                        << "control " << c << ", target " << t << ", phase (" << p.re << ", " << p.im << "), "
                        << describe(r, misalign);
                }
            }
        }
    }
}

// A matrix with exchanges and a flip (mat2_exchanged) against the scalar
// set, and on whole vectors against the cnots and the matrix it stands for:
// every target, controls and flips from the register width on, each of
// them absent or not.
TEST_P(SimdSets, ExchangedMat2MatchesScalar) {
    std::mt19937 rng(2468);
    const auto matrices = test_matrices(rng);
    const unsigned lanes = set_->tile_lanes;
    std::uniform_int_distribution<unsigned> bit(lanes, kQubits);  // kQubits: none
    auto pick = [&](unsigned t) {
        const unsigned b = bit(rng);
        return b == t || b == kQubits ? kNoExchange : b;
    };
    for (unsigned t = lanes; t < kQubits; ++t) {
        for (const Range& r : test_ranges(rng)) {
            const auto state = random_state(rng);
            Exchanges x{pick(t), pick(t), pick(t)};
            const bool whole = r.begin == 0 && r.end == kPairs;
            if (whole && x.flip != kNoExchange) {
                x.before = x.after = kNoExchange;
            }
            for (std::size_t misalign : {0, 1}) {
                for (std::size_t k = 0; k < matrices.size(); ++k) {
                    Buffer expected(state, misalign), actual(state, misalign), composed(state, misalign);
                    scalar_.mat2_exchanged(expected.data(), t, matrices[k], x, r.begin, r.end);
                    set_->mat2_exchanged(actual.data(), t, matrices[k], x, r.begin, r.end);
                    const std::string what = "target " + std::to_string(t) + ", before " + std::to_string(x.before) +
                                             ", after " + std::to_string(x.after) + ", flip " +
                                             std::to_string(x.flip) + ", matrix " + std::to_string(k) + ", " +
                                             describe(r, misalign);
                    ASSERT_TRUE(equal_states(expected, actual, true)) << what;
                    if (whole) {
                        Complex32* d = composed.data();
                        const auto cnot = [&](unsigned c, unsigned target) {
                            if (c != kNoExchange) {
                                scalar_.cnot(d, c, target, 0, kPairs);
                            }
                        };
                        cnot(x.before, t);
                        cnot(x.flip == kNoExchange ? x.flip : t, x.flip);
                        scalar_.mat2(d, t, matrices[k], 0, kPairs);
                        cnot(x.flip == kNoExchange ? x.flip : t, x.flip);
                        cnot(x.after, t);
                        ASSERT_TRUE(equal_states(composed, expected, true)) << what;
                    }
                }
            }
        }
    }
}

// Splitting a vector's pairs into pieces at arbitrary points, as the pool
// does, gives the same bits as one call over all of them.
TEST_P(SimdSets, SplitRangesMatchOneCall) {
    std::mt19937 rng(121314);
    const auto matrices = test_matrices(rng);
    for (unsigned t = 0; t < kQubits; ++t) {
        const auto state = random_state(rng);
        Buffer whole(state, 0), pieces(state, 0);
        set_->mat2(whole.data(), t, matrices[3], 0, kPairs);
        std::size_t at = 0;
        while (at < kPairs) {
            const std::size_t next = std::min(kPairs, at + std::uniform_int_distribution<std::size_t>(1, 97)(rng));
            set_->mat2(pieces.data(), t, matrices[3], at, next);
            at = next;
        }
        ASSERT_TRUE(equal_states(whole, pieces, true)) << "target " << t;
    }
}

// A range of 2^17 pairs or more streams from memory and takes a sweep of
// its own (interleaved cursors, no run-by-run walk): whole vectors of 2^19
// amplitudes and pool-sized pieces of them, against the scalar set.
TEST_P(SimdSets, StreamingRangesMatchScalar) {
    constexpr unsigned kBig = 19;
    constexpr std::size_t kBigLength = std::size_t{1} << kBig;
    constexpr std::size_t kBigPairs = kBigLength / 2;
    std::mt19937 rng(151617);
    std::vector<Complex32> state(kBigLength);
    for (auto& x : state) {
        x = random_complex(rng);
    }
    const auto matrices = test_matrices(rng);
    const Range ranges[] = {{0, kBigPairs}, {3, kBigPairs - 5}, {kBigPairs / 8, kBigPairs / 8 * 3 + 1}};
    auto check = [&](const char* what, unsigned c, unsigned t, auto&& call, bool nan_free) {
        for (const Range& r : ranges) {
            std::vector<Complex32> expected = state, actual = state;
            call(scalar_, expected.data(), r);
            call(*set_, actual.data(), r);
            for (std::size_t g = 0; g < kBigLength; ++g) {
                const Complex32 e = expected[g], a = actual[g];
                ASSERT_TRUE(same(e.re, a.re, nan_free) && same(e.im, a.im, nan_free))
                    << what << " control " << c << " target " << t << ", pairs [" << r.begin << ", " << r.end
                    << "): amplitude " << g;
            }
        }
    };
    for (unsigned t : {0u, 1u, 2u, 3u, 4u, 9u, 17u, 18u}) {
        for (std::size_t k : {std::size_t{1}, std::size_t{3}}) {
            check("mat2", t, t, [&](const KernelSet& ks, Complex32* d, Range r) {
                ks.mat2(d, t, matrices[k], r.begin, r.end);
            }, true);
        }
        for (unsigned c : {0u, 1u, 2u, 5u, 18u, 17u}) {
            if (c == t) {
                continue;
            }
            check("cnot", c, t, [&](const KernelSet& ks, Complex32* d, Range r) {
                ks.cnot(d, c, t, r.begin, r.end);
            }, false);
        }
        for (unsigned c : {0u, 2u, t, 18u}) {
            const Complex32 phase{0.87758255f, -0.47942555f};
            check("crz", c, t, [&](const KernelSet& ks, Complex32* d, Range r) {
                ks.crz(d, c, t, phase, r.begin, r.end);
            }, true);
        }        if (t >= set_->tile_lanes) {
            for (unsigned c : {5u, 18u, 17u}) {
                if (c != t) {
                    check("exchanged mat2", c, t, [&](const KernelSet& ks, Complex32* d, Range r) {
                        const unsigned other = t == 4 ? 3 : 4;
                        const Exchanges x = c == 18 ? Exchanges{c, kNoExchange, other} : Exchanges{c, other};
                        ks.mat2_exchanged(d, t, matrices.back(), x, r.begin, r.end);
                    }, true);
                }
            }
        }
    }
}

// A far target's streaming range writes its partners in bursts through a
// buffer; a shorter range (a cache block's) goes through a stage of 2^10
// amplitudes. Vectors of 2^27 amplitudes are only reserved (mapped, never
// touched as a whole): each case fills the windows its pairs use, with a
// margin on each side, in two copies, and compares them after the scalar and
// the SIMD call. Ranges start and end off the register width and off a
// stage, cross from one run of the target to the next, and controls cover
// the lanes, runs shorter than a burst or a stage and runs longer, above the
// target too.
TEST_P(SimdSets, FarTargetsMatchScalar) {
    constexpr unsigned kHuge = kFarTarget + 2;
    constexpr std::size_t kHugeLength = std::size_t{1} << kHuge;
    constexpr std::size_t kMargin = 256;
    std::mt19937 rng(181920);
    const auto matrices = test_matrices(rng);
    auto reserve = [] {
        void* p = mmap(nullptr, kHugeLength * sizeof(Complex32), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        return p == MAP_FAILED ? nullptr : static_cast<Complex32*>(p);
    };
    Complex32* expected = reserve();
    Complex32* actual = reserve();
    ASSERT_NE(expected, nullptr);
    ASSERT_NE(actual, nullptr);
    auto check = [&](const char* what, unsigned c, unsigned t, auto&& call, bool nan_free) {
        const std::size_t h = std::size_t{1} << t;
        // Half the pairs: where target kFarTarget's first run ends.
        constexpr std::size_t kHalf = kHugeLength / 4;
        constexpr std::size_t kLong = kStreamPairs;
        const Range ranges[] = {{0, kLong + 3000},
                                {7, kLong + 1238},
                                {kHalf - kLong / 2 - 333, kHalf + kLong / 2 + 517},
                                {2 * kHalf - kLong - 90, 2 * kHalf},
                                {5, 3 * 1024 + 3},
                                {kHalf - 2500, kHalf + 1700},
                                {2 * kHalf - 4096, 2 * kHalf}};
        for (const Range& r : ranges) {
            // The amplitudes of the pairs, and a margin around them.
            std::vector<Range> windows;
            auto cover = [&](std::size_t g) {
                const Range w{g > kMargin ? g - kMargin : 0, std::min(kHugeLength, g + kMargin + 1)};
                if (!windows.empty() && windows.back().end >= w.begin && windows.back().begin <= w.begin) {
                    windows.back().end = std::max(windows.back().end, w.end);
                } else {
                    windows.push_back(w);
                }
            };
            for (std::size_t p = r.begin; p < r.end; ++p) {
                cover(lower_index_of(p, t));
            }
            for (std::size_t p = r.begin; p < r.end; ++p) {
                cover(lower_index_of(p, t) + h);
            }
            for (const Range& w : windows) {
                for (std::size_t g = w.begin; g < w.end; ++g) {
                    expected[g] = actual[g] = random_complex(rng);
                }
            }
            call(scalar_, expected, r);
            call(*set_, actual, r);
            for (const Range& w : windows) {
                for (std::size_t g = w.begin; g < w.end; ++g) {
                    const Complex32 e = expected[g], a = actual[g];
                    ASSERT_TRUE(same(e.re, a.re, nan_free) && same(e.im, a.im, nan_free))
                        << what << " control " << c << " target " << t << ", pairs [" << r.begin << ", " << r.end
                        << "): amplitude " << g;
                }
            }
        }
    };
    for (unsigned t : {kFarTarget, kFarTarget + 1}) {
        for (std::size_t k : {std::size_t{1}, std::size_t{3}}) {
            check("mat2", t, t, [&](const KernelSet& ks, Complex32* d, Range r) {
                ks.mat2(d, t, matrices[k], r.begin, r.end);
            }, true);
        }
        for (unsigned c : {0u, 1u, 2u, 3u, 5u, 6u, 9u, 11u, kFarTarget - 1, kFarTarget, kFarTarget + 1}) {
            if (c == t) {
                continue;
            }
            check("cnot", c, t, [&](const KernelSet& ks, Complex32* d, Range r) {
                ks.cnot(d, c, t, r.begin, r.end);
            }, false);
        }
        for (unsigned c : {5u, 11u, kFarTarget - 1}) {
            check("exchanged mat2", c, t, [&](const KernelSet& ks, Complex32* d, Range r) {
                ks.mat2_exchanged(d, t, matrices.back(), {kNoExchange, c}, r.begin, r.end);
                ks.mat2_exchanged(d, t, matrices[1], {c, t == kFarTarget ? t + 1 : t - 1}, r.begin, r.end);
            }, true);
        }
    }
    munmap(expected, kHugeLength * sizeof(Complex32));
    munmap(actual, kHugeLength * sizeof(Complex32));
}

INSTANTIATE_TEST_SUITE_P(Sets, SimdSets,
                         ::testing::Values(SetUnderTest{"avx2", &avx2_kernels}, SetUnderTest{"avx512", &avx512_kernels},
                                           SetUnderTest{"portable8", [] { return &portable8_kernels(); }}),
                         [](const ::testing::TestParamInfo<SetUnderTest>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vastrel::sim::kernels
