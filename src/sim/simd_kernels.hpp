// The three kernels written once for every SIMD instruction set, over a
// traits type `Isa` that says how a register of 2^Isa::kLog2Width amplitudes
// is loaded, multiplied, permuted and blended (isa_avx2.hpp and
// isa_avx512.hpp hold one each; kernels_avx2.cpp and kernels_avx512.cpp
// instantiate the kernels over them). Included only by
// ISA-specific translation units; see kernel_walks.hpp for why everything
// here has internal linkage.
//
// A complex product by a constant y uses y split into (re, re, ...) and
// (-im, +im, ...): x*y.re + swap(x)*(-im, +im) gives, lane by lane,
// x.re*y.re + (-(x.im*y.im)) and x.im*y.re + x.re*y.im. Negating an operand
// negates the rounded product exactly, and a + (-b) is a - b by definition,
// so each lane carries exactly the scalar formula's four roundings.
//
// What Isa provides (V a register, Mask a lane selection):
//   kLog2Width; load(p), store(p, v) (unaligned), load_aligned(p);
//   splat(float), imag_factor(neg, im) = (neg, im, neg, im, ...), mul, add,
//   sub, swap_parts;
//   lanes_with_bit(q) (the lanes of amplitudes whose bit q < kLog2Width is
//   set), all_lanes(), both(m, m'), blend(a, b, m) (b where m);
//   Pairs pairs(t), to_pairs(P, x, y) and from_pairs(P, x, y): two
//   registers of whole blocks of 2^(t+1) amplitudes (t < kLog2Width) into
//   the lower and the upper members of their pairs, and back;
//   Flip flip(t), flipped(F, v): each lane takes amplitude k ^ 2^t;
//   finite_nonzero(x, y): every lane of x and y is finite and not zero;
//   kClassTest: whether that test is one instruction a register, and then
//   finite_no_minus_zero(x, y): every lane finite and not -0;
//   nonzero_numbers(x): no lane of x is a zero or a NaN;
//   either_bits(x, y): the bitwise or; zero_bits(x): every bit of x is zero.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "kernel_walks.hpp"
#include "kernels.hpp"

namespace vastrel::sim::kernels {
namespace {

// Lane f of a register holds float f of its amplitudes: part f & 1 of
// amplitude f >> 1. These give, lane by lane, the indices and masks that
// sets with general permutes build their constants from.

// Whether lane f belongs to an amplitude whose bit q is set.
constexpr bool lane_has_bit(unsigned f, unsigned q) { return (((f >> 1) >> q) & 1) != 0; }

// The lane of the register pair (x, y) (y's lanes numbered on from x's) that
// lane f of the lower (upper) members of the pairs of t comes from.
constexpr unsigned gather_lane(unsigned f, unsigned t, bool upper) {
    const unsigned low = (1u << t) - 1;
    const unsigned k = f >> 1;
    const unsigned g = ((k & ~low) << 1) | (k & low) | (upper ? 1u << t : 0u);
    return 2 * g + (f & 1);
}

// The lane of (lower, upper) that lane f of half `half` (0: x, 1: y) of the
// register pair comes from, for registers of `width` amplitudes.
constexpr unsigned scatter_lane(unsigned f, unsigned t, unsigned half, unsigned width) {
    const unsigned low = (1u << t) - 1;
    const unsigned g = half * width + (f >> 1);
    const unsigned k = ((g >> 1) & ~low) | (g & low);  // g without bit t
    return 2 * width * ((g >> t) & 1) + 2 * k + (f & 1);
}

// The lane of the same register holding amplitude (f >> 1) ^ 2^t.
constexpr unsigned flip_lane(unsigned f, unsigned t) { return f ^ (2u << t); }

// -x, except that a NaN keeps its sign: x - y returns a NaN y as it is,
// and so must x + (-y).
inline float negated(float x) { return x != x ? x : -x; }

template <class Isa>
struct SimdKernels {
    using V = typename Isa::V;
    using Mask = typename Isa::Mask;
    static constexpr unsigned kLog2Width = Isa::kLog2Width;
    static constexpr std::size_t kWidth = std::size_t{1} << kLog2Width;

    // A complex constant per lane, split as described at the top.
    struct Factor {
        V re;
        V im;
    };

