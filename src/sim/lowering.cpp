// Lowering a gate to its kernel call: the index rules in one place.
#include "lowering.hpp"

#include <math.h>

#include <bit>
#include <string>

#include "panic.hpp"

namespace vastrel::sim {

namespace {

// Shifts take their count modulo 64, so an index of 64 acts on qubit 0.
unsigned qubit(std::uint64_t index) { return static_cast<unsigned>(index & 63); }

// The chunk size 2^(t+1) of target 63 does not fit a word.
constexpr unsigned kNoChunk = 63;

bool inside(unsigned q, std::size_t n) { return (std::uint64_t{1} << q) < n; }

// The NaN x86 arithmetic produces for an invalid operation (inf - inf,
// 0 * inf). An operation with one NaN operand returns that operand and one
// with two returns the first, whose place the compiler may swap in each
// copy of a loop; so as long as every NaN in the state is this one, every
// NaN computed is this one too, whatever the kernel set or the split. The
// state starts without NaN, and a gate's entries are made so here (a NaN
// angle's sincosf, or a fused product, may carry any NaN).
const float kIndefinite = std::bit_cast<float>(std::uint32_t{0xFFC00000});

float indefinite_if_nan(float x) { return x != x ? kIndefinite : x; }

Complex32 indefinite_if_nan(Complex32 z) { return {indefinite_if_nan(z.re), indefinite_if_nan(z.im)}; }

Matrix2 indefinite_if_nan(const Matrix2& m) {
    return {indefinite_if_nan(m.m00), indefinite_if_nan(m.m01), indefinite_if_nan(m.m10), indefinite_if_nan(m.m11)};
}

}  // namespace

Op lower(const Gate& g, std::size_t n) {
    const auto bit = [](unsigned q) { return std::uint64_t{1} << q; };
    switch (tag_of(g)) {
        case GateTag::Crz: {
            const Crz& crz = std::get<Crz>(g);
            const unsigned c = qubit(crz.control);
            const unsigned t = qubit(crz.target);
            float sin_theta = 0.0f;
            float cos_theta = 0.0f;
            ::sincosf(crz.theta, &sin_theta, &cos_theta);
            const Complex32 phase = indefinite_if_nan(Complex32{cos_theta, sin_theta});
            // The amplitudes with both bits set are symmetric in the two
            // bits: the pairs of the higher one are walked and the lower one
            // tested, which spreads the qualifying pairs evenly.
            const bool acts = inside(t, n) && inside(c, n);
            return {Op::Kind::Crz, acts ? Effect::Acts : Effect::Nothing, c < t ? c : t, c < t ? t : c,
                    {phase, {}, {}, {}}, acts ? bit(c) | bit(t) : 0};
        }
        case GateTag::Cnot: {
            const Cnot& cnot = std::get<Cnot>(g);
            const unsigned c = qubit(cnot.control);
            const unsigned t = qubit(cnot.target);
            Effect effect = Effect::Acts;
            if (t == kNoChunk) {
                effect = Effect::Panics;
            } else if (c == t || !inside(t, n) || !inside(c, n)) {
                effect = Effect::Nothing;  // no pair has its control bit set inside the vector
            }
            return {Op::Kind::Cnot, effect, c, t, {}, effect == Effect::Acts ? bit(c) | bit(t) : 0};
        }
        default: {
            const unsigned t = qubit(target_of(g));
            // Beyond the vector, the partner of the first amplitude is out of bounds.
            const bool acts = t != kNoChunk && inside(t, n);
            return {Op::Kind::Mat2, acts ? Effect::Acts : Effect::Panics, t, t, indefinite_if_nan(matrix_of(g)),
                    acts ? bit(t) : 0};
        }
    }
}

bool asks_for_pool(const Op& op) noexcept { return op.effect != Effect::Panics || op.pair_target != kNoChunk; }

bool keeps_zeros(const Op& op) noexcept {
    switch (op.kind) {
        case Op::Kind::Mat2:
            return keeps_zeros(op.matrix);
        case Op::Kind::Crz:
            return phase_keeps_zeros(op.matrix.m00);
        case Op::Kind::Cnot:
            return true;
    }
    return false;
}

void raise_panic(const Op& op, std::size_t n) {
    if (op.pair_target == kNoChunk) {
        throw Panic("chunk_size must not be zero");
    }
    throw Panic("index out of bounds: the len is " + std::to_string(n) + " but the index is " +
                std::to_string(std::uint64_t{1} << op.pair_target));
}

}  // namespace vastrel::sim
