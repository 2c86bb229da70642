// Tiles, written once for every SIMD instruction set over the same `Isa`
// traits as simd_kernels.hpp, whose arithmetic they reuse lane for lane.
// Built in units of their own (tiles_avx2.cpp, tiles_avx512.cpp): in the
// kernels' unit their code would count against GCC's inlining budget
// there and push the kernels' own walks out of line.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "kernels.hpp"
#include "simd_kernels.hpp"

namespace vastrel::sim::kernels {
namespace {

template <class Isa>
struct SimdTiles {
    using K = SimdKernels<Isa>;
    using V = typename Isa::V;
    using Mask = typename Isa::Mask;
    using Factor = typename K::Factor;
    static constexpr unsigned kLog2Width = Isa::kLog2Width;
    static constexpr std::size_t kWidth = K::kWidth;

    // A tile is kTileRegs registers: the amplitudes whose indices differ from
    // its first only in the qubits in the lanes (below kLog2Width) and in a
    // window of kTileRegBits qubits above them (any, lowest first), which
    // choose the register. A run of gates on those qubits goes over the
    // range tile by tile, all of its gates while the tile is in registers:
    // one load and one store a register for the whole run, where the
    // kernels take one each per gate. A matrix takes the full formula, or a
    // reduced form where it has one (the same bits; see form_of), lane for
    // lane as mat2 computes them; a cnot moves registers or lanes; a crz
    // multiplies the lanes it changes as the crz kernel does. The gates go
    // in order: every amplitude gets exactly the operations of one kernel
    // call per gate.
    // Half the register file: 8 of AVX2's 16, 16 of AVX-512's 32 (so at
    // eight amplitudes a register). The rest hold products and sums.
    static constexpr unsigned kTileRegs = kLog2Width >= 3 ? 16 : 8;
    static constexpr unsigned kTileRegBits = std::countr_zero(kTileRegs);
    // Qubits of a tile, numbered within it: the lanes, then the window.
    static constexpr unsigned kTileQubits = kLog2Width + kTileRegBits;

    // The arithmetic a matrix takes in a tile: the butterfly form, or on
    // sets that classify a register in one instruction also mat2's Real
    // and Phase forms (each register pair checked, the full formula where
    // the check fails); the full formula otherwise. (On AVX2 the Real and
    // Phase checks cost about what they save in a tile.)
    using Form = typename K::Structure;
    static Form form_of(const Matrix2& m) {
        if (K::butterfly(m)) {
            return Form::Butterfly;
        }
        if constexpr (Isa::kClassTest) {
            return K::structure_of(m);
        }
        return Form::General;
    }

    struct TileStep {
        Factor m00, m01, m10, m11;  // a crz's phase in m00
        Mask lanes;  // cnot: the lanes with the control set; crz: with both set
        typename Isa::Flip flip;  // cnot with the target in the lanes
        TileGate::Kind kind;
        unsigned target;  // mat2: within the tile
        Form form;
        bool real_m00;  // butterfly with m00 = (s, ±0)
        typename K::RealShape shape;  // Real: mirrored (H), an exchange (X) or neither
        unsigned regs;   // cnot, crz: the register bits that must be set
        unsigned apart;  // cnot: registers this far apart exchange (0: lanes)
        std::size_t outside;  // cnot, crz: the bit outside the tile a tile's index must have (0: none)
    };

