// Gate: the closed tagged union of the simulator's gate kinds. The variant's
// alternative order is the tag order (X=0 ... Mat2=5), so gate.index() is
// the tag that fusion tests and execution dispatches on.
#pragma once

#include <bit>
#include <cstdint>
#include <variant>

#include "complex.hpp"

namespace vastrel::sim {

// Row-major 2x2 matrix; rows are indexed by the new value of the target bit.
struct Matrix2 {
    Complex32 m00, m01, m10, m11;
};

struct X { std::uint64_t target; };
struct H { std::uint64_t target; };
struct Rz { std::uint64_t target; float theta; };
struct Crz { std::uint64_t control; std::uint64_t target; float theta; };
struct Cnot { std::uint64_t control; std::uint64_t target; };
struct Mat2 { std::uint64_t target; Matrix2 matrix; };

using Gate = std::variant<X, H, Rz, Crz, Cnot, Mat2>;

enum class GateTag : std::uint32_t { X = 0, H = 1, Rz = 2, Crz = 3, Cnot = 4, Mat2 = 5 };

inline GateTag tag_of(const Gate& g) { return static_cast<GateTag>(g.index()); }

// X, H and Rz: the kinds with a built-in matrix (tags below 3).
inline bool is_single_qubit(const Gate& g) { return g.index() < 3; }

// The float nearest 1/sqrt(2), bit pattern 0x3F3504F3.
inline constexpr float kS = std::bit_cast<float>(std::uint32_t{0x3F3504F3});

// The matrix of X, H, Rz or Mat2 (Rz's entry from one sincosf call of the
// stored angle). Fusion and execution both use this, so a gate gives the same
// bits whether it runs alone or fused. Must not be called for Crz or Cnot.
Matrix2 matrix_of(const Gate& g);

// The target of X, H, Rz or Mat2 (and of Crz and Cnot).
std::uint64_t target_of(const Gate& g);

// g·m with full complex products: applying m and then g equals applying g·m.
Matrix2 multiply(const Matrix2& g, const Matrix2& m);

// Whether the kernels' formula turns a pair of +0 amplitudes into +0 again,
// bit for bit, under m (m00*a + m01*b, m10*a + m11*b), and one +0 amplitude
// under a crz's phase (amplitude*phase): each product of a +0 takes the
// signs of the entry's parts, and a sum of two zeros is -0 only where both
// are (an infinite or NaN part makes NaN).
bool keeps_zeros(const Matrix2& m) noexcept;
bool phase_keeps_zeros(Complex32 phase) noexcept;

}  // namespace vastrel::sim