    static Factor factor(Complex32 y) { return {Isa::splat(y.re), Isa::imag_factor(negated(y.im), y.im)}; }

    // x*y, given x and swap_parts(x).
    [[gnu::always_inline]] static V mul(V x, V x_swapped, const Factor& y) {
        return Isa::add(Isa::mul(x, y.re), Isa::mul(x_swapped, y.im));
    }

    [[gnu::always_inline]] static V scaled(V v, const Factor& y) { return mul(v, Isa::swap_parts(v), y); }

    static float* floats(Complex32* p) { return reinterpret_cast<float*>(p); }

    // With t >= kLog2Width a step is kWidth pairs whose lower amplitudes are
    // one register at lower_index(p, t) and whose partners are the register
    // 2^t further on. Below that a step is kWidth / 2 pairs, both members of
    // each in the one register at amplitude 2p (p is then a multiple of 2^t).
    static std::size_t step_of(unsigned t) { return t >= kLog2Width ? kWidth : kWidth / 2; }

    // Writes the register of partner results at from (a far target's burst
    // buffer, aligned) to amplitude j.
    static auto copy_register(Complex32* data) {
        return [data](std::size_t j, const Complex32* from) {
            Isa::store(floats(data + j), Isa::load_aligned(reinterpret_cast<const float*>(from)));
        };
    }

    // What a matrix's entries let mat2 leave out, found once per call from
    // their values. A reduced form computes some of the full formula's
    // products and sums, bit for bit, and leaves out terms that are a
    // finite part times a ±0 entry: signed zeros. A signed zero added to a
    // sum changes it only where the sum is a zero, and then only to +0. So
    // a register pair's reduced results are the full formula's wherever
    // none of their lanes is -0, infinite or NaN (an infinite or NaN input
    // carries into them), shown form by form below; each pair is checked on
    // its results, and one that fails takes the full formula. The check:
    // on sets that classify a register in one instruction, whether the
    // results are finite and free of -0, which lets +0 through (real
    // states, whose imaginary parts are +0, and stretches of zeros); on
    // others, whether the results' product is finite and nonzero in every
    // lane (one test for both registers; a product that merely underflows
    // or overflows fails it, and so do +0 parts).
    // - Real: every entry (r, ±0) with r finite (H, X, and real products of
    //   such gates). A result
    //   part is P + P', two real products, where the formula has
    //   (P + z) + (P' + z') with z, z' signed zeros. Unless P and P' are
    //   both zeros the zeros change nothing; if they are, the formula's sum
    //   is -0 only where P and P' are -0, and then so is P + P'.
    // - Phase: m00 = (1, ±0), m01 = m10 = (±0, ±0), m11 = (c, s) finite
    //   (Rz). The lower member stays as it is
    //   (the formula adds only zeros to its parts); the upper one takes the
    //   complex product m11*b, to which the formula adds the zeros of
    //   m10*a.
    // - Butterfly: m10 = m00 and m11 = -m01, bit for bit, all finite (the
    //   product H*Rz of an rz followed by an h, and any gate of that form).
    //   Then m10*a is m00*a, and m11*b is -(m01*b) lane by lane wherever
    //   m01*b is neither a zero nor a NaN: negating both factors of each
    //   real product negates it exactly, and a sum of two negated terms is
    //   the negated sum unless it is a zero (x + -x is +0 either way) or a
    //   NaN. So p = m00*a and q = m01*b give (p + q, p - q), two complex
    //   products instead of four; a register with a zero or a NaN in q
    //   takes m11*b in full instead. (The check is on q itself: finite
    //   nonzero inputs can still cancel to a zero. Where q is a zero, p - q
    //   and p + m11*b differ only where p is -0 too and p - q is -0, which
    //   is what lets the checked form below pass zeros.)
    //   With m00 real, (s, ±0), and a set that classifies a register in one
    //   instruction, p is s*a, one product a lane, and the pair is checked
    //   on (p + q, p - q) as above; one that fails takes p in full and the
    //   test on q.
    // structure_of asks Real and Phase for more than the argument needs: in
    // each row an entry above 1/2 in size (for Phase, c or s). Matrices of
    // tiny entries would make products that underflow, fail the check
    // nearly everywhere and pay for both forms; they take the full formula
    // from the start.
    // A call whose first pair has a zero, an infinity or a NaN (a sparse
    // stretch of the state) takes the full formula throughout. There, and
    // where Real and Phase fall back to the full formula, a register pair
    // whose bits are all zero is left as it is when the matrix turns a pair
    // of +0 into +0 again (keeps_zeros): those are the bits the formula
    // would give it. States whose support is a small part of the vector
    // (basis states moved by X and cnot, a few qubits in superposition)
    // are mostly such pairs. (A structure of its own for this, a fifth
    // instantiation, ran the unit out of its inlining budget: the walks
    // went out of line.)
    // The walks, and the scalar pairs at the ends of a range, are unchanged.
    enum class Structure { General, Real, Phase, Butterfly };

