// Gate matrices and their product, shared by fusion and execution so that a
// gate gives the same bits alone or fused.
#include "gate.hpp"

#include <math.h>

#include <bit>
#include <cstdint>
#include <type_traits>

namespace vastrel::sim {

namespace {

constexpr Complex32 kZero{0.0f, 0.0f};
constexpr Complex32 kOne{1.0f, 0.0f};
constexpr Complex32 kSC{kS, 0.0f};
constexpr Complex32 kMinusS{-kS, 0.0f};

}  // namespace

Matrix2 matrix_of(const Gate& g) {
    switch (g.index()) {
        case 0:
            return {kZero, kOne, kOne, kZero};
        case 1:
            return {kSC, kSC, kSC, kMinusS};
        case 2: {
            // One sincosf call of the stored single-precision angle; the whole
            // angle, no halving and no global phase.
            float sin_theta = 0.0f;
            float cos_theta = 0.0f;
            ::sincosf(std::get<Rz>(g).theta, &sin_theta, &cos_theta);
            return {kOne, kZero, kZero, Complex32{cos_theta, sin_theta}};
        }
        case 5:
            return std::get<Mat2>(g).matrix;
        default:
            // Crz and Cnot have no 2x2 matrix; callers never ask.
            return {kOne, kZero, kZero, kOne};
    }
}

std::uint64_t target_of(const Gate& g) {
    return std::visit([](const auto& v) { return v.target; }, g);
}

namespace {

bool plus_zero(Complex32 z) {
    return std::bit_cast<std::uint32_t>(z.re) == 0 && std::bit_cast<std::uint32_t>(z.im) == 0;
}

}  // namespace

bool keeps_zeros(const Matrix2& m) noexcept {
    const Complex32 zero{0.0f, 0.0f};
    return plus_zero(m.m00 * zero + m.m01 * zero) && plus_zero(m.m10 * zero + m.m11 * zero);
}

bool phase_keeps_zeros(Complex32 phase) noexcept { return plus_zero(Complex32{0.0f, 0.0f} * phase); }

Matrix2 multiply(const Matrix2& g, const Matrix2& m) {
    return {g.m00 * m.m00 + g.m01 * m.m10, g.m00 * m.m01 + g.m01 * m.m11,
            g.m10 * m.m00 + g.m11 * m.m10, g.m10 * m.m01 + g.m11 * m.m11};
}

}  // namespace vastrel::sim