    // A cnot's control, or one of a crz's qubits, may lie outside the tile:
    // it is the same for every amplitude of a tile, so the gate acts on the
    // tiles whose index has it set, as if its control were set everywhere.
    static TileStep tile_step_of(TileGate gate, std::uint64_t window) {
        const auto inside = [window](unsigned q) { return q < kLog2Width || ((window >> q) & 1) != 0; };
        std::size_t outside = 0;
        if (gate.kind != TileGate::Kind::Mat2 && !inside(gate.control)) {
            outside = std::size_t{1} << gate.control;
            gate.control = gate.target;  // a crz's other qubit; a cnot with every lane's control set
        } else if (gate.kind == TileGate::Kind::Crz && !inside(gate.target)) {
            outside = std::size_t{1} << gate.target;
            gate.target = gate.control;
        }
        const auto local = [window](unsigned q) {
            const std::uint64_t below = window & ((std::uint64_t{1} << q) - 1);
            return q < kLog2Width ? q : kLog2Width + static_cast<unsigned>(std::popcount(below));
        };
        const auto reg_bit = [](unsigned q) { return q < kLog2Width ? 0u : 1u << (q - kLog2Width); };
        const auto lanes = [](unsigned q) { return q < kLog2Width ? Isa::lanes_with_bit(q) : Isa::all_lanes(); };
        const Matrix2& m = gate.matrix;
        const unsigned c = local(gate.control);
        const unsigned t = local(gate.target);
        TileStep s{K::factor(m.m00),
                   K::factor(m.m01),
                   K::factor(m.m10),
                   K::factor(m.m11),
                   lanes(c),
                   Isa::flip(t < kLog2Width ? t : 0),
                   gate.kind,
                   t,
                   Form::General,
                   false,
                   K::RealShape::Plain,
                   reg_bit(c),
                   reg_bit(t),
                   outside};
        if (gate.kind == TileGate::Kind::Cnot && outside != 0) {
            s.lanes = Isa::all_lanes();
            s.regs = 0;
        }
        if (gate.kind == TileGate::Kind::Mat2) {
            s.form = form_of(m);
            s.real_m00 = m.m00.im == 0.0f;
            s.shape = s.form == Form::Real ? K::real_shape(m) : K::RealShape::Plain;
        } else if (gate.kind == TileGate::Kind::Crz) {
            s.lanes = Isa::both(lanes(c), lanes(t));
            s.regs = reg_bit(c) | reg_bit(t);
        }
        return s;
    }

    // One gate on target T over the tile: below the register width on each
    // two registers regrouped into lower and upper members (as mat2 does),
    // from it on on registers 2^(T - kLog2Width) apart.
    template <unsigned T, Form F>
    [[gnu::always_inline]] static void tile_gate(V (&r)[kTileRegs], const TileStep& s) {
        const auto apply = [&s](V& a, V& b) __attribute__((always_inline)) {
            if constexpr (F == Form::Butterfly) {
                K::butterfly_pair(a, b, s.m00, s.m01, s.m11, s.real_m00);
                return;
            } else if constexpr (F == Form::Real || F == Form::Phase) {
                if (K::template reduced_pair<F>(a, b, s.m00, s.m01, s.m10, s.m11, s.shape)) [[likely]] {
                    return;
                }
            }
            K::full_pair(a, b, s.m00, s.m01, s.m10, s.m11);
        };
        if constexpr (T < kLog2Width) {
            const auto pairs = Isa::pairs(T);
#pragma GCC unroll 16
            for (unsigned k = 0; k < kTileRegs; k += 2) {
                Isa::to_pairs(pairs, r[k], r[k + 1]);
                apply(r[k], r[k + 1]);
                Isa::from_pairs(pairs, r[k], r[k + 1]);
            }
        } else {
            constexpr unsigned d = 1u << (T - kLog2Width);
#pragma GCC unroll 16
            for (unsigned k = 0; k < kTileRegs; ++k) {
                if ((k & d) == 0) {
                    apply(r[k], r[k + d]);
                }
            }
        }
    }

    // With AllForms every form (layers, and tiles of runs found per tile
    // that pass passing_tile: all_forms_per_tile); else only the butterfly
    // and the full formula.
    template <unsigned T, bool AllForms>
    [[gnu::always_inline]] static void with_form(V (&r)[kTileRegs], const TileStep& s) {
        if constexpr (AllForms && Isa::kClassTest) {
            if (s.form == Form::Real) {
                tile_gate<T, Form::Real>(r, s);
                return;
            }
            if (s.form == Form::Phase) {
                tile_gate<T, Form::Phase>(r, s);
                return;
            }
        }
        if (s.form == Form::Butterfly) {
            tile_gate<T, Form::Butterfly>(r, s);
        } else {
            tile_gate<T, Form::General>(r, s);
        }
    }

    // A cnot within the tile, as the cnot kernel moves it: with the target
    // in the lanes each register whose register bits qualify takes its
    // flipped lanes where the control is set (every lane with the control
    // above the lanes); with it above, registers D apart exchange their
    // lanes where the control is set.
    template <unsigned D>
    [[gnu::always_inline]] static void tile_cnot(V (&r)[kTileRegs], const TileStep& s) {
#pragma GCC unroll 16
        for (unsigned k = 0; k < kTileRegs; ++k) {
            if ((k & s.regs) != s.regs) {
                continue;
            }
            if constexpr (D == 0) {
                r[k] = Isa::blend(r[k], Isa::flipped(s.flip, r[k]), s.lanes);
            } else if ((k & D) == 0) {
                const V a = r[k];
                const V b = r[k + D];
                r[k] = Isa::blend(a, b, s.lanes);
                r[k + D] = Isa::blend(b, a, s.lanes);
            }
        }
    }