    static Structure structure_of(const Matrix2& m) {
        const auto zero = [](Complex32 e) { return e.re == 0.0f && e.im == 0.0f; };
        const auto finite = [](float x) { return x - x == 0.0f; };
        const auto real = [&](Complex32 e) { return e.im == 0.0f && finite(e.re); };
        const auto large = [](float x) { return x > 0.5f || x < -0.5f; };
        if (m.m00.re == 1.0f && m.m00.im == 0.0f && zero(m.m01) && zero(m.m10) && finite(m.m11.re) &&
            finite(m.m11.im) && (large(m.m11.re) || large(m.m11.im))) {
            return Structure::Phase;
        }
        if (real(m.m00) && real(m.m01) && real(m.m10) && real(m.m11) && (large(m.m00.re) || large(m.m01.re)) &&
            (large(m.m10.re) || large(m.m11.re))) {
            return Structure::Real;
        }
        return butterfly(m) ? Structure::Butterfly : Structure::General;
    }

    // Whether m has the butterfly form: m10 = m00 and m11 = -m01 bit for
    // bit, all finite.
    static bool butterfly(const Matrix2& m) {
        const auto finite = [](float x) { return x - x == 0.0f; };
        const auto bits = [](float x) { return std::bit_cast<std::uint32_t>(x); };
        const std::uint32_t sign = 0x80000000u;
        return finite(m.m00.re) && finite(m.m00.im) && finite(m.m01.re) && finite(m.m01.im) &&
               bits(m.m10.re) == bits(m.m00.re) && bits(m.m10.im) == bits(m.m00.im) &&
               bits(m.m11.re) == (bits(m.m01.re) ^ sign) && bits(m.m11.im) == (bits(m.m01.im) ^ sign);
    }

    // How a Real matrix's reduced form may be shortened further (its
    // imaginary parts are zeros, which that form does not read):
    // - Mirrored: m10.re = m00.re and m11.re = -m01.re bit for bit (H).
    // - Exchange: m00.re and m11.re zeros of either sign, m01.re = m10.re =
    //   1 (X). Where a and b are finite, m00.re*a is a zero and b*1 is b,
    //   so the reduced results are (z + b, a + z') part by part with z, z'
    //   signed zeros: b and a themselves wherever a part is nonzero or +0
    //   (-0 + +0 is +0). Only a -0 part can come out as +0, and
    //   exact_outputs refuses -0 and anything not finite in (b, a); where
    //   it passes (b, a), those are the reduced results, which pass it too.
    enum class RealShape : std::uint8_t { Plain, Mirrored, Exchange };
    static RealShape real_shape(const Matrix2& m) {
        const auto bits = [](float x) { return std::bit_cast<std::uint32_t>(x); };
        if (m.m00.re == 0.0f && m.m11.re == 0.0f && m.m01.re == 1.0f && m.m10.re == 1.0f) {
            return RealShape::Exchange;
        }
        if (bits(m.m10.re) == bits(m.m00.re) && bits(m.m11.re) == (bits(m.m01.re) ^ 0x80000000u)) {
            return RealShape::Mirrored;
        }
        return RealShape::Plain;
    }

    // Whether the four parts of the pair are finite and nonzero.
    static bool plain(Complex32 a, Complex32 b) {
        const auto ok = [](float x) { return x != 0.0f && x - x == 0.0f; };
        return ok(a.re) && ok(a.im) && ok(b.re) && ok(b.im);
    }

    static void mat2(Complex32* data, unsigned t, const Matrix2& m, std::size_t begin, std::size_t end) {
        mat2_between<false>(data, t, m, Exchanges{}, begin, end);
    }