    template <unsigned D = 1>
    [[gnu::always_inline]] static void tile_cnot_apart(V (&r)[kTileRegs], const TileStep& s) {
        if constexpr (2 * D < kTileRegs) {
            if (s.apart != D) {
                tile_cnot_apart<2 * D>(r, s);
                return;
            }
        }
        tile_cnot<D>(r, s);
    }

    // A crz within the tile, as the crz kernel computes it: the registers
    // whose register bits have both qubits set take the product in the
    // lanes that have them.
    [[gnu::always_inline]] static void tile_crz(V (&r)[kTileRegs], const TileStep& s) {
#pragma GCC unroll 16
        for (unsigned k = 0; k < kTileRegs; ++k) {
            if ((k & s.regs) == s.regs) {
                r[k] = Isa::blend(r[k], K::scaled(r[k], s.m00), s.lanes);
            }
        }
    }

    // f(q) with q a compile-time tile qubit.
    template <unsigned Q = 0, class F>
    [[gnu::always_inline]] static void with_qubit(unsigned q, F f) {
        if constexpr (Q + 1 < kTileQubits) {
            if (q != Q) {
                with_qubit<Q + 1>(q, f);
                return;
            }
        }
        f(std::integral_constant<unsigned, Q>{});
    }

    // One step on the tile whose first register holds amplitude i.
    template <bool AllForms>
    [[gnu::always_inline]] static void tile_step(V (&r)[kTileRegs], const TileStep& s, std::size_t i) {
        if ((i & s.outside) != s.outside) {
            return;
        }
        switch (s.kind) {
            case TileGate::Kind::Mat2:
                with_qubit(s.target, [&](auto t) __attribute__((always_inline)) {
                    with_form<decltype(t)::value, AllForms>(r, s);
                });
                return;
            case TileGate::Kind::Cnot:
                if (s.apart == 0) {
                    tile_cnot<0>(r, s);
                } else {
                    tile_cnot_apart(r, s);
                }
                return;
            case TileGate::Kind::Crz:
                tile_crz(r, s);
                return;
        }
    }

    static void mat2_tile(Complex32* data, const TileGate* gates, std::size_t count, std::uint64_t window,
                          std::size_t begin, std::size_t end, std::uint64_t spread) {
        TileStep steps[kMaxTileGates];
        // Whether every gate turns +0 amplitudes into +0 again: then a tile
        // whose bits are all zero is left as it is (as mat2 leaves registers).
        bool zeros_stay = true;
        bool reduced = false;  // a Real or Phase matrix among the gates
        for (std::size_t g = 0; g < count; ++g) {
            steps[g] = tile_step_of(gates[g], window);
            reduced = reduced || steps[g].form == Form::Real || steps[g].form == Form::Phase;
            const TileGate& gate = gates[g];
            zeros_stay = zeros_stay && (gate.kind == TileGate::Kind::Cnot ||
                                        (gate.kind == TileGate::Kind::Crz ? phase_keeps_zeros(gate.matrix.m00)
                                                                          : keeps_zeros(gate.matrix)));
        }
        // A layer (a single-qubit gate on each qubit of the tile, or of its
        // window, lowest first) has its targets compiled in; any other run
        // finds each gate's kind and qubits per tile.
        const unsigned from = count == kTileQubits ? 0 : kLog2Width;
        bool layer = count == kTileQubits - from;
        for (std::size_t g = 0; g < count && layer; ++g) {
            layer = steps[g].kind == TileGate::Kind::Mat2 && steps[g].target == from + g;
        }
        // The range, then the range moved by each combination of spread.
        const auto each_range = [&](auto f) __attribute__((always_inline)) {
            std::uint64_t offset = 0;
            do {
                f(begin + offset, end + offset);
                offset = (offset - spread) & spread;
            } while (offset != 0);
        };
        const auto run = [&](auto body) __attribute__((always_inline)) {
            each_range([&](std::size_t first, std::size_t last) { walk(data, window, first, last, zeros_stay, body); });
        };
        if (layer && from == 0) {
            run([&steps](V (&r)[kTileRegs], std::size_t) __attribute__((always_inline)) {
                layer_steps<0>(r, steps, std::make_integer_sequence<unsigned, kTileQubits>{});
            });
        } else if (layer) {
            run([&steps](V (&r)[kTileRegs], std::size_t) __attribute__((always_inline)) {
                layer_steps<kLog2Width>(r, steps, std::make_integer_sequence<unsigned, kTileRegBits>{});
            });
        } else {
            const auto per_tile = [&steps, count](V (&r)[kTileRegs], std::size_t i) __attribute__((always_inline)) {
                for (std::size_t g = 0; g < count; ++g) {
                    tile_step<false>(r, steps[g], i);
                }
            };
            each_range([&](std::size_t first, std::size_t last) {
                if (reduced) {  // only on sets with a class test (form_of)
                    all_forms_per_tile(data, steps, count, window, first, last, zeros_stay);
                } else {
                    walk(data, window, first, last, zeros_stay, per_tile);
                }
            });
        }
    }

    // A run whose gates' kinds and qubits are found per tile, its matrices
    // taking the Real and Phase forms too where the tile's first and last
    // registers are finite and free of -0 (passing_tile), the full formula
    // elsewhere. The forms pay where a register pair passes its check, and a
    // state that holds -0 (zeros that phases have met, in sparse stretches)
    // fails it and pays for both. Zeros lie where qubits in basis states put
    // them: for one in the lanes in every register, for one in the window
    // in the first register or the last, for one outside it in the whole
    // tile; so the two registers stand for the tile. Decided a tile at a
    // time, not from a range's first tile: on the Xeon (AVX-512), 22
    // qubits, far pairs ran 0.95x as long, random layers 0.93x, QAOA 0.96x,
    // and on 24 random layers 0.96x. Out of line: in one function with the
    // other bodies, QFT ran 1.02-1.08x as long though it hardly takes this
    // one.
    [[gnu::noinline]] static void all_forms_per_tile(Complex32* data, const TileStep* steps, std::size_t count,
                                                     std::uint64_t window, std::size_t begin, std::size_t end,
                                                     bool zeros_stay) {
        walk(data, window, begin, end, zeros_stay,
             [steps, count](V (&r)[kTileRegs], std::size_t i) __attribute__((always_inline)) {
                 if (passing_tile(r)) [[likely]] {
                     for (std::size_t g = 0; g < count; ++g) {
                         tile_step<true>(r, steps[g], i);
                     }
                 } else {
                     for (std::size_t g = 0; g < count; ++g) {
                         tile_step<false>(r, steps[g], i);
                     }
                 }
             });
    }

    [[gnu::always_inline]] static bool passing_tile(const V (&r)[kTileRegs]) {
        if constexpr (Isa::kClassTest) {
            return Isa::finite_no_minus_zero(r[0], r[kTileRegs - 1]);
        }
        return false;
    }

    // body over the tiles of [begin, end) in the walk that suits the window.
    template <class Body>
    [[gnu::always_inline]] static void walk(Complex32* data, std::uint64_t window, std::size_t begin,
                                            std::size_t end, bool zeros_stay, Body body) {
        const unsigned first = static_cast<unsigned>(std::countr_zero(window));
        // Whole spans of a window of consecutive qubits: their tiles
        // go block by block.
        const bool whole = ((begin | end) & ((std::size_t{kTileRegs} << first) - 1)) == 0;
        if (whole && window == ((std::uint64_t{kTileRegs} - 1) << kLog2Width)) {
            tiles<Walk::Contiguous>(data, first, window, begin, end, zeros_stay, body);
        } else if (whole && window == ((std::uint64_t{kTileRegs} - 1) << first)) {
            tiles<Walk::Strided>(data, first, window, begin, end, zeros_stay, body);
        } else {
            tiles<Walk::Spread>(data, first, window, begin, end, zeros_stay, body);
        }
    }

    template <unsigned From, unsigned... T>
    [[gnu::always_inline]] static void layer_steps(V (&r)[kTileRegs], const TileStep* steps,
                                                   std::integer_sequence<unsigned, T...>) {
        const auto one = [&](auto target) __attribute__((always_inline)) {
            constexpr unsigned t = decltype(target)::value;
            with_form<From + t, true>(r, steps[t]);
        };
        (one(std::integral_constant<unsigned, T>{}), ...);
    }

    // Whether every bit of the tile is zero; the first register alone
    // decides for a tile that holds a nonzero amplitude there.
    [[gnu::always_inline]] static bool zero_tile(const V (&r)[kTileRegs]) {
        if (!Isa::zero_bits(r[0])) {
            return false;
        }
        V any = r[1];
#pragma GCC unroll 16
        for (unsigned k = 2; k < kTileRegs; ++k) {
            any = Isa::either_bits(any, r[k]);
        }
        return Isa::zero_bits(any);
    }

    // How a window's registers lie: consecutive (the window right above the
    // lanes), 2^first apart (kTileRegBits consecutive qubits from first on),
    // or anywhere (any window: register k at the window's bits set as k's).
    enum class Walk { Contiguous, Strided, Spread };