    // The exchanges cost no arithmetic: the registers of a pair are loaded
    // from, or stored to, its two places the other way round, and a flip
    // loads and stores the partner at its flipped place. Only for t and the
    // bits of x from kLog2Width on, so that a register's pairs share them,
    // and with a flip only below kFarTarget. Instantiated in a translation unit of its own
    // (exchanged_*.cpp): beside mat2's in one unit, the copies of mat2_as
    // ran the unit out of its inlining budget, and cnot's and crz's walks
    // went out of line.
    static void mat2_exchanged(Complex32* data, unsigned t, const Matrix2& m, const Exchanges& x,
                               std::size_t begin, std::size_t end) {
        assert(t >= kLog2Width && x.before >= kLog2Width && x.after >= kLog2Width && x.flip >= kLog2Width);
        assert(x.flip == kNoExchange || t < kFarTarget);
        mat2_between<true>(data, t, m, x, begin, end);
    }

    // mat2_exchanged, or mat2 without Exchanged: the exchanges have loops of
    // their own, since tested in mat2's they made it a third slower.
    template <bool Exchanged>
    static void mat2_between(Complex32* data, unsigned t, const Matrix2& m, const Exchanges& x, std::size_t begin,
                             std::size_t end) {
        Structure structure = structure_of(m);
        bool sparse = false;
        if (begin < end) {
            const std::size_t i = lower_index(begin, t);
            if (!plain(data[i], data[i + (std::size_t{1} << t)])) {
                structure = Structure::General;
                sparse = true;
            }
        }
        const bool zeros_stay =
            (sparse || structure == Structure::Real || structure == Structure::Phase) && keeps_zeros(m);
        switch (structure) {
            case Structure::Real:
                return mat2_as<Structure::Real, Exchanged>(data, t, m, x, begin, end, zeros_stay);
            case Structure::Phase:
                return mat2_as<Structure::Phase, Exchanged>(data, t, m, x, begin, end, zeros_stay);
            case Structure::Butterfly:
                return mat2_as<Structure::Butterfly, Exchanged>(data, t, m, x, begin, end);
            default:
                return mat2_as<Structure::General, Exchanged>(data, t, m, x, begin, end, zeros_stay);
        }
    }

    // (a, b) becomes (m00*a + m01*b, m10*a + m11*b), the full formula.
    [[gnu::always_inline]] static void full_pair(V& a, V& b, const Factor& m00, const Factor& m01, const Factor& m10,
                                                 const Factor& m11) {
        const V as = Isa::swap_parts(a);
        const V bs = Isa::swap_parts(b);
        const V na = Isa::add(mul(a, as, m00), mul(b, bs, m01));
        b = Isa::add(mul(a, as, m10), mul(b, bs, m11));
        a = na;
    }

    // The same for a butterfly matrix (m10 = m00, m11 = -m01): p = m00*a,
    // q = m01*b give (p + q, p - q), or m11*b in full where q has a zero or
    // a NaN in it. With m00 real, (s, ±0) (H*Rz), and a set that classifies
    // a register in one instruction, p is first taken as s*a, one product a
    // lane, and kept where the results pass exact_outputs (see Structure).
    // (On AVX2 the test costs about what it saves.)
    [[gnu::always_inline]] static void butterfly_pair(V& a, V& b, const Factor& m00, const Factor& m01,
                                                      const Factor& m11, bool real_m00) {
        const V bs = Isa::swap_parts(b);
        const V q = mul(b, bs, m01);
        if (Isa::kClassTest && real_m00) {
            const V p = Isa::mul(a, m00.re);
            const V na = Isa::add(p, q);
            const V nb = Isa::sub(p, q);
            if (exact_outputs(na, nb)) [[likely]] {
                a = na;
                b = nb;
                return;
            }
        }
        const V p = mul(a, Isa::swap_parts(a), m00);
        a = Isa::add(p, q);
        if (Isa::nonzero_numbers(q)) [[likely]] {
            b = Isa::sub(p, q);
            return;
        }
        b = Isa::add(p, mul(b, bs, m11));
    }