    // A spread window's registers come in up to kTileRegs streams from as
    // far apart as the group's block, often from beyond the private cache,
    // and a tile loads them all before its first gate. Asked for this many
    // tiles ahead they arrive while the tiles before are worked on: on the
    // Xeon (AVX-512 and AVX2) layered circuits on 24 and 26 qubits ran
    // 0.84-0.93x as long (four to eight tiles ahead alike, two a little
    // less), on 22 qubits 0.96-1.03x. The walks of consecutive windows
    // gained nothing from it.
    static constexpr unsigned kPrefetchTiles = 6;
    // Where they are asked to: with 512-bit registers a tile is 16 whole
    // lines, and six tiles ahead 96 lines asked for at once; into the L1
    // (as with 256-bit registers, whose neighbouring tiles share their
    // lines) they held up the loads and stores of the tile being worked
    // on. Into the L2 only, on Zen 4 (AVX-512) layered circuits on 24
    // qubits ran 0.84-1.04x as long (most of them below 0.97x) and on 26
    // qubits 0.90-0.99x; the AVX2 set there ran 1.02-1.06x as long with
    // that hint and keeps the L1.
    static constexpr int kPrefetchLocality = kLog2Width >= 3 ? 2 : 3;

    // Loads each tile whose first amplitude lies in [begin, end), runs body
    // on its registers and the index of its first amplitude, and stores it
    // back; with zeros_stay (body turns +0 into +0) a tile of zero bits is
    // left as it is.
    template <Walk W, class Body>
    [[gnu::always_inline]] static void tiles(Complex32* data, unsigned first, std::uint64_t window, std::size_t begin,
                                             std::size_t end, bool zeros_stay, Body body) {
        float* base = K::floats(data);
        std::size_t offset[kTileRegs] = {};
        if constexpr (W == Walk::Spread) {
            for (unsigned k = 0; k < kTileRegs; ++k) {
                offset[k] = 2 * deposit(k, window);
            }
        }
        const std::size_t stride = W == Walk::Contiguous ? kWidth : std::size_t{1} << first;
        // Register k of the tile whose first amplitude is i.
        const auto at_of = [&](std::size_t i, unsigned k) __attribute__((always_inline)) {
            float* p = base + 2 * i;
            return W == Walk::Spread ? p + offset[k] : p + 2 * stride * k;
        };
        const auto one = [&](std::size_t i) __attribute__((always_inline)) {
            const auto at = [&](unsigned k) __attribute__((always_inline)) { return at_of(i, k); };
            V r[kTileRegs];
#pragma GCC unroll 16
            for (unsigned k = 0; k < kTileRegs; ++k) {
                r[k] = Isa::load(at(k));
            }
            if (zeros_stay && zero_tile(r)) {
                return;
            }
            body(r, i);
#pragma GCC unroll 16
            for (unsigned k = 0; k < kTileRegs; ++k) {
                Isa::store(at(k), r[k]);
            }
        };
        if constexpr (W == Walk::Spread) {
            // The next index above i with the window's bits clear.
            const std::uint64_t skip = window | (kWidth - 1);
            const auto next = [skip, window](std::size_t i) { return ((i | skip) + 1) & ~window; };
            // The registers of the tile kPrefetchTiles on are asked for
            // while this one is worked on (see kPrefetchTiles).
            std::size_t ahead = begin & ~window;
            for (unsigned d = 0; d < kPrefetchTiles; ++d) {
                ahead = next(ahead);
            }
            for (std::size_t i = begin & ~window; i < end; i = next(i), ahead = next(ahead)) {
                if (ahead < end) {
#pragma GCC unroll 16
                    for (unsigned k = 0; k < kTileRegs; ++k) {
                        __builtin_prefetch(at_of(ahead, k), 1, kPrefetchLocality);
                    }
                }
                one(i);
            }
        } else {
            const std::size_t span = stride << kTileRegBits;
            for (std::size_t block = begin; block < end; block += span) {
                for (std::size_t i = block; i < block + stride; i += kWidth) {
                    one(i);
                }
            }
        }
    }

    // k's bits spread over the set bits of window, lowest first.
    static std::size_t deposit(unsigned k, std::uint64_t window) {
        std::size_t out = 0;
        for (unsigned b = 0; window != 0; ++b, window &= window - 1) {
            if (((k >> b) & 1) != 0) {
                out |= static_cast<std::size_t>(window & (~window + 1));
            }
        }
        return out;
    }
};

}  // namespace
}  // namespace vastrel::sim::kernels