    // Real's and Phase's reduced forms on a register pair whose results
    // pass exact_outputs; false, with nothing done, otherwise. Phase leaves
    // a as it is. A mirrored Real matrix (H) takes two products, not four:
    // a*m10 is a*m00 and b*m11 is -(b*m01), bit for bit, and p + (-q) is
    // p - q wherever p and q are not NaN; where either is NaN or infinite,
    // p + q is not finite, which exact_outputs refuses either way. An
    // exchange (X) takes none: the pair trades places (real_shape).
    template <Structure S>
    [[gnu::always_inline]] static bool reduced_pair(V& a, V& b, const Factor& m00, const Factor& m01,
                                                    const Factor& m10, const Factor& m11,
                                                    RealShape shape = RealShape::Plain) {
        V na;
        V nb;
        if constexpr (S == Structure::Real) {
            if (shape == RealShape::Exchange) {
                if (!exact_outputs(b, a)) [[unlikely]] {
                    return false;
                }
                std::swap(a, b);
                return true;
            }
            const V p = Isa::mul(a, m00.re);
            const V q = Isa::mul(b, m01.re);
            na = Isa::add(p, q);
            nb = shape == RealShape::Mirrored ? Isa::sub(p, q)
                                              : Isa::add(Isa::mul(a, m10.re), Isa::mul(b, m11.re));
        } else {
            na = a;  // the formula gives a back where a is finite and free of -0
            nb = mul(b, Isa::swap_parts(b), m11);
        }
        if (!exact_outputs(na, nb)) [[unlikely]] {
            return false;
        }
        a = na;
        b = nb;
        return true;
    }

    // Whether a reduced form's results na, nb are the full formula's (see
    // Structure): finite and free of -0 in every lane. With a class test
    // that is two tests and no product: a product test first would pass
    // only where this one does, and costs a multiply a pair, the unit the
    // reduced forms are bound by (on Zen 4 an H layer over a real state,
    // where that test always failed, ran 0.73x as long without it).
    [[gnu::always_inline]] static bool exact_outputs(V na, V nb) {
        if constexpr (Isa::kClassTest) {
            return Isa::finite_no_minus_zero(na, nb);
        }
        const V both = Isa::mul(na, nb);
        return Isa::finite_nonzero(both, both);
    }

    template <Structure S, bool Exchanged>
    static void mat2_as(Complex32* data, unsigned t, const Matrix2& m, const Exchanges& x, std::size_t begin,
                        std::size_t end, bool zeros_stay = false) {
        const std::size_t h = std::size_t{1} << t;
        auto one = [&](std::size_t i, std::size_t j) {
            if constexpr (Exchanged) {
                mat2_exchanged_at(data, i, j, m, x);
            } else {
                mat2_at(data, i, j, m);
            }
        };
        auto scalar = [&](std::size_t p) {
            const std::size_t i = lower_index(p, t);
            one(i, i + h);
        };
        float* base = floats(data);
        const Factor m00 = factor(m.m00), m01 = factor(m.m01), m10 = factor(m.m10), m11 = factor(m.m11);
        // (a, b) becomes (m00*a + m01*b, m10*a + m11*b), lane by lane.
        // Returns false where a came out as it went in (Phase's reduced
        // form), so that its register need not be stored. (Leaving pairs of
        // +0 unstored too measured 3-5% slower on sparse states, though it
        // writes less.)
        const bool real_m00 = m.m00.im == 0.0f;
        const RealShape shape = S == Structure::Real ? real_shape(m) : RealShape::Plain;
        auto apply = [&](V& a, V& b) __attribute__((always_inline)) -> bool {
            if constexpr (S == Structure::Butterfly) {
                butterfly_pair(a, b, m00, m01, m11, real_m00);
                return true;
            }
            if constexpr (S == Structure::Real || S == Structure::Phase) {
                if (reduced_pair<S>(a, b, m00, m01, m10, m11, shape)) {
                    return S == Structure::Real;
                }
            }
            if (zeros_stay && Isa::zero_bits(Isa::either_bits(a, b))) {
                return true;
            }
            full_pair(a, b, m00, m01, m10, m11);
            return true;
        };
        // From kLog2Width on, a step is kWidth pairs: the lower members one
        // register at i, their partners the register 2^t further on. The
        // software prefetch serves only a range that streams from memory; in
        // a cache block it would cost a load slot per register for nothing.
        // The partners' results go to out: the partners themselves, or the
        // buffer of a far target's burst.
        // The exchanges of the kWidth pairs from lower amplitude i, which
        // share their bits from kLog2Width on, swap where the two registers
        // are loaded from and where their results go.
        auto pair_step = [&](std::size_t i, float* pa, float* pb, float* out, std::size_t ahead)
                             __attribute__((always_inline)) {
            if (ahead != 0) {
                prefetch_ahead(pa, ahead);
                prefetch_ahead(pb, ahead);
            }
            const bool swap_in = Exchanged && ((i >> x.before) & 1) != 0;
            V a = Isa::load(swap_in ? pb : pa);
            V b = Isa::load(swap_in ? pa : pb);
            // An Rz's lower members, left as they are, are not stored: their
            // lines stay clean and are never written back, so an Rz that
            // makes a pass of its own moves three quarters of its bytes.
            const bool changed = apply(a, b);
            if (Exchanged && ((i >> x.after) & 1) != 0) {
                Isa::store(pa, b);
                Isa::store(out, a);
                return;
            }
            if (changed || swap_in) {
                Isa::store(pa, a);
            }
            Isa::store(out, b);
        };
        if (t >= kLog2Width) {
            walk_pairs(
                data, t, begin, end, kWidth, kLog2Width, scalar, one,
                [&](std::size_t i, std::size_t j, Complex32* out, std::size_t ahead) {
                    if constexpr (Exchanged) {
                        // A flip keeps t from the far targets, whose partners go through a buffer.
                        if (x.flip != kNoExchange) {
                            j = flipped(j, x);
                            out = data + j;
                        }
                    }
                    pair_step(i, base + 2 * i, base + 2 * j, floats(out), ahead);
                },
                [&](std::size_t i, Complex32* partner) {
                    pair_step(i, base + 2 * i, floats(partner), floats(partner), 0);
                },
                copy_register(data));
            return;
        }
        if constexpr (Exchanged) {
            return;  // no exchanges below the register width
        }
        // Below the register width the kWidth pairs of a step fill two
        // registers at amplitude 2p; they are regrouped into lower and upper
        // members, go through the same arithmetic, and are put back.
        const auto pairs = Isa::pairs(t);
        sweep(begin, end, kWidth, scalar, [&](std::size_t p) {
            float* q = base + 4 * p;
            prefetch_ahead(q);
            if (2 * kWidth * sizeof(Complex32) > 64) {
                prefetch_ahead(q + 2 * kWidth);  // the second register starts another line
            }
            V a = Isa::load(q);
            V b = Isa::load(q + 2 * kWidth);
            Isa::to_pairs(pairs, a, b);
            apply(a, b);
            Isa::from_pairs(pairs, a, b);
            Isa::store(q, a);
            Isa::store(q + 2 * kWidth, b);
        });
    }

    // Exchanges the lanes of the registers at pa and pb chosen by control
    // when blended, else the whole registers; pb's new value goes to out
    // (pb itself, or a far target's burst buffer).
    [[gnu::always_inline]] static void exchange_lanes(float* pa, const float* pb, float* out, bool blended,
                                                      Mask control) {
        const V a = Isa::load(pa);
        const V b = Isa::load(pb);
        Isa::store(pa, blended ? Isa::blend(a, b, control) : b);
        Isa::store(out, blended ? Isa::blend(b, a, control) : a);
    }

    // cnot with target kLog2Width or above on a range in a cache block: only
    // the registers whose pairs qualify, in order (the kWidth pairs of a
    // register share bit c). Out of line: inlined into cnot, whose far-target
    // bursts use most registers, it had GCC keep the blend mask on the stack
    // and reload it for every register.
    [[gnu::noinline]] static void cnot_in_cache(Complex32* data, unsigned c, unsigned t, std::size_t begin,
                                                std::size_t end) {
        auto scalar = [&](std::size_t p) { cnot_pair(data, c, t, p); };
        float* base = floats(data);
        const bool lane_control = c < kLog2Width;
        const Mask control = lane_control ? Isa::lanes_with_bit(c) : Isa::all_lanes();
        const std::size_t h = std::size_t{1} << t;
        const std::size_t mask = control_mask(c, t, lane_control);
        auto walk = [&](auto blended, auto) {
            sweep_set(begin, end, kWidth, mask, scalar, [&](std::size_t p) {
                const std::size_t i = lower_index(p, t);
                float* pb = base + 2 * (i + h);
                exchange_lanes(base + 2 * i, pb, pb, blended, control);
            });
        };
        with_flags(lane_control, false, walk);
    }

    // cnot with a far target, per case: in bursts when the range streams
    // (walk_far_cnot), through the stage in a cache block (walk_staged).
    template <bool Blended>
    [[gnu::noinline]] static bool cnot_far(Complex32* data, unsigned c, unsigned t, std::size_t begin,
                                           std::size_t end) {
        const Mask control = Blended ? Isa::lanes_with_bit(c) : Isa::all_lanes();
        if (walk_far_cnot<Blended>(
                data, c, t, begin, end, kWidth,
                [control](float* pa, const float* pb, float* out) { exchange_lanes(pa, pb, out, Blended, control); },
                [](const float* pb, float* out) { Isa::store(out, Isa::load(pb)); }, copy_register(data))) {
            return true;
        }
        const std::size_t h = std::size_t{1} << t;
        float* base = floats(data);
        return walk_staged(
            data, c, t, begin, end, kWidth, [&](std::size_t g) { cnot_at(data, c, g, g + h); },
            [&](std::size_t g, Complex32* partner) {
                if (Blended || ((g >> c) & 1)) {
                    exchange_lanes(base + 2 * g, floats(partner), floats(partner), Blended, control);
                }
            });
    }

    static void cnot(Complex32* data, unsigned c, unsigned t, std::size_t begin, std::size_t end) {
        auto scalar = [&](std::size_t p) { cnot_pair(data, c, t, p); };
        float* base = floats(data);
        // From kLog2Width on, bit c is the same for a whole register, which
        // is then exchanged whole or skipped (and never read).
        const bool lane_control = c < kLog2Width;
        const Mask control = lane_control ? Isa::lanes_with_bit(c) : Isa::all_lanes();
        auto touched = [&](std::size_t g) { return lane_control || ((g >> c) & 1); };
        if (t >= kLog2Width) {
            const std::size_t h = std::size_t{1} << t;
            auto exchange = [&](float* pa, const float* pb, float* out) {
                exchange_lanes(pa, pb, out, lane_control, control);
            };
            // A far target: in bursts, or through the stage in a cache block.
            if (lane_control ? cnot_far<true>(data, c, t, begin, end) : cnot_far<false>(data, c, t, begin, end)) {
                return;
            }
            // Run by run: with the control bit above the lanes only the runs
            // where it is set, exchanged whole; with it in the lanes every
            // run, the lanes chosen by a blend.
            if (walk_controlled(
                    c, t, false, begin, end, kWidth, kLog2Width, [&](std::size_t g) { cnot_at(data, c, g, g + h); },
                    [&](std::size_t g) {
                        float* pb = base + 2 * (g + h);
                        exchange(base + 2 * g, pb, pb);
                    })) {
                return;
            }
            // Short runs in a cache block.
            if (!streams(begin, end)) {
                cnot_in_cache(data, c, t, begin, end);
                return;
            }
            sweep(begin, end, kWidth, scalar, [&](std::size_t p) {
                const std::size_t i = lower_index(p, t);
                float* pa = base + 2 * i;
                float* pb = base + 2 * (i + h);
                if (touched(i + kAhead)) {
                    prefetch_ahead(pa);
                }
                if (touched(i + h + kAhead)) {
                    prefetch_ahead(pb);
                }
                if (touched(i)) {
                    exchange(pa, pb, pb);
                }
            });
            return;
        }
        // The target in the lanes: each register exchanges lanes with
        // itself. In a cache block, with bit c above the lanes, only the
        // registers where it is set, exchanged whole; otherwise every
        // register, blended.
        const auto partner = Isa::flip(t);
        if (!streams(begin, end)) {
            const std::size_t mask = control_mask(c, t, lane_control);
            // One loop per case, so that none tests the case per register.
            auto walk = [&](auto blended, auto) {
                sweep_set(begin, end, step_of(t), mask, scalar, [&](std::size_t p) {
                    float* q = base + 4 * p;
                    const V v = Isa::load(q);
                    const V x = Isa::flipped(partner, v);
                    Isa::store(q, blended ? Isa::blend(v, x, control) : x);
                });
            };
            with_flags(lane_control, false, walk);
            return;
        }
        sweep(begin, end, step_of(t), scalar, [&](std::size_t p) {
            const std::size_t g = 2 * p;
            float* q = base + 2 * g;
            if (touched(g + kAhead)) {
                prefetch_ahead(q);
            }
            if (!touched(g)) {
                return;
            }
            const V v = Isa::load(q);
            Isa::store(q, Isa::blend(v, Isa::flipped(partner, v), control));
        });
    }

    static void crz(Complex32* data, unsigned c, unsigned t, Complex32 phase, std::size_t begin, std::size_t end) {
        auto scalar = [&](std::size_t p) { crz_pair(data, c, t, phase, p); };
        float* base = floats(data);
        const Factor y = factor(phase);
        // The lanes to multiply in a register: bit t set (when t is below
        // the register width) and bit c set (likewise); a bit from
        // kLog2Width on is the same for the whole register, which is then
        // multiplied or skipped.
        const bool lane_control = c < kLog2Width;
        const bool lane_target = t < kLog2Width;
        Mask chosen = Isa::all_lanes();
        if (lane_control) {
            chosen = Isa::both(chosen, Isa::lanes_with_bit(c));
        }
        if (lane_target) {
            chosen = Isa::both(chosen, Isa::lanes_with_bit(t));
        }
        // Run by run over the partners: with the control bit above the lanes
        // only the runs where it is set, every lane multiplied; with it in
        // the lanes every run, the lanes chosen by a blend. (A target in the
        // lanes never walks runs.)
        if (walk_controlled(
                c, t, true, begin, end, kWidth, kLog2Width, [&](std::size_t g) { crz_at(data, c, g, phase); },
                [&](std::size_t g) {
                    float* q = base + 2 * g;
                    const V v = Isa::load(q);
                    const V r = scaled(v, y);
                    Isa::store(q, lane_control ? Isa::blend(v, r, chosen) : r);
                })) {
            return;
        }
        // In a cache block otherwise: only the registers whose pairs
        // qualify, in order (the pairs of a register share bit c), those
        // with bit c in the lanes or the target in the lanes blended. With
        // both in the lanes every register qualifies, and the sweep below is
        // faster.
        if (!streams(begin, end) && !(lane_control && lane_target)) {
            const std::size_t mask = control_mask(c, t, lane_control);
            const bool blend = lane_control || lane_target;
            const std::size_t h = std::size_t{1} << t;
            sweep_set(begin, end, step_of(t), mask, scalar, [&](std::size_t p) {
                float* q = base + 2 * (lane_target ? 2 * p : lower_index(p, t) + h);
                const V v = Isa::load(q);
                const V r = scaled(v, y);
                Isa::store(q, blend ? Isa::blend(v, r, chosen) : r);
            });
            return;
        }
        auto touched = [&](std::size_t g) {
            return (lane_control || ((g >> c) & 1)) && (lane_target || ((g >> t) & 1));
        };
        auto scale = [&](float* q, std::size_t g) {
            if (touched(g + kAhead)) {
                prefetch_ahead(q);
            }
            if (!touched(g)) {
                return;
            }
            const V v = Isa::load(q);
            Isa::store(q, Isa::blend(v, scaled(v, y), chosen));
        };
        if (t >= kLog2Width) {
            // Only the partners change: the register 2^t above the lower ones.
            const std::size_t h = std::size_t{1} << t;
            sweep(begin, end, kWidth, scalar, [&](std::size_t p) {
                const std::size_t j = lower_index(p, t) + h;
                scale(base + 2 * j, j);
            });
            return;
        }
        sweep(begin, end, step_of(t), scalar, [&](std::size_t p) { scale(base + 4 * p, 2 * p); });
    }

    // The set, with its tiles (simd_tiles.hpp, built in a unit of its own).
    static constexpr KernelSet set(const char* name, ExchangedFunction exchanged, TileFunction tiles,
                                   unsigned tile_window) {
        return {name, mat2, cnot, crz, exchanged, tiles, kLog2Width, tile_window};
    }
};

}  // namespace
}  // namespace vastrel::sim::kernels
